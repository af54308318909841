// Data channels: memory offsets and gaps, the generated stream and files.
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace orvel::host;

class ChannelsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Host::activate_module(&orvel_i_common_module); }
};

// The reply code of a failed result (the error is released).
int reply_code_of(orvel_result_t rc)
{
    orvel_object_t *error = orvel_error_get(rc);
    int code = orvel_gfs_error_get_ftp_response_code(error);
    orvel_object_free(error);
    return code;
}

int errno_of(orvel_result_t rc)
{
    orvel_object_t *error = orvel_error_get(rc);
    int value = orvel_gfs_error_get_system_errno(error);
    orvel_object_free(error);
    return value;
}

TEST_F(ChannelsTest, MemoryWritesLandAtTheirOffsetsWithGapsZeroFilled)
{
    MemoryChannel channel;
    ASSERT_EQ(channel.write("world", 5, 6), ORVEL_SUCCESS);
    ASSERT_EQ(channel.write("hello", 5, 0), ORVEL_SUCCESS);
    EXPECT_EQ(channel.written(), std::string("hello\0world", 11));
    ASSERT_EQ(channel.write("XY", 2, 20), ORVEL_SUCCESS);
    EXPECT_EQ(channel.written().size(), 22u);
    EXPECT_EQ(channel.written().substr(11, 9), std::string(9, '\0'));
    // Overwrite in the middle keeps the length.
    ASSERT_EQ(channel.write("W", 1, 6), ORVEL_SUCCESS);
    EXPECT_EQ(channel.written().substr(0, 11), std::string("hello\0World", 11));
    auto log = channel.write_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], (std::pair<int64_t, size_t>{6, 5}));
    EXPECT_EQ(log[2], (std::pair<int64_t, size_t>{20, 2}));
    orvel_result_t rc = channel.write("x", 1, -1);
    EXPECT_NE(rc, ORVEL_SUCCESS);
    orvel_error_discard(rc);
}

TEST_F(ChannelsTest, MemoryWriteFarBeyondMemoryIsAnErrorNotACrash)
{
    MemoryChannel channel;
    ASSERT_EQ(channel.write("ab", 2, 0), ORVEL_SUCCESS);
    EXPECT_EQ(reply_code_of(channel.write("xyzw", 4, INT64_MAX - 1)), 451);
    EXPECT_EQ(channel.written(), "ab");
    EXPECT_EQ(channel.write_log().size(), 1u);
}

TEST_F(ChannelsTest, MemoryReadsStreamTheInputAndFlagTheEnd)
{
    MemoryChannel channel("abcdefg");
    char buffer[4];
    size_t n = 0;
    bool eof = true;
    ASSERT_EQ(channel.read(buffer, 4, &n, &eof), ORVEL_SUCCESS);
    EXPECT_EQ(std::string(buffer, n), "abcd");
    EXPECT_FALSE(eof);
    ASSERT_EQ(channel.read(buffer, 4, &n, &eof), ORVEL_SUCCESS);
    EXPECT_EQ(std::string(buffer, n), "efg");
    EXPECT_TRUE(eof);
    ASSERT_EQ(channel.read(buffer, 4, &n, &eof), ORVEL_SUCCESS);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(eof);
    EXPECT_EQ(channel.bytes_read(), 7u);

    MemoryChannel empty;
    ASSERT_EQ(empty.read(buffer, 4, &n, &eof), ORVEL_SUCCESS);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(eof);
}

TEST_F(ChannelsTest, MemoryReadFailureOnRequest)
{
    MemoryChannel channel("abcdefgh");
    channel.fail_read_at(2);
    char buffer[3];
    size_t n = 0;
    bool eof = false;
    ASSERT_EQ(channel.read(buffer, 3, &n, &eof), ORVEL_SUCCESS);
    orvel_result_t rc = channel.read(buffer, 3, &n, &eof);
    ASSERT_NE(rc, ORVEL_SUCCESS);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(reply_code_of(rc), 426);
    ASSERT_EQ(channel.read(buffer, 3, &n, &eof), ORVEL_SUCCESS);
    EXPECT_EQ(std::string(buffer, n), "def"); // nothing was lost by the failed read
}

TEST_F(ChannelsTest, NullChannelCountsAndReadsNothing)
{
    NullChannel channel;
    char buffer[8] = {};
    EXPECT_EQ(channel.write(buffer, 8, 100), ORVEL_SUCCESS);
    EXPECT_EQ(channel.write(buffer, 3, 0), ORVEL_SUCCESS);
    EXPECT_EQ(channel.bytes_written(), 11u);
    size_t n = 1;
    bool eof = false;
    EXPECT_EQ(channel.read(buffer, 8, &n, &eof), ORVEL_SUCCESS);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(eof);
}

std::string read_all(DataChannel &channel, size_t piece)
{
    std::string all;
    std::string buffer(piece, '\0');
    for (;;) {
        size_t n = 0;
        bool eof = false;
        EXPECT_EQ(channel.read(buffer.data(), piece, &n, &eof), ORVEL_SUCCESS);
        all.append(buffer.data(), n);
        if (eof) {
            return all;
        }
    }
}

TEST_F(ChannelsTest, GeneratorIsDeterministicWhateverThePieceSize)
{
    GeneratorChannel a(10007, 42), b(10007, 42), c(10007, 43);
    std::string whole = read_all(a, 4096);
    ASSERT_EQ(whole.size(), 10007u);
    EXPECT_EQ(read_all(b, 3), whole);
    EXPECT_NE(read_all(c, 4096), whole);
    for (uint64_t i : {0ull, 1ull, 7ull, 8ull, 9ull, 10006ull}) {
        EXPECT_EQ(static_cast<unsigned char>(whole[i]), GeneratorChannel::generated_byte(42, i)) << i;
    }
    EXPECT_EQ(a.bytes_read(), 10007u);
    // Not a constant stream.
    EXPECT_NE(whole.find_first_not_of(whole[0]), std::string::npos);
    orvel_result_t rc = a.write("x", 1, 0);
    EXPECT_NE(rc, ORVEL_SUCCESS);
    orvel_error_discard(rc);
}

TEST_F(ChannelsTest, HugeGeneratorNeedsNoMemoryForItsSize)
{
    // A terabyte stream with the address space capped at 256 MiB above what
    // the process already maps: nothing is allocated in proportion to the size.
    uint64_t mapped_kib = 0;
    std::ifstream proc_status("/proc/self/status");
    for (std::string line; std::getline(proc_status, line);) {
        if (line.rfind("VmSize:", 0) == 0) {
            mapped_kib = std::strtoull(line.c_str() + 7, nullptr, 10);
        }
    }
    ASSERT_GT(mapped_kib, 0u);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rlim_t cap = static_cast<rlim_t>(mapped_kib * 1024 + (256ull << 20));
        struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            _exit(4);
        }
        GeneratorChannel channel(1ull << 40, 1);
        char buffer[1 << 16];
        size_t n = 0;
        bool eof = true;
        for (int i = 0; i < 16; ++i) {
            if (channel.read(buffer, sizeof buffer, &n, &eof) != ORVEL_SUCCESS || n != sizeof buffer || eof) {
                _exit(2);
            }
        }
        _exit(channel.bytes_read() == 16u * sizeof buffer ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ChannelsTest, FileChannelWritesAtOffsetsAndStreamsReads)
{
    char pattern[] = "/tmp/orvel-host-file-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string path = pattern;
    {
        FileChannel out(path, "w");
        ASSERT_TRUE(out.ok());
        ASSERT_EQ(out.write("67890", 5, 5), ORVEL_SUCCESS);
        ASSERT_EQ(out.write("12345", 5, 0), ORVEL_SUCCESS);
        orvel_result_t rc = out.write("x", 1, -3);
        EXPECT_NE(rc, ORVEL_SUCCESS);
        orvel_error_discard(rc);
    }
    FileChannel in(path, "r");
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(read_all(in, 3), "1234567890");
    unlink(path.c_str());

    FileChannel missing(path + "-missing", "r");
    EXPECT_FALSE(missing.ok());
    char buffer[4];
    size_t n = 0;
    bool eof = false;
    orvel_result_t rc = missing.read(buffer, 4, &n, &eof);
    ASSERT_NE(rc, ORVEL_SUCCESS);
    EXPECT_EQ(errno_of(rc), ENOENT);
}

} // namespace
