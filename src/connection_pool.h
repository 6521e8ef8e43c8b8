/*
 * Connection records and the parsing of "host[:port]" address texts.
 *
 * A ConnectionInfo describes one peer address and, once connected, its
 * socket.  Records are plain structs owned by the caller; the functions here
 * only fill them.  Results are 0 or a positive errno value.  Nothing here
 * keeps state, so every function may be called from any thread (one thread
 * at a time per record).
 */
#ifndef KITE_CONNECTION_POOL_H
#define KITE_CONNECTION_POOL_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* One peer address and its connection. */
typedef struct {
    int32_t sock;          /* descriptor; -1 while not connected */
    uint16_t port;         /* host byte order; 0 when none is known */
    int16_t socket_domain; /* AF_INET or AF_INET6, from the address */
    bool validate_flag;    /* set by users that check a reused connection */
    char ip_addr[KT_IP_ADDRESS_SIZE]; /* IP text without brackets, NUL-ended */
    /* Caller-reserved bytes behind the record (allocate sizeof + n). */
    __extension__ char args[0];
} ConnectionInfo;

/* Parses "a.b.c.d[:port]", "[v6][:port]" or a bare IPv6 address (no port)
 * into *conn, overwritten whole.  The port is decimal 1 to 65535, without
 * sign or blanks; default_port (0 to 65535) stands in when none is named.
 * On success sock is -1, socket_domain AF_INET or AF_INET6, validate_flag
 * false, ip_addr the IP as written.  Returns 0, or EINVAL for a null or
 * empty text, a host that is not an IP (names are not resolved), a bad
 * port, trailing text or a bad default_port.  Logs nothing. */
KT_API int conn_pool_parse_server_info(const char *server_info,
                                       ConnectionInfo *conn,
                                       const int default_port);

/*
 * Connects *conn to its ip_addr (IPv4 or IPv6 text) and port over TCP.
 * A record that already holds a socket (sock >= 0) is closed first.
 * connect_timeout: seconds allowed for the connection to be established; 0
 * or less waits as long as the system does.  The wait is a non-blocking
 * connect and a poll; a signal that interrupts the poll does not end it, the
 * wait resumes with the time that is left.  bind_ipaddr (borrowed): the local
 * IP to bind before connecting, of the same family as ip_addr; null or ""
 * binds nothing.  The socket is close-on-exec and is handed back BLOCKING
 * (see kt_set_nonblock for callers that want it otherwise).
 * Returns 0 with the socket in conn->sock; else conn->sock is -1 (no
 * descriptor is left open) and the result is EINVAL (ip_addr or bind_ipaddr
 * not an IP of one family, port 0), ETIMEDOUT, or the system's errno
 * (ECONNREFUSED, ENETUNREACH, EADDRNOTAVAIL for a bind to a foreign IP,
 * EMFILE, ...).  Failures are logged at error level only when
 * log_connect_error is true.  Reads ip_addr and port; writes sock and
 * socket_domain (the family used).
 */
KT_API int conn_pool_connect_server_ex(ConnectionInfo *conn,
                                       const int connect_timeout,
                                       const char *bind_ipaddr,
                                       const bool log_connect_error);

/* Closes conn->sock when it is 0 or more and sets it to -1; does nothing to
 * a record that holds no socket. */
KT_API void conn_pool_disconnect_server(ConnectionInfo *conn);

/* Short form: no bind, failures logged. */
static inline int conn_pool_connect_server(ConnectionInfo *conn,
                                           const int connect_timeout)
{
    return conn_pool_connect_server_ex(conn, connect_timeout, NULL, true);
}

KT_EXTERN_C_END

#endif
