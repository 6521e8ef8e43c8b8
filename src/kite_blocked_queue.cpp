// kite_blocked_queue: blocking FIFO of task records linked through `next`.
//
// head..tail is a singly linked list of tasks (both null or both set; the
// tail's next is null, written by its push).  The mutex guards head, tail
// and the links of queued tasks.  Unlike the other queues of the library a
// push wakes a consumer itself, but only on the change from empty to
// non-empty and only after the mutex is released, so the woken thread does
// not block straight away on the lock the producer still holds.  Pops wait
// once and never loop, which keeps shutdown simple (terminate wakes them).
// Push and pop spin briefly on a busy lock before sleeping on it, as the
// lock is only ever held for a few instructions, unless the guard finds
// that the spin does not pay (more threads than CPUs).
#include "kite_blocked_queue.h"

#include "kt_lock_guard.h"
#include "logger.h"
#include "pthread_func.h"

extern "C" {

KT_API int blocked_queue_init(struct kite_blocked_queue *pQueue)
{
    int result = init_pthread_lock(&pQueue->lock);
    if (result != 0) {
        logError("init_pthread_lock fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        return result;
    }
    result = pthread_cond_init(&pQueue->cond, nullptr);
    if (result != 0) {
        logError("pthread_cond_init fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        pthread_mutex_destroy(&pQueue->lock);
        return result;
    }
    pQueue->head = nullptr;
    pQueue->tail = nullptr;
    return 0;
}

KT_API void blocked_queue_destroy(struct kite_blocked_queue *pQueue)
{
    pthread_cond_destroy(&pQueue->cond);
    pthread_mutex_destroy(&pQueue->lock);
}

KT_API int blocked_queue_push(struct kite_blocked_queue *pQueue,
                              struct kite_task_info *pTask)
{
    bool was_empty;
    {
        kite::lock_guard guard(&pQueue->lock, kite::spin_first);
        if (!guard.ok()) {
            return guard.error();
        }
        pTask->next = nullptr;
        was_empty = pQueue->tail == nullptr;
        if (was_empty) {
            pQueue->head = pTask;
        } else {
            pQueue->tail->next = pTask;
        }
        pQueue->tail = pTask;
    }
    if (was_empty) {
        pthread_cond_signal(&pQueue->cond);
    }
    return 0;
}

KT_API struct kite_task_info *blocked_queue_pop(
    struct kite_blocked_queue *pQueue)
{
    kite::lock_guard guard(&pQueue->lock, kite::spin_first);
    if (!guard.ok()) {
        return nullptr;
    }
    if (pQueue->head == nullptr) {
        pthread_cond_wait(&pQueue->cond, &pQueue->lock);
    }
    struct kite_task_info *task = pQueue->head;
    if (task != nullptr) {
        pQueue->head = task->next;
        if (pQueue->head == nullptr) {
            pQueue->tail = nullptr;
        }
    }
    return task;
}

KT_API void blocked_queue_terminate(struct kite_blocked_queue *pQueue)
{
    // Under the lock: a pop that has already found the queue empty is then
    // certainly waiting, so it is woken too.
    kite::lock_guard guard(&pQueue->lock);
    if (guard.ok()) {
        pthread_cond_broadcast(&pQueue->cond);
    }
}

}  // extern "C"
