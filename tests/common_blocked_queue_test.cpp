// kite-test-labels: concurrent
#include "common_blocked_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "queue_test_util.h"
#include "test_util.h"

namespace {

using kite_test::FailingAllocator;
using kite_test::LogCapture;
using kite_test::kStressConsumers;
using kite_test::kStressPerProducer;
using kite_test::kStressProducers;
using kite_test::PopWokenWhileEmpty;

void *Ptr(uintptr_t value)
{
    return reinterpret_cast<void *>(value);
}

class CommonBlockedQueueTest : public ::testing::Test {
 protected:
    void SetUp() override
    {
        ASSERT_EQ(common_blocked_queue_init_ex(&queue_, 4), 0);
    }
    void TearDown() override { common_blocked_queue_destroy(&queue_); }

    int64_t NodesInUse()
    {
        kite_mblock_stats stats;
        kite_mblock_get_stats(&queue_.mblock, &stats);
        return stats.element_used_count;
    }

    struct common_blocked_queue queue_;
};

TEST_F(CommonBlockedQueueTest, SetUpNamesThePoolAndSizesItsNodes)
{
    EXPECT_STREQ(queue_.mblock.name, "queue_node");
    EXPECT_EQ(queue_.mblock.element_size,
              static_cast<int>(sizeof(struct common_blocked_node)));
    EXPECT_EQ(queue_.mblock.alloc_elements_once, 4);
    EXPECT_FALSE(queue_.mblock.need_lock);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.tail, nullptr);
}

TEST_F(CommonBlockedQueueTest, PushReportsChangeFromEmptyAndPopsInOrder)
{
    bool notify = false;
    ASSERT_EQ(common_blocked_queue_push_ex(&queue_, Ptr(1), &notify), 0);
    EXPECT_TRUE(notify);
    for (uintptr_t i = 2; i <= 10; i++) {
        ASSERT_EQ(common_blocked_queue_push_ex(&queue_, Ptr(i), &notify), 0);
        EXPECT_FALSE(notify);
    }
    EXPECT_EQ(NodesInUse(), 10);
    for (uintptr_t i = 1; i <= 10; i++) {
        EXPECT_EQ(common_blocked_queue_pop_ex(&queue_, false), Ptr(i));
    }
    EXPECT_EQ(NodesInUse(), 0);
    EXPECT_EQ(queue_.tail, nullptr);
    ASSERT_EQ(common_blocked_queue_push_ex(&queue_, Ptr(11), &notify), 0);
    EXPECT_TRUE(notify);
}

TEST_F(CommonBlockedQueueTest, SteadyTrafficReusesPooledNodes)
{
    kite_mblock_stats before, after;
    ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(1)), 0);
    EXPECT_EQ(common_blocked_queue_pop(&queue_), Ptr(1));
    kite_mblock_get_stats(&queue_.mblock, &before);
    for (uintptr_t i = 0; i < 1000; i++) {
        ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(i + 1)), 0);
        ASSERT_EQ(common_blocked_queue_try_pop(&queue_), Ptr(i + 1));
    }
    kite_mblock_get_stats(&queue_.mblock, &after);
    EXPECT_EQ(after.element_total_count, before.element_total_count);
    EXPECT_EQ(after.trunk_total_count, before.trunk_total_count);
}

TEST_F(CommonBlockedQueueTest, PushWithoutANodeReturnsEnomemAndKeepsNotify)
{
    for (uintptr_t i = 1; i <= 4; i++) {  // fill the first trunk
        ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(i)), 0);
    }
    for (uintptr_t i = 1; i <= 4; i++) {
        ASSERT_EQ(common_blocked_queue_pop(&queue_), Ptr(i));
    }
    for (uintptr_t i = 1; i <= 4; i++) {
        ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(i)), 0);
    }
    bool notify = true;
    {
        FailingAllocator fail;
        EXPECT_EQ(common_blocked_queue_push_ex(&queue_, Ptr(5), &notify),
                  ENOMEM);
        EXPECT_GT(fail.failures(), 0);
    }
    EXPECT_TRUE(notify);
    EXPECT_EQ(queue_.tail->data, Ptr(4));
    struct common_blocked_queue fresh;
    ASSERT_EQ(common_blocked_queue_init_ex(&fresh, 4), 0);
    notify = false;
    {
        FailingAllocator fail;
        EXPECT_EQ(common_blocked_queue_push_ex(&fresh, Ptr(1), &notify),
                  ENOMEM);
    }
    EXPECT_FALSE(notify);  // unwritten, although the queue was empty
    EXPECT_EQ(fresh.head, nullptr);
    EXPECT_EQ(fresh.tail, nullptr);
    common_blocked_queue_destroy(&fresh);
}

TEST_F(CommonBlockedQueueTest, PopsOnAnEmptyQueueReturnNull)
{
    EXPECT_EQ(common_blocked_queue_pop_ex(&queue_, false), nullptr);
    EXPECT_EQ(common_blocked_queue_pop_all_nodes_ex(&queue_, false), nullptr);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.tail, nullptr);
    EXPECT_EQ(
        PopWokenWhileEmpty(&queue_.lc_pair,
                           [&] { return common_blocked_queue_pop(&queue_); }),
        nullptr);
    EXPECT_EQ(PopWokenWhileEmpty(&queue_.lc_pair,
                                 [&]() -> void * {
                                     return common_blocked_queue_pop_all_nodes(
                                         &queue_);
                                 }),
              nullptr);
}

TEST_F(CommonBlockedQueueTest, TimedPopHonoursQueueAndUnit)
{
    ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(7)), 0);
    EXPECT_EQ(common_blocked_queue_timedpop(&queue_, 10, 's'), Ptr(7));
    EXPECT_EQ(common_blocked_queue_timedpop(&queue_, 0, 's'), nullptr);
    LogCapture log;
    EXPECT_EQ(common_blocked_queue_timedpop(&queue_, 3600, 'h'), nullptr);
    EXPECT_TRUE(log.contains("invalid time unit: 104"));
}

TEST_F(CommonBlockedQueueTest, PopAllNodesThenReturnThemToTheFront)
{
    for (uintptr_t i = 1; i <= 3; i++) {
        ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(i)), 0);
    }
    struct common_blocked_node *chain =
        common_blocked_queue_pop_all_nodes_ex(&queue_, false);
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(chain->data, Ptr(1));
    EXPECT_EQ(chain->next->data, Ptr(2));
    EXPECT_EQ(chain->next->next->data, Ptr(3));
    EXPECT_EQ(chain->next->next->next, nullptr);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.tail, nullptr);

    // Back into an empty queue: both ends set.
    common_blocked_queue_return_nodes(&queue_, chain);
    EXPECT_EQ(queue_.head, chain);
    EXPECT_EQ(queue_.tail->data, Ptr(3));
    ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(4)), 0);

    // Back into a non-empty queue: in front of the old head.
    chain = common_blocked_queue_pop_all_nodes(&queue_);
    ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(5)), 0);
    common_blocked_queue_return_nodes(&queue_, chain);
    common_blocked_queue_return_nodes(&queue_, nullptr);
    for (uintptr_t i = 1; i <= 5; i++) {
        EXPECT_EQ(common_blocked_queue_try_pop(&queue_), Ptr(i));
    }
    EXPECT_EQ(common_blocked_queue_try_pop(&queue_), nullptr);
    EXPECT_EQ(NodesInUse(), 0);
}

TEST_F(CommonBlockedQueueTest, FreeAllNodesGivesThemBackToThePool)
{
    for (uintptr_t i = 1; i <= 6; i++) {
        ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(i)), 0);
    }
    struct common_blocked_node *chain =
        common_blocked_queue_try_pop_all_nodes(&queue_);
    EXPECT_EQ(NodesInUse(), 6);
    common_blocked_queue_free_all_nodes(&queue_, chain);
    EXPECT_EQ(NodesInUse(), 0);
    common_blocked_queue_free_all_nodes(&queue_, nullptr);
    EXPECT_EQ(queue_.head, nullptr);
}

TEST_F(CommonBlockedQueueTest, FailedLockIsLoggedAndChangesNothing)
{
    kite_test::UseErrorCheckingMutex(&queue_.lc_pair.lock);
    ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(1)), 0);
    struct common_blocked_node *held =
        common_blocked_queue_try_pop_all_nodes(&queue_);
    ASSERT_EQ(common_blocked_queue_push(&queue_, Ptr(2)), 0);

    ASSERT_EQ(pthread_mutex_lock(&queue_.lc_pair.lock), 0);
    LogCapture log;
    bool notify = true;
    EXPECT_EQ(common_blocked_queue_push_ex(&queue_, Ptr(3), &notify), EDEADLK);
    EXPECT_TRUE(notify);
    EXPECT_EQ(common_blocked_queue_pop_ex(&queue_, true), nullptr);
    EXPECT_EQ(common_blocked_queue_timedpop(&queue_, 1, 's'), nullptr);
    EXPECT_EQ(common_blocked_queue_pop_all_nodes_ex(&queue_, true), nullptr);
    common_blocked_queue_return_nodes(&queue_, held);
    common_blocked_queue_free_all_nodes(&queue_, held);
    ASSERT_EQ(pthread_mutex_unlock(&queue_.lc_pair.lock), 0);

    ASSERT_EQ(log.size(), 6u);
    kite_test::ExpectLockFailRecords(log, KT_LOG_ERROR,
                                     "common_blocked_queue.cpp");
    EXPECT_EQ(queue_.head, queue_.tail);
    EXPECT_EQ(queue_.head->data, Ptr(2));
    EXPECT_EQ(held->next, nullptr);  // neither linked in nor freed
    EXPECT_EQ(NodesInUse(), 2);
}

// 4 producers and 4 consumers pass 1,000,000 pointers; each comes out once,
// and each consumer sees each producer's values in increasing order.  Odd
// consumers take whole node chains and give back what follows their stop.
TEST_F(CommonBlockedQueueTest, StressManyProducersManyConsumers)
{
    constexpr uintptr_t kStop = ~uintptr_t{0};
    kite_test::StressLedger ledger(kStressProducers, kStressPerProducer);
    std::atomic<long> push_errors{0};

    auto consume = [&](int c) {
        std::vector<long> last = ledger.NewOrder();
        for (;;) {
            if (c % 2 == 0) {
                auto value = reinterpret_cast<uintptr_t>(
                    common_blocked_queue_pop(&queue_));
                if (value == kStop) return;
                if (value != 0) ledger.RecordValue(value, &last);
                continue;
            }
            struct common_blocked_node *chain =
                common_blocked_queue_pop_all_nodes(&queue_);
            struct common_blocked_node *node = chain;
            for (; node != nullptr; node = node->next) {
                auto value = reinterpret_cast<uintptr_t>(node->data);
                if (value == kStop) break;
                ledger.RecordValue(value, &last);
            }
            if (node != nullptr) {  // stop found: give back what follows it
                common_blocked_queue_return_nodes(&queue_, node->next);
                node->next = nullptr;
                common_blocked_queue_free_all_nodes(&queue_, chain);
                return;
            }
            common_blocked_queue_free_all_nodes(&queue_, chain);
        }
    };
    auto produce = [&](int p) {
        for (uintptr_t i = 1; i <= kStressPerProducer; i++) {
            void *value = Ptr(p * kStressPerProducer + i);
            if (common_blocked_queue_push(&queue_, value) != 0) push_errors++;
        }
    };
    auto stop = [&] {
        for (int c = 0; c < kStressConsumers; c++) {
            EXPECT_EQ(common_blocked_queue_push(&queue_, Ptr(kStop)), 0);
        }
    };
    kite_test::RunStress(kStressProducers, kStressConsumers, consume, produce,
                         stop, [&] { kite_test::Broadcast(&queue_.lc_pair); });
    EXPECT_EQ(push_errors, 0);
    ledger.ExpectEachOnceInOrder();
    EXPECT_EQ(NodesInUse(), 0);
}

}  // namespace
