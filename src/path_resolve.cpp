// Path resolution: a GridFTP path to its cached metadata record, listing the
// parent folder once when the cache cannot answer, and confirming with the
// service what the cache holds when it may be out of date (another session
// of the account changed something, or it is older than the maximum age);
// and the conversion of a record to the host's stat record.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Lists `parent_path` into the cache; on success the folder is marked as
// listed from the listing's start on.
orvel_result_t orvel_l_dropbox_list_parent(orvel_dropbox_handle_t *handle, const char *parent_path)
{
    uint64_t since = orvel_dropbox_confirmation_take();
    int64_t at = orvel_dropbox_monotonic_ms();
    orvel_result_t result = orvel_dropbox_get_folder_items(handle, parent_path, nullptr, nullptr);
    if (result == ORVEL_SUCCESS)
        orvel_dropbox_mark_listed(handle, parent_path, since, at);
    return result;
}

// The service's summary of a failed call, or null.
const char *orvel_l_dropbox_summary(orvel_result_t result)
{
    orvel_object_t *error = orvel_error_peek(result);
    return error != nullptr ? orvel_dropbox_error_get_info(error, "error_summary") : nullptr;
}

// An object that is neither a file nor a folder (deleted) is not there.
bool orvel_l_dropbox_exists(const orvel_dropbox_path_info_t *info)
{
    return info != nullptr && (info->type == ORVEL_DROPBOX_FILE || info->type == ORVEL_DROPBOX_FOLDER);
}

} // namespace

extern "C" {

uint32_t orvel_dropbox_djb2(const char *text)
{
    uint32_t hash = 5381;
    if (text == nullptr)
        return hash;
    for (const char *p = text; *p != '\0'; ++p) {
        // Bytes count as signed 8-bit values; the arithmetic wraps.
        hash = hash * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    }
    return hash;
}

char *orvel_dropbox_parent_path(const char *path, orvel_result_t *result_out)
{
    const char *slash = path != nullptr ? std::strrchr(path, '/') : nullptr;
    if (slash == nullptr) {
        if (result_out != nullptr) {
            *result_out = orvel_dropbox_error_invalid_path_name(path);
        }
        return nullptr;
    }
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    char *parent = orvel_dropbox_strndup(path, length);
    if (parent == nullptr && result_out != nullptr)
        *result_out = orvel_dropbox_error_system_malloc();
    else if (result_out != nullptr)
        *result_out = ORVEL_SUCCESS;
    return parent;
}

bool orvel_dropbox_record_fresh(const orvel_dropbox_handle_t *handle, const orvel_dropbox_path_info_t *info)
{
    if (info->name != nullptr && info->name[0] == '/' && info->name[1] == '\0')
        return true;
    return info->confirmed != 0 && info->confirmed >= handle->changes.valid_from &&
           orvel_dropbox_monotonic_ms() - info->confirmed_ms < orvel_i_dropbox_metadata_max_age_ms;
}

bool orvel_dropbox_listing_fresh(const orvel_dropbox_handle_t *handle, const orvel_dropbox_path_info_t *folder)
{
    return folder->listed && folder->listed_at >= handle->changes.valid_from &&
           orvel_dropbox_monotonic_ms() - folder->listed_ms < orvel_i_dropbox_metadata_max_age_ms;
}

void orvel_dropbox_mark_listed(orvel_dropbox_handle_t *handle, const char *path, uint64_t since, int64_t at_ms)
{
    orvel_dropbox_path_info_t *folder = orvel_dropbox_path_cache_query(&handle->cache, path);
    if (folder != nullptr) {
        folder->listed = true;
        folder->listed_at = since;
        folder->listed_ms = at_ms;
    }
}

bool orvel_dropbox_says_absent(orvel_result_t result)
{
    const char *summary = orvel_l_dropbox_summary(result);
    return summary != nullptr &&
           (std::strstr(summary, "not_found") != nullptr || std::strstr(summary, "not_folder") != nullptr);
}

bool orvel_dropbox_is_path_not_found(orvel_result_t result)
{
    orvel_object_t *error = orvel_error_peek(result);
    const char *code = error != nullptr ? orvel_gfs_error_get_ftp_response_error_code(error) : nullptr;
    return code != nullptr && std::strcmp(code, "PATH_NOT_FOUND") == 0;
}

orvel_result_t orvel_dropbox_error_lookup_failed(orvel_result_t result, const char *path)
{
    orvel_object_t *error = orvel_error_peek(result);
    int code = error != nullptr ? orvel_gfs_error_get_ftp_response_code(error) : 0;
    if (error == nullptr || (code != 0 && code != 500))
        return result;
    return orvel_dropbox_error_service_unavailable(orvel_error_get(result), path);
}

orvel_result_t orvel_dropbox_path_confirm(orvel_dropbox_handle_t *handle, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    json_t *reply = nullptr;
    orvel_dropbox_path_info_t info{};
    orvel_dropbox_api_call_t call{};
    orvel_dropbox_path_info_t *cached = nullptr;
    json_t *args = nullptr;
    json_t *name = nullptr;
    char *parent_path = orvel_dropbox_parent_path(path, nullptr);
    if (parent_path == nullptr || path[1] == '\0')
        goto out; // the root always exists; a path without "/" is only ever cached
    errno = 0;
    name = json_string(path);
    if (name == nullptr) {
        // Not UTF-8: no name the service could have.
        if (errno == ENOMEM)
            result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    args = json_object();
    if (args == nullptr || json_object_set_new(args, "path", name) != 0) { // takes `name` in every case
        if (args == nullptr)
            json_decref(name);
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    call.endpoint = &orvel_i_dropbox_ep_get_metadata;
    call.args = args;
    result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);
    if (result != ORVEL_SUCCESS) {
        if (orvel_dropbox_says_absent(result)) {
            orvel_error_discard(result);
            result = ORVEL_SUCCESS;
            orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, path));
        }
        goto out;
    }
    result = reply != nullptr ? orvel_dropbox_object_info_parse(reply, &info) : orvel_dropbox_error_system_malloc();
    if (result != ORVEL_SUCCESS)
        goto out;
    cached = orvel_dropbox_path_cache_query(&handle->cache, path);
    if (!orvel_l_dropbox_exists(&info) || (cached != nullptr && (cached->type != info.type || cached->id == nullptr ||
                                                                 std::strcmp(cached->id, info.id) != 0))) {
        // Gone, or another object now: nothing known below the old one holds.
        orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, path));
        cached = nullptr;
    }
    if (orvel_l_dropbox_exists(&info)) {
        if (cached != nullptr) {
            // The same folder: its listing stays as good as it was.
            info.listed = cached->listed;
            info.listed_at = cached->listed_at;
            info.listed_ms = cached->listed_ms;
        }
        result = orvel_dropbox_path_cache_update(&handle->cache, &info, parent_path);
    }

out:
    orvel_dropbox_path_info_free(&info);
    json_decref(reply);
    json_decref(args);
    orvel_dropbox_free(parent_path);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_path_resolve(orvel_dropbox_handle_t *handle, const char *path,
                                          orvel_dropbox_path_info_t **entry_out, orvel_dropbox_path_info_t **parent_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    char *parent_path = nullptr;
    bool unconfirmed = false; // a record that could not be confirmed answers nothing

    orvel_dropbox_changes_check(handle);
    entry = orvel_dropbox_path_cache_query(&handle->cache, path);
    if (entry != nullptr && !orvel_dropbox_record_fresh(handle, entry)) {
        result = orvel_dropbox_path_confirm(handle, path);
        entry = orvel_dropbox_path_cache_query(&handle->cache, path);
        unconfirmed = result != ORVEL_SUCCESS;
        if (unconfirmed)
            goto hand_out;
    }
    if (entry != nullptr && parent_out == nullptr)
        goto hand_out;

    // A path without any "/" has no parent and can only be found in the cache.
    parent_path = orvel_dropbox_parent_path(path, nullptr);
    if (parent_path == nullptr)
        goto hand_out;

    parent = orvel_dropbox_path_cache_query(&handle->cache, parent_path);
    if (parent != nullptr && parent->type != ORVEL_DROPBOX_FOLDER && parent_out != nullptr &&
        !orvel_dropbox_record_fresh(handle, parent)) {
        // "Not a directory" is an answer too: confirmed before it is given.
        result = orvel_dropbox_path_confirm(handle, parent_path);
        parent = orvel_dropbox_path_cache_query(&handle->cache, parent_path);
        if (result != ORVEL_SUCCESS)
            goto hand_out;
    }
    if (parent != nullptr) {
        if (!parent->listed) {
            result = orvel_l_dropbox_list_parent(handle, parent_path);
        } else if (entry == nullptr && !orvel_dropbox_listing_fresh(handle, parent)) {
            // A listing gone stale: one question for the one name.
            result = orvel_dropbox_path_confirm(handle, path);
        }
        // A fresh listing holds every child: a miss is final.
    } else {
        // Asked for the parent: resolve it first, so that the grandparent's
        // listing enters the parent's own record.
        if (parent_out != nullptr)
            orvel_error_discard(orvel_dropbox_path_resolve(handle, parent_path, nullptr, nullptr));
        result = orvel_l_dropbox_list_parent(handle, parent_path);
    }

hand_out:
    // Looked up again: a listing or a confirmation may have replaced (and
    // released) the records found before it.
    entry = orvel_dropbox_path_cache_query(&handle->cache, path);
    if (unconfirmed || !orvel_l_dropbox_exists(entry))
        entry = nullptr;
    if (parent_path != nullptr)
        parent = orvel_dropbox_path_cache_query(&handle->cache, parent_path);
    if (entry_out != nullptr)
        *entry_out = entry;
    if (parent_out != nullptr)
        *parent_out = parent;
    if (entry == nullptr) {
        // Missing: "not found" when the service said so or the cache knows
        // it; a lookup that could not be made is no answer about the path.
        if (result == ORVEL_SUCCESS || orvel_dropbox_says_absent(result) || orvel_dropbox_is_path_not_found(result)) {
            orvel_error_discard(result);
            result = orvel_dropbox_error_path_not_found(path);
        } else {
            result = orvel_dropbox_error_lookup_failed(result, path);
        }
    }
    orvel_dropbox_free(parent_path);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_info_to_stat(orvel_dropbox_handle_t *, const orvel_dropbox_path_info_t *info,
                                          orvel_gridftp_server_control_stat_t *stat_out)
{
    *stat_out = orvel_gridftp_server_control_stat_t{};
    stat_out->mode = info->type == ORVEL_DROPBOX_FOLDER ? 040700 : 0100700;
    stat_out->nlink = 1;
    stat_out->name = info->name != nullptr ? orvel_dropbox_strdup(info->name) : nullptr;
    stat_out->symlink_target = nullptr;
    stat_out->uid = 0;
    stat_out->gid = 0;
    stat_out->size = static_cast<int64_t>(info->size);
    stat_out->atime = info->modtime;
    stat_out->ctime = info->modtime;
    stat_out->mtime = info->modtime;
    stat_out->dev = static_cast<int>(orvel_dropbox_djb2(info->parent_id != nullptr ? info->parent_id : "000000"));
    stat_out->ino = static_cast<int>(orvel_dropbox_djb2(info->id != nullptr ? info->id : ""));
    stat_out->link_mode = 0;
    stat_out->error = 0;
    // A record without its name would show the object nameless.
    if (info->name != nullptr && stat_out->name == nullptr)
        return orvel_dropbox_error_system_malloc();
    return ORVEL_SUCCESS;
}

} // extern "C"
