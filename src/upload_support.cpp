// What every road of an upload shares: its reply errors and the JSON
// arguments it builds.
#include "orvel_dropbox_transfer.h"

#include <cinttypes>

orvel_result_t orvel_dropbox_upload_detail_error(int code, const char *error_code, const char *path,
                                                 const char *text, orvel_object_t *inner_cause)
{
    orvel_dsi_rest_key_value_t pairs[2] = {
        {const_cast<char *>("Dropbox-Path"), const_cast<char *>(path)},
        {const_cast<char *>("Dropbox-Error"), const_cast<char *>(text)},
    };
    orvel_dsi_rest_key_array_t details = {2, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(nullptr, nullptr, &details);
    if (cause != nullptr && inner_cause != nullptr)
        orvel_error_set_cause(cause, inner_cause);
    else if (inner_cause != nullptr)
        orvel_object_free(inner_cause);
    return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, cause, code, error_code, nullptr));
}

orvel_result_t orvel_dropbox_upload_too_much_data(const char *path)
{
    return orvel_dropbox_upload_detail_error(451, "QUOTA_EXCEEDED", path, "Too much data was sent.", nullptr);
}

orvel_result_t orvel_dropbox_upload_short_data(orvel_result_t result, const char *path, int64_t got,
                                               int64_t expected)
{
    orvel_object_t *cause = orvel_error_get(result);
    if (cause == nullptr)
        orvel_error_discard(result);
    return orvel_error_put(orvel_error_construct_error(
        nullptr, cause, ORVEL_GFS_ERROR_GENERIC, __FILE__, __func__, __LINE__,
        "Fewer bytes were received than announced for %s: the data ended after %" PRId64 " of %" PRId64 " bytes.",
        path, got, expected));
}

orvel_result_t orvel_dropbox_upload_append_not_supported(const char *why)
{
    if (why == nullptr)
        return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED",
                                                                      nullptr));
    return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED",
                                                                  "GridFTP-Error: %s", why));
}

bool orvel_dropbox_json_set(json_t *object, const char *key, json_t *value)
{
    return value != nullptr && json_object_set_new(object, key, value) == 0;
}
