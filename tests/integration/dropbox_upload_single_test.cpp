// Uploads of up to 100 MiB in one request, and the checks every upload passes
// first, driven through the host library against the emulator.
#include "dropbox_session_fixture.hpp"

#include <filesystem>
#include <fstream>

namespace orvel::test {
namespace {

const char *kUpload = "/2/files/upload";
const char *kStart = "/2/files/upload_session/start";

// The service's content hash, as Python's hashlib computes it.
std::string reference_hash(const std::string &data)
{
    std::string dir = make_temp_dir("orvel-hash-ref");
    std::ofstream(dir + "/data", std::ios::binary) << data;
    std::string command = "/usr/bin/python3 -c 'import hashlib,sys; d=open(sys.argv[1],\"rb\").read(); "
                          "B=4194304; print(hashlib.sha256(b\"\".join(hashlib.sha256(d[i:i+B]).digest() "
                          "for i in range(0,len(d),B))).hexdigest())' " +
                          dir + "/data";
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char line[128];
        if (fgets(line, sizeof line, pipe) != nullptr)
            out.assign(line, strcspn(line, "\n"));
        pclose(pipe);
    }
    remove_tree(dir);
    return out;
}

class DropboxUpload : public DropboxSession {
protected:
    host::Outcome upload(const std::string &path, std::shared_ptr<host::DataChannel> channel, int64_t alloc_size,
                         std::optional<time_t> mtime = -1, std::pair<int64_t, int64_t> range = {0, -1})
    {
        host::TransferRequest request;
        request.pathname = path;
        request.channel = std::move(channel);
        request.alloc_size = alloc_size;
        request.truncate = true;
        request.write_range = range;
        request.modification_time = mtime;
        return session_->recv(request);
    }
    host::Outcome upload_text(const std::string &path, const std::string &text, int64_t alloc_size)
    {
        return upload(path, std::make_shared<host::MemoryChannel>(text), alloc_size);
    }
    uint64_t stored_size(const std::string &path) const { return std::filesystem::file_size(emu_->ns_dir() + path); }
    std::string detail(const host::Outcome &outcome, const char *key) const
    {
        const char *value = orvel_dropbox_error_get_info(outcome.error.get(), key);
        return value != nullptr ? value : "<none>";
    }
    // The "body_size" the emulator read from the n-th request to `endpoint`.
    int64_t body_size(const std::string &endpoint, size_t n = 0) const
    {
        std::vector<json_t *> entries = emu_->log_entries(endpoint);
        int64_t size = -1;
        if (n < entries.size())
            size = json_integer_value(json_object_get(entries[n], "body_size"));
        for (json_t *e : entries)
            json_decref(e);
        return size;
    }
};

TEST_F(DropboxUpload, SmallFilesAreStoredInOneRequestAndCached)
{
    emu_->make_folder("/docs");
    emu_->put_file("/docs/old.txt", "previous contents");
    start();

    host::Outcome empty = upload_text("/docs/empty.txt", "", 0);
    ASSERT_TRUE(empty.ok()) << empty.chain_text();
    EXPECT_TRUE(empty.transfer_begun);
    EXPECT_EQ(empty.finish_calls, 1);
    EXPECT_EQ(emu_->read_file("/docs/empty.txt"), "");

    host::Outcome one = upload_text("/docs/one.bin", "x", 1);
    ASSERT_TRUE(one.ok()) << one.chain_text();
    EXPECT_EQ(emu_->read_file("/docs/one.bin"), "x");

    // An existing file is replaced and its new metadata is cached.
    host::Outcome replaced = upload_text("/docs/old.txt", "new", 3);
    ASSERT_TRUE(replaced.ok()) << replaced.chain_text();
    EXPECT_EQ(emu_->read_file("/docs/old.txt"), "new");
    orvel_dropbox_path_info_t *cached = orvel_dropbox_path_cache_query(&handle()->cache, "/docs/old.txt");
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached->size, 3u);
    EXPECT_EQ(cached->type, ORVEL_DROPBOX_FILE);

    EXPECT_EQ(count(kUpload), 3u);
    EXPECT_EQ(count(kStart), 0u);
    EXPECT_EQ(header(kUpload, "Content-Type", 2), "application/octet-stream");
    EXPECT_EQ(header(kUpload, "Dropbox-API-Arg", 2), R"({"path": "/docs/old.txt", "mode": "overwrite"})");
    // Paths outside ASCII are escaped in the header.
    host::Outcome accented = upload_text("/docs/\xc3\xa9t\xc3\xa9.txt", "e", 1);
    ASSERT_TRUE(accented.ok()) << accented.chain_text();
    EXPECT_EQ(header(kUpload, "Dropbox-API-Arg", 3), R"({"path": "/docs/\u00E9t\u00E9.txt", "mode": "overwrite"})");
}

TEST_F(DropboxUpload, ModificationTimeGoesIntoTheArgumentOnlyWhenKnown)
{
    start();
    // 2021-03-04T05:06:07Z
    ASSERT_TRUE(upload("/a.txt", std::make_shared<host::MemoryChannel>("abc"), 3, time_t{1614834367}).ok());
    ASSERT_TRUE(upload("/b.txt", std::make_shared<host::MemoryChannel>("abc"), 3, time_t{-1}).ok());
    ASSERT_TRUE(upload("/c.txt", std::make_shared<host::MemoryChannel>("abc"), 3, std::nullopt).ok());
    EXPECT_EQ(header(kUpload, "Dropbox-API-Arg", 0),
              R"({"path": "/a.txt", "mode": "overwrite", "client_modified": "2021-03-04T05:06:07Z"})");
    EXPECT_EQ(header(kUpload, "Dropbox-API-Arg", 1), R"({"path": "/b.txt", "mode": "overwrite"})");
    EXPECT_EQ(header(kUpload, "Dropbox-API-Arg", 2), R"({"path": "/c.txt", "mode": "overwrite"})");
}

TEST_F(DropboxUpload, OneHundredMebibytesStillGoInOneRequest)
{
    start();
    const int64_t size = 104857600;
    auto channel = std::make_shared<host::GeneratorChannel>(size, 7);
    host::Outcome outcome = upload("/big.bin", channel, size);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(count(kUpload), 1u);
    EXPECT_EQ(count(kStart), 0u);
    EXPECT_EQ(body_size(kUpload), size);
    EXPECT_EQ(stored_size("/big.bin"), static_cast<uint64_t>(size));
}

TEST_F(DropboxUpload, ChecksBeforeAnyUploadRequest)
{
    emu_->make_folder("/dir");
    emu_->put_file("/f.txt", "file");
    start();

    host::Outcome folder = upload_text("/dir", "x", 1);
    EXPECT_EQ(folder.reply_code(), 553);
    EXPECT_EQ(folder.error_code(), "IS_A_DIRECTORY");
    EXPECT_EQ(folder.message(), "GridFTP-Path: /dir");

    host::Outcome missing = upload_text("/missing/a.txt", "x", 1);
    EXPECT_EQ(missing.reply_code(), 550);
    EXPECT_EQ(missing.error_code(), "PATH_NOT_FOUND");
    EXPECT_EQ(missing.message(), "GridFTP-Path: \"/missing\"");

    host::Outcome under_file = upload_text("/f.txt/a.txt", "x", 1);
    EXPECT_EQ(under_file.reply_code(), 553);
    EXPECT_EQ(under_file.error_code(), "NOT_A_DIRECTORY");
    EXPECT_EQ(under_file.message(), "GridFTP-Path: /f.txt");

    host::Outcome relative = upload_text("a.txt", "x", 1);
    EXPECT_EQ(relative.reply_code(), 553) << relative.chain_text();
    EXPECT_EQ(relative.error_code(), "INVALID_PATH_NAME");

    // A name that is not UTF-8 cannot be put into the JSON argument.
    host::Outcome latin1 = upload_text("/caf\xe9.txt", "x", 1);
    EXPECT_EQ(latin1.reply_code(), 553) << latin1.chain_text();
    EXPECT_EQ(latin1.error_code(), "INVALID_PATH_NAME");
    EXPECT_EQ(latin1.message(), "GridFTP-Path: <Invalid Name>");
    host::Outcome truncated = upload_text("/caf\xc3", "x", 1);
    EXPECT_EQ(truncated.error_code(), "INVALID_PATH_NAME");

    // A restart or a partial range cannot be stored in one request.
    host::Outcome restart = upload("/r.txt", std::make_shared<host::MemoryChannel>("x"), 1, -1, {5, -1});
    EXPECT_EQ(restart.error_code(), "APPEND_NOT_SUPPORTED");
    host::Outcome partial = upload("/r.txt", std::make_shared<host::MemoryChannel>("x"), 10, -1, {0, 4});
    EXPECT_EQ(partial.error_code(), "APPEND_NOT_SUPPORTED");
    EXPECT_FALSE(partial.transfer_begun);

    for (const host::Outcome *o : {&folder, &missing, &under_file, &relative, &latin1, &truncated, &restart, &partial})
        EXPECT_EQ(o->finish_calls, 1);
    EXPECT_EQ(count(kUpload), 0u);
}

TEST_F(DropboxUpload, AnnouncedSizeAboveTheLimitIsRefusedWithItsDetails)
{
    start();
    handle()->max_upload = 1000;
    host::Outcome too_large = upload_text("/a.bin", std::string(1001, 'a'), 1001);
    EXPECT_EQ(too_large.reply_code(), 451);
    EXPECT_EQ(too_large.error_code(), "QUOTA_EXCEEDED");
    EXPECT_EQ(detail(too_large, "Dropbox-Path"), "/a.bin");
    EXPECT_EQ(detail(too_large, "Dropbox-Upload-Size"), "1001");
    EXPECT_EQ(detail(too_large, "Dropbox-Max-Upload-Size"), "1000");
    EXPECT_EQ(detail(too_large, "Dropbox-Error"), "Upload size is too large.");
    EXPECT_FALSE(too_large.transfer_begun);
    EXPECT_EQ(count(kUpload), 0u);

    host::Outcome negative = upload_text("/a.bin", "a", -5);
    EXPECT_EQ(negative.error_code(), "QUOTA_EXCEEDED");
    EXPECT_EQ(detail(negative, "Dropbox-Upload-Size"), "-5");

    host::Outcome at_limit = upload_text("/a.bin", std::string(1000, 'a'), 1000);
    EXPECT_TRUE(at_limit.ok()) << at_limit.chain_text();
    EXPECT_EQ(count(kUpload), 1u);
}

class DropboxTeamUpload : public DropboxUpload {
protected:
    EmulatorOptions options() const override
    {
        EmulatorOptions o;
        o.accounts[0].home_namespace_id = "2000";
        return o;
    }
};

TEST_F(DropboxTeamUpload, TheTeamRootIsNotWritable)
{
    emu_->make_folder("/Team");
    start();
    host::Outcome root = upload_text("/a.txt", "x", 1);
    EXPECT_EQ(root.reply_code(), 550);
    EXPECT_EQ(root.error_code(), "PERMISSION_DENIED");
    EXPECT_EQ(detail(root, "Dropbox-Path"), "/");
    EXPECT_EQ(detail(root, "Dropbox-Error"), "Invalid path for a write operation.");
    EXPECT_TRUE(calls().empty());

    host::Outcome below = upload_text("/Team/a.txt", "x", 1);
    EXPECT_TRUE(below.ok()) << below.chain_text();
}

TEST_F(DropboxUpload, DataBeyondOrShortOfTheAnnouncedSizeFailsAndChangesNothing)
{
    emu_->put_file("/much.txt", "original");
    emu_->put_file("/check.txt", "original");
    start();
    host::Outcome too_much = upload_text("/much.txt", "0123456789", 5);
    EXPECT_EQ(too_much.reply_code(), 451);
    EXPECT_EQ(too_much.error_code(), "QUOTA_EXCEEDED");
    EXPECT_EQ(detail(too_much, "Dropbox-Path"), "/much.txt");
    EXPECT_EQ(detail(too_much, "Dropbox-Error"), "Too much data was sent.");
    // The service never got the whole body: the original stays.
    EXPECT_EQ(emu_->read_file("/much.txt"), "original");

    // One byte too many that arrives together with the end of the stream is
    // still too much.
    host::Outcome one_more = upload_text("/one_more.txt", "012345", 5);
    EXPECT_EQ(one_more.reply_code(), 451) << one_more.chain_text();
    EXPECT_EQ(one_more.error_code(), "QUOTA_EXCEEDED");
    EXPECT_EQ(detail(one_more, "Dropbox-Error"), "Too much data was sent.");
    EXPECT_FALSE(emu_->exists("/one_more.txt"));

    host::Outcome too_little = upload_text("/short.txt", "01234", 10);
    EXPECT_FALSE(too_little.ok());
    EXPECT_NE(too_little.chain_text().find("Fewer bytes were received than announced"), std::string::npos)
        << too_little.chain_text();
    EXPECT_FALSE(emu_->exists("/short.txt"));
    EXPECT_EQ(count(kUpload), 3u);
    EXPECT_EQ(too_much.finish_calls + one_more.finish_calls + too_little.finish_calls, 3);

    // An abort (or a lost client) after the announced bytes, before the end
    // of the data: the body took one read, the wait for the end the second.
    auto check_fails = std::make_shared<host::MemoryChannel>("0123456789X");
    check_fails->fail_read_at(2);
    host::Outcome check = upload("/check.txt", check_fails, 10);
    EXPECT_EQ(check.reply_code(), 426) << check.chain_text();
    EXPECT_EQ(emu_->read_file("/check.txt"), "original");

    // A failing client channel fails the upload with the host's error.
    auto broken = std::make_shared<host::MemoryChannel>("abcdef");
    broken->fail_read_at(1);
    host::Outcome failed = upload("/broken.txt", broken, 6);
    EXPECT_FALSE(failed.ok());
    EXPECT_FALSE(emu_->exists("/broken.txt"));
}

TEST_F(DropboxUpload, OnlyAnAttemptThatTookNoDataIsRepeated)
{
    start();
    const char *fault = R"({"path": "/2/files/upload", "action": "status", "status": 503,
                            "headers": {"Retry-After": "0"}})";
    // An empty stream (held in memory, as any unannounced size within a
    // piece): the failed attempt is repeated.
    emu_->add_fault(fault);
    host::Outcome empty = upload_text("/empty.txt", "", 0);
    EXPECT_TRUE(empty.ok()) << empty.chain_text();
    EXPECT_EQ(count(kUpload), 2u);

    // Bytes already taken from the client cannot be sent again.
    emu_->clear_log();
    emu_->add_fault(fault);
    host::Outcome data = upload_text("/data.txt", "some data", 9);
    EXPECT_EQ(data.reply_code(), 500) << data.chain_text();
    EXPECT_EQ(data.error_code(), "INTERNAL_ERROR");
    EXPECT_EQ(count(kUpload), 1u);
    EXPECT_FALSE(emu_->exists("/data.txt"));

    // A connection cut in the middle of the body is not repeated either.
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/upload", "action": "cut", "side": "request", "after_bytes": 1000})");
    host::Outcome cut = upload("/cut.bin", std::make_shared<host::GeneratorChannel>(1 << 20, 3), 1 << 20);
    EXPECT_FALSE(cut.ok());
    EXPECT_EQ(count(kUpload), 1u);
    EXPECT_EQ(cut.finish_calls, 1);
}

TEST_F(DropboxUpload, UnknownSizeWithinOnePieceIsOneRequestWithItsHash)
{
    start();
    std::string text(300000, 'q');
    text += "end";
    // Held in memory, the piece is sent again after a failed attempt.
    emu_->add_fault(R"({"path": "/2/files/upload", "status": 503, "headers": {"Retry-After": "0"}})");
    host::Outcome outcome = upload_text("/unknown.txt", text, 0);
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(emu_->read_file("/unknown.txt"), text);
    EXPECT_EQ(count(kUpload), 2u);
    EXPECT_EQ(count(kStart), 0u);
    EXPECT_EQ(header(kUpload, "Dropbox-API-Arg", 1),
              R"({"path": "/unknown.txt", "mode": "overwrite", "content_hash": ")" + reference_hash(text) + R"("})");
}

TEST_F(DropboxUpload, StoredBytesOtherThanSentAreTakenBackBeforeTheFailure)
{
    emu_->put_file("/h.txt", "previous contents");
    emu_->put_file("/raced.txt", "previous contents");
    start();
    // The service stores other bytes than it was sent: the previous version
    // comes back as the current one.
    emu_->add_fault(R"({"path": "/2/files/upload", "action": "corrupt"})");
    host::Outcome restored = upload_text("/h.txt", "hello", 5);
    EXPECT_EQ(restored.reply_code(), 550) << restored.chain_text();
    EXPECT_EQ(restored.error_code(), "INCORRECT_CHECKSUM");
    // The service's hash of "hello", as the facility computes it.
    EXPECT_NE(restored.message().find("GridFTP-Computed-Checksum: "
                                      "9595c9df90075148eb06860365df33584b75bff782a510c6cd4883a419833d50"),
              std::string::npos)
        << restored.message();
    EXPECT_EQ(detail(restored, "Dropbox-Path"), "/h.txt");
    EXPECT_NE(detail(restored, "Dropbox-Error").find("the previous version was restored"), std::string::npos);
    EXPECT_EQ(emu_->read_file("/h.txt"), "previous contents");
    ASSERT_NE(cached("/h.txt"), nullptr);
    EXPECT_EQ(cached("/h.txt")->size, 17u);

    // A file that did not exist before is removed.
    emu_->add_fault(R"({"path": "/2/files/upload", "action": "corrupt"})");
    host::Outcome removed = upload_text("/new.txt", "hello", 5);
    EXPECT_EQ(removed.error_code(), "INCORRECT_CHECKSUM");
    EXPECT_FALSE(emu_->exists("/new.txt"));
    EXPECT_EQ(cached("/new.txt"), nullptr);
    EXPECT_EQ(arg("/2/files/delete_v2").find(R"("parent_rev":")"), 1u) << arg("/2/files/delete_v2");

    // Another client's version written in between is left alone.
    emu_->add_fault(R"({"path": "/2/files/upload", "action": "corrupt"})");
    emu_->add_fault(R"({"path": "/2/files/list_revisions", "action": "replace", "file": "/raced.txt",
                        "body": "theirs"})");
    host::Outcome raced = upload_text("/raced.txt", "hello", 5);
    EXPECT_EQ(raced.error_code(), "INCORRECT_CHECKSUM");
    EXPECT_EQ(emu_->read_file("/raced.txt"), "theirs");

    // A piece sent with its hash is refused before anything is stored.
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/upload", "action": "corrupt"})");
    host::Outcome refused = upload_text("/h.txt", "unannounced", 0);
    EXPECT_EQ(refused.error_code(), "INCORRECT_CHECKSUM") << refused.chain_text();
    EXPECT_EQ(emu_->read_file("/h.txt"), "previous contents");
    EXPECT_EQ(count("/2/files/list_revisions"), 0u);
}

} // namespace
} // namespace orvel::test
