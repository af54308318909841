// The session's path cache and upload-session table.
#include "orvel_common.h"
#include "orvel_dropbox_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class CacheTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(orvel_module_activate(&orvel_i_common_module), 0);
        held_before_ = orvel_error_held_count();
        ASSERT_EQ(orvel_dropbox_path_cache_init(&cache_), ORVEL_SUCCESS);
    }
    void TearDown() override
    {
        orvel_hashtable_destroy_all(&cache_, [](void *datum) {
            orvel_dropbox_path_info_free(static_cast<orvel_dropbox_path_info_t *>(datum));
        });
        EXPECT_EQ(orvel_error_held_count(), held_before_);
        orvel_module_deactivate(&orvel_i_common_module);
    }

    // Enters a record with leaf `name` under `base` (the record is a local one,
    // as a parse would leave it).
    void enter(const char *name, const char *base, int type = ORVEL_DROPBOX_FILE, uint64_t size = 0)
    {
        orvel_dropbox_path_info_t info{};
        info.name = strdup(name);
        info.id = strdup((std::string("id:") + name).c_str());
        info.type = type;
        info.size = size;
        ASSERT_EQ(orvel_dropbox_path_cache_update(&cache_, &info, base), ORVEL_SUCCESS);
        orvel_dropbox_path_info_free(&info);
    }
    orvel_dropbox_path_info_t *query(const char *path) { return orvel_dropbox_path_cache_query(&cache_, path); }

    orvel_hashtable_t cache_ = nullptr;
    size_t held_before_ = 0;
};

TEST_F(CacheTable, FreshCacheHoldsOnlyTheUnlistedRoot)
{
    orvel_dropbox_path_info_t *root = query("/");
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->name, "/");
    EXPECT_STREQ(root->id, "/");
    EXPECT_EQ(root->type, ORVEL_DROPBOX_FOLDER);
    EXPECT_FALSE(root->listed);
    EXPECT_TRUE(root->freeme);
    EXPECT_EQ(orvel_hashtable_size(&cache_), 1);
}

TEST_F(CacheTable, KeysJoinBaseAndLeafName)
{
    enter("docs", "/");
    enter("docs", "/a");
    enter("plain", nullptr);
    enter("empty", "");
    EXPECT_NE(query("/docs"), nullptr);
    EXPECT_NE(query("/a/docs"), nullptr);
    EXPECT_NE(query("plain"), nullptr);
    EXPECT_NE(query("empty"), nullptr);
    EXPECT_STREQ(query("/a/docs")->name, "/a/docs");
    // No trailing separator; letters compare as the service compares names,
    // without regard to case.
    EXPECT_EQ(query("/a/docs/"), nullptr);
    EXPECT_EQ(query("/A/DOCS"), query("/a/docs"));
    enter("\xc3\x89t\xc3\xa9", "/"); // "Été"
    EXPECT_NE(query("/\xc3\xa9T\xc3\x89"), nullptr);
    EXPECT_EQ(query("/ete"), nullptr);

    // A new spelling of a present name replaces the entry and its key.
    enter("Docs", "/", ORVEL_DROPBOX_FOLDER);
    EXPECT_STREQ(query("/docs")->name, "/Docs");
    EXPECT_EQ(orvel_hashtable_size(&cache_), 6);
}

TEST_F(CacheTable, ReplacementReleasesTheOldRecordAndClearsListed)
{
    enter("a", "/", ORVEL_DROPBOX_FOLDER);
    query("/a")->listed = true;
    enter("a", "/", ORVEL_DROPBOX_FILE, 42);
    orvel_dropbox_path_info_t *again = query("/a");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->type, ORVEL_DROPBOX_FILE);
    EXPECT_EQ(again->size, 42u);
    EXPECT_FALSE(again->listed);
    EXPECT_EQ(orvel_hashtable_size(&cache_), 2);
}

TEST_F(CacheTable, ReplacementKeepsTheEntryFindableAndDropsStoredDigests)
{
    enter("f", "/a");
    query("/a/f")->md5 = strdup("d41d8cd98f00b204e9800998ecf8427e");
    enter("f", "/a", ORVEL_DROPBOX_FILE, 7);
    orvel_dropbox_path_info_t *again = query("/a/f");
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again->name, "/a/f");
    EXPECT_EQ(again->md5, nullptr);
    EXPECT_EQ(again->size, 7u);

    // The root entered again without a base path stays the one root entry.
    orvel_dropbox_path_info_t root = orvel_i_dropbox_vfs_root_info;
    root.listed = true;
    ASSERT_EQ(orvel_dropbox_path_cache_update(&cache_, &root, nullptr), ORVEL_SUCCESS);
    EXPECT_TRUE(query("/")->listed);
    EXPECT_EQ(orvel_hashtable_size(&cache_), 2);

    // The table still finds each entry by its record's own name.
    EXPECT_EQ(orvel_dropbox_path_cache_remove(&cache_, "/a/f"), ORVEL_SUCCESS);
    EXPECT_EQ(query("/a/f"), nullptr);
    EXPECT_EQ(orvel_hashtable_size(&cache_), 1);
}

TEST_F(CacheTable, RecordWithoutNameIsRefused)
{
    orvel_dropbox_path_info_t info{};
    info.type = ORVEL_DROPBOX_FILE;
    orvel_result_t result = orvel_dropbox_path_cache_update(&cache_, &info, "/");
    EXPECT_NE(result, ORVEL_SUCCESS);
    orvel_error_discard(result);
    EXPECT_EQ(orvel_hashtable_size(&cache_), 1);
}

TEST_F(CacheTable, RemoveOfMissingPathSucceeds)
{
    EXPECT_EQ(orvel_dropbox_path_cache_remove(&cache_, "/nothing"), ORVEL_SUCCESS);
    enter("x", "/");
    EXPECT_EQ(orvel_dropbox_path_cache_remove(&cache_, "/x"), ORVEL_SUCCESS);
    EXPECT_EQ(query("/x"), nullptr);
    EXPECT_NE(query("/"), nullptr);
}

TEST_F(CacheTable, RemoveTreeTakesTheSubtreeButNotSiblingsWithTheSamePrefix)
{
    enter("a", "/", ORVEL_DROPBOX_FOLDER);
    enter("ab", "/", ORVEL_DROPBOX_FILE);
    enter("b", "/a", ORVEL_DROPBOX_FOLDER);
    enter("c.txt", "/a/b");
    enter("a", "/ab");
    // The path handed in may be the key of a removed record itself.
    EXPECT_EQ(orvel_dropbox_path_cache_remove_tree(&cache_, query("/a")->name), ORVEL_SUCCESS);
    EXPECT_EQ(query("/a"), nullptr);
    EXPECT_EQ(query("/a/b"), nullptr);
    EXPECT_EQ(query("/a/b/c.txt"), nullptr);
    EXPECT_NE(query("/ab"), nullptr);
    EXPECT_NE(query("/ab/a"), nullptr);
    EXPECT_NE(query("/"), nullptr);
}

TEST_F(CacheTable, RemoveTreeOfRootKeepsTheRootUnlisted)
{
    query("/")->listed = true;
    enter("a", "/", ORVEL_DROPBOX_FOLDER);
    enter("b", "/a");
    EXPECT_EQ(orvel_dropbox_path_cache_remove_tree(&cache_, "/"), ORVEL_SUCCESS);
    ASSERT_NE(query("/"), nullptr);
    EXPECT_FALSE(query("/")->listed);
    EXPECT_EQ(orvel_hashtable_size(&cache_), 1);
}

orvel_dropbox_upload_session_t *new_upload(const char *name, const char *id, const char *modtime)
{
    auto *upload = static_cast<orvel_dropbox_upload_session_t *>(calloc(1, sizeof(orvel_dropbox_upload_session_t)));
    upload->name = strdup(name);
    upload->id = strdup(id);
    upload->modtime = modtime != nullptr ? strdup(modtime) : nullptr;
    upload->part_size = ORVEL_DROPBOX_PART_SIZE;
    return upload;
}

TEST(UploadTable, InsertReplaceQueryRemove)
{
    ASSERT_EQ(orvel_module_activate(&orvel_i_common_module), 0);
    orvel_hashtable_t table = nullptr;
    ASSERT_EQ(orvel_dropbox_upload_state_init(&table), ORVEL_SUCCESS);
    EXPECT_EQ(orvel_dropbox_upload_state_query(&table, "/big.bin"), nullptr);

    ASSERT_EQ(orvel_dropbox_upload_state_update(&table, new_upload("/big.bin", "s1", nullptr), "/big.bin"),
              ORVEL_SUCCESS);
    // A second session for the same path replaces (and releases) the first.
    ASSERT_EQ(
        orvel_dropbox_upload_state_update(&table, new_upload("/big.bin", "s2", "2020-01-01T00:00:00Z"), "/big.bin"),
        ORVEL_SUCCESS);
    orvel_dropbox_upload_session_t *found = orvel_dropbox_upload_state_query(&table, "/big.bin");
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->id, "s2");
    EXPECT_EQ(orvel_hashtable_size(&table), 1);

    // Updating with the stored record itself keeps it.
    EXPECT_EQ(orvel_dropbox_upload_state_update(&table, found, "/big.bin"), ORVEL_SUCCESS);
    EXPECT_EQ(orvel_dropbox_upload_state_query(&table, "/big.bin"), found);

    EXPECT_EQ(orvel_dropbox_upload_state_remove(&table, "/big.bin"), ORVEL_SUCCESS);
    EXPECT_EQ(orvel_dropbox_upload_state_query(&table, "/big.bin"), nullptr);
    EXPECT_EQ(orvel_dropbox_upload_state_remove(&table, "/big.bin"), ORVEL_SUCCESS);

    ASSERT_EQ(orvel_dropbox_upload_state_update(&table, new_upload("/left.bin", "s3", nullptr), "/left.bin"),
              ORVEL_SUCCESS);
    orvel_hashtable_destroy_all(&table, [](void *datum) {
        orvel_dropbox_upload_session_free(static_cast<orvel_dropbox_upload_session_t *>(datum));
    });
    orvel_dropbox_upload_session_free(nullptr);
    orvel_module_deactivate(&orvel_i_common_module);
}

} // namespace
