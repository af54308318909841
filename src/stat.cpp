// The stat slot: the stat of one path, or the listing of a folder handed to
// the host in batches of 100 records.
#include "orvel_dropbox_common.h"

#include <cstdlib>
#include <cstring>

namespace {

// A listing in progress: the batch buffer and how much of it is filled.
struct orvel_dropbox_stat_state_t {
    orvel_gfs_operation_t op;                        /* the host's operation, for partial replies */
    const orvel_gfs_stat_info_t *stat_info;          /* the host's request */
    orvel_gridftp_server_control_stat_t *stat_array; /* ORVEL_DROPBOX_STAT_BATCH records */
    int stat_count;                                  /* records filled since the last batch */
};

void orvel_l_dropbox_release_names(orvel_gridftp_server_control_stat_t *stats, int count)
{
    for (int i = 0; i < count; ++i) {
        orvel_dropbox_free(stats[i].name);
        stats[i].name = nullptr;
    }
}

// What a failed listing of folder `path` answers: the folder is not there,
// is no folder, or could not be listed just now.
orvel_result_t orvel_l_dropbox_listing_failed(orvel_result_t result, const char *path)
{
    if (!orvel_dropbox_says_absent(result))
        return orvel_dropbox_error_lookup_failed(result, path);
    orvel_object_t *error = orvel_error_peek(result);
    const char *summary = orvel_dropbox_error_get_info(error, "error_summary");
    if (std::strstr(summary, "not_folder") == nullptr) {
        orvel_error_discard(result);
        return orvel_dropbox_error_path_not_found(path);
    }
    return orvel_dropbox_error_not_a_directory(orvel_error_get(result), path);
}

} // namespace

extern "C" {

orvel_result_t orvel_dropbox_stat_entry(orvel_dropbox_handle_t *handle, const char *,
                                        const orvel_dropbox_path_info_t *path_info, void *callback_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *state = static_cast<orvel_dropbox_stat_state_t *>(callback_arg);
    orvel_result_t result = ORVEL_SUCCESS;

    // Objects that are neither files nor folders are cached but not shown.
    if (path_info->type != ORVEL_DROPBOX_UNKNOWN) {
        result = orvel_dropbox_info_to_stat(handle, path_info, &state->stat_array[state->stat_count]);
        if (result == ORVEL_SUCCESS && ++state->stat_count == ORVEL_DROPBOX_STAT_BATCH) {
            orvel_gridftp_server_finished_stat_partial(state->op, ORVEL_SUCCESS, state->stat_array, state->stat_count);
            orvel_l_dropbox_release_names(state->stat_array, state->stat_count);
            state->stat_count = 0;
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

void orvel_i_dropbox_stat_single(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info,
                                 orvel_dropbox_handle_t *handle)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_gridftp_server_control_stat_t stat{};
    orvel_dropbox_path_info_t *entry = nullptr;

    orvel_result_t result = orvel_dropbox_path_resolve(handle, stat_info->pathname, &entry, nullptr);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_info_to_stat(handle, entry, &stat);

    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_stat(op, result, &stat, 1);
    orvel_l_dropbox_release_names(&stat, 1);
}

void orvel_i_dropbox_stat_multi(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info,
                                orvel_dropbox_handle_t *handle)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_gridftp_server_control_stat_t stats[ORVEL_DROPBOX_STAT_BATCH] = {};
    orvel_dropbox_stat_state_t state{op, stat_info, stats, 0};
    orvel_result_t result = ORVEL_SUCCESS;

    // A cached folder needs no confirming first: its listing confirms it.
    orvel_dropbox_changes_check(handle);
    orvel_dropbox_path_info_t *folder = orvel_dropbox_path_cache_query(&handle->cache, stat_info->pathname);
    if (folder == nullptr || folder->type != ORVEL_DROPBOX_FOLDER)
        result = orvel_dropbox_path_resolve(handle, stat_info->pathname, &folder, nullptr);
    if (result == ORVEL_SUCCESS) {
        // The folder itself comes first, as "." (its own name is not needed).
        orvel_error_discard(orvel_dropbox_info_to_stat(handle, folder, &stats[0]));
        orvel_dropbox_free(stats[0].name);
        stats[0].name = orvel_dropbox_strdup(".");
        if (stats[0].name == nullptr)
            result = orvel_dropbox_error_system_malloc();
        else
            state.stat_count = 1;

        const uint64_t since = orvel_dropbox_confirmation_take();
        const int64_t at = orvel_dropbox_monotonic_ms();
        if (result == ORVEL_SUCCESS) {
            result = orvel_dropbox_get_folder_items(handle, stat_info->pathname, orvel_dropbox_stat_entry, &state);
            if (result != ORVEL_SUCCESS)
                result = orvel_l_dropbox_listing_failed(result, stat_info->pathname);
        }
        // Every child is cached now (the folder is looked up again there
        // rather than trusting a record obtained before the listing).
        if (result == ORVEL_SUCCESS)
            orvel_dropbox_mark_listed(handle, stat_info->pathname, since, at);
    }

    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_stat(op, result, stats, state.stat_count);
    orvel_l_dropbox_release_names(stats, state.stat_count);
}

void orvel_i_dropbox_stat(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);

    orvel_result_t result = orvel_dropbox_update_token(handle, op);
    if (result != ORVEL_SUCCESS) {
        orvel_i_dropbox_log_error_exit(__func__, result);
        orvel_gridftp_server_finished_stat(op, result, nullptr, 0);
        return;
    }
    if (stat_info->file_only)
        orvel_i_dropbox_stat_single(op, stat_info, handle);
    else
        orvel_i_dropbox_stat_multi(op, stat_info, handle);
    ORVEL_DROPBOX_TRACE_EXIT();
}

} // extern "C"
