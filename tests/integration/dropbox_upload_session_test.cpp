// Uploads above 100 MiB through upload sessions appended in parts of 100 MiB:
// part layout, commit, the session table, restarts and resumed transfers.
// The streams come from generators; these tests move a few hundred MiB
// through TLS to the emulator, so their number is kept small.
#include "dropbox_session_fixture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace orvel::test {
namespace {

const char *kStart = "/2/files/upload_session/start";
const char *kAppend = "/2/files/upload_session/append_v2";
const char *kFinish = "/2/files/upload_session/finish";
const char *kUpload = "/2/files/upload";
constexpr int64_t kPart = 104857600;

// Bytes [begin, end) of a GeneratorChannel stream: what a client restarting
// at `begin` sends.
class GeneratorTail : public host::DataChannel {
public:
    GeneratorTail(uint32_t seed, uint64_t begin, uint64_t end) : seed_(seed), pos_(begin), end_(end) {}
    orvel_result_t read(void *buffer, size_t length, size_t *nread, bool *eof) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = static_cast<size_t>(std::min<uint64_t>(length, end_ - pos_));
        auto *out = static_cast<unsigned char *>(buffer);
        for (size_t i = 0; i < n; i++)
            out[i] = host::GeneratorChannel::generated_byte(seed_, pos_ + i);
        pos_ += n;
        *nread = n;
        *eof = pos_ == end_;
        return ORVEL_SUCCESS;
    }
    orvel_result_t write(const void *, size_t, int64_t) override { return ORVEL_SUCCESS; }

private:
    std::mutex mutex_;
    uint32_t seed_;
    uint64_t pos_;
    uint64_t end_;
};

class DropboxUploadSession : public DropboxSession {
protected:
    // These cases follow the single-stream road; parallel pieces have tests
    // of their own.
    void SetUp() override
    {
        DropboxSession::SetUp();
        orvel_i_dropbox_transfer_streams = 1;
    }
    host::Outcome upload(const std::string &path, std::shared_ptr<host::DataChannel> channel, int64_t alloc_size,
                         bool truncate = true, int64_t restart = 0, std::optional<time_t> mtime = -1)
    {
        host::TransferRequest request;
        request.pathname = path;
        request.channel = std::move(channel);
        request.alloc_size = alloc_size;
        request.truncate = truncate;
        request.write_range = {restart, -1};
        request.modification_time = mtime;
        return session_->recv(request);
    }
    orvel_dropbox_upload_session_t *record(const std::string &path) const
    {
        auto *handle = static_cast<orvel_dropbox_handle_t *>(session_->session_arg());
        return orvel_dropbox_upload_state_query(&handle->upload_state, path.c_str());
    }
    // (arg text as sorted compact JSON, body size) of every request to `endpoint`.
    std::vector<std::pair<std::string, int64_t>> requests(const std::string &endpoint) const
    {
        std::vector<std::pair<std::string, int64_t>> out;
        for (json_t *entry : emu_->log_entries(endpoint)) {
            char *text = json_dumps(json_object_get(entry, "arg"), JSON_COMPACT | JSON_SORT_KEYS);
            out.emplace_back(text != nullptr ? text : "null", json_integer_value(json_object_get(entry, "body_size")));
            free(text);
            json_decref(entry);
        }
        return out;
    }
    // Whether the stored file holds exactly the generator's bytes.
    bool stored_matches(const std::string &path, uint32_t seed, uint64_t size) const
    {
        std::string file = emu_->ns_dir() + path;
        if (std::filesystem::file_size(file) != size)
            return false;
        int fd = ::open(file.c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        std::vector<unsigned char> buffer(1 << 20);
        uint64_t pos = 0;
        bool same = true;
        while (same && pos < size) {
            ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0) {
                same = false;
                break;
            }
            for (ssize_t i = 0; i < n && same; i++)
                same = buffer[i] == host::GeneratorChannel::generated_byte(seed, pos + i);
            pos += static_cast<uint64_t>(n);
        }
        ::close(fd);
        return same && pos == size;
    }
    static std::string session_of(const std::string &arg_text)
    {
        json_t *arg = json_loads(arg_text.c_str(), 0, nullptr);
        json_t *id = json_object_get(json_object_get(arg, "cursor"), "session_id");
        std::string out = json_is_string(id) ? json_string_value(id) : "";
        json_decref(arg);
        return out;
    }
};

TEST_F(DropboxUploadSession, TwoPartsAndANewSessionAfterAFailedPart)
{
    emu_->make_folder("/data");
    start();
    const int64_t size = kPart + 1;

    // The first part is cut off: the transfer fails and its session stays.
    emu_->add_fault(R"({"path": "/2/files/upload_session/append_v2", "action": "cut", "side": "request",
                        "after_bytes": 1048576})");
    host::Outcome failed = upload("/data/two.bin", std::make_shared<host::GeneratorChannel>(size, 5), size);
    ASSERT_FALSE(failed.ok());
    EXPECT_TRUE(failed.transfer_begun);
    EXPECT_EQ(failed.finish_calls, 1);
    orvel_dropbox_upload_session_t *first = record("/data/two.bin");
    ASSERT_NE(first, nullptr);
    const std::string first_id = first->id;
    EXPECT_EQ(first->num_parts, 2);
    EXPECT_EQ(first->total_size, static_cast<uint64_t>(size));
    EXPECT_EQ(first->part_size, static_cast<uint64_t>(kPart));
    EXPECT_EQ(first->modtime, nullptr);
    EXPECT_EQ(count(kAppend), 1u);
    EXPECT_EQ(count(kFinish), 0u);

    // A new truncating transfer opens a second session that replaces the
    // first; start and finish are repeated after a retryable answer.
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/upload_session/start", "status": 503, "headers": {"Retry-After": "0"}})");
    emu_->add_fault(R"({"path": "/2/files/upload_session/finish", "status": 503, "headers": {"Retry-After": "0"}})");
    host::Outcome outcome =
        upload("/data/two.bin", std::make_shared<host::GeneratorChannel>(size, 5), size, true, 0, time_t{1614834367});
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(count(kStart), 2u);
    EXPECT_EQ(count(kFinish), 2u);
    EXPECT_EQ(count(kUpload), 0u);
    EXPECT_EQ(header(kStart, "Dropbox-API-Arg", 1), R"({"session_type": "concurrent"})");

    auto appends = requests(kAppend);
    ASSERT_EQ(appends.size(), 2u);
    const std::string second_id = session_of(appends[0].first);
    EXPECT_NE(second_id, first_id);
    EXPECT_EQ(appends[0].first, R"({"close":false,"cursor":{"offset":0,"session_id":")" + second_id + R"("}})");
    EXPECT_EQ(appends[0].second, kPart);
    EXPECT_EQ(appends[1].first, R"({"close":true,"cursor":{"offset":104857600,"session_id":")" + second_id + R"("}})");
    EXPECT_EQ(appends[1].second, 1);
    // "close" comes before "cursor" in the header text.
    EXPECT_EQ(header(kAppend, "Dropbox-API-Arg", 1).rfind(R"({"close": true, "cursor": {"session_id": ")", 0), 0u);
    EXPECT_EQ(
        header(kFinish, "Dropbox-API-Arg", 1),
        R"({"commit": {"path": "/data/two.bin", "mode": "overwrite", "client_modified": "2021-03-04T05:06:07Z"}, )"
        R"("cursor": {"session_id": ")" +
            second_id + R"(", "offset": 104857601}})");

    EXPECT_TRUE(stored_matches("/data/two.bin", 5, size));
    EXPECT_EQ(record("/data/two.bin"), nullptr);
    auto *handle = static_cast<orvel_dropbox_handle_t *>(session_->session_arg());
    orvel_dropbox_path_info_t *cached = orvel_dropbox_path_cache_query(&handle->cache, "/data/two.bin");
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached->size, static_cast<uint64_t>(size));

    // The committed session is gone: nothing to resume.
    emu_->clear_log();
    host::Outcome again = upload("/data/two.bin", std::make_shared<host::MemoryChannel>("x"), size, false, kPart);
    EXPECT_EQ(again.reply_code(), 553);
    EXPECT_EQ(again.error_code(), "MULTI_PART_UPLOAD_NOT_FOUND");
    EXPECT_TRUE(calls().empty());
}

TEST_F(DropboxUploadSession, ThreeFullPartsResumedFromAPartBoundary)
{
    // The first upload may take longer than cached metadata stays fresh on a
    // loaded machine; the restarts below must cost no call for it.
    orvel_i_dropbox_metadata_max_age_ms = 600000;
    start();
    const int64_t size = 3 * kPart;
    emu_->add_fault(R"({"path": "/2/files/upload_session/append_v2", "nth": 3, "action": "cut", "side": "request",
                        "after_bytes": 1048576})");
    host::Outcome failed = upload("/three.bin", std::make_shared<host::GeneratorChannel>(size, 9), size);
    ASSERT_FALSE(failed.ok());
    ASSERT_NE(record("/three.bin"), nullptr);
    EXPECT_EQ(record("/three.bin")->num_parts, 3);
    // Three full parts and no short one; only the last one closes.
    {
        auto first = requests(kAppend);
        ASSERT_EQ(first.size(), 3u);
        const std::string id = session_of(first[0].first);
        for (int k = 0; k < 2; k++) {
            EXPECT_EQ(first[k].first, R"({"close":false,"cursor":{"offset":)" + std::to_string(k * kPart) +
                                          R"(,"session_id":")" + id + R"("}})");
            EXPECT_EQ(first[k].second, kPart);
        }
        EXPECT_EQ(header(kAppend, "Dropbox-API-Arg", 2),
                  R"({"close": true, "cursor": {"session_id": ")" + id + R"(", "offset": 209715200}})");
    }

    // Restarts that cannot continue the session fail before any request.
    emu_->clear_log();
    host::Outcome unaligned =
        upload("/three.bin", std::make_shared<GeneratorTail>(9, 100000000, size), size, false, 100000000);
    EXPECT_EQ(unaligned.reply_code(), 553);
    EXPECT_EQ(unaligned.error_code(), "APPEND_NOT_SUPPORTED");
    host::Outcome beyond = upload("/three.bin", std::make_shared<host::MemoryChannel>(""), size, false, size);
    EXPECT_EQ(beyond.reply_code(), 553);
    EXPECT_NE(beyond.message().find("at or beyond the last part"), std::string::npos) << beyond.chain_text();
    EXPECT_TRUE(calls().empty()) << ::testing::PrintToString(calls());
    EXPECT_NE(record("/three.bin"), nullptr);

    // Resuming at the third part appends only that part, then commits.
    host::Outcome resumed =
        upload("/three.bin", std::make_shared<GeneratorTail>(9, 2 * kPart, size), size, false, 2 * kPart);
    ASSERT_TRUE(resumed.ok()) << resumed.chain_text();
    auto appends = requests(kAppend);
    ASSERT_EQ(appends.size(), 1u);
    const std::string id = session_of(appends[0].first);
    EXPECT_EQ(appends[0].first, R"({"close":true,"cursor":{"offset":209715200,"session_id":")" + id + R"("}})");
    EXPECT_EQ(appends[0].second, kPart);
    ASSERT_EQ(count(kFinish), 1u);
    EXPECT_EQ(header(kFinish, "Dropbox-API-Arg"), R"({"commit": {"path": "/three.bin", "mode": "overwrite"}, )"
                                                  R"("cursor": {"session_id": ")" +
                                                      id + R"(", "offset": 314572800}})");
    EXPECT_EQ(count(kStart), 0u);
    EXPECT_TRUE(stored_matches("/three.bin", 9, size));
    EXPECT_EQ(record("/three.bin"), nullptr);
}

TEST_F(DropboxUploadSession, CommittedBytesOtherThanSentAreRemoved)
{
    start();
    const int64_t size = kPart + 1;
    emu_->add_fault(R"({"path": "/2/files/upload_session/append_v2", "nth": 2, "action": "corrupt"})");
    host::Outcome outcome = upload("/h.bin", std::make_shared<host::GeneratorChannel>(size, 4), size);
    EXPECT_EQ(outcome.reply_code(), 550) << outcome.chain_text();
    EXPECT_EQ(outcome.error_code(), "INCORRECT_CHECKSUM");
    EXPECT_NE(outcome.chain_text().find("the new file was removed"), std::string::npos) << outcome.chain_text();
    EXPECT_FALSE(emu_->exists("/h.bin"));
    // The session was committed: there is nothing left to resume.
    EXPECT_EQ(record("/h.bin"), nullptr);
    EXPECT_EQ(count(kAppend), 2u);
}

TEST_F(DropboxUploadSession, DataBeyondTheAnnouncedSizeLeavesTheSessionToResume)
{
    start();
    // One byte more than announced; it comes together with the end of the
    // stream.
    const int64_t size = kPart + 1;
    host::Outcome outcome = upload("/much.bin", std::make_shared<host::GeneratorChannel>(size + 1, 6), size);
    EXPECT_EQ(outcome.reply_code(), 451) << outcome.chain_text();
    EXPECT_EQ(outcome.error_code(), "QUOTA_EXCEEDED");
    EXPECT_NE(outcome.chain_text().find("Too much data was sent."), std::string::npos) << outcome.chain_text();
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(count(kAppend), 2u);
    EXPECT_EQ(count(kFinish), 0u);
    EXPECT_FALSE(emu_->exists("/much.bin"));
    // The last part never reached the service whole, so the session is not
    // closed: a restart at that part sends it again and commits.
    ASSERT_NE(record("/much.bin"), nullptr);
    host::Outcome resumed = upload("/much.bin", std::make_shared<GeneratorTail>(6, kPart, size), size, false, kPart);
    ASSERT_TRUE(resumed.ok()) << resumed.chain_text();
    EXPECT_TRUE(stored_matches("/much.bin", 6, size));
}

TEST_F(DropboxUploadSession, FailedCommitIsResumedByRepeatingOnlyTheCommit)
{
    start();
    const int64_t size = kPart + 1;
    emu_->add_fault(R"({"path": "/2/files/upload_session/finish", "status": 500})");
    host::Outcome failed = upload("/late.bin", std::make_shared<host::GeneratorChannel>(size, 8), size);
    EXPECT_EQ(failed.reply_code(), 500) << failed.chain_text();
    ASSERT_NE(record("/late.bin"), nullptr);
    EXPECT_FALSE(emu_->exists("/late.bin"));

    // Restarting anywhere but at the end would send again what is there.
    emu_->clear_log();
    host::Outcome early = upload("/late.bin", std::make_shared<GeneratorTail>(8, kPart, size), size, false, kPart);
    EXPECT_EQ(early.error_code(), "APPEND_NOT_SUPPORTED");
    EXPECT_NE(early.message().find("offset 104857601"), std::string::npos) << early.message();
    host::Outcome resumed = upload("/late.bin", std::make_shared<host::MemoryChannel>(""), size, false, size);
    ASSERT_TRUE(resumed.ok()) << resumed.chain_text();
    EXPECT_EQ(count(kAppend), 0u);
    EXPECT_EQ(count(kFinish), 1u);
    EXPECT_TRUE(stored_matches("/late.bin", 8, size));
    EXPECT_EQ(record("/late.bin"), nullptr);
}

TEST_F(DropboxUploadSession, UnannouncedSizeBeyondOneRequestGoesInPiecesWithTheirHashes)
{
    start();
    // More than the service takes in one request, and no size announced.
    const int64_t size = 150LL * 1024 * 1024 + 1;
    constexpr int64_t kPiece = 4 << 20;
    host::Outcome outcome = upload("/unannounced.bin", std::make_shared<host::GeneratorChannel>(size, 3), 0);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_TRUE(stored_matches("/unannounced.bin", 3, size));
    EXPECT_EQ(count(kUpload), 0u);
    EXPECT_EQ(header(kStart, "Dropbox-API-Arg"), R"({"session_type": "concurrent"})");
    auto appends = requests(kAppend);
    ASSERT_EQ(appends.size(), static_cast<size_t>(size / kPiece + 1));
    for (size_t i = 0; i < appends.size(); i++) {
        json_t *arg = json_loads(appends[i].first.c_str(), 0, nullptr);
        EXPECT_EQ(json_is_true(json_object_get(arg, "close")), i + 1 == appends.size()) << i;
        EXPECT_EQ(json_integer_value(json_object_get(json_object_get(arg, "cursor"), "offset")),
                  static_cast<json_int_t>(i) * kPiece);
        EXPECT_EQ(json_string_length(json_object_get(arg, "content_hash")), 64u);
        EXPECT_EQ(appends[i].second, i + 1 == appends.size() ? size % kPiece : kPiece);
        json_decref(arg);
    }
    EXPECT_NE(header(kFinish, "Dropbox-API-Arg").find(R"("offset": 157286401)"), std::string::npos);
    EXPECT_EQ(record("/unannounced.bin"), nullptr);
}

TEST_F(DropboxUploadSession, ResumeWithoutSessionShortStreamAndTooManyPartsFail)
{
    start();
    host::Outcome none = upload("/none.bin", std::make_shared<host::MemoryChannel>("x"), 2 * kPart, false, kPart);
    EXPECT_EQ(none.reply_code(), 553);
    EXPECT_EQ(none.error_code(), "MULTI_PART_UPLOAD_NOT_FOUND");
    EXPECT_EQ(none.message(), "");
    EXPECT_TRUE(none.transfer_begun);
    EXPECT_EQ(count(kStart) + count(kAppend) + count(kFinish), 0u);

    // The client sends 8 MiB of an announced 200 MiB.
    host::Outcome short_stream = upload("/short.bin", std::make_shared<host::GeneratorChannel>(8 << 20, 2), 2 * kPart);
    EXPECT_FALSE(short_stream.ok());
    EXPECT_NE(short_stream.chain_text().find("Fewer bytes were received than announced"), std::string::npos)
        << short_stream.chain_text();
    EXPECT_EQ(count(kAppend), 1u);
    EXPECT_EQ(count(kFinish), 0u);
    EXPECT_FALSE(emu_->exists("/short.bin"));
    EXPECT_NE(record("/short.bin"), nullptr);

    // A size whose part count does not fit the record is refused before a
    // session is opened.
    static_cast<orvel_dropbox_handle_t *>(session_->session_arg())->max_upload = UINT64_MAX;
    emu_->clear_log();
    host::Outcome huge = upload("/huge.bin", std::make_shared<host::MemoryChannel>("x"), INT64_MAX);
    EXPECT_EQ(huge.reply_code(), 451) << huge.chain_text();
    EXPECT_EQ(huge.error_code(), "QUOTA_EXCEEDED");
    EXPECT_EQ(count(kStart) + count(kAppend), 0u);
    EXPECT_EQ(record("/huge.bin"), nullptr);
}

} // namespace
} // namespace orvel::test
