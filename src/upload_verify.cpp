// The check of an upload's commit: the content hash the service reports for
// the stored file against the hash of the bytes sent. A stored file that
// differs must not stay the current version: while it still is, its previous
// revision is restored, or, when there was no file before, it is deleted.
// Between the commit and the undo another client may write the file; that
// write is left alone (the undo is conditional on the bad revision being
// the current one, as far as the service lets the plug-in say so).
#include "orvel_dropbox_transfer.h"

#include <strings.h>

#include <cstring>
#include <string>

namespace {

// Enters a file's metadata (a commit's or a restore's reply) into the path
// cache under `parent`.
orvel_result_t orvel_l_dropbox_cache_file(orvel_dropbox_handle_t *handle, json_t *metadata,
                                          orvel_dropbox_path_info_t *parent)
{
    if (metadata == nullptr)
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed info_parse!"));
    orvel_dropbox_path_info_t info{};
    orvel_result_t result = orvel_dropbox_file_info_parse(metadata, &info);
    if (result != ORVEL_SUCCESS) {
        orvel_dropbox_path_info_free(&info);
        return orvel_error_put(orvel_error_construct_error(nullptr, orvel_error_get(result), ORVEL_GFS_ERROR_GENERIC,
                                                           __FILE__, __func__, __LINE__, "%s", "Failed info_parse!"));
    }
    result = orvel_dropbox_path_cache_update(&handle->cache, &info, parent->name);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed cache update!"));
    }
    orvel_dropbox_path_info_free(&info);
    return result;
}

// One call of an RPC endpoint with `args` (released here); *reply_out gets
// the reply (the caller releases it).
orvel_result_t orvel_l_dropbox_rpc(orvel_dropbox_handle_t *handle, const orvel_dropbox_endpoint_t *endpoint,
                                   json_t *args, json_t **reply_out)
{
    *reply_out = nullptr;
    if (args == nullptr)
        return orvel_dropbox_error_system_malloc();
    orvel_dropbox_api_call_t call{};
    call.endpoint = endpoint;
    call.args = args;
    orvel_result_t result = orvel_dropbox_api_call(handle, &call, reply_out, nullptr);
    json_decref(args);
    return result;
}

// The revision of entry `index` of a list_revisions reply, or null.
const char *orvel_l_dropbox_listed_rev(json_t *revisions, size_t index)
{
    json_t *rev = json_object_get(json_array_get(json_object_get(revisions, "entries"), index), "rev");
    return json_is_string(rev) ? json_string_value(rev) : nullptr;
}

// Takes the bad revision `bad_rev` of `path` back while it is the file's
// current one; *what_out says what became of the file.
orvel_result_t orvel_l_dropbox_take_back(orvel_dropbox_handle_t *handle, const char *path,
                                         orvel_dropbox_path_info_t *parent, bool replaced_file, const char *bad_rev,
                                         const char **what_out)
{
    json_t *revisions = nullptr;
    json_t *reply = nullptr;
    bool restored = false;
    *what_out = "it could not be taken back";
    orvel_result_t result = orvel_l_dropbox_rpc(handle, &orvel_i_dropbox_ep_list_revisions,
                                                json_pack("{s:s, s:i}", "path", path, "limit", 2), &revisions);
    const char *current = orvel_l_dropbox_listed_rev(revisions, 0);
    const char *previous = orvel_l_dropbox_listed_rev(revisions, 1);
    if (result != ORVEL_SUCCESS) {
        // What the file holds now is not known.
    } else if (current == nullptr || strcmp(current, bad_rev) != 0) {
        *what_out = "another client has written the file since, and that version was left as it is";
    } else if (replaced_file && previous != nullptr) {
        result = orvel_l_dropbox_rpc(handle, &orvel_i_dropbox_ep_restore,
                                     json_pack("{s:s, s:s}", "path", path, "rev", previous), &reply);
        if (result == ORVEL_SUCCESS) {
            *what_out = "the previous version was restored";
            restored = true;
            orvel_error_discard(orvel_l_dropbox_cache_file(handle, reply, parent));
        }
    } else {
        // Deleted only while the bad revision is still the file's latest.
        result = orvel_l_dropbox_rpc(handle, &orvel_i_dropbox_ep_delete,
                                     json_pack("{s:s, s:s}", "path", path, "parent_rev", bad_rev), &reply);
        if (result == ORVEL_SUCCESS)
            *what_out = "the new file was removed";
    }
    // Unless restored, what the file is now is the service's to say.
    if (!restored)
        orvel_error_discard(orvel_dropbox_path_cache_remove(&handle->cache, path));
    json_decref(reply);
    json_decref(revisions);
    return result;
}

} // namespace

bool orvel_dropbox_upload_replaces_file(orvel_dropbox_handle_t *handle, const char *path)
{
    orvel_dropbox_path_info_t *cached = orvel_dropbox_path_cache_query(&handle->cache, path);
    return cached != nullptr && cached->type == ORVEL_DROPBOX_FILE;
}

orvel_result_t orvel_dropbox_upload_commit_check(orvel_dropbox_handle_t *handle, const char *path,
                                                 orvel_dropbox_path_info_t *parent, bool replaced_file, json_t *reply,
                                                 const char *computed)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    json_t *stored = json_object_get(reply, "content_hash");
    const char *service = json_is_string(stored) ? json_string_value(stored) : nullptr;
    orvel_result_t result = ORVEL_SUCCESS;
    if (computed == nullptr || service == nullptr || strcasecmp(computed, service) == 0) {
        if (computed == nullptr)
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "content hash of %s not verified\n", path);
        else if (service == nullptr)
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_WARN, "the answer for %s carries no content hash\n", path);
        else
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "content hash of %s verified: %s\n", path, computed);
        result = orvel_l_dropbox_cache_file(handle, reply, parent);
        ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
        return result;
    }

    json_t *rev = json_object_get(reply, "rev");
    const char *what = "the stored version names no revision and could not be taken back";
    orvel_result_t undone = ORVEL_SUCCESS;
    if (json_is_string(rev))
        undone = orvel_l_dropbox_take_back(handle, path, parent, replaced_file, json_string_value(rev), &what);
    else
        orvel_error_discard(orvel_dropbox_path_cache_remove(&handle->cache, path));
    const std::string text =
        std::string("The content hash of the stored file differs from the data sent; ") + what + ".";
    orvel_dsi_rest_key_value_t pairs[2] = {
        {const_cast<char *>("Dropbox-Path"), const_cast<char *>(path)},
        {const_cast<char *>("Dropbox-Error"), const_cast<char *>(text.c_str())},
    };
    orvel_dsi_rest_key_array_t details = {2, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(nullptr, nullptr, &details);
    orvel_object_t *undo_error = orvel_error_get(undone);
    if (cause != nullptr && undo_error != nullptr)
        orvel_error_set_cause(cause, undo_error);
    else if (undo_error != nullptr)
        orvel_object_free(undo_error);
    result = orvel_dropbox_error_checksum_mismatch(cause, computed, service);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
