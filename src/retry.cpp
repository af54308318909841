// The shared retry and rate-limit state: one 24-byte file per account,
// mapped by every process of the user that works for that account and
// guarded by a whole-file record lock, so that the starts of their paced API
// requests are at least `delay` microseconds apart.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(struct orvel_dropbox_retry_shared_s) == 24, "state file layout");

namespace {

constexpr off_t orvel_l_dropbox_retry_size = 24;

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

// Record lock over the whole file: F_SETLKW when blocking, else F_SETLK.
orvel_result_t orvel_l_dropbox_record_lock(int fd, short type, bool blocking)
{
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    int rc;
    do {
        rc = orvel_i_dropbox_syscalls.fcntl(fd, blocking ? F_SETLKW : F_SETLK, &lock);
    } while (rc == -1 && errno == EINTR);
    if (rc == -1) {
        int saved = errno;
        return orvel_error_put(orvel_i_gfs_error_system(0, saved, "System error%s%s", " in ", "fnctl"));
    }
    return ORVEL_SUCCESS;
}

// A user id becomes a file name: one that could leave the folder is refused.
bool orvel_l_dropbox_safe_name(const char *name)
{
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

} // namespace

orvel_result_t orvel_i_dropbox_retry_state_lock(orvel_dropbox_retry_t *retry_state, bool blocking)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_l_dropbox_record_lock(retry_state->fd, F_WRLCK, blocking);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_i_dropbox_retry_state_unlock(orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_l_dropbox_record_lock(retry_state->fd, F_UNLCK, false);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

void orvel_i_dropbox_retry_state_create(const char *name, uint32_t max_per_second,
                                        orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    uint32_t delay = 1000000 / (max_per_second > 0 ? max_per_second : 1);
    char *pattern = nullptr;
    char *path = nullptr;
    int fd = -1;
    struct stat st;
    void *mapping = MAP_FAILED;

    if (!orvel_l_dropbox_safe_name(name) ||
        asprintf(&pattern, "%s/%s", orvel_i_dropbox_retry_path, name) < 0) {
        pattern = nullptr;
        goto fallback;
    }
    {
        orvel_result_t result = orvel_dropbox_evaluate_path(pattern, &path);
        free(pattern);
        if (result != ORVEL_SUCCESS) {
            orvel_error_discard(result);
            goto fallback;
        }
    }
    {
        // The folder of the state files; a failure shows at the open below.
        char *slash = strrchr(path, '/');
        if (slash != nullptr && slash != path) {
            *slash = '\0';
            DIR *dir = opendir(path);
            if (dir != nullptr) {
                closedir(dir);
            } else if (errno == ENOENT) {
                (void)mkdir(path, 0700);
            }
            *slash = '/';
        }
    }
    for (int attempt = 0; attempt < 10 && fd < 0; attempt++) {
        fd = sys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    }
    free(path);
    path = nullptr;
    if (fd < 0) {
        goto fallback;
    }
    if (sys.fstat(fd, &st) != 0 || st.st_uid != sys.geteuid()) {
        goto close_fallback;
    }

    for (;;) {
        orvel_dropbox_retry_t scratch = {false, fd, 0, nullptr};
        orvel_result_t result = orvel_i_dropbox_retry_state_lock(&scratch, false);
        if (result == ORVEL_SUCCESS) {
            if (sys.fstat(fd, &st) != 0 || st.st_size != orvel_l_dropbox_retry_size) {
                int rc;
                do {
                    rc = sys.ftruncate(fd, orvel_l_dropbox_retry_size);
                } while (rc != 0 && errno == EINTR);
                if (rc != 0) {
                    goto close_fallback; // closing the file drops its lock
                }
                void *init = sys.mmap(nullptr, (size_t)orvel_l_dropbox_retry_size, PROT_READ | PROT_WRITE,
                                      MAP_SHARED, fd, 0);
                if (init == MAP_FAILED) {
                    goto close_fallback;
                }
                auto *shared = static_cast<struct orvel_dropbox_retry_shared_s *>(init);
                shared->last.tv_sec = 0;
                shared->last.tv_nsec = 0;
                sys.munmap(init, (size_t)orvel_l_dropbox_retry_size);
            }
            orvel_error_discard(orvel_i_dropbox_retry_state_unlock(&scratch));
            break;
        }
        // Only "held by another process" is worth waiting for; any other
        // lock failure would repeat for ever.
        orvel_object_t *error = orvel_error_peek(result);
        int lock_errno = error != nullptr ? orvel_gfs_error_get_system_errno(error) : 0;
        orvel_error_discard(result);
        if (lock_errno != EAGAIN && lock_errno != EACCES) {
            goto close_fallback;
        }
        if (sys.fstat(fd, &st) != 0) {
            continue;
        }
        if (st.st_size == orvel_l_dropbox_retry_size) {
            break;
        }
        sleep(1);
    }

    mapping = sys.mmap(nullptr, (size_t)orvel_l_dropbox_retry_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        goto close_fallback;
    }
    retry_state->is = true;
    retry_state->fd = fd;
    retry_state->delay = delay;
    retry_state->shared = static_cast<struct orvel_dropbox_retry_shared_s *>(mapping);
    ORVEL_DROPBOX_TRACE_EXIT();
    return;

close_fallback:
    sys.close(fd);
fallback:
    retry_state->is = true;
    retry_state->fd = -1;
    retry_state->delay = delay;
    retry_state->shared =
        static_cast<struct orvel_dropbox_retry_shared_s *>(calloc(1, sizeof(struct orvel_dropbox_retry_shared_s)));
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_retry_state_destroy(orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    if (retry_state->fd == -1) {
        free(retry_state->shared);
    } else {
        if (retry_state->shared != nullptr) {
            orvel_i_dropbox_syscalls.munmap(retry_state->shared, (size_t)orvel_l_dropbox_retry_size);
        }
        orvel_i_dropbox_syscalls.close(retry_state->fd);
    }
    retry_state->shared = nullptr;
    retry_state->fd = -1;
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_retry_delay(uint64_t retry_after, orvel_dropbox_retry_t *retry_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
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
        orvel_error_discard(result);
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "sleep=%u lockfailed\n", retry_state->delay);
        orvel_l_dropbox_sleep_us(retry_state->delay);
        ORVEL_DROPBOX_TRACE_EXIT();
        return;
    }

    // Age of the last start: the absolute difference, so that a clock set
    // back still spaces the requests.
    orvel_abstime_t now = orvel_l_dropbox_now();
    orvel_abstime_t last = retry_state->shared->last;
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
    if (s == 0 && u < (int64_t)retry_state->delay) {
        uint32_t sleep_us = (uint32_t)((int64_t)retry_state->delay - u);
        orvel_l_dropbox_sleep_us(sleep_us);
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "sleep=%u\n", sleep_us);
    }
    retry_state->shared->last = orvel_l_dropbox_now();

    orvel_error_discard(orvel_i_dropbox_retry_state_unlock(retry_state));
    ORVEL_DROPBOX_TRACE_EXIT();
}
