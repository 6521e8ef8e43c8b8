#include "kite_mpool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using Trunk = kite_mpool_malloc;
using Stats =
    struct kite_mpool_stats;  // the struct shares its name with a function

struct Pool {
    explicit Pool(int once = 1000, int discard = 64)
    {
        kite_mpool_init(&man, once, discard);
    }
    ~Pool() { kite_mpool_destroy(&man); }
    char *alloc(int size)
    {
        return static_cast<char *>(kite_mpool_alloc(&man, size));
    }
    Stats stats()
    {
        Stats s;
        memset(&s, 0xff, sizeof(s));  // the call must clear what it reuses
        kite_mpool_stats(&man, &s);
        return s;
    }
    std::vector<Trunk *> free_chain() const
    {
        std::vector<Trunk *> out;
        for (Trunk *t = man.free_chain_head; t != nullptr; t = t->free_next)
            out.push_back(t);
        return out;
    }
    std::vector<Trunk *> all_trunks() const
    {
        std::vector<Trunk *> out;
        for (Trunk *t = man.malloc_chain_head; t != nullptr; t = t->malloc_next)
            out.push_back(t);
        return out;
    }
    kite_mpool_man man;
};

bool Inside(const Trunk *t, const char *p)
{
    return p >= t->base_ptr && p < t->end_ptr;
}

void ExpectStats(const Stats &s, int64_t total, int64_t free_bytes, int trunks,
                 int free_trunks)
{
    EXPECT_EQ(s.total_bytes, total);
    EXPECT_EQ(s.free_bytes, free_bytes);
    EXPECT_EQ(s.total_trunk_count, trunks);
    EXPECT_EQ(s.free_trunk_count, free_trunks);
}

TEST(KiteMpoolTest, InitPicksDefaultsForZeroOrNegativeSizes)
{
    struct {
        int once, discard, want_once, want_discard;
    } cases[] = {
        {0, 0, 1048576, 64}, {-5, -1, 1048576, 64}, {4096, 16, 4096, 16}};
    for (const auto &c : cases) {
        kite_mpool_man man;
        memset(&man, 0x5a, sizeof(man));
        EXPECT_EQ(kite_mpool_init(&man, c.once, c.discard), 0);
        EXPECT_EQ(man.alloc_size_once, c.want_once);
        EXPECT_EQ(man.discard_size, c.want_discard);
        EXPECT_EQ(man.malloc_chain_head, nullptr);
        EXPECT_EQ(man.free_chain_head, nullptr);
        kite_mpool_destroy(&man);  // nothing to release
    }
}

TEST(KiteMpoolTest, ConsecutiveAllocationsLieBackToBackInOneTrunk)
{
    Pool pool(0, 0);
    char *a = pool.alloc(10);
    char *b = pool.alloc(10);
    char *c = pool.alloc(3);
    char *d = pool.alloc(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(b, a + 10);
    EXPECT_EQ(c, b + 10);
    EXPECT_EQ(d, c + 3);
    Trunk *t = pool.man.malloc_chain_head;
    EXPECT_EQ(t->base_ptr, a);
    EXPECT_EQ(t->base_ptr, reinterpret_cast<char *>(t + 1));
    EXPECT_EQ(t->end_ptr, t->base_ptr + 1048576);
    ExpectStats(pool.stats(), 1048576, 1048576 - 23, 1, 1);
}

TEST(KiteMpoolTest, TrunkLeavesFreeListWhenRemainderIsAtMostDiscardSize)
{
    struct {
        int first;
        int trunks_after_next;
        bool same_trunk;
    } cases[] = {
        {940, 2, false},  // 60 left <= 64: retired, next request opens a trunk
        {936, 2, false},  // 64 left: the bound itself retires
        {930, 1, true},   // 70 left: stays and serves the next request
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        Pool pool(1000, 64);
        char *first = pool.alloc(c.first);
        Trunk *t = pool.man.malloc_chain_head;
        EXPECT_EQ(pool.free_chain().size(), c.same_trunk ? 1u : 0u);
        char *next = pool.alloc(10);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next == first + c.first, c.same_trunk);
        EXPECT_EQ(Inside(t, next), c.same_trunk);
        EXPECT_EQ(pool.stats().total_trunk_count, c.trunks_after_next);
    }
}

TEST(KiteMpoolTest, FirstFitSkipsTrunksWithoutRoomAndUnlinksFromTheMiddle)
{
    Pool pool(1000, 64);
    pool.alloc(500);  // trunk A: 500 left
    Trunk *a = pool.man.malloc_chain_head;
    pool.alloc(600);  // does not fit A: trunk B, 400 left
    Trunk *b = pool.man.malloc_chain_head;
    ASSERT_NE(a, b);
    EXPECT_EQ(pool.free_chain(), (std::vector<Trunk *>{b, a}));
    EXPECT_TRUE(Inside(b, pool.alloc(300)));  // head first: B, 100 left
    char *p = pool.alloc(450);  // not in B, fits A: 50 left retires A
    EXPECT_TRUE(Inside(a, p));
    EXPECT_EQ(pool.free_chain(), (std::vector<Trunk *>{b}));
    ExpectStats(pool.stats(), 2000, 150, 2, 1);
}

TEST(KiteMpoolTest, LargeRequestGetsATrunkOfItsOwnOffTheFreeList)
{
    Pool pool(1000, 64);
    char *small = pool.alloc(10);
    for (int size : {1000, 5000}) {
        char *big = pool.alloc(size);
        ASSERT_NE(big, nullptr);
        Trunk *own = pool.man.malloc_chain_head;
        EXPECT_EQ(own->alloc_size, size);
        EXPECT_EQ(own->base_ptr, big);
        EXPECT_EQ(own->free_ptr, own->end_ptr);
    }
    EXPECT_EQ(pool.alloc(10), small + 10);  // the normal trunk still serves
    ExpectStats(pool.stats(), 7000, 980, 3, 1);
}

TEST(KiteMpoolTest, ResetEmptiesEveryTrunkAndReusesOldestFirst)
{
    Pool pool(1000, 64);
    pool.alloc(940);
    pool.alloc(940);
    pool.alloc(2000);
    pool.alloc(500);
    std::vector<Trunk *> newest_first = pool.all_trunks();
    ASSERT_EQ(newest_first.size(), 4u);
    kite_mpool_reset(&pool.man);
    std::vector<Trunk *> oldest_first(newest_first.rbegin(),
                                      newest_first.rend());
    EXPECT_EQ(pool.free_chain(), oldest_first);
    ExpectStats(pool.stats(), 5000, 5000, 4, 4);
    EXPECT_EQ(pool.alloc(16), oldest_first[0]->base_ptr);
    EXPECT_EQ(pool.all_trunks(), newest_first);  // nothing was freed or added
}

TEST(KiteMpoolTest, StatisticsLineIsWrittenWithoutPrefix)
{
    Pool pool(1000, 64);
    pool.alloc(940);
    pool.alloc(100);
    kite_test::LogCapture log;
    kite_mpool_log_stats(&pool.man);
    EXPECT_EQ(log.last(), "alloc_size_once: 1000, discard_size: 64, bytes: "
                          "{total: 2000, free: 960}, trunk_count: {total: 2, "
                          "free: 1}");
}

TEST(KiteMpoolTest, MemdupCopiesAndZeroLengthNeedsNoSource)
{
    Pool pool(1000, 64);
    const char text[] = "pool text";
    char *copy =
        static_cast<char *>(kite_mpool_memdup(&pool.man, text, sizeof(text)));
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, text);
    EXPECT_NE(copy, text);
    EXPECT_EQ(kite_mpool_memdup(&pool.man, nullptr, 0), copy + sizeof(text));
}

TEST(KiteMpoolTest, NegativeSizeIsRefusedAndLeavesThePoolUnchanged)
{
    Pool pool(1000, 64);
    char *first = pool.alloc(100);
    kite_test::LogCapture log;
    errno = 0;
    char *p = pool.alloc(-1);
    int err = errno;
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(err, EINVAL);
    EXPECT_TRUE(log.contains("file: kite_mpool.cpp, line: "));
    EXPECT_EQ(kite_mpool_memdup(&pool.man, "x", -5), nullptr);
    EXPECT_TRUE(log.contains("alloc -5 bytes from mpool fail"));
    EXPECT_EQ(pool.alloc(INT_MIN), nullptr);
    ExpectStats(pool.stats(), 1000, 900, 1, 1);
    EXPECT_EQ(pool.alloc(1), first + 100);
}

TEST(KiteMpoolTest, HugeRequestSizesTheTrunkWithoutOverflow)
{
    Pool pool(1000, 64);
    kite_test::LogCapture log;
    kite_test::FailingAllocator fail;
    char *p = pool.alloc(INT_MAX);
    int err = errno;
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(err, ENOMEM);
    const std::string bytes =
        std::to_string(int64_t{INT_MAX} + int64_t{sizeof(Trunk)});
    EXPECT_TRUE(log.contains("malloc " + bytes + " bytes fail")) << log.last();
}

// Runs the same sequence with the n-th trunk allocation failing, for every
// n: the failing call returns null, the pool is as it was before that call,
// and after destroy nothing is left allocated.
TEST(KiteMpoolTest, FailureAtEveryTrunkLeavesPoolUnchangedAndNothingLeaks)
{
    const int sizes[] = {940, 10, 2000, 500, 700, 30};
    for (int fail_after = 0;; fail_after++) {
        SCOPED_TRACE(fail_after);
        kite_test::LogCapture log;
        kite_test::CountingAllocator counter(fail_after);
        Pool pool(1000, 64);
        bool failed = false;
        for (int size : sizes) {
            Stats before = pool.stats();
            std::vector<Trunk *> chain = pool.free_chain();
            void *p = kite_mpool_memdup(&pool.man,
                                        std::string(size, 'a').data(), size);
            if (p != nullptr) continue;
            failed = true;
            EXPECT_TRUE(log.contains("file: kite_mpool.cpp, line: "));
            EXPECT_TRUE(log.contains("alloc " + std::to_string(size) +
                                     " bytes from mpool fail"));
            ExpectStats(pool.stats(), before.total_bytes, before.free_bytes,
                        before.total_trunk_count, before.free_trunk_count);
            EXPECT_EQ(pool.free_chain(), chain);
            break;
        }
        kite_mpool_destroy(&pool.man);
        EXPECT_EQ(counter.blocks(), 0);
        EXPECT_EQ(counter.bytes(), 0);
        if (!failed) break;  // every trunk allocation has had its turn
    }
}

TEST(KiteMpoolTest, DestroyReturnsEveryTrunkAndLeavesAReusablePool)
{
    kite_test::CountingAllocator counter;
    Pool pool(1000, 32);
    for (int size : {10, 990, 4000, 0, 600})
        ASSERT_NE(pool.alloc(size), nullptr);
    EXPECT_EQ(counter.blocks(), 3);
    EXPECT_GE(counter.bytes(), 6000);
    kite_mpool_destroy(&pool.man);
    EXPECT_EQ(counter.blocks(), 0);
    EXPECT_EQ(counter.bytes(), 0);
    EXPECT_EQ(pool.man.malloc_chain_head, nullptr);
    EXPECT_EQ(pool.man.free_chain_head, nullptr);
    EXPECT_EQ(pool.man.alloc_size_once, 1000);
    EXPECT_EQ(pool.man.discard_size, 32);
    ASSERT_NE(pool.alloc(10), nullptr);  // usable without a new init
    ExpectStats(pool.stats(), 1000, 990, 1, 1);
    kite_mpool_destroy(&pool.man);
    EXPECT_EQ(counter.blocks(), 0);
}

}  // namespace
