// One synchronous HTTP exchange on libcurl: options, request headers, the
// body source, and how the exchange's outcome becomes a result.
#include "orvel_dsi_rest.h"
#include "rest_internal.hpp"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace orvel::rest {
namespace {

constexpr long kDownloadBufferSize = 512 * 1024;
constexpr long kUploadBufferSize = 2 * 1024 * 1024;
constexpr long kChannelBodyMaxConnectionAge = 20; // seconds

thread_local RequestContext *tls_context = nullptr;

struct SlistDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

bool append(Slist &list, const std::string &line)
{
    curl_slist *grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) {
        return false;
    }
    list.release();
    list.reset(grown);
    return true;
}

// The verbose trace (ORVEL_DSI_REST_VERBOSE): libcurl's informational text
// and the headers, never the bodies. The Authorization header carries the
// account's access token: its value is not written.
int verbose_trace(CURL *, curl_infotype type, char *data, size_t size, void *)
{
    const char *prefix = type == CURLINFO_TEXT         ? "* "
                         : type == CURLINFO_HEADER_IN  ? "< "
                         : type == CURLINFO_HEADER_OUT ? "> "
                                                       : nullptr;
    if (prefix == nullptr) {
        return 0;
    }
    std::string text(data, size);
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (strncasecmp(line.c_str(), "authorization:", 14) == 0) {
            line = line.substr(0, 14) + " [not shown]";
        }
        out += prefix + line + "\n";
    }
    std::fwrite(out.data(), 1, out.size(), stderr);
    return 0;
}

const char *env_value(const char *name)
{
    const char *value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

bool has_header(const orvel_dsi_rest_key_array_t *headers, const char *name)
{
    if (headers == nullptr) {
        return false;
    }
    for (size_t i = 0; i < headers->count; ++i) {
        if (headers->key_value[i].key != nullptr && header_name_equal(headers->key_value[i].key, name)) {
            return true;
        }
    }
    return false;
}

// A line break in a header name or value would end the header early and let
// the rest of the text pass as further headers or as the start of the body.
bool has_line_break(const char *text)
{
    return text != nullptr && std::strpbrk(text, "\r\n") != nullptr;
}

// The first header whose name or value cannot be sent as given, or null.
const char *unsafe_header(const orvel_dsi_rest_key_array_t *headers)
{
    if (headers == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < headers->count; ++i) {
        const orvel_dsi_rest_key_value_t &kv = headers->key_value[i];
        if (kv.key == nullptr) {
            continue;
        }
        if (has_line_break(kv.key) || has_line_break(kv.value) || std::strchr(kv.key, ':') != nullptr) {
            return kv.key;
        }
    }
    return nullptr;
}

bool known_body_source(orvel_dsi_rest_data_write_t source)
{
    return source == orvel_dsi_rest_write_json || source == orvel_dsi_rest_write_block ||
           source == orvel_dsi_rest_write_gridftp_op;
}

std::string build_url(CURL *curl, const char *uri, const orvel_dsi_rest_key_array_t *query)
{
    std::string url(uri);
    if (query == nullptr || query->count == 0) {
        return url;
    }
    char separator = url.find('?') == std::string::npos ? '?' : '&';
    for (size_t i = 0; i < query->count; ++i) {
        const orvel_dsi_rest_key_value_t &kv = query->key_value[i];
        if (kv.key == nullptr) {
            continue;
        }
        char *key = curl_easy_escape(curl, kv.key, 0);
        char *value = kv.value ? curl_easy_escape(curl, kv.value, 0) : nullptr;
        url += separator;
        url += key ? key : "";
        if (value != nullptr) {
            url += '=';
            url += value;
        }
        curl_free(key);
        curl_free(value);
        separator = '&';
    }
    return url;
}

// Request headers: the caller's, then the defaults the caller did not set.
bool build_headers(Slist &list, const orvel_dsi_rest_key_array_t *headers, const RequestContext &ctx)
{
    if (headers != nullptr) {
        for (size_t i = 0; i < headers->count; ++i) {
            const orvel_dsi_rest_key_value_t &kv = headers->key_value[i];
            if (kv.key == nullptr || kv.key[0] == '\0') {
                continue;
            }
            // "Name;" is libcurl's way of sending a header with an empty value.
            std::string line = (kv.value == nullptr || kv.value[0] == '\0') ? std::string(kv.key) + ";"
                                                                            : std::string(kv.key) + ": " + kv.value;
            if (!append(list, line)) {
                return false;
            }
        }
    }
    if (ctx.default_content_type != nullptr && !has_header(headers, "Content-Type")) {
        if (!append(list, std::string("Content-Type: ") + ctx.default_content_type)) {
            return false;
        }
    }
    // No "Expect: 100-continue" round trip before large bodies.
    if (!has_header(headers, "Expect") && !append(list, "Expect:")) {
        return false;
    }
    if (ctx.body_kind == BodyKind::channel && ctx.channel->length == 0 && !has_header(headers, "Transfer-Encoding") &&
        !append(list, "Transfer-Encoding: chunked")) {
        return false;
    }
    return true;
}

// Connect-to mappings from a comma-separated list; blanks around an item are
// dropped, and so are empty items.
bool build_connect_to(Slist &list, const char *text)
{
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t comma = all.find(',', start);
        std::string item = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        // Line breaks count as blanks too: a mapping kept with its line break
        // (a value read from a file) would otherwise match no host at all.
        size_t b = item.find_first_not_of(" \t\r\n\f\v");
        size_t e = item.find_last_not_of(" \t\r\n\f\v");
        if (b != std::string::npos && !append(list, item.substr(b, e - b + 1))) {
            return false;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return true;
}

void set_body_options(CURL *curl, const char *method, RequestContext &ctx)
{
    const bool is_get = std::strcmp(method, "GET") == 0;
    const bool is_post = std::strcmp(method, "POST") == 0;
    if (ctx.body_kind == BodyKind::none) {
        if (is_get) {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        } else if (std::strcmp(method, "HEAD") == 0) {
            curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        } else if (is_post) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
        } else {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
        }
        return;
    }
    if (ctx.body_kind == BodyKind::memory) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ctx.memory_len));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, ctx.memory_len ? reinterpret_cast<const char *>(ctx.memory) : "");
    } else {
        // Bytes taken from the channel cannot be sent twice, so a body from
        // the channel does not go over a connection that has been idle long
        // enough for the server to have dropped it.
        curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kChannelBodyMaxConnectionAge);
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(curl, CURLOPT_READDATA, &ctx);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seek_body);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &ctx);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         ctx.channel->length > 0 ? static_cast<curl_off_t>(ctx.channel->length)
                                                 : static_cast<curl_off_t>(-1));
    }
    if (!is_post) {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    }
}

// Parses the JSON sink's accumulated reply into the caller's reference.
void deliver_json(RequestContext &ctx)
{
    auto **slot = static_cast<json_t **>(ctx.callbacks->data_read_callback_arg);
    if (slot == nullptr) {
        return;
    }
    json_decref(*slot);
    *slot = nullptr;
    if (ctx.json_overflow || ctx.json_reply.empty()) {
        return;
    }
    json_error_t error;
    *slot = json_loadb(ctx.json_reply.data(), ctx.json_reply.size(), 0, &error);
}

// Calls the response callback with the final reply's status and headers.
orvel_result_t report_response(RequestContext &ctx)
{
    const orvel_dsi_rest_callbacks_t *callbacks = ctx.callbacks;
    if (callbacks->response_callback == nullptr || ctx.status == 0) {
        return ORVEL_SUCCESS;
    }
    std::vector<orvel_dsi_rest_key_value_t> pairs;
    pairs.reserve(ctx.headers.size());
    for (auto &header : ctx.headers) {
        pairs.push_back({header.first.data(), header.second.data()});
    }
    orvel_dsi_rest_key_array_t array{pairs.size(), pairs.empty() ? nullptr : pairs.data()};
    return callbacks->response_callback(callbacks->response_callback_arg, static_cast<int>(ctx.status), &array);
}

struct ContextScope {
    RequestContext *previous;
    explicit ContextScope(RequestContext *ctx) : previous(tls_context) { tls_context = ctx; }
    ~ContextScope() { tls_context = previous; }
};

orvel_result_t perform(const char *method, const char *uri, const orvel_dsi_rest_key_array_t *query_parameters,
                       const orvel_dsi_rest_key_array_t *headers, RequestContext &ctx)
{
    const orvel_dsi_rest_callbacks_t *callbacks = ctx.callbacks;
    ContextScope scope(&ctx);

    if (has_line_break(method) || has_line_break(uri)) {
        return make_error(CURLE_BAD_FUNCTION_ARGUMENT, "line break in the request method or address", false);
    }
    if (const char *bad = unsafe_header(headers)) {
        std::string name(bad, std::strcspn(bad, "\r\n"));
        return make_error(CURLE_BAD_FUNCTION_ARGUMENT, "header \"" + name + "\" has a line break or a colon", false);
    }

    if (callbacks->data_write_callback != nullptr) {
        if (!known_body_source(callbacks->data_write_callback)) {
            return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "unsupported request body source"));
        }
        orvel_result_t opened = callbacks->data_write_callback(callbacks->data_write_callback_arg, &ctx);
        if (opened != ORVEL_SUCCESS) {
            return opened;
        }
    }

    if (headers != nullptr) {
        for (size_t i = 0; i < headers->count; ++i) {
            const orvel_dsi_rest_key_value_t &kv = headers->key_value[i];
            if (kv.key != nullptr && header_name_equal(kv.key, "Range")) {
                ctx.range_asked = true;
                ctx.range_first = range_first_byte(kv.value);
            }
        }
    }

    CURL *curl = ctx.curl;
    char error_buffer[CURL_ERROR_SIZE];
    error_buffer[0] = '\0';
    Slist header_list;
    Slist connect_to;
    if (!build_headers(header_list, headers, ctx)) {
        return make_error(CURLE_OUT_OF_MEMORY, "out of memory building the request headers", false);
    }
    const std::string url = build_url(curl, uri, query_parameters);

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kDownloadBufferSize);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, header_list.get());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, receive_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &ctx);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transfer_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &ctx);
    if (const char *cainfo = env_value("ORVEL_DSI_REST_CAINFO")) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, cainfo);
    }
    if (const char *mappings = env_value("ORVEL_DSI_REST_CONNECT_TO")) {
        if (!build_connect_to(connect_to, mappings)) {
            return make_error(CURLE_OUT_OF_MEMORY, "out of memory building the connect-to list", false);
        }
        curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect_to.get());
    }
    if (env_value("ORVEL_DSI_REST_VERBOSE") != nullptr) {
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, verbose_trace);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    }
    set_body_options(curl, method, ctx);

    ctx.last_change = std::chrono::steady_clock::now();
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status != 0) {
        ctx.status = status;
    }

    if (ctx.channel_sink) {
        // Bytes received before a failure still reach the channel: a repeated
        // download continues after them.
        ctx.fail(ctx.channel_sink->finish());
        ctx.channel_sink.reset();
    }

    orvel_result_t result = ORVEL_SUCCESS;
    if (ctx.callback_result != ORVEL_SUCCESS) {
        // A callback's own failure (a sink, the data channel, the idle limit).
        result = ctx.callback_result;
        ctx.callback_result = ORVEL_SUCCESS;
    } else if (code != CURLE_OK) {
        result = make_error(code, error_buffer[0] ? error_buffer : curl_easy_strerror(code), ctx.body_consumed);
    } else {
        result = check_body_complete(ctx);
    }

    if (result == ORVEL_SUCCESS && callbacks->data_read_callback == orvel_dsi_rest_read_json) {
        deliver_json(ctx);
    }
    orvel_result_t reported = report_response(ctx);
    if (result == ORVEL_SUCCESS) {
        result = reported;
    } else {
        orvel_error_discard(reported);
    }
    // The options point into this frame; drop them before the handle is reused.
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, nullptr);
    return result;
}

} // namespace

RequestContext *current_context()
{
    return tls_context;
}
void set_current_context(RequestContext *context)
{
    tls_context = context;
}

bool header_name_equal(const char *a, const char *b)
{
    return strcasecmp(a, b) == 0;
}

} // namespace orvel::rest

extern "C" orvel_result_t orvel_dsi_rest_request(const char *method, const char *uri,
                                                 const orvel_dsi_rest_key_array_t *query_parameters,
                                                 const orvel_dsi_rest_key_array_t *headers,
                                                 const orvel_dsi_rest_callbacks_t *callbacks)
{
    using namespace orvel::rest;
    static const orvel_dsi_rest_callbacks_t no_callbacks{};
    if (method == nullptr || method[0] == '\0' || uri == nullptr || uri[0] == '\0') {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "REST request without method or address"));
    }
    if (callbacks == nullptr) {
        callbacks = &no_callbacks;
    }
    RequestContext ctx;
    ctx.callbacks = callbacks;
    ctx.curl = acquire_handle();
    if (ctx.curl == nullptr) {
        return make_error(CURLE_FAILED_INIT, "cannot create a transfer handle", false);
    }
    orvel_result_t result = perform(method, uri, query_parameters, headers, ctx);
    release_handle(ctx.curl);
    if (callbacks->complete_callback != nullptr) {
        // Calls are synchronous; a completion callback only hears the outcome.
        callbacks->complete_callback(callbacks->complete_callback_arg, result);
    }
    return result;
}
