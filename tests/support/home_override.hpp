// Account lookups of the plug-in that see a home folder of the caller's own,
// so that tests and benchmarks keep the plug-in's state files away from the
// real home. Install home_getpwuid_r in the plug-in's system-call table and
// set override_home(). Free of the test framework: benchmarks use it too.
#pragma once

#include "orvel_dropbox_common.h"

#include <pwd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace orvel::test {

// The home folder that home_getpwuid_r reports.
inline std::string &override_home()
{
    static std::string home;
    return home;
}

// The real entry of the user with pw_dir replaced by override_home() and
// pw_name kept; ERANGE when `buf` cannot hold both, as the C library does, so
// that callers grow their buffer. The other strings of the entry stay in a
// buffer of the calling thread until its next lookup.
inline int home_getpwuid_r(uid_t uid, struct passwd *pwd, char *buf, size_t buflen, struct passwd **result)
{
    thread_local char inner[16384];
    int rc = orvel_i_dropbox_syscalls_default.getpwuid_r(uid, pwd, inner, sizeof inner, result);
    if (rc != 0 || *result == nullptr)
        return rc;
    const std::string &home = override_home();
    size_t name_len = std::strlen(pwd->pw_name) + 1;
    if (name_len + home.size() + 1 > buflen) {
        *result = nullptr;
        return ERANGE;
    }
    std::memcpy(buf, pwd->pw_name, name_len);
    std::memcpy(buf + name_len, home.c_str(), home.size() + 1);
    pwd->pw_name = buf;
    pwd->pw_dir = buf + name_len;
    return 0;
}

} // namespace orvel::test
