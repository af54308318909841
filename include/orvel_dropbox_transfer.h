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

/* -------------------------------------------------------------- downloads */

/* The file a download reads. The first reply names the revision it came
 * from; every later request of the transfer asks for that revision
 * ("rev:<rev>"), so that the client gets one version of the file even when
 * another client replaces it meanwhile. */
typedef struct orvel_dropbox_download_s {
    char *id;      /* the file's id, which names it until its revision is known (owned) */
    char *rev;     /* the revision the transfer reads (owned), null until a reply names it */
    uint64_t size; /* that revision's size in bytes, once rev is set */
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
    orvel_off_t done;                /* out: bytes delivered */
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
orvel_result_t orvel_dropbox_channel_read_full(orvel_gfs_operation_t op, void *buffer, size_t length,
                                               size_t *nread, bool *eof);
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
                                                     orvel_gfs_transfer_info_t *info,
                                                     orvel_dropbox_path_info_t *parent,
                                                     orvel_dropbox_upload_session_t *upload, orvel_off_t offset);

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
                                                 orvel_dropbox_path_info_t *parent, bool replaced_file,
                                                 json_t *reply, const char *computed);

/* Reply errors of uploads, made with the catalogue in error.cpp. A reply
 * error whose cause is the plug-in's error object with "Dropbox-Path" = path
 * and "Dropbox-Error" = text; `inner_cause` (owned, may be null) continues
 * the chain below it. */
orvel_result_t orvel_dropbox_upload_detail_error(int code, const char *error_code, const char *path,
                                                 const char *text, orvel_object_t *inner_cause);
/* 451 QUOTA_EXCEEDED "Too much data was sent." */
orvel_result_t orvel_dropbox_upload_too_much_data(const char *path);
/* The data ended after `got` of `expected` bytes; `result` (the failed
 * exchange, or success) becomes the cause. */
orvel_result_t orvel_dropbox_upload_short_data(orvel_result_t result, const char *path, int64_t got,
                                               int64_t expected);
/* 553 APPEND_NOT_SUPPORTED, with `why` as its message when not null. */
orvel_result_t orvel_dropbox_upload_append_not_supported(const char *why);
/* Sets a member from a freshly made value; false when the value could not
 * be made or set. */
bool orvel_dropbox_json_set(json_t *object, const char *key, json_t *value);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_DROPBOX_TRANSFER_H */
