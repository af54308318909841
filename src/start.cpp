// Session start: builds the session handle, loads the credential, reads the
// storage policy, opens the shared retry state and the session's tables.
#include "orvel_dropbox_common.h"

#include <cstdlib>
#include <cstring>

namespace {

// Makes sure "$HOME/.orvel" exists; failures only cost the shared files.
void orvel_l_dropbox_make_state_dir(void)
{
    char *path = nullptr;
    orvel_result_t result = orvel_dropbox_evaluate_path(ORVEL_DROPBOX_STATE_DIR, &path);
    if (result != ORVEL_SUCCESS) {
        // No home directory to work in: the state files fall back to process
        // memory later on.
        orvel_error_discard(result);
        return;
    }
    orvel_dropbox_state_folder_make(path);
    orvel_dropbox_free(path);
}

void orvel_l_dropbox_handle_free(orvel_dropbox_handle_t *handle)
{
    orvel_dropbox_free(handle->username);
    orvel_dropbox_free(handle->userid);
    orvel_dropbox_free(handle->root_namespace_id);
    orvel_dropbox_free(handle->access_token);
    orvel_dropbox_free(handle);
}

} // namespace

void orvel_i_dropbox_start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *session_info)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result;
    char *config = nullptr;

    auto *handle = static_cast<orvel_dropbox_handle_t *>(orvel_dropbox_calloc(1, sizeof(orvel_dropbox_handle_t)));
    if (handle == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto failed;
    }
    handle->max_upload = ORVEL_DROPBOX_MAX_UPLOAD;
    handle->retry_state.fd = -1;
    handle->changes.fd = -1;
    handle->username = orvel_dropbox_strdup(
        session_info != nullptr && session_info->username != nullptr ? session_info->username : "");
    if (handle->username == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto failed;
    }

    orvel_l_dropbox_make_state_dir();

    result = orvel_dropbox_update_token(handle, op);
    if (result != ORVEL_SUCCESS) {
        goto failed;
    }

    // A missing or bad policy leaves the rate as it was.
    orvel_gridftp_server_get_config_data(op, "config", &config);
    orvel_error_discard(orvel_dropbox_config_parse_json(config, &orvel_i_dropbox_api_per_second));

    orvel_i_dropbox_retry_state_create(handle->userid, orvel_i_dropbox_api_per_second, &handle->retry_state);
    orvel_i_dropbox_changes_create(handle->userid, &handle->changes);

    orvel_error_discard(orvel_dropbox_path_cache_init(&handle->cache));
    orvel_error_discard(orvel_dropbox_upload_state_init(&handle->upload_state));

    orvel_gridftp_server_set_checksum_support(op, ORVEL_DROPBOX_CHECKSUM_SUPPORT);
    orvel_gridftp_server_finished_session_start(op, ORVEL_SUCCESS, handle, nullptr, "/");
    ORVEL_DROPBOX_TRACE_EXIT();
    return;

failed:
    if (handle != nullptr) {
        orvel_l_dropbox_handle_free(handle);
    }
    // The exit line goes first: the host takes the error object over, and
    // with it the chain that the line prints.
    orvel_i_dropbox_log_error_exit(__func__, result);
    orvel_gridftp_server_finished_session_start(op, result, nullptr, nullptr, nullptr);
}
