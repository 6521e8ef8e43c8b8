/*
 * I/O event poller over epoll.
 *
 * The record owns one epoll descriptor and one event array of `size`
 * records, both set up by ioevent_init and released by ioevent_destroy; the
 * array is reused by every poll, so registering and polling allocate
 * nothing.  Invariant: poll_fd < 0 exactly when no descriptor is open, and
 * events is null exactly when no array is allocated; destroy relies on both
 * to be idempotent.  The caller's data pointer always travels in data.ptr.
 * The wrappers add nothing to the system calls' results (-1 with errno), so
 * a caller sees EEXIST, ENOENT or EINTR exactly as epoll reports them.  No
 * locks and no global state.
 *
 * epoll_create (not epoll_create1) keeps its size check: a size of 0 or less
 * is refused with EINVAL before anything is allocated.  The descriptor is
 * marked close-on-exec right after, so a program that forks and execs does
 * not leak its pollers into the child.
 */
#include "ioevent.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kt_memory.h"

namespace {

int epoll_control(IOEventPoller *ioevent, int op, int fd, int e, void *data)
{
    struct epoll_event event;
    event.events = (uint32_t)(e | ioevent->extra_events);
    event.data.ptr = data;
    return epoll_ctl(ioevent->poll_fd, op, fd, &event);
}

}  // namespace

extern "C" {

KT_API int ioevent_init(IOEventPoller *ioevent, const int size,
                        const int timeout_ms, const int extra_events)
{
    ioevent->size = size;
    ioevent->extra_events = extra_events;
    ioevent->iterator.index = 0;
    ioevent->iterator.count = 0;
    ioevent->events = nullptr;
    ioevent->poll_fd = epoll_create(size);
    if (ioevent->poll_fd < 0) {
        int error = errno != 0 ? errno : ENOMEM;
        ioevent->poll_fd = -1;
        return error;
    }
    (void)fcntl(ioevent->poll_fd, F_SETFD, FD_CLOEXEC);
    ioevent->events = static_cast<struct epoll_event *>(kt_malloc_ex(
        "ioevent.c", __LINE__, sizeof(struct epoll_event) * (size_t)size));
    if (ioevent->events == nullptr) {
        close(ioevent->poll_fd);
        ioevent->poll_fd = -1;
        return ENOMEM;
    }
    ioevent_set_timeout(ioevent, timeout_ms);
    return 0;
}

KT_API void ioevent_destroy(IOEventPoller *ioevent)
{
    if (ioevent->events != nullptr) {
        kt_free(ioevent->events);
        ioevent->events = nullptr;
    }
    if (ioevent->poll_fd >= 0) {
        close(ioevent->poll_fd);
        ioevent->poll_fd = -1;
    }
}

KT_API int ioevent_attach(IOEventPoller *ioevent, const int fd, const int e,
                          void *data)
{
    return epoll_control(ioevent, EPOLL_CTL_ADD, fd, e, data);
}

KT_API int ioevent_modify(IOEventPoller *ioevent, const int fd, const int e,
                          void *data)
{
    return epoll_control(ioevent, EPOLL_CTL_MOD, fd, e, data);
}

KT_API int ioevent_detach(IOEventPoller *ioevent, const int fd)
{
    return epoll_ctl(ioevent->poll_fd, EPOLL_CTL_DEL, fd, nullptr);
}

KT_API int ioevent_poll(IOEventPoller *ioevent)
{
    return epoll_wait(ioevent->poll_fd, ioevent->events, ioevent->size,
                      ioevent->timeout);
}

}  // extern "C"
