// Failed exchanges: the idle limit, refused and cut connections, TLS trust,
// and which failures may be repeated.
#include "emulator_fixture.hpp"
#include "orvel_dsi_rest.h"
#include "orvel_host.hpp"
#include "rest_suite.hpp"
#include "rest_test_helpers.hpp"
#include "transfer_runner.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

using namespace orvel::test;
using orvel::host::GeneratorChannel;
using orvel::host::MemoryChannel;

namespace {

class RestFailure : public RestSuite {};

int curl_code(orvel_result_t result)
{
    return orvel_dsi_rest_error_get_curl_code(orvel_error_peek(result));
}

// A JSON call to list the root, with an idle limit.
orvel_result_t list_root(const std::string &base, int idle_ms, Response &response)
{
    KeyList headers{};
    add_auth(headers);
    json_t *arg = json_pack("{s:s}", "path", "");
    json_t *reply = nullptr;
    Callbacks callbacks;
    callbacks.record(response).send_json(arg).read_json(&reply).idle(idle_ms);
    orvel_result_t result = rest_call("POST", base + "/2/files/list_folder", headers, callbacks);
    json_decref(reply);
    json_decref(arg);
    return result;
}

// An upload of `channel` (known length) through the data channel.
orvel_result_t upload_from_channel(std::shared_ptr<orvel::host::DataChannel> channel, orvel_off_t length, int idle_ms,
                                   orvel_dsi_rest_gridftp_op_arg_t *arg)
{
    return run_transfer(channel, TransferDirection::upload, [&](orvel_gfs_operation_t op) {
        *arg = {};
        arg->op = op;
        arg->length = length;
        json_t *reply = nullptr;
        Callbacks callbacks;
        callbacks.read_json(&reply).idle(idle_ms);
        orvel_result_t result = upload_from_op("/up.bin", arg, callbacks);
        json_decref(reply);
        return result;
    });
}

TEST_F(RestFailure, IdleLimitStopsAStalledReplyAsRetryableTimeout)
{
    emulator->add_fault("{\"path\": \"/2/files/list_folder\", \"action\": \"stall\", \"stall_ms\": 4000}");
    Response response;
    const auto start = std::chrono::steady_clock::now();
    orvel_result_t result = list_root(kApiBase, 300, response);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(curl_code(result), CURLE_OPERATION_TIMEDOUT) << error_text(result);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_NE(error_text(result).find("Failed to perform request: no data moved"), std::string::npos)
        << error_text(result);
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    orvel_error_discard(result);

    // The next exchange goes through (a fresh connection).
    result = list_root(kApiBase, 300, response);
    EXPECT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200);
}

TEST_F(RestFailure, IdleLimitAfterBodyBytesLeftTheChannelIsNotRetryable)
{
    emulator->add_fault("{\"path\": \"/2/files/upload\", \"action\": \"stall\", \"side\": \"response\", "
                        "\"stall_ms\": 4000}");
    orvel_dsi_rest_gridftp_op_arg_t arg{};
    orvel_result_t result = upload_from_channel(std::make_shared<GeneratorChannel>(100000, 3), 100000, 300, &arg);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(curl_code(result), CURLE_OPERATION_TIMEDOUT) << error_text(result);
    EXPECT_EQ(arg.transferred, 100000);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
}

TEST_F(RestFailure, RefusedConnectionIsRetryable)
{
    // A port that was just free: nothing listens there.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    close(fd);

    Response response;
    orvel_result_t result = list_root("https://127.0.0.1:" + std::to_string(port), 5000, response);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(curl_code(result), CURLE_COULDNT_CONNECT) << error_text(result);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_EQ(error_text(result).rfind("Failed to perform request: ", 0), 0u) << error_text(result);
    EXPECT_EQ(response.record.response_code, 0);
    orvel_error_discard(result);
}

TEST_F(RestFailure, CutConnectionIsRetryableUnlessChannelBytesWereSent)
{
    // Cut before any reply byte.
    emulator->add_fault("{\"path\": \"/2/files/list_folder\", \"action\": \"cut\"}");
    Response response;
    orvel_result_t result = list_root(kApiBase, 5000, response);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result)) << error_text(result);
    orvel_error_discard(result);

    // Cut in the middle of a download body: the bytes before the cut reached
    // the channel, and the exchange may still be repeated for the rest.
    std::string content(2 * 1024 * 1024, 'd');
    emulator->put_file("/cut.bin", content);
    emulator->add_fault("{\"path\": \"/2/files/download\", \"action\": \"cut\", \"after_bytes\": 100000}");
    auto channel = std::make_shared<MemoryChannel>();
    orvel_dsi_rest_gridftp_op_arg_t down{};
    result = run_transfer(channel, TransferDirection::download, [&](orvel_gfs_operation_t op) {
        down.op = op;
        down.length = -1;
        return download_into_op("/cut.bin", &down);
    });
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(curl_code(result), CURLE_PARTIAL_FILE) << error_text(result);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_EQ(down.transferred, 100000);
    EXPECT_EQ(channel->written().size(), 100000u);
    orvel_error_discard(result);

    // Cut while the request body streams from the channel: not repeatable.
    emulator->add_fault("{\"path\": \"/2/files/upload\", \"action\": \"cut\", \"side\": \"request\", "
                        "\"after_bytes\": 65536}");
    orvel_dsi_rest_gridftp_op_arg_t up{};
    result = upload_from_channel(std::make_shared<GeneratorChannel>(8 * 1024 * 1024, 5), 8 * 1024 * 1024, 5000, &up);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_GT(up.transferred, 0);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result)) << error_text(result);
    orvel_error_discard(result);

    // The same cut with a body held in memory can be repeated.
    emulator->add_fault("{\"path\": \"/2/files/upload\", \"action\": \"cut\", \"side\": \"request\", "
                        "\"after_bytes\": 65536}");
    std::string block(1024 * 1024, 'm');
    orvel_dsi_rest_write_block_arg_t block_arg{block.data(), block.size()};
    KeyList headers{{"Dropbox-API-Arg", "{\"path\": \"/mem.bin\", \"mode\": \"overwrite\"}"}};
    add_auth(headers);
    Callbacks callbacks;
    callbacks.send_block(&block_arg);
    result = rest_call("POST", std::string(kContentBase) + "/2/files/upload", headers, callbacks);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result)) << error_text(result);
    orvel_error_discard(result);
}

TEST_F(RestFailure, ServerOutsideTheConfiguredTrustIsRefusedForGood)
{
    // Another CA than the emulator's: the certificate does not verify.
    const std::string other = make_temp_dir("orvel-other-ca");
    const std::string command =
        "/bin/sh '" + std::string(ORVEL_SOURCE_DIR) + "/emulator/make-test-ca.sh' '" + other + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    setenv("ORVEL_DSI_REST_CAINFO", (other + "/ca.pem").c_str(), 1);
    Response response;
    orvel_result_t result = list_root(kApiBase, 5000, response);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(curl_code(result), CURLE_PEER_FAILED_VERIFICATION) << error_text(result);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
    remove_tree(other);

    // The emulator's own CA, but an address its certificate does not name.
    emulator->use_for_rest();
    setenv("ORVEL_DSI_REST_CONNECT_TO", ("unnamed.example:443:127.0.0.1:" + std::to_string(emulator->port())).c_str(),
           1);
    result = list_root("https://unnamed.example", 5000, response);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result)) << error_text(result);
    orvel_error_discard(result);

    // Mappings are read at every request: with the emulator's, the same
    // host names reach it.
    emulator->use_for_rest();
    result = list_root(kApiBase, 5000, response);
    EXPECT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200);
}

TEST_F(RestFailure, ErrorObjectsPrintTheCurlFailure)
{
    Response response;
    orvel_result_t result = list_root("https://127.0.0.1:1", 5000, response);
    ASSERT_NE(result, ORVEL_SUCCESS);
    orvel_object_t *error = orvel_error_get(result);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(orvel_object_upcast(error, &ORVEL_DSI_REST_ERROR_TYPE_DEFINITION), nullptr);
    EXPECT_NE(orvel_object_upcast(error, ORVEL_ERROR_TYPE_BASE), nullptr);
    char *text = orvel_error_print_one(error);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text).rfind("Failed to perform request: ", 0), 0u) << text;
    std::free(text);
    EXPECT_EQ(orvel_dsi_rest_error_get_curl_code(error), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(orvel_dsi_rest_error_get_curl_code(nullptr), -1);
    orvel_object_free(error);
}

TEST_F(RestFailure, ConnectToMappingsWithSpacesLineBreaksAndEmptyItems)
{
    // As a value read from a file or written over several lines may come.
    const std::string port = std::to_string(emulator->port());
    const std::string mappings =
        " , content.dropboxapi.com:443:127.0.0.1:" + port + " ,\n\tapi.dropboxapi.com:443:127.0.0.1:" + port + "\r\n";
    setenv("ORVEL_DSI_REST_CONNECT_TO", mappings.c_str(), 1);
    Response response;
    orvel_result_t result = list_root(kApiBase, 5000, response);
    EXPECT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(response.record.response_code, 200);
    orvel_error_discard(result);
}

} // namespace
