// Mutexes, condition variables and thread ids: thin wrappers over POSIX
// threads. Attributes are not supported; every object gets the defaults.
#include "orvel_common.h"

extern "C" {

int orvel_mutex_init(orvel_mutex_t *mutex, void * /*attr*/)
{
    return pthread_mutex_init(mutex, nullptr);
}

int orvel_mutex_destroy(orvel_mutex_t *mutex)
{
    return pthread_mutex_destroy(mutex);
}

int orvel_mutex_lock(orvel_mutex_t *mutex)
{
    return pthread_mutex_lock(mutex);
}

int orvel_mutex_unlock(orvel_mutex_t *mutex)
{
    return pthread_mutex_unlock(mutex);
}

int orvel_cond_init(orvel_cond_t *cond, void * /*attr*/)
{
    return pthread_cond_init(cond, nullptr);
}

int orvel_cond_destroy(orvel_cond_t *cond)
{
    return pthread_cond_destroy(cond);
}

int orvel_cond_wait(orvel_cond_t *cond, orvel_mutex_t *mutex)
{
    return pthread_cond_wait(cond, mutex);
}

int orvel_cond_signal(orvel_cond_t *cond)
{
    return pthread_cond_signal(cond);
}

int orvel_cond_broadcast(orvel_cond_t *cond)
{
    return pthread_cond_broadcast(cond);
}

orvel_thread_t orvel_thread_self(void)
{
    return pthread_self();
}

} // extern "C"
