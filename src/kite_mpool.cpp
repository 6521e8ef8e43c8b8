// Memory pool.
//
// A trunk is one allocation: its kite_mpool_malloc header, then alloc_size
// usable bytes.  Every trunk is on the list of all trunks (newest first);
// the trunks that still take requests are also on the free list, which is a
// subset in no fixed relation to the other list's order.  A request walks
// the free list and takes exactly its size from the first trunk with room
// (no alignment, so small strings pack tightly); when the remainder is then
// at most discard_size the trunk leaves the free list, which keeps the walk
// short.  A trunk that left the free list keeps its stale free_next until a
// reset rebuilds the list from all trunks, oldest first.  A request of at
// least alloc_size_once bytes gets a trunk of exactly that size, which is
// full at once and so never joins the walk.
//
// Departure: a negative size (which would move free_ptr back over live
// allocations) is refused with EINVAL instead of carved.  Trunk sizes are
// computed in size_t, so header plus INT32_MAX usable bytes cannot wrap.
//
// No locks: the pool belongs to one thread at a time.
#include "kite_mpool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kt_memory.h"
#include "logger.h"

namespace {

using trunk_t = kite_mpool_malloc;

// Takes a trunk off the free list.  Its own free_next is left as it was.
void kite_mpool_remove_free_node(kite_mpool_man *mpool, trunk_t *trunk)
{
    trunk_t **link = &mpool->free_chain_head;
    while (*link != nullptr && *link != trunk) {
        link = &(*link)->free_next;
    }
    if (*link != nullptr) {
        *link = trunk->free_next;
    }
}

// Carves size bytes from one trunk, or returns null when it lacks room.
char *kite_mpool_do_alloc(kite_mpool_man *mpool, trunk_t *trunk, int size)
{
    if ((int32_t)(trunk->end_ptr - trunk->free_ptr) < size) {
        return nullptr;
    }
    char *ptr = trunk->free_ptr;
    trunk->free_ptr += size;
    if (trunk->end_ptr - trunk->free_ptr <= mpool->discard_size) {
        kite_mpool_remove_free_node(mpool, trunk);
    }
    return ptr;
}

// A new trunk of alloc_size usable bytes at the front of both lists, or
// null with the pool unchanged (the wrapper logged the failure).
trunk_t *kite_mpool_prealloc(kite_mpool_man *mpool, int alloc_size)
{
    size_t bytes = sizeof(trunk_t) + static_cast<size_t>(alloc_size);
    auto *trunk = static_cast<trunk_t *>(kt_malloc(bytes));
    if (trunk == nullptr) {
        return nullptr;
    }
    trunk->alloc_size = alloc_size;
    trunk->base_ptr = reinterpret_cast<char *>(trunk + 1);
    trunk->free_ptr = trunk->base_ptr;
    trunk->end_ptr = trunk->base_ptr + alloc_size;
    trunk->malloc_next = mpool->malloc_chain_head;
    mpool->malloc_chain_head = trunk;
    trunk->free_next = mpool->free_chain_head;
    mpool->free_chain_head = trunk;
    return trunk;
}

void *alloc(kite_mpool_man *mpool, int size)
{
    if (size < 0) {
        logError("invalid alloc size: %d, which < 0", size);
        errno = EINVAL;
        return nullptr;
    }
    for (trunk_t *trunk = mpool->free_chain_head; trunk != nullptr;
         trunk = trunk->free_next) {
        if (char *ptr = kite_mpool_do_alloc(mpool, trunk, size)) {
            return ptr;
        }
    }
    int alloc_size = std::max(size, static_cast<int>(mpool->alloc_size_once));
    trunk_t *trunk = kite_mpool_prealloc(mpool, alloc_size);
    if (trunk == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    return kite_mpool_do_alloc(mpool, trunk, size);
}

}  // namespace

extern "C" {

KT_API int kite_mpool_init(struct kite_mpool_man *mpool,
                           const int alloc_size_once, const int discard_size)
{
    mpool->malloc_chain_head = nullptr;
    mpool->free_chain_head = nullptr;
    mpool->alloc_size_once = alloc_size_once > 0
                                 ? alloc_size_once
                                 : KITE_MPOOL_DEFAULT_ALLOC_SIZE_ONCE;
    mpool->discard_size =
        discard_size > 0 ? discard_size : KITE_MPOOL_DEFAULT_DISCARD_SIZE;
    return 0;
}

KT_API void kite_mpool_destroy(struct kite_mpool_man *mpool)
{
    if (mpool->malloc_chain_head == nullptr) {
        return;
    }
    trunk_t *trunk = mpool->malloc_chain_head;
    while (trunk != nullptr) {
        trunk_t *next = trunk->malloc_next;
        kt_free(trunk);
        trunk = next;
    }
    mpool->malloc_chain_head = nullptr;
    mpool->free_chain_head = nullptr;
}

KT_API void *kite_mpool_alloc(struct kite_mpool_man *mpool, const int size)
{
    return alloc(mpool, size);
}

KT_API void *kite_mpool_alloc_slow(struct kite_mpool_man *mpool, const int size)
{
    return alloc(mpool, size);
}

KT_API void *kite_mpool_memdup(struct kite_mpool_man *mpool, const void *src,
                               const int len)
{
    void *dest = alloc(mpool, len);
    if (dest == nullptr) {
        int err = errno;
        logError("alloc %d bytes from mpool fail", len);
        errno = err;
        return nullptr;
    }
    if (len > 0) {
        memcpy(dest, src, len);
    }
    return dest;
}

KT_API void kite_mpool_reset(struct kite_mpool_man *mpool)
{
    // Pushing each trunk of the newest-first list onto the front of the
    // free list leaves the oldest trunk at its head.
    mpool->free_chain_head = nullptr;
    for (trunk_t *trunk = mpool->malloc_chain_head; trunk != nullptr;
         trunk = trunk->malloc_next) {
        trunk->free_ptr = trunk->base_ptr;
        trunk->free_next = mpool->free_chain_head;
        mpool->free_chain_head = trunk;
    }
}

KT_API void kite_mpool_stats(struct kite_mpool_man *mpool,
                             struct kite_mpool_stats *stats)
{
    memset(stats, 0, sizeof(*stats));
    for (trunk_t *trunk = mpool->malloc_chain_head; trunk != nullptr;
         trunk = trunk->malloc_next) {
        stats->total_bytes += trunk->alloc_size;
        stats->free_bytes += trunk->end_ptr - trunk->free_ptr;
        stats->total_trunk_count++;
    }
    for (trunk_t *trunk = mpool->free_chain_head; trunk != nullptr;
         trunk = trunk->free_next) {
        stats->free_trunk_count++;
    }
}

KT_API void kite_mpool_log_stats(struct kite_mpool_man *mpool)
{
    struct kite_mpool_stats stats;
    kite_mpool_stats(mpool, &stats);
    logInfo("alloc_size_once: %d, discard_size: %d, bytes: {total: %ld, "
            "free: %ld}, trunk_count: {total: %d, free: %d}",
            mpool->alloc_size_once, mpool->discard_size,
            (long)stats.total_bytes, (long)stats.free_bytes,
            stats.total_trunk_count, stats.free_trunk_count);
}

}  // extern "C"
