/*
 * orvel_dsi_rest: a synchronous REST client for storage plug-ins, on libcurl.
 *
 * One call, orvel_dsi_rest_request, performs one HTTP exchange. The request
 * body comes from a body source and the reply body goes to a reply sink; the
 * library supplies sources and sinks for JSON, memory blocks and the host's
 * data channel, and accepts reply sinks of the caller's own.
 *
 * Environment (read at every request, so tests may point it elsewhere):
 *   ORVEL_DSI_REST_CAINFO      CA bundle file to verify servers with.
 *   ORVEL_DSI_REST_CONNECT_TO  connect-to mappings "HOST:PORT:CONNECT-HOST:CONNECT-PORT",
 *                              several separated by commas (libcurl's CURLOPT_CONNECT_TO),
 *                              so that the real host names reach a local emulator.
 *   ORVEL_DSI_REST_VERBOSE     non-empty: libcurl's verbose output on standard error.
 */
#ifndef ORVEL_DSI_REST_H
#define ORVEL_DSI_REST_H

#include "orvel_runtime.h"
#include "orvel_gridftp_server.h"

#include <jansson.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern orvel_module_descriptor_t orvel_i_dsi_rest_module;

typedef struct orvel_dsi_rest_key_value_s {
    char *key;   /* header name or detail key */
    char *value; /* value text, or null */
} orvel_dsi_rest_key_value_t;

typedef struct orvel_dsi_rest_key_array_s {
    size_t count;                          /* number of pairs */
    orvel_dsi_rest_key_value_t *key_value; /* array of count pairs */
} orvel_dsi_rest_key_array_t;

/* Reply record filled by the response callback orvel_dsi_rest_response. */
typedef struct orvel_dsi_rest_response_arg_s {
    int response_code;                          /* the reply's status code */
    orvel_dsi_rest_key_array_t desired_headers; /* names set by the caller; values
                                                   filled (newly allocated) or left null */
    int64_t request_bytes_uploaded;             /* request body bytes sent */
    int64_t response_bytes_downloaded;          /* reply body bytes received */
    char *error_body;                           /* for status >= 300 with a reply sink that is not JSON:
                              the reply body (at most 64 KiB, NUL-terminated), else null */
    size_t error_body_len;                      /* its length */
} orvel_dsi_rest_response_arg_t;

/* Releases the header values and the error body of a reply record and resets
 * them to null; the header names stay the caller's. */
void orvel_dsi_rest_response_arg_clear(orvel_dsi_rest_response_arg_t *response);

/* A memory block as request body. */
typedef struct orvel_dsi_rest_write_block_arg_s {
    const void *block_data; /* bytes (may be null when block_len is 0) */
    size_t block_len;       /* number of bytes; 0 sends an empty body */
} orvel_dsi_rest_write_block_arg_t;

/* The host's data channel as request body or reply sink. */
typedef struct orvel_dsi_rest_gridftp_op_arg_s {
    orvel_gfs_operation_t op; /* the host operation whose channel is used */
    orvel_off_t offset;       /* body source: file offset of the first byte (informational);
                                 reply sink: offset at which the first reply byte is written */
    orvel_off_t length;       /* body source: bytes to send; 0 = read the channel to its end
                                 (chunked encoding). Reply sink: bytes expected, -1 = unknown */
    bool eof;                 /* set when the host reported the end of the data */
    orvel_off_t transferred;  /* bytes taken from / written to the channel so far, over all
                                 attempts with this record (the caller zeroes it) */
    void (*tap)(void *tap_arg, const void *buffer, size_t length); /* optional: sees every
                                 byte moved through the channel, in order (e.g. a digest) */
    void *tap_arg;
    bool confirm_end; /* body source of a known length: the last byte is sent only once
                                 the host has reported the end of the data, so that the server
                                 never gets a complete body from a stream that goes on */
    bool excess;      /* set when confirm_end found data beyond length: the exchange failed */
} orvel_dsi_rest_gridftp_op_arg_t;

/* Callback types. Body sources and the progress check are the library's own
 * constants below; reply sinks may also be the caller's. */
typedef orvel_result_t (*orvel_dsi_rest_response_t)(void *response_callback_arg, int response_code,
                                                    const orvel_dsi_rest_key_array_t *response_headers);
typedef void (*orvel_dsi_rest_complete_t)(void *complete_callback_arg, orvel_result_t result);
/* Body source: the library calls it to open the body of each attempt. */
typedef orvel_result_t (*orvel_dsi_rest_data_write_t)(void *write_callback_arg, void *library_context);
/* Reply sink: called for each block of reply body bytes of a successful reply
 * (status 2xx that answers the request's Range, see orvel_dsi_rest_request);
 * returns success when it has taken the bytes. */
typedef orvel_result_t (*orvel_dsi_rest_data_read_t)(void *read_callback_arg, const void *buffer, size_t buffer_length);
/* Progress check: the library calls it; non-success aborts the exchange. */
typedef orvel_result_t (*orvel_dsi_rest_progress_t)(void *progress_callback_arg, void *library_context);

typedef struct orvel_dsi_rest_callbacks_s {
    orvel_dsi_rest_response_t response_callback;
    void *response_callback_arg;
    orvel_dsi_rest_complete_t complete_callback; /* must be null: calls are synchronous */
    void *complete_callback_arg;
    orvel_dsi_rest_data_write_t data_write_callback; /* body source, or null for no body */
    void *data_write_callback_arg;
    orvel_dsi_rest_data_read_t data_read_callback; /* reply sink, or null to discard */
    void *data_read_callback_arg;
    orvel_dsi_rest_progress_t progress_callback; /* or null */
    void *progress_callback_arg;
} orvel_dsi_rest_callbacks_t;

/* Library-supplied callbacks (use the function values as given). */
/* response_callback_arg: orvel_dsi_rest_response_arg_t *. */
orvel_result_t orvel_dsi_rest_response(void *response_callback_arg, int response_code,
                                       const orvel_dsi_rest_key_array_t *response_headers);
/* data_write_callback_arg: json_t * (a JSON object, not consumed): body = its
 * text (JSON_ENSURE_ASCII only: ", " and ": " separators), "Content-Type: application/json". */
orvel_result_t orvel_dsi_rest_write_json(void *write_callback_arg, void *library_context);
/* data_write_callback_arg: orvel_dsi_rest_write_block_arg_t *. */
orvel_result_t orvel_dsi_rest_write_block(void *write_callback_arg, void *library_context);
/* data_write_callback_arg: orvel_dsi_rest_gridftp_op_arg_t *: streams the body
 * from the operation's data channel, at most `length` bytes (or to the end when
 * length is 0); sets eof when the host reported the end of the data. With
 * confirm_end the last byte waits for that end; data beyond `length` sets
 * excess and fails the exchange before the body is complete. */
orvel_result_t orvel_dsi_rest_write_gridftp_op(void *write_callback_arg, void *library_context);
/* data_read_callback_arg: json_t ** : the body is parsed into *arg (left null
 * when the body is empty or not JSON); the caller releases it. Also used for
 * error replies (status >= 300). */
orvel_result_t orvel_dsi_rest_read_json(void *read_callback_arg, const void *buffer, size_t buffer_length);
/* data_read_callback_arg: orvel_dsi_rest_gridftp_op_arg_t *: writes each body
 * block into the data channel at offset + transferred, then advances
 * `transferred`. */
orvel_result_t orvel_dsi_rest_read_gridftp_op(void *read_callback_arg, const void *buffer, size_t buffer_length);
/* progress_callback_arg: the idle limit in milliseconds, carried in the
 * pointer value ((void *)(intptr_t)ms): the exchange fails when no byte moves
 * in either direction for that long. */
orvel_result_t orvel_dsi_rest_progress_idle_timeout(void *progress_callback_arg, void *library_context);

/*
 * Performs one exchange: `method` ("GET", "POST", ...) on `uri` (a full
 * https:// address), `query_parameters` (always null here), request headers
 * `headers` (may be null). Returns success when a reply arrived, whatever its
 * status; an error result when the exchange failed (connection, TLS, timeout,
 * idle limit, a callback's failure). Reply bodies of status >= 300 never reach
 * a caller's sink or the data channel. A 2xx reply must answer the request's
 * "Range" header: 206 with a Content-Range that starts at FIRST for
 * "bytes=FIRST-...", and no 206 without a Range; otherwise its body is not delivered and the
 * exchange fails (CURLE_RANGE_ERROR, not retryable). A 206 body shorter than
 * its Content-Range fails the exchange as a partial reply (CURLE_PARTIAL_FILE,
 * retryable), like a body shorter than its Content-Length.
 */
orvel_result_t orvel_dsi_rest_request(const char *method, const char *uri,
                                      const orvel_dsi_rest_key_array_t *query_parameters,
                                      const orvel_dsi_rest_key_array_t *headers,
                                      const orvel_dsi_rest_callbacks_t *callbacks);

/* True when a failed exchange may be repeated: the failure was a connection,
 * DNS, TLS-handshake, reset, timeout or idle-limit failure, and no request
 * body byte had been taken from the host's data channel (a repeat could not
 * send those bytes again). Reply bytes that already reached a sink do not
 * matter here: the data-channel sink writes at offset + transferred, and a
 * caller repeating a download asks for the rest of its range only; a caller's
 * own sink must restart its state itself. */
bool orvel_dsi_rest_error_is_retryable(orvel_result_t result);

/* The libcurl code (CURLcode) carried by a REST error, or -1 when `error` is
 * not one. An exchange stopped by the idle limit carries
 * CURLE_OPERATION_TIMEDOUT. */
int orvel_dsi_rest_error_get_curl_code(orvel_object_t *error);

/* The REST library's error type; its printable text names the libcurl error. */
extern const orvel_object_type_t ORVEL_DSI_REST_ERROR_TYPE_DEFINITION;

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_DSI_REST_H */
