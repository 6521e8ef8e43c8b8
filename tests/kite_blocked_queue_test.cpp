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
#include "test_util.h"

namespace {

using kite_test::LogCapture;

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
    pthread_mutex_destroy(&queue_.lock);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&queue_.lock, &attr);
    pthread_mutexattr_destroy(&attr);
    struct kite_task_info a = {}, b = {};
    ASSERT_EQ(blocked_queue_push(&queue_, &a), 0);

    ASSERT_EQ(pthread_mutex_lock(&queue_.lock), 0);
    LogCapture log;
    b.next = &a;
    EXPECT_EQ(blocked_queue_push(&queue_, &b), EDEADLK);
    EXPECT_EQ(blocked_queue_pop(&queue_), nullptr);
    ASSERT_EQ(pthread_mutex_unlock(&queue_.lock), 0);
    ASSERT_EQ(log.size(), 2u);
    for (const auto &record : log.records()) {
        EXPECT_EQ(record.level, KT_LOG_ERROR);
        EXPECT_EQ(record.message.rfind("file: kite_blocked_queue.cpp, line: ",
                                       0),
                  0u);
        EXPECT_NE(record.message.find("call pthread_mutex_lock fail"),
                  std::string::npos);
    }
    EXPECT_EQ(b.next, &a);  // untouched
    EXPECT_EQ(queue_.head, &a);
    EXPECT_EQ(queue_.tail, &a);
}

// 4 producers and 4 consumers pass 1,000,000 tasks drawn from the shared
// allocator; each comes out once, in order per producer per consumer.
TEST_F(KiteBlockedQueueTest, StressManyProducersManyConsumers)
{
    constexpr int kProducers = 4;
    constexpr int kConsumers = 4;
    constexpr uintptr_t kPerProducer = 250000;
    constexpr uintptr_t kStop = ~uintptr_t{0};
    constexpr int kMaxInFlight = 4096;
    struct kite_task_queue tasks;
    ASSERT_EQ(kite_task_queue_init(&tasks, 0, 16, 16, 0), 0);
    std::vector<std::atomic<unsigned char>> seen(kProducers * kPerProducer);
    std::atomic<int> in_flight{0}, finished{0};
    std::atomic<long> duplicates{0}, disorder{0}, errors{0};

    auto consume = [&] {
        uintptr_t last[kProducers] = {0, 0, 0, 0};
        for (;;) {
            struct kite_task_info *t = blocked_queue_pop(&queue_);
            if (t == nullptr) continue;
            auto value = reinterpret_cast<uintptr_t>(t->arg);
            kite_task_queue_free(&tasks, t);
            in_flight--;
            if (value == kStop) break;
            uintptr_t producer = (value - 1) / kPerProducer;
            if (seen[value - 1].fetch_add(1) != 0) duplicates++;
            if (value <= last[producer]) disorder++;
            last[producer] = value;
        }
        finished++;
    };
    auto push = [&](uintptr_t value) {
        while (in_flight >= kMaxInFlight) std::this_thread::yield();
        in_flight++;
        struct kite_task_info *t = kite_task_queue_alloc(&tasks);
        if (t == nullptr) { errors++; return; }
        t->arg = reinterpret_cast<void *>(value);
        if (blocked_queue_push(&queue_, t) != 0) errors++;
    };
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; c++) consumers.emplace_back(consume);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (uintptr_t i = 1; i <= kPerProducer; i++) {
                push(p * kPerProducer + i);
            }
        });
    }
    for (auto &t : producers) t.join();
    for (int c = 0; c < kConsumers; c++) push(kStop);
    // A push wakes one consumer per change from empty; wake the others.
    while (finished < kConsumers) {
        blocked_queue_terminate(&queue_);
        usleep(1000);
    }
    for (auto &t : consumers) t.join();
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(duplicates, 0);
    EXPECT_EQ(disorder, 0);
    long missing = 0;
    for (auto &s : seen) missing += s == 0;
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(kite_task_queue_free_count(&tasks),
              kite_task_queue_total_count(&tasks));
    kite_task_queue_destroy(&tasks);
}

}  // namespace
