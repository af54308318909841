// The session's two tables: the path cache (full path -> metadata record) and
// the upload-session table (path -> upload session in progress).
//
// Both are string-keyed hash tables that never copy keys: the key of every
// entry is the stored record's own `name`, so it lives exactly as long as the
// record does.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// Key of a record with leaf name `name` inside folder `base_path`: the base,
// a separator unless the base is the root, and the name.
char *orvel_l_dropbox_cache_key(const char *base_path, const char *name)
{
    const size_t base_length = std::strlen(base_path);
    const size_t separator_length = base_length == 1 ? 0 : 1;
    const size_t name_length = std::strlen(name);
    auto *key = static_cast<char *>(std::malloc(base_length + separator_length + name_length + 1));
    if (key == nullptr)
        return nullptr;
    std::memcpy(key, base_path, base_length);
    if (separator_length != 0)
        key[base_length] = '/';
    std::memcpy(key + base_length + separator_length, name, name_length + 1);
    return key;
}

void orvel_l_dropbox_path_info_destroy(void *datum)
{
    orvel_dropbox_path_info_free(static_cast<orvel_dropbox_path_info_t *>(datum));
}

// Matches `path` itself and every key below it ("path/..."); below the root
// that is every key but the root's own, which a session always keeps.
struct orvel_l_dropbox_tree_arg {
    const char *path;
    size_t length;
};

int orvel_l_dropbox_in_tree(void *key, void *, void *arg)
{
    const auto *tree = static_cast<const orvel_l_dropbox_tree_arg *>(arg);
    const char *text = static_cast<const char *>(key);
    if (tree->length == 1 && tree->path[0] == '/')
        return std::strcmp(text, "/") != 0;
    if (std::strncmp(text, tree->path, tree->length) != 0)
        return 0;
    return text[tree->length] == '\0' || text[tree->length] == '/';
}

} // namespace

extern "C" {

orvel_result_t orvel_dropbox_path_cache_init(orvel_hashtable_t *cache)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    if (orvel_hashtable_init(cache, ORVEL_DROPBOX_TABLE_BUCKETS, orvel_hashtable_string_hash,
                             orvel_hashtable_string_keyeq) != 0) {
        result = orvel_dropbox_error_system_malloc();
    } else {
        // A fresh cache always knows the root folder (not yet listed).
        orvel_error_discard(orvel_dropbox_path_cache_update(cache, &orvel_i_dropbox_vfs_root_info, nullptr));
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_path_cache_update(orvel_hashtable_t *cache, const orvel_dropbox_path_info_t *info,
                                               const char *base_path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *copy = nullptr;

    if (cache == nullptr || *cache == nullptr || info == nullptr || info->name == nullptr) {
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "path cache: no table or no record name"));
        goto out;
    }
    if (base_path != nullptr && base_path[0] != '\0') {
        // The copy's name is the key: the leaf name is not copied on its own.
        char *key = orvel_l_dropbox_cache_key(base_path, info->name);
        if (key == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        orvel_dropbox_path_info_t leafless = *info;
        leafless.name = nullptr;
        copy = orvel_dropbox_path_info_copy(&leafless);
        if (copy == nullptr) {
            std::free(key);
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        copy->name = key;
    } else {
        copy = orvel_dropbox_path_info_copy(info);
        if (copy == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
    }
    if (orvel_hashtable_insert(cache, copy->name, copy) != 0) {
        auto *old = static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_lookup(cache, copy->name));
        if (old == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        // Present already: the new record's contents replace the old ones in
        // place, so the entry keeps its key string (the old name, same text)
        // and the table is walked once more instead of three times. The old
        // contents are released with the copy below.
        std::swap(*old, *copy);
        std::swap(old->name, copy->name);
        goto out;
    }
    copy = nullptr;

out:
    orvel_dropbox_path_info_free(copy);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_path_cache_remove(orvel_hashtable_t *cache, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    if (cache != nullptr && *cache != nullptr && path != nullptr) {
        orvel_dropbox_path_info_free(
            static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_remove(cache, const_cast<char *>(path))));
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(ORVEL_SUCCESS);
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dropbox_path_cache_remove_tree(orvel_hashtable_t *cache, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    if (cache != nullptr && *cache != nullptr && path != nullptr && path[0] != '\0') {
        // Copy the path first: it may be the key of an entry about to go.
        char *own = strdup(path);
        if (own != nullptr) {
            orvel_l_dropbox_tree_arg tree{own, std::strlen(own)};
            int removed = orvel_hashtable_remove_if(cache, orvel_l_dropbox_in_tree, &tree,
                                                    orvel_l_dropbox_path_info_destroy);
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "removed=%d path=%s\n", removed, own);
            // The root stays, but its children are no longer all known.
            if (tree.length == 1 && own[0] == '/') {
                auto *root = static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_lookup(cache, own));
                if (root != nullptr)
                    root->listed = false;
            }
            std::free(own);
        } else {
            // Without a copy at least the entry itself goes.
            orvel_dropbox_path_info_free(static_cast<orvel_dropbox_path_info_t *>(
                orvel_hashtable_remove(cache, const_cast<char *>(path))));
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(ORVEL_SUCCESS);
    return ORVEL_SUCCESS;
}

orvel_dropbox_path_info_t *orvel_dropbox_path_cache_query(orvel_hashtable_t *cache, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_path_info_t *info = nullptr;
    if (cache != nullptr && *cache != nullptr && path != nullptr)
        info = static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_lookup(cache, const_cast<char *>(path)));
    ORVEL_DROPBOX_TRACE_EXIT();
    return info;
}

orvel_result_t orvel_dropbox_upload_state_init(orvel_hashtable_t *cache)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    if (orvel_hashtable_init(cache, ORVEL_DROPBOX_TABLE_BUCKETS, orvel_hashtable_string_hash,
                             orvel_hashtable_string_keyeq) != 0)
        result = orvel_dropbox_error_system_malloc();
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_upload_state_update(orvel_hashtable_t *cache, orvel_dropbox_upload_session_t *upload,
                                                 const char *)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    if (cache == nullptr || *cache == nullptr || upload == nullptr || upload->name == nullptr) {
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "upload table: no table or no session name"));
    } else if (orvel_hashtable_insert(cache, upload->name, upload) != 0) {
        // The same path again: the older session goes, this one takes its place.
        orvel_dropbox_upload_session_t *old =
            static_cast<orvel_dropbox_upload_session_t *>(orvel_hashtable_remove(cache, upload->name));
        if (old != upload)
            orvel_dropbox_upload_session_free(old);
        if (orvel_hashtable_insert(cache, upload->name, upload) != 0)
            result = orvel_dropbox_error_system_malloc();
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_upload_state_remove(orvel_hashtable_t *cache, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    if (cache != nullptr && *cache != nullptr && path != nullptr) {
        orvel_dropbox_upload_session_free(static_cast<orvel_dropbox_upload_session_t *>(
            orvel_hashtable_remove(cache, const_cast<char *>(path))));
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(ORVEL_SUCCESS);
    return ORVEL_SUCCESS;
}

orvel_dropbox_upload_session_t *orvel_dropbox_upload_state_query(orvel_hashtable_t *cache, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_upload_session_t *upload = nullptr;
    if (cache != nullptr && *cache != nullptr && path != nullptr)
        upload = static_cast<orvel_dropbox_upload_session_t *>(
            orvel_hashtable_lookup(cache, const_cast<char *>(path)));
    ORVEL_DROPBOX_TRACE_EXIT();
    return upload;
}

void orvel_dropbox_upload_session_free(orvel_dropbox_upload_session_t *info)
{
    if (info == nullptr)
        return;
    std::free(info->name);
    std::free(info->id);
    std::free(info->modtime);
    std::free(info);
}

} // extern "C"
