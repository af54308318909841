// Helpers of the plug-in core's tests: a home folder of the test's own seen
// through the account-lookup entry of the system-call table, and capture of
// the debug log into a temporary stream.
#pragma once

#include "home_override.hpp"
#include "orvel_dropbox_common.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace orvel::core_test {

// The home folder that account lookups through home_getpwuid_r report.
inline std::string &test_home()
{
    return orvel::test::override_home();
}

using orvel::test::home_getpwuid_r;

inline std::string make_temp_home(const char *prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    char *made = mkdtemp(pattern.data());
    return made != nullptr ? std::string(made) : std::string();
}

inline void remove_tree(const std::string &path)
{
    if (path.empty() || path == "/")
        return;
    std::string command = "rm -rf '" + path + "'";
    (void)system(command.c_str());
}

// Points the debug log at a temporary stream for the object's life.
class LogCapture {
public:
    explicit LogCapture(uint32_t levels, uint32_t timestamp_levels = 0, bool thread_ids = false)
        : saved_(orvel_i_ORVEL_DROPBOX_debug_handle)
    {
        file_ = tmpfile();
        orvel_i_ORVEL_DROPBOX_debug_handle.levels = levels;
        orvel_i_ORVEL_DROPBOX_debug_handle.timestamp_levels = timestamp_levels;
        orvel_i_ORVEL_DROPBOX_debug_handle.thread_ids = thread_ids;
        orvel_i_ORVEL_DROPBOX_debug_handle.using_file = false;
        orvel_i_ORVEL_DROPBOX_debug_handle.file = file_;
    }
    ~LogCapture()
    {
        orvel_i_ORVEL_DROPBOX_debug_handle = saved_;
        if (file_ != nullptr)
            fclose(file_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const
    {
        fflush(file_);
        std::string out;
        rewind(file_);
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0)
            out.append(buffer, n);
        fseek(file_, 0, SEEK_END);
        return out;
    }
    size_t count(const std::string &needle) const
    {
        std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
            n++;
        return n;
    }

private:
    orvel_debug_handle_t saved_;
    FILE *file_ = nullptr;
};

// Restores the system-call table and the process-wide values at the end.
class SeamGuard {
public:
    SeamGuard()
        : syscalls_(orvel_i_dropbox_syscalls), rate_(orvel_i_dropbox_api_per_second),
          max_delay_(orvel_i_dropbox_max_delay), timeout_(orvel_i_dropbox_progress_timeout_ms),
          api_host_(orvel_i_dropbox_api_host), content_host_(orvel_i_dropbox_content_host),
          lock_wait_ms_(orvel_i_dropbox_lock_wait_ms), metadata_max_age_ms_(orvel_i_dropbox_metadata_max_age_ms)
    {
    }
    ~SeamGuard()
    {
        orvel_i_dropbox_syscalls = syscalls_;
        orvel_i_dropbox_api_per_second = rate_;
        orvel_i_dropbox_max_delay = max_delay_;
        orvel_i_dropbox_progress_timeout_ms = timeout_;
        orvel_i_dropbox_api_host = api_host_;
        orvel_i_dropbox_content_host = content_host_;
        orvel_i_dropbox_lock_wait_ms = lock_wait_ms_;
        orvel_i_dropbox_metadata_max_age_ms = metadata_max_age_ms_;
    }

private:
    orvel_dropbox_syscalls_t syscalls_;
    uint32_t rate_;
    int32_t max_delay_;
    int32_t timeout_;
    const char *api_host_;
    const char *content_host_;
    int32_t lock_wait_ms_;
    int32_t metadata_max_age_ms_;
};

} // namespace orvel::core_test
