// Command dispatch and the namespace commands: make directory, delete and
// rename, with what they leave in the session's cache.
#include "dropbox_session_fixture.hpp"

#include <atomic>

namespace orvel::test {
namespace {

class CommandNamespace : public DropboxSession {
protected:
    host::Outcome rename(const std::string &from, const std::string &to)
    {
        return command(ORVEL_GFS_CMD_RNTO, to, from);
    }
};

TEST_F(CommandNamespace, UnsupportedCommandsAreRefusedWithoutACall)
{
    start();
    for (int type : {0, static_cast<int>(ORVEL_GFS_CMD_SITE_AUTHZ_ASSERT), static_cast<int>(ORVEL_GFS_CMD_RNFR),
                     static_cast<int>(ORVEL_GFS_CMD_SITE_CHMOD), static_cast<int>(ORVEL_GFS_CMD_TRNC),
                     static_cast<int>(ORVEL_GFS_MIN_SITE_CMD), static_cast<int>(ORVEL_GFS_MIN_CUSTOM_CMD)}) {
        host::Outcome outcome = command(static_cast<orvel_gfs_command_type_t>(type), "/x");
        EXPECT_EQ(outcome.reply_code(), 500) << type;
        EXPECT_EQ(outcome.error_code(), "NOT_IMPLEMETED") << type;
        EXPECT_EQ(outcome.finish_calls, 1);
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(CommandNamespace, ExpiringTokenIsRenewedBeforeMkd)
{
    std::string stale = emu_->credential_json(0, Emulator::expiry_in(50));
    std::string::size_type at = stale.find("token-ann");
    ASSERT_NE(at, std::string::npos);
    stale.replace(at, 9, "token-old");
    std::string fresh = emu_->credential_json();
    auto renewals = std::make_shared<std::atomic<int>>(0);
    host::Outcome started;
    session_ = host::Host::start_session(
        "dropbox", "ann",
        [stale, fresh, renewals](const std::string &key) -> std::optional<std::string> {
            if (key == "creds")
                return stale;
            if (key == "renew-creds") {
                ++*renewals;
                return fresh;
            }
            return std::nullopt;
        },
        &started);
    ASSERT_TRUE(session_ != nullptr) << started.chain_text();

    host::Outcome outcome = command(ORVEL_GFS_CMD_MKD, "/made");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_GE(renewals->load(), 1);
    EXPECT_TRUE(emu_->exists("/made"));
}

TEST_F(CommandNamespace, MkdAnswersFromTheCacheWhereItCan)
{
    emu_->make_folder("/dir");
    emu_->put_file("/file", "f");
    start();

    host::Outcome existing = command(ORVEL_GFS_CMD_MKD, "/dir");
    ASSERT_TRUE(existing.ok()) << existing.chain_text();
    EXPECT_EQ(existing.reply_text, "/dir");
    EXPECT_EQ(count(kCreateFolder), 0u);

    host::Outcome onto_file = command(ORVEL_GFS_CMD_MKD, "/file");
    EXPECT_EQ(onto_file.reply_code(), 553);
    EXPECT_EQ(onto_file.error_code(), "NOT_A_DIRECTORY");
    EXPECT_EQ(onto_file.reply_text, "/file");

    host::Outcome no_parent = command(ORVEL_GFS_CMD_MKD, "/missing/sub");
    EXPECT_EQ(no_parent.reply_code(), 550);
    EXPECT_EQ(no_parent.error_code(), "PATH_NOT_FOUND");
    EXPECT_NE(no_parent.message().find("\"/missing\""), std::string::npos) << no_parent.message();

    host::Outcome under_file = command(ORVEL_GFS_CMD_MKD, "/file/sub");
    EXPECT_EQ(under_file.error_code(), "NOT_A_DIRECTORY");
    EXPECT_NE(under_file.message().find("/file"), std::string::npos);
    EXPECT_EQ(count(kCreateFolder), 0u);
}

TEST_F(CommandNamespace, MkdCreatesAndCachesTheFolder)
{
    emu_->make_folder("/a");
    start();
    host::Outcome outcome = command(ORVEL_GFS_CMD_MKD, "/a/b");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(outcome.reply_text, "/a/b");
    EXPECT_EQ(arg(kCreateFolder), R"({"path":"/a/b"})");
    EXPECT_TRUE(emu_->exists("/a/b"));

    emu_->clear_log();
    host::Outcome after = stat("/a/b");
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.all_stats()[0].mode, 16832);
    EXPECT_TRUE(calls().empty());
}

TEST_F(CommandNamespace, MkdWithoutSeparatorIsAnInvalidName)
{
    start();
    host::Outcome outcome = command(ORVEL_GFS_CMD_MKD, "plain");
    EXPECT_EQ(outcome.reply_code(), 553);
    EXPECT_EQ(outcome.error_code(), "INVALID_PATH_NAME");
    EXPECT_TRUE(calls().empty());
}

TEST_F(CommandNamespace, PathsThatAreNotUtf8AreInvalidNames)
{
    emu_->put_file("/a.txt", "a");
    start();
    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/bad\xff");
    EXPECT_EQ(made.reply_code(), 553);
    EXPECT_EQ(made.error_code(), "INVALID_PATH_NAME");
    EXPECT_EQ(made.finish_calls, 1);

    host::Outcome moved = rename("/a.txt", "/bad\xc3");
    EXPECT_EQ(moved.reply_code(), 553);
    EXPECT_EQ(moved.error_code(), "INVALID_PATH_NAME");
    EXPECT_EQ(count(kCreateFolder), 0u);
    EXPECT_EQ(count(kMove), 0u);
}

TEST_F(CommandNamespace, ConflictIsTranslatedAndNotRepeated)
{
    start();
    // A conflict the service claims but cannot confirm: the reply names the path.
    emu_->add_fault(R"({"path": "/2/files/create_folder_v2", "status": 409, "body":
        {"error_summary": "path/conflict/folder/..", "error": {".tag": "path"}}})");
    host::Outcome outcome = command(ORVEL_GFS_CMD_MKD, "/new");
    EXPECT_EQ(outcome.reply_code(), 553);
    EXPECT_EQ(outcome.error_code(), "PATH_EXISTS");
    EXPECT_EQ(outcome.message(), "GridFTP-Path: /new");
    EXPECT_NE(outcome.chain_text().find("path/conflict/folder"), std::string::npos) << outcome.chain_text();
    EXPECT_EQ(count(kCreateFolder), 1u);
}

TEST_F(CommandNamespace, RacesWithOtherClientsAnswerWhatTheAccountHolds)
{
    emu_->put_file("/src.txt", "s");
    start();
    ASSERT_TRUE(stat("/", false).ok()); // the root is listed: nothing below is asked for again

    // Another client made the folder first: the same success as any MKD of
    // an existing folder.
    emu_->make_folder("/raced");
    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/raced");
    ASSERT_TRUE(made.ok()) << made.chain_text();
    EXPECT_EQ(count(kCreateFolder), 1u);
    ASSERT_NE(cached("/raced"), nullptr);
    EXPECT_EQ(cached("/raced")->type, ORVEL_DROPBOX_FOLDER);

    // Another client took the destination first: the reply names it.
    emu_->put_file("/taken.txt", "t");
    host::Outcome moved = rename("/src.txt", "/taken.txt");
    EXPECT_EQ(moved.reply_code(), 553);
    EXPECT_EQ(moved.error_code(), "PATH_EXISTS");
    EXPECT_EQ(moved.message(), "GridFTP-Path: /taken.txt");
}

TEST_F(CommandNamespace, RepliesLostAfterTheServiceActedAreNoFailures)
{
    emu_->put_file("/a.txt", "a");
    start();
    ASSERT_TRUE(stat("/a.txt").ok());
    // Each call is carried out, its reply cut short; the repeated attempt
    // meets what the first one did.
    const char *cut = R"({"path": "%s", "action": "cut", "side": "response", "after_bytes": 0})";
    auto cut_reply_of = [&](const char *endpoint) {
        char rule[256];
        snprintf(rule, sizeof rule, cut, endpoint);
        emu_->add_fault(rule);
    };

    cut_reply_of(kMove);
    host::Outcome moved = rename("/a.txt", "/b.txt");
    ASSERT_TRUE(moved.ok()) << moved.chain_text();
    EXPECT_EQ(count(kMove), 2u);
    EXPECT_EQ(cached("/a.txt"), nullptr);
    ASSERT_NE(cached("/b.txt"), nullptr);
    EXPECT_EQ(stat("/a.txt").error_code(), "PATH_NOT_FOUND");

    cut_reply_of(kCreateFolder);
    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/new");
    ASSERT_TRUE(made.ok()) << made.chain_text();
    EXPECT_EQ(count(kCreateFolder), 2u);
    EXPECT_TRUE(stat("/new").ok());

    cut_reply_of(kDelete);
    host::Outcome removed = command(ORVEL_GFS_CMD_DELE, "/b.txt");
    ASSERT_TRUE(removed.ok()) << removed.chain_text();
    EXPECT_EQ(count(kDelete), 2u);
    EXPECT_FALSE(emu_->exists("/b.txt"));
    EXPECT_EQ(stat("/b.txt").error_code(), "PATH_NOT_FOUND");
}

TEST_F(CommandNamespace, FailedLookupsOfTheTargetAreNoNotFound)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 503})");
    host::Outcome made = command(ORVEL_GFS_CMD_MKD, "/x");
    EXPECT_EQ(made.reply_code(), 451) << made.chain_text();
    EXPECT_EQ(count(kCreateFolder), 0u);
}

class TeamNamespace : public CommandNamespace {
protected:
    EmulatorOptions options() const override
    {
        EmulatorOptions options;
        options.accounts[0].home_namespace_id = "2000";
        return options;
    }
};

TEST_F(TeamNamespace, TeamRootIsRefusedTeamFoldersAreNot)
{
    emu_->make_folder("/team");
    emu_->put_file("/team/f.txt", "f");
    start();
    host::Outcome root = command(ORVEL_GFS_CMD_MKD, "/x");
    EXPECT_EQ(root.reply_code(), 550);
    EXPECT_EQ(root.error_code(), "PERMISSION_DENIED");
    EXPECT_TRUE(calls().empty());

    host::Outcome team = command(ORVEL_GFS_CMD_MKD, "/team/x");
    EXPECT_TRUE(team.ok()) << team.chain_text();
    EXPECT_EQ(count(kCreateFolder), 1u);

    host::Outcome moved = rename("/team/f.txt", "/f.txt");
    EXPECT_EQ(moved.error_code(), "PERMISSION_DENIED");
    EXPECT_EQ(count(kMove), 0u);
}

TEST_F(CommandNamespace, DeletedFolderTakesItsCachedContentsAlong)
{
    emu_->put_file("/d/inner/x.txt", "x");
    start();
    ASSERT_TRUE(stat("/d/inner/x.txt").ok());
    ASSERT_NE(cached("/d/inner/x.txt"), nullptr);

    host::Outcome removed = command(ORVEL_GFS_CMD_RMD, "/d");
    ASSERT_TRUE(removed.ok()) << removed.chain_text();
    EXPECT_EQ(arg(kDelete), R"({"path":"/d"})");
    EXPECT_EQ(cached("/d"), nullptr);
    EXPECT_EQ(cached("/d/inner"), nullptr);
    EXPECT_EQ(cached("/d/inner/x.txt"), nullptr);

    emu_->clear_log();
    host::Outcome after = stat("/d/inner/x.txt");
    EXPECT_EQ(after.error_code(), "PATH_NOT_FOUND");
    EXPECT_GE(count(kListFolder), 1u); // resolved afresh, not from the cache
}

TEST_F(CommandNamespace, DeleteOfAFileAndOfAMissingPath)
{
    emu_->put_file("/f.txt", "f");
    start();
    host::Outcome removed = command(ORVEL_GFS_CMD_DELE, "/f.txt");
    ASSERT_TRUE(removed.ok()) << removed.chain_text();
    EXPECT_TRUE(removed.reply_text_null);
    EXPECT_FALSE(emu_->exists("/f.txt"));

    emu_->clear_log();
    host::Outcome missing = command(ORVEL_GFS_CMD_SITE_RDEL, "/f.txt");
    EXPECT_EQ(missing.error_code(), "PATH_NOT_FOUND");
    EXPECT_EQ(count(kDelete), 0u);
}

TEST_F(CommandNamespace, DeleteOfTheRootFailsAndKeepsIt)
{
    start();
    host::Outcome outcome = command(ORVEL_GFS_CMD_RMD, "/");
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(count(kDelete), 1u);
    EXPECT_EQ(arg(kDelete), R"({"path":"/"})");
    EXPECT_NE(cached("/"), nullptr);
}

TEST_F(CommandNamespace, DeleteRepeatedAfterARetryableFailureSucceedsOnce)
{
    emu_->put_file("/f.txt", "f");
    start();
    ASSERT_TRUE(stat("/f.txt").ok());
    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/delete_v2", "action": "cut", "side": "request", "after_bytes": 0})");
    host::Outcome outcome = command(ORVEL_GFS_CMD_DELE, "/f.txt");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(outcome.finish_calls, 1);
    EXPECT_EQ(count(kDelete), 2u);
    EXPECT_FALSE(emu_->exists("/f.txt"));
}

TEST_F(CommandNamespace, RenameMovesTheCacheEntry)
{
    emu_->put_file("/a.txt", "aaa");
    start();
    host::Outcome outcome = rename("/a.txt", "/b.txt");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(outcome.reply_text, "/b.txt");
    EXPECT_EQ(arg_in_order(kMove), R"({"from_path":"/a.txt","to_path":"/b.txt"})");
    ASSERT_NE(cached("/b.txt"), nullptr);
    EXPECT_EQ(cached("/b.txt")->type, ORVEL_DROPBOX_FILE);
    EXPECT_EQ(cached("/a.txt"), nullptr);

    emu_->clear_log();
    EXPECT_TRUE(stat("/b.txt").ok());
    EXPECT_EQ(stat("/a.txt").error_code(), "PATH_NOT_FOUND");
    EXPECT_TRUE(calls().empty()); // the root is listed: both answered from the cache
}

TEST_F(CommandNamespace, RenamedFolderDropsEverythingBelowTheOldPath)
{
    emu_->put_file("/d/sub/x.txt", "x");
    start();
    ASSERT_TRUE(stat("/d/sub/x.txt").ok());
    host::Outcome outcome = rename("/d", "/e");
    ASSERT_TRUE(outcome.ok()) << outcome.chain_text();
    EXPECT_EQ(cached("/d"), nullptr);
    EXPECT_EQ(cached("/d/sub"), nullptr);
    EXPECT_EQ(cached("/d/sub/x.txt"), nullptr);
    ASSERT_NE(cached("/e"), nullptr);
    EXPECT_EQ(cached("/e")->type, ORVEL_DROPBOX_FOLDER);

    EXPECT_EQ(stat("/d/sub/x.txt").error_code(), "PATH_NOT_FOUND");
    EXPECT_TRUE(stat("/e/sub/x.txt").ok());
}

TEST_F(CommandNamespace, RenameRefusals)
{
    emu_->put_file("/a.txt", "a");
    emu_->put_file("/b.txt", "b");
    start();

    EXPECT_EQ(rename("/a.txt", "/b.txt").error_code(), "PATH_EXISTS");
    host::Outcome onto_itself = rename("/a.txt", "/a.txt");
    EXPECT_EQ(onto_itself.reply_code(), 553);
    EXPECT_EQ(onto_itself.error_code(), "PATH_EXISTS");

    host::Outcome missing = rename("/none.txt", "/c.txt");
    EXPECT_EQ(missing.reply_code(), 550);
    EXPECT_NE(missing.message().find("\"/none.txt\""), std::string::npos) << missing.message();

    host::Outcome no_parent = rename("/a.txt", "/nodir/c.txt");
    EXPECT_EQ(no_parent.error_code(), "PATH_NOT_FOUND");
    EXPECT_NE(no_parent.message().find("\"/nodir\""), std::string::npos) << no_parent.message();

    host::Outcome under_file = rename("/a.txt", "/b.txt/c.txt");
    EXPECT_EQ(under_file.error_code(), "NOT_A_DIRECTORY");

    host::Outcome plain = rename("/a.txt", "plain");
    EXPECT_EQ(plain.reply_code(), 553);
    EXPECT_EQ(plain.error_code(), "INVALID_PATH_NAME");
    EXPECT_EQ(count(kMove), 0u);
}

TEST_F(CommandNamespace, MkdSeesTheRefreshedRecordAfterAListingFailedPartWay)
{
    emu_->put_file("/a/f", "old");
    start();
    ASSERT_TRUE(stat("/a/f").ok());
    ASSERT_TRUE(stat("/", false).ok()); // re-enters /a unlisted, keeps /a/f
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200, "body": {"entries": [
        {".tag": "file", "name": "f", "id": "id:fresh"},
        {"name": "broken", "id": "id:broken"}], "has_more": false}})");
    host::Outcome outcome = command(ORVEL_GFS_CMD_MKD, "/a/f");
    EXPECT_EQ(outcome.error_code(), "NOT_A_DIRECTORY");
    EXPECT_EQ(count(kCreateFolder), 0u);
}

} // namespace
} // namespace orvel::test
