// Helpers shared by the tests of the two skiplist modules, whose elements
// are uint64_t keys at stable addresses.
#ifndef KITE_TESTS_SKIPLIST_TEST_UTIL_H
#define KITE_TESTS_SKIPLIST_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "test_util.h"

namespace kite_test {

// Orders pointers to uint64_t by value.
inline int CompareU64(const void *a, const void *b)
{
    uint64_t x = *static_cast<const uint64_t *>(a);
    uint64_t y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

// True when message was logged from source file `file` (base name) with
// the standard prefix and ends with text.
inline bool LoggedFromEndsWith(const std::string &message,
                               const std::string &file, const std::string &text)
{
    return message.rfind("file: " + file + ", line: ", 0) == 0 &&
           message.size() > text.size() &&
           message.compare(message.size() - text.size(), text.size(), text) ==
               0;
}

// The keys an iterator yields through next (the module's iterator_next),
// in order, until it returns null.
template <class Iterator>
std::vector<uint64_t> DrainU64(Iterator *it, void *(*next)(Iterator *))
{
    std::vector<uint64_t> out;
    while (void *d = next(it)) {
        out.push_back(*static_cast<uint64_t *>(d));
    }
    return out;
}

// Checks that each level from 1 up to level_count - 1 is a sub-list of the
// level below it (strictly ascending when `ordered`), walking from the head
// `top` to `tail`.  on_linked(node, level) sees each node of a level,
// on_skipped(node, level) each node of the level below that it passes over,
// for the callers' own expectations on node levels.
template <class Node, class OnLinked, class OnSkipped>
void ExpectLevelsNested(Node *top, Node *tail, int level_count, bool ordered,
                        OnLinked on_linked, OnSkipped on_skipped)
{
    for (int level = 1; level < level_count; level++) {
        auto *below = top->links[level - 1];
        const uint64_t *last = nullptr;
        for (auto *n = top->links[level]; n != tail; n = n->links[level]) {
            on_linked(n, level);
            const auto *key = static_cast<const uint64_t *>(n->data);
            if (ordered && last != nullptr) {
                ASSERT_LT(*last, *key);
            }
            last = key;
            while (below != n) {
                ASSERT_NE(tail, below) << "node missing below level " << level;
                on_skipped(below, level);
                below = below->links[level - 1];
            }
            below = below->links[level - 1];
        }
        for (; below != tail; below = below->links[level - 1]) {
            on_skipped(below, level);
        }
    }
}

template <class Node>
void ExpectLevelsNested(Node *top, Node *tail, int level_count, bool ordered)
{
    auto any = [](auto *, int) {};
    ExpectLevelsNested(top, tail, level_count, ordered, any, any);
}

// One range query checked against the model: ENOENT for an empty range,
// else 0 and the data of [first, end) in order (data_of maps a model entry
// to its element), then null.
template <class Iterator, class ModelIt, class DataOf>
void ExpectRange(int result, Iterator *it, void *(*next)(Iterator *),
                 ModelIt first, ModelIt end, DataOf data_of)
{
    ASSERT_EQ(first == end ? ENOENT : 0, result);
    for (; first != end; ++first) {
        ASSERT_EQ(data_of(*first), next(it));
    }
    ASSERT_EQ(nullptr, next(it));
}

// The driver of a differential run: `ops` times draws two keys below
// `range` and a choice below `choices` and calls op(k, k2, choice); calls
// check() every 300 operations and at the end, and stops at the first fatal
// failure.
template <class Op, class Check>
void RunRandomOps(int ops, uint64_t range, unsigned choices, Op op, Check check)
{
    auto &rng = Rng();
    for (int i = 0; i < ops; i++) {
        const uint64_t k = rng() % range, k2 = rng() % range;
        op(k, k2, unsigned(rng() % choices));
        if (::testing::Test::HasFatalFailure()) return;
        if (i % 300 == 0) {
            check();
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
    check();
}

}  // namespace kite_test

#endif
