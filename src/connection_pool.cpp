/*
 * Parsing of "host[:port]" address texts into connection records.
 *
 * The host must be an IP address (inet_pton decides); IPv6 addresses are
 * written in brackets when followed by a port, and may stand bare without
 * one.  The port is strictly decimal, 1 to 65535: no sign, no blanks, no
 * trailing text, so a text is accepted exactly when it names one address.
 * The IP text is stored as written (without brackets): it is the address's
 * identity for callers that compare addresses as text.  Nothing is logged:
 * the caller knows where the text came from and reports it.  No state, no
 * locks.
 */
#include "connection_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "sockopt.h"


namespace {

/* Parses all of [start, end) as a port of 1 to 65535. */
bool parse_port(const char *start, const char *end, uint16_t *port)
{
    if (start == end || end - start > 5) {
        return false;
    }
    int value = 0;
    for (const char *c = start; c < end; c++) {
        if (*c < '0' || *c > '9') {
            return false;
        }
        value = value * 10 + (*c - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    *port = (uint16_t)value;
    return true;
}

/* Stores [start, end) as the IP text when it is an address of family. */
bool set_ip(ConnectionInfo *conn, const char *start, const char *end,
            int family)
{
    size_t len = (size_t)(end - start);
    unsigned char addr[sizeof(struct in6_addr)];
    if (len == 0 || len >= sizeof(conn->ip_addr)) {
        return false;
    }
    memcpy(conn->ip_addr, start, len);
    conn->ip_addr[len] = '\0';
    bool valid = family == AF_INET ? kt_parse_ipv4(conn->ip_addr, addr)
                                   : inet_pton(family, conn->ip_addr, addr) == 1;
    if (!valid) {
        return false;
    }
    conn->socket_domain = (int16_t)family;
    return true;
}

/* "[v6]" or "[v6]:port". */
bool parse_bracketed(const char *text, const char *end, ConnectionInfo *conn)
{
    const char *close = (const char *)memchr(text, ']', end - text);
    if (close == nullptr || !set_ip(conn, text + 1, close, AF_INET6)) {
        return false;
    }
    if (close + 1 == end) {
        return true;
    }
    return close[1] == ':' && parse_port(close + 2, end, &conn->port);
}

bool parse_text(const char *text, ConnectionInfo *conn)
{
    const char *end = text + strlen(text);
    if (*text == '[') {
        return parse_bracketed(text, end, conn);
    }
    const char *colon = (const char *)memchr(text, ':', end - text);
    if (colon == nullptr) {
        return set_ip(conn, text, end, AF_INET);
    }
    if (memchr(colon + 1, ':', end - colon - 1) != nullptr) {
        return set_ip(conn, text, end, AF_INET6);
    }
    return set_ip(conn, text, colon, AF_INET) &&
           parse_port(colon + 1, end, &conn->port);
}

}  // namespace

extern "C" int conn_pool_parse_server_info(const char *server_info,
                                           ConnectionInfo *conn,
                                           const int default_port)
{
    if (server_info == nullptr || *server_info == '\0' || default_port < 0 ||
        default_port > 65535) {
        return EINVAL;
    }
    memset(conn, 0, sizeof(*conn));
    conn->sock = -1;
    conn->port = (uint16_t)default_port;
    return parse_text(server_info, conn) ? 0 : EINVAL;
}
