/*
 * Connection records and the parsing of "host[:port]" address texts.
 *
 * A ConnectionInfo describes one peer address and, once connected, its
 * socket.  Records are plain structs owned by the caller; the functions here
 * only fill them.  Results are 0 or a positive errno value.  Nothing here
 * keeps state, so every function may be called from any thread.
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

KT_EXTERN_C_END

#endif
