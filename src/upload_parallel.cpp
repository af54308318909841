// Uploads over several connections at once. The client's stream is read in
// pieces held in memory (a whole number of the service's 4 MiB blocks that
// divides the 100 MiB part); each piece is appended to the concurrent upload
// session with its content hash by one of `streams` threads, so that several
// appends are in flight while the next piece is read. The session table
// records which pieces are stored: a restarted transfer reads past those and
// sends only the others. The last piece closes the session; it is sent only
// once the end of the data is confirmed and every other piece is stored, so
// that nothing can be committed from a stream that went wrong.
#include "orvel_dropbox_guard.hpp"
#include "orvel_dropbox_transfer.h"

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct orvel_l_dropbox_job {
    int32_t index = 0;             // piece number
    uint64_t offset = 0;           // file offset of its first byte
    unsigned char *data = nullptr; // owned: from the transfer's pool
    size_t length = 0;
};

// What the reader and the appending threads share.
struct orvel_l_dropbox_appends {
    orvel_dropbox_handle_t *handle;
    orvel_gfs_operation_t op;
    orvel_dropbox_upload_session_t *upload;
    int streams;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<orvel_l_dropbox_job> queue;
    orvel_dropbox_piece_pool_t pool{}; // memory of pieces done, for the next ones
    int busy = 0;                      // pieces queued or being appended
    bool reading_done = false;
    bool failed = false;
    orvel_result_t failure = ORVEL_SUCCESS; // the first failure, for the host
};

// Marks piece `index` stored (the caller holds the lock); the table grows
// with an upload of unannounced size.
bool orvel_l_dropbox_mark_stored(orvel_dropbox_upload_session_t *upload, int32_t index, unsigned char value)
{
    if (index >= upload->stored_count) {
        const int32_t count = index + 1;
        auto *grown = static_cast<unsigned char *>(orvel_dropbox_realloc(upload->stored, static_cast<size_t>(count)));
        if (grown == nullptr)
            return false;
        std::memset(grown + upload->stored_count, 0, static_cast<size_t>(count - upload->stored_count));
        upload->stored = grown;
        upload->stored_count = count;
    }
    upload->stored[index] = value;
    return true;
}

bool orvel_l_dropbox_is_stored(const orvel_dropbox_upload_session_t *upload, int32_t index)
{
    return index < upload->stored_count && upload->stored[index] != 0;
}

// Keeps a piece's memory for the next piece.
void orvel_l_dropbox_give(orvel_l_dropbox_appends *shared, unsigned char *data)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    orvel_dropbox_piece_pool_give(&shared->pool, data);
}

void orvel_l_dropbox_fail(orvel_l_dropbox_appends *shared, orvel_result_t result)
{
    if (shared->failed) {
        orvel_error_discard(result);
    } else {
        shared->failed = true;
        shared->failure = result;
    }
    shared->changed.notify_all();
}

// Appends one piece with its content hash (the last one closes the session).
orvel_result_t orvel_l_dropbox_append(orvel_l_dropbox_appends *shared, const orvel_l_dropbox_job &job, bool last)
{
    orvel_dropbox_upload_piece_t piece{};
    piece.data = job.data;
    piece.length = job.length;
    piece.offset = job.offset;
    piece.last = last;
    orvel_result_t result = orvel_dropbox_content_hash(job.data, job.length, piece.hash);
    // A long transfer outlives a token: renewed between pieces.
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_transfer_renew_token(shared->handle, shared->op);
    if (result == ORVEL_SUCCESS)
        result = orvel_dropbox_upload_piece_append(shared->handle, &piece, shared->upload->id);
    if (result == ORVEL_SUCCESS) {
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "piece %d at %" PRIu64 " of %s stored (%zu bytes)\n", job.index,
                          job.offset, shared->upload->name, job.length);
    } else {
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "piece %d at %" PRIu64 " of %s failed; the upload session stays open\n",
                          job.index, job.offset, shared->upload->name);
    }
    return result;
}

// One appending thread: takes queued pieces until the reader is done.
void orvel_l_dropbox_appender(orvel_l_dropbox_appends *shared)
{
    for (;;) {
        orvel_l_dropbox_job job;
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->changed.wait(lock,
                                 [shared] { return shared->failed || !shared->queue.empty() || shared->reading_done; });
            if (shared->failed || shared->queue.empty())
                return;
            job = shared->queue.front();
            shared->queue.pop_front();
        }
        // What an append throws fails the upload instead of ending the process.
        orvel_result_t result =
            orvel_i_dropbox_guard("upload piece", [&] { return orvel_l_dropbox_append(shared, job, false); });
        orvel_l_dropbox_give(shared, job.data);
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->busy--;
        if (result != ORVEL_SUCCESS)
            orvel_l_dropbox_fail(shared, result);
        else if (!orvel_l_dropbox_mark_stored(shared->upload, job.index, 1))
            orvel_l_dropbox_fail(shared, orvel_dropbox_error_system_malloc());
        shared->changed.notify_all();
    }
}

// The piece reader: the stream from `offset`, piece by piece, into `stored`
// checks and the queue. `prefix` (may be null) holds the stream's first
// bytes, already read.
orvel_result_t orvel_l_dropbox_read_pieces(orvel_l_dropbox_appends *shared, orvel_gfs_transfer_info_t *info,
                                           uint64_t offset, const orvel_dropbox_upload_piece_t *prefix,
                                           orvel_dropbox_hasher_t *hasher, uint64_t *end_out)
{
    orvel_dropbox_upload_session_t *upload = shared->upload;
    const uint64_t piece_size = upload->part_size;
    const uint64_t expected = upload->size_unknown ? 0 : upload->total_size;
    uint64_t pos = offset;
    char ahead = 0;
    bool has_ahead = false;
    bool prefix_used = prefix == nullptr;

    for (auto index = static_cast<int32_t>(offset / piece_size);; index++) {
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->changed.wait(lock, [shared] { return shared->failed || shared->busy < shared->streams; });
            if (shared->failed)
                return ORVEL_SUCCESS; // the failure is the shared one
        }
        orvel_l_dropbox_job job;
        job.index = index;
        job.offset = pos;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            job.data = static_cast<unsigned char *>(orvel_dropbox_piece_pool_take(&shared->pool));
        }
        if (job.data == nullptr)
            return orvel_dropbox_error_system_malloc();
        if (!prefix_used) {
            std::memcpy(job.data, prefix->data, prefix->length);
            job.length = prefix->length;
            has_ahead = prefix->has_ahead;
            ahead = prefix->ahead;
            prefix_used = true;
        }
        if (has_ahead && job.length < piece_size) {
            job.data[job.length++] = static_cast<unsigned char>(ahead);
            has_ahead = false;
        }
        size_t got = 0;
        bool eof = false;
        orvel_result_t result = ORVEL_SUCCESS;
        if (job.length < piece_size)
            result =
                orvel_dropbox_channel_read_full(shared->op, job.data + job.length, piece_size - job.length, &got, &eof);
        job.length += got;
        if (result == ORVEL_SUCCESS && !eof && !has_ahead) {
            // A full piece: whether the data goes on is known only by reading on.
            result = orvel_dropbox_channel_read_full(shared->op, &ahead, 1, &got, &eof);
            has_ahead = got > 0;
            eof = got == 0;
        }
        orvel_dropbox_hasher_tap(hasher, job.data, job.length);
        const uint64_t end = pos + job.length;
        if (result == ORVEL_SUCCESS && expected != 0 && (end > expected || (end == expected && !eof)))
            result = orvel_dropbox_upload_too_much_data(info->pathname);
        else if (result == ORVEL_SUCCESS && expected != 0 && eof && end < expected)
            result = orvel_dropbox_upload_short_data(ORVEL_SUCCESS, info->pathname, static_cast<int64_t>(end),
                                                     static_cast<int64_t>(expected));
        else if (result != ORVEL_SUCCESS && expected != 0)
            result = orvel_dropbox_upload_short_data(result, info->pathname, static_cast<int64_t>(end),
                                                     static_cast<int64_t>(expected));
        if (result != ORVEL_SUCCESS) {
            orvel_l_dropbox_give(shared, job.data);
            return result;
        }
        pos = end;

        std::unique_lock<std::mutex> lock(shared->mutex);
        if (eof) {
            // The last piece: closes the session once every other is stored.
            shared->changed.wait(lock, [shared] { return shared->failed || shared->busy == 0; });
            if (shared->failed) {
                orvel_dropbox_piece_pool_give(&shared->pool, job.data);
                return ORVEL_SUCCESS;
            }
            lock.unlock();
            result = orvel_l_dropbox_append(shared, job, true);
            orvel_l_dropbox_give(shared, job.data);
            if (result == ORVEL_SUCCESS)
                *end_out = end;
            return result;
        }
        if (orvel_l_dropbox_is_stored(upload, index)) {
            // Appended by an earlier attempt of this transfer: read past.
            orvel_dropbox_piece_pool_give(&shared->pool, job.data);
            continue;
        }
        if (!orvel_l_dropbox_mark_stored(upload, index, 0)) {
            orvel_dropbox_piece_pool_give(&shared->pool, job.data);
            return orvel_dropbox_error_system_malloc();
        }
        shared->queue.push_back(job);
        shared->busy++;
        shared->changed.notify_all();
    }
}

} // namespace

bool orvel_dropbox_upload_parallel_prepare(orvel_dropbox_upload_session_t *upload)
{
    upload->parallel = true;
    upload->part_size = orvel_i_dropbox_piece_size;
    upload->num_parts = upload->size_unknown
                            ? 0
                            : static_cast<int32_t>((upload->total_size + upload->part_size - 1) / upload->part_size);
    orvel_dropbox_free(upload->stored);
    upload->stored_count = upload->num_parts > 0 ? upload->num_parts : 1;
    upload->stored = static_cast<unsigned char *>(orvel_dropbox_calloc(static_cast<size_t>(upload->stored_count), 1));
    return upload->stored != nullptr;
}

uint64_t orvel_dropbox_upload_parallel_resume_at(const orvel_dropbox_upload_session_t *upload)
{
    if (upload->closed)
        return upload->total_size;
    int32_t k = 0;
    while (orvel_l_dropbox_is_stored(upload, k))
        k++;
    return static_cast<uint64_t>(k) * upload->part_size;
}

orvel_result_t orvel_dropbox_upload_parallel(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                             orvel_gfs_transfer_info_t *info, orvel_dropbox_upload_session_t *upload,
                                             orvel_off_t offset, const orvel_dropbox_upload_piece_t *prefix,
                                             orvel_dropbox_hasher_t *hasher)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_result_t result = ORVEL_SUCCESS;
    const uint64_t resume_at = orvel_dropbox_upload_parallel_resume_at(upload);
    if (offset < 0 || static_cast<uint64_t>(offset) % upload->part_size != 0 ||
        static_cast<uint64_t>(offset) > resume_at) {
        char why[160];
        std::snprintf(why, sizeof why, "the interrupted upload of this file continues at offset %" PRIu64, resume_at);
        result = orvel_dropbox_upload_append_not_supported(why);
        ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
        return result;
    }

    orvel_l_dropbox_appends shared;
    shared.handle = handle;
    shared.op = op;
    shared.upload = upload;
    shared.streams = orvel_i_dropbox_transfer_streams > 1 ? orvel_i_dropbox_transfer_streams : 1;
    shared.pool.size = upload->part_size;
    std::vector<std::thread> threads;
    for (int i = 0; i < shared.streams; i++) {
        try {
            threads.emplace_back(orvel_l_dropbox_appender, &shared);
        } catch (const std::exception &) {
            break; // fewer streams: the ones that started append every piece
        }
    }
    uint64_t end = 0;
    if (threads.empty())
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "no thread for the upload"));
    else // the threads are joined below whatever the reading throws
        result = orvel_i_dropbox_guard("upload reading", [&] {
            return orvel_l_dropbox_read_pieces(&shared, info, static_cast<uint64_t>(offset), prefix, hasher, &end);
        });
    {
        // Pieces read before a failure of the stream are still appended, so
        // that a restart need not send them again.
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.reading_done = true;
        shared.changed.notify_all();
    }
    for (std::thread &thread : threads)
        thread.join();
    for (orvel_l_dropbox_job &job : shared.queue)
        orvel_dropbox_piece_pool_give(&shared.pool, job.data);
    orvel_dropbox_piece_pool_release(&shared.pool);
    if (result == ORVEL_SUCCESS) {
        result = shared.failure;
    } else {
        orvel_error_discard(shared.failure);
    }
    if (result == ORVEL_SUCCESS) {
        upload->total_size = end;
        upload->closed = true;
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
