// Blocking reads of the client's upload stream. The host answers a read
// registration through a callback that may run on another thread; the
// reading function waits for that one answer on a mutex and a condition
// variable, with a flag that tells the answer from a spurious wake-up.
#include "orvel_dropbox_guard.hpp"
#include "orvel_dropbox_transfer.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace {

// The rendezvous of one read with the host's callback.
struct orvel_l_dropbox_read_wait {
    std::mutex mutex;
    std::condition_variable answered_cv;
    bool answered = false;                 /* the callback has stored its answer */
    orvel_result_t result = ORVEL_SUCCESS; /* the host's result */
    size_t nbytes = 0;                     /* bytes read */
    bool eof = false;                      /* the stream has ended */
};

void orvel_l_dropbox_read_answered(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t nbytes,
                                   orvel_off_t, bool eof, void *user_arg)
{
    orvel_i_dropbox_guard_void("data channel read", [&] {
        auto *wait = static_cast<orvel_l_dropbox_read_wait *>(user_arg);
        std::lock_guard<std::mutex> lock(wait->mutex);
        wait->result = result;
        wait->nbytes = nbytes;
        wait->eof = eof;
        wait->answered = true;
        wait->answered_cv.notify_one();
    });
}

} // namespace

orvel_result_t orvel_dropbox_channel_read(orvel_gfs_operation_t op, void *buffer, size_t length, size_t *nread,
                                          bool *eof)
{
    *nread = 0;
    *eof = false;
    orvel_l_dropbox_read_wait wait;
    orvel_result_t result = orvel_gridftp_server_register_read(op, static_cast<orvel_byte_t *>(buffer), length,
                                                               orvel_l_dropbox_read_answered, &wait);
    if (result != ORVEL_SUCCESS)
        return result; // no callback follows a failed registration
    std::unique_lock<std::mutex> lock(wait.mutex);
    wait.answered_cv.wait(lock, [&wait] { return wait.answered; });
    if (wait.result == ORVEL_SUCCESS) {
        *nread = std::min(wait.nbytes, length);
        *eof = wait.eof;
    }
    return wait.result;
}

orvel_result_t orvel_dropbox_channel_read_full(orvel_gfs_operation_t op, void *buffer, size_t length, size_t *nread,
                                               bool *eof)
{
    *nread = 0;
    *eof = false;
    // The host hands out 0 bytes only with the end or an error; a bounded
    // number of empty answers guards against a channel that breaks the rule.
    int empty_reads = 0;
    while (*nread < length && !*eof) {
        size_t got = 0;
        orvel_result_t result =
            orvel_dropbox_channel_read(op, static_cast<char *>(buffer) + *nread, length - *nread, &got, eof);
        if (result != ORVEL_SUCCESS)
            return result;
        *nread += got;
        if (got == 0 && !*eof && ++empty_reads >= 1000)
            return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "the data channel gave no data"));
    }
    return ORVEL_SUCCESS;
}

orvel_result_t orvel_dropbox_channel_expect_end(orvel_gfs_operation_t op, const char *path)
{
    char byte = 0;
    size_t got = 0;
    bool eof = false;
    orvel_result_t result = orvel_dropbox_channel_read_full(op, &byte, 1, &got, &eof);
    if (result == ORVEL_SUCCESS && got > 0)
        result = orvel_dropbox_upload_too_much_data(path);
    return result;
}
