// Upload sessions: files whose announced size is above 100 MiB are appended
// in parts of 100 MiB streamed from the data channel, and committed once the
// end of the data is confirmed. The last part's final byte waits for that
// end, so too much data or an interrupted stream never closes the session: a
// restarted transfer of the same path in the same session continues it from
// a part boundary, or repeats only the commit when every byte is there.
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

// Appends the parts from the write range's offset to the end; the last one
// closes the session, its final byte sent only once the data has ended.
orvel_result_t orvel_l_dropbox_append_parts(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                            orvel_gfs_transfer_info_t *info, orvel_dropbox_upload_session_t *upload,
                                            orvel_off_t offset)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    const auto first = static_cast<int32_t>(static_cast<uint64_t>(offset) / upload->part_size);
    // Only a transfer that sends every part can be checked against the
    // service's hash of the whole file.
    orvel_dropbox_hasher_t *hasher = first == 0 ? orvel_dropbox_hasher_start() : nullptr;
    char *computed = nullptr;

    for (int32_t k = first; k < upload->num_parts; k++) {
        const uint64_t part_offset = static_cast<uint64_t>(k) * upload->part_size;
        const uint64_t part_length =
            upload->total_size - part_offset < upload->part_size ? upload->total_size - part_offset : upload->part_size;
        const bool last = k == upload->num_parts - 1;

        orvel_dsi_rest_gridftp_op_arg_t data{};
        data.op = op;
        data.offset = static_cast<orvel_off_t>(part_offset);
        data.length = static_cast<orvel_off_t>(part_length);
        data.tap = orvel_dropbox_hasher_tap;
        data.tap_arg = hasher;
        data.confirm_end = last;

        // "close" precedes "cursor" in the argument text.
        json_t *args = json_pack("{s:b, s:{s:s, s:I}}", "close", last, "cursor", "session_id", upload->id, "offset",
                                 static_cast<json_int_t>(part_offset));
        if (args == nullptr) {
            result = orvel_dropbox_error_system_malloc();
            break;
        }
        orvel_dropbox_api_call_t call{};
        call.endpoint = &orvel_i_dropbox_ep_upload_session_append;
        call.args = args;
        call.body_source = orvel_dsi_rest_write_gridftp_op;
        call.body_source_arg = &data;
        call.reply_sink = orvel_l_dropbox_discard_reply;
        result = orvel_dropbox_api_call(handle, &call, nullptr, nullptr);
        json_decref(args);

        if (data.excess) {
            orvel_error_discard(result);
            result = orvel_dropbox_upload_too_much_data(info->pathname);
        } else if (data.transferred < data.length && (result == ORVEL_SUCCESS || data.eof)) {
            result = orvel_dropbox_upload_short_data(result, info->pathname,
                                                     static_cast<int64_t>(part_offset) + data.transferred,
                                                     static_cast<int64_t>(upload->total_size));
        }
        if (result != ORVEL_SUCCESS) {
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "part %d of %d of %s failed; the upload session stays open\n", k + 1,
                              upload->num_parts, upload->name);
            break;
        }
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "part %d of %d of %s appended (%" PRIu64 " bytes)\n", k + 1,
                          upload->num_parts, upload->name, part_length);
    }

    computed = orvel_dropbox_hasher_finish(hasher);
    if (result == ORVEL_SUCCESS) {
        upload->closed = true;
        std::snprintf(upload->content_hash, sizeof upload->content_hash, "%s", computed != nullptr ? computed : "");
    }
    orvel_dropbox_free(computed);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

// The commit. Its body is empty, so it is safe to repeat: while the service
// answers that writes contend for the namespace (429
// too_many_write_operations), the commit waits as asked and tries again,
// until the waits add up to the longest back-off.
orvel_result_t orvel_l_dropbox_finish(orvel_dropbox_handle_t *handle, orvel_dropbox_api_call_t *call, json_t **reply)
{
    uint64_t waited = 0;
    const uint64_t limit = orvel_i_dropbox_max_delay > 0 ? static_cast<uint64_t>(orvel_i_dropbox_max_delay) : 0;
    for (;;) {
        orvel_dsi_rest_response_arg_t response{};
        orvel_result_t result = orvel_dropbox_api_call(handle, call, reply, &response);
        const char *retry_after =
            response.desired_headers.count > 0 ? response.desired_headers.key_value[0].value : nullptr;
        const uint64_t wait = retry_after != nullptr ? std::strtoull(retry_after, nullptr, 10) : 0;
        const bool contended =
            result != ORVEL_SUCCESS && response.response_code == 429 && wait > 0 && waited + wait <= limit;
        orvel_dsi_rest_response_arg_clear(&response);
        if (!contended)
            return result;
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "commit refused while writes contend; again in %" PRIu64 " s\n", wait);
        orvel_error_discard(result);
        json_decref(*reply);
        *reply = nullptr;
        orvel_i_dropbox_retry_delay(wait, &handle->retry_state);
        waited += wait;
    }
}

} // namespace

extern "C" orvel_result_t orvel_dropbox_upload_session_parse(json_t *json, orvel_dropbox_upload_session_t *upload)
{
    orvel_result_t result = ORVEL_SUCCESS;
    ORVEL_DROPBOX_TRACE_ENTER();
    json_t *id = json_object_get(json, "session_id");
    if (!json_is_string(id)) {
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed to parse session info!"));
    } else {
        char *copy = orvel_dropbox_strdup(json_string_value(id));
        if (copy == nullptr) {
            result = orvel_dropbox_error_system_malloc();
        } else {
            orvel_dropbox_free(upload->id);
            upload->id = copy;
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_upload_session_open(orvel_dropbox_handle_t *handle, orvel_gfs_transfer_info_t *info,
                                                 const char *modtime, bool size_unknown,
                                                 orvel_dropbox_upload_session_t **upload_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_upload_session_t *upload = nullptr;
    json_t *args = nullptr;
    json_t *reply = nullptr;
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_api_call_t call{};
    *upload_out = nullptr;

    // Part numbers are 32-bit: a size with more parts cannot be laid out (only
    // reachable with a limit far above the default 350 GiB).
    if (static_cast<uint64_t>(info->alloc_size) / ORVEL_DROPBOX_PART_SIZE >= static_cast<uint64_t>(INT32_MAX)) {
        result = orvel_dropbox_upload_detail_error(451, "QUOTA_EXCEEDED", info->pathname, "Upload size is too large.",
                                                   nullptr);
        goto out;
    }

    // Start carries no data: the body is an empty block.
    args = json_pack("{s:s}", "session_type", "concurrent");
    if (args == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    call.endpoint = &orvel_i_dropbox_ep_upload_session_start;
    call.args = args;
    result = orvel_dropbox_api_call(handle, &call, &reply, nullptr);
    if (result != ORVEL_SUCCESS)
        goto out;

    upload = static_cast<orvel_dropbox_upload_session_t *>(orvel_dropbox_calloc(1, sizeof(*upload)));
    if (upload == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    result = orvel_dropbox_upload_session_parse(reply, upload);
    if (result != ORVEL_SUCCESS)
        goto out;
    upload->name = orvel_dropbox_strdup(info->pathname);
    upload->modtime = modtime[0] != '\0' ? orvel_dropbox_strdup(modtime) : nullptr;
    if (upload->name == nullptr || (modtime[0] != '\0' && upload->modtime == nullptr)) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    upload->size_unknown = size_unknown;
    if (size_unknown) {
        // Pieces are counted as they are appended; the size is known at the end.
        upload->part_size = ORVEL_DROPBOX_PIECE_SIZE;
    } else {
        upload->total_size = static_cast<uint64_t>(info->alloc_size);
        upload->part_size = ORVEL_DROPBOX_PART_SIZE;
        upload->num_parts = static_cast<int32_t>(upload->total_size / upload->part_size +
                                                 (upload->total_size % upload->part_size != 0 ? 1 : 0));
    }

    result = orvel_dropbox_upload_state_update(&handle->upload_state, upload, upload->name);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed cache update!"));
        goto out;
    }
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "upload session %s opened for %s: %d parts, %" PRIu64 " bytes\n", upload->id,
                      upload->name, upload->num_parts, upload->total_size);
    *upload_out = upload;
    upload = nullptr;

out:
    orvel_dropbox_upload_session_free(upload);
    json_decref(reply);
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_upload_session_commit(orvel_dropbox_handle_t *handle, orvel_gfs_transfer_info_t *info,
                                                   orvel_dropbox_path_info_t *parent,
                                                   orvel_dropbox_upload_session_t *upload, bool replaces_file)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    json_t *reply = nullptr;
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_api_call_t call{};
    char computed[sizeof upload->content_hash];
    std::snprintf(computed, sizeof computed, "%s", upload->content_hash);

    json_t *args = json_pack("{s:{s:s, s:s}, s:{s:s, s:I}}", "commit", "path", upload->name, "mode", "overwrite",
                             "cursor", "session_id", upload->id, "offset", static_cast<json_int_t>(upload->total_size));
    if (args != nullptr && upload->modtime != nullptr &&
        !orvel_dropbox_json_set(json_object_get(args, "commit"), "client_modified", json_string(upload->modtime))) {
        json_decref(args);
        args = nullptr;
    }
    if (args == nullptr) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    call.endpoint = &orvel_i_dropbox_ep_upload_session_finish;
    call.args = args;
    result = orvel_l_dropbox_finish(handle, &call, &reply);
    if (result != ORVEL_SUCCESS) {
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "commit of %s failed; a restart at offset %" PRIu64 " repeats it\n",
                          upload->name, upload->total_size);
        goto out;
    }
    // The service's session is committed: the record has served its purpose
    // whatever the check of the reply says.
    orvel_error_discard(orvel_dropbox_upload_state_remove(&handle->upload_state, info->pathname));
    result = orvel_dropbox_upload_commit_check(handle, info->pathname, parent, replaces_file, reply,
                                               computed[0] != '\0' ? computed : nullptr);

out:
    json_decref(reply);
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_dropbox_upload_session_recommit(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                                     orvel_gfs_transfer_info_t *info, orvel_dropbox_path_info_t *parent,
                                                     orvel_dropbox_upload_session_t *upload, orvel_off_t offset)
{
    if (static_cast<uint64_t>(offset) != upload->total_size) {
        char why[160];
        std::snprintf(why, sizeof why,
                      "every byte of this upload has arrived; a restart at offset %" PRIu64 " commits it",
                      upload->total_size);
        return orvel_dropbox_upload_append_not_supported(why);
    }
    const bool replaces = orvel_dropbox_upload_replaces_file(handle, info->pathname);
    orvel_result_t result = orvel_dropbox_channel_expect_end(op, info->pathname);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_upload_session_commit(handle, info, parent, upload, replaces);
    return result;
}

extern "C" orvel_result_t orvel_i_dropbox_recv_chunked(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                                       orvel_dropbox_handle_t *handle,
                                                       orvel_dropbox_path_info_t *parent, const char *modtime)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_upload_session_t *upload = nullptr;
    orvel_off_t offset = 0;
    orvel_off_t length = 0;
    const bool replaces = orvel_dropbox_upload_replaces_file(handle, info->pathname);
    orvel_result_t result = ORVEL_SUCCESS;

    orvel_gridftp_server_begin_transfer(op, 0, nullptr);

    if (info->truncate) {
        result = orvel_dropbox_upload_session_open(handle, info, modtime, false, &upload);
        if (result != ORVEL_SUCCESS)
            goto out;
        // A large file goes up in pieces, several at once.
        if (orvel_i_dropbox_transfer_streams > 1 &&
            static_cast<uint64_t>(info->alloc_size) >= orvel_i_dropbox_single_stream_below &&
            !orvel_dropbox_upload_parallel_prepare(upload)) {
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
    } else {
        upload = orvel_dropbox_upload_state_query(&handle->upload_state, info->pathname);
        if (upload == nullptr) {
            result = orvel_dropbox_error_upload_not_found();
            goto out;
        }
        if (upload->size_unknown) {
            result = orvel_dropbox_upload_append_not_supported("the interrupted upload of this file did not announce "
                                                               "its size: restart it without ALLO");
            goto out;
        }
    }

    orvel_gridftp_server_get_write_range(op, &offset, &length);
    if ((length != -1 && length != info->alloc_size) || offset < 0) {
        result = orvel_dropbox_upload_append_not_supported(nullptr);
        goto out;
    }
    if (upload->closed) {
        result = orvel_dropbox_upload_session_recommit(op, handle, info, parent, upload, offset);
        goto out;
    }
    if (offset != 0 && static_cast<uint64_t>(offset) % upload->part_size != 0) {
        result = orvel_dropbox_upload_append_not_supported(nullptr);
        goto out;
    }
    if (static_cast<uint64_t>(offset) / upload->part_size >= static_cast<uint64_t>(upload->num_parts)) {
        result = orvel_dropbox_error_restart_beyond_parts(static_cast<int64_t>(offset), upload->num_parts,
                                                          upload->part_size, upload->total_size);
        goto out;
    }

    if (upload->parallel) {
        // Only a transfer that sends every byte can be checked against the
        // service's hash of the whole file.
        orvel_dropbox_hasher_t *hasher = offset == 0 ? orvel_dropbox_hasher_start() : nullptr;
        result = orvel_dropbox_upload_parallel(op, handle, info, upload, offset, nullptr, hasher);
        char *computed = orvel_dropbox_hasher_finish(hasher);
        std::snprintf(upload->content_hash, sizeof upload->content_hash, "%s", computed != nullptr ? computed : "");
        orvel_dropbox_free(computed);
    } else {
        result = orvel_l_dropbox_append_parts(op, handle, info, upload, offset);
    }
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_upload_session_commit(handle, info, parent, upload, replaces);

out:
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
