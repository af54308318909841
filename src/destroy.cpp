// Session teardown: releases the session handle and everything it owns.
#include "orvel_common.h"
#include "orvel_dropbox_common.h"

#include <cstdlib>

namespace {

void orvel_l_dropbox_free_path_info(void *datum)
{
    orvel_dropbox_path_info_free(static_cast<orvel_dropbox_path_info_t *>(datum));
}

void orvel_l_dropbox_free_upload_session(void *datum)
{
    orvel_dropbox_upload_session_free(static_cast<orvel_dropbox_upload_session_t *>(datum));
}

} // namespace

void orvel_i_dropbox_destroy(void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);
    if (handle != nullptr) {
        orvel_hashtable_destroy_all(&handle->cache, orvel_l_dropbox_free_path_info);
        orvel_hashtable_destroy_all(&handle->upload_state, orvel_l_dropbox_free_upload_session);
        if (handle->retry_state.is) {
            orvel_i_dropbox_retry_state_destroy(&handle->retry_state);
        }
        if (handle->changes.is) {
            orvel_i_dropbox_changes_destroy(&handle->changes);
        }
        orvel_dropbox_free(handle->username);
        orvel_dropbox_free(handle->userid);
        orvel_dropbox_free(handle->root_namespace_id);
        orvel_dropbox_free(handle->access_token);
        orvel_dropbox_free(handle);
    }
    ORVEL_DROPBOX_TRACE_EXIT();
}
