// Ordered sets of 1,000,000 random 64-bit keys held by pointer, compared by
// one out-of-line comparison function: insert all, find all in random order,
// delete all in another random order.  Every contender gets the same keys
// and the same orders.  BM_<Module>_<Case> beside the peers' cases.
//
// The *_Comparisons cases are not timings: they count the comparison calls
// of a full round of successful searches and report the mean per search
// (counter cmp_per_find) beside the textbook figure for p = 1/2, 2 log2 N
// (counter textbook).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "bench_scale.h"
#include "skiplist_set.h"
#include "uniq_skiplist.h"

#if __has_include(<absl/container/btree_set.h>) && defined(KITE_BENCH_LINK_ABSL)
#include <absl/container/btree_set.h>
#define KITE_HAVE_ABSL 1
#endif
#if __has_include(<apr-1.0/apr_skiplist.h>) && defined(KITE_BENCH_LINK_APR)
#include <apr-1.0/apr_pools.h>
#include <apr-1.0/apr_skiplist.h>
#define KITE_HAVE_APR 1
#endif

namespace {

const size_t kN = size_t(kite_bench_count(1000000));

uint64_t g_compare_calls = 0;
bool g_count_calls = false;

__attribute__((noinline)) int CompareKeys(const void *a, const void *b)
{
    if (g_count_calls) g_compare_calls++;
    uint64_t x = *static_cast<const uint64_t *>(a);
    uint64_t y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

struct KeyLess {
    bool operator()(const uint64_t *a, const uint64_t *b) const
    {
        return CompareKeys(a, b) < 0;
    }
};

// The shared data: distinct random keys and the two visiting orders.
struct Data {
    std::vector<uint64_t> keys;
    std::vector<uint64_t *> insert_order, find_order, delete_order;

    Data()
    {
        std::mt19937_64 rng(20261208);
        std::set<uint64_t> seen;
        keys.reserve(kN);
        while (keys.size() < kN) {
            uint64_t k = rng();
            if (seen.insert(k).second) keys.push_back(k);
        }
        for (auto &k : keys) insert_order.push_back(&k);
        find_order = insert_order;
        delete_order = insert_order;
        std::shuffle(find_order.begin(), find_order.end(), rng);
        std::shuffle(delete_order.begin(), delete_order.end(), rng);
    }
};

const Data &GetData()
{
    static const Data data;
    return data;
}

// Each contender: Fill, Find (returns the number found), Erase.
struct UniqSkiplistSet {
    UniqSkiplistFactory factory{};
    UniqSkiplist *sl = nullptr;
    UniqSkiplistSet()
    {
        if (uniq_skiplist_init_ex(&factory, 30, CompareKeys, nullptr, 0, 1024,
                                  0) != 0) {
            abort();
        }
        sl = uniq_skiplist_new(&factory, 1);
    }
    ~UniqSkiplistSet()
    {
        uniq_skiplist_free(sl);
        uniq_skiplist_destroy(&factory);
    }
    void Insert(uint64_t *k) { uniq_skiplist_insert(sl, k); }
    bool Find(uint64_t *k) { return uniq_skiplist_find(sl, k) != nullptr; }
    void Erase(uint64_t *k) { uniq_skiplist_delete_ex(sl, k, false); }
};

struct SkiplistSetSet {
    SkiplistSet set{};
    SkiplistSetSet()
    {
        if (skiplist_set_init_ex(&set, 20, CompareKeys, nullptr, 1024) != 0) {
            abort();
        }
    }
    ~SkiplistSetSet() { skiplist_set_destroy(&set); }
    void Insert(uint64_t *k) { skiplist_set_insert(&set, k); }
    bool Find(uint64_t *k) { return skiplist_set_find(&set, k) != nullptr; }
    void Erase(uint64_t *k) { skiplist_set_delete(&set, k); }
};

struct StdSet {
    std::set<const uint64_t *, KeyLess> set;
    void Insert(uint64_t *k) { set.insert(k); }
    bool Find(uint64_t *k) { return set.find(k) != set.end(); }
    void Erase(uint64_t *k) { set.erase(k); }
};

#ifdef KITE_HAVE_ABSL
struct AbslBtreeSet {
    absl::btree_set<const uint64_t *, KeyLess> set;
    void Insert(uint64_t *k) { set.insert(k); }
    bool Find(uint64_t *k) { return set.find(k) != set.end(); }
    void Erase(uint64_t *k) { set.erase(k); }
};
#endif

#ifdef KITE_HAVE_APR
int AprCompare(void *a, void *b)
{
    return CompareKeys(a, b);
}

struct AprSkiplist {
    apr_pool_t *pool = nullptr;
    apr_skiplist *sl = nullptr;
    AprSkiplist()
    {
        static bool initialised = (apr_initialize(), true);
        (void)initialised;
        apr_pool_create(&pool, nullptr);
        apr_skiplist_init(&sl, pool);
        apr_skiplist_set_compare(sl, AprCompare, AprCompare);
    }
    ~AprSkiplist()
    {
        apr_skiplist_destroy(sl, nullptr);
        apr_pool_destroy(pool);
    }
    void Insert(uint64_t *k) { apr_skiplist_insert(sl, k); }
    bool Find(uint64_t *k)
    {
        return apr_skiplist_find(sl, k, nullptr) != nullptr;
    }
    void Erase(uint64_t *k) { apr_skiplist_remove(sl, k, nullptr); }
};
#endif

template <typename S>
void Fill(S &s, const Data &d)
{
    for (uint64_t *k : d.insert_order) s.Insert(k);
}

template <typename S>
void BM_Insert(benchmark::State &state)
{
    const Data &d = GetData();
    for (auto _ : state) {
        state.PauseTiming();
        auto *s = new S();
        state.ResumeTiming();
        Fill(*s, d);
        state.PauseTiming();
        delete s;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * kN));
}

template <typename S>
void BM_Find(benchmark::State &state)
{
    const Data &d = GetData();
    S s;
    Fill(s, d);
    size_t found = 0;
    for (auto _ : state) {
        for (uint64_t *k : d.find_order) found += s.Find(k);
    }
    if (found != state.iterations() * kN) state.SkipWithError("lost keys");
    state.SetItemsProcessed(int64_t(state.iterations() * kN));
}

template <typename S>
void BM_Delete(benchmark::State &state)
{
    const Data &d = GetData();
    for (auto _ : state) {
        state.PauseTiming();
        auto *s = new S();
        Fill(*s, d);
        state.ResumeTiming();
        for (uint64_t *k : d.delete_order) s->Erase(k);
        state.PauseTiming();
        delete s;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations() * kN));
}

template <typename S>
void BM_Comparisons(benchmark::State &state)
{
    const Data &d = GetData();
    S s;
    Fill(s, d);
    for (auto _ : state) {
        g_compare_calls = 0;
        g_count_calls = true;
        for (uint64_t *k : d.find_order) benchmark::DoNotOptimize(s.Find(k));
        g_count_calls = false;
    }
    state.counters["cmp_per_find"] = double(g_compare_calls) / double(kN);
    state.counters["textbook"] = 2.0 * std::log2(double(kN));
}

#define KITE_SET_BENCH(Name, Type)                                             \
    void BM_##Name##_Insert(benchmark::State &s)                               \
    {                                                                          \
        BM_Insert<Type>(s);                                                    \
    }                                                                          \
    void BM_##Name##_Find(benchmark::State &s)                                 \
    {                                                                          \
        BM_Find<Type>(s);                                                      \
    }                                                                          \
    void BM_##Name##_Delete(benchmark::State &s)                               \
    {                                                                          \
        BM_Delete<Type>(s);                                                    \
    }                                                                          \
    BENCHMARK(BM_##Name##_Insert)                                              \
        ->Unit(benchmark::kMillisecond)                                        \
        ->Iterations(3);                                                       \
    BENCHMARK(BM_##Name##_Find)->Unit(benchmark::kMillisecond)->Iterations(3); \
    BENCHMARK(BM_##Name##_Delete)->Unit(benchmark::kMillisecond)->Iterations(3)

KITE_SET_BENCH(UniqSkiplist, UniqSkiplistSet);
KITE_SET_BENCH(SkiplistSet, SkiplistSetSet);
KITE_SET_BENCH(StdSet, StdSet);
#ifdef KITE_HAVE_ABSL
KITE_SET_BENCH(AbslBtreeSet, AbslBtreeSet);
#endif
#ifdef KITE_HAVE_APR
KITE_SET_BENCH(AprSkiplist, AprSkiplist);
#endif

void BM_UniqSkiplist_Comparisons(benchmark::State &s)
{
    BM_Comparisons<UniqSkiplistSet>(s);
}
void BM_SkiplistSet_Comparisons(benchmark::State &s)
{
    BM_Comparisons<SkiplistSetSet>(s);
}
void BM_StdSet_Comparisons(benchmark::State &s)
{
    BM_Comparisons<StdSet>(s);
}
BENCHMARK(BM_UniqSkiplist_Comparisons)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_SkiplistSet_Comparisons)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_StdSet_Comparisons)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
