// The shared retry and rate-limit state: one 24-byte file per account, read
// and written by every process of the user that works for that account under
// a whole-file record lock, so that the starts of their paced API requests
// are at least `delay` microseconds apart.
#include "orvel_common.h"
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <mutex>
#include <sys/time.h>
#include <time.h>

static_assert(sizeof(struct orvel_dropbox_retry_shared_s) == 24, "state file layout");

namespace {

// The record lock separates processes, not the threads of one process: the
// pieces of a parallel transfer take their turns here first.
std::mutex orvel_l_dropbox_pacing_mutex;

// Sleeps the full time, also across signals.
void orvel_l_dropbox_sleep_us(uint64_t microseconds)
{
    struct timespec wait;
    wait.tv_sec = (time_t)(microseconds / 1000000);
    wait.tv_nsec = (long)(microseconds % 1000000) * 1000;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

orvel_abstime_t orvel_l_dropbox_now(void)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    orvel_abstime_t t;
    t.tv_sec = now.tv_sec;
    t.tv_nsec = (int64_t)now.tv_usec * 1000;
    return t;
}

// A new file starts with no request on record; the reserved field keeps
// what the resize left there.
void orvel_l_dropbox_retry_initialise(void *record)
{
    auto *shared = static_cast<struct orvel_dropbox_retry_shared_s *>(record);
    shared->last.tv_sec = 0;
    shared->last.tv_nsec = 0;
}

// The file's own lock and unlock, on a scratch handle holding only the
// descriptor, so that preparing the file logs as they do.
orvel_result_t orvel_l_dropbox_retry_try_lock(int fd)
{
    orvel_dropbox_retry_t scratch = {false, fd, 0, nullptr};
    return orvel_i_dropbox_retry_state_lock(&scratch, false);
}

orvel_result_t orvel_l_dropbox_retry_unlock(int fd)
{
    orvel_dropbox_retry_t scratch = {false, fd, 0, nullptr};
    return orvel_i_dropbox_retry_state_unlock(&scratch);
}

const orvel_dropbox_state_file_t orvel_l_dropbox_retry_file = {
    sizeof(struct orvel_dropbox_retry_shared_s), orvel_l_dropbox_retry_try_lock, orvel_l_dropbox_retry_unlock,
    orvel_l_dropbox_retry_initialise, false};

// The last start as the file holds it; a time that cannot be one (as left by
// a damaged or foreign file) counts as no start on record.
orvel_abstime_t orvel_l_dropbox_read_last(orvel_dropbox_retry_t *retry_state)
{
    orvel_abstime_t none = {0, 0};
    if (!orvel_dropbox_state_file_read(&orvel_l_dropbox_retry_file, retry_state->fd, retry_state->shared))
        return none;
    orvel_abstime_t last = retry_state->shared->last;
    if (last.tv_sec < 0 || last.tv_nsec < 0 || last.tv_nsec > 999999999)
        return none;
    return last;
}

// After a lock wait that gave up on a process holding the lock: this process
// stops using the file and paces by itself from now on.
void orvel_l_dropbox_retry_go_private(orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "fd=%d given up: pacing alone from now on\n", retry_state->fd);
    orvel_i_dropbox_syscalls.close(retry_state->fd);
    retry_state->fd = -1;
}

} // namespace

orvel_result_t orvel_i_dropbox_retry_state_lock(orvel_dropbox_retry_t *retry_state, bool blocking)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_dropbox_state_file_lock(retry_state->fd, blocking);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_i_dropbox_retry_state_unlock(orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_dropbox_state_file_unlock(retry_state->fd);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

void orvel_i_dropbox_retry_state_create(const char *name, uint32_t max_per_second, orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    uint32_t delay = 1000000 / (max_per_second > 0 ? max_per_second : 1);
    int fd = -1;
    void *shared = nullptr;
    (void)orvel_dropbox_state_file_open(&orvel_l_dropbox_retry_file, orvel_i_dropbox_retry_path, name, &fd, &shared);
    retry_state->is = true;
    retry_state->fd = fd;
    retry_state->delay = delay;
    retry_state->shared = static_cast<struct orvel_dropbox_retry_shared_s *>(shared);
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_retry_state_destroy(orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_state_file_close(&orvel_l_dropbox_retry_file, retry_state->fd, retry_state->shared);
    retry_state->shared = nullptr;
    retry_state->fd = -1;
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_retry_delay(uint64_t retry_after, orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    std::lock_guard<std::mutex> turn(orvel_l_dropbox_pacing_mutex);
    if (retry_after != 0) {
        uint64_t limit = orvel_i_dropbox_max_delay > 0 ? (uint64_t)orvel_i_dropbox_max_delay : 0;
        uint64_t wait = retry_after < limit ? retry_after : limit;
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "retry_after=%lu sleep=%lu\n", (unsigned long)retry_after,
                          (unsigned long)wait);
        orvel_l_dropbox_sleep_us(wait * 1000000);
    }

    // A handle that create never filled has nothing to lock or write.
    orvel_result_t result = retry_state->is && retry_state->shared != nullptr
                                ? orvel_i_dropbox_retry_state_lock(retry_state, true)
                                : ORVEL_FAILURE;
    if (result != ORVEL_SUCCESS) {
        orvel_object_t *error = orvel_error_peek(result);
        if (retry_state->fd >= 0 && error != nullptr && orvel_gfs_error_get_system_errno(error) == ETIMEDOUT)
            orvel_l_dropbox_retry_go_private(retry_state);
        orvel_error_discard(result);
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "sleep=%u lockfailed\n", retry_state->delay);
        orvel_l_dropbox_sleep_us(retry_state->delay);
        ORVEL_DROPBOX_TRACE_EXIT();
        return;
    }

    // Age of the last start: the absolute difference, so that a clock set
    // back still spaces the requests.
    orvel_abstime_t now = orvel_l_dropbox_now();
    orvel_abstime_t last = orvel_l_dropbox_read_last(retry_state);
    const orvel_abstime_t *later = &now;
    const orvel_abstime_t *earlier = &last;
    if (orvel_abstime_cmp(&now, &last) < 0) {
        later = &last;
        earlier = &now;
    }
    int64_t s = later->tv_sec - earlier->tv_sec;
    int64_t n = later->tv_nsec - earlier->tv_nsec;
    int64_t u = n / 1000;
    if (n < -999) {
        s -= 1;
        u += 1000000;
    }
    if (s == 0 && u >= 0 && u < (int64_t)retry_state->delay) {
        uint32_t sleep_us = (uint32_t)((int64_t)retry_state->delay - u);
        orvel_l_dropbox_sleep_us(sleep_us);
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "sleep=%u\n", sleep_us);
    }
    retry_state->shared->last = orvel_l_dropbox_now();
    if (!orvel_dropbox_state_file_write(&orvel_l_dropbox_retry_file, retry_state->fd, retry_state->shared))
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "fd=%d last start not written\n", retry_state->fd);

    orvel_error_discard(orvel_i_dropbox_retry_state_unlock(retry_state));
    ORVEL_DROPBOX_TRACE_EXIT();
}
