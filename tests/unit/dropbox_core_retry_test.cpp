// The shared retry and rate-limit state: the per-account file, its record
// lock and fallbacks, and pacing across real sibling processes.
#include "dropbox_core_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

using namespace orvel::core_test;

namespace {

// The state whose "last" is recorded whenever this process releases its lock.
orvel_dropbox_retry_t *recorded_state = nullptr;
std::vector<orvel_abstime_t> *recorded_starts = nullptr;
std::atomic<int> open_calls{0};
int fail_fcntl_errno = 0;

int recording_fcntl(int fd, int cmd, struct flock *lock)
{
    if (recorded_state != nullptr && recorded_starts != nullptr && fd == recorded_state->fd && cmd == F_SETLK &&
        lock->l_type == F_UNLCK)
        recorded_starts->push_back(recorded_state->shared->last);
    return orvel_i_dropbox_syscalls_default.fcntl(fd, cmd, lock);
}
int failing_fcntl(int, int, struct flock *)
{
    errno = fail_fcntl_errno;
    return -1;
}
uid_t foreign_euid(void)
{
    return geteuid() + 1;
}
int failing_open(const char *, int, mode_t)
{
    open_calls++;
    errno = EACCES;
    return -1;
}
ssize_t failing_pread(int, void *, size_t, off_t)
{
    errno = EIO;
    return -1;
}
int failing_ftruncate(int, off_t)
{
    errno = EIO;
    return -1;
}

double now_seconds()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (double)tv.tv_sec + tv.tv_usec / 1e6;
}

int64_t microseconds(const orvel_abstime_t &t)
{
    return t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

class DropboxRetry : public ::testing::Test {
protected:
    static void SetUpTestSuite() { orvel_module_activate(&orvel_i_common_module); }
    static void TearDownTestSuite() { orvel_module_deactivate(&orvel_i_common_module); }
    void SetUp() override
    {
        temp_ = make_temp_home("orvel-core-retry");
        ASSERT_FALSE(temp_.empty());
        test_home() = temp_;
        ASSERT_EQ(mkdir((test_home() + "/.orvel").c_str(), 0700), 0);
        orvel_i_dropbox_syscalls.getpwuid_r = home_getpwuid_r;
        recorded_state = nullptr;
        recorded_starts = nullptr;
    }
    void TearDown() override { remove_tree(temp_); }

    std::string state_file(const char *name = "dbid:ann") const { return test_home() + "/.orvel/dropbox-r/" + name; }
    off_t file_size(const char *name = "dbid:ann") const
    {
        struct stat st;
        return stat(state_file(name).c_str(), &st) == 0 ? st.st_size : -1;
    }
    // Writes the last start of the account's file, as another process would.
    void write_last(int64_t seconds, int64_t nanoseconds) const
    {
        int64_t record[3] = {0, seconds, nanoseconds};
        int fd = open(state_file().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, record, sizeof record, 0), (ssize_t)sizeof record);
        close(fd);
    }

    SeamGuard guard;
    std::string temp_;
};

} // namespace

TEST_F(DropboxRetry, SiblingProcessesSpaceTheirStartsByTheDelay)
{
    constexpr int kProcesses = 3;
    constexpr int kCalls = 8;
    int pipes[kProcesses][2];
    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; p++) {
        ASSERT_EQ(pipe(pipes[p]), 0);
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            // Every child opens the state itself, all at about the same time.
            orvel_dropbox_retry_t state{};
            orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
            if (state.fd < 0 || state.delay != 50000)
                _exit(2);
            std::vector<orvel_abstime_t> starts;
            recorded_state = &state;
            recorded_starts = &starts;
            orvel_i_dropbox_syscalls.fcntl = recording_fcntl;
            for (int i = 0; i < kCalls; i++)
                orvel_i_dropbox_retry_delay(0, &state);
            recorded_state = nullptr;
            orvel_i_dropbox_retry_state_destroy(&state);
            ssize_t bytes = (ssize_t)(starts.size() * sizeof(orvel_abstime_t));
            _exit(write(pipes[p][1], starts.data(), (size_t)bytes) == bytes ? 0 : 3);
        }
        close(pipes[p][1]);
    }
    std::vector<int64_t> starts;
    for (int p = 0; p < kProcesses; p++) {
        orvel_abstime_t t;
        while (read(pipes[p][0], &t, sizeof t) == (ssize_t)sizeof t)
            starts.push_back(microseconds(t));
        close(pipes[p][0]);
        int status = 0;
        ASSERT_EQ(waitpid(children[p], &status, 0), children[p]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << p << " status " << status;
    }
    ASSERT_EQ(starts.size(), (size_t)(kProcesses * kCalls));
    std::sort(starts.begin(), starts.end());
    int64_t smallest = INT64_MAX;
    for (size_t i = 1; i < starts.size(); i++)
        smallest = std::min(smallest, starts[i] - starts[i - 1]);
    EXPECT_GE(smallest, 50000) << "request starts closer than the delay";
    EXPECT_EQ(file_size(), 24);
}

TEST_F(DropboxRetry, PacingWithinOneProcessAndItsLogLines)
{
    LogCapture log(ORVEL_DROPBOX_DEBUG);
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 1, &state);
    ASSERT_GE(state.fd, 0);
    EXPECT_EQ(state.delay, 1000000u);
    EXPECT_EQ(state.shared->last.tv_sec, 0);
    orvel_i_dropbox_retry_delay(0, &state); // the file's last start is long ago
    double before = now_seconds();
    orvel_i_dropbox_retry_delay(0, &state);
    double slept = now_seconds() - before;
    EXPECT_GE(slept, 0.99);
    EXPECT_LT(slept, 1.5);
    std::string text = log.text();
    EXPECT_EQ(log.count("sleep="), 1u) << text;
    EXPECT_NE(text.find(": orvel_i_dropbox_retry_delay: sleep="), std::string::npos) << text;
    orvel_i_dropbox_retry_state_destroy(&state);
    EXPECT_EQ(state.shared, nullptr);
    EXPECT_EQ(state.fd, -1);
}

TEST_F(DropboxRetry, ALastStartInTheFutureStillSpacesRequests)
{
    // As after the clock was set back: the last start lies ahead of now.
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 2, &state); // 500 ms apart
    ASSERT_GE(state.fd, 0);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    int64_t ahead = (int64_t)tv.tv_sec * 1000000 + tv.tv_usec + 300000;
    write_last(ahead / 1000000, (ahead % 1000000) * 1000);
    double before = now_seconds();
    orvel_i_dropbox_retry_delay(0, &state);
    double slept = now_seconds() - before;
    EXPECT_GE(slept, 0.19); // 500 ms minus the 300 ms distance

    // Further ahead than a second: no sleep at all.
    write_last(tv.tv_sec + 5, 0);
    before = now_seconds();
    orvel_i_dropbox_retry_delay(0, &state);
    EXPECT_LT(now_seconds() - before, 0.1);
    orvel_i_dropbox_retry_state_destroy(&state);
}

TEST_F(DropboxRetry, RetryAfterIsCappedByTheMaximumDelay)
{
    LogCapture log(ORVEL_DROPBOX_DEBUG);
    orvel_i_dropbox_max_delay = 1;
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 2000000, &state);
    EXPECT_EQ(state.delay, 0u);
    double before = now_seconds();
    orvel_i_dropbox_retry_delay(100, &state);
    double slept = now_seconds() - before;
    EXPECT_GE(slept, 0.99);
    EXPECT_LT(slept, 1.5);
    EXPECT_EQ(log.count("retry_after=100 sleep=1\n"), 1u) << log.text();
    // Delay 0: no pacing sleep, the start is still written.
    orvel_abstime_t first = state.shared->last;
    EXPECT_GT(first.tv_sec, 0);
    orvel_i_dropbox_retry_delay(0, &state);
    EXPECT_GE(microseconds(state.shared->last), microseconds(first));
    EXPECT_EQ(log.count("sleep="), 1u) << log.text();
    orvel_i_dropbox_retry_state_destroy(&state);
}

TEST_F(DropboxRetry, ForeignOwnerFallsBackAndLogsFailedLocks)
{
    orvel_i_dropbox_syscalls.geteuid = foreign_euid;
    LogCapture log(ORVEL_DROPBOX_DEBUG | ORVEL_DROPBOX_ERROR);
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    EXPECT_TRUE(state.is);
    EXPECT_EQ(state.fd, -1);
    ASSERT_NE(state.shared, nullptr);
    size_t held = orvel_error_held_count();
    double before = now_seconds();
    orvel_i_dropbox_retry_delay(0, &state);
    orvel_i_dropbox_retry_delay(0, &state);
    EXPECT_GE(now_seconds() - before, 0.099);
    EXPECT_EQ(log.count("sleep=50000 lockfailed\n"), 2u) << log.text();
    EXPECT_EQ(log.count("Dropbox: ERROR: " + std::to_string((long)getpid()) +
                        ": orvel_i_dropbox_retry_state_lock: exit: result="),
              2u);
    EXPECT_EQ(log.count(" in fnctl"), 2u) << log.text();
    EXPECT_EQ(state.shared->last.tv_sec, 0); // never written without the file
    EXPECT_EQ(orvel_error_held_count(), held);
    orvel_i_dropbox_retry_state_destroy(&state);
}

TEST_F(DropboxRetry, UninitialisedFilesAreSizedByTheNextProcess)
{
    ASSERT_EQ(mkdir((test_home() + "/.orvel/dropbox-r").c_str(), 0700), 0);
    int fd = open(state_file().c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(file_size(), 0);
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    EXPECT_GE(state.fd, 0);
    EXPECT_EQ(file_size(), 24);
    EXPECT_EQ(state.shared->last.tv_sec, 0);
    orvel_i_dropbox_retry_delay(0, &state);
    int64_t written = state.shared->last.tv_sec;
    orvel_i_dropbox_retry_state_destroy(&state);

    // A second opener shares what the first wrote.
    orvel_dropbox_retry_t other{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &other);
    EXPECT_EQ(other.shared->last.tv_sec, written);
    orvel_i_dropbox_retry_state_destroy(&other);

    // A file of another size is re-initialised.
    fd = open(state_file().c_str(), O_WRONLY | O_TRUNC);
    ASSERT_EQ(write(fd, std::string(100, 'x').data(), 100), 100);
    close(fd);
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &other);
    EXPECT_EQ(file_size(), 24);
    EXPECT_EQ(other.shared->last.tv_sec, 0);
    EXPECT_EQ(other.shared->last.tv_nsec, 0);
    orvel_i_dropbox_retry_state_destroy(&other);
}

TEST_F(DropboxRetry, WaitsWhileAnotherProcessInitialises)
{
    ASSERT_EQ(mkdir((test_home() + "/.orvel/dropbox-r").c_str(), 0700), 0);
    int fd = open(state_file().c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(fd, F_SETLK, &lock), 0);
    double before = now_seconds();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        orvel_dropbox_retry_t state{};
        orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
        _exit(state.fd >= 0 ? 0 : 1);
    }
    usleep(300000);
    ASSERT_EQ(ftruncate(fd, 24), 0); // "initialised" while still holding the lock
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GE(now_seconds() - before, 0.9); // polled in steps of one second
    close(fd);
}

TEST_F(DropboxRetry, SystemCallFailuresFallBackToAPrivateRecord)
{
    orvel_dropbox_retry_t state{};
    open_calls = 0;
    orvel_i_dropbox_syscalls.open = failing_open;
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    EXPECT_EQ(open_calls.load(), 10);
    EXPECT_EQ(state.fd, -1);
    EXPECT_TRUE(state.is);
    orvel_i_dropbox_retry_state_destroy(&state);
    orvel_i_dropbox_syscalls.open = orvel_i_dropbox_syscalls_default.open;

    orvel_i_dropbox_syscalls.pread = failing_pread;
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    EXPECT_EQ(state.fd, -1);
    orvel_i_dropbox_retry_state_destroy(&state);
    orvel_i_dropbox_syscalls.pread = orvel_i_dropbox_syscalls_default.pread;

    orvel_i_dropbox_syscalls.ftruncate = failing_ftruncate;
    orvel_i_dropbox_retry_state_create("dbid:other", 20, &state);
    EXPECT_EQ(state.fd, -1);
    orvel_i_dropbox_retry_state_destroy(&state);
    orvel_i_dropbox_syscalls.ftruncate = orvel_i_dropbox_syscalls_default.ftruncate;

    // A lock failure other than "held elsewhere" does not wait for ever.
    fail_fcntl_errno = ENOLCK;
    orvel_i_dropbox_syscalls.fcntl = failing_fcntl;
    size_t held = orvel_error_held_count();
    orvel_i_dropbox_retry_state_create("dbid:third", 20, &state);
    EXPECT_EQ(state.fd, -1);
    EXPECT_EQ(orvel_error_held_count(), held);
    orvel_i_dropbox_retry_state_destroy(&state);
    orvel_i_dropbox_syscalls.fcntl = orvel_i_dropbox_syscalls_default.fcntl;

    // A user id that would leave the folder is never used as a file name.
    orvel_i_dropbox_retry_state_create("../escape", 20, &state);
    EXPECT_EQ(state.fd, -1);
    orvel_i_dropbox_retry_state_destroy(&state);
    struct stat st;
    EXPECT_NE(stat((test_home() + "/.orvel/escape").c_str(), &st), 0);
    orvel_i_dropbox_retry_state_create(nullptr, 0, &state);
    EXPECT_EQ(state.fd, -1);
    EXPECT_EQ(state.delay, 1000000u);
    orvel_i_dropbox_retry_state_destroy(&state);

    // Without a home directory the process paces by itself.
    std::string home = test_home();
    test_home() = "/nonexistent/orvel-home";
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    test_home() = home;
    EXPECT_EQ(state.fd, -1);
    orvel_i_dropbox_retry_state_destroy(&state);
}

/* ------------------------------------------- state files under attack or damage */

namespace {

// Runs `body` in a child process that SIGALRM ends after `seconds`: true when
// the child finished in time and returned true (no crash, no stall).
template <typename Body>
bool finishes_within(unsigned seconds, Body body)
{
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        alarm(seconds);
        bool ok = body();
        fflush(nullptr);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST_F(DropboxRetry, PlantedLinksAndNamesThatLeaveTheFolderAreNeverUsed)
{
    // A link planted where the state file belongs must not reach its target.
    ASSERT_EQ(mkdir((test_home() + "/.orvel/dropbox-r").c_str(), 0700), 0);
    std::string victim = test_home() + "/victim";
    int fd = open(victim.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(write(fd, std::string(100, 'v').data(), 100), 100);
    close(fd);
    ASSERT_EQ(symlink(victim.c_str(), state_file().c_str()), 0);
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    EXPECT_EQ(state.fd, -1);
    orvel_i_dropbox_retry_delay(0, &state);
    orvel_i_dropbox_retry_state_destroy(&state);
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 100);

    // "$HOME" inside the account id is expanded too: checked after that.
    orvel_i_dropbox_retry_state_create("..$HOME", 20, &state);
    EXPECT_EQ(state.fd, -1);
    orvel_i_dropbox_retry_state_destroy(&state);
    EXPECT_NE(stat((test_home() + "/.orvel/tmp").c_str(), &st), 0);
}

TEST_F(DropboxRetry, DamagedRecordsNeitherCrashNorStall)
{
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    ASSERT_GE(state.fd, 0);

    // Cut short by someone else while in use: read as empty and written anew.
    ASSERT_EQ(truncate(state_file().c_str(), 0), 0);
    EXPECT_TRUE(finishes_within(10, [&] {
        orvel_i_dropbox_retry_delay(0, &state);
        return true;
    }));
    orvel_i_dropbox_retry_delay(0, &state);
    EXPECT_EQ(file_size(), 24);

    // Nanoseconds out of range: no wait beyond the spacing.
    struct timeval now;
    gettimeofday(&now, nullptr);
    int64_t record[3] = {0, (int64_t)now.tv_sec + 1, -4290000000000};
    int raw = open(state_file().c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(raw, record, sizeof record, 0), (ssize_t)sizeof record);
    close(raw);
    EXPECT_TRUE(finishes_within(10, [&] {
        double before = now_seconds();
        orvel_i_dropbox_retry_delay(0, &state);
        return now_seconds() - before < 5;
    }));
    orvel_i_dropbox_retry_state_destroy(&state);
}

TEST_F(DropboxRetry, AStoppedLockHolderIsWaitedForOnlyBoundedly)
{
    orvel_dropbox_retry_t state{};
    orvel_i_dropbox_retry_state_create("dbid:ann", 20, &state);
    ASSERT_GE(state.fd, 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Takes the lock and stops, as under a debugger.
        int fd = open(state_file().c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        bool taken = fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0;
        char byte = taken ? 1 : 0;
        (void)write(ready[1], &byte, 1);
        raise(SIGSTOP);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);

    orvel_i_dropbox_lock_wait_ms = 200;
    LogCapture log(ORVEL_DROPBOX_DEBUG);
    EXPECT_TRUE(finishes_within(10, [&] {
        orvel_i_dropbox_retry_delay(0, &state); // gives up waiting, paces by itself
        orvel_i_dropbox_retry_delay(0, &state); // no second wait
        return state.fd == -1;
    }));
    EXPECT_EQ(log.count("lock held by process " + std::to_string((long)holder)), 1u) << log.text();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    orvel_i_dropbox_retry_state_destroy(&state);
}
