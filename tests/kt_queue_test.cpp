// kite-test-labels: concurrent
#include "kt_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <thread>
#include <vector>

#include "queue_test_util.h"
#include "test_util.h"

namespace {

using kite_test::LogCapture;
using kite_test::kStressConsumers;
using kite_test::kStressPerProducer;
using kite_test::kStressProducers;
using kite_test::PopWokenWhileEmpty;

struct Item {
    int producer;
    int seq;
    void *link;  // not first, so a wrong offset shows up as corruption
};

class KtQueueTest : public ::testing::Test {
 protected:
    void SetUp() override
    {
        ASSERT_EQ(kt_queue_init(&queue_, offsetof(Item, link)), 0);
    }
    void TearDown() override { kt_queue_destroy(&queue_); }

    bool Push(Item *item)
    {
        bool notify;
        kt_queue_push_ex(&queue_, item, &notify);
        return notify;
    }

    struct kt_queue queue_;
};

TEST_F(KtQueueTest, NotifyReportsOnlyTheChangeFromEmpty)
{
    Item a{}, b{}, c{};
    EXPECT_TRUE(Push(&a));
    EXPECT_FALSE(Push(&b));
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), &a);
    EXPECT_FALSE(Push(&c));  // still not empty: b is queued
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), &b);
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), &c);
    EXPECT_TRUE(Push(&a));  // drained by pops: reported again
    EXPECT_EQ(queue_.head, &a);
    EXPECT_EQ(queue_.tail, &a);
}

TEST_F(KtQueueTest, PushClearsTheNextPointerAndPopLeavesIt)
{
    Item a{}, b{};
    a.link = &b;  // stale garbage from an earlier life
    Push(&a);
    EXPECT_EQ(a.link, nullptr);
    Push(&b);
    EXPECT_EQ(a.link, &b);
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), &a);
    EXPECT_EQ(a.link, &b);  // left as it was
    EXPECT_EQ(queue_.head, &b);
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), &b);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.tail, nullptr);
}

TEST_F(KtQueueTest, PopsOnAnEmptyQueueReturnNull)
{
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), nullptr);
    EXPECT_EQ(kt_queue_try_pop(&queue_), nullptr);
    EXPECT_EQ(kt_queue_pop_all_ex(&queue_, false), nullptr);
    EXPECT_TRUE(kt_queue_empty(&queue_));
    EXPECT_EQ(
        PopWokenWhileEmpty(&queue_.lc_pair,
                           [&] { return kt_queue_pop_ex(&queue_, true); }),
        nullptr);
    EXPECT_EQ(PopWokenWhileEmpty(&queue_.lc_pair,
                                 [&] { return kt_queue_pop_all(&queue_); }),
              nullptr);
}

TEST_F(KtQueueTest, BlockingPopTakesWhatTheSignallingPushQueued)
{
    Item a{};
    std::thread consumer([&] {
        void *got = nullptr;
        while (got == nullptr) {
            got = kt_queue_pop(&queue_);
        }
        EXPECT_EQ(got, &a);
    });
    usleep(20 * 1000);
    kt_queue_push(&queue_, &a);
    consumer.join();
    EXPECT_TRUE(kt_queue_empty(&queue_));
}

TEST_F(KtQueueTest, PopAllReturnsTheChainInPushOrder)
{
    Item items[5] = {};
    for (auto &item : items) {
        Push(&item);
    }
    auto *node = static_cast<Item *>(kt_queue_pop_all_ex(&queue_, false));
    for (auto &item : items) {
        ASSERT_EQ(node, &item);
        node = static_cast<Item *>(node->link);
    }
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(queue_.head, nullptr);
    EXPECT_EQ(queue_.tail, nullptr);
    EXPECT_TRUE(Push(&items[0]));
}

TEST_F(KtQueueTest, ChainToHeadOfNonEmptyQueueGoesFirst)
{
    Item a{}, b{}, x{}, y{};
    Push(&a);
    Push(&b);
    x.link = &y;
    y.link = &x;  // the tail's link is overwritten with the old head
    struct kt_queue_info chain = {&x, &y};
    bool notify = true;
    kt_queue_push_queue_to_head_ex(&queue_, &chain, &notify);
    EXPECT_FALSE(notify);
    EXPECT_EQ(queue_.tail, &b);
    Item *expected[] = {&x, &y, &a, &b};
    for (Item *item : expected) {
        EXPECT_EQ(kt_queue_pop_ex(&queue_, false), item);
    }
    EXPECT_EQ(kt_queue_pop_ex(&queue_, false), nullptr);
}

TEST_F(KtQueueTest, ChainToHeadOfEmptyQueueSetsTailAndNotifies)
{
    Item x{}, y{};
    x.link = &y;
    struct kt_queue_info chain = {&x, &y};
    bool notify = false;
    kt_queue_push_queue_to_head_ex(&queue_, &chain, &notify);
    EXPECT_TRUE(notify);
    EXPECT_EQ(queue_.head, &x);
    EXPECT_EQ(queue_.tail, &y);
    EXPECT_EQ(y.link, nullptr);
    Item z{};
    EXPECT_FALSE(Push(&z));
    EXPECT_EQ(y.link, &z);

    struct kt_queue_info empty = {nullptr, nullptr};
    notify = true;
    kt_queue_push_queue_to_head_ex(&queue_, &empty, &notify);
    EXPECT_FALSE(notify);
    EXPECT_EQ(queue_.head, &x);
    EXPECT_EQ(queue_.tail, &z);
}

TEST_F(KtQueueTest, PopToQueueMovesEverythingOrClearsTheInfo)
{
    Item dummy{};
    struct kt_queue_info info = {&dummy, &dummy};
    kt_queue_pop_to_queue(&queue_, &info);
    EXPECT_EQ(info.head, nullptr);
    EXPECT_EQ(info.tail, nullptr);

    Item a{}, b{};
    Push(&a);
    Push(&b);
    kt_queue_pop_to_queue(&queue_, &info);
    EXPECT_EQ(info.head, &a);
    EXPECT_EQ(info.tail, &b);
    EXPECT_EQ(a.link, &b);
    EXPECT_TRUE(kt_queue_empty(&queue_));
    // The chain goes back in one piece.
    kt_queue_push_queue_to_head(&queue_, &info);
    EXPECT_EQ(kt_queue_pop_all_ex(&queue_, false), &a);
}

TEST_F(KtQueueTest, TimedPopReturnsQueuedItemOrNullAfterTheDeadline)
{
    Item a{};
    Push(&a);
    EXPECT_EQ(kt_queue_timedpop(&queue_, 5, 's'), &a);
    EXPECT_EQ(kt_queue_timedpop(&queue_, 0, 's'), nullptr);
    EXPECT_EQ(kt_queue_timedpop(&queue_, 1, 'n'), nullptr);
}

TEST_F(KtQueueTest, TimedPopWithAnUnknownUnitLogsAndDoesNotWait)
{
    LogCapture log;
    EXPECT_EQ(kt_queue_timedpop(&queue_, 3600, 'x'), nullptr);
    EXPECT_TRUE(log.contains("pthread_func.h"));
    EXPECT_TRUE(log.contains("invalid time unit: 120"));
}

// An error-checking mutex that the test thread already holds makes the
// queue's own pthread_mutex_lock fail with EDEADLK.
class KtQueueLockFailTest : public KtQueueTest {
 protected:
    void SetUp() override
    {
        KtQueueTest::SetUp();
        kite_test::UseErrorCheckingMutex(&queue_.lc_pair.lock);
    }
};

TEST_F(KtQueueLockFailTest, FailedLockIsLoggedAndChangesNothing)
{
    Item a{}, b{};
    Push(&a);
    ASSERT_EQ(pthread_mutex_lock(&queue_.lc_pair.lock), 0);
    LogCapture log;
    bool notify = true;
    kt_queue_push_ex(&queue_, &b, &notify);
    EXPECT_FALSE(notify);
    EXPECT_EQ(kt_queue_pop_ex(&queue_, true), nullptr);
    EXPECT_EQ(kt_queue_pop_all_ex(&queue_, true), nullptr);
    EXPECT_EQ(kt_queue_timedpop(&queue_, 1, 's'), nullptr);
    struct kt_queue_info info = {&b, &b};
    kt_queue_pop_to_queue(&queue_, &info);
    EXPECT_EQ(info.head, nullptr);
    struct kt_queue_info chain = {&b, &b};
    kt_queue_push_queue_to_head_ex(&queue_, &chain, &notify);
    EXPECT_FALSE(notify);
    ASSERT_EQ(pthread_mutex_unlock(&queue_.lc_pair.lock), 0);

    ASSERT_GE(log.size(), 6u);
    kite_test::ExpectLockFailRecords(log, KT_LOG_WARNING, "kt_queue.cpp");
    EXPECT_EQ(queue_.head, &a);
    EXPECT_EQ(queue_.tail, &a);
}

// A negative offset would make each push write in front of the record.
TEST(KtQueueInitTest, NegativeNextOffsetIsRefused)
{
    LogCapture capture;
    struct kt_queue queue;
    EXPECT_EQ(kt_queue_init(&queue, -8), EINVAL);
    EXPECT_TRUE(capture.contains("invalid next pointer offset: -8"));
    ASSERT_EQ(kt_queue_init(&queue, 0), 0);
    kt_queue_destroy(&queue);
}

// 4 producers and 4 consumers pass 1,000,000 records; every record comes
// out exactly once and each consumer sees each producer's records in order.
// Odd consumers take whole chains with pop_all.
TEST_F(KtQueueTest, StressManyProducersManyConsumers)
{
    std::vector<std::vector<Item>> items(kStressProducers,
                                         std::vector<Item>(kStressPerProducer));
    std::vector<Item> stops(kStressConsumers, Item{-1, 0, nullptr});
    kite_test::StressLedger ledger(kStressProducers, kStressPerProducer);

    auto consume = [&](int c) {
        bool take_all = c % 2 == 1;
        std::vector<long> last = ledger.NewOrder();
        for (;;) {
            auto *item = static_cast<Item *>(
                take_all ? kt_queue_pop_all(&queue_) : kt_queue_pop(&queue_));
            while (item != nullptr) {
                auto *next =
                    static_cast<Item *>(take_all ? item->link : nullptr);
                if (item->producer < 0) {
                    if (next != nullptr) {  // hand the rest back
                        struct kt_queue_info rest = {next, next};
                        while (static_cast<Item *>(rest.tail)->link) {
                            rest.tail = static_cast<Item *>(rest.tail)->link;
                        }
                        kt_queue_push_queue_to_head(&queue_, &rest);
                    }
                    return;
                }
                ledger.Record(item->producer, item->seq, &last);
                item = next;
            }
        }
    };
    auto produce = [&](int p) {
        for (int i = 0; i < kStressPerProducer; i++) {
            items[p][i] = Item{p, i, nullptr};
            kt_queue_push(&queue_, &items[p][i]);
        }
    };
    kite_test::RunStress(
        kStressProducers, kStressConsumers, consume, produce,
        [&] {
            for (auto &stop : stops) kt_queue_push(&queue_, &stop);
        },
        [&] { kite_test::Broadcast(&queue_.lc_pair); });
    ledger.ExpectEachOnceInOrder();
    EXPECT_TRUE(kt_queue_empty(&queue_));
}

}  // namespace
