// Address text parsing: every accepted form with the fields it sets, and
// every refusal (bad host, bad port, trailing text, empty host).
#include "connection_pool.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

namespace {

TEST(ConnectionPoolTest, AcceptedForms)
{
    struct Case {
        const char *text;
        int default_port;
        const char *ip;
        int port;
        int domain;
    } cases[] = {
        {"10.0.0.1", 0, "10.0.0.1", 0, AF_INET},
        {"10.0.0.1", 80, "10.0.0.1", 80, AF_INET},
        {"10.0.0.1:8080", 80, "10.0.0.1", 8080, AF_INET},
        {"255.255.255.255:65535", 0, "255.255.255.255", 65535, AF_INET},
        {"[::1]", 7, "::1", 7, AF_INET6},
        {"[fe80::1:2]:443", 7, "fe80::1:2", 443, AF_INET6},
        {"fd00::1", 9, "fd00::1", 9, AF_INET6},
        {"::ffff:10.1.2.3", 0, "::ffff:10.1.2.3", 0, AF_INET6},
        {"[ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255]:1", 0,
         "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", 1, AF_INET6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ConnectionInfo conn;
        memset(&conn, 0x5a, sizeof(conn));
        ASSERT_EQ(conn_pool_parse_server_info(c.text, &conn, c.default_port),
                  0);
        EXPECT_STREQ(conn.ip_addr, c.ip);
        EXPECT_EQ(conn.port, c.port);
        EXPECT_EQ(conn.socket_domain, c.domain);
        EXPECT_EQ(conn.sock, -1);
        EXPECT_FALSE(conn.validate_flag);
    }
}

TEST(ConnectionPoolTest, RefusedForms)
{
    const char *cases[] = {
        "",
        ":80",
        "[]",
        "[]:80",
        "10.0.0.1:",
        "10.0.0.1:0",
        "10.0.0.1:65536",
        "10.0.0.1:99999999999",
        "10.0.0.1:+80",
        "10.0.0.1:-1",
        "10.0.0.1:80x",
        "10.0.0.1:8 0",
        "10.0.0.1 ",
        " 10.0.0.1",
        "10.0.0.1x",
        "10.0.0.256",
        "10.0.0",
        "example.com",
        "example.com:80",
        "[::1",
        "[::1]80",
        "[::1]:",
        "[::1]:0",
        "[10.0.0.1]:80",
        "::1:xyz",
        "[::1]:80:80",
        "1:2:3:4:5:6:7:8:9",
    };
    for (const char *text : cases) {
        SCOPED_TRACE(text);
        ConnectionInfo conn;
        EXPECT_EQ(conn_pool_parse_server_info(text, &conn, 0), EINVAL);
    }
    ConnectionInfo conn;
    EXPECT_EQ(conn_pool_parse_server_info(nullptr, &conn, 0), EINVAL);
    EXPECT_EQ(conn_pool_parse_server_info("10.0.0.1", &conn, 65536), EINVAL);
    EXPECT_EQ(conn_pool_parse_server_info("10.0.0.1", &conn, -1), EINVAL);
    std::string too_long = "[" + std::string(46, 'f') + "]";
    EXPECT_EQ(conn_pool_parse_server_info(too_long.c_str(), &conn, 0), EINVAL);
}

}  // namespace
