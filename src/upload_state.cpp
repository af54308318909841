// The upload state file: one 4,248-byte record per name under the user's
// home, mapped by every process of the user that opens it, so that sibling
// server processes see one shared record with the fields of an upload
// session. The file is sized under a whole-file record lock by whichever
// process takes the lock first; when it cannot be used, the record lives in
// the process's own memory instead.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(struct orvel_dropbox_upload_state_shared_s) == ORVEL_DROPBOX_UPLOAD_STATE_SIZE,
              "upload state file layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, num_parts) == 128, "upload state layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, part_size) == 136, "upload state layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, total_size) == 144, "upload state layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, name) == 152, "upload state layout");

namespace {

constexpr off_t orvel_l_upload_state_size = ORVEL_DROPBOX_UPLOAD_STATE_SIZE;

// Whole-file record lock of `type`: F_SETLKW when blocking, else F_SETLK. An
// interrupted call is repeated.
orvel_result_t orvel_l_upload_state_record_lock(int fd, short type, bool blocking)
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
bool orvel_l_upload_state_safe_name(const char *name)
{
    return name != nullptr && name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 &&
           strcmp(name, "..") != 0;
}

// Makes the folder of the file when it does not exist (owner only); any other
// outcome shows at the open that follows.
void orvel_l_upload_state_make_folder(char *path)
{
    char *slash = strrchr(path, '/');
    if (slash == nullptr || slash == path) {
        return;
    }
    *slash = '\0';
    DIR *dir = opendir(path);
    if (dir != nullptr) {
        closedir(dir);
    } else if (errno == ENOENT) {
        (void)mkdir(path, 0700);
    }
    *slash = '/';
}

} // namespace

orvel_result_t orvel_i_dropbox_upload_state_lock(orvel_dropbox_upload_state_t *upload_state, bool blocking)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_l_upload_state_record_lock(upload_state->fd, F_WRLCK, blocking);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_i_dropbox_upload_state_unlock(orvel_dropbox_upload_state_t *upload_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_l_upload_state_record_lock(upload_state->fd, F_UNLCK, false);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

void orvel_i_dropbox_upload_state_create(const char *name, orvel_dropbox_upload_state_t *upload_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    const orvel_dropbox_syscalls_t &sys = orvel_i_dropbox_syscalls;
    char *pattern = nullptr;
    char *path = nullptr;
    int fd = -1;
    struct stat st;
    void *mapping = MAP_FAILED;

    if (!orvel_l_upload_state_safe_name(name) ||
        asprintf(&pattern, "%s/%s", orvel_i_dropbox_upload_path, name) < 0) {
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
    orvel_l_upload_state_make_folder(path);

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
        orvel_dropbox_upload_state_t scratch = {false, fd, nullptr};
        orvel_result_t result = orvel_i_dropbox_upload_state_lock(&scratch, false);
        if (result == ORVEL_SUCCESS) {
            if (sys.fstat(fd, &st) != 0 || st.st_size != orvel_l_upload_state_size) {
                int rc;
                do {
                    rc = sys.ftruncate(fd, orvel_l_upload_state_size);
                } while (rc != 0 && errno == EINTR);
                if (rc != 0) {
                    goto close_fallback; // closing the file drops its lock
                }
            }
            orvel_error_discard(orvel_i_dropbox_upload_state_unlock(&scratch));
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
        if (st.st_size == orvel_l_upload_state_size) {
            break; // another process has prepared the file
        }
        sleep(1);
    }

    mapping = sys.mmap(nullptr, (size_t)orvel_l_upload_state_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        goto close_fallback;
    }
    upload_state->is = true;
    upload_state->fd = fd;
    upload_state->shared = static_cast<struct orvel_dropbox_upload_state_shared_s *>(mapping);
    ORVEL_DROPBOX_TRACE_EXIT();
    return;

close_fallback:
    sys.close(fd);
fallback:
    upload_state->is = true;
    upload_state->fd = -1;
    upload_state->shared =
        static_cast<struct orvel_dropbox_upload_state_shared_s *>(calloc(1, (size_t)orvel_l_upload_state_size));
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_upload_state_destroy(orvel_dropbox_upload_state_t *upload_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    if (upload_state->fd == -1) {
        free(upload_state->shared);
    } else {
        if (upload_state->shared != nullptr) {
            orvel_i_dropbox_syscalls.munmap(upload_state->shared, (size_t)orvel_l_upload_state_size);
        }
        orvel_i_dropbox_syscalls.close(upload_state->fd);
        upload_state->fd = -1;
    }
    upload_state->shared = nullptr;
    ORVEL_DROPBOX_TRACE_EXIT();
}
