// The host server library's driver side: how a front-end (the FTP server) or a
// test loads a storage interface, starts sessions and runs operations, and
// what it learns from the plug-in's answers.
//
// Operations are run one at a time per session. Each run_* call invokes the
// plug-in's slot and returns once the plug-in has answered (finished_*); the
// returned Outcome records everything the plug-in reported.
#pragma once

#include "orvel_gridftp_server.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvel::host {

// ---------------------------------------------------------------- channels

// A client's data channel. Reads take the next bytes of an upload stream;
// writes put download bytes at an absolute file offset. Implementations must
// be safe to call from a thread other than the operation's.
class DataChannel {
public:
    virtual ~DataChannel() = default;
    // Reads up to `length` bytes. Sets *nread (0 only together with *eof or an
    // error) and *eof when the stream has ended (possibly with the last bytes).
    virtual orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) = 0;
    // Writes `length` bytes at file offset `offset`.
    virtual orvel_result_t write(const void *buffer, size_t length, int64_t offset) = 0;
};

// Upload source and download sink in memory, for tests. Written bytes land at
// their offsets in `written()` (gaps zero-filled); `write_log()` records each
// write's (offset, length).
class MemoryChannel : public DataChannel {
public:
    explicit MemoryChannel(std::string input = {});
    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override;
    orvel_result_t write(const void *buffer, size_t length, int64_t offset) override;
    std::string written() const;
    std::vector<std::pair<int64_t, size_t>> write_log() const;
    size_t bytes_read() const;
    // Makes the n-th read (1-based) fail with a reply error 426.
    void fail_read_at(int n);

private:
    mutable std::mutex mutex_;
    std::string input_;
    size_t read_pos_ = 0;
    int reads_ = 0;
    int fail_read_at_ = 0;
    std::string output_;
    std::vector<std::pair<int64_t, size_t>> log_;
};

// Discards writes and counts bytes; reads give an empty stream.
class NullChannel : public DataChannel {
public:
    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override;
    orvel_result_t write(const void *buffer, size_t length, int64_t offset) override;
    uint64_t bytes_written() const;

private:
    mutable std::mutex mutex_;
    uint64_t written_ = 0;
};

// An upload stream of `size` deterministic pseudo-random bytes made on the
// fly (no memory proportional to size); byte i is generated_byte(seed, i).
class GeneratorChannel : public DataChannel {
public:
    GeneratorChannel(uint64_t size, uint32_t seed);
    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override;
    orvel_result_t write(const void *buffer, size_t length, int64_t offset) override;
    uint64_t bytes_read() const;
    static unsigned char generated_byte(uint32_t seed, uint64_t index);

private:
    mutable std::mutex mutex_;
    uint64_t size_;
    uint32_t seed_;
    uint64_t pos_ = 0;
};

// A local file: reads stream it from the start, writes go to offsets.
class FileChannel : public DataChannel {
public:
    // mode "r" reads an existing file, "w" creates/truncates for writing.
    FileChannel(const std::string &path, const char *mode);
    ~FileChannel() override;
    bool ok() const { return fd_ >= 0; }
    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override;
    orvel_result_t write(const void *buffer, size_t length, int64_t offset) override;

private:
    int fd_ = -1;
    int open_errno_ = 0; // why the file could not be opened
};

// ------------------------------------------------------------------ outcome

// One stat record as copied by the host during finished_stat(_partial).
struct StatEntry {
    int mode = 0;
    int nlink = 0;
    std::string name;
    std::string symlink_target;
    uint32_t uid = 0, gid = 0;
    int64_t size = 0;
    time_t atime = 0, ctime = 0, mtime = 0;
    int dev = 0, ino = 0;
};

// What the plug-in reported for one operation.
struct Outcome {
    bool finished = false;                 // a finished_* call arrived
    int finish_calls = 0;                  // how many finished_* calls arrived (must be 1)
    orvel_result_t result = ORVEL_SUCCESS; // as reported (the error stays held by the Outcome)
    std::shared_ptr<orvel_object_t> error; // the error object taken from the runtime, or null
    std::string reply_text;                // finished_command's reply text ("" when null)
    bool reply_text_null = true;
    std::vector<std::string> intermediate;            // intermediate_command texts
    std::vector<std::vector<StatEntry>> stat_batches; // partial batches (unless Hooks::on_stat_batch
                                                      // took them), then the final one
    bool transfer_begun = false;
    // Convenience accessors over `error`.
    bool ok() const { return finished && result == ORVEL_SUCCESS; }
    int reply_code() const;                   // 0 when no reply error in the chain
    std::string error_code() const;           // "" when none
    std::string message() const;              // reply error message, "" when none
    std::string chain_text() const;           // orvel_error_print_chain, "" on success
    std::string ftp_reply() const;            // orvel_gfs_error_to_ftp_reply, "" on success
    std::vector<StatEntry> all_stats() const; // every batch concatenated
};

// -------------------------------------------------------------- the host

// Where a session's configuration texts come from. Called for every lookup,
// so a provider may re-read a file ("renew-creds").
using ConfigProvider = std::function<std::optional<std::string>(const std::string &key)>;
// A provider over fixed texts.
ConfigProvider fixed_config(std::map<std::string, std::string> texts);

struct TransferRequest {
    std::string pathname;
    std::shared_ptr<DataChannel> channel;
    // Retrieve: the ranges get_read_range hands out, in order, followed by
    // (0, 0). Default: one range (0, -1).
    std::vector<std::pair<int64_t, int64_t>> read_ranges;
    // Store: the write range (offset, length), alloc_size, truncate and the
    // modification time (-1 = none; nullopt = get_recv_modification_time fails).
    std::pair<int64_t, int64_t> write_range{0, -1};
    int64_t alloc_size = 0;
    bool truncate = true;
    std::optional<time_t> modification_time = -1;
};

struct CommandRequest {
    orvel_gfs_command_type_t command = ORVEL_GFS_CMD_MKD;
    std::string pathname;
    std::string from_pathname; // RNTO
    std::string cksm_alg;      // CKSM
    int64_t cksm_offset = 0;
    int64_t cksm_length = -1;
    int update_interval = 0; // get_update_interval answer, seconds
};

// Optional callbacks a front-end uses to react while an operation runs (on
// the thread of the plug-in's call). Outcome records the same events anyway.
struct Hooks {
    std::function<void(const std::vector<StatEntry> &batch)> on_stat_batch; // each partial batch; the
                                                                            // Outcome then keeps only the final one
    std::function<void(const std::string &text)> on_intermediate;           // progress replies
    std::function<void()> on_begin_transfer;                                // data channel opened
};

class Session;

// Loads storage interfaces and starts sessions.
class Host {
public:
    // Activates the named module from a shared library (dlopen + the exported
    // descriptor symbol `<module_symbol>`), or nothing when the plug-in is
    // linked in: then pass the descriptor to activate_module.
    static orvel_result_t load_library(const std::string &library_path, const std::string &module_symbol,
                                       std::string *error_text);
    static int activate_module(orvel_module_descriptor_t *module);
    static int deactivate_module(orvel_module_descriptor_t *module);
    // The storage interface registered under `name`, or null.
    static orvel_gfs_storage_iface_t *find_dsi(const std::string &name);

    // Starts a session with the interface `dsi_name`: calls its init slot and
    // waits for finished_session_start. On failure the Outcome carries the
    // error and the returned pointer is null.
    static std::unique_ptr<Session> start_session(const std::string &dsi_name, const std::string &username,
                                                  ConfigProvider config, Outcome *outcome);
};

class Session {
public:
    ~Session(); // calls the destroy slot
    Outcome stat(const std::string &path, bool file_only, const Hooks &hooks = {});
    Outcome command(const CommandRequest &request, const Hooks &hooks = {});
    Outcome send(const TransferRequest &request, const Hooks &hooks = {}); // retrieve (download)
    Outcome recv(const TransferRequest &request, const Hooks &hooks = {}); // store (upload)
    const std::string &home_dir() const { return home_dir_; }
    const std::string &checksum_support() const { return checksum_support_; }
    void *session_arg() const { return session_arg_; }

private:
    friend class Host;
    Session() = default;
    orvel_gfs_storage_iface_t *dsi_ = nullptr;
    void *session_arg_ = nullptr;
    std::string username_;
    std::string home_dir_;
    std::string checksum_support_;
    ConfigProvider config_;
};

} // namespace orvel::host
