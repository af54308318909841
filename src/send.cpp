// The send slot (retrieve): each byte range the host asks for is downloaded
// into the host's data channel at its offsets, a large one as pieces over
// several connections at once (download_parallel.cpp). All ranges of a
// transfer read the revision of the file that its first reply came from.
#include "orvel_dropbox_transfer.h"

#include <cinttypes>
#include <cstdint>

namespace {

orvel_result_t orvel_l_dropbox_send_ranges(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                           orvel_dropbox_download_t *file)
{
    orvel_result_t result = ORVEL_SUCCESS;
    for (;;) {
        orvel_off_t start = 0;
        orvel_off_t count = 0;
        orvel_gridftp_server_get_read_range(op, &start, &count);
        if (count == 0)
            break;
        // The last byte of the range must be a file offset too.
        if (start < 0 || count < -1 || (count > 0 && count - 1 > INT64_MAX - start)) {
            result = orvel_error_put(
                ORVEL_ERROR_GENERIC("invalid read range offset=%" PRId64 " length=%" PRId64, start, count));
            break;
        }

        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "range offset=%" PRId64 " length=%" PRId64 "\n", start, count);
        result = orvel_dropbox_download_range(handle, file, op, start, count, nullptr, nullptr, nullptr);
        if (result != ORVEL_SUCCESS || count == -1)
            break;
    }
    return result;
}

} // namespace

extern "C" void orvel_i_dropbox_send(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    auto *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);
    orvel_dropbox_path_info_t *entry = nullptr;
    orvel_dropbox_download_t file{};

    orvel_result_t result = orvel_dropbox_update_token(handle, op);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_path_resolve(handle, transfer_info->pathname, &entry, nullptr);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_download_init(&file, entry->id);
    if (result == ORVEL_SUCCESS) {
        file.expected_size = entry->size;
        orvel_gridftp_server_begin_transfer(op, 0, nullptr);
        result = orvel_l_dropbox_send_ranges(op, handle, &file);
    }
    orvel_dropbox_download_release(&file);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_transfer(op, result);
}
