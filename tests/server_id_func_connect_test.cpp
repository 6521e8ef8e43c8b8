// Reaching a server through whichever of its addresses answers, over real
// loopback sockets on 127.0.0.1, .2 and .3: the index that remembers the
// working address, adoption of a connection made through another array
// sharing the records, connections in the caller's record, and the address
// picked for a peer's network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net_test_util.h"
#include "server_id_func.h"
#include "sockopt.h"
#include "test_util.h"

namespace {

using kite_test::CountOpenFds;
using kite_test::LoopbackSocket;

// Address records (owned here) and an array over them, like a server's
// uniq_addresses; More() gives a second array over the same records.
struct Addresses {
    std::vector<std::unique_ptr<KTAddressInfo>> records;
    std::vector<KTAddressInfo *> ptrs;
    KTAddressPtrArray array{};

    explicit Addresses(const std::vector<std::string> &hosts)
    {
        for (const auto &host : hosts) {
            auto info = std::make_unique<KTAddressInfo>();
            EXPECT_EQ(conn_pool_parse_server_info(host.c_str(), &info->conn, 0),
                      0)
                << host;
            info->net_type = kt_get_net_type_by_ip(info->conn.ip_addr);
            ptrs.push_back(info.get());
            records.push_back(std::move(info));
        }
        array = View(ptrs);
    }
    ~Addresses()
    {
        for (auto &r : records) conn_pool_disconnect_server(&r->conn);
    }
    static KTAddressPtrArray View(std::vector<KTAddressInfo *> &ptrs)
    {
        return KTAddressPtrArray{(int)ptrs.size(), (int)ptrs.size(), 0,
                                 ptrs.data()};
    }
    int sock(int i) const { return records[i]->conn.sock; }
};

// Servers on 127.0.0.2 and .3 and a refusing port on 127.0.0.1.
struct ThreeHosts {
    LoopbackSocket refusing{"127.0.0.1", -1};
    LoopbackSocket second{"127.0.0.2"};
    LoopbackSocket third{"127.0.0.3"};
    std::vector<std::string> hosts() const
    {
        return {refusing.address(), second.address(), third.address()};
    }
};

TEST(ServerIdFuncTest, CheckConnectFallsBackAndKeepsTheConnection)
{
    ThreeHosts net;
    Addresses a(net.hosts());
    int err_no = -1;
    ConnectionInfo *conn =
        kt_server_check_connect_ex(&a.array, 5, nullptr, false, &err_no);
    ASSERT_EQ(conn, &a.records[1]->conn);
    EXPECT_EQ(err_no, 0);
    EXPECT_EQ(a.array.index, 1);
    EXPECT_GE(a.sock(1), 0);
    EXPECT_EQ(a.sock(0), -1);

    err_no = 1234;  // the kept connection is returned without writing err_no
    EXPECT_EQ(kt_server_check_connect_ex(&a.array, 5, nullptr, false, &err_no),
              conn);
    EXPECT_EQ(err_no, 1234);
    EXPECT_EQ(net.second.DrainPending(), 1);

    kt_server_disconnect(&a.array);
    EXPECT_EQ(a.sock(1), -1);
    conn = kt_server_check_connect_ex(&a.array, 5, nullptr, false, &err_no);
    EXPECT_EQ(conn, &a.records[1]->conn);  // index first, not position 0
    EXPECT_EQ(err_no, 0);
    EXPECT_EQ(net.second.DrainPending(), 1);
    EXPECT_EQ(net.third.DrainPending(), 0);
}

TEST(ServerIdFuncTest, AllAddressesFailingLeaksNothing)
{
    LoopbackSocket r1("127.0.0.1", -1), r2("127.0.0.2", -1),
        r3("127.0.0.3", -1);
    Addresses a({r1.address(), r2.address(), r3.address()});
    a.array.index = 2;
    const int fds_before = CountOpenFds();
    for (int round = 0; round < 20; round++) {
        int err_no = 0;
        EXPECT_EQ(
            kt_server_check_connect_ex(&a.array, 5, nullptr, false, &err_no),
            nullptr);
        EXPECT_EQ(err_no, ECONNREFUSED);
        ConnectionInfo mine;
        EXPECT_EQ(
            kt_server_make_connection_ex(&a.array, &mine, 5, nullptr, false),
            ECONNREFUSED);
        EXPECT_EQ(mine.sock, -1);
    }
    EXPECT_EQ(a.array.index, 2);
    EXPECT_EQ(CountOpenFds(), fds_before);
}

// Records are shared between a server's arrays: one connected through the
// first array is adopted by the second, not connected again.
TEST(ServerIdFuncTest, CheckConnectAdoptsConnectionOfSharedRecord)
{
    ThreeHosts net;
    Addresses a(net.hosts());
    std::vector<KTAddressInfo *> group_ptrs = {a.ptrs[0], a.ptrs[2]};
    KTAddressPtrArray group = Addresses::View(group_ptrs);

    a.array.index = 2;
    int err_no = -1;
    ConnectionInfo *conn =
        kt_server_check_connect_ex(&a.array, 5, nullptr, false, &err_no);
    ASSERT_EQ(conn, &a.records[2]->conn);
    const int sock = conn->sock;
    EXPECT_EQ(net.third.DrainPending(), 1);

    err_no = -1;
    EXPECT_EQ(kt_server_check_connect_ex(&group, 5, nullptr, false, &err_no),
              conn);
    EXPECT_EQ(err_no, 0);
    EXPECT_EQ(group.index, 1);
    EXPECT_EQ(conn->sock, sock);
    EXPECT_EQ(net.third.DrainPending(), 0);  // no second connection
    EXPECT_EQ(fcntl(sock, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);  // still open
}

TEST(ServerIdFuncTest, IndexOutsideTheArrayIsTakenAsZero)
{
    LoopbackSocket server("127.0.0.2");
    Addresses a({server.address(), "127.0.0.3:1"});
    for (int index : {-1, 2, 1 << 30}) {
        SCOPED_TRACE(index);
        a.array.index = index;
        int err_no = -1;
        EXPECT_EQ(
            kt_server_check_connect_ex(&a.array, 5, nullptr, false, &err_no),
            &a.records[0]->conn);
        EXPECT_EQ(a.array.index, 0);
        a.array.index = index;
        kt_server_disconnect(&a.array);
        EXPECT_EQ(a.sock(0), -1);
        a.array.index = index;
        ConnectionInfo mine;
        EXPECT_EQ(
            kt_server_make_connection_ex(&a.array, &mine, 5, nullptr, false),
            0);
        close(mine.sock);
        EXPECT_EQ(server.DrainPending(), 2);
    }
}

TEST(ServerIdFuncTest, MakeConnectionFillsCallerRecordsOnly)
{
    ThreeHosts net;
    Addresses a(net.hosts());
    struct {
        ConnectionInfo conn;
        char args[8];
    } first, second;
    memcpy(first.args, "callers", 8);
    ASSERT_EQ(kt_server_make_connection_ex(&a.array, &first.conn, 5,
                                           "127.0.0.2", false),
              0);
    ASSERT_EQ(kt_server_make_connection(&a.array, &second.conn, 5), 0);
    EXPECT_NE(first.conn.sock, second.conn.sock);
    EXPECT_STREQ(first.conn.ip_addr, "127.0.0.2");
    EXPECT_EQ(first.conn.port, net.second.port());
    EXPECT_STREQ(first.args, "callers");
    EXPECT_EQ(a.array.index, 1);
    for (int i = 0; i < 3; i++) EXPECT_EQ(a.sock(i), -1);
    EXPECT_EQ(net.second.DrainPending(), 2);
    close(first.conn.sock);
    close(second.conn.sock);

    LoopbackSocket refusing("127.0.0.1", -1);
    Addresses one({refusing.address()});
    ConnectionInfo mine;
    EXPECT_EQ(
        kt_server_make_connection_ex(&one.array, &mine, 5, nullptr, false),
        ECONNREFUSED);
}

TEST(ServerIdFuncTest, EmptyArrays)
{
    KTAddressPtrArray empty{};
    int err_no = 0;
    EXPECT_EQ(kt_server_check_connect_ex(&empty, 1, nullptr, false, &err_no),
              nullptr);
    EXPECT_EQ(err_no, ENOENT);
    ConnectionInfo mine;
    EXPECT_EQ(kt_server_make_connection_ex(&empty, &mine, 1, nullptr, false),
              ENOENT);
    kt_server_disconnect(&empty);
    EXPECT_EQ(kt_server_get_address_by_peer(&empty, "10.0.0.1"), nullptr);
}

TEST(ServerIdFuncTest, AddressByPeerNetwork)
{
    Addresses a({"10.0.0.1:5000", "203.0.113.1:5000", "192.168.1.1:5000"});
    struct Case {
        const char *peer;
        int expected;
    } cases[] = {{"198.51.100.7", 1}, {"10.9.9.9", 0},  {"192.168.7.7", 2},
                 {"172.16.0.1", 0},   {"not-an-ip", 0}, {"127.0.0.1", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(kt_server_get_address_by_peer(&a.array, c.peer),
                  a.ptrs[c.expected])
            << c.peer;
    }
    Addresses one({"10.0.0.1:5000"});
    EXPECT_EQ(kt_server_get_address_by_peer(&one.array, "203.0.113.9"),
              one.ptrs[0]);
}

}  // namespace
