// Cluster configuration: every failure of the loader with its exact message
// and error number, the placement rules of hosts into groups, the indexes,
// rendering (a randomized load/render/load round trip) and the log dump.
#include "server_id_func.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kite_buffer.h"
#include "logger.h"
#include "sockopt.h"
#include "test_util.h"

namespace {

using kite_test::LogCapture;

const char kCaption[] = "t.conf";

// Two groups used by most cases: "in" takes inner addresses on 5000, "out"
// outer addresses on 6000.
const char kTwoGroups[] = "[group-in]\nport = 5000\nnet_type = inner\n\n"
                          "[group-out]\nport = 6000\nnet_type = outer\n\n";

struct Loaded {
    KTServerConfig ctx;
    int result;
    Loaded(const std::string &text, int default_port = 0, int min_hosts = 0,
           bool share = false)
    {
        std::string copy = text;
        result = kt_server_load_from_buffer_ex(&ctx, copy.data(), kCaption,
                                               default_port, min_hosts, share);
    }
    ~Loaded() { kt_server_destroy(&ctx); }
    Loaded(const Loaded &) = delete;
    Loaded &operator=(const Loaded &) = delete;
};

// The error records of a capture.
std::vector<std::string> Errors(const LogCapture &log)
{
    std::vector<std::string> out;
    for (const auto &r : log.records()) {
        if (r.level == KT_LOG_ERROR) out.push_back(r.message);
    }
    return out;
}

// One error logged, with the standard prefix of this module and exactly the
// given text after it.
void ExpectOneError(const LogCapture &log, const std::string &text)
{
    auto errors = Errors(log);
    ASSERT_EQ(errors.size(), 1u) << (errors.empty() ? "" : errors[0]);
    static const std::regex kPrefix(
        "^file: server_id_func\\.cpp, line: [0-9]+, ");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(errors[0], m, kPrefix)) << errors[0];
    EXPECT_EQ(errors[0].substr(m.length()), text);
}

std::string Repeat(const std::string &line, int n)
{
    std::string out;
    for (int i = 0; i < n; i++) out += line;
    return out;
}

std::string NHosts(const std::string &item, const std::string &ip_base, int n,
                   const std::string &port)
{
    std::string out;
    for (int i = 1; i <= n; i++) {
        out += item + " = " + ip_base + std::to_string(i) + port + "\n";
    }
    return out;
}

struct FailureCase {
    const char *name;
    std::string text;
    int min_hosts;
    bool share;
    int expected;
    std::string message;
};

void RunFailureCases(const std::vector<FailureCase> &cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Loaded loaded(c.text, 0, c.min_hosts, c.share);
        EXPECT_EQ(loaded.result, c.expected);
        ExpectOneError(log, c.message);
    }
}

TEST(ServerIdFuncTest, GroupSectionFailures)
{
    const std::string server = "[server-1]\nhost = 10.0.0.1\n";
    std::vector<FailureCase> cases = {
        {"five group sections",
         Repeat("", 0) +
             "[group-a]\nport=1\nnet_type=outer\n[group-b]\nport=2\nnet_type="
             "outer\n"
             "[group-c]\nport=3\nnet_type=outer\n[group-d]\nport=4\nnet_type="
             "outer\n"
             "[group-e]\nport=5\nnet_type=outer\n" +
             server,
         0, false, ENOSPC,
         "config filename: t.conf, get sections by prefix group- fail, errno: "
         "28, error info: " +
             std::string(kt_strerror(ENOSPC))},
        {"no group name", "[group-]\nport = 1\nnet_type = inner\n" + server, 0,
         false, EINVAL,
         "config filename: t.conf, section: group-, no group name!"},
        {"blank group name",
         "[group-   ]\nport = 1\nnet_type = inner\n" + server, 0, false, EINVAL,
         "config filename: t.conf, section: group-   , no group name!"},
        {"group name with =",
         "[group-a=b]\nport = 1\nnet_type = inner\n" + server, 0, false, EINVAL,
         "config filename: t.conf, section: group-a=b, invalid group name: "
         "a=b, "
         "it can not be used in item names"},
        {"group name like a comment",
         "[group- #x]\nport = 1\nnet_type = inner\n" + server, 0, false, EINVAL,
         "config filename: t.conf, section: group- #x, invalid group name: #x, "
         "it can not be used in item names"},
        {"global port not a number", "port = 80a\n" + server, 0, false, EINVAL,
         "config filename: t.conf, section: , item: port, invalid port: 80a"},
        {"global port over 65535", "port = 65536\n" + server, 0, false, EINVAL,
         "config filename: t.conf, section: , item: port, invalid port: 65536"},
        {"port 0", "[group-a]\nport = 0\nnet_type = inner\n" + server, 0, false,
         EINVAL,
         "config filename: t.conf, section: group-a, item: port, invalid port: "
         "0"},
        {"port -5", "[group-a]\nport = -5\nnet_type = inner\n" + server, 0,
         false, EINVAL,
         "config filename: t.conf, section: group-a, item: port, invalid port: "
         "-5"},
        {"port 80x", "[group-a]\nport = 80x\nnet_type = inner\n" + server, 0,
         false, EINVAL,
         "config filename: t.conf, section: group-a, item: port, invalid port: "
         "80x"},
        {"port 65536", "[group-a]\nport = 65536\nnet_type = inner\n" + server,
         0, false, EINVAL,
         "config filename: t.conf, section: group-a, item: port, invalid port: "
         "65536"},
        {"port missing of two",
         "[group-a]\nport = 1\nnet_type = inner\n"
         "[group-b]\nnet_type = outer\n" +
             server,
         0, false, ENOENT,
         "config filename: t.conf, section: group-b, no item: port!"},
        {"net_type missing", "[group-a]\nport = 1\n" + server, 0, false, EINVAL,
         "config filename: t.conf, section: group-a, invalid net_type: (null)"},
        {"net_type unknown", "[group-a]\nport = 1\nnet_type = Outer\n" + server,
         0, false, EINVAL,
         "config filename: t.conf, section: group-a, invalid net_type: Outer"},
        {"ip_prefix of 15",
         "[group-a]\nport = 1\nnet_type = inner\n"
         "ip_prefix = 123456789012345\n" +
             server,
         0, false, EINVAL,
         "config filename: t.conf, section: group-a, item: ip_prefix, invalid "
         "ip_prefix: 123456789012345, exceeds 14 characters"},
    };
    RunFailureCases(cases);
}

// The highest port is accepted where a port is read: a group's "port" and a
// server's per-group port item (two loads, since a server's two groups may
// not share a port).
TEST(ServerIdFuncTest, HighestPortIsAccepted)
{
    const std::string groups = "[group-a]\nport = %A\nnet_type = inner\n"
                               "[group-b]\nport = 1\nnet_type = outer\n";
    const struct {
        const char *group_a_port;
        const char *server_items;
        int group;  // the group whose address must carry 65535
        const char *ip;
    } cases[] = {
        {"65535", "host = 10.0.0.1\n", 0, "10.0.0.1"},
        {"2", "b-port = 65535\nb-host = 8.8.8.8\n", 1, "8.8.8.8"},
    };
    for (const auto &c : cases) {
        std::string text = groups;
        text.replace(text.find("%A"), 2, c.group_a_port);
        text += std::string("[server-1]\n") + c.server_items;
        SCOPED_TRACE(text);
        Loaded l(text);
        ASSERT_EQ(l.result, 0);
        KTServerInfo *server = kt_server_get_by_id(&l.ctx, 1);
        ASSERT_NE(server, nullptr);
        const KTAddressPtrArray &slot =
            server->group_addrs[c.group].address_array;
        ASSERT_EQ(slot.count, 1);
        EXPECT_EQ(slot.addrs[0]->conn.port, 65535);
        string_t ip = {const_cast<char *>(c.ip), (int)strlen(c.ip)};
        EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &ip, 65535), server);
    }
}

TEST(ServerIdFuncTest, ServerSectionFailures)
{
    const std::string g = kTwoGroups;
    const std::string same_port =
        "[group-a]\nport = 5000\nnet_type = inner\n"
        "[group-b]\nport = 5000\nnet_type = inner-10\n";
    const std::string any_any = "[group-a]\nport = 5000\nnet_type "
                                "=\n[group-b]\nport = 5000\nnet_type =\n";
    const std::string pre = "config filename: t.conf, section: server-1, ";
    std::vector<FailureCase> cases = {
        {"no server section", g, 0, false, ENOENT,
         "config filename: t.conf, no server section such as [server-$id]"},
        {"id empty", g + "[server-]\nhost = 10.0.0.1\n", 0, false, EINVAL,
         "config filename: t.conf, section: server-, invalid server id! server "
         "section format is [server-$id]"},
        {"id 0", g + "[server-0]\nhost = 10.0.0.1\n", 0, false, EINVAL,
         "config filename: t.conf, section: server-0, invalid server id! "
         "server "
         "section format is [server-$id]"},
        {"id -3", g + "[server--3]\nhost = 10.0.0.1\n", 0, false, EINVAL,
         "config filename: t.conf, section: server--3, invalid server id! "
         "server section format is [server-$id]"},
        {"id 12a", g + "[server-12a]\nhost = 10.0.0.1\n", 0, false, EINVAL,
         "config filename: t.conf, section: server-12a, invalid server id! "
         "server section format is [server-$id]"},
        {"id over int32", g + "[server-2147483648]\nhost = 10.0.0.1\n", 0,
         false, EINVAL,
         "config filename: t.conf, section: server-2147483648, invalid "
         "server id! server section format is [server-$id]"},
        {"no items", g + "[server-1]\n", 0, false, EINVAL, pre + "no items!"},
        {"unknown group host", g + "[server-1]\nfoo-host = 10.0.0.1\n", 0,
         false, ENOENT, pre + "group: foo in item: foo-host not found!"},
        {"unknown group port",
         g + "[server-1]\nfoo-port = 1\nhost = 10.0.0.1\n", 0, false, ENOENT,
         pre + "group: foo in item: foo-port not found!"},
        {"group names are case-sensitive",
         g + "[server-1]\nIN-host = 10.0.0.1\n", 0, false, ENOENT,
         pre + "group: IN in item: IN-host not found!"},
        {"bad -port", g + "[server-1]\nin-port = 0\nhost = 10.0.0.1\n", 0,
         false, EINVAL, pre + "item: in-port, invalid port: 0"},
        {"-port 70000", g + "[server-1]\nin-port = 70000\nhost = 10.0.0.1\n", 0,
         false, EINVAL, pre + "item: in-port, invalid port: 70000"},
        {"ninth group host",
         g + "[server-1]\n" + NHosts("in-host", "10.0.0.", 9, ""), 0, false,
         ENOSPC, pre + "too many in-host items exceeds 8"},
        {"ninth plain host",
         g + "[server-1]\n" + NHosts("host", "10.0.0.", 9, ""), 0, false,
         ENOSPC, pre + "too many host items exceeds 8"},
        {"bad group host", g + "[server-1]\nin-host = 10.0.0.300\n", 0, false,
         EINVAL, pre + "item: in-host, invalid host: 10.0.0.300"},
        {"group host port 0", g + "[server-1]\nin-host = 10.0.0.1:0\n", 0,
         false, EINVAL, pre + "item: in-host, invalid host: 10.0.0.1:0"},
        {"bad plain host", g + "[server-1]\nhost = example\n", 0, false, EINVAL,
         pre + "item: host, invalid host: example"},
        {"unknown item", g + "[server-1]\nhost = 10.0.0.1\nweight = 3\n", 0,
         false, EINVAL, pre + "unkown item name: weight"},
        {"bare -host", g + "[server-1]\n-host = 10.0.0.1\n", 0, false, EINVAL,
         pre + "unkown item name: -host"},
        {"item error before bad plain host",
         g + "[server-1]\nhost = nonsense\nweight = 3\n", 0, false, EINVAL,
         pre + "unkown item name: weight"},
        {"bad group host before unknown item",
         g + "[server-1]\nin-host = x\nweight = 3\n", 0, false, EINVAL,
         pre + "item: in-host, invalid host: x"},
        {"no host", g + "[server-1]\nin-port = 5001\n", 0, false, ENOENT,
         pre + "no item: host or *-host!"},
        {"duplicate plain host with port",
         g + "[server-1]\nhost = 10.0.0.1:5000\nhost = 10.0.0.1:5000\n", 0,
         false, EEXIST, pre + "duplicate ip and port 10.0.0.1:5000"},
        {"duplicate plain host",
         g + "[server-1]\nhost = 10.0.0.1\nhost = 10.0.0.1\n", 0, false, EEXIST,
         pre + "duplicate ip 10.0.0.1"},
        {"groups share a port", same_port + "[server-1]\nhost = 10.0.0.1\n", 0,
         false, EEXIST,
         "config filename: t.conf, the port: 5000 of group: a is same to "
         "group: b"},
        {"-port makes ports equal",
         g + "[server-1]\nout-port = 5000\nhost = 10.0.0.1\n", 0, false, EEXIST,
         "config filename: t.conf, the port: 5000 of group: in is same to "
         "group: out"},
        {"plain host is a ninth address of a group",
         g + "[server-1]\n" + NHosts("in-host", "10.0.0.", 8, "") +
             "host = 10.0.1.1\n",
         0, false, ENOSPC, pre + "too many host items for group in exceeds 8"},
        {"host without group, with port",
         g + "[server-1]\nhost = 10.0.0.1:7000\n", 0, false, ENOENT,
         pre + "host 10.0.0.1:7000 not belong to any group"},
        {"host without group",
         "[group-a]\nport = 1\nnet_type = inner-10\n[server-1]\nhost = "
         "8.8.8.8\n",
         0, false, ENOENT, pre + "host 8.8.8.8 not belong to any group"},
        {"host in two groups", any_any + "[server-1]\nhost = 1.2.3.4:5000\n", 0,
         false, EEXIST, pre + "host 1.2.3.4:5000 belongs to 2 groups"},
        {"duplicate in group",
         g + "[server-1]\nin-host = 10.0.0.1:5000\nin-host = 10.0.0.1:5000\n",
         0, false, EEXIST,
         pre + "group: in, duplicate ip and port: 10.0.0.1:5000"},
        {"port 0 and group port as plain hosts",
         g + "[server-1]\nhost = 10.0.0.1\nhost = 10.0.0.1:5000\n", 0, false,
         EEXIST, pre + "group: in, duplicate ip and port: 10.0.0.1:5000"},
        {"too few hosts",
         g + "[server-1]\nhost = 10.0.0.1\nhost = 10.0.0.2\n"
             "host = 8.8.8.8\n",
         2, false, ENOENT, pre + "group: out, host count: 1 < 2!"},
        {"duplicate id",
         g + "[server-7]\nhost = 10.0.0.1\n[server-07]\nhost = "
             "10.0.0.2\n",
         0, false, EEXIST, "config file: t.conf, duplicate server id: 7"},
        {"duplicate ip:port",
         g + "[server-3]\nhost = 10.0.0.1\n[server-2]\n"
             "in-host = 10.0.0.1\n",
         0, false, EEXIST,
         "config file: t.conf, duplicate ip:port 10.0.0.1:5000, the server "
         "ids: 2, 3"},
    };
    RunFailureCases(cases);
}

TEST(ServerIdFuncTest, ReaderErrorsPassThroughWithoutOwnMessage)
{
    LogCapture log;
    Loaded loaded("[group-a\nport = 1\n");
    EXPECT_EQ(loaded.result, EINVAL);
    for (const auto &m : Errors(log)) {
        EXPECT_EQ(m.find("server_id_func.cpp"), std::string::npos) << m;
    }
    KTServerConfig ctx;
    EXPECT_EQ(
        kt_server_load_from_file_ex(&ctx, "/nonexistent/x.conf", 0, 0, false),
        ENOENT);
    kt_server_destroy(&ctx);
}

// default_port is used as given, except where it could not be stored in a
// 16-bit address port.
TEST(ServerIdFuncTest, DefaultPortBeyondSixteenBits)
{
    LogCapture log;
    Loaded implicit("[server-1]\nhost = 8.8.8.8\n", 70000);
    EXPECT_EQ(implicit.result, EINVAL);
    ExpectOneError(
        log, "config filename: t.conf, section: , invalid default port: 70000");
    log.clear();
    Loaded lone("[group-a]\nnet_type = outer\n[server-1]\nhost = 8.8.8.8\n",
                -1);
    EXPECT_EQ(lone.result, EINVAL);
    ExpectOneError(
        log,
        "config filename: t.conf, section: group-a, invalid default port: -1");
    Loaded unused("port = 80\n[server-1]\nhost = 8.8.8.8\n", 70000);
    EXPECT_EQ(unused.result, 0);
}

TEST(ServerIdFuncTest, ImplicitGroup)
{
    {
        Loaded loaded(
            "port = 7000\n[server-1]\nhost = 8.8.8.8\nhost = 10.0.0.1:7000\n",
            1234);
        ASSERT_EQ(loaded.result, 0);
        const KTServerGroupArray &a = loaded.ctx.group_array;
        ASSERT_EQ(a.count, 1);
        EXPECT_EQ(a.groups[0].group_name.len, 0);
        EXPECT_EQ(a.groups[0].port, 7000);
        EXPECT_EQ(a.groups[0].filter.net_type, 0);
        EXPECT_EQ(a.groups[0].filter.ip_prefix.str, nullptr);
        string_t empty = {(char *)"", 0};
        EXPECT_EQ(kt_server_get_group_by_name(&loaded.ctx, &empty),
                  &a.groups[0]);
        KTServerInfo *s = kt_server_get_by_id(&loaded.ctx, 1);
        ASSERT_NE(s, nullptr);
        const KTAddressPtrArray &arr = s->group_addrs[0].address_array;
        ASSERT_EQ(arr.count, 2);
        EXPECT_STREQ(arr.addrs[0]->conn.ip_addr, "10.0.0.1");
        EXPECT_EQ(arr.addrs[0]->conn.port, 7000);
        EXPECT_STREQ(arr.addrs[1]->conn.ip_addr, "8.8.8.8");
        EXPECT_EQ(arr.addrs[1]->conn.port, 7000);
    }
    Loaded defaulted("[server-1]\nhost = 8.8.8.8\n", 1234);
    ASSERT_EQ(defaulted.result, 0);
    EXPECT_EQ(defaulted.ctx.group_array.groups[0].port, 1234);
}

TEST(ServerIdFuncTest, GroupSectionsParsed)
{
    // One group without a port takes default_port, not the global item.
    Loaded one(
        "port = 9\n[group-x]\nnet_type = outer\n[server-1]\nhost = 8.8.8.8\n",
        4321);
    ASSERT_EQ(one.result, 0);
    EXPECT_EQ(one.ctx.group_array.groups[0].port, 4321);

    Loaded two(
        "[group- b ]\nport = 2\nnet_type = inner-172\nip_prefix = 172.17.\n"
        "extra = ignored\n"
        "[group-a]\nport =  1\nnet_type =\n"
        "[server-1]\nhost = 172.17.0.1:2\na-host = 1.1.1.1\n");
    ASSERT_EQ(two.result, 0);
    const KTServerGroupArray &a = two.ctx.group_array;
    ASSERT_EQ(a.count, 2);
    EXPECT_STREQ(a.groups[0].name_buff, "a");
    EXPECT_EQ(a.groups[0].group_name.str, a.groups[0].name_buff);
    EXPECT_EQ(a.groups[0].port, 1);
    EXPECT_EQ(a.groups[0].filter.net_type, KT_NET_TYPE_ANY);
    EXPECT_EQ(a.groups[0].filter.ip_prefix.len, 0);
    EXPECT_STREQ(a.groups[1].name_buff, "b");
    EXPECT_EQ(a.groups[1].group_name.len, 1);
    EXPECT_EQ(a.groups[1].group_name.str, a.groups[1].name_buff);
    EXPECT_EQ(a.groups[1].filter.ip_prefix.str, a.groups[1].filter.prefix_buff);
    EXPECT_EQ(a.groups[1].filter.ip_prefix.len, 7);
    EXPECT_EQ(a.groups[1].filter.net_type, KT_NET_TYPE_INNER_172);
    string_t name = {(char *)"b", 1};
    EXPECT_EQ(kt_server_get_group_by_name(&two.ctx, &name), &a.groups[1]);
    string_t missing = {(char *)"ab", 1};  // length decides: "a"
    EXPECT_EQ(kt_server_get_group_by_name(&two.ctx, &missing), &a.groups[0]);
    string_t none = {(char *)"c", 1};
    EXPECT_EQ(kt_server_get_group_by_name(&two.ctx, &none), nullptr);
}

TEST(ServerIdFuncTest, IpPrefixOfFourteenComparedWhole)
{
    const std::string groups =
        "[group-a]\nport = 1\nnet_type = inner\nip_prefix = 10.100.200.25\n";
    ASSERT_EQ(strlen("10.100.200.25"), 13u);
    const std::string g14 =
        "[group-a]\nport = 1\nnet_type = inner\nip_prefix = 10.100.200.251\n";
    Loaded ok(g14 + "[server-1]\nhost = 10.100.200.251\n");
    ASSERT_EQ(ok.result, 0);
    EXPECT_EQ(ok.ctx.group_array.groups[0].filter.ip_prefix.len, 14);
    LogCapture log;
    Loaded miss(g14 + "[server-1]\nhost = 10.100.200.252\n");
    EXPECT_EQ(miss.result, ENOENT);
    Loaded shorter(g14 + "[server-1]\nhost = 10.100.200.2\n");
    EXPECT_EQ(shorter.result, ENOENT);
    Loaded thirteen(groups + "[server-1]\nhost = 10.100.200.254\n");
    EXPECT_EQ(thirteen.result, 0);
}

using Snapshot =
    std::tuple<std::vector<std::string>,
               std::map<int, std::vector<std::vector<std::string>>>>;
Snapshot Take(KTServerConfig *ctx);

const KTAddressPtrArray &Slot(KTServerConfig *ctx, int id, int group)
{
    static KTAddressPtrArray empty = {};
    KTServerInfo *s = kt_server_get_by_id(ctx, id);
    return s != nullptr ? s->group_addrs[group].address_array : empty;
}

std::vector<std::string> SlotText(KTServerConfig *ctx, int id, int group)
{
    std::vector<std::string> out;
    const KTAddressPtrArray &a = Slot(ctx, id, group);
    for (int i = 0; i < a.count; i++) {
        out.push_back(std::string(a.addrs[i]->conn.ip_addr) + ":" +
                      std::to_string(a.addrs[i]->conn.port));
    }
    return out;
}

TEST(ServerIdFuncTest, PlainHostsGoToMatchingGroups)
{
    const std::string both = "[group-p]\nport = 100\nnet_type = inner\n"
                             "[group-q]\nport = 200\nnet_type =\n";
    Loaded l(both + "[server-1]\nhost = 10.0.0.1\nhost = 10.0.0.2:100\n");
    ASSERT_EQ(l.result, 0);
    using V = std::vector<std::string>;
    EXPECT_EQ(SlotText(&l.ctx, 1, 0), (V{"10.0.0.1:100", "10.0.0.2:100"}));
    EXPECT_EQ(SlotText(&l.ctx, 1, 1), (V{"10.0.0.1:200"}));
    KTServerInfo *s = kt_server_get_by_id(&l.ctx, 1);
    EXPECT_EQ(s->uniq_addresses.count, 3);
    EXPECT_EQ(s->group_addrs[0].server_group, &l.ctx.group_array.groups[0]);
    EXPECT_EQ(s->group_addrs[1].server_group, &l.ctx.group_array.groups[1]);

    // Sharing: one record with the shared port sits in both groups.
    const std::string same = "[group-p]\nport = 100\nnet_type = inner\n"
                             "[group-q]\nport = 100\nnet_type =\n";
    Loaded shared(same + "[server-1]\nhost = 10.0.0.1\n", 0, 0, true);
    ASSERT_EQ(shared.result, 0);
    s = kt_server_get_by_id(&shared.ctx, 1);
    EXPECT_EQ(s->uniq_addresses.count, 1);
    EXPECT_EQ(s->group_addrs[0].address_array.addrs[0],
              s->group_addrs[1].address_array.addrs[0]);
    Loaded shared_port(same + "[server-1]\nhost = 10.0.0.1:100\n", 0, 0, true);
    EXPECT_EQ(shared_port.result, 0);
}

TEST(ServerIdFuncTest, GroupHostsAndGroupPorts)
{
    const std::string g = kTwoGroups;
    // A group host bypasses the filter: an outer address in the inner group.
    Loaded bypass(g + "[server-1]\nin-host = 8.8.8.8\n");
    ASSERT_EQ(bypass.result, 0);
    EXPECT_EQ(SlotText(&bypass.ctx, 1, 0),
              std::vector<std::string>{"8.8.8.8:5000"});
    EXPECT_EQ(Slot(&bypass.ctx, 1, 0).addrs[0]->net_type, KT_NET_TYPE_OUTER);

    // A -port after the -host: the host kept the group's port, plain hosts
    // take the -port value wherever it stands.
    Loaded order(g + "[server-1]\nin-host = 10.0.0.1\nhost = 10.0.0.2\n"
                     "in-port = 5001\nout-host = 8.8.4.4\n");
    ASSERT_EQ(order.result, 0);
    EXPECT_EQ(SlotText(&order.ctx, 1, 0),
              (std::vector<std::string>{"10.0.0.1:5000", "10.0.0.2:5001"}));
    Loaded before(g + "[server-1]\nin-port = 5001\nin-host = 10.0.0.1\n");
    ASSERT_EQ(before.result, 0);
    EXPECT_EQ(SlotText(&before.ctx, 1, 0),
              std::vector<std::string>{"10.0.0.1:5001"});
    // -port is per section: the next server sees the group's own port.
    Loaded next(g + "[server-1]\nin-port = 5001\nin-host = 10.0.0.1\n"
                    "[server-2]\nin-host = 10.0.0.2\n");
    ASSERT_EQ(next.result, 0);
    EXPECT_EQ(SlotText(&next.ctx, 2, 0),
              std::vector<std::string>{"10.0.0.2:5000"});

    // Eight plain hosts are fine; slots come sorted by IP text then port.
    Loaded eight(g + "[server-1]\n" + NHosts("host", "10.0.0.", 8, ""));
    ASSERT_EQ(eight.result, 0);
    auto s = SlotText(&eight.ctx, 1, 0);
    EXPECT_TRUE(std::is_sorted(s.begin(), s.end())) << s[0];
    EXPECT_EQ(s.size(), 8u);
}

TEST(ServerIdFuncTest, MinHostsChecksGroupsInOrder)
{
    LogCapture log;
    Loaded l(std::string(kTwoGroups) +
                 "[server-1]\nhost = 8.8.8.8\nhost = 10.0.0.1\n",
             0, 2);
    EXPECT_EQ(l.result, ENOENT);
    ExpectOneError(log,
                   "config filename: t.conf, section: server-1, group: in, "
                   "host count: 1 < 2!");
}

TEST(ServerIdFuncTest, IndexesAndLookups)
{
    Loaded l(std::string(kTwoGroups) +
             "[server-3]\nhost = 10.0.0.10\n[server-1]\nhost = 10.0.0.1\n"
             "[server-2]\nin-host = 10.0.0.1:6000\nout-host = 10.0.0.1:5001\n");
    ASSERT_EQ(l.result, 0);
    const KTServerInfoArray &by_id = l.ctx.sorted_server_arrays.by_id;
    ASSERT_EQ(by_id.count, 3);
    for (int id = 1; id <= 3; id++) {
        ASSERT_NE(kt_server_get_by_id(&l.ctx, id), nullptr);
        EXPECT_EQ(kt_server_get_by_id(&l.ctx, id)->id, id);
        EXPECT_EQ(by_id.servers[id - 1].id, id);
    }
    EXPECT_EQ(kt_server_get_by_id(&l.ctx, 0), nullptr);
    EXPECT_EQ(kt_server_get_by_id(&l.ctx, 4), nullptr);
    EXPECT_EQ(kt_server_get_by_id(&l.ctx, -1), nullptr);

    const KTServerMapArray &maps = l.ctx.sorted_server_arrays.by_ip_port;
    ASSERT_EQ(maps.count, 4);
    EXPECT_EQ(std::string(maps.maps[0].ip_addr.str, maps.maps[0].ip_addr.len),
              "10.0.0.1");
    EXPECT_EQ(maps.maps[3].port, 5000);  // "10.0.0.10" after every "10.0.0.1"
    string_t ip = {(char *)"10.0.0.1xyz", 8};  // need not be NUL-terminated
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &ip, 5000)->id, 1);
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &ip, 6000)->id, 2);
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &ip, 7000), nullptr);
    string_t longer = {(char *)"10.0.0.10", 9};
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &longer, 5000)->id, 3);
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &longer, 6000), nullptr);
    string_t zeros = {(char *)"010.0.0.1", 9};
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &zeros, 5000), nullptr);
    EXPECT_EQ(kt_server_get_by_ip_port(&l.ctx, "10.0.0.10", 5000)->id, 3);
    string_t none = {nullptr, 0};
    EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &none, 5000), nullptr);
}

TEST(ServerIdFuncTest, DestroyAndReload)
{
    std::string text =
        std::string(kTwoGroups) + "[server-1]\nhost = 10.0.0.1\n";
    KTServerConfig ctx;
    ASSERT_EQ(
        kt_server_load_from_buffer_ex(&ctx, text.data(), "x", 0, 0, false), 0);
    kt_server_destroy(&ctx);
    EXPECT_EQ(ctx.sorted_server_arrays.by_id.servers, nullptr);
    EXPECT_EQ(ctx.sorted_server_arrays.by_id.count, 0);
    EXPECT_EQ(ctx.sorted_server_arrays.by_ip_port.maps, nullptr);
    EXPECT_EQ(ctx.sorted_server_arrays.by_ip_port.count, 0);
    EXPECT_EQ(ctx.group_array.count, 2);  // groups stay
    kt_server_destroy(&ctx);              // twice is harmless
    ASSERT_EQ(
        kt_server_load_from_buffer_ex(&ctx, text.data(), "x", 0, 0, false), 0);
    EXPECT_EQ(kt_server_get_by_id(&ctx, 1)->uniq_addresses.count, 1);
    kt_server_destroy(&ctx);

    kite_test::TempFile file(text);
    ASSERT_EQ(kt_server_load_from_file(&ctx, file.path().c_str()), 0);
    EXPECT_EQ(ctx.sorted_server_arrays.by_ip_port.count, 1);
    kt_server_destroy(&ctx);
}

TEST(ServerIdFuncTest, FailedLoadKeepsPartsForDestroy)
{
    LogCapture log;
    Loaded l(std::string(kTwoGroups) +
             "[server-1]\nhost = 10.0.0.1\n"
             "[server-2]\nin-host = 10.0.0.5\nbad = 1\n");
    EXPECT_EQ(l.result, EINVAL);
    const KTServerInfoArray &by_id = l.ctx.sorted_server_arrays.by_id;
    EXPECT_EQ(by_id.count, 1);
    EXPECT_EQ(by_id.alloc, 2);
    EXPECT_EQ(by_id.servers[1].uniq_addresses.count, 1);  // freed by destroy
}

TEST(ServerIdFuncTest, AllocationFailuresReportEnomem)
{
    std::string text = std::string(kTwoGroups);
    for (int i = 1; i <= 20; i++) {
        text += "[server-" + std::to_string(i) + "]\nhost = 10.0." +
                std::to_string(i) + ".1\nhost = 8.8." + std::to_string(i) +
                ".1\nout-host = 8.9.0." + std::to_string(i) + "\n";
    }
    int successes = 0;
    for (int n = 0; n < 400 && successes == 0; n++) {
        LogCapture log;
        KTServerConfig ctx;
        std::string copy = text;
        int result;
        {
            kite_test::FailingAllocator fail(n, true);
            result = kt_server_load_from_buffer_ex(&ctx, copy.data(), "x", 0, 0,
                                                   false);
        }
        if (result == 0) {
            successes++;
        } else {
            EXPECT_EQ(result, ENOMEM) << "allocation " << n;
        }
        kt_server_destroy(&ctx);
    }
    EXPECT_EQ(successes, 1);
}

// The index built at load answers every lookup exactly as the sorted
// search does (the lookups search when the record has no index): dense ids
// (direct table) and sparse ids (hash table), IPv4 and long IPv6 texts that
// share their first 16 bytes, texts that are prefixes of others.
TEST(ServerIdFuncTest, IndexAnswersAsTheSortedSearch)
{
    auto &rng = kite_test::Rng();
    for (int64_t stride : {1, 7919}) {
        std::string text = "port = 80\n";
        std::vector<int> ids;
        for (int i = 1; i <= 300; i++) {
            int id = (int)(i * stride % 2147483647);
            ids.push_back(id);
            text += "[server-" + std::to_string(id) + "]\nhost = 10.0." +
                    std::to_string(i / 256) + "." + std::to_string(i % 256) +
                    "\nhost = 2001:db8:aaaa:bbbb::" + std::to_string(i) +
                    "\nhost = 1.2." + std::to_string(i / 100) + "." +
                    std::to_string(i % 100) + "\n";
        }
        Loaded l(text);
        ASSERT_EQ(l.result, 0);
        ASSERT_NE(l.ctx.lookup_index, nullptr);
        std::vector<int> probes = {0, -1, INT32_MIN, INT32_MAX};
        for (int id : ids) {
            probes.insert(probes.end(), {id, id - 1, id + 1});
        }
        for (int i = 0; i < 500; i++) probes.push_back((int)rng());
        std::vector<std::pair<std::string, int>> keys = {{"", 80}, {"1", 80}};
        const KTServerMapArray &maps = l.ctx.sorted_server_arrays.by_ip_port;
        for (int i = 0; i < maps.count; i++) {
            std::string ip(maps.maps[i].ip_addr.str, maps.maps[i].ip_addr.len);
            int port = maps.maps[i].port;
            keys.insert(keys.end(), {{ip, port},
                                     {ip, port + 1},
                                     {ip, port - 65536},
                                     {ip.substr(0, ip.size() - 1), port},
                                     {ip + "0", port}});
        }
        auto lookups = [&] {
            std::vector<KTServerInfo *> out;
            for (int id : probes)
                out.push_back(kt_server_get_by_id(&l.ctx, id));
            for (auto &[ip, port] : keys) {
                string_t s = {ip.data(), (int32_t)ip.size()};
                out.push_back(kt_server_get_by_ip_port_ex(&l.ctx, &s, port));
            }
            return out;
        };
        std::vector<KTServerInfo *> indexed = lookups();
        auto *index = l.ctx.lookup_index;
        l.ctx.lookup_index = nullptr;
        std::vector<KTServerInfo *> searched = lookups();
        l.ctx.lookup_index = index;
        EXPECT_EQ(indexed, searched);
        EXPECT_GT(std::count(indexed.begin(), indexed.end(), nullptr), 0);
        EXPECT_EQ(kt_server_get_by_id(&l.ctx, ids[150])->id, ids[150]);
    }
}

std::string Render(KTServerConfig *ctx)
{
    KiteBuffer buffer;
    kite_buffer_init(&buffer);
    EXPECT_EQ(kt_server_to_config_string(ctx, &buffer), 0);
    std::string out(buffer.data != nullptr ? buffer.data : "", buffer.length);
    kite_buffer_destroy(&buffer);
    return out;
}

TEST(ServerIdFuncTest, RenderText)
{
    Loaded l(
        "[group-in]\nport = 5000\nnet_type = inner\nip_prefix = 10.\n"
        "[group-any]\nport = 6000\nnet_type =\n"
        "[server-2]\nhost = 10.0.0.2\n"
        "[server-1]\nhost = 8.8.8.8\nin-port = 5001\nin-host = 10.0.0.1\n");
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(Render(&l.ctx),
              "[group-any]\nport = 6000\nnet_type = \nip_prefix = \n\n"
              "[group-in]\nport = 5000\nnet_type = inner\nip_prefix = 10.\n\n"
              "[server-1]\nhost = 8.8.8.8:6000\nin-host = 10.0.0.1:5001\n\n"
              "[server-2]\nhost = 10.0.0.2:6000\nhost = 10.0.0.2:5000\n\n");
    EXPECT_EQ(l.ctx.group_array.groups[1].server_port, 0);

    // Appends to what the buffer holds.
    KiteBuffer buffer;
    kite_buffer_init(&buffer);
    kite_buffer_append(&buffer, "# head\n");
    ASSERT_EQ(kt_server_to_config_string(&l.ctx, &buffer), 0);
    EXPECT_EQ(std::string(buffer.data, 7), "# head\n");
    kite_buffer_destroy(&buffer);

    Loaded implicit("port = 7000\n[server-1]\nhost = 8.8.8.8\n");
    ASSERT_EQ(implicit.result, 0);
    std::string text = Render(&implicit.ctx);
    EXPECT_EQ(text, "port = 7000\n\n[server-1]\nhost = 8.8.8.8:7000\n\n");
}

// Texts the renderer must write differently from the plain rule to load
// back: more than eight uniquely placed addresses, a lone group on port 0,
// IPv6 addresses and addresses without a port.
TEST(ServerIdFuncTest, RenderedEdgeCasesLoadBack)
{
    std::string four;
    for (int g = 0; g < 4; g++) {
        four += "[group-g" + std::to_string(g) +
                "]\nport = " + std::to_string(2000 + g) + "\nnet_type =\n";
    }
    const std::vector<std::tuple<std::string, int>> cases = {
        {four + "[server-1]\n" + NHosts("host", "10.0.0.", 4, ""), 0},
        {"[group-a]\nnet_type = outer\n[server-1]\nhost = 8.8.8.8\n"
         "a-host = 8.8.4.4\n",
         0},
        {"[server-1]\nhost = 8.8.8.8\nhost = [fe80::1]:80\nhost = ::1\n", 80},
        {"[server-1]\nhost = 8.8.8.8\nhost = 1.2.3.4\n", 0},
    };
    for (const auto &[text, default_port] : cases) {
        SCOPED_TRACE(text);
        Loaded first(text, default_port);
        ASSERT_EQ(first.result, 0);
        std::string rendered = Render(&first.ctx);
        LogCapture log;
        Loaded second(rendered, default_port);
        ASSERT_EQ(second.result, 0) << rendered << log.last();
        EXPECT_EQ(Take(&first.ctx), Take(&second.ctx)) << rendered;
    }
}

TEST(ServerIdFuncTest, RenderFailureKeepsText)
{
    std::string text = kTwoGroups;
    for (int i = 1; i <= 40; i++) {
        text += "[server-" + std::to_string(i) + "]\nhost = 10.0.0." +
                std::to_string(i) + "\n";
    }
    Loaded l(text);
    ASSERT_EQ(l.result, 0);
    LogCapture log;
    KiteBuffer buffer;
    kite_buffer_init(&buffer);
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(kt_server_to_config_string(&l.ctx, &buffer), ENOMEM);
    }
    EXPECT_EQ(buffer.length, 0);
    ASSERT_EQ(kite_buffer_init_ex(&buffer, 1100), 0);
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(kt_server_to_config_string(&l.ctx, &buffer), ENOMEM);
    }
    std::string partial(buffer.data, buffer.length);
    EXPECT_NE(partial.find("[group-out]"), std::string::npos);
    EXPECT_NE(partial.find("[server-1]"), std::string::npos);
    EXPECT_EQ(partial.find("[server-40]"), std::string::npos);
    kite_buffer_destroy(&buffer);

    // Whichever allocation fails, the result is ENOMEM or the whole text:
    // a shortened text is never reported as success.
    const std::string full = Render(&l.ctx);
    int failures = 0;
    for (int n = 0; n < 64; n++) {
        kite_buffer_init(&buffer);
        int result;
        {
            kite_test::FailingAllocator fail(n, true);
            result = kt_server_to_config_string(&l.ctx, &buffer);
        }
        if (result == 0) {
            EXPECT_EQ(std::string(buffer.data, buffer.length), full) << n;
        } else {
            EXPECT_EQ(result, ENOMEM) << n;
            failures++;
        }
        kite_buffer_destroy(&buffer);
    }
    EXPECT_GT(failures, 0);
}

TEST(ServerIdFuncTest, LogDump)
{
    Loaded l(std::string(kTwoGroups) +
             "[server-2]\nhost = 10.0.0.2\nhost = 10.0.0.1\n[server-1]\nhost = "
             "8.8.8.8\n");
    ASSERT_EQ(l.result, 0);
    LogCapture log;
    kt_server_to_log(&l.ctx);
    std::vector<std::string> expected = {
        "group_name: in, port: 5000, net_type: inner, ip_prefix: ",
        "group_name: out, port: 6000, net_type: outer, ip_prefix: ",
        "server count: 2, unique ip and port count: 3",
        "server id: 1",
        "[group-in] ip count: 0",
        "[group-out] ip count: 1",
        "    1. 8.8.8.8:6000",
        " ",
        "server id: 2",
        "[group-in] ip count: 2",
        "    1. 10.0.0.1:5000",
        "    2. 10.0.0.2:5000",
        "[group-out] ip count: 0",
        " ",
    };
    EXPECT_EQ(log.messages(), expected);
    for (const auto &r : log.records()) EXPECT_EQ(r.level, KT_LOG_INFO);
}

// ---- randomized round trip ----

struct Model {
    std::string text;
    int groups = 0;
};

// IPs carry the server id, so that two servers never share an address.
std::string RandomIp(std::mt19937_64 &rng, int id, int k)
{
    std::string mid =
        std::to_string(id / 256) + "." + std::to_string(id % 256) + ".";
    switch (rng() % 5) {
    case 0: return "10." + mid + std::to_string(k);
    case 1:
        return "172." + std::to_string(16 + id % 2) + "." +
               std::to_string(id / 256) + "." +
               std::to_string(id % 256 * 0 + k + 20 * (id % 7));
    case 2:
        return "192.168." + std::to_string(id % 256) + "." +
               std::to_string(k + 100);
    case 3: return "8." + mid + std::to_string(k);
    default: {  // short and long (over 16 characters) IPv6 texts
        char v6[64];
        snprintf(v6, sizeof(v6),
                 rng() % 2 ? "fd00::%x:%x" : "fd00:1:2:3:4::%x:%x", id, k + 1);
        return v6;
    }
    }
}

std::string FormatHost(const std::string &ip, int port)
{
    bool v6 = ip.find(':') != std::string::npos;
    std::string h = v6 ? "[" + ip + "]" : ip;
    if (port != 0) h += ":" + std::to_string(port);
    return h;
}

// Random configurations: mostly valid (groups accepting everything, ports
// taken from the groups), with enough variety to hit every placement rule.
Model RandomConfig(std::mt19937_64 &rng)
{
    static const char *kTypes[] = {
        "outer", "inner", "inner-10", "inner-172", "inner-192",
        "",      "",      "",         "",          ""};
    static const char *kPrefixes[] = {"10.", "172.16.", "192.168.", "8.",
                                      "fd00::"};
    Model m;
    m.groups = (int)(rng() % 5);  // 0: the implicit group
    std::vector<std::string> names;
    std::vector<int> ports,
        open_ports;  // open: groups that accept every address
    std::string text;
    if (m.groups == 0) {
        ports.push_back(1000 + (int)(rng() % 1000));
        open_ports.push_back(ports.back());
        text += "port = " + std::to_string(ports.back()) + "\n";
    }
    for (int g = 0; g < m.groups; g++) {
        names.push_back(std::string(1, (char)('a' + g)) +
                        std::to_string(rng() % 10));
        ports.push_back(2000 + g * 100 + (int)(rng() % 3));
        const char *type = kTypes[rng() % 10];
        text += "[group-" + names.back() +
                "]\nport = " + std::to_string(ports.back()) +
                "\nnet_type = " + type + "\n";
        if (rng() % 4 == 0) {
            text += std::string("ip_prefix = ") + kPrefixes[rng() % 5] + "\n";
        } else if (*type == '\0') {
            open_ports.push_back(ports.back());
        }
    }
    int servers = 1 + (int)(rng() % 30);
    for (int s = 0; s < servers; s++) {
        int id = 1 + (int)(rng() % 60000);
        std::string section = "[server-" + std::to_string(id) + "]\n";
        int items = 1 + (int)(rng() % 6);
        for (int k = 0; k < items; k++) {
            std::string ip = RandomIp(rng, id, k);
            int port = rng() % 2 || open_ports.empty()
                           ? 0
                           : open_ports[rng() % open_ports.size()];
            if (!names.empty() && rng() % 3 == 0) {
                const std::string &g = names[rng() % names.size()];
                if (rng() % 4 == 0) {
                    section += g +
                               "-port = " + std::to_string(4000 + rng() % 50) +
                               "\n";
                }
                section +=
                    g + "-host = " +
                    FormatHost(ip, rng() % 2 ? 0 : 3000 + (int)(rng() % 4000)) +
                    "\n";
            } else {
                section += "host = " + FormatHost(ip, port) + "\n";
            }
        }
        text += section;
    }
    m.text = text;
    return m;
}

Snapshot Take(KTServerConfig *ctx)
{
    std::vector<std::string> groups;
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTServerGroupInfo &g = ctx->group_array.groups[i];
        groups.push_back(
            std::string(g.group_name.str, g.group_name.len) + "|" +
            std::to_string(g.port) + "|" + std::to_string(g.filter.net_type) +
            "|" + std::string(g.filter.prefix_buff, g.filter.ip_prefix.len));
    }
    std::map<int, std::vector<std::vector<std::string>>> servers;
    const KTServerInfoArray &by_id = ctx->sorted_server_arrays.by_id;
    for (int i = 0; i < by_id.count; i++) {
        auto &slots = servers[by_id.servers[i].id];
        for (int g = 0; g < ctx->group_array.count; g++) {
            slots.push_back(SlotText(ctx, by_id.servers[i].id, g));
        }
    }
    return {groups, servers};
}

TEST(ServerIdFuncTest, RandomRoundTrip)
{
    auto &rng = kite_test::Rng();
    int loaded = 0;
    for (int iter = 0; iter < 800; iter++) {
        Model m = RandomConfig(rng);
        bool share = rng() % 2;
        LogCapture quiet;  // most random texts are refused; keep stderr clean
        Loaded first(m.text, 0, 0, share);
        if (first.result != 0) continue;
        loaded++;
        std::string rendered = Render(&first.ctx);
        Loaded second(rendered, 0, 0, share);
        ASSERT_EQ(second.result, 0)
            << m.text << "\n----\n"
            << rendered << (quiet.size() ? quiet.last() : "");
        ASSERT_EQ(Take(&first.ctx), Take(&second.ctx)) << m.text << "\n----\n"
                                                       << rendered;
        EXPECT_EQ(Render(&second.ctx), rendered);
        EXPECT_EQ(second.ctx.sorted_server_arrays.by_ip_port.count,
                  first.ctx.sorted_server_arrays.by_ip_port.count);
    }
    EXPECT_GT(loaded, 200) << "generator produces too few valid configurations";
}

TEST(ServerIdFuncTest, LookupsMatchBruteForce)
{
    auto &rng = kite_test::Rng();
    for (int iter = 0; iter < 200; iter++) {
        Model m = RandomConfig(rng);
        LogCapture quiet;
        Loaded l(m.text, 0, 0, true);
        if (l.result != 0) continue;
        const KTServerInfoArray &by_id = l.ctx.sorted_server_arrays.by_id;
        std::map<int, const KTServerInfo *> ids;
        std::map<std::pair<std::string, int>, int> addrs;
        for (int i = 0; i < by_id.count; i++) {
            ids[by_id.servers[i].id] = &by_id.servers[i];
            const KTAddressPtrArray &u = by_id.servers[i].uniq_addresses;
            for (int j = 0; j < u.count; j++) {
                addrs[{u.addrs[j]->conn.ip_addr, u.addrs[j]->conn.port}] =
                    by_id.servers[i].id;
            }
        }
        EXPECT_EQ((int)addrs.size(),
                  l.ctx.sorted_server_arrays.by_ip_port.count);
        for (int probe = 0; probe < 200; probe++) {
            int id = (int)(rng() % 100002);
            auto it = ids.find(id);
            EXPECT_EQ(kt_server_get_by_id(&l.ctx, id),
                      it == ids.end() ? nullptr : it->second);
        }
        for (const auto &[key, id] : addrs) {
            string_t ip = {(char *)key.first.data(), (int32_t)key.first.size()};
            KTServerInfo *s =
                kt_server_get_by_ip_port_ex(&l.ctx, &ip, key.second);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->id, id);
            EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &ip,
                                                  key.second + 1) != nullptr,
                      addrs.count({key.first, key.second + 1}) > 0);
            string_t cut = {ip.str, ip.len - 1};
            EXPECT_EQ(kt_server_get_by_ip_port_ex(&l.ctx, &cut, key.second) !=
                          nullptr,
                      addrs.count({key.first.substr(0, key.first.size() - 1),
                                   key.second}) > 0);
        }
    }
}

}  // namespace
