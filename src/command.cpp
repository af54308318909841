// The command slot: token refresh, dispatch of the supported commands (make
// directory, delete, rename, checksum) and refusal of all others.
#include "orvel_dropbox_common.h"
#include "orvel_dropbox_transfer.h"

#include <strings.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace {

// Why arguments naming `first` (and `second`) could not be built: a path that
// is not UTF-8 cannot be sent to the service at all, anything else is memory.
orvel_result_t orvel_l_dropbox_args_failed(const char *first, const char *second)
{
    int saved = errno;
    for (const char *path : {first, second}) {
        errno = 0;
        json_t *probe = path != nullptr ? json_string(path) : nullptr;
        if (path != nullptr && probe == nullptr && errno != ENOMEM) {
            return orvel_dropbox_error_invalid_path_name("<Invalid Name>");
        }
        json_decref(probe);
    }
    errno = saved;
    return orvel_dropbox_error_system_malloc();
}

// The "metadata" member of a create-folder or move reply, parsed and entered
// into the cache under `parent_path`. `as_folder` parses it as a folder
// whatever its tag says.
orvel_result_t orvel_l_dropbox_enter_metadata(orvel_dropbox_handle_t *handle, json_t *reply, const char *parent_path,
                                              bool as_folder, const char *unexpected)
{
    if (reply == nullptr)
        return orvel_dropbox_error_system_malloc();
    json_t *metadata = json_object_get(reply, "metadata");
    if (metadata == nullptr)
        return ORVEL_DROPBOX_ERROR_GENERIC(unexpected);

    orvel_dropbox_path_info_t info{};
    orvel_result_t result =
        as_folder ? orvel_dropbox_folder_info_parse(metadata, &info) : orvel_dropbox_object_info_parse(metadata, &info);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_path_cache_update(&handle->cache, &info, parent_path);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        result = ORVEL_DROPBOX_ERROR_GENERIC("Failed info_parse!");
    }
    orvel_dropbox_path_info_free(&info);
    return result;
}

// Whether the service's summary of a failed call contains `words`.
bool orvel_l_dropbox_summary_has(orvel_result_t result, const char *words)
{
    orvel_object_t *error = orvel_error_peek(result);
    const char *summary = error != nullptr ? orvel_dropbox_error_get_info(error, "error_summary") : nullptr;
    return summary != nullptr && std::strstr(summary, words) != nullptr;
}

// Notes that a call is being made again: its first attempt may have reached
// the service although its reply was lost.
orvel_result_t orvel_l_dropbox_note_repeat(orvel_dropbox_api_call_t *, void *arg)
{
    *static_cast<bool *>(arg) = true;
    return ORVEL_SUCCESS;
}

// A resolution for a path about to be created that found no entry: its
// failure counts only when it is not the plain "not found".
orvel_result_t orvel_l_dropbox_lookup_failure(orvel_result_t resolved)
{
    if (resolved == ORVEL_SUCCESS || orvel_dropbox_is_path_not_found(resolved)) {
        orvel_error_discard(resolved);
        return ORVEL_SUCCESS;
    }
    return resolved;
}

// Checks the parent of a path that is about to be created (resolution
// already done): present and a folder.
orvel_result_t orvel_l_dropbox_check_parent(const orvel_dropbox_path_info_t *parent, const char *parent_path)
{
    if (parent == nullptr)
        return orvel_dropbox_error_path_not_found(parent_path);
    if (parent->type != ORVEL_DROPBOX_FOLDER)
        return orvel_dropbox_error_not_a_directory(nullptr, parent_path);
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_l_dropbox_mkdir(orvel_dropbox_handle_t *handle, const char *pathname)
{
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    json_t *args = nullptr;
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};

    char *parent_path = orvel_dropbox_parent_path(pathname, &result);
    if (parent_path == nullptr)
        goto out;
    if (parent_path[1] == '\0' && handle->is_team) {
        // The root of a team space only holds team folders.
        result = orvel_dropbox_error_team_root();
        goto out;
    }
    // The outputs decide whether the path and its parent exist, unless the
    // service could not be asked.
    result = orvel_dropbox_path_resolve(handle, pathname, &entry, &parent);
    if (entry != nullptr) {
        orvel_error_discard(result);
        result = entry->type != ORVEL_DROPBOX_FOLDER ? orvel_dropbox_error_not_a_directory(nullptr, pathname)
                                                     : ORVEL_SUCCESS;
        goto out; // an existing folder is success without a call
    }
    result = orvel_l_dropbox_lookup_failure(result);
    if (result == ORVEL_SUCCESS)
        result = orvel_l_dropbox_check_parent(parent, parent_path);
    if (result != ORVEL_SUCCESS)
        goto out;

    args = json_pack("{s:s}", "path", pathname);
    if (args == nullptr) {
        result = orvel_l_dropbox_args_failed(pathname, nullptr);
        goto out;
    }
    call.endpoint = &orvel_i_dropbox_ep_create_folder;
    call.args = args;
    result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);
    if (result == ORVEL_SUCCESS) {
        result = orvel_l_dropbox_enter_metadata(handle, reply, parent_path, true, "mkdir response was unexpected");
    } else if (orvel_l_dropbox_summary_has(result, "conflict/folder")) {
        // A folder is there: made by this call's first attempt whose reply
        // was lost, or by another client just before. Either way the same
        // success as for any existing folder, once it is confirmed.
        if (orvel_dropbox_path_confirm(handle, pathname) == ORVEL_SUCCESS) {
            entry = orvel_dropbox_path_cache_query(&handle->cache, pathname);
            if (entry != nullptr && entry->type == ORVEL_DROPBOX_FOLDER) {
                orvel_error_discard(result);
                result = ORVEL_SUCCESS;
            }
        }
    }

out:
    json_decref(reply);
    json_decref(args);
    orvel_dropbox_free(parent_path);
    return result;
}

// A move answered "source not found": success when the destination holds
// the source's object (the cache then follows the account), otherwise the
// source is not there.
orvel_result_t orvel_l_dropbox_moved_already(orvel_dropbox_handle_t *handle, const char *from_path, const char *to_path,
                                             const char *source_id, orvel_result_t failure)
{
    orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, from_path));
    orvel_result_t confirmed = orvel_dropbox_path_confirm(handle, to_path);
    if (confirmed != ORVEL_SUCCESS) {
        orvel_error_discard(confirmed);
        return failure;
    }
    orvel_dropbox_path_info_t *moved = orvel_dropbox_path_cache_query(&handle->cache, to_path);
    if (moved != nullptr && moved->id != nullptr && std::strcmp(moved->id, source_id) == 0) {
        orvel_error_discard(failure);
        return ORVEL_SUCCESS;
    }
    orvel_error_discard(failure);
    return orvel_dropbox_error_path_not_found(from_path);
}

orvel_result_t orvel_l_dropbox_rename(orvel_dropbox_handle_t *handle, const char *from_path, const char *to_path)
{
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *source = nullptr;
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    char *parent_path = nullptr;
    bool source_is_folder = false;
    char *source_id = nullptr;
    json_t *args = nullptr;
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};

    if (from_path == nullptr || to_path == nullptr) {
        result = orvel_dropbox_error_path_not_found(nullptr);
        goto out;
    }
    result = orvel_dropbox_path_resolve(handle, from_path, &source, &parent);
    if (result != ORVEL_SUCCESS)
        goto out;
    // Keep only the kind and the id: resolving the destination may replace
    // the record.
    source_is_folder = source->type == ORVEL_DROPBOX_FOLDER;
    source_id = source->id != nullptr ? orvel_dropbox_strdup(source->id) : nullptr;
    if (source_id == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    parent_path = orvel_dropbox_parent_path(to_path, &result);
    if (parent_path == nullptr)
        goto out;
    if (parent_path[1] == '\0' && handle->is_team) {
        result = orvel_dropbox_error_team_root();
        goto out;
    }
    entry = nullptr;
    parent = nullptr;
    result = orvel_dropbox_path_resolve(handle, to_path, &entry, &parent);
    if (entry != nullptr) {
        orvel_error_discard(result);
        result = ORVEL_SUCCESS;
        // The source itself under another spelling is a rename of the case
        // of its name, which the service makes; anything else is in the way.
        bool case_only = std::strcmp(from_path, to_path) != 0 && entry->id != nullptr &&
                         std::strcmp(entry->id, source_id) == 0 && orvel_dropbox_path_same(from_path, to_path);
        if (!case_only) {
            result = orvel_dropbox_error_path_exists(to_path);
            goto out;
        }
    } else {
        result = orvel_l_dropbox_lookup_failure(result);
    }
    if (result == ORVEL_SUCCESS)
        result = orvel_l_dropbox_check_parent(parent, parent_path);
    if (result != ORVEL_SUCCESS)
        goto out;

    args = json_pack("{s:s, s:s}", "from_path", from_path, "to_path", to_path);
    if (args == nullptr) {
        result = orvel_l_dropbox_args_failed(from_path, to_path);
        goto out;
    }
    call.endpoint = &orvel_i_dropbox_ep_move;
    call.args = args;
    result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);
    if (result != ORVEL_SUCCESS && orvel_l_dropbox_summary_has(result, "from_lookup/not_found")) {
        // The source is gone. When the destination now holds the source's
        // object, this call moved it in an attempt whose reply was lost.
        result = orvel_l_dropbox_moved_already(handle, from_path, to_path, source_id, result);
        goto out;
    }
    if (result != ORVEL_SUCCESS)
        goto out;

    // The old path (and for a folder everything below it) is gone.
    if (source_is_folder)
        orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, from_path));
    else
        orvel_error_discard(orvel_dropbox_path_cache_remove(&handle->cache, from_path));
    result =
        orvel_l_dropbox_enter_metadata(handle, reply, parent_path, source_is_folder, "move response was unexpected");

out:
    json_decref(reply);
    json_decref(args);
    orvel_dropbox_free(source_id);
    orvel_dropbox_free(parent_path);
    return result;
}

// ------------------------------------------------------------------ checksum

struct orvel_i_dropbox_cksm_state_t {
    orvel_gfs_operation_t op;       /* the host's operation, for progress replies */
    int response_freq;              /* progress interval in seconds; <= 0 none */
    int response_due;               /* time of the next progress reply; 0 none */
    orvel_off_t total_bytes;        /* bytes digested so far */
    orvel_gfs_checksum_state_t ctx; /* the host's digest context */
};

// The range asked for, downloaded into the digest in order (a large one as
// parallel pieces): a repeated attempt continues where the bytes stopped, so
// each byte is digested once.
orvel_result_t orvel_l_dropbox_cksm_download(orvel_dropbox_handle_t *handle, const orvel_dropbox_path_info_t *record,
                                             const orvel_gfs_command_info_t *info, orvel_i_dropbox_cksm_state_t *state)
{
    orvel_dropbox_download_t file{};
    orvel_result_t result = orvel_dropbox_download_init(&file, record->id);
    if (result == ORVEL_SUCCESS) {
        file.expected_size = record->size;
        result = orvel_dropbox_download_range(handle, &file, state->op, info->cksm_offset, info->cksm_length,
                                              orvel_i_dropbox_cksm_cb, state, nullptr);
    }
    orvel_dropbox_download_release(&file);
    return result;
}

// Stores a digest text in the cached record (MD5, SHA1, SHA256) or releases it.
void orvel_l_dropbox_keep_digest(orvel_dropbox_path_info_t *record, const char *algorithm, char *digest)
{
    char **field = nullptr;
    if (strcasecmp(algorithm, "MD5") == 0)
        field = &record->md5;
    else if (strcasecmp(algorithm, "SHA1") == 0)
        field = &record->sha1;
    else if (strcasecmp(algorithm, "SHA256") == 0)
        field = &record->sha256;
    if (field == nullptr) {
        orvel_dropbox_free(digest);
        return;
    }
    orvel_dropbox_free(*field);
    *field = digest;
}

orvel_result_t orvel_l_dropbox_cksm(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                    const orvel_gfs_command_info_t *info, char *cksumstr)
{
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *record = nullptr;
    orvel_i_dropbox_cksm_state_t state{};
    const char *algorithm = info->cksm_alg != nullptr ? info->cksm_alg : "";
    char *digest = nullptr;

    if (info->cksm_offset < 0 || info->cksm_length < -1 ||
        (info->cksm_length > 0 && info->cksm_length - 1 > INT64_MAX - info->cksm_offset)) {
        result = orvel_dropbox_error_invalid_range(info->cksm_offset, info->cksm_length);
        goto out;
    }
    result = orvel_dropbox_path_resolve(handle, info->pathname, &record, nullptr);
    if (result != ORVEL_SUCCESS)
        goto out;

    // The service's own content hash of the whole file needs no transfer.
    if (strcasecmp(algorithm, "DROPBOX") == 0 && record->hash != nullptr && info->cksm_offset == 0 &&
        info->cksm_length == -1) {
        std::snprintf(cksumstr, 257, "%s", record->hash);
        goto out;
    }

    state.op = op;
    orvel_gridftp_server_get_update_interval(op, &state.response_freq);
    if (state.response_freq > 0)
        state.response_due = static_cast<int>(std::time(nullptr)) + state.response_freq;
    result = orvel_gfs_checksum_init(algorithm, &state.ctx);
    if (result != ORVEL_SUCCESS) {
        state.ctx = nullptr;
        goto out;
    }

    if (info->cksm_length != 0) {
        result = orvel_l_dropbox_cksm_download(handle, record, info, &state);
        if (result != ORVEL_SUCCESS)
            goto out;
    }

    result = orvel_gfs_checksum_finalize(state.ctx, &digest);
    state.ctx = nullptr; // finalize frees the context in every case
    if (result != ORVEL_SUCCESS)
        goto out;
    if (digest != nullptr) {
        std::snprintf(cksumstr, 257, "%s", digest);
        // Only a digest of the whole file describes the file. Resolution was
        // the last operation that could enter metadata, so the record is
        // still the cached one.
        if (info->cksm_offset == 0 && info->cksm_length == -1) {
            orvel_l_dropbox_keep_digest(record, algorithm, digest);
            digest = nullptr;
        }
    }

out:
    if (state.ctx != nullptr)
        orvel_gfs_checksum_abort(state.ctx);
    orvel_dropbox_free(digest);
    return result;
}

} // namespace

extern "C" {

orvel_result_t orvel_i_dropbox_cksm_cb(void *callback_arg, const void *buffer, size_t buffer_length)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *state = static_cast<orvel_i_dropbox_cksm_state_t *>(callback_arg);
    state->total_bytes += static_cast<orvel_off_t>(buffer_length);
    if (state->response_due != 0) {
        int now = static_cast<int>(std::time(nullptr));
        if (now >= state->response_due) {
            char text[32];
            std::snprintf(text, sizeof text, "%" PRId64, state->total_bytes);
            orvel_gridftp_server_intermediate_command(state->op, ORVEL_SUCCESS, text);
            state->response_due = now + state->response_freq;
        }
    }
    return orvel_gfs_checksum_update(state->ctx, static_cast<const unsigned char *>(buffer), buffer_length);
}

void orvel_i_dropbox_mkdir(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_l_dropbox_mkdir(static_cast<orvel_dropbox_handle_t *>(user_arg), cmd_info->pathname);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_command(op, result, cmd_info->pathname);
}

void orvel_i_dropbox_rename(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_l_dropbox_rename(static_cast<orvel_dropbox_handle_t *>(user_arg),
                                                   cmd_info->from_pathname, cmd_info->pathname);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_command(op, result, cmd_info->pathname);
}

orvel_result_t orvel_i_dropbox_delete_object(orvel_dropbox_handle_t *handle, orvel_dropbox_path_info_t *path_info,
                                             orvel_gfs_command_info_t *)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    json_t *reply = nullptr;
    orvel_dropbox_api_call_t call{};
    bool repeated = false;
    json_t *args = json_pack("{s:s}", "path", path_info->name);
    if (args == nullptr) {
        result = orvel_dropbox_error_system_malloc();
    } else {
        call.endpoint = &orvel_i_dropbox_ep_delete;
        call.args = args;
        call.before_retry = orvel_l_dropbox_note_repeat;
        call.before_retry_arg = &repeated;
        result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);
    }
    if (result != ORVEL_SUCCESS && orvel_l_dropbox_summary_has(result, "not_found")) {
        // Not there (any more): a repeated attempt finds what its first
        // attempt, whose reply was lost, did. The record goes either way.
        orvel_error_discard(result);
        result = repeated ? ORVEL_SUCCESS : orvel_dropbox_error_path_not_found(path_info->name);
        orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, path_info->name));
    } else if (result == ORVEL_SUCCESS) {
        // A deleted folder takes everything below it along.
        if (path_info->type == ORVEL_DROPBOX_FOLDER)
            orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, path_info->name));
        else
            orvel_error_discard(orvel_dropbox_path_cache_remove(&handle->cache, path_info->name));
    }
    json_decref(reply);
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

void orvel_i_dropbox_delete(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);
    orvel_dropbox_path_info_t *record = nullptr;
    orvel_result_t result = orvel_dropbox_path_resolve(handle, cmd_info->pathname, &record, nullptr);
    if (result == ORVEL_SUCCESS)
        result = orvel_i_dropbox_delete_object(handle, record, cmd_info);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_command(op, result, nullptr);
}

void orvel_i_dropbox_cksm(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    char cksumstr[257] = {};
    orvel_result_t result =
        orvel_l_dropbox_cksm(op, static_cast<orvel_dropbox_handle_t *>(user_arg), cmd_info, cksumstr);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_command(op, result,
                                          result == ORVEL_SUCCESS && cksumstr[0] != '\0' ? cksumstr : nullptr);
}

void orvel_i_dropbox_command(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);

    orvel_result_t result = orvel_dropbox_update_token(handle, op);
    if (result != ORVEL_SUCCESS) {
        orvel_i_dropbox_log_error_exit(__func__, result);
        orvel_gridftp_server_finished_command(op, result, nullptr);
        return;
    }

    // Compared as an unsigned number: nothing outside 0..8 reaches a handler.
    switch (static_cast<unsigned int>(cmd_info->command)) {
    case ORVEL_GFS_CMD_MKD:
        orvel_i_dropbox_mkdir(op, cmd_info, handle);
        break;
    case ORVEL_GFS_CMD_RMD:
    case ORVEL_GFS_CMD_DELE:
    case ORVEL_GFS_CMD_SITE_RDEL:
        orvel_i_dropbox_delete(op, cmd_info, handle);
        break;
    case ORVEL_GFS_CMD_RNTO:
        orvel_i_dropbox_rename(op, cmd_info, handle);
        break;
    case ORVEL_GFS_CMD_CKSM:
        orvel_i_dropbox_cksm(op, cmd_info, handle);
        break;
    default:
        orvel_gridftp_server_finished_command(op, orvel_dropbox_error_not_implemented(), nullptr);
        break;
    }
    ORVEL_DROPBOX_TRACE_EXIT();
}

} // extern "C"
