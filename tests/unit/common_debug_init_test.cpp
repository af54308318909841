// Debug-log initialisation from the environment.
#include "orvel_common.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

constexpr const char *env_name = "ORVEL_COMMON_TEST_DEBUG";
constexpr const char *names = "TRACE DEBUG INFO WARN ERROR";

class DebugInitTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/orvel-debug-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        close_handle();
        unlink(path("log").c_str());
        rmdir(dir.c_str());
        unsetenv(env_name);
    }

    orvel_debug_handle_t init(const char *value)
    {
        close_handle();
        if (value == nullptr) {
            unsetenv(env_name);
        } else {
            setenv(env_name, value, 1);
        }
        orvel_debug_init(env_name, names, &handle);
        return handle;
    }

    void close_handle()
    {
        if (handle.using_file && handle.file != nullptr) {
            fclose(handle.file);
        }
        handle = {};
    }

    std::string path(const char *leaf) const { return dir + "/" + leaf; }

    static std::string read(const std::string &file)
    {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir;
    orvel_debug_handle_t handle{};
};

TEST_F(DebugInitTest, UnsetOrEmptyMeansNoOutput)
{
    orvel_debug_handle_t h = {31, 31, stdout, true, true};
    unsetenv(env_name);
    orvel_debug_init(env_name, names, &h); // every field is overwritten
    EXPECT_EQ(h.levels, 0u);
    EXPECT_EQ(h.timestamp_levels, 0u);
    EXPECT_EQ(h.file, nullptr);
    EXPECT_FALSE(h.thread_ids);
    EXPECT_FALSE(h.using_file);
    h = init("");
    EXPECT_EQ(h.levels, 0u);
    EXPECT_EQ(h.file, nullptr);
}

TEST_F(DebugInitTest, LevelsByNumberNameOrAll)
{
    orvel_debug_handle_t h = init("17");
    EXPECT_EQ(h.levels, 17u);
    EXPECT_EQ(h.file, stderr);
    EXPECT_FALSE(h.using_file);
    EXPECT_EQ(h.timestamp_levels, 0u);

    EXPECT_EQ(init("ERROR").levels, 16u);
    EXPECT_EQ(init("trace|Warn").levels, 9u);
    EXPECT_EQ(init(" DEBUG | INFO ").levels, 6u);
    EXPECT_EQ(init("ALL").levels, 31u);
    EXPECT_EQ(init("all").levels, 31u);
    // Unknown names are ignored; numbers may be mixed with names.
    EXPECT_EQ(init("NOISE|ERROR").levels, 16u);
    EXPECT_EQ(init("TRACE|4").levels, 5u);
}

TEST_F(DebugInitTest, NoLevelsMeansNoStream)
{
    orvel_debug_handle_t h = init(("NOISE," + path("log")).c_str());
    EXPECT_EQ(h.levels, 0u);
    EXPECT_EQ(h.file, nullptr);
    EXPECT_NE(access(path("log").c_str(), F_OK), 0) << "no file for a silent log";
    EXPECT_EQ(init("0").file, nullptr);
}

TEST_F(DebugInitTest, StandardErrorSpellings)
{
    EXPECT_EQ(init("ERROR,").file, stderr);
    EXPECT_EQ(init("ERROR,-").file, stderr);
    EXPECT_FALSE(init("ERROR,-").using_file);
}

TEST_F(DebugInitTest, FileIsTruncatedOrAppended)
{
    std::string log = path("log");
    {
        std::ofstream(log) << "old\n";
    }
    orvel_debug_handle_t h = init(("ALL," + log).c_str());
    ASSERT_NE(h.file, nullptr);
    EXPECT_NE(h.file, stderr);
    EXPECT_TRUE(h.using_file);
    fputs("first\n", h.file);
    close_handle();
    EXPECT_EQ(read(log), "first\n");

    h = init(("ALL,#" + log).c_str());
    ASSERT_TRUE(h.using_file);
    fputs("second\n", h.file);
    close_handle();
    EXPECT_EQ(read(log), "first\nsecond\n");
}

TEST_F(DebugInitTest, LinesReachTheFileWithoutClosing)
{
    std::string log = path("log");
    orvel_debug_handle_t h = init(("ALL," + log).c_str());
    ASSERT_TRUE(h.using_file);
    fputs("line\n", h.file);
    EXPECT_EQ(read(log), "line\n");
}

TEST_F(DebugInitTest, UnopenableFileFallsBackToStandardError)
{
    orvel_debug_handle_t h = init(("ALL," + path("missing/dir/log")).c_str());
    EXPECT_EQ(h.levels, 31u);
    EXPECT_EQ(h.file, stderr);
    EXPECT_FALSE(h.using_file);
}

TEST_F(DebugInitTest, TimestampLevelsAndThreads)
{
    orvel_debug_handle_t h = init("ALL,,TRACE|ERROR");
    EXPECT_EQ(h.levels, 31u);
    EXPECT_EQ(h.file, stderr);
    EXPECT_EQ(h.timestamp_levels, 17u);
    EXPECT_FALSE(h.thread_ids);

    h = init("ERROR,-,3,threads");
    EXPECT_EQ(h.timestamp_levels, 3u);
    EXPECT_TRUE(h.thread_ids);

    EXPECT_TRUE(init("ERROR,-,0,THREADS").thread_ids);
    EXPECT_TRUE(init("ERROR,-,,other|threads").thread_ids);
    EXPECT_FALSE(init("ERROR,-,,thread").thread_ids);
    // Timestamp levels may name levels that are not enabled.
    EXPECT_EQ(init("ERROR,-,ALL").timestamp_levels, 31u);
}

TEST_F(DebugInitTest, NullArgumentsAreSafe)
{
    orvel_debug_init(env_name, names, nullptr);
    orvel_debug_handle_t h{};
    orvel_debug_init(nullptr, names, &h);
    EXPECT_EQ(h.file, nullptr);
    setenv(env_name, "ALL", 1);
    orvel_debug_init(env_name, nullptr, &h);
    EXPECT_EQ(h.levels, UINT32_MAX); // no names: ALL is every bit
}

} // namespace
