// kt_queue: intrusive FIFO of caller records.
//
// The queue is a singly linked list threaded through a pointer field inside
// each record, next_ptr_offset bytes from its start.  Invariants: head and
// tail are both null or both set; following next pointers from head reaches
// tail, whose next pointer is null (written by the push that queued it).
// lc_pair.lock guards head, tail and the links of queued records; nothing
// else is shared, so each operation is a handful of pointer writes under the
// lock.  The queue never signals lc_pair.cond on its own: the _ex calls tell
// the producer through *notify that the queue was empty, and the producer
// decides whether to wake someone.  When pthread_mutex_lock fails the
// operation logs a warning and leaves the queue untouched rather than edit
// it without the lock.
#include "kt_queue.h"

#include <pthread.h>

#include <cerrno>

#include "kt_lock_guard.h"
#include "logger.h"

namespace {

void **next_ptr(const struct kt_queue *queue, void *record)
{
    return reinterpret_cast<void **>(static_cast<char *>(record) +
                                     queue->next_ptr_offset);
}

// Unlinks the head record; the lock is held and head is not null.
void *take_head(struct kt_queue *queue)
{
    void *data = queue->head;
    queue->head = *next_ptr(queue, data);
    if (queue->head == nullptr) {
        queue->tail = nullptr;
    }
    return data;
}

void *pop_locked(struct kt_queue *queue, bool blocked, bool take_all)
{
    kite::lock_guard guard(&queue->lc_pair.lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        return nullptr;
    }
    if (queue->head == nullptr && blocked) {
        // One wait only: whoever woke us, we report what is there now.
        pthread_cond_wait(&queue->lc_pair.cond, &queue->lc_pair.lock);
    }
    void *data = nullptr;
    if (queue->head != nullptr) {
        if (take_all) {
            data = queue->head;
            queue->head = queue->tail = nullptr;
        } else {
            data = take_head(queue);
        }
    }
    return data;
}

}  // namespace

extern "C" {

KT_API int kt_queue_init(struct kt_queue *queue, int next_ptr_offset)
{
    // A negative offset would make every push write in front of the record.
    if (next_ptr_offset < 0) {
        logError("invalid next pointer offset: %d", next_ptr_offset);
        return EINVAL;
    }
    int result = init_pthread_lock_cond_pair(&queue->lc_pair);
    if (result != 0) {
        return result;
    }
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->next_ptr_offset = next_ptr_offset;
    return 0;
}

KT_API void kt_queue_destroy(struct kt_queue *queue)
{
    destroy_pthread_lock_cond_pair(&queue->lc_pair);
}

KT_API void kt_queue_push_ex(struct kt_queue *queue, void *data, bool *notify)
{
    kite::lock_guard guard(&queue->lc_pair.lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        *notify = false;
        return;
    }
    *next_ptr(queue, data) = nullptr;
    if (queue->tail != nullptr) {
        *next_ptr(queue, queue->tail) = data;
        *notify = false;
    } else {
        queue->head = data;
        *notify = true;
    }
    queue->tail = data;
}

KT_API void kt_queue_push(struct kt_queue *queue, void *data)
{
    bool notify;
    kt_queue_push_ex(queue, data, &notify);
    if (notify) {
        pthread_cond_signal(&queue->lc_pair.cond);
    }
}

KT_API void *kt_queue_pop_ex(struct kt_queue *queue, bool blocked)
{
    return pop_locked(queue, blocked, false);
}

KT_API void *kt_queue_pop(struct kt_queue *queue)
{
    return pop_locked(queue, true, false);
}

KT_API void *kt_queue_try_pop(struct kt_queue *queue)
{
    return pop_locked(queue, false, false);
}

KT_API void *kt_queue_pop_all_ex(struct kt_queue *queue, bool blocked)
{
    return pop_locked(queue, blocked, true);
}

KT_API void *kt_queue_pop_all(struct kt_queue *queue)
{
    return pop_locked(queue, true, true);
}

KT_API void *kt_queue_try_pop_all(struct kt_queue *queue)
{
    return pop_locked(queue, false, true);
}

KT_API void kt_queue_push_queue_to_head_ex(struct kt_queue *queue,
                                           struct kt_queue_info *qinfo,
                                           bool *notify)
{
    *notify = false;
    if (qinfo->head == nullptr) {
        return;
    }
    kite::lock_guard guard(&queue->lc_pair.lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        return;
    }
    *next_ptr(queue, qinfo->tail) = queue->head;
    queue->head = qinfo->head;
    if (queue->tail == nullptr) {
        queue->tail = qinfo->tail;
        *notify = true;
    }
}

KT_API void kt_queue_push_queue_to_head(struct kt_queue *queue,
                                        struct kt_queue_info *qinfo)
{
    bool notify;
    kt_queue_push_queue_to_head_ex(queue, qinfo, &notify);
    if (notify) {
        pthread_cond_signal(&queue->lc_pair.cond);
    }
}

KT_API void kt_queue_pop_to_queue(struct kt_queue *queue,
                                  struct kt_queue_info *qinfo)
{
    qinfo->head = qinfo->tail = nullptr;
    kite::lock_guard guard(&queue->lc_pair.lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        return;
    }
    if (queue->head != nullptr) {
        qinfo->head = queue->head;
        qinfo->tail = queue->tail;
        queue->head = queue->tail = nullptr;
    }
}

KT_API void *kt_queue_timedpop(struct kt_queue *queue, int timeout,
                               int time_unit)
{
    kite::lock_guard guard(&queue->lc_pair.lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        return nullptr;
    }
    if (queue->head == nullptr) {
        // The wait's result does not matter: we look at head either way.
        kt_cond_timedwait(&queue->lc_pair, timeout,
                          static_cast<char>(time_unit));
    }
    void *data = queue->head != nullptr ? take_head(queue) : nullptr;
    return data;
}

KT_API bool kt_queue_empty(struct kt_queue *queue)
{
    kite::lock_guard guard(&queue->lc_pair.lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        return true;
    }
    bool empty = queue->head == nullptr;
    return empty;
}

}  // extern "C"
