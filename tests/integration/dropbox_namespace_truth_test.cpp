// What a session answers about the account is what the account holds: the
// cache follows complete listings, sibling sessions' changes, changes made
// elsewhere (after the maximum age), "not found" answers of the service, and
// the service's case-insensitive names.
#include "dropbox_session_fixture.hpp"

#include <filesystem>

namespace orvel::test {
namespace {

class NamespaceTruth : public DropboxSession {
protected:
    void remove_behind_the_back(const std::string &path) const { std::filesystem::remove_all(emu_->ns_dir() + path); }
    host::Outcome upload(host::Session &session, const std::string &path, const std::string &text)
    {
        host::TransferRequest request;
        request.pathname = path;
        request.channel = std::make_shared<host::MemoryChannel>(text);
        request.alloc_size = static_cast<int64_t>(text.size());
        return session.recv(request);
    }
    uint64_t size_of(const std::string &path)
    {
        host::Outcome outcome = stat(path);
        EXPECT_TRUE(outcome.ok()) << path << ": " << outcome.chain_text();
        return outcome.ok() ? static_cast<uint64_t>(outcome.all_stats()[0].size) : 0;
    }
};

TEST_F(NamespaceTruth, ACompleteListingDropsWhatIsGone)
{
    emu_->put_file("/docs/sub/x.txt", "x");
    emu_->put_file("/docs/kept.txt", "k");
    start();
    ASSERT_TRUE(stat("/docs/sub/x.txt").ok());
    ASSERT_TRUE(stat("/docs", false).ok());
    remove_behind_the_back("/docs/sub");

    host::Outcome listing = stat("/docs", false);
    ASSERT_TRUE(listing.ok()) << listing.chain_text();
    EXPECT_EQ(names(listing), (std::vector<std::string>{".", "kept.txt"}));
    EXPECT_EQ(cached("/docs/sub"), nullptr);
    EXPECT_EQ(cached("/docs/sub/x.txt"), nullptr);
    EXPECT_NE(cached("/docs/kept.txt"), nullptr);

    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/docs/sub");
    ASSERT_TRUE(made.ok()) << made.chain_text();
    EXPECT_EQ(count(kCreateFolder), 1u);
    EXPECT_TRUE(emu_->exists("/docs/sub"));
}

TEST_F(NamespaceTruth, ASiblingSessionsChangesAreSeenAtOnce)
{
    emu_->make_folder("/t");
    start();
    host::Outcome started;
    std::unique_ptr<host::Session> sibling =
        host::Host::start_session("dropbox", "ann", host::fixed_config({{"creds", emu_->credential_json()}}), &started);
    ASSERT_TRUE(sibling != nullptr) << started.chain_text();
    ASSERT_TRUE(stat("/t", false).ok()); // empty, and listed

    host::CommandRequest mkd;
    mkd.command = ORVEL_GFS_CMD_MKD;
    mkd.pathname = "/t/new";
    ASSERT_TRUE(sibling->command(mkd).ok());
    ASSERT_TRUE(upload(*sibling, "/t/f.txt", "hello").ok());

    emu_->clear_log();
    EXPECT_TRUE(stat("/t/new").ok());
    EXPECT_EQ(size_of("/t/f.txt"), 5u);
    EXPECT_EQ(count(kGetMetadata), 2u); // one question per name, no listing
    EXPECT_EQ(count(kListFolder), 0u);

    // Nothing changed since: answered from the cache.
    emu_->clear_log();
    EXPECT_EQ(size_of("/t/f.txt"), 5u);
    EXPECT_TRUE(stat("/t/new").ok());
    EXPECT_TRUE(calls().empty());

    host::CommandRequest dele;
    dele.command = ORVEL_GFS_CMD_DELE;
    dele.pathname = "/t/f.txt";
    ASSERT_TRUE(sibling->command(dele).ok());
    EXPECT_EQ(stat("/t/f.txt").error_code(), "PATH_NOT_FOUND");
    sibling.reset();
}

TEST_F(NamespaceTruth, OlderKnowledgeIsConfirmedWithTheService)
{
    emu_->put_file("/f", "12345");
    emu_->make_folder("/d");
    start();
    EXPECT_EQ(size_of("/f"), 5u);
    ASSERT_TRUE(stat("/d").ok());

    // Changed elsewhere, then asked after the maximum age.
    emu_->put_file("/f", "nineteen bytes long");
    emu_->put_file("/new", "n");
    remove_behind_the_back("/d");
    orvel_i_dropbox_metadata_max_age_ms = 0;
    EXPECT_EQ(size_of("/f"), 19u);
    EXPECT_TRUE(stat("/new").ok());
    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/d");
    ASSERT_TRUE(made.ok()) << made.chain_text();
    EXPECT_EQ(count(kCreateFolder), 1u);
    EXPECT_TRUE(emu_->exists("/d"));

    // What cannot be confirmed answers nothing: not the old size either.
    emu_->add_fault(R"({"path": "/2/files/get_metadata", "status": 503})");
    host::Outcome unconfirmed = stat("/f");
    EXPECT_EQ(unconfirmed.reply_code(), 451) << unconfirmed.chain_text();
}

TEST_F(NamespaceTruth, NotFoundFromTheServiceRemovesThePathAndWhatIsBelow)
{
    emu_->put_file("/a/b/c.txt", "c");
    start();
    ASSERT_TRUE(stat("/a/b").ok());
    ASSERT_TRUE(stat("/a/b/c.txt").ok());
    ASSERT_NE(cached("/a/b/c.txt"), nullptr);
    remove_behind_the_back("/a");

    EXPECT_EQ(stat("/a/b", false).error_code(), "PATH_NOT_FOUND");
    EXPECT_EQ(cached("/a/b"), nullptr);
    EXPECT_EQ(cached("/a/b/c.txt"), nullptr);
}

TEST_F(NamespaceTruth, NamesCompareWithoutRegardToCase)
{
    emu_->put_file("/docs/Case.txt", "nineteen bytes long");
    start();
    ASSERT_TRUE(stat("/docs", false).ok());
    EXPECT_EQ(size_of("/docs/case.txt"), 19u); // the same file, whatever the spelling

    ASSERT_TRUE(upload(*session_, "/docs/case.txt", "six b.").ok());
    EXPECT_EQ(emu_->read_file("/docs/Case.txt"), "six b.");
    EXPECT_EQ(size_of("/docs/Case.txt"), 6u);
    EXPECT_EQ(size_of("/docs/CASE.TXT"), 6u);
    host::Outcome listing = stat("/docs", false);
    EXPECT_EQ(names(listing), (std::vector<std::string>{".", "Case.txt"}));
}

TEST_F(NamespaceTruth, AnUploadWhoseFolderCannotBeLookedUpIsNoNotFound)
{
    emu_->make_folder("/docs");
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 503, "count": 2})");
    host::Outcome stored = upload(*session_, "/docs/new.txt", "data");
    EXPECT_EQ(stored.reply_code(), 451) << stored.chain_text();
    EXPECT_EQ(count("/2/files/upload"), 0u);
}

} // namespace
} // namespace orvel::test
