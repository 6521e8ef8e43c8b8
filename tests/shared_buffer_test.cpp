// kite-test-labels: concurrent
#include "shared_buffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

struct Context {
    Context(int once, int capacity, bool need_lock = false)
    {
        result = shared_buffer_init_ex(&ctx, once, capacity, need_lock);
    }
    ~Context() { shared_buffer_destroy(&ctx); }
    int64_t used()
    {
        kite_mblock_stats stats;
        kite_mblock_get_stats(&ctx.allocator, &stats);
        return stats.element_used_count;
    }
    SharedBufferContext ctx;
    int result;
};

TEST(SharedBufferTest, EveryNewRecordGetsItsContextAndInitialArea)
{
    for (int capacity : {0, -8, 1024}) {
        SCOPED_TRACE(capacity);
        Context c(4, capacity);
        ASSERT_EQ(c.result, 0);
        EXPECT_STREQ(c.ctx.allocator.name, "shared_buffer");
        EXPECT_EQ(c.ctx.allocator.element_size, (int)sizeof(SharedBuffer));
        EXPECT_EQ(c.ctx.allocator.alloc_elements_once, 4);
        std::set<char *> areas;
        for (int i = 0; i < 6; i++) {
            SharedBuffer *b = shared_buffer_alloc(&c.ctx);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(b->ctx, &c.ctx);
            EXPECT_EQ(b->reffer_count, 1);
            EXPECT_EQ(b->length, 0);
            EXPECT_EQ(b->capacity, std::max(capacity, 0));
            EXPECT_EQ(b->buff == nullptr, capacity <= 0);
            if (b->buff != nullptr) {
                memset(b->buff, 'x', b->capacity);  // the whole area is ours
                EXPECT_TRUE(areas.insert(b->buff).second);
            }
        }
    }
}

TEST(SharedBufferTest, CheckCapacityReplacesTheAreaWithoutCopying)
{
    Context c(2, 64);
    SharedBuffer *b = shared_buffer_alloc(&c.ctx);
    ASSERT_NE(b, nullptr);
    char *area = b->buff;
    b->length = 10;
    for (int target : {0, 10, 64}) {
        EXPECT_EQ(shared_buffer_check_capacity(b, target), 0);
        EXPECT_EQ(b->buff, area);
        EXPECT_EQ(b->capacity, 64);
    }
    EXPECT_EQ(shared_buffer_check_capacity(b, 65), 0);
    EXPECT_EQ(b->capacity, 65);
    EXPECT_EQ(b->length, 10);  // the caller keeps its data itself
    memset(b->buff, 'y', 65);
    area = b->buff;

    kite_test::LogCapture log;
    kite_test::FailingAllocator fail;
    EXPECT_EQ(shared_buffer_check_capacity(b, 4096), ENOMEM);
    EXPECT_EQ(b->buff, area);
    EXPECT_EQ(b->capacity, 65);
    EXPECT_TRUE(log.contains("file: shared_buffer.h, line: ")) << log.last();
    EXPECT_TRUE(log.contains("malloc 4096 bytes fail"));
}

TEST(SharedBufferTest, LastReleaseReturnsTheRecordWithItsAreaKept)
{
    Context c(4, 128);
    SharedBuffer *b = shared_buffer_alloc_ex(&c.ctx, 2);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->reffer_count, 2);
    EXPECT_EQ(shared_buffer_hold(b), 3);
    ASSERT_EQ(shared_buffer_check_capacity(b, 512), 0);
    char *area = b->buff;
    b->length = 300;
    EXPECT_EQ(shared_buffer_release(b), 2);
    EXPECT_EQ(shared_buffer_release(b), 1);
    EXPECT_EQ(c.used(), 1);
    EXPECT_EQ(shared_buffer_release(b), 0);
    EXPECT_EQ(c.used(), 0);
    EXPECT_EQ(b->length, 0);
    SharedBuffer *again = shared_buffer_alloc(&c.ctx);
    EXPECT_EQ(again, b);  // the pool hands the warm record out first
    EXPECT_EQ(again->buff, area);
    EXPECT_EQ(again->capacity, 512);
    EXPECT_EQ(again->reffer_count, 1);
}

TEST(SharedBufferTest, ReleaseWithoutHolderIsLoggedAndNeverReturnsTwice)
{
    Context c(4, 16);
    SharedBuffer *b = shared_buffer_alloc(&c.ctx);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(shared_buffer_release(b), 0);
    kite_test::LogCapture log;
    EXPECT_EQ(shared_buffer_release(b), -1);
    EXPECT_TRUE(log.contains("file: shared_buffer.cpp, line: "));
    EXPECT_EQ(shared_buffer_hold(b), -1);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(b->reffer_count, 0);
    EXPECT_EQ(c.used(), 0);
    // Had the record gone back twice, two takes would share it.
    SharedBuffer *x = shared_buffer_alloc(&c.ctx);
    SharedBuffer *y = shared_buffer_alloc(&c.ctx);
    EXPECT_NE(x, y);
    EXPECT_EQ(c.used(), 2);
}

TEST(SharedBufferTest, AllocRefusesHolderCountsBelowOne)
{
    Context c(4, 16);
    kite_test::LogCapture log;
    for (int count : {0, -1}) {
        errno = 0;
        SharedBuffer *b = shared_buffer_alloc_ex(&c.ctx, count);
        int err = errno;
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(err, EINVAL);
    }
    EXPECT_EQ(log.size(), 2u);
    EXPECT_EQ(c.used(), 0);
}

// With and without buffers still held, tear-down frees every record and
// every data area, grown ones included.
TEST(SharedBufferTest, DestroyLeavesNothingAllocated)
{
    for (bool keep_held : {false, true}) {
        SCOPED_TRACE(keep_held);
        kite_test::CountingAllocator counter;
        {
            Context c(8, 1024, true);
            std::vector<SharedBuffer *> held;
            for (int i = 0; i < 20; i++)
                held.push_back(shared_buffer_alloc(&c.ctx));
            ASSERT_EQ(shared_buffer_check_capacity(held[3], 8192), 0);
            EXPECT_EQ(counter.blocks(), 3 + 24);  // trunks and areas
            if (!keep_held) {
                for (SharedBuffer *b : held)
                    EXPECT_EQ(shared_buffer_release(b), 0);
            }
        }
        EXPECT_EQ(counter.blocks(), 0);
        EXPECT_EQ(counter.bytes(), 0);
    }
}

// The n-th allocation fails, for every n of a sequence of takes: the failed
// take reports ENOMEM and leaks nothing (a batch is undone whole), the
// context still works, and tear-down leaves nothing allocated.
TEST(SharedBufferTest, FailureAtEveryStepLeaksNothing)
{
    for (int fail_after = 0;; fail_after++) {
        SCOPED_TRACE(fail_after);
        kite_test::LogCapture log;
        kite_test::CountingAllocator counter(fail_after);
        bool failed = false;
        {
            Context c(4, 256);
            ASSERT_EQ(c.result, 0);
            for (int i = 0; i < 10 && !failed; i++) {
                int64_t blocks = counter.blocks();
                errno = 0;
                SharedBuffer *b = shared_buffer_alloc(&c.ctx);
                int err = errno;
                if (b != nullptr) continue;
                failed = true;
                EXPECT_EQ(err, ENOMEM);
                EXPECT_EQ(counter.blocks(), blocks);
                EXPECT_EQ(c.used(), i);
            }
        }
        EXPECT_EQ(counter.blocks(), 0);
        if (!failed) break;
    }
}

// A small bounded queue: the producer stays at most kDepth buffers ahead,
// so records go round the pool instead of piling up.  Waits are bounded.
class HandOff {
 public:
    static constexpr size_t kDepth = 4;
    bool push(SharedBuffer *b)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(30),
                               [&] { return queue_.size() < kDepth; })) {
            return false;
        }
        queue_.push_back(b);
        changed_.notify_all();
        return true;
    }
    SharedBuffer *pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(30),
                               [&] { return !queue_.empty(); })) {
            return nullptr;
        }
        SharedBuffer *b = queue_.front();
        queue_.pop_front();
        changed_.notify_all();
        return b;
    }

 private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SharedBuffer *> queue_;
};

// Two threads pass holders through a queue: the producer takes each buffer
// with two holders, fills it, queues it and drops its own holder; the
// consumer checks the contents, takes and drops an extra holder, and drops
// its last.  Whichever thread is last gives the record back, and the
// producer reuses it soon after, so a holder count that did not order the
// other thread's reads before the reuse shows up as a race.
TEST(SharedBufferTest, HoldersPassedBetweenThreadsConcurrent)
{
    constexpr int kRounds = 20000;
    Context c(16, 64, true);
    ASSERT_EQ(c.result, 0);
    HandOff queue;
    int bad = 0;
    std::thread consumer([&] {
        for (int i = 0; i < kRounds; i++) {
            SharedBuffer *b = queue.pop();
            if (b == nullptr) {
                bad++;
                return;
            }
            std::string expect = std::to_string(i);
            if (b->length != (int)expect.size() ||
                memcmp(b->buff, expect.data(), b->length) != 0) {
                bad++;
            }
            if (shared_buffer_hold(b) < 2) bad++;
            shared_buffer_release(b);
            shared_buffer_release(b);
        }
    });
    for (int i = 0; i < kRounds; i++) {
        SharedBuffer *b = shared_buffer_alloc_ex(&c.ctx, 2);
        ASSERT_NE(b, nullptr);
        std::string text = std::to_string(i);
        memcpy(b->buff, text.data(), text.size());
        b->length = (int)text.size();
        if (!queue.push(b)) break;
        shared_buffer_release(b);
    }
    consumer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(c.used(), 0);
    kite_mblock_stats stats;
    kite_mblock_get_stats(&c.ctx.allocator, &stats);
    // At most kDepth queued, one with each thread: one batch of records.
    EXPECT_EQ(stats.element_total_count, 16);
}

}  // namespace
