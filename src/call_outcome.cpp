// What a finished call of the service means for the session beyond its
// result: the account's change counter after calls that change the account,
// cached records of a file the service no longer finds, and the path that an
// error reply about a path should name.
#include "orvel_dropbox_common.h"

#include <cstring>

namespace {

bool orvel_l_dropbox_changes_account(const orvel_dropbox_endpoint_t *endpoint)
{
    return endpoint == &orvel_i_dropbox_ep_create_folder || endpoint == &orvel_i_dropbox_ep_move ||
           endpoint == &orvel_i_dropbox_ep_delete || endpoint == &orvel_i_dropbox_ep_upload ||
           endpoint == &orvel_i_dropbox_ep_upload_session_finish || endpoint == &orvel_i_dropbox_ep_restore;
}

// The path a call is about: the destination of a move, the commit path of
// an upload session, otherwise its "path" argument.
const char *orvel_l_dropbox_call_path(const orvel_dropbox_api_call_t *call)
{
    json_t *args = call->args;
    if (call->endpoint == &orvel_i_dropbox_ep_move)
        return json_string_value(json_object_get(args, "to_path"));
    if (call->endpoint == &orvel_i_dropbox_ep_upload_session_finish)
        return json_string_value(json_object_get(json_object_get(args, "commit"), "path"));
    return json_string_value(json_object_get(args, "path"));
}

// The translation knows no path: a reply error whose message names an empty
// path ("GridFTP-Path: ") is made again naming `path`, with a copy of the
// service's answer as its cause.
void orvel_l_dropbox_name_the_path(orvel_result_t *result, const char *path)
{
    orvel_object_t *error = orvel_error_peek(*result);
    const char *message = error != nullptr ? orvel_gfs_error_get_ftp_response_message(error) : nullptr;
    if (message == nullptr || std::strcmp(message, "GridFTP-Path: ") != 0 || path == nullptr || path[0] == '\0')
        return;
    orvel_object_t *answer = orvel_error_get_cause(error);
    orvel_object_t *typed = answer != nullptr ? orvel_object_upcast(answer, ORVEL_DROPBOX_ERROR_TYPE) : nullptr;
    const auto *info =
        typed != nullptr ? static_cast<const orvel_dsi_rest_key_array_t *>(orvel_object_get_local_instance_data(typed))
                         : nullptr;
    orvel_object_t *cause = info != nullptr ? orvel_dropbox_error_construct(nullptr, nullptr, info) : nullptr;
    orvel_object_t *named = orvel_gfs_ftp_response_error_construct(
        nullptr, cause, orvel_gfs_error_get_ftp_response_code(error),
        orvel_gfs_error_get_ftp_response_error_code(error), "GridFTP-Path: %s", path);
    if (named == nullptr)
        return; // out of memory: the reply stays as it was
    orvel_error_discard(*result);
    *result = orvel_error_put(named);
}

} // namespace

void orvel_dropbox_call_finished(orvel_dropbox_handle_t *handle, const orvel_dropbox_api_call_t *call,
                                 orvel_result_t *result)
{
    const orvel_dropbox_endpoint_t *endpoint = call->endpoint;
    // A failed call may still have changed the account (a reply lost after
    // the service acted): counted too, and then not followed by this
    // session's cache.
    if (orvel_l_dropbox_changes_account(endpoint))
        orvel_dropbox_changes_made(handle, *result == ORVEL_SUCCESS);
    if (*result == ORVEL_SUCCESS)
        return;
    const char *path = orvel_l_dropbox_call_path(call);
    if (endpoint == &orvel_i_dropbox_ep_download) {
        // Downloads name the file by id: what the cache holds under that id
        // is confirmed before it answers again.
        if (path != nullptr && std::strncmp(path, "id:", 3) == 0 && orvel_dropbox_says_absent(*result))
            orvel_dropbox_path_cache_unconfirm_id(&handle->cache, path);
        return;
    }
    orvel_l_dropbox_name_the_path(result, path);
}
