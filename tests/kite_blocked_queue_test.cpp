// kite-test-labels: concurrent
#include "kite_blocked_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <thread>
#include <vector>

#include "logger.h"
#include "queue_test_util.h"
#include "test_util.h"

namespace {

using kite_test::LogCapture;
using kite_test::kStressConsumers;
using kite_test::kStressPerProducer;
using kite_test::kStressProducers;

class KiteBlockedQueueTest : public ::testing::Test {
 protected:
    void SetUp() override { ASSERT_EQ(blocked_queue_init(&queue_), 0); }
    void TearDown() override { blocked_queue_destroy(&queue_); }

    // Waits on the queue's condition the way a pop does, after the queue
    // holds `preload` tasks, while `push` runs; returns the wait's result.
    int WaitDuringPush(struct kite_task_info *preload,
                       struct kite_task_info *pushed)
    {
        if (preload != nullptr) {
            EXPECT_EQ(blocked_queue_push(&queue_, preload), 0);
        }
        std::atomic<bool> waiting{false};
        int result = -1;
        std::thread waiter([&] {
            pthread_mutex_lock(&queue_.lock);
            waiting = true;
            struct timespec ts = {time(nullptr) + 2, 0};
            result = pthread_cond_timedwait(&queue_.cond, &queue_.lock, &ts);
            pthread_mutex_unlock(&queue_.lock);
        });
        while (!waiting) usleep(100);
        // The waiter holds the lock until it waits, so the push lands
        // while it is waiting.
        EXPECT_EQ(blocked_queue_push(&queue_, pushed), 0);
        waiter.join();
        return result;
    }

    struct kite_blocked_queue queue_;
};

TEST_F(KiteBlockedQueueTest, TasksComeOutInPushOrderWithTheirLinks)
{
    struct kite_task_info tasks[4] = {};
    tasks[3].next = &tasks[0];  // stale link, cleared by the push
    for (auto &t : tasks) ASSERT_EQ(blocked_queue_push(&queue_, &t), 0);
    EXPECT_EQ(tasks[3].next, nullptr);
    for (int i = 0; i < 4; i++) {
        struct kite_task_info *t = blocked_queue_pop(&queue_);
        ASSERT_EQ(t, &tasks[i]);
        EXPECT_EQ(t->next, i < 3 ? &tasks[i + 1] : nullptr);
    }
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.tail, nullptr);
}

TEST_F(KiteBlockedQueueTest, OnlyThePushIntoAnEmptyQueueSignals)
{
    struct kite_task_info a = {}, b = {};
    EXPECT_EQ(WaitDuringPush(nullptr, &a), 0);
    EXPECT_EQ(WaitDuringPush(nullptr, &b), ETIMEDOUT);  // a is still queued
    EXPECT_EQ(blocked_queue_pop(&queue_), &a);
    EXPECT_EQ(blocked_queue_pop(&queue_), &b);
}

TEST_F(KiteBlockedQueueTest, WaitingPopIsWokenByTheFirstPush)
{
    struct kite_task_info a = {};
    std::atomic<struct kite_task_info *> got{nullptr};
    std::thread consumer([&] {
        struct kite_task_info *t = nullptr;
        while (t == nullptr) t = blocked_queue_pop(&queue_);
        got = t;
    });
    usleep(20 * 1000);
    ASSERT_EQ(blocked_queue_push(&queue_, &a), 0);
    consumer.join();
    EXPECT_EQ(got.load(), &a);
}

TEST_F(KiteBlockedQueueTest, TerminateWakesWaitingPopsWithNull)
{
    std::atomic<int> returned{0};
    std::atomic<int> non_null{0};
    std::vector<std::thread> consumers;
    for (int i = 0; i < 3; i++) {
        consumers.emplace_back([&] {
            if (blocked_queue_pop(&queue_) != nullptr) non_null++;
            returned++;
        });
    }
    while (returned < 3) {
        blocked_queue_terminate(&queue_);
        usleep(1000);
    }
    for (auto &t : consumers) t.join();
    EXPECT_EQ(non_null, 0);
}

TEST_F(KiteBlockedQueueTest, FailedLockIsLoggedAndChangesNothing)
{
    kite_test::UseErrorCheckingMutex(&queue_.lock);
    struct kite_task_info a = {}, b = {};
    ASSERT_EQ(blocked_queue_push(&queue_, &a), 0);

    ASSERT_EQ(pthread_mutex_lock(&queue_.lock), 0);
    LogCapture log;
    b.next = &a;
    EXPECT_EQ(blocked_queue_push(&queue_, &b), EDEADLK);
    EXPECT_EQ(blocked_queue_pop(&queue_), nullptr);
    ASSERT_EQ(pthread_mutex_unlock(&queue_.lock), 0);
    ASSERT_EQ(log.size(), 2u);
    kite_test::ExpectLockFailRecords(log, KT_LOG_ERROR,
                                     "kite_blocked_queue.cpp");
    EXPECT_EQ(b.next, &a);  // untouched
    EXPECT_EQ(queue_.head, &a);
    EXPECT_EQ(queue_.tail, &a);
}

// 4 producers and 4 consumers pass 1,000,000 tasks drawn from the shared
// allocator; each comes out once, in order per producer per consumer.
TEST_F(KiteBlockedQueueTest, StressManyProducersManyConsumers)
{
    constexpr uintptr_t kStop = ~uintptr_t{0};
    constexpr int kMaxInFlight = 4096;
    struct kite_task_queue tasks;
    ASSERT_EQ(kite_task_queue_init(&tasks, 0, 16, 16, 0), 0);
    kite_test::StressLedger ledger(kStressProducers, kStressPerProducer);
    std::atomic<int> in_flight{0};
    std::atomic<long> errors{0};

    auto consume = [&](int) {
        std::vector<long> last = ledger.NewOrder();
        for (;;) {
            struct kite_task_info *t = blocked_queue_pop(&queue_);
            if (t == nullptr) continue;
            auto value = reinterpret_cast<uintptr_t>(t->arg);
            kite_task_queue_free(&tasks, t);
            in_flight--;
            if (value == kStop) return;
            ledger.RecordValue(value, &last);
        }
    };
    auto push = [&](uintptr_t value) {
        while (in_flight >= kMaxInFlight) std::this_thread::yield();
        in_flight++;
        struct kite_task_info *t = kite_task_queue_alloc(&tasks);
        if (t == nullptr) {
            errors++;
            return;
        }
        t->arg = reinterpret_cast<void *>(value);
        if (blocked_queue_push(&queue_, t) != 0) errors++;
    };
    auto produce = [&](int p) {
        for (uintptr_t i = 1; i <= kStressPerProducer; i++) {
            push(p * kStressPerProducer + i);
        }
    };
    // A push wakes one consumer per change from empty; wake the others.
    kite_test::RunStress(
        kStressProducers, kStressConsumers, consume, produce,
        [&] {
            for (int c = 0; c < kStressConsumers; c++) push(kStop);
        },
        [&] { blocked_queue_terminate(&queue_); });
    EXPECT_EQ(errors, 0);
    ledger.ExpectEachOnceInOrder();
    EXPECT_EQ(kite_task_queue_free_count(&tasks),
              kite_task_queue_total_count(&tasks));
    kite_task_queue_destroy(&tasks);
}

}  // namespace
