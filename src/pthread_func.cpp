// Lock, condition and thread helpers.
//
// Thin wrappers over POSIX threads that log failures in the library's style.
// The time-out arithmetic follows the clock the rest of the library uses:
// whole seconds from g_current_time while the clock thread runs, so a
// deadline may fall up to one second early; callers re-check after waking.
#include "pthread_func.h"

#include <cerrno>
#include <climits>

#include "kt_lock_guard.h"
#include "logger.h"
#include "sched_thread.h"

namespace {

constexpr int kNanosPerSecond = 1000 * 1000 * 1000;

// Splits a time-out into whole seconds and nanoseconds in 32-bit integers;
// false for an unknown unit.
bool split_timeout(int timeout, char time_unit, int *seconds, int *nanos)
{
    switch (time_unit) {
    case 's':
        *seconds = timeout;
        *nanos = 0;
        return true;
    case 'm':
        *seconds = timeout / 1000;
        *nanos = (timeout % 1000) * 1000 * 1000;
        return true;
    case 'u':
        *seconds = timeout / (1000 * 1000);
        *nanos = (timeout % (1000 * 1000)) * 1000;
        return true;
    case 'n':
        *seconds = timeout / kNanosPerSecond;
        *nanos = timeout % kNanosPerSecond;
        return true;
    default: return false;
    }
}

}  // namespace

extern "C" {

KT_API int init_pthread_lock(pthread_mutex_t *lock)
{
    int result = pthread_mutex_init(lock, nullptr);
    if (result != 0) {
        logError("call pthread_mutex_init fail, errno: %d, error info: %s",
                 result, KT_STRERROR(result));
    }
    return result;
}

KT_API int init_pthread_lock_cond_pair(pthread_lock_cond_pair_t *lcp)
{
    int result = init_pthread_lock(&lcp->lock);
    if (result != 0) {
        return result;
    }
    result = pthread_cond_init(&lcp->cond, nullptr);
    if (result != 0) {
        logError("call pthread_cond_init fail, errno: %d, error info: %s",
                 result, KT_STRERROR(result));
        pthread_mutex_destroy(&lcp->lock);
    }
    return result;
}

KT_API void destroy_pthread_lock_cond_pair(pthread_lock_cond_pair_t *lcp)
{
    pthread_cond_destroy(&lcp->cond);
    pthread_mutex_destroy(&lcp->lock);
}

KT_API int kt_create_thread(pthread_t *tid, void *(*start_func)(void *),
                            void *args, const int stack_size)
{
    pthread_attr_t attr;
    int result = pthread_attr_init(&attr);
    if (result != 0) {
        logError("call pthread_attr_init fail, errno: %d, error info: %s",
                 result, KT_STRERROR(result));
        return result;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stack_size > 0) {
        size_t size = stack_size < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN
                                                     : (size_t)stack_size;
        result = pthread_attr_setstacksize(&attr, size);
        if (result != 0) {
            logError("call pthread_attr_setstacksize %d fail, errno: %d, "
                     "error info: %s",
                     stack_size, result, KT_STRERROR(result));
        }
    }
    if (result == 0) {
        result = pthread_create(tid, &attr, start_func, args);
        if (result != 0) {
            logError("create thread fail, errno: %d, error info: %s", result,
                     KT_STRERROR(result));
        }
    }
    pthread_attr_destroy(&attr);
    return result;
}

KT_API int kt_timeout_to_timespec(const int timeout, const char time_unit,
                                  struct timespec *ts)
{
    int seconds;
    int nanos;
    if (!split_timeout(timeout, time_unit, &seconds, &nanos)) {
        // Named after the header that declares the time-out functions.
        kt_log_write(KT_LOG_ERROR, "pthread_func.h", __LINE__,
                     "invalid time unit: %d", time_unit);
        return EINVAL;
    }
    ts->tv_sec = kt_get_current_time() + seconds;
    ts->tv_nsec = nanos;
    if (ts->tv_nsec < 0) {
        // A negative time-out truncates to a negative fraction; borrow a
        // second so the deadline is the same instant in a valid timespec.
        ts->tv_sec -= 1;
        ts->tv_nsec += kNanosPerSecond;
    }
    return 0;
}

KT_API int kt_cond_timedwait(pthread_lock_cond_pair_t *lcp, const int timeout,
                             const char time_unit)
{
    struct timespec ts;
    int result = kt_timeout_to_timespec(timeout, time_unit, &ts);
    if (result != 0) {
        return result;
    }
    return pthread_cond_timedwait(&lcp->cond, &lcp->lock, &ts);
}

KT_API int kt_mutex_lock_ex(pthread_mutex_t *lock, int level, const char *file,
                            int line)
{
    return kite::lock_logged(lock, level, file, line);
}

KT_API int kt_mutex_unlock_ex(pthread_mutex_t *lock, int level,
                              const char *file, int line)
{
    return kite::unlock_logged(lock, level, file, line);
}

}  // extern "C"
