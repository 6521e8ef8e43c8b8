// common_blocked_queue: FIFO of untyped pointers wrapped in pooled nodes.
//
// A singly linked list of common_blocked_node from head to tail (both null
// or both set; tail->next null).  Nodes come from an object pool created
// without a lock of its own, so every pool call is made under lc_pair.lock,
// except the final kite_mblock_destroy.  A steady stream of pushes and pops
// therefore reuses the same few nodes and never reaches the allocator.  The
// queue never signals lc_pair.cond by itself: the _ex push reports the
// change from empty and the producer wakes a consumer.  A failed
// pthread_mutex_lock is logged and the operation leaves the queue untouched.
// Push and pop hold the lock for a few dozen instructions, so they spin
// briefly on a busy lock before sleeping on it: with a producer and a
// consumer on two cores, sleeping on every collision made each item cost
// system calls on both sides.  The guard skips the spin where it does not
// pay, with more threads than CPUs.
#include "common_blocked_queue.h"

#include <cerrno>

#include "kt_lock_guard.h"
#include "logger.h"

namespace {

constexpr char kPoolName[] = "queue_node";

// Starts loading, for writing, the two lines a push or pop touches besides
// the lock: the list ends and the pool's free chain and counters.  With a
// producer and a consumer on two cores both lines were last written by the
// other side; fetched one after the other they would cost two transfers in
// a row under the lock, fetched together about one.
inline void fetch_shared_lines(struct common_blocked_queue *queue)
{
    __builtin_prefetch(&queue->head, 1);
    __builtin_prefetch(&queue->mblock.free_chain, 1);
}

// Unlinks the head node, frees it and returns its pointer; lock held, head
// not null.  The pool hands nodes out last freed first, so the chain does
// not run through memory in order once a producer has run ahead; the next
// head is fetched now, while this pop finishes, rather than by the next one.
void *take_head(struct common_blocked_queue *queue)
{
    struct common_blocked_node *node = queue->head;
    queue->head = node->next;
    if (queue->head == nullptr) {
        queue->tail = nullptr;
    } else {
        __builtin_prefetch(queue->head);
    }
    void *data = node->data;
    kite_mblock_free_object(&queue->mblock, node);
    return data;
}

// Shared body of the pops: wait is called with the lock held and an empty
// queue when the pop is to wait.
template <typename WaitFn>
void *pop_with(struct common_blocked_queue *queue, bool blocked, WaitFn wait)
{
    kite::lock_guard guard(&queue->lc_pair.lock, kite::spin_first);
    if (!guard.ok()) {
        return nullptr;
    }
    fetch_shared_lines(queue);
    if (queue->head == nullptr && blocked) {
        wait();
    }
    void *data = queue->head != nullptr ? take_head(queue) : nullptr;
    return data;
}

struct common_blocked_node *last_node(struct common_blocked_node *node)
{
    while (node->next != nullptr) {
        node = node->next;
    }
    return node;
}

}  // namespace

extern "C" {

KT_API int common_blocked_queue_init_ex(struct common_blocked_queue *queue,
                                        int alloc_elements_once)
{
    int result = init_pthread_lock_cond_pair(&queue->lc_pair);
    if (result != 0) {
        return result;
    }
    result = kite_mblock_init_ex2(&queue->mblock, kPoolName,
                                  sizeof(struct common_blocked_node),
                                  alloc_elements_once, 0, nullptr, nullptr,
                                  false, nullptr, nullptr, nullptr);
    if (result != 0) {
        destroy_pthread_lock_cond_pair(&queue->lc_pair);
        return result;
    }
    queue->head = nullptr;
    queue->tail = nullptr;
    return 0;
}

KT_API int common_blocked_queue_init(struct common_blocked_queue *queue)
{
    return common_blocked_queue_init_ex(
        queue, KITE_COMMON_BLOCKED_QUEUE_DEFAULT_ALLOC_ONCE);
}

KT_API void common_blocked_queue_destroy(struct common_blocked_queue *queue)
{
    destroy_pthread_lock_cond_pair(&queue->lc_pair);
    kite_mblock_destroy(&queue->mblock);
    queue->head = queue->tail = nullptr;
}

KT_API int common_blocked_queue_push_ex(struct common_blocked_queue *queue,
                                        void *data, bool *notify)
{
    kite::lock_guard guard(&queue->lc_pair.lock, kite::spin_first);
    if (!guard.ok()) {
        return guard.error();
    }
    fetch_shared_lines(queue);
    auto *node = static_cast<struct common_blocked_node *>(
        kite_mblock_alloc_object(&queue->mblock));
    if (node == nullptr) {
        return ENOMEM;
    }
    node->data = data;
    node->next = nullptr;
    if (queue->tail != nullptr) {
        queue->tail->next = node;
        *notify = false;
    } else {
        queue->head = node;
        *notify = true;
    }
    queue->tail = node;
    return 0;
}

KT_API int common_blocked_queue_push(struct common_blocked_queue *queue,
                                     void *data)
{
    bool notify;
    int result = common_blocked_queue_push_ex(queue, data, &notify);
    if (result == 0 && notify) {
        pthread_cond_signal(&queue->lc_pair.cond);
    }
    return result;
}

KT_API void *common_blocked_queue_pop_ex(struct common_blocked_queue *queue,
                                         bool blocked)
{
    return pop_with(queue, blocked, [queue] {
        pthread_cond_wait(&queue->lc_pair.cond, &queue->lc_pair.lock);
    });
}

KT_API void *common_blocked_queue_pop(struct common_blocked_queue *queue)
{
    return common_blocked_queue_pop_ex(queue, true);
}

KT_API void *common_blocked_queue_try_pop(struct common_blocked_queue *queue)
{
    return common_blocked_queue_pop_ex(queue, false);
}

KT_API void *common_blocked_queue_timedpop(struct common_blocked_queue *queue,
                                           int timeout, int time_unit)
{
    return pop_with(queue, true, [queue, timeout, time_unit] {
        kt_cond_timedwait(&queue->lc_pair, timeout,
                          static_cast<char>(time_unit));
    });
}

KT_API struct common_blocked_node *common_blocked_queue_pop_all_nodes_ex(
    struct common_blocked_queue *queue, bool blocked)
{
    kite::lock_guard guard(&queue->lc_pair.lock);
    if (!guard.ok()) {
        return nullptr;
    }
    if (queue->head == nullptr && blocked) {
        pthread_cond_wait(&queue->lc_pair.cond, &queue->lc_pair.lock);
    }
    struct common_blocked_node *chain = queue->head;
    queue->head = queue->tail = nullptr;
    return chain;
}

KT_API struct common_blocked_node *common_blocked_queue_pop_all_nodes(
    struct common_blocked_queue *queue)
{
    return common_blocked_queue_pop_all_nodes_ex(queue, true);
}

KT_API struct common_blocked_node *common_blocked_queue_try_pop_all_nodes(
    struct common_blocked_queue *queue)
{
    return common_blocked_queue_pop_all_nodes_ex(queue, false);
}

KT_API void common_blocked_queue_return_nodes(
    struct common_blocked_queue *queue, struct common_blocked_node *node)
{
    if (node == nullptr) {
        return;
    }
    // The chain is the caller's, so its end is found before locking.
    struct common_blocked_node *last = last_node(node);
    kite::lock_guard guard(&queue->lc_pair.lock);
    if (!guard.ok()) {
        return;
    }
    last->next = queue->head;
    queue->head = node;
    if (queue->tail == nullptr) {
        queue->tail = last;
    }
}

KT_API void common_blocked_queue_free_all_nodes(
    struct common_blocked_queue *queue, struct common_blocked_node *node)
{
    if (node == nullptr) {
        return;
    }
    kite::lock_guard guard(&queue->lc_pair.lock);
    if (!guard.ok()) {
        return;
    }
    while (node != nullptr) {
        struct common_blocked_node *next = node->next;
        kite_mblock_free_object(&queue->mblock, node);
        node = next;
    }
}

}  // extern "C"
