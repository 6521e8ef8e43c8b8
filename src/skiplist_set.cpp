/*
 * skiplist_set: a skiplist of fixed height that owns all of its memory.
 *
 * A node of level index L comes from the set's pool for level L and holds
 * exactly L + 1 links; it does not record L, so a delete learns it from the
 * level on which the search walk found the node (always its highest one).
 * Every level ends at the set's all-zero end node.  Invariants: each level
 * is strictly ascending under compare_func and a node on level i is on
 * every level below it.  Levels are drawn with rand() at probability 1/2
 * per level up to the fixed top.
 *
 * Delete first finds the predecessor on every level and only then unlinks,
 * so that a set made inconsistent by a comparison function that is not a
 * total order is reported (an assertion in debug builds, a logged EINVAL
 * otherwise) instead of being left with a half-unlinked node.
 *
 * The search walk skips comparing against the node that ended the walk on
 * the level above, which is known to be greater than the probe, and
 * while a comparison runs prefetches the nodes and elements that the next
 * two steps may compare, so that their cache misses overlap.
 * The walk, the level draw and the predecessor search are shared with
 * the other skiplist module through skiplist_walk.h.
 *
 * No locks: the pools are created without them and insert shares the
 * tmp_previous scratch array, so one thread at a time changes a set.
 */
#include "skiplist_set.h"

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kt_memory.h"
#include "logger.h"
#include "skiplist_walk.h"

namespace {

using Node = SkiplistSetNode;

constexpr int kMaxLevels = KITE_SKIPLIST_SET_MAX_LEVEL_COUNT;

inline int node_size(int level_index)
{
    return int(sizeof(Node) + sizeof(Node *) * size_t(level_index + 1));
}

inline kite_skiplist::Levels<Node> levels_of(const SkiplistSet *sl)
{
    return {sl->top, sl->tail, sl->top_level_index, sl->compare_func};
}

Node *find_node(SkiplistSet *sl, const void *data)
{
    Node *previous;
    int level;
    return kite_skiplist::find_equal(levels_of(sl), data, &previous, &level);
}

// Fills tmp_previous[0..level] with the node linking to deleted on each
// level, moving forward from previous.  EINVAL (logged) when a level ends
// without reaching it, which a consistent order never allows.
int collect_predecessors(SkiplistSet *sl, Node *previous, Node *deleted,
                         int level)
{
    int broken = -1;
    Node *next = kite_skiplist::find_predecessors(
        previous, deleted, level, sl->tail, sl->tmp_previous, &broken);
    if (next != deleted) {
        logError("skiplist set is inconsistent, the node to delete "
                 "is not on level %d of its %d levels, check the "
                 "compare function",
                 broken, level + 1);
        assert(next == deleted);
        return EINVAL;
    }
    return 0;
}

void free_arrays(SkiplistSet *sl)
{
    if (sl->mblocks != nullptr) {
        for (int i = 0; i < sl->top_level_index + 1; i++) {
            kite_mblock_destroy(&sl->mblocks[i]);
        }
    }
    kt_free(sl->mblocks);
    kt_free(sl->tmp_previous);
    sl->mblocks = nullptr;
    sl->tmp_previous = nullptr;
    sl->top = nullptr;
    sl->tail = nullptr;
}

int init_pools(SkiplistSet *sl, int level_count, int min_alloc_elements_once)
{
    return kite_skiplist::init_level_pools(sl->mblocks, level_count,
                                           min_alloc_elements_once,
                                           "sl-set-level", sizeof(Node));
}

int alloc_arrays(SkiplistSet *sl, int level_count)
{
    sl->mblocks = nullptr;
    sl->tmp_previous =
        static_cast<Node **>(kt_malloc(sizeof(Node *) * size_t(level_count)));
    if (sl->tmp_previous == nullptr) {
        return ENOMEM;
    }
    size_t bytes = sizeof(kite_mblock_man) * size_t(level_count);
    sl->mblocks = static_cast<kite_mblock_man *>(kt_malloc(bytes));
    if (sl->mblocks == nullptr) {
        kt_free(sl->tmp_previous);
        sl->tmp_previous = nullptr;
        return ENOMEM;
    }
    memset(sl->mblocks, 0, bytes);
    return 0;
}

// Takes the head and the end node and links every level of the head to
// the end node.
int init_ends(SkiplistSet *sl, int level_count)
{
    sl->top = static_cast<Node *>(
        kite_mblock_alloc_object(&sl->mblocks[sl->top_level_index]));
    if (sl->top == nullptr) {
        return ENOMEM;
    }
    memset(sl->top, 0, size_t(node_size(sl->top_level_index)));
    sl->tail = static_cast<Node *>(kite_mblock_alloc_object(&sl->mblocks[0]));
    if (sl->tail == nullptr) {
        return ENOMEM;
    }
    memset(sl->tail, 0, size_t(node_size(0)));
    for (int i = 0; i < level_count; i++) {
        sl->top->links[i] = sl->tail;
    }
    return 0;
}

}  // namespace

extern "C" {

int skiplist_set_init_ex(SkiplistSet *sl, const int level_count,
                         skiplist_compare_func compare_func,
                         skiplist_free_func free_func,
                         const int min_alloc_elements_once)
{
    if (level_count < 1) {
        logError("invalid level count: %d", level_count);
        return EINVAL;
    }
    if (level_count > kMaxLevels) {
        logError("level count: %d is too large exceeds %d", level_count,
                 kMaxLevels);
        return E2BIG;
    }
    int result = alloc_arrays(sl, level_count);
    if (result != 0) {
        return result;
    }
    sl->top_level_index = level_count - 1;
    result = init_pools(sl, level_count, min_alloc_elements_once);
    if (result == 0) {
        result = init_ends(sl, level_count);
    }
    if (result != 0) {
        free_arrays(sl);
        sl->top_level_index = 0;
        return result;
    }
    sl->level_count = level_count;
    sl->compare_func = compare_func;
    sl->free_func = free_func;
    srand(unsigned(time(nullptr)));
    return 0;
}

int skiplist_set_init(SkiplistSet *sl, const int level_count,
                      skiplist_compare_func compare_func,
                      skiplist_free_func free_func)
{
    return skiplist_set_init_ex(sl, level_count, compare_func, free_func, 0);
}

void skiplist_set_destroy(SkiplistSet *sl)
{
    if (sl == nullptr || sl->mblocks == nullptr) {
        return;
    }
    if (sl->free_func != nullptr) {
        Node *node = sl->top->links[0];
        while (node != sl->tail) {
            Node *next = node->links[0];
            sl->free_func(node->data);
            node = next;
        }
    }
    free_arrays(sl);
    sl->level_count = 0;
    sl->top_level_index = 0;
}

int skiplist_set_insert(SkiplistSet *sl, void *data)
{
    // A null element would end the walks early and read as "not found".
    if (data == nullptr) {
        logError("null element refused");
        return EINVAL;
    }
    const int level_index =
        kite_skiplist::draw_level_index(sl->top_level_index);
    Node *previous;
    int level;
    Node **predecessors = sl->tmp_previous;
    if (kite_skiplist::walk_levels(levels_of(sl), data, &previous, &level,
                                   [=](int i, Node *current) {
                                       if (i <= level_index) {
                                           predecessors[i] = current;
                                       }
                                   }) != nullptr) {
        return EEXIST;
    }
    auto *node = static_cast<Node *>(
        kite_mblock_alloc_object(&sl->mblocks[level_index]));
    if (node == nullptr) {
        return ENOMEM;
    }
    node->data = data;
    for (int i = 0; i <= level_index; i++) {
        node->links[i] = sl->tmp_previous[i]->links[i];
        sl->tmp_previous[i]->links[i] = node;
    }
    return 0;
}

int skiplist_set_delete(SkiplistSet *sl, void *data)
{
    Node *previous;
    int level;
    Node *deleted =
        kite_skiplist::find_equal(levels_of(sl), data, &previous, &level);
    if (deleted == nullptr) {
        return ENOENT;
    }
    int result = collect_predecessors(sl, previous, deleted, level);
    if (result != 0) {
        return result;
    }
    for (int i = level; i >= 0; i--) {
        sl->tmp_previous[i]->links[i] = deleted->links[i];
    }
    if (sl->free_func != nullptr) {
        sl->free_func(deleted->data);
    }
    kite_mblock_free_object(&sl->mblocks[level], deleted);
    return 0;
}

void *skiplist_set_find(SkiplistSet *sl, void *data)
{
    Node *node = find_node(sl, data);
    return node != nullptr ? node->data : nullptr;
}

int skiplist_set_find_all(SkiplistSet *sl, void *data,
                          SkiplistSetIterator *iterator)
{
    return kite_skiplist::fill_equal(levels_of(sl), data, iterator);
}

int skiplist_set_find_range(SkiplistSet *sl, void *start_data, void *end_data,
                            SkiplistSetIterator *iterator)
{
    return kite_skiplist::fill_range(levels_of(sl), start_data, end_data,
                                     iterator);
}

void *skiplist_set_find_ge(SkiplistSet *sl, void *data)
{
    Node *node = kite_skiplist::first_larger_or_equal(levels_of(sl), data);
    return node != sl->tail ? node->data : nullptr;
}

void skiplist_set_iterator_init(SkiplistSet *sl, SkiplistSetIterator *iterator)
{
    iterator->current = sl->top->links[0];
    iterator->tail = sl->tail;
}

void *skiplist_set_iterator_next(SkiplistSetIterator *iterator)
{
    return kite_skiplist::iterator_next(iterator);
}

int skiplist_set_count(const SkiplistSet *sl)
{
    int count = 0;
    for (Node *node = sl->top->links[0]; node != sl->tail;
         node = node->links[0]) {
        count++;
    }
    return count;
}

bool skiplist_set_empty(const SkiplistSet *sl)
{
    return sl->top->links[0] == sl->tail;
}

void *skiplist_set_get_first(SkiplistSet *sl)
{
    Node *first = sl->top->links[0];
    return first != sl->tail ? first->data : nullptr;
}

void *skiplist_set_get_last(SkiplistSet *sl)
{
    Node *last = kite_skiplist::last_node(levels_of(sl));
    return last != sl->top ? last->data : nullptr;
}

}  // extern "C"
