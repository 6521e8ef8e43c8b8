/*
 * thread_pool: at most `limit` worker threads that run one work item (a
 * function and its argument) per kt_thread_pool_run.
 *
 * The pool has a fixed array of slots and a free list (last in, first out)
 * of slots without work.  A slot gets its thread lazily: min_idle_count
 * threads start at set-up, the others the first time work is handed to
 * their slot.  A thread idle for more than max_idle_time seconds retires
 * while more than min_idle_count threads would stay idle; its slot gets a
 * new thread when next used.  Work is handed straight to an idle thread.
 * By default there is no task queue, so a caller waits when every slot is
 * busy; kt_thread_pool_set_backlog adds a bounded queue that takes items
 * while every slot is busy.
 *
 * Each thread may own extra data made by extra_data_callbacks.alloc when it
 * starts and released by .free when it ends; every work item the thread
 * runs receives it.  The pool runs while the caller-owned *pcontinue_flag is
 * true.  To stop the pool, call kt_thread_pool_stop (C callers cannot store
 * to a volatile bool atomically themselves; C++ callers may also store
 * false through std::atomic_ref); then every thread ends within about two
 * seconds, after running all work already accepted, queued items included.
 * Results are 0 or a positive errno value.  kt_thread_pool_run, _wait_done
 * and _stop may be called from any number of threads; init, set_backlog
 * and destroy from one.
 */
#ifndef KITE_THREAD_POOL_H
#define KITE_THREAD_POOL_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"

/* Room for a pool's name with its NUL. */
#define KT_THREAD_POOL_NAME_SIZE 64

KT_EXTERN_C_BEGIN

/* A work item: arg as given to kt_thread_pool_run, thread_data the running
 * thread's extra data (null when none). */
typedef void (*kt_thread_pool_callback)(void *arg, void *thread_data);
/* Makes a thread's extra data when it starts (null: none). */
typedef void *(*kt_alloc_thread_extra_data_callback)(void);
/* Releases what the allocator made, when the thread ends. */
typedef void (*kt_free_thread_extra_data_callback)(void *ptr);

/* How each thread makes and releases its extra data. */
typedef struct kt_thread_extra_data_callbacks {
    kt_alloc_thread_extra_data_callback alloc; /* may be null */
    kt_free_thread_extra_data_callback free;   /* may be null */
} KTThreadExtraDataCallbacks;

struct kt_thread_pool;

/* One slot; read its fields only under its lock. */
typedef struct kt_thread_info {
    volatile int32_t inited; /* true while a thread serves the slot */
    int32_t index;           /* position in the pool's array, from 0 */
    pthread_t tid;           /* the serving thread */
    pthread_mutex_t lock;    /* guards inited, tdata and callback */
    pthread_cond_t cond;     /* the idle thread waits on it */
    void *tdata;             /* the serving thread's extra data, or null */
    struct {
        kt_thread_pool_callback func; /* null when no work is waiting */
        void *arg;
    } callback;                  /* work handed over and not yet taken */
    struct kt_thread_pool *pool; /* the owning pool */
    struct kt_thread_info *next; /* next slot on the free list */
} KTThreadInfo;

/* A thread pool, owned by the caller; set up by kt_thread_pool_init. */
typedef struct kt_thread_pool {
    char name[KT_THREAD_POOL_NAME_SIZE]; /* for log lines, NUL-terminated */
    KTThreadInfo *threads;               /* limit slots, owned by the pool */
    KTThreadInfo *freelist; /* slots without work, LIFO; null: all busy */
    pthread_mutex_t lock;   /* guards freelist and thread_counts.running */
    pthread_cond_t cond;    /* callers of run wait on it for a free slot */
    int32_t stack_size;     /* bytes per thread; 0 or less: default */
    int32_t max_idle_time;  /* seconds; 0 or less: threads never retire */
    int32_t min_idle_count; /* threads started at set-up and kept idle */
    /* Thread counts, read and written atomically. */
    struct {
        int32_t limit;            /* number of slots */
        volatile int32_t running; /* threads started and not yet ended */
        volatile int32_t dealing; /* threads inside a work function */
    } thread_counts;
    volatile bool *pcontinue_flag; /* caller's; the pool runs while true */
    KTThreadExtraDataCallbacks extra_data_callbacks; /* copied at set-up */
} KTThreadPool;

/* Sets the pool up: limit (at least 1) slots, min_idle_count (cut to
 * limit) threads started now, name cut to 63 bytes; extra_data_callbacks
 * may be null and is copied.  pcontinue_flag is kept and must stay alive
 * and true while the pool is to run.  Returns 0; EINVAL (logged, nothing
 * set up or allocated) for limit below 1, a null name or a null
 * pcontinue_flag; a lock or condition error or ENOMEM (logged; nothing left
 * allocated); or the error of starting an
 * initial thread: threads already started then keep running, so set the
 * flag false and call kt_thread_pool_destroy. */
KT_API int kt_thread_pool_init_ex(
    KTThreadPool *pool, const char *name, int limit, int stack_size,
    int max_idle_time, int min_idle_count, volatile bool *pcontinue_flag,
    KTThreadExtraDataCallbacks *extra_data_callbacks);

/* kt_thread_pool_init_ex without extra data. */
KT_API int kt_thread_pool_init(KTThreadPool *pool, const char *name, int limit,
                               int stack_size, int max_idle_time,
                               int min_idle_count,
                               volatile bool *pcontinue_flag);

/* Hands func(arg, thread_data) to a free slot's thread, starting one if the
 * slot has none, or queues it in the backlog while every slot is busy, and
 * returns without waiting for it to run; waits while every slot is busy
 * and the backlog (if any) is full.  Returns 0 (func will run exactly
 * once), EINTR when the continue flag is false or falls while waiting, the
 * error of starting the thread (logged; the slot is free again and func
 * will not run), or the error of pthread_mutex_lock (logged; nothing
 * changed). */
KT_API int kt_thread_pool_run(KTThreadPool *pool, kt_thread_pool_callback func,
                              void *arg);

/* Sets the backlog: up to max_queued items wait in a queue (first in,
 * first out) while every slot is busy, and a thread that finishes an item
 * takes the next queued one before it returns its slot.  kt_thread_pool_run
 * then waits only when every slot is busy and the backlog is full; such a
 * caller is woken when the backlog has drained to half (or a slot is free,
 * or the flag falls).  0 turns the backlog off (the default: every item is
 * handed straight to a thread).  Queued items are accepted work: they run
 * even after the continue flag has fallen, and kt_thread_pool_destroy waits
 * for them like for running items.  The queue's memory is allocated here,
 * so kt_thread_pool_run never allocates.  Returns 0, EINVAL (logged) for a
 * negative size or a pool not set up, ENOMEM (logged), EBUSY (logged) while
 * items are queued, or the lock's error; on failure the backlog is
 * unchanged. */
KT_API int kt_thread_pool_set_backlog(KTThreadPool *pool, int max_queued);

/* Waits until every item accepted so far (kt_thread_pool_run returned 0
 * for it), queued or handed to a thread, has returned from its function.
 * timeout_ms 0 only looks; a negative timeout waits without limit.
 * Returns 0, ETIMEDOUT, or the lock's error (logged).  Items accepted while
 * it waits are waited for too. */
KT_API int kt_thread_pool_wait_done(KTThreadPool *pool, int timeout_ms);

/* Stops a pool that init set up (the flag it was given must still be
 * alive): stores false into *pcontinue_flag atomically and wakes
 * the idle threads and the callers waiting in kt_thread_pool_run, which
 * return EINTR.  Work already accepted still runs.  Then call
 * kt_thread_pool_destroy. */
KT_API void kt_thread_pool_stop(KTThreadPool *pool);

/*
 * Releases the slot array, backlog, locks and conditions once every thread
 * of the pool has ended, leaving null pointers and zero counts.  With the
 * continue flag false it wakes the idle threads and waits up to 5 seconds
 * for all threads to end, which includes running the queued items (a long
 * work function or backlog may take longer).  If
 * some thread has not ended (always so while the flag is still true and
 * threads exist) nothing is released, a warning is logged, and the call may
 * be repeated later.  No kt_thread_pool_run may be in progress.
 */
KT_API void kt_thread_pool_destroy(KTThreadPool *pool);

/* Snapshots of the counters: threads running, threads inside a work
 * function, and slots not inside a work function (limit - dealing). */
KT_API int kt_thread_pool_running_count(KTThreadPool *pool);
KT_API int kt_thread_pool_dealing_count(KTThreadPool *pool);
KT_API int kt_thread_pool_avail_count(KTThreadPool *pool);

KT_EXTERN_C_END

#endif
