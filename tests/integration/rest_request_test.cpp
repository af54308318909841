// The REST library against the emulator: JSON and block bodies, the JSON
// sink, callers' sinks, reply headers and error reply bodies.
#include "orvel_dsi_rest.h"
#include "rest_suite.hpp"
#include "rest_test_helpers.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

using namespace orvel::test;

namespace {

class RestRequest : public RestSuite {};

struct JsonRef {
    json_t *value = nullptr;
    ~JsonRef() { json_decref(value); }
};

// A caller's sink that gathers the bytes, or fails when told to.
struct Gather {
    std::string bytes;
    int calls = 0;
    bool fail = false;
    static orvel_result_t sink(void *arg, const void *buffer, size_t length)
    {
        auto *self = static_cast<Gather *>(arg);
        ++self->calls;
        if (self->fail) {
            return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "sink refused the bytes"));
        }
        self->bytes.append(static_cast<const char *>(buffer), length);
        return ORVEL_SUCCESS;
    }
};

TEST_F(RestRequest, JsonBodyAndJsonReplyWithDesiredHeaders)
{
    emulator->put_file("/Ünï/a.txt", "abc");
    emulator->put_file("/Ünï/b.txt", "defg");
    KeyList headers{};
    add_auth(headers);
    json_t *arg = json_pack("{s:s}", "path", "/Ünï");
    JsonRef reply;
    Response response{"content-type", "X-Not-There"};
    Callbacks callbacks;
    callbacks.record(response).send_json(arg).read_json(&reply.value).idle(30000);

    orvel_result_t result = rest_call("POST", std::string(kApiBase) + "/2/files/list_folder", headers, callbacks);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200);
    ASSERT_NE(response.value(0), nullptr);
    EXPECT_STREQ(response.value(0), "application/json");
    EXPECT_EQ(response.value(1), nullptr);
    EXPECT_EQ(response.record.error_body, nullptr);
    ASSERT_TRUE(json_is_object(reply.value));
    EXPECT_EQ(json_array_size(json_object_get(reply.value, "entries")), 2u);
    EXPECT_GT(response.record.response_bytes_downloaded, 0);

    // The body is the ASCII-only text with ", " and ": " separators.
    const std::string sent = "{\"path\": \"/\\u00dcn\\u00ef\"}";
    EXPECT_EQ(response.record.request_bytes_uploaded, static_cast<int64_t>(sent.size()));
    auto entries = emulator->log_entries("/2/files/list_folder");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(json_integer_value(json_object_get(entries[0], "body_size")), static_cast<json_int_t>(sent.size()));
    json_t *logged_headers = json_object_get(entries[0], "headers");
    EXPECT_STREQ(json_string_value(json_object_get(logged_headers, "Content-Type")), "application/json");
    EXPECT_STREQ(json_string_value(json_object_get(entries[0], "host")), "api.dropboxapi.com");
    for (json_t *e : entries) {
        json_decref(e);
    }
    json_decref(arg);
}

TEST_F(RestRequest, ErrorReplyParsedByJsonSinkAndKeptFromCallerSink)
{
    KeyList headers{};
    add_auth(headers);
    json_t *arg = json_pack("{s:s}", "path", "/missing");
    {
        JsonRef reply;
        Response response{"Retry-After"};
        Callbacks callbacks;
        callbacks.record(response).send_json(arg).read_json(&reply.value);
        orvel_result_t result = rest_call("POST", std::string(kApiBase) + "/2/files/list_folder", headers, callbacks);
        ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
        EXPECT_EQ(response.record.response_code, 409);
        const char *summary = json_string_value(json_object_get(reply.value, "error_summary"));
        ASSERT_NE(summary, nullptr);
        EXPECT_NE(std::strstr(summary, "not_found"), nullptr);
    }
    {
        // A caller's sink never sees an error reply; the record keeps it.
        KeyList download_headers{{"Dropbox-API-Arg", "{\"path\": \"/missing\"}"}};
        add_auth(download_headers);
        Gather gather;
        Response response{"Dropbox-API-Result"};
        Callbacks callbacks;
        callbacks.record(response).read_with(Gather::sink, &gather);
        orvel_result_t result =
            rest_call("GET", std::string(kContentBase) + "/2/files/download", download_headers, callbacks);
        ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
        EXPECT_EQ(response.record.response_code, 409);
        EXPECT_EQ(gather.calls, 0);
        ASSERT_NE(response.record.error_body, nullptr);
        EXPECT_EQ(std::strlen(response.record.error_body), response.record.error_body_len);
        EXPECT_NE(std::strstr(response.record.error_body, "not_found"), nullptr);
        EXPECT_EQ(response.value(0), nullptr);
    }
    json_decref(arg);
}

TEST_F(RestRequest, LargeErrorBodyIsCapped)
{
    std::string big(200 * 1024, 'x');
    emulator->add_fault("{\"path\": \"/2/files/download\", \"status\": 500, \"body\": \"" + big + "\"}");
    KeyList headers{{"Dropbox-API-Arg", "{\"path\": \"/whatever\"}"}};
    add_auth(headers);
    Response response;
    Callbacks callbacks;
    callbacks.record(response);
    orvel_result_t result = rest_call("GET", std::string(kContentBase) + "/2/files/download", headers, callbacks);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 500);
    EXPECT_EQ(response.record.error_body_len, 64u * 1024u);
    EXPECT_EQ(response.record.error_body[response.record.error_body_len], '\0');
    EXPECT_EQ(response.record.response_bytes_downloaded, static_cast<int64_t>(big.size()));
}

TEST_F(RestRequest, HeaderValuesOfAnEarlierReplyAreReplaced)
{
    Response response{"Retry-After"};
    KeyList headers{};
    add_auth(headers);
    json_t *arg = json_pack("{s:s}", "path", "");
    Callbacks callbacks;
    callbacks.record(response).send_json(arg);
    emulator->add_fault(
        "{\"path\": \"/2/files/list_folder\", \"status\": 429, \"headers\": {\"retry-after\": \"  7 \"}}");
    const std::string uri = std::string(kApiBase) + "/2/files/list_folder";
    ASSERT_EQ(rest_call("POST", uri, headers, callbacks), ORVEL_SUCCESS);
    EXPECT_EQ(response.record.response_code, 429);
    ASSERT_NE(response.value(0), nullptr);
    EXPECT_STREQ(response.value(0), "7");
    EXPECT_NE(response.record.error_body, nullptr);

    ASSERT_EQ(rest_call("POST", uri, headers, callbacks), ORVEL_SUCCESS);
    EXPECT_EQ(response.record.response_code, 200);
    EXPECT_EQ(response.value(0), nullptr);
    EXPECT_EQ(response.record.error_body, nullptr);
    json_decref(arg);
}

TEST_F(RestRequest, BlockBodiesEmptyAndFilled)
{
    const std::string uri_start = std::string(kContentBase) + "/2/files/upload_session/start";
    KeyList headers{{"Content-Type", "application/octet-stream"}, {"Dropbox-API-Arg", "{\"close\": false}"}};
    add_auth(headers);
    orvel_dsi_rest_write_block_arg_t empty{nullptr, 0};
    JsonRef reply;
    Response response;
    Callbacks callbacks;
    callbacks.record(response).send_block(&empty).read_json(&reply.value);
    orvel_result_t result = rest_call("POST", uri_start, headers, callbacks);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200);
    EXPECT_NE(json_string_value(json_object_get(reply.value, "session_id")), nullptr);
    EXPECT_EQ(response.record.request_bytes_uploaded, 0);

    const std::string content = std::string("block\0body", 10);
    orvel_dsi_rest_write_block_arg_t block{content.data(), content.size()};
    KeyList upload_headers{{"Dropbox-API-Arg", "{\"path\": \"/block.bin\", \"mode\": \"overwrite\"}"}};
    add_auth(upload_headers);
    callbacks.send_block(&block);
    result = rest_call("POST", std::string(kContentBase) + "/2/files/upload", upload_headers, callbacks);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200) << (response.record.error_body ? response.record.error_body : "");
    EXPECT_EQ(emulator->read_file("/block.bin"), content);
    // The library's default content type for raw bytes.
    auto entries = emulator->log_entries("/2/files/upload");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_STREQ(json_string_value(json_object_get(json_object_get(entries[0], "headers"), "Content-Type")),
                 "application/octet-stream");
    json_decref(entries[0]);
}

TEST_F(RestRequest, CallerSinkGetsTheBodyAndItsFailureIsTheResult)
{
    std::string content(3 * 1024 * 1024 + 5, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 31 + 7);
    }
    emulator->put_file("/sink.bin", content);
    KeyList headers{{"Dropbox-API-Arg", "{\"path\": \"/sink.bin\"}"}};
    add_auth(headers);
    const std::string uri = std::string(kContentBase) + "/2/files/download";
    Gather gather;
    Response response{"Dropbox-API-Result"};
    Callbacks callbacks;
    callbacks.record(response).read_with(Gather::sink, &gather);
    orvel_result_t result = rest_call("GET", uri, headers, callbacks);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200);
    EXPECT_TRUE(gather.bytes == content);
    ASSERT_NE(response.value(0), nullptr);
    EXPECT_NE(std::strstr(response.value(0), "\"sink.bin\""), nullptr);

    Gather failing;
    failing.fail = true;
    callbacks.read_with(Gather::sink, &failing);
    result = rest_call("GET", uri, headers, callbacks);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(failing.calls, 1);
    EXPECT_NE(error_text(result).find("sink refused the bytes"), std::string::npos);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
}

TEST_F(RestRequest, UnparsableOrEmptyJsonReplyLeavesNull)
{
    emulator->add_fault("{\"path\": \"/2/files/list_folder\", \"action\": \"malformed_json\"}");
    KeyList headers{};
    add_auth(headers);
    json_t *arg = json_pack("{s:s}", "path", "");
    JsonRef reply;
    reply.value = json_string("stale");
    Callbacks callbacks;
    callbacks.send_json(arg).read_json(&reply.value);
    const std::string uri = std::string(kApiBase) + "/2/files/list_folder";
    ASSERT_EQ(rest_call("POST", uri, headers, callbacks), ORVEL_SUCCESS);
    EXPECT_EQ(reply.value, nullptr);

    emulator->add_fault("{\"path\": \"/2/files/list_folder\", \"status\": 503}");
    ASSERT_EQ(rest_call("POST", uri, headers, callbacks), ORVEL_SUCCESS);
    EXPECT_EQ(reply.value, nullptr);
    json_decref(arg);
}

TEST_F(RestRequest, BadArgumentsAreErrorsNotCrashes)
{
    orvel_result_t result = orvel_dsi_rest_request(nullptr, "https://api.dropboxapi.com/", nullptr, nullptr, nullptr);
    EXPECT_NE(result, ORVEL_SUCCESS);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);

    Callbacks callbacks;
    callbacks.send_json(nullptr);
    result = orvel_dsi_rest_request("POST", (std::string(kApiBase) + "/2/files/list_folder").c_str(), nullptr, nullptr,
                                    callbacks.get());
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    EXPECT_EQ(emulator->count_requests("/2/files/list_folder"), 0u);

    // Line breaks in a header would let the caller's text become further
    // headers: such a request is refused before anything is sent.
    for (auto [key, value] : {std::pair<std::string, std::string>{"X-Test", "a\r\nX-Injected: 1"},
                              {"X-Test", "a\nb"},
                              {"X-Test\r\nX-Injected", "1"},
                              {"X-Test: 1\r\nX", "1"}}) {
        KeyList headers{{key, value}};
        add_auth(headers);
        Callbacks plain;
        result = rest_call("POST", std::string(kApiBase) + "/2/files/list_folder", headers, plain);
        EXPECT_NE(result, ORVEL_SUCCESS) << key;
        EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
        EXPECT_NE(error_text(result).find("line break"), std::string::npos) << error_text(result);
        orvel_error_discard(result);
    }
    result = orvel_dsi_rest_request("GET\r\nX", (std::string(kApiBase) + "/2/files/list_folder").c_str(), nullptr,
                                    nullptr, nullptr);
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    EXPECT_EQ(emulator->count_requests("/2/files/list_folder"), 0u);

    result = orvel_dsi_rest_read_json(nullptr, "{}", 2);
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    orvel_dsi_rest_response_arg_clear(nullptr);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(ORVEL_SUCCESS));
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(ORVEL_FAILURE));
}

} // namespace
