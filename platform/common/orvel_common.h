/*
 * orvel_common: the common runtime shared by the host server, the REST client
 * library and storage plug-ins.
 *
 * orvel_runtime.h declares what the interface headers need (results, modules,
 * the extension registry, debug-log initialisation, typed objects and error
 * objects with cause chains); this header adds string-keyed hash tables,
 * mutexes and condition variables, absolute times and thread ids.
 *
 * Everything here is thread-safe unless a comment says otherwise.
 */
#ifndef ORVEL_COMMON_H
#define ORVEL_COMMON_H

#include "orvel_runtime.h"

#include <pthread.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------- hash tables */

typedef int (*orvel_hashtable_hash_func_t)(void *key, int limit);
typedef int (*orvel_hashtable_keyeq_func_t)(void *key1, void *key2);
typedef void (*orvel_hashtable_destructor_func_t)(void *datum);
/* Predicate for orvel_hashtable_remove_if: non-zero removes the entry. */
typedef int (*orvel_hashtable_predicate_func_t)(void *key, void *datum, void *arg);

/* Creates a table of `size` buckets. The table never copies keys: a key must
 * stay valid while its entry is stored. Returns 0, or non-zero when memory
 * runs out (then *table is null). */
int orvel_hashtable_init(orvel_hashtable_t *table, int size, orvel_hashtable_hash_func_t hash_func,
                         orvel_hashtable_keyeq_func_t keyeq_func);
/* Inserts; fails (non-zero) when the key is present (the table is unchanged)
 * or memory runs out. */
int orvel_hashtable_insert(orvel_hashtable_t *table, void *key, void *datum);
void *orvel_hashtable_lookup(orvel_hashtable_t *table, void *key);
/* Removes the entry and returns its datum (not destroyed), or null. */
void *orvel_hashtable_remove(orvel_hashtable_t *table, void *key);
/* Removes every entry for which `predicate` is non-zero and destroys its
 * datum with `destructor` (when given). Returns the number removed. */
int orvel_hashtable_remove_if(orvel_hashtable_t *table, orvel_hashtable_predicate_func_t predicate, void *arg,
                              orvel_hashtable_destructor_func_t destructor);
int orvel_hashtable_size(orvel_hashtable_t *table);
/* Destroys every datum with `destructor` (when given) and the table; *table
 * becomes null. A null table is ignored. */
void orvel_hashtable_destroy_all(orvel_hashtable_t *table, orvel_hashtable_destructor_func_t destructor);
int orvel_hashtable_string_hash(void *string, int limit);
int orvel_hashtable_string_keyeq(void *string1, void *string2);

/* -------------------------------------------------------------- threading */

typedef pthread_mutex_t orvel_mutex_t;
typedef pthread_cond_t orvel_cond_t;
typedef pthread_t orvel_thread_t;

int orvel_mutex_init(orvel_mutex_t *mutex, void *attr);
int orvel_mutex_destroy(orvel_mutex_t *mutex);
int orvel_mutex_lock(orvel_mutex_t *mutex);
int orvel_mutex_unlock(orvel_mutex_t *mutex);
int orvel_cond_init(orvel_cond_t *cond, void *attr);
int orvel_cond_destroy(orvel_cond_t *cond);
int orvel_cond_wait(orvel_cond_t *cond, orvel_mutex_t *mutex);
int orvel_cond_signal(orvel_cond_t *cond);
int orvel_cond_broadcast(orvel_cond_t *cond);
orvel_thread_t orvel_thread_self(void);

/* -------------------------------------------------------------------- time */

/* Negative, zero or positive as t1 is before, equal to or after t2. */
int orvel_abstime_cmp(const orvel_abstime_t *t1, const orvel_abstime_t *t2);
/* Thread-safe UTC conversion (gmtime_r). */
struct tm *orvel_libc_gmtime_r(const time_t *timer, struct tm *result);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_COMMON_H */
