// Connecting a ConnectionInfo over real loopback sockets: IPv4 and IPv6,
// refused ports, a connect that times out against a full backlog while a
// signal timer keeps interrupting it, binding to a local address seen from
// the accepting side, and no descriptor left behind by any failure.  Also
// kt_set_nonblock, the helper callers of the fan-out client need.
#include "connection_pool.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "net_test_util.h"
#include "sockopt.h"
#include "test_util.h"

namespace {

using kite_test::CountOpenFds;
using kite_test::LoopbackSocket;

ConnectionInfo MakeConn(const std::string &ip, int port)
{
    ConnectionInfo conn;
    memset(&conn, 0, sizeof(conn));
    conn.sock = -1;
    conn.port = (uint16_t)port;
    snprintf(conn.ip_addr, sizeof(conn.ip_addr), "%s", ip.c_str());
    return conn;
}

// Connects to the listener and checks what the accepting side sees.
void ExpectConnected(const LoopbackSocket &listener, const char *bind_ip,
                     const std::string &expected_peer, int family)
{
    ConnectionInfo conn = MakeConn(listener.ip(), listener.port());
    ASSERT_EQ(conn_pool_connect_server_ex(&conn, 5, bind_ip, true), 0);
    ASSERT_GE(conn.sock, 0);
    EXPECT_EQ(conn.socket_domain, family);
    EXPECT_EQ(fcntl(conn.sock, F_GETFL) & O_NONBLOCK, 0)
        << "handed back blocking";
    EXPECT_NE(fcntl(conn.sock, F_GETFD) & FD_CLOEXEC, 0);
    sockaddr_storage peer;
    int accepted = listener.Accept(5000, &peer);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(kite_test::AddrIp(peer), expected_peer);
    ASSERT_EQ(write(conn.sock, "ping", 4), 4);
    char buf[4];
    EXPECT_TRUE(kite_test::ReadAll(accepted, buf, 4));
    close(accepted);
    conn_pool_disconnect_server(&conn);
    EXPECT_EQ(conn.sock, -1);
    conn_pool_disconnect_server(&conn);  // nothing held: nothing happens
    EXPECT_EQ(conn.sock, -1);
}

TEST(ConnectionPoolTest, ConnectsBlockingCloseOnExecSockets)
{
    LoopbackSocket v4("127.0.0.1");
    ASSERT_TRUE(v4.ok());
    ExpectConnected(v4, nullptr, "127.0.0.1", AF_INET);
    ExpectConnected(v4, "", "127.0.0.1", AF_INET);  // empty: no bind
    ExpectConnected(v4, "127.0.0.2", "127.0.0.2", AF_INET);
    if (!kite_test::HasIpv6Loopback()) {
        GTEST_SKIP() << "no ::1 on this host";
    }
    LoopbackSocket v6("::1");
    ASSERT_TRUE(v6.ok());
    ExpectConnected(v6, nullptr, "::1", AF_INET6);
    ExpectConnected(v6, "::1", "::1", AF_INET6);
}

// Every failure leaves sock -1, closes what it opened, and logs exactly
// when asked to.
TEST(ConnectionPoolTest, FailuresLeaveNoDescriptorAndLogOnlyWhenAsked)
{
    LoopbackSocket refusing("127.0.0.1", -1);
    LoopbackSocket listening("127.0.0.1");
    ASSERT_TRUE(refusing.ok() && listening.ok());
    struct Case {
        std::string ip;
        int port;
        const char *bind_ip;
        int expected;
        const char *message;
    } cases[] = {
        {"127.0.0.1", refusing.port(), nullptr, ECONNREFUSED,
         "connect to server 127.0.0.1:"},
        {"127.0.0.1", listening.port(), "192.0.2.1", EADDRNOTAVAIL,
         "bind to server 127.0.0.1:"},
        {"127.0.0.1", listening.port(), "::1", EINVAL,
         "invalid bind address ::1"},
        {"127.0.0.1", listening.port(), "nohost", EINVAL,
         "invalid bind address nohost"},
        {"127.0.0.1", 0, nullptr, EINVAL, "invalid server address 127.0.0.1:0"},
        {"localhost", listening.port(), nullptr, EINVAL,
         "invalid server address localhost:"},
    };
    const int fds_before = CountOpenFds();
    for (const auto &c : cases) {
        for (bool log_error : {false, true}) {
            SCOPED_TRACE(c.message);
            kite_test::LogCapture log;
            for (int round = 0; round < 20; round++) {
                ConnectionInfo conn = MakeConn(c.ip, c.port);
                EXPECT_EQ(
                    conn_pool_connect_server_ex(&conn, 2, c.bind_ip, log_error),
                    c.expected);
                EXPECT_EQ(conn.sock, -1);
            }
            EXPECT_EQ(log.size(), log_error ? 20u : 0u);
            EXPECT_EQ(log.contains(c.message), log_error) << log.last();
        }
    }
    EXPECT_EQ(CountOpenFds(), fds_before);
    EXPECT_EQ(listening.DrainPending(), 0);
}

// A record that holds a socket is closed before the new connect: the first
// peer sees end of file.
TEST(ConnectionPoolTest, ReconnectClosesTheHeldSocket)
{
    LoopbackSocket listener("127.0.0.1");
    ConnectionInfo conn = MakeConn("127.0.0.1", listener.port());
    ASSERT_EQ(conn_pool_connect_server(&conn, 5), 0);
    int first = listener.Accept();
    ASSERT_GE(first, 0);
    const int fds_before = CountOpenFds();
    ASSERT_EQ(conn_pool_connect_server(&conn, 5), 0);
    EXPECT_EQ(CountOpenFds(), fds_before);
    char c;
    EXPECT_EQ(read(first, &c, 1), 0);
    close(first);
    int second = listener.Accept();
    EXPECT_GE(second, 0);
    close(second);
    conn_pool_disconnect_server(&conn);
}

// A full accept queue drops the SYN: the connect must end at its time-out,
// and signals arriving every few milliseconds must not end it early.
TEST(ConnectionPoolTest, TimeoutHoldsAcrossSignals)
{
    kite_test::FullBacklogListener listener;
    if (!listener.ok()) {
        GTEST_SKIP() << "could not fill a listen backlog on this host";
    }
    const int fds_before = CountOpenFds();
    kite_test::LogCapture log;
    ConnectionInfo conn = MakeConn("127.0.0.1", listener.port());
    int result;
    {
        kite_test::SignalTimer timer(20000);
        result = conn_pool_connect_server_ex(&conn, 1, nullptr, true);
    }
    EXPECT_EQ(result, ETIMEDOUT);
    EXPECT_EQ(conn.sock, -1);
    EXPECT_GT(kite_test::SignalTimer::ticks(), 0);
    EXPECT_EQ(CountOpenFds(), fds_before);
    EXPECT_TRUE(log.contains("errno: 110")) << log.last();
}

TEST(ConnectionPoolTest, SetNonblockKeepsOtherFlags)
{
    kite_test::SocketPair pair(false);
    ASSERT_EQ(fcntl(pair.fds[0], F_SETFL, O_APPEND), 0);
    for (int round = 0; round < 2; round++) {  // the second finds it set
        ASSERT_EQ(kt_set_nonblock(pair.fds[0]), 0);
        const int flags = fcntl(pair.fds[0], F_GETFL);
        EXPECT_NE(flags & O_NONBLOCK, 0);
        EXPECT_NE(flags & O_APPEND, 0);
    }
    char c;
    EXPECT_EQ(read(pair.fds[0], &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(kt_set_nonblock(-1), EBADF);
}

}  // namespace
