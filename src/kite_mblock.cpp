// Object pool.
//
// Memory comes in trunks: one allocation holding a small header and then
// alloc_elements_once nodes of node_size bytes (header plus element, rounded
// up to 16 so every element is aligned for any record).  Elements only move
// between four places: the untouched tail of the newest trunk, handed out,
// the free chain (LIFO, so the most recently used and cache-warm element
// goes out first), or the delay chain, kept in order of recycle time, where
// an element waits out the delay its caller asked for.  Allocation pops the
// free chain; when it is empty, the next page or so of the newest trunk's
// tail is zeroed and chained in address order, then the delay chain's head
// is looked at, and a new trunk is made only when all three are empty, so
// only the newest trunk can have a tail.  That hands elements out in the
// order a free chain threaded through the whole trunk at once would, without
// a pass that writes every node before the first is used: each node is
// zeroed and its header set just before it goes out, while its lines are
// still in the cache.  The kernel is asked to map a new trunk's pages in one
// call rather than one fault per page.  A pool with an init or release
// function zeroes, initialises and chains the whole trunk when it is made
// instead, as those functions see every element.  Trunks are released only
// by destroy, oldest first, so the allocator merges them into one free
// block rather than trimming its heap once per trunk.  An optional release
// function undoes each element's init: at destroy on every element, and on
// the elements already set up when an init fails part-way through a new
// trunk (which then goes back whole).
//
// With need_lock every public call runs under the pool's mutex; without it
// the pool touches no lock at all.
#include "kite_mblock.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "kt_lock_guard.h"
#include "kt_memory.h"
#include "logger.h"
#include "pthread_func.h"

struct kite_mblock_trunk {
    struct kite_mblock_trunk *next;
    int64_t bytes;
    int64_t element_count;
    int64_t carved_count;  // nodes set up and chained so far; the rest of
                           // the trunk is its untouched tail
};

namespace {

constexpr int kTrunkHeaderSize = sizeof(kite_mblock_trunk);
constexpr int kDefaultTrunkBytes = 64 * 1024;
// Bytes of a trunk's tail zeroed and chained onto the free chain at a time:
// a page, still in the cache when its nodes are handed out.
constexpr int kCarveBytes = 4096;
static_assert(kTrunkHeaderSize % KITE_MBLOCK_ALIGNMENT == 0);
static_assert(offsetof(kite_mblock_node, data) % KITE_MBLOCK_ALIGNMENT == 0);

constexpr int64_t round_up(int64_t n, int64_t align)
{
    return (n + align - 1) / align * align;
}

// Locks the pool's mutex for the scope when the pool was set up with
// need_lock; a failed lock is logged and the call goes on, as the pool has
// no way to report it through a pointer result.
class PoolGuard {
 public:
    explicit PoolGuard(kite_mblock_man *mblock,
                       const char *file = __builtin_FILE(),
                       int line = __builtin_LINE())
    {
        if (mblock->need_lock) {
            guard_.emplace(&mblock->lock, KT_LOG_WARNING, file, line);
        }
    }

 private:
    std::optional<kite::lock_guard> guard_;
};

kite_mblock_node *node_at(kite_mblock_trunk *trunk, int64_t offset)
{
    return reinterpret_cast<kite_mblock_node *>(
        reinterpret_cast<char *>(trunk) + offset);
}

// How many elements the next trunk may hold, 0 when the limit is reached.
int64_t next_trunk_count(const kite_mblock_man *mblock)
{
    int64_t count = mblock->alloc_elements_once;
    if (mblock->alloc_elements_limit > 0) {
        int64_t left =
            mblock->alloc_elements_limit - mblock->stats.element_total_count;
        count = std::min(count, left);
    }
    return count > 0 ? count : 0;
}

// Runs the release function on the first count elements of a trunk.
void release_elements(kite_mblock_man *mblock, kite_mblock_trunk *trunk,
                      int64_t count)
{
    if (mblock->release_func == nullptr) {
        return;
    }
    for (int64_t i = 0; i < count; i++) {
        kite_mblock_node *node =
            node_at(trunk, kTrunkHeaderSize + i * mblock->node_size);
        mblock->release_func(node->data, mblock->release_args);
    }
}

// Zeroes the next count nodes of a trunk's untouched tail (count >= 1),
// sets their offsets and chains them in address order ahead of rest;
// returns the first.
kite_mblock_node *chain_next_nodes(const kite_mblock_man *mblock,
                                   kite_mblock_trunk *trunk, int64_t count,
                                   kite_mblock_node *rest)
{
    const int32_t node_size = mblock->node_size;
    int64_t offset = kTrunkHeaderSize + trunk->carved_count * node_size;
    trunk->carved_count += count;
    kite_mblock_node *first = node_at(trunk, offset);
    memset(first, 0, (size_t)(count * node_size));
    kite_mblock_node *node = first;
    for (int64_t i = 1; i < count; i++, offset += node_size) {
        node->offset = (int32_t)offset;
        node->next = node_at(trunk, offset + node_size);
        node = node->next;
    }
    node->offset = (int32_t)offset;
    node->next = rest;
    return first;
}

// Sets a fresh trunk up whole: every node zeroed and chained in address
// order onto the free chain, the init function run on every element.  When
// one init fails, the elements before it are released again and the free
// chain is left as it was, so the trunk can go back whole.
int fill_trunk(kite_mblock_man *mblock, kite_mblock_trunk *trunk)
{
    kite_mblock_node *first = chain_next_nodes(
        mblock, trunk, trunk->element_count, mblock->free_chain);
    const int64_t init_count =
        mblock->init_func != nullptr ? trunk->element_count : 0;
    for (int64_t i = 0; i < init_count; i++) {
        kite_mblock_node *node =
            node_at(trunk, kTrunkHeaderSize + i * mblock->node_size);
        int result = mblock->init_func(node->data, mblock->init_args);
        if (result != 0) {
            logError("mblock %s: init element fail, result: %d", mblock->name,
                     result);
            release_elements(mblock, trunk, i);
            return result;
        }
    }
    mblock->free_chain = first;
    return 0;
}

// Asks the kernel to map the whole pages of a fresh trunk in one call
// rather than one fault per page as its nodes are first written.  Only a
// hint: where it is not supported or fails, the pages fault in as usual.
void prefault_pages(void *start, int64_t bytes)
{
#ifdef MADV_POPULATE_WRITE
    static const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
    uintptr_t end = ((uintptr_t)start + bytes) & ~(page - 1);
    if (end > first) {
        madvise(reinterpret_cast<void *>(first), end - first,
                MADV_POPULATE_WRITE);
    }
#else
    (void)start;
    (void)bytes;
#endif
}

bool add_trunk(kite_mblock_man *mblock)
{
    int64_t count = next_trunk_count(mblock);
    if (count == 0) {
        logError("mblock %s: element limit %lld reached", mblock->name,
                 (long long)mblock->alloc_elements_limit);
        return false;
    }
    int64_t bytes = kTrunkHeaderSize + count * mblock->node_size;
    if (mblock->trunk_check != nullptr &&
        !mblock->trunk_check(bytes, mblock->trunk_args)) {
        return false;
    }
    // Zeroed memory is promised to the init function and to callers of a
    // fresh element; without an init or release function, which see every
    // element at once, each node is zeroed as it is carved.
    auto *trunk = static_cast<kite_mblock_trunk *>(kt_malloc(bytes));
    if (trunk == nullptr) {
        return false;
    }
    prefault_pages(trunk, bytes);
    trunk->bytes = bytes;
    trunk->element_count = count;
    trunk->carved_count = 0;
    bool eager =
        mblock->init_func != nullptr || mblock->release_func != nullptr;
    if (eager && fill_trunk(mblock, trunk) != 0) {
        kt_free(trunk);
        return false;
    }
    trunk->next = mblock->trunks;
    mblock->trunks = trunk;
    mblock->stats.element_total_count += count;
    mblock->stats.trunk_total_count++;
    mblock->stats.trunk_total_bytes += bytes;
    if (mblock->trunk_notify != nullptr) {
        mblock->trunk_notify(KITE_MBLOCK_TRUNK_ALLOC, bytes,
                             mblock->trunk_args);
    }
    return true;
}

// Takes the oldest delayed node if its time has come.
kite_mblock_node *take_recycled(kite_mblock_man *mblock)
{
    kite_mblock_node *node = mblock->delay_head;
    if (node == nullptr || node->recycle_timestamp > (int32_t)time(nullptr)) {
        return nullptr;
    }
    mblock->delay_head = node->next;
    if (mblock->delay_head == nullptr) {
        mblock->delay_tail = nullptr;
    }
    mblock->stats.delay_free_count--;
    return node;
}

// Keeps the delay chain ordered by recycle time.  Delays of one pool are
// nearly always equal, so the append at the tail is the usual case.
void insert_delayed(kite_mblock_man *mblock, kite_mblock_node *node)
{
    node->next = nullptr;
    if (mblock->delay_tail == nullptr) {
        mblock->delay_head = mblock->delay_tail = node;
        return;
    }
    if (mblock->delay_tail->recycle_timestamp <= node->recycle_timestamp) {
        mblock->delay_tail->next = node;
        mblock->delay_tail = node;
        return;
    }
    kite_mblock_node **link = &mblock->delay_head;
    while ((*link)->recycle_timestamp <= node->recycle_timestamp) {
        link = &(*link)->next;
    }
    node->next = *link;
    *link = node;
}

void push_free(kite_mblock_man *mblock, kite_mblock_node *node)
{
    node->next = mblock->free_chain;
    mblock->free_chain = node;
    mblock->stats.element_used_count--;
}

// Moves the next nodes of the newest trunk's untouched tail, about a page
// of them, onto the empty free chain in address order, zeroed and with
// their offsets set.  Returns false when that trunk has no tail left.
bool carve_tail(kite_mblock_man *mblock)
{
    kite_mblock_trunk *trunk = mblock->trunks;
    if (trunk == nullptr || trunk->carved_count == trunk->element_count) {
        return false;
    }
    int64_t count =
        std::min<int64_t>(trunk->element_count - trunk->carved_count,
                          std::max(1, kCarveBytes / mblock->node_size));
    mblock->free_chain = chain_next_nodes(mblock, trunk, count, nullptr);
    return true;
}

// The slow path of an allocation, taken when the free chain is empty: the
// newest trunk's tail, a delayed element whose time has come, else a new
// trunk.
__attribute__((noinline)) kite_mblock_node *alloc_slow(kite_mblock_man *mblock)
{
    kite_mblock_node *node = nullptr;
    if (!carve_tail(mblock) && (node = take_recycled(mblock)) == nullptr) {
        if (!add_trunk(mblock)) {
            return nullptr;
        }
        if (mblock->free_chain == nullptr) {  // not chained whole when made
            carve_tail(mblock);
        }
    }
    if (node == nullptr) {
        node = mblock->free_chain;
        mblock->free_chain = node->next;
    }
    return node;
}

inline kite_mblock_node *pop_node(kite_mblock_man *mblock)
{
    kite_mblock_node *node = mblock->free_chain;
    if (__builtin_expect(node != nullptr, 1)) {
        mblock->free_chain = node->next;
    } else if ((node = alloc_slow(mblock)) == nullptr) {
        return nullptr;
    }
    mblock->stats.element_used_count++;
    return node;
}

// The locked forms live out of line so the unlocked fast path needs no
// stack frame.
__attribute__((noinline)) kite_mblock_node *alloc_locked(
    kite_mblock_man *mblock)
{
    PoolGuard guard(mblock);
    return pop_node(mblock);
}

__attribute__((noinline)) void free_locked(kite_mblock_man *mblock,
                                           kite_mblock_node *node)
{
    PoolGuard guard(mblock);
    push_free(mblock, node);
}

inline kite_mblock_node *alloc_node(kite_mblock_man *mblock)
{
    if (__builtin_expect(mblock->need_lock, 0)) {
        return alloc_locked(mblock);
    }
    return pop_node(mblock);
}

inline void free_node(kite_mblock_man *mblock, kite_mblock_node *node)
{
    if (__builtin_expect(mblock->need_lock, 0)) {
        free_locked(mblock, node);
        return;
    }
    push_free(mblock, node);
}

void delay_free_node(kite_mblock_man *mblock, kite_mblock_node *node, int delay)
{
    if (delay <= 0) {
        free_node(mblock, node);
        return;
    }
    node->recycle_timestamp = (int32_t)(time(nullptr) + delay);
    PoolGuard guard(mblock);
    insert_delayed(mblock, node);
    mblock->stats.element_used_count--;
    mblock->stats.delay_free_count++;
}

}  // namespace

extern "C" {

KT_API int kite_mblock_init_ex2(
    kite_mblock_man *mblock, const char *name, const int element_size,
    const int alloc_elements_once, const int64_t alloc_elements_limit,
    kite_mblock_alloc_init_func init_func, void *init_args,
    const bool need_lock, kite_mblock_trunk_check_func trunk_check,
    kite_mblock_trunk_notify_func trunk_notify, void *trunk_args)
{
    memset(mblock, 0, sizeof(*mblock));
    snprintf(mblock->name, sizeof(mblock->name), "%s", name ? name : "");
    if (element_size <= 0 || alloc_elements_limit < 0) {
        logError("mblock %s: invalid element size: %d or limit: %lld",
                 mblock->name, element_size, (long long)alloc_elements_limit);
        return EINVAL;
    }
    int64_t node_size = round_up(
        offsetof(kite_mblock_node, data) + element_size, KITE_MBLOCK_ALIGNMENT);
    // Nodes are addressed by int32 offsets inside a trunk, so one trunk
    // must hold at least one node within INT32_MAX bytes.
    if (node_size > INT32_MAX - kTrunkHeaderSize) {
        logError("mblock %s: element size: %d is too large", mblock->name,
                 element_size);
        return EINVAL;
    }
    int64_t max_once = (INT32_MAX - kTrunkHeaderSize) / node_size;
    int64_t once = alloc_elements_once > 0 ? alloc_elements_once
                                           : kDefaultTrunkBytes / node_size;
    mblock->element_size = element_size;
    mblock->node_size = (int32_t)node_size;
    mblock->alloc_elements_once =
        (int32_t)std::max<int64_t>(1, std::min(once, max_once));
    mblock->alloc_elements_limit = alloc_elements_limit;
    mblock->init_func = init_func;
    mblock->init_args = init_args;
    mblock->trunk_check = trunk_check;
    mblock->trunk_notify = trunk_notify;
    mblock->trunk_args = trunk_args;
    if (need_lock) {
        int result = init_pthread_lock(&mblock->lock);
        if (result != 0) {
            return result;
        }
        mblock->need_lock = true;
    }
    return 0;
}

KT_API int kite_mblock_init_ex1(kite_mblock_man *mblock, const char *name,
                                const int element_size,
                                const int alloc_elements_once,
                                const int64_t alloc_elements_limit,
                                kite_mblock_alloc_init_func init_func,
                                void *init_args, const bool need_lock)
{
    return kite_mblock_init_ex2(mblock, name, element_size, alloc_elements_once,
                                alloc_elements_limit, init_func, init_args,
                                need_lock, nullptr, nullptr, nullptr);
}

KT_API int kite_mblock_init(kite_mblock_man *mblock, const int element_size,
                            const int alloc_elements_once, const bool need_lock)
{
    return kite_mblock_init_ex1(mblock, nullptr, element_size,
                                alloc_elements_once, 0, nullptr, nullptr,
                                need_lock);
}

KT_API void kite_mblock_set_release_func(
    kite_mblock_man *mblock, kite_mblock_element_release_func release_func,
    void *release_args)
{
    mblock->release_func = release_func;
    mblock->release_args = release_args;
}

KT_API void kite_mblock_destroy(kite_mblock_man *mblock)
{
    // Oldest first: in address order the allocator merges the trunks into
    // one free block instead of trimming its heap once per trunk.
    kite_mblock_trunk *trunk = nullptr;
    while (mblock->trunks != nullptr) {
        kite_mblock_trunk *next = mblock->trunks->next;
        mblock->trunks->next = trunk;
        trunk = mblock->trunks;
        mblock->trunks = next;
    }
    while (trunk != nullptr) {
        kite_mblock_trunk *next = trunk->next;
        int64_t bytes = trunk->bytes;
        // A tail never carved was never set up (nor zeroed) either.
        release_elements(mblock, trunk, trunk->carved_count);
        kt_free(trunk);
        if (mblock->trunk_notify != nullptr) {
            mblock->trunk_notify(KITE_MBLOCK_TRUNK_FREE, bytes,
                                 mblock->trunk_args);
        }
        trunk = next;
    }
    if (mblock->need_lock) {
        pthread_mutex_destroy(&mblock->lock);
    }
    memset(mblock, 0, sizeof(*mblock));
}

KT_API struct kite_mblock_node *kite_mblock_alloc(kite_mblock_man *mblock)
{
    return alloc_node(mblock);
}

KT_API struct kite_mblock_node *kite_mblock_alloc_slow(kite_mblock_man *mblock)
{
    return alloc_node(mblock);
}

KT_API void kite_mblock_free_slow(kite_mblock_man *mblock,
                                  struct kite_mblock_node *node)
{
    free_node(mblock, node);
}

KT_API void kite_mblock_free(kite_mblock_man *mblock,
                             struct kite_mblock_node *node)
{
    free_node(mblock, node);
}

KT_API void kite_mblock_delay_free(kite_mblock_man *mblock,
                                   struct kite_mblock_node *node,
                                   const int delay)
{
    delay_free_node(mblock, node, delay);
}

KT_API void *kite_mblock_alloc_object(kite_mblock_man *mblock)
{
    kite_mblock_node *node = alloc_node(mblock);
    return node != nullptr ? node->data : nullptr;
}

KT_API void kite_mblock_free_object(kite_mblock_man *mblock, void *object)
{
    free_node(mblock, kite_mblock_to_node_ptr(object));
}

KT_API void kite_mblock_delay_free_object(kite_mblock_man *mblock, void *object,
                                          const int delay)
{
    delay_free_node(mblock, kite_mblock_to_node_ptr(object), delay);
}

KT_API void kite_mblock_get_stats(kite_mblock_man *mblock,
                                  kite_mblock_stats *stats)
{
    PoolGuard guard(mblock);
    *stats = mblock->stats;
}

KT_API void kite_mblock_log_stats(kite_mblock_man *mblock)
{
    kite_mblock_stats stats;
    kite_mblock_get_stats(mblock, &stats);
    logInfo(
        "mblock %s: element size: %d, elements total: %lld, used: %lld, "
        "delay free: %lld, trunks: %lld, trunk bytes: %lld",
        mblock->name, mblock->element_size,
        (long long)stats.element_total_count,
        (long long)stats.element_used_count, (long long)stats.delay_free_count,
        (long long)stats.trunk_total_count, (long long)stats.trunk_total_bytes);
}

}  // extern "C"
