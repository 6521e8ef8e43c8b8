#include "skiplist_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "skiplist_test_util.h"
#include "test_util.h"

namespace {

using kite_test::CompareU64;

std::vector<void *> g_freed;

void RecordFree(void *data)
{
    g_freed.push_back(data);
}

bool EndsWithPrefixed(const std::string &message, const std::string &text)
{
    return kite_test::LoggedFromEndsWith(message, "skiplist_set.cpp", text);
}

class SkiplistSetTest : public ::testing::Test {
 protected:
    void SetUp() override
    {
        g_freed.clear();
        for (size_t i = 0; i < keys_.size(); i++) keys_[i] = i;
    }
    void TearDown() override { skiplist_set_destroy(&set_); }

    void Init(int levels, skiplist_free_func free_func = nullptr)
    {
        ASSERT_EQ(0, skiplist_set_init(&set_, levels, CompareU64, free_func));
        srand(unsigned(kite_test::Seed()));
    }

    uint64_t *Key(uint64_t k) { return &keys_[k]; }

    std::vector<uint64_t> Drain(SkiplistSetIterator *it)
    {
        return kite_test::DrainU64(it, skiplist_set_iterator_next);
    }

    SkiplistSet set_{};
    std::vector<uint64_t> keys_ = std::vector<uint64_t>(1024);
};

TEST_F(SkiplistSetTest, LimitsAndMessages)
{
    kite_test::LogCapture log;
    SkiplistSet s{};
    EXPECT_EQ(EINVAL, skiplist_set_init_ex(&s, 0, CompareU64, nullptr, 0));
    EXPECT_TRUE(EndsWithPrefixed(log.last(), "invalid level count: 0"))
        << log.last();
    EXPECT_EQ(E2BIG, skiplist_set_init_ex(&s, 31, CompareU64, nullptr, 0));
    EXPECT_TRUE(
        EndsWithPrefixed(log.last(), "level count: 31 is too large exceeds 30"))
        << log.last();

    ASSERT_EQ(0, skiplist_set_init_ex(&s, 30, CompareU64, RecordFree, 100));
    EXPECT_EQ(30, s.level_count);
    EXPECT_EQ(29, s.top_level_index);
    EXPECT_EQ(RecordFree, s.free_func);
    EXPECT_STREQ("sl-set-level00", s.mblocks[0].name);
    EXPECT_STREQ("sl-set-level29", s.mblocks[29].name);
    EXPECT_EQ(8 + 8, s.mblocks[0].element_size);
    EXPECT_EQ(8 + 8 * 30, s.mblocks[29].element_size);
    EXPECT_EQ(100, s.mblocks[29].alloc_elements_once);
    EXPECT_EQ(200, s.mblocks[27].alloc_elements_once);
    for (int i = 0; i < 30; i++) EXPECT_EQ(s.tail, s.top->links[i]);
    EXPECT_EQ(nullptr, s.tail->data);
    EXPECT_EQ(nullptr, s.tail->links[0]);
    skiplist_set_destroy(&s);
    EXPECT_EQ(nullptr, s.mblocks);
    EXPECT_EQ(nullptr, s.tmp_previous);
    skiplist_set_destroy(&s);  // second call is harmless

    ASSERT_EQ(0, skiplist_set_init_ex(&s, 10, CompareU64, nullptr, -1));
    const int expected[10] = {1024, 1024, 512, 512, 256, 256, 128, 128, 64, 64};
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(expected[i], s.mblocks[i].alloc_elements_once) << i;
    }
    skiplist_set_destroy(&s);
    ASSERT_EQ(0, skiplist_set_init_ex(&s, 1, CompareU64, nullptr, 4096));
    EXPECT_EQ(1024, s.mblocks[0].alloc_elements_once);
    skiplist_set_destroy(&s);
}

TEST_F(SkiplistSetTest, OutOfMemory)
{
    kite_test::LogCapture log;
    SkiplistSet s{};
    for (int succeed = 0; succeed < 4; succeed++) {
        // 0: scratch array, 1: pool array, 2: head trunk, 3: end node trunk.
        kite_test::FailingAllocator fail(succeed);
        EXPECT_EQ(ENOMEM, skiplist_set_init_ex(&s, 4, CompareU64, nullptr, 1))
            << succeed;
        EXPECT_EQ(nullptr, s.mblocks);
        EXPECT_EQ(nullptr, s.tmp_previous);
        EXPECT_EQ(0, s.level_count);
    }
    EXPECT_TRUE(log.contains("malloc " + std::to_string(4 * sizeof(void *)) +
                             " bytes fail"));
    EXPECT_TRUE(log.contains("skiplist_set.cpp"));
    skiplist_set_destroy(&s);

    // One level, batches of one: each insert needs a fresh trunk.
    ASSERT_EQ(0, skiplist_set_init_ex(&s, 1, CompareU64, nullptr, 1));
    ASSERT_EQ(0, skiplist_set_insert(&s, Key(1)));
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(ENOMEM, skiplist_set_insert(&s, Key(2)));
    }
    EXPECT_EQ(1, skiplist_set_count(&s));
    EXPECT_EQ(nullptr, skiplist_set_find(&s, Key(2)));
    ASSERT_EQ(0, skiplist_set_insert(&s, Key(2)));
    EXPECT_EQ(2, skiplist_set_count(&s));
    skiplist_set_destroy(&s);
}

TEST_F(SkiplistSetTest, EmptySetLookups)
{
    Init(5);
    SkiplistSetIterator it{nullptr, nullptr};
    EXPECT_EQ(nullptr, skiplist_set_find(&set_, Key(1)));
    EXPECT_EQ(ENOENT, skiplist_set_find_all(&set_, Key(1), &it));
    EXPECT_EQ(set_.tail, it.current);
    EXPECT_EQ(set_.tail, it.tail);
    it = {nullptr, nullptr};
    EXPECT_EQ(ENOENT, skiplist_set_find_range(&set_, Key(0), Key(9), &it));
    EXPECT_EQ(set_.tail, it.current);
    EXPECT_EQ(set_.tail, it.tail);
    EXPECT_EQ(ENOENT, skiplist_set_delete(&set_, Key(1)));
    EXPECT_EQ(nullptr, skiplist_set_find_ge(&set_, Key(0)));
    EXPECT_TRUE(skiplist_set_empty(&set_));
    EXPECT_EQ(0, skiplist_set_count(&set_));
    EXPECT_EQ(nullptr, skiplist_set_get_first(&set_));
    EXPECT_EQ(nullptr, skiplist_set_get_last(&set_));
    skiplist_set_iterator_init(&set_, &it);
    EXPECT_EQ(nullptr, skiplist_set_iterator_next(&it));
}

TEST_F(SkiplistSetTest, DuplicatesAndCallbacks)
{
    Init(4, RecordFree);
    uint64_t twin = 5;
    ASSERT_EQ(0, skiplist_set_insert(&set_, Key(5)));
    EXPECT_EQ(EEXIST, skiplist_set_insert(&set_, Key(5)));
    EXPECT_EQ(EEXIST, skiplist_set_insert(&set_, &twin));
    EXPECT_EQ(1, skiplist_set_count(&set_));
    EXPECT_EQ(Key(5), skiplist_set_find(&set_, &twin));
    EXPECT_TRUE(g_freed.empty());

    for (uint64_t k : {1, 9, 3, 7})
        ASSERT_EQ(0, skiplist_set_insert(&set_, Key(k)));
    EXPECT_EQ(ENOENT, skiplist_set_delete(&set_, Key(4)));
    EXPECT_TRUE(g_freed.empty());
    // The stored pointer, not the probe, goes to the callback.
    EXPECT_EQ(0, skiplist_set_delete(&set_, &twin));
    EXPECT_EQ((std::vector<void *>{Key(5)}), g_freed);
    EXPECT_EQ(4, skiplist_set_count(&set_));

    g_freed.clear();
    skiplist_set_destroy(&set_);
    EXPECT_EQ((std::vector<void *>{Key(1), Key(3), Key(7), Key(9)}), g_freed);
    EXPECT_EQ(nullptr, set_.top);
    EXPECT_EQ(0, set_.level_count);
}

// A null element would end iteration early and read as "not found".
TEST_F(SkiplistSetTest, NullElementIsRefused)
{
    Init(4);
    kite_test::LogCapture capture;
    EXPECT_EQ(EINVAL, skiplist_set_insert(&set_, nullptr));
    ASSERT_EQ(0, skiplist_set_insert(&set_, Key(5)));
    EXPECT_EQ(EINVAL, skiplist_set_insert(&set_, nullptr));
    SkiplistSetIterator it;
    skiplist_set_iterator_init(&set_, &it);
    EXPECT_EQ(std::vector<uint64_t>{5}, Drain(&it));
    ASSERT_EQ(2u, capture.size());
    EXPECT_TRUE(kite_test::LoggedFromEndsWith(
        capture.last(), "skiplist_set.cpp", "null element refused"));
}

TEST_F(SkiplistSetTest, RangeRules)
{
    Init(3);
    for (uint64_t k : {40, 10, 30, 20})
        ASSERT_EQ(0, skiplist_set_insert(&set_, Key(k)));
    SkiplistSetIterator it;
    EXPECT_EQ(EINVAL, skiplist_set_find_range(&set_, Key(30), Key(20), &it));
    EXPECT_EQ(set_.tail, it.current);
    EXPECT_EQ(set_.tail, it.tail);
    EXPECT_EQ(0, skiplist_set_find_range(&set_, Key(20), Key(20), &it));
    EXPECT_EQ((std::vector<uint64_t>{20}), Drain(&it));
    EXPECT_EQ(0, skiplist_set_find_range(&set_, Key(10), Key(40), &it));
    EXPECT_EQ((std::vector<uint64_t>{10, 20, 30, 40}), Drain(&it));
    EXPECT_EQ(0, skiplist_set_find_range(&set_, Key(15), Key(35), &it));
    EXPECT_EQ((std::vector<uint64_t>{20, 30}), Drain(&it));
    EXPECT_EQ(0, skiplist_set_find_range(&set_, Key(40), Key(99), &it));
    EXPECT_EQ((std::vector<uint64_t>{40}), Drain(&it));
    EXPECT_EQ(ENOENT, skiplist_set_find_range(&set_, Key(21), Key(29), &it));
    EXPECT_EQ(it.current, it.tail);
    EXPECT_EQ(ENOENT, skiplist_set_find_range(&set_, Key(41), Key(50), &it));
    EXPECT_EQ(set_.tail, it.current);
    EXPECT_EQ(set_.tail, it.tail);
    EXPECT_EQ(ENOENT, skiplist_set_find_range(&set_, Key(0), Key(5), &it));

    EXPECT_EQ(0, skiplist_set_find_all(&set_, Key(30), &it));
    EXPECT_EQ((std::vector<uint64_t>{30}), Drain(&it));
    EXPECT_EQ(Key(30), skiplist_set_find_ge(&set_, Key(21)));
    EXPECT_EQ(nullptr, skiplist_set_find_ge(&set_, Key(41)));
    EXPECT_EQ(Key(10), skiplist_set_get_first(&set_));
    EXPECT_EQ(Key(40), skiplist_set_get_last(&set_));

    skiplist_set_iterator_init(&set_, &it);
    EXPECT_EQ((std::vector<uint64_t>{10, 20, 30, 40}), Drain(&it));
}

TEST_F(SkiplistSetTest, OneLevelIsASortedList)
{
    Init(1);
    std::vector<uint64_t> order = {5, 3, 8, 1, 9, 2};
    for (uint64_t k : order) ASSERT_EQ(0, skiplist_set_insert(&set_, Key(k)));
    std::sort(order.begin(), order.end());
    SkiplistSetIterator it;
    skiplist_set_iterator_init(&set_, &it);
    EXPECT_EQ(order, Drain(&it));
    EXPECT_EQ(0, skiplist_set_delete(&set_, Key(9)));
    EXPECT_EQ(Key(8), skiplist_set_get_last(&set_));
}

// A set whose invariant is broken (a node missing from level 0 while still
// on level 1, as an inconsistent comparison could leave it) must not be
// half-unlinked.
void BreakAndDelete(SkiplistSet *s, uint64_t *keys)
{
    for (int k = 0; k < 64; k++) ASSERT_EQ(0, skiplist_set_insert(s, &keys[k]));
    SkiplistSetNode *high = s->top->links[1];
    ASSERT_NE(s->tail, high) << "no node reached level 1";
    SkiplistSetNode *before = s->top;
    while (before->links[0] != high) before = before->links[0];
    before->links[0] = high->links[0];
    int result = skiplist_set_delete(s, high->data);
    EXPECT_EQ(EINVAL, result);
    EXPECT_EQ(high, s->top->links[1]);
}

TEST_F(SkiplistSetTest, BrokenInvariantIsReportedNotCorrupted)
{
    Init(2);
    srand(1);
#ifdef NDEBUG
    kite_test::LogCapture log;
    BreakAndDelete(&set_, keys_.data());
    EXPECT_TRUE(log.contains("skiplist set is inconsistent")) << log.last();
    // Restore level 0 so that tear-down walks a sound list.
    SkiplistSetNode *high = set_.top->links[1];
    SkiplistSetNode *before = set_.top;
    while (before->links[0] != high->links[0]) before = before->links[0];
    before->links[0] = high;
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(BreakAndDelete(&set_, keys_.data()), "next == deleted");
#endif
}

// Checks level 0 against the model, that each level is strictly ascending
// and that each level is a subsequence of the one below it.
void CheckSet(const SkiplistSet *s, const std::set<uint64_t> &model,
              const uint64_t *keys)
{
    SkiplistSetNode *node = s->top->links[0];
    for (uint64_t k : model) {
        ASSERT_NE(s->tail, node);
        ASSERT_EQ(&keys[k], node->data);
        node = node->links[0];
    }
    ASSERT_EQ(s->tail, node);
    kite_test::ExpectLevelsNested(s->top, s->tail, s->level_count, true);
}

TEST(SkiplistSetDifferentialTest, MatchesStdSet)
{
    SkiplistSet s{};
    ASSERT_EQ(0, skiplist_set_init_ex(&s, 12, CompareU64, nullptr, 0));
    srand(unsigned(kite_test::Seed()));
    const uint64_t range = 4000;
    std::vector<uint64_t> keys(range), probes(range);
    for (uint64_t i = 0; i < range; i++) keys[i] = probes[i] = i;
    std::set<uint64_t> model;
    auto op = [&](uint64_t k, uint64_t k2, unsigned choice) {
        bool present = model.count(k) != 0;
        switch (choice) {
        case 0:
        case 1:
        case 2:
            ASSERT_EQ(present ? EEXIST : 0, skiplist_set_insert(&s, &keys[k]));
            model.insert(k);
            break;
        case 3:
        case 4:
            ASSERT_EQ(present ? 0 : ENOENT,
                      skiplist_set_delete(&s, &probes[k]));
            model.erase(k);
            break;
        default: {
            ASSERT_EQ(present ? &keys[k] : nullptr,
                      skiplist_set_find(&s, &probes[k]));
            uint64_t lo = std::min(k, k2), hi = std::max(k, k2);
            SkiplistSetIterator it;
            int r = skiplist_set_find_range(&s, &probes[lo], &probes[hi], &it);
            kite_test::ExpectRange(r, &it, skiplist_set_iterator_next,
                                   model.lower_bound(lo), model.upper_bound(hi),
                                   [&](uint64_t key) { return &keys[key]; });
            auto lb = model.lower_bound(k);
            ASSERT_EQ(lb == model.end() ? nullptr : &keys[*lb],
                      skiplist_set_find_ge(&s, &probes[k]));
        }
        }
    };
    kite_test::RunRandomOps(120000, range, 6, op,
                            [&] { CheckSet(&s, model, keys.data()); });
    EXPECT_EQ(int(model.size()), skiplist_set_count(&s));
    skiplist_set_destroy(&s);
}

// Random answers from the comparison must never corrupt the structure:
// every level stays a subsequence of the one below and every call returns.
int g_chaos = 0;
int ChaosCompare(const void *a, const void *b)
{
    if (g_chaos) return int(kite_test::Rng()() % 3) - 1;
    return CompareU64(a, b);
}

TEST(SkiplistSetDifferentialTest, InconsistentCompareKeepsLinksSound)
{
    SkiplistSet s{};
    ASSERT_EQ(0, skiplist_set_init_ex(&s, 6, ChaosCompare, nullptr, 0));
    std::vector<uint64_t> keys(500);
    for (size_t i = 0; i < keys.size(); i++) keys[i] = i;
    g_chaos = 1;
    for (int op = 0; op < 20000; op++) {
        uint64_t *k = &keys[kite_test::Rng()() % keys.size()];
        int r = (op % 3 == 2) ? skiplist_set_delete(&s, k)
                              : skiplist_set_insert(&s, k);
        ASSERT_TRUE(r == 0 || r == EEXIST || r == ENOENT) << r;
    }
    g_chaos = 0;
    // The order may be anything after random answers; the nesting may not.
    kite_test::ExpectLevelsNested(s.top, s.tail, s.level_count, false);
    skiplist_set_destroy(&s);
}

}  // namespace
