/*
 * skiplist_set: a self-contained ordered set of caller-owned data pointers
 * with unique keys under a caller-supplied comparison function.
 *
 * Each set owns its per-level node pools, its head node and its end node;
 * its number of levels is fixed at set-up.  Results are 0 or a positive
 * errno value; look-ups return a pointer or null.  The caller owns the set
 * record and the data; the set hands data to its release callback on delete
 * and at tear-down, and never frees it otherwise.  Nothing here locks: a set
 * is used by one thread at a time or under the caller's lock (insert uses a
 * scratch array inside the record).  The comparison function must be a
 * consistent total order and a stored element's key must not change.
 */
#ifndef KITE_SKIPLIST_SET_H
#define KITE_SKIPLIST_SET_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "kite_mblock.h"

/* Highest number of levels of a set. */
#define KITE_SKIPLIST_SET_MAX_LEVEL_COUNT 30

KT_EXTERN_C_BEGIN

#ifndef KT_SKIPLIST_COMPARE_FUNC_DEFINED
/* Set once skiplist_compare_func is declared (both skiplist headers do). */
#define KT_SKIPLIST_COMPARE_FUNC_DEFINED
/* Negative when a sorts before b, 0 when equal, positive after; the probe
 * or new element is always a. */
typedef int (*skiplist_compare_func)(const void *a, const void *b);
#endif

/* Release callback for an element's data. */
typedef void (*skiplist_free_func)(void *data);

/* A node: the element and its forward links, drawn from the level's pool. */
typedef struct skiplist_set_node {
    void *data; /* the caller's element; null in head and end node */
    /* links[i]: next node on level i, for i up to the node's level index
     * (which the node does not record). */
    struct skiplist_set_node *links[];
} SkiplistSetNode;

/* A skiplist set, owned by the caller; set up by skiplist_set_init. */
typedef struct skiplist_set {
    int32_t level_count;     /* 1 to KITE_SKIPLIST_SET_MAX_LEVEL_COUNT */
    int32_t top_level_index; /* level_count - 1 */
    skiplist_compare_func compare_func; /* orders the elements */
    skiplist_free_func free_func;       /* may be null */
    struct kite_mblock_man *mblocks;    /* level_count pools; null: no set */
    SkiplistSetNode *top;               /* head node */
    SkiplistSetNode *tail;              /* end node of every level, no data */
    SkiplistSetNode **tmp_previous;     /* insert's per-level predecessors */
} SkiplistSet;

/* Visits current, follows links[0] and stops at tail (not visited).
 * Fields in the opposite order to UniqSkiplistIterator. */
typedef struct skiplist_set_iterator {
    SkiplistSetNode *tail;    /* stop node, not visited */
    SkiplistSetNode *current; /* next node to visit */
} SkiplistSetIterator;

/* Sets up an empty set of level_count levels.  Pools take
 * min_alloc_elements_once nodes per batch on the top level (<= 0: 64,
 * capped at 1024), doubling every two levels downward.  free_func may be
 * null.  Returns 0, EINVAL (count < 1), E2BIG (count > 30), ENOMEM or a
 * pool's error; on failure everything built so far is released and mblocks
 * is null, so skiplist_set_destroy is harmless. */
KT_API int skiplist_set_init_ex(SkiplistSet *sl, const int level_count,
                                skiplist_compare_func compare_func,
                                skiplist_free_func free_func,
                                const int min_alloc_elements_once);

/* skiplist_set_init_ex with the default batch size. */
KT_API int skiplist_set_init(SkiplistSet *sl, const int level_count,
                             skiplist_compare_func compare_func,
                             skiplist_free_func free_func);

/* Passes every element to free_func (when set), releases all nodes, pools
 * and arrays and leaves null pointers and zero counts.  A second call does
 * nothing. */
KT_API void skiplist_set_destroy(SkiplistSet *sl);

/* Links data (kept, not copied; not null) into the set.  Returns 0, EEXIST
 * when an equal element is present, EINVAL for a null data (logged), or
 * ENOMEM; on failure the set is unchanged. */
KT_API int skiplist_set_insert(SkiplistSet *sl, void *data);

/* Removes the element equal to the probe data and passes it to free_func.
 * Returns 0, ENOENT when absent, or EINVAL when the set proves
 * inconsistent (logged; the set is left unchanged). */
KT_API int skiplist_set_delete(SkiplistSet *sl, void *data);

/* The stored data equal to the probe data, or null. */
KT_API void *skiplist_set_find(SkiplistSet *sl, void *data);

/* Fills iterator with the one element equal to the probe data: 0, or
 * ENOENT with an empty iterator. */
KT_API int skiplist_set_find_all(SkiplistSet *sl, void *data,
                                 SkiplistSetIterator *iterator);

/* Fills iterator with the elements in [start_data, end_data], both ends
 * included.  Returns 0, ENOENT (none; empty iterator) or EINVAL (start
 * after end; empty iterator). */
KT_API int skiplist_set_find_range(SkiplistSet *sl, void *start_data,
                                   void *end_data,
                                   SkiplistSetIterator *iterator);

/* The stored data of the first element not less than the probe data, or
 * null when every element is less. */
KT_API void *skiplist_set_find_ge(SkiplistSet *sl, void *data);

/* Fills iterator with the whole set, first to last. */
KT_API void skiplist_set_iterator_init(SkiplistSet *sl,
                                       SkiplistSetIterator *iterator);

/* The data of the iterator's next element, or null at its end.  The set
 * must not change while the iterator is in use. */
KT_API void *skiplist_set_iterator_next(SkiplistSetIterator *iterator);

/* Number of elements; the set keeps no count, so this walks level 0. */
KT_API int skiplist_set_count(const SkiplistSet *sl);

/* True when the set holds no element. */
KT_API bool skiplist_set_empty(const SkiplistSet *sl);

/* The data of the smallest element, or null when empty. */
KT_API void *skiplist_set_get_first(SkiplistSet *sl);

/* The data of the greatest element, or null when empty (a walk along the
 * top levels, logarithmic). */
KT_API void *skiplist_set_get_last(SkiplistSet *sl);

KT_EXTERN_C_END

#endif
