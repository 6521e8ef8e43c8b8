// One fan-out: a 64-byte request to N loopback servers and a framed reply
// from each (a 16-byte header whose first 4 bytes give the body length,
// then the body), gathered within one deadline.  The servers run in a
// forked child process, one thread per connection, and answer each request
// with the body size that the request's first 4 bytes ask for.  Each of the
// N connections goes to its own listener (server).  Cases:
//   MultiSockClient: kite_multi_sock_client_request over non-blocking
//     sockets connected with conn_pool_connect_server_ex;
//   Uv: the same exchange written on libuv, on its own connections to the
//     same servers: uv_tcp_t, uv_write, uv_read_start, and a uv_timer for the
//     deadline.
// Arguments: servers (8, 32) and body bytes (1 KiB, 64 KiB).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "connection_pool.h"
#include "logger.h"
#include "multi_socket_client.h"
#include "sockopt.h"

#if defined(KITE_BENCH_HAVE_UV) && __has_include(<uv.h>)
#include <uv.h>
#define KITE_BENCH_UV 1
#endif

namespace {

constexpr int kHeader = 16;
constexpr int kRequest = 64;
constexpr int kDeadlineMs = 5000;

bool ReadFull(int fd, char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

bool WriteFull(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= (size_t)r;
    }
    return true;
}

void ServeConnection(int fd)
{
    std::vector<char> reply;
    char request[kRequest];
    while (ReadFull(fd, request, kRequest)) {
        uint32_t body;
        memcpy(&body, request, 4);
        body = ntohl(body);
        reply.assign(kHeader + body, 'b');
        uint32_t net = htonl(body);
        memcpy(reply.data(), &net, 4);
        if (!WriteFull(fd, reply.data(), reply.size())) break;
    }
    close(fd);
}

constexpr int kMaxServers = 32;

// The child process: each listener accepts in its own thread, and each
// connection is served by a thread of its own.
[[noreturn]] void RunServers(const std::vector<int> &listeners)
{
    for (size_t i = 1; i < listeners.size(); i++) {
        std::thread([fd = listeners[i]] {
            for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;) {
                std::thread(ServeConnection, c).detach();
            }
        }).detach();
    }
    for (int c; (c = accept(listeners[0], nullptr, nullptr)) >= 0;) {
        std::thread(ServeConnection, c).detach();
    }
    _exit(0);
}

// kMaxServers listeners on 127.0.0.1, served by a forked child process.
struct ServerProcess {
    pid_t pid = -1;
    std::vector<int> ports;
    ServerProcess()
    {
        std::vector<int> listeners;
        for (int i = 0; i < kMaxServers; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t len = sizeof(addr);
            if (bind(fd, (sockaddr *)&addr, len) != 0 || listen(fd, 64) != 0 ||
                getsockname(fd, (sockaddr *)&addr, &len) != 0) {
                abort();
            }
            listeners.push_back(fd);
            ports.push_back(ntohs(addr.sin_port));
        }
        pid = fork();
        if (pid == 0) RunServers(listeners);
        for (int fd : listeners) close(fd);
    }
    ~ServerProcess()
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

ServerProcess &Servers()
{
    static ServerProcess servers;  // forked before any benchmark thread
    return servers;
}

std::vector<ConnectionInfo> Connect(int count)
{
    std::vector<ConnectionInfo> conns(count);
    for (int i = 0; i < count; i++) {
        ConnectionInfo &conn = conns[i];
        if (conn_pool_parse_server_info("127.0.0.1", &conn,
                                        Servers().ports[i]) != 0 ||
            conn_pool_connect_server(&conn, 5) != 0 ||
            kt_set_nonblock(conn.sock) != 0) {
            abort();
        }
    }
    return conns;
}

std::vector<char> MakeRequest(int body)
{
    std::vector<char> request(kRequest, 'q');
    uint32_t net = htonl((uint32_t)body);
    memcpy(request.data(), &net, 4);
    return request;
}

int BodyLength(const KiteBuffer *buffer)
{
    uint32_t n;
    memcpy(&n, buffer->data, 4);
    return (int)ntohl(n);
}

int64_t MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void BM_MultiSockClient_FanOut(benchmark::State &state)
{
    const int servers = (int)state.range(0), body = (int)state.range(1);
    kt_log_set_level(KT_LOG_WARNING);
    std::vector<ConnectionInfo> conns = Connect(servers);
    std::vector<KiteMultiSockEntry> entries(servers);
    for (int i = 0; i < servers; i++) entries[i].conn = &conns[i];
    KiteMultiSockClient client;
    if (kite_multi_sock_client_init_ex(&client, entries.data(), servers,
                                       kHeader, BodyLength, MonotonicMs, 0,
                                       kDeadlineMs) != 0) {
        abort();
    }
    std::vector<char> request = MakeRequest(body);
    KiteBuffer send_buffer{request.data(), kRequest, kRequest};
    for (auto _ : state) {
        if (kite_multi_sock_client_request(&client, &send_buffer) != 0 ||
            client.success_count != servers) {
            state.SkipWithError("fan-out failed");
            break;
        }
    }
    kite_multi_sock_client_destroy(&client);
    for (auto &conn : conns) conn_pool_disconnect_server(&conn);
    state.SetItemsProcessed(state.iterations() * servers);
}

#ifdef KITE_BENCH_UV
struct UvConn;

struct UvFanOut {
    uv_loop_t loop;
    uv_timer_t timer;
    std::vector<UvConn> *conns;
    int pending = 0;
    bool timed_out = false;
};

struct UvConn {
    uv_tcp_t tcp;
    uv_write_t write;
    UvFanOut *fan;
    std::vector<char> buffer;
    size_t length = 0;
    size_t expected = 0;
    bool done = false;
};

void UvFinish(UvConn *c)
{
    c->done = true;
    uv_read_stop(reinterpret_cast<uv_stream_t *>(&c->tcp));
    if (--c->fan->pending == 0) uv_timer_stop(&c->fan->timer);
}

void UvAlloc(uv_handle_t *handle, size_t, uv_buf_t *buf)
{
    auto *c = static_cast<UvConn *>(handle->data);
    size_t want = c->expected != 0 ? c->expected : kHeader;
    if (c->buffer.size() < want) c->buffer.resize(want);
    *buf =
        uv_buf_init(c->buffer.data() + c->length, (unsigned)(want - c->length));
}

void UvRead(uv_stream_t *stream, ssize_t n, const uv_buf_t *)
{
    auto *c = static_cast<UvConn *>(stream->data);
    if (n < 0) {
        UvFinish(c);
        return;
    }
    c->length += (size_t)n;
    if (c->expected == 0 && c->length >= kHeader) {
        KiteBuffer header{c->buffer.data(), kHeader, kHeader};
        c->expected = kHeader + (size_t)BodyLength(&header);
    }
    if (c->expected != 0 && c->length == c->expected) UvFinish(c);
}

void UvWritten(uv_write_t *req, int status)
{
    auto *c = static_cast<UvConn *>(req->data);
    if (status != 0) {
        UvFinish(c);
        return;
    }
    uv_read_start(reinterpret_cast<uv_stream_t *>(&c->tcp), UvAlloc, UvRead);
}

void UvTimeout(uv_timer_t *timer)
{
    auto *fan = static_cast<UvFanOut *>(timer->data);
    fan->timed_out = true;
    for (auto &c : *fan->conns) {
        if (!c.done) UvFinish(&c);
    }
}

void BM_Uv_FanOut(benchmark::State &state)
{
    const int servers = (int)state.range(0), body = (int)state.range(1);
    std::vector<ConnectionInfo> sockets = Connect(servers);
    UvFanOut fan;
    std::vector<UvConn> conns(servers);
    fan.conns = &conns;
    uv_loop_init(&fan.loop);
    uv_timer_init(&fan.loop, &fan.timer);
    fan.timer.data = &fan;
    for (int i = 0; i < servers; i++) {
        conns[i].fan = &fan;
        uv_tcp_init(&fan.loop, &conns[i].tcp);
        uv_tcp_open(&conns[i].tcp, sockets[i].sock);
        conns[i].tcp.data = &conns[i];
        conns[i].write.data = &conns[i];
    }
    std::vector<char> request = MakeRequest(body);
    uv_buf_t buf = uv_buf_init(request.data(), kRequest);
    for (auto _ : state) {
        fan.pending = servers;
        for (auto &c : conns) {
            c.length = c.expected = 0;
            c.done = false;
            uv_write(&c.write, reinterpret_cast<uv_stream_t *>(&c.tcp), &buf, 1,
                     UvWritten);
        }
        uv_timer_start(&fan.timer, UvTimeout, kDeadlineMs, 0);
        uv_run(&fan.loop, UV_RUN_DEFAULT);
        if (fan.timed_out) {
            state.SkipWithError("fan-out timed out");
            break;
        }
    }
    for (auto &c : conns)
        uv_close(reinterpret_cast<uv_handle_t *>(&c.tcp), nullptr);
    uv_close(reinterpret_cast<uv_handle_t *>(&fan.timer), nullptr);
    uv_run(&fan.loop, UV_RUN_DEFAULT);
    uv_loop_close(&fan.loop);  // the handles closed the sockets
    state.SetItemsProcessed(state.iterations() * servers);
}
BENCHMARK(BM_Uv_FanOut)->ArgsProduct({{8, 32}, {1024, 65536}})->UseRealTime();
#endif

BENCHMARK(BM_MultiSockClient_FanOut)
    ->ArgsProduct({{8, 32}, {1024, 65536}})
    ->UseRealTime();

}  // namespace

int main(int argc, char **argv)
{
    Servers();  // fork while the process has one thread
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
