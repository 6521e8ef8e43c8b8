// Object pool against malloc/free, boost::pool and boost::object_pool:
// batches of 64-byte elements allocated, touched and freed again, the shape
// of a server that takes a record per request and gives it back soon after.
// Bulk: 1,000,000 allocations then their frees, on a fresh pool each time
// (trunk making included).  Burst: rounds of 100 on a warm pool.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench_scale.h"
#include "kite_mblock.h"

#if __has_include(<boost/pool/object_pool.hpp>)
#include <boost/pool/object_pool.hpp>
#include <boost/pool/pool.hpp>
#define KITE_HAVE_BOOST_POOL 1
#endif

namespace {

struct Element {
    char bytes[64];
};

// Items per batch; the benchmark counts one item as one alloc+free pair.
template <typename Alloc, typename Free>
void RunBatches(benchmark::State &state, Alloc alloc, Free release)
{
    const int batch = static_cast<int>(state.range(0));
    std::vector<Element *> held(batch);
    for (auto _ : state) {
        for (int i = 0; i < batch; i++) {
            held[i] = alloc();
            held[i]->bytes[0] = static_cast<char>(i);
        }
        benchmark::DoNotOptimize(held.data());
        for (int i = batch - 1; i >= 0; i--) release(held[i]);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void BM_KiteMblock_AllocFree(benchmark::State &state)
{
    kite_mblock_man pool;
    kite_mblock_init(&pool, sizeof(Element), 1024, false);
    RunBatches(
        state,
        [&] { return static_cast<Element *>(kite_mblock_alloc_object(&pool)); },
        [&](Element *e) { kite_mblock_free_object(&pool, e); });
    kite_mblock_destroy(&pool);
}

void BM_KiteMblock_AllocFreeLocked(benchmark::State &state)
{
    kite_mblock_man pool;
    kite_mblock_init(&pool, sizeof(Element), 1024, true);
    RunBatches(
        state,
        [&] { return static_cast<Element *>(kite_mblock_alloc_object(&pool)); },
        [&](Element *e) { kite_mblock_free_object(&pool, e); });
    kite_mblock_destroy(&pool);
}

void BM_Malloc_AllocFree(benchmark::State &state)
{
    RunBatches(
        state, [] { return static_cast<Element *>(malloc(sizeof(Element))); },
        [](Element *e) { free(e); });
}

#ifdef KITE_HAVE_BOOST_POOL
void BM_BoostObjectPool_AllocFree(benchmark::State &state)
{
    boost::object_pool<Element> pool;
    RunBatches(
        state, [&] { return pool.malloc(); },
        [&](Element *e) { pool.free(e); });
}
BENCHMARK(BM_BoostObjectPool_AllocFree)->Arg(1)->Arg(64)->Arg(1024);
#endif

// Burst: the batch loop above with 100 items on a warm pool.
constexpr int kBurst = 100;

// Bulk: a fresh pool per round, so trunk making is part of the cost.
template <typename Pool, typename Alloc, typename Free>
void RunBulk(benchmark::State &state, Pool make_pool, Alloc alloc, Free release)
{
    const int64_t count = kite_bench_count(1000000);
    std::vector<Element *> held(count);
    for (auto _ : state) {
        auto pool = make_pool();
        for (int64_t i = 0; i < count; i++) {
            held[i] = alloc(*pool);
            held[i]->bytes[0] = static_cast<char>(i);
        }
        benchmark::DoNotOptimize(held.data());
        for (int64_t i = 0; i < count; i++) release(*pool, held[i]);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

struct MblockHolder {
    kite_mblock_man pool;
    MblockHolder() { kite_mblock_init(&pool, sizeof(Element), 1024, false); }
    ~MblockHolder() { kite_mblock_destroy(&pool); }
};

void BM_KiteMblock_Bulk(benchmark::State &state)
{
    RunBulk(
        state, [] { return std::make_unique<MblockHolder>(); },
        [](MblockHolder &h) {
            return static_cast<Element *>(kite_mblock_alloc_object(&h.pool));
        },
        [](MblockHolder &h, Element *e) {
            kite_mblock_free_object(&h.pool, e);
        });
}

void BM_KiteMblock_Burst(benchmark::State &state)
{
    kite_mblock_man pool;
    kite_mblock_init(&pool, sizeof(Element), 1024, false);
    RunBatches(
        state,
        [&] { return static_cast<Element *>(kite_mblock_alloc_object(&pool)); },
        [&](Element *e) { kite_mblock_free_object(&pool, e); });
    kite_mblock_destroy(&pool);
}
BENCHMARK(BM_KiteMblock_Bulk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KiteMblock_Burst)->Arg(kBurst);

#ifdef KITE_HAVE_BOOST_POOL
void BM_BoostPool_Bulk(benchmark::State &state)
{
    RunBulk(
        state, [] { return std::make_unique<boost::pool<>>(sizeof(Element)); },
        [](boost::pool<> &p) { return static_cast<Element *>(p.malloc()); },
        [](boost::pool<> &p, Element *e) { p.free(e); });
}

void BM_BoostPool_Burst(benchmark::State &state)
{
    boost::pool<> pool(sizeof(Element));
    RunBatches(
        state, [&] { return static_cast<Element *>(pool.malloc()); },
        [&](Element *e) { pool.free(e); });
}
BENCHMARK(BM_BoostPool_Bulk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoostPool_Burst)->Arg(kBurst);
#endif

BENCHMARK(BM_KiteMblock_AllocFree)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_KiteMblock_AllocFreeLocked)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_Malloc_AllocFree)->Arg(1)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
