// kite-test-labels: concurrent
#include "kite_mblock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "kt_memory.h"
#include "test_util.h"

namespace {

struct Record {
    int64_t serial;         // set once by the init function
    std::atomic<int> busy;  // 1 while a thread holds the element
    char payload[40];
};

int InitRecord(void *element, void *args)
{
    auto *counter = static_cast<std::atomic<int64_t> *>(args);
    auto *r = static_cast<Record *>(element);
    // The pool promises zeroed memory to the init function.
    const char *bytes = static_cast<const char *>(element);
    for (size_t i = 0; i < sizeof(Record); i++) {
        if (bytes[i] != 0) return EINVAL;
    }
    r->serial = ++*counter;
    return 0;
}

class KiteMblockTest : public ::testing::Test {
 protected:
    void TearDown() override { kite_mblock_destroy(&pool_); }
    kite_mblock_man pool_{};
    std::atomic<int64_t> inits_{0};
};

TEST_F(KiteMblockTest, NodeLayoutAndAlignment)
{
    EXPECT_EQ(offsetof(kite_mblock_node, next), 0u);
    EXPECT_EQ(offsetof(kite_mblock_node, offset), sizeof(void *));
    EXPECT_EQ(offsetof(kite_mblock_node, recycle_timestamp),
              sizeof(void *) + 4);
    EXPECT_EQ(offsetof(kite_mblock_node, data), sizeof(void *) + 8);
    ASSERT_EQ(kite_mblock_init(&pool_, 13, 10, false), 0);
    for (int i = 0; i < 25; i++) {
        kite_mblock_node *node = kite_mblock_alloc(&pool_);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(node->data) % 16, 0u);
        EXPECT_EQ(kite_mblock_to_node_ptr(node->data), node);
    }
}

TEST_F(KiteMblockTest, ReuseKeepsMemoryAndInitRunsOncePerElement)
{
    ASSERT_EQ(kite_mblock_init_ex1(&pool_, "records", sizeof(Record), 4, 0,
                                   InitRecord, &inits_, false),
              0);
    EXPECT_STREQ(pool_.name, "records");
    std::vector<Record *> held;
    for (int i = 0; i < 6; i++) {
        held.push_back(static_cast<Record *>(kite_mblock_alloc_object(&pool_)));
        ASSERT_NE(held.back(), nullptr);
        strcpy(held.back()->payload, "used");
    }
    EXPECT_EQ(inits_.load(), 8);  // two trunks of four
    std::set<int64_t> serials;
    for (auto *r : held) serials.insert(r->serial);
    EXPECT_EQ(serials.size(), 6u);

    Record *victim = held[3];
    int64_t serial = victim->serial;
    kite_mblock_free_object(&pool_, victim);
    auto *again = static_cast<Record *>(kite_mblock_alloc_object(&pool_));
    EXPECT_EQ(again, victim);          // the element just freed goes out first
    EXPECT_EQ(again->serial, serial);  // not initialised again
    EXPECT_STREQ(again->payload, "used");  // not cleared
    EXPECT_EQ(inits_.load(), 8);

    kite_mblock_stats stats;
    kite_mblock_get_stats(&pool_, &stats);
    EXPECT_EQ(stats.element_total_count, 8);
    EXPECT_EQ(stats.element_used_count, 6);
    EXPECT_EQ(stats.trunk_total_count, 2);
    kite_test::LogCapture capture;
    kite_mblock_log_stats(&pool_);
    EXPECT_EQ(
        capture.last(),
        "mblock records: element size: " + std::to_string(sizeof(Record)) +
            ", elements total: 8, used: 6, delay free: 0, trunks: 2, "
            "trunk bytes: " +
            std::to_string(stats.trunk_total_bytes));
}

TEST_F(KiteMblockTest, DelayedElementsWaitWhileOthersGoOutAtOnce)
{
    ASSERT_EQ(kite_mblock_init(&pool_, 32, 2, false), 0);
    void *a = kite_mblock_alloc_object(&pool_);
    void *b = kite_mblock_alloc_object(&pool_);
    kite_mblock_delay_free_object(&pool_, a, 1);
    kite_mblock_stats stats;
    kite_mblock_get_stats(&pool_, &stats);
    EXPECT_EQ(stats.delay_free_count, 1);
    EXPECT_EQ(stats.element_used_count, 1);

    // A trunk larger than a page is set up a page at a time: its untouched
    // rest still goes out before a delayed element whose time has come.
    kite_mblock_man big;
    ASSERT_EQ(kite_mblock_init(&big, 1000, 8, false), 0);
    std::vector<kite_mblock_node *> first_page;
    for (int i = 0; i < 4; i++) first_page.push_back(kite_mblock_alloc(&big));
    kite_mblock_delay_free(&big, first_page[0], 1);

    // While a waits, new elements come from a new trunk, never a.
    time_t freed_at = time(nullptr);
    void *c = kite_mblock_alloc_object(&pool_);
    void *d = kite_mblock_alloc_object(&pool_);
    EXPECT_NE(c, a);
    EXPECT_NE(d, a);
    kite_mblock_get_stats(&pool_, &stats);
    EXPECT_EQ(stats.trunk_total_count, 2);

    // Once the free chain is empty and the delay has passed, a comes back.
    while (time(nullptr) <= freed_at + 1) usleep(50000);
    void *e = kite_mblock_alloc_object(&pool_);
    EXPECT_EQ(e, a);
    kite_mblock_get_stats(&pool_, &stats);
    EXPECT_EQ(stats.delay_free_count, 0);
    EXPECT_EQ(stats.trunk_total_count, 2);
    (void)b;

    for (int i = 4; i < 8; i++) {
        kite_mblock_node *node = kite_mblock_alloc(&big);
        EXPECT_EQ(reinterpret_cast<char *>(node),
                  reinterpret_cast<char *>(first_page[0]) + i * big.node_size);
    }
    EXPECT_EQ(kite_mblock_alloc(&big), first_page[0]);
    kite_mblock_get_stats(&big, &stats);
    EXPECT_EQ(stats.trunk_total_count, 1);
    kite_mblock_destroy(&big);
}

TEST_F(KiteMblockTest, DelayChainStaysOrderedForMixedDelays)
{
    ASSERT_EQ(kite_mblock_init(&pool_, 8, 8, false), 0);
    std::vector<kite_mblock_node *> nodes;
    for (int i = 0; i < 4; i++) nodes.push_back(kite_mblock_alloc(&pool_));
    kite_mblock_delay_free(&pool_, nodes[0], 100);
    kite_mblock_delay_free(&pool_, nodes[1], 1000);
    kite_mblock_delay_free(&pool_, nodes[2], 10);
    kite_mblock_delay_free(&pool_, nodes[3], 0);  // no delay: free chain
    std::vector<int32_t> order;
    for (auto *n = pool_.delay_head; n != nullptr; n = n->next) {
        order.push_back(n->recycle_timestamp);
    }
    ASSERT_EQ(order.size(), 3u);
    EXPECT_LE(order[0], order[1]);
    EXPECT_LE(order[1], order[2]);
    EXPECT_EQ(pool_.delay_tail, nodes[1]);
    EXPECT_EQ(kite_mblock_alloc(&pool_), nodes[3]);
}

TEST_F(KiteMblockTest, LimitsAndRefusalsReturnNull)
{
    kite_test::LogCapture capture;
    EXPECT_EQ(kite_mblock_init(&pool_, 0, 8, false), EINVAL);
    ASSERT_EQ(kite_mblock_init_ex1(&pool_, "limited", 16, 4, 6, nullptr,
                                   nullptr, false),
              0);
    int got = 0;
    while (kite_mblock_alloc(&pool_) != nullptr && got < 100) got++;
    EXPECT_EQ(got, 6);  // the second trunk is cut to the limit
    EXPECT_TRUE(capture.contains("mblock limited: element limit 6 reached"));
    kite_mblock_destroy(&pool_);

    auto refuse = [](const int64_t, void *) { return false; };
    ASSERT_EQ(kite_mblock_init_ex2(&pool_, "refused", 16, 4, 0, nullptr,
                                   nullptr, false, refuse, nullptr, nullptr),
              0);
    EXPECT_EQ(kite_mblock_alloc(&pool_), nullptr);
    kite_mblock_destroy(&pool_);

    auto fail_init = [](void *, void *) { return EIO; };
    ASSERT_EQ(kite_mblock_init_ex1(&pool_, "badinit", 16, 4, 0, fail_init,
                                   nullptr, false),
              0);
    EXPECT_EQ(kite_mblock_alloc_object(&pool_), nullptr);
    EXPECT_TRUE(capture.contains("mblock badinit: init element fail"));
    kite_mblock_destroy(&pool_);

    ASSERT_EQ(kite_mblock_init(&pool_, 16, 4, false), 0);
    {
        kite_test::FailingAllocator fail;
        EXPECT_EQ(kite_mblock_alloc(&pool_), nullptr);
    }
    EXPECT_NE(kite_mblock_alloc(&pool_), nullptr);  // recovers afterwards
}

// Nodes are addressed by int32 offsets: an element too large for that is
// refused at set-up instead of wrapping the node size.
TEST_F(KiteMblockTest, OversizedElementIsRefused)
{
    kite_test::LogCapture capture;
    for (int size : {INT32_MAX, INT32_MAX - 40, INT32_MAX / 2 * 2 - 16}) {
        EXPECT_EQ(kite_mblock_init_ex1(&pool_, "huge", size, 1, 0, nullptr,
                                       nullptr, false),
                  EINVAL)
            << size;
        EXPECT_EQ(pool_.trunks, nullptr);
    }
    EXPECT_TRUE(
        capture.contains("mblock huge: element size: 2147483647 is too large"));
    // The largest element that still fits sets up (nothing is allocated yet).
    EXPECT_EQ(kite_mblock_init(&pool_, INT32_MAX - 128, 1, false), 0);
    EXPECT_EQ(pool_.alloc_elements_once, 1);
}

TEST_F(KiteMblockTest, TrunkNotificationsAndDestroyReleaseEverything)
{
    struct Counts {
        int64_t allocated = 0, freed = 0;
    } counts;
    auto notify = [](const int type, const int64_t bytes, void *arg) {
        auto *c = static_cast<Counts *>(arg);
        (type == KITE_MBLOCK_TRUNK_ALLOC ? c->allocated : c->freed) += bytes;
    };
    ASSERT_EQ(kite_mblock_init_ex2(&pool_, "notified", 100, 3, 0, nullptr,
                                   nullptr, true, nullptr, notify, &counts),
              0);
    for (int i = 0; i < 10; i++) ASSERT_NE(kite_mblock_alloc(&pool_), nullptr);
    EXPECT_GT(counts.allocated, 0);
    kite_mblock_destroy(&pool_);  // elements still handed out are released too
    EXPECT_EQ(counts.freed, counts.allocated);
    EXPECT_EQ(pool_.trunks, nullptr);
    kite_mblock_destroy(&pool_);  // a second destroy does nothing
}

// Trunks of a pool without init function are set up a batch at a time as
// they are used up: over memory the allocator hands back dirty, every fresh
// element is still zeroed with its node's offset set, elements of one trunk
// go out in address order, freed ones first, and the counters are exact.
void *DirtyMalloc(size_t size)
{
    void *p = malloc(size);
    if (p != nullptr) memset(p, 0xa5, size);
    return p;
}

TEST_F(KiteMblockTest, FreshElementsAreZeroedInAddressOrderOverDirtyMemory)
{
    struct Case {
        int element_size, once;
    } cases[] = {{1, 10}, {64, 1024}, {200, 97}, {5000, 3}};
    kt_set_allocator(DirtyMalloc, nullptr, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.element_size);
        ASSERT_EQ(kite_mblock_init(&pool_, c.element_size, c.once, false), 0);
        const int total = 2 * c.once + 3;  // a third trunk, partly used
        std::vector<kite_mblock_node *> nodes;
        for (int i = 0; i < total; i++) {
            if (i == c.once / 2) {  // a freed element goes out before the tail
                kite_mblock_free(&pool_, nodes.back());
                ASSERT_EQ(kite_mblock_alloc(&pool_), nodes.back());
            }
            nodes.push_back(kite_mblock_alloc(&pool_));
            ASSERT_NE(nodes.back(), nullptr);
            const char *bytes = nodes.back()->data;
            EXPECT_EQ(std::count(bytes, bytes + c.element_size, 0),
                      c.element_size);
            memset(nodes.back()->data, 0x5a, c.element_size);
            char *trunk =
                reinterpret_cast<char *>(nodes.back()) - nodes.back()->offset;
            if (i % c.once != 0) {
                EXPECT_EQ(reinterpret_cast<char *>(nodes[i - 1]) +
                              pool_.node_size,
                          reinterpret_cast<char *>(nodes[i]));
                EXPECT_EQ(reinterpret_cast<char *>(nodes[i - 1]) -
                              nodes[i - 1]->offset,
                          trunk);
            }
        }
        kite_mblock_stats stats;
        kite_mblock_get_stats(&pool_, &stats);
        EXPECT_EQ(stats.element_total_count, 3 * c.once);
        EXPECT_EQ(stats.element_used_count, total);
        EXPECT_EQ(stats.trunk_total_count, 3);
        for (auto *n : nodes) kite_mblock_free(&pool_, n);
        kite_mblock_get_stats(&pool_, &stats);
        EXPECT_EQ(stats.element_used_count, 0);
        kite_mblock_destroy(&pool_);
    }
    kt_set_allocator(nullptr, nullptr, nullptr);
}

// Elements whose init attaches memory: the release function frees it on
// every initialised element at destroy, and on the elements already set up
// when an init fails part-way through a trunk (the n-th init fails).
struct Attached {
    char *area;
};

struct AttachArgs {
    int fail_at = -1;  // 0-based init call that fails; -1: none
    int inits = 0, releases = 0;
};

int AttachArea(void *element, void *args)
{
    auto *a = static_cast<AttachArgs *>(args);
    if (a->inits++ == a->fail_at) return ENOMEM;
    static_cast<Attached *>(element)->area =
        static_cast<char *>(kt_malloc(100));
    return static_cast<Attached *>(element)->area != nullptr ? 0 : ENOMEM;
}

void FreeArea(void *element, void *args)
{
    static_cast<AttachArgs *>(args)->releases++;
    kt_free(static_cast<Attached *>(element)->area);
}

TEST_F(KiteMblockTest, ReleaseFunctionUndoesInitAtDestroyAndOnBatchRollback)
{
    for (int fail_at : {-1, 0, 5, 6}) {
        SCOPED_TRACE(fail_at);
        kite_test::LogCapture capture;
        kite_test::CountingAllocator counter;
        AttachArgs args;
        args.fail_at = fail_at;
        ASSERT_EQ(kite_mblock_init_ex1(&pool_, "attached", sizeof(Attached), 4,
                                       0, AttachArea, &args, false),
                  0);
        kite_mblock_set_release_func(&pool_, FreeArea, &args);
        int got = 0;
        while (got < 8 && kite_mblock_alloc_object(&pool_) != nullptr) got++;
        // A failed batch is undone whole: its set-up elements are released
        // and it adds nothing to the pool.
        const int kept = fail_at < 0 ? 8 : fail_at / 4 * 4;
        EXPECT_EQ(got, kept);
        EXPECT_EQ(args.releases, fail_at < 0 ? 0 : fail_at % 4);
        EXPECT_EQ(counter.blocks(), kept + kept / 4);  // areas and trunks
        kite_mblock_destroy(&pool_);
        EXPECT_EQ(args.releases, kept + (fail_at < 0 ? 0 : fail_at % 4));
        EXPECT_EQ(counter.blocks(), 0);
    }
}

// Four threads allocate and free through a locked pool; an element is
// never handed to two holders at once and nothing is lost.
TEST_F(KiteMblockTest, LockedPoolUnderConcurrentAllocAndFree)
{
    ASSERT_EQ(kite_mblock_init_ex1(&pool_, "stress", sizeof(Record), 64, 0,
                                   InitRecord, &inits_, true),
              0);
    constexpr int kThreads = 4, kRounds = 20000;
    std::atomic<int> duplicates{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::vector<Record *> mine;
            uint64_t x = 88172645463325252ull + t;
            for (int i = 0; i < kRounds; i++) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                if (mine.empty() || (x % 3 != 0 && mine.size() < 50)) {
                    auto *r =
                        static_cast<Record *>(kite_mblock_alloc_object(&pool_));
                    ASSERT_NE(r, nullptr);
                    if (r->busy.exchange(1) != 0) duplicates++;
                    mine.push_back(r);
                } else {
                    Record *r = mine.back();
                    mine.pop_back();
                    r->busy.store(0);
                    if (x % 7 == 0) {
                        kite_mblock_delay_free_object(&pool_, r, 1);
                    } else {
                        kite_mblock_free_object(&pool_, r);
                    }
                }
            }
            for (auto *r : mine) {
                r->busy.store(0);
                kite_mblock_free_object(&pool_, r);
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(duplicates.load(), 0);
    kite_mblock_stats stats;
    kite_mblock_get_stats(&pool_, &stats);
    EXPECT_EQ(stats.element_used_count, 0);
    EXPECT_EQ(stats.element_total_count, inits_.load());
    // Every element is on exactly one chain.
    std::set<kite_mblock_node *> seen;
    for (auto *n = pool_.free_chain; n; n = n->next)
        EXPECT_TRUE(seen.insert(n).second);
    for (auto *n = pool_.delay_head; n; n = n->next)
        EXPECT_TRUE(seen.insert(n).second);
    EXPECT_EQ((int64_t)seen.size(), stats.element_total_count);
}

}  // namespace
