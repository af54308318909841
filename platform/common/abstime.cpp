// Absolute times and thread-safe time conversion.
#include "orvel_common.h"

extern "C" {

int orvel_abstime_cmp(const orvel_abstime_t *t1, const orvel_abstime_t *t2)
{
    if (t1 == nullptr || t2 == nullptr) {
        // A missing time counts as earlier than any time.
        return (t1 != nullptr) - (t2 != nullptr);
    }
    if (t1->tv_sec != t2->tv_sec) {
        return t1->tv_sec < t2->tv_sec ? -1 : 1;
    }
    if (t1->tv_nsec != t2->tv_nsec) {
        return t1->tv_nsec < t2->tv_nsec ? -1 : 1;
    }
    return 0;
}

struct tm *orvel_libc_gmtime_r(const time_t *timer, struct tm *result)
{
    if (timer == nullptr || result == nullptr) {
        return nullptr;
    }
    return gmtime_r(timer, result);
}

} // extern "C"
