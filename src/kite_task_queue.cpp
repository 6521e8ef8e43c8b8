// kite_task_queue: network task records and their free-list allocator.
//
// Each task is one allocation: the record followed by its argument area
// (arg_size bytes, 16-byte aligned); the buffer is a second allocation that
// stays with the task across reuse, so a server in steady state allocates
// nothing per request.  Released tasks go on a LIFO free list (the most
// recently used record is the one most likely still in cache).  One mutex
// guards the list and the counters; everything else in a task is the
// holder's.  total_count counts every task made and not yet given back to
// memory, so total_count - free_count tasks are out with callers.
#include "kite_task_queue.h"

#include <cerrno>
#include <cstring>

#include "kt_lock_guard.h"
#include "kt_memory.h"
#include "logger.h"
#include "pthread_func.h"

namespace {

constexpr size_t kArgAlign = 16;

size_t record_bytes(int arg_size)
{
    size_t head =
        (sizeof(struct kite_task_info) + kArgAlign - 1) / kArgAlign * kArgAlign;
    return head + static_cast<size_t>(arg_size);
}

void *arg_area(struct kite_task_info *task)
{
    return reinterpret_cast<char *>(task) + record_bytes(0);
}

// Puts every field but the buffer back to its initial state.
void reset_task(struct kite_task_queue *queue, struct kite_task_info *task)
{
    char *data = task->data;
    int32_t size = task->size;
    memset(task, 0, sizeof(*task));
    task->data = data;
    task->size = size;
    task->sock = -1;
    task->event.fd = -1;
    task->owner = queue;
    if (queue->arg_size > 0) {
        task->arg = arg_area(task);
        memset(task->arg, 0, queue->arg_size);
    }
}

// Allocates a fresh task with its buffer, outside the lock.
struct kite_task_info *make_task(struct kite_task_queue *queue)
{
    auto *task = static_cast<struct kite_task_info *>(
        kt_malloc(record_bytes(queue->arg_size)));
    if (task == nullptr) {
        return nullptr;
    }
    task->data = static_cast<char *>(kt_malloc(queue->min_buff_size));
    if (task->data == nullptr) {
        kt_free(task);
        return nullptr;
    }
    task->size = queue->min_buff_size;
    return task;
}

void free_task_memory(struct kite_task_info *task)
{
    kt_free(task->data);
    kt_free(task);
}

// Takes a task from the free list, or reserves a place for a new one.
// Returns the task, or null with *reserved telling whether a new one may be
// made (the counter already counts it).
struct kite_task_info *take_or_reserve(struct kite_task_queue *queue,
                                       bool *reserved)
{
    *reserved = false;
    struct kite_task_info *task = queue->free_list;
    if (task != nullptr) {
        queue->free_list = task->next;
        queue->free_count--;
    } else if (queue->max_count <= 0 || queue->total_count < queue->max_count) {
        queue->total_count++;
        *reserved = true;
    }
    return task;
}

}  // namespace

extern "C" {

KT_API int kite_task_queue_init(struct kite_task_queue *queue, int max_count,
                                int min_buff_size, int max_buff_size,
                                int arg_size)
{
    if (min_buff_size <= 0 || max_buff_size < min_buff_size || arg_size < 0 ||
        max_count < 0) {
        logError("invalid task queue sizes, max_count: %d, min_buff_size: %d, "
                 "max_buff_size: %d, arg_size: %d",
                 max_count, min_buff_size, max_buff_size, arg_size);
        return EINVAL;
    }
    int result = init_pthread_lock(&queue->lock);
    if (result != 0) {
        return result;
    }
    queue->free_list = nullptr;
    queue->max_count = max_count;
    queue->min_buff_size = min_buff_size;
    queue->max_buff_size = max_buff_size;
    queue->arg_size = arg_size;
    queue->total_count = 0;
    queue->free_count = 0;
    return 0;
}

KT_API void kite_task_queue_destroy(struct kite_task_queue *queue)
{
    struct kite_task_info *task = queue->free_list;
    while (task != nullptr) {
        struct kite_task_info *next = task->next;
        free_task_memory(task);
        task = next;
    }
    int out = queue->total_count - queue->free_count;
    if (out > 0) {
        logWarning("task queue destroyed with %d tasks still in use", out);
    }
    pthread_mutex_destroy(&queue->lock);
    queue->free_list = nullptr;
    queue->total_count = queue->free_count = 0;
}

KT_API struct kite_task_info *kite_task_queue_alloc(
    struct kite_task_queue *queue)
{
    bool reserved;
    struct kite_task_info *task;
    {
        kite::lock_guard guard(&queue->lock);
        if (!guard.ok()) {
            return nullptr;
        }
        task = take_or_reserve(queue, &reserved);
    }
    if (task == nullptr && reserved) {
        task = make_task(queue);
        if (task == nullptr) {
            kite::lock_guard guard(&queue->lock);
            if (guard.ok()) {  // give the place back
                queue->total_count--;
            }
            return nullptr;
        }
    } else if (task == nullptr) {
        logError("task queue is full, max_count: %d", queue->max_count);
        return nullptr;
    }
    reset_task(queue, task);
    return task;
}

KT_API void kite_task_queue_free(struct kite_task_queue *queue,
                                 struct kite_task_info *task)
{
    if (task->size > queue->min_buff_size) {
        // Shrink outside the lock; a failed shrink keeps the big buffer.
        char *data = static_cast<char *>(kt_malloc(queue->min_buff_size));
        if (data != nullptr) {
            kt_free(task->data);
            task->data = data;
            task->size = queue->min_buff_size;
        }
    }
    kite::lock_guard guard(&queue->lock);
    if (!guard.ok()) {
        return;  // the task stays the caller's
    }
    task->next = queue->free_list;
    queue->free_list = task;
    queue->free_count++;
}

KT_API int kite_task_queue_check_buffer(struct kite_task_info *task, int size)
{
    if (size <= task->size) {
        return 0;
    }
    if (task->owner != nullptr && size > task->owner->max_buff_size) {
        return ENOSPC;
    }
    auto *data = static_cast<char *>(kt_realloc(task->data, size));
    if (data == nullptr) {
        return ENOMEM;
    }
    task->data = data;
    task->size = size;
    return 0;
}

KT_API int kite_task_queue_total_count(struct kite_task_queue *queue)
{
    kite::lock_guard guard(&queue->lock);
    return guard.ok() ? queue->total_count : -1;
}

KT_API int kite_task_queue_free_count(struct kite_task_queue *queue)
{
    kite::lock_guard guard(&queue->lock);
    return guard.ok() ? queue->free_count : -1;
}

}  // extern "C"
