/*
 * kite_mpool: a memory pool that carves many small allocations out of large
 * trunks by moving a free pointer forward.
 *
 * Single allocations are never given back; the owner empties the whole pool
 * at once with kite_mpool_reset (trunks kept for reuse) or
 * kite_mpool_destroy (trunks returned).  Memory handed out belongs to the
 * pool and stays valid until then.
 *
 * No alignment: a request takes exactly size bytes, so consecutive
 * allocations lie back to back and a pointer is aligned only if every size
 * before it in the same trunk kept it so.  Callers that store wider types
 * round their sizes up themselves (or copy through memcpy).
 *
 * Allocation is first fit over the trunks that still take requests; a trunk
 * whose remainder after an allocation is at most discard_size bytes leaves
 * that list.  A request of at least alloc_size_once bytes gets a trunk of
 * exactly its size.  Trunks come from the allocation wrapper (kt_memory.h).
 *
 * The pool takes no lock: one thread at a time, or the caller's lock.
 */
#ifndef KITE_KITE_MPOOL_H
#define KITE_KITE_MPOOL_H

#include <stdint.h>

#include "common_define.h"

/* What kite_mpool_init takes for a size argument of 0 or less: usable bytes
 * of a normal trunk, and the remainder at which a trunk leaves the free
 * list. */
#define KITE_MPOOL_DEFAULT_ALLOC_SIZE_ONCE (1024 * 1024)
#define KITE_MPOOL_DEFAULT_DISCARD_SIZE 64

KT_EXTERN_C_BEGIN

/* Header of one trunk, at the start of the trunk's memory; the usable bytes
 * follow it directly. */
struct kite_mpool_malloc {
    int32_t alloc_size;                    /* usable bytes */
    char *base_ptr;                        /* first usable byte */
    char *end_ptr;                         /* base_ptr + alloc_size */
    char *free_ptr;                        /* base_ptr <= free_ptr <= end_ptr */
    struct kite_mpool_malloc *malloc_next; /* list of all trunks */
    struct kite_mpool_malloc *free_next;   /* list of trunks with room */
};

/* The pool; owned by the caller, set up by kite_mpool_init. */
struct kite_mpool_man {
    struct kite_mpool_malloc *malloc_chain_head; /* all trunks, newest first */
    struct kite_mpool_malloc *free_chain_head;   /* trunks taking requests */
    int32_t alloc_size_once; /* usable bytes of a normal trunk */
    int32_t discard_size;    /* remainder at which a trunk leaves free list */
};

/* Counts of kite_mpool_stats.  The function of the same name hides the tag
 * in C++, where the record is named `struct kite_mpool_stats`. */
struct kite_mpool_stats {
    int64_t total_bytes;       /* usable bytes of all trunks */
    int64_t free_bytes;        /* bytes not handed out, in all trunks */
    int32_t total_trunk_count; /* trunks of the pool */
    int32_t free_trunk_count;  /* trunks still taking requests */
};

/* Sets an empty pool up.  alloc_size_once: usable bytes of a normal trunk,
 * 0 or less for 1 MiB; discard_size: 0 or less for 64.  Takes no memory.
 * Returns 0. */
KT_API int kite_mpool_init(struct kite_mpool_man *mpool,
                           const int alloc_size_once, const int discard_size);

/* Returns every trunk to the allocator.  The pool is left empty with its
 * sizes kept, ready for use again without kite_mpool_init. */
KT_API void kite_mpool_destroy(struct kite_mpool_man *mpool);

/* size bytes (unaligned, see above), valid until the next reset or destroy;
 * size 0 gives a valid pointer to no bytes.  Null when a new trunk cannot be
 * allocated (logged, errno ENOMEM) or size is negative (logged, errno
 * EINVAL); the pool is then unchanged. */
KT_API void *kite_mpool_alloc(struct kite_mpool_man *mpool, const int size);

/* A copy of len bytes of src in the pool (src may be null when len is 0).
 * Null on the failures of kite_mpool_alloc, logged as "alloc %d bytes from
 * mpool fail"; the pool is then unchanged. */
KT_API void *kite_mpool_memdup(struct kite_mpool_man *mpool, const void *src,
                               const int len);

/* Empties every trunk (everything handed out becomes invalid) and keeps
 * them all for reuse, oldest trunk first. */
KT_API void kite_mpool_reset(struct kite_mpool_man *mpool);

/* Fills *stats with the pool's byte and trunk counts. */
KT_API void kite_mpool_stats(struct kite_mpool_man *mpool,
                             struct kite_mpool_stats *stats);

/* Logs the statistics at info level, without prefix: "alloc_size_once: %d,
 * discard_size: %d, bytes: {total: %ld, free: %ld}, trunk_count: {total: %d,
 * free: %d}". */
KT_API void kite_mpool_log_stats(struct kite_mpool_man *mpool);

/* The out-of-line form behind the inline fast path below; the same as
 * kite_mpool_alloc. */
KT_API void *kite_mpool_alloc_slow(struct kite_mpool_man *mpool,
                                   const int size);

/* Inline fast path: when the head of the free list has room, the carve is a
 * pointer bump in the caller (and, if the trunk is then nearly full, a pop
 * of the head, which is what first fit would do).  A GNU inline definition:
 * only ever inlined, every other case and use goes to the library's own
 * definition, so behaviour is identical either way. */
#if defined(__GNUC__) && defined(__OPTIMIZE__) && \
    !defined(KITE_BUILDING_LIBRARY)
/* extern in C++ too: clang warns about gnu_inline without it. */
#define KITE_MPOOL_FAST extern inline __attribute__((gnu_inline))

KITE_MPOOL_FAST void *kite_mpool_alloc(struct kite_mpool_man *mpool,
                                       const int size)
{
    struct kite_mpool_malloc *trunk = mpool->free_chain_head;
    if (trunk != NULL) {
        char *ptr = trunk->free_ptr;
        int32_t avail = (int32_t)(trunk->end_ptr - ptr);
        /* Compared unsigned, a negative size goes to the slow path, which
         * refuses it. */
        if ((uint32_t)size <= (uint32_t)avail) {
            trunk->free_ptr = ptr + size;
            if (avail - size <= mpool->discard_size) {
                mpool->free_chain_head = trunk->free_next;
            }
            return ptr;
        }
    }
    return kite_mpool_alloc_slow(mpool, size);
}
#undef KITE_MPOOL_FAST
#endif

KT_EXTERN_C_END

#endif
