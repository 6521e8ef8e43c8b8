#include "uniq_skiplist.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "skiplist_test_util.h"
#include "test_util.h"

namespace {

using Node = volatile UniqSkiplistNode;

using kite_test::CompareU64;

// Records every call of the release callback.
std::vector<std::pair<void *, int>> g_freed;

void RecordFree(void *data, int delay_seconds)
{
    g_freed.emplace_back(data, delay_seconds);
}

bool EndsWithPrefixed(const std::string &message, const std::string &text)
{
    return kite_test::LoggedFromEndsWith(message, "uniq_skiplist.cpp", text);
}

class UniqSkiplistTest : public ::testing::Test {
 protected:
    void SetUp() override { g_freed.clear(); }
    void TearDown() override
    {
        for (UniqSkiplist *sl : lists_) uniq_skiplist_free(sl);
        uniq_skiplist_destroy(&factory_);
    }

    void Init(int max_levels, bool bidirection = false, int delay = 0,
              uniq_skiplist_free_func free_func = nullptr)
    {
        ASSERT_EQ(0,
                  uniq_skiplist_init_ex2(&factory_, max_levels, CompareU64,
                                         free_func, 0, 0, delay, bidirection));
        srand(unsigned(kite_test::Seed()));
    }

    UniqSkiplist *New(int level_count)
    {
        UniqSkiplist *sl = uniq_skiplist_new(&factory_, level_count);
        if (sl != nullptr) lists_.push_back(sl);
        return sl;
    }

    // Keys 0..n-1, each at a stable address.
    uint64_t *Key(uint64_t k)
    {
        if (keys_.empty()) {
            keys_.resize(4096);
            for (size_t i = 0; i < keys_.size(); i++) keys_[i] = i;
        }
        return &keys_[k];
    }

    std::vector<uint64_t> Contents(UniqSkiplist *sl)
    {
        UniqSkiplistIterator it;
        uniq_skiplist_iterator_init(sl, &it);
        return kite_test::DrainU64(&it, uniq_skiplist_iterator_next);
    }

    std::vector<uint64_t> Drain(UniqSkiplistIterator *it)
    {
        return kite_test::DrainU64(it, uniq_skiplist_iterator_next);
    }

    UniqSkiplistFactory factory_{};
    std::vector<UniqSkiplist *> lists_;
    std::vector<uint64_t> keys_;
};

TEST_F(UniqSkiplistTest, FactoryLimitsAndMessages)
{
    kite_test::LogCapture log;
    UniqSkiplistFactory f{};
    EXPECT_EQ(EINVAL, uniq_skiplist_init_ex2(&f, 0, CompareU64, nullptr, 0, 0,
                                             0, false));
    EXPECT_TRUE(EndsWithPrefixed(log.last(), "invalid max level count: 0"))
        << log.last();
    EXPECT_EQ(E2BIG, uniq_skiplist_init_ex2(&f, 31, CompareU64, nullptr, 0, 0,
                                            0, false));
    EXPECT_TRUE(EndsWithPrefixed(
        log.last(), "max level count: 31 is too large, exceeds 30"))
        << log.last();
    EXPECT_EQ(nullptr, f.node_allocators);

    ASSERT_EQ(0, uniq_skiplist_init_ex2(&f, 30, CompareU64, RecordFree, 8, 16,
                                        3, true));
    EXPECT_EQ(30, f.max_level_count);
    EXPECT_EQ(3, f.delay_free_seconds);
    EXPECT_TRUE(f.bidirection);
    EXPECT_EQ(RecordFree, f.free_func);
    EXPECT_STREQ("uniq-sl-level00", f.node_allocators[0].name);
    EXPECT_STREQ("uniq-sl-level29", f.node_allocators[29].name);
    EXPECT_STREQ("skiplist", f.skiplist_allocator.name);
    // Header (data, level_index) + level_index + 1 links + the backward one.
    EXPECT_EQ(16 + 8 * 2, f.node_allocators[0].element_size);
    EXPECT_EQ(16 + 8 * 31, f.node_allocators[29].element_size);
    // Batches double every second level going down, capped near 65536.
    EXPECT_EQ(16, f.node_allocators[29].alloc_elements_once);
    EXPECT_EQ(16, f.node_allocators[28].alloc_elements_once);
    EXPECT_EQ(32, f.node_allocators[27].alloc_elements_once);
    EXPECT_EQ(65536, f.node_allocators[0].alloc_elements_once);
    EXPECT_EQ(8, f.skiplist_allocator.alloc_elements_once);
    EXPECT_EQ(0, f.tail->data);
    EXPECT_EQ(0, f.tail->level_index);

    UniqSkiplist *sl = uniq_skiplist_new(&f, 0);
    EXPECT_EQ(nullptr, sl);
    EXPECT_EQ(EINVAL, errno);
    EXPECT_TRUE(EndsWithPrefixed(log.last(), "invalid level count: 0"));
    sl = uniq_skiplist_new(&f, 31);
    EXPECT_EQ(nullptr, sl);
    EXPECT_EQ(E2BIG, errno);
    EXPECT_TRUE(EndsWithPrefixed(
        log.last(),
        "level count: 31 is too large, exceeds max level count: 30"));
    uniq_skiplist_destroy(&f);
    EXPECT_EQ(nullptr, f.node_allocators);
    uniq_skiplist_destroy(&f);  // second call is harmless
}

TEST_F(UniqSkiplistTest, BatchSizesFollowTheBase)
{
    UniqSkiplistFactory f{};
    ASSERT_EQ(0, uniq_skiplist_init_ex(&f, 10, CompareU64, nullptr, 0, 0, 0));
    const int expected[10] = {1024, 1024, 512, 512, 256, 256, 128, 128, 64, 64};
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(expected[i], f.node_allocators[i].alloc_elements_once) << i;
        EXPECT_EQ(16 + 8 * (i + 1), f.node_allocators[i].element_size) << i;
    }
    EXPECT_EQ(16384, f.skiplist_allocator.alloc_elements_once);
    EXPECT_FALSE(f.bidirection);
    uniq_skiplist_destroy(&f);
    // A base above 1024 is capped.
    ASSERT_EQ(0, uniq_skiplist_init_ex(&f, 2, CompareU64, nullptr, 0, 5000, 0));
    EXPECT_EQ(1024, f.node_allocators[1].alloc_elements_once);
    uniq_skiplist_destroy(&f);
}

TEST_F(UniqSkiplistTest, OutOfMemoryLeavesNothingBehind)
{
    kite_test::LogCapture log;
    UniqSkiplistFactory f{};
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(ENOMEM, uniq_skiplist_init(&f, 4, CompareU64, nullptr));
    }
    EXPECT_EQ(nullptr, f.node_allocators);
    EXPECT_TRUE(log.contains("uniq_skiplist.cpp"));
    EXPECT_TRUE(log.contains("malloc " +
                             std::to_string(4 * sizeof(kite_mblock_man)) +
                             " bytes fail"));
    {
        // The pool array succeeds, the end node's trunk does not.
        kite_test::FailingAllocator fail(1);
        EXPECT_EQ(ENOMEM, uniq_skiplist_init(&f, 4, CompareU64, nullptr));
    }
    EXPECT_EQ(nullptr, f.node_allocators);
    EXPECT_EQ(nullptr, f.tail);
    uniq_skiplist_destroy(&f);

    ASSERT_EQ(0, uniq_skiplist_init(&f, 4, CompareU64, nullptr));
    {
        kite_test::FailingAllocator fail(0);
        errno = 0;
        EXPECT_EQ(nullptr, uniq_skiplist_new(&f, 2));
        EXPECT_EQ(ENOMEM, errno);
    }
    {
        // The record's trunk succeeds, the head's does not: the record
        // must go back to its pool.
        kite_test::FailingAllocator fail(1);
        EXPECT_EQ(nullptr, uniq_skiplist_new(&f, 2));
        EXPECT_EQ(ENOMEM, errno);
    }
    kite_mblock_stats stats;
    kite_mblock_get_stats(&f.skiplist_allocator, &stats);
    EXPECT_EQ(0, stats.element_used_count);
    uniq_skiplist_destroy(&f);
}

TEST_F(UniqSkiplistTest, InsertOutOfMemoryAndSilentGrowthFailure)
{
    UniqSkiplistFactory f{};
    // One level and batches of one: every insert needs a fresh trunk.
    ASSERT_EQ(0, uniq_skiplist_init_ex(&f, 1, CompareU64, nullptr, 1, 1, 0));
    UniqSkiplist *sl = uniq_skiplist_new(&f, 1);
    ASSERT_NE(nullptr, sl);
    ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(1)));
    {
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(ENOMEM, uniq_skiplist_insert(sl, Key(2)));
    }
    EXPECT_EQ(1, uniq_skiplist_count(sl));
    EXPECT_EQ((std::vector<uint64_t>{1}), Contents(sl));
    uniq_skiplist_free(sl);
    uniq_skiplist_destroy(&f);

    Init(30);
    sl = New(1);
    ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(1)));
    ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(2)));
    {
        // The third insert wants a level-1 head whose pool has no trunk yet.
        kite_test::FailingAllocator fail(0);
        EXPECT_EQ(0, uniq_skiplist_insert(sl, Key(3)));
        EXPECT_EQ(1, fail.failures());
    }
    EXPECT_EQ(0, sl->top_level_index);
    EXPECT_EQ(0, uniq_skiplist_insert(sl, Key(4)));
    EXPECT_EQ(1, sl->top_level_index);
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 3, 4}), Contents(sl));
}

TEST_F(UniqSkiplistTest, EmptyListLookups)
{
    Init(8, true);
    UniqSkiplist *sl = New(3);
    ASSERT_NE(nullptr, sl);
    ASSERT_NE(nullptr, sl->top);
    EXPECT_EQ(&factory_, sl->factory);
    EXPECT_EQ(2, sl->top_level_index);
    EXPECT_EQ(0, sl->element_count);
    for (int i = 0; i <= 2; i++) EXPECT_EQ(factory_.tail, sl->top->links[i]);
    EXPECT_EQ(sl->top, sl->top->links[3]);  // backward link to itself

    EXPECT_EQ(nullptr, uniq_skiplist_find(sl, Key(5)));
    EXPECT_EQ(nullptr, uniq_skiplist_find_node(sl, Key(5)));
    UniqSkiplistNode *prev = sl->top;
    EXPECT_EQ(nullptr, uniq_skiplist_find_node_ex(sl, Key(5), &prev));
    EXPECT_EQ(nullptr, prev);
    UniqSkiplistIterator it{sl->top, sl->top};
    EXPECT_EQ(ENOENT, uniq_skiplist_find_all(sl, Key(5), &it));
    EXPECT_EQ(factory_.tail, it.current);
    EXPECT_EQ(factory_.tail, it.tail);
    EXPECT_EQ(nullptr, uniq_skiplist_find_ge_node(sl, Key(0)));
    EXPECT_EQ(ENOENT, uniq_skiplist_find_range(sl, Key(0), Key(9), &it));
    EXPECT_EQ(it.current, it.tail);
    EXPECT_EQ(ENOENT, uniq_skiplist_delete(sl, Key(5)));
    EXPECT_EQ(ENOENT, uniq_skiplist_replace(sl, Key(5)));
    EXPECT_TRUE(uniq_skiplist_empty(sl));
    EXPECT_EQ(0, uniq_skiplist_count(sl));
    EXPECT_EQ(nullptr, uniq_skiplist_get_first(sl));
    EXPECT_EQ(nullptr, uniq_skiplist_get_last(sl));
    uniq_skiplist_iterator_init(sl, &it);
    EXPECT_EQ(nullptr, uniq_skiplist_iterator_next(&it));
    ASSERT_EQ(0, uniq_skiplist_reverse_iterator_init(sl, &it));
    EXPECT_EQ(nullptr, uniq_skiplist_iterator_prev(&it));
}

TEST_F(UniqSkiplistTest, DuplicatesAndReplace)
{
    Init(8, false, 4, RecordFree);
    UniqSkiplist *sl = New(2);
    uint64_t twin = 7;
    ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(7)));
    EXPECT_EQ(EEXIST, uniq_skiplist_insert(sl, Key(7)));
    EXPECT_EQ(EEXIST, uniq_skiplist_insert(sl, &twin));
    EXPECT_EQ(1, sl->element_count);
    EXPECT_EQ(Key(7), uniq_skiplist_find(sl, &twin));

    // Replace keeps the position, stores the new pointer, frees the old.
    EXPECT_EQ(0, uniq_skiplist_replace_ex(sl, &twin, true));
    EXPECT_EQ(&twin, uniq_skiplist_find(sl, Key(7)));
    ASSERT_EQ(1u, g_freed.size());
    EXPECT_EQ(Key(7), g_freed[0].first);
    EXPECT_EQ(4, g_freed[0].second);
    EXPECT_EQ(0, uniq_skiplist_replace_ex(sl, Key(7), false));
    EXPECT_EQ(1u, g_freed.size());
    EXPECT_EQ(Key(7), uniq_skiplist_find(sl, &twin));
    EXPECT_EQ(1, sl->element_count);
}

// A null element would end iteration early and read as "not found".
TEST_F(UniqSkiplistTest, NullElementIsRefused)
{
    Init(8);
    UniqSkiplist *sl = New(2);
    kite_test::LogCapture capture;
    EXPECT_EQ(EINVAL, uniq_skiplist_insert(sl, nullptr));
    EXPECT_EQ(EINVAL, uniq_skiplist_replace_ex(sl, nullptr, false));
    ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(3)));
    EXPECT_EQ(EINVAL, uniq_skiplist_insert(sl, nullptr));
    EXPECT_EQ(std::vector<uint64_t>{3}, Contents(sl));
    EXPECT_EQ(1, sl->element_count);
    ASSERT_EQ(3u, capture.size());
    EXPECT_TRUE(kite_test::LoggedFromEndsWith(
        capture.last(), "uniq_skiplist.cpp", "null element refused"));
}

TEST_F(UniqSkiplistTest, RangeRules)
{
    Init(8);
    UniqSkiplist *sl = New(1);
    for (uint64_t k : {10, 20, 30, 40})
        ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(k)));
    UniqSkiplistIterator it;

    EXPECT_EQ(EINVAL, uniq_skiplist_find_range(sl, Key(30), Key(20), &it));
    EXPECT_EQ(factory_.tail, it.current);
    EXPECT_EQ(factory_.tail, it.tail);
    EXPECT_EQ(0, uniq_skiplist_find_range(sl, Key(20), Key(20), &it));
    EXPECT_EQ((std::vector<uint64_t>{20}), Drain(&it));
    EXPECT_EQ(0, uniq_skiplist_find_range(sl, Key(10), Key(40), &it));
    EXPECT_EQ((std::vector<uint64_t>{10, 20, 30, 40}), Drain(&it));
    EXPECT_EQ(0, uniq_skiplist_find_range(sl, Key(11), Key(39), &it));
    EXPECT_EQ((std::vector<uint64_t>{20, 30}), Drain(&it));
    EXPECT_EQ(0, uniq_skiplist_find_range(sl, Key(0), Key(10), &it));
    EXPECT_EQ((std::vector<uint64_t>{10}), Drain(&it));
    EXPECT_EQ(ENOENT, uniq_skiplist_find_range(sl, Key(21), Key(29), &it));
    EXPECT_EQ(it.current, it.tail);
    EXPECT_EQ(ENOENT, uniq_skiplist_find_range(sl, Key(41), Key(99), &it));
    EXPECT_EQ(factory_.tail, it.current);
    EXPECT_EQ(factory_.tail, it.tail);
    EXPECT_EQ(ENOENT, uniq_skiplist_find_range(sl, Key(0), Key(9), &it));
    EXPECT_EQ(it.current, it.tail);

    EXPECT_EQ(0, uniq_skiplist_find_all(sl, Key(30), &it));
    EXPECT_EQ((std::vector<uint64_t>{30}), Drain(&it));

    EXPECT_EQ(nullptr, uniq_skiplist_find_ge_node(sl, Key(41)));
    EXPECT_EQ(Key(30), uniq_skiplist_find_ge_node(sl, Key(25))->data);
    EXPECT_EQ(Key(30), uniq_skiplist_find_ge_node(sl, Key(30))->data);
    EXPECT_EQ(Key(10), uniq_skiplist_find_ge_node(sl, Key(0))->data);
    EXPECT_EQ(Key(10), uniq_skiplist_get_first(sl));
    EXPECT_EQ(Key(40), uniq_skiplist_get_last(sl));
}

TEST_F(UniqSkiplistTest, HeadGrowth)
{
    Init(1);
    UniqSkiplist *flat = New(1);
    for (uint64_t k = 0; k < 100; k++)
        ASSERT_EQ(0, uniq_skiplist_insert(flat, Key(k)));
    EXPECT_EQ(0, flat->top_level_index);
    EXPECT_EQ(100, uniq_skiplist_count(flat));
    uniq_skiplist_free(flat);
    lists_.clear();
    uniq_skiplist_destroy(&factory_);

    Init(30);
    UniqSkiplist *sl = New(1);
    const std::vector<std::pair<int, int>> steps = {
        {2, 0}, {3, 1}, {4, 1}, {5, 2}, {8, 2}, {9, 3}, {16, 3}, {17, 4}};
    uint64_t next = 0;
    for (auto [count, level] : steps) {
        while (sl->element_count < count) {
            ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(next++)));
        }
        EXPECT_EQ(level, sl->top_level_index) << count;
        EXPECT_EQ(level, sl->top->level_index);
        if (count > 2 && ((count - 1) & (count - 2)) == 0) {
            // Just grown: the new top level holds no node yet.
            EXPECT_TRUE(factory_.tail == sl->top->links[level]) << count;
        }
    }
    // Deletes never shrink the head.
    while (next > 0) ASSERT_EQ(0, uniq_skiplist_delete(sl, Key(--next)));
    EXPECT_EQ(4, sl->top_level_index);

    // The factory's maximum caps the growth.
    uniq_skiplist_free(sl);
    lists_.clear();
    uniq_skiplist_destroy(&factory_);
    Init(3);
    sl = New(1);
    for (uint64_t k = 0; k < 500; k++)
        ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(k)));
    EXPECT_EQ(2, sl->top_level_index);
    EXPECT_EQ(500, sl->element_count);
}

TEST_F(UniqSkiplistTest, CallbacksAndDelays)
{
    Init(6, false, 5, RecordFree);
    UniqSkiplist *sl = New(1);
    for (uint64_t k = 1; k <= 6; k++)
        ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(k)));

    kite_mblock_stats before[6], after[6];
    for (int i = 0; i < 6; i++)
        kite_mblock_get_stats(&factory_.node_allocators[i], &before[i]);
    UniqSkiplistNode *node = uniq_skiplist_find_node(sl, Key(3));
    const int level = node->level_index;
    EXPECT_EQ(0, uniq_skiplist_delete_ex(sl, Key(3), true));
    ASSERT_EQ(1u, g_freed.size());
    EXPECT_EQ(Key(3), g_freed[0].first);
    EXPECT_EQ(5, g_freed[0].second);
    kite_mblock_get_stats(&factory_.node_allocators[level], &after[level]);
    EXPECT_EQ(before[level].delay_free_count + 1,
              after[level].delay_free_count);

    EXPECT_EQ(0, uniq_skiplist_delete_ex(sl, Key(4), false));
    EXPECT_EQ(1u, g_freed.size());
    EXPECT_EQ(4, sl->element_count);

    // The replaced heads (levels 0 and 1 on the 3rd and 5th insert) were
    // released with the delay as well.
    kite_mblock_get_stats(&factory_.node_allocators[1], &after[1]);
    EXPECT_GE(after[1].delay_free_count, 1);

    // free passes every remaining element with delay 0.
    g_freed.clear();
    uniq_skiplist_free(sl);
    lists_.clear();
    ASSERT_EQ(4u, g_freed.size());
    std::vector<uint64_t> keys;
    for (auto &[data, delay] : g_freed) {
        keys.push_back(*static_cast<uint64_t *>(data));
        EXPECT_EQ(0, delay);
    }
    EXPECT_EQ((std::vector<uint64_t>{1, 2, 5, 6}), keys);
    for (int i = 0; i < 6; i++) {
        kite_mblock_get_stats(&factory_.node_allocators[i], &after[i]);
        EXPECT_EQ(0, after[i].element_used_count - (i == 0 ? 1 : 0)) << i;
    }
}

TEST_F(UniqSkiplistTest, NoDelayReleasesAtOnce)
{
    Init(4, true, 0, RecordFree);
    UniqSkiplist *sl = New(4);
    ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(1)));
    EXPECT_EQ(0, uniq_skiplist_delete(sl, Key(1)));
    ASSERT_EQ(1u, g_freed.size());
    EXPECT_EQ(0, g_freed[0].second);
    for (int i = 0; i < 4; i++) {
        kite_mblock_stats stats;
        kite_mblock_get_stats(&factory_.node_allocators[i], &stats);
        EXPECT_EQ(0, stats.delay_free_count);
    }
}

TEST_F(UniqSkiplistTest, BackwardLinks)
{
    Init(8, true);
    UniqSkiplist *sl = New(1);
    auto back = [](Node *n) { return n->links[n->level_index + 1]; };
    for (uint64_t k : {1, 2, 3}) ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(k)));
    Node *n1 = uniq_skiplist_find_node(sl, Key(1));
    Node *n2 = uniq_skiplist_find_node(sl, Key(2));
    Node *n3 = uniq_skiplist_find_node(sl, Key(3));
    EXPECT_EQ(n3, back(sl->top));
    EXPECT_EQ(n2, back(n3));
    EXPECT_EQ(n1, back(n2));
    EXPECT_EQ(sl->top, back(n1));

    UniqSkiplistIterator it;
    ASSERT_EQ(0, uniq_skiplist_reverse_iterator_init(sl, &it));
    std::vector<uint64_t> reversed;
    while (void *d = uniq_skiplist_iterator_prev(&it)) {
        reversed.push_back(*static_cast<uint64_t *>(d));
    }
    EXPECT_EQ((std::vector<uint64_t>{3, 2, 1}), reversed);

    EXPECT_EQ(0, uniq_skiplist_delete(sl, Key(3)));
    EXPECT_EQ(n2, back(sl->top));
    EXPECT_EQ(Key(2), uniq_skiplist_get_last(sl));
    EXPECT_EQ(0, uniq_skiplist_delete(sl, Key(1)));
    EXPECT_EQ(sl->top, back(n2));
    EXPECT_EQ(0, uniq_skiplist_delete(sl, Key(2)));
    EXPECT_EQ(sl->top, back(sl->top));

    // Without backward links there is no reverse iteration.
    UniqSkiplistFactory plain{};
    ASSERT_EQ(0, uniq_skiplist_init(&plain, 4, CompareU64, nullptr));
    UniqSkiplist *forward = uniq_skiplist_new(&plain, 2);
    ASSERT_EQ(0, uniq_skiplist_insert(forward, Key(1)));
    EXPECT_EQ(EINVAL, uniq_skiplist_reverse_iterator_init(forward, &it));
    EXPECT_EQ(nullptr, uniq_skiplist_iterator_prev(&it));
    EXPECT_EQ(Key(1), uniq_skiplist_get_last(forward));
    uniq_skiplist_free(forward);
    uniq_skiplist_destroy(&plain);
}

TEST_F(UniqSkiplistTest, DeleteNodeRefusesAWrongPrevious)
{
    kite_test::LogCapture log;
    Init(8, true, 0, RecordFree);
    UniqSkiplist *sl = New(1);
    for (uint64_t k = 1; k <= 20; k++)
        ASSERT_EQ(0, uniq_skiplist_insert(sl, Key(k)));
    UniqSkiplistNode *prev = nullptr;
    UniqSkiplistNode *n5 = uniq_skiplist_find_node_ex(sl, Key(5), &prev);
    ASSERT_NE(nullptr, n5);
    ASSERT_NE(nullptr, prev);
    // Keys 1 and 2 went in while the head had one level, so they are on
    // level 0 only; a node after them never leads to them.
    UniqSkiplistNode *n1 = uniq_skiplist_find_node(sl, Key(1));
    ASSERT_EQ(0, n1->level_index);
    uniq_skiplist_delete_node_ex(sl, uniq_skiplist_find_node(sl, Key(20)), n1,
                                 true);
    EXPECT_TRUE(log.contains("not reached on level 0")) << log.last();
    EXPECT_EQ(Key(1), uniq_skiplist_get_first(sl));
    uniq_skiplist_delete_node_ex(sl, nullptr, n5, true);
    EXPECT_EQ(20, sl->element_count);
    EXPECT_TRUE(g_freed.empty());
    EXPECT_EQ(Key(5), uniq_skiplist_find(sl, Key(5)));

    uniq_skiplist_delete_node(sl, prev, n5);
    EXPECT_EQ(19, sl->element_count);
    EXPECT_EQ(nullptr, uniq_skiplist_find(sl, Key(5)));
    ASSERT_EQ(1u, g_freed.size());
}

// Checks every structural invariant of a list against the expected map.
void CheckList(UniqSkiplist *sl, const std::map<uint64_t, uint64_t *> &model)
{
    UniqSkiplistFactory *f = sl->factory;
    ASSERT_EQ(int(model.size()), sl->element_count);
    Node *node = sl->top->links[0];
    Node *prev = sl->top;
    for (auto &[key, data] : model) {
        ASSERT_NE(f->tail, node);
        ASSERT_EQ(data, node->data);
        ASSERT_LE(node->level_index, sl->top_level_index);
        if (f->bidirection) {
            ASSERT_EQ(prev, node->links[node->level_index + 1]);
        }
        prev = node;
        node = node->links[0];
    }
    ASSERT_EQ(f->tail, node);
    if (f->bidirection) {
        ASSERT_EQ(prev, sl->top->links[sl->top_level_index + 1]);
    }
    // Each upper level is an ascending subsequence of the one below, and
    // holds exactly the nodes whose level reaches it.
    kite_test::ExpectLevelsNested(
        sl->top, f->tail, sl->top_level_index + 1, true,
        [](Node *n, int level) { ASSERT_GE(n->level_index, level); },
        [](Node *n, int level) { ASSERT_LT(n->level_index, level); });
}

void RunDifferential(bool bidirection, int delay, int ops)
{
    UniqSkiplistFactory f{};
    ASSERT_EQ(0, uniq_skiplist_init_ex2(&f, 12, CompareU64, nullptr, 0, 0,
                                        delay, bidirection));
    srand(unsigned(kite_test::Seed()));
    auto &rng = kite_test::Rng();
    const uint64_t range = 3000;
    std::vector<uint64_t> keys_a(range), keys_b(range);
    for (uint64_t i = 0; i < range; i++) keys_a[i] = keys_b[i] = i;
    // Two lists share the factory's pools.
    UniqSkiplist *lists[2] = {uniq_skiplist_new(&f, 1),
                              uniq_skiplist_new(&f, 3)};
    std::map<uint64_t, uint64_t *> models[2];
    auto op = [&](uint64_t k, uint64_t k2, unsigned choice) {
        int which = int(rng() % 2);
        UniqSkiplist *sl = lists[which];
        auto &model = models[which];
        auto it = model.find(k);
        switch (choice) {
        case 0:
        case 1:
        case 2: {
            int expect = it == model.end() ? 0 : EEXIST;
            ASSERT_EQ(expect, uniq_skiplist_insert(sl, &keys_a[k]));
            if (expect == 0) model[k] = &keys_a[k];
            break;
        }
        case 3:
        case 4:
            ASSERT_EQ(it == model.end() ? ENOENT : 0,
                      uniq_skiplist_delete(sl, &keys_b[k]));
            if (it != model.end()) model.erase(it);
            break;
        case 5: {
            uint64_t *other = (it != model.end() && it->second == &keys_a[k])
                                  ? &keys_b[k]
                                  : &keys_a[k];
            ASSERT_EQ(it == model.end() ? ENOENT : 0,
                      uniq_skiplist_replace(sl, other));
            if (it != model.end()) it->second = other;
            break;
        }
        default: {
            ASSERT_EQ(it == model.end() ? nullptr : it->second,
                      uniq_skiplist_find(sl, &k));
            uint64_t lo = std::min(k, k2), hi = std::max(k, k2);
            UniqSkiplistIterator iter;
            int r = uniq_skiplist_find_range(sl, &lo, &hi, &iter);
            kite_test::ExpectRange(
                r, &iter, uniq_skiplist_iterator_next, model.lower_bound(lo),
                model.upper_bound(hi),
                [](const auto &entry) { return entry.second; });
            UniqSkiplistNode *ge = uniq_skiplist_find_ge_node(sl, &k);
            auto lb = model.lower_bound(k);
            ASSERT_EQ(lb == model.end() ? nullptr : lb->second,
                      ge == nullptr ? nullptr : ge->data);
        }
        }
    };
    kite_test::RunRandomOps(ops, range, 7, op, [&] {
        CheckList(lists[0], models[0]);
        CheckList(lists[1], models[1]);
    });
    uniq_skiplist_free(lists[0]);
    uniq_skiplist_free(lists[1]);
    uniq_skiplist_destroy(&f);
}

TEST(UniqSkiplistDifferentialTest, MatchesStdMapForward)
{
    RunDifferential(false, 0, 100000);
}

TEST(UniqSkiplistDifferentialTest, MatchesStdMapBidirectionalDelayed)
{
    RunDifferential(true, 60, 100000);
}

}  // namespace
