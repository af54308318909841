// Metadata records: parsing one metadata object of the service, the static
// root record, deep copies and release.
#include "orvel_dropbox_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const orvel_dropbox_path_info_t orvel_i_dropbox_vfs_root_info = {
    const_cast<char *>("/"), // name
    const_cast<char *>("/"), // id
    nullptr,                 // parent_id
    ORVEL_DROPBOX_FOLDER,    // type
    0,                       // size
    0,                       // modtime
    nullptr,                 // md5
    nullptr,                 // sha1
    nullptr,                 // sha256
    nullptr,                 // hash
    false,                   // listed
    false,                   // has_metadata
    false,                   // freeme
    0,                       // confirmed
    0,                       // confirmed_ms
    0,                       // listed_at
    0,                       // listed_ms
};

namespace {

// A string member duplicated; null when missing, not a string, or out of memory.
char *orvel_l_dropbox_string_member(json_t *json, const char *key)
{
    const char *value = nullptr;
    if (json_unpack(json, "{s:s}", key, &value) != 0 || value == nullptr) {
        return nullptr;
    }
    return strdup(value);
}

} // namespace

orvel_result_t orvel_dropbox_info_parse(json_t *json, orvel_dropbox_path_info_t *info, int type)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    const char *modified = nullptr;
    json_int_t size = 0;

    if (type == ORVEL_DROPBOX_UNKNOWN) {
        const char *tag = nullptr;
        if (json_unpack(json, "{s:s}", ".tag", &tag) != 0 || tag == nullptr) {
            result = ORVEL_DROPBOX_ERROR_GENERIC("No type tag found!");
            ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
            return result;
        }
        if (strcmp(tag, "folder") == 0) {
            type = ORVEL_DROPBOX_FOLDER;
        } else if (strcmp(tag, "file") == 0) {
            type = ORVEL_DROPBOX_FILE;
        }
    }
    info->type = type;
    info->name = orvel_l_dropbox_string_member(json, "name");
    info->id = orvel_l_dropbox_string_member(json, "id");
    if (json_unpack(json, "{s:I}", "size", &size) == 0 && size >= 0) {
        info->size = (uint64_t)size;
    }
    if (json_unpack(json, "{s:s}", "client_modified", &modified) == 0 && modified != nullptr) {
        struct tm tm;
        memset(&tm, 0, sizeof tm);
        int fields = sscanf(modified, "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                            &tm.tm_min, &tm.tm_sec);
        if (fields < 6) {
            result = ORVEL_DROPBOX_ERROR_GENERIC("Error parsing 'lastModifiedDateTime' field!");
        }
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        info->modtime = timegm(&tm);
    }
    info->hash = orvel_l_dropbox_string_member(json, "content_hash");

    if (info->name == nullptr || info->id == nullptr) {
        // Without its name no record can be cached or listed, without its id
        // no file can be downloaded: not a record.
        orvel_error_discard(result);
        free(info->name);
        free(info->id);
        free(info->hash);
        info->name = nullptr;
        info->id = nullptr;
        info->hash = nullptr;
        result = ORVEL_DROPBOX_ERROR_GENERIC("Metadata without name or id!");
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_folder_info_parse(json_t *json, orvel_dropbox_path_info_t *info)
{
    return orvel_dropbox_info_parse(json, info, ORVEL_DROPBOX_FOLDER);
}

orvel_result_t orvel_dropbox_file_info_parse(json_t *json, orvel_dropbox_path_info_t *info)
{
    return orvel_dropbox_info_parse(json, info, ORVEL_DROPBOX_FILE);
}

orvel_result_t orvel_dropbox_object_info_parse(json_t *json, orvel_dropbox_path_info_t *info)
{
    return orvel_dropbox_info_parse(json, info, ORVEL_DROPBOX_UNKNOWN);
}

orvel_dropbox_path_info_t *orvel_dropbox_path_info_copy(const orvel_dropbox_path_info_t *info)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_path_info_t *copy = nullptr;
    if (info != nullptr) {
        copy = static_cast<orvel_dropbox_path_info_t *>(calloc(1, sizeof(orvel_dropbox_path_info_t)));
    }
    if (copy != nullptr) {
        bool failed = false;
        auto dup = [&failed](const char *text) -> char * {
            if (text == nullptr) {
                return nullptr;
            }
            char *duplicate = strdup(text);
            failed = failed || duplicate == nullptr;
            return duplicate;
        };
        copy->name = dup(info->name);
        copy->id = dup(info->id);
        copy->parent_id = dup(info->parent_id);
        copy->md5 = dup(info->md5);
        copy->sha1 = dup(info->sha1);
        copy->sha256 = dup(info->sha256);
        copy->hash = dup(info->hash);
        copy->type = info->type;
        copy->size = info->size;
        copy->modtime = info->modtime;
        copy->listed = info->listed;
        copy->has_metadata = info->has_metadata;
        copy->confirmed = info->confirmed;
        copy->confirmed_ms = info->confirmed_ms;
        copy->listed_at = info->listed_at;
        copy->listed_ms = info->listed_ms;
        copy->freeme = true;
        if (failed) {
            orvel_dropbox_path_info_free(copy);
            copy = nullptr;
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT();
    return copy;
}

void orvel_dropbox_path_info_free(orvel_dropbox_path_info_t *info)
{
    if (info == nullptr) {
        return;
    }
    free(info->id);
    free(info->parent_id);
    free(info->name);
    free(info->md5);
    free(info->sha1);
    free(info->sha256);
    free(info->hash);
    if (info->freeme) {
        free(info);
    }
}
