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

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_DROPBOX_TRANSFER_H */
