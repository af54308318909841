// Translation of the service's error replies (status 400 and above) into the
// errors the GridFTP client sees, with the retry decision and the wait the
// service asked for.
#include "orvel_dropbox_common.h"

#include <cstdlib>
#include <cstring>

namespace {

// Leading decimal digits of a header value; saturates instead of wrapping.
uint64_t orvel_l_dropbox_leading_number(const char *text)
{
    uint64_t value = 0;
    for (const char *p = text; *p >= '0' && *p <= '9'; p++) {
        uint64_t digit = (uint64_t)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return UINT64_MAX;
        }
        value = value * 10 + digit;
    }
    return value;
}

// Puts `error`, or, when it could not be built, a plain failure.
orvel_result_t orvel_l_dropbox_put(orvel_object_t *error)
{
    return error != nullptr ? orvel_error_put(error) : ORVEL_FAILURE;
}

// What an "error_summary" means to the FTP client: the first row whose key
// word the summary contains decides. The path problems come first, then the
// summaries that name a cause of their own; a summary matching no row leaves
// the service's error object as the result.
struct orvel_l_dropbox_summary_row {
    const char *key_word;
    int reply_code;
    const char *error_code;
    const char *message_format; // null: no message
    const char *first;          // values of the format
    const char *second;
    const char *third;
};

const orvel_l_dropbox_summary_row orvel_l_dropbox_summary_rows[] = {
    {"conflict", 553, "PATH_EXISTS", "GridFTP-Path: %s", "", nullptr, nullptr},
    {"not_found", 550, "PATH_NOT_FOUND", "%s%s%s", "", "", ""},
    {"access_denied_insufficient_permissions", 550, "PERMISSION_DENIED", nullptr, nullptr, nullptr, nullptr},
    {"item_name_too_long", 553, "INVALID_PATH_NAME", "GridFTP-Path: %s", "<Invalid Name>", nullptr, nullptr},
    {"bad_digest", 550, "INCORRECT_CHECKSUM", "GridFTP-Computed-Checksum: %s\nGridFTP-Expected-Checksum: %s",
     "computed", "expected", nullptr},
    {"insufficient_space", 552, "QUOTA_EXCEEDED", "%s", "GridFTP-Error: the account is full", nullptr, nullptr},
    {"no_write_permission", 550, "PERMISSION_DENIED", "%s", "GridFTP-Error: no permission to write there", nullptr,
     nullptr},
    {"disallowed_name", 553, "INVALID_PATH_NAME", "GridFTP-Path: %s", "<Invalid Name>", nullptr, nullptr},
    {"too_many_write_operations", 451, "TOO_BUSY", nullptr, nullptr, nullptr, nullptr},
    {"too_many_requests", 451, "TOO_BUSY", nullptr, nullptr, nullptr, nullptr},
    {"content_hash_mismatch", 550, "INCORRECT_CHECKSUM", "%s",
     "GridFTP-Error: the data the service received does not match the content hash sent with it", nullptr, nullptr},
    // Authorisation: permanent until the credential or the account changes.
    {"expired_access_token", 550, "PERMISSION_DENIED", "%s", "GridFTP-Error: the access token has expired", nullptr,
     nullptr},
    {"invalid_access_token", 550, "PERMISSION_DENIED", "%s", "GridFTP-Error: the access token is not valid", nullptr,
     nullptr},
    {"no_permission", 550, "PERMISSION_DENIED", "%s", "GridFTP-Error: no permission for this namespace", nullptr,
     nullptr},
};

const orvel_l_dropbox_summary_row *orvel_l_dropbox_summary_meaning(const char *summary)
{
    for (const orvel_l_dropbox_summary_row &row : orvel_l_dropbox_summary_rows) {
        if (strstr(summary, row.key_word) != nullptr)
            return &row;
    }
    return nullptr;
}

orvel_result_t orvel_l_dropbox_translate_json(json_t *json)
{
    json_t *summary_json = json_object_get(json, "error_summary");
    const char *summary = json_is_string(summary_json) ? json_string_value(summary_json) : nullptr;
    char *details = json_dumps(json, 0);

    char summary_key[] = "error_summary";
    char details_key[] = "details";
    orvel_dsi_rest_key_value_t pairs[2];
    orvel_dsi_rest_key_array_t info = {0, pairs};
    if (summary != nullptr) {
        pairs[info.count++] = {summary_key, const_cast<char *>(summary)};
    }
    if (details != nullptr) {
        pairs[info.count++] = {details_key, details};
    }
    orvel_object_t *cause = orvel_dropbox_error_construct(nullptr, nullptr, &info);
    orvel_dropbox_free(details);

    orvel_object_t *error = nullptr;
    const orvel_l_dropbox_summary_row *row = summary != nullptr ? orvel_l_dropbox_summary_meaning(summary) : nullptr;
    if (row == nullptr) {
        error = cause;
    } else if (row->message_format == nullptr) {
        error = orvel_gfs_ftp_response_error_construct(nullptr, cause, row->reply_code, row->error_code, nullptr);
    } else {
        error = orvel_gfs_ftp_response_error_construct(nullptr, cause, row->reply_code, row->error_code,
                                                       row->message_format, row->first, row->second, row->third);
    }
    if (error == nullptr) {
        // Out of memory: still a failure, never a success.
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "INTERNAL_ERROR", nullptr);
    }
    return orvel_l_dropbox_put(error);
}

orvel_result_t orvel_l_dropbox_translate_status(int status, bool *retryable)
{
    orvel_object_t *error;
    if (status < 400) {
        return ORVEL_SUCCESS;
    }
    if (status == 400) {
        error = orvel_error_construct_error(nullptr, nullptr, ORVEL_GFS_ERROR_GENERIC, __FILE__, __func__, __LINE__,
                                            "%s", "Bad Dropbox request");
    } else if (status == 401 || status == 403) {
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 550, "PERMISSION_DENIED", nullptr);
    } else if (status == 404) {
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 550, "PATH_NOT_FOUND", "%s%s%s", "", "", "");
    } else if (status == 429) {
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 451, "TOO_BUSY", nullptr);
        *retryable = true;
    } else if (status >= 500) {
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "INTERNAL_ERROR", "%s%s", "", "");
    } else if (status == 416) {
        // A byte range the file does not have: FTP's "invalid REST parameter".
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 554, "INVALID_RANGE",
                                                       "GridFTP-Error: HTTP status %d", status);
    } else {
        // Any other client error is a failure, not a success.
        error = orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "INTERNAL_ERROR",
                                                       "GridFTP-Error: HTTP status %d", status);
    }
    return orvel_l_dropbox_put(error);
}

} // namespace

orvel_result_t orvel_dropbox_translate_response(const orvel_dsi_rest_response_arg_t *response,
                                                json_t *json_error_code_response, bool *retryable_out,
                                                uint64_t *retry_after_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    bool retryable = false;
    uint64_t retry_after = 0;
    const orvel_dsi_rest_key_array_t &headers = response->desired_headers;
    if (retry_after_out != nullptr && headers.count > 0 && headers.key_value != nullptr &&
        headers.key_value[0].value != nullptr) {
        retry_after = orvel_l_dropbox_leading_number(headers.key_value[0].value);
        retryable = true;
    }

    orvel_result_t result;
    if (json_error_code_response != nullptr) {
        result = orvel_l_dropbox_translate_json(json_error_code_response);
    } else {
        result = orvel_l_dropbox_translate_status(response->response_code, &retryable);
    }

    if (retryable_out != nullptr) {
        *retryable_out = retryable;
    }
    if (retry_after_out != nullptr) {
        *retry_after_out = retry_after;
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
