// Downloads over several connections at once. A large range is cut into
// pieces: the first is fetched alone, so that its reply names the revision
// (and size) every later piece asks for; then up to `streams` pieces are
// fetched at a time, each on a thread and a connection of its own, into
// memory of their own, and handed to the client strictly in order: the
// bytes of the piece next in line go on to the client as they arrive. A piece
// that breaks off is continued from where it stopped (download_piece.cpp);
// the first failure stops the others and fails the range once.
#include "orvel_dropbox_guard.hpp"
#include "orvel_dropbox_transfer.h"

#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

int32_t orvel_i_dropbox_transfer_streams = 4;
uint64_t orvel_i_dropbox_single_stream_below = UINT64_C(33554432);
uint64_t orvel_i_dropbox_piece_size = UINT64_C(20971520);

namespace {

// Size of the first piece, fetched alone: small, so that the others start
// soon on a long link.
constexpr uint64_t kFirstPieceMax = UINT64_C(4194304);

struct orvel_l_dropbox_slot {
    unsigned char *data = nullptr; // piece memory, from the transfer's pool
    size_t length = 0;             // bytes the piece asks for
    size_t filled = 0;             // bytes arrived (read and written under the shared lock)
    bool ready = false;            // every byte there
};

// Bytes handed to the client at a time from the piece next in line.
constexpr size_t kDeliverBlock = 4194304;

// What the threads of one parallel range share.
struct orvel_l_dropbox_parallel {
    orvel_dropbox_handle_t *handle;
    orvel_dropbox_download_t *file;
    orvel_gfs_operation_t op;
    int streams;
    orvel_off_t start; // first byte of the pieces
    orvel_off_t end;   // byte after the last
    orvel_off_t piece; // piece size
    size_t count;      // pieces

    std::mutex mutex;
    std::condition_variable changed; // a piece taken, stored or handed over, or a failure
    std::condition_variable arrived; // bytes arrived for a piece
    std::vector<orvel_l_dropbox_slot> slots;
    orvel_dropbox_piece_pool_t pool{}; // memory of pieces handed over, for the next ones
    size_t next_fetch = 0;             // next piece a thread takes
    size_t next_deliver = 0;           // next piece the client gets
    bool failed = false;
    orvel_result_t failure = ORVEL_SUCCESS; // the first failure, for the host
};

struct orvel_l_dropbox_fill {
    orvel_l_dropbox_parallel *shared;
    orvel_l_dropbox_slot *slot;
};

// A piece's sink: its own memory. Stops the exchange once another piece
// has failed, so that a failed transfer ends soon.
orvel_result_t orvel_l_dropbox_fill_sink(void *arg, const void *buffer, size_t length)
{
    auto *fill = static_cast<orvel_l_dropbox_fill *>(arg);
    orvel_l_dropbox_slot *slot = fill->slot;
    size_t filled;
    {
        std::lock_guard<std::mutex> lock(fill->shared->mutex);
        if (fill->shared->failed)
            return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "another piece of the transfer failed"));
        filled = slot->filled;
    }
    if (length > slot->length - filled)
        return orvel_error_put(ORVEL_ERROR_GENERIC("%s", "the reply is longer than the piece"));
    // Only this thread writes the piece's memory, beyond what the client may
    // already be reading.
    std::memcpy(slot->data + filled, buffer, length);
    std::lock_guard<std::mutex> lock(fill->shared->mutex);
    slot->filled = filled + length;
    // The client's side waits for whole blocks, or the end of the piece.
    if (filled / kDeliverBlock != slot->filled / kDeliverBlock || slot->filled == slot->length)
        fill->shared->arrived.notify_all();
    return ORVEL_SUCCESS;
}

// Records the first failure; later ones are consequences and dropped.
void orvel_l_dropbox_fail(orvel_l_dropbox_parallel *shared, orvel_result_t result)
{
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->failed) {
        orvel_error_discard(result);
    } else {
        shared->failed = true;
        shared->failure = result;
    }
    shared->changed.notify_all();
    shared->arrived.notify_all();
}

// One stream: takes the next piece while fewer than `streams` pieces wait
// for the client, fetches it, and hands it over.
void orvel_l_dropbox_stream(orvel_l_dropbox_parallel *shared)
{
    for (;;) {
        size_t k;
        {
            std::unique_lock<std::mutex> lock(shared->mutex);
            shared->changed.wait(lock, [shared] {
                return shared->failed || shared->next_fetch >= shared->count ||
                       shared->next_fetch < shared->next_deliver + static_cast<size_t>(shared->streams);
            });
            if (shared->failed || shared->next_fetch >= shared->count)
                return;
            k = shared->next_fetch++;
        }
        orvel_l_dropbox_slot *slot = &shared->slots[k];
        const orvel_off_t offset = shared->start + static_cast<orvel_off_t>(k) * shared->piece;
        const orvel_off_t length = std::min(shared->piece, shared->end - offset);
        unsigned char *data;
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            data = static_cast<unsigned char *>(orvel_dropbox_piece_pool_take(&shared->pool));
            slot->length = static_cast<size_t>(length);
            slot->data = data;
        }
        orvel_result_t result = data != nullptr ? ORVEL_SUCCESS : orvel_dropbox_error_system_malloc();
        // A long transfer outlives a token: renewed between pieces. What a
        // piece throws fails the transfer instead of ending the process.
        if (result == ORVEL_SUCCESS) {
            result = orvel_i_dropbox_guard("download piece", [&] {
                orvel_result_t fetched = orvel_dropbox_transfer_renew_token(shared->handle, shared->op);
                if (fetched != ORVEL_SUCCESS)
                    return fetched;
                orvel_l_dropbox_fill fill{shared, slot};
                orvel_dropbox_download_piece_t piece{};
                piece.file = shared->file;
                piece.offset = offset;
                piece.length = length;
                piece.sink = orvel_l_dropbox_fill_sink;
                piece.sink_arg = &fill;
                fetched = orvel_dropbox_download_piece(shared->handle, &piece);
                if (fetched == ORVEL_SUCCESS && piece.done != length) {
                    fetched = orvel_error_put(ORVEL_ERROR_GENERIC("The piece at offset %" PRId64 " ended after %" PRId64
                                                                  " of its %" PRId64 " bytes",
                                                                  offset, piece.done, length));
                }
                return fetched;
            });
        }
        if (result != ORVEL_SUCCESS) {
            orvel_l_dropbox_fail(shared, result);
            return;
        }
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "piece %zu at %" PRId64 " arrived (%" PRId64 " bytes)\n", k, offset,
                          length);
        std::lock_guard<std::mutex> lock(shared->mutex);
        slot->ready = true;
        shared->changed.notify_all();
        shared->arrived.notify_all();
    }
}

struct orvel_l_dropbox_write_wait {
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    orvel_result_t result = ORVEL_SUCCESS;
};

void orvel_l_dropbox_write_done(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t, void *arg)
{
    auto *wait = static_cast<orvel_l_dropbox_write_wait *>(arg);
    std::lock_guard<std::mutex> lock(wait->mutex);
    wait->result = result;
    wait->done = true;
    wait->done_cv.notify_one();
}

// Writes a block into the host's data channel at `offset` and waits for the
// host to have taken it.
orvel_result_t orvel_l_dropbox_channel_write(orvel_gfs_operation_t op, unsigned char *data, size_t length,
                                             orvel_off_t offset)
{
    orvel_l_dropbox_write_wait wait;
    orvel_result_t result =
        orvel_gridftp_server_register_write(op, data, length, offset, 0, orvel_l_dropbox_write_done, &wait);
    if (result != ORVEL_SUCCESS)
        return result;
    std::unique_lock<std::mutex> lock(wait.mutex);
    wait.done_cv.wait(lock, [&wait] { return wait.done; });
    return wait.result;
}

// Hands the pieces to the client in order: the bytes of the piece next in
// line as they arrive, a block at a time. A piece's bytes that another
// attempt still has to fetch are waited for; bytes of a piece that fails
// part-way never pass the failure.
orvel_result_t orvel_l_dropbox_deliver(orvel_l_dropbox_parallel *shared, orvel_dsi_rest_data_read_t sink,
                                       void *sink_arg, orvel_off_t *done)
{
    for (size_t k = 0; k < shared->count; k++) {
        orvel_l_dropbox_slot *slot = &shared->slots[k];
        const orvel_off_t offset = shared->start + static_cast<orvel_off_t>(k) * shared->piece;
        size_t handed = 0;
        for (;;) {
            size_t n;
            unsigned char *data;
            {
                // A whole block, or the rest of a piece whose bytes are all there.
                std::unique_lock<std::mutex> lock(shared->mutex);
                shared->arrived.wait(lock, [shared, slot, handed] {
                    const size_t there = slot->data != nullptr ? slot->filled - handed : 0;
                    return shared->failed || (slot->ready && handed == slot->length) || there >= kDeliverBlock ||
                           (there > 0 && slot->filled == slot->length);
                });
                if (shared->failed)
                    return ORVEL_SUCCESS; // the failure is the shared one
                if (slot->ready && handed == slot->length)
                    break;
                n = std::min(slot->filled - handed, kDeliverBlock);
                data = slot->data + handed;
            }
            orvel_result_t result =
                sink == nullptr
                    ? orvel_l_dropbox_channel_write(shared->op, data, n, offset + static_cast<orvel_off_t>(handed))
                    : sink(sink_arg, data, n);
            if (result != ORVEL_SUCCESS) {
                orvel_l_dropbox_fail(shared, result);
                return ORVEL_SUCCESS;
            }
            handed += n;
            *done += static_cast<orvel_off_t>(n);
        }
        std::lock_guard<std::mutex> lock(shared->mutex);
        orvel_dropbox_piece_pool_give(&shared->pool, slot->data);
        slot->data = nullptr;
        shared->next_deliver = k + 1;
        shared->changed.notify_all();
    }
    return ORVEL_SUCCESS;
}

// The pieces from `start` to `end` of the pinned revision, `streams` at a time.
orvel_result_t orvel_l_dropbox_fetch_pieces(orvel_dropbox_handle_t *handle, orvel_dropbox_download_t *file,
                                            orvel_gfs_operation_t op, orvel_off_t start, orvel_off_t end, int streams,
                                            orvel_dsi_rest_data_read_t sink, void *sink_arg, orvel_off_t *done)
{
    orvel_l_dropbox_parallel shared;
    shared.handle = handle;
    shared.file = file;
    shared.op = op;
    shared.start = start;
    shared.end = end;
    shared.piece = static_cast<orvel_off_t>(orvel_i_dropbox_piece_size);
    shared.count = static_cast<size_t>((end - start + shared.piece - 1) / shared.piece);
    shared.streams = static_cast<int>(std::min<size_t>(static_cast<size_t>(streams), shared.count));
    shared.slots.resize(shared.count);
    shared.pool.size = static_cast<size_t>(shared.piece);
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "%zu pieces of %" PRId64 " bytes from offset %" PRId64 ", %d at a time\n",
                      shared.count, shared.piece, start, shared.streams);

    std::vector<std::thread> threads;
    for (int i = 0; i < shared.streams; i++) {
        try {
            threads.emplace_back(orvel_l_dropbox_stream, &shared);
        } catch (const std::exception &) {
            break; // fewer streams: the ones that started fetch every piece
        }
    }
    if (threads.empty())
        orvel_l_dropbox_fail(&shared, orvel_error_put(ORVEL_ERROR_GENERIC("%s", "no thread for the download")));
    else {
        // The threads are joined below whatever the delivery throws.
        orvel_result_t thrown = orvel_i_dropbox_guard(
            "download delivery", [&] { return orvel_l_dropbox_deliver(&shared, sink, sink_arg, done); });
        if (thrown != ORVEL_SUCCESS)
            orvel_l_dropbox_fail(&shared, thrown);
    }
    for (std::thread &thread : threads)
        thread.join();
    for (orvel_l_dropbox_slot &slot : shared.slots)
        orvel_dropbox_piece_pool_give(&shared.pool, slot.data);
    orvel_dropbox_piece_pool_release(&shared.pool);
    return shared.failure;
}

} // namespace

void *orvel_dropbox_piece_alloc(size_t length)
{
    // Mapped on its own, so that the memory goes back to the system as soon
    // as the piece is done: the session's footprint follows the pieces in
    // flight, not the largest number it ever held.
    void *data = orvel_i_dropbox_syscalls.mmap(nullptr, length > 0 ? length : 1, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return data != MAP_FAILED ? data : nullptr;
}

void orvel_dropbox_piece_free(void *data, size_t length)
{
    if (data != nullptr)
        orvel_i_dropbox_syscalls.munmap(data, length > 0 ? length : 1);
}

void *orvel_dropbox_piece_pool_take(orvel_dropbox_piece_pool_t *pool)
{
    if (pool->count > 0)
        return pool->spare[--pool->count];
    return orvel_dropbox_piece_alloc(pool->size);
}

void orvel_dropbox_piece_pool_give(orvel_dropbox_piece_pool_t *pool, void *data)
{
    if (data == nullptr)
        return;
    if (pool->count < static_cast<int>(sizeof pool->spare / sizeof pool->spare[0]))
        pool->spare[pool->count++] = data;
    else
        orvel_dropbox_piece_free(data, pool->size);
}

void orvel_dropbox_piece_pool_release(orvel_dropbox_piece_pool_t *pool)
{
    while (pool->count > 0)
        orvel_dropbox_piece_free(pool->spare[--pool->count], pool->size);
}

orvel_result_t orvel_dropbox_transfer_renew_token(orvel_dropbox_handle_t *handle, orvel_gfs_operation_t op)
{
    orvel_dropbox_shared_lock();
    orvel_result_t result = orvel_dropbox_update_token(handle, op);
    orvel_dropbox_shared_unlock();
    return result;
}

orvel_result_t orvel_dropbox_download_range(orvel_dropbox_handle_t *handle, orvel_dropbox_download_t *file,
                                            orvel_gfs_operation_t op, orvel_off_t offset, orvel_off_t length,
                                            orvel_dsi_rest_data_read_t sink, void *sink_arg, orvel_off_t *done_out)
{
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_off_t done = 0;
    const int streams = orvel_i_dropbox_transfer_streams;
    const uint64_t known = file->rev != nullptr ? file->size : file->expected_size;
    const uint64_t span = length != -1                            ? static_cast<uint64_t>(length)
                          : known > static_cast<uint64_t>(offset) ? known - static_cast<uint64_t>(offset)
                                                                  : 0;
    const bool parallel = streams > 1 && span >= orvel_i_dropbox_single_stream_below &&
                          span > std::min(kFirstPieceMax, orvel_i_dropbox_piece_size);

    orvel_dropbox_download_piece_t first{};
    first.file = file;
    first.offset = offset;
    first.length = length;
    first.op = sink == nullptr ? op : nullptr;
    first.sink = sink;
    first.sink_arg = sink_arg;
    if (parallel)
        first.length = static_cast<orvel_off_t>(std::min(kFirstPieceMax, orvel_i_dropbox_piece_size));
    orvel_result_t result = orvel_dropbox_download_piece(handle, &first);
    done = first.done;

    if (result == ORVEL_SUCCESS && parallel && file->rev != nullptr) {
        // The rest of the range as the pinned revision holds it.
        const auto size = static_cast<orvel_off_t>(file->size);
        orvel_off_t end = length == -1 ? size : std::min(size, offset + length);
        orvel_off_t start = offset + first.length;
        if (start < end)
            result = orvel_l_dropbox_fetch_pieces(handle, file, op, start, end, streams, sink, sink_arg, &done);
    }
    if (done_out != nullptr)
        *done_out = done;
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
