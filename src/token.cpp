// The user's credential: loaded from the host's configuration text "creds",
// renewed through "renew-creds" when less than 100 seconds of validity remain.
#include "orvel_dropbox_common.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The message formatted into a text of exactly its length.
std::string orvel_l_dropbox_format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string orvel_l_dropbox_format(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (n > 0) {
        text.resize((size_t)n);
        vsnprintf(text.data(), (size_t)n + 1, format, ap);
    }
    va_end(ap);
    return text;
}

} // namespace

/* Converts an expiry such as 2024-05-01T12:30:00.000000+02:00 to seconds
 * since the epoch. */
static orvel_result_t orvel_l_dropbox_parse_exp(const char *time_str, time_t *time_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    int offset_hours = 0;
    int offset_minutes = 0;
    int offset_at = -1;
    int fields = sscanf(time_str, "%4d-%2d-%2dT%2d:%2d:%2d.%*6d%n%3d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                        &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &offset_at, &offset_hours, &offset_minutes);
    if (fields < 8) {
        std::string message = orvel_l_dropbox_format("Error parsing time string: %s\n", time_str);
        result = ORVEL_DROPBOX_ERROR_GENERIC(message.c_str());
        ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
        return result;
    }
    // The sign written before the offset hours applies to the minutes too,
    // also when the hour part is zero (-00:30).
    bool negative = false;
    if (offset_at >= 0) {
        const char *sign = time_str + offset_at;
        while (isspace((unsigned char)*sign)) { // as %d skips them
            sign++;
        }
        negative = *sign == '-';
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_hour -= offset_hours;
    tm.tm_min += negative ? offset_minutes : -offset_minutes;
    *time_out = timegm(&tm);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

static orvel_result_t orvel_l_dropbox_parse_token_json(const char *json_data, char **sub_out, char **rns_out,
                                                       bool *team_out, char **access_token_out,
                                                       time_t *access_token_exp_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    json_error_t json_error;
    const char *access_token = nullptr;
    const char *token_expiry = nullptr;
    const char *sub = nullptr;
    const char *root_namespace_id = nullptr;
    const char *home_namespace_id = nullptr;
    time_t expiry = 0;
    char *sub_copy = nullptr;
    char *rns_copy = nullptr;
    char *token_copy = nullptr;

    memset(&json_error, 0, sizeof json_error);
    json_t *json = json_loads(json_data, 0, &json_error); // an absent text fails too
    if (json == nullptr) {
        std::string message = orvel_l_dropbox_format("Error loading user credential: %s\n", json_error.text);
        result = ORVEL_DROPBOX_ERROR_GENERIC(message.c_str());
        goto out;
    }
    if (json_unpack_ex(json, &json_error, 0, "{s:s,s:s,s:s,s:{s:s,s:s}}", "access_token", &access_token, "token_expiry",
                       &token_expiry, "sub", &sub, "root_info", "root_namespace_id", &root_namespace_id,
                       "home_namespace_id", &home_namespace_id) != 0) {
        std::string message = orvel_l_dropbox_format("Error unpacking credential: %s\n", json_error.text);
        result = orvel_dropbox_error_internal(message.c_str());
        goto out;
    }
    result = orvel_l_dropbox_parse_exp(token_expiry, &expiry);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    sub_copy = orvel_dropbox_strdup(sub);
    rns_copy = orvel_dropbox_strdup(root_namespace_id);
    token_copy = orvel_dropbox_strdup(access_token);
    if (sub_copy == nullptr || rns_copy == nullptr || token_copy == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        orvel_dropbox_free(sub_copy);
        orvel_dropbox_free(rns_copy);
        orvel_dropbox_free(token_copy);
        goto out;
    }
    *sub_out = sub_copy;
    *rns_out = rns_copy;
    *team_out = strcmp(root_namespace_id, home_namespace_id) != 0;
    *access_token_out = token_copy;
    *access_token_exp_out = expiry;

out:
    json_decref(json);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_update_token(orvel_dropbox_handle_t *handle, orvel_gfs_operation_t op)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    const char *key = "creds";
    if (handle->access_token != nullptr) {
        time_t now = time(nullptr);
        if (now + 99 < handle->access_token_exp) {
            ORVEL_DROPBOX_TRACE_EXIT_RESULT(ORVEL_SUCCESS);
            return ORVEL_SUCCESS;
        }
        orvel_dropbox_free(handle->access_token);
        orvel_dropbox_free(handle->root_namespace_id);
        orvel_dropbox_free(handle->userid);
        handle->access_token = nullptr;
        handle->root_namespace_id = nullptr;
        handle->userid = nullptr;
        key = "renew-creds";
    }
    char *data = nullptr;
    orvel_gridftp_server_get_config_data(op, key, &data);
    orvel_result_t result =
        orvel_l_dropbox_parse_token_json(data, &handle->userid, &handle->root_namespace_id, &handle->is_team,
                                         &handle->access_token, &handle->access_token_exp);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
