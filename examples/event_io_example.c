/* Event I/O and the fan-out client, all on loopback.  A server thread waits
 * on an epoll poller for new connections, framed requests and a stop
 * signal.  The main thread reaches it through a one-server cluster whose
 * first address refuses: kt_server_check_connect_ex falls back to the second
 * address and keeps that connection, kt_server_make_connection_ex makes one
 * more of the caller's own.  Then one request goes to four entries at once:
 * the two connections answer, a socketpair peer stays silent until the
 * time-out, and the last entry was never connected. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "connection_pool.h"
#include "ioevent.h"
#include "logger.h"
#include "multi_socket_client.h"
#include "server_id_func.h"
#include "sockopt.h"

#define HEADER_SIZE 4 /* a frame: body length (4 bytes, big-endian), body */
#define MAX_CLIENTS 4

typedef struct {
    int fd; /* -1: free slot */
} client_slot;

static int g_listener;
static int g_stop_pipe[2]; /* a byte written to [1] stops the server */
static client_slot g_clients[MAX_CLIENTS];

/* A TCP socket bound to 127.0.0.1 on a port the kernel picks.  Without
 * listen() a connect to it is refused: the port stays ours, nobody answers. */
static int loopback_socket(int backlog, int *port)
{
    struct sockaddr_in addr = {.sin_family = AF_INET};
    socklen_t len = sizeof(addr);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, len) != 0 ||
        (backlog > 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, (struct sockaddr *)&addr, &len) != 0) {
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

static bool read_full(int fd, char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = read(fd, buf, len);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            return false;
        }
        buf += n > 0 ? n : 0;
        len -= n > 0 ? (size_t)n : 0;
    }
    return true;
}

/* Answers one framed request with "pong: " and its body; false when the
 * peer has closed or sent something else. */
static bool answer(int fd)
{
    char frame[HEADER_SIZE + 6 + 256];
    uint32_t len;
    if (!read_full(fd, frame, HEADER_SIZE)) {
        return false;
    }
    memcpy(&len, frame, HEADER_SIZE);
    len = ntohl(len);
    if (len > 256 || !read_full(fd, frame + HEADER_SIZE + 6, len)) {
        return false;
    }
    uint32_t reply_len = htonl(len + 6);
    memcpy(frame, &reply_len, HEADER_SIZE);
    memcpy(frame + HEADER_SIZE, "pong: ", 6);
    return write(fd, frame, HEADER_SIZE + 6 + len) ==
           (ssize_t)(HEADER_SIZE + 6 + len);
}

/* The server: every registration carries a pointer that tells, when its
 * event comes back, what is ready: the listener, the stop pipe or a slot. */
static void *serve(void *arg)
{
    IOEventPoller poller;
    (void)arg;
    if (ioevent_init(&poller, MAX_CLIENTS + 2, -1, 0) !=
            0 || /* -1: no time limit */
        ioevent_attach(&poller, g_listener, EPOLLIN, &g_listener) != 0 ||
        ioevent_attach(&poller, g_stop_pipe[0], EPOLLIN, g_stop_pipe) != 0) {
        perror("server poller");
        ioevent_destroy(&poller);
        return NULL;
    }
    for (bool running = true; running;) {
        int count = ioevent_poll(&poller); /* -1 with errno EINTR: poll again */
        for (int i = 0; i < count; i++) {
            void *data = poller.events[i].data.ptr;
            if (data == g_stop_pipe) {
                running = false;
            } else if (data == &g_listener) {
                int fd = accept(g_listener, NULL, NULL);
                client_slot *slot = g_clients;
                while (slot < g_clients + MAX_CLIENTS && slot->fd >= 0) {
                    slot++;
                }
                if (fd >= 0 &&
                    (slot == g_clients + MAX_CLIENTS ||
                     ioevent_attach(&poller, fd, EPOLLIN, slot) != 0)) {
                    close(fd);
                } else if (fd >= 0) {
                    slot->fd = fd;
                }
            } else if (!answer(((client_slot *)data)->fd)) {
                client_slot *slot = (client_slot *)data;
                ioevent_detach(&poller, slot->fd);
                close(slot->fd);
                slot->fd = -1;
            }
        }
    }
    for (int i = 0; i < MAX_CLIENTS; i++) {
        if (g_clients[i].fd >= 0) {
            close(g_clients[i].fd);
        }
    }
    ioevent_destroy(&poller); /* closes the epoll descriptor */
    return NULL;
}

static int body_length(const KiteBuffer *header)
{
    uint32_t len;
    memcpy(&len, header->data, HEADER_SIZE);
    len = ntohl(len);
    return len > 65536 ? -1 : (int)len; /* negative: a bad header */
}

/* The client's clock: only differences count, so a monotonic one will do,
 * and it is finer than the default one-second clock. */
static int64_t monotonic_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int main(void)
{
    int refused_port, live_port, pair[2];
    int refuser = loopback_socket(0, &refused_port);
    pthread_t server;

    for (int i = 0; i < MAX_CLIENTS; i++) {
        g_clients[i].fd = -1;
    }
    g_listener = loopback_socket(8, &live_port);
    if (refuser < 0 || g_listener < 0 || pipe(g_stop_pipe) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 ||
        pthread_create(&server, NULL, serve, NULL) != 0) {
        perror("set-up");
        return 1;
    }

    /* One server with two addresses in group "data"; the first refuses. */
    char text[160];
    KTServerConfig config;
    snprintf(text, sizeof(text),
             "[group-data]\nport = %d\nnet_type = inner\n[server-1]\n"
             "data-host = 127.0.0.1:%d\ndata-host = 127.0.0.1:%d\n",
             live_port, refused_port, live_port);
    if (kt_server_load_from_buffer_ex(&config, text, "loopback", 0, 0, false) !=
        0) {
        return 1;
    }
    KTAddressPtrArray *addrs = &kt_server_get_by_id(&config, 1)->uniq_addresses;
    int err_no = 0;
    ConnectionInfo *kept =
        kt_server_check_connect_ex(addrs, 2, NULL, false, &err_no);
    if (kept == NULL) {
        fprintf(stderr, "connect: %s\n", kt_strerror(err_no));
        return 1;
    }
    printf("kept connection: %s:%u, index now %d\n", kept->ip_addr, kept->port,
           addrs->index);
    ConnectionInfo own, silent, absent;
    if (kt_server_make_connection_ex(addrs, &own, 2, NULL, false) != 0) {
        return 1;
    }
    memset(&silent, 0, sizeof(silent));
    silent.sock = pair[0];
    strcpy(silent.ip_addr,
           "socketpair"); /* ip_addr and port only name the peer in logs */
    memset(&absent, 0, sizeof(absent));
    absent.sock = -1;
    strcpy(absent.ip_addr, "127.0.0.1");
    absent.port = (uint16_t)refused_port;
    /* Connections are handed back blocking; the client wants them not to be. */
    if (kt_set_nonblock(kept->sock) != 0 || kt_set_nonblock(own.sock) != 0 ||
        kt_set_nonblock(silent.sock) != 0) {
        return 1;
    }

    /* The client logs every poll at info level; keep the example's output
     * short. */
    kt_log_set_level(KT_LOG_WARNING);
    KiteMultiSockEntry entries[4];
    KiteMultiSockClient client;
    KiteBuffer request;
    memset(entries, 0, sizeof(entries));
    entries[0].conn = kept;
    entries[1].conn = &own;
    entries[2].conn = &silent;
    entries[3].conn = &absent;
    uint32_t len = htonl(5);
    kite_buffer_init(&request);
    if (kite_buffer_append_buff(&request, &len, HEADER_SIZE) != 0 ||
        kite_buffer_append_buff(&request, "hello", 5) != 0 ||
        kite_multi_sock_client_init_ex(&client, entries, 4, HEADER_SIZE,
                                       body_length, monotonic_ms, 0,
                                       300) != 0) {
        return 1;
    }
    fflush(stdout); /* the failures below are logged to stderr */
    int result = kite_multi_sock_client_request(&client, &request);
    printf("request returned %d, %d of 4 entries replied\n", result,
           client.success_count);
    for (int i = 0; i < 4; i++) {
        const KiteMultiSockEntry *e = &entries[i];
        printf("  %s:%u  %-24s %.*s\n", e->conn->ip_addr, e->conn->port,
               e->error_no == 0 ? "ok" : kt_strerror(e->error_no),
               e->error_no == 0 ? e->recv_buffer.length - HEADER_SIZE : 0,
               e->recv_buffer.data + HEADER_SIZE);
    }
    bool as_expected = result == 0 && client.success_count == 2 &&
                       addrs->index == 1 && entries[2].error_no == ETIMEDOUT &&
                       entries[3].error_no == ENOTCONN;

    /* The client owns only its poller and receive buffers; the caller
     * closes the connections: its own, and the one kept in the address. */
    kite_multi_sock_client_destroy(&client);
    kite_buffer_destroy(&request);
    conn_pool_disconnect_server(&own);
    kt_server_disconnect(addrs);
    kt_server_destroy(&config);
    if (write(g_stop_pipe[1], "x", 1) != 1 || pthread_join(server, NULL) != 0) {
        return 1;
    }
    close(pair[0]);
    close(pair[1]);
    close(g_stop_pipe[0]);
    close(g_stop_pipe[1]);
    close(g_listener);
    close(refuser);
    return as_expected ? 0 : 1;
}
