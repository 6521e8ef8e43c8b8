/*
 * kite_blocked_queue: a FIFO queue of network task records with a mutex and
 * a condition variable.
 *
 * The queue is intrusive on the task's `next` link, which it owns while the
 * task is queued; it reads or writes no other field and never allocates or
 * frees a task.  A push signals the condition itself, once, when the queue
 * goes from empty to non-empty, so while several consumers wait only one is
 * woken per such change.  A pop waits at most once and does not loop: null
 * means nothing was taken, and callers loop.  Any number of threads may push
 * and pop between blocked_queue_init and blocked_queue_destroy.
 */
#ifndef KITE_KITE_BLOCKED_QUEUE_H
#define KITE_KITE_BLOCKED_QUEUE_H

#include <pthread.h>

#include "common_define.h"
#include "kite_task_queue.h"

KT_EXTERN_C_BEGIN

/* A blocking queue of task records, owned by the caller. */
struct kite_blocked_queue {
    struct kite_task_info *head; /* first queued task, null when empty */
    struct kite_task_info *tail; /* last queued task, null when empty */
    pthread_mutex_t lock;        /* guards head, tail and queued links */
    pthread_cond_t cond;         /* a popping thread waits on it */
};

/* Sets the queue up empty.  Returns 0, or the error of init_pthread_lock or
 * pthread_cond_init (logged; the record is then unusable and holds nothing:
 * the mutex is destroyed again when the condition fails). */
KT_API int blocked_queue_init(struct kite_blocked_queue *pQueue);

/* Releases the condition and the mutex; queued tasks are not touched.  No
 * thread may use the queue any more. */
KT_API void blocked_queue_destroy(struct kite_blocked_queue *pQueue);

/* Appends pTask (not null; kept until popped) with its next set to null,
 * and wakes one waiting pop when the queue was empty.  Returns 0, or the
 * error of pthread_mutex_lock (logged; nothing queued). */
KT_API int blocked_queue_push(struct kite_blocked_queue *pQueue,
                              struct kite_task_info *pTask);

/* Takes the first task, waiting once when the queue is empty.  Returns the
 * task (its next still pointing at the task behind it, or null) or null:
 * woken while still empty, or the lock failed (logged). */
KT_API struct kite_task_info *blocked_queue_pop(
    struct kite_blocked_queue *pQueue);

/* Wakes every pop waiting now (each returns what it finds, usually null);
 * for shutting consumers down.  A pop that starts later waits as usual, so
 * callers that stop consumers this way repeat it until all have left. */
KT_API void blocked_queue_terminate(struct kite_blocked_queue *pQueue);

KT_EXTERN_C_END

#endif
