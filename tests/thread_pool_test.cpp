// kite-test-labels: concurrent
#include "thread_pool.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using kite_test::LogCapture;

// Polls cond for up to `seconds` (a bound for hangs, not a speed check).
bool WaitFor(const std::function<bool()> &cond, int seconds = 30)
{
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        usleep(1000);
    }
    return true;
}

struct Gate {
    std::atomic<bool> open{false};
    void Wait() const
    {
        while (!open) usleep(200);
    }
};

void Count(void *arg, void *)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

void Block(void *arg, void *)
{
    static_cast<Gate *>(arg)->Wait();
}

std::atomic<int> g_allocs{0};
std::atomic<int> g_frees{0};
std::atomic<int> g_mismatch{0};

void *AllocData()
{
    return new int(g_allocs.fetch_add(1) + 1);
}

void FreeData(void *ptr)
{
    g_frees++;
    delete static_cast<int *>(ptr);
}

class ThreadPoolTest : public ::testing::Test {
 protected:
    // Opens the gate first, so that an early return of a failed test does
    // not leave workers blocked on it while the pools go away.
    void TearDown() override
    {
        gate_.open = true;
        if (caller_.joinable()) caller_.join();
        if (keeper_.threads != nullptr) {
            __atomic_store_n(&keeper_flag_, false, __ATOMIC_RELEASE);
            kt_thread_pool_destroy(&keeper_);
        }
        if (pool_.threads != nullptr) {
            Stop();
        }
    }

    int Init(int limit, int max_idle, int min_idle,
             KTThreadExtraDataCallbacks *callbacks = nullptr,
             int stack_size = 0)
    {
        __atomic_store_n(&flag_, true, __ATOMIC_RELEASE);
        return kt_thread_pool_init_ex(&pool_, "tp", limit, stack_size, max_idle,
                                      min_idle, &flag_, callbacks);
    }

    void Stop()
    {
        kt_thread_pool_stop(&pool_);
        kt_thread_pool_destroy(&pool_);
        ASSERT_EQ(pool_.threads, nullptr);
    }

    int Running() { return kt_thread_pool_running_count(&pool_); }

    void Stress(int backlog);

    // Fills the pool's only slot with an item blocked on the gate, then
    // starts a caller on another thread that must wait: its result stays
    // -1 until kt_thread_pool_run returns.
    void StartWaitingCaller(std::atomic<int> *count)
    {
        ASSERT_EQ(kt_thread_pool_run(&pool_, Block, &gate_), 0);
        caller_result_ = -1;
        caller_ = std::thread([this, count] {
            caller_result_ = kt_thread_pool_run(&pool_, Count, count);
        });
        usleep(50 * 1000);
        EXPECT_EQ(caller_result_, -1);  // still waiting
    }

    KTThreadInfo *FreeListHead()
    {
        pthread_mutex_lock(&pool_.lock);
        KTThreadInfo *head = pool_.freelist;
        pthread_mutex_unlock(&pool_.lock);
        return head;
    }

    KTThreadPool pool_{};
    volatile bool flag_ = true;
    std::thread caller_;
    std::atomic<int> caller_result_{-1};
    KTThreadPool keeper_{};
    volatile bool keeper_flag_ = true;
    Gate gate_;
};

std::vector<std::string> Matching(const LogCapture &log,
                                  const std::string &text)
{
    std::vector<std::string> lines;
    for (const auto &m : log.messages()) {
        if (m.find(text) != std::string::npos) lines.push_back(m);
    }
    return lines;
}

TEST_F(ThreadPoolTest, SetUpStoresItsSettingsAndBuildsTheFreeList)
{
    std::string long_name(100, 'n');
    __atomic_store_n(&flag_, true, __ATOMIC_RELEASE);
    ASSERT_EQ(
        kt_thread_pool_init(&pool_, long_name.c_str(), 3, 65536, 7, 0, &flag_),
        0);
    EXPECT_EQ(std::string(pool_.name), long_name.substr(0, 63));
    EXPECT_EQ(pool_.thread_counts.limit, 3);
    EXPECT_EQ(pool_.stack_size, 65536);
    EXPECT_EQ(pool_.max_idle_time, 7);
    EXPECT_EQ(pool_.min_idle_count, 0);
    EXPECT_EQ(pool_.pcontinue_flag, &flag_);
    EXPECT_EQ(pool_.extra_data_callbacks.alloc, nullptr);
    EXPECT_EQ(pool_.freelist, &pool_.threads[0]);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(pool_.threads[i].index, i);
        EXPECT_EQ(pool_.threads[i].pool, &pool_);
        EXPECT_EQ(pool_.threads[i].next,
                  i < 2 ? &pool_.threads[i + 1] : nullptr);
        EXPECT_EQ(pool_.threads[i].inited, 0);
    }
    EXPECT_EQ(Running(), 0);  // no thread before the first run
}

// A limit below one, a null name or a null flag is refused before anything
// is set up: no allocation is attempted and one error is logged.
TEST_F(ThreadPoolTest, SetUpRefusesBadArguments)
{
    volatile bool flag = true;
    const struct {
        const char *name;
        int limit;
        volatile bool *flag;
    } cases[] = {
        {"tp", 0, &flag},
        {"tp", -3, &flag},
        {nullptr, 2, &flag},
        {"tp", 2, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.limit);
        LogCapture log;
        kite_test::FailingAllocator fail(0);
        KTThreadPool pool{};
        EXPECT_EQ(kt_thread_pool_init_ex(&pool, c.name, c.limit, 0, 0, 0,
                                         c.flag, nullptr),
                  EINVAL);
        EXPECT_EQ(fail.failures(), 0);
        EXPECT_EQ(pool.threads, nullptr);
        EXPECT_EQ(log.size(), 1u);
        EXPECT_TRUE(log.contains("invalid argument"));
    }
}

TEST_F(ThreadPoolTest, MinIdleAboveLimitStartsLimitThreads)
{
    LogCapture log;
    ASSERT_EQ(Init(3, 0, 5), 0);
    EXPECT_EQ(pool_.min_idle_count, 3);
    ASSERT_TRUE(WaitFor([&] { return Running() == 3; }));
    // A thread counts itself before it writes its start line.
    ASSERT_TRUE(WaitFor(
        [&] { return Matching(log, " start, running count: ").size() >= 3u; }));
    auto starts = Matching(log, " start, running count: ");
    ASSERT_EQ(starts.size(), 3u);
    std::sort(starts.begin(), starts.end(),
              [](auto &a, auto &b) { return a.back() < b.back(); });
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(starts[i].find("running count: " + std::to_string(i + 1)),
                  std::string::npos)
            << starts[i];
        EXPECT_EQ(starts[i].rfind("thread pool: tp, index: ", 0), 0u);
    }
    Stop();
    auto exits = Matching(log, " exit, running count: ");
    ASSERT_EQ(exits.size(), 3u);
    std::sort(exits.begin(), exits.end(),
              [](auto &a, auto &b) { return a.back() < b.back(); });
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(exits[i].back(), '0' + i) << exits[i];
    }
}

TEST_F(ThreadPoolTest, FirstRunStartsAThreadThatRunsTheWork)
{
    LogCapture log;
    ASSERT_EQ(Init(4, 0, 0), 0);
    std::atomic<int> count{0};
    ASSERT_EQ(kt_thread_pool_run(&pool_, Count, &count), 0);
    ASSERT_TRUE(WaitFor([&] { return count == 1; }));
    ASSERT_TRUE(WaitFor([&] { return FreeListHead() == &pool_.threads[0]; }));
    EXPECT_EQ(Running(), 1);
    EXPECT_TRUE(
        log.contains("thread pool: tp, index: 0 start, running count: 1"));
    // The idle thread is reused: LIFO gives slot 0 again.
    ASSERT_EQ(kt_thread_pool_run(&pool_, Count, &count), 0);
    ASSERT_TRUE(WaitFor([&] { return count == 2; }));
    EXPECT_EQ(Running(), 1);
}

TEST_F(ThreadPoolTest, FallenContinueFlagGivesEintrWithoutTouchingSlots)
{
    ASSERT_EQ(Init(2, 0, 0), 0);
    __atomic_store_n(&flag_, false, __ATOMIC_RELEASE);
    std::atomic<int> count{0};
    EXPECT_EQ(kt_thread_pool_run(&pool_, Count, &count), EINTR);
    EXPECT_EQ(pool_.freelist, &pool_.threads[0]);
    EXPECT_EQ(pool_.threads[0].callback.func, nullptr);
    EXPECT_EQ(Running(), 0);
    EXPECT_EQ(count, 0);
}

TEST_F(ThreadPoolTest, RunWaitsForAFreeSlotWhenAllAreBusy)
{
    ASSERT_EQ(Init(1, 0, 0), 0);
    std::atomic<int> count{0};
    StartWaitingCaller(&count);
    gate_.open = true;
    caller_.join();
    EXPECT_EQ(caller_result_, 0);
    ASSERT_TRUE(WaitFor([&] { return count == 1; }));
}

// kt_thread_pool_stop makes a waiting caller give up at once.
TEST_F(ThreadPoolTest, WaitingRunGivesEintrWhenTheFlagFalls)
{
    ASSERT_EQ(Init(1, 0, 0), 0);
    std::atomic<int> count{0};
    StartWaitingCaller(&count);
    kt_thread_pool_stop(&pool_);
    EXPECT_FALSE(flag_);
    caller_.join();
    EXPECT_EQ(caller_result_, EINTR);
    gate_.open = true;
    kt_thread_pool_destroy(&pool_);
    EXPECT_EQ(pool_.threads, nullptr);
    EXPECT_EQ(count, 0);
}

// Records the order in which items run.
struct Order {
    std::mutex mutex;
    std::vector<int> ran;
};
struct Item {
    Order *order;
    int id;
};
void Record(void *arg, void *)
{
    auto *item = static_cast<Item *>(arg);
    std::lock_guard<std::mutex> guard(item->order->mutex);
    item->order->ran.push_back(item->id);
}

// With a backlog, items queue while the only slot is busy and run in
// order; a caller waits only when the backlog is full.
TEST_F(ThreadPoolTest, BacklogQueuesWhileEverySlotIsBusy)
{
    ASSERT_EQ(Init(1, 0, 0), 0);
    ASSERT_EQ(kt_thread_pool_set_backlog(&pool_, 3), 0);
    ASSERT_EQ(kt_thread_pool_run(&pool_, Block, &gate_), 0);
    Order order;
    std::vector<Item> items;
    for (int i = 0; i < 4; i++) items.push_back({&order, i});
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(kt_thread_pool_run(&pool_, Record, &items[i]), 0);
    }
    EXPECT_EQ(kt_thread_pool_wait_done(&pool_, 0), ETIMEDOUT);
    {
        LogCapture log;
        EXPECT_EQ(kt_thread_pool_set_backlog(&pool_, 8), EBUSY);
        EXPECT_TRUE(log.contains("items are queued"));
    }
    caller_ = std::thread([&] {
        caller_result_ = kt_thread_pool_run(&pool_, Record, &items[3]);
    });
    usleep(50 * 1000);
    EXPECT_EQ(caller_result_, -1);  // the backlog is full
    EXPECT_TRUE(order.ran.empty());
    gate_.open = true;
    caller_.join();
    EXPECT_EQ(caller_result_, 0);
    ASSERT_EQ(kt_thread_pool_wait_done(&pool_, 30000), 0);
    EXPECT_EQ(order.ran, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Running(), 1);

    // Size 0 turns the backlog off again: a caller waits for the slot.
    ASSERT_EQ(kt_thread_pool_set_backlog(&pool_, 0), 0);
    gate_.open = false;
    std::atomic<int> count{0};
    StartWaitingCaller(&count);
    gate_.open = true;
    caller_.join();
    EXPECT_EQ(caller_result_, 0);
    EXPECT_EQ(kt_thread_pool_wait_done(&pool_, 30000), 0);
    EXPECT_EQ(count, 1);

    LogCapture log;
    EXPECT_EQ(kt_thread_pool_set_backlog(&pool_, -1), EINVAL);
    EXPECT_TRUE(log.contains("invalid backlog size: -1"));
}

// Queued items are accepted work: a stopped pool still runs them, and
// destroy waits for them.
TEST_F(ThreadPoolTest, StoppedPoolRunsItsQueuedItems)
{
    ASSERT_EQ(Init(2, 0, 0), 0);
    ASSERT_EQ(kt_thread_pool_set_backlog(&pool_, 16), 0);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(kt_thread_pool_run(&pool_, Block, &gate_), 0);
    }
    std::atomic<int> count{0};
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(kt_thread_pool_run(&pool_, Count, &count), 0);
    }
    kt_thread_pool_stop(&pool_);
    EXPECT_EQ(kt_thread_pool_run(&pool_, Count, &count), EINTR);
    EXPECT_EQ(kt_thread_pool_wait_done(&pool_, 20), ETIMEDOUT);
    gate_.open = true;
    EXPECT_EQ(kt_thread_pool_wait_done(&pool_, 30000), 0);
    kt_thread_pool_destroy(&pool_);
    EXPECT_EQ(pool_.threads, nullptr);
    EXPECT_EQ(count, 10);
}

TEST_F(ThreadPoolTest, DestroyKeepsAPoolWhoseThreadsStillRun)
{
    ASSERT_EQ(Init(2, 0, 2), 0);
    ASSERT_TRUE(WaitFor([&] { return Running() == 2; }));
    LogCapture log;
    kt_thread_pool_destroy(&pool_);  // continue flag still true
    EXPECT_NE(pool_.threads, nullptr);
    EXPECT_TRUE(log.contains("nothing released"));
    std::atomic<int> count{0};
    ASSERT_EQ(kt_thread_pool_run(&pool_, Count, &count), 0);  // still works
    ASSERT_TRUE(WaitFor([&] { return count == 1; }));
    Stop();
    EXPECT_EQ(Running(), 0);
}

TEST_F(ThreadPoolTest, ExtraDataIsMadeAndReleasedOncePerThread)
{
    g_allocs = g_frees = g_mismatch = 0;
    KTThreadExtraDataCallbacks callbacks = {AllocData, FreeData};
    ASSERT_EQ(Init(3, 0, 1, &callbacks), 0);
    EXPECT_EQ(pool_.extra_data_callbacks.free, FreeData);
    std::atomic<int> seen_null{0};
    struct Probe {
        Gate *gate;
        std::atomic<int> *seen_null;
    } probe = {&gate_, &seen_null};
    auto work = [](void *arg, void *tdata) {
        auto *p = static_cast<Probe *>(arg);
        if (tdata == nullptr) p->seen_null->fetch_add(1);
        p->gate->Wait();
    };
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(kt_thread_pool_run(&pool_, work, &probe), 0);
    }
    gate_.open = true;
    ASSERT_TRUE(WaitFor([&] { return Running() == 3; }));
    EXPECT_EQ(seen_null, 0);
    Stop();
    EXPECT_EQ(g_allocs, 3);
    EXPECT_EQ(g_frees, 3);
}

TEST_F(ThreadPoolTest, NullExtraDataIsNotReleased)
{
    g_frees = 0;
    KTThreadExtraDataCallbacks callbacks = {[]() -> void * { return nullptr; },
                                            FreeData};
    ASSERT_EQ(Init(2, 0, 2, &callbacks), 0);
    ASSERT_TRUE(WaitFor([&] { return Running() == 2; }));
    Stop();
    EXPECT_EQ(g_frees, 0);
}

// Two pools side by side: the one with max_idle_time 1 sheds threads down
// to min_idle_count, the one with max_idle_time 0 keeps all of them.
TEST_F(ThreadPoolTest, IdleThreadsRetireDownToTheMinimumAndRestart)
{
    g_allocs = g_frees = 0;
    KTThreadExtraDataCallbacks callbacks = {AllocData, FreeData};
    ASSERT_EQ(Init(3, 1, 1, &callbacks), 0);
    ASSERT_EQ(
        kt_thread_pool_init(&keeper_, "keeper", 3, 0, 0, 0, &keeper_flag_), 0);
    LogCapture log;
    for (KTThreadPool *p : {&pool_, &keeper_}) {
        for (int i = 0; i < 3; i++) {
            ASSERT_EQ(kt_thread_pool_run(p, Block, &gate_), 0);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return Running() == 3; }));
    gate_.open = true;
    ASSERT_TRUE(WaitFor([&] { return Running() == 1; }));
    EXPECT_EQ(kt_thread_pool_running_count(&keeper_), 3);
    ASSERT_TRUE(WaitFor([&] {
        return Matching(log, "thread pool: tp, index: ").size() >= 4u &&
               Matching(log, "exit, running count: ").size() == 2u;
    }));                    // at least two starts, and two exits
    EXPECT_EQ(g_frees, 2);  // the retired threads released their data
    auto exits = Matching(log, "exit, running count: ");
    ASSERT_EQ(exits.size(), 2u);
    std::sort(exits.begin(), exits.end(),
              [](auto &a, auto &b) { return a.back() < b.back(); });
    EXPECT_EQ(exits[0].back(), '1');
    EXPECT_EQ(exits[1].back(), '2');
    usleep(100 * 1000);
    EXPECT_EQ(Running(), 1);  // never below min_idle_count

    // Work for every slot again: the retired slots get new threads.
    std::atomic<int> count{0};
    gate_.open = false;
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(kt_thread_pool_run(&pool_, Block, &gate_), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return Running() == 3; }));
    gate_.open = true;
    ASSERT_EQ(kt_thread_pool_run(&pool_, Count, &count), 0);
    ASSERT_TRUE(WaitFor([&] { return count == 1; }));
    EXPECT_EQ(g_allocs, 5);

    __atomic_store_n(&keeper_flag_, false, __ATOMIC_RELEASE);
    kt_thread_pool_destroy(&keeper_);
    EXPECT_EQ(keeper_.threads, nullptr);
    Stop();
    EXPECT_EQ(g_frees, 5);
}

TEST_F(ThreadPoolTest, FailedThreadStartPutsTheSlotBack)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit cannot coexist with sanitizer "
                    "shadow memory";
#else
    // A 1 GiB stack cannot be mapped under a tight address-space limit.
    ASSERT_EQ(Init(2, 0, 0, nullptr, 1 << 30), 0);
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old_limit), 0);
    struct rlimit tight = old_limit;
    tight.rlim_cur = 512UL << 20;
    std::atomic<int> count{0};
    int result;
    {
        LogCapture log;
        ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
        result = kt_thread_pool_run(&pool_, Count, &count);
        setrlimit(RLIMIT_AS, &old_limit);
        EXPECT_TRUE(log.contains("create thread fail"));
    }
    EXPECT_NE(result, 0);
    EXPECT_NE(result, EINTR);
    EXPECT_EQ(pool_.freelist, &pool_.threads[0]);
    EXPECT_EQ(pool_.threads[0].next, &pool_.threads[1]);
    EXPECT_EQ(pool_.threads[0].callback.func, nullptr);
    EXPECT_EQ(pool_.threads[0].inited, 0);
    EXPECT_EQ(Running(), 0);
    ASSERT_EQ(kt_thread_pool_run(&pool_, Count, &count), 0);
    ASSERT_TRUE(WaitFor([&] { return count == 1; }));
    EXPECT_EQ(count, 1);  // the failed hand-off never ran
#endif
}

// Several submitters hand over 100,000 items while slots retire and are
// restarted: every item runs exactly once, with or without a backlog, and
// kt_thread_pool_wait_done returns once they all have.
void ThreadPoolTest::Stress(int backlog)
{
    constexpr int kSubmitters = 4;
    constexpr int kPerSubmitter = 12500;
    constexpr int kTrickle = 100;
    constexpr int kTotal = 2 * kSubmitters * kPerSubmitter + kTrickle;
    ASSERT_EQ(Init(4, 1, 0), 0);
    ASSERT_EQ(kt_thread_pool_set_backlog(&pool_, backlog), 0);
    std::vector<std::atomic<int>> runs(kTotal);
    std::atomic<int> errors{0};
    auto work = [](void *arg, void *) {
        static_cast<std::atomic<int> *>(arg)->fetch_add(1);
    };
    auto burst = [&](int base) {
        std::vector<std::thread> submitters;
        for (int s = 0; s < kSubmitters; s++) {
            submitters.emplace_back([&, s] {
                for (int i = 0; i < kPerSubmitter; i++) {
                    int id = base + s * kPerSubmitter + i;
                    if (kt_thread_pool_run(&pool_, work, &runs[id]) != 0)
                        errors++;
                }
            });
        }
        for (auto &t : submitters) t.join();
    };
    LogCapture log;
    burst(0);
    // One item at a time keeps the head slot busy while the others idle
    // out and retire.
    int base = kSubmitters * kPerSubmitter;
    for (int i = 0; i < kTrickle && Running() > 1; i++) {
        ASSERT_EQ(kt_thread_pool_run(&pool_, work, &runs[base + i]), 0);
        usleep(50 * 1000);
    }
    ASSERT_TRUE(WaitFor([&] { return Running() <= 1; }));
    burst(base + kTrickle);
    ASSERT_EQ(kt_thread_pool_wait_done(&pool_, 60000), 0);
    EXPECT_EQ(kt_thread_pool_dealing_count(&pool_), 0);
    ASSERT_TRUE(WaitFor([&] {
        return kt_thread_pool_dealing_count(&pool_) == 0 &&
               Matching(log, " start, running count: ").size() > 4;
    }));
    Stop();
    int ran_twice = 0, ran_never = 0, trickled = 0;
    for (int i = 0; i < kTotal; i++) {
        int n = runs[i].load();
        bool in_trickle = i >= base && i < base + kTrickle;
        if (in_trickle) {
            trickled += n;
            if (n > 1) ran_twice++;
            continue;
        }
        if (n > 1) ran_twice++;
        if (n == 0) ran_never++;
    }
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(ran_twice, 0);
    EXPECT_EQ(ran_never, 0);
    EXPECT_GT(trickled, 0);
    EXPECT_FALSE(Matching(log, " exit, running count: ").empty());
}

TEST_F(ThreadPoolTest, StressEveryItemRunsExactlyOnce)
{
    Stress(0);
}

TEST_F(ThreadPoolTest, StressWithBacklogEveryItemRunsExactlyOnce)
{
    Stress(8);
}

}  // namespace
