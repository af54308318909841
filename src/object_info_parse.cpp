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

// A string member duplicated; null when missing, not a string, or out of
// memory (then *failed is set). Members are read without json_unpack, which
// allocates and cannot tell a missing member from a lack of memory.
char *orvel_l_dropbox_string_member(json_t *json, const char *key, bool *failed)
{
    const char *value = json_string_value(json_object_get(json, key));
    if (value == nullptr) {
        return nullptr;
    }
    char *copy = orvel_dropbox_strdup(value);
    if (copy == nullptr) {
        *failed = true;
    }
    return copy;
}

} // namespace

orvel_result_t orvel_dropbox_info_parse(json_t *json, orvel_dropbox_path_info_t *info, int type)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    const char *modified = nullptr;
    json_t *size = nullptr;
    bool failed = false;

    if (type == ORVEL_DROPBOX_UNKNOWN) {
        const char *tag = json_string_value(json_object_get(json, ".tag"));
        if (tag == nullptr) {
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
    info->name = orvel_l_dropbox_string_member(json, "name", &failed);
    info->id = orvel_l_dropbox_string_member(json, "id", &failed);
    size = json_object_get(json, "size");
    if (json_is_integer(size) && json_integer_value(size) >= 0) {
        info->size = (uint64_t)json_integer_value(size);
    }
    modified = json_string_value(json_object_get(json, "client_modified"));
    if (modified != nullptr) {
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
    info->hash = orvel_l_dropbox_string_member(json, "content_hash", &failed);

    if (failed || info->name == nullptr || info->id == nullptr) {
        // Without its name no record can be cached or listed, without its id
        // no file can be downloaded: not a record.
        orvel_error_discard(result);
        orvel_dropbox_free(info->name);
        orvel_dropbox_free(info->id);
        orvel_dropbox_free(info->hash);
        info->name = nullptr;
        info->id = nullptr;
        info->hash = nullptr;
        result =
            failed ? orvel_dropbox_error_system_malloc() : ORVEL_DROPBOX_ERROR_GENERIC("Metadata without name or id!");
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
        copy = static_cast<orvel_dropbox_path_info_t *>(orvel_dropbox_calloc(1, sizeof(orvel_dropbox_path_info_t)));
    }
    if (copy != nullptr) {
        bool failed = false;
        auto dup = [&failed](const char *text) -> char * {
            if (text == nullptr) {
                return nullptr;
            }
            char *duplicate = orvel_dropbox_strdup(text);
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
    orvel_dropbox_free(info->id);
    orvel_dropbox_free(info->parent_id);
    orvel_dropbox_free(info->name);
    orvel_dropbox_free(info->md5);
    orvel_dropbox_free(info->sha1);
    orvel_dropbox_free(info->sha256);
    orvel_dropbox_free(info->hash);
    if (info->freeme) {
        orvel_dropbox_free(info);
    }
}
