// Path resolution: a GridFTP path to its cached metadata record, listing the
// parent folder once when the cache cannot answer; and the conversion of a
// record to the host's stat record.
#include "orvel_dropbox_common.h"

#include <cstdlib>
#include <cstring>

namespace {

// Lists `parent_path` into the cache and looks the parent and the entry up
// again afterwards, whatever the listing's outcome: a listing that failed
// part-way may have replaced (and released) records looked up before it.
orvel_result_t orvel_l_dropbox_list_and_requery(orvel_dropbox_handle_t *handle, const char *path,
                                                const char *parent_path, orvel_dropbox_path_info_t **entry,
                                                orvel_dropbox_path_info_t **parent)
{
    orvel_result_t result = orvel_dropbox_get_folder_items(handle, parent_path, nullptr, nullptr);
    *parent = orvel_dropbox_path_cache_query(&handle->cache, parent_path);
    if (result == ORVEL_SUCCESS && *parent != nullptr)
        (*parent)->listed = true;
    *entry = orvel_dropbox_path_cache_query(&handle->cache, path);
    return result;
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
            *result_out = orvel_error_put(orvel_gfs_ftp_response_error_construct(
                nullptr, nullptr, 553, "INVALID_PATH_NAME", "GridFTP-Path: %s", path != nullptr ? path : ""));
        }
        return nullptr;
    }
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    char *parent = strndup(path, length);
    if (parent == nullptr && result_out != nullptr)
        *result_out = orvel_dropbox_error_system_malloc();
    else if (result_out != nullptr)
        *result_out = ORVEL_SUCCESS;
    return parent;
}

orvel_result_t orvel_dropbox_path_resolve(orvel_dropbox_handle_t *handle, const char *path,
                                          orvel_dropbox_path_info_t **entry_out,
                                          orvel_dropbox_path_info_t **parent_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *entry = orvel_dropbox_path_cache_query(&handle->cache, path);
    orvel_dropbox_path_info_t *parent = nullptr;
    char *parent_path = nullptr;

    if (entry != nullptr && parent_out == nullptr)
        goto hand_out;

    // A path without any "/" has no parent and can only be found in the cache.
    parent_path = orvel_dropbox_parent_path(path, nullptr);
    if (parent_path == nullptr)
        goto hand_out;

    parent = orvel_dropbox_path_cache_query(&handle->cache, parent_path);
    if (parent != nullptr) {
        // A listed folder's children are all cached: a miss is final.
        if (!parent->listed)
            result = orvel_l_dropbox_list_and_requery(handle, path, parent_path, &entry, &parent);
    } else {
        // Asked for the parent: resolve it first, so that the grandparent's
        // listing enters the parent's own record.
        if (parent_out != nullptr)
            orvel_error_discard(orvel_dropbox_path_resolve(handle, parent_path, nullptr, nullptr));
        result = orvel_l_dropbox_list_and_requery(handle, path, parent_path, &entry, &parent);
    }

hand_out:
    if (entry_out != nullptr)
        *entry_out = entry;
    if (parent_out != nullptr)
        *parent_out = parent;
    if (entry == nullptr) {
        // A missing entry is always reported as such, whatever the listing said.
        orvel_error_discard(result);
        result = orvel_dropbox_error_path_not_found(path);
    }
    std::free(parent_path);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_info_to_stat(orvel_dropbox_handle_t *, const orvel_dropbox_path_info_t *info,
                                          orvel_gridftp_server_control_stat_t *stat_out)
{
    *stat_out = orvel_gridftp_server_control_stat_t{};
    stat_out->mode = info->type == ORVEL_DROPBOX_FOLDER ? 040700 : 0100700;
    stat_out->nlink = 1;
    stat_out->name = info->name != nullptr ? strdup(info->name) : nullptr;
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
    return ORVEL_SUCCESS;
}

} // extern "C"
