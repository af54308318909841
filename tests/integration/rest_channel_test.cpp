// The REST library moving data through the host's data channel: uploads of a
// known length and to the end of the stream (chunked), downloads at an
// offset, and error replies that must not reach the channel.
#include "orvel_dsi_rest.h"
#include "orvel_host.hpp"
#include "rest_suite.hpp"
#include "rest_test_helpers.hpp"
#include "transfer_runner.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

using namespace orvel::test;
using orvel::host::GeneratorChannel;
using orvel::host::MemoryChannel;

namespace {

class RestChannel : public RestSuite {};

std::string pattern(size_t size, unsigned seed)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 131 + seed) ^ (i >> 9));
    }
    return out;
}

void tap_into(void *arg, const void *buffer, size_t length)
{
    static_cast<std::string *>(arg)->append(static_cast<const char *>(buffer), length);
}

struct Upload {
    std::string path;
    orvel_dsi_rest_gridftp_op_arg_t arg{};
    std::string tapped;
    Response response;
    json_t *reply = nullptr;
    ~Upload() { json_decref(reply); }

    orvel_result_t run(orvel_gfs_operation_t op, orvel_off_t length)
    {
        arg = {};
        arg.op = op;
        arg.length = length;
        arg.tap = tap_into;
        arg.tap_arg = &tapped;
        Callbacks callbacks;
        callbacks.record(response).read_json(&reply).idle(60000);
        return upload_from_op(path, &arg, callbacks);
    }
};

TEST_F(RestChannel, UploadOfKnownLengthTakesNoMoreThanThatFromTheChannel)
{
    const std::string content = pattern(3 * 1024 * 1024 + 100, 1);
    auto channel = std::make_shared<MemoryChannel>(content + "never sent");
    Upload upload;
    upload.path = "/known.bin";
    orvel_result_t result = run_transfer(channel, TransferDirection::upload, [&](orvel_gfs_operation_t op) {
        return upload.run(op, static_cast<orvel_off_t>(content.size()));
    });
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(upload.response.record.response_code, 200);
    EXPECT_EQ(upload.arg.transferred, static_cast<orvel_off_t>(content.size()));
    EXPECT_FALSE(upload.arg.eof);
    EXPECT_EQ(channel->bytes_read(), content.size());
    EXPECT_TRUE(upload.tapped == content);
    EXPECT_TRUE(emulator->read_file("/known.bin") == content);
    EXPECT_EQ(json_integer_value(json_object_get(upload.reply, "size")), static_cast<json_int_t>(content.size()));
    auto entries = emulator->log_entries("/2/files/upload");
    ASSERT_EQ(entries.size(), 1u);
    json_t *headers = json_object_get(entries[0], "headers");
    EXPECT_STREQ(json_string_value(json_object_get(headers, "Content-Length")), std::to_string(content.size()).c_str());
    EXPECT_EQ(json_object_get(headers, "Expect"), nullptr);
    json_decref(entries[0]);
}

TEST_F(RestChannel, UploadToTheEndOfTheStreamIsChunkedAndSetsEof)
{
    const uint64_t size = 5 * 1024 * 1024 + 17;
    auto channel = std::make_shared<GeneratorChannel>(size, 7);
    Upload upload;
    upload.path = "/chunked.bin";
    orvel_result_t result =
        run_transfer(channel, TransferDirection::upload, [&](orvel_gfs_operation_t op) { return upload.run(op, 0); });
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(upload.response.record.response_code, 200);
    EXPECT_TRUE(upload.arg.eof);
    EXPECT_EQ(upload.arg.transferred, static_cast<orvel_off_t>(size));
    const std::string stored = emulator->read_file("/chunked.bin");
    ASSERT_EQ(stored.size(), size);
    bool same = true;
    for (uint64_t i = 0; i < size && same; ++i) {
        same = static_cast<unsigned char>(stored[i]) == GeneratorChannel::generated_byte(7, i);
    }
    EXPECT_TRUE(same);
    EXPECT_TRUE(upload.tapped == stored);
    auto entries = emulator->log_entries("/2/files/upload");
    ASSERT_EQ(entries.size(), 1u);
    json_t *headers = json_object_get(entries[0], "headers");
    EXPECT_STREQ(json_string_value(json_object_get(headers, "Transfer-Encoding")), "chunked");
    json_decref(entries[0]);

    // An empty stream sends an empty body.
    Upload empty;
    empty.path = "/empty.bin";
    result = run_transfer(std::make_shared<MemoryChannel>(""), TransferDirection::upload,
                          [&](orvel_gfs_operation_t op) { return empty.run(op, 0); });
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(empty.response.record.response_code, 200);
    EXPECT_TRUE(empty.arg.eof);
    EXPECT_EQ(empty.arg.transferred, 0);
    EXPECT_TRUE(emulator->exists("/empty.bin"));
    EXPECT_EQ(emulator->read_file("/empty.bin"), "");
}

TEST_F(RestChannel, ChannelEndingShortOrFailingIsNotRetryable)
{
    Upload upload;
    upload.path = "/short.bin";
    orvel_result_t result =
        run_transfer(std::make_shared<MemoryChannel>(std::string(1000, 'a')), TransferDirection::upload,
                     [&](orvel_gfs_operation_t op) { return upload.run(op, 5000); });
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_TRUE(upload.arg.eof);
    EXPECT_EQ(upload.arg.transferred, 1000);
    EXPECT_NE(error_text(result).find("1000 of 5000"), std::string::npos) << error_text(result);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
    EXPECT_FALSE(emulator->exists("/short.bin"));

    // A host read error is the exchange's result, as the host made it.
    auto failing = std::make_shared<MemoryChannel>(std::string(100, 'b'));
    failing->fail_read_at(1);
    Upload broken;
    broken.path = "/broken.bin";
    result =
        run_transfer(failing, TransferDirection::upload, [&](orvel_gfs_operation_t op) { return broken.run(op, 100); });
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(orvel_error_peek(result)), 426) << error_text(result);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_EQ(broken.arg.transferred, 0);
    orvel_error_discard(result);
    EXPECT_FALSE(emulator->exists("/broken.bin"));
}

// An upload stream whose data comes without the end: the end (or, with
// `fail_at_end`, a failure such as an ABOR) follows on the next read.
class EndAfterData : public orvel::host::DataChannel {
public:
    EndAfterData(std::string data, bool fail_at_end) : data_(std::move(data)), fail_at_end_(fail_at_end) {}
    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        *nread = std::min(length, data_.size() - pos_);
        *eof = false;
        if (*nread == 0 && fail_at_end_) {
            return orvel_error_put(
                orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 426, "ABORTED", "%s", "transfer aborted"));
        }
        std::memcpy(buffer, data_.data() + pos_, *nread);
        pos_ += *nread;
        *eof = *nread == 0;
        return ORVEL_SUCCESS;
    }
    orvel_result_t write(const void *, size_t, int64_t) override { return ORVEL_SUCCESS; }

private:
    std::mutex mutex_;
    std::string data_;
    size_t pos_ = 0;
    bool fail_at_end_;
};

TEST_F(RestChannel, ConfirmedEndWithholdsTheLastByteUntilTheDataEnds)
{
    auto confirmed = [&](std::shared_ptr<orvel::host::DataChannel> channel, Upload &upload) {
        return run_transfer(channel, TransferDirection::upload, [&](orvel_gfs_operation_t op) {
            upload.arg = {};
            upload.arg.op = op;
            upload.arg.length = 10;
            upload.arg.confirm_end = true;
            Callbacks callbacks;
            callbacks.record(upload.response).read_json(&upload.reply).idle(60000);
            return upload_from_op(upload.path, &upload.arg, callbacks);
        });
    };
    // The end comes on its own after the data: the body completes.
    Upload whole;
    whole.path = "/confirmed.bin";
    orvel_result_t result = confirmed(std::make_shared<EndAfterData>("0123456789", false), whole);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_TRUE(whole.arg.eof);
    EXPECT_FALSE(whole.arg.excess);
    EXPECT_EQ(emulator->read_file("/confirmed.bin"), "0123456789");

    // More data than announced, or a failure instead of the end: the service
    // never gets a complete body.
    Upload more;
    more.path = "/more.bin";
    result = confirmed(std::make_shared<MemoryChannel>("0123456789X"), more);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_TRUE(more.arg.excess);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_NE(error_text(result).find("more than the 10 bytes"), std::string::npos) << error_text(result);
    orvel_error_discard(result);
    Upload aborted;
    aborted.path = "/aborted.bin";
    result = confirmed(std::make_shared<EndAfterData>("0123456789", true), aborted);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(orvel_error_peek(result)), 426) << error_text(result);
    orvel_error_discard(result);
    EXPECT_FALSE(emulator->exists("/more.bin"));
    EXPECT_FALSE(emulator->exists("/aborted.bin"));
    for (json_t *entry : emulator->log_entries("/2/files/upload")) {
        if (json_integer_value(json_object_get(entry, "body_size")) == 9) {
            EXPECT_TRUE(json_is_null(json_object_get(entry, "status")));
        }
        json_decref(entry);
    }
}

struct Download {
    orvel_dsi_rest_gridftp_op_arg_t arg{};
    std::string tapped;
    Response response{"Dropbox-API-Result"};

    orvel_result_t run(orvel_gfs_operation_t op, const std::string &path, orvel_off_t offset, orvel_off_t length)
    {
        arg = {};
        arg.op = op;
        arg.offset = offset;
        arg.length = length;
        arg.tap = tap_into;
        arg.tap_arg = &tapped;
        std::string range;
        if (offset > 0 || length >= 0) {
            range = "bytes=" + std::to_string(offset) + "-" +
                    (length >= 0 ? std::to_string(offset + length - 1) : std::string());
        }
        Callbacks callbacks;
        callbacks.record(response).idle(30000);
        return download_into_op(path, &arg, callbacks, range);
    }
};

TEST_F(RestChannel, DownloadWritesAtTheOffset)
{
    const std::string content = pattern(3 * 1024 * 1024 + 333, 2);
    emulator->put_file("/down.bin", content);
    const orvel_off_t offset = 1000;
    auto channel = std::make_shared<MemoryChannel>();
    Download download;
    orvel_result_t result = run_transfer(channel, TransferDirection::download, [&](orvel_gfs_operation_t op) {
        return download.run(op, "/down.bin", offset, -1);
    });
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(download.response.record.response_code, 206);
    EXPECT_EQ(download.arg.transferred, static_cast<orvel_off_t>(content.size()) - offset);
    const std::string written = channel->written();
    ASSERT_EQ(written.size(), content.size());
    EXPECT_TRUE(written.substr(offset) == content.substr(offset));
    EXPECT_TRUE(download.tapped == content.substr(offset));
    auto log = channel->write_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().first, offset);
    int64_t next = offset;
    for (auto &[at, length] : log) {
        EXPECT_EQ(at, next);
        next += static_cast<int64_t>(length);
    }
    ASSERT_NE(download.response.value(0), nullptr);
    EXPECT_NE(std::strstr(download.response.value(0), "down.bin"), nullptr);
}

TEST_F(RestChannel, ReplyThatDoesNotAnswerTheRangeNeverReachesTheChannel)
{
    const std::string content = pattern(5000, 5);
    emulator->put_file("/r.bin", content);
    auto channel = std::make_shared<MemoryChannel>();
    auto download = [&](orvel_off_t offset, orvel_off_t length, Download &d) {
        return run_transfer(channel, TransferDirection::download,
                            [&](orvel_gfs_operation_t op) { return d.run(op, "/r.bin", offset, length); });
    };
    // A redirect's page is no file content.
    emulator->add_fault(R"({"path": "/2/files/download", "status": 302, "headers": {"Location": "/elsewhere"},
                            "body": "<html>moved</html>"})");
    Download redirected;
    orvel_result_t result = download(0, -1, redirected);
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(redirected.response.record.response_code, 302);
    ASSERT_NE(redirected.response.record.error_body, nullptr);
    EXPECT_STREQ(redirected.response.record.error_body, "<html>moved</html>");

    // A server may ignore Range and send the whole file with 200.
    emulator->add_fault(R"({"path": "/2/files/download", "action": "ignore_range"})");
    Download whole;
    result = download(5, -1, whole);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_dsi_rest_error_get_curl_code(orvel_error_peek(result)), 33) << error_text(result);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
    EXPECT_TRUE(channel->write_log().empty());
    EXPECT_EQ(whole.arg.transferred, 0);

    // A ranged body shorter than its Content-Range, ended by the close: a
    // partial reply that may be repeated.
    emulator->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 1000,
                            "content_length": false})");
    Download cut;
    result = download(100, 4000, cut);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_dsi_rest_error_get_curl_code(orvel_error_peek(result)), 18) << error_text(result);
    EXPECT_TRUE(orvel_dsi_rest_error_is_retryable(result));
    orvel_error_discard(result);
    EXPECT_EQ(cut.arg.transferred, 1000);
    EXPECT_TRUE(channel->written().substr(100) == content.substr(100, 1000));
}

TEST_F(RestChannel, ErrorReplyNeverReachesTheChannel)
{
    auto channel = std::make_shared<MemoryChannel>();
    Download download;
    orvel_result_t result = run_transfer(channel, TransferDirection::download, [&](orvel_gfs_operation_t op) {
        return download.run(op, "/no-such-file", 0, -1);
    });
    ASSERT_EQ(result, ORVEL_SUCCESS) << error_text(result);
    EXPECT_EQ(download.response.record.response_code, 409);
    EXPECT_TRUE(channel->write_log().empty());
    EXPECT_EQ(download.arg.transferred, 0);
    EXPECT_TRUE(download.tapped.empty());
    ASSERT_NE(download.response.record.error_body, nullptr);
    EXPECT_NE(std::strstr(download.response.record.error_body, "not_found"), nullptr);
}

} // namespace

namespace {

// A download sink whose n-th write fails, as a broken client connection would.
class FailingWrites : public orvel::host::DataChannel {
public:
    explicit FailingWrites(int fail_at) : fail_at_(fail_at) {}
    orvel_result_t read(void *, size_t, size_t *nread, bool *eof) override
    {
        *nread = 0;
        *eof = true;
        return ORVEL_SUCCESS;
    }
    orvel_result_t write(const void *, size_t length, int64_t) override
    {
        if (++writes_ == fail_at_) {
            return orvel_error_put(orvel_gfs_ftp_response_error_construct(nullptr, nullptr, 426, "CLIENT_GONE", "%s",
                                                                          "the client went away"));
        }
        bytes_ += length;
        return ORVEL_SUCCESS;
    }
    size_t bytes() const { return bytes_; }

private:
    int fail_at_;
    int writes_ = 0;
    size_t bytes_ = 0;
};

TEST_F(RestChannel, HostWriteFailureOrAnOverlongReplyStopsTheDownload)
{
    emulator->put_file("/w.bin", pattern(4 * 1024 * 1024, 3));
    auto channel = std::make_shared<FailingWrites>(2);
    Download download;
    orvel_result_t result = run_transfer(channel, TransferDirection::download,
                                         [&](orvel_gfs_operation_t op) { return download.run(op, "/w.bin", 0, -1); });
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(orvel_error_peek(result)), 426) << error_text(result);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_EQ(download.arg.transferred, static_cast<orvel_off_t>(channel->bytes()));
    EXPECT_GT(download.arg.transferred, 0);
    orvel_error_discard(result);

    // A reply longer than the bytes expected (a range the server ignored)
    // is refused instead of being written beyond the range.
    emulator->put_file("/long.bin", pattern(5000, 4));
    auto memory = std::make_shared<MemoryChannel>();
    Download overlong;
    result = run_transfer(memory, TransferDirection::download, [&](orvel_gfs_operation_t op) {
        overlong.arg = {};
        overlong.arg.op = op;
        overlong.arg.length = 1000;
        return download_into_op("/long.bin", &overlong.arg);
    });
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_NE(error_text(result).find("longer than the 1000 bytes expected"), std::string::npos) << error_text(result);
    EXPECT_FALSE(orvel_dsi_rest_error_is_retryable(result));
    EXPECT_TRUE(memory->written().size() <= 1000u);
    orvel_error_discard(result);
}

} // namespace
