/*
 * Multi-socket request client: one poll loop drives every server's exchange.
 *
 * Each entry is a small state machine kept in the entry itself: io_callback
 * is the step to run on readiness (send, then receive), remain the bytes the
 * current stage still needs, recv_stage header or body.  An entry is
 * registered for EPOLLOUT while sending and EPOLLIN while receiving, and is
 * detached the moment it finishes (done), so the poller holds no
 * registration between requests.  Invariant during a request: pulling_count
 * equals the number of attached entries whose done is false.
 *
 * Reads ask for exactly what the stage still needs, so nothing past a reply
 * is consumed and the header is in the buffer, alone, when the body length
 * is asked for.  A short read or write ends the step at once, as EAGAIN
 * does: a stream socket returns less than asked only when its queue is
 * drained (or full), so the call that would follow could only fail with
 * EAGAIN; the level-triggered poller reports the socket again when it has
 * more.  This saves one system call per partial transfer.  The request is
 * written from the caller's buffer to every socket without a copy.  Nothing
 * is allocated during a request unless a reply outgrows its entry's buffer,
 * which then keeps its capacity.
 *
 * Departures from the plain reading of the protocol, each a fault otherwise:
 * - writes use send(MSG_NOSIGNAL): a peer that reset must fail its entry,
 *   not kill the program with SIGPIPE.  Descriptors that are not sockets
 *   (ENOTSOCK) fall back to write(2).
 * - a header announcing a body that cannot fit a 32-bit buffer after the
 *   header fails the entry with E2BIG instead of overflowing the size sum.
 * - a failed init releases the poller and the buffers already set up and
 *   leaves the client cleared; the poller's descriptor is -1 from the first
 *   step, so destroy on such a client never closes descriptor 0.
 * No locks: one thread per client.
 */
#include "multi_socket_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "logger.h"
#include "sched_thread.h"

namespace {

constexpr int kDefaultRecvBufferSize = 4096;
constexpr uint32_t kErrorEvents = EPOLLPRI | EPOLLERR | EPOLLHUP;

int errno_or(int fallback)
{
    return errno != 0 ? errno : fallback;
}

/* Writes without raising SIGPIPE; write(2) for descriptors that are not
 * sockets. */
ssize_t write_no_signal(int sock, const char *data, size_t size)
{
    ssize_t bytes = send(sock, data, size, MSG_NOSIGNAL);
    if (bytes < 0 && errno == ENOTSOCK) {
        bytes = write(sock, data, size);
    }
    return bytes;
}

/* One write (sending) or read of an entry, retried after EINTR.  Returns
 * the byte count; 0 when the socket would block; or the negated error code,
 * logged with the step's own message (a result of 0 bytes means the peer
 * closed: ECONNRESET). */
template <class Io>
ssize_t transfer_once(const ConnectionInfo *conn, bool sending, Io io)
{
    for (;;) {
        ssize_t bytes = io();
        if (bytes > 0) {
            return bytes;
        }
        if (bytes == 0) {
            if (sending) {
                logError("send to server %s:%u, sock: %d fail, connection "
                         "disconnected",
                         conn->ip_addr, conn->port, conn->sock);
            } else {
                logError("server: %s:%u, sock: %d, recv failed, connection "
                         "disconnected",
                         conn->ip_addr, conn->port, conn->sock);
            }
            return -ECONNRESET;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno == EINTR) {
            logDebugPrefixed("server: %s:%u, ignore interupt signal",
                             conn->ip_addr, conn->port);
            continue;
        }
        int result = errno_or(ECONNRESET);
        if (sending) {
            logError("send to server %s:%u fail, errno: %d, error info: %s",
                     conn->ip_addr, conn->port, result, KT_STRERROR(result));
        } else {
            logError("server: %s:%u, recv failed, errno: %d, error info: %s",
                     conn->ip_addr, conn->port, result, KT_STRERROR(result));
        }
        return -result;
    }
}

void clear_client(KiteMultiSockClient *client)
{
    memset(client, 0, sizeof(*client));
    client->ioevent.poll_fd = -1;
}

void release_buffers(KiteMultiSockEntry *entries, int count)
{
    for (int i = 0; i < count; i++) {
        kite_buffer_destroy(&entries[i].recv_buffer);
    }
}

/* ---- the module's steps ---- */

int kite_multi_sock_client_do_recv(KiteMultiSockClient *client,
                                   KiteMultiSockEntry *entry);

void kite_multi_sock_client_finish(KiteMultiSockClient *client,
                                   KiteMultiSockEntry *entry,
                                   const int error_no)
{
    entry->error_no = error_no;
    entry->done = true;
    client->pulling_count--;
    (void)ioevent_detach(&client->ioevent, entry->conn->sock);
    if (error_no == 0) {
        client->success_count++;
    }
}

/* The whole request is out: wait for the header. */
int kite_multi_sock_client_start_recv(KiteMultiSockClient *client,
                                      KiteMultiSockEntry *entry)
{
    entry->recv_stage = kms_stage_recv_header;
    entry->remain = client->header_length;
    entry->io_callback = kite_multi_sock_client_do_recv;
    if (ioevent_modify(&client->ioevent, entry->conn->sock, EPOLLIN, entry) !=
        0) {
        int result = errno_or(EACCES);
        logError("ioevent_modify fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        return result;
    }
    return 0;
}

int kite_multi_sock_client_do_send(KiteMultiSockClient *client,
                                   KiteMultiSockEntry *entry)
{
    if (entry->remain <= 0) {
        return 0;
    }
    const ConnectionInfo *conn = entry->conn;
    const KiteBuffer *request = entry->send_buffer;
    ssize_t bytes = transfer_once(conn, true, [&] {
        return write_no_signal(
            conn->sock, request->data + (request->length - entry->remain),
            (size_t)entry->remain);
    });
    if (bytes <= 0) {
        return (int)-bytes;
    }
    entry->remain -= (int32_t)bytes;
    /* After a short write the socket is full until it drains. */
    return entry->remain == 0 ? kite_multi_sock_client_start_recv(client, entry)
                              : 0;
}

/* The header is complete: ask for the body length and make room for it;
 * remain becomes the body length (0: the reply is the header alone). */
int kite_multi_sock_client_begin_body(KiteMultiSockClient *client,
                                      KiteMultiSockEntry *entry)
{
    const ConnectionInfo *conn = entry->conn;
    entry->recv_stage = kms_stage_recv_body;
    const int body_length = client->get_body_length_func(&entry->recv_buffer);
    if (body_length < 0) {
        logError("server: %s:%u, body_length: %d < 0", conn->ip_addr,
                 conn->port, body_length);
        return EPIPE;
    }
    if (body_length > INT32_MAX - entry->recv_buffer.length) {
        logError("server: %s:%u, body_length: %d too large, header and body "
                 "exceed %d bytes",
                 conn->ip_addr, conn->port, body_length, INT32_MAX);
        return E2BIG;
    }
    if (body_length > 0) {
        int result =
            kite_buffer_check_inc_size(&entry->recv_buffer, body_length);
        if (result != 0) {
            return result;
        }
    }
    entry->remain = body_length;
    return 0;
}

/* Reads what the current stage still needs; 0 with remain > 0 means the
 * socket had no more for now. */
int kite_multi_sock_client_read_stage(KiteMultiSockClient *client,
                                      KiteMultiSockEntry *entry)
{
    const ConnectionInfo *conn = entry->conn;
    KiteBuffer *buffer = &entry->recv_buffer;
    while (entry->remain > 0) {
        ssize_t bytes = transfer_once(conn, false, [&] {
            return read(conn->sock, buffer->data + buffer->length,
                        (size_t)entry->remain);
        });
        if (bytes <= 0) {
            return (int)-bytes;
        }
        buffer->length += (int32_t)bytes;
        entry->remain -= (int32_t)bytes;
        if (entry->remain > 0) {
            return 0; /* a short read: nothing more is waiting */
        }
        if (entry->recv_stage == kms_stage_recv_header) {
            int result = kite_multi_sock_client_begin_body(client, entry);
            if (result != 0) {
                return result;
            }
        }
    }
    return 0;
}

int kite_multi_sock_client_do_recv(KiteMultiSockClient *client,
                                   KiteMultiSockEntry *entry)
{
    int result = kite_multi_sock_client_read_stage(client, entry);
    logInfo("recv remain: %d", entry->remain);
    return result;
}

/* Starts every entry; returns with pulling_count set. */
void kite_multi_sock_client_send_data(KiteMultiSockClient *client,
                                      KiteBuffer *send_buffer)
{
    for (int i = 0; i < client->entry_count; i++) {
        KiteMultiSockEntry *entry = &client->entries[i];
        entry->remain = send_buffer->length;
        entry->done = false;
        entry->recv_buffer.length = 0;
        entry->send_buffer = send_buffer;
        entry->io_callback = kite_multi_sock_client_do_send;
        const ConnectionInfo *conn = entry->conn;
        if (conn->sock < 0) {
            entry->error_no = ENOTCONN;
            entry->done = true;
            logError("NOT connected to %s:%u", conn->ip_addr, conn->port);
            continue;
        }
        if (ioevent_attach(&client->ioevent, conn->sock, EPOLLOUT, entry) !=
            0) {
            entry->error_no = errno_or(EACCES);
            entry->done = true;
            logError("ioevent_attach fail, errno: %d, error info: %s",
                     entry->error_no, KT_STRERROR(entry->error_no));
            continue;
        }
        client->pulling_count++;
    }
}

void kite_multi_sock_client_deal_event(KiteMultiSockClient *client,
                                       const struct epoll_event &event)
{
    KiteMultiSockEntry *entry =
        static_cast<KiteMultiSockEntry *>(event.data.ptr);
    const ConnectionInfo *conn = entry->conn;
    if ((event.events & kErrorEvents) != 0) {
        logError("server: %s:%u, recv error event: %d, connection reset",
                 conn->ip_addr, conn->port, (int)event.events);
        kite_multi_sock_client_finish(client, entry, ECONNRESET);
        return;
    }
    logInfo("sock: %d, event: %d", conn->sock, (int)event.events);
    int result = entry->io_callback(client, entry);
    if (result != 0) {
        kite_multi_sock_client_finish(client, entry, result);
    } else if (entry->remain == 0) {
        kite_multi_sock_client_finish(client, entry, 0);
    }
}

/* The poll loop; returns the last remaining time computed. */
int kite_multi_sock_client_deal_io(KiteMultiSockClient *client)
{
    int remain_ms = 0;
    while (client->pulling_count > 0) {
        remain_ms = (int)(client->deadline_time_ms -
                          client->get_current_time_ms_func());
        if (remain_ms < 0) {
            break;
        }
        int count = ioevent_poll_ex(&client->ioevent, remain_ms);
        logInfo("poll count: %d\n", count);
        for (int i = 0; i < count; i++) {
            kite_multi_sock_client_deal_event(client,
                                              client->ioevent.events[i]);
        }
    }
    return remain_ms;
}

void kite_multi_sock_client_timeout(KiteMultiSockClient *client)
{
    for (int i = 0; i < client->entry_count; i++) {
        KiteMultiSockEntry *entry = &client->entries[i];
        if (entry->done) {
            continue;
        }
        entry->error_no = ETIMEDOUT;
        entry->done = true;
        client->pulling_count--;
        (void)ioevent_detach(&client->ioevent, entry->conn->sock);
        logError("recv from %s:%u timedout", entry->conn->ip_addr,
                 entry->conn->port);
    }
}

}  // namespace

extern "C" {

KT_API int64_t kms_get_current_time_ms(void)
{
    /* g_current_time while the clock thread runs, else time(NULL), read
     * the way every module of the library reads the shared clock. */
    return (int64_t)kt_get_current_time() * 1000;
}

KT_API int kite_multi_sock_client_init_ex(
    KiteMultiSockClient *client, KiteMultiSockEntry *entries,
    const int entry_count, const int header_length,
    kms_client_get_body_length_func get_body_length_func,
    kms_client_get_current_time_ms_func get_current_time_ms_func,
    const int init_recv_buffer_size, const int timeout_ms)
{
    clear_client(client);
    if (entry_count <= 0) {
        logError("invalid entry_count: %d <= 0", entry_count);
        return EINVAL;
    }
    if (header_length <= 0) {
        logError("invalid header_length: %d <= 0", header_length);
        return EINVAL;
    }
    if (entries == nullptr || get_body_length_func == nullptr ||
        get_current_time_ms_func == nullptr) {
        logError("invalid argument: entries, get_body_length_func and "
                 "get_current_time_ms_func must not be null");
        return EINVAL;
    }
    int result = ioevent_init(&client->ioevent, entry_count, timeout_ms, 0);
    if (result != 0) {
        logError("ioevent_init fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        clear_client(client);
        return result;
    }
    int capacity = init_recv_buffer_size > 0 ? init_recv_buffer_size
                                             : kDefaultRecvBufferSize;
    capacity = capacity < header_length ? header_length : capacity;
    for (int i = 0; i < entry_count; i++) {
        result = kite_buffer_init_ex(&entries[i].recv_buffer, capacity);
        if (result != 0) {
            release_buffers(entries, i);
            ioevent_destroy(&client->ioevent);
            clear_client(client);
            return result;
        }
    }
    client->header_length = header_length;
    client->entry_count = entry_count;
    client->get_body_length_func = get_body_length_func;
    client->get_current_time_ms_func = get_current_time_ms_func;
    client->entries = entries;
    client->timeout_ms = timeout_ms;
    return 0;
}

KT_API int kite_multi_sock_client_init(
    KiteMultiSockClient *client, KiteMultiSockEntry *entries,
    const int entry_count, const int header_length,
    kms_client_get_body_length_func get_body_length_func,
    const int init_recv_buffer_size, const int timeout)
{
    return kite_multi_sock_client_init_ex(
        client, entries, entry_count, header_length, get_body_length_func,
        kms_get_current_time_ms, init_recv_buffer_size, timeout * 1000);
}

KT_API void kite_multi_sock_client_destroy(KiteMultiSockClient *client)
{
    ioevent_destroy(&client->ioevent);
    release_buffers(client->entries, client->entry_count);
}

KT_API int kite_multi_sock_client_request(KiteMultiSockClient *client,
                                          KiteBuffer *send_buffer)
{
    client->pulling_count = 0;
    client->success_count = 0;
    if (client->entry_count <= 0) {
        return ENOENT; /* also a cleared client, which has no clock */
    }
    client->deadline_time_ms =
        client->get_current_time_ms_func() + client->timeout_ms;
    kite_multi_sock_client_send_data(client, send_buffer);
    if (client->pulling_count <= 0) {
        return ENOENT;
    }
    const int remain_ms = kite_multi_sock_client_deal_io(client);
    if (remain_ms < 0) {
        kite_multi_sock_client_timeout(client);
    }
    logInfoPrefixed("pulling_count: %d, success_count: %d\n",
                    client->pulling_count, client->success_count);
    if (client->success_count > 0) {
        return 0;
    }
    return remain_ms <= 0 ? ETIMEDOUT : ENOENT;
}

}  // extern "C"
