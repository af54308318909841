// Uploads whose size was not announced. The stream is read in pieces held in
// memory, each sent with its content hash (so that the service refuses bytes
// that differ before storing them) and safe to send again after a failed
// attempt. A stream that ends inside its first piece is stored in one
// request; a longer one goes through an upload session, a piece at a time as
// the data arrives, closed and committed only once the end of the data has
// been read.
#include "orvel_dropbox_transfer.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Append replies carry JSON null: nothing to keep.
orvel_result_t orvel_l_dropbox_discard_reply(void *, const void *, size_t)
{
    return ORVEL_SUCCESS;
}

// The service refusing a piece whose bytes arrived other than they were sent
// says "content_hash_mismatch": the checksum error of the upload.
orvel_result_t orvel_l_dropbox_piece_refused(orvel_result_t result, const orvel_dropbox_upload_piece_t *piece)
{
    const char *summary = orvel_dropbox_error_get_info(orvel_error_peek(result), "error_summary");
    if (summary == nullptr || strstr(summary, "content_hash_mismatch") == nullptr)
        return result;
    return orvel_dropbox_error_piece_corrupted(orvel_error_get(result), piece->length, piece->offset, piece->hash);
}

// Sends `piece` as the body of `call`, whose arguments are `args` (released here).
orvel_result_t orvel_l_dropbox_piece_send(orvel_dropbox_handle_t *handle, orvel_dropbox_api_call_t *call, json_t *args,
                                          const orvel_dropbox_upload_piece_t *piece, json_t **reply_out)
{
    if (args == nullptr)
        return orvel_dropbox_error_system_malloc();
    orvel_dsi_rest_write_block_arg_t block = {piece->data, piece->length};
    call->args = args;
    call->body_source = orvel_dsi_rest_write_block;
    call->body_source_arg = &block;
    orvel_result_t result = orvel_dropbox_api_call(handle, call, reply_out, nullptr);
    json_decref(args);
    return orvel_l_dropbox_piece_refused(result, piece);
}

// A restarted transfer continues an upload of unannounced size of this
// session: at the end of its last whole piece, or, with every byte there,
// only to commit it.
orvel_result_t orvel_l_dropbox_find_resumed(orvel_dropbox_handle_t *handle, orvel_gfs_transfer_info_t *info,
                                            orvel_off_t offset, orvel_dropbox_upload_session_t **upload_out)
{
    orvel_dropbox_upload_session_t *upload = orvel_dropbox_upload_state_query(&handle->upload_state, info->pathname);
    *upload_out = upload;
    char why[160];
    if (upload == nullptr)
        return orvel_dropbox_upload_append_not_supported("no interrupted upload of this file to continue in this "
                                                         "session");
    if (!upload->size_unknown)
        return orvel_dropbox_upload_append_not_supported("the interrupted upload of this file announced its size: "
                                                         "announce it again (ALLO)");
    const uint64_t at = upload->parallel ? orvel_dropbox_upload_parallel_resume_at(upload)
                        : upload->closed ? upload->total_size
                                         : upload->num_parts * upload->part_size;
    if (static_cast<uint64_t>(offset) != at) {
        std::snprintf(why, sizeof why, "the interrupted upload of this file continues at offset %" PRIu64, at);
        return orvel_dropbox_upload_append_not_supported(why);
    }
    return ORVEL_SUCCESS;
}

// Appends piece after piece to the session until the last one, which closes
// it; `piece` holds the first, already read. Every byte read is fed to
// `hasher` (may be null).
orvel_result_t orvel_l_dropbox_append_pieces(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                             orvel_dropbox_upload_session_t *upload,
                                             orvel_dropbox_upload_piece_t *piece, orvel_dropbox_hasher_t *hasher)
{
    for (;;) {
        orvel_result_t result = orvel_dropbox_upload_piece_append(handle, piece, upload->id);
        if (result != ORVEL_SUCCESS) {
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "piece at %" PRIu64 " of %s failed; the upload session stays open\n",
                              piece->offset, upload->name);
            return result;
        }
        if (piece->last) {
            upload->total_size = piece->offset + piece->length;
            upload->closed = true;
            return ORVEL_SUCCESS;
        }
        upload->num_parts++;
        result = orvel_dropbox_upload_piece_read(op, piece);
        if (result != ORVEL_SUCCESS)
            return result;
        orvel_dropbox_hasher_tap(hasher, piece->data, piece->length);
    }
}

} // namespace

orvel_result_t orvel_dropbox_upload_piece_init(orvel_dropbox_upload_piece_t *piece, uint64_t offset)
{
    *piece = {};
    piece->offset = offset;
    piece->data = static_cast<unsigned char *>(orvel_dropbox_malloc(ORVEL_DROPBOX_PIECE_SIZE));
    return piece->data != nullptr ? ORVEL_SUCCESS : orvel_dropbox_error_system_malloc();
}

void orvel_dropbox_upload_piece_release(orvel_dropbox_upload_piece_t *piece)
{
    orvel_dropbox_free(piece->data);
    piece->data = nullptr;
}

orvel_result_t orvel_dropbox_upload_piece_read(orvel_gfs_operation_t op, orvel_dropbox_upload_piece_t *piece)
{
    piece->offset += piece->length;
    piece->length = 0;
    piece->last = false;
    if (piece->has_ahead) {
        piece->data[piece->length++] = static_cast<unsigned char>(piece->ahead);
        piece->has_ahead = false;
    }
    size_t got = 0;
    bool eof = false;
    orvel_result_t result = orvel_dropbox_channel_read_full(op, piece->data + piece->length,
                                                            ORVEL_DROPBOX_PIECE_SIZE - piece->length, &got, &eof);
    piece->length += got;
    if (result == ORVEL_SUCCESS && !eof) {
        // A full piece: whether the data goes on is known only by reading on.
        result = orvel_dropbox_channel_read_full(op, &piece->ahead, 1, &got, &eof);
        piece->has_ahead = got > 0;
        eof = got == 0;
    }
    piece->last = eof;
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_content_hash(piece->data, piece->length, piece->hash);
    return result;
}

orvel_result_t orvel_dropbox_upload_piece_append(orvel_dropbox_handle_t *handle,
                                                 const orvel_dropbox_upload_piece_t *piece, const char *session_id)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_upload_session_append;
    call.reply_sink = orvel_l_dropbox_discard_reply;
    json_t *args = json_pack("{s:b, s:{s:s, s:I}, s:s}", "close", piece->last, "cursor", "session_id", session_id,
                             "offset", static_cast<json_int_t>(piece->offset), "content_hash", piece->hash);
    orvel_result_t result = orvel_l_dropbox_piece_send(handle, &call, args, piece, nullptr);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_upload_piece_store(orvel_dropbox_handle_t *handle,
                                                const orvel_dropbox_upload_piece_t *piece, const char *path,
                                                const char *modtime, json_t **reply_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_api_call_t call{};
    call.endpoint = &orvel_i_dropbox_ep_upload;
    json_t *args = json_object();
    if (args != nullptr &&
        (!orvel_dropbox_json_set(args, "path", json_string(path)) ||
         !orvel_dropbox_json_set(args, "mode", json_string("overwrite")) ||
         (modtime[0] != '\0' && !orvel_dropbox_json_set(args, "client_modified", json_string(modtime))) ||
         !orvel_dropbox_json_set(args, "content_hash", json_string(piece->hash)))) {
        json_decref(args);
        args = nullptr;
    }
    orvel_result_t result = orvel_l_dropbox_piece_send(handle, &call, args, piece, reply_out);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

extern "C" orvel_result_t orvel_i_dropbox_recv_unannounced(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                                           orvel_dropbox_handle_t *handle,
                                                           orvel_dropbox_path_info_t *parent, const char *modtime)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_upload_session_t *upload = nullptr;
    orvel_dropbox_upload_piece_t piece{};
    orvel_dropbox_hasher_t *hasher = nullptr;
    json_t *reply = nullptr;
    char *computed = nullptr;
    orvel_off_t offset = 0;
    orvel_off_t length = 0;
    const bool replaces = orvel_dropbox_upload_replaces_file(handle, info->pathname);
    orvel_result_t result = ORVEL_SUCCESS;
    bool in_parallel = false; // a session opened here, for pieces in parallel

    // Checked before the transfer begins: nothing is read or sent for them.
    orvel_gridftp_server_get_write_range(op, &offset, &length);
    if ((length != -1 && length != 0) || offset < 0 || (info->truncate && offset != 0)) {
        result = orvel_dropbox_upload_append_not_supported(nullptr);
        goto out;
    }
    if (!info->truncate) {
        result = orvel_l_dropbox_find_resumed(handle, info, offset, &upload);
        if (result != ORVEL_SUCCESS)
            goto out;
    }
    orvel_gridftp_server_begin_transfer(op, 0, nullptr);
    if (upload != nullptr && upload->closed) {
        result = orvel_dropbox_upload_session_recommit(op, handle, info, parent, upload, offset);
        goto out;
    }
    if (upload != nullptr && upload->parallel) {
        result = orvel_dropbox_upload_parallel(op, handle, info, upload, offset, nullptr, nullptr);
        if (result == ORVEL_SUCCESS)
            result = orvel_dropbox_upload_session_commit(handle, info, parent, upload, replaces);
        goto out;
    }

    result = orvel_dropbox_upload_piece_init(&piece, static_cast<uint64_t>(offset));
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_upload_piece_read(op, &piece);
    if (result != ORVEL_SUCCESS)
        goto out;

    if (upload == nullptr && piece.last) {
        // The whole file in one piece: one request, its hash checked by the
        // service before anything is stored.
        result = orvel_dropbox_upload_piece_store(handle, &piece, info->pathname, modtime, &reply);
        if (result == ORVEL_SUCCESS)
            result = orvel_dropbox_upload_commit_check(handle, info->pathname, parent, replaces, reply, piece.hash);
        goto out;
    }
    if (upload == nullptr) {
        result = orvel_dropbox_upload_session_open(handle, info, modtime, true, &upload);
        if (result != ORVEL_SUCCESS)
            goto out;
        // Only a transfer that sends every byte can be checked against the
        // service's hash of the whole file.
        hasher = orvel_dropbox_hasher_start();
        in_parallel = orvel_i_dropbox_transfer_streams > 1;
        if (!in_parallel)
            orvel_dropbox_hasher_tap(hasher, piece.data, piece.length);
    }
    if (in_parallel) {
        // Several pieces at once, the one read so far first.
        result = orvel_dropbox_upload_parallel_prepare(upload)
                     ? orvel_dropbox_upload_parallel(op, handle, info, upload, offset, &piece, hasher)
                     : orvel_dropbox_error_system_malloc();
    } else {
        result = orvel_l_dropbox_append_pieces(op, handle, upload, &piece, hasher);
    }
    computed = orvel_dropbox_hasher_finish(hasher);
    hasher = nullptr;
    if (result != ORVEL_SUCCESS)
        goto out;
    std::snprintf(upload->content_hash, sizeof upload->content_hash, "%s", computed != nullptr ? computed : "");
    result = orvel_dropbox_upload_session_commit(handle, info, parent, upload, replaces);

out:
    orvel_dropbox_free(orvel_dropbox_hasher_finish(hasher));
    orvel_dropbox_free(computed);
    json_decref(reply);
    orvel_dropbox_upload_piece_release(&piece);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
