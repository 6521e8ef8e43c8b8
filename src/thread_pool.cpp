// thread_pool: worker threads started on demand, one work item per hand-off.
//
// The pool is an array of `limit` slots plus a LIFO free list of the slots
// without work.  A slot is in one of three states: free without a thread
// (inited false, on the free list), free with an idle thread (inited true,
// on the free list, the thread waiting on the slot's cond), or taken (off
// the free list, work stored or running).  kt_thread_pool_run unlinks a slot
// under pool.lock, then stores the work under the slot's lock and either
// signals the idle thread or starts one; the thread puts the slot back after
// the work.  So a slot is never handed to two callers at once, and the pool
// never holds more than one thread per slot.
//
// Locks: pool.lock guards the free list and `running`; a slot's lock guards
// its inited, tdata and callback.  The only nesting is slot lock then pool
// lock (the idle check).  `dealing` changes by atomic add and subtract
// outside any lock.  Every wait is a 2-second timed wait followed by a
// re-check, so a missed signal or a fallen continue flag costs at most that.
// A worker that has just finished, and a caller that finds no free slot,
// first watch for the hand-off for a few microseconds without the lock
// (freelist and callback.func are therefore read and written atomically),
// and a caller that takes a slot while others remain free passes the
// wake-up on to the next waiting caller.
//
// Behind the slot array, in the same allocation, sits a count of the
// threads that may still touch the pool.  It rises before a thread is
// created and falls as the very last act of the thread, after its exit line
// and the release of its extra data; kt_thread_pool_destroy releases memory
// only when it is zero.  Extra data lives in the thread's own variable (the
// slot's tdata mirrors it), so a retiring thread and the new thread of the
// same slot never act on each other's data.  A thread that finds work
// stored in its slot runs it even when the continue flag has fallen: run
// returned 0 for it, and accepted work is never dropped.
#include "thread_pool.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "kt_memory.h"
#include "logger.h"
#include "pthread_func.h"
#include "sched_thread.h"

namespace {

constexpr int kWaitSeconds = 2;
constexpr int kDestroyWaitMillis = 5000;
constexpr int kSpinPauses = 200;

struct PoolShared {
    std::atomic<int> alive;  // threads that may still touch the pool
};

PoolShared *shared_of(KTThreadPool *pool)
{
    return reinterpret_cast<PoolShared *>(pool->threads +
                                          pool->thread_counts.limit);
}

bool continue_flag(const KTThreadPool *pool)
{
    return __atomic_load_n(pool->pcontinue_flag, __ATOMIC_ACQUIRE);
}

int load_int(const volatile int32_t *value)
{
    return __atomic_load_n(value, __ATOMIC_ACQUIRE);
}

void store_int(volatile int32_t *value, int32_t v)
{
    __atomic_store_n(value, v, __ATOMIC_RELEASE);
}

int add_int(volatile int32_t *value, int32_t delta)
{
    return __atomic_add_fetch(value, delta, __ATOMIC_ACQ_REL);
}

// freelist and callback.func are written under their locks but also
// peeked at without them by the short spins below, so every access is
// atomic.
KTThreadInfo *load_freelist(KTThreadPool *pool)
{
    return __atomic_load_n(&pool->freelist, __ATOMIC_ACQUIRE);
}

void store_freelist(KTThreadPool *pool, KTThreadInfo *slot)
{
    __atomic_store_n(&pool->freelist, slot, __ATOMIC_RELEASE);
}

kt_thread_pool_callback load_func(KTThreadInfo *slot)
{
    return __atomic_load_n(&slot->callback.func, __ATOMIC_ACQUIRE);
}

void store_func(KTThreadInfo *slot, kt_thread_pool_callback func)
{
    __atomic_store_n(&slot->callback.func, func, __ATOMIC_RELEASE);
}

// Before going to sleep on a condition, a thread that expects company soon
// (a worker that has just finished, a caller waiting for a slot) watches
// for it for a moment (a few microseconds of pause instructions): a
// hand-off that lands meanwhile then costs no sleep and no wake-up.  The
// spin never yields: on a crowded machine a yielding thread waits behind
// every other runnable one, while a thread woken from a condition wait is
// scheduled promptly, so longer spins only make hand-offs slower there.
template <typename ReadyFn>
bool spin_until(ReadyFn ready)
{
    for (int i = 0; i < kSpinPauses; i++) {
        if (ready()) {
            return true;
        }
        __builtin_ia32_pause();
    }
    return ready();
}

// One timed wait with the module's deadline: now + 2 s, 0 ns.
void timed_wait(pthread_cond_t *cond, pthread_mutex_t *lock)
{
    struct timespec ts;
    ts.tv_sec = kt_get_current_time() + kWaitSeconds;
    ts.tv_nsec = 0;
    pthread_cond_timedwait(cond, lock, &ts);
}

// Thread side: the thread cannot give up on a lock (it would leave counts
// wrong), so a failure is logged and retried after a pause.
void lock_for_thread(pthread_mutex_t *lock)
{
    while (PTHREAD_MUTEX_LOCK_WARN(lock) != 0) {
        usleep(100 * 1000);
    }
}

void unlock_pool(pthread_mutex_t *lock)
{
    PTHREAD_MUTEX_UNLOCK_WARN(lock);
}

int init_pthread_lock_cond(pthread_mutex_t *lock, pthread_cond_t *cond)
{
    int result = init_pthread_lock(lock);
    if (result != 0) {
        logError("init_pthread_lock fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        return result;
    }
    result = pthread_cond_init(cond, nullptr);
    if (result != 0) {
        logError("pthread_cond_init fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        pthread_mutex_destroy(lock);
    }
    return result;
}

void destroy_slots(KTThreadPool *pool, int count)
{
    for (int i = 0; i < count; i++) {
        pthread_cond_destroy(&pool->threads[i].cond);
        pthread_mutex_destroy(&pool->threads[i].lock);
    }
}

// Allocates and zero-fills the slots (plus the shared tail) and sets up
// each slot's lock and condition; on failure nothing stays allocated.
int thread_pool_alloc_init(KTThreadPool *pool)
{
    int limit = pool->thread_counts.limit;
    size_t bytes = sizeof(KTThreadInfo) * limit + sizeof(PoolShared);
    pool->threads = static_cast<KTThreadInfo *>(kt_malloc(bytes));
    if (pool->threads == nullptr) {
        return ENOMEM;
    }
    memset(static_cast<void *>(pool->threads), 0, bytes);
    new (shared_of(pool)) PoolShared{};
    for (int i = 0; i < limit; i++) {
        KTThreadInfo *slot = pool->threads + i;
        slot->pool = pool;
        slot->index = i;
        int result = init_pthread_lock_cond(&slot->lock, &slot->cond);
        if (result != 0) {
            destroy_slots(pool, i);
            kt_free(pool->threads);
            pool->threads = nullptr;
            return result;
        }
    }
    return 0;
}

// Pushes a slot back on the free list and wakes one waiting caller when
// the list was empty; pool.lock must not be held.
void push_free(KTThreadPool *pool, KTThreadInfo *slot, bool from_thread)
{
    if (from_thread) {
        lock_for_thread(&pool->lock);
    } else if (PTHREAD_MUTEX_LOCK_WARN(&pool->lock) != 0) {
        return;  // the slot is lost to the pool; logged
    }
    bool was_empty = pool->freelist == nullptr;
    slot->next = pool->freelist;
    store_freelist(pool, slot);
    unlock_pool(&pool->lock);
    if (was_empty) {
        // After the unlock, so the woken caller does not block at once on
        // the lock still held here; waiters re-check under the lock.
        pthread_cond_signal(&pool->cond);
    }
}

void *thread_entrance(void *arg);

// Starts a thread for slot, counting it as alive first.
int start_thread(KTThreadPool *pool, KTThreadInfo *slot)
{
    shared_of(pool)->alive.fetch_add(1, std::memory_order_acq_rel);
    int result = kt_create_thread(&slot->tid, thread_entrance, slot,
                                  pool->stack_size);
    if (result != 0) {
        shared_of(pool)->alive.fetch_sub(1, std::memory_order_acq_rel);
    }
    return result;
}

// Thread start: mark the slot served and count the thread in.
void enter_thread(KTThreadInfo *slot, void *tdata)
{
    KTThreadPool *pool = slot->pool;
    lock_for_thread(&slot->lock);
    store_int(&slot->inited, 1);
    slot->tdata = tdata;
    unlock_pool(&slot->lock);

    lock_for_thread(&pool->lock);
    int running = add_int(&pool->thread_counts.running, 1);
    logDebug("thread pool: %s, index: %d start, running count: %d",
             pool->name, slot->index, running);
    unlock_pool(&pool->lock);
}

// Marks the slot as without thread; slot lock held.
void leave_slot(KTThreadInfo *slot, void *tdata)
{
    store_int(&slot->inited, 0);
    if (slot->tdata == tdata) {
        slot->tdata = nullptr;
    }
}

// The idle rule: after a wait without work, retire when idle too long and
// more than min_idle_count threads are idle.  Slot lock held; returns true
// with the slot left and *running_after set when the thread retires.
bool try_retire(KTThreadInfo *slot, void *tdata, time_t last_run_time,
               int *running_after)
{
    KTThreadPool *pool = slot->pool;
    if (pool->max_idle_time <= 0 ||
        kt_get_current_time() - last_run_time <= pool->max_idle_time) {
        return false;
    }
    bool retire = false;
    lock_for_thread(&pool->lock);
    int idle = load_int(&pool->thread_counts.running) -
               load_int(&pool->thread_counts.dealing);
    if (idle > pool->min_idle_count) {
        leave_slot(slot, tdata);
        *running_after = add_int(&pool->thread_counts.running, -1);
        retire = true;
    }
    unlock_pool(&pool->lock);
    return retire;
}

enum class Turn { kWork, kIdle, kStopped, kRetired };

using Work = decltype(KTThreadInfo::callback);

// One turn of the loop: takes the stored work, waiting once for it when
// there is none.  kIdle: nothing this time, go round again.
Turn next_turn(KTThreadInfo *slot, void *tdata, time_t last_run_time,
              bool just_worked, Work *work, int *running_after)
{
    if (just_worked) {
        spin_until([slot] { return load_func(slot) != nullptr; });
    }
    lock_for_thread(&slot->lock);
    if (slot->callback.func == nullptr && continue_flag(slot->pool)) {
        timed_wait(&slot->cond, &slot->lock);
    }
    Turn turn = Turn::kIdle;
    if (slot->callback.func != nullptr) {
        *work = slot->callback;
        store_func(slot, nullptr);
        turn = Turn::kWork;
    } else if (!continue_flag(slot->pool)) {
        leave_slot(slot, tdata);
        turn = Turn::kStopped;
    } else if (try_retire(slot, tdata, last_run_time, running_after)) {
        turn = Turn::kRetired;
    }
    unlock_pool(&slot->lock);
    return turn;
}

// Runs work items until the thread retires or the pool stops.
Turn work_loop(KTThreadInfo *slot, void *tdata, int *running_after)
{
    KTThreadPool *pool = slot->pool;
    time_t last_run_time = kt_get_current_time();
    bool just_worked = false;
    for (;;) {
        Work work{};
        Turn turn = next_turn(slot, tdata, last_run_time, just_worked, &work,
                             running_after);
        just_worked = false;
        if (turn == Turn::kIdle) {
            continue;
        }
        if (turn != Turn::kWork) {
            return turn;
        }
        add_int(&pool->thread_counts.dealing, 1);
        work.func(work.arg, tdata);
        last_run_time = kt_get_current_time();
        add_int(&pool->thread_counts.dealing, -1);
        push_free(pool, slot, true);
        just_worked = true;
    }
}

void *thread_entrance(void *arg)
{
    auto *slot = static_cast<KTThreadInfo *>(arg);
    KTThreadPool *pool = slot->pool;
    PoolShared *shared = shared_of(pool);
    KTThreadExtraDataCallbacks callbacks = pool->extra_data_callbacks;
    void *tdata = callbacks.alloc != nullptr ? callbacks.alloc() : nullptr;
    enter_thread(slot, tdata);

    int running_after = 0;
    Turn end = work_loop(slot, tdata, &running_after);
    if (callbacks.free != nullptr && tdata != nullptr) {
        callbacks.free(tdata);
        tdata = nullptr;
    }
    lock_for_thread(&pool->lock);
    if (end == Turn::kStopped) {
        running_after = add_int(&pool->thread_counts.running, -1);
    }
    logDebug("thread pool: %s, index: %d exit, running count: %d",
             pool->name, slot->index, running_after);
    unlock_pool(&pool->lock);
    // Last touch of the pool: after this the memory may be released.
    shared->alive.fetch_sub(1, std::memory_order_acq_rel);
    return nullptr;
}

// Unlinks the first free slot, or returns null; pool.lock held.
KTThreadInfo *unlink_free(KTThreadPool *pool)
{
    KTThreadInfo *slot = pool->freelist;
    if (slot != nullptr) {
        store_freelist(pool, slot->next);
        slot->next = nullptr;
        if (pool->freelist != nullptr) {
            // A slot pushed onto a non-empty list wakes nobody; pass the
            // wake-up on so another waiting caller takes the next one.
            pthread_cond_signal(&pool->cond);
        }
    }
    return slot;
}

// Takes a free slot into *out, waiting while none is free.  Returns 0,
// EINTR when the continue flag is false or falls, or the lock's error.
int take_free_slot(KTThreadPool *pool, KTThreadInfo **out)
{
    bool spun = false;
    for (;;) {
        int result = PTHREAD_MUTEX_LOCK_WARN(&pool->lock);
        if (result != 0) {
            return result;
        }
        for (;;) {
            if (!continue_flag(pool)) {
                result = EINTR;
                break;
            }
            if ((*out = unlink_free(pool)) != nullptr) {
                break;
            }
            if (!spun) {
                result = -1;  // watch for a slot outside the lock first
                break;
            }
            timed_wait(&pool->cond, &pool->lock);
        }
        unlock_pool(&pool->lock);
        if (result >= 0) {
            return result;
        }
        spin_until([pool] {
            return load_freelist(pool) != nullptr || !continue_flag(pool);
        });
        spun = true;
    }
}

// Wakes every idle thread so that a fallen continue flag is seen at once.
void wake_all(KTThreadPool *pool)
{
    for (int i = 0; i < pool->thread_counts.limit; i++) {
        KTThreadInfo *slot = pool->threads + i;
        if (PTHREAD_MUTEX_LOCK_WARN(&slot->lock) == 0) {
            pthread_cond_signal(&slot->cond);
            unlock_pool(&slot->lock);
        }
    }
    if (PTHREAD_MUTEX_LOCK_WARN(&pool->lock) == 0) {
        pthread_cond_broadcast(&pool->cond);
        unlock_pool(&pool->lock);
    }
}

bool wait_threads_ended(PoolShared *shared, int millis)
{
    for (int waited = 0; waited < millis; waited++) {
        if (shared->alive.load(std::memory_order_acquire) == 0) {
            return true;
        }
        usleep(1000);
    }
    return shared->alive.load(std::memory_order_acquire) == 0;
}

int start_initial_threads(KTThreadPool *pool)
{
    for (int i = 0; i < pool->min_idle_count; i++) {
        KTThreadInfo *slot = pool->threads + i;
        store_int(&slot->inited, 1);
        int result = start_thread(pool, slot);
        if (result != 0) {
            store_int(&slot->inited, 0);  // no thread serves it after all
            return result;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

KT_API int kt_thread_pool_init_ex(KTThreadPool *pool, const char *name,
                                  int limit, int stack_size,
                                  int max_idle_time, int min_idle_count,
                                  volatile bool *pcontinue_flag,
                                  KTThreadExtraDataCallbacks
                                      *extra_data_callbacks)
{
    pool->threads = nullptr;
    pool->freelist = nullptr;
    // A slot array shorter than one would not hold the free list built
    // below, and the first run would read past it.
    if (limit < 1 || name == nullptr || pcontinue_flag == nullptr) {
        logError("thread pool: %s, invalid argument, limit: %d (at least 1), "
                 "continue flag: %s", name != nullptr ? name : "(null)",
                 limit, pcontinue_flag != nullptr ? "given" : "null");
        return EINVAL;
    }
    int result = init_pthread_lock_cond(&pool->lock, &pool->cond);
    if (result != 0) {
        return result;
    }
    snprintf(pool->name, sizeof(pool->name), "%s", name);
    pool->thread_counts.running = 0;
    pool->thread_counts.dealing = 0;
    pool->stack_size = stack_size;
    pool->max_idle_time = max_idle_time;
    pool->min_idle_count = KT_MIN(min_idle_count, limit);
    pool->thread_counts.limit = limit;
    pool->pcontinue_flag = pcontinue_flag;
    pool->extra_data_callbacks.alloc = nullptr;
    pool->extra_data_callbacks.free = nullptr;
    if (extra_data_callbacks != nullptr) {
        pool->extra_data_callbacks = *extra_data_callbacks;
    }
    pool->freelist = nullptr;
    if ((result = thread_pool_alloc_init(pool)) != 0) {
        pthread_cond_destroy(&pool->cond);
        pthread_mutex_destroy(&pool->lock);
        return result;
    }
    for (int i = 0; i < limit - 1; i++) {
        pool->threads[i].next = pool->threads + i + 1;
    }
    pool->freelist = pool->threads;
    return start_initial_threads(pool);
}

KT_API int kt_thread_pool_init(KTThreadPool *pool, const char *name,
                               int limit, int stack_size, int max_idle_time,
                               int min_idle_count,
                               volatile bool *pcontinue_flag)
{
    return kt_thread_pool_init_ex(pool, name, limit, stack_size,
                                  max_idle_time, min_idle_count,
                                  pcontinue_flag, nullptr);
}

KT_API int kt_thread_pool_run(KTThreadPool *pool, kt_thread_pool_callback func,
                              void *arg)
{
    KTThreadInfo *slot = nullptr;
    int result = take_free_slot(pool, &slot);
    if (result != 0) {
        return result;
    }
    if ((result = PTHREAD_MUTEX_LOCK_WARN(&slot->lock)) != 0) {
        push_free(pool, slot, false);
        return result;
    }
    slot->callback.arg = arg;
    store_func(slot, func);
    bool idle_thread = load_int(&slot->inited) != 0;
    if (!idle_thread && (result = start_thread(pool, slot)) != 0) {
        store_func(slot, nullptr);
        slot->callback.arg = nullptr;
    }
    unlock_pool(&slot->lock);
    if (idle_thread) {
        // Signalled after the unlock so the thread does not wake only to
        // wait for the lock; it looks at callback.func under the lock, so
        // the work cannot be missed.
        pthread_cond_signal(&slot->cond);
    } else if (result != 0) {
        push_free(pool, slot, false);
    }
    return result;
}

KT_API void kt_thread_pool_destroy(KTThreadPool *pool)
{
    if (pool->threads == nullptr) {
        return;
    }
    PoolShared *shared = shared_of(pool);
    if (shared->alive.load(std::memory_order_acquire) > 0) {
        if (continue_flag(pool)) {
            logWarning("thread pool: %s, continue flag is still true and %d "
                       "threads are alive, nothing released", pool->name,
                       shared->alive.load());
            return;
        }
        wake_all(pool);
        if (!wait_threads_ended(shared, kDestroyWaitMillis)) {
            logWarning("thread pool: %s, %d threads have not ended after %d "
                       "ms, nothing released", pool->name,
                       shared->alive.load(), kDestroyWaitMillis);
            return;
        }
    }
    destroy_slots(pool, pool->thread_counts.limit);
    kt_free(pool->threads);
    pool->threads = nullptr;
    pool->freelist = nullptr;
    pthread_cond_destroy(&pool->cond);
    pthread_mutex_destroy(&pool->lock);
    pool->thread_counts.running = 0;
    pool->thread_counts.dealing = 0;
}

KT_API int kt_thread_pool_running_count(KTThreadPool *pool)
{
    return load_int(&pool->thread_counts.running);
}

KT_API int kt_thread_pool_dealing_count(KTThreadPool *pool)
{
    return load_int(&pool->thread_counts.dealing);
}

KT_API int kt_thread_pool_avail_count(KTThreadPool *pool)
{
    return pool->thread_counts.limit - load_int(&pool->thread_counts.dealing);
}

}  // extern "C"
