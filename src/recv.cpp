/*
 * Uploads: the recv entry of the storage interface, the single-request upload
 * of files up to 100 MiB, and upload sessions appended in parts of 100 MiB for
 * larger files.
 *
 * Every byte of the file streams from the host's data channel straight into a
 * request body (the REST library's data-channel body source); nothing of the
 * file is held in memory. While the bytes stream out, a tap on the body source
 * computes the service's content hash of what was sent, and the hash the
 * service reports for the stored file is compared with it.
 */
#include "orvel_dropbox_common.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

/* Largest announced size sent in one request; also the part size of upload
 * sessions. */
#define ORVEL_L_RECV_SINGLE_MAX ((int64_t)ORVEL_DROPBOX_PART_SIZE)
/* Largest body the service accepts in one request: the most an upload whose
 * size was not announced can hold. */
#define ORVEL_L_RECV_UNKNOWN_SIZE_MAX ((int64_t)157286400) /* 150 MiB */

/* Rendezvous between an uploading function and the host's read callback of the
 * end-of-data check. */
typedef struct orvel_l_recv_monitor_s {
    const char *path;      /* GridFTP path of the upload, named in errors */
    orvel_mutex_t mutex;   /* guards result and done */
    orvel_cond_t cond;     /* signalled once by the read callback */
    orvel_result_t result; /* outcome reported by the callback */
    bool done;             /* the callback has stored its result */
} orvel_l_recv_monitor_t;

namespace {

/* Feeds the running content hash on a thread of its own, so that hashing
 * overlaps with sending: the tap copies each block into a bounded ring and
 * returns at once. Without a thread, blocks are hashed where they arrive. */
class orvel_l_recv_hasher {
public:
    explicit orvel_l_recv_hasher(orvel_gfs_checksum_state_t state) : state_(state) {}
    ~orvel_l_recv_hasher()
    {
        bool ok = false;
        orvel_gfs_checksum_state_t state = finish(&ok);
        if (state != NULL) {
            orvel_gfs_checksum_abort(state);
        }
    }
    orvel_l_recv_hasher(const orvel_l_recv_hasher &) = delete;
    orvel_l_recv_hasher &operator=(const orvel_l_recv_hasher &) = delete;

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
            /* Free space: the hashing thread does not look at it. */
            memcpy(ring_.data() + pos, data, n);
            lock.lock();
            written_ += n;
            const bool wake = written_ - hashed_ >= kBatch;
            lock.unlock();
            if (wake) {
                data_.notify_one();
            }
            data += n;
            length -= n;
        }
    }

    /* Waits until every block fed is hashed and hands the state back (null
     * once handed out); *ok is false when an update failed. */
    orvel_gfs_checksum_state_t finish(bool *ok)
    {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closing_ = true;
            }
            data_.notify_one();
            thread_.join();
        }
        *ok = !failed_;
        orvel_gfs_checksum_state_t state = state_;
        state_ = NULL;
        return state;
    }

private:
    static constexpr size_t kRingSize = 4 * 1024 * 1024;
    /* The hashing thread is woken for this much at least (or at the end). */
    static constexpr uint64_t kBatch = 1024 * 1024;

    void update(const unsigned char *data, size_t length)
    {
        if (failed_ || state_ == NULL || length == 0) {
            return;
        }
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
            if (written_ == hashed_) {
                return; /* closing, and everything is hashed */
            }
            const size_t pos = static_cast<size_t>(hashed_ % ring_.size());
            const size_t n = static_cast<size_t>(std::min<uint64_t>(written_ - hashed_, ring_.size() - pos));
            lock.unlock();
            update(ring_.data() + pos, n);
            lock.lock();
            hashed_ += n;
            space_.notify_one();
        }
    }

    orvel_gfs_checksum_state_t state_; /* the service's content hash so far */
    bool failed_ = false;              /* an update failed: nothing to compare */
    std::vector<unsigned char> ring_;  /* blocks waiting to be hashed */
    uint64_t written_ = 0;             /* bytes copied into the ring so far */
    uint64_t hashed_ = 0;              /* bytes hashed so far */
    bool closing_ = false;             /* no more blocks will come */
    std::mutex mutex_;                 /* guards written_, hashed_ and closing_ */
    std::condition_variable data_;     /* blocks arrived, or closing */
    std::condition_variable space_;    /* room in the ring */
    std::thread thread_;               /* the hashing thread, when running */
};

} // namespace

/* Running content hash of the bytes sent for one transfer. */
typedef struct orvel_l_recv_digest_s {
    orvel_l_recv_hasher *hasher; /* the running hash, or null: not verified */
    uint64_t bytes;              /* bytes seen by the tap in this transfer */
    char *service_hash;          /* "content_hash" of the commit answer, or null */
} orvel_l_recv_digest_t;

extern "C" {
orvel_result_t orvel_i_dropbox_create_upload_session(orvel_dropbox_handle_t *handle, orvel_gfs_operation_t op,
                                                     orvel_gfs_transfer_info_t *info,
                                                     orvel_dropbox_path_info_t *parent, const char *modtime,
                                                     orvel_dropbox_upload_session_t **upload_out);
orvel_result_t orvel_i_dropbox_upload_parts(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                            orvel_gfs_transfer_info_t *info, orvel_dropbox_path_info_t *parent,
                                            orvel_dropbox_upload_session_t *upload,
                                            orvel_l_recv_digest_t *digest);
orvel_result_t orvel_i_dropbox_finish_upload(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                             orvel_gfs_transfer_info_t *info, orvel_dropbox_path_info_t *parent,
                                             orvel_dropbox_upload_session_t *upload,
                                             orvel_l_recv_digest_t *digest);
orvel_result_t orvel_i_dropbox_read_cb(void *callback_arg, const void *buffer, size_t buffer_length);
}

/* ------------------------------------------------------------------ errors */

/* A reply error whose cause is the plug-in's error object with the details
 * "Dropbox-Path" and "Dropbox-Error"; `inner_cause` (owned, may be null)
 * continues the chain below that object. */
static orvel_result_t orvel_l_recv_detail_error(int code, const char *error_code, const char *path,
                                                const char *text, orvel_object_t *inner_cause)
{
    orvel_dsi_rest_key_value_t pairs[2] = {
        {const_cast<char *>("Dropbox-Path"), const_cast<char *>(path)},
        {const_cast<char *>("Dropbox-Error"), const_cast<char *>(text)},
    };
    orvel_dsi_rest_key_array_t details = {2, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(NULL, NULL, &details);
    if (cause != NULL && inner_cause != NULL) {
        orvel_error_set_cause(cause, inner_cause);
    } else if (inner_cause != NULL) {
        orvel_object_free(inner_cause);
    }
    return orvel_error_put(orvel_gfs_ftp_response_error_construct(NULL, cause, code, error_code, NULL));
}

static orvel_result_t orvel_l_recv_too_much_data(const char *path)
{
    return orvel_l_recv_detail_error(451, "QUOTA_EXCEEDED", path, "Too much data was sent.", NULL);
}

static orvel_result_t orvel_l_recv_append_not_supported(void)
{
    return orvel_error_put(orvel_gfs_ftp_response_error_construct(NULL, NULL, 553, "APPEND_NOT_SUPPORTED", NULL));
}

/* The data channel ended before the announced bytes arrived. `result` (the
 * failed exchange, or success) becomes the cause. */
static orvel_result_t orvel_l_recv_short_data(orvel_result_t result, const char *path, int64_t got,
                                              int64_t expected)
{
    orvel_object_t *cause = orvel_error_get(result);
    if (cause == NULL) {
        orvel_error_discard(result);
    }
    return orvel_error_put(orvel_error_construct_error(
        NULL, cause, ORVEL_GFS_ERROR_GENERIC, __FILE__, __func__, __LINE__,
        "Fewer bytes were received than announced for %s: the data ended after %" PRId64 " of %" PRId64
        " bytes.",
        path, got, expected));
}

/* ----------------------------------------------------------- content hash */

static void orvel_l_recv_tap(void *tap_arg, const void *buffer, size_t length)
{
    orvel_l_recv_digest_t *digest = static_cast<orvel_l_recv_digest_t *>(tap_arg);
    digest->bytes += length;
    if (digest->hasher != NULL) {
        digest->hasher->feed(static_cast<const unsigned char *>(buffer), length);
    }
}

/* Starts the running hash; without one the transfer is simply not verified. */
static void orvel_l_recv_digest_start(orvel_l_recv_digest_t *digest)
{
    memset(digest, 0, sizeof(*digest));
    orvel_gfs_checksum_state_t state = NULL;
    orvel_result_t result = orvel_gfs_checksum_init("DROPBOX", &state);
    if (result == ORVEL_SUCCESS) {
        digest->hasher = new (std::nothrow) orvel_l_recv_hasher(state);
        if (digest->hasher == NULL) {
            orvel_gfs_checksum_abort(state);
        } else {
            digest->hasher->start();
        }
    }
    orvel_error_discard(result);
    if (digest->hasher == NULL) {
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_WARN, "content hash unavailable: the upload is not verified\n");
    }
}

static void orvel_l_recv_digest_release(orvel_l_recv_digest_t *digest)
{
    delete digest->hasher;
    digest->hasher = NULL;
    free(digest->service_hash);
    digest->service_hash = NULL;
}

/* Keeps the "content_hash" of a commit answer for the comparison. */
static void orvel_l_recv_digest_keep_answer(orvel_l_recv_digest_t *digest, json_t *reply)
{
    json_t *hash = json_object_get(reply, "content_hash");
    free(digest->service_hash);
    digest->service_hash = NULL;
    if (json_is_string(hash)) {
        digest->service_hash = strdup(json_string_value(hash));
    }
}

/* Compares the hash of the bytes sent with the one the service reported. A
 * transfer without a running hash, or an answer without a hash, passes. */
static orvel_result_t orvel_l_recv_digest_verify(orvel_l_recv_digest_t *digest, const char *path)
{
    bool complete = false;
    orvel_gfs_checksum_state_t state = digest->hasher != NULL ? digest->hasher->finish(&complete) : NULL;
    if (state == NULL || !complete) {
        if (state != NULL) {
            orvel_gfs_checksum_abort(state);
        }
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "content hash of %s not verified\n", path);
        return ORVEL_SUCCESS;
    }
    char *computed = NULL;
    orvel_result_t result = orvel_gfs_checksum_finalize(state, &computed);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_WARN, "content hash of %s could not be computed\n", path);
        return ORVEL_SUCCESS;
    }
    if (digest->service_hash == NULL) {
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_WARN, "the answer for %s carries no content hash\n", path);
        free(computed);
        return ORVEL_SUCCESS;
    }
    if (strcasecmp(computed, digest->service_hash) == 0) {
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_DEBUG, "content hash of %s verified: %s\n", path, computed);
        free(computed);
        return ORVEL_SUCCESS;
    }
    orvel_dsi_rest_key_value_t pairs[2] = {
        {const_cast<char *>("Dropbox-Path"), const_cast<char *>(path)},
        {const_cast<char *>("Dropbox-Error"),
         const_cast<char *>("The content hash of the stored file differs from the data sent.")},
    };
    orvel_dsi_rest_key_array_t details = {2, pairs};
    orvel_object_t *cause = orvel_dropbox_error_construct(NULL, NULL, &details);
    result = orvel_error_put(orvel_gfs_ftp_response_error_construct(
        NULL, cause, 550, "INCORRECT_CHECKSUM", "GridFTP-Computed-Checksum: %s\nGridFTP-Expected-Checksum: %s",
        computed, digest->service_hash));
    free(computed);
    return result;
}

/* ----------------------------------------------------- end-of-data check */

static void orvel_l_recv_monitor_init(orvel_l_recv_monitor_t *monitor, const char *path)
{
    memset(monitor, 0, sizeof(*monitor));
    monitor->path = path;
    orvel_mutex_init(&monitor->mutex, NULL);
    orvel_cond_init(&monitor->cond, NULL);
}

static void orvel_l_recv_monitor_destroy(orvel_l_recv_monitor_t *monitor)
{
    orvel_cond_destroy(&monitor->cond);
    orvel_mutex_destroy(&monitor->mutex);
}

static void orvel_l_eof_read_cb(orvel_gfs_operation_t, orvel_result_t result, orvel_byte_t *, size_t nbytes,
                                orvel_off_t, bool eof, void *user_arg)
{
    orvel_l_recv_monitor_t *monitor = static_cast<orvel_l_recv_monitor_t *>(user_arg);
    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_mutex_lock(&monitor->mutex);
    /* A byte read here lies beyond the announced size, even when the host
     * hands it over together with the end of the data. */
    if (result == ORVEL_SUCCESS && (!eof || nbytes > 0)) {
        result = orvel_l_recv_too_much_data(monitor->path);
    }
    monitor->result = result;
    monitor->done = true;
    orvel_cond_signal(&monitor->cond);
    orvel_mutex_unlock(&monitor->mutex);
    ORVEL_DROPBOX_TRACE_EXIT();
}

/* Reads one more byte from the data channel: the client must have reached the
 * end of its data. The mutex is held from before the registration until the
 * wait releases it, so the callback's signal cannot be lost. */
static orvel_result_t orvel_l_recv_eof_check(orvel_gfs_operation_t op, orvel_l_recv_monitor_t *monitor)
{
    orvel_byte_t byte = 0;
    orvel_mutex_lock(&monitor->mutex);
    monitor->done = false;
    orvel_result_t result = orvel_gridftp_server_register_read(op, &byte, 1, orvel_l_eof_read_cb, monitor);
    if (result == ORVEL_SUCCESS) {
        while (!monitor->done) {
            orvel_cond_wait(&monitor->cond, &monitor->mutex);
        }
        result = monitor->result;
    }
    orvel_mutex_unlock(&monitor->mutex);
    return result;
}

/* ------------------------------------------------------------ helpers */

/* Sets a member from a freshly made value; false when the value could not be
 * made or set. */
static bool orvel_l_recv_set(json_t *object, const char *key, json_t *value)
{
    return value != NULL && json_object_set_new(object, key, value) == 0;
}

/* Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code
 * points above U+10FFFF): the only texts a JSON argument can carry. */
static bool orvel_l_recv_is_utf8(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        unsigned char c = *p++;
        int more;
        uint32_t cp;
        if (c < 0x80) {
            continue;
        } else if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
            cp = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            cp = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (int i = 0; i < more; i++, p++) {
            if ((*p & 0xc0) != 0x80) {
                return false; /* the terminator ends here too */
            }
            cp = (cp << 6) | (*p & 0x3f);
        }
        if ((more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10ffff ||
            (cp >= 0xd800 && cp <= 0xdfff)) {
            return false;
        }
    }
    return true;
}

/* Stores the file metadata of a commit answer in the path cache. */
static orvel_result_t orvel_l_recv_cache_answer(orvel_dropbox_handle_t *handle, json_t *reply,
                                                orvel_dropbox_path_info_t *parent)
{
    if (reply == NULL) {
        return orvel_dropbox_error_system_malloc();
    }
    orvel_dropbox_path_info_t info;
    memset(&info, 0, sizeof(info));
    orvel_result_t result = orvel_dropbox_file_info_parse(reply, &info);
    if (result != ORVEL_SUCCESS) {
        orvel_dropbox_path_info_free(&info);
        return orvel_error_put(orvel_error_construct_error(NULL, orvel_error_get(result), ORVEL_GFS_ERROR_GENERIC,
                                                           __FILE__, __func__, __LINE__, "%s", "Failed info_parse!"));
    }
    result = orvel_dropbox_path_cache_update(&handle->cache, &info, parent->name);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed cache update!"));
    }
    orvel_dropbox_path_info_free(&info);
    return result;
}

/* ------------------------------------------------------------- entry */

extern "C" void orvel_i_dropbox_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info, void *user_arg)
{
    orvel_dropbox_handle_t *handle = static_cast<orvel_dropbox_handle_t *>(user_arg);
    orvel_dropbox_path_info_t *path_info = NULL;
    orvel_dropbox_path_info_t *parent_info = NULL;
    char *parent_path = NULL;
    char modtime[64] = "";
    char upload_size[64];
    char max_upload[64];
    time_t mtime = 0;
    orvel_result_t result;

    ORVEL_DROPBOX_TRACE_ENTER();

    result = orvel_dropbox_update_token(handle, op);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }

    parent_path = orvel_dropbox_parent_path(info->pathname, &result);
    if (parent_path == NULL) {
        if (result == ORVEL_SUCCESS) {
            result = orvel_dropbox_error_system_malloc();
        }
        goto out;
    }

    /* The path travels as a JSON text: one that is not UTF-8 cannot be
     * named to the service. */
    if (!orvel_l_recv_is_utf8(info->pathname)) {
        result = orvel_error_put(orvel_gfs_ftp_response_error_construct(NULL, NULL, 553, "INVALID_PATH_NAME",
                                                                        "GridFTP-Path: %s", "<Invalid Name>"));
        goto out;
    }

    if (parent_path[0] == '/' && parent_path[1] == '\0' && handle->is_team) {
        result = orvel_dropbox_error_team_root();
        goto out;
    }

    /* A target that does not exist yet is the normal case: only the records
     * decide, unless the service could not be asked. */
    result = orvel_dropbox_path_resolve(handle, info->pathname, &path_info, &parent_info);
    if (path_info == NULL && result != ORVEL_SUCCESS && !orvel_dropbox_is_path_not_found(result)) {
        goto out;
    }
    orvel_error_discard(result);
    result = ORVEL_SUCCESS;
    if (path_info != NULL && path_info->type == ORVEL_DROPBOX_FOLDER) {
        result = orvel_error_put(orvel_gfs_ftp_response_error_construct(NULL, NULL, 553, "IS_A_DIRECTORY",
                                                                        "GridFTP-Path: %s", info->pathname));
        goto out;
    }
    if (parent_info == NULL) {
        result = orvel_dropbox_error_path_not_found(parent_path);
        goto out;
    }
    if (parent_info->type != ORVEL_DROPBOX_FOLDER) {
        result = orvel_error_put(
            orvel_gfs_ftp_response_error_construct(NULL, NULL, 553, "NOT_A_DIRECTORY", "GridFTP-Path: %s", parent_path));
        goto out;
    }

    {
        orvel_result_t time_result = orvel_gridftp_server_get_recv_modification_time(op, &mtime);
        if (time_result == ORVEL_SUCCESS && mtime != -1) {
            struct tm tm;
            if (orvel_libc_gmtime_r(&mtime, &tm) != NULL) {
                snprintf(modtime, sizeof(modtime), "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                         tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            }
        }
        orvel_error_discard(time_result);
    }

    if (static_cast<uint64_t>(info->alloc_size) > handle->max_upload) {
        snprintf(upload_size, sizeof(upload_size), "%ld", static_cast<long>(info->alloc_size));
        snprintf(max_upload, sizeof(max_upload), "%ld", static_cast<long>(handle->max_upload));
        orvel_dsi_rest_key_value_t pairs[4] = {
            {const_cast<char *>("Dropbox-Path"), const_cast<char *>(info->pathname)},
            {const_cast<char *>("Dropbox-Upload-Size"), upload_size},
            {const_cast<char *>("Dropbox-Max-Upload-Size"), max_upload},
            {const_cast<char *>("Dropbox-Error"), const_cast<char *>("Upload size is too large.")},
        };
        orvel_dsi_rest_key_array_t details = {4, pairs};
        orvel_object_t *cause = orvel_dropbox_error_construct(NULL, NULL, &details);
        result = orvel_error_put(orvel_gfs_ftp_response_error_construct(NULL, cause, 451, "QUOTA_EXCEEDED", NULL));
        goto out;
    }

    if (info->alloc_size <= ORVEL_L_RECV_SINGLE_MAX) {
        result = orvel_i_dropbox_recv_simple(op, info, handle, parent_info, modtime);
    } else {
        result = orvel_i_dropbox_recv_chunked(op, info, handle, parent_info, modtime);
    }

out:
    free(parent_path);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    orvel_gridftp_server_finished_transfer(op, result);
}

/* ------------------------------------------------- single-request upload */

extern "C" orvel_result_t orvel_i_dropbox_recv_simple(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                                      orvel_dropbox_handle_t *handle,
                                                      orvel_dropbox_path_info_t *parent, const char *modtime)
{
    orvel_l_recv_monitor_t monitor;
    orvel_l_recv_digest_t digest;
    orvel_off_t offset = 0;
    orvel_off_t length = 0;
    json_t *args = NULL;
    json_t *reply = NULL;
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dsi_rest_gridftp_op_arg_t data;
    orvel_dropbox_api_call_t call;

    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_l_recv_monitor_init(&monitor, info->pathname);
    memset(&digest, 0, sizeof(digest));
    memset(&data, 0, sizeof(data));
    memset(&call, 0, sizeof(call));

    orvel_gridftp_server_get_write_range(op, &offset, &length);
    if ((length != -1 && length != info->alloc_size) || offset != 0) {
        result = orvel_l_recv_append_not_supported();
        goto out;
    }

    args = json_object();
    if (args == NULL || !orvel_l_recv_set(args, "path", json_string(info->pathname)) ||
        !orvel_l_recv_set(args, "mode", json_string("overwrite")) ||
        (modtime[0] != '\0' && !orvel_l_recv_set(args, "client_modified", json_string(modtime)))) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    orvel_gridftp_server_begin_transfer(op, 0, NULL);

    orvel_l_recv_digest_start(&digest);
    data.op = op;
    data.offset = 0;
    data.length = info->alloc_size; /* 0: the size was not announced, read to the end */
    data.eof = false;
    data.tap = orvel_l_recv_tap;
    data.tap_arg = &digest;

    call.endpoint = &orvel_i_dropbox_ep_upload;
    call.args = args;
    call.body_source = orvel_dsi_rest_write_gridftp_op;
    call.body_source_arg = &data;

    result = orvel_dropbox_api_call(handle, &call, &reply, NULL);

    if (info->alloc_size == 0 && result != ORVEL_SUCCESS &&
        digest.bytes > static_cast<uint64_t>(ORVEL_L_RECV_UNKNOWN_SIZE_MAX)) {
        /* The service refuses single requests above its limit: only an
         * announced size lets the upload use a session. */
        char text[256];
        snprintf(text, sizeof(text),
                 "Uploads without an announced size are limited to %" PRId64
                 " bytes; announce the size (ALLO) to upload larger files.",
                 ORVEL_L_RECV_UNKNOWN_SIZE_MAX);
        result = orvel_l_recv_detail_error(451, "QUOTA_EXCEEDED", info->pathname, text, orvel_error_get(result));
        goto out;
    }
    if (info->alloc_size > 0 && data.transferred < info->alloc_size && (result == ORVEL_SUCCESS || data.eof)) {
        result = orvel_l_recv_short_data(result, info->pathname, data.transferred, info->alloc_size);
        goto out;
    }
    if (result != ORVEL_SUCCESS) {
        goto out;
    }

    orvel_l_recv_digest_keep_answer(&digest, reply);
    result = orvel_l_recv_cache_answer(handle, reply, parent);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    result = orvel_l_recv_digest_verify(&digest, info->pathname);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }

    if (!data.eof) {
        result = orvel_l_recv_eof_check(op, &monitor);
    }

out:
    orvel_l_recv_digest_release(&digest);
    json_decref(reply);
    json_decref(args);
    orvel_l_recv_monitor_destroy(&monitor);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

/* ------------------------------------------------------- upload sessions */

extern "C" orvel_result_t orvel_i_dropbox_recv_chunked(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                                       orvel_dropbox_handle_t *handle,
                                                       orvel_dropbox_path_info_t *parent, const char *modtime)
{
    orvel_dropbox_upload_session_t *upload = NULL;
    orvel_l_recv_digest_t digest;
    orvel_result_t result;

    ORVEL_DROPBOX_TRACE_ENTER();
    memset(&digest, 0, sizeof(digest));

    orvel_gridftp_server_begin_transfer(op, 0, NULL);

    if (info->truncate) {
        result = orvel_i_dropbox_create_upload_session(handle, op, info, parent, modtime, &upload);
        if (result != ORVEL_SUCCESS) {
            goto out;
        }
    } else {
        upload = orvel_dropbox_upload_state_query(&handle->upload_state, info->pathname);
        if (upload == NULL) {
            result = orvel_error_put(
                orvel_gfs_ftp_response_error_construct(NULL, NULL, 553, "MULTI_PART_UPLOAD_NOT_FOUND", NULL));
            goto out;
        }
    }

    result = orvel_i_dropbox_upload_parts(op, handle, info, parent, upload, &digest);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    result = orvel_i_dropbox_finish_upload(op, handle, info, parent, upload, &digest);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    /* The service's session is committed: the record has served its purpose
     * whatever the verification below says. */
    orvel_error_discard(orvel_dropbox_upload_state_remove(&handle->upload_state, info->pathname));
    upload = NULL;
    result = orvel_l_recv_digest_verify(&digest, info->pathname);

out:
    orvel_l_recv_digest_release(&digest);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

extern "C" orvel_result_t orvel_dropbox_upload_session_parse(json_t *json, orvel_dropbox_upload_session_t *upload)
{
    orvel_result_t result = ORVEL_SUCCESS;
    ORVEL_DROPBOX_TRACE_ENTER();
    json_t *id = json_object_get(json, "session_id");
    if (!json_is_string(id)) {
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed to parse session info!"));
    } else {
        char *copy = strdup(json_string_value(id));
        if (copy == NULL) {
            result = orvel_dropbox_error_system_malloc();
        } else {
            free(upload->id);
            upload->id = copy;
        }
    }
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

extern "C" orvel_result_t orvel_i_dropbox_create_upload_session(orvel_dropbox_handle_t *handle,
                                                                orvel_gfs_operation_t,
                                                                orvel_gfs_transfer_info_t *info,
                                                                orvel_dropbox_path_info_t *,
                                                                const char *modtime,
                                                                orvel_dropbox_upload_session_t **upload_out)
{
    orvel_dropbox_upload_session_t *upload = NULL;
    json_t *args = NULL;
    json_t *reply = NULL;
    orvel_result_t result;
    orvel_dropbox_api_call_t call;

    ORVEL_DROPBOX_TRACE_ENTER();
    *upload_out = NULL;
    memset(&call, 0, sizeof(call));

    /* Part numbers are 32-bit: a size with more parts cannot be laid out (only
     * reachable with a limit far above the default 350 GiB). */
    if (static_cast<uint64_t>(info->alloc_size) / ORVEL_DROPBOX_PART_SIZE >= static_cast<uint64_t>(INT32_MAX)) {
        result = orvel_l_recv_detail_error(451, "QUOTA_EXCEEDED", info->pathname, "Upload size is too large.", NULL);
        goto out;
    }

    args = json_object();
    if (args == NULL || !orvel_l_recv_set(args, "session_type", json_string("concurrent"))) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    /* Start carries no data: the body is an empty block. */
    call.endpoint = &orvel_i_dropbox_ep_upload_session_start;
    call.args = args;
    result = orvel_dropbox_api_call(handle, &call, &reply, NULL);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    if (reply == NULL) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    upload = static_cast<orvel_dropbox_upload_session_t *>(calloc(1, sizeof(*upload)));
    if (upload == NULL) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    result = orvel_dropbox_upload_session_parse(reply, upload);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    upload->name = strdup(info->pathname);
    upload->modtime = modtime[0] != '\0' ? strdup(modtime) : NULL;
    if (upload->name == NULL || (modtime[0] != '\0' && upload->modtime == NULL)) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }
    upload->total_size = static_cast<uint64_t>(info->alloc_size);
    upload->part_size = ORVEL_DROPBOX_PART_SIZE;
    upload->num_parts = static_cast<int32_t>(upload->total_size / upload->part_size +
                                             (upload->total_size % upload->part_size != 0 ? 1 : 0));
    upload->part_array = NULL;

    result = orvel_dropbox_upload_state_update(&handle->upload_state, upload, upload->name);
    if (result != ORVEL_SUCCESS) {
        orvel_error_discard(result);
        result = orvel_error_put(ORVEL_ERROR_GENERIC("%s", "Failed cache update!"));
        goto out;
    }
    ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "upload session %s opened for %s: %d parts, %" PRIu64 " bytes\n",
                      upload->id, upload->name, upload->num_parts, upload->total_size);
    *upload_out = upload;
    upload = NULL;

out:
    orvel_dropbox_upload_session_free(upload);
    json_decref(reply);
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

extern "C" orvel_result_t orvel_i_dropbox_read_cb(void *, const void *, size_t)
{
    return ORVEL_SUCCESS;
}

extern "C" orvel_result_t orvel_i_dropbox_upload_parts(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                                       orvel_gfs_transfer_info_t *info,
                                                       orvel_dropbox_path_info_t *,
                                                       orvel_dropbox_upload_session_t *upload,
                                                       orvel_l_recv_digest_t *digest)
{
    orvel_l_recv_monitor_t monitor;
    orvel_off_t offset = 0;
    orvel_off_t length = 0;
    orvel_result_t result = ORVEL_SUCCESS;
    orvel_dsi_rest_gridftp_op_arg_t data;
    int32_t first;

    ORVEL_DROPBOX_TRACE_ENTER();
    orvel_l_recv_monitor_init(&monitor, info->pathname);
    memset(&data, 0, sizeof(data));

    orvel_gridftp_server_get_write_range(op, &offset, &length);
    if ((length != -1 && length != info->alloc_size) || offset < 0 ||
        (offset != 0 && static_cast<uint64_t>(offset) % upload->part_size != 0)) {
        result = orvel_l_recv_append_not_supported();
        goto out;
    }
    if (static_cast<uint64_t>(offset) / upload->part_size >= static_cast<uint64_t>(upload->num_parts)) {
        result = orvel_error_put(orvel_gfs_ftp_response_error_construct(
            NULL, NULL, 553, "APPEND_NOT_SUPPORTED",
            "GridFTP-Error: restart offset %" PRId64 " is at or beyond the last part of the upload (%d parts of %" PRIu64
            " bytes, %" PRIu64 " bytes in all)",
            static_cast<int64_t>(offset), upload->num_parts, upload->part_size, upload->total_size));
        goto out;
    }
    first = static_cast<int32_t>(static_cast<uint64_t>(offset) / upload->part_size);

    /* Only a transfer that sends every part can be checked against the
     * service's hash of the whole file. */
    if (first == 0) {
        orvel_l_recv_digest_start(digest);
    }

    for (int32_t k = first; k < upload->num_parts; k++) {
        uint64_t part_offset = static_cast<uint64_t>(k) * upload->part_size;
        uint64_t part_length = upload->total_size - part_offset < upload->part_size
                                   ? upload->total_size - part_offset
                                   : upload->part_size;
        bool last = (k == upload->num_parts - 1);
        json_t *args = NULL;
        json_t *cursor = NULL;

        if (k > first && data.eof) {
            /* The data channel ended with the previous part. */
            result = orvel_l_recv_short_data(ORVEL_SUCCESS, info->pathname, static_cast<int64_t>(part_offset),
                                             static_cast<int64_t>(upload->total_size));
            goto out;
        }

        memset(&data, 0, sizeof(data));
        data.op = op;
        data.offset = static_cast<orvel_off_t>(part_offset);
        data.length = static_cast<orvel_off_t>(part_length);
        data.eof = false;
        data.tap = orvel_l_recv_tap;
        data.tap_arg = digest;

        args = json_object();
        cursor = json_object();
        if (args == NULL || cursor == NULL || !orvel_l_recv_set(args, "close", json_boolean(last)) ||
            !orvel_l_recv_set(cursor, "session_id", json_string(upload->id)) ||
            !orvel_l_recv_set(cursor, "offset", json_integer(static_cast<json_int_t>(part_offset))) ||
            json_object_set(args, "cursor", cursor) != 0) {
            json_decref(cursor);
            json_decref(args);
            result = orvel_dropbox_error_system_malloc();
            goto out;
        }
        json_decref(cursor);

        orvel_dropbox_api_call_t call;
        memset(&call, 0, sizeof(call));
        call.endpoint = &orvel_i_dropbox_ep_upload_session_append;
        call.args = args;
        call.body_source = orvel_dsi_rest_write_gridftp_op;
        call.body_source_arg = &data;
        call.reply_sink = orvel_i_dropbox_read_cb;
        call.reply_sink_arg = NULL;

        result = orvel_dropbox_api_call(handle, &call, NULL, NULL);
        json_decref(args);

        if (data.transferred < data.length && (result == ORVEL_SUCCESS || data.eof)) {
            result = orvel_l_recv_short_data(result, info->pathname,
                                             static_cast<int64_t>(part_offset) + data.transferred,
                                             static_cast<int64_t>(upload->total_size));
        }
        if (result != ORVEL_SUCCESS) {
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "part %d of %d of %s failed; the upload session stays open\n",
                              k + 1, upload->num_parts, upload->name);
            goto out;
        }
        ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_INFO, "part %d of %d of %s appended (%" PRIu64 " bytes)\n", k + 1,
                          upload->num_parts, upload->name, part_length);
    }

    if (!data.eof) {
        result = orvel_l_recv_eof_check(op, &monitor);
    }

out:
    orvel_l_recv_monitor_destroy(&monitor);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}

extern "C" orvel_result_t orvel_i_dropbox_finish_upload(orvel_gfs_operation_t, orvel_dropbox_handle_t *handle,
                                                        orvel_gfs_transfer_info_t *,
                                                        orvel_dropbox_path_info_t *parent,
                                                        orvel_dropbox_upload_session_t *upload,
                                                        orvel_l_recv_digest_t *digest)
{
    json_t *args = json_object();
    json_t *commit = json_object();
    json_t *cursor = json_object();
    json_t *reply = NULL;
    orvel_result_t result;
    orvel_dropbox_api_call_t call;

    ORVEL_DROPBOX_TRACE_ENTER();
    memset(&call, 0, sizeof(call));

    if (args == NULL || commit == NULL || cursor == NULL ||
        !orvel_l_recv_set(commit, "path", json_string(upload->name)) ||
        !orvel_l_recv_set(commit, "mode", json_string("overwrite")) ||
        (upload->modtime != NULL && !orvel_l_recv_set(commit, "client_modified", json_string(upload->modtime))) ||
        !orvel_l_recv_set(cursor, "session_id", json_string(upload->id)) ||
        !orvel_l_recv_set(cursor, "offset", json_integer(static_cast<json_int_t>(upload->total_size))) ||
        json_object_set(args, "commit", commit) != 0 || json_object_set(args, "cursor", cursor) != 0) {
        result = orvel_dropbox_error_system_malloc();
        goto out;
    }

    call.endpoint = &orvel_i_dropbox_ep_upload_session_finish;
    call.args = args;
    result = orvel_dropbox_api_call(handle, &call, &reply, NULL);
    if (result != ORVEL_SUCCESS) {
        goto out;
    }
    orvel_l_recv_digest_keep_answer(digest, reply);
    result = orvel_l_recv_cache_answer(handle, reply, parent);

out:
    json_decref(reply);
    json_decref(cursor);
    json_decref(commit);
    json_decref(args);
    ORVEL_DROPBOX_TRACE_EXIT_RESULT(result);
    return result;
}
