/*
 * Private header of the plug-in's data transfers: one piece of a download, the
 * content hash of the bytes an upload sends, blocking reads of the client's
 * upload stream, and the steps uploads are made of.
 */
#ifndef ORVEL_DROPBOX_TRANSFER_H
#define ORVEL_DROPBOX_TRANSFER_H

#include "orvel_dropbox_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------- parallel transfers */

/* How large transfers are split (storage policy "transfer_streams",
 * "single_stream_below_mib", "piece_size_mib"): up to `streams` pieces of
 * `piece_size` bytes move at once, each over a connection of its own, so
 * that memory stays within streams x piece size. Transfers smaller than
 * `single_stream_below` bytes, and every transfer when streams is 1, take
 * the single-stream roads. */
extern int32_t orvel_i_dropbox_transfer_streams;     /* 4 */
extern uint64_t orvel_i_dropbox_single_stream_below; /* 32 MiB */
extern uint64_t orvel_i_dropbox_piece_size;          /* 20 MiB: 4 MiB blocks, divides the 100 MiB part */
#define ORVEL_DROPBOX_MAX_STREAMS 16
#define ORVEL_DROPBOX_MAX_STREAMS_TEXT "16"

/* Memory of one piece (a mapping of its own, returned to the system when
 * freed); null when none can be had. */
void *orvel_dropbox_piece_alloc(size_t length);
void orvel_dropbox_piece_free(void *data, size_t length);

/* The piece memory of one transfer, kept for the next piece instead of being
 * given back: touching fresh memory costs a page fault per page, more than
 * the copy into it. The caller serialises the calls. */
typedef struct orvel_dropbox_piece_pool_s {
    size_t size; /* bytes of every buffer */
    int count;   /* spare buffers held */
    void *spare[ORVEL_DROPBOX_MAX_STREAMS + 2];
} orvel_dropbox_piece_pool_t;
/* A buffer of pool->size bytes: a spare one, or new; null when none can be had. */
void *orvel_dropbox_piece_pool_take(orvel_dropbox_piece_pool_t *pool);
/* Keeps `data` (may be null) for the next piece. */
void orvel_dropbox_piece_pool_give(orvel_dropbox_piece_pool_t *pool, void *data);
/* Gives every spare buffer back to the system. */
void orvel_dropbox_piece_pool_release(orvel_dropbox_piece_pool_t *pool);

/* The pieces of one transfer share the session handle: its credential, path
 * cache and change counter are touched under this lock (the host calls a
 * session's operations one at a time, but a parallel transfer runs pieces on
 * threads of its own). */
void orvel_dropbox_shared_lock(void);
void orvel_dropbox_shared_unlock(void);
/* Between the pieces of a long transfer: renews the access token through
 * "renew-creds" when it is about to expire, under the shared lock. */
orvel_result_t orvel_dropbox_transfer_renew_token(orvel_dropbox_handle_t *handle, orvel_gfs_operation_t op);

/* -------------------------------------------------------------- downloads */

/* The file a download reads. The first reply names the revision it came
 * from; every later request of the transfer asks for that revision
 * ("rev:<rev>"), so that the client gets one version of the file even when
 * another client replaces it meanwhile. */
typedef struct orvel_dropbox_download_s {
    char *id;               /* the file's id, which names it until its revision is known (owned) */
    char *rev;              /* the revision the transfer reads (owned), null until a reply names it */
    uint64_t size;          /* that revision's size in bytes, once rev is set */
    uint64_t expected_size; /* the size the path cache knows: decides whether pieces pay */
} orvel_dropbox_download_t;

/* Sets up `file` for the file with id `id`; the system error naming "malloc"
 * when the text cannot be copied. Released with orvel_dropbox_download_release. */
orvel_result_t orvel_dropbox_download_init(orvel_dropbox_download_t *file, const char *id);
void orvel_dropbox_download_release(orvel_dropbox_download_t *file);

/* One piece of a download: the bytes [offset, offset + length) of the file's
 * revision, delivered in order either to the host's data channel (at their
 * own offsets) or to a sink of the caller's. */
typedef struct orvel_dropbox_download_piece_s {
    orvel_dropbox_download_t *file;  /* the file and the revision it reads */
    orvel_off_t offset;              /* first byte */
    orvel_off_t length;              /* bytes asked for; -1 = to the end of the file */
    orvel_gfs_operation_t op;        /* the bytes go to this operation's data channel, or, when null, */
    orvel_dsi_rest_data_read_t sink; /* to this sink, block by block */
    void *sink_arg;
    orvel_off_t done; /* out: bytes delivered */
} orvel_dropbox_download_piece_t;

/*
 * Fetches one piece with the download endpoint's attempt budget. Each reply
 * must be 200 (the whole file) or 206 (a range) with a Content-Range that
 * answers what was asked, and carry the file's metadata; its body must be as
 * long as the revision's size and the range say. A repeated attempt (after a
 * cut or a short body) asks only for the bytes that have not arrived, from
 * the revision the first reply named. The piece succeeds only with every byte
 * it asked for that the file holds (a range that starts at the file's end
 * holds none); bytes delivered before a failure stay delivered (`done`).
 * A revision that cannot be read any more fails with 451 FILE_CHANGED.
 */
orvel_result_t orvel_dropbox_download_piece(orvel_dropbox_handle_t *handle, orvel_dropbox_download_piece_t *piece);

/*
 * A byte range of the file (as a piece: length -1 = to the end), delivered in
 * order to the host's data channel of `op` or, when `sink` is not null, to
 * `sink` (`op` is then the operation the token is renewed for).
 * A range of at least orvel_i_dropbox_single_stream_below bytes (by the known
 * size) with more than one stream configured is fetched as pieces on several
 * connections at once: the first alone (its reply names the revision every
 * later piece asks for), then up to `streams` at a time, each repeated on its
 * own from where it stopped. Any failure fails the range once; the bytes of
 * pieces after a failed one are never delivered. *done_out (may be null):
 * bytes delivered.
 */
orvel_result_t orvel_dropbox_download_range(orvel_dropbox_handle_t *handle, orvel_dropbox_download_t *file,
                                            orvel_gfs_operation_t op, orvel_off_t offset, orvel_off_t length,
                                            orvel_dsi_rest_data_read_t sink, void *sink_arg, orvel_off_t *done_out);

/* ------------------------------------------------------------ content hash */

/* The service's content hash of a stream, computed on a thread of its own
 * while the bytes are sent (feeding copies them into a bounded ring). */
typedef struct orvel_dropbox_hasher_s orvel_dropbox_hasher_t;

/* A new running hash, or null when the checksum facility cannot give one
 * (the upload is then not verified; a warning is logged). */
orvel_dropbox_hasher_t *orvel_dropbox_hasher_start(void);
/* Feeds bytes, in order; `hasher` may be null. Fits the `tap` of a
 * data-channel record (orvel_dsi_rest_gridftp_op_arg_t). */
void orvel_dropbox_hasher_tap(void *hasher, const void *buffer, size_t length);
/* Waits until every byte fed is hashed, releases the hasher and returns the
 * digest text (64 lowercase hex digits, the caller frees it), or null when
 * the hash is unknown (no hasher, or a step failed). */
char *orvel_dropbox_hasher_finish(orvel_dropbox_hasher_t *hasher);

/* Content hash of a block in memory into `hash` (64 hex digits and the
 * terminator); the facility's error when it cannot be made. */
orvel_result_t orvel_dropbox_content_hash(const void *data, size_t length, char hash[65]);

/* ------------------------------------------------- the client's upload stream */

/* Reads up to `length` bytes of the upload stream and waits for them: *nread
 * (0 only with the end or a failure) and *eof once the stream has ended. The
 * host answers on a thread of its own; the call returns after its answer. */
orvel_result_t orvel_dropbox_channel_read(orvel_gfs_operation_t op, void *buffer, size_t length, size_t *nread,
                                          bool *eof);
/* Reads until `length` bytes are there or the stream ends (*nread tells). */
orvel_result_t orvel_dropbox_channel_read_full(orvel_gfs_operation_t op, void *buffer, size_t length, size_t *nread,
                                               bool *eof);
/* The stream must be at its end: one more byte fails with QUOTA_EXCEEDED
 * "Too much data was sent." naming `path`. */
orvel_result_t orvel_dropbox_channel_expect_end(orvel_gfs_operation_t op, const char *path);

/* ---------------------------------------------------------------- uploads */

/* Size of the pieces an upload of unannounced size is read and sent in: a
 * multiple of the content-hash block that divides the 100 MiB part. */
#define ORVEL_DROPBOX_PIECE_SIZE ((size_t)4194304) /* 4 MiB */

/* A piece of an upload held in memory with its content hash, so that it can
 * be sent again after a failed attempt and the service can refuse it when
 * the bytes it got differ. */
typedef struct orvel_dropbox_upload_piece_s {
    unsigned char *data; /* ORVEL_DROPBOX_PIECE_SIZE bytes (owned) */
    size_t length;       /* bytes held */
    uint64_t offset;     /* file offset of data[0] */
    bool last;           /* the client's data ends with this piece */
    char ahead;          /* a byte read ahead for the next piece */
    bool has_ahead;      /* whether `ahead` holds one */
    char hash[65];       /* content hash of the bytes held */
} orvel_dropbox_upload_piece_t;

/* Allocates the buffer of a piece starting at `offset`; the system error
 * naming "malloc" when it cannot. Released with orvel_dropbox_upload_piece_release. */
orvel_result_t orvel_dropbox_upload_piece_init(orvel_dropbox_upload_piece_t *piece, uint64_t offset);
void orvel_dropbox_upload_piece_release(orvel_dropbox_upload_piece_t *piece);
/* Reads the next piece from the stream (after the one held, whose bytes it
 * replaces): up to a full piece, then one byte ahead to learn whether the
 * data goes on (`last`), and its content hash. */
orvel_result_t orvel_dropbox_upload_piece_read(orvel_gfs_operation_t op, orvel_dropbox_upload_piece_t *piece);
/* Appends the piece to upload session `session_id` with its content hash,
 * closing the session with the last piece. */
orvel_result_t orvel_dropbox_upload_piece_append(orvel_dropbox_handle_t *handle,
                                                 const orvel_dropbox_upload_piece_t *piece, const char *session_id);
/* Stores the piece as the whole file `path` ("overwrite", `modtime` when not
 * empty) with its content hash in one request; *reply_out gets the reply. */
orvel_result_t orvel_dropbox_upload_piece_store(orvel_dropbox_handle_t *handle,
                                                const orvel_dropbox_upload_piece_t *piece, const char *path,
                                                const char *modtime, json_t **reply_out);

/* Upload of unannounced size (the host passes 0): the first piece alone in
 * one request when the data ends inside it, else an upload session of pieces
 * (also resumed by a restarted transfer). Arguments as orvel_i_dropbox_recv_simple. */
orvel_result_t orvel_i_dropbox_recv_unannounced(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                                orvel_dropbox_handle_t *handle, orvel_dropbox_path_info_t *parent,
                                                const char *modtime);

/* Upload sessions: opening one (concurrent; `size_unknown` when the size was
 * not announced), entered into the session table under the path; and the
 * commit of every byte appended, with the check of the commit's reply. */
orvel_result_t orvel_dropbox_upload_session_open(orvel_dropbox_handle_t *handle, orvel_gfs_transfer_info_t *info,
                                                 const char *modtime, bool size_unknown,
                                                 orvel_dropbox_upload_session_t **upload_out);
orvel_result_t orvel_dropbox_upload_session_commit(orvel_dropbox_handle_t *handle, orvel_gfs_transfer_info_t *info,
                                                   orvel_dropbox_path_info_t *parent,
                                                   orvel_dropbox_upload_session_t *upload, bool replaces_file);
/* A restarted transfer of a session whose data is all appended: no more data
 * may come, and only the commit is repeated. */
orvel_result_t orvel_dropbox_upload_session_recommit(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                                     orvel_gfs_transfer_info_t *info, orvel_dropbox_path_info_t *parent,
                                                     orvel_dropbox_upload_session_t *upload, orvel_off_t offset);

/*
 * Parallel appends to the concurrent upload session `upload` (opened by the
 * caller, or found for a restarted transfer): the client's stream from
 * `offset` (a piece boundary below which every piece is stored) is read in
 * pieces of the record's piece size, each appended with its content hash
 * while up to `streams` appends are in flight. Pieces the record marks
 * stored are read past, not sent again. The last piece, which closes the
 * session, goes only after the end of the data is confirmed and every other
 * piece is stored. `prefix` (may be null) holds the first bytes of the
 * stream, already read (with the byte read ahead). `hasher` (may be null)
 * gets every byte from `offset` on, in order. An announced size (the
 * record's total size unless `size_unknown`) must be met exactly. On success
 * the record is closed with the file's size.
 */
orvel_result_t orvel_dropbox_upload_parallel(orvel_gfs_operation_t op, orvel_dropbox_handle_t *handle,
                                             orvel_gfs_transfer_info_t *info, orvel_dropbox_upload_session_t *upload,
                                             orvel_off_t offset, const struct orvel_dropbox_upload_piece_s *prefix,
                                             orvel_dropbox_hasher_t *hasher);
/* Turns a freshly opened session record into one of parallel pieces of
 * orvel_i_dropbox_piece_size; false when out of memory. */
bool orvel_dropbox_upload_parallel_prepare(orvel_dropbox_upload_session_t *upload);
/* Where a restarted transfer of a parallel session goes on: the end of its
 * stored prefix of pieces (its size, once closed). */
uint64_t orvel_dropbox_upload_parallel_resume_at(const orvel_dropbox_upload_session_t *upload);

/* Whether a file is at `path` now (as the session's path cache knows after
 * resolving it): what an undone upload restores. */
bool orvel_dropbox_upload_replaces_file(orvel_dropbox_handle_t *handle, const char *path);

/*
 * The check of a commit's reply (`reply`: the stored file's metadata). When
 * `computed` (the content hash of the bytes sent; null: not verified) differs
 * from the stored file's, the bad version is taken back while it is still
 * the current one: the previous revision is restored (`replaced_file`), or
 * the new file deleted with "parent_rev" set to the bad revision; the result
 * is then 550 INCORRECT_CHECKSUM saying what became of the file. Otherwise
 * the metadata enters the path cache under `parent`.
 */
orvel_result_t orvel_dropbox_upload_commit_check(orvel_dropbox_handle_t *handle, const char *path,
                                                 orvel_dropbox_path_info_t *parent, bool replaced_file, json_t *reply,
                                                 const char *computed);

/* Reply errors of uploads, made with the catalogue in error.cpp. A reply
 * error whose cause is the plug-in's error object with "Dropbox-Path" = path
 * and "Dropbox-Error" = text; `inner_cause` (owned, may be null) continues
 * the chain below it. */
orvel_result_t orvel_dropbox_upload_detail_error(int code, const char *error_code, const char *path, const char *text,
                                                 orvel_object_t *inner_cause);
/* 451 QUOTA_EXCEEDED: an announced `size` beyond `max_upload`. */
orvel_result_t orvel_dropbox_error_upload_too_large(const char *path, int64_t size, uint64_t max_upload);
/* 451 QUOTA_EXCEEDED "Too much data was sent." */
orvel_result_t orvel_dropbox_upload_too_much_data(const char *path);
/* The data ended after `got` of `expected` bytes; `result` (the failed
 * exchange, or success) becomes the cause. */
orvel_result_t orvel_dropbox_upload_short_data(orvel_result_t result, const char *path, int64_t got, int64_t expected);
/* 553 APPEND_NOT_SUPPORTED, with `why` as its message when not null. */
orvel_result_t orvel_dropbox_upload_append_not_supported(const char *why);
/* Sets a member from a freshly made value; false when the value could not
 * be made or set. */
bool orvel_dropbox_json_set(json_t *object, const char *key, json_t *value);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_DROPBOX_TRANSFER_H */
