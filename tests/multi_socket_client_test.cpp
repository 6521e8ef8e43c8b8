// The fan-out client over real sockets.  Deterministic cases use
// socketpairs whose peer end holds a reply written before the request, so
// one request runs every step without a thread; the threaded case serves
// loopback TCP with a byte-at-a-time writer while a signal timer interrupts
// the exchange.  Time-outs run on a monotonic millisecond clock.
// kite-test-labels: concurrent
#include "multi_socket_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kt_memory.h"
#include "net_test_util.h"
#include "sockopt.h"
#include "test_util.h"

namespace {

using kite_test::CountOpenFds;
using kite_test::LogCapture;
using kite_test::SocketPair;

constexpr int kHeader = 4;  // big-endian body length

int BodyLength(const KiteBuffer *buffer)
{
    uint32_t n;
    memcpy(&n, buffer->data, sizeof(n));
    return (int)ntohl(n);
}

int64_t MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string Frame(int32_t length, const std::string &body)
{
    uint32_t n = htonl((uint32_t)length);
    return std::string(reinterpret_cast<char *>(&n), sizeof(n)) + body;
}

std::string Reply(const std::string &body)
{
    return Frame((int32_t)body.size(), body);
}

KiteBuffer View(std::string &text)
{
    return KiteBuffer{text.data(), (int32_t)text.size(), (int32_t)text.size()};
}

std::string Received(const KiteMultiSockEntry &entry)
{
    return std::string(entry.recv_buffer.data, entry.recv_buffer.length);
}

// A client over n socketpairs; conn i names 127.0.0.1:1000+i.
struct Fan {
    std::vector<std::unique_ptr<SocketPair>> pairs;
    std::vector<ConnectionInfo> conns;
    std::vector<KiteMultiSockEntry> entries;
    KiteMultiSockClient client;
    int init_result;

    explicit Fan(int n, int timeout_ms = 5000, int init_size = 0)
        : conns(n), entries(n)
    {
        for (int i = 0; i < n; i++) {
            pairs.push_back(std::make_unique<SocketPair>());
            memset(&conns[i], 0, sizeof(conns[i]));
            conns[i].sock = pairs[i]->fds[0];
            conns[i].port = (uint16_t)(1000 + i);
            strcpy(conns[i].ip_addr, "127.0.0.1");
            memset(&entries[i], 0, sizeof(entries[i]));
            entries[i].conn = &conns[i];
        }
        init_result = kite_multi_sock_client_init_ex(
            &client, entries.data(), n, kHeader, BodyLength, MonotonicMs,
            init_size, timeout_ms);
    }
    ~Fan() { kite_multi_sock_client_destroy(&client); }
    int peer(int i) const { return pairs[i]->fds[1]; }
    void Prewrite(int i, const std::string &bytes) const
    {
        ASSERT_TRUE(kite_test::WriteAll(peer(i), bytes.data(), bytes.size()));
    }
    int Request(std::string request)
    {
        KiteBuffer buffer = View(request);
        return kite_multi_sock_client_request(&client, &buffer);
    }
    // What peer i received, expected to be exactly `size` bytes.
    std::string PeerGot(int i, size_t size) const
    {
        std::string got(size, '\0');
        return kite_test::ReadAll(peer(i), got.data(), size, 1000) ? got
                                                                   : "<short>";
    }
    // The poller holds no registration for the socket of entry i.
    bool Detached(int i)
    {
        return ioevent_detach(&client.ioevent, conns[i].sock) == -1 &&
               errno == ENOENT;
    }
};

TEST(MultiSocketClientTest, InitRefusesBadArgumentsAndLeavesClientCleared)
{
    KiteMultiSockEntry entry{};
    struct Case {
        int entry_count;
        int header_length;
        KiteMultiSockEntry *entries;
        kms_client_get_body_length_func body_length;
        kms_client_get_current_time_ms_func clock;
        const char *message;
    } cases[] = {
        {0, 4, &entry, BodyLength, MonotonicMs, "invalid entry_count: 0 <= 0"},
        {-2, 4, &entry, BodyLength, MonotonicMs,
         "invalid entry_count: -2 <= 0"},
        {1, 0, &entry, BodyLength, MonotonicMs,
         "invalid header_length: 0 <= 0"},
        {1, 4, nullptr, BodyLength, MonotonicMs, "must not be null"},
        {1, 4, &entry, nullptr, MonotonicMs, "must not be null"},
        {1, 4, &entry, BodyLength, nullptr, "must not be null"}};
    for (const auto &c : cases) {
        LogCapture log;
        KiteMultiSockClient client;
        memset(&client, 0x5a, sizeof(client));
        EXPECT_EQ(kite_multi_sock_client_init_ex(
                      &client, c.entries, c.entry_count, c.header_length,
                      c.body_length, c.clock, 0, 100),
                  EINVAL);
        EXPECT_TRUE(log.contains(c.message)) << log.last();
        EXPECT_EQ(client.ioevent.poll_fd, -1);
        EXPECT_EQ(client.entry_count, 0);
        EXPECT_EQ(client.entries, nullptr);
        kite_multi_sock_client_destroy(
            &client);  // harmless on a cleared client
        KiteBuffer request{};
        EXPECT_EQ(kite_multi_sock_client_request(&client, &request), ENOENT);
    }
}

TEST(MultiSocketClientTest, InitSizesReceiveBuffers)
{
    struct Case {
        int init_size;
        int header_length;
        int expected;
    } cases[] = {{0, 4, 4096}, {-5, 4, 4096}, {100, 256, 256}, {16, 4, 16}};
    for (const auto &c : cases) {
        KiteMultiSockEntry entries[2] = {};
        KiteMultiSockClient client;
        ASSERT_EQ(kite_multi_sock_client_init(&client, entries, 2,
                                              c.header_length, BodyLength,
                                              c.init_size, 3),
                  0);
        for (const auto &e : entries) {
            EXPECT_EQ(e.recv_buffer.alloc_size, c.expected) << c.init_size;
            EXPECT_EQ(e.recv_buffer.length, 0);
        }
        EXPECT_EQ(client.timeout_ms, 3000);
        EXPECT_EQ(client.get_current_time_ms_func, &kms_get_current_time_ms);
        EXPECT_EQ(client.ioevent.size, 2);
        EXPECT_EQ(client.ioevent.extra_events, 0);
        kite_multi_sock_client_destroy(&client);
        EXPECT_EQ(entries[1].recv_buffer.data, nullptr);
    }
    const int64_t now_ms = kms_get_current_time_ms();
    EXPECT_EQ(now_ms % 1000, 0);
    EXPECT_LE(std::llabs(now_ms / 1000 - (int64_t)time(nullptr)), 1);
}

// Every allocation of init failing in turn: ENOMEM, nothing kept (ASan
// reports a buffer left behind), no descriptor left open.
TEST(MultiSocketClientTest, FailedInitReleasesWhatItSetUp)
{
    const int fds_before = CountOpenFds();
    KiteMultiSockEntry entries[3] = {};
    for (int succeed = 0; succeed < 4; succeed++) {
        KiteMultiSockClient client;
        int result;
        {
            kite_test::FailingAllocator fail(succeed);
            result = kite_multi_sock_client_init(&client, entries, 3, kHeader,
                                                 BodyLength, 0, 1);
        }
        EXPECT_EQ(result, ENOMEM) << succeed;
        EXPECT_EQ(client.ioevent.poll_fd, -1);
        EXPECT_EQ(client.entry_count, 0);
        for (const auto &e : entries) EXPECT_EQ(e.recv_buffer.data, nullptr);
        EXPECT_EQ(CountOpenFds(), fds_before);
    }
    KiteMultiSockClient client;
    {
        kite_test::FailingAllocator fail(4);
        EXPECT_EQ(kite_multi_sock_client_init(&client, entries, 3, kHeader,
                                              BodyLength, 0, 1),
                  0);
    }
    kite_multi_sock_client_destroy(&client);
}

TEST(MultiSocketClientTest, EntriesThatCannotStart)
{
    Fan fan(3, 2000);
    ASSERT_EQ(fan.init_result, 0);
    fan.conns[0].sock = -1;
    fan.conns[2].sock = fan.conns[1].sock;  // attached twice: EEXIST
    fan.Prewrite(1, Reply("ok"));
    LogCapture log;
    EXPECT_EQ(fan.Request("req"), 0);
    EXPECT_EQ(fan.entries[0].error_no, ENOTCONN);
    EXPECT_EQ(fan.entries[1].error_no, 0);
    EXPECT_EQ(fan.entries[2].error_no, EEXIST);
    EXPECT_TRUE(log.contains("NOT connected to 127.0.0.1:1000")) << log.last();
    EXPECT_TRUE(log.contains(
        "ioevent_attach fail, errno: 17, error info: File exists"));

    fan.conns[1].sock = fan.conns[2].sock = -1;
    log.clear();
    EXPECT_EQ(fan.Request("req"), ENOENT);
    for (const auto &e : fan.entries) {
        EXPECT_TRUE(e.done);
        EXPECT_EQ(e.error_no, ENOTCONN);
    }
    EXPECT_FALSE(log.contains("poll count"));
}

TEST(MultiSocketClientTest, RepliesGatheredAndSilentServerTimesOut)
{
    Fan fan(2, 100);
    ASSERT_EQ(fan.init_result, 0);
    fan.Prewrite(0, Reply("hello"));
    LogCapture log;
    EXPECT_EQ(fan.Request("request"), 0);
    EXPECT_EQ(fan.client.success_count, 1);
    EXPECT_EQ(fan.client.pulling_count, 0);
    EXPECT_EQ(fan.entries[0].error_no, 0);
    EXPECT_EQ(Received(fan.entries[0]), Reply("hello"));
    EXPECT_EQ(fan.entries[1].error_no, ETIMEDOUT);
    EXPECT_TRUE(fan.entries[0].done && fan.entries[1].done);
    EXPECT_TRUE(log.contains("recv from 127.0.0.1:1001 timedout"))
        << log.last();
    EXPECT_TRUE(log.contains("pulling_count: 0, success_count: 1"));
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(fan.PeerGot(i, 7), "request");
        EXPECT_TRUE(fan.Detached(i)) << i;
    }

    EXPECT_EQ(fan.Request("again"), ETIMEDOUT);  // nobody answers now
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(fan.entries[i].error_no, ETIMEDOUT);
        EXPECT_EQ(fan.entries[i].recv_buffer.length, 0);
        EXPECT_TRUE(fan.Detached(i));
    }
    EXPECT_EQ(fan.client.success_count, 0);
}

// One entry per way a peer can fail; none reaches the deadline.  The peer
// that stops reading would raise SIGPIPE and kill this test without
// MSG_NOSIGNAL.
TEST(MultiSocketClientTest, PeerFailuresEndTheirEntries)
{
    constexpr int kClose = -1, kKeep = -2;
    struct Case {
        const char *what;
        std::string reply;
        int shut;  // kClose, kKeep, or the shutdown(2) of the peer end
        int expected;
        const char *message;
    } cases[] = {
        {"closed, reply waiting", Reply("unread"), kClose, ECONNRESET,
         "server: 127.0.0.1:1000, recv error event: "},
        {"negative body length", Frame(-1, ""), kKeep, EPIPE,
         "server: 127.0.0.1:1001, body_length: -1 < 0"},
        {"body past 32 bits", Frame(INT32_MAX - 2, "xy"), kKeep, E2BIG,
         "server: 127.0.0.1:1002, body_length: 2147483645 too large"},
        {"stops mid body", Frame(100, "0123456789"), SHUT_WR, ECONNRESET,
         "server: 127.0.0.1:1003, sock: "},
        {"stops reading", "", SHUT_RD, EPIPE,
         "send to server 127.0.0.1:1004 fail, errno: 32, error info: Broken "
         "pipe"},
    };
    const int n = sizeof(cases) / sizeof(cases[0]);
    Fan fan(n, 5000);
    ASSERT_EQ(fan.init_result, 0);
    for (int i = 0; i < n; i++) {
        fan.Prewrite(i, cases[i].reply);
        if (cases[i].shut == kClose) {
            fan.pairs[i]->CloseEnd(1);
        } else if (cases[i].shut != kKeep) {
            ASSERT_EQ(shutdown(fan.peer(i), cases[i].shut), 0);
        }
    }
    LogCapture log;
    EXPECT_EQ(fan.Request(std::string(64, 'r')), ENOENT);
    EXPECT_EQ(fan.client.success_count, 0);
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(fan.entries[i].done);
        EXPECT_EQ(fan.entries[i].error_no, cases[i].expected);
        EXPECT_TRUE(log.contains(cases[i].message)) << log.last();
        EXPECT_TRUE(fan.Detached(i));
    }
    EXPECT_EQ(fan.entries[0].recv_buffer.length, 0);  // nothing read at HUP
    EXPECT_EQ(fan.entries[2].recv_buffer.length, kHeader);
    EXPECT_EQ(fan.entries[2].recv_buffer.alloc_size, 4096);  // no growth tried
    EXPECT_EQ(fan.entries[3].recv_buffer.length, kHeader + 10);
}

TEST(MultiSocketClientTest, HeaderOnlyReplyAndEmptyRequest)
{
    Fan fan(2, 5000);
    ASSERT_EQ(fan.init_result, 0);
    fan.Prewrite(0, Frame(0, "") + "next");
    fan.Prewrite(1, Reply("x"));
    EXPECT_EQ(fan.Request("q"), 0);
    EXPECT_EQ(Received(fan.entries[0]), Frame(0, ""));
    EXPECT_EQ(Received(fan.entries[1]), Reply("x"));
    int unread = -1;  // nothing past a reply is ever read
    ASSERT_EQ(ioctl(fan.conns[0].sock, FIONREAD, &unread), 0);
    EXPECT_EQ(unread, 4);

    EXPECT_EQ(fan.Request(""), 0);  // done at the first writability
    EXPECT_EQ(fan.client.success_count, 2);
    for (const auto &e : fan.entries) EXPECT_EQ(e.recv_buffer.length, 0);
    ASSERT_EQ(ioctl(fan.conns[0].sock, FIONREAD, &unread), 0);
    EXPECT_EQ(unread, 4);
}

std::atomic<int64_t> g_allocations{0};
void *CountingMalloc(size_t size)
{
    g_allocations++;
    return malloc(size);
}
void *CountingRealloc(void *ptr, size_t size)
{
    g_allocations++;
    return realloc(ptr, size);
}

// A body larger than the buffer: it grows to header plus body with the
// header kept at its start; a second request of the same size reuses the
// grown buffer without allocating.
TEST(MultiSocketClientTest,
     LargeBodyGrowsBufferOnceAndWarmRequestsAllocateNothing)
{
    Fan fan(2, 5000, 16);
    ASSERT_EQ(fan.init_result, 0);
    const std::string body = kite_test::RandomBytes(60000);
    const std::string request(100, 'q');
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        for (int i = 0; i < 2; i++) fan.Prewrite(i, Reply(body));
        g_allocations = 0;
        kt_set_allocator(CountingMalloc, CountingRealloc, nullptr);
        int result = fan.Request(request);
        kt_set_allocator(nullptr, nullptr, nullptr);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(fan.client.success_count, 2);
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(Received(fan.entries[i]), Reply(body));
            EXPECT_GE(fan.entries[i].recv_buffer.alloc_size, kHeader + 60000);
            EXPECT_EQ(fan.PeerGot(i, request.size()), request);
        }
        if (round > 0)
            EXPECT_EQ(g_allocations.load(), 0);
        else
            EXPECT_GT(g_allocations.load(), 0);
    }
}

// Loopback TCP servers on 127.0.0.1-.3, connected through the library and
// switched to non-blocking: a 1 MiB request through small socket buffers
// meets EAGAIN (the servers start reading only once the client's socket is
// full), each reply is written one byte at a time, and SIGALRM arrives every
// millisecond throughout.
TEST(MultiSocketClientTest, DribblingServersLargeRequestAndSignals)
{
    constexpr int kServers = 3;
    const std::string request = kite_test::RandomBytes(1 << 20);
    const std::string body = kite_test::RandomBytes(300);
    std::vector<std::unique_ptr<kite_test::LoopbackSocket>> listeners;
    std::vector<ConnectionInfo> conns(kServers);
    for (int i = 0; i < kServers; i++) {
        const std::string ip = "127.0.0." + std::to_string(i + 1);
        listeners.push_back(std::make_unique<kite_test::LoopbackSocket>(ip));
        int small = 4096;  // taken over by the accepted socket
        setsockopt(listeners[i]->fd(), SOL_SOCKET, SO_RCVBUF, &small,
                   sizeof(small));
        ASSERT_EQ(conn_pool_parse_server_info(listeners[i]->address().c_str(),
                                              &conns[i], 0),
                  0);
        ASSERT_EQ(conn_pool_connect_server(&conns[i], 5), 0);
        setsockopt(conns[i].sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        ASSERT_EQ(kt_set_nonblock(conns[i].sock), 0);
    }
    std::vector<std::string> got(kServers);
    std::vector<std::thread> servers;
    for (int i = 0; i < kServers; i++) {
        servers.emplace_back([&, i] {
            int fd = listeners[i]->Accept();
            got[i].resize(request.size());
            // Read nothing until the client's socket is full, so that its
            // send step must meet EAGAIN and wait for writability.
            pollfd full = {conns[i].sock, POLLOUT, 0};
            for (int ms = 0; ms < 10000 && poll(&full, 1, 0) == 1; ms++)
                usleep(1000);
            if (fd >= 0 &&
                kite_test::ReadAll(fd, got[i].data(), request.size())) {
                for (char c : Reply(body)) kite_test::WriteAll(fd, &c, 1);
            }
            if (fd >= 0) close(fd);
        });
    }
    std::vector<KiteMultiSockEntry> entries(kServers);
    for (int i = 0; i < kServers; i++) entries[i].conn = &conns[i];
    KiteMultiSockClient client;
    ASSERT_EQ(kite_multi_sock_client_init_ex(&client, entries.data(), kServers,
                                             kHeader, BodyLength, MonotonicMs,
                                             0, 20000),
              0);
    LogCapture log;
    std::string copy = request;
    KiteBuffer send_buffer = View(copy);
    int result;
    {
        kite_test::SignalTimer timer(1000);
        result = kite_multi_sock_client_request(&client, &send_buffer);
    }
    for (auto &t : servers) t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(client.success_count, kServers);
    for (int i = 0; i < kServers; i++) {
        EXPECT_EQ(entries[i].error_no, 0);
        EXPECT_EQ(Received(entries[i]), Reply(body));
        EXPECT_TRUE(got[i] == request) << i;
        // The send step ran more than once: it stopped at EAGAIN and resumed.
        const std::string writable =
            "sock: " + std::to_string(conns[i].sock) + ", event: 4";
        int sends = 0;
        for (const auto &m : log.messages()) sends += m == writable;
        EXPECT_GT(sends, 1) << i;
        conn_pool_disconnect_server(&conns[i]);
    }
    kite_multi_sock_client_destroy(&client);
}

}  // namespace
