/*
 * skiplist_walk: internal to the library, not installed API; the walk and
 * level logic that skiplist_set and uniq_skiplist share.
 *
 * Both keep a head node whose links[0..top_level_index] start every level,
 * and one all-zero end node that closes every level; a node on level i is
 * on every level below it and each level ascends under the comparison
 * function.  Everything is an inline template over the node type (plain
 * or volatile), so each caller gets the walk compiled for its own nodes
 * with no call through a pointer other than the comparison.  C++ only: the
 * guard keeps the header harmless when a C file includes it.
 */
#ifndef KITE_SKIPLIST_WALK_H
#define KITE_SKIPLIST_WALK_H

#ifdef __cplusplus

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "kite_mblock.h"

namespace kite_skiplist {

// The levels of one list as the walk sees them.
template <class Node>
struct Levels {
    Node *top;   // head node
    Node *tail;  // end node of every level
    int top_level_index;
    int (*compare)(const void *a, const void *b);
};

// Starts loading the cache line at address; any address is allowed, null
// included.  An asm statement on x86-64 because the optimiser may drop a
// __builtin_prefetch that sits in a branch, which is where the walk needs
// most of them.
inline void prefetch_address(const volatile void *address)
{
#if defined(__x86_64__)
    asm volatile("prefetcht0 (%0)" : : "r"(address));
#else
    __builtin_prefetch(const_cast<const void *>(address));
#endif
}

// Prefetches node for a visit on level: the line of its data and the
// line of its link on that level, which for a node that straddles two
// lines or sits on a high level is another one.
template <class Node>
inline void prefetch_node(Node *node, int level)
{
    prefetch_address(node);
    prefetch_address(&node->links[level]);
}

// Called while next, on level `level` after current, is being compared
// with data.  Each comparison waits for a node and then for the element it
// points to, and each node's address is read from the node before it, so
// the walk is a chain of cache misses.  The steps after this comparison
// are known up to its outcome and the next one's; this starts loading
// what they will read, always from nodes prefetched on an earlier step,
// so that their misses overlap the comparison under way:
// - next sorts after data: the walk goes down from current to `below`,
//   the first node under current that is not next (next is not compared
//   again).  below came in on an earlier step, so its element is fetched
//   now, and the nodes it leads to (after it on its level, and one level
//   down) are prefetched, as is the node under current one level lower,
//   the walk's next stop should below sort after data too.
// - next sorts before data: the walk moves to next and then compares the
//   node after it, or goes down from next; those nodes, and next's link
//   two levels down for the walk's later descents, are prefetched.
template <class Node>
inline void prefetch_ahead(Node *current, Node *next, Node *tail, int level)
{
    prefetch_node<Node>(next->links[level], level);
    if (level == 0) {
        return;
    }
    prefetch_node<Node>(next->links[level - 1], level - 1);
    if (level > 1) {
        prefetch_node<Node>(next->links[level - 2], level - 2);
    }
    int below_level = level - 1;
    Node *below = current->links[below_level];
    while (below == next) {
        if (below_level == 0) {
            return;
        }
        below = current->links[--below_level];
    }
    if (below_level > 0) {
        prefetch_node<Node>(current->links[below_level - 1], below_level - 1);
    }
    if (below != tail) {
        prefetch_address(below->data);
        prefetch_node<Node>(below->links[below_level], below_level);
        if (below_level > 0) {
            prefetch_node<Node>(below->links[below_level - 1], below_level - 1);
        }
    }
}

// A new node's level index: each level above 0 with probability 1/2, never
// above top_level_index.
inline int draw_level_index(int top_level_index)
{
    int level_index = 0;
    while (level_index < top_level_index) {
        if (rand() < RAND_MAX / 2) {
            break;
        }
        level_index++;
    }
    return level_index;
}

// The search walk.  Returns the node equal to data or null, with the level
// it was found on (its highest) in *level, -1 when not found.  *previous is
// the node the walk stood on at the end: the found node's predecessor on
// that level, or the last level-0 node less than data.  on_level(i, node)
// sees the node the walk leaves level i from (the predecessor of data on
// it) for every level the walk finishes before it stops.
//
// The walk skips comparing against the node that ended the walk on the
// level above: that node is known to be greater than data, so this saves
// about a third of the comparisons and changes no result.
template <class Node, class OnLevel>
inline Node *walk_levels(const Levels<Node> &sl, const void *data,
                         Node **previous, int *level, OnLevel &&on_level)
{
    Node *const tail = sl.tail;
    Node *current = sl.top;
    Node *stop = tail;  // known to be greater than data (or the end)
    for (int i = sl.top_level_index; i >= 0; i--) {
        Node *next = current->links[i];
        while (next != stop && next != tail) {
            prefetch_ahead<Node>(current, next, tail, i);
            int cmp = sl.compare(data, next->data);
            if (cmp < 0) {
                break;
            }
            if (cmp == 0) {
                *previous = current;
                *level = i;
                return next;
            }
            current = next;
            next = current->links[i];
        }
        stop = next;
        on_level(i, current);
    }
    *previous = current;
    *level = -1;
    return nullptr;
}

template <class Node>
inline Node *find_equal(const Levels<Node> &sl, const void *data,
                        Node **previous, int *level)
{
    return walk_levels(sl, data, previous, level, [](int, Node *) {});
}

// The first node not less than data (the end node when none).
template <class Node>
inline Node *first_larger_or_equal(const Levels<Node> &sl, const void *data)
{
    Node *previous;
    int level;
    Node *node = find_equal(sl, data, &previous, &level);
    return node != nullptr ? node : previous->links[0];
}

// The first node greater than data (the end node when none).
template <class Node>
inline Node *first_larger(const Levels<Node> &sl, const void *data)
{
    Node *previous;
    int level;
    Node *node = find_equal(sl, data, &previous, &level);
    return node != nullptr ? node->links[0] : previous->links[0];
}

// Fills it (a record with current and tail) with the one node equal to
// data: 0, or ENOENT with an empty iterator.
template <class Node, class Iterator>
inline int fill_equal(const Levels<Node> &sl, const void *data, Iterator *it)
{
    Node *previous;
    int level;
    Node *node = find_equal(sl, data, &previous, &level);
    if (node == nullptr) {
        it->current = it->tail = sl.tail;
        return ENOENT;
    }
    it->current = node;
    it->tail = node->links[0];
    return 0;
}

// Fills it with the nodes in [start_data, end_data], both ends included:
// 0, ENOENT (none; empty iterator) or EINVAL (start after end; empty).
template <class Node, class Iterator>
inline int fill_range(const Levels<Node> &sl, const void *start_data,
                      const void *end_data, Iterator *it)
{
    if (sl.compare(start_data, end_data) > 0) {
        it->current = it->tail = sl.tail;
        return EINVAL;
    }
    it->current = first_larger_or_equal(sl, start_data);
    if (it->current == sl.tail) {
        it->tail = sl.tail;
        return ENOENT;
    }
    it->tail = first_larger(sl, end_data);
    return it->tail == it->current ? ENOENT : 0;
}

// The data of the iterator's current node, stepping it forward along
// level 0, or null once it reached its tail.
template <class Iterator>
inline void *iterator_next(Iterator *it)
{
    if (it->current == it->tail) {
        return nullptr;
    }
    auto *node = it->current;
    it->current = node->links[0];
    return node->data;
}

// The last node, or the head when the list is empty: a walk along the top
// levels.
template <class Node>
inline Node *last_node(const Levels<Node> &sl)
{
    Node *current = sl.top;
    for (int i = sl.top_level_index; i >= 0; i--) {
        while (current->links[i] != sl.tail) {
            current = current->links[i];
        }
    }
    return current;
}

// Fills predecessors[0..level_index] with the node linking to deleted on
// each level, moving forward from previous.  Returns deleted, or the node
// (the end node or null) that ended level *broken_level before reaching
// it, which a consistent order never allows; predecessors is then partly
// filled and nothing is changed.
template <class Node>
inline Node *find_predecessors(Node *previous, Node *deleted, int level_index,
                               Node *tail, Node **predecessors,
                               int *broken_level)
{
    for (int i = level_index; i >= 0; i--) {
        Node *next = previous->links[i];
        while (next != deleted) {
            if (next == tail || next == nullptr) {
                *broken_level = i;
                return next;
            }
            previous = next;
            next = previous->links[i];
        }
        predecessors[i] = previous;
    }
    return deleted;
}

// Sets up one node pool per level.  A node of level index i takes
// fixed_bytes plus i + 1 links.  The top level takes min_alloc_elements_once
// nodes per batch (<= 0: 64, capped at 1024) and every two levels downward,
// which hold more nodes, double it.  Pools are named name_prefix and the
// two-digit level.  Returns 0 or the failing pool's error; the caller
// destroys the pools (all zeroed beforehand) either way.
inline int init_level_pools(kite_mblock_man *pools, int level_count,
                            int min_alloc_elements_once,
                            const char *name_prefix, size_t fixed_bytes)
{
    int alloc_elements_once = min_alloc_elements_once;
    if (alloc_elements_once <= 0) {
        alloc_elements_once = 64;
    } else if (alloc_elements_once > 1024) {
        alloc_elements_once = 1024;
    }
    for (int i = level_count - 1; i >= 0; i--) {
        char name[KITE_MBLOCK_NAME_SIZE];
        snprintf(name, sizeof(name), "%s%02d", name_prefix, i);
        int element_size = int(fixed_bytes + sizeof(void *) * size_t(i + 1));
        int result = kite_mblock_init_ex2(
            &pools[i], name, element_size, alloc_elements_once, 0, nullptr,
            nullptr, false, nullptr, nullptr, nullptr);
        if (result != 0) {
            return result;
        }
        if (i % 2 == 0 && alloc_elements_once < 65536) {
            alloc_elements_once *= 2;
        }
    }
    return 0;
}

}  // namespace kite_skiplist

#endif /* __cplusplus */

#endif
