/*
 * kt_queue: an intrusive FIFO queue of caller records guarded by one mutex
 * and one condition variable.
 *
 * Every record carries its own next pointer at the byte offset named at set
 * up, so the queue allocates nothing.  The queue owns no record: a record is
 * the caller's before its push and again after the pop that returns it.
 *
 * The _ex operations never signal the condition themselves: a push reports
 * through *notify whether the queue was empty before, and the producer that
 * gets true signals lc_pair.cond (kt_queue_push and
 * kt_queue_push_queue_to_head do that for you).  Blocking and timed pops wait
 * at most once and do not loop: null means nothing was taken, and callers
 * loop.  Any number of producer and consumer threads may share a queue
 * between kt_queue_init and kt_queue_destroy.
 */
#ifndef KITE_KT_QUEUE_H
#define KITE_KT_QUEUE_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "pthread_func.h"

KT_EXTERN_C_BEGIN

/* An intrusive FIFO of caller records, owned by the caller. */
struct kt_queue {
    void *head;                       /* first queued record, null when empty */
    void *tail;                       /* last queued record, null when empty */
    pthread_lock_cond_pair_t lc_pair; /* lock guards head, tail and links */
    int32_t next_ptr_offset;          /* byte offset of the next pointer */
};

/* A chain detached from a queue, or to be put into one; head is null for an
 * empty chain, and the tail's next pointer is null. */
struct kt_queue_info {
    void *head; /* first record of the chain, null when empty */
    void *tail; /* last record of the chain */
};

/* Sets the queue up empty; each record's next pointer (a void *) lives at
 * next_ptr_offset bytes into the record.  Returns 0, EINVAL for a negative
 * next_ptr_offset (logged; nothing touched) or the error of
 * init_pthread_lock_cond_pair, in which case the queue is unusable. */
KT_API int kt_queue_init(struct kt_queue *queue, int next_ptr_offset);

/* Releases the lock and condition; queued records are not touched.  Call it
 * when no thread uses the queue any more. */
KT_API void kt_queue_destroy(struct kt_queue *queue);

/* Appends data (kept until popped; not null) and clears its next pointer.
 * *notify is always written: true when the queue was empty before, and then
 * the caller should signal lc_pair.cond.  If the lock fails (logged), the
 * queue is unchanged and *notify is false. */
KT_API void kt_queue_push_ex(struct kt_queue *queue, void *data, bool *notify);

/* kt_queue_push_ex that signals lc_pair.cond itself when the queue was
 * empty before. */
KT_API void kt_queue_push(struct kt_queue *queue, void *data);

/* Takes the first record.  When the queue is empty and blocked is true it
 * waits once on lc_pair.cond and looks again.  Returns the record (its next
 * pointer left as it was) or null: empty, woken while still empty, or the
 * lock failed (logged). */
KT_API void *kt_queue_pop_ex(struct kt_queue *queue, bool blocked);

/* kt_queue_pop_ex with blocked true and false. */
KT_API void *kt_queue_pop(struct kt_queue *queue);
KT_API void *kt_queue_try_pop(struct kt_queue *queue);

/* Like kt_queue_pop_ex but takes every queued record: returns the first of
 * the chain (walk it through the next pointers until null; push order) and
 * leaves the queue empty.  Null as for kt_queue_pop_ex. */
KT_API void *kt_queue_pop_all_ex(struct kt_queue *queue, bool blocked);

/* kt_queue_pop_all_ex with blocked true and false. */
KT_API void *kt_queue_pop_all(struct kt_queue *queue);
KT_API void *kt_queue_try_pop_all(struct kt_queue *queue);

/* Puts the chain qinfo (records already linked, tail's next ignored) in
 * front of the queued records.  *notify is always written: true only when
 * the queue was empty before; an empty chain (qinfo->head null) changes
 * nothing, takes no lock and gives false, as does a failed lock (logged). */
KT_API void kt_queue_push_queue_to_head_ex(struct kt_queue *queue,
                                           struct kt_queue_info *qinfo,
                                           bool *notify);

/* kt_queue_push_queue_to_head_ex that signals lc_pair.cond itself when the
 * queue was empty before. */
KT_API void kt_queue_push_queue_to_head(struct kt_queue *queue,
                                        struct kt_queue_info *qinfo);

/* Moves every queued record into *qinfo without waiting; *qinfo is always
 * written, both fields null when the queue was empty or the lock failed. */
KT_API void kt_queue_pop_to_queue(struct kt_queue *queue,
                                  struct kt_queue_info *qinfo);

/* Takes the first record, waiting once when the queue is empty until the
 * deadline of kt_cond_timedwait (time_unit 's', 'm', 'u' or 'n'; the
 * deadline starts from the current whole second, so it may come up to a
 * second early).  Another unit is logged and no wait happens.  Returns the
 * record or null. */
KT_API void *kt_queue_timedpop(struct kt_queue *queue, int timeout,
                               int time_unit);

/* True when nothing is queued (a snapshot taken under the lock; true too
 * when the lock fails). */
KT_API bool kt_queue_empty(struct kt_queue *queue);

KT_EXTERN_C_END

#endif
