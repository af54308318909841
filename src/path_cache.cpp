// The session's two tables: the path cache (full path -> metadata record) and
// the upload-session table (path -> upload session in progress).
//
// Both are string-keyed hash tables that never copy keys: the key of every
// entry is the stored record's own `name`, so it lives exactly as long as the
// record does. Path cache keys compare as the service compares names, without
// regard to case; every entered record is stamped with a confirmation number
// and the time, by which resolution judges how far it may be trusted.
#include "orvel_common.h"
#include "orvel_dropbox_common.h"

#include <locale.h>
#include <time.h>
#include <wctype.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// The next confirmation number; process-wide (sessions of one process may
// run on different threads), so that numbers only grow.
std::atomic<uint64_t> orvel_l_dropbox_confirmations{1};

// Lower case of a code point as the C library's UTF-8 locale knows it.
uint32_t orvel_l_dropbox_lower(uint32_t code_point)
{
    if (code_point < 0x80)
        return code_point >= 'A' && code_point <= 'Z' ? code_point + ('a' - 'A') : code_point;
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (utf8 == (locale_t)0)
        return code_point;
    return static_cast<uint32_t>(towlower_l(static_cast<wint_t>(code_point), utf8));
}

// The next character of a UTF-8 text, lowered; a byte that starts no valid
// sequence stands for itself (above the code points, so it matches only
// itself). Advances *text; 0 at the end.
uint32_t orvel_l_dropbox_fold_next(const unsigned char **text)
{
    const unsigned char *p = *text;
    if (*p == 0)
        return 0;
    int length = *p < 0x80 ? 1 : (*p & 0xE0) == 0xC0 ? 2 : (*p & 0xF0) == 0xE0 ? 3 : (*p & 0xF8) == 0xF0 ? 4 : 0;
    uint32_t code_point = length == 1 ? *p : length == 2 ? (*p & 0x1Fu) : length == 3 ? (*p & 0x0Fu) : (*p & 0x07u);
    for (int i = 1; i < length; i++) {
        if ((p[i] & 0xC0) != 0x80) {
            length = 0;
            break;
        }
        code_point = (code_point << 6) | (p[i] & 0x3Fu);
    }
    if (length == 0) {
        *text = p + 1;
        return 0x110000u + *p;
    }
    *text = p + length;
    return orvel_l_dropbox_lower(code_point);
}

std::u32string orvel_l_dropbox_folded(const char *text, size_t length)
{
    std::u32string out;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    const auto *end = p + length;
    while (p < end && *p != 0)
        out.push_back(orvel_l_dropbox_fold_next(&p));
    return out;
}

int orvel_l_dropbox_path_hash(void *key, int limit)
{
    if (key == nullptr || limit <= 0)
        return 0;
    // 32-bit FNV-1a over the lowered characters.
    uint32_t hash = 2166136261u;
    const auto *p = static_cast<const unsigned char *>(key);
    for (uint32_t c; (c = orvel_l_dropbox_fold_next(&p)) != 0;) {
        hash ^= c;
        hash *= 16777619u;
    }
    return static_cast<int>(hash % static_cast<uint32_t>(limit));
}

// Where `text` goes on after `prefix` when it starts with it (lowered), or null.
const char *orvel_l_dropbox_after_prefix(const char *text, const char *prefix)
{
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    const auto *p = reinterpret_cast<const unsigned char *>(prefix);
    while (*p != 0) {
        if (orvel_l_dropbox_fold_next(&t) != orvel_l_dropbox_fold_next(&p))
            return nullptr;
    }
    return reinterpret_cast<const char *>(t);
}

int orvel_l_dropbox_path_keyeq(void *key1, void *key2)
{
    if (key1 == nullptr || key2 == nullptr)
        return key1 == key2;
    const char *rest = orvel_l_dropbox_after_prefix(static_cast<const char *>(key1), static_cast<const char *>(key2));
    return rest != nullptr && *rest == '\0';
}

// The part of `key` below folder `folder` ("/" or "/a"), or null when the key
// is not below it.
const char *orvel_l_dropbox_below(const char *key, const char *folder)
{
    if (folder[0] == '/' && folder[1] == '\0')
        return key[0] == '/' && key[1] != '\0' ? key + 1 : nullptr;
    const char *rest = orvel_l_dropbox_after_prefix(key, folder);
    return rest != nullptr && rest[0] == '/' && rest[1] != '\0' ? rest + 1 : nullptr;
}

// Key of a record with leaf name `name` inside folder `base_path`: the base,
// a separator unless the base is the root, and the name.
char *orvel_l_dropbox_cache_key(const char *base_path, const char *name)
{
    const size_t base_length = std::strlen(base_path);
    const size_t separator_length = base_length == 1 ? 0 : 1;
    const size_t name_length = std::strlen(name);
    auto *key = static_cast<char *>(orvel_dropbox_malloc(base_length + separator_length + name_length + 1));
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
    const char *rest = orvel_l_dropbox_after_prefix(text, tree->path);
    return rest != nullptr && (rest[0] == '\0' || rest[0] == '/');
}

// Listing pruning: the children of `folder` not entered since `since`
// (removed in the first pass, their keys lowered into `gone`), then
// everything below those (second pass).
struct orvel_l_dropbox_prune_arg {
    const char *folder;
    uint64_t since;
    std::set<std::u32string> gone;
};

int orvel_l_dropbox_unlisted_child(void *key, void *datum, void *arg)
{
    auto *prune = static_cast<orvel_l_dropbox_prune_arg *>(arg);
    const char *leaf = orvel_l_dropbox_below(static_cast<const char *>(key), prune->folder);
    if (leaf == nullptr || std::strchr(leaf, '/') != nullptr)
        return 0;
    if (static_cast<const orvel_dropbox_path_info_t *>(datum)->confirmed >= prune->since)
        return 0;
    try {
        prune->gone.insert(orvel_l_dropbox_folded(leaf, std::strlen(leaf)));
    } catch (...) {
        return 0; // out of memory: kept, to be confirmed later
    }
    return 1;
}

int orvel_l_dropbox_below_gone_child(void *key, void *, void *arg)
{
    auto *prune = static_cast<orvel_l_dropbox_prune_arg *>(arg);
    const char *rest = orvel_l_dropbox_below(static_cast<const char *>(key), prune->folder);
    const char *slash = rest != nullptr ? std::strchr(rest, '/') : nullptr;
    if (slash == nullptr)
        return 0;
    try {
        return prune->gone.count(orvel_l_dropbox_folded(rest, static_cast<size_t>(slash - rest))) != 0;
    } catch (...) {
        return 0;
    }
}

int orvel_l_dropbox_unconfirm_id(void *, void *datum, void *arg)
{
    auto *info = static_cast<orvel_dropbox_path_info_t *>(datum);
    if (info->id != nullptr && std::strcmp(info->id, static_cast<const char *>(arg)) == 0)
        info->confirmed = 0;
    return 0; // a walk over the table: nothing is removed
}

} // namespace

extern "C" {

orvel_result_t orvel_dropbox_path_cache_init(orvel_hashtable_t *cache)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    if (orvel_hashtable_init(cache, ORVEL_DROPBOX_TABLE_BUCKETS, orvel_l_dropbox_path_hash,
                             orvel_l_dropbox_path_keyeq) != 0) {
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
            orvel_dropbox_free(key);
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
    copy->confirmed = orvel_l_dropbox_confirmations.fetch_add(1);
    copy->confirmed_ms = orvel_dropbox_monotonic_ms();
    if (orvel_hashtable_insert(cache, copy->name, copy) != 0) {
        auto *old = static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_lookup(cache, copy->name));
        if (old == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        if (std::strcmp(old->name, copy->name) != 0) {
            // Spelled differently now (renamed in case only): the entry goes
            // and comes back under the new spelling.
            orvel_dropbox_path_info_free(
                static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_remove(cache, copy->name)));
            if (orvel_hashtable_insert(cache, copy->name, copy) != 0) {
                result = orvel_dropbox_error_system_malloc();
                goto out;
            }
            copy = nullptr;
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
        char *own = orvel_dropbox_strdup(path);
        if (own != nullptr) {
            orvel_l_dropbox_tree_arg tree{own, std::strlen(own)};
            int removed =
                orvel_hashtable_remove_if(cache, orvel_l_dropbox_in_tree, &tree, orvel_l_dropbox_path_info_destroy);
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "removed=%d path=%s\n", removed, own);
            // The root stays, but its children are no longer all known.
            if (tree.length == 1 && own[0] == '/') {
                auto *root = static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_lookup(cache, own));
                if (root != nullptr)
                    root->listed = false;
            }
            orvel_dropbox_free(own);
        } else {
            // Without a copy at least the entry itself goes.
            orvel_dropbox_path_info_free(
                static_cast<orvel_dropbox_path_info_t *>(orvel_hashtable_remove(cache, const_cast<char *>(path))));
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(ORVEL_SUCCESS);
    return ORVEL_SUCCESS;
}

void orvel_dropbox_path_cache_forget_unlisted(orvel_hashtable_t *cache, const char *path, uint64_t since)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    if (cache != nullptr && *cache != nullptr && path != nullptr && path[0] != '\0') {
        orvel_l_dropbox_prune_arg prune{path, since, {}};
        int removed =
            orvel_hashtable_remove_if(cache, orvel_l_dropbox_unlisted_child, &prune, orvel_l_dropbox_path_info_destroy);
        if (removed > 0) {
            removed += orvel_hashtable_remove_if(cache, orvel_l_dropbox_below_gone_child, &prune,
                                                 orvel_l_dropbox_path_info_destroy);
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "gone=%zu removed=%d path=%s\n", prune.gone.size(), removed, path);
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_dropbox_path_cache_unconfirm_id(orvel_hashtable_t *cache, const char *id)
{
    if (cache != nullptr && *cache != nullptr && id != nullptr)
        orvel_hashtable_remove_if(cache, orvel_l_dropbox_unconfirm_id, const_cast<char *>(id), nullptr);
}

uint64_t orvel_dropbox_confirmation_take(void)
{
    return orvel_l_dropbox_confirmations.fetch_add(1);
}

int64_t orvel_dropbox_monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

bool orvel_dropbox_path_same(const char *a, const char *b)
{
    return orvel_l_dropbox_path_keyeq(const_cast<char *>(a), const_cast<char *>(b)) != 0;
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
        orvel_dropbox_upload_session_free(
            static_cast<orvel_dropbox_upload_session_t *>(orvel_hashtable_remove(cache, const_cast<char *>(path))));
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(ORVEL_SUCCESS);
    return ORVEL_SUCCESS;
}

orvel_dropbox_upload_session_t *orvel_dropbox_upload_state_query(orvel_hashtable_t *cache, const char *path)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_upload_session_t *upload = nullptr;
    if (cache != nullptr && *cache != nullptr && path != nullptr)
        upload = static_cast<orvel_dropbox_upload_session_t *>(orvel_hashtable_lookup(cache, const_cast<char *>(path)));
    ORVEL_DROPBOX_TRACE_EXIT();
    return upload;
}

void orvel_dropbox_upload_session_free(orvel_dropbox_upload_session_t *info)
{
    if (info == nullptr)
        return;
    orvel_dropbox_free(info->name);
    orvel_dropbox_free(info->id);
    orvel_dropbox_free(info->modtime);
    orvel_dropbox_free(info->stored);
    orvel_dropbox_free(info);
}

} // extern "C"
