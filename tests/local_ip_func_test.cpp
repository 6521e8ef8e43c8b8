// Local IP table: insert results, load order and walks, alias prefixes, the
// text form, log line and printout, all on addresses supplied through the
// gethostaddrs provider; one look at the real host; and first look-ups that
// race to fill the table.  The table is process-wide, so each test runs in a
// forked child that starts from an empty table.
// kite-test-labels: concurrent
#include "local_ip_func.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"
#include "test_util.h"

namespace {

using kite_test::LogCapture;

// What the provider hands out and what it was asked for.
struct Provider {
    std::vector<std::string> addrs;
    int result = 0;
    int delay_ms = 0;
    std::atomic<int> calls{0};
    int prefix_count = -1;
    std::vector<std::string> prefixes;  // all 4 slots, "(null)" for null
};
Provider g_provider;

int ProvideAddrs(char **prefixes, int prefix_count,
                 char ip_addrs[][KT_IPV4_ADDRESS_SIZE], int max_count,
                 int *count)
{
    g_provider.calls++;
    if (g_provider.delay_ms > 0) {
        const timespec pause = {0, g_provider.delay_ms * 1000L * 1000L};
        nanosleep(&pause, nullptr);
    }
    g_provider.prefix_count = prefix_count;
    g_provider.prefixes.clear();
    for (int i = 0; i < KT_MAX_IF_ALIAS_PREFIX_COUNT; i++) {
        g_provider.prefixes.push_back(prefixes[i] ? prefixes[i] : "(null)");
    }
    *count = 0;
    for (const auto &a : g_provider.addrs) {
        if (*count == max_count) break;
        snprintf(ip_addrs[(*count)++], KT_IPV4_ADDRESS_SIZE, "%s", a.c_str());
    }
    return g_provider.result;
}

// Runs body in a child whose table is empty and whose host addresses are
// addrs (or the real ones when real_host is set).
void InFreshTable(const std::vector<std::string> &addrs,
                  const std::function<void()> &body, bool real_host = false)
{
    int status = kite_test::RunInChild([&] {
        g_local_host_ip_count = 0;
        memset(g_local_host_ip_addrs, 0, sizeof(g_local_host_ip_addrs));
        memset(g_if_alias_prefix, 0, sizeof(g_if_alias_prefix));
        g_provider.addrs = addrs;
        kt_set_hostaddrs_provider(real_host ? nullptr : ProvideAddrs);
        body();
    });
    EXPECT_EQ(status, 0);
}

std::vector<std::string> Table()
{
    std::vector<std::string> table;
    for (int i = 0; i < g_local_host_ip_count; i++) {
        table.push_back(g_local_host_ip_addrs + i * KT_IPV4_ADDRESS_SIZE);
    }
    return table;
}

std::string Str(const char *s)
{
    return s ? s : "(null)";
}

std::vector<std::string> Addresses(int n, int first = 1)
{
    std::vector<std::string> addrs;
    for (int i = first; i < first + n; i++)
        addrs.push_back("10.0.0." + std::to_string(i));
    return addrs;
}

TEST(LocalIpFuncTest, LoadOrderAndWalks)
{
    InFreshTable({"10.0.0.5", "192.168.1.2"}, [] {
        load_local_host_ip_addrs();
        EXPECT_EQ(Table(), (std::vector<std::string>{"127.0.0.1", "10.0.0.5",
                                                     "192.168.1.2"}));
        EXPECT_EQ(get_first_local_ip(), g_local_host_ip_addrs + 16);
        EXPECT_EQ(get_next_local_ip("10.0.0.5"), g_local_host_ip_addrs + 32);
        for (const char *none :
             {"192.168.1.2", "127.0.0.1", "8.8.8.8", "10.0.0"}) {
            EXPECT_EQ(get_next_local_ip(none), nullptr) << none;
        }
        EXPECT_STREQ(get_first_local_private_ip(), "10.0.0.5");
        EXPECT_TRUE(is_local_host_ip("127.0.0.1"));
        load_local_host_ip_addrs();  // a second load adds nothing new
        EXPECT_EQ(g_local_host_ip_count, 3);
        EXPECT_EQ(g_provider.calls, 2);
    });
    struct Case {
        std::vector<std::string> addrs;
        const char *first, *first_private;
    } cases[] = {{{"203.0.113.5", "192.168.1.2"}, "203.0.113.5", "192.168.1.2"},
                 {{"203.0.113.5", "172.16.0.1"}, "203.0.113.5", "172.16.0.1"},
                 {{"203.0.113.5"}, "203.0.113.5", nullptr},
                 {{}, "127.0.0.1", nullptr}};
    for (const auto &c : cases) {
        InFreshTable(c.addrs, [&] {
            EXPECT_EQ(Str(get_first_local_private_ip()), Str(c.first_private));
            EXPECT_EQ(Str(get_first_local_ip()), Str(c.first));
            EXPECT_EQ(g_provider.calls, 1) << "the lazy load runs once";
        });
    }
}

TEST(LocalIpFuncTest, FailedListingKeepsTable)
{
    InFreshTable({"10.0.0.5"}, [] {
        g_provider.result = EIO;
        EXPECT_EQ(insert_into_local_host_ip("10.1.1.1"), 1);
        load_local_host_ip_addrs();
        EXPECT_EQ(Table(), (std::vector<std::string>{"10.1.1.1", "127.0.0.1"}));
        EXPECT_STREQ(get_first_local_ip(), "10.1.1.1");
    });
}

TEST(LocalIpFuncTest, InsertResults)
{
    InFreshTable({}, [] {
        LogCapture log;
        EXPECT_EQ(insert_into_local_host_ip("255.255.255.255"),
                  1);  // 15 characters fit
        EXPECT_EQ(insert_into_local_host_ip("255.255.255.255"), 0);
        EXPECT_EQ(insert_into_local_host_ip("255.255.255.2555"), -1);
        EXPECT_TRUE(log.contains("ip address: 255.255.255.2555 is too long"))
            << log.last();
        EXPECT_EQ(insert_into_local_host_ip(nullptr), -1);
        EXPECT_EQ(g_local_host_ip_count, 1);
        for (const auto &a : Addresses(15))
            EXPECT_EQ(insert_into_local_host_ip(a.c_str()), 1);
        EXPECT_EQ(insert_into_local_host_ip("10.0.0.99"), -1);
        EXPECT_EQ(insert_into_local_host_ip("10.0.0.15"), 0);
        EXPECT_EQ(g_local_host_ip_count, KT_MAX_LOCAL_IP_ADDRS);
        EXPECT_FALSE(is_local_host_ip("127.0.0.1"))
            << "a filled table is not loaded again";
        EXPECT_EQ(g_provider.calls, 0);
    });
    // 127.0.0.1 and 16 interface addresses: the last one is dropped quietly.
    InFreshTable(Addresses(16), [] {
        LogCapture log;
        load_local_host_ip_addrs();
        std::vector<std::string> expected = Addresses(15);
        expected.insert(expected.begin(), "127.0.0.1");
        EXPECT_EQ(Table(), expected);
        EXPECT_EQ(log.size(), 0u);
    });
}

TEST(LocalIpFuncTest, MembershipLoadsAndComparesExactly)
{
    InFreshTable({"10.0.0.5", "192.168.100.200"}, [] {
        EXPECT_TRUE(is_local_host_ip("127.0.0.1")) << "loaded on first use";
        struct Case {
            const char *ip;
            bool local;
        } cases[] = {{"10.0.0.5", true},           {"192.168.100.200", true},
                     {"10.0.0.50", false},         {"10.0.0.", false},
                     {"10.0.0.5 ", false},         {"", false},
                     {"192.168.100.20", false},    {"192.168.100.2000", false},
                     {"127.0.0.1.0.0.0.0", false}, {nullptr, false}};
        for (const auto &c : cases)
            EXPECT_EQ(is_local_host_ip(c.ip), c.local) << Str(c.ip);
        EXPECT_EQ(g_provider.calls, 1);
    });
}

TEST(LocalIpFuncTest, AliasPrefixes)
{
    struct Case {
        const char *text;
        int count;
        std::vector<std::string> slots;
    } cases[] = {
        {"", 0, {"(null)", "(null)", "(null)", "(null)"}},
        {"eth0:, bond0:", 2, {"eth0:", "bond0:", "(null)", "(null)"}},
        {" eth0: ,\tbond0:  ", 2, {"eth0:", "bond0:", "(null)", "(null)"}},
        {"a,b,c,d,e", 4, {"a", "b", "c", "d,e"}},
        {"0123456789012345678901234567890",
         1,
         {"0123456789012345678901234567890", "(null)", "(null)", "(null)"}},
    };
    for (const auto &c : cases) {
        InFreshTable({}, [&] {
            snprintf(g_if_alias_prefix, sizeof(g_if_alias_prefix), "%s",
                     c.text);
            for (int load = 0; load < 2; load++) {
                load_local_host_ip_addrs();
                EXPECT_EQ(g_provider.prefix_count, c.count) << c.text;
                EXPECT_EQ(g_provider.prefixes, c.slots) << c.text;
            }
            EXPECT_STREQ(g_if_alias_prefix, c.text)
                << "the setting is not split in place";
        });
    }
}

// The text form is cut to any buffer and never writes outside it.
TEST(LocalIpFuncTest, TextFormStaysInBuffer)
{
    InFreshTable({"10.0.0.5"}, [] {
        load_local_host_ip_addrs();
        const std::string full = "local_host_ip_count: 2,  127.0.0.1  10.0.0.5";
        constexpr size_t kCanary = 16;
        for (int size : {-1, 0, 1, 2, 23, 24, 25, 30, (int)full.size(),
                         (int)full.size() + 1, 512}) {
            std::vector<char> mem(2 * kCanary + std::max(size, 0), (char)0xa5);
            char *buff = mem.data() + kCanary;
            EXPECT_EQ(local_host_ip_addrs_to_string(buff, size), buff);
            size_t text_len =
                std::min(full.size(), (size_t)std::max(size - 1, 0));
            for (size_t i = 0; i < mem.size(); i++) {
                const char *p = mem.data() + i;
                bool in_text = p >= buff && p < buff + text_len;
                char want = in_text ? full[p - buff]
                            : (p == buff + text_len && size > 0) ? '\0'
                                                                 : (char)0xa5;
                ASSERT_EQ(*p, want) << "size " << size << ", byte " << i;
            }
        }
    });
    InFreshTable({}, [] {  // the longest text: 16 addresses of 15 characters
        for (int i = 0; i < KT_MAX_LOCAL_IP_ADDRS; i++) {
            insert_into_local_host_ip(
                ("255.255.255.2" + std::to_string(10 + i)).c_str());
        }
        char buff[297];
        EXPECT_EQ(strlen(local_host_ip_addrs_to_string(buff, sizeof(buff))),
                  296u);
        EXPECT_STREQ(buff + 296 - 17, "  255.255.255.225");
    });
}

TEST(LocalIpFuncTest, LogLineAndPrintout)
{
    InFreshTable({"10.0.0.5"}, [] {
        load_local_host_ip_addrs();
        LogCapture log;
        log_local_host_ip_addrs();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log.records()[0].level, KT_LOG_INFO);
        EXPECT_EQ(log.last(), "local_host_ip_count: 2,  127.0.0.1  10.0.0.5");

        kite_test::TempFile out;
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        int fd = open(out.path().c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        dup2(fd, STDOUT_FILENO);
        print_local_host_ip_addrs();
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(fd);
        close(saved);
        EXPECT_EQ(out.read(),
                  "local_host_ip_count=2\n1. 127.0.0.1\n2. 10.0.0.5\n\n");
    });
}

// The real interfaces: loopback first, every address IPv4 and listed once.
TEST(LocalIpFuncTest, RealHost)
{
    InFreshTable(
        {},
        [] {
            const char *first = get_first_local_ip();
            ASSERT_NE(first, nullptr);
            std::vector<std::string> table = Table();
            ASSERT_GE(table.size(), 1u);
            EXPECT_EQ(table[0], "127.0.0.1");
            EXPECT_EQ(std::set<std::string>(table.begin(), table.end()).size(),
                      table.size());
            for (const auto &ip : table) {
                uint8_t addr[4];
                EXPECT_TRUE(kt_parse_ipv4(ip.c_str(), addr)) << ip;
                EXPECT_TRUE(is_local_host_ip(ip.c_str())) << ip;
            }
            EXPECT_EQ(g_provider.calls, 0);
        },
        true);
}

// Threads whose first look-ups race on an empty table fill it once and all
// see it whole.
TEST(LocalIpFuncTest, RacingFirstLookupsFillOnce)
{
    InFreshTable({"10.0.0.5", "192.168.1.2"}, [] {
        g_provider.delay_ms = 20;
        std::atomic<bool> go{false};
        std::atomic<int> seen{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++) {
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                bool ok = t % 2 == 0 ? is_local_host_ip("192.168.1.2")
                                     : Str(get_next_local_ip("10.0.0.5")) ==
                                           "192.168.1.2";
                if (ok) seen++;
            });
        }
        go = true;
        for (auto &th : threads) th.join();
        EXPECT_EQ(seen, 8);
        EXPECT_EQ(g_provider.calls, 1);
        EXPECT_EQ(g_local_host_ip_count, 3);
    });
}

// Readers that find the table through the lock-free path while another
// thread inserts see whole entries only.
TEST(LocalIpFuncTest, ReadersDuringInserts)
{
    InFreshTable({}, [] {
        const std::vector<std::string> added = Addresses(8, 20);
        std::atomic<int> done{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 3; t++) {
            readers.emplace_back([&] {
                while (!is_local_host_ip(added.back().c_str()))
                    std::this_thread::yield();
                const char *ip = nullptr;
                for (const auto &want : added) {
                    ip = get_next_local_ip(ip);
                    if (Str(ip) == want) done++;
                }
            });
        }
        for (const auto &a : added) insert_into_local_host_ip(a.c_str());
        for (auto &th : readers) th.join();
        EXPECT_EQ(done, 3 * (int)added.size());
    });
}

}  // namespace
