// The recv slot (store): the checks every upload passes, the road it takes,
// and the single-request upload of an announced size up to 100 MiB. That
// request streams the file from the host's data channel straight into its
// body; its final byte is sent only once the data channel has ended, so that
// the service never stores a file from a client that sent too much, aborted
// or went away. Larger files go through upload sessions (upload_session.cpp),
// files of unannounced size in pieces (upload_pieces.cpp). Every road checks
// the content hash of the stored file against the bytes sent
// (upload_verify.cpp).
#include "orvel_common.h"
#include "orvel_dropbox_transfer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Largest announced size sent in one request; also the part size of upload
// sessions.
constexpr int64_t kSingleRequestMax = static_cast<int64_t>(ORVEL_DROPBOX_PART_SIZE);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF): the only texts a JSON argument can carry.
bool orvel_l_dropbox_is_utf8(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        unsigned char c = *p++;
        int more;
        uint32_t cp;
        if (c < 0x80) {
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (int i = 0; i < more; i++, p++) {
            if ((*p & 0xc0) != 0x80)
                return false; // the terminator ends here too
            cp = (cp << 6) | (*p & 0x3f);
        }
        if ((more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
    }
    return true;
}

// The "client_modified" text of the file's modification time, or "".
void orvel_l_dropbox_modtime_text(orvel_gfs_operation_t op, char text[64])
{
    text[0] = '\0';
    time_t mtime = 0;
    orvel_result_t result = orvel_gridftp_server_get_recv_modification_time(op, &mtime);
    if (result == ORVEL_SUCCESS && mtime != -1) {
        struct tm tm;
        if (orvel_libc_gmtime_r(&mtime, &tm) != nullptr) {
            std::snprintf(text, 64, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                          tm.tm_hour, tm.tm_min, tm.tm_sec);
        }
    }
    orvel_error_discard(result);
}

// The checks before any byte moves: a path the service can be given, a
// writable parent folder that exists, no folder at the path, and a size
// within the session's limit.
orvel_result_t orvel_l_dropbox_recv_checks(orvel_dropbox_handle_t *handle, orvel_gfs_transfer_info_t *info,
                                           orvel_dropbox_path_info_t **parent_out)
{
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    char *parent_path = orvel_dropbox_parent_path(info->pathname, &result);
    if (parent_path == nullptr)
        return result != ORVEL_SUCCESS ? result : orvel_dropbox_error_system_malloc();

    if (!orvel_l_dropbox_is_utf8(info->pathname)) {
        // The path travels as a JSON text.
        result = orvel_dropbox_error_invalid_path_name("<Invalid Name>");
    } else if (parent_path[0] == '/' && parent_path[1] == '\0' && handle->is_team) {
        result = orvel_dropbox_error_team_root();
    } else {
        // A target that does not exist yet is the normal case: only the
        // records decide, unless the service could not be asked.
        result = orvel_dropbox_path_resolve(handle, info->pathname, &entry, &parent);
        if (entry == nullptr && result != ORVEL_SUCCESS && !orvel_dropbox_is_path_not_found(result)) {
            orvel_dropbox_free(parent_path);
            *parent_out = nullptr;
            return result;
        }
        orvel_error_discard(result);
        result = ORVEL_SUCCESS;
        if (entry != nullptr && entry->type == ORVEL_DROPBOX_FOLDER) {
            result = orvel_dropbox_error_is_a_directory(info->pathname);
        } else if (parent == nullptr) {
            result = orvel_dropbox_error_path_not_found(parent_path);
        } else if (parent->type != ORVEL_DROPBOX_FOLDER) {
            result = orvel_dropbox_error_not_a_directory(nullptr, parent_path);
        } else if (static_cast<uint64_t>(info->alloc_size) > handle->max_upload) {
            result = orvel_dropbox_error_upload_too_large(info->pathname, info->alloc_size, handle->max_upload);
        }
    }
    orvel_dropbox_free(parent_path);
    *parent_out = parent;
    return result;
}

} // namespace

extern "C" void orvel_i_dropbox_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);
    orvel_dropbox_path_info_t *parent = nullptr;
    char modtime[64] = "";

    orvel_result_t result = orvel_dropbox_update_token(handle, op);
    if (result == ORVEL_SUCCESS)
        result = orvel_l_dropbox_recv_checks(handle, info, &parent);
    if (result == ORVEL_SUCCESS) {
        orvel_l_dropbox_modtime_text(op, modtime);
        // The host passes 0 when no size was announced (and for an announced
        // empty file, which it cannot tell apart).
        if (info->alloc_size == 0)
            result = orvel_i_dropbox_recv_unannounced(op, info, handle, parent, modtime);
        else if (info->alloc_size <= kSingleRequestMax)
            result = orvel_i_dropbox_recv_simple(op, info, handle, parent, modtime);
        else
            result = orvel_i_dropbox_recv_chunked(op, info, handle, parent, modtime);
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_transfer(op, result);
}

extern "C" orvel_result_t orvel_i_dropbox_recv_simple(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                                      orvel_dropbox_handle_t *handle, orvel_dropbox_path_info_t *parent,
                                                      const char *modtime)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_off_t offset = 0;
    orvel_off_t length = 0;
    json_t *args = nullptr;
    json_t *reply = nullptr;
    orvel_dropbox_hasher_t *hasher = nullptr;
    char *computed = nullptr;
    orvel_dsi_rest_gridftp_op_arg_t data{};
    orvel_dropbox_api_call_t call{};
    const bool replaces = orvel_dropbox_upload_replaces_file(handle, info->pathname);
    orvel_result_t result = ORVEL_SUCCESS;

    // Only a whole-file write from the start can be stored in one request;
    // nothing has been sent to the host or the service yet.
    orvel_gridftp_server_get_write_range(op, &offset, &length);
    if ((length != -1 && length != info->alloc_size) || offset != 0) {
        result = orvel_dropbox_upload_append_not_supported(nullptr);
        goto out;
    }
    args = json_object();
    if (args == nullptr || !orvel_dropbox_json_set(args, "path", json_string(info->pathname)) ||
        !orvel_dropbox_json_set(args, "mode", json_string("overwrite")) ||
        (modtime[0] != '\0' && !orvel_dropbox_json_set(args, "client_modified", json_string(modtime)))) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    orvel_gridftp_server_begin_transfer(op, 0, nullptr);
    hasher = orvel_dropbox_hasher_start();
    data.op = op;
    data.length = info->alloc_size;
    data.tap = orvel_dropbox_hasher_tap;
    data.tap_arg = hasher;
    data.confirm_end = true;
    call.endpoint = &orvel_i_dropbox_ep_upload;
    call.args = args;
    call.body_source = orvel_dsi_rest_write_gridftp_op;
    call.body_source_arg = &data;
    result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);

    if (data.excess) {
        orvel_error_discard(result);
        result = orvel_dropbox_upload_too_much_data(info->pathname);
    } else if (data.transferred < info->alloc_size && (result == ORVEL_SUCCESS || data.eof)) {
        result = orvel_dropbox_upload_short_data(result, info->pathname, data.transferred, info->alloc_size);
    }
    computed = orvel_dropbox_hasher_finish(hasher);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_upload_commit_check(handle, info->pathname, parent, replaces, reply, computed);

out:
    orvel_dropbox_free(computed);
    json_decref(reply);
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
