// kite-test-labels: concurrent
#include "kite_task_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "kt_memory.h"
#include "test_util.h"

namespace {

using kite_test::FailingAllocator;
using kite_test::LogCapture;

class KiteTaskQueueTest : public ::testing::Test {
 protected:
    void SetUp() override
    {
        ASSERT_EQ(kite_task_queue_init(&tasks_, 3, 64, 256, 24), 0);
    }
    void TearDown() override { kite_task_queue_destroy(&tasks_); }

    struct kite_task_queue tasks_;
};

TEST(KiteTaskQueueInitTest, RejectsInconsistentSizes)
{
    struct kite_task_queue q;
    LogCapture log;
    EXPECT_EQ(kite_task_queue_init(&q, 0, 0, 10, 0), EINVAL);
    EXPECT_EQ(kite_task_queue_init(&q, 0, 20, 10, 0), EINVAL);
    EXPECT_EQ(kite_task_queue_init(&q, 0, 10, 10, -1), EINVAL);
    EXPECT_EQ(kite_task_queue_init(&q, -1, 10, 10, 0), EINVAL);
    EXPECT_EQ(log.size(), 4u);
    ASSERT_EQ(kite_task_queue_init(&q, 0, 10, 10, 0), 0);
    struct kite_task_info *task = kite_task_queue_alloc(&q);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->arg, nullptr);  // no argument area: the caller's field
    kite_task_queue_free(&q, task);
    kite_task_queue_destroy(&q);
}

TEST_F(KiteTaskQueueTest, AllocatedTaskIsResetWithBufferAndArgumentArea)
{
    struct kite_task_info *a = kite_task_queue_alloc(&tasks_);
    struct kite_task_info *b = kite_task_queue_alloc(&tasks_);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (auto *t : {a, b}) {
        EXPECT_EQ(t->next, nullptr);
        EXPECT_EQ(t->sock, -1);
        EXPECT_EQ(t->event.fd, -1);
        EXPECT_EQ(t->event.timer.prev, nullptr);
        EXPECT_EQ(t->event.callback, nullptr);
        EXPECT_GE(t->size, 64);
        ASSERT_NE(t->data, nullptr);
        EXPECT_EQ(t->length, 0);
        EXPECT_EQ(t->offset, 0);
        EXPECT_EQ(t->owner, &tasks_);
        ASSERT_NE(t->arg, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(t->arg) % 16, 0u);
    }
    EXPECT_NE(a->arg, b->arg);
    memset(a->data, 'x', a->size);  // the whole buffer is usable
    memset(a->arg, 0x5a, 24);
    memset(b->arg, 0x5a, 24);
    EXPECT_EQ(kite_task_queue_total_count(&tasks_), 2);
    kite_task_queue_free(&tasks_, a);
    kite_task_queue_free(&tasks_, b);
}

TEST_F(KiteTaskQueueTest, FreedTaskComesBackFirstAndClean)
{
    struct kite_task_info *a = kite_task_queue_alloc(&tasks_);
    struct kite_task_info *b = kite_task_queue_alloc(&tasks_);
    char *buffer = b->data;
    b->sock = 9;
    b->length = 5;
    b->offset = 3;
    b->event.fd = 9;
    b->event.timer.prev = &b->event.timer;
    strcpy(b->client_ip, "10.0.0.1");
    memset(b->arg, 0xff, 24);
    kite_task_queue_free(&tasks_, a);
    kite_task_queue_free(&tasks_, b);
    EXPECT_EQ(kite_task_queue_free_count(&tasks_), 2);

    struct kite_task_info *again = kite_task_queue_alloc(&tasks_);
    ASSERT_EQ(again, b);             // last in, first out
    EXPECT_EQ(again->data, buffer);  // the buffer stays with the task
    EXPECT_EQ(again->sock, -1);
    EXPECT_EQ(again->length, 0);
    EXPECT_EQ(again->offset, 0);
    EXPECT_EQ(again->event.fd, -1);
    EXPECT_EQ(again->event.timer.prev, nullptr);
    EXPECT_STREQ(again->client_ip, "");
    const auto *arg = static_cast<const unsigned char *>(again->arg);
    for (int i = 0; i < 24; i++) EXPECT_EQ(arg[i], 0) << i;
    EXPECT_EQ(kite_task_queue_total_count(&tasks_), 2);
    kite_task_queue_free(&tasks_, again);
}

TEST_F(KiteTaskQueueTest, LimitRefusesTasksUntilOneIsFreed)
{
    struct kite_task_info *held[3];
    for (auto &t : held) {
        t = kite_task_queue_alloc(&tasks_);
        ASSERT_NE(t, nullptr);
    }
    LogCapture log;
    EXPECT_EQ(kite_task_queue_alloc(&tasks_), nullptr);
    EXPECT_TRUE(log.contains("task queue is full, max_count: 3"));
    kite_task_queue_free(&tasks_, held[1]);
    EXPECT_EQ(kite_task_queue_alloc(&tasks_), held[1]);
    for (auto *t : held) kite_task_queue_free(&tasks_, t);
}

TEST_F(KiteTaskQueueTest, OutOfMemoryLeavesTheCountsAlone)
{
    {
        FailingAllocator fail;
        EXPECT_EQ(kite_task_queue_alloc(&tasks_), nullptr);
    }
    {
        FailingAllocator fail(1);  // the record succeeds, its buffer fails
        EXPECT_EQ(kite_task_queue_alloc(&tasks_), nullptr);
    }
    EXPECT_EQ(kite_task_queue_total_count(&tasks_), 0);
    struct kite_task_info *t[3];
    for (auto &task : t) {  // all three places are still available
        task = kite_task_queue_alloc(&tasks_);
        ASSERT_NE(task, nullptr);
    }
    for (auto *task : t) kite_task_queue_free(&tasks_, task);
}

TEST_F(KiteTaskQueueTest, BufferGrowsUpToTheMaximumAndShrinksOnFree)
{
    struct kite_task_info *t = kite_task_queue_alloc(&tasks_);
    memcpy(t->data, "hello", 5);
    t->length = 5;
    EXPECT_EQ(kite_task_queue_check_buffer(t, 32), 0);
    EXPECT_EQ(t->size, 64);
    EXPECT_EQ(kite_task_queue_check_buffer(t, 200), 0);
    EXPECT_GE(t->size, 200);
    EXPECT_EQ(memcmp(t->data, "hello", 5), 0);
    EXPECT_EQ(kite_task_queue_check_buffer(t, 257), ENOSPC);
    EXPECT_GE(t->size, 200);
    {
        FailingAllocator fail;
        EXPECT_EQ(kite_task_queue_check_buffer(t, 256), ENOMEM);
    }
    EXPECT_EQ(memcmp(t->data, "hello", 5), 0);
    kite_task_queue_free(&tasks_, t);
    t = kite_task_queue_alloc(&tasks_);
    EXPECT_EQ(t->size, 64);
    kite_task_queue_free(&tasks_, t);
}

TEST(KiteTaskQueueDestroyTest, WarnsAboutTasksStillHandedOut)
{
    struct kite_task_queue q;
    ASSERT_EQ(kite_task_queue_init(&q, 0, 16, 16, 0), 0);
    struct kite_task_info *kept = kite_task_queue_alloc(&q);
    struct kite_task_info *freed = kite_task_queue_alloc(&q);
    kite_task_queue_free(&q, freed);
    LogCapture log;
    kite_task_queue_destroy(&q);
    EXPECT_TRUE(log.contains("task queue destroyed with 1 tasks still in use"));
    EXPECT_EQ(q.free_list, nullptr);
    kt_free(kept->data);
    kt_free(kept);
}

TEST(KiteTaskQueueConcurrencyTest, ThreadsShareTheAllocator)
{
    struct kite_task_queue q;
    ASSERT_EQ(kite_task_queue_init(&q, 0, 32, 32, 8), 0);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&, i] {
            std::vector<struct kite_task_info *> held;
            for (int round = 0; round < 2000; round++) {
                for (int k = 0; k < 4; k++) {
                    struct kite_task_info *t = kite_task_queue_alloc(&q);
                    if (t == nullptr) {
                        failures++;
                        continue;
                    }
                    *static_cast<int *>(t->arg) = i;
                    held.push_back(t);
                }
                for (auto *t : held) {
                    if (*static_cast<int *>(t->arg) != i) failures++;
                    kite_task_queue_free(&q, t);
                }
                held.clear();
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_LE(kite_task_queue_total_count(&q), 16);
    EXPECT_EQ(kite_task_queue_free_count(&q), kite_task_queue_total_count(&q));
    kite_task_queue_destroy(&q);
}

}  // namespace
