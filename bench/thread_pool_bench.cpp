// The thread pool hands each work item straight to an idle thread; by
// default there is no task queue, and the Backlog cases add its bounded
// backlog (kBacklog items).  These cases measure both, against GLib's
// GThreadPool, boost::asio::thread_pool and libuv's uv_queue_work, each
// with two worker threads:
//   HandOff: latency from the submit call returning to the work function
//     starting, over 100,000 items submitted one at a time to idle threads
//     (median_us and p99_us, signed, in microseconds; call_median_us and
//     call_p99_us measure from the moment the call was made);
//   Work20us: throughput of 200,000 items of about 20 us of computation
//     from one submitting thread;
//   Empty: throughput of 1,000,000 empty items, which shows the cost of the
//     hand-off itself.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench_scale.h"
#include "thread_pool.h"

#if __has_include(<glib.h>)
#include <glib.h>
#define KITE_BENCH_GLIB 1
#endif
#if __has_include(<boost/asio/thread_pool.hpp>)
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#define KITE_BENCH_ASIO 1
#endif
#if defined(KITE_BENCH_HAVE_UV) && __has_include(<uv.h>)
#include <uv.h>
#define KITE_BENCH_UV 1
#endif

namespace {

constexpr int kThreads = 2;
const int kLatencyItems = int(kite_bench_count(100000));
const int kWorkItems = int(kite_bench_count(200000));
const int kEmptyItems = int(kite_bench_count(1000000));
constexpr int kBacklog = 1024;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- the work items ------------------------------------------------------

struct LatencySlot {
    std::atomic<int64_t> started{0};
    std::atomic<bool> done{false};
};

void LatencyWork(LatencySlot *slot)
{
    slot->started.store(NowNs(), std::memory_order_release);
    slot->done.store(true, std::memory_order_release);
}

std::atomic<int64_t> g_finished{0};
int64_t g_spin_rounds = 1;

uint64_t Spin(int64_t rounds)
{
    uint64_t x = 88172645463325252ULL;
    for (int64_t i = 0; i < rounds; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
    }
    return x;
}

// Sets g_spin_rounds so that Spin takes about 20 us on this machine.
void CalibrateSpin()
{
    constexpr int64_t kProbe = 2000000;
    int64_t start = NowNs();
    benchmark::DoNotOptimize(Spin(kProbe));
    int64_t elapsed = std::max<int64_t>(NowNs() - start, 1);
    g_spin_rounds = std::max<int64_t>(kProbe * 20000 / elapsed, 1);
}

void Work20us()
{
    benchmark::DoNotOptimize(Spin(g_spin_rounds));
    g_finished.fetch_add(1, std::memory_order_acq_rel);
}

void EmptyWork()
{
    g_finished.fetch_add(1, std::memory_order_acq_rel);
}

template <void (*Work)()>
int items_of()
{
    return Work == Work20us ? kWorkItems : kEmptyItems;
}

void WaitFinished(int64_t count)
{
    while (g_finished.load(std::memory_order_acquire) < count) {
        std::this_thread::yield();
    }
}

// ---- the harnesses -------------------------------------------------------

// submit(slot) hands LatencyWork(slot) to the pool; after_each() runs after
// each item is done (libuv reaps completions there).
template <typename SubmitFn, typename AfterFn>
void MeasureHandOff(benchmark::State &state, SubmitFn submit,
                    AfterFn after_each)
{
    std::vector<int64_t> latencies, from_call;
    latencies.reserve(kLatencyItems);
    from_call.reserve(kLatencyItems);
    LatencySlot slot;
    for (auto _ : state) {
        latencies.clear();
        from_call.clear();
        for (int i = 0; i < kLatencyItems; i++) {
            slot.done.store(false, std::memory_order_relaxed);
            int64_t called = NowNs();
            submit(&slot);
            int64_t returned = NowNs();
            while (!slot.done.load(std::memory_order_acquire)) {
            }
            // Signed: a worker on another core often starts before the
            // submit call has returned, which shows as a negative latency.
            int64_t started = slot.started.load(std::memory_order_acquire);
            latencies.push_back(started - returned);
            from_call.push_back(started - called);
            after_each();
            // Let the worker go back to waiting before the next item.
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    std::sort(latencies.begin(), latencies.end());
    std::sort(from_call.begin(), from_call.end());
    state.counters["median_us"] = latencies[latencies.size() / 2] / 1000.0;
    state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] / 1000.0;
    state.counters["call_median_us"] = from_call[from_call.size() / 2] / 1000.0;
    state.counters["call_p99_us"] =
        from_call[from_call.size() * 99 / 100] / 1000.0;
}

// submit() hands one item of `work` to the pool; every item counts itself
// in g_finished.
template <typename SubmitFn>
void MeasureThroughput(benchmark::State &state, int items, SubmitFn submit)
{
    for (auto _ : state) {
        g_finished.store(0);
        for (int i = 0; i < items; i++) {
            submit();
        }
        WaitFinished(items);
    }
    state.SetItemsProcessed(state.iterations() * items);
}

// ---- this library's pool --------------------------------------------------

struct KtPool {
    KTThreadPool pool{};
    volatile bool flag = true;
    explicit KtPool(int backlog = 0)
    {
        kt_thread_pool_init(&pool, "bench", kThreads, 0, 0, kThreads, &flag);
        kt_thread_pool_set_backlog(&pool, backlog);
    }
    ~KtPool()
    {
        kt_thread_pool_stop(&pool);
        kt_thread_pool_destroy(&pool);
    }
};

template <int Backlog>
void KtHandOff(benchmark::State &state)
{
    KtPool kp(Backlog);
    MeasureHandOff(
        state,
        [&](LatencySlot *slot) {
            kt_thread_pool_run(
                &kp.pool,
                [](void *arg, void *) {
                    LatencyWork(static_cast<LatencySlot *>(arg));
                },
                slot);
        },
        [] {});
}

void BM_ThreadPool_HandOff(benchmark::State &state)
{
    KtHandOff<0>(state);
}
void BM_ThreadPool_BacklogHandOff(benchmark::State &state)
{
    KtHandOff<kBacklog>(state);
}

template <void (*Work)(), int Backlog>
void KtThroughput(benchmark::State &state)
{
    KtPool kp(Backlog);
    MeasureThroughput(state, items_of<Work>(), [&] {
        kt_thread_pool_run(
            &kp.pool, [](void *, void *) { Work(); }, nullptr);
    });
}

void BM_ThreadPool_Work20us(benchmark::State &state)
{
    KtThroughput<Work20us, 0>(state);
}
void BM_ThreadPool_Empty(benchmark::State &state)
{
    KtThroughput<EmptyWork, 0>(state);
}
void BM_ThreadPool_BacklogWork20us(benchmark::State &state)
{
    KtThroughput<Work20us, kBacklog>(state);
}
void BM_ThreadPool_BacklogEmpty(benchmark::State &state)
{
    KtThroughput<EmptyWork, kBacklog>(state);
}

// ---- GLib -----------------------------------------------------------------

#ifdef KITE_BENCH_GLIB
struct GPool {
    GThreadPool *pool;
    explicit GPool(GFunc func)
        : pool(g_thread_pool_new(func, nullptr, kThreads, TRUE, nullptr))
    {
    }
    ~GPool() { g_thread_pool_free(pool, FALSE, TRUE); }
};

void BM_GThreadPool_HandOff(benchmark::State &state)
{
    GPool gp([](gpointer data, gpointer) {
        LatencyWork(static_cast<LatencySlot *>(data));
    });
    MeasureHandOff(
        state,
        [&](LatencySlot *slot) { g_thread_pool_push(gp.pool, slot, nullptr); },
        [] {});
}

template <void (*Work)()>
void GThroughput(benchmark::State &state)
{
    static int token;
    GPool gp([](gpointer, gpointer) { Work(); });
    MeasureThroughput(state, items_of<Work>(),
                      [&] { g_thread_pool_push(gp.pool, &token, nullptr); });
}

void BM_GThreadPool_Work20us(benchmark::State &state)
{
    GThroughput<Work20us>(state);
}
void BM_GThreadPool_Empty(benchmark::State &state)
{
    GThroughput<EmptyWork>(state);
}
#endif

// ---- boost::asio -----------------------------------------------------------

#ifdef KITE_BENCH_ASIO
void BM_AsioThreadPool_HandOff(benchmark::State &state)
{
    boost::asio::thread_pool pool(kThreads);
    MeasureHandOff(
        state,
        [&](LatencySlot *slot) {
            boost::asio::post(pool, [slot] { LatencyWork(slot); });
        },
        [] {});
    pool.join();
}

template <void (*Work)()>
void AsioThroughput(benchmark::State &state)
{
    boost::asio::thread_pool pool(kThreads);
    MeasureThroughput(state, items_of<Work>(),
                      [&] { boost::asio::post(pool, [] { Work(); }); });
    pool.join();
}

void BM_AsioThreadPool_Work20us(benchmark::State &state)
{
    AsioThroughput<Work20us>(state);
}
void BM_AsioThreadPool_Empty(benchmark::State &state)
{
    AsioThroughput<EmptyWork>(state);
}
#endif

// ---- libuv -----------------------------------------------------------------

#ifdef KITE_BENCH_UV
// uv_queue_work must be called on the loop's thread, and completions are
// reaped by running the loop; every request lives until its after callback.
void BM_UvQueueWork_HandOff(benchmark::State &state)
{
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_work_t> reqs(kLatencyItems);
    size_t next = 0;
    MeasureHandOff(
        state,
        [&](LatencySlot *slot) {
            uv_work_t *req = &reqs[next++ % reqs.size()];
            req->data = slot;
            uv_queue_work(
                &loop, req,
                [](uv_work_t *r) {
                    LatencyWork(static_cast<LatencySlot *>(r->data));
                },
                [](uv_work_t *, int) {});
        },
        [&] { uv_run(&loop, UV_RUN_NOWAIT); });
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
}

template <void (*Work)()>
void UvThroughput(benchmark::State &state)
{
    uv_loop_t loop;
    uv_loop_init(&loop);
    std::vector<uv_work_t> reqs(items_of<Work>());
    for (auto _ : state) {
        g_finished.store(0);
        for (auto &req : reqs) {
            uv_queue_work(
                &loop, &req, [](uv_work_t *) { Work(); },
                [](uv_work_t *, int) {});
        }
        uv_run(&loop, UV_RUN_DEFAULT);
        WaitFinished(items_of<Work>());
    }
    state.SetItemsProcessed(state.iterations() * items_of<Work>());
    uv_loop_close(&loop);
}

void BM_UvQueueWork_Work20us(benchmark::State &state)
{
    UvThroughput<Work20us>(state);
}
void BM_UvQueueWork_Empty(benchmark::State &state)
{
    UvThroughput<EmptyWork>(state);
}
#endif

void Register()
{
    auto latency = [](const char *name, void (*fn)(benchmark::State &)) {
        benchmark::RegisterBenchmark(name, fn)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    };
    auto throughput = [](const char *name, void (*fn)(benchmark::State &)) {
        benchmark::RegisterBenchmark(name, fn)
            ->Iterations(3)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    };
    latency("BM_ThreadPool_HandOff", BM_ThreadPool_HandOff);
    latency("BM_ThreadPool_BacklogHandOff", BM_ThreadPool_BacklogHandOff);
#ifdef KITE_BENCH_GLIB
    latency("BM_GThreadPool_HandOff", BM_GThreadPool_HandOff);
#endif
#ifdef KITE_BENCH_ASIO
    latency("BM_AsioThreadPool_HandOff", BM_AsioThreadPool_HandOff);
#endif
#ifdef KITE_BENCH_UV
    latency("BM_UvQueueWork_HandOff", BM_UvQueueWork_HandOff);
#endif
    throughput("BM_ThreadPool_Work20us", BM_ThreadPool_Work20us);
    throughput("BM_ThreadPool_BacklogWork20us", BM_ThreadPool_BacklogWork20us);
#ifdef KITE_BENCH_GLIB
    throughput("BM_GThreadPool_Work20us", BM_GThreadPool_Work20us);
#endif
#ifdef KITE_BENCH_ASIO
    throughput("BM_AsioThreadPool_Work20us", BM_AsioThreadPool_Work20us);
#endif
#ifdef KITE_BENCH_UV
    throughput("BM_UvQueueWork_Work20us", BM_UvQueueWork_Work20us);
#endif
    throughput("BM_ThreadPool_Empty", BM_ThreadPool_Empty);
    throughput("BM_ThreadPool_BacklogEmpty", BM_ThreadPool_BacklogEmpty);
#ifdef KITE_BENCH_GLIB
    throughput("BM_GThreadPool_Empty", BM_GThreadPool_Empty);
#endif
#ifdef KITE_BENCH_ASIO
    throughput("BM_AsioThreadPool_Empty", BM_AsioThreadPool_Empty);
#endif
#ifdef KITE_BENCH_UV
    throughput("BM_UvQueueWork_Empty", BM_UvQueueWork_Empty);
#endif
}

}  // namespace

int main(int argc, char **argv)
{
    // libuv reads its pool size once, at the first uv_queue_work.
    setenv("UV_THREADPOOL_SIZE", "2", 1);
    CalibrateSpin();
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
