// The account's change counter: an 8-byte file per account beside the pacing
// record, which every session of the account on this host bumps after each
// create, upload, move and delete. A session that finds the counter moved
// since it last looked knows that another session changed the account, and
// confirms what it has cached before that decides an answer. While nothing
// changes, following the counter costs no API call.
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

static_assert(sizeof(struct orvel_dropbox_changes_shared_s) == 8, "change counter layout");

namespace {

orvel_result_t orvel_l_dropbox_changes_try_lock(int fd)
{
    return orvel_dropbox_state_file_lock(fd, false);
}

orvel_result_t orvel_l_dropbox_changes_unlock(int fd)
{
    return orvel_dropbox_state_file_unlock(fd);
}

// A new file counts from zero, as the resize leaves it.
const orvel_dropbox_state_file_t orvel_l_dropbox_changes_file = {sizeof(struct orvel_dropbox_changes_shared_s),
                                                                 orvel_l_dropbox_changes_try_lock,
                                                                 orvel_l_dropbox_changes_unlock, nullptr, false};

// Takes the counter file's lock and reads the counter into the copy. False
// when the file cannot serve; after a lock held too long by another process
// the session stops using the file and follows only its own changes.
bool orvel_l_dropbox_changes_read_locked(orvel_dropbox_changes_t *changes)
{
    if (!changes->is || changes->fd < 0)
        return false;
    orvel_result_t result = orvel_dropbox_state_file_lock(changes->fd, true);
    if (result != ORVEL_SUCCESS) {
        orvel_object_t *error = orvel_error_peek(result);
        int error_number = error != nullptr ? orvel_gfs_error_get_system_errno(error) : 0;
        orvel_error_discard(result);
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "fd=%d lock failed (errno %d)\n", changes->fd, error_number);
        if (error_number == ETIMEDOUT) {
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "fd=%d given up: other sessions' changes are no longer seen\n",
                              changes->fd);
            orvel_i_dropbox_syscalls.close(changes->fd);
            changes->fd = -1;
        }
        return false;
    }
    (void)orvel_dropbox_state_file_read(&orvel_l_dropbox_changes_file, changes->fd, changes->shared);
    return true;
}

void orvel_l_dropbox_changes_unlock_file(orvel_dropbox_changes_t *changes)
{
    orvel_error_discard(orvel_dropbox_state_file_unlock(changes->fd));
}

// Everything cached so far needs confirming before it decides an answer.
void orvel_l_dropbox_changes_invalidate(orvel_dropbox_changes_t *changes, const char *why)
{
    changes->valid_from = orvel_dropbox_confirmation_take();
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "changes=%" PRIu64 " %s: cached metadata is confirmed before use\n",
                      changes->seen, why);
}

} // namespace

void orvel_i_dropbox_changes_create(const char *account_id, orvel_dropbox_changes_t *changes)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    char *name = nullptr;
    int fd = -1;
    void *record = nullptr;
    if (account_id != nullptr && orvel_dropbox_asprintf(&name, "%s.changes", account_id) < 0)
        name = nullptr;
    (void)orvel_dropbox_state_file_open(&orvel_l_dropbox_changes_file, orvel_i_dropbox_retry_path, name, &fd, &record);
    orvel_dropbox_free(name);
    changes->is = true;
    changes->fd = fd;
    changes->shared = static_cast<struct orvel_dropbox_changes_shared_s *>(record);
    changes->seen = changes->shared != nullptr ? changes->shared->changes : 0;
    changes->valid_from = 0;
    if (fd < 0)
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "no change counter file: other sessions' changes are not seen\n");
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_changes_destroy(orvel_dropbox_changes_t *changes)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_state_file_close(&orvel_l_dropbox_changes_file, changes->fd, changes->shared);
    changes->shared = nullptr;
    changes->fd = -1;
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_dropbox_changes_check(orvel_dropbox_handle_t *handle)
{
    orvel_dropbox_changes_t *changes = &handle->changes;
    if (!orvel_l_dropbox_changes_read_locked(changes))
        return;
    uint64_t now = changes->shared->changes;
    orvel_l_dropbox_changes_unlock_file(changes);
    if (now != changes->seen) {
        changes->seen = now;
        orvel_l_dropbox_changes_invalidate(changes, "moved");
    }
}

void orvel_dropbox_changes_made(orvel_dropbox_handle_t *handle, bool known)
{
    orvel_dropbox_changes_t *changes = &handle->changes;
    bool others = false;
    if (orvel_l_dropbox_changes_read_locked(changes)) {
        others = changes->shared->changes != changes->seen;
        changes->shared->changes++;
        if (!orvel_dropbox_state_file_write(&orvel_l_dropbox_changes_file, changes->fd, changes->shared))
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "fd=%d change not counted\n", changes->fd);
        changes->seen = changes->shared->changes;
        orvel_l_dropbox_changes_unlock_file(changes);
    }
    if (others)
        orvel_l_dropbox_changes_invalidate(changes, "moved by another session");
    else if (!known)
        orvel_l_dropbox_changes_invalidate(changes, "after a change of unknown outcome");
}
