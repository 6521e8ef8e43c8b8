/*
 * Multi-socket request client: one request to many connected servers, one
 * framed reply from each, from one thread within one time-out.
 *
 * Every reply is a header of header_length bytes followed by a body whose
 * length the caller's get_body_length_func reads from the header.  The
 * client registers every socket with its own poller and drives each server
 * through send -> receive header -> receive body as its socket becomes
 * ready.  After a request each entry holds its outcome (error_no) and its
 * reply (recv_buffer: header then body).
 *
 * Ownership: the caller owns the client record, the entries array, the
 * connections (ConnectionInfo, connected and closed by the caller) and the
 * send buffer (never copied, only read).  The client owns its poller and
 * each entry's receive buffer (init sets them up, destroy releases them).
 *
 * Sockets should be non-blocking (kt_set_nonblock): a would-block result
 * ends a step without error; with a blocking socket a step waits inside the
 * read or write and the deadline is not looked at meanwhile.  Writes use
 * MSG_NOSIGNAL, so a peer that has reset yields EPIPE/ECONNRESET in the
 * entry, never SIGPIPE (a descriptor that is not a socket is written with
 * write(2), which can still raise it).
 *
 * An entry that failed (any error_no other than 0) leaves its stream out of
 * frame: part of the request may have been sent, part of a reply may be
 * waiting unread (an event with EPOLLPRI, EPOLLERR or EPOLLHUP ends the
 * entry with ECONNRESET without reading what is waiting).  Close and
 * reconnect such a connection before using it again.  Between requests no
 * socket stays registered with the poller, so the caller may close,
 * reconnect or swap connections (entry conn pointers) freely.
 *
 * Results are 0 or a positive errno value.  No locks: a client, its entries
 * and its poller are used by one thread at a time, one request at a time.
 * The send buffer may be shared by clients on several threads as long as
 * nobody changes it during a request.
 */
#ifndef KITE_MULTI_SOCKET_CLIENT_H
#define KITE_MULTI_SOCKET_CLIENT_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "connection_pool.h"
#include "ioevent.h"
#include "kite_buffer.h"

KT_EXTERN_C_BEGIN

/* The receive stage of an entry. */
typedef enum {
    kms_stage_recv_header = 'H', /* receiving the fixed-length header */
    kms_stage_recv_body = 'B'    /* receiving the body */
} KiteMultiSockRecvStage;

struct kite_multi_sock_client;
struct kite_multi_sock_entry;

/* The current time in milliseconds; only differences matter. */
typedef int64_t (*kms_client_get_current_time_ms_func)(void);

/* The body length announced by a header: recv_buffer holds exactly the
 * header (length == header_length).  A negative result declares the header
 * invalid (the entry fails with EPIPE). */
typedef int (*kms_client_get_body_length_func)(const KiteBuffer *recv_buffer);

/* The step that runs when an entry's socket is ready: 0 or an errno. */
typedef int (*kite_multi_sock_client_io_func)(
    struct kite_multi_sock_client *client, struct kite_multi_sock_entry *entry);

/* One server; the caller owns the array and sets conn. */
typedef struct kite_multi_sock_entry {
    ConnectionInfo *conn;    /* borrowed; sock < 0: not connected */
    KiteBuffer *send_buffer; /* the current request (borrowed, shared) */
    kite_multi_sock_client_io_func io_callback; /* send step, then receive */
    KiteBuffer recv_buffer; /* the reply: header then body; capacity kept */
    int32_t error_no;       /* outcome of the last request: 0 or an errno */
    int32_t remain;         /* bytes still to send / to receive in the stage */
    KiteMultiSockRecvStage recv_stage; /* header or body */
    bool done; /* finished in the current request, either way */
} KiteMultiSockEntry;

/* The client, owned by the caller. */
typedef struct kite_multi_sock_client {
    int32_t entry_count;         /* records in entries; 0 when not set up */
    int32_t header_length;       /* bytes of every reply header; > 0 */
    int32_t pulling_count;       /* entries still in progress */
    int32_t success_count;       /* entries that replied in full */
    int32_t timeout_ms;          /* time allowed for a whole request */
    int64_t deadline_time_ms;    /* on the clock of get_current_time_ms_func */
    KiteMultiSockEntry *entries; /* borrowed; entry_count records */
    kms_client_get_current_time_ms_func get_current_time_ms_func; /* clock */
    kms_client_get_body_length_func get_body_length_func; /* header reader */
    IOEventPoller ioevent; /* sized to entry_count, level-triggered */
} KiteMultiSockClient;

/* The default clock: g_current_time * 1000 while the library's clock thread
 * runs, else time(NULL) * 1000; it advances in steps of one second. */
KT_API int64_t kms_get_current_time_ms(void);

/*
 * Sets the client up over entries[0..entry_count) (borrowed; only each
 * entry's recv_buffer is written here, with init_recv_buffer_size bytes, or
 * 4096 when that is 0 or less, and never fewer than header_length).
 * timeout_ms is the time allowed for each whole request on the clock
 * get_current_time_ms_func.  Any record may be passed: it is cleared first.
 * Returns 0; EINVAL for entry_count or header_length 0 or less, or a null
 * entries or function pointer (logged); the poller's error (logged) or
 * ENOMEM for a receive buffer.  After a failure
 * everything set up is released and the client is cleared (poller closed,
 * entry_count 0), so destroying it is harmless and not required.
 */
KT_API int kite_multi_sock_client_init_ex(
    KiteMultiSockClient *client, KiteMultiSockEntry *entries,
    const int entry_count, const int header_length,
    kms_client_get_body_length_func get_body_length_func,
    kms_client_get_current_time_ms_func get_current_time_ms_func,
    const int init_recv_buffer_size, const int timeout_ms);

/* init_ex with the default clock and timeout seconds (timeout * 1000 ms). */
KT_API int kite_multi_sock_client_init(
    KiteMultiSockClient *client, KiteMultiSockEntry *entries,
    const int entry_count, const int header_length,
    kms_client_get_body_length_func get_body_length_func,
    const int init_recv_buffer_size, const int timeout);

/* Closes the poller and releases every entry's receive buffer.  The
 * connections are not closed. */
KT_API void kite_multi_sock_client_destroy(KiteMultiSockClient *client);

/*
 * Sends send_buffer (borrowed, only read) to every entry's connection and
 * gathers one reply from each, until all are done or timeout_ms has passed.
 * Afterwards every entry has done set and its error_no: 0 (recv_buffer =
 * header + body); ENOTCONN (sock negative); ETIMEDOUT; ECONNRESET (peer
 * closed or error event); EPIPE (negative body length); E2BIG (a body that
 * cannot fit a 32-bit buffer); ENOMEM; or the errno of a failed write, read
 * or poller call.  success_count counts the successes, pulling_count is 0
 * and no socket stays registered.
 * Returns 0 when at least one server replied in full; ENOENT when there are
 * no entries, none could be started, or all failed before the deadline;
 * ETIMEDOUT when none succeeded and the deadline passed.
 */
KT_API int kite_multi_sock_client_request(KiteMultiSockClient *client,
                                          KiteBuffer *send_buffer);

KT_EXTERN_C_END

#endif
