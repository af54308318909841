// Path resolution and the stat slot: what is answered from the cache, which
// folders get listed, and the batches handed to the host.
#include "dropbox_session_fixture.hpp"

#include <filesystem>
#include <fstream>

namespace orvel::test {
namespace {

class StatResolve : public DropboxSession {
protected:
    // Sizes of the batches: the partial ones, then the final one.
    static std::vector<size_t> batch_sizes(const host::Outcome &outcome)
    {
        std::vector<size_t> sizes;
        for (const auto &batch : outcome.stat_batches)
            sizes.push_back(batch.size());
        return sizes;
    }
};

TEST_F(StatResolve, RootOfAFreshSessionNeedsNoCall)
{
    start();
    host::Outcome outcome = stat("/");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    std::vector<host::StatEntry> stats = outcome.all_stats();
    ASSERT_EQ(stats.size(), 1u);
    const host::StatEntry &root = stats[0];
    EXPECT_EQ(root.name, "/");
    EXPECT_EQ(root.mode, 16832);
    EXPECT_EQ(root.ino, 177620);
    EXPECT_EQ(root.dev, static_cast<int>(2069258213u));
    EXPECT_TRUE(calls().empty());

    // With the parent asked for, "/" is listed once and is its own parent.
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    ASSERT_EQ(orvel_dropbox_path_resolve(handle(), "/", &entry, &parent), ORVEL_SUCCESS);
    EXPECT_EQ(entry, parent);
    EXPECT_TRUE(entry->listed);
    EXPECT_EQ(count(kListFolder), 1u);
}

TEST_F(StatResolve, NestedPathWithParentListsEachLevelOnce)
{
    emu_->put_file("/a/b", "bee");
    start();
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    ASSERT_EQ(orvel_dropbox_path_resolve(handle(), "/a/b", &entry, &parent), ORVEL_SUCCESS);
    ASSERT_NE(entry, nullptr);
    ASSERT_NE(parent, nullptr);
    EXPECT_STREQ(entry->name, "/a/b");
    EXPECT_STREQ(parent->name, "/a");
    EXPECT_TRUE(parent->listed);
    EXPECT_TRUE(cached("/")->listed);
    ASSERT_EQ(count(kListFolder), 2u);
    EXPECT_NE(arg(kListFolder, 0).find(R"("path":"")"), std::string::npos);
    EXPECT_NE(arg(kListFolder, 1).find(R"("path":"/a")"), std::string::npos);
}

TEST_F(StatResolve, NestedPathWithoutParentListsOnlyTheParent)
{
    emu_->put_file("/a/b", "bee");
    start();
    orvel_dropbox_path_info_t *entry = nullptr;
    ASSERT_EQ(orvel_dropbox_path_resolve(handle(), "/a/b", &entry, nullptr), ORVEL_SUCCESS);
    EXPECT_STREQ(entry->name, "/a/b");
    ASSERT_EQ(count(kListFolder), 1u);
    EXPECT_NE(arg(kListFolder).find(R"("path":"/a")"), std::string::npos);
    // Only the children are known; /a itself is not cached.
    EXPECT_EQ(cached("/a"), nullptr);
}

TEST_F(StatResolve, MissingChildOfAListedFolderNeedsNoCall)
{
    emu_->put_file("/a/b", "bee");
    start();
    // Without the parent asked for, /a's children are listed but /a itself is
    // not cached, so it cannot be marked as listed.
    host::Outcome first = stat("/a/nothing");
    EXPECT_EQ(first.reply_code(), 550);
    EXPECT_EQ(first.error_code(), "PATH_NOT_FOUND");
    EXPECT_NE(first.message().find("\"/a/nothing\""), std::string::npos) << first.message();
    // The single stat hands over one zeroed record with the error.
    std::vector<host::StatEntry> stats = first.all_stats();
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].mode, 0);

    ASSERT_TRUE(stat("/a", false).ok());
    emu_->clear_log();
    EXPECT_EQ(stat("/a/other").error_code(), "PATH_NOT_FOUND");
    // Names compare as the service compares them: any spelling finds b.
    host::Outcome other_case = stat("/A/B");
    ASSERT_TRUE(other_case.ok()) << other_case.chain_text();
    EXPECT_EQ(other_case.all_stats()[0].name, "/a/b");
    EXPECT_TRUE(stat("/a/b").ok());
    EXPECT_TRUE(calls().empty());
}

TEST_F(StatResolve, TrailingSeparatorIsNotFound)
{
    emu_->put_file("/a/b", "bee");
    start();
    EXPECT_TRUE(stat("/a").ok());
    host::Outcome outcome = stat("/a/");
    EXPECT_EQ(outcome.error_code(), "PATH_NOT_FOUND");
}

TEST_F(StatResolve, SingleStatNamesTheFullPathListingTheLeaf)
{
    emu_->put_file("/a/b.txt", "twelve bytes");
    start();
    host::Outcome single = stat("/a/b.txt");
    ASSERT_TRUE(single.ok()) << single.chain_text();
    ASSERT_EQ(single.all_stats().size(), 1u);
    EXPECT_EQ(single.all_stats()[0].name, "/a/b.txt");
    EXPECT_EQ(single.all_stats()[0].size, 12);
    EXPECT_EQ(single.all_stats()[0].mode, 33216);

    host::Outcome listing = stat("/a", false);
    ASSERT_TRUE(listing.ok()) << listing.chain_text();
    EXPECT_EQ(names(listing), (std::vector<std::string>{".", "b.txt"}));
    EXPECT_EQ(listing.all_stats()[0].mode, 16832);
}

TEST_F(StatResolve, BatchesOfAHundred)
{
    emu_->make_folder("/empty");
    seed_files("/n99", 99, "c%03d");
    seed_files("/n100", 100, "c%03d");
    seed_files("/n250", 250, "c%03d");
    start();

    host::Outcome empty = stat("/empty", false);
    ASSERT_TRUE(empty.ok()) << empty.chain_text();
    EXPECT_EQ(batch_sizes(empty), (std::vector<size_t>{1}));
    EXPECT_EQ(empty.all_stats()[0].name, ".");

    host::Outcome n99 = stat("/n99", false);
    ASSERT_TRUE(n99.ok());
    EXPECT_EQ(batch_sizes(n99), (std::vector<size_t>{100, 0}));

    host::Outcome n100 = stat("/n100", false);
    ASSERT_TRUE(n100.ok());
    EXPECT_EQ(batch_sizes(n100), (std::vector<size_t>{100, 1}));

    host::Outcome n250 = stat("/n250", false);
    ASSERT_TRUE(n250.ok());
    EXPECT_EQ(batch_sizes(n250), (std::vector<size_t>{100, 100, 51}));
    std::vector<std::string> all = names(n250);
    EXPECT_EQ(all.front(), ".");
    EXPECT_EQ(all.back(), "c249");
}

TEST_F(StatResolve, RootListingReportsDotWithRootIdentity)
{
    emu_->put_file("/x", "1");
    start();
    host::Outcome listing = stat("/", false);
    ASSERT_TRUE(listing.ok());
    std::vector<host::StatEntry> stats = listing.all_stats();
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_EQ(stats[0].name, ".");
    EXPECT_EQ(stats[0].ino, 177620);
    EXPECT_EQ(stats[0].mtime, 0);
    EXPECT_EQ(stats[1].name, "x");
}

TEST_F(StatResolve, EntriesOfOtherKindsAreNeitherReportedNorFound)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200, "body": {"entries": [
        {".tag": "deleted", "name": "gone", "id": "id:gone"},
        {".tag": "deleted", "name": "no-id", "path_lower": "/no-id"},
        {".tag": "file", "name": "kept", "id": "id:kept", "size": 5}], "has_more": false}})");
    host::Outcome listing = stat("/", false);
    ASSERT_TRUE(listing.ok()) << listing.chain_text();
    EXPECT_EQ(names(listing), (std::vector<std::string>{".", "kept"}));
    EXPECT_EQ(batch_sizes(listing), (std::vector<size_t>{2}));

    emu_->clear_log();
    EXPECT_EQ(stat("/gone").error_code(), "PATH_NOT_FOUND");
    EXPECT_EQ(stat("/no-id").error_code(), "PATH_NOT_FOUND");
    EXPECT_TRUE(calls().empty());
}

TEST_F(StatResolve, ListingAFileFailsWithDotReported)
{
    emu_->put_file("/f.txt", "data");
    start();
    host::Outcome listing = stat("/f.txt", false);
    EXPECT_FALSE(listing.ok());
    EXPECT_TRUE(listing.finished);
    EXPECT_EQ(listing.finish_calls, 1);
    EXPECT_EQ(names(listing), (std::vector<std::string>{"."}));
    EXPECT_EQ(listing.all_stats()[0].mode, 33216);
    EXPECT_NE(listing.chain_text().find("not_folder"), std::string::npos) << listing.chain_text();
}

TEST_F(StatResolve, ListingFailuresKeepTheirMeaning)
{
    start();
    // The service failing is no answer about the path: transient, with the cause.
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 500, "count": 2})");
    host::Outcome failing = stat("/nowhere/x");
    EXPECT_EQ(failing.reply_code(), 451) << failing.chain_text();
    EXPECT_NE(failing.chain_text().find("500 INTERNAL_ERROR"), std::string::npos) << failing.chain_text();
    host::Outcome listing = stat("/nowhere", false);
    EXPECT_EQ(listing.reply_code(), 451) << listing.chain_text();

    // A folder the service does not have: its children are not found.
    emu_->clear_faults();
    EXPECT_EQ(stat("/nowhere/x").error_code(), "PATH_NOT_FOUND");

    // A refused token is final, and says so.
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 401, "body":
        {"error_summary": "expired_access_token/..", "error": {".tag": "expired_access_token"}}})");
    host::Outcome refused = stat("/elsewhere/x");
    EXPECT_EQ(refused.reply_code(), 550);
    EXPECT_EQ(refused.error_code(), "PERMISSION_DENIED");
    EXPECT_NE(refused.message().find("expired"), std::string::npos) << refused.message();
}

TEST_F(StatResolve, OutputsAreLookedUpAgainAfterAListingFailedPartWay)
{
    emu_->put_file("/a/f", "old");
    start();
    // /a is listed, then re-entered (unlisted) by a second listing of the root.
    ASSERT_TRUE(stat("/a/f").ok());
    ASSERT_TRUE(stat("/", false).ok());
    ASSERT_FALSE(cached("/a")->listed);
    ASSERT_NE(cached("/a/f"), nullptr);

    // The next listing of /a replaces /a/f, then fails on an untagged entry.
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200, "body": {"entries": [
        {".tag": "file", "name": "f", "id": "id:fresh", "size": 7},
        {"name": "broken", "id": "id:broken"}], "has_more": false}})");
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_path_info_t *parent = nullptr;
    orvel_result_t result = orvel_dropbox_path_resolve(handle(), "/a/f", &entry, &parent);
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    EXPECT_EQ(entry, cached("/a/f"));
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->id, "id:fresh");
    EXPECT_EQ(parent, cached("/a"));
    EXPECT_FALSE(parent->listed);
}

} // namespace
} // namespace orvel::test

namespace orvel::test {
namespace {

TEST_F(StatResolve, FailedTokenRenewalAnswersWithoutRecordsOrCalls)
{
    emu_->put_file("/f.txt", "f");
    // A credential about to expire and nothing to renew it from: the first
    // operation of each session fails before any call.
    const std::string expiring = emu_->credential_json(0, Emulator::expiry_in(50));
    start({{"creds", expiring}});
    host::Outcome outcome = stat("/f.txt");
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_TRUE(outcome.all_stats().empty());

    start({{"creds", expiring}});
    host::TransferRequest request;
    request.pathname = "/f.txt";
    request.channel = std::make_shared<host::MemoryChannel>();
    host::Outcome sent = session_->send(request);
    EXPECT_FALSE(sent.ok());
    EXPECT_FALSE(sent.transfer_begun);

    start({{"creds", expiring}});
    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/new");
    EXPECT_FALSE(made.ok());
    EXPECT_EQ(made.finish_calls, 1);
    EXPECT_TRUE(calls().empty());
}

} // namespace
} // namespace orvel::test
