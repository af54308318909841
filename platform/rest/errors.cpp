// The REST library's error type: the libcurl code of a failed exchange, its
// text, and whether request body bytes had already been taken from the host's
// data channel (such an exchange cannot be repeated: those bytes are gone).
#include "orvel_dsi_rest.h"
#include "rest_internal.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

struct RestErrorData {
    CURLcode code;
    char *text;
    bool body_consumed;
};

void rest_error_copy(void *src, void **dst)
{
    *dst = nullptr;
    auto *from = static_cast<RestErrorData *>(src);
    if (from == nullptr) {
        return;
    }
    auto *to = static_cast<RestErrorData *>(std::calloc(1, sizeof(RestErrorData)));
    if (to == nullptr) {
        return;
    }
    to->code = from->code;
    to->body_consumed = from->body_consumed;
    to->text = from->text ? strdup(from->text) : nullptr;
    *dst = to;
}

void rest_error_destroy(void *data)
{
    auto *error = static_cast<RestErrorData *>(data);
    if (error == nullptr) {
        return;
    }
    std::free(error->text);
    std::free(error);
}

char *rest_error_printable(orvel_object_t *error)
{
    orvel_object_t *self = orvel_object_upcast(error, &ORVEL_DSI_REST_ERROR_TYPE_DEFINITION);
    if (self == nullptr) {
        return nullptr;
    }
    auto *data = static_cast<RestErrorData *>(orvel_object_get_local_instance_data(self));
    if (data == nullptr || data->text == nullptr) {
        return strdup("Failed to perform request");
    }
    return strdup(data->text);
}

RestErrorData *rest_error_data(orvel_object_t *error)
{
    if (error == nullptr) {
        return nullptr;
    }
    orvel_object_t *self = orvel_object_upcast(error, &ORVEL_DSI_REST_ERROR_TYPE_DEFINITION);
    if (self == nullptr) {
        return nullptr;
    }
    return static_cast<RestErrorData *>(orvel_object_get_local_instance_data(self));
}

bool transient_code(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_AGAIN:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {

const orvel_object_type_t ORVEL_DSI_REST_ERROR_TYPE_DEFINITION = {
    &ORVEL_ERROR_TYPE_BASE_DEFINITION,
    rest_error_copy,
    rest_error_destroy,
    reinterpret_cast<const void *>(&rest_error_printable),
};

bool orvel_dsi_rest_error_is_retryable(orvel_result_t result)
{
    RestErrorData *data = rest_error_data(orvel_error_peek(result));
    if (data == nullptr || data->body_consumed) {
        return false;
    }
    return transient_code(data->code);
}

int orvel_dsi_rest_error_get_curl_code(orvel_object_t *error)
{
    RestErrorData *data = rest_error_data(error);
    return data ? static_cast<int>(data->code) : -1;
}

} // extern "C"

namespace orvel::rest {

orvel_result_t make_error(CURLcode code, const std::string &text, bool body_consumed)
{
    orvel_object_t *error = orvel_object_construct(&ORVEL_DSI_REST_ERROR_TYPE_DEFINITION);
    if (error == nullptr) {
        return ORVEL_FAILURE;
    }
    auto *data = static_cast<RestErrorData *>(std::calloc(1, sizeof(RestErrorData)));
    if (data == nullptr) {
        orvel_object_free(error);
        return ORVEL_FAILURE;
    }
    data->code = code;
    data->body_consumed = body_consumed;
    data->text = strdup(("Failed to perform request: " + text).c_str());
    orvel_object_set_local_instance_data(error, data);
    if (orvel_error_initialize_base(error, &orvel_i_dsi_rest_module, nullptr) == nullptr) {
        orvel_object_free(error);
        return ORVEL_FAILURE;
    }
    return orvel_error_put(error);
}

} // namespace orvel::rest
