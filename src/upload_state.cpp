// The upload state file: one 4,248-byte record per name under the user's
// home, mapped by every process of the user that opens it, so that sibling
// server processes see one shared record with the fields of an upload
// session. The file is sized under a whole-file record lock by whichever
// process takes the lock first; when it cannot be used, the record lives in
// the process's own memory instead.
#include "orvel_dropbox_common.h"

#include <cstddef>

static_assert(sizeof(struct orvel_dropbox_upload_state_shared_s) == ORVEL_DROPBOX_UPLOAD_STATE_SIZE,
              "upload state file layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, num_parts) == 128, "upload state layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, part_size) == 136, "upload state layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, total_size) == 144, "upload state layout");
static_assert(offsetof(struct orvel_dropbox_upload_state_shared_s, name) == 152, "upload state layout");

namespace {

// The file's own lock and unlock, on a scratch handle holding only the
// descriptor, so that preparing the file logs as they do.
orvel_result_t orvel_l_upload_state_try_lock(int fd)
{
    orvel_dropbox_upload_state_t scratch = {false, fd, nullptr};
    return orvel_i_dropbox_upload_state_lock(&scratch, false);
}

orvel_result_t orvel_l_upload_state_unlock(int fd)
{
    orvel_dropbox_upload_state_t scratch = {false, fd, nullptr};
    return orvel_i_dropbox_upload_state_unlock(&scratch);
}

// A new file is all zero bytes as the resize leaves it.
const orvel_dropbox_state_file_t orvel_l_upload_state_file = {
    ORVEL_DROPBOX_UPLOAD_STATE_SIZE, orvel_l_upload_state_try_lock, orvel_l_upload_state_unlock, nullptr, true};

} // namespace

orvel_result_t orvel_i_dropbox_upload_state_lock(orvel_dropbox_upload_state_t *upload_state, bool blocking)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_dropbox_state_file_lock(upload_state->fd, blocking);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

orvel_result_t orvel_i_dropbox_upload_state_unlock(orvel_dropbox_upload_state_t *upload_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = orvel_dropbox_state_file_unlock(upload_state->fd);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

void orvel_i_dropbox_upload_state_create(const char *name, orvel_dropbox_upload_state_t *upload_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    int fd = -1;
    void *shared = nullptr;
    (void)orvel_dropbox_state_file_open(&orvel_l_upload_state_file, orvel_i_dropbox_upload_path, name, &fd, &shared);
    upload_state->is = true;
    upload_state->fd = fd;
    upload_state->shared = static_cast<struct orvel_dropbox_upload_state_shared_s *>(shared);
    ORVEL_DROPBOX_TRACE_EXIT();
}

void orvel_i_dropbox_upload_state_destroy(orvel_dropbox_upload_state_t *upload_state)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_dropbox_state_file_close(&orvel_l_upload_state_file, upload_state->fd, upload_state->shared);
    upload_state->fd = -1;
    upload_state->shared = nullptr;
    ORVEL_DROPBOX_TRACE_EXIT();
}
