// Per-user state files: a fixed-size record in a file under the user's home,
// mapped by every process of the user that opens it. The file is sized (and
// initialised) under a whole-file record lock by whichever process takes the
// lock first; when it cannot be used, the record lives in the process's own
// memory instead.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Record lock of `type` over the whole file: F_SETLKW when blocking, else
// F_SETLK. An interrupted call is repeated.
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

// The name becomes a file name: one that could leave the folder is refused.
bool orvel_l_dropbox_safe_name(const char *name)
{
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// Opens (creating) the file of `name` in the folder of the template, making
// the folder when missing; -1 when there is no such file of the effective
// user.
int orvel_l_dropbox_state_file_open_fd(const char *folder_template, const char *name)
{
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    char *pattern = nullptr;
    if (!orvel_l_dropbox_safe_name(name) || asprintf(&pattern, "%s/%s", folder_template, name) < 0) {
        return -1;
    }
    char *path = nullptr;
    orvel_result_t result = orvel_dropbox_evaluate_path(pattern, &path);
    free(pattern);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        return -1;
    }

    // A failure to make the folder shows at the open below.
    char *slash = strrchr(path, '/');
    if (slash != nullptr && slash != path) {
        *slash = '\0';
        orvel_dropbox_state_folder_make(path);
        *slash = '/';
    }

    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; attempt++) {
        fd = sys.open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    }
    free(path);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (sys.fstat(fd, &st) != 0 || st.st_uid != sys.geteuid()) {
        sys.close(fd);
        return -1;
    }
    return fd;
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
                if (kind->initialise != nullptr) {
                    void *init = sys.mmap(nullptr, kind->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                    if (init == MAP_FAILED) {
                        return false;
                    }
                    kind->initialise(init);
                    sys.munmap(init, kind->size);
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
    return orvel_l_dropbox_record_lock(fd, F_WRLCK, blocking);
}

orvel_result_t orvel_dropbox_state_file_unlock(int fd)
{
    return orvel_l_dropbox_record_lock(fd, F_UNLCK, false);
}

bool orvel_dropbox_state_file_open(const orvel_dropbox_state_file_t *kind, const char *folder_template,
                                   const char *name, int *fd_out, void **mapping_out)
{
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    int fd = orvel_l_dropbox_state_file_open_fd(folder_template, name);
    if (fd >= 0) {
        if (orvel_l_dropbox_state_file_prepare(kind, fd)) {
            void *mapping = sys.mmap(nullptr, kind->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (mapping != MAP_FAILED) {
                *fd_out = fd;
                *mapping_out = mapping;
                return true;
            }
        }
        sys.close(fd);
    }
    *fd_out = -1;
    *mapping_out = calloc(1, kind->size);
    return false;
}

void orvel_dropbox_state_file_close(const orvel_dropbox_state_file_t *kind, int fd, void *mapping)
{
    if (fd == -1) {
        free(mapping);
        return;
    }
    if (mapping != nullptr) {
        orvel_i_dropbox_syscalls.munmap(mapping, kind->size);
    }
    orvel_i_dropbox_syscalls.close(fd);
}
