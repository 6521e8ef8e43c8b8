/*
 * kite_task_queue: the network task record and a small free-list allocator
 * for it.
 *
 * A task describes one unit of network work: the peer's socket and address,
 * an I/O event entry (descriptor, callback and a timing-wheel entry for the
 * time-out of the current step), a send/receive buffer and the caller's
 * argument.  Queues thread tasks through `next`; the blocking task queue
 * reads and writes nothing else.
 *
 * The allocator keeps released tasks on a free list (last in, first out)
 * and hands them out again reset, with their buffer kept.  Its calls may be
 * made from any thread (one mutex); a task belongs to the caller from
 * kite_task_queue_alloc until kite_task_queue_free.  Results are 0 or a
 * positive errno value.
 */
#ifndef KITE_KITE_TASK_QUEUE_H
#define KITE_KITE_TASK_QUEUE_H

#include <pthread.h>
#include <stdint.h>

#include "common_define.h"
#include "kite_timer.h"

KT_EXTERN_C_BEGIN

struct kite_task_info;

/* Called when the task's descriptor is ready (events: the poller's mask). */
typedef void (*kite_task_event_callback)(int fd, int events, void *arg);

/* The I/O event entry of a task. */
typedef struct kite_task_event_entry {
    int32_t fd;                        /* descriptor watched; -1 when none */
    KiteTimerEntry timer;              /* time-out of the current I/O step */
    kite_task_event_callback callback; /* null when none */
} KiteTaskEventEntry;

struct kite_task_queue;

/* A network task: connection, buffer, readiness and time-out of one
 * request, handed between threads through kite_blocked_queue. */
struct kite_task_info {
    struct kite_task_info *next; /* link of the queue holding the task */
    int32_t sock;                /* the connection's socket; -1 when none */
    uint16_t port;               /* peer port, host byte order */
    char client_ip[KT_IP_ADDRESS_SIZE]; /* peer IP text, NUL-terminated */
    KiteTaskEventEntry event;           /* readiness and time-out of the task */
    char *data;                         /* send/receive buffer of size bytes */
    int32_t size;                       /* bytes allocated at data */
    int32_t length;                     /* bytes of the current message */
    int32_t offset; /* bytes of it already sent or received */
    /* The caller's argument: points at arg_size bytes kept with the task
     * (zeroed at each alloc) when the allocator has arg_size > 0, else null
     * for the caller to set. */
    void *arg;
    struct kite_task_queue *owner; /* the allocator the task came from */
};

/* The allocator; fields are read-only to callers. */
struct kite_task_queue {
    struct kite_task_info *free_list; /* released tasks, LIFO */
    pthread_mutex_t lock;             /* guards the list and counters */
    int32_t max_count;                /* most tasks in existence; 0: no limit */
    int32_t min_buff_size; /* buffer bytes of every handed-out task */
    int32_t max_buff_size; /* most buffer bytes a task may grow to */
    int32_t arg_size;      /* bytes of the per-task argument area */
    int32_t total_count;   /* tasks made and not yet released to memory */
    int32_t free_count;    /* tasks on free_list */
};

/* Sets the allocator up; nothing is allocated yet.  max_count 0 means no
 * limit; 0 < min_buff_size <= max_buff_size; arg_size >= 0.  Returns 0,
 * EINVAL for bad sizes, or the mutex's error. */
KT_API int kite_task_queue_init(struct kite_task_queue *queue, int max_count,
                                int min_buff_size, int max_buff_size,
                                int arg_size);

/* Releases the tasks on the free list and the mutex; call it once every
 * task has been freed.  Tasks still handed out are left allocated, and a
 * warning gives their count. */
KT_API void kite_task_queue_destroy(struct kite_task_queue *queue);

/* A reset task (sock and fd -1, counters 0, timer entry in no chain, next
 * null) with a buffer of at least min_buff_size bytes, or null when
 * max_count tasks exist or memory is short (logged). */
KT_API struct kite_task_info *kite_task_queue_alloc(
    struct kite_task_queue *queue);

/* Gives task (not null, from this allocator, in no queue or timer) back.
 * A buffer grown beyond min_buff_size is shrunk back to it. */
KT_API void kite_task_queue_free(struct kite_task_queue *queue,
                                 struct kite_task_info *task);

/* Makes task->data hold at least size bytes, keeping the first length
 * bytes.  Returns 0, ENOSPC when size exceeds the allocator's
 * max_buff_size (nothing changed), or ENOMEM (logged; nothing changed). */
KT_API int kite_task_queue_check_buffer(struct kite_task_info *task, int size);

/* Counters read under the lock: tasks in existence and tasks free (-1
 * when the lock fails). */
KT_API int kite_task_queue_total_count(struct kite_task_queue *queue);
KT_API int kite_task_queue_free_count(struct kite_task_queue *queue);

KT_EXTERN_C_END

#endif
