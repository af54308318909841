// Folder listings as the service could page them: a session lists the root,
// then the first name it found, through the plug-in's whole request procedure
// (pacing, attempts, translation of error replies, pages and cursors, the
// path cache, stat records). This program stands in for the REST library's
// exchange: its orvel_dsi_rest_request, found before the library's, answers
// each request with the next reply of the input.
//
// Input: replies separated by NUL bytes. The first byte of a reply chooses
// its kind by its value modulo 4 ('0', '1': status 200; '2': status 409; '3':
// a failed exchange), the rest is its body. When the replies run out,
// exchanges fail.
#include "fuzz_support.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <algorithm>
#include <cstring>

namespace {

std::vector<std::string> g_replies; // the input's replies not given yet, last first

// A credential that stays valid, and a rate that never waits.
const char kCredential[] = "{\"access_token\": \"token\", \"token_expiry\": \"2999-01-01T00:00:00.000000+00:00\", "
                           "\"sub\": \"dbid:fuzz\", \"root_info\": {\"root_namespace_id\": \"1\", "
                           "\"home_namespace_id\": \"1\"}}";
const char kPolicy[] = "{\"user_api_rate_limit\": 4294967295}";

bool prepare()
{
    orvel_i_dropbox_syscalls.getpwuid_r = orvel::fuzz::no_account;
    orvel::host::Host::activate_module(&orvel_gridftp_server_dropbox_module);
    return true;
}

} // namespace

// The REST library's exchange, as its header describes it for the reply
// record and the JSON sink; request bodies are not read.
extern "C" orvel_result_t orvel_dsi_rest_request(const char *, const char *, const orvel_dsi_rest_key_array_t *,
                                                 const orvel_dsi_rest_key_array_t *,
                                                 const orvel_dsi_rest_callbacks_t *callbacks)
{
    if (g_replies.empty())
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "fuzz: no reply left"));
    std::string reply = std::move(g_replies.back());
    g_replies.pop_back();
    int kind = reply.empty() ? 0 : static_cast<unsigned char>(reply[0]) % 4;
    std::string body = reply.empty() ? "" : reply.substr(1);
    if (kind == 3)
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "fuzz: exchange failed"));

    orvel_dsi_rest_key_array_t headers = {0, nullptr};
    if (callbacks->response_callback != nullptr) {
        orvel_result_t result =
            callbacks->response_callback(callbacks->response_callback_arg, kind == 2 ? 409 : 200, &headers);
        if (result != ORVEL_SUCCESS)
            return result;
    }
    if (callbacks->response_callback == orvel_dsi_rest_response && callbacks->response_callback_arg != nullptr)
        static_cast<orvel_dsi_rest_response_arg_t *>(callbacks->response_callback_arg)->response_bytes_downloaded =
            static_cast<int64_t>(body.size());
    if (callbacks->data_read_callback == orvel_dsi_rest_read_json && callbacks->data_read_callback_arg != nullptr)
        *static_cast<json_t **>(callbacks->data_read_callback_arg) = json_loadb(body.data(), body.size(), 0, nullptr);
    return ORVEL_SUCCESS;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = prepare();
    (void)ready;
    g_replies = orvel::fuzz::split(data, size, 64);
    std::reverse(g_replies.begin(), g_replies.end());

    orvel::host::Outcome started;
    auto session = orvel::host::Host::start_session(
        "dropbox", "fuzz", orvel::host::fixed_config({{"creds", kCredential}, {"config", kPolicy}}), &started);
    if (session == nullptr)
        __builtin_trap(); // the fixed documents always start a session
    orvel::host::Outcome root = session->stat("/", false);
    if (root.finish_calls != 1)
        __builtin_trap();
    std::vector<orvel::host::StatEntry> entries = root.all_stats();
    for (const auto &entry : entries) {
        if (entry.name != ".") {
            orvel::host::Outcome child = session->stat("/" + entry.name, false);
            if (child.finish_calls != 1)
                __builtin_trap();
            break;
        }
    }
    g_replies.clear();
    return 0;
}
