/*
 * uniq_skiplist: ordered sets of caller-owned data pointers with unique keys.
 *
 * Many lists share one factory, which owns one object pool per level (every
 * node comes from the pool of its own level), the pool of list records, the
 * end node that closes every level of every list, the comparison function
 * and the release callback.  A list starts with few levels and grows its
 * head one level at a time as it fills, up to the factory's maximum.
 *
 * Results are 0 or a positive errno value; look-ups return a pointer or
 * null.  The caller owns the factory record and the data; the module never
 * frees data except through the factory's release callback.  Nothing here
 * locks: every call on lists of one factory (they share its pools) must be
 * serialised by the caller.  The comparison function must be a consistent
 * total order and a stored element's key must not change.
 */
#ifndef KITE_UNIQ_SKIPLIST_H
#define KITE_UNIQ_SKIPLIST_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "kite_mblock.h"

/* Highest number of levels a factory may give its lists. */
#define KITE_UNIQ_SKIPLIST_MAX_LEVEL_COUNT 30

KT_EXTERN_C_BEGIN

#ifndef KT_SKIPLIST_COMPARE_FUNC_DEFINED
/* Set once skiplist_compare_func is declared (both skiplist headers do). */
#define KT_SKIPLIST_COMPARE_FUNC_DEFINED
/* Negative when a sorts before b, 0 when equal, positive after; the probe
 * or new element is always a. */
typedef int (*skiplist_compare_func)(const void *a, const void *b);
#endif

/* Release callback: data may be released after delay_seconds. */
typedef void (*uniq_skiplist_free_func)(void *data, int delay_seconds);

/* A node: the element, its level and its links, drawn from the pool of
 * its level. */
typedef struct uniq_skiplist_node {
    void *data;          /* the caller's element; null in head and end node */
    int32_t level_index; /* highest level the node is linked on */
    /* links[0..level_index]: next node per level; when the factory is
     * bidirectional links[level_index + 1] is the backward link. */
    volatile struct uniq_skiplist_node *links[];
} UniqSkiplistNode;

/* Shared by many lists: their comparison, release callback, end node and
 * the node pools of every level.  Owned by the caller. */
typedef struct uniq_skiplist_factory {
    int32_t max_level_count;    /* 1 to KITE_UNIQ_SKIPLIST_MAX_LEVEL_COUNT */
    int32_t delay_free_seconds; /* > 0: removed nodes are reused that late */
    bool bidirection;           /* nodes carry a backward link */
    skiplist_compare_func compare_func; /* orders every list's elements */
    uniq_skiplist_free_func free_func;  /* may be null */
    UniqSkiplistNode *tail; /* shared end node of every level, no data */
    struct kite_mblock_man skiplist_allocator; /* UniqSkiplist records */
    struct kite_mblock_man *node_allocators;   /* max_level_count pools */
} UniqSkiplistFactory;

/* One list, made by uniq_skiplist_new from a factory's record pool. */
typedef struct uniq_skiplist {
    UniqSkiplistFactory *factory; /* the factory it came from */
    int32_t top_level_index;      /* level index of the head node */
    int32_t element_count;        /* elements in the list */
    UniqSkiplistNode *top;        /* head node; null once the list is freed */
} UniqSkiplist;

/* Visits current, follows links[0] and stops at tail (not visited). */
typedef struct uniq_skiplist_iterator {
    volatile UniqSkiplistNode *current; /* next node to visit */
    volatile UniqSkiplistNode *tail;    /* stop node, not visited */
} UniqSkiplistIterator;

/* Sets up a factory of lists with up to max_level_count levels.  Pools
 * take min_alloc_elements_once nodes per batch on the top level (<= 0: 64,
 * capped at 1024), doubling every two levels downward; list records come
 * alloc_skiplist_once at a time (<= 0: 16384).  free_func may be null.
 * Returns 0, EINVAL (count < 1), E2BIG (count > 30), ENOMEM, or a pool's
 * error.  On failure everything built so far is released. */
KT_API int uniq_skiplist_init_ex2(
    UniqSkiplistFactory *factory, const int max_level_count,
    skiplist_compare_func compare_func, uniq_skiplist_free_func free_func,
    const int alloc_skiplist_once, const int min_alloc_elements_once,
    const int delay_free_seconds, const bool bidirection);

/* uniq_skiplist_init_ex2 without backward links. */
KT_API int uniq_skiplist_init_ex(UniqSkiplistFactory *factory,
                                 const int max_level_count,
                                 skiplist_compare_func compare_func,
                                 uniq_skiplist_free_func free_func,
                                 const int alloc_skiplist_once,
                                 const int min_alloc_elements_once,
                                 const int delay_free_seconds);

/* uniq_skiplist_init_ex2 with default batch sizes, no delayed release and
 * no backward links. */
KT_API int uniq_skiplist_init(UniqSkiplistFactory *factory,
                              const int max_level_count,
                              skiplist_compare_func compare_func,
                              uniq_skiplist_free_func free_func);

/* Releases the factory's pools, end node and pool array.  Call it after
 * every list was freed: the memory of lists still alive goes with the pools
 * and their data is not passed to free_func.  A second call does nothing. */
KT_API void uniq_skiplist_destroy(UniqSkiplistFactory *factory);

/* A new empty list with level_count levels (it grows later), or null with
 * errno EINVAL (level_count < 1), E2BIG (above the factory's maximum) or
 * ENOMEM.  Release it with uniq_skiplist_free. */
KT_API UniqSkiplist *uniq_skiplist_new(UniqSkiplistFactory *factory,
                                       const int level_count);

/* Passes every element to free_func (delay 0), returns the nodes, the head
 * and the record to the factory's pools.  sl must not be used afterwards;
 * a list whose head is already gone is left alone. */
KT_API void uniq_skiplist_free(UniqSkiplist *sl);

/* Links data (kept, not copied; not null) into the list.  Returns 0, EEXIST
 * when an equal element is present, EINVAL for a null data (logged), or
 * ENOMEM; on failure the list is unchanged. */
KT_API int uniq_skiplist_insert(UniqSkiplist *sl, void *data);

/* Unlinks deleted, found by uniq_skiplist_find_node_ex with its previous.
 * With need_free the factory's free_func gets the data with the factory's
 * delay.  If previous does not lead to deleted on every level the list is
 * left unchanged and the fault is logged. */
KT_API void uniq_skiplist_delete_node_ex(UniqSkiplist *sl,
                                         UniqSkiplistNode *previous,
                                         UniqSkiplistNode *deleted,
                                         const bool need_free);

/* uniq_skiplist_delete_node_ex with need_free true. */
KT_API void uniq_skiplist_delete_node(UniqSkiplist *sl,
                                      UniqSkiplistNode *previous,
                                      UniqSkiplistNode *deleted);

/* Removes the element equal to the probe data.  With need_free the
 * factory's free_func gets it with the factory's delay.  Returns 0, ENOENT
 * when absent, or EINVAL when the list proves inconsistent (logged). */
KT_API int uniq_skiplist_delete_ex(UniqSkiplist *sl, void *data,
                                   const bool need_free);

/* uniq_skiplist_delete_ex with need_free true. */
KT_API int uniq_skiplist_delete(UniqSkiplist *sl, void *data);

/* Stores data in place of the equal element; data must compare equal to
 * it.  With need_free_old the old pointer goes to free_func (factory's
 * delay) after the swap.  Returns 0 or ENOENT. */
KT_API int uniq_skiplist_replace_ex(UniqSkiplist *sl, void *data,
                                    const bool need_free_old);

/* uniq_skiplist_replace_ex with need_free_old true. */
KT_API int uniq_skiplist_replace(UniqSkiplist *sl, void *data);

/* The node equal to the probe data, or null.  *previous gets its
 * predecessor on the node's highest level (null when not found), for
 * uniq_skiplist_delete_node_ex. */
KT_API UniqSkiplistNode *uniq_skiplist_find_node_ex(
    UniqSkiplist *sl, void *data, UniqSkiplistNode **previous);

/* The node equal to the probe data, or null. */
KT_API UniqSkiplistNode *uniq_skiplist_find_node(UniqSkiplist *sl, void *data);

/* The stored data equal to the probe data, or null. */
KT_API void *uniq_skiplist_find(UniqSkiplist *sl, void *data);

/* Fills iterator with the one element equal to the probe data: 0, or
 * ENOENT with an empty iterator. */
KT_API int uniq_skiplist_find_all(UniqSkiplist *sl, void *data,
                                  UniqSkiplistIterator *iterator);

/* The first node not less than the probe data, or null when every element
 * is less. */
KT_API UniqSkiplistNode *uniq_skiplist_find_ge_node(UniqSkiplist *sl,
                                                    void *data);

/* Fills iterator with the elements in [start_data, end_data], both ends
 * included.  Returns 0, ENOENT (none; empty iterator) or EINVAL (start
 * after end; empty iterator). */
KT_API int uniq_skiplist_find_range(UniqSkiplist *sl, void *start_data,
                                    void *end_data,
                                    UniqSkiplistIterator *iterator);

/* Fills iterator with the whole list, first to last. */
KT_API void uniq_skiplist_iterator_init(UniqSkiplist *sl,
                                        UniqSkiplistIterator *iterator);

/* The data of the next element of a forward iterator (filled by
 * uniq_skiplist_iterator_init, find_all or find_range), or null at its end.
 * The list must not change while the iterator is in use. */
KT_API void *uniq_skiplist_iterator_next(UniqSkiplistIterator *iterator);

/* Fills iterator with the whole list from last to first, to be read with
 * uniq_skiplist_iterator_prev.  Returns 0, or EINVAL (iterator left empty)
 * when the factory has no backward links. */
KT_API int uniq_skiplist_reverse_iterator_init(UniqSkiplist *sl,
                                               UniqSkiplistIterator *iterator);

/* The data of the next element of a reverse iterator, or null at its end. */
KT_API void *uniq_skiplist_iterator_prev(UniqSkiplistIterator *iterator);

/* Number of elements. */
KT_API int uniq_skiplist_count(const UniqSkiplist *sl);

/* True when the list holds no element. */
KT_API bool uniq_skiplist_empty(const UniqSkiplist *sl);

/* The data of the smallest element, or null when empty. */
KT_API void *uniq_skiplist_get_first(UniqSkiplist *sl);

/* The data of the greatest element, or null when empty.  Constant time with
 * backward links, a walk of the top levels otherwise. */
KT_API void *uniq_skiplist_get_last(UniqSkiplist *sl);

KT_EXTERN_C_END

#endif
