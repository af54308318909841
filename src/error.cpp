// The plug-in's error type: an error object carrying a list of key and value
// texts that say what the service answered, printed one "key: \"value\"" line
// per pair; and the catalogue of every error the plug-in makes, so that a
// reply's code, error code and text are written in one place.
#include "orvel_dropbox_guard.hpp"
#include "orvel_dropbox_transfer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace {

char *orvel_l_dropbox_strdup_or_null(const char *text, bool *failed)
{
    if (text == nullptr) {
        return nullptr;
    }
    char *copy = orvel_dropbox_strdup(text);
    if (copy == nullptr) {
        *failed = true;
    }
    return copy;
}

orvel_dsi_rest_key_array_t *orvel_l_dropbox_error_list(orvel_object_t *error)
{
    orvel_object_t *typed = error != nullptr ? orvel_object_upcast(error, ORVEL_DROPBOX_ERROR_TYPE) : nullptr;
    if (typed == nullptr) {
        return nullptr;
    }
    return static_cast<orvel_dsi_rest_key_array_t *>(orvel_object_get_local_instance_data(typed));
}

// The result naming a new error; when memory ran out and there is none, the
// "malloc" system error, so that a failure never goes without its reason.
orvel_result_t orvel_l_dropbox_put_error(orvel_object_t *error)
{
    return error != nullptr ? orvel_error_put(error) : orvel_dropbox_error_system_malloc();
}

} // namespace

extern "C" {

/* Copies a key list: *dst receives a new list (null when a copy fails). */
static void orvel_l_dropbox_error_copy(void *src, void **dst)
{
    auto *source = static_cast<const orvel_dsi_rest_key_array_t *>(src);
    *dst = nullptr;
    auto *list = static_cast<orvel_dsi_rest_key_array_t *>(orvel_dropbox_calloc(1, sizeof(orvel_dsi_rest_key_array_t)));
    if (list == nullptr) {
        return;
    }
    if (source == nullptr || source->count == 0 || source->key_value == nullptr) {
        *dst = list;
        return;
    }
    list->key_value =
        static_cast<orvel_dsi_rest_key_value_t *>(orvel_dropbox_calloc(source->count, sizeof(*list->key_value)));
    if (list->key_value == nullptr) {
        orvel_dropbox_free(list);
        return;
    }
    bool failed = false;
    for (size_t i = 0; i < source->count && !failed; i++) {
        list->key_value[i].key = orvel_l_dropbox_strdup_or_null(source->key_value[i].key, &failed);
        list->key_value[i].value = orvel_l_dropbox_strdup_or_null(source->key_value[i].value, &failed);
        list->count = i + 1;
    }
    if (failed) {
        for (size_t i = 0; i < list->count; i++) {
            orvel_dropbox_free(list->key_value[i].key);
            orvel_dropbox_free(list->key_value[i].value);
        }
        orvel_dropbox_free(list->key_value);
        orvel_dropbox_free(list);
        return;
    }
    *dst = list;
}

static void orvel_l_dropbox_error_free(void *data)
{
    auto *list = static_cast<orvel_dsi_rest_key_array_t *>(data);
    if (list == nullptr) {
        return;
    }
    for (size_t i = 0; i < list->count; i++) {
        orvel_dropbox_free(list->key_value[i].key);
        orvel_dropbox_free(list->key_value[i].value);
    }
    orvel_dropbox_free(list->key_value);
    orvel_dropbox_free(list);
}

/* Renders the pairs with a key and a value, one per line, values escaped. */
static char *orvel_l_dropbox_error_printable(orvel_object_t *error)
{
    orvel_dsi_rest_key_array_t *list = orvel_l_dropbox_error_list(error);
    size_t count = list != nullptr ? list->count : 0;
    auto printed = [&](size_t i) {
        const orvel_dsi_rest_key_value_t &pair = list->key_value[i];
        return pair.key != nullptr && pair.key[0] != '\0' && pair.value != nullptr && pair.value[0] != '\0';
    };
    auto escaped_length = [](const char *value) {
        size_t length = 0;
        for (const char *p = value; *p != '\0'; p++) {
            length += (*p == '"' || *p == '\r' || *p == '\n' || *p == '\\') ? 2 : 1;
        }
        return length;
    };

    size_t length = 0;
    bool first = true;
    for (size_t i = 0; i < count; i++) {
        if (!printed(i)) {
            continue;
        }
        length += (first ? 0 : 1) + strlen(list->key_value[i].key) + 3 + escaped_length(list->key_value[i].value) + 1;
        first = false;
    }
    char *text = static_cast<char *>(orvel_dropbox_malloc(length + 1));
    if (text == nullptr) {
        return nullptr;
    }
    char *out = text;
    first = true;
    for (size_t i = 0; i < count; i++) {
        if (!printed(i)) {
            continue;
        }
        if (!first) {
            *out++ = '\n';
        }
        first = false;
        size_t key_length = strlen(list->key_value[i].key);
        memcpy(out, list->key_value[i].key, key_length);
        out += key_length;
        memcpy(out, ": \"", 3);
        out += 3;
        for (const char *p = list->key_value[i].value; *p != '\0'; p++) {
            switch (*p) {
            case '"':
                *out++ = '\\';
                *out++ = '"';
                break;
            case '\r':
                *out++ = '\\';
                *out++ = 'r';
                break;
            case '\n':
                *out++ = '\\';
                *out++ = 'n';
                break;
            case '\\':
                *out++ = '\\';
                *out++ = '\\';
                break;
            default:
                *out++ = *p;
                break;
            }
        }
        *out++ = '"';
    }
    *out = '\0';
    return text;
}

const orvel_object_type_t ORVEL_DROPBOX_ERROR_TYPE_DEFINITION = {
    &ORVEL_ERROR_TYPE_BASE_DEFINITION,                                // parent_type
    orvel_l_dropbox_error_copy,                                       // copy_func
    orvel_l_dropbox_error_free,                                       // destructor
    reinterpret_cast<const void *>(&orvel_l_dropbox_error_printable), // class_data: printable
};

} // extern "C"

static void orvel_l_dropbox_error_add_info(orvel_object_t *error, const orvel_dsi_rest_key_array_t *info);

orvel_object_t *orvel_dropbox_error_initialize(orvel_object_t *error, orvel_module_descriptor_t *base_source,
                                               orvel_object_t *base_cause, const orvel_dsi_rest_key_array_t *error_info)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_object_t *typed = error != nullptr ? orvel_object_upcast(error, ORVEL_DROPBOX_ERROR_TYPE) : nullptr;
    void *copy = nullptr;
    if (typed != nullptr) {
        orvel_l_dropbox_error_copy(const_cast<orvel_dsi_rest_key_array_t *>(error_info), &copy);
    }
    if (copy == nullptr) {
        ORVEL_DROPBOX_TRACE_EXIT();
        return nullptr;
    }
    orvel_object_set_local_instance_data(typed, copy);
    // Callers pass neither; recording them keeps a given cause owned.
    if (base_source != nullptr || base_cause != nullptr) {
        orvel_error_initialize_base(error, base_source, base_cause);
    }
    ORVEL_DROPBOX_TRACE_EXIT();
    return error;
}

orvel_object_t *orvel_dropbox_error_construct(orvel_module_descriptor_t *base_source, orvel_object_t *base_cause,
                                              const orvel_dsi_rest_key_array_t *error_info)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_object_t *error = orvel_object_construct(ORVEL_DROPBOX_ERROR_TYPE);
    if (error != nullptr && orvel_dropbox_error_initialize(error, base_source, base_cause, error_info) == nullptr) {
        orvel_object_free(error);
        error = nullptr;
    }
    ORVEL_DROPBOX_TRACE_EXIT();
    return error;
}

void orvel_dropbox_error_add_info(orvel_object_t *error, const orvel_dsi_rest_key_array_t *info)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_l_dropbox_error_add_info(error, info);
    ORVEL_DROPBOX_TRACE_EXIT();
}

static void orvel_l_dropbox_error_add_info(orvel_object_t *error, const orvel_dsi_rest_key_array_t *info)
{
    orvel_dsi_rest_key_array_t *list = orvel_l_dropbox_error_list(error);
    if (list == nullptr || info == nullptr || info->count == 0 || info->key_value == nullptr) {
        return;
    }
    auto find = [&](const char *key, size_t limit) -> orvel_dsi_rest_key_value_t * {
        if (key == nullptr) {
            return nullptr;
        }
        for (size_t i = 0; i < limit; i++) {
            if (list->key_value[i].key != nullptr && strcmp(list->key_value[i].key, key) == 0) {
                return &list->key_value[i];
            }
        }
        return nullptr;
    };

    // Room for every key not yet present (duplicates among the new keys are
    // counted twice; the spare slots stay unused).
    const size_t old_count = list->count;
    size_t missing = 0;
    for (size_t i = 0; i < info->count; i++) {
        if (find(info->key_value[i].key, old_count) == nullptr) {
            missing++;
        }
    }
    if (missing > 0) {
        auto *grown = static_cast<orvel_dsi_rest_key_value_t *>(
            orvel_dropbox_realloc(list->key_value, (old_count + missing) * sizeof(orvel_dsi_rest_key_value_t)));
        if (grown == nullptr) {
            return;
        }
        memset(grown + old_count, 0, missing * sizeof(*grown));
        list->key_value = grown;
    }

    bool failed = false;
    for (size_t i = 0; i < info->count && !failed; i++) {
        const orvel_dsi_rest_key_value_t &pair = info->key_value[i];
        orvel_dsi_rest_key_value_t *present = find(pair.key, list->count);
        if (present != nullptr) {
            char *value = orvel_l_dropbox_strdup_or_null(pair.value, &failed);
            if (!failed) {
                orvel_dropbox_free(present->value);
                present->value = value;
            }
            continue;
        }
        orvel_dsi_rest_key_value_t *slot = &list->key_value[list->count];
        slot->key = orvel_l_dropbox_strdup_or_null(pair.key, &failed);
        slot->value = orvel_l_dropbox_strdup_or_null(pair.value, &failed);
        list->count++;
    }
    if (failed) {
        // Undo this call's appends; replaced values stay replaced.
        for (size_t i = old_count; i < list->count; i++) {
            orvel_dropbox_free(list->key_value[i].key);
            orvel_dropbox_free(list->key_value[i].value);
            list->key_value[i].key = nullptr;
            list->key_value[i].value = nullptr;
        }
        list->count = old_count;
    }
}

const char *orvel_dropbox_error_get_info(orvel_object_t *error, const char *key)
{
    if (key == nullptr) {
        return nullptr;
    }
    for (orvel_object_t *link = error; link != nullptr; link = orvel_error_get_cause(link)) {
        if (orvel_object_upcast(link, ORVEL_DROPBOX_ERROR_TYPE) == nullptr) {
            continue;
        }
        orvel_dsi_rest_key_array_t *list = orvel_l_dropbox_error_list(link);
        if (list == nullptr) {
            return nullptr;
        }
        for (size_t i = 0; i < list->count; i++) {
            if (list->key_value[i].key != nullptr && strcmp(list->key_value[i].key, key) == 0) {
                return list->key_value[i].value;
            }
        }
        return nullptr;
    }
    return nullptr;
}

/* ------------------------------------------------------------ the catalogue */

orvel_result_t orvel_dropbox_error_system_malloc(void)
{
    int saved = errno;
    return orvel_error_put(orvel_i_gfs_error_system(0, saved, "System error%s%s", " in ", "malloc"));
}

orvel_result_t orvel_dropbox_error_system(const char *call, int error_number)
{
    return orvel_l_dropbox_put_error(orvel_i_gfs_error_system(0, error_number, "System error%s%s", " in ", call));
}

orvel_result_t orvel_dropbox_error_generic(const char *file, const char *func, int line, const char *message)
{
    return orvel_error_put(
        orvel_error_construct_error(nullptr, nullptr, ORVEL_GFS_ERROR_GENERIC, file, func, line, "%s", message));
}

// An exception caught at an entry point (orvel_dropbox_guard.hpp).
orvel_result_t orvel_i_dropbox_exception_result(const char *entry) noexcept
{
    const char *what = "an exception of an unknown type";
    bool memory = false;
    try {
        throw;
    } catch (const std::bad_alloc &) {
        memory = true;
    } catch (const std::exception &exception) {
        what = exception.what();
    } catch (...) {
    }
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_ERROR, "%s: stopped by %s\n", entry, memory ? "std::bad_alloc" : what);
    if (memory) {
        errno = ENOMEM;
        return orvel_dropbox_error_system_malloc();
    }
    orvel_object_t *error = orvel_error_construct_error(nullptr, nullptr, ORVEL_GFS_ERROR_GENERIC, __FILE__, entry,
                                                        __LINE__, "Unexpected failure in %s: %s", entry, what);
    return orvel_l_dropbox_put_error(error);
}

// Paths and names.

orvel_result_t orvel_dropbox_error_path_not_found(const char *path)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 550, "PATH_NOT_FOUND", "%s%s%s", path != nullptr ? "GridFTP-Path: \"" : "",
        path != nullptr ? path : "", path != nullptr ? "\"" : ""));
}

orvel_result_t orvel_dropbox_error_path_exists(const char *path)
{
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "PATH_EXISTS", "GridFTP-Path: %s", path));
}

orvel_result_t orvel_dropbox_error_not_a_directory(orvel_object_t *cause, const char *path)
{
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, cause, 553, "NOT_A_DIRECTORY", "GridFTP-Path: %s", path));
}

orvel_result_t orvel_dropbox_error_is_a_directory(const char *path)
{
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "IS_A_DIRECTORY", "GridFTP-Path: %s", path));
}

orvel_result_t orvel_dropbox_error_invalid_path_name(const char *path)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 553, "INVALID_PATH_NAME", "GridFTP-Path: %s", path != nullptr ? path : ""));
}

orvel_result_t orvel_dropbox_error_team_root(void)
{
    char path_key[] = "Dropbox-Path";
    char path_value[] = "/";
    char error_key[] = "Dropbox-Error";
    char error_value[] = "Invalid path for a write operation.";
    orvel_dsi_rest_key_value_t pairs[2] = {{path_key, path_value}, {error_key, error_value}};
    orvel_dsi_rest_key_array_t info = {2, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(nullptr, nullptr, &info);
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, cause, 550, "PERMISSION_DENIED", nullptr));
}

// Requests and the service.

orvel_result_t orvel_dropbox_error_no_access_token(void)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 550, "PERMISSION_DENIED", "%s%s", "GridFTP-Error: ", "no access token"));
}

orvel_result_t orvel_dropbox_error_internal(const char *detail)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "INTERNAL_ERROR",
                                                                            "%s%s", "GridFTP-Error: ", detail));
}

orvel_result_t orvel_dropbox_error_service_unavailable(orvel_object_t *cause, const char *path)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, cause, 451, "SERVICE_UNAVAILABLE",
        "GridFTP-Error: the service could not be asked about \"%s\"; try again", path != nullptr ? path : ""));
}

// Commands.

orvel_result_t orvel_dropbox_error_not_implemented(void)
{
    // The error code's spelling is what clients have always been sent.
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 500, "NOT_IMPLEMETED", nullptr));
}

orvel_result_t orvel_dropbox_error_invalid_range(int64_t offset, int64_t length)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 501, "INVALID_RANGE", "offset=%" PRId64 " length=%" PRId64, offset, length));
}

// Transfers.

orvel_result_t orvel_dropbox_error_file_changed(orvel_object_t *cause, const char *why)
{
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, cause, 451, "FILE_CHANGED", "GridFTP-Error: %s", why));
}

orvel_result_t orvel_dropbox_upload_detail_error(int code, const char *error_code, const char *path, const char *text,
                                                 orvel_object_t *inner_cause)
{
    orvel_dsi_rest_key_value_t pairs[2] = {
        {const_cast<char *>("Dropbox-Path"), const_cast<char *>(path)},
        {const_cast<char *>("Dropbox-Error"), const_cast<char *>(text)},
    };
    orvel_dsi_rest_key_array_t details = {2, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(nullptr, nullptr, &details);
    if (cause != nullptr && inner_cause != nullptr)
        orvel_error_set_cause(cause, inner_cause);
    else if (inner_cause != nullptr)
        orvel_object_free(inner_cause);
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(nullptr, cause, code, error_code, nullptr));
}

// An announced size beyond what the session may upload, with the sizes as
// the service's own details.
orvel_result_t orvel_dropbox_error_upload_too_large(const char *path, int64_t size, uint64_t max_upload)
{
    char upload_size[64];
    char max_size[64];
    std::snprintf(upload_size, sizeof upload_size, "%" PRId64, size);
    std::snprintf(max_size, sizeof max_size, "%" PRId64, static_cast<int64_t>(max_upload));
    orvel_dsi_rest_key_value_t pairs[4] = {
        {const_cast<char *>("Dropbox-Path"), const_cast<char *>(path)},
        {const_cast<char *>("Dropbox-Upload-Size"), upload_size},
        {const_cast<char *>("Dropbox-Max-Upload-Size"), max_size},
        {const_cast<char *>("Dropbox-Error"), const_cast<char *>("Upload size is too large.")},
    };
    orvel_dsi_rest_key_array_t details = {4, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(nullptr, nullptr, &details);
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, cause, 451, "QUOTA_EXCEEDED", nullptr));
}

orvel_result_t orvel_dropbox_upload_too_much_data(const char *path)
{
    return orvel_dropbox_upload_detail_error(451, "QUOTA_EXCEEDED", path, "Too much data was sent.", nullptr);
}

orvel_result_t orvel_dropbox_upload_short_data(orvel_result_t result, const char *path, int64_t got, int64_t expected)
{
    orvel_object_t *cause = orvel_error_get(result);
    if (cause == nullptr)
        orvel_error_discard(result);
    return orvel_l_dropbox_put_error(orvel_error_construct_error(
        nullptr, cause, ORVEL_GFS_ERROR_GENERIC, __FILE__, __func__, __LINE__,
        "Fewer bytes were received than announced for %s: the data ended after %" PRId64 " of %" PRId64 " bytes.", path,
        got, expected));
}

orvel_result_t orvel_dropbox_upload_append_not_supported(const char *why)
{
    if (why == nullptr)
        return orvel_l_dropbox_put_error(
            orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED", nullptr));
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED", "GridFTP-Error: %s", why));
}

orvel_result_t orvel_dropbox_error_restart_beyond_parts(int64_t offset, int32_t num_parts, uint64_t part_size,
                                                        uint64_t total_size)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, nullptr, 553, "APPEND_NOT_SUPPORTED",
        "GridFTP-Error: restart offset %" PRId64 " is at or beyond the last part of the upload (%d parts of %" PRIu64
        " bytes, %" PRIu64 " bytes in all)",
        offset, num_parts, part_size, total_size));
}

orvel_result_t orvel_dropbox_error_upload_not_found(void)
{
    return orvel_l_dropbox_put_error(
        orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 553, "MULTI_PART_UPLOAD_NOT_FOUND", nullptr));
}

orvel_result_t orvel_dropbox_error_piece_corrupted(orvel_object_t *cause, size_t length, uint64_t offset,
                                                   const char *hash)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, cause, 550, "INCORRECT_CHECKSUM",
        "GridFTP-Error: the service received other bytes than the %zu sent from offset %" PRIu64
        " (content hash %s) and stored none of them",
        length, offset, hash));
}

orvel_result_t orvel_dropbox_error_checksum_mismatch(orvel_object_t *cause, const char *computed, const char *service)
{
    return orvel_l_dropbox_put_error(orvel_gfs_ftp_response_error_construct(
        nullptr, cause, 550, "INCORRECT_CHECKSUM", "GridFTP-Computed-Checksum: %s\nGridFTP-Expected-Checksum: %s",
        computed, service));
}
