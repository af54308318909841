// Conversion of cached records to stat records, and the path helpers.
#include "orvel_dropbox_common.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class CacheStat : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(orvel_module_activate(&orvel_i_common_module), 0); }
    void TearDown() override { orvel_module_deactivate(&orvel_i_common_module); }
};

TEST_F(CacheStat, Djb2OverSignedBytes)
{
    EXPECT_EQ(orvel_dropbox_djb2("/"), 177620u);
    EXPECT_EQ(orvel_dropbox_djb2("000000"), 2069258213u);
    EXPECT_EQ(orvel_dropbox_djb2(""), 5381u);
    // A byte above 0x7f counts as negative: 5381 * 33 - 1.
    EXPECT_EQ(orvel_dropbox_djb2("\xff"), 5381u * 33u - 1u);
}

TEST_F(CacheStat, RootConvertsToFolderRecord)
{
    orvel_gridftp_server_control_stat_t stat{};
    ASSERT_EQ(orvel_dropbox_info_to_stat(nullptr, &orvel_i_dropbox_vfs_root_info, &stat), ORVEL_SUCCESS);
    EXPECT_EQ(stat.mode, 16832);
    EXPECT_EQ(stat.nlink, 1);
    EXPECT_STREQ(stat.name, "/");
    EXPECT_EQ(stat.symlink_target, nullptr);
    EXPECT_EQ(stat.ino, 177620);
    EXPECT_EQ(stat.dev, static_cast<int>(2069258213u));
    EXPECT_EQ(stat.size, 0);
    EXPECT_EQ(stat.mtime, 0);
    EXPECT_EQ(stat.uid, 0u);
    EXPECT_EQ(stat.gid, 0u);
    free(stat.name);
}

TEST_F(CacheStat, FileAndUnknownKindsUseTheFileMode)
{
    orvel_dropbox_path_info_t info{};
    info.name = const_cast<char *>("/a/b.txt");
    info.id = const_cast<char *>("id:b");
    info.type = ORVEL_DROPBOX_UNKNOWN;
    info.size = 12;
    info.modtime = 1556706030;
    orvel_gridftp_server_control_stat_t stat{};
    orvel_dropbox_info_to_stat(nullptr, &info, &stat);
    EXPECT_EQ(stat.mode, 33216);
    EXPECT_EQ(stat.size, 12);
    EXPECT_EQ(stat.atime, 1556706030);
    EXPECT_EQ(stat.ctime, 1556706030);
    EXPECT_EQ(stat.mtime, 1556706030);
    EXPECT_EQ(stat.ino, static_cast<int>(orvel_dropbox_djb2("id:b")));
    free(stat.name);

    // A record without id or name still converts.
    orvel_dropbox_path_info_t bare{};
    bare.type = ORVEL_DROPBOX_FOLDER;
    orvel_dropbox_info_to_stat(nullptr, &bare, &stat);
    EXPECT_EQ(stat.mode, 16832);
    EXPECT_EQ(stat.name, nullptr);
}

TEST_F(CacheStat, ParentPaths)
{
    struct Case {
        const char *path;
        const char *parent;
    } cases[] = {{"/", "/"}, {"/a", "/"}, {"/a/b", "/a"}, {"/a/b/", "/a/b"}, {"/a/b/c.txt", "/a/b"}};
    for (const Case &c : cases) {
        orvel_result_t result = ORVEL_FAILURE;
        char *parent = orvel_dropbox_parent_path(c.path, &result);
        ASSERT_NE(parent, nullptr) << c.path;
        EXPECT_STREQ(parent, c.parent) << c.path;
        EXPECT_EQ(result, ORVEL_SUCCESS);
        free(parent);
    }
}

TEST_F(CacheStat, PathWithoutSeparatorHasNoParent)
{
    orvel_result_t result = ORVEL_SUCCESS;
    EXPECT_EQ(orvel_dropbox_parent_path("name", &result), nullptr);
    ASSERT_NE(result, ORVEL_SUCCESS);
    orvel_object_t *error = orvel_error_get(result);
    EXPECT_EQ(orvel_gfs_error_get_ftp_response_code(error), 553);
    EXPECT_STREQ(orvel_gfs_error_get_ftp_response_error_code(error), "INVALID_PATH_NAME");
    orvel_object_free(error);
    EXPECT_EQ(orvel_dropbox_parent_path("", nullptr), nullptr);
}

} // namespace
