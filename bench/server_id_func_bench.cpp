// Cluster configuration: the whole load (parse, checks, indexes) of 2 groups
// and 10,000 servers with 2 addresses each, against inih parsing the same
// text alone; and 1,000,000 lookups by id and by ip:port against std::map
// and std::unordered_map built from the loaded configuration.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server_id_func.h"

#if defined(KITE_BENCH_HAVE_INIH) && __has_include(<ini.h>)
#include <ini.h>
#define HAVE_INIH 1
#endif

namespace {

constexpr int kServers = 10000;
constexpr int kLookups = 1000000;

const std::string &ConfigText()
{
    static const std::string text = [] {
        std::string t = "[group-cluster]\nport = 5201\nnet_type = "
                        "inner\nip_prefix = 10.\n\n"
                        "[group-service]\nport = 5200\nnet_type = outer\n\n";
        char line[160];
        for (int i = 1; i <= kServers; i++) {
            snprintf(line, sizeof(line),
                     "[server-%d]\nhost = 10.%d.%d.%d\nhost = 203.%d.%d.%d\n\n",
                     i, i / 65536, i / 256 % 256, i % 256, i / 65536,
                     i / 256 % 256, i % 256);
            t += line;
        }
        return t;
    }();
    return text;
}

struct Loaded {
    KTServerConfig ctx;
    Loaded()
    {
        std::string copy = ConfigText();
        if (kt_server_load_from_buffer_ex(&ctx, copy.data(), "bench", 0, 0,
                                          false) != 0) {
            abort();
        }
    }
    ~Loaded() { kt_server_destroy(&ctx); }
};

Loaded &Config()
{
    static Loaded loaded;
    return loaded;
}

struct Queries {
    std::vector<int> ids;
    std::vector<std::pair<std::string, int>> addrs;
    std::vector<string_t> addr_keys;
};

const Queries &MakeQueries()
{
    static const Queries q = [] {
        Queries out;
        std::mt19937 rng(42);
        const KTServerMapArray &maps =
            Config().ctx.sorted_server_arrays.by_ip_port;
        for (int i = 0; i < kLookups; i++) {
            out.ids.push_back(1 + (int)(rng() % kServers));
            const KTServerMap &m = maps.maps[rng() % maps.count];
            out.addrs.emplace_back(std::string(m.ip_addr.str, m.ip_addr.len),
                                   m.port);
        }
        for (const auto &a : out.addrs) {
            out.addr_keys.push_back(
                {(char *)a.first.data(), (int32_t)a.first.size()});
        }
        return out;
    }();
    return q;
}

void BM_ServerIdFunc_Load(benchmark::State &state)
{
    std::string text = ConfigText();
    for (auto _ : state) {
        KTServerConfig ctx;
        int result = kt_server_load_from_buffer_ex(&ctx, text.data(), "bench",
                                                   0, 0, false);
        benchmark::DoNotOptimize(result);
        state.PauseTiming();
        kt_server_destroy(&ctx);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_ServerIdFunc_Load)->Unit(benchmark::kMillisecond);

#ifdef HAVE_INIH
int CountItem(void *user, const char *, const char *, const char *)
{
    ++*static_cast<int *>(user);
    return 1;
}

void BM_ServerIdFunc_InihParse(benchmark::State &state)
{
    const std::string &text = ConfigText();
    for (auto _ : state) {
        int items = 0;
        if (ini_parse_string(text.c_str(), CountItem, &items) != 0) abort();
        benchmark::DoNotOptimize(items);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)text.size());
}
BENCHMARK(BM_ServerIdFunc_InihParse)->Unit(benchmark::kMillisecond);
#endif

void BM_ServerIdFunc_LookupById(benchmark::State &state)
{
    KTServerConfig *ctx = &Config().ctx;
    const Queries &q = MakeQueries();
    for (auto _ : state) {
        for (int id : q.ids)
            benchmark::DoNotOptimize(kt_server_get_by_id(ctx, id));
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_ServerIdFunc_LookupById)->Unit(benchmark::kMillisecond);

void BM_ServerIdFunc_StdMapById(benchmark::State &state)
{
    const KTServerInfoArray &by_id = Config().ctx.sorted_server_arrays.by_id;
    std::map<int, KTServerInfo *> map;
    for (int i = 0; i < by_id.count; i++)
        map[by_id.servers[i].id] = &by_id.servers[i];
    const Queries &q = MakeQueries();
    for (auto _ : state) {
        for (int id : q.ids) benchmark::DoNotOptimize(map.find(id)->second);
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_ServerIdFunc_StdMapById)->Unit(benchmark::kMillisecond);

void BM_ServerIdFunc_UnorderedMapById(benchmark::State &state)
{
    const KTServerInfoArray &by_id = Config().ctx.sorted_server_arrays.by_id;
    std::unordered_map<int, KTServerInfo *> map;
    for (int i = 0; i < by_id.count; i++)
        map[by_id.servers[i].id] = &by_id.servers[i];
    const Queries &q = MakeQueries();
    for (auto _ : state) {
        for (int id : q.ids) benchmark::DoNotOptimize(map.find(id)->second);
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_ServerIdFunc_UnorderedMapById)->Unit(benchmark::kMillisecond);

void BM_ServerIdFunc_LookupByIpPort(benchmark::State &state)
{
    KTServerConfig *ctx = &Config().ctx;
    const Queries &q = MakeQueries();
    for (auto _ : state) {
        for (int i = 0; i < kLookups; i++) {
            benchmark::DoNotOptimize(kt_server_get_by_ip_port_ex(
                ctx, &q.addr_keys[i], q.addrs[i].second));
        }
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_ServerIdFunc_LookupByIpPort)->Unit(benchmark::kMillisecond);

struct PairHash {
    size_t operator()(const std::pair<std::string, int> &k) const
    {
        return std::hash<std::string>()(k.first) * 31 + (size_t)k.second;
    }
};

template <typename Map>
void BuildAddressMap(Map *map)
{
    const KTServerMapArray &maps = Config().ctx.sorted_server_arrays.by_ip_port;
    for (int i = 0; i < maps.count; i++) {
        (*map)[{std::string(maps.maps[i].ip_addr.str, maps.maps[i].ip_addr.len),
                maps.maps[i].port}] = maps.maps[i].server;
    }
}

void BM_ServerIdFunc_StdMapByIpPort(benchmark::State &state)
{
    std::map<std::pair<std::string, int>, KTServerInfo *> map;
    BuildAddressMap(&map);
    const Queries &q = MakeQueries();
    for (auto _ : state) {
        for (const auto &a : q.addrs)
            benchmark::DoNotOptimize(map.find(a)->second);
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_ServerIdFunc_StdMapByIpPort)->Unit(benchmark::kMillisecond);

void BM_ServerIdFunc_UnorderedMapByIpPort(benchmark::State &state)
{
    std::unordered_map<std::pair<std::string, int>, KTServerInfo *, PairHash>
        map;
    BuildAddressMap(&map);
    const Queries &q = MakeQueries();
    for (auto _ : state) {
        for (const auto &a : q.addrs)
            benchmark::DoNotOptimize(map.find(a)->second);
    }
    state.SetItemsProcessed(state.iterations() * kLookups);
}
BENCHMARK(BM_ServerIdFunc_UnorderedMapByIpPort)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
