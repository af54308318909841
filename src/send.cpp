// The send slot (retrieve): each byte range the host asks for is fetched with
// one download request whose reply body the REST library writes straight into
// the host's data channel at the range's offset.
#include "orvel_dropbox_common.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// One range being fetched.
struct orvel_l_dropbox_send_range {
    orvel_dsi_rest_gridftp_op_arg_t sink; /* data channel record; offset = start of the range */
    orvel_off_t start;                    /* first byte of the range */
    orvel_off_t count;                    /* bytes asked for, -1 = to the end of the file */
    char *range;                          /* current "Range" value, or null for the whole file */
};

// "bytes=FIRST-LAST" for a bounded range, "bytes=FIRST-" to the end, or no
// header at all for the whole file. False when the text cannot be made.
bool orvel_l_dropbox_range_text(orvel_off_t start, orvel_off_t count, char **text_out)
{
    *text_out = nullptr;
    int made = 0;
    if (count != -1)
        made = asprintf(text_out, "bytes=%" PRId64 "-%" PRId64, start, start + count - 1);
    else if (start != 0)
        made = asprintf(text_out, "bytes=%" PRId64 "-", start);
    if (made < 0) {
        *text_out = nullptr;
        return false;
    }
    return true;
}

// Before a repeated attempt: the bytes that reached the client already stay
// sent; the next attempt asks only for the rest of the range (the sink writes
// at offset + transferred).
orvel_result_t orvel_l_dropbox_send_before_retry(orvel_dropbox_api_call_t *call, void *arg)
{
    auto *range = static_cast<orvel_l_dropbox_send_range *>(arg);
    orvel_off_t done = range->sink.transferred;
    if (done <= 0)
        return ORVEL_SUCCESS;
    if (range->count != -1 && done >= range->count) {
        return orvel_error_put(
            ORVEL_ERROR_GENERIC("%s", "download failed after the whole range had arrived; not repeated"));
    }
    orvel_off_t remaining = range->count == -1 ? -1 : range->count - done;
    char *text = nullptr;
    if (!orvel_l_dropbox_range_text(range->start + done, remaining, &text))
        return orvel_dropbox_error_system_malloc();
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "resume at=%" PRId64 " range=%s\n", range->start + done,
                      text != nullptr ? text : "");
    std::free(range->range);
    range->range = text;
    call->range = text;
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_l_dropbox_send_ranges(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                           json_t *args)
{
    orvel_result_t result = ORVEL_SUCCESS;
    for (;;) {
        orvel_off_t start = 0;
        orvel_off_t count = 0;
        orvel_gridftp_server_get_read_range(op, &start, &count);
        if (count == 0)
            break;
        // The last byte of the range must be a file offset too.
        if (start < 0 || count < -1 || (count > 0 && count - 1 > INT64_MAX - start)) {
            result = orvel_error_put(ORVEL_ERROR_GENERIC("invalid read range offset=%" PRId64 " length=%" PRId64,
                                                         start, count));
            break;
        }

        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "range offset=%" PRId64 " length=%" PRId64 "\n", start, count);
        orvel_l_dropbox_send_range range{};
        range.sink.op = op;
        range.sink.offset = start;
        range.sink.length = count;
        range.start = start;
        range.count = count;
        if (!orvel_l_dropbox_range_text(start, count, &range.range)) {
            result = orvel_dropbox_error_system_malloc();
            break;
        }

        orvel_dropbox_api_call_t call{};
        call.endpoint = &orvel_i_dropbox_ep_download;
        call.args = args;
        call.range = range.range;
        call.reply_sink = orvel_dsi_rest_read_gridftp_op;
        call.reply_sink_arg = &range.sink;
        call.before_retry = orvel_l_dropbox_send_before_retry;
        call.before_retry_arg = &range;

        orvel_dsi_rest_response_arg_t response{};
        result = orvel_dropbox_api_call(handle, &call, nullptr, &response);
        if (result == ORVEL_SUCCESS && response.response_code >= 400) {
            // An error reply never counts as sent, whatever its status.
            result = orvel_error_put(ORVEL_ERROR_GENERIC("download answered with status %d", response.response_code));
        }
        orvel_dsi_rest_response_arg_clear(&response);
        std::free(range.range);
        if (result != ORVEL_SUCCESS || count == -1)
            break;
    }
    return result;
}

} // namespace

extern "C" void orvel_i_dropbox_send(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info,
                                     void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);
    orvel_dropbox_path_info_t *entry = nullptr;
    json_t *args = nullptr;

    orvel_result_t result = orvel_dropbox_update_token(handle, op);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_path_resolve(handle, transfer_info->pathname, &entry, nullptr);
    if (result == ORVEL_SUCCESS) {
        // The file is named to the service by its id, not by its path.
        args = json_pack("{s:s}", "path", entry->id != nullptr ? entry->id : "");
        if (args == nullptr)
            result = orvel_dropbox_error_system_malloc();
    }
    if (result == ORVEL_SUCCESS) {
        orvel_gridftp_server_begin_transfer(op, 0, nullptr);
        result = orvel_l_dropbox_send_ranges(op, handle, args);
    }
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_transfer(op, result);
}
