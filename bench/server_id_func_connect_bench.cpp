// Connecting through a server's addresses when the first refuses and the
// second accepts (127.0.0.1 refusing, 127.0.0.2 listening):
//   ServerIdFunc_ConnectFallback: kt_server_make_connection_ex, which uses
//     the bounded connect (non-blocking connect, poll, SO_ERROR, back to
//     blocking) for each address;
//   PosixLoop_ConnectFallback: the floor, a plain loop of socket() and a
//     blocking connect() per address, with no time-out.
// Both close each connection with SO_LINGER 0 (no TIME_WAIT piles up) and
// drain the listener every 64 connections, in the timed loop alike.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "server_id_func.h"

namespace {

struct Bound {
    int fd;
    int port;
    sockaddr_in addr;
    Bound(const char *ip, bool listening)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        addr = sockaddr_in{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &addr.sin_addr);
        socklen_t len = sizeof(addr);
        if (bind(fd, (sockaddr *)&addr, len) != 0 ||
            (listening && listen(fd, 1024) != 0) ||
            getsockname(fd, (sockaddr *)&addr, &len) != 0) {
            abort();
        }
        port = ntohs(addr.sin_port);
    }
    ~Bound() { close(fd); }
    void Drain() const
    {
        for (int c; (c = accept(fd, nullptr, nullptr)) >= 0;) close(c);
    }
};

void CloseNow(int fd)
{
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

struct Setup {
    Bound refusing{"127.0.0.1", false};
    Bound listening{"127.0.0.2", true};
    KTAddressInfo infos[2];
    KTAddressInfo *ptrs[2] = {&infos[0], &infos[1]};
    KTAddressPtrArray array{2, 2, 0, ptrs};
    Setup()
    {
        char text[64];
        snprintf(text, sizeof(text), "127.0.0.1:%d", refusing.port);
        conn_pool_parse_server_info(text, &infos[0].conn, 0);
        snprintf(text, sizeof(text), "127.0.0.2:%d", listening.port);
        conn_pool_parse_server_info(text, &infos[1].conn, 0);
    }
};

void BM_ServerIdFunc_ConnectFallback(benchmark::State &state)
{
    Setup s;
    int n = 0;
    for (auto _ : state) {
        s.array.index = 0;  // the refusing address first, every time
        ConnectionInfo conn;
        if (kt_server_make_connection_ex(&s.array, &conn, 5, nullptr, false) !=
            0) {
            state.SkipWithError("connect failed");
            break;
        }
        CloseNow(conn.sock);
        if (++n % 64 == 0) s.listening.Drain();
    }
}

void BM_PosixLoop_ConnectFallback(benchmark::State &state)
{
    Setup s;
    const sockaddr_in *addrs[2] = {&s.refusing.addr, &s.listening.addr};
    int n = 0;
    for (auto _ : state) {
        int connected = -1;
        for (const sockaddr_in *addr : addrs) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(fd, (const sockaddr *)addr, sizeof(*addr)) == 0) {
                connected = fd;
                break;
            }
            close(fd);
        }
        if (connected < 0) {
            state.SkipWithError("connect failed");
            break;
        }
        CloseNow(connected);
        if (++n % 64 == 0) s.listening.Drain();
    }
}

BENCHMARK(BM_PosixLoop_ConnectFallback);
BENCHMARK(BM_ServerIdFunc_ConnectFallback);

}  // namespace

BENCHMARK_MAIN();
