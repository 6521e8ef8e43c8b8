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
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <algorithm>

#include "logger.h"
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
    bool valid = family == AF_INET
                     ? kt_parse_ipv4(conn->ip_addr, addr)
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

/*
 * Connecting.  The socket is created non-blocking and close-on-exec in one
 * call, so no exec in another thread can inherit it and the connect can be
 * bounded: connect, then poll for writability until a deadline on the
 * monotonic clock, then SO_ERROR gives the connect's own result.  A poll
 * cut short by a signal resumes with the time that is left.  Every failure
 * path closes the descriptor before the record sees it, so conn->sock is
 * either a connected socket or -1.  The socket goes back to blocking mode
 * at the end: callers that want non-blocking I/O say so (kt_set_nonblock).
 */
namespace {

struct SockAddr {
    union {
        struct sockaddr_in v4;
        struct sockaddr_in6 v6;
    };
    socklen_t len;
    int family;
};

/* Fills addr from an IP text of the given family (AF_UNSPEC: either). */
bool make_sockaddr(const char *ip, int family, uint16_t port, SockAddr *addr)
{
    memset(addr, 0, sizeof(*addr));
    if (family != AF_INET6 && inet_pton(AF_INET, ip, &addr->v4.sin_addr) == 1) {
        addr->v4.sin_family = AF_INET;
        addr->v4.sin_port = htons(port);
        addr->len = sizeof(addr->v4);
        addr->family = AF_INET;
        return true;
    }
    if (family != AF_INET &&
        inet_pton(AF_INET6, ip, &addr->v6.sin6_addr) == 1) {
        addr->v6.sin6_family = AF_INET6;
        addr->v6.sin6_port = htons(port);
        addr->len = sizeof(addr->v6);
        addr->family = AF_INET6;
        return true;
    }
    return false;
}

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Waits for the pending connect of sock; returns its result. */
int wait_connected(int sock, int connect_timeout)
{
    const int64_t deadline =
        connect_timeout > 0 ? monotonic_ms() + (int64_t)connect_timeout * 1000
                            : 0;
    struct pollfd pfd = {sock, POLLOUT, 0};
    for (;;) {
        int wait_ms = -1;
        if (connect_timeout > 0) {
            wait_ms =
                (int)std::clamp<int64_t>(deadline - monotonic_ms(), 0, INT_MAX);
        }
        int count = poll(&pfd, 1, wait_ms);
        if (count > 0) {
            break;
        }
        if (count == 0) {
            return ETIMEDOUT;
        }
        if (errno != EINTR) {
            return errno != 0 ? errno : EIO;
        }
    }
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return error;
}

int set_blocking(int sock)
{
    int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

/* Opens, binds and connects; returns 0 with *sock set, or an errno with no
 * descriptor left open.  *what names the failing step for the message. */
int open_connection(const SockAddr &peer, const SockAddr *local,
                    int connect_timeout, int *sock, const char **what)
{
    int fd = socket(peer.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *what = "socket";
        return errno != 0 ? errno : EIO;
    }
    int result = 0;
    if (local != nullptr &&
        bind(fd, (const struct sockaddr *)local, local->len) != 0) {
        *what = "bind";
        result = errno != 0 ? errno : EIO;
    } else if (connect(fd, (const struct sockaddr *)&peer, peer.len) != 0) {
        *what = "connect";
        result = (errno == EINPROGRESS || errno == EINTR)
                     ? wait_connected(fd, connect_timeout)
                     : (errno != 0 ? errno : EIO);
    }
    if (result == 0) {
        *what = "fcntl";
        result = set_blocking(fd);
    }
    if (result != 0) {
        close(fd);
        return result;
    }
    *sock = fd;
    return 0;
}

}  // namespace

extern "C" int conn_pool_connect_server_ex(ConnectionInfo *conn,
                                           const int connect_timeout,
                                           const char *bind_ipaddr,
                                           const bool log_connect_error)
{
    conn_pool_disconnect_server(conn);
    SockAddr peer, local;
    const bool want_bind = bind_ipaddr != nullptr && *bind_ipaddr != '\0';
    if (conn->port == 0 ||
        !make_sockaddr(conn->ip_addr, AF_UNSPEC, conn->port, &peer)) {
        if (log_connect_error) {
            logError("invalid server address %s:%u", conn->ip_addr, conn->port);
        }
        return EINVAL;
    }
    if (want_bind && !make_sockaddr(bind_ipaddr, peer.family, 0, &local)) {
        if (log_connect_error) {
            logError("invalid bind address %s for server %s:%u", bind_ipaddr,
                     conn->ip_addr, conn->port);
        }
        return EINVAL;
    }
    const char *what = "";
    int sock = -1;
    int result = open_connection(peer, want_bind ? &local : nullptr,
                                 connect_timeout, &sock, &what);
    if (result != 0) {
        if (log_connect_error) {
            logError("%s to server %s:%u fail, errno: %d, error info: %s", what,
                     conn->ip_addr, conn->port, result, KT_STRERROR(result));
        }
        return result;
    }
    conn->sock = sock;
    conn->socket_domain = (int16_t)peer.family;
    return 0;
}

extern "C" void conn_pool_disconnect_server(ConnectionInfo *conn)
{
    if (conn->sock >= 0) {
        close(conn->sock);
        conn->sock = -1;
    }
}
