/*
 * I/O event poller: a thin layer over Linux epoll.
 *
 * One IOEventPoller owns one epoll descriptor and the array into which a
 * poll delivers ready events.  Register descriptors with an event mask
 * (EPOLLIN, EPOLLOUT, ...) and an opaque data pointer, poll with the time-out
 * kept in the record, then read the first n records of `events`: the ready
 * mask in events[i].events, the registration's pointer in events[i].data.ptr.
 *
 * Unlike most of the library, attach, modify, detach and poll return the
 * system call's own result: 0 (or a count) on success, -1 with errno set on
 * failure.  ioevent_init returns 0 or a positive errno value.
 *
 * Calling order: ioevent_init first, always.  Then any number of attach,
 * modify, detach and poll calls, then ioevent_destroy.  A zero-filled record
 * is NOT a closed poller: its poll_fd 0 would make ioevent_destroy close
 * standard input.  A record whose init failed, or that was destroyed, is
 * closed (poll_fd -1, events null) and may be destroyed again safely.
 *
 * The caller owns the record.  No locks, no global state: one thread at a
 * time per poller.
 */
#ifndef KITE_IOEVENT_H
#define KITE_IOEVENT_H

#include <stdint.h>
#include <sys/epoll.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* A poller, owned by the caller: open between a successful ioevent_init and
 * ioevent_destroy, closed (poll_fd -1, events null) otherwise. */
typedef struct ioevent_puller {
    int32_t size;         /* capacity of events; most events one poll returns */
    int32_t extra_events; /* OR-ed into every attach/modify mask (EPOLLET...) */
    int32_t poll_fd;      /* the epoll descriptor; -1 when closed */
    struct {
        int32_t index; /* the caller's position among the ready events */
        int32_t count; /* the caller's count of ready events */
    } iterator;        /* a cursor for callers; zeroed by init, unused here */
    struct epoll_event *events; /* size records; null when closed */
    int32_t timeout; /* poll time-out in ms: -1 no limit, 0 return at once */
} IOEventPoller;

/*
 * Opens the epoll descriptor (size is its hint and the event capacity) and
 * allocates the event array; stores timeout_ms and extra_events.  Every
 * field is written, so any record may be passed.  Returns 0; EINVAL when
 * size is 0 or less (from epoll_create); epoll_create's errno (ENOMEM when
 * it is 0); ENOMEM when the array cannot be allocated (logged by the
 * allocator).  After a failure the record is closed: poll_fd -1, events
 * null.
 */
KT_API int ioevent_init(IOEventPoller *ioevent, const int size,
                        const int timeout_ms, const int extra_events);

/* Frees the event array and closes the descriptor (ending every
 * registration); leaves the record closed.  Does nothing on a closed record.
 * Must not be called on a record that ioevent_init never saw. */
KT_API void ioevent_destroy(IOEventPoller *ioevent);

/* Registers fd for mask e | extra_events with data (borrowed, returned in
 * data.ptr of its events).  Returns 0, or -1 with errno (EEXIST when fd is
 * registered already, EBADF, EPERM for a regular file, ...). */
KT_API int ioevent_attach(IOEventPoller *ioevent, const int fd, const int e,
                          void *data);

/* Replaces fd's mask (again OR-ed with extra_events) and data pointer.
 * Returns 0, or -1 with errno (ENOENT when fd is not registered). */
KT_API int ioevent_modify(IOEventPoller *ioevent, const int fd, const int e,
                          void *data);

/* Removes fd's registration.  Returns 0, or -1 with errno (ENOENT when fd
 * is not registered). */
KT_API int ioevent_detach(IOEventPoller *ioevent, const int fd);

/* Waits up to `timeout` ms for readiness.  Returns the number of ready
 * events (at most size, 0 when the time-out passed), which are the first
 * records of `events` until the next poll; or -1 with errno (EINTR when a
 * signal cut the wait short).  Allocates nothing. */
KT_API int ioevent_poll(IOEventPoller *ioevent);

/* Sets the time-out of later polls, in milliseconds. */
static inline void ioevent_set_timeout(IOEventPoller *ioevent,
                                       const int timeout_ms)
{
    ioevent->timeout = timeout_ms;
}

/* Sets the time-out (kept for later polls too), then polls. */
static inline int ioevent_poll_ex(IOEventPoller *ioevent, const int timeout_ms)
{
    ioevent_set_timeout(ioevent, timeout_ms);
    return ioevent_poll(ioevent);
}

KT_EXTERN_C_END

#endif
