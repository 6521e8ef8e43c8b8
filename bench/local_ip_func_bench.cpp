// Membership in a full local IP table (16 addresses) against
// std::unordered_set<std::string> holding the same addresses.  Probes are
// 16 addresses of the table (Hit) or 16 look-alikes that are not in it
// (Miss: the table compares every entry).  The set gets its best case:
// probes already built as std::string, so no conversion is timed.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "local_ip_func.h"

namespace {

std::vector<std::string> table_addresses()
{
    std::vector<std::string> addrs = {"127.0.0.1"};
    for (int i = 1; i < KT_MAX_LOCAL_IP_ADDRS; i++) {
        addrs.push_back("192.168." + std::to_string(i) + "." +
                        std::to_string(100 + i));
    }
    return addrs;
}

const std::vector<std::string> &probes(bool hit)
{
    static const std::vector<std::string> hits = table_addresses();
    static const std::vector<std::string> misses = [] {
        std::vector<std::string> m;
        for (const auto &a : table_addresses()) m.push_back(a + "9");
        m[0] = "127.0.0.2";
        return m;
    }();
    return hit ? hits : misses;
}

void fill_table()
{
    static bool filled = [] {
        for (const auto &a : table_addresses())
            insert_into_local_host_ip(a.c_str());
        return true;
    }();
    (void)filled;
}

void BM_LocalIpFunc_IsLocal(benchmark::State &state)
{
    fill_table();
    const auto &list = probes(state.range(0) != 0);
    std::vector<const char *> texts;
    for (const auto &p : list) texts.push_back(p.c_str());
    for (auto _ : state) {
        for (const char *ip : texts)
            benchmark::DoNotOptimize(is_local_host_ip(ip));
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)texts.size());
}
BENCHMARK(BM_LocalIpFunc_IsLocal)->ArgName("hit")->Arg(1)->Arg(0);

void BM_UnorderedSet_IsLocal(benchmark::State &state)
{
    const auto addrs = table_addresses();
    const std::unordered_set<std::string> set(addrs.begin(), addrs.end());
    const auto &list = probes(state.range(0) != 0);
    for (auto _ : state) {
        for (const auto &ip : list)
            benchmark::DoNotOptimize(set.count(ip) != 0);
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)list.size());
}
BENCHMARK(BM_UnorderedSet_IsLocal)->ArgName("hit")->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
