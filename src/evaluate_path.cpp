// Expansion of "$HOME" and "$LOGNAME" in the locations of the plug-in's own
// files, from the account database entry of the process's real user.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>

orvel_result_t orvel_dropbox_evaluate_path(const char *orig_path, char **updated_pathp)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    char *scratch = nullptr;
    char *expanded = nullptr;
    size_t scratch_size = 64;
    struct passwd entry;
    struct passwd *found = nullptr;
    const char *home = nullptr;
    const char *login = nullptr;
    size_t home_length = 0;
    size_t login_length = 0;
    size_t size;
    const char *position;
    char *out;

    *updated_pathp = nullptr;
    const uid_t uid = orvel_i_dropbox_syscalls.getuid();
    for (;;) {
        char *grown = static_cast<char *>(orvel_dropbox_realloc(scratch, scratch_size));
        if (grown == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        scratch = grown;
        int rc = orvel_i_dropbox_syscalls.getpwuid_r(uid, &entry, scratch, scratch_size, &found);
        if (rc == ERANGE) {
            scratch_size *= 2;
            continue;
        }
        if (rc != 0) {
            errno = rc;
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        break;
    }
    if (found == nullptr) {
        // The lookup worked but the user id has no entry: there is no home
        // directory to put in place of "$HOME".
        result = orvel_dropbox_error_system("getpwuid_r", ENOENT);
        goto out;
    }
    home = found->pw_dir;
    login = found->pw_name;
    home_length = home != nullptr ? strlen(home) : 0;
    login_length = login != nullptr ? strlen(login) : 0;
    if (home_length == 0 && strstr(orig_path, "$HOME") != nullptr) {
        // Nothing in place of "$HOME" would put the files at the root.
        result = ORVEL_DROPBOX_ERROR_GENERIC("The account database names no home folder");
        goto out;
    }

    size = strlen(orig_path) + 1;
    for (const char *p = orig_path; (p = strstr(p, "$HOME")) != nullptr; p += 5) {
        size += home_length - 5;
    }
    for (const char *p = orig_path; (p = strstr(p, "$LOGNAME")) != nullptr; p += 8) {
        size += login_length - 8;
    }
    expanded = static_cast<char *>(orvel_dropbox_malloc(size));
    if (expanded == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    position = orig_path;
    out = expanded;
    while (*position != '\0') {
        const char *next_login = strstr(position, "$LOGNAME");
        const char *next_home = strstr(position, "$HOME");
        const char *stop = position + strlen(position);
        if (next_login != nullptr && next_login < stop) {
            stop = next_login;
        }
        if (next_home != nullptr && next_home < stop) {
            stop = next_home;
        }
        memcpy(out, position, (size_t)(stop - position));
        out += stop - position;
        position = stop;
        if (position == next_login) {
            memcpy(out, login != nullptr ? login : "", login_length);
            out += login_length;
            position += 8;
        } else if (position == next_home) {
            memcpy(out, home != nullptr ? home : "", home_length);
            out += home_length;
            position += 5;
        }
    }
    *out = '\0';
    *updated_pathp = expanded;

out:
    orvel_dropbox_free(scratch);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
