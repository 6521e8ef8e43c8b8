// Object pool against malloc/free and boost::object_pool: batches of
// 64-byte elements allocated, touched and freed again, the shape of a server
// that takes a record per request and gives it back soon after.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "kite_mblock.h"

#if __has_include(<boost/pool/object_pool.hpp>)
#include <boost/pool/object_pool.hpp>
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

BENCHMARK(BM_KiteMblock_AllocFree)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_KiteMblock_AllocFreeLocked)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_Malloc_AllocFree)->Arg(1)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
