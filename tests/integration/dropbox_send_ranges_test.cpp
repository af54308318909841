// Download: ranges and their "Range" headers, what reaches the data channel,
// repeated attempts and failures.
#include "dropbox_session_fixture.hpp"

#include <chrono>

namespace orvel::test {
namespace {

std::string pattern(size_t size)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    return out;
}

class SendRanges : public DropboxSession {
protected:
    host::Outcome send(const std::string &path, std::vector<std::pair<int64_t, int64_t>> ranges,
                       std::shared_ptr<host::MemoryChannel> *channel_out = nullptr)
    {
        auto channel = std::make_shared<host::MemoryChannel>();
        host::TransferRequest request;
        request.pathname = path;
        request.channel = channel;
        request.read_ranges = std::move(ranges);
        host::Outcome outcome = session_->send(request);
        if (channel_out != nullptr)
            *channel_out = channel;
        return outcome;
    }
    const std::string content_ = pattern(5000);
};

TEST_F(SendRanges, WholeFileWithoutRangeByItsId)
{
    emu_->put_file("/d/file.bin", content_);
    start();
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/d/file.bin", {{0, -1}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_TRUE(outcome.transfer_begun);
    EXPECT_EQ(channel->written(), content_);
    ASSERT_EQ(count(kDownload), 1u);
    EXPECT_EQ(header(kDownload, "Range"), "<none>");
    std::string path_arg = arg(kDownload);
    EXPECT_EQ(path_arg.rfind(R"({"path":"id:)", 0), 0u) << path_arg;
    EXPECT_EQ(header(kDownload, "Authorization"), "Bearer <redacted>");
    EXPECT_EQ(header(kDownload, "Dropbox-API-Path-Root"), R"({".tag": "root", "root": "1000"})");
}

TEST_F(SendRanges, RestartToTheEndWritesAtItsOffset)
{
    emu_->put_file("/file.bin", content_);
    start();
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{1000, -1}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(header(kDownload, "Range"), "bytes=1000-");
    std::string written = channel->written();
    ASSERT_EQ(written.size(), content_.size());
    EXPECT_EQ(written.substr(1000), content_.substr(1000));
    EXPECT_EQ(channel->write_log().front().first, 1000);
}

TEST_F(SendRanges, OneBoundedRangeThenEnd)
{
    emu_->put_file("/file.bin", content_);
    start();
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{0, 100}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    ASSERT_EQ(count(kDownload), 1u);
    EXPECT_EQ(header(kDownload, "Range"), "bytes=0-99");
    EXPECT_EQ(channel->written(), content_.substr(0, 100));
}

TEST_F(SendRanges, TwoRangesTwoRequests)
{
    emu_->put_file("/file.bin", content_);
    start();
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{0, 100}, {500, 100}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    ASSERT_EQ(count(kDownload), 2u);
    EXPECT_EQ(header(kDownload, "Range", 0), "bytes=0-99");
    EXPECT_EQ(header(kDownload, "Range", 1), "bytes=500-599");
    std::string written = channel->written();
    ASSERT_EQ(written.size(), 600u);
    EXPECT_EQ(written.substr(0, 100), content_.substr(0, 100));
    EXPECT_EQ(written.substr(500, 100), content_.substr(500, 100));
}

TEST_F(SendRanges, RangeBeyondEveryOffsetFailsWithoutARequest)
{
    emu_->put_file("/file.bin", content_);
    start();
    host::Outcome outcome = send("/file.bin", {{10, INT64_MAX}});
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(count(kDownload), 0u);
}

TEST_F(SendRanges, MissingFileFailsBeforeTheChannelOpens)
{
    start();
    host::Outcome outcome = send("/nothing.bin", {{0, -1}});
    EXPECT_EQ(outcome.reply_code(), 550);
    EXPECT_EQ(outcome.error_code(), "PATH_NOT_FOUND");
    EXPECT_FALSE(outcome.transfer_begun);
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(count(kDownload), 0u);
}

TEST_F(SendRanges, StallLongerThanTheIdleLimitFails)
{
    emu_->put_file("/file.bin", content_);
    start();
    orvel_i_dropbox_progress_timeout_ms = 300;
    emu_->add_fault(R"({"path": "/2/files/download", "action": "stall", "after_bytes": 1000,
                        "stall_ms": 1000, "count": 2})");
    auto began = std::chrono::steady_clock::now();
    host::Outcome outcome = send("/file.bin", {{0, -1}});
    auto took = std::chrono::steady_clock::now() - began;
    EXPECT_FALSE(outcome.ok());
    EXPECT_TRUE(outcome.finished);
    EXPECT_LT(took, std::chrono::seconds(4));
}

TEST_F(SendRanges, UnlistedClientErrorStatusFailsTheTransfer)
{
    emu_->put_file("/file.bin", content_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "status": 416})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{0, 100}, {200, 100}}, &channel);
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(count(kDownload), 1u); // no further range after the failure
    EXPECT_TRUE(channel->written().empty());
}

TEST_F(SendRanges, TranslatedErrorStatuses)
{
    emu_->put_file("/file.bin", content_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "status": 404})");
    host::Outcome outcome = send("/file.bin", {{0, -1}});
    EXPECT_EQ(outcome.error_code(), "PATH_NOT_FOUND");
    EXPECT_TRUE(outcome.transfer_begun);

    emu_->add_fault(R"({"path": "/2/files/download", "status": 403})");
    EXPECT_EQ(send("/file.bin", {{0, -1}}).error_code(), "PERMISSION_DENIED");
}

TEST_F(SendRanges, RepeatedAttemptAsksOnlyForTheRest)
{
    emu_->put_file("/file.bin", content_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 1000})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{0, -1}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    ASSERT_EQ(count(kDownload), 2u);
    EXPECT_EQ(header(kDownload, "Range", 0), "<none>");
    // Whatever reached the client stays; the repeat starts after it.
    std::string second = header(kDownload, "Range", 1);
    EXPECT_EQ(second.rfind("bytes=", 0), 0u) << second;
    EXPECT_EQ(channel->written(), content_);
    // Every byte was written once.
    uint64_t total = 0;
    for (const auto &[offset, length] : channel->write_log())
        total += length;
    EXPECT_EQ(total, content_.size());
}

TEST_F(SendRanges, RepeatedAttemptOfABoundedRange)
{
    emu_->put_file("/file.bin", content_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 1000})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{500, 3000}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    ASSERT_EQ(count(kDownload), 2u);
    EXPECT_EQ(header(kDownload, "Range", 0), "bytes=500-3499");
    EXPECT_EQ(header(kDownload, "Range", 1), "bytes=1500-3499");
    EXPECT_EQ(channel->written().substr(500), content_.substr(500, 3000));
    uint64_t total = 0;
    for (const auto &[offset, length] : channel->write_log())
        total += length;
    EXPECT_EQ(total, 3000u);
}

TEST_F(SendRanges, OnlyTheExpectedSuccessStatusDeliversData)
{
    emu_->put_file("/file.bin", content_);
    start();
    for (const char *fault :
         {R"({"path": "/2/files/download", "status": 302, "headers": {"Location": "/x"},
                                  "body": "<html>moved</html>"})",
          R"({"path": "/2/files/download", "status": 204})", R"({"path": "/2/files/download", "status": 304})",
          R"({"path": "/2/files/download", "status": 200})"}) {
        emu_->add_fault(fault);
        std::shared_ptr<host::MemoryChannel> channel;
        host::Outcome outcome = send("/file.bin", {{0, -1}}, &channel);
        EXPECT_FALSE(outcome.ok()) << fault;
        EXPECT_EQ(outcome.finish_calls, 1);
        EXPECT_TRUE(channel->written().empty()) << fault;
        EXPECT_EQ(outcome.chain_text().find("malloc"), std::string::npos) << outcome.chain_text();
    }
    emu_->add_fault(R"({"path": "/2/files/download", "status": 302, "body": "<html>moved</html>"})");
    EXPECT_NE(send("/file.bin", {{0, -1}}).chain_text().find("HTTP status 302"), std::string::npos);

    // A range answered with the whole file is not written at the range's offset.
    emu_->add_fault(R"({"path": "/2/files/download", "action": "ignore_range"})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome whole = send("/file.bin", {{5, -1}}, &channel);
    EXPECT_FALSE(whole.ok());
    EXPECT_TRUE(channel->written().empty());
}

TEST_F(SendRanges, ShortBodyIsResumedFromWhereItStoppedOrFails)
{
    emu_->put_file("/file.bin", content_);
    start();
    // Without a Content-Length the close looks like the end of the body:
    // only the file's size tells that bytes are missing.
    for (std::pair<int64_t, int64_t> range : {std::pair<int64_t, int64_t>{0, -1}, {500, 3000}}) {
        emu_->clear_log();
        emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 1000,
                            "content_length": false})");
        std::shared_ptr<host::MemoryChannel> channel;
        host::Outcome outcome = send("/file.bin", {range}, &channel);
        ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
        size_t length = range.second == -1 ? content_.size() - range.first : range.second;
        EXPECT_EQ(channel->written().substr(range.first), content_.substr(range.first, length));
        ASSERT_EQ(count(kDownload), 2u);
        EXPECT_EQ(header(kDownload, "Range", 1),
                  "bytes=" + std::to_string(range.first + 1000) + "-" +
                      (range.second == -1 ? "" : std::to_string(range.first + range.second - 1)));
    }
    // Short twice: the attempts are used up and the transfer fails.
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 1000,
                        "content_length": false, "count": 2})");
    host::Outcome failed = send("/file.bin", {{0, -1}});
    EXPECT_FALSE(failed.ok());
    EXPECT_NE(failed.chain_text().find("ended after"), std::string::npos) << failed.chain_text();
}

TEST_F(SendRanges, EveryRequestOfATransferReadsTheRevisionItStartedWith)
{
    emu_->put_file("/file.bin", content_);
    start();
    // Another client replaces the file between the cut attempt and its repeat.
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 1000})");
    emu_->add_fault(R"({"path": "/2/files/download", "nth": 2, "action": "replace", "file": "/file.bin",
                        "body": "the new version"})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/file.bin", {{0, -1}}, &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(channel->written(), content_);
    EXPECT_EQ(arg(kDownload, 1).rfind(R"({"path":"rev:)", 0), 0u) << arg(kDownload, 1);
    EXPECT_EQ(emu_->read_file("/file.bin"), "the new version");

    // The next transfer reads the new version, and when the version it
    // started with cannot be had, it fails without a success reply.
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "after_bytes": 5})");
    emu_->add_fault(R"({"path": "/2/files/download", "nth": 2, "status": 409,
                        "body": {"error_summary": "path/not_found/..", "error": {".tag": "path",
                                 "path": {".tag": "not_found"}}}})");
    host::Outcome gone = send("/file.bin", {{0, -1}}, &channel);
    EXPECT_EQ(gone.reply_code(), 451) << gone.chain_text();
    EXPECT_EQ(count(kDownload), 2u);
}

TEST_F(SendRanges, RestartAtTheEndOfTheFileIsAnEmptyTransfer)
{
    emu_->put_file("/file.bin", content_);
    start();
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome at_end = send("/file.bin", {{5000, -1}}, &channel);
    ASSERT_TRUE(at_end.ok()) << at_end.chain_text();
    EXPECT_TRUE(channel->written().empty());
    host::Outcome beyond = send("/file.bin", {{5001, -1}});
    EXPECT_FALSE(beyond.ok());
}

} // namespace
} // namespace orvel::test
