/*
 * kite-cluster ping, serve and fanout: the cluster's servers on the wire.
 *
 * Frame of serve and fanout, the same both ways: a 16-byte header, then the
 * body.
 *   bytes 0-3    "KCF1"
 *   bytes 4-7    body length, unsigned 32-bit big-endian, at most 1 MiB
 *   bytes 8-11   server id of the replying server (0 in a request),
 *                unsigned 32-bit big-endian
 *   bytes 12-15  zero
 * serve answers each request with the body "server ID: " + the request's
 * body; fanout checks the magic and the length (a bad header fails that
 * server with EPIPE) and that the reply comes from the server it was sent
 * to.
 *
 * ping walks a server's addresses in the order the connection helper does
 * (the remembered index first, then the others from position 0 up), each
 * through kt_server_check_connect_ex on a one-address view of the array, so
 * that the error of every refusing address is known, not only the last;
 * the position that answered is stored back into the array's index.
 *
 * serve is one thread with one poll loop over its listening sockets, its
 * clients and a signalfd for SIGTERM and SIGINT (blocked, so they arrive
 * only through the loop, which then ends cleanly).  Sockets are
 * non-blocking; replies are written with MSG_NOSIGNAL and wait for
 * writability when the peer is slow.
 */
#define _GNU_SOURCE /* accept4 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "connection_pool.h"
#include "kite_buffer.h"
#include "kite_cluster.h"
#include "logger.h"
#include "multi_socket_client.h"
#include "sockopt.h"

#define FRAME_HEADER_SIZE 16
#define FRAME_MAX_BODY (1 << 20)
/* A request leaves room in the reply for serve's "server ID: " prefix. */
#define FRAME_MAX_REQUEST (FRAME_MAX_BODY - 32)
#define ADDRESS_TEXT_SIZE (KT_IP_ADDRESS_SIZE + 16)

static void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

static uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 |
           p[3];
}

static void frame_header(unsigned char *h, uint32_t body_length, uint32_t id)
{
    memcpy(h, "KCF1", 4);
    put_be32(h + 4, body_length);
    put_be32(h + 8, id);
    memset(h + 12, 0, 4);
}

/* The body length of a header, or -1 for a header that is no frame's or
 * announces more than max bytes. */
static int frame_body_length(const unsigned char *h, uint32_t max)
{
    uint32_t length = get_be32(h + 4);
    if (memcmp(h, "KCF1", 4) != 0 || length > max) {
        return -1;
    }
    return (int)length;
}

static int64_t monotonic_ms_x1000(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static int64_t monotonic_ms(void)
{
    return monotonic_ms_x1000() / 1000;
}

/* Parses the options of a network command and loads FILE. */
typedef struct {
    kc_load_options load;
    const char *group;
    const char *bind;
    const char *skip;
    int timeout;    /* ping: seconds */
    int timeout_ms; /* fanout */
} net_options_t;

static int parse_and_load(const kc_command *cmd, int argc, char **argv,
                          net_options_t *o, const char **pos, int pos_count,
                          KTServerConfig *ctx, kc_text *text)
{
    bool ping = strcmp(cmd->name, "ping") == 0;
    bool serve = strcmp(cmd->name, "serve") == 0;
    kc_option opts[7] = {KC_LOAD_OPTIONS(&o->load),
                         {"--group", KC_OPT_TEXT, &o->group, 0, 0}};
    int n = 4;
    if (ping) {
        opts[n++] = (kc_option){"--timeout", KC_OPT_INT, &o->timeout, 0, 3600};
        opts[n++] = (kc_option){"--bind", KC_OPT_TEXT, &o->bind, 0, 0};
    } else if (serve) {
        opts[n++] = (kc_option){"--skip", KC_OPT_TEXT, &o->skip, 0, 0};
    } else {
        opts[n++] =
            (kc_option){"--timeout-ms", KC_OPT_INT, &o->timeout_ms, 1, 3600000};
    }
    int result =
        kc_parse_args(cmd, argc, argv, opts, n, pos, pos_count, pos_count);
    if (result != 0) {
        return result;
    }
    unsigned char scratch[16];
    if (o->bind != NULL && inet_pton(AF_INET, o->bind, scratch) != 1 &&
        inet_pton(AF_INET6, o->bind, scratch) != 1) {
        return kc_usage_error(cmd, "--bind needs an IP address", o->bind);
    }
    ConnectionInfo skip;
    if (o->skip != NULL &&
        (conn_pool_parse_server_info(o->skip, &skip, 0) != 0 ||
         skip.port == 0)) {
        return kc_usage_error(cmd, "--skip needs IP:PORT", o->skip);
    }
    o->load.file = pos[0];
    if (kc_load(ctx, &o->load, text) != 0) {
        return KC_EXIT_FAIL;
    }
    if (!kc_check_group(ctx, o->group)) {
        kc_unload(ctx, text);
        return KC_EXIT_FAIL;
    }
    return 0;
}

/* ---- ping ---- */

/* Tries the addresses in the helper's order; returns the position that
 * answered or -1, with each failed position's error in errs. */
static int ping_server(KTAddressPtrArray *array, const net_options_t *o,
                       int *errs)
{
    int start =
        array->index >= 0 && array->index < array->count ? array->index : 0;
    for (int k = 0; k < array->count; k++) {
        int pos = k == 0 ? start : (k - 1 < start ? k - 1 : k);
        KTAddressPtrArray view = {
            .alloc = 1, .count = 1, .index = 0, .addrs = &array->addrs[pos]};
        int err = 0;
        if (kt_server_check_connect_ex(&view, o->timeout, o->bind, false,
                                       &err) != NULL) {
            array->index = pos;
            return pos;
        }
        errs[pos] = err;
    }
    return -1;
}

static void print_ping_line(int id, const KTAddressPtrArray *array,
                            int answered, const int *errs)
{
    char addr[ADDRESS_TEXT_SIZE];
    printf("server %d: ", id);
    if (answered >= 0) {
        kc_format_address(&array->addrs[answered]->conn, addr, sizeof(addr));
        printf("answered by %s (address %d of %d)", addr, answered + 1,
               array->count);
    } else {
        printf("no answer from %d address%s", array->count,
               array->count == 1 ? "" : "es");
    }
    for (int i = 0; i < array->count; i++) {
        if (errs[i] != 0) {
            kc_format_address(&array->addrs[i]->conn, addr, sizeof(addr));
            printf("; %s: %s", addr, kt_strerror(errs[i]));
        }
    }
    printf("\n");
}

int kc_cmd_ping(const kc_command *cmd, int argc, char **argv)
{
    net_options_t o = {.timeout = 2};
    const char *pos[1];
    KTServerConfig ctx;
    kc_text text;
    int result = parse_and_load(cmd, argc, argv, &o, pos, 1, &ctx, &text);
    if (result != 0) {
        return result;
    }
    KTServerInfoArray *servers = &ctx.sorted_server_arrays.by_id;
    int answered_count = 0;
    for (int i = 0; i < servers->count; i++) {
        KTAddressPtrArray *array =
            kc_server_addresses(&ctx, &servers->servers[i], o.group);
        int *errs = calloc((size_t)array->count + 1, sizeof(int));
        if (errs == NULL) {
            fprintf(stderr, "kite-cluster: out of memory\n");
            break;
        }
        int answered = ping_server(array, &o, errs);
        print_ping_line(servers->servers[i].id, array, answered, errs);
        free(errs);
        kc_flush_output();
        answered_count += answered >= 0;
        for (int j = 0; j < array->count; j++) {
            conn_pool_disconnect_server(&array->addrs[j]->conn);
        }
    }
    printf("ping: %d servers, %d answered", servers->count, answered_count);
    printf(answered_count < servers->count ? ", %d without answer\n" : "\n",
           servers->count - answered_count);
    result = answered_count == servers->count ? KC_EXIT_OK : KC_EXIT_FAIL;
    kc_unload(&ctx, &text);
    return result;
}

/* ---- fanout ---- */

/* What the body-length reader needs to tell which entry a header came in
 * on, and when. */
static struct {
    KiteMultiSockEntry *entries;
    int64_t *reply_us; /* time of each entry's header, from the start */
    int64_t start_us;
} g_fanout;

static int fanout_body_length(const KiteBuffer *recv_buffer)
{
    const KiteMultiSockEntry *entry =
        (const KiteMultiSockEntry *)((const char *)recv_buffer -
                                     offsetof(KiteMultiSockEntry, recv_buffer));
    g_fanout.reply_us[entry - g_fanout.entries] =
        monotonic_ms_x1000() - g_fanout.start_us;
    return frame_body_length((const unsigned char *)recv_buffer->data,
                             FRAME_MAX_BODY);
}

typedef struct {
    ConnectionInfo *conn;       /* connected record, or null */
    ConnectionInfo unconnected; /* stands in when no address answered */
    int connect_error;
} fanout_target_t;

static void connect_targets(KTServerConfig *ctx, const net_options_t *o,
                            fanout_target_t *targets,
                            KiteMultiSockEntry *entries)
{
    KTServerInfoArray *servers = &ctx->sorted_server_arrays.by_id;
    int seconds = (o->timeout_ms + 999) / 1000;
    for (int i = 0; i < servers->count; i++) {
        KTAddressPtrArray *array =
            kc_server_addresses(ctx, &servers->servers[i], o->group);
        fanout_target_t *t = &targets[i];
        int err = ENOENT;
        t->conn = kt_server_check_connect_ex(array, seconds, NULL, false, &err);
        if (t->conn != NULL && (err = kt_set_nonblock(t->conn->sock)) != 0) {
            conn_pool_disconnect_server(t->conn);
            t->conn = NULL;
        }
        if (t->conn == NULL) {
            t->connect_error = err;
            if (array->count > 0) {
                t->unconnected = array->addrs[array->index]->conn;
            } else {
                strcpy(t->unconnected.ip_addr, "(no address)");
            }
            t->unconnected.sock = -1;
        }
        entries[i].conn = t->conn != NULL ? t->conn : &t->unconnected;
    }
}

static void print_fanout_line(int id, const KiteMultiSockEntry *entry,
                              const fanout_target_t *t, int64_t reply_us,
                              int64_t total_us, bool *ok)
{
    char addr[ADDRESS_TEXT_SIZE];
    kc_format_address(entry->conn, addr, sizeof(addr));
    printf("server %d %s: ", id, addr);
    *ok = false;
    if (t->conn == NULL) {
        printf("not connected: %s\n", kt_strerror(t->connect_error));
    } else if (entry->error_no != 0) {
        printf("failed: %s", kt_strerror(entry->error_no));
        printf(entry->error_no == ETIMEDOUT ? ", after %.2f ms\n" : "\n",
               (double)total_us / 1000);
    } else if (get_be32((const unsigned char *)entry->recv_buffer.data + 8) !=
               (uint32_t)id) {
        printf("failed: the reply comes from server %u\n",
               get_be32((const unsigned char *)entry->recv_buffer.data + 8));
    } else {
        printf("ok, reply %d bytes in %.2f ms\n", entry->recv_buffer.length,
               (double)reply_us / 1000);
        *ok = true;
    }
}

static int run_fanout(KTServerConfig *ctx, const net_options_t *o,
                      const char *message, fanout_target_t *targets,
                      KiteMultiSockEntry *entries)
{
    int count = ctx->sorted_server_arrays.by_id.count;
    KiteMultiSockClient client;
    KiteBuffer request;
    unsigned char header[FRAME_HEADER_SIZE];
    size_t length = strlen(message);
    if (length > FRAME_MAX_REQUEST) {
        fprintf(stderr, "kite-cluster: the message exceeds %d bytes\n",
                FRAME_MAX_REQUEST);
        return KC_EXIT_USAGE;
    }
    frame_header(header, (uint32_t)length, 0);
    kite_buffer_init(&request);
    if (kite_buffer_append_buff(&request, header, FRAME_HEADER_SIZE) != 0 ||
        kite_buffer_append_buff(&request, message, (int)length) != 0 ||
        kite_multi_sock_client_init_ex(&client, entries, count,
                                       FRAME_HEADER_SIZE, fanout_body_length,
                                       monotonic_ms, 0, o->timeout_ms) != 0) {
        kite_buffer_destroy(&request);
        fprintf(stderr, "kite-cluster: cannot set the request up\n");
        return KC_EXIT_FAIL;
    }
    connect_targets(ctx, o, targets, entries);
    g_fanout.start_us = monotonic_ms_x1000();
    kite_multi_sock_client_request(&client, &request);
    int64_t total_us = monotonic_ms_x1000() - g_fanout.start_us;
    int replied = 0;
    for (int i = 0; i < count; i++) {
        bool ok;
        print_fanout_line(ctx->sorted_server_arrays.by_id.servers[i].id,
                          &entries[i], &targets[i], g_fanout.reply_us[i],
                          total_us, &ok);
        replied += ok;
        if (targets[i].conn != NULL) {
            conn_pool_disconnect_server(targets[i].conn);
        }
    }
    printf("fanout: %d servers, %d replied, %d failed, %.2f ms\n", count,
           replied, count - replied, (double)total_us / 1000);
    kite_multi_sock_client_destroy(&client);
    kite_buffer_destroy(&request);
    return replied == count ? KC_EXIT_OK : KC_EXIT_FAIL;
}

int kc_cmd_fanout(const kc_command *cmd, int argc, char **argv)
{
    net_options_t o = {.timeout_ms = 2000};
    const char *pos[2];
    KTServerConfig ctx;
    kc_text text;
    int result = parse_and_load(cmd, argc, argv, &o, pos, 2, &ctx, &text);
    if (result != 0) {
        return result;
    }
    int count = ctx.sorted_server_arrays.by_id.count;
    fanout_target_t *targets = calloc((size_t)count, sizeof(*targets));
    KiteMultiSockEntry *entries = calloc((size_t)count, sizeof(*entries));
    g_fanout.reply_us = calloc((size_t)count, sizeof(int64_t));
    g_fanout.entries = entries;
    if (targets == NULL || entries == NULL || g_fanout.reply_us == NULL) {
        fprintf(stderr, "kite-cluster: out of memory\n");
        result = KC_EXIT_FAIL;
    } else {
        /* The client logs every poll at info level; keep its errors. */
        kt_log_set_level(KT_LOG_WARNING);
        result = run_fanout(&ctx, &o, pos[1], targets, entries);
    }
    free(targets);
    free(entries);
    free(g_fanout.reply_us);
    kc_unload(&ctx, &text);
    return result;
}

/* ---- serve ---- */

typedef struct {
    int fd;
    unsigned char *in; /* request bytes received, not yet answered */
    size_t in_length;
    unsigned char *out; /* reply bytes not yet written */
    size_t out_length;
    size_t out_offset;
} serve_client_t;

typedef struct {
    uint32_t id;
    int *listeners;
    int listener_count;
    serve_client_t *clients;
    int client_count;
} serve_t;

#define SERVE_MAX_CLIENTS 1024

static int listen_on(const ConnectionInfo *conn)
{
    struct sockaddr_storage ss;
    socklen_t len;
    int one = 1;
    memset(&ss, 0, sizeof(ss));
    if (conn->socket_domain == AF_INET6) {
        struct sockaddr_in6 *a = (struct sockaddr_in6 *)&ss;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(conn->port);
        inet_pton(AF_INET6, conn->ip_addr, &a->sin6_addr);
        len = sizeof(*a);
    } else {
        struct sockaddr_in *a = (struct sockaddr_in *)&ss;
        a->sin_family = AF_INET;
        a->sin_port = htons(conn->port);
        inet_pton(AF_INET, conn->ip_addr, &a->sin_addr);
        len = sizeof(*a);
    }
    int fd =
        socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (ss.ss_family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    }
    if (bind(fd, (struct sockaddr *)&ss, len) != 0 || listen(fd, 128) != 0) {
        int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

static bool is_skipped(const ConnectionInfo *conn, const char *skip)
{
    ConnectionInfo s;
    return skip != NULL && conn_pool_parse_server_info(skip, &s, 0) == 0 &&
           strcmp(s.ip_addr, conn->ip_addr) == 0 && s.port == conn->port;
}

/* Opens every listener and prints one line per address; false when one
 * cannot be opened or its line cannot be written. */
static bool open_listeners(serve_t *sv, KTAddressPtrArray *array,
                           const char *skip)
{
    int skipped = 0;
    for (int i = 0; i < array->count; i++) {
        skipped += is_skipped(&array->addrs[i]->conn, skip);
    }
    if (skip != NULL && skipped == 0) {
        fprintf(stderr, "kite-cluster: server %u has no address %s to skip\n",
                sv->id, skip);
        return false;
    }
    sv->listeners = calloc((size_t)array->count + 1, sizeof(int));
    for (int i = 0; sv->listeners != NULL && i < array->count; i++) {
        char addr[ADDRESS_TEXT_SIZE];
        kc_format_address(&array->addrs[i]->conn, addr, sizeof(addr));
        if (is_skipped(&array->addrs[i]->conn, skip)) {
            printf("server %u: skipping %s\n", sv->id, addr);
            continue;
        }
        int fd = listen_on(&array->addrs[i]->conn);
        if (fd < 0) {
            fprintf(stderr,
                    "kite-cluster: server %u: cannot listen on %s: "
                    "%s\n",
                    sv->id, addr, kt_strerror(-fd));
            return false;
        }
        sv->listeners[sv->listener_count++] = fd;
        printf("server %u: listening on %s\n", sv->id, addr);
    }
    if (sv->listeners == NULL || sv->listener_count == 0) {
        fprintf(stderr, "kite-cluster: server %u: no address to listen on\n",
                sv->id);
        return false;
    }
    return kc_flush_output();
}

static void drop_client(serve_t *sv, int index)
{
    serve_client_t *c = &sv->clients[index];
    close(c->fd);
    free(c->in);
    free(c->out);
    sv->clients[index] = sv->clients[--sv->client_count];
}

/* Writes what is pending; false when the connection is to be dropped. */
static bool flush_client(serve_client_t *c)
{
    while (c->out_offset < c->out_length) {
        ssize_t n = send(c->fd, c->out + c->out_offset,
                         c->out_length - c->out_offset, MSG_NOSIGNAL);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        c->out_offset += (size_t)n;
    }
    c->out_length = c->out_offset = 0;
    return true;
}

/* Answers every complete request held; false on a bad frame. */
static bool answer_requests(serve_t *sv, serve_client_t *c)
{
    char prefix[32];
    int prefix_length = snprintf(prefix, sizeof(prefix), "server %u: ", sv->id);
    while (c->in_length >= FRAME_HEADER_SIZE) {
        int body = frame_body_length(c->in, FRAME_MAX_REQUEST);
        if (body < 0) {
            return false;
        }
        size_t need = FRAME_HEADER_SIZE + (size_t)body;
        if (c->in_length < need) {
            return true;
        }
        size_t reply = FRAME_HEADER_SIZE + (size_t)prefix_length + (size_t)body;
        unsigned char *out = realloc(c->out, c->out_length + reply);
        if (out == NULL) {
            return false;
        }
        c->out = out;
        out += c->out_length;
        frame_header(out, (uint32_t)(prefix_length + body), sv->id);
        memcpy(out + FRAME_HEADER_SIZE, prefix, (size_t)prefix_length);
        memcpy(out + FRAME_HEADER_SIZE + prefix_length,
               c->in + FRAME_HEADER_SIZE, (size_t)body);
        c->out_length += reply;
        memmove(c->in, c->in + need, c->in_length - need);
        c->in_length -= need;
    }
    return true;
}

/* Reads what the client sent and answers it; false to drop the client. */
static bool serve_readable(serve_t *sv, serve_client_t *c)
{
    unsigned char buff[65536];
    ssize_t n = recv(c->fd, buff, sizeof(buff), 0);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
    if (n == 0) {
        return false;
    }
    /* No bound needed here: answer_requests refuses a header announcing
     * more than FRAME_MAX_REQUEST, so what stays is less than one frame. */
    unsigned char *in = realloc(c->in, c->in_length + (size_t)n);
    if (in == NULL) {
        return false;
    }
    c->in = in;
    memcpy(c->in + c->in_length, buff, (size_t)n);
    c->in_length += (size_t)n;
    return answer_requests(sv, c) && flush_client(c);
}

static void serve_accept(serve_t *sv, int listener)
{
    int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return; /* EAGAIN, or a connection reset before it was accepted */
    }
    if (sv->client_count == SERVE_MAX_CLIENTS) {
        close(fd);
        return;
    }
    memset(&sv->clients[sv->client_count], 0, sizeof(serve_client_t));
    sv->clients[sv->client_count++].fd = fd;
}

/* The poll loop; returns the signal that ended it. */
static int serve_loop(serve_t *sv, int signal_fd)
{
    struct pollfd *fds = calloc(
        (size_t)(1 + sv->listener_count + SERVE_MAX_CLIENTS), sizeof(*fds));
    if (fds == NULL) {
        return 0;
    }
    for (;;) {
        int n = 0;
        fds[n++] = (struct pollfd){.fd = signal_fd, .events = POLLIN};
        for (int i = 0; i < sv->listener_count; i++) {
            fds[n++] =
                (struct pollfd){.fd = sv->listeners[i], .events = POLLIN};
        }
        for (int i = 0; i < sv->client_count; i++) {
            short events = sv->clients[i].out_length > 0 ? POLLOUT : POLLIN;
            fds[n++] =
                (struct pollfd){.fd = sv->clients[i].fd, .events = events};
        }
        if (poll(fds, (nfds_t)n, -1) < 0 && errno != EINTR) {
            free(fds);
            return 0;
        }
        if (fds[0].revents != 0) {
            struct signalfd_siginfo info;
            int signo =
                read(signal_fd, &info, sizeof(info)) == (ssize_t)sizeof(info)
                    ? (int)info.ssi_signo
                    : SIGTERM;
            free(fds);
            return signo;
        }
        /* Clients first, from the last, so that dropping one (which moves
         * the last client into its place) keeps the indexes valid. */
        for (int i = sv->client_count - 1; i >= 0; i--) {
            short ev = fds[1 + sv->listener_count + i].revents;
            serve_client_t *c = &sv->clients[i];
            bool keep = true;
            if (ev & POLLOUT) {
                keep = flush_client(c) && answer_requests(sv, c) &&
                       flush_client(c);
            } else if (ev & (POLLIN | POLLHUP | POLLERR)) {
                keep = serve_readable(sv, c);
            }
            if (!keep) {
                drop_client(sv, i);
            }
        }
        for (int i = 0; i < sv->listener_count; i++) {
            if (fds[1 + i].revents & POLLIN) {
                serve_accept(sv, sv->listeners[i]);
            }
        }
    }
}

static int make_signal_fd(void)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, NULL) != 0) {
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

int kc_cmd_serve(const kc_command *cmd, int argc, char **argv)
{
    net_options_t o = {.timeout = 0};
    const char *pos[2];
    KTServerConfig ctx;
    kc_text text;
    int id;
    int result = parse_and_load(cmd, argc, argv, &o, pos, 2, &ctx, &text);
    if (result != 0) {
        return result;
    }
    KTServerInfo *server = kc_parse_int(pos[1], 1, 2147483647, &id) == 0
                               ? kt_server_get_by_id(&ctx, id)
                               : NULL;
    serve_t sv = {.id = (uint32_t)id};
    int signal_fd = -1;
    result = KC_EXIT_FAIL;
    if (server == NULL) {
        fprintf(stderr, "kite-cluster: no server with id %s\n", pos[1]);
    } else if ((signal_fd = make_signal_fd()) < 0) {
        fprintf(stderr, "kite-cluster: signalfd: %s\n", kt_strerror(errno));
    } else if (open_listeners(&sv, kc_server_addresses(&ctx, server, o.group),
                              o.skip) &&
               (sv.clients = calloc(SERVE_MAX_CLIENTS,
                                    sizeof(serve_client_t))) != NULL) {
        int signo = serve_loop(&sv, signal_fd);
        printf("server %u: stopped by %s\n", sv.id,
               signo == SIGINT    ? "SIGINT"
               : signo == SIGTERM ? "SIGTERM"
                                  : "a failed poll");
        result = signo != 0 ? KC_EXIT_OK : KC_EXIT_FAIL;
    }
    while (sv.client_count > 0) {
        drop_client(&sv, sv.client_count - 1);
    }
    for (int i = 0; i < sv.listener_count; i++) {
        close(sv.listeners[i]);
    }
    free(sv.listeners);
    free(sv.clients);
    if (signal_fd >= 0) {
        close(signal_fd);
    }
    kc_unload(&ctx, &text);
    return result;
}
