/*
 * common_blocked_queue: a FIFO queue of untyped pointers for producer and
 * consumer threads.
 *
 * Each queued pointer is wrapped in a node from the queue's own object pool
 * ("queue_node"); the pool takes no lock of its own and is used only under
 * lc_pair.lock.  The queued pointers are never read or freed by the queue; a
 * null pointer can be queued but a pop cannot tell it from an empty queue.
 *
 * The _ex operations never signal the condition themselves: a push reports
 * through *notify whether the queue was empty, and the producer that gets
 * true signals lc_pair.cond (common_blocked_queue_push does).  Pops wait at
 * most once and do not loop.  Any number of threads may share a queue
 * between common_blocked_queue_init_ex and common_blocked_queue_destroy.
 */
#ifndef KITE_COMMON_BLOCKED_QUEUE_H
#define KITE_COMMON_BLOCKED_QUEUE_H

#include <stdbool.h>

#include "common_define.h"
#include "kite_mblock.h"
#include "pthread_func.h"

/* Nodes per pool trunk used by common_blocked_queue_init. */
#define KITE_COMMON_BLOCKED_QUEUE_DEFAULT_ALLOC_ONCE 1024

KT_EXTERN_C_BEGIN

/* The node that carries one queued pointer, from the queue's pool. */
struct common_blocked_node {
    void *data;                       /* the queued pointer */
    struct common_blocked_node *next; /* null at the end of a chain */
};

/* A blocking queue of pointers, owned by the caller. */
struct common_blocked_queue {
    struct common_blocked_node *head; /* null when empty */
    struct common_blocked_node *tail; /* null when empty */
    kite_mblock_man mblock;           /* the nodes' pool, used under lock */
    pthread_lock_cond_pair_t lc_pair; /* consumers wait on cond */
};

/* Sets the queue up empty; the node pool grows by alloc_elements_once nodes
 * at a time (0 or less: the pool's default).  Returns 0, or the error of
 * init_pthread_lock_cond_pair or of the pool's set-up (the lock pair then
 * stays initialised). */
KT_API int common_blocked_queue_init_ex(struct common_blocked_queue *queue,
                                        int alloc_elements_once);

/* common_blocked_queue_init_ex with
 * KITE_COMMON_BLOCKED_QUEUE_DEFAULT_ALLOC_ONCE. */
KT_API int common_blocked_queue_init(struct common_blocked_queue *queue);

/* Releases the lock pair and every node, queued or held by a caller; the
 * queued pointers are not touched.  No thread may use the queue any more. */
KT_API void common_blocked_queue_destroy(struct common_blocked_queue *queue);

/* Appends data.  On 0, *notify is true when the queue was empty before and
 * the caller should signal lc_pair.cond.  Returns ENOMEM when the pool has
 * no node, or the error of pthread_mutex_lock (logged); the queue and
 * *notify are then unchanged. */
KT_API int common_blocked_queue_push_ex(struct common_blocked_queue *queue,
                                        void *data, bool *notify);

/* common_blocked_queue_push_ex that signals lc_pair.cond itself when the
 * queue was empty before.  Same results. */
KT_API int common_blocked_queue_push(struct common_blocked_queue *queue,
                                     void *data);

/* Takes the first pointer.  When the queue is empty and blocked is true it
 * waits once on lc_pair.cond and looks again.  Returns the pointer, or null
 * when nothing was taken (or the lock failed, logged). */
KT_API void *common_blocked_queue_pop_ex(struct common_blocked_queue *queue,
                                         bool blocked);

/* common_blocked_queue_pop_ex with blocked true and false. */
KT_API void *common_blocked_queue_pop(struct common_blocked_queue *queue);
KT_API void *common_blocked_queue_try_pop(struct common_blocked_queue *queue);

/* Takes the first pointer, waiting once when the queue is empty until the
 * deadline of kt_cond_timedwait (time_unit 's', 'm', 'u' or 'n', from the
 * current whole second; another unit is logged and no wait happens).
 * Returns the pointer or null. */
KT_API void *common_blocked_queue_timedpop(struct common_blocked_queue *queue,
                                           int timeout, int time_unit);

/* Takes every queued node (waiting once first when empty and blocked) and
 * returns the first, in push order, the last node's next null; null when
 * nothing was queued or the lock failed (logged).  The nodes belong to the
 * caller until given to common_blocked_queue_return_nodes or
 * common_blocked_queue_free_all_nodes. */
KT_API struct common_blocked_node *common_blocked_queue_pop_all_nodes_ex(
    struct common_blocked_queue *queue, bool blocked);

/* common_blocked_queue_pop_all_nodes_ex with blocked true and false. */
KT_API struct common_blocked_node *common_blocked_queue_pop_all_nodes(
    struct common_blocked_queue *queue);
KT_API struct common_blocked_node *common_blocked_queue_try_pop_all_nodes(
    struct common_blocked_queue *queue);

/* Puts a chain of nodes taken by pop_all_nodes (null: nothing) back in
 * front of the queue.  Wakes nobody.  If the lock fails (logged) the chain
 * stays the caller's. */
KT_API void common_blocked_queue_return_nodes(
    struct common_blocked_queue *queue, struct common_blocked_node *node);

/* Gives every node of a chain taken by pop_all_nodes back to the pool; the
 * pointers in them are not touched.  If the lock fails (logged) the chain
 * stays the caller's. */
KT_API void common_blocked_queue_free_all_nodes(
    struct common_blocked_queue *queue, struct common_blocked_node *node);

KT_EXTERN_C_END

#endif
