// Request bodies: a JSON object, a memory block, or the host's data channel.
// The library calls a body source once per exchange to open the body; the
// bytes then flow through libcurl's read callback (data channel) or straight
// from memory.
#include "orvel_dsi_rest.h"
#include "rest_internal.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace orvel::rest {
namespace {

RequestContext *context_of(void *library_context)
{
    return library_context ? static_cast<RequestContext *>(library_context) : current_context();
}

orvel_result_t no_context_error(const char *source)
{
    return orvel_error_put(ORVEL_ERROR_GENERIC("%s: called outside of a request", source));
}

// Reads until the host answers with data, the end, or an error. The host
// hands out 0 bytes only together with the end of the data or an error; a
// bounded number of empty answers guards against a channel that breaks that
// rule.
orvel_result_t read_some(RequestContext *ctx, orvel_gfs_operation_t op, void *buffer, size_t want, size_t *nread,
                         bool *eof)
{
    for (int empty_reads = 0; empty_reads < 1000; ++empty_reads) {
        orvel_result_t result = channel_read(op, buffer, want, nread, eof);
        if (result != ORVEL_SUCCESS || *nread > 0 || *eof) {
            return result;
        }
    }
    return make_error(CURLE_READ_ERROR, "the data channel gave no data", ctx->body_consumed);
}

// confirm_end: the body's last byte goes out only once the host reports the
// end of the data; a byte beyond the announced length fails the exchange,
// so that the server never receives a complete body.
size_t release_held_byte(RequestContext *ctx, char *buffer)
{
    orvel_dsi_rest_gridftp_op_arg_t *arg = ctx->channel;
    char probe = 0;
    size_t nread = 0;
    bool eof = false;
    orvel_result_t result = read_some(ctx, arg->op, &probe, 1, &nread, &eof);
    if (result != ORVEL_SUCCESS) {
        ctx->fail(result);
        return CURL_READFUNC_ABORT;
    }
    if (nread > 0) {
        arg->excess = true;
        ctx->fail(make_error(CURLE_READ_ERROR,
                             "the data channel holds more than the " + std::to_string(arg->length) + " bytes announced",
                             ctx->body_consumed));
        return CURL_READFUNC_ABORT;
    }
    ctx->channel_eof = true;
    arg->eof = true;
    ctx->holding = false;
    buffer[0] = ctx->held;
    return 1;
}

} // namespace

size_t read_body(char *buffer, size_t size, size_t nitems, void *userdata)
{
    auto *ctx = static_cast<RequestContext *>(userdata);
    orvel_dsi_rest_gridftp_op_arg_t *arg = ctx->channel;
    if (arg == nullptr) {
        return 0;
    }
    const orvel_off_t length = arg->length > 0 ? arg->length : 0;
    auto ended_early = [&]() -> size_t {
        ctx->fail(make_error(CURLE_READ_ERROR,
                             "the data channel ended after " + std::to_string(ctx->channel_sent) + " of " +
                                 std::to_string(length) + " bytes",
                             ctx->body_consumed));
        return CURL_READFUNC_ABORT;
    };
    if (ctx->holding) {
        return release_held_byte(ctx, buffer);
    }
    if (ctx->channel_eof) {
        return (length > 0 && ctx->channel_sent < length) ? ended_early() : 0;
    }
    size_t want = std::min(size * nitems, kChannelChunk);
    if (length > 0) {
        want = static_cast<size_t>(std::min<orvel_off_t>(static_cast<orvel_off_t>(want), length - ctx->channel_sent));
        if (want == 0) {
            return 0;
        }
    }
    size_t nread = 0;
    bool eof = false;
    orvel_result_t result = read_some(ctx, arg->op, buffer, want, &nread, &eof);
    if (result != ORVEL_SUCCESS) {
        ctx->fail(result);
        return CURL_READFUNC_ABORT;
    }
    if (nread > 0) {
        ctx->body_consumed = true;
        if (arg->tap) {
            arg->tap(arg->tap_arg, buffer, nread);
        }
        arg->transferred += static_cast<orvel_off_t>(nread);
        ctx->channel_sent += static_cast<orvel_off_t>(nread);
    }
    if (eof) {
        ctx->channel_eof = true;
        arg->eof = true;
    }
    if (nread == 0) {
        return (length > 0 && ctx->channel_sent < length) ? ended_early() : 0;
    }
    if (arg->confirm_end && length > 0 && ctx->channel_sent == length && !eof) {
        ctx->held = buffer[nread - 1];
        ctx->holding = true;
        if (--nread == 0) {
            return release_held_byte(ctx, buffer);
        }
    }
    return nread;
}

int seek_body(void *userdata, curl_off_t offset, int origin)
{
    // libcurl rewinds when it has to send the request again (a reused
    // connection that turned out dead). Only a body with nothing taken from
    // the channel yet can start over.
    auto *ctx = static_cast<RequestContext *>(userdata);
    if (origin != SEEK_SET || offset != 0) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    if (ctx->body_kind == BodyKind::channel && ctx->channel_sent != 0) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    return CURL_SEEKFUNC_OK;
}

} // namespace orvel::rest

extern "C" {

orvel_result_t orvel_dsi_rest_write_json(void *write_callback_arg, void *library_context)
{
    using namespace orvel::rest;
    RequestContext *ctx = context_of(library_context);
    if (ctx == nullptr) {
        return no_context_error(__func__);
    }
    auto *object = static_cast<json_t *>(write_callback_arg);
    if (object == nullptr) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "JSON request body: no value given"));
    }
    char *text = json_dumps(object, JSON_ENSURE_ASCII);
    if (text == nullptr) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "JSON request body: the value cannot be serialised"));
    }
    ctx->json_text.assign(text);
    std::free(text);
    ctx->body_kind = BodyKind::memory;
    ctx->memory = reinterpret_cast<const unsigned char *>(ctx->json_text.data());
    ctx->memory_len = ctx->json_text.size();
    ctx->memory_pos = 0;
    ctx->default_content_type = "application/json";
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dsi_rest_write_block(void *write_callback_arg, void *library_context)
{
    using namespace orvel::rest;
    RequestContext *ctx = context_of(library_context);
    if (ctx == nullptr) {
        return no_context_error(__func__);
    }
    auto *block = static_cast<orvel_dsi_rest_write_block_arg_t *>(write_callback_arg);
    if (block == nullptr || (block->block_data == nullptr && block->block_len != 0)) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "block request body: no data given"));
    }
    ctx->body_kind = BodyKind::memory;
    ctx->memory = static_cast<const unsigned char *>(block->block_data);
    ctx->memory_len = block->block_len;
    ctx->memory_pos = 0;
    ctx->default_content_type = "application/octet-stream";
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dsi_rest_write_gridftp_op(void *write_callback_arg, void *library_context)
{
    using namespace orvel::rest;
    RequestContext *ctx = context_of(library_context);
    if (ctx == nullptr) {
        return no_context_error(__func__);
    }
    auto *arg = static_cast<orvel_dsi_rest_gridftp_op_arg_t *>(write_callback_arg);
    if (arg == nullptr || arg->op == nullptr) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "data channel request body: no operation given"));
    }
    if (arg->length < 0) {
        return orvel_error_put(
            ORVEL_ERROR_GENERIC("data channel request body: invalid length %lld", static_cast<long long>(arg->length)));
    }
    ctx->body_kind = BodyKind::channel;
    ctx->channel = arg;
    ctx->channel_sent = 0;
    // A stream whose end the host already reported has nothing more to give.
    ctx->channel_eof = arg->eof;
    ctx->default_content_type = "application/octet-stream";
    return ORVEL_SUCCESS;
}

} // extern "C"
