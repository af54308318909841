// Reads and writes on the host's data channel. The host answers a
// registration through a callback that may run on another thread, so each
// registration waits for its own answer on a mutex and condition variable.
#include "rest_internal.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace orvel::rest {

void ChannelWait::finish(orvel_result_t r, size_t n, bool at_end)
{
    std::lock_guard<std::mutex> lock(mutex);
    result = r;
    nbytes = n;
    eof = at_end;
    done = true;
    done_cv.notify_one();
}

void ChannelWait::wait()
{
    std::unique_lock<std::mutex> lock(mutex);
    done_cv.wait(lock, [this] { return done; });
}

namespace {

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
    *nread = std::min(wait.nbytes, length);
    *eof = wait.eof;
    return wait.result;
}

orvel_result_t channel_write_start(orvel_gfs_operation_t op, const void *buffer, size_t length, orvel_off_t offset,
                                   ChannelWait *wait)
{
    // The host only reads the buffer; its buffer type is shared with reads.
    return orvel_gridftp_server_register_write(op, static_cast<orvel_byte_t *>(const_cast<void *>(buffer)), length,
                                               offset, 0, write_done, wait);
}

orvel_result_t channel_write(orvel_gfs_operation_t op, const void *buffer, size_t length, orvel_off_t offset)
{
    ChannelWait wait;
    orvel_result_t result = channel_write_start(op, buffer, length, offset, &wait);
    if (result != ORVEL_SUCCESS) {
        return result;
    }
    wait.wait();
    return wait.result;
}

ChannelSink::~ChannelSink()
{
    // Never leave while the host may still read one of the buffers.
    if (pending_) {
        pending_->wait();
        orvel_error_discard(pending_->result);
    }
}

orvel_result_t ChannelSink::take(const char *data, size_t length)
{
    if (failed_) {
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "data channel write already failed"));
    }
    const orvel_off_t so_far = arg_->transferred + static_cast<orvel_off_t>(pending_length_ + fill_);
    if (arg_->length >= 0 && so_far + static_cast<orvel_off_t>(length) > arg_->length) {
        // More than asked for: writing on would put bytes beyond the range.
        failed_ = true;
        return make_error(CURLE_WRITE_ERROR,
                          "the reply body is longer than the " + std::to_string(arg_->length) + " bytes expected",
                          false);
    }
    while (length > 0) {
        if (!buffers_[current_]) {
            buffers_[current_].reset(new (std::nothrow) unsigned char[kSinkBlock]);
            if (!buffers_[current_]) {
                failed_ = true;
                return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "out of memory for the reply buffer"));
            }
        }
        const size_t n = std::min(length, kSinkBlock - fill_);
        std::memcpy(buffers_[current_].get() + fill_, data, n);
        fill_ += n;
        data += n;
        length -= n;
        if (fill_ == kSinkBlock) {
            orvel_result_t result = submit();
            if (result != ORVEL_SUCCESS) {
                return result;
            }
        }
    }
    return ORVEL_SUCCESS;
}

orvel_result_t ChannelSink::wait_pending()
{
    if (!pending_) {
        return ORVEL_SUCCESS;
    }
    pending_->wait();
    orvel_result_t result = pending_->result;
    pending_.reset();
    const size_t length = pending_length_;
    pending_length_ = 0;
    if (result != ORVEL_SUCCESS) {
        failed_ = true;
        return result;
    }
    if (arg_->tap) {
        arg_->tap(arg_->tap_arg, buffers_[pending_index_].get(), length);
    }
    arg_->transferred += static_cast<orvel_off_t>(length);
    return ORVEL_SUCCESS;
}

orvel_result_t ChannelSink::submit()
{
    orvel_result_t result = wait_pending();
    if (result != ORVEL_SUCCESS || fill_ == 0) {
        return result;
    }
    auto wait = std::make_unique<ChannelWait>();
    result =
        channel_write_start(arg_->op, buffers_[current_].get(), fill_, arg_->offset + arg_->transferred, wait.get());
    if (result != ORVEL_SUCCESS) {
        failed_ = true;
        return result;
    }
    pending_ = std::move(wait);
    pending_length_ = fill_;
    pending_index_ = current_;
    current_ ^= 1;
    fill_ = 0;
    return ORVEL_SUCCESS;
}

orvel_result_t ChannelSink::finish()
{
    if (failed_) {
        return wait_pending();
    }
    orvel_result_t result = submit();
    orvel_result_t last = wait_pending();
    if (result == ORVEL_SUCCESS) {
        return last;
    }
    orvel_error_discard(last);
    return result;
}

} // namespace orvel::rest
