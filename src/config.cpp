// The collection's storage policy: the per-user API rate and the age after
// which cached metadata is confirmed with the service.
#include "orvel_dropbox_common.h"

#include <cstdio>
#include <cstring>
#include <string>

orvel_result_t orvel_dropbox_config_parse_json(const char *json_config, uint32_t *rate_limit_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    json_error_t json_error;
    memset(&json_error, 0, sizeof json_error);
    json_int_t rate = 0; // 64-bit, so that a huge value is not cut to a small one
    double max_age = -1;  // seconds
    json_t *json = json_loads(json_config, 0, &json_error); // an absent text fails too
    auto message = [](const char *prefix, const char *detail) {
        std::string text = prefix;
        text += detail;
        text += "\n";
        return text;
    };
    if (json == nullptr) {
        std::string text = message("Error loading collection storage policy: ", json_error.text);
        result = ORVEL_DROPBOX_ERROR_GENERIC(text.c_str());
    } else if (json_unpack_ex(json, &json_error, 0, "{s?I s?F}", "user_api_rate_limit", &rate, "metadata_max_age",
                              &max_age) != 0) {
        std::string text = message("Error unpacking collection storage policy: ", json_error.text);
        result = orvel_dropbox_error_internal(text.c_str());
    } else {
        if (rate > 0)
            *rate_limit_out = rate > (json_int_t)UINT32_MAX ? UINT32_MAX : (uint32_t)rate;
        if (max_age >= 0)
            orvel_i_dropbox_metadata_max_age_ms = max_age * 1000 >= INT32_MAX ? INT32_MAX : (int32_t)(max_age * 1000);
    }
    // A negative rate cannot space requests: it is ignored like 0.
    json_decref(json);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
