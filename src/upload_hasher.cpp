// The service's content hash of the bytes an upload sends. A running hash
// works on a thread of its own, so that hashing overlaps with sending: the
// tap copies each block into a bounded ring and returns at once. Without a
// thread the blocks are hashed where they arrive.
#include "orvel_dropbox_guard.hpp"
#include "orvel_dropbox_transfer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

struct orvel_dropbox_hasher_s {
    explicit orvel_dropbox_hasher_s(orvel_gfs_checksum_state_t state) : state_(state) {}
    ~orvel_dropbox_hasher_s()
    {
        close();
        if (state_ != nullptr)
            orvel_gfs_checksum_abort(state_);
    }
    orvel_dropbox_hasher_s(const orvel_dropbox_hasher_s &) = delete;
    orvel_dropbox_hasher_s &operator=(const orvel_dropbox_hasher_s &) = delete;

    void start()
    {
        try {
            ring_.resize(kRingSize);
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception &) {
            ring_.clear();
            ring_.shrink_to_fit();
        }
    }

    void feed(const unsigned char *data, size_t length)
    {
        if (!thread_.joinable()) {
            update(data, length);
            return;
        }
        while (length > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            space_.wait(lock, [this] { return written_ - hashed_ < ring_.size(); });
            const size_t pos = static_cast<size_t>(written_ % ring_.size());
            const size_t room = ring_.size() - static_cast<size_t>(written_ - hashed_);
            const size_t n = std::min({length, room, ring_.size() - pos});
            lock.unlock();
            // Free space: the hashing thread does not look at it.
            std::memcpy(ring_.data() + pos, data, n);
            lock.lock();
            written_ += n;
            const bool wake = written_ - hashed_ >= kBatch;
            lock.unlock();
            if (wake)
                data_.notify_one();
            data += n;
            length -= n;
        }
    }

    // Waits until every block fed is hashed; the digest text, or null.
    char *finish()
    {
        close();
        char *digest = nullptr;
        if (!failed_ && state_ != nullptr) {
            orvel_result_t result = orvel_gfs_checksum_finalize(state_, &digest);
            if (result != ORVEL_SUCCESS) {
                orvel_error_discard(result);
                digest = nullptr;
            }
        } else if (state_ != nullptr) {
            orvel_gfs_checksum_abort(state_);
        }
        state_ = nullptr;
        return digest;
    }

private:
    static constexpr size_t kRingSize = 4 * 1024 * 1024;
    // The hashing thread is woken for this much at least (or at the end).
    static constexpr uint64_t kBatch = 1024 * 1024;

    void close()
    {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
        }
        data_.notify_one();
        thread_.join();
    }

    void update(const unsigned char *data, size_t length)
    {
        if (failed_ || state_ == nullptr || length == 0)
            return;
        orvel_result_t result = orvel_gfs_checksum_update(state_, data, length);
        if (result != ORVEL_SUCCESS) {
            failed_ = true;
            orvel_error_discard(result);
        }
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            data_.wait(lock, [this] { return written_ > hashed_ || closing_; });
            if (written_ == hashed_)
                return; // closing, and everything is hashed
            const size_t pos = static_cast<size_t>(hashed_ % ring_.size());
            const size_t n = static_cast<size_t>(std::min<uint64_t>(written_ - hashed_, ring_.size() - pos));
            lock.unlock();
            update(ring_.data() + pos, n);
            lock.lock();
            hashed_ += n;
            space_.notify_one();
        }
    }

    orvel_gfs_checksum_state_t state_; /* the content hash so far */
    bool failed_ = false;              /* an update failed: the hash is unknown */
    std::vector<unsigned char> ring_;  /* blocks waiting to be hashed */
    uint64_t written_ = 0;             /* bytes copied into the ring so far */
    uint64_t hashed_ = 0;              /* bytes hashed so far */
    bool closing_ = false;             /* no more blocks will come */
    std::mutex mutex_;                 /* guards written_, hashed_ and closing_ */
    std::condition_variable data_;     /* blocks arrived, or closing */
    std::condition_variable space_;    /* room in the ring */
    std::thread thread_;               /* the hashing thread, when running */
};

orvel_dropbox_hasher_t *orvel_dropbox_hasher_start(void)
{
    orvel_gfs_checksum_state_t state = nullptr;
    orvel_result_t result = orvel_gfs_checksum_init("DROPBOX", &state);
    orvel_dropbox_hasher_t *hasher = nullptr;
    if (result == ORVEL_SUCCESS) {
        hasher = new (std::nothrow) orvel_dropbox_hasher_t(state);
        if (hasher == nullptr)
            orvel_gfs_checksum_abort(state);
        else
            hasher->start();
    }
    orvel_error_discard(result);
    if (hasher == nullptr)
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_WARN, "content hash unavailable: the upload is not verified\n");
    return hasher;
}

void orvel_dropbox_hasher_tap(void *hasher, const void *buffer, size_t length)
{
    orvel_i_dropbox_guard_void("upload data tap", [&] {
        if (hasher != nullptr)
            static_cast<orvel_dropbox_hasher_t *>(hasher)->feed(static_cast<const unsigned char *>(buffer), length);
    });
}

char *orvel_dropbox_hasher_finish(orvel_dropbox_hasher_t *hasher)
{
    if (hasher == nullptr)
        return nullptr;
    char *digest = hasher->finish();
    delete hasher;
    return digest;
}

orvel_result_t orvel_dropbox_content_hash(const void *data, size_t length, char hash[65])
{
    hash[0] = '\0';
    orvel_gfs_checksum_state_t state = nullptr;
    char *digest = nullptr;
    orvel_result_t result = orvel_gfs_checksum_init("DROPBOX", &state);
    if (result == ORVEL_SUCCESS)
        result = orvel_gfs_checksum_update(state, static_cast<const unsigned char *>(data), length);
    if (result == ORVEL_SUCCESS) {
        result = orvel_gfs_checksum_finalize(state, &digest);
        state = nullptr; // finalize frees the context in every case
    }
    if (state != nullptr)
        orvel_gfs_checksum_abort(state);
    if (result == ORVEL_SUCCESS)
        std::snprintf(hash, 65, "%s", digest != nullptr ? digest : "");
    orvel_dropbox_free(digest);
    return result;
}
