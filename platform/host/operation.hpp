// The operation object behind orvel_gfs_operation_t: what the host knows of
// one running operation (its request, data channel and ranges) and what the
// plug-in has reported so far. Private to the host library.
#pragma once

#include "orvel_host.hpp"

#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace orvel::host::detail {

enum class OperationKind { SessionStart, Command, Stat, Send, Recv };

const char *operation_kind_name(OperationKind kind);

// A single worker thread per operation that runs data-channel reads and
// writes in the order they were registered and calls the plug-in back from
// there, as a real server calls back from its I/O thread.
class ChannelWorker {
public:
    ChannelWorker() = default;
    ChannelWorker(const ChannelWorker &) = delete;
    ChannelWorker &operator=(const ChannelWorker &) = delete;
    ~ChannelWorker();
    // Queues a task; starts the thread on first use. False when the thread
    // cannot be started (the task is not queued).
    bool post(std::function<void()> task);
    // Runs every queued task, then stops and joins the thread.
    void drain_and_join();
    size_t tasks_run() const;

private:
    void loop();
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    bool started_ = false;
    size_t tasks_run_ = 0;
    std::thread thread_;
};

} // namespace orvel::host::detail

struct orvel_gfs_operation_s {
    orvel::host::detail::OperationKind kind = orvel::host::detail::OperationKind::Command;
    orvel::host::ConfigProvider config;
    orvel::host::Hooks hooks;

    // Requests (copies: the caller's records may go away while a worker runs).
    orvel::host::TransferRequest transfer;
    orvel::host::CommandRequest command;

    std::shared_ptr<orvel::host::DataChannel> channel;
    std::deque<std::pair<int64_t, int64_t>> read_ranges; // handed out by get_read_range
    int64_t read_stream_offset = 0;                      // stream offset of the next register_read

    // Texts handed out by get_config_data; std::list keeps them in place.
    std::list<std::string> config_texts;

    // Session start answers.
    void *session_arg = nullptr;
    std::string home_dir;
    bool home_dir_set = false;
    std::string checksum_support;

    std::mutex mutex; // guards outcome and the fields the plug-in may touch from any thread
    orvel::host::Outcome outcome;

    // Declared last so that it is destroyed (and its thread joined) first,
    // while everything its callbacks touch still exists.
    orvel::host::detail::ChannelWorker worker;
};

namespace orvel::host::detail {

// A fresh operation of `kind` with its configuration and hooks.
std::unique_ptr<orvel_gfs_operation_s> make_operation(OperationKind kind, ConfigProvider config, Hooks hooks);

// After the plug-in's slot returned: joins the worker and, when no finished_*
// call arrived, records the omission as an error in the outcome.
Outcome complete_operation(orvel_gfs_operation_s &op, const char *slot_name);

// Copies one stat record into the host's form.
StatEntry copy_stat(const orvel_gridftp_server_control_stat_t &record);

// Makes sure the common runtime is active (the host needs error objects).
void ensure_runtime();

// Puts a reply error into the runtime and returns its result.
orvel_result_t put_reply_error(int code, const char *error_code, const std::string &message);

} // namespace orvel::host::detail
