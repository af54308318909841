// The service's error replies: a status code, a Retry-After header value and
// a JSON body translated into the error the FTP client sees, with the retry
// decision. Input: two bytes of status (an error's, 400-1023), then the
// header value up to the first NUL byte, then the body.
#include "fuzz_support.hpp"
#include "orvel_dropbox_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int activated = orvel_module_activate(&orvel_i_common_module);
    (void)activated;
    if (size < 2)
        return 0;
    const int status = 400 + (data[0] << 8 | data[1]) % 624;
    std::vector<std::string> pieces = orvel::fuzz::split(data + 2, size - 2, 2);
    std::string retry_after = pieces[0];
    json_t *body =
        pieces.size() > 1 ? json_loadb(pieces[1].data(), pieces[1].size(), JSON_DECODE_ANY, nullptr) : nullptr;

    orvel_dsi_rest_key_value_t header = {const_cast<char *>("Retry-After"),
                                         retry_after.empty() ? nullptr : retry_after.data()};
    orvel_dsi_rest_response_arg_t response{};
    response.response_code = status;
    response.desired_headers = {1, &header};
    bool retryable = false;
    uint64_t wait = 0;
    orvel_result_t result = orvel_dropbox_translate_response(&response, body, &retryable, &wait);
    if (result == ORVEL_SUCCESS)
        __builtin_trap(); // an error reply never translates into a success
    orvel_object_t *error = orvel_error_get(result);
    char *reply = orvel_gfs_error_to_ftp_reply(error);
    std::free(reply);
    orvel_object_free(error);
    json_decref(body);
    return 0;
}
