// Reply handling: status and headers, the reply body's way to a sink (JSON,
// the host's data channel, or a caller's own), the error body of replies with
// status 400 and above, and the response record.
#include "orvel_dsi_rest.h"
#include "rest_internal.hpp"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace orvel::rest {
namespace {

std::string trim(const char *begin, const char *end)
{
    while (begin < end && (*begin == ' ' || *begin == '\t')) {
        ++begin;
    }
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) {
        --end;
    }
    return std::string(begin, end);
}

void append_capped(std::string &to, const char *buffer, size_t length, size_t cap)
{
    if (to.size() < cap) {
        to.append(buffer, std::min(length, cap - to.size()));
    }
}

// Decimal digits at *p (moved past them); false without any or on overflow.
bool parse_offset(const char *&p, orvel_off_t *value)
{
    if (*p < '0' || *p > '9') {
        return false;
    }
    orvel_off_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v > (INT64_MAX - (*p - '0')) / 10) {
            return false;
        }
        v = v * 10 + (*p - '0');
    }
    *value = v;
    return true;
}

const std::string *reply_header(const RequestContext &ctx, const char *name)
{
    for (const auto &header : ctx.headers) {
        if (header_name_equal(header.first.c_str(), name)) {
            return &header.second;
        }
    }
    return nullptr;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"): the first and last byte.
bool parse_content_range(const std::string *value, orvel_off_t *first, orvel_off_t *last)
{
    if (value == nullptr || value->compare(0, 6, "bytes ") != 0) {
        return false;
    }
    const char *p = value->c_str() + 6;
    while (*p == ' ') {
        ++p;
    }
    if (!parse_offset(p, first) || *p++ != '-' || !parse_offset(p, last) || *p != '/') {
        return false;
    }
    return *first <= *last;
}

} // namespace

orvel_off_t range_first_byte(const char *value)
{
    if (value == nullptr || strncasecmp(value, "bytes=", 6) != 0) {
        return -1;
    }
    const char *p = value + 6;
    while (*p == ' ') {
        ++p;
    }
    orvel_off_t first = -1;
    if (!parse_offset(p, &first) || *p != '-' || std::strchr(p, ',') != nullptr) {
        return -1;
    }
    return first;
}

orvel_result_t check_range_answered(RequestContext &ctx)
{
    ctx.range_checked = true;
    const std::string *content_range = reply_header(ctx, "Content-Range");
    if (!ctx.range_asked) {
        if (ctx.status != 206) {
            return ORVEL_SUCCESS;
        }
        return make_error(CURLE_RANGE_ERROR, "the reply is a part (HTTP 206) although no range was asked", false);
    }
    if (ctx.range_first < 0) {
        return ORVEL_SUCCESS; // a suffix range or several: nothing to compare with
    }
    if (ctx.status != 206) {
        return make_error(CURLE_RANGE_ERROR,
                          "the reply (HTTP " + std::to_string(ctx.status) +
                              ") ignores the requested range starting at byte " + std::to_string(ctx.range_first),
                          false);
    }
    orvel_off_t first = 0;
    orvel_off_t last = 0;
    if (!parse_content_range(content_range, &first, &last) || first != ctx.range_first) {
        return make_error(CURLE_RANGE_ERROR,
                          "the reply's Content-Range \"" + (content_range ? *content_range : std::string()) +
                              "\" does not answer the requested range starting at byte " +
                              std::to_string(ctx.range_first),
                          false);
    }
    return ORVEL_SUCCESS;
}

orvel_result_t check_body_complete(RequestContext &ctx)
{
    if (ctx.status < 200 || ctx.status >= 300) {
        return ORVEL_SUCCESS;
    }
    if (!ctx.range_checked) {
        orvel_result_t result = check_range_answered(ctx); // a reply without body bytes
        if (result != ORVEL_SUCCESS) {
            return result;
        }
    }
    orvel_off_t first = 0;
    orvel_off_t last = 0;
    if (ctx.status != 206 || !parse_content_range(reply_header(ctx, "Content-Range"), &first, &last)) {
        return ORVEL_SUCCESS;
    }
    const int64_t announced = last - first + 1;
    if (ctx.body_bytes_received < announced) {
        return make_error(CURLE_PARTIAL_FILE,
                          "the reply body ended after " + std::to_string(ctx.body_bytes_received) + " of the " +
                              std::to_string(announced) + " bytes its Content-Range announces",
                          ctx.body_consumed);
    }
    if (ctx.body_bytes_received > announced) {
        return make_error(CURLE_RANGE_ERROR,
                          "the reply body holds " + std::to_string(ctx.body_bytes_received) + " bytes, more than the " +
                              std::to_string(announced) + " its Content-Range announces",
                          false);
    }
    return ORVEL_SUCCESS;
}

size_t receive_header(char *buffer, size_t size, size_t nitems, void *userdata)
{
    auto *ctx = static_cast<RequestContext *>(userdata);
    const size_t length = size * nitems;
    const char *end = buffer + length;
    if (length >= 5 && std::memcmp(buffer, "HTTP/", 5) == 0) {
        // A new response (an interim 1xx one may come before the final one).
        ctx->headers.clear();
        ctx->headers_complete = false;
        const char *space = static_cast<const char *>(std::memchr(buffer, ' ', length));
        if (space != nullptr) {
            ctx->status = std::strtol(space + 1, nullptr, 10);
        }
        return length;
    }
    if (length <= 2 && (length == 0 || buffer[0] == '\r' || buffer[0] == '\n')) {
        ctx->headers_complete = true;
        return length;
    }
    if ((buffer[0] == ' ' || buffer[0] == '\t') && !ctx->headers.empty()) {
        // Folded continuation of the previous header's value.
        std::string more = trim(buffer, end);
        std::string &value = ctx->headers.back().second;
        if (!more.empty()) {
            value += value.empty() ? more : " " + more;
        }
        return length;
    }
    const char *colon = static_cast<const char *>(std::memchr(buffer, ':', length));
    if (colon != nullptr) {
        ctx->headers.emplace_back(trim(buffer, colon), trim(colon + 1, end));
    }
    return length;
}

size_t write_body(char *buffer, size_t size, size_t nitems, void *userdata)
{
    auto *ctx = static_cast<RequestContext *>(userdata);
    const size_t length = size * nitems;
    long code = 0;
    if (curl_easy_getinfo(ctx->curl, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code != 0) {
        ctx->status = code;
    }
    ctx->body_bytes_received += static_cast<int64_t>(length);
    const orvel_dsi_rest_callbacks_t *callbacks = ctx->callbacks;
    if (ctx->status >= 300) {
        // An error reply (or a redirect's page) never reaches a caller's sink
        // or the data channel.
        append_capped(ctx->error_body, buffer, length, kErrorBodyCap);
        if (callbacks->data_read_callback == orvel_dsi_rest_read_json) {
            if (ctx->json_reply.size() + length > kJsonReplyCap) {
                ctx->json_overflow = true;
            } else if (!ctx->json_overflow) {
                ctx->json_reply.append(buffer, length);
            }
        }
        return length;
    }
    if (!ctx->range_checked) {
        // Checked before the first byte is delivered: the bytes of another
        // range must not land at this range's offsets.
        orvel_result_t result = check_range_answered(*ctx);
        if (result != ORVEL_SUCCESS) {
            ctx->fail(result);
            return CURL_WRITEFUNC_ERROR;
        }
    }
    if (callbacks->data_read_callback == nullptr || length == 0) {
        return length;
    }
    if (callbacks->data_read_callback == orvel_dsi_rest_read_gridftp_op) {
        auto *arg = static_cast<orvel_dsi_rest_gridftp_op_arg_t *>(callbacks->data_read_callback_arg);
        if (!ctx->channel_sink && arg != nullptr && arg->op != nullptr) {
            ctx->channel_sink = std::make_unique<ChannelSink>(arg);
        }
        if (ctx->channel_sink) {
            orvel_result_t result = ctx->channel_sink->take(buffer, length);
            if (result != ORVEL_SUCCESS) {
                ctx->fail(result);
                return CURL_WRITEFUNC_ERROR;
            }
            return length;
        }
    }
    orvel_result_t result = callbacks->data_read_callback(callbacks->data_read_callback_arg, buffer, length);
    if (result != ORVEL_SUCCESS) {
        ctx->fail(result);
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

} // namespace orvel::rest

extern "C" {

orvel_result_t orvel_dsi_rest_read_json(void *read_callback_arg, const void *buffer, size_t buffer_length)
{
    using namespace orvel::rest;
    (void)read_callback_arg; // filled when the exchange has ended
    RequestContext *ctx = current_context();
    if (ctx == nullptr) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s: called outside of a request", __func__));
    }
    if (ctx->json_reply.size() + buffer_length > kJsonReplyCap) {
        ctx->json_overflow = true;
        return orvel_error_put(ORVEL_ERROR_GENERIC("JSON reply larger than %zu bytes", kJsonReplyCap));
    }
    ctx->json_reply.append(static_cast<const char *>(buffer), buffer_length);
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dsi_rest_read_gridftp_op(void *read_callback_arg, const void *buffer, size_t buffer_length)
{
    using namespace orvel::rest;
    auto *arg = static_cast<orvel_dsi_rest_gridftp_op_arg_t *>(read_callback_arg);
    if (arg == nullptr || arg->op == nullptr) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "data channel reply sink: no operation given"));
    }
    if (buffer_length == 0) {
        return ORVEL_SUCCESS;
    }
    orvel_result_t result = channel_write(arg->op, buffer, buffer_length, arg->offset + arg->transferred);
    if (result != ORVEL_SUCCESS) {
        return result;
    }
    if (arg->tap) {
        arg->tap(arg->tap_arg, buffer, buffer_length);
    }
    arg->transferred += static_cast<orvel_off_t>(buffer_length);
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dsi_rest_response(void *response_callback_arg, int response_code,
                                       const orvel_dsi_rest_key_array_t *response_headers)
{
    using namespace orvel::rest;
    auto *response = static_cast<orvel_dsi_rest_response_arg_t *>(response_callback_arg);
    if (response == nullptr) {
        return ORVEL_SUCCESS;
    }
    response->response_code = response_code;
    bool out_of_memory = false;
    for (size_t i = 0; i < response->desired_headers.count; ++i) {
        orvel_dsi_rest_key_value_t &desired = response->desired_headers.key_value[i];
        std::free(desired.value);
        desired.value = nullptr;
        if (desired.key == nullptr || response_headers == nullptr) {
            continue;
        }
        for (size_t j = 0; j < response_headers->count; ++j) {
            const orvel_dsi_rest_key_value_t &got = response_headers->key_value[j];
            if (got.key != nullptr && header_name_equal(got.key, desired.key)) {
                desired.value = strdup(got.value ? got.value : "");
                out_of_memory = out_of_memory || desired.value == nullptr;
                break;
            }
        }
    }
    std::free(response->error_body);
    response->error_body = nullptr;
    response->error_body_len = 0;
    RequestContext *ctx = current_context();
    if (ctx != nullptr) {
        curl_off_t uploaded = 0;
        curl_off_t downloaded = 0;
        curl_easy_getinfo(ctx->curl, CURLINFO_SIZE_UPLOAD_T, &uploaded);
        curl_easy_getinfo(ctx->curl, CURLINFO_SIZE_DOWNLOAD_T, &downloaded);
        response->request_bytes_uploaded = uploaded;
        response->response_bytes_downloaded = downloaded;
        if (response_code >= 300 && ctx->callbacks->data_read_callback != orvel_dsi_rest_read_json) {
            auto *copy = static_cast<char *>(std::malloc(ctx->error_body.size() + 1));
            if (copy != nullptr) {
                std::memcpy(copy, ctx->error_body.data(), ctx->error_body.size());
                copy[ctx->error_body.size()] = '\0';
                response->error_body = copy;
                response->error_body_len = ctx->error_body.size();
            } else {
                out_of_memory = true;
            }
        }
    }
    if (out_of_memory) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "out of memory storing the reply headers"));
    }
    return ORVEL_SUCCESS;
}

void orvel_dsi_rest_response_arg_clear(orvel_dsi_rest_response_arg_t *response)
{
    if (response == nullptr) {
        return;
    }
    for (size_t i = 0; i < response->desired_headers.count; ++i) {
        std::free(response->desired_headers.key_value[i].value);
        response->desired_headers.key_value[i].value = nullptr;
    }
    std::free(response->error_body);
    response->error_body = nullptr;
    response->error_body_len = 0;
}

} // extern "C"
