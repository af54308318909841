// Folder listing: the direct children of one folder, page by page through
// list_folder and list_folder/continue, entered into the path cache and
// optionally handed to a per-entry callback. A complete listing replaces the
// cached set of the folder's children.
#include "orvel_dropbox_common.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// The request object of one page: the first page names the folder (the root
// as the empty text), each further page only carries the cursor.
json_t *orvel_l_dropbox_page_args(const char *path, const char *cursor)
{
    json_t *args = json_object();
    if (args == nullptr)
        return nullptr;
    int failed = 0;
    if (cursor == nullptr) {
        const char *service_path = std::strcmp(path, "/") == 0 ? "" : path;
        failed |= json_object_set_new(args, "path", json_string(service_path));
        failed |= json_object_set_new(args, "limit", json_integer(ORVEL_DROPBOX_LIST_LIMIT));
        failed |= json_object_set_new(args, "include_non_downloadable_files", json_false());
    } else {
        failed |= json_object_set_new(args, "cursor", json_string(cursor));
    }
    if (failed != 0) {
        json_decref(args);
        return nullptr;
    }
    return args;
}

// "Failed info_parse!", keeping the underlying failure (if any) as its cause.
orvel_result_t orvel_l_dropbox_failed_parse(orvel_result_t cause)
{
    orvel_object_t *cause_error = cause != ORVEL_SUCCESS ? orvel_error_get(cause) : nullptr;
    return orvel_error_put(orvel_error_construct_error(nullptr, cause_error, ORVEL_GFS_ERROR_GENERIC, __FILE__,
                                                       __func__, __LINE__, "%s", "Failed info_parse!"));
}

// Whether the service answered that the listed path does not exist.
bool orvel_l_dropbox_not_found(orvel_result_t result)
{
    orvel_object_t *error = orvel_error_peek(result);
    const char *summary = error != nullptr ? orvel_dropbox_error_get_info(error, "error_summary") : nullptr;
    return summary != nullptr && std::strstr(summary, "not_found") != nullptr;
}

// An entry tagged as something other than a file or a folder (a deleted
// object, which may come without an id): no object to list or to cache.
bool orvel_l_dropbox_other_kind(json_t *element)
{
    const char *tag = json_string_value(json_object_get(element, ".tag"));
    return tag != nullptr && std::strcmp(tag, "file") != 0 && std::strcmp(tag, "folder") != 0;
}

// Enters every element of one page's "entries" and calls the callback.
orvel_result_t orvel_l_dropbox_page_entries(orvel_dropbox_handle_t *handle, const char *path, json_t *entries,
                                            orvel_dropbox_list_entry_cb_t callback, void *callback_arg)
{
    size_t count = json_array_size(entries);
    for (size_t index = 0; index < count; ++index) {
        json_t *element = json_array_get(entries, index);
        if (element == nullptr)
            break;
        if (orvel_l_dropbox_other_kind(element))
            continue;
        orvel_dropbox_path_info_t info{};
        orvel_result_t result = orvel_dropbox_object_info_parse(element, &info);
        if (result == ORVEL_SUCCESS) {
            result = orvel_dropbox_path_cache_update(&handle->cache, &info, path);
            if (result != ORVEL_SUCCESS)
                result = orvel_l_dropbox_failed_parse(result);
            else if (callback != nullptr)
                result = callback(handle, path, &info, callback_arg);
        } else {
            result = orvel_l_dropbox_failed_parse(result);
        }
        orvel_dropbox_path_info_free(&info);
        if (result != ORVEL_SUCCESS)
            return result;
    }
    return ORVEL_SUCCESS;
}

} // namespace

extern "C" orvel_result_t orvel_dropbox_get_folder_items(orvel_dropbox_handle_t *handle, const char *path,
                                                         orvel_dropbox_list_entry_cb_t callback, void *callback_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    char *cursor = nullptr;
    long pages = 0;
    bool more = true;
    const uint64_t since = orvel_dropbox_confirmation_take();
    std::set<std::string> cursors; // every cursor asked with so far

    while (more && result == ORVEL_SUCCESS) {
        // `cursor` is the one this page is asked with (none for the first);
        // it is kept until the reply has named the next one.
        json_t *args = orvel_l_dropbox_page_args(path, cursor);
        json_t *reply = nullptr;
        bool first = cursor == nullptr;
        more = false;
        if (args == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            break;
        }

        orvel_dropbox_api_call_t call{};
        call.endpoint = first ? &orvel_i_dropbox_ep_list_folder : &orvel_i_dropbox_ep_list_folder_continue;
        call.args = args;
        result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);
        ++pages;

        if (result == ORVEL_SUCCESS && reply == nullptr)
            result = orvel_dropbox_error_system_malloc();
        if (result == ORVEL_SUCCESS && json_is_true(json_object_get(reply, "has_more"))) {
            const char *next = json_string_value(json_object_get(reply, "cursor"));
            if (next == nullptr) {
                // Without a cursor the rest of the folder cannot be asked for:
                // a listing that stopped here would look complete.
                result = orvel_error_put(
                    ORVEL_ERROR_GENERIC("%s", "listing response announced more entries but carried no cursor"));
            } else if (cursor != nullptr && std::strcmp(next, cursor) == 0) {
                // The same cursor again can only bring the same page again.
                result = orvel_error_put(ORVEL_ERROR_GENERIC(
                    "%s", "listing response announced more entries but its cursor did not advance"));
            } else if (!cursors.insert(next).second) {
                // A cursor seen before: the pages would go round for ever.
                result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "listing response went back to an earlier cursor"));
            } else {
                char *next_cursor = orvel_dropbox_strdup(next);
                if (next_cursor == nullptr) {
                    result = orvel_dropbox_error_system_malloc();
                } else {
                    orvel_dropbox_free(cursor);
                    cursor = next_cursor;
                    more = true;
                }
            }
        }
        if (result == ORVEL_SUCCESS) {
            json_t *entries = json_object_get(reply, "entries");
            if (!json_is_array(entries))
                result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "listing response was not array"));
            else
                result = orvel_l_dropbox_page_entries(handle, path, entries, callback, callback_arg);
        }
        if (first && result != ORVEL_SUCCESS && orvel_l_dropbox_not_found(result)) {
            // The folder is gone: so is everything cached below it.
            orvel_error_discard(orvel_dropbox_path_cache_remove_tree(&handle->cache, path));
        }
        json_decref(reply);
        json_decref(args);
    }
    if (result == ORVEL_SUCCESS)
        orvel_dropbox_path_cache_forget_unlisted(&handle->cache, path, since);
    orvel_dropbox_free(cursor);
    if (pages > 1)
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "path=%s pages=%ld\n", path, pages);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
