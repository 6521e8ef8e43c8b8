// Network types: names both ways and the classification of IPv4 and IPv6
// addresses, including the boundaries of every private range.
#include "sockopt.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_util.h"

namespace {

TEST(SockoptTest, NamesAndCaptions)
{
    struct Case {
        const char *name;
        int type;
    } cases[] = {{"outer", 1},      {"inner", 2},      {"inner-10", 6},
                 {"inner-172", 10}, {"inner-192", 18}, {"", 31}};
    for (const auto &c : cases) {
        EXPECT_EQ(kt_get_net_type_by_name(c.name), c.type) << c.name;
        std::string caption = get_net_type_caption(c.type);
        EXPECT_EQ(caption, c.type == 31 ? "any" : c.name);
    }
    for (const char *bad : {"Outer", "any", "inner-11", " outer", "outer "}) {
        EXPECT_EQ(kt_get_net_type_by_name(bad), 0) << bad;
    }
    EXPECT_EQ(kt_get_net_type_by_name(nullptr), 0);
    for (int bad : {0, 3, 4, 30, 32, -1}) {
        EXPECT_STREQ(get_net_type_caption(bad), "UNKOWN") << bad;
    }
}

TEST(SockoptTest, TypesByIp)
{
    struct Case {
        const char *ip;
        int type;
    } cases[] = {
        {"10.0.0.0", 6},
        {"10.255.255.255", 6},
        {"9.255.255.255", 1},
        {"11.0.0.0", 1},
        {"172.16.0.1", 10},
        {"172.31.255.255", 10},
        {"172.15.255.255", 1},
        {"172.32.0.0", 1},
        {"192.168.0.1", 18},
        {"192.168.255.255", 18},
        {"192.169.0.1", 1},
        {"192.167.255.255", 1},
        {"127.0.0.1", 2},
        {"169.254.1.1", 2},
        {"100.64.0.1", 2},
        {"100.127.255.255", 2},
        {"100.128.0.0", 1},
        {"0.0.0.0", 2},
        {"8.8.8.8", 1},
        {"::1", 2},
        {"fd12::1", 2},
        {"fc00::", 2},
        {"fe80::1", 2},
        {"febf::1", 2},
        {"fec0::1", 1},
        {"2001:db8::1", 1},
        {"::ffff:10.1.1.1", 6},
        {"::ffff:8.8.8.8", 1},
        {"::", 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kt_get_net_type_by_ip(c.ip), c.type) << c.ip;
    }
    for (const char *bad : {"", "10.0.0", "host", "10.0.0.1:80", "[::1]"}) {
        EXPECT_EQ(kt_get_net_type_by_ip(bad), 0) << bad;
    }
    EXPECT_EQ(kt_get_net_type_by_ip(nullptr), 0);
}

// The fast dotted-quad parser must accept exactly what inet_pton accepts:
// address texts it lets through become the identity of server addresses.
TEST(SockoptTest, ParseIpv4MatchesInetPton)
{
    const char kChars[] = "0123456789..  x";
    auto &rng = kite_test::Rng();
    for (int i = 0; i < 200000; i++) {
        std::string text;
        int len = 1 + (int)(rng() % 16);
        for (int j = 0; j < len; j++)
            text += kChars[rng() % (sizeof(kChars) - 1)];
        if (i % 2 == 0) {  // well-formed shapes with random octets
            text = std::to_string(rng() % 300) + "." +
                   std::to_string(rng() % 300) + "." +
                   (rng() % 5 ? std::to_string(rng() % 300)
                              : "0" + std::to_string(rng() % 30)) +
                   "." + std::to_string(rng() % 260);
        }
        uint8_t ours[4], theirs[4];
        bool ok = kt_parse_ipv4(text.c_str(), ours);
        ASSERT_EQ(ok, inet_pton(AF_INET, text.c_str(), theirs) == 1) << text;
        if (ok) {
            ASSERT_EQ(memcmp(ours, theirs, 4), 0) << text;
        }
    }
    uint8_t addr[4];
    EXPECT_FALSE(kt_parse_ipv4(nullptr, addr));
}

}  // namespace

namespace {

int g_provider_count = 0;

int ProvideCount(char **, int, char ip_addrs[][KT_IPV4_ADDRESS_SIZE], int,
                 int *count)
{
    snprintf(ip_addrs[0], KT_IPV4_ADDRESS_SIZE, "10.9.8.7");
    *count = g_provider_count;
    return g_provider_count < -5 ? EIO : 0;
}

// The real host's interfaces: only IPv4 addresses, never the loopback
// interface's, and a prefix no interface carries filters out everything.
TEST(SockoptTest, HostAddrs)
{
    char addrs[16][KT_IPV4_ADDRESS_SIZE];
    int count = -1;
    ASSERT_EQ(gethostaddrs(nullptr, 0, addrs, 16, &count), 0);
    ASSERT_GE(count, 0);
    for (int i = 0; i < count; i++) {
        uint8_t addr[4];
        EXPECT_TRUE(kt_parse_ipv4(addrs[i], addr)) << addrs[i];
        EXPECT_STRNE(addrs[i], "127.0.0.1");
    }
    char none[] = "kite-no-such-if";
    char *prefixes[4] = {none, nullptr, nullptr, nullptr};
    EXPECT_EQ(gethostaddrs(prefixes, 1, addrs, 16, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(gethostaddrs(nullptr, 0, addrs, 0, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(gethostaddrs(nullptr, 0, addrs, 16, nullptr), EINVAL);
    EXPECT_EQ(gethostaddrs(nullptr, 1, addrs, 16, &count), EINVAL);
}

// A provider's count is kept within the caller's array; its failure gives
// no address.
TEST(SockoptTest, HostAddrsProvider)
{
    ASSERT_EQ(kt_set_hostaddrs_provider(ProvideCount), nullptr);
    char addrs[4][KT_IPV4_ADDRESS_SIZE];
    struct Case {
        int provided, result, count;
    } cases[] = {{1, 0, 1}, {9, 0, 4}, {-1, 0, 0}, {-9, EIO, 0}};
    for (const auto &c : cases) {
        g_provider_count = c.provided;
        int count = -1;
        EXPECT_EQ(gethostaddrs(nullptr, 0, addrs, 4, &count), c.result);
        EXPECT_EQ(count, c.count) << c.provided;
    }
    EXPECT_STREQ(addrs[0], "10.9.8.7");
    EXPECT_EQ(kt_set_hostaddrs_provider(nullptr), ProvideCount);
}

}  // namespace
