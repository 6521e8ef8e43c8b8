// kite-test-labels: concurrent
#include "pthread_func.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <thread>
#include <vector>

#include "kt_lock_guard.h"
#include "sched_thread.h"
#include "test_util.h"

namespace {

using kite_test::LogCapture;

// Pins the base of the deadline: pretends the clock thread runs and shows
// `now`, so the arithmetic can be checked exactly.
class FixedClock {
 public:
    explicit FixedClock(time_t now)
    {
        g_current_time = now;
        g_schedule_flag = 1;
    }
    ~FixedClock()
    {
        g_schedule_flag = 0;
        g_current_time = 0;
    }
};

struct TimeoutCase {
    int timeout;
    char unit;
    time_t seconds;
    long nanos;
};

TEST(PthreadFuncTest, TimeoutArithmeticForEveryUnit)
{
    FixedClock clock(1000000);
    const TimeoutCase cases[] = {
        {1500, 'm', 1, 500000000},
        {0, 's', 0, 0},
        {7, 's', 7, 0},
        {999, 'm', 0, 999000000},
        {2500000, 'u', 2, 500000000},
        {999999, 'u', 0, 999999000},
        {1999999999, 'n', 1, 999999999},
        {5, 'n', 0, 5},
        {2147483647, 'm', 2147483, 647000000},
    };
    for (const auto &c : cases) {
        struct timespec ts = {0, 0};
        ASSERT_EQ(kt_timeout_to_timespec(c.timeout, c.unit, &ts), 0);
        EXPECT_EQ(ts.tv_sec, 1000000 + c.seconds) << c.timeout << c.unit;
        EXPECT_EQ(ts.tv_nsec, c.nanos) << c.timeout << c.unit;
    }
}

TEST(PthreadFuncTest, NegativeTimeoutGivesAValidTimespecForTheSameInstant)
{
    FixedClock clock(5000);
    struct timespec ts;
    ASSERT_EQ(kt_timeout_to_timespec(-1500, 'm', &ts), 0);
    EXPECT_EQ(ts.tv_sec, 5000 - 2);
    EXPECT_EQ(ts.tv_nsec, 500000000);
}

TEST(PthreadFuncTest, BaseIsTimeOfDayWithoutTheClockThread)
{
    ASSERT_EQ(g_schedule_flag, 0);
    struct timespec ts;
    time_t before = time(nullptr);
    ASSERT_EQ(kt_timeout_to_timespec(3, 's', &ts), 0);
    time_t after = time(nullptr);
    EXPECT_GE(ts.tv_sec, before + 3);
    EXPECT_LE(ts.tv_sec, after + 3);
}

TEST(PthreadFuncTest, BaseIsCurrentTimeWhileTheClockRuns)
{
    ASSERT_EQ(kt_sched_clock_start(), 0);
    time_t seen = __atomic_load_n(&g_current_time, __ATOMIC_ACQUIRE);
    struct timespec ts;
    ASSERT_EQ(kt_timeout_to_timespec(10, 's', &ts), 0);
    EXPECT_GE(ts.tv_sec, seen + 10);
    EXPECT_LE(ts.tv_sec, seen + 11);  // the clock may tick in between
    kt_sched_clock_stop();
}

TEST(PthreadFuncTest, InvalidUnitLogsAndDoesNotWait)
{
    LogCapture capture;
    struct timespec ts = {77, 88};
    EXPECT_NE(kt_timeout_to_timespec(5, 'x', &ts), 0);
    EXPECT_EQ(ts.tv_sec, 77);
    std::string last = capture.last();
    EXPECT_EQ(last.rfind("file: pthread_func.h, line: ", 0), 0u) << last;
    EXPECT_NE(last.find(", invalid time unit: 120"), std::string::npos) << last;

    pthread_lock_cond_pair_t lcp;
    ASSERT_EQ(init_pthread_lock_cond_pair(&lcp), 0);
    pthread_mutex_lock(&lcp.lock);
    auto start = std::chrono::steady_clock::now();
    EXPECT_NE(kt_cond_timedwait(&lcp, 30, 'x'), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    pthread_mutex_unlock(&lcp.lock);
    destroy_pthread_lock_cond_pair(&lcp);
    EXPECT_LT(waited, std::chrono::seconds(10));  // would be 30 s if it waited
}

TEST(PthreadFuncTest, ZeroTimeoutTimesOutAtOnceAndSignalWakes)
{
    pthread_lock_cond_pair_t lcp;
    ASSERT_EQ(init_pthread_lock_cond_pair(&lcp), 0);
    pthread_mutex_lock(&lcp.lock);
    EXPECT_EQ(kt_cond_timedwait(&lcp, 0, 's'), ETIMEDOUT);
    pthread_mutex_unlock(&lcp.lock);

    std::atomic<bool> ready{false};
    struct Ctx {
        pthread_lock_cond_pair_t *lcp;
        std::atomic<bool> *ready;
    } ctx{&lcp, &ready};
    pthread_t tid;
    pthread_mutex_lock(&lcp.lock);
    ASSERT_EQ(kt_create_thread(
                  &tid,
                  [](void *arg) -> void * {
                      auto *c = static_cast<Ctx *>(arg);
                      pthread_mutex_lock(&c->lcp->lock);
                      c->ready->store(true);
                      pthread_cond_signal(&c->lcp->cond);
                      pthread_mutex_unlock(&c->lcp->lock);
                      return nullptr;
                  },
                  &ctx, 64 * 1024),
              0);
    while (!ready.load()) {
        kt_cond_timedwait(&lcp, 5, 's');
    }
    pthread_mutex_unlock(&lcp.lock);
    // The thread is detached; wait for it to leave the mutex before
    // destroying the pair.
    pthread_mutex_lock(&lcp.lock);
    pthread_mutex_unlock(&lcp.lock);
    usleep(10000);
    destroy_pthread_lock_cond_pair(&lcp);
    EXPECT_TRUE(ready.load());
}

struct ThreadFacts {
    std::atomic<int> done{0};
    int detach_state = -1;
    size_t stack_size = 0;
};

void *RecordThreadFacts(void *arg)
{
    auto *facts = static_cast<ThreadFacts *>(arg);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getdetachstate(&attr, &facts->detach_state);
    pthread_attr_getstacksize(&attr, &facts->stack_size);
    pthread_attr_destroy(&attr);
    facts->done.store(1);
    return nullptr;
}

TEST(PthreadFuncTest, CreatedThreadsAreDetachedWithTheGivenStack)
{
    ThreadFacts facts;
    pthread_t tid;
    ASSERT_EQ(kt_create_thread(&tid, RecordThreadFacts, &facts, 512 * 1024), 0);
    while (facts.done.load() == 0) usleep(1000);
    EXPECT_EQ(facts.detach_state, PTHREAD_CREATE_DETACHED);
    EXPECT_GE(facts.stack_size, 512u * 1024);
    EXPECT_LT(facts.stack_size, 1024u * 1024);
}

// A mutex that reports misuse (relocking, unlocking when not owned) with
// an error instead of hanging, so lock failures can be provoked.
static void InitErrorCheckingMutex(pthread_mutex_t *lock)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

TEST(PthreadFuncTest, LockHelpersLogFailuresAtTheirLevel)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "misuses a mutex on purpose, which ThreadSanitizer reports";
#endif
    pthread_mutex_t lock;
    InitErrorCheckingMutex(&lock);

    LogCapture capture;
    EXPECT_EQ(PTHREAD_MUTEX_UNLOCK(&lock), EPERM);  // not owned
    auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, KT_LOG_ERROR);
    EXPECT_NE(records[0].message.find(
                  "call pthread_mutex_unlock fail, errno: 1, error info: "
                  "Operation not permitted"),
              std::string::npos);
    EXPECT_EQ(PTHREAD_MUTEX_LOCK_WARN(&lock), 0);
    EXPECT_EQ(PTHREAD_MUTEX_LOCK_WARN(&lock), EDEADLK);
    EXPECT_EQ(capture.records().back().level, KT_LOG_WARNING);
    EXPECT_NE(capture.last().find("call pthread_mutex_lock fail, errno: 35"),
              std::string::npos);
    EXPECT_EQ(PTHREAD_MUTEX_UNLOCK_WARN(&lock), 0);
    pthread_mutex_destroy(&lock);
}

// Both guards, the plain one and the one that spins first, log a failed lock
// once at their level with the file and line given, report it and never unlock.
TEST(PthreadFuncTest, LockGuardsReportAndLogAFailedLock)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "misuses a mutex on purpose, which ThreadSanitizer reports";
#endif
    pthread_mutex_t lock;
    InitErrorCheckingMutex(&lock);
    ASSERT_EQ(pthread_mutex_lock(&lock), 0);
    for (bool spin : {false, true}) {
        SCOPED_TRACE(spin ? "spin_first" : "plain");
        LogCapture capture;
        {
            std::optional<kite::lock_guard> guard;
            if (spin) {
                guard.emplace(&lock, kite::spin_first, KT_LOG_WARNING,
                              "guard.cpp", 7);
            } else {
                guard.emplace(&lock, KT_LOG_WARNING, "guard.cpp", 7);
            }
            EXPECT_FALSE(guard->ok());
            EXPECT_EQ(guard->error(), EDEADLK);
        }
        auto records = capture.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].level, KT_LOG_WARNING);
        EXPECT_NE(records[0].message.find("file: guard.cpp, line: 7, "),
                  std::string::npos)
            << records[0].message;
        EXPECT_NE(
            records[0].message.find("call pthread_mutex_lock fail, errno: 35"),
            std::string::npos);
    }
    EXPECT_EQ(pthread_mutex_unlock(&lock), 0);  // still ours: never unlocked
    pthread_mutex_destroy(&lock);
}

// A guard that spins first still waits out a holder that keeps the lock
// longer than the spin, and then holds the lock until its scope ends.
TEST(PthreadFuncTest, SpinningGuardWaitsForALongHolder)
{
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bool> held{false};
    std::thread holder([&] {
        pthread_mutex_lock(&lock);
        held.store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_mutex_unlock(&lock);
    });
    while (!held.load()) std::this_thread::yield();
    {
        kite::lock_guard guard(&lock, kite::spin_first);
        ASSERT_TRUE(guard.ok());
        std::thread prober(
            [&] { EXPECT_EQ(pthread_mutex_trylock(&lock), EBUSY); });
        prober.join();
    }
    EXPECT_EQ(pthread_mutex_trylock(&lock), 0);
    pthread_mutex_unlock(&lock);
    holder.join();
}

// The spinning guard counts each thread that found a lock busy once, for as
// long as the thread lives: a count that leaked would stop every later spin
// for good, one that missed threads would spin with more threads than CPUs.
TEST(PthreadFuncTest, SpinningGuardCountsBusyThreadsUntilTheyExit)
{
    using kite::spin_detail::busy_threads;
    constexpr int kThreads = 3;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    const int before = busy_threads.load();
    ASSERT_EQ(pthread_mutex_lock(&lock), 0);
    int inside = 0;  // written under the lock only
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
        threads.emplace_back([&] {
            for (int take = 0; take < 2; take++) {
                kite::lock_guard guard(&lock, kite::spin_first);
                ASSERT_TRUE(guard.ok());
                inside++;
            }
        });
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (busy_threads.load() < before + kThreads &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(busy_threads.load(), before + kThreads);
    pthread_mutex_unlock(&lock);
    for (auto &t : threads) t.join();
    EXPECT_EQ(inside, 2 * kThreads);
    EXPECT_EQ(busy_threads.load(), before);
}

}  // namespace
