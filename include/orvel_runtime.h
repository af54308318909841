/*
 * orvel_runtime: the part of the common runtime that the interface headers
 * stand on: results, modules and the extension registry, the debug-log
 * handle, typed objects and error objects with cause chains, and the plain
 * types the interfaces name (hash table handles, absolute times).
 *
 * The runtime library orvel_common implements every call; its full header,
 * orvel_common.h, adds the operations on hash tables, mutexes, condition
 * variables, thread ids and times. Everything here is thread-safe unless a
 * comment says otherwise.
 */
#ifndef ORVEL_RUNTIME_H
#define ORVEL_RUNTIME_H

#include <stdarg.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ results */

/* Result of every fallible operation: 0 is success, any other value names an
 * error object held by the runtime (see orvel_error_put). */
typedef uint64_t orvel_result_t;
#define ORVEL_SUCCESS ((orvel_result_t)0)
/* A failure that names no error object; orvel_error_peek gives null for it. */
#define ORVEL_FAILURE ((orvel_result_t)-1)

/* ------------------------------------------------------------------ modules */

typedef int (*orvel_module_activation_func_t)(void);
typedef int (*orvel_module_deactivation_func_t)(void);
typedef void (*orvel_module_atexit_func_t)(void);
typedef void *(*orvel_module_get_pointer_func_t)(void);
typedef char *(*orvel_module_friendly_error_func_t)(void *error, const char *message);

typedef struct orvel_version_s {
    int major;               /* major version number */
    int minor;               /* minor version number */
    unsigned long timestamp; /* build time stamp, 0 when unknown */
    int branch_id;           /* development branch, 0 for the main line */
} orvel_version_t;

typedef struct orvel_module_descriptor_s {
    const char *module_name;                                /* unique module name */
    orvel_module_activation_func_t activation_func;         /* called on first activation */
    orvel_module_deactivation_func_t deactivation_func;     /* called on last deactivation */
    orvel_module_atexit_func_t atexit_func;                 /* optional, may be null */
    orvel_module_get_pointer_func_t get_pointer_func;       /* optional, may be null */
    orvel_version_t version;                                /* module version */
    orvel_module_friendly_error_func_t friendly_error_func; /* optional, may be null */
} orvel_module_descriptor_t;

/* Activations are counted per descriptor: the activation function runs on the
 * first activation only, the deactivation function when the count drops back
 * to 0. Returns the activation function's result (0 = success); a failed first
 * activation leaves the module inactive. */
int orvel_module_activate(orvel_module_descriptor_t *module);
/* Returns the deactivation function's result, or 0 when the module stays
 * active; deactivating an inactive module returns -1. */
int orvel_module_deactivate(orvel_module_descriptor_t *module);

/* The runtime's own module: activate it before using error objects. */
extern orvel_module_descriptor_t orvel_i_common_module;

/* ------------------------------------------------------- extension registry */

/* A named registry of extensions (storage interfaces, for example). Zero-
 * initialise a static instance; it needs no other set-up. */
typedef struct orvel_extension_registry_s {
    void *entries; /* owned by the runtime */
} orvel_extension_registry_t;

/* Enters `data` under `name`. Fails (non-zero) when the name is present or
 * memory runs out. The registry copies the name, not the data. */
int orvel_extension_registry_add(orvel_extension_registry_t *registry, const char *name,
                                 orvel_module_descriptor_t *module, void *data);
/* Removes the entry and returns its data, or null when absent. */
void *orvel_extension_registry_remove(orvel_extension_registry_t *registry, const char *name);
/* Returns the data under `name`, or null. */
void *orvel_extension_lookup(orvel_extension_registry_t *registry, const char *name);
/* Returns the module entered with `name`, or null. */
orvel_module_descriptor_t *orvel_extension_get_module(orvel_extension_registry_t *registry, const char *name);

/* --------------------------------------------------------------- debug log */

typedef struct orvel_debug_handle_s {
    uint32_t levels;           /* bit set of enabled levels; 0 = no output */
    uint32_t timestamp_levels; /* levels whose line prefix carries a timestamp */
    FILE *file;                /* where lines go; null = no output */
    bool thread_ids;           /* every written piece is preceded by the thread id */
    bool using_file;           /* the stream was opened for this module; close it at the end */
} orvel_debug_handle_t;

/*
 * Fills `handle` from the environment variable `env_name`. `level_names` lists
 * the level names in bit order separated by spaces ("TRACE DEBUG INFO" makes
 * TRACE = 1, DEBUG = 2, INFO = 4).
 *
 * Value syntax:  LEVELS[,FILE[,TIMESTAMP_LEVELS[,OPTIONS]]]
 *   LEVELS, TIMESTAMP_LEVELS: a decimal number (bit set), or level names joined
 *       by '|' (case-insensitive), or "ALL".
 *   FILE: empty or "-" for standard error; "#path" appends to path; any other
 *       text truncates and writes path.
 *   OPTIONS: "threads" puts the thread id before every written piece.
 * Unset or empty variable: levels 0, file null. A file that cannot be opened
 * falls back to standard error.
 */
void orvel_debug_init(const char *env_name, const char *level_names, orvel_debug_handle_t *handle);

/* ------------------------------------------------------------------ objects */

typedef struct orvel_object_s orvel_object_t;

/* Copies instance data: *dst receives a new copy of src (null on failure). */
typedef void (*orvel_object_copy_func_t)(void *src, void **dst);
/* Releases instance data. */
typedef void (*orvel_object_destructor_func_t)(void *data);

typedef struct orvel_object_type_s {
    const struct orvel_object_type_s *parent_type; /* null for a root type */
    orvel_object_copy_func_t copy_func;            /* copies this level's instance data */
    orvel_object_destructor_func_t destructor;     /* frees this level's instance data */
    const void *class_data;                        /* per-type data; for error types the
                                                      orvel_error_printable_func_t */
} orvel_object_type_t;

/* A new object of `type` with null instance data at every level, or null. */
orvel_object_t *orvel_object_construct(const orvel_object_type_t *type);
/* The object viewed as `type` (itself or an ancestor type), or null. Any type
 * of the object's chain may be given, whichever view `object` is. */
orvel_object_t *orvel_object_upcast(orvel_object_t *object, const orvel_object_type_t *type);
/* Frees the object: every level's destructor runs on its instance data. For an
 * error object the cause chain is freed too. Null is ignored. */
void orvel_object_free(orvel_object_t *object);
/* Instance data of the level of the type through which `object` was upcast
 * (the most derived type for an object fresh from construct). */
void *orvel_object_get_local_instance_data(orvel_object_t *object);
void orvel_object_set_local_instance_data(orvel_object_t *object, void *data);
/* The most derived type of the object. */
const orvel_object_type_t *orvel_object_get_type(orvel_object_t *object);
bool orvel_object_type_match(const orvel_object_type_t *type, const orvel_object_type_t *ancestor);

/* ----------------------------------------------------------- error objects */

/* Renders one error (not its chain) as a newly allocated text, or null. It is
 * called with the error viewed as the type whose class_data it is, so that
 * orvel_object_get_local_instance_data gives that type's instance data. */
typedef char *(*orvel_error_printable_func_t)(orvel_object_t *error);

/* Base of every error type. Its instance data (source module, cause, type
 * code) is managed by the runtime. */
extern const orvel_object_type_t ORVEL_ERROR_TYPE_BASE_DEFINITION;
/* Generic error: a type code, a source location and a message. */
extern const orvel_object_type_t ORVEL_ERROR_TYPE_GENERIC_DEFINITION;
#define ORVEL_ERROR_TYPE_BASE (&ORVEL_ERROR_TYPE_BASE_DEFINITION)
#define ORVEL_ERROR_TYPE_GENERIC (&ORVEL_ERROR_TYPE_GENERIC_DEFINITION)

/* Type code of the host's generic errors. */
#define ORVEL_GFS_ERROR_GENERIC 6

/* Initialises the base level of an error object made with orvel_object_construct
 * for an error type: records source and cause (the error takes ownership of the
 * cause chain). Returns the error, or null when it is not an error object or
 * memory runs out; the cause then stays the caller's. */
orvel_object_t *orvel_error_initialize_base(orvel_object_t *error, orvel_module_descriptor_t *source,
                                            orvel_object_t *cause);

/* A generic error carrying a type code, the source location and a formatted
 * message; takes ownership of `cause`. Null when memory runs out. */
orvel_object_t *orvel_error_construct_error(orvel_module_descriptor_t *source, orvel_object_t *cause, int type,
                                            const char *source_file, const char *source_func, int source_line,
                                            const char *format, ...) __attribute__((format(printf, 7, 8)));
orvel_object_t *orvel_error_v_construct_error(orvel_module_descriptor_t *source, orvel_object_t *cause, int type,
                                              const char *source_file, const char *source_func, int source_line,
                                              const char *format, va_list ap);

/* Convenience for generic errors raised at the caller's location. */
#define ORVEL_ERROR_GENERIC(fmt, ...) \
    orvel_error_construct_error(NULL, NULL, ORVEL_GFS_ERROR_GENERIC, __FILE__, __func__, __LINE__, fmt, __VA_ARGS__)

/* Hands the error to the runtime and returns the result that names it. A null
 * error gives ORVEL_FAILURE. */
orvel_result_t orvel_error_put(orvel_object_t *error);
/* The error named by `result` without consuming it (null for success, for
 * ORVEL_FAILURE and for unknown results). */
orvel_object_t *orvel_error_peek(orvel_result_t result);
/* Takes the error named by `result` out of the runtime: the caller owns and
 * frees it. Null for success, ORVEL_FAILURE and unknown results. */
orvel_object_t *orvel_error_get(orvel_result_t result);
/* Frees the error named by `result`, if any: for results a caller decides to
 * ignore, so that they do not accumulate in a long-lived process. */
void orvel_error_discard(orvel_result_t result);
/* Number of errors currently held (for leak checks in tests). */
size_t orvel_error_held_count(void);

orvel_object_t *orvel_error_get_cause(orvel_object_t *error);
/* Replaces the cause (the old cause chain is freed). */
void orvel_error_set_cause(orvel_object_t *error, orvel_object_t *cause);
orvel_module_descriptor_t *orvel_error_get_source(orvel_object_t *error);
/* Type code of a generic error (0 for other errors). */
int orvel_error_get_type(orvel_object_t *error);
/* Message of a generic error, owned by the error, or null. */
const char *orvel_error_get_message(orvel_object_t *error);
/* Text of one error: its type's printable function, or a generic rendering. */
char *orvel_error_print_one(orvel_object_t *error);
/* Text of the whole chain, one error after the other separated by "\n",
 * newly allocated; never null for a non-null error unless memory runs out. */
char *orvel_error_print_chain(orvel_object_t *error);

/* ------------------------------------------------------------ plain types */

/* A string-keyed hash table; its operations are in orvel_common.h. */
typedef struct orvel_hashtable_s *orvel_hashtable_t;

/* An absolute time; compared with orvel_abstime_cmp (orvel_common.h). */
typedef struct orvel_abstime_s {
    int64_t tv_sec;  /* seconds since the epoch */
    int64_t tv_nsec; /* nanoseconds, 0 to 999999999 */
} orvel_abstime_t;

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_RUNTIME_H */
