// Blocking reads and writes on the host's data channel. The host answers a
// registration through a callback that may run on another thread, so each
// call waits for its own answer on a mutex and condition variable.
#include "rest_internal.hpp"

#include <condition_variable>
#include <mutex>

namespace orvel::rest {
namespace {

struct ChannelWait {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    orvel_result_t result = ORVEL_SUCCESS;
    size_t nbytes = 0;
    bool eof = false;

    void finish(orvel_result_t r, size_t n, bool at_end)
    {
        std::lock_guard<std::mutex> lock(mutex);
        result = r;
        nbytes = n;
        eof = at_end;
        done = true;
        done_cv.notify_one();
    }

    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        done_cv.wait(lock, [this] { return done; });
    }
};

void read_done(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t nbytes, orvel_off_t, bool eof,
               void *user_arg)
{
    static_cast<ChannelWait *>(user_arg)->finish(result, nbytes, eof);
}

void write_done(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t nbytes, void *user_arg)
{
    static_cast<ChannelWait *>(user_arg)->finish(result, nbytes, false);
}

} // namespace

orvel_result_t channel_read(orvel_gfs_operation_t op, void *buffer, size_t length, size_t *nread, bool *eof)
{
    ChannelWait wait;
    orvel_result_t result =
        orvel_gridftp_server_register_read(op, static_cast<orvel_byte_t *>(buffer), length, read_done, &wait);
    if (result != ORVEL_SUCCESS) {
        return result;
    }
    wait.wait();
    *nread = wait.nbytes > length ? length : wait.nbytes;
    *eof = wait.eof;
    return wait.result;
}

orvel_result_t channel_write(orvel_gfs_operation_t op, const void *buffer, size_t length, orvel_off_t offset)
{
    ChannelWait wait;
    // The host only reads the buffer; its callback type is shared with reads.
    orvel_result_t result = orvel_gridftp_server_register_write(
        op, static_cast<orvel_byte_t *>(const_cast<void *>(buffer)), length, offset, 0, write_done, &wait);
    if (result != ORVEL_SUCCESS) {
        return result;
    }
    wait.wait();
    return wait.result;
}

} // namespace orvel::rest
