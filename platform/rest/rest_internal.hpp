// Internal state shared by the REST library's source files: the per-exchange
// context that libcurl's callbacks and the library's own body sources, reply
// sinks and progress check work on.
#pragma once

#include "orvel_dsi_rest.h"

#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace orvel::rest {

// Largest piece asked of the host's data channel at once.
constexpr size_t kChannelChunk = 2 * 1024 * 1024;
// Largest error reply body kept in the response record.
constexpr size_t kErrorBodyCap = 64 * 1024;
// Largest JSON reply accepted by the JSON sink.
constexpr size_t kJsonReplyCap = 64 * 1024 * 1024;

// Reply bytes bound for the data channel are gathered into blocks of this
// size, so that the host sees large writes instead of one per TLS record.
constexpr size_t kSinkBlock = 1024 * 1024;

// Waits for the host's answer to one data-channel registration.
struct ChannelWait {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    orvel_result_t result = ORVEL_SUCCESS;
    size_t nbytes = 0;
    bool eof = false;

    void finish(orvel_result_t r, size_t n, bool at_end);
    void wait();
};

// Double-buffered writer of reply bytes into the data channel: one block is
// written by the host while the next one fills from the network.
class ChannelSink {
public:
    explicit ChannelSink(orvel_dsi_rest_gridftp_op_arg_t *arg) : arg_(arg) {}
    ~ChannelSink();
    ChannelSink(const ChannelSink &) = delete;
    ChannelSink &operator=(const ChannelSink &) = delete;
    // Takes reply bytes; a failure result stops the exchange.
    orvel_result_t take(const char *data, size_t length);
    // Writes what is gathered and waits for every write; after a failure only waits.
    orvel_result_t finish();

private:
    orvel_result_t submit();
    orvel_result_t wait_pending();
    orvel_dsi_rest_gridftp_op_arg_t *arg_;
    std::unique_ptr<unsigned char[]> buffers_[2];
    size_t fill_ = 0;
    int current_ = 0;
    std::unique_ptr<ChannelWait> pending_;
    size_t pending_length_ = 0;
    int pending_index_ = 0;
    bool failed_ = false;
};

enum class BodyKind {
    none,    // no request body
    memory,  // bytes held in memory (JSON text or a caller's block)
    channel, // streamed from the host's data channel
};

// One exchange, from the opening of the body to the end of the reply.
struct RequestContext {
    CURL *curl = nullptr;
    const orvel_dsi_rest_callbacks_t *callbacks = nullptr;

    // Request body.
    BodyKind body_kind = BodyKind::none;
    std::string json_text; // owns the JSON body text
    const unsigned char *memory = nullptr;
    size_t memory_len = 0;
    size_t memory_pos = 0;
    const char *default_content_type = nullptr; // used unless the caller set one
    orvel_dsi_rest_gridftp_op_arg_t *channel = nullptr;
    orvel_off_t channel_sent = 0; // bytes taken from the channel in this exchange
    bool channel_eof = false;     // the host reported the end during this exchange
    bool body_consumed = false;   // some request byte came from the data channel
    bool holding = false;         // confirm_end: the body's last byte waits for the end of the data
    char held = 0;                // that byte

    // Reply.
    bool range_asked = false;     // the request has a "Range" header
    orvel_off_t range_first = -1; // the first byte it asks for, -1 = not of the form "bytes=FIRST-..."
    bool range_checked = false;   // the 2xx reply was found to answer that Range
    long status = 0;              // final status, known before the first body byte
    std::vector<std::pair<std::string, std::string>> headers; // of the latest response
    bool headers_complete = false;
    std::string error_body; // status >= 400: first kErrorBodyCap bytes
    std::string json_reply; // JSON sink's accumulated body
    bool json_overflow = false;
    int64_t body_bytes_received = 0;
    std::unique_ptr<ChannelSink> channel_sink; // when the reply goes to the data channel

    // Progress and idle detection.
    curl_off_t ul_now = 0;
    curl_off_t dl_now = 0;
    curl_off_t last_ul = -1;
    curl_off_t last_dl = -1;
    std::chrono::steady_clock::time_point last_change;

    // First failure raised by one of the callbacks; it is the exchange's result.
    orvel_result_t callback_result = ORVEL_SUCCESS;

    void fail(orvel_result_t result)
    {
        if (result == ORVEL_SUCCESS) {
            return;
        }
        if (callback_result == ORVEL_SUCCESS) {
            callback_result = result;
        } else {
            orvel_error_discard(result);
        }
    }
};

// The context of the exchange running on this thread, or null.
RequestContext *current_context();
void set_current_context(RequestContext *context);

// Builds a REST error (CURLcode, text, whether body bytes had been taken from
// the data channel) and hands it to the runtime.
orvel_result_t make_error(CURLcode code, const std::string &text, bool body_consumed);

// Case-insensitive comparison of header names.
bool header_name_equal(const char *a, const char *b);

// The first byte a "Range" value ("bytes=FIRST-..." of one range) asks for, or -1.
orvel_off_t range_first_byte(const char *value);
// Whether a 2xx reply answers the Range asked (206 starting at its first
// byte), or the absence of one (no 206): a REST error (CURLE_RANGE_ERROR) if not.
orvel_result_t check_range_answered(RequestContext &ctx);
// After an exchange that libcurl completed: a 206 body must be as long as
// its Content-Range says (CURLE_PARTIAL_FILE when shorter).
orvel_result_t check_body_complete(RequestContext &ctx);

// The reply sink / body source entry points libcurl calls.
size_t read_body(char *buffer, size_t size, size_t nitems, void *userdata);
int seek_body(void *userdata, curl_off_t offset, int origin);
size_t write_body(char *buffer, size_t size, size_t nitems, void *userdata);
size_t receive_header(char *buffer, size_t size, size_t nitems, void *userdata);
int transfer_progress(void *clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

// Blocking waits on the host's data channel (its callbacks may run on any thread).
orvel_result_t channel_read(orvel_gfs_operation_t op, void *buffer, size_t length, size_t *nread, bool *eof);
orvel_result_t channel_write(orvel_gfs_operation_t op, const void *buffer, size_t length, orvel_off_t offset);
// Registers a write without waiting; on success `wait` is signalled once.
orvel_result_t channel_write_start(orvel_gfs_operation_t op, const void *buffer, size_t length, orvel_off_t offset,
                                   ChannelWait *wait);

// Easy handles kept for connection reuse.
CURL *acquire_handle();
void release_handle(CURL *curl);
void drop_all_handles();

} // namespace orvel::rest
