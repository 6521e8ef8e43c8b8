/*
 * kite_mblock: a pool of fixed-size elements.
 *
 * Elements are carved from trunks of alloc_elements_once elements and kept
 * on a free list; handing one out or taking it back is a pointer pop or push.
 * Each element sits behind a kite_mblock_node header and is aligned to 16
 * bytes.  The init function runs once per element, on zeroed memory, when its
 * trunk is made; a reused element is neither cleared nor initialised again.
 * An element freed with a delay is not handed out again before that many
 * seconds have passed, while other free elements are handed out at once.
 * kite_mblock_destroy releases every trunk, elements handed out included;
 * an optional release function (kite_mblock_set_release_func) first frees
 * whatever the init function attached to each element.
 *
 * With need_lock true every call takes the pool's mutex; with it false the
 * pool takes no lock and the caller serialises all calls.
 */
#ifndef KITE_KITE_MBLOCK_H
#define KITE_KITE_MBLOCK_H

#include <pthread.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "common_define.h"

/* Room for a pool's name with its NUL. */
#define KITE_MBLOCK_NAME_SIZE 64
/* Alignment of every element, in bytes. */
#define KITE_MBLOCK_ALIGNMENT 16

KT_EXTERN_C_BEGIN

struct kite_mblock_trunk;

/* The header in front of every element. */
struct kite_mblock_node {
    struct kite_mblock_node *next; /* next node of the chain it is on */
    int32_t offset;            /* bytes from the trunk's start to this node */
    int32_t recycle_timestamp; /* delayed free: not reused before this time */
    char data[];               /* the element, 16-byte aligned */
};

/* Called once per element, on zeroed memory, when its trunk is made; a
 * non-zero result fails the allocation that needed the trunk. */
typedef int (*kite_mblock_alloc_init_func)(void *element, void *args);

/* Undoes what the init function attached to one element (memory it hangs
 * from the element, for instance).  Runs on every element whose init
 * succeeded, handed out or not, when the pool is destroyed, and on the
 * elements already set up when an init fails part-way through a trunk. */
typedef void (*kite_mblock_element_release_func)(void *element, void *args);

/* Asked before a new trunk of alloc_bytes is made; false refuses it. */
typedef bool (*kite_mblock_trunk_check_func)(const int64_t alloc_bytes,
                                             void *args);
/* Told after a trunk is made (type KITE_MBLOCK_TRUNK_ALLOC) or released
 * (KITE_MBLOCK_TRUNK_FREE). */
typedef void (*kite_mblock_trunk_notify_func)(const int type,
                                              const int64_t alloc_bytes,
                                              void *args);
/* The type given to a trunk notify function. */
#define KITE_MBLOCK_TRUNK_ALLOC 1
#define KITE_MBLOCK_TRUNK_FREE 2

/* Counters of a pool, for statistics. */
typedef struct {
    int64_t element_total_count; /* elements carved from trunks */
    int64_t element_used_count;  /* handed out and not given back */
    int64_t delay_free_count;    /* given back, waiting out their delay */
    int64_t trunk_total_count;   /* trunks allocated */
    int64_t trunk_total_bytes;   /* bytes of those trunks */
} kite_mblock_stats;

/* A fixed-size object pool, owned by the caller. */
typedef struct kite_mblock_man {
    char name[KITE_MBLOCK_NAME_SIZE]; /* for log lines, NUL-terminated */
    int32_t element_size;             /* the caller's element size */
    int32_t node_size;            /* header + element, rounded to 16 bytes */
    int32_t alloc_elements_once;  /* elements per trunk */
    int64_t alloc_elements_limit; /* most elements ever carved; 0: none */
    kite_mblock_alloc_init_func init_func;      /* may be null */
    void *init_args;                            /* passed to init_func */
    kite_mblock_trunk_check_func trunk_check;   /* may be null */
    kite_mblock_trunk_notify_func trunk_notify; /* may be null */
    void *trunk_args;                    /* passed to both trunk callbacks */
    struct kite_mblock_node *free_chain; /* ready for reuse, LIFO */
    struct kite_mblock_node *delay_head; /* oldest recycle time first */
    struct kite_mblock_node *delay_tail; /* newest recycle time */
    struct kite_mblock_trunk *trunks;    /* every trunk, newest first */
    kite_mblock_stats stats; /* counters; read with kite_mblock_get_stats */
    bool need_lock;          /* calls take lock: threads may share it */
    pthread_mutex_t lock;    /* guards the chains and counters */
    kite_mblock_element_release_func release_func; /* null: none */
    void *release_args;                            /* passed to release_func */
} kite_mblock_man;

/* Sets the pool up; no memory is taken until the first allocation.
 * name may be null (empty name) and is cut at 63 bytes.  element_size must
 * be positive and small enough that a trunk of one element stays within
 * INT32_MAX bytes, alloc_elements_once positive (0 or less picks a trunk of
 * about 64 KiB), alloc_elements_limit 0 means no limit.  Returns 0, EINVAL
 * (logged), or the mutex's error when need_lock is true. */
KT_API int kite_mblock_init_ex2(
    kite_mblock_man *mblock, const char *name, const int element_size,
    const int alloc_elements_once, const int64_t alloc_elements_limit,
    kite_mblock_alloc_init_func init_func, void *init_args,
    const bool need_lock, kite_mblock_trunk_check_func trunk_check,
    kite_mblock_trunk_notify_func trunk_notify, void *trunk_args);

/* kite_mblock_init_ex2 without trunk callbacks. */
KT_API int kite_mblock_init_ex1(kite_mblock_man *mblock, const char *name,
                                const int element_size,
                                const int alloc_elements_once,
                                const int64_t alloc_elements_limit,
                                kite_mblock_alloc_init_func init_func,
                                void *init_args, const bool need_lock);

/* Unnamed pool without limit, init function or trunk callbacks. */
KT_API int kite_mblock_init(kite_mblock_man *mblock, const int element_size,
                            const int alloc_elements_once,
                            const bool need_lock);

/* Sets the element release function (null: none) and its argument; call it
 * after the init function and before the first allocation, since the init
 * functions clear the record. */
KT_API void kite_mblock_set_release_func(
    kite_mblock_man *mblock, kite_mblock_element_release_func release_func,
    void *release_args);

/* Runs the release function, if set, on every element, then releases every
 * trunk; the record is left zeroed and may be set up again.
 * Calling it on a zeroed or destroyed record does nothing. */
KT_API void kite_mblock_destroy(kite_mblock_man *mblock);

/* A free node, or null when memory, the limit or the trunk check refuse a
 * new trunk or the init function fails (logged). */
KT_API struct kite_mblock_node *kite_mblock_alloc(kite_mblock_man *mblock);

/* Gives a node back for immediate reuse. */
KT_API void kite_mblock_free(kite_mblock_man *mblock,
                             struct kite_mblock_node *node);

/* Gives a node back; it is not handed out again before delay seconds have
 * passed (0 or less: immediate reuse). */
KT_API void kite_mblock_delay_free(kite_mblock_man *mblock,
                                   struct kite_mblock_node *node,
                                   const int delay);

/* Element forms of the three calls above. */
KT_API void *kite_mblock_alloc_object(kite_mblock_man *mblock);
KT_API void kite_mblock_free_object(kite_mblock_man *mblock, void *object);
KT_API void kite_mblock_delay_free_object(kite_mblock_man *mblock, void *object,
                                          const int delay);

/* The node header of an element. */
static inline struct kite_mblock_node *kite_mblock_to_node_ptr(void *object)
{
    return (struct kite_mblock_node *)((char *)object -
                                       offsetof(struct kite_mblock_node, data));
}

/* Copies the counters under the pool's lock. */
KT_API void kite_mblock_get_stats(kite_mblock_man *mblock,
                                  kite_mblock_stats *stats);

/* Writes one info line: "mblock %s: element size: %d, elements total: %lld,
 * used: %lld, delay free: %lld, trunks: %lld, trunk bytes: %lld". */
KT_API void kite_mblock_log_stats(kite_mblock_man *mblock);

/* Out-of-line forms behind the inline fast paths below; the same as
 * kite_mblock_alloc and kite_mblock_free. */
KT_API struct kite_mblock_node *kite_mblock_alloc_slow(kite_mblock_man *mblock);
KT_API void kite_mblock_free_slow(kite_mblock_man *mblock,
                                  struct kite_mblock_node *node);

/* Inline fast paths.  For a pool without lock, handing out an element that
 * is on the free chain and taking one back are a few instructions; doing
 * them in the caller saves the call into the shared library.  These are GNU
 * inline definitions: they are only ever inlined, and every other use (and
 * every case they do not handle) goes to the library's own definition of
 * the same function, so behaviour is identical either way.  A pool record
 * never overlaps its own nodes; saying so (restrict) lets the compiler keep
 * the free chain's head in a register through a loop of frees. */
#if defined(__GNUC__) && defined(__OPTIMIZE__) && \
    !defined(KITE_BUILDING_LIBRARY)
/* extern in C++ too: clang warns about gnu_inline without it. */
#define KITE_MBLOCK_FAST extern inline __attribute__((gnu_inline))

KITE_MBLOCK_FAST struct kite_mblock_node *kite_mblock_alloc(
    kite_mblock_man *__restrict mblock)
{
    struct kite_mblock_node *node;
    /* A locked pool's chain may only be read under its lock. */
    if (__builtin_expect(
            mblock->need_lock || (node = mblock->free_chain) == NULL, 0)) {
        return kite_mblock_alloc_slow(mblock);
    }
    mblock->free_chain = node->next;
    mblock->stats.element_used_count++;
    return node;
}

KITE_MBLOCK_FAST void kite_mblock_free(kite_mblock_man *__restrict mblock,
                                       struct kite_mblock_node *__restrict node)
{
    if (__builtin_expect(mblock->need_lock, 0)) {
        kite_mblock_free_slow(mblock, node);
        return;
    }
    node->next = mblock->free_chain;
    mblock->free_chain = node;
    mblock->stats.element_used_count--;
}

KITE_MBLOCK_FAST void *kite_mblock_alloc_object(kite_mblock_man *mblock)
{
    struct kite_mblock_node *node = kite_mblock_alloc(mblock);
    return node != NULL ? node->data : NULL;
}

KITE_MBLOCK_FAST void kite_mblock_free_object(kite_mblock_man *mblock,
                                              void *object)
{
    kite_mblock_free(
        mblock,
        (struct kite_mblock_node *)((char *)object -
                                    offsetof(struct kite_mblock_node, data)));
}
#undef KITE_MBLOCK_FAST
#endif

KT_EXTERN_C_END

#endif
