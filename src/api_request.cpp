// The request procedure every call of the service follows: the common
// headers, a bounded series of attempts paced through the shared retry
// state, and translation of error replies. The endpoints are data; one
// function runs them all.
#include "orvel_dropbox_transfer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <time.h>

/* ------------------------------------------------------------- endpoints */

// Every endpoint the plug-in calls (orvel_dropbox_common.h says what each
// field means).
// The table keeps one endpoint to a block of lines, by hand.
// clang-format off
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_list_folder = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/list_folder",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_list_folder_continue = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/list_folder/continue",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_create_folder = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/create_folder_v2",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_move = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/move_v2",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_delete = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/delete_v2",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_download = {
    .method = "GET", .host = ORVEL_DROPBOX_HOST_CONTENT, .path = "/2/files/download",
    .args_in_header = true, .octet_stream = false, .wants_api_result = true,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_CONTENT, .path = "/2/files/upload",
    .args_in_header = true, .octet_stream = true, .wants_api_result = false,
    .attempts = 3, .paced = false, .idle_factor = 2};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload_session_start = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_CONTENT, .path = "/2/files/upload_session/start",
    .args_in_header = true, .octet_stream = true, .wants_api_result = false,
    .attempts = 3, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload_session_append = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_CONTENT, .path = "/2/files/upload_session/append_v2",
    .args_in_header = true, .octet_stream = true, .wants_api_result = false,
    .attempts = 3, .paced = false, .idle_factor = 2};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload_session_finish = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_CONTENT, .path = "/2/files/upload_session/finish",
    .args_in_header = true, .octet_stream = true, .wants_api_result = false,
    .attempts = 3, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_get_metadata = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/get_metadata",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_list_revisions = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/list_revisions",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_restore = {
    .method = "POST", .host = ORVEL_DROPBOX_HOST_API, .path = "/2/files/restore",
    .args_in_header = false, .octet_stream = false, .wants_api_result = false,
    .attempts = 2, .paced = true, .idle_factor = 1};
// clang-format on

char *orvel_dropbox_args_text(json_t *args)
{
    char *text = args != nullptr ? json_dumps(args, JSON_ENSURE_ASCII) : nullptr;
    if (text == nullptr)
        return nullptr;
    // The JSON library leaves DEL (0x7F) as it is; a header takes it escaped
    // like every other control character. It can only stand inside a string.
    size_t dels = 0;
    for (const char *p = text; *p != '\0'; p++)
        dels += *p == 0x7f;
    if (dels == 0)
        return text;
    size_t length = strlen(text);
    char *escaped = static_cast<char *>(orvel_dropbox_malloc(length + dels * 5 + 1));
    if (escaped != nullptr) {
        char *out = escaped;
        for (const char *p = text; *p != '\0'; p++) {
            if (*p == 0x7f) {
                memcpy(out, "\\u007F", 6);
                out += 6;
            } else {
                *out++ = *p;
            }
        }
        *out = '\0';
    }
    orvel_dropbox_free(text);
    return escaped;
}

namespace {

// Guards what the pieces of one parallel transfer share in the session
// handle: the credential, the path cache and the change counter.
std::mutex orvel_l_dropbox_shared_mutex;

void orvel_l_dropbox_sleep_seconds(uint64_t seconds)
{
    struct timespec wait = {(time_t)seconds, 0};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// The bytes of an error reply that did not go to a JSON sink, parsed.
json_t *orvel_l_dropbox_error_body_json(const orvel_dsi_rest_response_arg_t *response)
{
    if (response->error_body == nullptr || response->error_body_len == 0) {
        return nullptr;
    }
    return json_loadb(response->error_body, response->error_body_len, 0, nullptr);
}

// The usual rule for a reply below 400: 200 (or 206 to a call with a range),
// with a JSON body when the call has no sink of its own.
orvel_result_t orvel_l_dropbox_expect_success(const orvel_dropbox_api_call_t *call,
                                              const orvel_dsi_rest_response_arg_t *record, const json_t *json)
{
    const char *name = call->endpoint->path + 3; // without "/2/"
    const int status = record->response_code;
    if (status != 200 && !(status == 206 && call->range != nullptr)) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("The service answered %s with HTTP status %d where %s was expected",
                                                   name, status, call->range != nullptr ? "206" : "200"));
    }
    if (call->reply_sink == nullptr && json == nullptr) {
        if (record->response_bytes_downloaded == 0) {
            return orvel_error_put(ORVEL_ERROR_GENERIC(
                "The service's reply to %s (HTTP %d) has an empty body where JSON was expected", name, status));
        }
        return orvel_error_put(ORVEL_ERROR_GENERIC("The service's reply to %s (HTTP %d) is not valid JSON (%" PRId64
                                                   " bytes)",
                                                   name, status, record->response_bytes_downloaded));
    }
    return ORVEL_SUCCESS;
}

// A text that can stand in a request header: no line break or other control
// character that would end the header early and start another one.
bool orvel_l_dropbox_header_safe(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; p++) {
        if (*p < 0x20 || *p == 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

void orvel_dropbox_shared_lock(void)
{
    orvel_l_dropbox_shared_mutex.lock();
}

void orvel_dropbox_shared_unlock(void)
{
    orvel_l_dropbox_shared_mutex.unlock();
}

orvel_result_t orvel_dropbox_api_call(orvel_dropbox_handle_t *handle, orvel_dropbox_api_call_t *call,
                                      json_t **reply_json, orvel_dsi_rest_response_arg_t *response)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    const orvel_dropbox_endpoint_t *endpoint = call->endpoint;
    orvel_dsi_rest_response_arg_t local_response = {};
    orvel_dsi_rest_response_arg_t *record = response != nullptr ? response : &local_response;
    const bool json_sink = call->reply_sink == nullptr;
    json_t *json = nullptr;
    char *args_text = nullptr;
    uint64_t retry_after = 0;
    bool retryable = false;
    std::string authorization;
    std::string path_root;
    std::string uri;
    orvel_dsi_rest_write_block_arg_t empty_block = {nullptr, 0};
    orvel_dsi_rest_key_value_t headers[4];
    orvel_dsi_rest_key_array_t header_list = {0, headers};
    orvel_dsi_rest_callbacks_t callbacks = {};

    if (reply_json != nullptr) {
        *reply_json = nullptr;
    }
    {
        // The pieces of a parallel transfer renew the token between them.
        std::lock_guard<std::mutex> lock(orvel_l_dropbox_shared_mutex);
        if (handle->access_token == nullptr || handle->root_namespace_id == nullptr) {
            result = orvel_dropbox_error_no_access_token();
        } else if (!orvel_l_dropbox_header_safe(handle->access_token) ||
                   !orvel_l_dropbox_header_safe(handle->root_namespace_id)) {
            result = orvel_dropbox_error_internal(
                "the credential holds control characters that cannot be sent in a request header");
        } else {
            authorization = std::string("Bearer ") + handle->access_token;
            path_root = std::string("{\".tag\": \"root\", \"root\": \"") + handle->root_namespace_id + "\"}";
        }
    }
    if (result != ORVEL_SUCCESS) {
        ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
        return result;
    }
    uri = std::string(endpoint->host == ORVEL_DROPBOX_HOST_CONTENT ? orvel_i_dropbox_content_host
                                                                   : orvel_i_dropbox_api_host) +
          endpoint->path;

    // Desired reply headers: "Retry-After" first, always.
    call->desired_storage[0] = {const_cast<char *>("Retry-After"), nullptr};
    call->desired_storage[1] = {const_cast<char *>("Dropbox-API-Result"), nullptr};
    call->desired_storage[2] = {const_cast<char *>("Content-Range"), nullptr};
    record->desired_headers.count = endpoint->wants_api_result ? 3 : 1;
    record->desired_headers.key_value = call->desired_storage;
    record->error_body = nullptr;
    record->error_body_len = 0;

    // Body source and reply sink.
    callbacks.response_callback = orvel_dsi_rest_response;
    callbacks.response_callback_arg = record;
    if (call->body_source != nullptr) {
        callbacks.data_write_callback = call->body_source;
        callbacks.data_write_callback_arg = call->body_source_arg;
    } else if (!endpoint->args_in_header && call->args != nullptr) {
        callbacks.data_write_callback = orvel_dsi_rest_write_json;
        callbacks.data_write_callback_arg = call->args;
    } else if (std::string(endpoint->method) != "GET") {
        callbacks.data_write_callback = orvel_dsi_rest_write_block;
        callbacks.data_write_callback_arg = &empty_block;
    }
    if (json_sink) {
        callbacks.data_read_callback = orvel_dsi_rest_read_json;
        callbacks.data_read_callback_arg = &json;
    } else {
        callbacks.data_read_callback = call->reply_sink;
        callbacks.data_read_callback_arg = call->reply_sink_arg;
    }
    callbacks.progress_callback = orvel_dsi_rest_progress_idle_timeout;
    callbacks.progress_callback_arg =
        (void *)(intptr_t)((intptr_t)endpoint->idle_factor * orvel_i_dropbox_progress_timeout_ms);

    for (int attempt = 1;; attempt++) {
        if (attempt > 1) {
            if (call->before_retry != nullptr) {
                result = call->before_retry(call, call->before_retry_arg);
                if (result != ORVEL_SUCCESS) {
                    break;
                }
            }
            orvel_dsi_rest_response_arg_clear(record);
            record->desired_headers.key_value = call->desired_storage;
        }
        json_decref(json);
        json = nullptr;
        record->response_code = 0;
        record->response_bytes_downloaded = 0;

        // The arguments as they stand now (a repeated attempt may name the
        // file otherwise).
        orvel_dropbox_free(args_text);
        args_text = nullptr;
        if (endpoint->args_in_header && call->args != nullptr) {
            args_text = orvel_dropbox_args_text(call->args);
            if (args_text == nullptr) {
                result = orvel_dropbox_error_system_malloc();
                break;
            }
        }

        // The header list: common headers first, then the endpoint's own
        // (the range may have changed before a repeated attempt).
        header_list.count = 0;
        headers[header_list.count++] = {const_cast<char *>("Authorization"), authorization.data()};
        headers[header_list.count++] = {const_cast<char *>("Dropbox-API-Path-Root"), path_root.data()};
        if (endpoint->octet_stream) {
            headers[header_list.count++] = {const_cast<char *>("Content-Type"),
                                            const_cast<char *>("application/octet-stream")};
        }
        if (args_text != nullptr) {
            headers[header_list.count++] = {const_cast<char *>("Dropbox-API-Arg"), args_text};
        }
        if (call->range != nullptr && header_list.count < 4) {
            headers[header_list.count++] = {const_cast<char *>("Range"), const_cast<char *>(call->range)};
        }

        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "API CALL!\n");
        if (endpoint->paced) {
            orvel_i_dropbox_retry_delay(retry_after, &handle->retry_state);
        } else if (retry_after != 0) {
            // Calls that skip the pacing still honour the service's wait.
            uint64_t limit = orvel_i_dropbox_max_delay > 0 ? (uint64_t)orvel_i_dropbox_max_delay : 0;
            orvel_l_dropbox_sleep_seconds(retry_after < limit ? retry_after : limit);
        }

        result = orvel_dsi_rest_request(endpoint->method, uri.c_str(), nullptr, &header_list, &callbacks);
        retryable = false;
        if (result != ORVEL_SUCCESS) {
            retryable = orvel_dsi_rest_error_is_retryable(result);
        } else if (record->response_code < 400) {
            if (call->judge == nullptr) {
                result = orvel_l_dropbox_expect_success(call, record, json);
            }
        } else {
            // Error replies of calls without a JSON sink are kept by the
            // library as text; judged as JSON when they parse.
            json_t *error_json = json;
            json_t *parsed = nullptr;
            if (error_json == nullptr) {
                parsed = orvel_l_dropbox_error_body_json(record);
                error_json = parsed;
            }
            result = orvel_dropbox_translate_response(record, error_json, &retryable, &retry_after);
            json_decref(parsed);
        }
        if (call->judge != nullptr) {
            result = call->judge(call, result, record, &retryable, call->judge_arg);
        }
        if (result == ORVEL_SUCCESS) {
            break;
        }

        // Bytes taken from the client's data channel cannot be sent again.
        if (retryable && call->body_source == orvel_dsi_rest_write_gridftp_op && call->body_source_arg != nullptr &&
            static_cast<orvel_dsi_rest_gridftp_op_arg_t *>(call->body_source_arg)->transferred > 0) {
            retryable = false;
        }
        if (!retryable || attempt >= endpoint->attempts) {
            break;
        }
        orvel_error_discard(result);
        result = ORVEL_SUCCESS;
    }

    {
        std::lock_guard<std::mutex> lock(orvel_l_dropbox_shared_mutex);
        orvel_dropbox_call_finished(handle, call, &result);
    }
    if (reply_json != nullptr && json_sink) {
        *reply_json = json;
    } else {
        json_decref(json);
    }
    if (record == &local_response) {
        orvel_dsi_rest_response_arg_clear(&local_response);
    }
    orvel_dropbox_free(args_text);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
