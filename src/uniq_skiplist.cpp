/*
 * uniq_skiplist: a probabilistic skiplist whose lists share a factory.
 *
 * A node of level index L lives in the factory's pool for level L and holds
 * exactly L + 1 forward links (plus one backward link when the factory is
 * bidirectional), so no memory is spent on links a node cannot use.  Every
 * level of every list ends at the factory's one end node, which is an
 * all-zero level-0 node.  Invariants: each level is strictly ascending under
 * compare_func, a node on level i is on every level below it, element_count
 * is the length of level 0, and with backward links each node points to its
 * level-0 predecessor while the head points to the last node (or to itself
 * when empty).
 *
 * A list's head grows one level each time element_count passes
 * best_element_counts[top_level_index] (2, 4, 8, ...); a new node's level
 * is drawn with rand() at probability 1/2 per level and never exceeds the
 * head's level, so small lists stay shallow.  Replaced heads and removed
 * nodes go back to their pool after delay_free_seconds, so that a reader
 * still holding a pointer does not see the memory reused at once.
 *
 * The search walk skips comparing against the node that ended the walk on
 * the level above: that node is known to be greater than the probe.  This
 * saves about a third of the comparisons and changes no result.  While a
 * comparison runs, the walk prefetches the nodes and elements that the
 * next two steps may compare, so that their cache misses overlap.
 * The walk, the level draw and the predecessor search are shared with
 * the other skiplist module through skiplist_walk.h.
 *
 * No locks: the factory's pools are created without them, so the caller
 * serialises every call on lists of one factory.
 */
#include "uniq_skiplist.h"

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kt_memory.h"
#include "logger.h"
#include "skiplist_walk.h"

namespace {

using Node = volatile UniqSkiplistNode;

constexpr int kMaxLevels = KITE_UNIQ_SKIPLIST_MAX_LEVEL_COUNT;

// Entry i: the most elements a list whose head has level index i holds
// before the head grows (2^(i+1)).  Built at compile time, so it is filled
// before any factory exists and never changes.
constexpr std::array<int32_t, kMaxLevels> make_best_element_counts()
{
    std::array<int32_t, kMaxLevels> counts{};
    for (int i = 0; i < kMaxLevels; i++) {
        counts[i] = int32_t(1) << (i + 1);
    }
    return counts;
}
constexpr std::array<int32_t, kMaxLevels> best_element_counts =
    make_best_element_counts();
static_assert(best_element_counts[29] == 1073741824);

inline int extra_links(const UniqSkiplistFactory *factory)
{
    return factory->bidirection ? 1 : 0;
}

inline int node_size(int level_index, int extra_count)
{
    return int(sizeof(UniqSkiplistNode) +
               sizeof(void *) * size_t(level_index + 1 + extra_count));
}

inline UniqSkiplistNode *plain_links(Node *node)
{
    return const_cast<UniqSkiplistNode *>(node);
}

inline Node *back_link(Node *node)
{
    return node->links[node->level_index + 1];
}

inline void set_back_link(Node *node, Node *back)
{
    node->links[node->level_index + 1] = back;
}

UniqSkiplistNode *alloc_node(UniqSkiplistFactory *factory, int level_index)
{
    return static_cast<UniqSkiplistNode *>(
        kite_mblock_alloc_object(&factory->node_allocators[level_index]));
}

// Hands a node back to its level's pool, after the factory's delay when
// one is set, so that a pointer still held elsewhere stays readable.
void release_node_delayed(UniqSkiplistFactory *factory, Node *node,
                          int level_index)
{
    kite_mblock_man *pool = &factory->node_allocators[level_index];
    if (factory->delay_free_seconds > 0) {
        kite_mblock_delay_free_object(pool, plain_links(node),
                                      factory->delay_free_seconds);
    } else {
        kite_mblock_free_object(pool, plain_links(node));
    }
}

inline kite_skiplist::Levels<Node> levels_of(const UniqSkiplist *sl)
{
    return {sl->top, sl->factory->tail, sl->top_level_index,
            sl->factory->compare_func};
}

// The search walk: the node equal to data or null; *previous as for
// kite_skiplist::walk_levels (the predecessor on the found node's highest
// level).
inline Node *get_equal_previous(UniqSkiplist *sl, const void *data,
                                Node **previous)
{
    int level;
    return kite_skiplist::find_equal(levels_of(sl), data, previous, &level);
}

void clear_head(UniqSkiplistFactory *factory, UniqSkiplistNode *head,
                int level_index)
{
    memset(head, 0, size_t(node_size(level_index, extra_links(factory))));
    head->level_index = level_index;
}

// Replaces the head by one a level higher.  Silent when the factory's
// maximum is reached or no node is left: the list keeps working.
void grow_levels(UniqSkiplist *sl)
{
    UniqSkiplistFactory *factory = sl->factory;
    const int new_index = sl->top_level_index + 1;
    if (new_index >= factory->max_level_count) {
        return;
    }
    UniqSkiplistNode *head = alloc_node(factory, new_index);
    if (head == nullptr) {
        return;
    }
    Node *old_head = sl->top;
    clear_head(factory, head, new_index);
    for (int i = 0; i < new_index; i++) {
        head->links[i] = old_head->links[i];
    }
    head->links[new_index] = factory->tail;
    if (factory->bidirection) {
        if (head->links[0] == factory->tail) {
            set_back_link(head, head);
        } else {
            set_back_link(head->links[0], head);
            set_back_link(head, back_link(old_head));
        }
    }
    sl->top = head;
    sl->top_level_index = new_index;
    release_node_delayed(factory, old_head, new_index - 1);
}

void link_node(UniqSkiplist *sl, Node *node, Node *const *previous)
{
    UniqSkiplistFactory *factory = sl->factory;
    if (factory->bidirection) {
        set_back_link(node, previous[0]);
        Node *successor = previous[0]->links[0];
        set_back_link(successor == factory->tail ? sl->top : successor, node);
    }
    for (int i = 0; i <= node->level_index; i++) {
        node->links[i] = previous[i]->links[i];
        previous[i]->links[i] = node;
    }
}

// Finds on every level of deleted, from its highest down, the node whose
// link points to it, starting at previous.  Fails (logged, nothing
// changed) when a level ends first: the list is then inconsistent.
int collect_predecessors(UniqSkiplist *sl, Node *previous, Node *deleted,
                         Node **predecessors)
{
    Node *tail = sl->factory->tail;
    if (previous == nullptr || deleted == nullptr || deleted == tail ||
        previous->level_index < deleted->level_index) {
        logError("invalid node to delete: %p or its previous: %p",
                 (void *)plain_links(deleted), (void *)plain_links(previous));
        return EINVAL;
    }
    int broken = -1;
    if (kite_skiplist::find_predecessors(previous, deleted,
                                         int(deleted->level_index), tail,
                                         predecessors, &broken) != deleted) {
        logError("node not reached on level %d, the skiplist is "
                 "inconsistent (bad compare function or previous)",
                 broken);
        return EINVAL;
    }
    return 0;
}

int delete_node(UniqSkiplist *sl, Node *previous, Node *deleted, bool need_free)
{
    Node *predecessors[kMaxLevels];
    int result = collect_predecessors(sl, previous, deleted, predecessors);
    if (result != 0) {
        return result;
    }
    UniqSkiplistFactory *factory = sl->factory;
    const int level_index = deleted->level_index;
    for (int i = level_index; i >= 0; i--) {
        predecessors[i]->links[i] = deleted->links[i];
    }
    if (factory->bidirection) {
        Node *successor = deleted->links[0];
        set_back_link(successor == factory->tail ? sl->top : successor,
                      back_link(deleted));
    }
    if (need_free && factory->free_func != nullptr) {
        factory->free_func(deleted->data, factory->delay_free_seconds);
    }
    release_node_delayed(factory, deleted, level_index);
    sl->element_count--;
    return 0;
}

void destroy_pools(UniqSkiplistFactory *factory, int count)
{
    for (int i = 0; i < count; i++) {
        kite_mblock_destroy(&factory->node_allocators[i]);
    }
    kt_free(factory->node_allocators);
    factory->node_allocators = nullptr;
}

int init_allocators(UniqSkiplistFactory *factory, int max_level_count,
                    int alloc_skiplist_once, int min_alloc_elements_once,
                    bool bidirection)
{
    size_t bytes = sizeof(kite_mblock_man) * size_t(max_level_count);
    factory->node_allocators = static_cast<kite_mblock_man *>(kt_malloc(bytes));
    if (factory->node_allocators == nullptr) {
        return ENOMEM;
    }
    memset(factory->node_allocators, 0, bytes);
    int result = kite_skiplist::init_level_pools(
        factory->node_allocators, max_level_count, min_alloc_elements_once,
        "uniq-sl-level",
        sizeof(UniqSkiplistNode) + (bidirection ? sizeof(void *) : 0));
    if (result == 0) {
        result = kite_mblock_init_ex2(
            &factory->skiplist_allocator, "skiplist", sizeof(UniqSkiplist),
            alloc_skiplist_once > 0 ? alloc_skiplist_once : 16384, 0, nullptr,
            nullptr, false, nullptr, nullptr, nullptr);
        if (result != 0) {
            memset(&factory->skiplist_allocator, 0, sizeof(kite_mblock_man));
        }
    }
    if (result != 0) {
        destroy_pools(factory, max_level_count);
    }
    return result;
}

}  // namespace

extern "C" {

int uniq_skiplist_init_ex2(UniqSkiplistFactory *factory,
                           const int max_level_count,
                           skiplist_compare_func compare_func,
                           uniq_skiplist_free_func free_func,
                           const int alloc_skiplist_once,
                           const int min_alloc_elements_once,
                           const int delay_free_seconds, const bool bidirection)
{
    if (max_level_count < 1) {
        logError("invalid max level count: %d", max_level_count);
        return EINVAL;
    }
    if (max_level_count > kMaxLevels) {
        logError("max level count: %d is too large, exceeds %d",
                 max_level_count, kMaxLevels);
        return E2BIG;
    }
    int result = init_allocators(factory, max_level_count, alloc_skiplist_once,
                                 min_alloc_elements_once, bidirection);
    if (result != 0) {
        return result;
    }
    factory->tail = static_cast<UniqSkiplistNode *>(
        kite_mblock_alloc_object(&factory->node_allocators[0]));
    if (factory->tail == nullptr) {
        kite_mblock_destroy(&factory->skiplist_allocator);
        destroy_pools(factory, max_level_count);
        return ENOMEM;
    }
    memset(factory->tail, 0, size_t(node_size(0, bidirection ? 1 : 0)));
    factory->max_level_count = max_level_count;
    factory->bidirection = bidirection;
    factory->compare_func = compare_func;
    factory->free_func = free_func;
    factory->delay_free_seconds = delay_free_seconds;
    srand(unsigned(time(nullptr)));
    return 0;
}

int uniq_skiplist_init_ex(UniqSkiplistFactory *factory,
                          const int max_level_count,
                          skiplist_compare_func compare_func,
                          uniq_skiplist_free_func free_func,
                          const int alloc_skiplist_once,
                          const int min_alloc_elements_once,
                          const int delay_free_seconds)
{
    return uniq_skiplist_init_ex2(
        factory, max_level_count, compare_func, free_func, alloc_skiplist_once,
        min_alloc_elements_once, delay_free_seconds, false);
}

int uniq_skiplist_init(UniqSkiplistFactory *factory, const int max_level_count,
                       skiplist_compare_func compare_func,
                       uniq_skiplist_free_func free_func)
{
    return uniq_skiplist_init_ex2(factory, max_level_count, compare_func,
                                  free_func, 0, 0, 0, false);
}

void uniq_skiplist_destroy(UniqSkiplistFactory *factory)
{
    if (factory == nullptr || factory->node_allocators == nullptr) {
        return;
    }
    kite_mblock_free_object(&factory->node_allocators[0], factory->tail);
    factory->tail = nullptr;
    kite_mblock_destroy(&factory->skiplist_allocator);
    destroy_pools(factory, factory->max_level_count);
}

UniqSkiplist *uniq_skiplist_new(UniqSkiplistFactory *factory,
                                const int level_count)
{
    if (level_count < 1) {
        logError("invalid level count: %d", level_count);
        errno = EINVAL;
        return nullptr;
    }
    if (level_count > factory->max_level_count) {
        logError("level count: %d is too large, exceeds max level count: %d",
                 level_count, factory->max_level_count);
        errno = E2BIG;
        return nullptr;
    }
    auto *sl = static_cast<UniqSkiplist *>(
        kite_mblock_alloc_object(&factory->skiplist_allocator));
    if (sl == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    sl->factory = factory;
    sl->top_level_index = level_count - 1;
    sl->element_count = 0;
    sl->top = alloc_node(factory, level_count - 1);
    if (sl->top == nullptr) {
        kite_mblock_free_object(&factory->skiplist_allocator, sl);
        errno = ENOMEM;
        return nullptr;
    }
    clear_head(factory, sl->top, sl->top_level_index);
    if (factory->bidirection) {
        set_back_link(sl->top, sl->top);
    }
    for (int i = 0; i < level_count; i++) {
        sl->top->links[i] = factory->tail;
    }
    return sl;
}

void uniq_skiplist_free(UniqSkiplist *sl)
{
    if (sl == nullptr || sl->top == nullptr) {
        return;
    }
    UniqSkiplistFactory *factory = sl->factory;
    Node *node = sl->top->links[0];
    while (node != factory->tail) {
        Node *next = node->links[0];
        if (factory->free_func != nullptr) {
            factory->free_func(node->data, 0);
        }
        kite_mblock_free_object(&factory->node_allocators[node->level_index],
                                plain_links(node));
        node = next;
    }
    kite_mblock_free_object(&factory->node_allocators[sl->top_level_index],
                            sl->top);
    sl->top = nullptr;
    sl->element_count = 0;
    sl->top_level_index = 0;
    kite_mblock_free_object(&factory->skiplist_allocator, sl);
}

int uniq_skiplist_insert(UniqSkiplist *sl, void *data)
{
    // A null element would end the walks early and read as "not found".
    if (data == nullptr) {
        logError("null element refused");
        return EINVAL;
    }
    UniqSkiplistFactory *factory = sl->factory;
    const int level_index =
        kite_skiplist::draw_level_index(sl->top_level_index);
    Node *predecessors[kMaxLevels];
    Node *found;
    int level;
    if (kite_skiplist::walk_levels(levels_of(sl), data, &found, &level,
                                   [&](int i, Node *current) {
                                       if (i <= level_index) {
                                           predecessors[i] = current;
                                       }
                                   }) != nullptr) {
        return EEXIST;
    }
    UniqSkiplistNode *node = alloc_node(factory, level_index);
    if (node == nullptr) {
        return ENOMEM;
    }
    node->level_index = level_index;
    node->data = data;
    link_node(sl, node, predecessors);
    sl->element_count++;
    if (sl->element_count > best_element_counts[sl->top_level_index]) {
        grow_levels(sl);
    }
    return 0;
}

void uniq_skiplist_delete_node_ex(UniqSkiplist *sl, UniqSkiplistNode *previous,
                                  UniqSkiplistNode *deleted,
                                  const bool need_free)
{
    delete_node(sl, previous, deleted, need_free);
}

void uniq_skiplist_delete_node(UniqSkiplist *sl, UniqSkiplistNode *previous,
                               UniqSkiplistNode *deleted)
{
    delete_node(sl, previous, deleted, true);
}

int uniq_skiplist_delete_ex(UniqSkiplist *sl, void *data, const bool need_free)
{
    Node *previous;
    Node *deleted = get_equal_previous(sl, data, &previous);
    if (deleted == nullptr) {
        return ENOENT;
    }
    return delete_node(sl, previous, deleted, need_free);
}

int uniq_skiplist_delete(UniqSkiplist *sl, void *data)
{
    return uniq_skiplist_delete_ex(sl, data, true);
}

int uniq_skiplist_replace_ex(UniqSkiplist *sl, void *data,
                             const bool need_free_old)
{
    if (data == nullptr) {
        logError("null element refused");
        return EINVAL;
    }
    Node *previous;
    Node *node = get_equal_previous(sl, data, &previous);
    if (node == nullptr) {
        return ENOENT;
    }
    void *old_data = node->data;
    node->data = data;
    UniqSkiplistFactory *factory = sl->factory;
    if (need_free_old && factory->free_func != nullptr) {
        factory->free_func(old_data, factory->delay_free_seconds);
    }
    return 0;
}

int uniq_skiplist_replace(UniqSkiplist *sl, void *data)
{
    return uniq_skiplist_replace_ex(sl, data, true);
}

UniqSkiplistNode *uniq_skiplist_find_node_ex(UniqSkiplist *sl, void *data,
                                             UniqSkiplistNode **previous)
{
    Node *prev;
    Node *node = get_equal_previous(sl, data, &prev);
    *previous = node != nullptr ? plain_links(prev) : nullptr;
    return plain_links(node);
}

UniqSkiplistNode *uniq_skiplist_find_node(UniqSkiplist *sl, void *data)
{
    Node *previous;
    return plain_links(get_equal_previous(sl, data, &previous));
}

void *uniq_skiplist_find(UniqSkiplist *sl, void *data)
{
    Node *previous;
    Node *node = get_equal_previous(sl, data, &previous);
    return node != nullptr ? node->data : nullptr;
}

int uniq_skiplist_find_all(UniqSkiplist *sl, void *data,
                           UniqSkiplistIterator *iterator)
{
    return kite_skiplist::fill_equal(levels_of(sl), data, iterator);
}

UniqSkiplistNode *uniq_skiplist_find_ge_node(UniqSkiplist *sl, void *data)
{
    Node *node = kite_skiplist::first_larger_or_equal(levels_of(sl), data);
    return node != sl->factory->tail ? plain_links(node) : nullptr;
}

int uniq_skiplist_find_range(UniqSkiplist *sl, void *start_data, void *end_data,
                             UniqSkiplistIterator *iterator)
{
    return kite_skiplist::fill_range(levels_of(sl), start_data, end_data,
                                     iterator);
}

void uniq_skiplist_iterator_init(UniqSkiplist *sl,
                                 UniqSkiplistIterator *iterator)
{
    iterator->current = sl->top->links[0];
    iterator->tail = sl->factory->tail;
}

void *uniq_skiplist_iterator_next(UniqSkiplistIterator *iterator)
{
    return kite_skiplist::iterator_next(iterator);
}

int uniq_skiplist_reverse_iterator_init(UniqSkiplist *sl,
                                        UniqSkiplistIterator *iterator)
{
    iterator->tail = sl->top;
    if (!sl->factory->bidirection) {
        iterator->current = sl->top;
        return EINVAL;
    }
    iterator->current = back_link(sl->top);
    return 0;
}

void *uniq_skiplist_iterator_prev(UniqSkiplistIterator *iterator)
{
    if (iterator->current == iterator->tail) {
        return nullptr;
    }
    Node *node = iterator->current;
    iterator->current = back_link(node);
    return node->data;
}

int uniq_skiplist_count(const UniqSkiplist *sl)
{
    return sl->element_count;
}

bool uniq_skiplist_empty(const UniqSkiplist *sl)
{
    return sl->element_count == 0;
}

void *uniq_skiplist_get_first(UniqSkiplist *sl)
{
    Node *first = sl->top->links[0];
    return first != sl->factory->tail ? first->data : nullptr;
}

void *uniq_skiplist_get_last(UniqSkiplist *sl)
{
    if (sl->factory->bidirection) {
        Node *last = back_link(sl->top);
        return last != sl->top ? last->data : nullptr;
    }
    Node *last = kite_skiplist::last_node(levels_of(sl));
    return last != sl->top ? last->data : nullptr;
}

}  // extern "C"
