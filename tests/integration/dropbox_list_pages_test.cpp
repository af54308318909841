// Folder listing through the API: request bodies, pagination, cache keys and
// failures part-way.
#include "dropbox_session_fixture.hpp"

#include <filesystem>
#include <fstream>

namespace orvel::test {
namespace {

using ListPages = DropboxSession;

TEST_F(ListPages, RootIsListedWithEmptyPathAndChildrenKeyedBelowSlash)
{
    emu_->put_file("/a.txt", "hello");
    emu_->make_folder("/docs");
    emu_->put_file("/docs/inner.txt", "x");
    start();

    host::Outcome listing = stat("/", false);
    ASSERT_TRUE(listing.ok()) << listing.chain_text();
    EXPECT_EQ(names(listing), (std::vector<std::string>{".", "a.txt", "docs"}));
    EXPECT_EQ(arg_in_order(kListFolder), R"({"path":"","limit":1000,"include_non_downloadable_files":false})");

    ASSERT_NE(cached("/a.txt"), nullptr);
    ASSERT_NE(cached("/docs"), nullptr);
    EXPECT_EQ(cached("/docs")->type, ORVEL_DROPBOX_FOLDER);
    EXPECT_TRUE(cached("/")->listed);

    // A sub-folder's listing names it by path and keys its children below it.
    emu_->clear_log();
    host::Outcome sub = stat("/docs", false);
    ASSERT_TRUE(sub.ok()) << sub.chain_text();
    EXPECT_EQ(arg(kListFolder), R"({"include_non_downloadable_files":false,"limit":1000,"path":"/docs"})");
    ASSERT_NE(cached("/docs/inner.txt"), nullptr);
    EXPECT_EQ(cached("/docs/inner.txt")->size, 1u);
}

TEST_F(ListPages, PagesContinueUntilHasMoreEnds)
{
    seed_files("/big", 1205);
    start();

    host::Outcome listing = stat("/big", false);
    ASSERT_TRUE(listing.ok()) << listing.chain_text();
    EXPECT_EQ(listing.all_stats().size(), 1206u); // "." and every child
    // The root was listed to find /big, then /big's two pages.
    EXPECT_EQ(count(kListFolder), 2u);
    ASSERT_EQ(count(kListContinue), 1u);
    std::string continued = arg(kListContinue);
    EXPECT_EQ(continued.rfind(R"({"cursor":")", 0), 0u) << continued;
    EXPECT_EQ(continued.find("path"), std::string::npos);
    EXPECT_NE(cached("/big/f0000"), nullptr);
    EXPECT_NE(cached("/big/f1204"), nullptr);
    EXPECT_TRUE(cached("/big")->listed);
}

TEST_F(ListPages, ChildWithoutTagFailsWithEarlierChildrenCached)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200, "body": {"entries": [
        {".tag": "file", "name": "first.txt", "id": "id:first", "size": 3},
        {"name": "untagged", "id": "id:untagged"},
        {".tag": "file", "name": "after.txt", "id": "id:after"}], "has_more": false}})");
    host::Outcome listing = stat("/", false);
    EXPECT_FALSE(listing.ok());
    EXPECT_NE(listing.chain_text().find("Failed info_parse!"), std::string::npos) << listing.chain_text();
    // What was gathered before the failure is in the final reply.
    EXPECT_EQ(names(listing), (std::vector<std::string>{".", "first.txt"}));
    ASSERT_NE(cached("/first.txt"), nullptr);
    EXPECT_STREQ(cached("/first.txt")->id, "id:first");
    EXPECT_EQ(cached("/untagged"), nullptr);
    EXPECT_EQ(cached("/after.txt"), nullptr);
    EXPECT_FALSE(cached("/")->listed);
}

TEST_F(ListPages, MoreWithoutCursorFailsClearly)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200,
        "body": {"entries": [], "has_more": true}})");
    orvel_result_t result = orvel_dropbox_get_folder_items(handle(), "/", nullptr, nullptr);
    ASSERT_NE(result, ORVEL_SUCCESS);
    char *text = orvel_error_print_chain(orvel_error_peek(result));
    EXPECT_NE(std::string(text).find("no cursor"), std::string::npos) << text;
    free(text);
    orvel_error_discard(result);
    EXPECT_EQ(count(kListFolder), 1u);
    EXPECT_EQ(count(kListContinue), 0u);
}

TEST_F(ListPages, CursorThatDoesNotAdvanceEndsTheListing)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200,
        "body": {"entries": [{".tag": "file", "name": "one", "id": "id:one"}], "has_more": true, "cursor": "c1"}})");
    emu_->add_fault(R"({"path": "/2/files/list_folder/continue", "status": 200, "count": 5,
        "body": {"entries": [{".tag": "file", "name": "two", "id": "id:two"}], "has_more": true, "cursor": "c1"}})");
    orvel_result_t result = orvel_dropbox_get_folder_items(handle(), "/", nullptr, nullptr);
    ASSERT_NE(result, ORVEL_SUCCESS);
    char *text = orvel_error_print_chain(orvel_error_peek(result));
    EXPECT_NE(std::string(text).find("did not advance"), std::string::npos) << text;
    free(text);
    orvel_error_discard(result);
    EXPECT_EQ(count(kListContinue), 1u);
    EXPECT_NE(cached("/one"), nullptr);
    emu_->clear_faults();
}

TEST_F(ListPages, CursorsThatGoRoundEndTheListing)
{
    start();
    const char *page = R"({"path": "%s", "status": 200, "nth": %d,
        "body": {"entries": [{".tag": "file", "name": "f%d", "id": "id:f%d"}], "has_more": true, "cursor": "%s"}})";
    char rule[512];
    snprintf(rule, sizeof rule, page, kListFolder, 1, 0, 0, "c1");
    emu_->add_fault(rule);
    // c1 -> c2 -> c1 -> ...
    for (int n = 1; n <= 4; ++n) {
        snprintf(rule, sizeof rule, page, kListContinue, n, n, n, n % 2 == 1 ? "c2" : "c1");
        emu_->add_fault(rule);
    }
    orvel_result_t result = orvel_dropbox_get_folder_items(handle(), "/", nullptr, nullptr);
    ASSERT_NE(result, ORVEL_SUCCESS);
    char *text = orvel_error_print_chain(orvel_error_peek(result));
    EXPECT_NE(std::string(text).find("earlier cursor"), std::string::npos) << text;
    free(text);
    orvel_error_discard(result);
    EXPECT_EQ(count(kListContinue), 2u);
    emu_->clear_faults();
}

TEST_F(ListPages, EntriesThatAreNotAnArrayFail)
{
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 200, "body": {"entries": {}, "has_more": false}})");
    host::Outcome listing = stat("/", false);
    EXPECT_NE(listing.chain_text().find("listing response was not array"), std::string::npos) << listing.chain_text();
}

struct StopAt {
    int seen = 0;
    int stop_at = 3;
};

orvel_result_t stop_at_third(orvel_dropbox_handle_t *, const char *, const orvel_dropbox_path_info_t *, void *arg)
{
    auto *stop = static_cast<StopAt *>(arg);
    if (++stop->seen == stop->stop_at)
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "stop here"));
    return ORVEL_SUCCESS;
}

TEST_F(ListPages, CallbackErrorStopsFurtherPages)
{
    seed_files("/big", 1001);
    start();
    orvel_error_discard(orvel_dropbox_path_resolve(handle(), "/big", nullptr, nullptr));
    emu_->clear_log();

    StopAt stop;
    orvel_result_t result = orvel_dropbox_get_folder_items(handle(), "/big", stop_at_third, &stop);
    ASSERT_NE(result, ORVEL_SUCCESS);
    EXPECT_STREQ(orvel_error_get_message(orvel_error_peek(result)), "stop here");
    orvel_error_discard(result);
    EXPECT_EQ(stop.seen, 3);
    EXPECT_EQ(count(kListContinue), 0u);
    EXPECT_NE(cached("/big/f0002"), nullptr); // the third entry is cached before its callback
    EXPECT_EQ(cached("/big/f0003"), nullptr);
}

TEST_F(ListPages, RetryableFailureOfAPageIsRepeatedOnce)
{
    emu_->put_file("/a.txt", "a");
    start();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 429})");
    host::Outcome listing = stat("/", false);
    ASSERT_TRUE(listing.ok()) << listing.chain_text();
    EXPECT_EQ(count(kListFolder), 2u);

    emu_->clear_log();
    emu_->add_fault(R"({"path": "/2/files/list_folder", "status": 429, "count": 2})");
    listing = stat("/", false);
    EXPECT_EQ(listing.reply_code(), 451);
    EXPECT_EQ(listing.error_code(), "TOO_BUSY");
    EXPECT_EQ(count(kListFolder), 2u);
}

} // namespace
} // namespace orvel::test
