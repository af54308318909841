// The collection's storage policy: the per-user API rate, the age after
// which cached metadata is confirmed with the service, and how large
// transfers are split into pieces moved over several connections at once.
#include "orvel_dropbox_transfer.h"

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
    double max_age = -1; // seconds
    json_int_t streams = 0;
    double single_below_mib = -1;
    json_int_t piece_mib = 0;
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
    } else if (json_unpack_ex(json, &json_error, 0, "{s?I s?F s?I s?F s?I}", "user_api_rate_limit", &rate,
                              "metadata_max_age", &max_age, "transfer_streams", &streams, "single_stream_below_mib",
                              &single_below_mib, "piece_size_mib", &piece_mib) != 0) {
        std::string text = message("Error unpacking collection storage policy: ", json_error.text);
        result = orvel_dropbox_error_internal(text.c_str());
    } else if (streams < 0 || streams > ORVEL_DROPBOX_MAX_STREAMS ||
               (piece_mib != 0 && (piece_mib < 0 || piece_mib % 4 != 0 || 100 % piece_mib != 0))) {
        // An upload piece must be a whole number of the service's 4 MiB
        // blocks and divide the 100 MiB part, so that every part boundary
        // stays a piece boundary.
        std::string text = message("Error unpacking collection storage policy: ",
                                   "transfer_streams must be 1 to " ORVEL_DROPBOX_MAX_STREAMS_TEXT
                                   " and piece_size_mib one of 4, 20 and 100");
        result = orvel_dropbox_error_internal(text.c_str());
    } else {
        if (streams > 0)
            orvel_i_dropbox_transfer_streams = static_cast<int32_t>(streams);
        if (single_below_mib >= 0)
            orvel_i_dropbox_single_stream_below = single_below_mib * 1048576.0 >= 1e18
                                                      ? UINT64_C(1000000000000000000)
                                                      : static_cast<uint64_t>(single_below_mib * 1048576.0);
        if (piece_mib > 0)
            orvel_i_dropbox_piece_size = static_cast<uint64_t>(piece_mib) * 1048576u;
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
