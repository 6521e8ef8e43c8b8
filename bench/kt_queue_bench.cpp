// One producer and one consumer pass 5,000,000 pointers through each of the
// library's three queues and through the usual alternatives: a std::mutex +
// std::deque + std::condition_variable queue, moodycamel's
// BlockingConcurrentQueue, tbb::concurrent_bounded_queue and GLib's
// GAsyncQueue.  Every queue sees the same traffic: the pointers name records
// in a ring of kWindow, and the producer never runs more than kWindow items
// ahead of the consumer (the intrusive queues need each queued record to be
// distinct, and the window keeps the unbounded queues' memory bounded).
// Producer and consumer are pinned to CPUs 0 and 1.  A second set runs 4
// producers and 4 consumers through the library's queues, mutex + deque and
// moodycamel's blocking queue.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_scale.h"
#include "common_blocked_queue.h"
#include "kite_blocked_queue.h"
#include "kt_queue.h"

#if __has_include(<concurrentqueue/blockingconcurrentqueue.h>)
#include <concurrentqueue/blockingconcurrentqueue.h>
#define KITE_BENCH_MOODYCAMEL 1
#endif
#if defined(KITE_BENCH_HAVE_TBB) && __has_include(<tbb/concurrent_queue.h>)
#include <tbb/concurrent_queue.h>
#define KITE_BENCH_TBB 1
#endif
#if defined(KITE_BENCH_HAVE_APR_QUEUE) && __has_include(<apr_queue.h>)
#include <apr_pools.h>
#include <apr_queue.h>
#define KITE_BENCH_APR 1
#endif
#if __has_include(<glib.h>)
#include <glib.h>
#define KITE_BENCH_GLIB 1
#endif

namespace {

const int64_t kItems = kite_bench_count(5000000);
constexpr int64_t kWindow = 1 << 16;
constexpr int64_t kCheckEvery = 1024;

struct Record {
    int64_t seq;
    void *link;
};

// The records every queue passes around, by pointer.
std::vector<Record> &Ring()
{
    static std::vector<Record> ring(kWindow);
    return ring;
}

std::vector<kite_task_info> &TaskRing()
{
    static std::vector<kite_task_info> ring(kWindow);
    return ring;
}

// Pins the calling thread to one CPU, so that every queue runs with its
// producer and consumer on two different cores, and runs are comparable.
void PinToCpu(int cpu)
{
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

void Unpin()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned i = 0; i < std::thread::hardware_concurrency(); i++) {
        CPU_SET(i, &set);
    }
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

// Runs one producer (this thread) and one consumer over kItems pointers.
// push(i) queues item i; pop() returns the next pointer or null to retry.
template <typename PushFn, typename PopFn, typename SeqFn>
void RunSpsc(benchmark::State &state, PushFn push, PopFn pop, SeqFn seq_of)
{
    for (auto _ : state) {
        std::atomic<int64_t> consumed{0};
        std::atomic<bool> in_order{true};
        PinToCpu(0);
        std::thread consumer([&] {
            PinToCpu(1);
            for (int64_t i = 0; i < kItems; i++) {
                void *p = nullptr;
                while ((p = pop()) == nullptr) {
                }
                if (seq_of(p) != i) in_order.store(false);
                if (i % kCheckEvery == 0) {
                    consumed.store(i, std::memory_order_release);
                }
            }
        });
        for (int64_t i = 0; i < kItems; i++) {
            if (i % kCheckEvery == 0) {
                while (i - consumed.load(std::memory_order_acquire) >
                       kWindow - 2 * kCheckEvery) {
                    std::this_thread::yield();
                }
            }
            push(i);
        }
        consumer.join();
        Unpin();
        if (!in_order) state.SkipWithError("items out of order");
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

Record *RecordAt(int64_t i)
{
    Record *r = &Ring()[i % kWindow];
    r->seq = i;
    return r;
}

int64_t RecordSeq(void *p)
{
    return static_cast<Record *>(p)->seq;
}

void BM_KtQueue_Spsc(benchmark::State &state)
{
    struct kt_queue q;
    kt_queue_init(&q, offsetof(Record, link));
    RunSpsc(
        state, [&](int64_t i) { kt_queue_push(&q, RecordAt(i)); },
        [&] { return kt_queue_pop(&q); }, RecordSeq);
    kt_queue_destroy(&q);
}
BENCHMARK(BM_KtQueue_Spsc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CommonBlockedQueue_Spsc(benchmark::State &state)
{
    struct common_blocked_queue q;
    common_blocked_queue_init(&q);
    RunSpsc(
        state, [&](int64_t i) { common_blocked_queue_push(&q, RecordAt(i)); },
        [&] { return common_blocked_queue_pop(&q); }, RecordSeq);
    common_blocked_queue_destroy(&q);
}
BENCHMARK(BM_CommonBlockedQueue_Spsc)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_KiteBlockedQueue_Spsc(benchmark::State &state)
{
    struct kite_blocked_queue q;
    blocked_queue_init(&q);
    RunSpsc(
        state,
        [&](int64_t i) {
            kite_task_info *t = &TaskRing()[i % kWindow];
            t->arg = reinterpret_cast<void *>(i);
            blocked_queue_push(&q, t);
        },
        [&]() -> void * { return blocked_queue_pop(&q); },
        [](void *p) {
            return reinterpret_cast<int64_t>(
                static_cast<kite_task_info *>(p)->arg);
        });
    blocked_queue_destroy(&q);
}
BENCHMARK(BM_KiteBlockedQueue_Spsc)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The queue most programs write by hand.
class MutexDequeQueue {
 public:
    void Push(void *p)
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            items_.push_back(p);
        }
        cond_.notify_one();
    }
    void *Pop()
    {
        std::unique_lock<std::mutex> guard(mutex_);
        cond_.wait(guard, [this] { return !items_.empty(); });
        void *p = items_.front();
        items_.pop_front();
        return p;
    }

 private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<void *> items_;
};

void BM_MutexDeque_Spsc(benchmark::State &state)
{
    MutexDequeQueue q;
    RunSpsc(
        state, [&](int64_t i) { q.Push(RecordAt(i)); }, [&] { return q.Pop(); },
        RecordSeq);
}
BENCHMARK(BM_MutexDeque_Spsc)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef KITE_BENCH_MOODYCAMEL
void BM_Moodycamel_Spsc(benchmark::State &state)
{
    moodycamel::BlockingConcurrentQueue<void *> q;
    moodycamel::ProducerToken token(q);
    RunSpsc(
        state, [&](int64_t i) { q.enqueue(token, RecordAt(i)); },
        [&] {
            void *p = nullptr;
            q.wait_dequeue(p);
            return p;
        },
        RecordSeq);
}
BENCHMARK(BM_Moodycamel_Spsc)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

#ifdef KITE_BENCH_TBB
void BM_TbbBounded_Spsc(benchmark::State &state)
{
    tbb::concurrent_bounded_queue<void *> q;
    RunSpsc(
        state, [&](int64_t i) { q.push(RecordAt(i)); },
        [&] {
            void *p = nullptr;
            q.pop(p);
            return p;
        },
        RecordSeq);
}
BENCHMARK(BM_TbbBounded_Spsc)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

#ifdef KITE_BENCH_GLIB
void BM_GAsyncQueue_Spsc(benchmark::State &state)
{
    GAsyncQueue *q = g_async_queue_new();
    RunSpsc(
        state, [&](int64_t i) { g_async_queue_push(q, RecordAt(i)); },
        [&] { return g_async_queue_pop(q); }, RecordSeq);
    g_async_queue_unref(q);
}
BENCHMARK(BM_GAsyncQueue_Spsc)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

#ifdef KITE_BENCH_APR
void BM_AprQueue_Spsc(benchmark::State &state)
{
    apr_initialize();
    apr_pool_t *pool = nullptr;
    apr_pool_create(&pool, nullptr);
    apr_queue_t *q = nullptr;
    apr_queue_create(&q, kWindow, pool);
    RunSpsc(
        state, [&](int64_t i) { apr_queue_push(q, RecordAt(i)); },
        [&] {
            void *p = nullptr;
            apr_queue_pop(q, &p);
            return p;
        },
        RecordSeq);
    apr_pool_destroy(pool);
}
BENCHMARK(BM_AprQueue_Spsc)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

// 4 producers and 4 consumers; each producer pushes its share of the items
// (records of its own slice of the ring, so intrusive queues see distinct
// records).  A consumer stops at a null-data stop record; since the library's
// queues wake one consumer per change from empty, the stop records are
// pushed one at a time, and the condition is broadcast while consumers are
// left, so none sleeps through its stop.
constexpr int kThreads = 4;

struct MpmcRecord {
    int64_t value;  // -1: stop
    void *link;
    kite_task_info task;
};

MpmcRecord *NoDrain()
{
    return nullptr;
}

// drain() takes what is left without waiting, for queues that order items
// only per producer (moodycamel's), where a stop can overtake items.
template <typename PushFn, typename PopFn, typename WakeFn, typename DrainFn>
void RunMpmc(benchmark::State &state, PushFn push, PopFn pop, WakeFn wake_all,
             DrainFn drain)
{
    const int64_t items = kite_bench_count(2000000);
    const int64_t per = items / kThreads;
    std::vector<MpmcRecord> records(items + kThreads);
    for (auto _ : state) {
        std::atomic<int64_t> sum{0};
        std::atomic<int> left{kThreads};
        std::vector<std::thread> threads;
        for (int c = 0; c < kThreads; c++) {
            threads.emplace_back([&] {
                int64_t local = 0;
                for (;;) {
                    MpmcRecord *r = pop();
                    if (r == nullptr) continue;
                    if (r->value < 0) break;
                    local += r->value;
                }
                sum.fetch_add(local);
                left.fetch_sub(1);
            });
        }
        std::vector<std::thread> producers;
        for (int p = 0; p < kThreads; p++) {
            producers.emplace_back([&, p] {
                for (int64_t i = p * per; i < (p + 1) * per; i++) {
                    records[i].value = i;
                    push(&records[i]);
                }
            });
        }
        for (auto &t : producers) t.join();
        for (int c = 0; c < kThreads; c++) {
            records[items + c].value = -1;
            push(&records[items + c]);
        }
        while (left.load() > 0) {
            wake_all();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        for (auto &t : threads) t.join();
        for (MpmcRecord *r; (r = drain()) != nullptr;) sum += r->value;
        const int64_t n = per * kThreads;
        if (sum.load() != n * (n - 1) / 2) state.SkipWithError("lost items");
    }
    state.SetItemsProcessed(state.iterations() * per * kThreads);
}

void BM_KtQueue_Mpmc(benchmark::State &state)
{
    struct kt_queue q;
    kt_queue_init(&q, offsetof(MpmcRecord, link));
    RunMpmc(
        state, [&](MpmcRecord *r) { kt_queue_push(&q, r); },
        [&] { return static_cast<MpmcRecord *>(kt_queue_pop(&q)); },
        [&] { pthread_cond_broadcast(&q.lc_pair.cond); }, NoDrain);
    kt_queue_destroy(&q);
}
BENCHMARK(BM_KtQueue_Mpmc)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CommonBlockedQueue_Mpmc(benchmark::State &state)
{
    struct common_blocked_queue q;
    common_blocked_queue_init(&q);
    RunMpmc(
        state, [&](MpmcRecord *r) { common_blocked_queue_push(&q, r); },
        [&] { return static_cast<MpmcRecord *>(common_blocked_queue_pop(&q)); },
        [&] { pthread_cond_broadcast(&q.lc_pair.cond); }, NoDrain);
    common_blocked_queue_destroy(&q);
}
BENCHMARK(BM_CommonBlockedQueue_Mpmc)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_KiteBlockedQueue_Mpmc(benchmark::State &state)
{
    struct kite_blocked_queue q;
    blocked_queue_init(&q);
    RunMpmc(
        state,
        [&](MpmcRecord *r) {
            r->task.arg = r;
            blocked_queue_push(&q, &r->task);
        },
        [&]() -> MpmcRecord * {
            kite_task_info *t = blocked_queue_pop(&q);
            return t != nullptr ? static_cast<MpmcRecord *>(t->arg) : nullptr;
        },
        [&] { blocked_queue_terminate(&q); }, NoDrain);
    blocked_queue_destroy(&q);
}
BENCHMARK(BM_KiteBlockedQueue_Mpmc)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_MutexDeque_Mpmc(benchmark::State &state)
{
    MutexDequeQueue q;
    RunMpmc(
        state, [&](MpmcRecord *r) { q.Push(r); },
        [&] { return static_cast<MpmcRecord *>(q.Pop()); }, [] {}, NoDrain);
}
BENCHMARK(BM_MutexDeque_Mpmc)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef KITE_BENCH_MOODYCAMEL
void BM_Moodycamel_Mpmc(benchmark::State &state)
{
    moodycamel::BlockingConcurrentQueue<MpmcRecord *> q;
    RunMpmc(
        state, [&](MpmcRecord *r) { q.enqueue(r); },
        [&] {
            MpmcRecord *r = nullptr;
            q.wait_dequeue(r);
            return r;
        },
        [] {},
        [&] {
            MpmcRecord *r = nullptr;
            q.try_dequeue(r);
            return r;
        });
}
BENCHMARK(BM_Moodycamel_Mpmc)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
