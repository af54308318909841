// Transfers in pieces over several connections at once: downloads delivered
// in order from one revision, uploads appended to a concurrent session with
// each piece's hash, restarts that send only what is missing, and commits
// that wait out contention. Pieces are 4 MiB here, so a few pieces take
// little data.
#include "dropbox_session_fixture.hpp"

#include <algorithm>

namespace orvel::test {
namespace {

const char *kAppend = "/2/files/upload_session/append_v2";
const char *kFinish = "/2/files/upload_session/finish";
constexpr int64_t kPiece = 4194304;

std::string pattern(size_t size, int salt = 0)
{
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>('a' + (i * 7 + i / 13 + static_cast<size_t>(salt)) % 26);
    return out;
}

class ParallelTransfer : public DropboxSession {
protected:
    void SetUp() override
    {
        DropboxSession::SetUp();
        orvel_i_dropbox_transfer_streams = 4;
        orvel_i_dropbox_single_stream_below = 0;
        orvel_i_dropbox_piece_size = kPiece;
    }
    host::Outcome send(const std::string &path, std::shared_ptr<host::MemoryChannel> *channel_out)
    {
        auto channel = std::make_shared<host::MemoryChannel>();
        host::TransferRequest request;
        request.pathname = path;
        request.channel = channel;
        request.read_ranges = {{0, -1}};
        host::Outcome outcome = session_->send(request);
        *channel_out = channel;
        return outcome;
    }
    // An upload of unannounced size; `restart` > 0 resumes (the client sends
    // the bytes from there on).
    host::Outcome upload(const std::string &path, const std::string &data, int64_t restart = 0)
    {
        auto channel = std::make_shared<host::MemoryChannel>(data.substr(static_cast<size_t>(restart)));
        host::TransferRequest request;
        request.pathname = path;
        request.channel = channel;
        request.alloc_size = 0;
        request.truncate = restart == 0;
        request.write_range = {restart, -1};
        return session_->recv(request);
    }
    // The "Range" headers of the download requests, in the order they came.
    std::vector<std::string> ranges() const
    {
        std::vector<std::string> out;
        for (size_t i = 0; i < count(kDownload); i++)
            out.push_back(header(kDownload, "Range", i));
        return out;
    }
    // Offsets of the appends, in the order they came.
    std::vector<int64_t> append_offsets() const
    {
        std::vector<int64_t> out;
        for (json_t *entry : emu_->log_entries(kAppend)) {
            out.push_back(json_integer_value(
                json_object_get(json_object_get(json_object_get(entry, "arg"), "cursor"), "offset")));
            json_decref(entry);
        }
        return out;
    }
    const std::string content_ = pattern(4 * kPiece + 1000);
};

TEST_F(ParallelTransfer, PiecesThatArriveOutOfOrderReachTheClientInOrder)
{
    emu_->put_file("/big.bin", content_);
    start();
    // The second piece is answered last.
    emu_->add_fault(R"({"path": "/2/files/download", "action": "delay_start", "nth": 2, "delay_ms": 400})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/big.bin", &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(channel->written(), content_);
    // The first piece alone, then the others at once, each from the
    // revision the first reply named.
    std::vector<std::string> got = ranges();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "bytes=0-4194303");
    std::sort(got.begin() + 1, got.end());
    EXPECT_EQ(got[1], "bytes=12582912-16777215");
    EXPECT_EQ(got[4], "bytes=8388608-12582911");
    for (size_t i = 1; i < 5; i++)
        EXPECT_EQ(arg(kDownload, i).rfind(R"({"path":"rev:)", 0), 0u) << arg(kDownload, i);
    int64_t next = 0;
    for (const auto &[offset, length] : channel->write_log()) {
        EXPECT_EQ(offset, next);
        next = offset + static_cast<int64_t>(length);
    }
}

TEST_F(ParallelTransfer, APieceCutMidBodyGoesOnFromWhereItStopped)
{
    emu_->put_file("/big.bin", content_);
    start();
    emu_->add_fault(R"({"path": "/2/files/download", "action": "cut", "nth": 3, "after_bytes": 500})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/big.bin", &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(channel->written(), content_);
    // Five pieces and one continuation that starts 500 bytes into a piece.
    std::vector<std::string> got = ranges();
    ASSERT_EQ(got.size(), 6u) << ::testing::PrintToString(got);
    int continued = 0;
    for (const std::string &range : got) {
        long long first = 0;
        if (sscanf(range.c_str(), "bytes=%lld-", &first) == 1 && first % kPiece == 500)
            continued++;
    }
    EXPECT_EQ(continued, 1);
}

TEST_F(ParallelTransfer, AFileReplacedMeanwhileStillArrivesAsItWas)
{
    emu_->put_file("/big.bin", content_);
    start();
    // Another client replaces the file once the first piece has been answered.
    emu_->add_fault(R"({"path": "/2/files/download", "action": "replace", "nth": 2, "file": "/big.bin",
                        "body": "something else"})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/big.bin", &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(channel->written(), content_);
    EXPECT_EQ(emu_->read_file("/big.bin"), "something else");
}

TEST_F(ParallelTransfer, OneStreamMakesTheSingleStreamRequests)
{
    emu_->put_file("/big.bin", content_);
    start({{"config", R"({"transfer_streams": 1})"}});
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/big.bin", &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(channel->written(), content_);
    ASSERT_EQ(count(kDownload), 1u);
    EXPECT_EQ(header(kDownload, "Range"), "<none>");
    EXPECT_EQ(arg(kDownload).rfind(R"({"path":"id:)", 0), 0u);
    // The same session with more streams splits the file.
    emu_->clear_log();
    ASSERT_EQ(orvel_dropbox_config_parse_json(R"({"transfer_streams": 3})", &orvel_i_dropbox_api_per_second),
              ORVEL_SUCCESS);
    outcome = send("/big.bin", &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(count(kDownload), 5u);
}

TEST_F(ParallelTransfer, ATokenThatRunsOutDuringTheTransferIsRenewedBetweenPieces)
{
    emu_->put_file("/big.bin", content_);
    // Valid for 101 s at the start: renewed once fewer than 100 s are left.
    start({{"creds", emu_->credential_json(0, Emulator::expiry_in(101))},
           {"renew-creds", emu_->credential_json(0, Emulator::expiry_in(86400))}});
    const time_t first_expiry = handle()->access_token_exp;
    emu_->add_fault(R"({"path": "/2/files/download", "action": "delay_start", "nth": 1, "delay_ms": 2100})");
    std::shared_ptr<host::MemoryChannel> channel;
    host::Outcome outcome = send("/big.bin", &channel);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(channel->written(), content_);
    EXPECT_GT(handle()->access_token_exp, first_expiry + 80000);
}

TEST_F(ParallelTransfer, AFailedPieceIsAllARestartSendsAgain)
{
    start();
    // One append fails, after the others have started.
    emu_->add_fault(R"({"path": "/2/files/upload_session/append_v2", "nth": 2, "status": 503, "delay_ms": 300})");
    host::Outcome outcome = upload("/up.bin", content_);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(count(kFinish), 0u);
    EXPECT_FALSE(emu_->exists("/up.bin"));
    // Four pieces appended at once; the closing one waits for them.
    EXPECT_EQ(append_offsets().size(), 4u);
    auto *record = orvel_dropbox_upload_state_query(&handle()->upload_state, "/up.bin");
    ASSERT_NE(record, nullptr);
    const int64_t resume = static_cast<int64_t>(orvel_dropbox_upload_parallel_resume_at(record));
    ASSERT_LT(resume, 4 * kPiece);

    emu_->clear_log();
    outcome = upload("/up.bin", content_, resume);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    // The failed piece and the closing one, nothing stored before.
    EXPECT_EQ(append_offsets(), (std::vector<int64_t>{resume, 4 * kPiece}));
    EXPECT_EQ(count(kFinish), 1u);
    EXPECT_EQ(emu_->read_file("/up.bin"), content_);
}

TEST_F(ParallelTransfer, APieceThatArrivesOtherThanSentIsRefusedAndNothingIsCommitted)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/upload_session/append_v2", "action": "corrupt", "nth": 2})");
    host::Outcome outcome = upload("/up.bin", content_);
    EXPECT_EQ(outcome.reply_code(), 550);
    EXPECT_EQ(outcome.error_code(), "INCORRECT_CHECKSUM");
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(count(kFinish), 0u);
    EXPECT_FALSE(emu_->exists("/up.bin"));
    // Every append named its piece's hash.
    for (size_t i = 0; i < count(kAppend); i++)
        EXPECT_NE(arg(kAppend, i).find(R"("content_hash":")"), std::string::npos);
}

TEST_F(ParallelTransfer, ACommitRefusedWhileWritesContendIsRepeatedAfterTheWait)
{
    start();
    orvel_i_dropbox_api_per_second = 1000;
    // Another write holds the namespace for longer than three attempts.
    emu_->set_write_contention(4000, 1);
    ASSERT_TRUE(command(ORVEL_GFS_CMD_MKD, "/other").ok());
    host::Outcome outcome = upload("/up.bin", content_);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_GE(count(kFinish), 4u);
    EXPECT_EQ(emu_->read_file("/up.bin"), content_);
}

} // namespace
} // namespace orvel::test
