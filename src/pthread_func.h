/*
 * Lock, condition and thread helpers shared by the concurrent modules.
 *
 * Results are 0 or the system's error number, passed on unchanged.
 */
#ifndef KITE_PTHREAD_FUNC_H
#define KITE_PTHREAD_FUNC_H

#include <pthread.h>
#include <time.h>

#include "common_define.h"
#include "logger.h"

KT_EXTERN_C_BEGIN

/* A mutex with the condition variable that is waited on under it. */
typedef struct {
    pthread_mutex_t lock; /* guards the state the condition is about */
    pthread_cond_t cond;  /* waited on with lock held */
} pthread_lock_cond_pair_t;

/* Initialises a mutex with default (non-recursive) attributes; errors are
 * logged. */
KT_API int init_pthread_lock(pthread_mutex_t *lock);

/* Initialises lcp->lock and lcp->cond; on a failure of the condition the
 * mutex is destroyed again.  Errors are logged. */
KT_API int init_pthread_lock_cond_pair(pthread_lock_cond_pair_t *lcp);

/* Destroys both members. */
KT_API void destroy_pthread_lock_cond_pair(pthread_lock_cond_pair_t *lcp);

/* Starts start_func(args) on a new detached thread with the given stack size
 * in bytes (0 or less: the system default; values below PTHREAD_STACK_MIN
 * are raised to it) and stores its id in *tid.  The thread is never to be
 * joined.  Errors are logged. */
KT_API int kt_create_thread(pthread_t *tid, void *(*start_func)(void *),
                            void *args, const int stack_size);

/* Fills *ts with the absolute deadline base + timeout, the base being
 * g_current_time while the clock thread runs, else time(NULL) (whole
 * seconds: the deadline may be up to a second early).  time_unit is 's',
 * 'm', 'u' or 'n'; any other unit logs "invalid time unit: %d" and returns
 * EINVAL leaving *ts untouched. */
KT_API int kt_timeout_to_timespec(const int timeout, const char time_unit,
                                  struct timespec *ts);

/* With lcp->lock held, waits once on lcp->cond until the deadline of
 * kt_timeout_to_timespec.  Returns 0, the wait's error (ETIMEDOUT), or the
 * deadline's failure without waiting. */
KT_API int kt_cond_timedwait(pthread_lock_cond_pair_t *lcp, const int timeout,
                             const char time_unit);

/* pthread_mutex_lock/unlock that log a failure at level with the caller's
 * file and line: "call pthread_mutex_lock fail, errno: %d, error info: %s"
 * (or ..._unlock).  Return 0 or the error. */
KT_API int kt_mutex_lock_ex(pthread_mutex_t *lock, int level, const char *file,
                            int line);
KT_API int kt_mutex_unlock_ex(pthread_mutex_t *lock, int level,
                              const char *file, int line);

KT_EXTERN_C_END

#endif
