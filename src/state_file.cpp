// Per-user state files: a fixed-size record in a file under the user's home,
// shared by every process of the user that opens it, either through a mapping
// or read and written with pread and pwrite under the file's lock (which keeps
// it coherent where home folders are shared between machines over NFS, and
// safe when someone cuts the file short). The file is sized (and initialised)
// under a whole-file record lock by whichever process takes the lock first;
// when it cannot be used, the record lives in the process's own memory instead.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

orvel_result_t orvel_l_dropbox_lock_error(int error_number)
{
    return orvel_dropbox_error_system("fnctl", error_number);
}

// One record-lock call over the whole file; an interrupted call is repeated.
int orvel_l_dropbox_fcntl_whole(int fd, int command, struct flock *lock, short type)
{
    memset(lock, 0, sizeof *lock);
    lock->l_type = type;
    lock->l_whence = SEEK_SET;
    lock->l_start = 0;
    lock->l_len = 0;
    int rc;
    do {
        rc = orvel_i_dropbox_syscalls.fcntl(fd, command, lock);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

// Takes the write lock, trying again while another process holds it. The
// holder is asked for each time: a queue of processes taking turns is waited
// for as long as it lasts, one process holding the lock beyond the bound is
// not (it sleeps out at most a second of spacing when it works as it should).
orvel_result_t orvel_l_dropbox_lock_waiting(int fd)
{
    const int32_t bound_ms = orvel_i_dropbox_lock_wait_ms;
    pid_t holder = 0;
    int64_t holder_since = 0;
    long pause_us = 1000;
    for (;;) {
        struct flock lock;
        if (orvel_l_dropbox_fcntl_whole(fd, F_SETLK, &lock, F_WRLCK) == 0)
            return ORVEL_SUCCESS;
        if (errno != EAGAIN && errno != EACCES)
            return orvel_l_dropbox_lock_error(errno);
        if (orvel_l_dropbox_fcntl_whole(fd, F_GETLK, &lock, F_WRLCK) != 0)
            return orvel_l_dropbox_lock_error(errno);
        if (lock.l_type == F_UNLCK)
            continue; // released in between
        int64_t now = orvel_dropbox_monotonic_ms();
        if (lock.l_pid != holder || holder_since == 0) {
            holder = lock.l_pid;
            holder_since = now;
        } else if (now - holder_since > bound_ms) {
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "lock held by process %ld for more than %d ms\n", (long)holder,
                              (int)bound_ms);
            return orvel_l_dropbox_lock_error(ETIMEDOUT);
        }
        struct timespec pause = {0, pause_us * 1000};
        nanosleep(&pause, nullptr);
        if (pause_us < 8000)
            pause_us *= 2;
    }
}

// A name that could leave the folder (or name the folder itself) is refused.
bool orvel_l_dropbox_safe_name(const char *name)
{
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// The file of `name` in the folder of the template, both expanded; null when
// either does not expand or the expanded name is not a plain file name (an
// account id holding "$HOME" expands to a path).
char *orvel_l_dropbox_state_file_path(const char *folder_template, const char *name, char **folder_out)
{
    *folder_out = nullptr;
    if (name == nullptr) {
        return nullptr;
    }
    char *folder = nullptr;
    char *file_name = nullptr;
    char *path = nullptr;
    orvel_result_t result = orvel_dropbox_evaluate_path(name, &file_name);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_evaluate_path(folder_template, &folder);
    if (result == ORVEL_SUCCESS && orvel_l_dropbox_safe_name(file_name) &&
        orvel_dropbox_asprintf(&path, "%s/%s", folder, file_name) >= 0) {
        *folder_out = folder;
        folder = nullptr;
    } else {
        path = nullptr;
    }
    orvel_error_discard(result);
    orvel_dropbox_free(file_name);
    orvel_dropbox_free(folder);
    return path;
}

// Opens (creating) the regular file of `name` in the folder of the template,
// making the folder when missing; -1 when there is no such file of the
// effective user. A symbolic link in the file's place is never followed.
int orvel_l_dropbox_state_file_open_fd(const char *folder_template, const char *name)
{
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    char *folder = nullptr;
    char *path = orvel_l_dropbox_state_file_path(folder_template, name, &folder);
    if (path == nullptr) {
        return -1;
    }
    // A failure to make the folder shows at the open below.
    orvel_dropbox_state_folder_make(folder);
    orvel_dropbox_free(folder);

    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; attempt++) {
        fd = sys.open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno == ELOOP) {
            break; // a link: trying again cannot help
        }
    }
    orvel_dropbox_free(path);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (sys.fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != sys.geteuid()) {
        sys.close(fd);
        return -1;
    }
    return fd;
}

// Writes a new file's record: what the file holds (the resize zero-filled
// it) as the kind's initialisation changes it.
bool orvel_l_dropbox_state_file_initialise(const orvel_dropbox_state_file_t *kind, int fd)
{
    void *record = orvel_dropbox_calloc(1, kind->size);
    if (record == nullptr) {
        return false;
    }
    (void)orvel_dropbox_state_file_read(kind, fd, record);
    kind->initialise(record);
    bool written = orvel_dropbox_state_file_write(kind, fd, record);
    orvel_dropbox_free(record);
    return written;
}

// Brings the file to its size under the lock, or waits for the process that
// holds the lock to do so. False when the file cannot be used; the caller
// closes it, which also drops a lock still held.
bool orvel_l_dropbox_state_file_prepare(const orvel_dropbox_state_file_t *kind, int fd)
{
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    const off_t size = (off_t)kind->size;
    struct stat st;
    for (;;) {
        orvel_result_t result = kind->try_lock(fd);
        if (result == ORVEL_SUCCESS) {
            if (sys.fstat(fd, &st) != 0 || st.st_size != size) {
                int rc;
                do {
                    rc = sys.ftruncate(fd, size);
                } while (rc != 0 && errno == EINTR);
                if (rc != 0) {
                    return false;
                }
                if (kind->initialise != nullptr && !orvel_l_dropbox_state_file_initialise(kind, fd)) {
                    return false;
                }
            }
            orvel_error_discard(kind->unlock(fd));
            return true;
        }
        // Only "held by another process" is worth waiting for; any other
        // lock failure would repeat for ever.
        orvel_object_t *error = orvel_error_peek(result);
        int lock_errno = error != nullptr ? orvel_gfs_error_get_system_errno(error) : 0;
        orvel_error_discard(result);
        if (lock_errno != EAGAIN && lock_errno != EACCES) {
            return false;
        }
        if (sys.fstat(fd, &st) != 0) {
            continue;
        }
        if (st.st_size == size) {
            return true; // another process has prepared the file
        }
        sleep(1);
    }
}

} // namespace

void orvel_dropbox_state_folder_make(const char *folder)
{
    DIR *dir = opendir(folder);
    if (dir != nullptr) {
        closedir(dir);
    } else if (errno == ENOENT) {
        (void)mkdir(folder, 0700);
    }
}

orvel_result_t orvel_dropbox_state_file_lock(int fd, bool blocking)
{
    if (blocking) {
        return orvel_l_dropbox_lock_waiting(fd);
    }
    struct flock lock;
    if (orvel_l_dropbox_fcntl_whole(fd, F_SETLK, &lock, F_WRLCK) != 0) {
        return orvel_l_dropbox_lock_error(errno);
    }
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dropbox_state_file_unlock(int fd)
{
    struct flock lock;
    if (orvel_l_dropbox_fcntl_whole(fd, F_SETLK, &lock, F_UNLCK) != 0) {
        return orvel_l_dropbox_lock_error(errno);
    }
    return ORVEL_SUCCESS;
}

bool orvel_dropbox_state_file_read(const orvel_dropbox_state_file_t *kind, int fd, void *record)
{
    auto *bytes = static_cast<unsigned char *>(record);
    size_t got = 0;
    while (got < kind->size) {
        ssize_t n = orvel_i_dropbox_syscalls.pread(fd, bytes + got, kind->size - got, (off_t)got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            memset(record, 0, kind->size);
            return false;
        }
        if (n == 0) {
            break; // shorter than a record: someone cut it; the rest reads as zero
        }
        got += (size_t)n;
    }
    memset(bytes + got, 0, kind->size - got);
    return true;
}

bool orvel_dropbox_state_file_write(const orvel_dropbox_state_file_t *kind, int fd, const void *record)
{
    const auto *bytes = static_cast<const unsigned char *>(record);
    size_t put = 0;
    while (put < kind->size) {
        ssize_t n = orvel_i_dropbox_syscalls.pwrite(fd, bytes + put, kind->size - put, (off_t)put);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        put += (size_t)n;
    }
    return true;
}

bool orvel_dropbox_state_file_open(const orvel_dropbox_state_file_t *kind, const char *folder_template,
                                   const char *name, int *fd_out, void **record_out)
{
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    int fd = orvel_l_dropbox_state_file_open_fd(folder_template, name);
    if (fd >= 0) {
        if (orvel_l_dropbox_state_file_prepare(kind, fd)) {
            void *record = nullptr;
            if (kind->mapped) {
                record = sys.mmap(nullptr, kind->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                if (record == MAP_FAILED) {
                    record = nullptr;
                }
            } else {
                // The copy is read again under the lock whenever it is used.
                record = orvel_dropbox_calloc(1, kind->size);
                if (record != nullptr && !orvel_dropbox_state_file_read(kind, fd, record)) {
                    orvel_dropbox_free(record); // the file cannot be read
                    record = nullptr;
                }
            }
            if (record != nullptr) {
                *fd_out = fd;
                *record_out = record;
                return true;
            }
        }
        sys.close(fd);
    }
    *fd_out = -1;
    *record_out = orvel_dropbox_calloc(1, kind->size);
    return false;
}

void orvel_dropbox_state_file_close(const orvel_dropbox_state_file_t *kind, int fd, void *record)
{
    if (fd == -1 || !kind->mapped) {
        orvel_dropbox_free(record);
    } else if (record != nullptr) {
        orvel_i_dropbox_syscalls.munmap(record, kind->size);
    }
    if (fd != -1) {
        orvel_i_dropbox_syscalls.close(fd);
    }
}
