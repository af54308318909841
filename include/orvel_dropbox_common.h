/*
 * Private header of the storage plug-in: types, constants, process-wide values
 * and the functions its source files share.
 *
 * No exception crosses a C entry point. The plug-in is written in C++ behind
 * C-linkage entry points: the six storage-interface slots, the module
 * activation and deactivation functions, and the callbacks it hands to the
 * host (data-channel reads) and to the REST library (reply sinks, data taps).
 * Each of them runs its body through one guard (orvel_dropbox_guard.hpp) that
 * turns any exception into the usual error result; a slot whose body threw
 * before answering is answered with that error, exactly once.
 */
#ifndef ORVEL_DROPBOX_COMMON_H
#define ORVEL_DROPBOX_COMMON_H

#include "orvel_runtime.h"
#include "orvel_dsi_rest.h"
#include "orvel_gridftp_server.h"

#include <fcntl.h>
#include <jansson.h>
#include <pwd.h>
#include <stdbool.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------- debug log */

enum {
    ORVEL_DROPBOX_TRACE = 1,
    ORVEL_DROPBOX_DEBUG = 2,
    ORVEL_DROPBOX_INFO = 4,
    ORVEL_DROPBOX_WARN = 8,
    ORVEL_DROPBOX_ERROR = 16,
    ORVEL_DROPBOX_ALL = 31
};

extern orvel_debug_handle_t orvel_i_ORVEL_DROPBOX_debug_handle;
extern const char *orvel_i_dropbox_debug_level_names[17];

void orvel_i_ORVEL_DROPBOX_debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void orvel_i_ORVEL_DROPBOX_debug_time_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void orvel_i_ORVEL_DROPBOX_debug_fwrite(const void *buffer, size_t size, size_t count);

/* Writes one log line (prefix and body) at `level` for function `func`; the
 * caller has already found the level enabled. */
void orvel_i_dropbox_log_line(int level, const char *func, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
/* Writes the error exit line for `result`: the error chain is printed first
 * whether or not ERROR is enabled. */
void orvel_i_dropbox_log_error_exit(const char *func, orvel_result_t result);

#define ORVEL_DROPBOX_LOG(level, ...)                                      \
    do {                                                                   \
        if (orvel_i_ORVEL_DROPBOX_debug_handle.levels & (uint32_t)(level)) \
            orvel_i_dropbox_log_line((level), __func__, __VA_ARGS__);      \
    } while (0)

#define ORVEL_DROPBOX_TRACE_ENTER() ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_TRACE, "enter\n")
#define ORVEL_DROPBOX_TRACE_EXIT() ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_TRACE, "exit\n")
/* Exit line of a function that returns a result. */
#define ORVEL_DROPBOX_TRACE_EXIT_RESULT(result)                                     \
    do {                                                                            \
        orvel_result_t orvel_l_trace_result = (result);                             \
        if (orvel_l_trace_result == ORVEL_SUCCESS)                                  \
            ORVEL_DROPBOX_LOG(ORVEL_DROPBOX_TRACE, "exit: result=ORVEL_SUCCESS\n"); \
        else                                                                        \
            orvel_i_dropbox_log_error_exit(__func__, orvel_l_trace_result);         \
    } while (0)

/* ------------------------------------------------------- process-wide values */

extern uint32_t orvel_i_dropbox_api_per_second;     /* requests per second per account, 20 */
extern int32_t orvel_i_dropbox_max_delay;           /* longest Retry-After wait, seconds, 25 */
extern int32_t orvel_i_dropbox_progress_timeout_ms; /* idle limit of exchanges, 30000 */
extern const char *orvel_i_dropbox_retry_path;      /* "$HOME/.orvel/dropbox-r" */
extern const char *orvel_i_dropbox_upload_path;     /* "$HOME/.orvel/dropbox-u" */
extern const char *orvel_i_dropbox_api_host;        /* "https://api.dropboxapi.com" */
extern const char *orvel_i_dropbox_content_host;    /* "https://content.dropboxapi.com" */
extern int32_t orvel_i_dropbox_lock_wait_ms;        /* longest wait for a state file's lock held by one
                                                       other process, 5000 */
extern int32_t orvel_i_dropbox_metadata_max_age_ms; /* age after which cached metadata is confirmed with
                                                       the service before it decides an answer, 5000 */

#define ORVEL_DROPBOX_STATE_DIR "$HOME/.orvel"
#define ORVEL_DROPBOX_CHECKSUM_SUPPORT "Dropbox:1;SHA1:15;MD5:15;SHA256:15;SHA512:15;ADLER32:15;QuickXORHex:15"
#define ORVEL_DROPBOX_MAX_UPLOAD ((uint64_t)375809638400ULL) /* 350 GiB */
#define ORVEL_DROPBOX_PART_SIZE ((uint64_t)104857600ULL)     /* 100 MiB */
#define ORVEL_DROPBOX_STAT_BATCH 100
#define ORVEL_DROPBOX_LIST_LIMIT 1000
#define ORVEL_DROPBOX_TABLE_BUCKETS 1023

/* --------------------------------------------------------------- modules */

extern orvel_module_descriptor_t orvel_gridftp_server_dropbox_module;
extern orvel_module_descriptor_t orvel_i_dropbox_common_module;

/* ------------------------------------------------------------ metadata */

enum { ORVEL_DROPBOX_FOLDER = 1, ORVEL_DROPBOX_FILE = 2, ORVEL_DROPBOX_UNKNOWN = 3 };

typedef struct orvel_dropbox_path_info_s {
    char *name;      /* leaf name when parsed; full path (the key) when cached */
    char *id;        /* the service's id ("id:..."); "/" for the root */
    char *parent_id; /* never filled: always null */
    int type;        /* ORVEL_DROPBOX_FOLDER, _FILE or _UNKNOWN; 0 in a zeroed record */
    uint64_t size;   /* bytes; 0 for folders and when absent */
    time_t modtime;  /* "client_modified", 0 when absent */
    char *md5;       /* digest texts stored by the checksum command, or null */
    char *sha1;
    char *sha256;
    char *hash;           /* the service's "content_hash", or null */
    bool listed;          /* a cached folder whose children are all cached */
    bool has_metadata;    /* carried by copies, never set */
    bool freeme;          /* heap record from orvel_dropbox_path_info_copy */
    uint64_t confirmed;   /* confirmation number given when the record entered the cache; 0 = none */
    int64_t confirmed_ms; /* monotonic time of that entry, milliseconds */
    uint64_t listed_at;   /* confirmation number at the start of the listing that set `listed` */
    int64_t listed_ms;    /* monotonic time of that start, milliseconds */
} orvel_dropbox_path_info_t;

extern const orvel_dropbox_path_info_t orvel_i_dropbox_vfs_root_info;

orvel_result_t orvel_dropbox_info_parse(json_t *json, orvel_dropbox_path_info_t *info, int type);
orvel_result_t orvel_dropbox_folder_info_parse(json_t *json, orvel_dropbox_path_info_t *info);
orvel_result_t orvel_dropbox_file_info_parse(json_t *json, orvel_dropbox_path_info_t *info);
orvel_result_t orvel_dropbox_object_info_parse(json_t *json, orvel_dropbox_path_info_t *info);
orvel_dropbox_path_info_t *orvel_dropbox_path_info_copy(const orvel_dropbox_path_info_t *info);
void orvel_dropbox_path_info_free(orvel_dropbox_path_info_t *info);

/* --------------------------------------------------------- upload sessions */

typedef struct orvel_dropbox_upload_session_s {
    char *id;              /* the service's upload session id */
    char *name;            /* GridFTP path of the file; the table key */
    char *modtime;         /* "client_modified" text for the finish, or null */
    int32_t num_parts;     /* number of parts */
    uint64_t part_size;    /* bytes per part */
    uint64_t total_size;   /* bytes of the whole file */
    json_t *part_array;    /* unused, never released with the record */
    bool size_unknown;     /* opened without an announced size: the parts are pieces appended as the data
                            arrives, num_parts counts those appended, total_size is 0 until closed */
    bool closed;           /* every byte is appended and the session closed: only the commit remains */
    char content_hash[65]; /* once closed: content hash of all the bytes appended, "" when unknown */
    bool parallel;         /* appended in pieces of part_size, several at once: `stored` says which */
    unsigned char *stored; /* parallel: one byte per piece, non-zero once appended (owned) */
    int32_t stored_count;  /* parallel: entries of `stored` */
} orvel_dropbox_upload_session_t;

/* --------------------------------------------------------- retry state */

struct orvel_dropbox_retry_shared_s {
    int64_t not_until;    /* reserved, zero */
    orvel_abstime_t last; /* start of the most recent paced request of any process */
};

typedef struct orvel_dropbox_retry_s {
    bool is;                                     /* create has filled the handle */
    int fd;                                      /* state file, or -1 without a file */
    uint32_t delay;                              /* minimum spacing of request starts, microseconds */
    struct orvel_dropbox_retry_shared_s *shared; /* the process's copy of the file's record, read and
                                                    written under the lock; the only record without a file */
} orvel_dropbox_retry_t;

void orvel_i_dropbox_retry_state_create(const char *name, uint32_t max_per_second, orvel_dropbox_retry_t *retry_state);
void orvel_i_dropbox_retry_state_destroy(orvel_dropbox_retry_t *retry_state);
orvel_result_t orvel_i_dropbox_retry_state_lock(orvel_dropbox_retry_t *retry_state, bool blocking);
orvel_result_t orvel_i_dropbox_retry_state_unlock(orvel_dropbox_retry_t *retry_state);
void orvel_i_dropbox_retry_delay(uint64_t retry_after, orvel_dropbox_retry_t *retry_state);

/* ------------------------------------------------------ upload state file */

struct orvel_dropbox_upload_state_shared_s {
    char id[128];               /* upload session id, NUL-terminated */
    int32_t num_parts;          /* number of parts */
    uint64_t part_size;         /* bytes per part */
    uint64_t total_size;        /* bytes of the file */
    char name[4096];            /* GridFTP path, NUL-terminated */
    unsigned char part_array[]; /* open-ended, never stored */
};

typedef struct orvel_dropbox_upload_state_s {
    bool is;                                            /* set by create */
    int fd;                                             /* open file, or -1 when the record lives in process memory */
    struct orvel_dropbox_upload_state_shared_s *shared; /* mapping or private copy; null after destroy */
} orvel_dropbox_upload_state_t;

#define ORVEL_DROPBOX_UPLOAD_STATE_SIZE 4248

void orvel_i_dropbox_upload_state_create(const char *name, orvel_dropbox_upload_state_t *upload_state);
orvel_result_t orvel_i_dropbox_upload_state_lock(orvel_dropbox_upload_state_t *upload_state, bool blocking);
orvel_result_t orvel_i_dropbox_upload_state_unlock(orvel_dropbox_upload_state_t *upload_state);
void orvel_i_dropbox_upload_state_destroy(orvel_dropbox_upload_state_t *upload_state);

/* ------------------------------------------------------------ system calls */

/* The system calls of the shared state files (account lookup, files, record
 * locks, mappings), routed through one process-wide table so that tests can
 * make a chosen call fail or fake a file owner. Every entry behaves like the
 * C library function of the same name. */
typedef struct orvel_dropbox_syscalls_s {
    int (*getpwuid_r)(uid_t uid, struct passwd *pwd, char *buf, size_t buflen, struct passwd **result);
    int (*open)(const char *path, int flags, mode_t mode);
    int (*fstat)(int fd, struct stat *st);
    int (*fcntl)(int fd, int cmd, struct flock *lock);
    int (*ftruncate)(int fd, off_t length);
    void *(*mmap)(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void *addr, size_t length);
    int (*close)(int fd);
    uid_t (*geteuid)(void);
    uid_t (*getuid)(void);
    ssize_t (*pread)(int fd, void *buffer, size_t count, off_t offset);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t count, off_t offset);
    /* Memory: every allocation of the plug-in, and from activation on every
     * allocation of the JSON library, goes through these. A replacement may
     * fail an allocation (null) but must hand out and release memory of the
     * C library's heap: what one entry gives may be released by free(). */
    void *(*malloc)(size_t size);
    void *(*calloc)(size_t count, size_t size);
    void *(*realloc)(void *pointer, size_t size);
    void (*free)(void *pointer);
} orvel_dropbox_syscalls_t;

/* The table in use; starts as orvel_i_dropbox_syscalls_default. */
extern orvel_dropbox_syscalls_t orvel_i_dropbox_syscalls;
/* The C library's functions. */
extern const orvel_dropbox_syscalls_t orvel_i_dropbox_syscalls_default;

/* The plug-in's allocation calls: the memory entries of the table. */
static inline void *orvel_dropbox_malloc(size_t size)
{
    return orvel_i_dropbox_syscalls.malloc(size);
}
static inline void *orvel_dropbox_calloc(size_t count, size_t size)
{
    return orvel_i_dropbox_syscalls.calloc(count, size);
}
static inline void *orvel_dropbox_realloc(void *pointer, size_t size)
{
    return orvel_i_dropbox_syscalls.realloc(pointer, size);
}
static inline void orvel_dropbox_free(void *pointer)
{
    orvel_i_dropbox_syscalls.free(pointer);
}
/* strdup, strndup and asprintf over orvel_dropbox_malloc: null (asprintf: -1,
 * *text_out null) when out of memory. */
char *orvel_dropbox_strdup(const char *text);
char *orvel_dropbox_strndup(const char *text, size_t length);
int orvel_dropbox_asprintf(char **text_out, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Makes the JSON library allocate through the table (at activation), and
 * gives it back the functions it had before (at deactivation). */
void orvel_i_dropbox_json_alloc_route(void);
void orvel_i_dropbox_json_alloc_restore(void);

/* ------------------------------------------------------ shared state files */

/* Makes `folder` with mode 0700 when it does not exist; any other outcome is
 * left to whatever uses the folder next. */
void orvel_dropbox_state_folder_make(const char *folder);

/* Whole-file write lock of a state file. Without blocking one F_SETLK; when
 * blocking, F_SETLK is tried again until the lock is free, but a process that
 * keeps holding it longer than orvel_i_dropbox_lock_wait_ms (stopped, or in a
 * debugger) is not waited for: the system error then carries ETIMEDOUT. An
 * interrupted call is repeated, any other failure is the system error naming
 * "fnctl". Unlock releases it. */
orvel_result_t orvel_dropbox_state_file_lock(int fd, bool blocking);
orvel_result_t orvel_dropbox_state_file_unlock(int fd);

/* One kind of per-user state file: a fixed-size record. */
typedef struct orvel_dropbox_state_file_s {
    size_t size;                        /* exact size of the file and of its record */
    orvel_result_t (*try_lock)(int fd); /* the kind's own lock, without waiting */
    orvel_result_t (*unlock)(int fd);   /* the kind's own unlock */
    void (*initialise)(void *record);   /* writes a new file's record; may be null */
    bool mapped;                        /* shared through a mapping; otherwise each process keeps a
                                             copy that it reads and writes under the lock */
} orvel_dropbox_state_file_t;

/* Opens (creating) the regular file `name` under the expansion of
 * `folder_template`, never through a symbolic link; it must be owned by the
 * effective user. The first process to take the lock sizes (and initialises)
 * it, the others wait until it has the size. Returns true with the descriptor
 * and the record: the shared mapping, or for a kind that is not mapped a copy
 * of the file's record. On any failure returns false with -1 and a zeroed
 * record of `size` bytes of the process's own (null when out of memory). An
 * expanded name that is empty, "." or "..", or holds a "/", is not used. */
bool orvel_dropbox_state_file_open(const orvel_dropbox_state_file_t *kind, const char *folder_template,
                                   const char *name, int *fd_out, void **record_out);
/* Reads the file's record into `record` (the caller holds the lock); what a
 * file cut short lacks reads as zero. False, with `record` all zero, when the
 * file cannot be read. */
bool orvel_dropbox_state_file_read(const orvel_dropbox_state_file_t *kind, int fd, void *record);
/* Writes `record` as the file's record (the caller holds the lock). */
bool orvel_dropbox_state_file_write(const orvel_dropbox_state_file_t *kind, int fd, const void *record);
/* Unmaps and closes what open gave, or frees the private record (fd -1). */
void orvel_dropbox_state_file_close(const orvel_dropbox_state_file_t *kind, int fd, void *record);

/* ---------------------------------------------------- account change counter */

/* The account's change counter: one 8-byte file per account beside the
 * pacing record, bumped by every create, upload, move and delete of any
 * session of the account, so that sibling sessions know when what they
 * cached may have changed. */
struct orvel_dropbox_changes_shared_s {
    uint64_t changes; /* namespace changes made through this host's sessions */
};

typedef struct orvel_dropbox_changes_s {
    bool is; /* create has filled it */
    int fd;  /* the counter file, or -1: only the session's own changes are known */
    struct orvel_dropbox_changes_shared_s *shared; /* the process's copy of the file's record */
    uint64_t seen;                                 /* the counter as this session last accounted for it */
    uint64_t valid_from; /* cached knowledge of an earlier confirmation number needs confirming */
} orvel_dropbox_changes_t;

void orvel_i_dropbox_changes_create(const char *account_id, orvel_dropbox_changes_t *changes);
void orvel_i_dropbox_changes_destroy(orvel_dropbox_changes_t *changes);

/* ---------------------------------------------------------- session handle */

typedef struct orvel_dropbox_handle_s {
    char *username;                    /* GridFTP user of the session */
    char *userid;                      /* account id, the credential's "sub" */
    char *root_namespace_id;           /* root namespace id */
    bool is_team;                      /* root and home namespaces differ */
    uint64_t max_upload;               /* largest accepted upload, bytes */
    char *access_token;                /* bearer token */
    time_t access_token_exp;           /* token expiry, seconds since the epoch */
    orvel_hashtable_t cache;           /* path -> orvel_dropbox_path_info_t */
    orvel_hashtable_t upload_state;    /* path -> orvel_dropbox_upload_session_t */
    orvel_dropbox_retry_t retry_state; /* shared pacing state */
    orvel_dropbox_changes_t changes;   /* the account's change counter as the session follows it */
} orvel_dropbox_handle_t;

/* Reads the account's change counter: when another session changed the
 * account since this one last looked, everything cached so far needs
 * confirming before it decides an answer. */
void orvel_dropbox_changes_check(orvel_dropbox_handle_t *handle);
/* Bumps the counter after a call that changed, or may have changed, the
 * account. `known` says the session's cache follows the change itself (the
 * caller enters the outcome); without it, or when another session's change
 * came first, everything cached so far needs confirming. */
void orvel_dropbox_changes_made(orvel_dropbox_handle_t *handle, bool known);

/* ----------------------------------------------------------- entry points */

void orvel_i_dropbox_start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *session_info);
void orvel_i_dropbox_destroy(void *user_arg);
void orvel_i_dropbox_command(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
void orvel_i_dropbox_stat(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info, void *user_arg);
void orvel_i_dropbox_send(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg);
void orvel_i_dropbox_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg);
/* The slots as the storage interface holds them: each runs its slot above
 * through the guard (see the top of this header). */
void orvel_i_dropbox_guarded_start(orvel_gfs_operation_t op, orvel_gfs_session_info_t *session_info);
void orvel_i_dropbox_guarded_destroy(void *user_arg);
void orvel_i_dropbox_guarded_command(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
void orvel_i_dropbox_guarded_stat(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info, void *user_arg);
void orvel_i_dropbox_guarded_send(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg);
void orvel_i_dropbox_guarded_recv(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *transfer_info, void *user_arg);

/* ------------------------------------------------ credentials and policy */

orvel_result_t orvel_dropbox_evaluate_path(const char *orig_path, char **updated_pathp);
orvel_result_t orvel_dropbox_update_token(orvel_dropbox_handle_t *handle, orvel_gfs_operation_t op);
/* The storage policy: "user_api_rate_limit" into *rate_limit_out, and
 * "metadata_max_age" (seconds, 0 = always confirm) into
 * orvel_i_dropbox_metadata_max_age_ms; absent members change nothing. */
orvel_result_t orvel_dropbox_config_parse_json(const char *json_config, uint32_t *rate_limit_out);

/* ------------------------------------------------------------ error type */

extern const orvel_object_type_t ORVEL_DROPBOX_ERROR_TYPE_DEFINITION;
#define ORVEL_DROPBOX_ERROR_TYPE (&ORVEL_DROPBOX_ERROR_TYPE_DEFINITION)

orvel_object_t *orvel_dropbox_error_construct(orvel_module_descriptor_t *base_source, orvel_object_t *base_cause,
                                              const orvel_dsi_rest_key_array_t *error_info);
orvel_object_t *orvel_dropbox_error_initialize(orvel_object_t *error, orvel_module_descriptor_t *base_source,
                                               orvel_object_t *base_cause,
                                               const orvel_dsi_rest_key_array_t *error_info);
void orvel_dropbox_error_add_info(orvel_object_t *error, const orvel_dsi_rest_key_array_t *info);
const char *orvel_dropbox_error_get_info(orvel_object_t *error, const char *key);

/* ------------------------------------------------------------ the catalogue */

/* Every error the plug-in makes, made in one place (error.cpp; the reply
 * errors of uploads are declared in orvel_dropbox_transfer.h). Each returns
 * the result naming the new error; a `cause` is taken over. When memory runs
 * out the result is the "malloc" system error. The service's own answers are
 * translated by orvel_dropbox_translate_response. */

/* System errors: "System error in CALL" with the errno text. */
orvel_result_t orvel_dropbox_error_system_malloc(void); /* errno as it is, "malloc" */
orvel_result_t orvel_dropbox_error_system(const char *call, int error_number);
/* A generic error carrying `message` and the source location given;
 * ORVEL_DROPBOX_ERROR_GENERIC gives the caller's. */
orvel_result_t orvel_dropbox_error_generic(const char *file, const char *func, int line, const char *message);
#define ORVEL_DROPBOX_ERROR_GENERIC(message) orvel_dropbox_error_generic(__FILE__, __func__, __LINE__, (message))

/* Paths and names. "GridFTP-Path: PATH" is the message unless said otherwise. */
orvel_result_t orvel_dropbox_error_path_not_found(const char *path); /* 550 PATH_NOT_FOUND, quoted path;
                                                                           no message for a null path */
orvel_result_t orvel_dropbox_error_path_exists(const char *path);    /* 553 PATH_EXISTS */
orvel_result_t orvel_dropbox_error_not_a_directory(orvel_object_t *cause, const char *path); /* 553 NOT_A_DIRECTORY */
orvel_result_t orvel_dropbox_error_is_a_directory(const char *path);                         /* 553 IS_A_DIRECTORY */
orvel_result_t orvel_dropbox_error_invalid_path_name(const char *path);                      /* 553 INVALID_PATH_NAME */
orvel_result_t orvel_dropbox_error_team_root(void); /* 550 PERMISSION_DENIED, team root */

/* Requests and the service. */
orvel_result_t orvel_dropbox_error_no_access_token(void);        /* 550 PERMISSION_DENIED */
orvel_result_t orvel_dropbox_error_internal(const char *detail); /* 500 INTERNAL_ERROR,
                                                                           "GridFTP-Error: DETAIL" */
/* 451 SERVICE_UNAVAILABLE: the service could not be asked about `path`. */
orvel_result_t orvel_dropbox_error_service_unavailable(orvel_object_t *cause, const char *path);

/* Commands. */
orvel_result_t orvel_dropbox_error_not_implemented(void);                         /* 500 NOT_IMPLEMETED */
orvel_result_t orvel_dropbox_error_invalid_range(int64_t offset, int64_t length); /* 501 INVALID_RANGE */

/* Transfers. */
/* 451 FILE_CHANGED "GridFTP-Error: WHY": the file changed during a download. */
orvel_result_t orvel_dropbox_error_file_changed(orvel_object_t *cause, const char *why);
/* 553 APPEND_NOT_SUPPORTED: a restart at or beyond the last part of an upload. */
orvel_result_t orvel_dropbox_error_restart_beyond_parts(int64_t offset, int32_t num_parts, uint64_t part_size,
                                                        uint64_t total_size);
/* 553 MULTI_PART_UPLOAD_NOT_FOUND: no interrupted upload to continue. */
orvel_result_t orvel_dropbox_error_upload_not_found(void);
/* 550 INCORRECT_CHECKSUM: the service received other bytes of a piece than
 * were sent, and stored none of them. */
orvel_result_t orvel_dropbox_error_piece_corrupted(orvel_object_t *cause, size_t length, uint64_t offset,
                                                   const char *hash);
/* 550 INCORRECT_CHECKSUM: the stored file's content hash is not the one of
 * the bytes sent. */
orvel_result_t orvel_dropbox_error_checksum_mismatch(orvel_object_t *cause, const char *computed, const char *service);

/* ---------------------------------------------------- response translation */

orvel_result_t orvel_dropbox_translate_response(const orvel_dsi_rest_response_arg_t *response,
                                                json_t *json_error_code_response, bool *retryable_out,
                                                uint64_t *retry_after_out);

/* -------------------------------------------------------- request procedure */

typedef enum { ORVEL_DROPBOX_HOST_API = 0, ORVEL_DROPBOX_HOST_CONTENT = 1 } orvel_dropbox_host_kind_t;

/* One endpoint of the service: the fixed part of every call to it. */
typedef struct orvel_dropbox_endpoint_s {
    const char *method;             /* "GET" or "POST" */
    orvel_dropbox_host_kind_t host; /* API or content host */
    const char *path;               /* "/2/files/..." */
    bool args_in_header;            /* arguments in "Dropbox-API-Arg" (else the JSON body) */
    bool octet_stream;              /* sends "Content-Type: application/octet-stream" */
    bool wants_api_result;          /* asks for the "Dropbox-API-Result" reply header */
    int attempts;                   /* attempt budget */
    bool paced;                     /* takes the shared pacing wait before every attempt */
    int idle_factor;                /* idle limit = factor x orvel_i_dropbox_progress_timeout_ms */
} orvel_dropbox_endpoint_t;

extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_list_folder;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_list_folder_continue;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_create_folder;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_move;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_delete;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_download;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload_session_start;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload_session_append;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_upload_session_finish;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_get_metadata;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_list_revisions;
extern const orvel_dropbox_endpoint_t orvel_i_dropbox_ep_restore;

typedef struct orvel_dropbox_api_call_s orvel_dropbox_api_call_t;

/* One call of an endpoint: what changes from call to call. */
struct orvel_dropbox_api_call_s {
    const orvel_dropbox_endpoint_t *endpoint;
    json_t *args;      /* the arguments (borrowed); header text or JSON body per endpoint */
    const char *range; /* "Range" header value, or null */
    /* Body source; null: the JSON arguments for body-argument endpoints, an
     * empty block for header-argument endpoints. */
    orvel_dsi_rest_data_write_t body_source;
    void *body_source_arg;
    /* Reply sink; null: the body is parsed as JSON into *reply_json. */
    orvel_dsi_rest_data_read_t reply_sink;
    void *reply_sink_arg;
    /* Optional: runs before every repeated attempt (not the first), while the
     * response record still holds the failed attempt's reply; may update
     * `range` or `args` or restart the sink's state. A failure ends the call
     * with it. */
    orvel_result_t (*before_retry)(orvel_dropbox_api_call_t *call, void *arg);
    void *before_retry_arg;
    /* Optional: judges every attempt in place of the usual success rule (a
     * reply below 400 must be 200, or 206 to a call with a range, and carry a
     * JSON body when the call has no sink of its own). Gets the attempt's
     * result (the exchange's failure, the translated error reply, or success
     * for any reply below 400), the response record and the retry decision;
     * returns the attempt's result (a failure replaces or is `result`). */
    orvel_result_t (*judge)(orvel_dropbox_api_call_t *call, orvel_result_t result,
                            const orvel_dsi_rest_response_arg_t *response, bool *retryable, void *arg);
    void *judge_arg;
    /* Filled by the procedure: storage of the desired reply headers
     * ("Retry-After", then "Dropbox-API-Result" and "Content-Range" for
     * downloads) that the caller's response record points at, so their values
     * stay readable after the call until the record is cleared. */
    orvel_dsi_rest_key_value_t desired_storage[3];
};

/*
 * Runs the call: common headers ("Authorization", "Dropbox-API-Path-Root"),
 * the endpoint's own headers, attempts within the budget, the pacing wait
 * before every attempt of a paced endpoint (unpaced endpoints still sleep a
 * requested "Retry-After", capped by orvel_i_dropbox_max_delay), and
 * translation of error replies (error bodies of calls with their own sink are
 * judged as JSON when they parse). Any other reply is a success only as the
 * call's judge, or the usual rule, says (see `judge`); otherwise the call
 * fails with an error that names the status or the missing JSON, never as a
 * success. An attempt whose body took bytes from the host's data channel is
 * never repeated. The arguments are serialised afresh for every attempt.
 * *reply_json (may be null for calls with their own sink) receives the reply
 * JSON of the last attempt or null; the caller releases it. `response` (may be
 * null) receives the last attempt's status and headers; the caller clears it
 * with orvel_dsi_rest_response_arg_clear.
 */
orvel_result_t orvel_dropbox_api_call(orvel_dropbox_handle_t *handle, orvel_dropbox_api_call_t *call,
                                      json_t **reply_json, orvel_dsi_rest_response_arg_t *response);

/* JSON text of `args` as sent in "Dropbox-API-Arg" (JSON_ENSURE_ASCII only),
 * newly allocated, or null. */
char *orvel_dropbox_args_text(json_t *args);

/* What a finished call means beyond its result, called by the request
 * procedure once per call: calls that change the account bump the counter;
 * a "not found" for a file named by id marks its cached records for
 * confirmation; an error reply naming no path is given the call's path. No
 * cached record is released here. */
void orvel_dropbox_call_finished(orvel_dropbox_handle_t *handle, const orvel_dropbox_api_call_t *call,
                                 orvel_result_t *result);

/* ------------------------------------------------ path cache and uploads */

/* Paths are keys as the service compares names: without regard to case. */
orvel_result_t orvel_dropbox_path_cache_init(orvel_hashtable_t *cache);
/* The entered copy carries the next confirmation number and the time of
 * entry; a key spelled differently takes the new spelling. */
orvel_result_t orvel_dropbox_path_cache_update(orvel_hashtable_t *cache, const orvel_dropbox_path_info_t *info,
                                               const char *base_path);
orvel_result_t orvel_dropbox_path_cache_remove(orvel_hashtable_t *cache, const char *path);
/* Removes `path` and every entry below it ("path/..."). For "/" the root's
 * own entry stays (marked not listed): a session always knows its root. */
orvel_result_t orvel_dropbox_path_cache_remove_tree(orvel_hashtable_t *cache, const char *path);
orvel_dropbox_path_info_t *orvel_dropbox_path_cache_query(orvel_hashtable_t *cache, const char *path);
/* After a complete listing of folder `path` begun at confirmation number
 * `since`: removes the children the listing did not enter (they are gone),
 * with everything below them. */
void orvel_dropbox_path_cache_forget_unlisted(orvel_hashtable_t *cache, const char *path, uint64_t since);
/* Marks every record of the object with service id `id` as needing
 * confirmation; none is released. */
void orvel_dropbox_path_cache_unconfirm_id(orvel_hashtable_t *cache, const char *id);
/* Takes a confirmation number: greater than those of every record entered
 * into a path cache so far, smaller than those of every record entered later.
 * And the monotonic clock the entries are timed with. */
uint64_t orvel_dropbox_confirmation_take(void);
int64_t orvel_dropbox_monotonic_ms(void);
/* Whether two paths name the same object as the service compares names. */
bool orvel_dropbox_path_same(const char *a, const char *b);

orvel_result_t orvel_dropbox_upload_state_init(orvel_hashtable_t *cache);
orvel_result_t orvel_dropbox_upload_state_update(orvel_hashtable_t *cache, orvel_dropbox_upload_session_t *upload,
                                                 const char *path);
orvel_result_t orvel_dropbox_upload_state_remove(orvel_hashtable_t *cache, const char *path);
orvel_dropbox_upload_session_t *orvel_dropbox_upload_state_query(orvel_hashtable_t *cache, const char *path);
void orvel_dropbox_upload_session_free(orvel_dropbox_upload_session_t *info);

/* ---------------------------------------------------- listing and resolution */

typedef orvel_result_t (*orvel_dropbox_list_entry_cb_t)(orvel_dropbox_handle_t *handle, const char *base_path,
                                                        const orvel_dropbox_path_info_t *path_info, void *callback_arg);

orvel_result_t orvel_dropbox_get_folder_items(orvel_dropbox_handle_t *handle, const char *path,
                                              orvel_dropbox_list_entry_cb_t callback, void *callback_arg);
orvel_result_t orvel_dropbox_path_resolve(orvel_dropbox_handle_t *handle, const char *path,
                                          orvel_dropbox_path_info_t **entry_out,
                                          orvel_dropbox_path_info_t **parent_out);
orvel_result_t orvel_dropbox_info_to_stat(orvel_dropbox_handle_t *handle, const orvel_dropbox_path_info_t *info,
                                          orvel_gridftp_server_control_stat_t *stat_out);
/* A cached record or listing may decide an answer without asking the
 * service: no sibling session changed the account since it was confirmed and
 * it is younger than orvel_i_dropbox_metadata_max_age_ms. The root always
 * exists. */
bool orvel_dropbox_record_fresh(const orvel_dropbox_handle_t *handle, const orvel_dropbox_path_info_t *info);
bool orvel_dropbox_listing_fresh(const orvel_dropbox_handle_t *handle, const orvel_dropbox_path_info_t *folder);
/* Marks cached folder `path` as listed by a complete listing begun at
 * confirmation number `since` and time `at_ms`. */
void orvel_dropbox_mark_listed(orvel_dropbox_handle_t *handle, const char *path, uint64_t since, int64_t at_ms);
/* Asks the service for `path` (one get_metadata) and brings the cache in
 * line: the record entered afresh, or the path with everything below it
 * removed when the service does not know it. Fails only when the service
 * could not answer; then the cache is left as it was. */
orvel_result_t orvel_dropbox_path_confirm(orvel_dropbox_handle_t *handle, const char *path);
/* Whether a failed call's answer says the named path is not there (not
 * found, or an ancestor is no folder). */
bool orvel_dropbox_says_absent(orvel_result_t result);
/* Whether `result` is the reply error 550 PATH_NOT_FOUND. */
bool orvel_dropbox_is_path_not_found(orvel_result_t result);
/* A lookup that failed without an answer about the path (a broken exchange,
 * the service failing or busy): a transient 451 with the failure as its
 * cause. Specific replies (permission, busy, names) pass unchanged. */
orvel_result_t orvel_dropbox_error_lookup_failed(orvel_result_t result, const char *path);
/* The parent path of an absolute path ("/" for "/a" and for "/"), newly
 * allocated; null when `path` has no "/" (then *result_out is a reply error). */
char *orvel_dropbox_parent_path(const char *path, orvel_result_t *result_out);
/* djb2 over signed bytes, low 32 bits. */
uint32_t orvel_dropbox_djb2(const char *text);

/* --------------------------------------------------------------- stat */

void orvel_i_dropbox_stat_single(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info,
                                 orvel_dropbox_handle_t *handle);
void orvel_i_dropbox_stat_multi(orvel_gfs_operation_t op, orvel_gfs_stat_info_t *stat_info,
                                orvel_dropbox_handle_t *handle);
orvel_result_t orvel_dropbox_stat_entry(orvel_dropbox_handle_t *handle, const char *base_path,
                                        const orvel_dropbox_path_info_t *path_info, void *callback_arg);

/* ------------------------------------------------------------- commands */

void orvel_i_dropbox_mkdir(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
void orvel_i_dropbox_delete(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
orvel_result_t orvel_i_dropbox_delete_object(orvel_dropbox_handle_t *handle, orvel_dropbox_path_info_t *path_info,
                                             orvel_gfs_command_info_t *info);
void orvel_i_dropbox_rename(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
void orvel_i_dropbox_cksm(orvel_gfs_operation_t op, orvel_gfs_command_info_t *cmd_info, void *user_arg);
orvel_result_t orvel_i_dropbox_cksm_cb(void *callback_arg, const void *buffer, size_t buffer_length);

/* -------------------------------------------------------------- uploads */

orvel_result_t orvel_i_dropbox_recv_simple(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                           orvel_dropbox_handle_t *handle, orvel_dropbox_path_info_t *parent,
                                           const char *modtime);
orvel_result_t orvel_i_dropbox_recv_chunked(orvel_gfs_operation_t op, orvel_gfs_transfer_info_t *info,
                                            orvel_dropbox_handle_t *handle, orvel_dropbox_path_info_t *parent,
                                            const char *modtime);
orvel_result_t orvel_dropbox_upload_session_parse(json_t *json, orvel_dropbox_upload_session_t *upload);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_DROPBOX_COMMON_H */
