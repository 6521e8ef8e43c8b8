// Timing wheels against heap and tree timers on the same workload:
// 1,000,000 timers with random expiries within 10,000 ticks; schedule all,
// cancel half, then advance one tick at a time until the rest expired.
// BM_*_Run times the whole workload; BM_*_ScheduleCancel/N times only the
// scheduling and cancelling of N timers and reports the cost of each
// operation (sched_ns, cancel_ns), which for the wheels must stay flat as N
// grows from 10K to 1M.  BM_*_Threads: 4 threads schedule and cancel
// while a fifth walks, the locked wheel against a mutex-guarded wheel and a
// mutex-guarded binary heap.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <atomic>
#include <map>
#include <mutex>
#include <numeric>
#include <queue>
#include <random>
#include <thread>
#include <vector>

#include "bench_scale.h"
#include "kite_timer.h"
#include "locked_timer.h"

#if __has_include(<boost/heap/d_ary_heap.hpp>)
#include <boost/heap/d_ary_heap.hpp>
#define KITE_BENCH_HAVE_BOOST 1
#endif

namespace {

constexpr int64_t kStart = 1;
constexpr int64_t kSpan = 10000;
const int kFullCount = int(kite_bench_count(1000000));

// The same expiries and cancel list for every contender.
struct Workload {
    std::vector<int64_t> expires;
    std::vector<uint32_t> cancel;  // half of the ids, in random order
};

const Workload &workload(int count)
{
    static std::map<int, Workload> cache;
    Workload &w = cache[count];
    if (w.expires.empty()) {
        std::mt19937_64 rng(42);
        w.expires.resize(count);
        for (auto &e : w.expires) e = kStart + 1 + (int64_t)(rng() % kSpan);
        std::vector<uint32_t> ids(count);
        std::iota(ids.begin(), ids.end(), 0u);
        std::shuffle(ids.begin(), ids.end(), rng);
        w.cancel.assign(ids.begin(), ids.begin() + count / 2);
    }
    return w;
}

// Thread CPU time, so that other processes on a shared machine do not
// inflate the per-operation figures.
double cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

// Each contender: reset() (untimed), schedule(id, expires), cancel(id),
// advance(now) returning how many timers fired before now.
struct KiteWheel {
    KiteTimer timer{};
    std::vector<KiteTimerEntry> entries;
    explicit KiteWheel(int n) : entries(n) {}
    ~KiteWheel() { kite_timer_destroy(&timer); }
    void reset()
    {
        kite_timer_destroy(&timer);
        kite_timer_init(&timer, (int)kSpan, kStart);
    }
    void schedule(uint32_t id, int64_t t)
    {
        kite_timer_add_ex(&timer, &entries[id], t, true);
    }
    void cancel(uint32_t id) { kite_timer_remove(&timer, &entries[id]); }
    int64_t advance(int64_t now)
    {
        KiteTimerEntry head;
        int64_t fired = 0;
        kite_timer_timeouts_get(&timer, now, &head);
        for (KiteTimerEntry *e = head.next; e != nullptr; e = e->next) ++fired;
        return fired;
    }
};

struct LockedWheel {
    LockedTimer timer{};
    std::vector<LockedTimerEntry> entries;
    explicit LockedWheel(int n) : entries(n)
    {
        for (int i = 0; i < n; ++i) entries[i].lock_index = (uint16_t)(i % 64);
    }
    ~LockedWheel() { locked_timer_destroy(&timer); }
    void reset()
    {
        locked_timer_destroy(&timer);
        locked_timer_init_ex(&timer, (int)kSpan, kStart, 64, false);
    }
    void schedule(uint32_t id, int64_t t)
    {
        locked_timer_add_ex(&timer, &entries[id], t, 1);
    }
    void cancel(uint32_t id)
    {
        locked_timer_remove_ex(&timer, &entries[id],
                               KITE_LOCKED_TIMER_STATUS_CANCELED);
    }
    int64_t advance(int64_t now)
    {
        LockedTimerEntry head;
        int64_t fired = 0;
        locked_timer_timeouts_get(&timer, now, &head);
        for (LockedTimerEntry *e = head.next; e != nullptr; e = e->next)
            ++fired;
        return fired;
    }
};

// Binary heap that cannot remove: a cancelled id is skipped when popped.
struct LazyPriorityQueue {
    using Item = std::pair<int64_t, uint32_t>;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap;
    std::vector<char> cancelled;
    explicit LazyPriorityQueue(int n) : cancelled(n) {}
    void reset()
    {
        heap = {};
        std::fill(cancelled.begin(), cancelled.end(), 0);
    }
    void schedule(uint32_t id, int64_t t) { heap.emplace(t, id); }
    void cancel(uint32_t id) { cancelled[id] = 1; }
    int64_t advance(int64_t now)
    {
        int64_t fired = 0;
        while (!heap.empty() && heap.top().first < now) {
            fired += !cancelled[heap.top().second];
            heap.pop();
        }
        return fired;
    }
};

struct MultimapTimers {
    std::multimap<int64_t, uint32_t> tree;
    std::vector<std::multimap<int64_t, uint32_t>::iterator> where;
    explicit MultimapTimers(int n) : where(n) {}
    void reset() { tree.clear(); }
    void schedule(uint32_t id, int64_t t) { where[id] = tree.emplace(t, id); }
    void cancel(uint32_t id) { tree.erase(where[id]); }
    int64_t advance(int64_t now)
    {
        auto end = tree.lower_bound(now);
        const int64_t fired = std::distance(tree.begin(), end);
        tree.erase(tree.begin(), end);
        return fired;
    }
};

#ifdef KITE_BENCH_HAVE_BOOST
struct DaryHeapTimers {
    struct Item {
        int64_t expires;
        uint32_t id;
    };
    struct Later {
        bool operator()(const Item &a, const Item &b) const
        {
            return a.expires > b.expires;
        }
    };
    using Heap = boost::heap::d_ary_heap<Item, boost::heap::arity<4>,
                                         boost::heap::mutable_<true>,
                                         boost::heap::compare<Later>>;
    Heap heap;
    std::vector<Heap::handle_type> handles;
    explicit DaryHeapTimers(int n) : handles(n) {}
    void reset() { heap.clear(); }
    void schedule(uint32_t id, int64_t t) { handles[id] = heap.push({t, id}); }
    void cancel(uint32_t id) { heap.erase(handles[id]); }
    int64_t advance(int64_t now)
    {
        int64_t fired = 0;
        while (!heap.empty() && heap.top().expires < now) {
            heap.pop();
            ++fired;
        }
        return fired;
    }
};
#endif

template <class Timers>
void schedule_and_cancel(Timers &timers, const Workload &w)
{
    for (uint32_t id = 0; id < w.expires.size(); ++id) {
        timers.schedule(id, w.expires[id]);
    }
    for (uint32_t id : w.cancel) timers.cancel(id);
}

template <class Timers>
int64_t advance_all(Timers &timers)
{
    int64_t fired = 0;
    for (int64_t now = kStart + 1; now <= kStart + kSpan + 1; ++now) {
        fired += timers.advance(now);
    }
    return fired;
}

template <class Timers>
void BM_Run(benchmark::State &state)
{
    const Workload &w = workload(kFullCount);
    Timers timers(kFullCount);
    double setup_ns = 0, advance_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        timers.reset();
        state.ResumeTiming();
        const double t0 = cpu_ns();
        schedule_and_cancel(timers, w);
        const double t1 = cpu_ns();
        const int64_t fired = advance_all(timers);
        setup_ns += t1 - t0;
        advance_ns += cpu_ns() - t1;
        if (fired != kFullCount - (int64_t)w.cancel.size()) {
            state.SkipWithError("wrong number of timers fired");
            break;
        }
    }
    const double n = (double)state.iterations();
    state.counters["sched_cancel_ms"] = setup_ns / n / 1e6;
    state.counters["advance_ms"] = advance_ns / n / 1e6;
    state.SetItemsProcessed(state.iterations() * kFullCount);
}

// Times the two phases separately so that the cost per schedule and per
// cancel can be compared across sizes.
template <class Timers>
void BM_ScheduleCancel(benchmark::State &state)
{
    const int count = (int)state.range(0);
    const Workload &w = workload(count);
    Timers timers(count);
    double sched_ns = 0, cancel_ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        timers.reset();
        state.ResumeTiming();
        double t0 = cpu_ns();
        for (uint32_t id = 0; id < (uint32_t)count; ++id) {
            timers.schedule(id, w.expires[id]);
        }
        const double t1 = cpu_ns();
        for (uint32_t id : w.cancel) timers.cancel(id);
        sched_ns += t1 - t0;
        cancel_ns += cpu_ns() - t1;
    }
    const double n = (double)state.iterations();
    state.counters["sched_ns"] = sched_ns / (n * count);
    state.counters["cancel_ns"] = cancel_ns / (n * (double)w.cancel.size());
    state.SetItemsProcessed(state.iterations() * (count + count / 2));
}

#define KITE_TIMER_BENCH(Name, Type)                                          \
    void BM_##Name##_Run(benchmark::State &s)                                 \
    {                                                                         \
        BM_Run<Type>(s);                                                      \
    }                                                                         \
    BENCHMARK(BM_##Name##_Run)->Unit(benchmark::kMillisecond)->Iterations(5); \
    void BM_##Name##_ScheduleCancel(benchmark::State &s)                      \
    {                                                                         \
        BM_ScheduleCancel<Type>(s);                                           \
    }                                                                         \
    BENCHMARK(BM_##Name##_ScheduleCancel)                                     \
        ->Unit(benchmark::kMillisecond)                                       \
        ->Arg(10000)                                                          \
        ->Arg(100000)                                                         \
        ->Arg(1000000)

KITE_TIMER_BENCH(KiteTimer, KiteWheel);
KITE_TIMER_BENCH(LockedTimer, LockedWheel);
#ifdef KITE_BENCH_HAVE_BOOST
KITE_TIMER_BENCH(BoostDaryHeap, DaryHeapTimers);
#endif
KITE_TIMER_BENCH(StdPriorityQueue, LazyPriorityQueue);
KITE_TIMER_BENCH(StdMultimap, MultimapTimers);

// 4 threads each schedule their quarter of the timers at random expiries up
// to kSpan ticks after the walker's current tick and cancel every other one
// of them; the fifth thread advances the time by one tick per kOpsPerTick
// operations done and takes what expired.  Each contender: schedule(id, t),
// cancel(id) and walk(now) (returns how many fired), all callable at once.
constexpr int kMtThreads = 4;
constexpr int64_t kOpsPerTick = 64;

struct MtLocked {
    LockedTimer timer{};
    std::vector<LockedTimerEntry> entries;
    explicit MtLocked(int n) : entries(n)
    {
        for (int i = 0; i < n; ++i) entries[i].lock_index = (uint16_t)(i % 64);
        locked_timer_init_ex(&timer, (int)kSpan, kStart, 64, false);
    }
    ~MtLocked() { locked_timer_destroy(&timer); }
    void schedule(uint32_t id, int64_t t)
    {
        locked_timer_add_ex(&timer, &entries[id], t, 1);
    }
    void cancel(uint32_t id)
    {
        locked_timer_remove_ex(&timer, &entries[id],
                               KITE_LOCKED_TIMER_STATUS_CANCELED);
    }
    int64_t walk(int64_t now)
    {
        LockedTimerEntry head;
        int64_t fired = 0;
        locked_timer_timeouts_get(&timer, now, &head);
        for (LockedTimerEntry *e = head.next; e != nullptr; e = e->next)
            ++fired;
        return fired;
    }
};

// The single-thread wheel behind one mutex; the walker unhooks what fired
// under the lock, so that a late cancel finds it in no chain.
struct MtGuardedKite {
    std::mutex mutex;
    KiteTimer timer{};
    std::vector<KiteTimerEntry> entries;
    explicit MtGuardedKite(int n) : entries(n)
    {
        kite_timer_init(&timer, (int)kSpan, kStart);
    }
    ~MtGuardedKite() { kite_timer_destroy(&timer); }
    void schedule(uint32_t id, int64_t t)
    {
        std::lock_guard<std::mutex> guard(mutex);
        kite_timer_add_ex(&timer, &entries[id], t, true);
    }
    void cancel(uint32_t id)
    {
        std::lock_guard<std::mutex> guard(mutex);
        kite_timer_remove(&timer, &entries[id]);
    }
    int64_t walk(int64_t now)
    {
        std::lock_guard<std::mutex> guard(mutex);
        KiteTimerEntry head;
        int64_t fired = 0;
        kite_timer_timeouts_get(&timer, now, &head);
        for (KiteTimerEntry *e = head.next; e != nullptr;) {
            KiteTimerEntry *next = e->next;
            e->prev = e->next = nullptr;
            e = next;
            ++fired;
        }
        return fired;
    }
};

struct MtGuardedHeap {
    std::mutex mutex;
    LazyPriorityQueue heap;
    explicit MtGuardedHeap(int n) : heap(n) {}
    void schedule(uint32_t id, int64_t t)
    {
        std::lock_guard<std::mutex> guard(mutex);
        heap.schedule(id, t);
    }
    void cancel(uint32_t id)
    {
        std::lock_guard<std::mutex> guard(mutex);
        heap.cancel(id);
    }
    int64_t walk(int64_t now)
    {
        std::lock_guard<std::mutex> guard(mutex);
        return heap.advance(now);
    }
};

template <class Timers>
void BM_Threads(benchmark::State &state)
{
    const int count = (int)kite_bench_count(400000);
    const int per = count / kMtThreads;
    for (auto _ : state) {
        Timers timers(count);
        std::atomic<int64_t> now{kStart};
        std::atomic<int64_t> ops{0};
        std::atomic<int> running{kMtThreads};
        std::thread walker([&] {
            int64_t tick = kStart;
            while (running.load(std::memory_order_acquire) > 0) {
                if (ops.load(std::memory_order_relaxed) <
                    (tick - kStart) * kOpsPerTick) {
                    std::this_thread::yield();
                    continue;
                }
                benchmark::DoNotOptimize(timers.walk(++tick));
                now.store(tick, std::memory_order_relaxed);
            }
        });
        std::vector<std::thread> workers;
        for (int w = 0; w < kMtThreads; ++w) {
            workers.emplace_back([&, w] {
                std::mt19937 rng(w + 1);
                const uint32_t first = (uint32_t)(w * per);
                for (uint32_t id = first; id < first + per; ++id) {
                    const int64_t t = now.load(std::memory_order_relaxed) + 1 +
                                      (int64_t)(rng() % kSpan);
                    timers.schedule(id, t);
                    if ((id & 1) != 0) timers.cancel(id - 1);
                    if ((id & 15) == 15) ops.fetch_add(24);
                }
                running.fetch_sub(1, std::memory_order_release);
            });
        }
        for (auto &t : workers) t.join();
        walker.join();
    }
    state.SetItemsProcessed(state.iterations() * (count + count / 2));
}

void BM_LockedTimer_Threads(benchmark::State &s)
{
    BM_Threads<MtLocked>(s);
}
void BM_GuardedKiteTimer_Threads(benchmark::State &s)
{
    BM_Threads<MtGuardedKite>(s);
}
void BM_GuardedPriorityQueue_Threads(benchmark::State &s)
{
    BM_Threads<MtGuardedHeap>(s);
}
BENCHMARK(BM_LockedTimer_Threads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GuardedKiteTimer_Threads)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GuardedPriorityQueue_Threads)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
