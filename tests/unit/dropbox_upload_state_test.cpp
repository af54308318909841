// The upload state file: creation, sizing, sharing between processes, the
// record lock and the fallback to process memory.
#include "emulator_fixture.hpp"
#include "orvel_dropbox_common.h"
#include "orvel_host.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace {

std::string &test_home()
{
    static std::string home;
    return home;
}

int home_getpwuid_r(uid_t uid, struct passwd *pwd, char *buf, size_t buflen, struct passwd **result)
{
    int rc = orvel_i_dropbox_syscalls_default.getpwuid_r(uid, pwd, buf, buflen, result);
    if (rc == 0 && *result != nullptr) {
        if (test_home().size() + 1 > buflen)
            return ERANGE;
        std::memcpy(buf, test_home().c_str(), test_home().size() + 1);
        pwd->pw_dir = buf;
    }
    return rc;
}

uid_t other_euid()
{
    return getuid() + 4242;
}

void *failing_mmap(void *, size_t, int, int, int, off_t)
{
    errno = ENOMEM;
    return MAP_FAILED;
}

bool all_zero(const void *data, size_t size)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; i++)
        if (bytes[i] != 0)
            return false;
    return true;
}

class UploadStateFile : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(orvel::host::Host::activate_module(&orvel_gridftp_server_dropbox_module), 0);
    }
    static void TearDownTestSuite() { orvel::host::Host::deactivate_module(&orvel_gridftp_server_dropbox_module); }

    void SetUp() override
    {
        test_home() = orvel::test::make_temp_dir("orvel-upload-state");
        ASSERT_EQ(mkdir((test_home() + "/.orvel").c_str(), 0700), 0);
        orvel_i_dropbox_syscalls = orvel_i_dropbox_syscalls_default;
        orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
    }
    void TearDown() override
    {
        orvel_i_dropbox_syscalls = orvel_i_dropbox_syscalls_default;
        orvel::test::remove_tree(test_home());
    }
    std::string folder() const { return test_home() + "/.orvel/dropbox-u"; }
    std::string file(const std::string &name) const { return folder() + "/" + name; }
    static off_t size_of(const std::string &path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
    }
    // A file of `size` bytes at the state file's place, made before create.
    void prepare(const std::string &name, off_t size)
    {
        ASSERT_EQ(mkdir(folder().c_str(), 0700), 0);
        int fd = open(file(name).c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        close(fd);
    }
};

TEST_F(UploadStateFile, NewFileIsZeroedSharedAndPrivateToTheOwner)
{
    orvel_dropbox_upload_state_t state{};
    orvel_i_dropbox_upload_state_create("acct", &state);
    ASSERT_TRUE(state.is);
    ASSERT_GE(state.fd, 0);
    ASSERT_NE(state.shared, nullptr);

    struct stat st;
    ASSERT_EQ(stat(folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(file("acct").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 4248);
    EXPECT_TRUE(all_zero(state.shared, 4248));

    // The record is the file's bytes, in the documented layout.
    std::strcpy(state.shared->id, "sid");
    state.shared->num_parts = 3;
    state.shared->total_size = 314572800;
    std::strcpy(state.shared->name, "/a/b.bin");
    int fd = open(file("acct").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char bytes[4248];
    ASSERT_EQ(pread(fd, bytes, sizeof bytes, 0), 4248);
    close(fd);
    EXPECT_STREQ(bytes, "sid");
    int32_t parts;
    std::memcpy(&parts, bytes + 128, 4);
    EXPECT_EQ(parts, 3);
    uint64_t total;
    std::memcpy(&total, bytes + 144, 8);
    EXPECT_EQ(total, 314572800u);
    EXPECT_STREQ(bytes + 152, "/a/b.bin");

    EXPECT_EQ(orvel_i_dropbox_upload_state_lock(&state, true), ORVEL_SUCCESS);
    EXPECT_EQ(orvel_i_dropbox_upload_state_unlock(&state), ORVEL_SUCCESS);
    orvel_i_dropbox_upload_state_destroy(&state);
    EXPECT_EQ(state.fd, -1);
    EXPECT_EQ(state.shared, nullptr);
}

TEST_F(UploadStateFile, FileOfAnyOtherSizeIsResized)
{
    for (off_t size : {off_t{0}, off_t{10}, off_t{100000}}) {
        SCOPED_TRACE(size);
        orvel::test::remove_tree(folder());
        prepare("acct", size);
        orvel_dropbox_upload_state_t state{};
        orvel_i_dropbox_upload_state_create("acct", &state);
        EXPECT_GE(state.fd, 0);
        EXPECT_EQ(size_of(file("acct")), 4248);
        orvel_i_dropbox_upload_state_destroy(&state);
    }
}

TEST_F(UploadStateFile, SiblingProcessesShareTheRecordAndTheLock)
{
    orvel_dropbox_upload_state_t state{};
    orvel_i_dropbox_upload_state_create("acct", &state);
    ASSERT_GE(state.fd, 0);
    std::strcpy(state.shared->name, "/from/parent");
    ASSERT_EQ(orvel_i_dropbox_upload_state_lock(&state, true), ORVEL_SUCCESS);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        orvel_dropbox_upload_state_t mine{};
        orvel_i_dropbox_upload_state_create("acct", &mine);
        int code = 0;
        if (mine.fd < 0 || std::strcmp(mine.shared->name, "/from/parent") != 0)
            code = 1;
        // The parent holds the lock: the non-waiting form fails with "fnctl".
        orvel_result_t locked = orvel_i_dropbox_upload_state_lock(&mine, false);
        orvel_object_t *error = orvel_error_peek(locked);
        int lock_errno = error != nullptr ? orvel_gfs_error_get_system_errno(error) : 0;
        char *text = error != nullptr ? orvel_error_print_chain(error) : nullptr;
        if (locked == ORVEL_SUCCESS || (lock_errno != EAGAIN && lock_errno != EACCES) || text == nullptr ||
            std::strstr(text, "fnctl") == nullptr)
            code |= 2;
        free(text);
        orvel_error_discard(locked);
        if (mine.fd >= 0)
            mine.shared->total_size = 42;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(state.shared->total_size, 42u);
    EXPECT_EQ(orvel_i_dropbox_upload_state_unlock(&state), ORVEL_SUCCESS);
    orvel_i_dropbox_upload_state_destroy(&state);
}

TEST_F(UploadStateFile, WaitsWhileAnotherProcessPreparesTheFile)
{
    prepare("acct", 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Takes the lock on the empty file, prepares it slowly, then lets go.
        int fd = open(file("acct").c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0)
            _exit(1);
        char go = 'g';
        if (write(ready[1], &go, 1) != 1)
            _exit(2);
        usleep(1500 * 1000);
        if (ftruncate(fd, 4248) != 0 || pwrite(fd, "prepared", 9, 0) != 9)
            _exit(3);
        lock.l_type = F_UNLCK;
        fcntl(fd, F_SETLK, &lock);
        _exit(0);
    }
    close(ready[1]);
    char go = 0;
    ASSERT_EQ(read(ready[0], &go, 1), 1);
    close(ready[0]);

    auto begin = std::chrono::steady_clock::now();
    orvel_dropbox_upload_state_t state{};
    orvel_i_dropbox_upload_state_create("acct", &state);
    auto waited = std::chrono::steady_clock::now() - begin;

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GE(waited, std::chrono::milliseconds(1000));
    ASSERT_GE(state.fd, 0);
    EXPECT_STREQ(state.shared->id, "prepared");
    orvel_i_dropbox_upload_state_destroy(&state);
}

TEST_F(UploadStateFile, UnusableFileFallsBackToProcessMemory)
{
    // A file owned by someone else is not used.
    orvel_i_dropbox_syscalls.geteuid = other_euid;
    orvel_dropbox_upload_state_t foreign{};
    orvel_i_dropbox_upload_state_create("acct", &foreign);
    EXPECT_TRUE(foreign.is);
    EXPECT_EQ(foreign.fd, -1);
    ASSERT_NE(foreign.shared, nullptr);
    EXPECT_TRUE(all_zero(foreign.shared, 4248));
    EXPECT_EQ(size_of(file("acct")), 0);
    orvel_result_t locked = orvel_i_dropbox_upload_state_lock(&foreign, false);
    EXPECT_NE(locked, ORVEL_SUCCESS);
    orvel_error_discard(locked);
    orvel_i_dropbox_upload_state_destroy(&foreign);
    EXPECT_EQ(foreign.shared, nullptr);
    orvel_i_dropbox_syscalls.geteuid = orvel_i_dropbox_syscalls_default.geteuid;

    // A mapping that fails.
    orvel_i_dropbox_syscalls.mmap = failing_mmap;
    orvel_dropbox_upload_state_t unmapped{};
    orvel_i_dropbox_upload_state_create("acct", &unmapped);
    EXPECT_EQ(unmapped.fd, -1);
    ASSERT_NE(unmapped.shared, nullptr);
    orvel_i_dropbox_upload_state_destroy(&unmapped);
    orvel_i_dropbox_syscalls.mmap = orvel_i_dropbox_syscalls_default.mmap;

    // A name that would leave the folder.
    orvel_dropbox_upload_state_t escaping{};
    orvel_i_dropbox_upload_state_create("../escape", &escaping);
    EXPECT_EQ(escaping.fd, -1);
    EXPECT_NE(escaping.shared, nullptr);
    EXPECT_EQ(size_of(test_home() + "/.orvel/escape"), -1);
    orvel_i_dropbox_upload_state_destroy(&escaping);
}

} // namespace
