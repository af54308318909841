// Shared set-up of the plug-in's integration tests: an emulator, the plug-in
// activated through the host library, a session started with the emulator's
// credential, a private home folder for the state files, and helpers over
// the emulator's request log.
#pragma once

#include "emulator_fixture.hpp"
#include "home_override.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_dropbox_transfer.h"
#include "orvel_host.hpp"

#include <gtest/gtest.h>
#include <jansson.h>
#include <pwd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orvel::test {

class DropboxSession : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Account lookups of the plug-in see a home folder of the test's own,
        // so that the shared state files never touch the real home.
        if (override_home().empty())
            override_home() = make_temp_dir("orvel-read-home");
        orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
        ASSERT_EQ(host::Host::activate_module(&orvel_gridftp_server_dropbox_module), 0);
    }
    static void TearDownTestSuite()
    {
        host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module);
        orvel_i_dropbox_syscalls.getpwuid_r = orvel_i_dropbox_syscalls_default.getpwuid_r;
        remove_tree(override_home());
        override_home().clear();
    }

    void SetUp() override
    {
        emu_ = std::make_unique<Emulator>(options());
        emu_->use_for_rest();
        saved_timeout_ = orvel_i_dropbox_progress_timeout_ms;
        saved_max_age_ = orvel_i_dropbox_metadata_max_age_ms;
        saved_streams_ = orvel_i_dropbox_transfer_streams;
        saved_single_below_ = orvel_i_dropbox_single_stream_below;
        saved_piece_ = orvel_i_dropbox_piece_size;
        held_errors_ = orvel_error_held_count();
        // No waiting on pacing in tests.
        orvel_i_dropbox_api_per_second = 1000;
    }
    void TearDown() override
    {
        session_.reset();
        orvel_i_dropbox_progress_timeout_ms = saved_timeout_;
        orvel_i_dropbox_metadata_max_age_ms = saved_max_age_;
        orvel_i_dropbox_transfer_streams = saved_streams_;
        orvel_i_dropbox_single_stream_below = saved_single_below_;
        orvel_i_dropbox_piece_size = saved_piece_;
        emu_.reset();
        // Every error reached the host or was discarded: none piles up.
        EXPECT_EQ(orvel_error_held_count(), held_errors_);
    }

    virtual EmulatorOptions options() const { return {}; }

    // Starts the session (after seeding, so that nothing is cached yet).
    void start(std::map<std::string, std::string> texts = {})
    {
        if (texts.find("creds") == texts.end())
            texts["creds"] = emu_->credential_json();
        host::Outcome outcome;
        session_ = host::Host::start_session("dropbox", "ann", host::fixed_config(texts), &outcome);
        ASSERT_TRUE(session_ != nullptr) << outcome.chain_text();
        emu_->clear_log();
    }

    orvel_dropbox_handle_t *handle() const { return static_cast<orvel_dropbox_handle_t *>(session_->session_arg()); }
    orvel_dropbox_path_info_t *cached(const char *path) const
    {
        return orvel_dropbox_path_cache_query(&handle()->cache, path);
    }
    // Empty files named by `name_format` (0 .. n-1) straight in the emulator's storage.
    void seed_files(const std::string &folder, int n, const char *name_format = "f%04d") const
    {
        std::filesystem::path dir = std::filesystem::path(emu_->ns_dir()) / folder.substr(1);
        std::filesystem::create_directories(dir);
        for (int i = 0; i < n; ++i) {
            char name[32];
            snprintf(name, sizeof name, name_format, i);
            std::ofstream(dir / name).flush();
        }
    }

    host::Outcome stat(const std::string &path, bool file_only = true) { return session_->stat(path, file_only); }
    host::Outcome command(orvel_gfs_command_type_t type, const std::string &path, const std::string &from = "")
    {
        host::CommandRequest request;
        request.command = type;
        request.pathname = path;
        request.from_pathname = from;
        return session_->command(request);
    }

    // API requests made since the last clear, as (path, arg text) in order.
    std::vector<std::string> calls() const
    {
        std::vector<std::string> out;
        json_t *log = emu_->request_log();
        size_t i;
        json_t *entry;
        json_array_foreach(log, i, entry)
        {
            out.push_back(json_string_value(json_object_get(entry, "path")));
        }
        json_decref(log);
        return out;
    }
    // The JSON argument of the n-th request to `endpoint` (compact text).
    std::string arg(const std::string &endpoint, size_t n = 0) const
    {
        return arg_text(endpoint, n, JSON_COMPACT | JSON_SORT_KEYS);
    }
    // The same argument with its keys in the order in which they were sent.
    std::string arg_in_order(const std::string &endpoint, size_t n = 0) const
    {
        return arg_text(endpoint, n, JSON_COMPACT);
    }
    // A request header of the n-th request to `endpoint` ("<none>" when absent).
    std::string header(const std::string &endpoint, const std::string &name, size_t n = 0) const
    {
        std::vector<json_t *> entries = emu_->log_entries(endpoint);
        std::string out = "<none>";
        if (n < entries.size()) {
            const char *key;
            json_t *value;
            json_object_foreach(json_object_get(entries[n], "headers"), key, value)
            {
                if (strcasecmp(key, name.c_str()) == 0)
                    out = json_string_value(value);
            }
        }
        for (json_t *e : entries)
            json_decref(e);
        return out;
    }
    size_t count(const std::string &endpoint) const { return emu_->count_requests(endpoint); }

private:
    std::string arg_text(const std::string &endpoint, size_t n, size_t flags) const
    {
        std::vector<json_t *> entries = emu_->log_entries(endpoint);
        std::string out;
        if (n < entries.size()) {
            char *text = json_dumps(json_object_get(entries[n], "arg"), flags);
            out = text != nullptr ? text : "null";
            free(text);
        }
        for (json_t *e : entries)
            json_decref(e);
        return out;
    }

protected:
    // Names of the stat records of all batches.
    static std::vector<std::string> names(const host::Outcome &outcome)
    {
        std::vector<std::string> out;
        for (const host::StatEntry &e : outcome.all_stats())
            out.push_back(e.name);
        return out;
    }

    std::unique_ptr<Emulator> emu_;
    std::unique_ptr<host::Session> session_;
    int32_t saved_timeout_ = 30000;
    int32_t saved_max_age_ = 5000;
    int32_t saved_streams_ = 4;
    uint64_t saved_single_below_ = 0;
    uint64_t saved_piece_ = 0;
    size_t held_errors_ = 0;
};

inline const char *kListFolder = "/2/files/list_folder";
inline const char *kListContinue = "/2/files/list_folder/continue";
inline const char *kDownload = "/2/files/download";
inline const char *kCreateFolder = "/2/files/create_folder_v2";
inline const char *kMove = "/2/files/move_v2";
inline const char *kDelete = "/2/files/delete_v2";
inline const char *kGetMetadata = "/2/files/get_metadata";

} // namespace orvel::test
