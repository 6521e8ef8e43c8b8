// Memory pool against APR's pools, std::pmr::monotonic_buffer_resource and
// malloc/free: one round is 1,000,000 allocations of 8 to 128 bytes (sizes
// drawn once from a fixed seed, the same for every contestant), each touched
// once, then everything is given back at once (reset, clear, release, or a
// free per allocation).  The pools keep their memory across rounds where
// they can, which is the point of using one per request or per batch.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory_resource>
#include <random>
#include <vector>

#include "kite_mpool.h"

#if defined(KITE_BENCH_LINK_APR) && __has_include(<apr-1.0/apr_pools.h>)
#include <apr-1.0/apr_pools.h>
#define KITE_HAVE_APR 1
#endif

namespace {

constexpr int kAllocations = 1000000;

// Drawn before main, so no benchmark pays for the drawing.
const std::vector<int> g_sizes = [] {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> dist(8, 128);
    std::vector<int> out(kAllocations);
    for (int &s : out) s = dist(rng);
    return out;
}();

// One round per iteration: alloc(size) for every size, then clear().
template <typename Alloc, typename Clear>
void RunRounds(benchmark::State &state, Alloc alloc, Clear clear)
{
    for (auto _ : state) {
        for (int size : g_sizes) {
            char *p = alloc(size);
            p[0] = static_cast<char>(size);
            benchmark::DoNotOptimize(p);
        }
        clear();
    }
    state.SetItemsProcessed(state.iterations() * kAllocations);
}

void BM_KiteMpool_AllocReset(benchmark::State &state)
{
    kite_mpool_man pool;
    kite_mpool_init(&pool, 0, 0);
    RunRounds(
        state,
        [&](int size) {
            return static_cast<char *>(kite_mpool_alloc(&pool, size));
        },
        [&] { kite_mpool_reset(&pool); });
    kite_mpool_destroy(&pool);
}
BENCHMARK(BM_KiteMpool_AllocReset)->Unit(benchmark::kMillisecond);

#ifdef KITE_HAVE_APR
void BM_Apr_PallocClear(benchmark::State &state)
{
    static const bool initialised = (apr_initialize(), true);
    (void)initialised;
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    RunRounds(
        state,
        [&](int size) { return static_cast<char *>(apr_palloc(pool, size)); },
        [&] { apr_pool_clear(pool); });
    apr_pool_destroy(pool);
}
BENCHMARK(BM_Apr_PallocClear)->Unit(benchmark::kMillisecond);
#endif

// Alignment 1: the same contract as the pool's unaligned carving.  The
// first buffer is as large as the pool's trunk.
void BM_PmrMonotonic_AllocateRelease(benchmark::State &state)
{
    std::pmr::monotonic_buffer_resource resource(1024 * 1024);
    RunRounds(
        state,
        [&](int size) {
            return static_cast<char *>(resource.allocate(size, 1));
        },
        [&] { resource.release(); });
}
BENCHMARK(BM_PmrMonotonic_AllocateRelease)->Unit(benchmark::kMillisecond);

void BM_Malloc_AllocFree(benchmark::State &state)
{
    std::vector<char *> held;
    held.reserve(kAllocations);
    RunRounds(
        state,
        [&](int size) {
            held.push_back(static_cast<char *>(malloc(size)));
            return held.back();
        },
        [&] {
            for (char *p : held) free(p);
            held.clear();
        });
}
BENCHMARK(BM_Malloc_AllocFree)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
