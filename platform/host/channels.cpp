// Data channels: memory (tests), null sink, generated upload stream and local
// file. The FTP data connection is the server's own (server/data_connection.cpp).
#include "operation.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace orvel::host {

namespace {

orvel_result_t system_failure(int err, const char *what)
{
    return orvel_error_put(orvel_i_gfs_error_system(451, err, "System error in %s", what));
}

orvel_result_t channel_failure(int code, const char *error_code, const std::string &message)
{
    return detail::put_reply_error(code, error_code, message);
}

} // namespace

// ------------------------------------------------------------------ memory

MemoryChannel::MemoryChannel(std::string input) : input_(std::move(input)) {}

orvel_result_t MemoryChannel::read(void *buffer, size_t length, size_t *nread, bool *eof)
{
    std::lock_guard lock(mutex_);
    *nread = 0;
    *eof = false;
    ++reads_;
    if (fail_read_at_ > 0 && reads_ == fail_read_at_) {
        return channel_failure(426, "DATA_CHANNEL_CLOSED",
                               "Data connection closed; transfer aborted (read " + std::to_string(reads_) + ")");
    }
    size_t n = std::min(length, input_.size() - read_pos_);
    if (n > 0 && buffer != nullptr) {
        memcpy(buffer, input_.data() + read_pos_, n);
    } else {
        n = 0;
    }
    read_pos_ += n;
    *nread = n;
    *eof = read_pos_ >= input_.size();
    return ORVEL_SUCCESS;
}

orvel_result_t MemoryChannel::write(const void *buffer, size_t length, int64_t offset)
{
    if (offset < 0) {
        return channel_failure(501, "INVALID_OFFSET", "Negative write offset " + std::to_string(offset));
    }
    std::lock_guard lock(mutex_);
    // An offset past what memory can hold is refused, not thrown out of the
    // worker thread (which would end the process).
    if (static_cast<uint64_t>(offset) > output_.max_size() ||
        length > output_.max_size() - static_cast<size_t>(offset)) {
        return channel_failure(451, "INVALID_OFFSET",
                               "Write at offset " + std::to_string(offset) + " does not fit in memory");
    }
    size_t end = static_cast<size_t>(offset) + length;
    if (output_.size() < end) {
        try {
            output_.resize(end, '\0');
        } catch (const std::exception &) {
            return channel_failure(451, "INVALID_OFFSET",
                                   "Write at offset " + std::to_string(offset) + " does not fit in memory");
        }
    }
    if (length > 0 && buffer != nullptr) {
        memcpy(output_.data() + offset, buffer, length);
    }
    log_.emplace_back(offset, length);
    return ORVEL_SUCCESS;
}

std::string MemoryChannel::written() const
{
    std::lock_guard lock(mutex_);
    return output_;
}

std::vector<std::pair<int64_t, size_t>> MemoryChannel::write_log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

size_t MemoryChannel::bytes_read() const
{
    std::lock_guard lock(mutex_);
    return read_pos_;
}

void MemoryChannel::fail_read_at(int n)
{
    std::lock_guard lock(mutex_);
    fail_read_at_ = n;
}

// -------------------------------------------------------------------- null

orvel_result_t NullChannel::read(void *, size_t, size_t *nread, bool *eof)
{
    *nread = 0;
    *eof = true;
    return ORVEL_SUCCESS;
}

orvel_result_t NullChannel::write(const void *, size_t length, int64_t)
{
    std::lock_guard lock(mutex_);
    written_ += length;
    return ORVEL_SUCCESS;
}

uint64_t NullChannel::bytes_written() const
{
    std::lock_guard lock(mutex_);
    return written_;
}

// --------------------------------------------------------------- generator

namespace {

uint64_t splitmix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t generated_word(uint32_t seed, uint64_t word_index)
{
    return splitmix64((static_cast<uint64_t>(seed) * 0xD1B54A32D192ED03ull) ^ word_index);
}

} // namespace

GeneratorChannel::GeneratorChannel(uint64_t size, uint32_t seed) : size_(size), seed_(seed) {}

unsigned char GeneratorChannel::generated_byte(uint32_t seed, uint64_t index)
{
    return static_cast<unsigned char>(generated_word(seed, index >> 3) >> ((index & 7) * 8));
}

orvel_result_t GeneratorChannel::read(void *buffer, size_t length, size_t *nread, bool *eof)
{
    std::lock_guard lock(mutex_);
    uint64_t n = std::min<uint64_t>(length, size_ - pos_);
    auto *out = static_cast<unsigned char *>(buffer);
    if (out == nullptr) {
        n = 0;
    }
    uint64_t i = 0;
    // Whole words where aligned, single bytes at the edges.
    while (i < n && ((pos_ + i) & 7) != 0) {
        out[i] = generated_byte(seed_, pos_ + i);
        ++i;
    }
    while (i + 8 <= n) {
        uint64_t word = generated_word(seed_, (pos_ + i) >> 3);
        for (int b = 0; b < 8; ++b) {
            out[i + b] = static_cast<unsigned char>(word >> (b * 8));
        }
        i += 8;
    }
    while (i < n) {
        out[i] = generated_byte(seed_, pos_ + i);
        ++i;
    }
    pos_ += n;
    *nread = static_cast<size_t>(n);
    *eof = pos_ >= size_;
    return ORVEL_SUCCESS;
}

orvel_result_t GeneratorChannel::write(const void *, size_t, int64_t)
{
    return channel_failure(500, "INTERNAL_ERROR", "A generated upload stream cannot be written to");
}

uint64_t GeneratorChannel::bytes_read() const
{
    std::lock_guard lock(mutex_);
    return pos_;
}

// -------------------------------------------------------------------- file

FileChannel::FileChannel(const std::string &path, const char *mode)
{
    bool writing = mode != nullptr && mode[0] == 'w';
    int flags = writing ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY;
    do {
        fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    } while (fd_ < 0 && errno == EINTR);
    open_errno_ = fd_ < 0 ? errno : 0;
}

FileChannel::~FileChannel()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

orvel_result_t FileChannel::read(void *buffer, size_t length, size_t *nread, bool *eof)
{
    *nread = 0;
    *eof = false;
    if (fd_ < 0) {
        return system_failure(open_errno_ != 0 ? open_errno_ : EBADF, "open");
    }
    if (length == 0) {
        return ORVEL_SUCCESS;
    }
    ssize_t n;
    do {
        n = ::read(fd_, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return system_failure(errno, "read");
    }
    *nread = static_cast<size_t>(n);
    *eof = n == 0;
    return ORVEL_SUCCESS;
}

orvel_result_t FileChannel::write(const void *buffer, size_t length, int64_t offset)
{
    if (fd_ < 0) {
        return system_failure(open_errno_ != 0 ? open_errno_ : EBADF, "open");
    }
    if (offset < 0) {
        return channel_failure(501, "INVALID_OFFSET", "Negative write offset " + std::to_string(offset));
    }
    const auto *p = static_cast<const unsigned char *>(buffer);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd_, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return system_failure(errno, "pwrite");
        }
        done += static_cast<size_t>(n);
    }
    return ORVEL_SUCCESS;
}

} // namespace orvel::host
