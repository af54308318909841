/*
 * The host GridFTP server interface: what a storage plug-in (a "DSI") sees of
 * the server. The host library orvel_gridftp_server implements every call.
 *
 * The host calls a plug-in's slots with an operation handle, a request record
 * and the session's user argument; the plug-in answers every operation
 * exactly once through one of the finished_* calls.
 */
#ifndef ORVEL_GRIDFTP_SERVER_H
#define ORVEL_GRIDFTP_SERVER_H

#include "orvel_runtime.h"

#include <stdbool.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int64_t orvel_off_t;
typedef unsigned char orvel_byte_t;

/* One operation of a session (session start, command, stat, transfer). */
typedef struct orvel_gfs_operation_s *orvel_gfs_operation_t;

/* ---------------------------------------------------------------- requests */

typedef struct orvel_gfs_session_info_s {
    const char *username; /* the authenticated user's name */
    const char *password; /* null: never handed to plug-ins */
    const char *subject;  /* null unless a certificate identifies the user */
    void *del_cred;       /* delegated credential: always null here */
    bool map_user;        /* false: the user is already mapped */
    const char *host_id;  /* the client's address, "IP:port" */
} orvel_gfs_session_info_t;

typedef enum orvel_gfs_command_type_e {
    ORVEL_GFS_CMD_MKD = 1,
    ORVEL_GFS_CMD_RMD = 2,
    ORVEL_GFS_CMD_DELE = 3,
    ORVEL_GFS_CMD_SITE_AUTHZ_ASSERT = 4,
    ORVEL_GFS_CMD_SITE_RDEL = 5,
    ORVEL_GFS_CMD_RNTO = 6,
    ORVEL_GFS_CMD_RNFR = 7,
    ORVEL_GFS_CMD_CKSM = 8,
    ORVEL_GFS_CMD_SITE_CHMOD = 9,
    ORVEL_GFS_CMD_SITE_DSI = 10,
    ORVEL_GFS_CMD_SITE_SETNETSTACK = 11,
    ORVEL_GFS_CMD_SITE_SETDISKSTACK = 12,
    ORVEL_GFS_CMD_SITE_CLIENTINFO = 13,
    ORVEL_GFS_CMD_DCSC = 14,
    ORVEL_GFS_CMD_SITE_CHGRP = 15,
    ORVEL_GFS_CMD_SITE_UTIME = 16,
    ORVEL_GFS_CMD_SITE_SYMLINKFROM = 17,
    ORVEL_GFS_CMD_SITE_SYMLINK = 18,
    ORVEL_GFS_CMD_HTTP_PUT = 19,
    ORVEL_GFS_CMD_HTTP_GET = 20,
    ORVEL_GFS_CMD_HTTP_CONFIG = 21,
    ORVEL_GFS_CMD_TRNC = 22,
    ORVEL_GFS_CMD_SITE_TASKID = 23,
    ORVEL_GFS_MIN_SITE_CMD = 3072,  /* first site command of a host extension */
    ORVEL_GFS_MIN_CUSTOM_CMD = 4096 /* first custom command */
} orvel_gfs_command_type_t;

typedef struct orvel_gfs_command_info_s {
    orvel_gfs_command_type_t command; /* what to do */
    const char *pathname;             /* target path (RNTO: the new name) */
    orvel_off_t cksm_offset;          /* CKSM: first byte */
    orvel_off_t cksm_length;          /* CKSM: byte count, -1 = to the end */
    const char *cksm_alg;             /* CKSM: algorithm name as the client sent it */
    int chmod_mode;                   /* SITE CHMOD: the mode */
    const char *from_pathname;        /* RNTO: the old name */
    const char *authz_assert;         /* SITE AUTHZ_ASSERT text, else null */
    time_t utime_time;                /* SITE UTIME: the time */
} orvel_gfs_command_info_t;

typedef struct orvel_gfs_stat_info_s {
    bool file_only;         /* true: stat the path itself; false: list a folder */
    bool internal;          /* asked by the host itself, not a client */
    const char *pathname;   /* the path */
    bool use_symlink_info;  /* not used */
    bool include_path_stat; /* not used */
} orvel_gfs_stat_info_t;

typedef struct orvel_gfs_transfer_info_s {
    const char *pathname;              /* the file */
    const char *module_name;           /* not used */
    const char *module_args;           /* not used */
    const char *list_type;             /* not used */
    orvel_off_t partial_offset;        /* ERET/REST start, 0 when none */
    orvel_off_t partial_length;        /* ERET length, -1 when none */
    bool truncate;                     /* STOR truncates (true) or continues a restart (false) */
    orvel_off_t alloc_size;            /* announced size (ALLO), 0 when unknown */
    const char *expected_checksum;     /* not used */
    const char *expected_checksum_alg; /* not used */
} orvel_gfs_transfer_info_t;

/* The host's stat record; the host copies what it needs during the stat
 * calls, so the plug-in keeps ownership of `name` and `symlink_target`. */
typedef struct orvel_gridftp_server_control_stat_s {
    int mode;
    int nlink;
    char *name;
    char *symlink_target;
    uint32_t uid;
    uint32_t gid;
    int64_t size;
    time_t atime;
    time_t ctime;
    time_t mtime;
    int dev;
    int ino;
    int link_mode;
    int error; /* 0 = success */
} orvel_gridftp_server_control_stat_t;

/* ----------------------------------------------------------- storage table */

typedef void (*orvel_gfs_init_func_t)(orvel_gfs_operation_t op, orvel_gfs_session_info_t *session_info);
typedef void (*orvel_gfs_destroy_func_t)(void *user_arg);
typedef void (*orvel_gfs_transfer_func_t)(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info,
                                          void *user_arg);
typedef void (*orvel_gfs_command_func_t)(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
typedef void (*orvel_gfs_stat_func_t)(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info, void *user_arg);
/* Slots this host never calls keep a generic pointer type. */
typedef void (*orvel_gfs_unused_func_t)(void);

/* Descriptor bits of a storage interface. */
#define ORVEL_GFS_DSI_DESCRIPTOR_SENDER (1 << 0)                /* 1 */
#define ORVEL_GFS_DSI_DESCRIPTOR_BLOCKING (1 << 1)              /* 2 */
#define ORVEL_GFS_DSI_DESCRIPTOR_HAS_REALPATH (1 << 2)          /* 4 */
#define ORVEL_GFS_DSI_DESCRIPTOR_REQUIRES_ORDERED_DATA (1 << 3) /* 8 */
#define ORVEL_GFS_DSI_DESCRIPTOR_SETS_ERROR_RESPONSES (1 << 4)  /* 16 */
#define ORVEL_GFS_DSI_DESCRIPTOR_SAFE_RDEL (1 << 5)             /* 32 */

typedef struct orvel_gfs_storage_iface_s {
    int descriptor;                        /* ORVEL_GFS_DSI_DESCRIPTOR_* bits */
    orvel_gfs_init_func_t init_func;       /* session start */
    orvel_gfs_destroy_func_t destroy_func; /* session teardown */
    orvel_gfs_unused_func_t list_func;     /* listings arrive through stat */
    orvel_gfs_transfer_func_t send_func;   /* retrieve (download) */
    orvel_gfs_transfer_func_t recv_func;   /* store (upload) */
    orvel_gfs_unused_func_t trev_func;
    orvel_gfs_unused_func_t active_func;
    orvel_gfs_unused_func_t passive_func;
    orvel_gfs_unused_func_t data_destroy_func;
    orvel_gfs_command_func_t command_func; /* MKD, RMD, DELE, RNTO, CKSM, ... */
    orvel_gfs_stat_func_t stat_func;       /* stat and listings */
    orvel_gfs_unused_func_t set_cred_func;
    orvel_gfs_unused_func_t buffer_send_func;
    orvel_gfs_unused_func_t realpath_func;
} orvel_gfs_storage_iface_t;

/* Registry of storage interfaces, keyed by name ("dropbox"). */
extern orvel_extension_registry_t orvel_i_gfs_dsi_registry;

/* ------------------------------------------------------------ host calls */

void orvel_gridftp_server_finished_session_start(orvel_gfs_operation_t op, orvel_result_t result, void *session_arg,
                                                 const char *username, const char *home_dir);
/* Announces the checksum algorithms the plug-in serves, e.g. "MD5:15;SHA1:15". */
void orvel_gridftp_server_set_checksum_support(orvel_gfs_operation_t op, const char *cksm_str);
/* Looks up a configuration text of the session ("creds", "renew-creds",
 * "config"). *data_out is the host's text (do not free) or null. */
void orvel_gridftp_server_get_config_data(orvel_gfs_operation_t op, const char *key, char **data_out);
/* Ends a command; `reply` is an optional text for the success reply (the new
 * path of MKD/RNTO, the digest of CKSM). */
void orvel_gridftp_server_finished_command(orvel_gfs_operation_t op, orvel_result_t result, const char *reply);
/* Sends an intermediate (progress) reply while a command runs. */
void orvel_gridftp_server_intermediate_command(orvel_gfs_operation_t op, orvel_result_t result, const char *reply);
/* The interval in seconds at which progress replies are wanted (0 = none). */
void orvel_gridftp_server_get_update_interval(orvel_gfs_operation_t op, int *interval_out);
void orvel_gridftp_server_finished_stat(orvel_gfs_operation_t op, orvel_result_t result,
                                        orvel_gridftp_server_control_stat_t *stat_array, int stat_count);
void orvel_gridftp_server_finished_stat_partial(orvel_gfs_operation_t op, orvel_result_t result,
                                                orvel_gridftp_server_control_stat_t *stat_array, int stat_count);
/* Opens the data channel of a transfer. */
void orvel_gridftp_server_begin_transfer(orvel_gfs_operation_t op, int event_mask, void *event_arg);
void orvel_gridftp_server_finished_transfer(orvel_gfs_operation_t op, orvel_result_t result);
/* Next byte range the client wants of a retrieve: (offset, length); length -1
 * means to the end of the file, 0 means no further range. */
void orvel_gridftp_server_get_read_range(orvel_gfs_operation_t op, orvel_off_t *offset, orvel_off_t *length);
/* Range of a store: (offset, length); length -1 means the whole stream. */
void orvel_gridftp_server_get_write_range(orvel_gfs_operation_t op, orvel_off_t *offset, orvel_off_t *length);
/* The modification time the client asked for the stored file; returns 0 and
 * sets *time_out (-1 when none) on success. */
orvel_result_t orvel_gridftp_server_get_recv_modification_time(orvel_gfs_operation_t op, time_t *time_out);
/* Data channel reads and writes: the callback runs exactly once per
 * successful registration, possibly on another thread. A failed registration
 * calls nothing. */
typedef void (*orvel_gfs_read_cb_t)(orvel_gfs_operation_t op, orvel_result_t result, orvel_byte_t *buffer,
                                    size_t nbytes, orvel_off_t offset, bool eof, void *user_arg);
typedef void (*orvel_gfs_write_cb_t)(orvel_gfs_operation_t op, orvel_result_t result, orvel_byte_t *buffer,
                                     size_t nbytes, void *user_arg);
orvel_result_t orvel_gridftp_server_register_read(orvel_gfs_operation_t op, orvel_byte_t *buffer, size_t length,
                                                  orvel_gfs_read_cb_t callback, void *user_arg);
orvel_result_t orvel_gridftp_server_register_write(orvel_gfs_operation_t op, orvel_byte_t *buffer, size_t length,
                                                   orvel_off_t offset, int stripe_ndx, orvel_gfs_write_cb_t callback,
                                                   void *user_arg);

/* ------------------------------------------------------------------ errors */

/* A reply error: reply code (550, 553, 451, 500, ...), error code text
 * ("PATH_NOT_FOUND") and an optional formatted message; takes ownership of
 * `cause`. Null when memory runs out. */
orvel_object_t *orvel_gfs_ftp_response_error_construct(orvel_module_descriptor_t *base_source,
                                                       orvel_object_t *base_cause, int response_code,
                                                       const char *response_error_code, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
/* A system error from errno with a formatted message ("System error%s%s"). */
orvel_object_t *orvel_i_gfs_error_system(int ftp_code, int system_errno, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

extern const orvel_object_type_t ORVEL_GFS_ERROR_FTP_RESPONSE_TYPE_DEFINITION;
extern const orvel_object_type_t ORVEL_GFS_ERROR_SYSTEM_TYPE_DEFINITION;

/* Accessors used by the host and by tests: the first reply error found along
 * the cause chain starting at `error` decides (0 / null when there is none). */
int orvel_gfs_error_get_ftp_response_code(orvel_object_t *error);
const char *orvel_gfs_error_get_ftp_response_error_code(orvel_object_t *error);
const char *orvel_gfs_error_get_ftp_response_message(orvel_object_t *error);
int orvel_gfs_error_get_system_errno(orvel_object_t *error);
/* The FTP reply for an error: "CODE-..." continuation lines carrying the error
 * code, the message and the details of the cause chain, then "CODE End.".
 * A chain without a reply error answers 451 (local error). Newly allocated. */
char *orvel_gfs_error_to_ftp_reply(orvel_object_t *error);

/* --------------------------------------------------------------- checksums */

/* Digest context of the host's checksum facility. Algorithms (names compared
 * without regard to case): MD5, SHA1, SHA256, SHA512, ADLER32, QUICKXORHEX,
 * DROPBOX (the service's content hash). Unknown names are refused. */
typedef struct orvel_gfs_checksum_state_s *orvel_gfs_checksum_state_t;
orvel_result_t orvel_gfs_checksum_init(const char *algorithm, orvel_gfs_checksum_state_t *state_out);
orvel_result_t orvel_gfs_checksum_update(orvel_gfs_checksum_state_t state, const unsigned char *buffer, size_t length);
/* Finishes and frees the context; *digest_out is a new lowercase hex text
 * (ADLER32: 8 hex digits; QUICKXORHEX: the 20-byte digest in hex) that the
 * caller frees. */
orvel_result_t orvel_gfs_checksum_finalize(orvel_gfs_checksum_state_t state, char **digest_out);
/* Frees a context without a digest (after a failed transfer). */
void orvel_gfs_checksum_abort(orvel_gfs_checksum_state_t state);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_GRIDFTP_SERVER_H */
