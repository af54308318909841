// One piece of a download: a byte range of one revision of a file, fetched
// from the content endpoint, every reply checked before its bytes count, and
// repeated from where it stopped until each byte asked for has arrived.
#include "orvel_dropbox_guard.hpp"
#include "orvel_dropbox_transfer.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What the hooks of the request procedure share while one piece is fetched.
struct orvel_l_dropbox_piece_run {
    orvel_dropbox_download_piece_t *piece;
    orvel_dsi_rest_gridftp_op_arg_t channel; /* the data-channel sink's record, when piece->op is set */
    json_t *args;                            /* {"path": the id, or "rev:<rev>" once known} */
    char *range;                             /* "Range" of the current attempt, or null */
    orvel_off_t attempt_start;               /* bytes delivered when the current attempt began */
};

// Bytes delivered so far (the data channel counts its own).
orvel_off_t orvel_l_dropbox_delivered(orvel_l_dropbox_piece_run *run)
{
    if (run->piece->op != nullptr)
        run->piece->done = run->channel.transferred;
    return run->piece->done;
}

// The caller's sink, counting what it took.
orvel_result_t orvel_l_dropbox_piece_sink(void *arg, const void *buffer, size_t length)
{
    return orvel_i_dropbox_guard("download reply", [&] {
        auto *run = static_cast<orvel_l_dropbox_piece_run *>(arg);
        orvel_result_t result = run->piece->sink(run->piece->sink_arg, buffer, length);
        if (result == ORVEL_SUCCESS)
            run->piece->done += static_cast<orvel_off_t>(length);
        return result;
    });
}

// "bytes=FIRST-LAST", "bytes=FIRST-" (last -1), or no header at all for the
// whole file. False when the text cannot be made.
bool orvel_l_dropbox_range_text(orvel_off_t first, orvel_off_t last, char **text_out)
{
    *text_out = nullptr;
    int made = 0;
    if (last != -1)
        made = orvel_dropbox_asprintf(text_out, "bytes=%" PRId64 "-%" PRId64, first, last);
    else if (first != 0)
        made = orvel_dropbox_asprintf(text_out, "bytes=%" PRId64 "-", first);
    if (made < 0) {
        *text_out = nullptr;
        return false;
    }
    return true;
}

const char *orvel_l_dropbox_reply_header(const orvel_dsi_rest_response_arg_t *response, const char *name)
{
    for (size_t i = 0; i < response->desired_headers.count; i++) {
        const orvel_dsi_rest_key_value_t &pair = response->desired_headers.key_value[i];
        if (pair.key != nullptr && strcasecmp(pair.key, name) == 0)
            return pair.value;
    }
    return nullptr;
}

// A 2xx reply's "Dropbox-API-Result" names the revision its bytes come from:
// the first one pins the transfer to it, every later one must name it too.
orvel_result_t orvel_l_dropbox_pin(orvel_dropbox_download_t *file, const orvel_dsi_rest_response_arg_t *response)
{
    const char *text = orvel_l_dropbox_reply_header(response, "Dropbox-API-Result");
    json_t *metadata = text != nullptr ? json_loads(text, 0, nullptr) : nullptr;
    json_t *rev = json_object_get(metadata, "rev");
    json_t *size = json_object_get(metadata, "size");
    orvel_result_t result = ORVEL_SUCCESS;
    if (!json_is_string(rev) || !json_is_integer(size) || json_integer_value(size) < 0) {
        result = orvel_error_put(ORVEL_ERROR_GENERIC(
            "The download reply (HTTP %d) carries %s Dropbox-API-Result header: the file's revision is unknown",
            response->response_code, text == nullptr ? "no" : "an unusable"));
    } else if (file->rev == nullptr) {
        file->rev = orvel_dropbox_strdup(json_string_value(rev));
        file->size = static_cast<uint64_t>(json_integer_value(size));
        if (file->rev == nullptr)
            result = orvel_dropbox_error_system_malloc();
        else
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "reading revision %s (%" PRIu64 " bytes)\n", file->rev, file->size);
    } else if (strcmp(file->rev, json_string_value(rev)) != 0) {
        result = orvel_dropbox_error_file_changed(nullptr, "the service sent another version of the file than the "
                                                           "transfer started with");
    }
    json_decref(metadata);
    return result;
}

// The piece's bytes that the pinned revision holds: up to the range's end or
// the file's, whichever comes first.
orvel_off_t orvel_l_dropbox_bytes_held(const orvel_dropbox_download_piece_t *piece)
{
    const auto size = static_cast<orvel_off_t>(piece->file->size);
    orvel_off_t end = size;
    if (piece->length != -1 && piece->offset + piece->length < size)
        end = piece->offset + piece->length;
    return end > piece->offset ? end - piece->offset : 0;
}

// A failed attempt that still completes the piece: a range starting at the
// end of the file (416 "bytes */SIZE"), or every byte already there.
bool orvel_l_dropbox_nothing_left(orvel_l_dropbox_piece_run *run, const orvel_dsi_rest_response_arg_t *response)
{
    const orvel_dropbox_download_piece_t *piece = run->piece;
    const orvel_off_t next = piece->offset + orvel_l_dropbox_delivered(run);
    if (response->response_code == 416 && run->range != nullptr) {
        const char *content_range = orvel_l_dropbox_reply_header(response, "Content-Range");
        unsigned long long total = 0;
        char end = 0;
        return content_range != nullptr && sscanf(content_range, "bytes */%llu%c", &total, &end) == 1 &&
               static_cast<orvel_off_t>(total) == next && (piece->file->rev == nullptr || total == piece->file->size);
    }
    return piece->file->rev != nullptr && piece->done >= orvel_l_dropbox_bytes_held(piece);
}

orvel_result_t orvel_l_dropbox_piece_judge(orvel_dropbox_api_call_t *, orvel_result_t result,
                                           const orvel_dsi_rest_response_arg_t *response, bool *retryable, void *arg)
{
    auto *run = static_cast<orvel_l_dropbox_piece_run *>(arg);
    orvel_dropbox_download_piece_t *piece = run->piece;
    const int status = response->response_code;
    // 200 for the whole file, 206 for a range (whose Content-Range the REST
    // library has matched with the range asked).
    const int expected = run->range != nullptr ? 206 : 200;

    if (status == expected) {
        orvel_result_t pinned = orvel_l_dropbox_pin(piece->file, response);
        if (pinned != ORVEL_SUCCESS) {
            orvel_error_discard(result);
            *retryable = false;
            return pinned;
        }
    }
    if (result != ORVEL_SUCCESS) {
        if (orvel_l_dropbox_nothing_left(run, response)) {
            orvel_error_discard(result);
            return ORVEL_SUCCESS;
        }
        if (piece->file->rev != nullptr && (status == 404 || status == 409)) {
            *retryable = false;
            return orvel_dropbox_error_file_changed(orvel_error_get(result),
                                                    "the file changed during the transfer, and the version the "
                                                    "transfer started with can no longer be read");
        }
        return result;
    }

    *retryable = false;
    if (status != expected) {
        return orvel_error_put(ORVEL_ERROR_GENERIC(
            "The service answered files/download with HTTP status %d where %d was expected", status, expected));
    }
    const orvel_off_t got = orvel_l_dropbox_delivered(run);
    const orvel_off_t held = orvel_l_dropbox_bytes_held(piece);
    if (got < held) {
        // A body that ended early without HTTP noticing: go on from there.
        *retryable = true;
        return orvel_error_put(ORVEL_ERROR_GENERIC("The download reply ended early: %" PRId64 " of the %" PRId64
                                                   " bytes asked for from offset %" PRId64 " have arrived",
                                                   got, held, piece->offset));
    }
    if (got > held) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("The download reply held %" PRId64
                                                   " bytes where the file has %" PRId64 " from offset %" PRId64,
                                                   got, held, piece->offset));
    }
    return ORVEL_SUCCESS;
}

// Before a repeated attempt: ask only for what has not arrived, from the
// revision the transfer reads.
orvel_result_t orvel_l_dropbox_piece_before_retry(orvel_dropbox_api_call_t *call, void *arg)
{
    auto *run = static_cast<orvel_l_dropbox_piece_run *>(arg);
    orvel_dropbox_download_piece_t *piece = run->piece;
    orvel_dropbox_download_t *file = piece->file;
    const orvel_off_t done = orvel_l_dropbox_delivered(run);
    if (done > 0 && file->rev == nullptr) {
        return orvel_dropbox_error_file_changed(nullptr, "the download broke off, and its reply named no version of "
                                                         "the file to continue from");
    }
    if (file->rev != nullptr) {
        const std::string path = std::string("rev:") + file->rev;
        if (json_object_set_new(run->args, "path", json_string(path.c_str())) != 0)
            return orvel_dropbox_error_system_malloc();
        // No more than the revision holds may reach the data channel.
        if (piece->length == -1 && static_cast<orvel_off_t>(file->size) >= piece->offset)
            run->channel.length = static_cast<orvel_off_t>(file->size) - piece->offset;
    }
    char *text = nullptr;
    if (!orvel_l_dropbox_range_text(piece->offset + done, piece->length == -1 ? -1 : piece->offset + piece->length - 1,
                                    &text))
        return orvel_dropbox_error_system_malloc();
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "resume at=%" PRId64 " range=%s\n", piece->offset + done,
                      text != nullptr ? text : "");
    orvel_dropbox_free(run->range);
    run->range = text;
    call->range = text;
    run->attempt_start = done;
    return ORVEL_SUCCESS;
}

} // namespace

orvel_result_t orvel_dropbox_download_init(orvel_dropbox_download_t *file, const char *id)
{
    *file = {};
    file->id = orvel_dropbox_strdup(id != nullptr ? id : "");
    return file->id != nullptr ? ORVEL_SUCCESS : orvel_dropbox_error_system_malloc();
}

void orvel_dropbox_download_release(orvel_dropbox_download_t *file)
{
    orvel_dropbox_free(file->id);
    orvel_dropbox_free(file->rev);
    *file = {};
}

orvel_result_t orvel_dropbox_download_piece(orvel_dropbox_handle_t *handle, orvel_dropbox_download_piece_t *piece)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dropbox_download_t *file = piece->file;
    orvel_l_dropbox_piece_run run{};
    orvel_dropbox_api_call_t call{};
    orvel_dsi_rest_response_arg_t response{};
    run.piece = piece;
    piece->done = 0;

    // The file is named to the service by its id, or by the revision the
    // transfer reads once that is known.
    const std::string path = file->rev != nullptr ? std::string("rev:") + file->rev : std::string(file->id);
    run.args = json_pack("{s:s}", "path", path.c_str());
    if (run.args == nullptr ||
        !orvel_l_dropbox_range_text(piece->offset, piece->length == -1 ? -1 : piece->offset + piece->length - 1,
                                    &run.range)) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    call.endpoint = &orvel_i_dropbox_ep_download;
    call.args = run.args;
    call.range = run.range;
    if (piece->op != nullptr) {
        run.channel.op = piece->op;
        run.channel.offset = piece->offset;
        run.channel.length = piece->length;
        if (piece->length == -1 && file->rev != nullptr && static_cast<orvel_off_t>(file->size) >= piece->offset)
            run.channel.length = static_cast<orvel_off_t>(file->size) - piece->offset;
        call.reply_sink = orvel_dsi_rest_read_gridftp_op;
        call.reply_sink_arg = &run.channel;
    } else {
        call.reply_sink = orvel_l_dropbox_piece_sink;
        call.reply_sink_arg = &run;
    }
    call.before_retry = orvel_l_dropbox_piece_before_retry;
    call.before_retry_arg = &run;
    call.judge = orvel_l_dropbox_piece_judge;
    call.judge_arg = &run;
    result = orvel_dropbox_api_call(handle, &call, nullptr, &response);
    orvel_l_dropbox_delivered(&run);

out:
    orvel_dsi_rest_response_arg_clear(&response);
    orvel_dropbox_free(run.range);
    json_decref(run.args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
