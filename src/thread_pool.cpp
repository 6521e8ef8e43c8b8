// thread_pool: worker threads started on demand, one work item per hand-off,
// with an optional bounded backlog.
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
// The backlog (off unless kt_thread_pool_set_backlog sizes it) is a ring of
// work items guarded by pool.lock.  run queues an item only when no slot is
// free, and a thread that finishes an item takes the next queued one before
// it returns its slot, so while items are queued the free list is empty and
// every slot is taken by a thread that will drain them.  A caller that finds
// the backlog full waits, and is woken when it has drained to half: one
// wake-up per half backlog instead of one per item.  Queued items are
// accepted work: they run even after the continue flag has fallen.
//
// Locks: pool.lock guards the free list, `running` and the backlog; a slot's
// lock guards its inited, tdata and callback.  The only nesting is slot lock
// then pool lock (the idle check).  `dealing` changes by atomic add and
// subtract outside any lock.  Every wait of the threads and of run is a
// 2-second timed wait followed by a re-check, so a missed signal or a fallen
// continue flag costs at most that.  A worker that has just finished, and a
// caller that finds no free slot, first watch for the hand-off for a few
// microseconds without the lock (freelist, callback.func and the backlog
// count are therefore read and written atomically), and a caller that takes
// a slot while others remain free passes the wake-up on to the next waiting
// caller.  Fields the public record declares volatile, and those peeked at
// without their lock, are accessed through std::atomic_ref only.
//
// Behind the slot array, in the same allocation, sits the pool's private
// state: a count of the threads that may still touch the pool, the count
// of accepted items not yet finished (for kt_thread_pool_wait_done) and the
// backlog.  The thread count rises before a thread is created and falls as
// the very last act of the thread, after its exit line and the release of
// its extra data; kt_thread_pool_destroy releases memory only when it is
// zero.  Extra data lives in the thread's own variable (the slot's tdata
// mirrors it), so a retiring thread and the new thread of the same slot
// never act on each other's data.  A thread that finds work stored in its
// slot runs it even when the continue flag has fallen: run returned 0 for
// it, and accepted work is never dropped.
#include "thread_pool.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "kt_lock_guard.h"
#include "kt_memory.h"
#include "logger.h"
#include "pthread_func.h"
#include "sched_thread.h"

namespace {

constexpr int kWaitSeconds = 2;
constexpr int kDestroyWaitMillis = 5000;
constexpr int kSpinPauses = 200;
// How long a thread that has drained the backlog watches it.
constexpr int kBacklogSpinPauses = 200;

using Work = decltype(KTThreadInfo::callback);

// The ring of queued work items; guarded by pool.lock, count also read
// without it by the spins.
struct Backlog {
    Work *items;
    int capacity;  // 0: no backlog
    int head;      // index of the oldest item
    std::atomic<int> count;
};

struct PoolShared {
    std::atomic<int> alive;  // threads that may still touch the pool
    // Accepted items that have not finished: changed under pool.lock only,
    // read without it by kt_thread_pool_wait_done's first look.
    std::atomic<int64_t> pending;
    int done_waiters;          // callers inside kt_thread_pool_wait_done
    pthread_cond_t done_cond;  // they wait on it, with pool.lock
    Backlog backlog;
};

PoolShared *shared_of(KTThreadPool *pool)
{
    return reinterpret_cast<PoolShared *>(pool->threads +
                                          pool->thread_counts.limit);
}

// Every field the record declares volatile, or that is peeked at without
// its lock, is reached through one of these.
template <typename T>
std::atomic_ref<T> atomic_of(volatile T &field)
{
    return std::atomic_ref<T>(const_cast<T &>(field));
}

template <typename T>
std::atomic_ref<T> atomic_of(T &field)
{
    return std::atomic_ref<T>(field);
}

bool continue_flag(const KTThreadPool *pool)
{
    return atomic_of(*pool->pcontinue_flag).load(std::memory_order_acquire);
}

int load_int(volatile int32_t &value)
{
    return atomic_of(value).load(std::memory_order_acquire);
}

int add_int(volatile int32_t &value, int32_t delta)
{
    return atomic_of(value).fetch_add(delta, std::memory_order_acq_rel) + delta;
}

KTThreadInfo *load_freelist(KTThreadPool *pool)
{
    return atomic_of(pool->freelist).load(std::memory_order_acquire);
}

void store_freelist(KTThreadPool *pool, KTThreadInfo *slot)
{
    atomic_of(pool->freelist).store(slot, std::memory_order_release);
}

kt_thread_pool_callback load_func(KTThreadInfo *slot)
{
    return atomic_of(slot->callback.func).load(std::memory_order_acquire);
}

void store_func(KTThreadInfo *slot, kt_thread_pool_callback func)
{
    atomic_of(slot->callback.func).store(func, std::memory_order_release);
}

// The lock and condition of the pool and of each slot are laid out as the
// shared pair record, so they are set up and torn down as one pair.
static_assert(offsetof(KTThreadPool, cond) - offsetof(KTThreadPool, lock) ==
              offsetof(pthread_lock_cond_pair_t, cond));
static_assert(offsetof(KTThreadInfo, cond) - offsetof(KTThreadInfo, lock) ==
              offsetof(pthread_lock_cond_pair_t, cond));

template <typename Record>
pthread_lock_cond_pair_t *pair_of(Record *record)
{
    return reinterpret_cast<pthread_lock_cond_pair_t *>(&record->lock);
}

// Thread side: the thread cannot give up on a lock (it would leave counts
// wrong), so a failure is logged and retried after a pause; fn runs with
// the lock held.
template <typename Fn>
auto under_lock(pthread_mutex_t *lock, Fn fn)
{
    for (;;) {
        kite::lock_guard guard(lock, KT_LOG_WARNING);
        if (guard.ok()) {
            return fn();
        }
        guard.unlock();
        usleep(100 * 1000);
    }
}

// Before going to sleep on a condition, a thread that expects company soon
// (a worker that has just finished, a caller waiting for a slot) watches
// for it for a moment (a few microseconds of pause instructions): a
// hand-off that lands meanwhile then costs no sleep and no wake-up.  The
// spin never yields: on a crowded machine a yielding thread waits behind
// every other runnable one, while a thread woken from a condition wait is
// scheduled promptly, so longer spins only make hand-offs slower there.
template <typename ReadyFn>
bool spin_until(ReadyFn ready, int pauses = kSpinPauses)
{
    for (int i = 0; i < pauses; i++) {
        if (ready()) {
            return true;
        }
        kite::cpu_relax();
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

// A lock and condition of the pool or of a slot.  The messages name the
// step that failed, which callers of the pool match on, so this is not the
// shared lock-and-condition helper; like it, a failed condition releases
// the mutex again.
int init_pthread_lock_cond(pthread_lock_cond_pair_t *pair)
{
    int result = init_pthread_lock(&pair->lock);
    if (result != 0) {
        logError("init_pthread_lock fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        return result;
    }
    if ((result = pthread_cond_init(&pair->cond, nullptr)) != 0) {
        logError("pthread_cond_init fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        pthread_mutex_destroy(&pair->lock);
    }
    return result;
}

void destroy_slots(KTThreadPool *pool, int count)
{
    for (int i = 0; i < count; i++) {
        destroy_pthread_lock_cond_pair(pair_of(pool->threads + i));
    }
}

// The condition of kt_thread_pool_wait_done runs on the monotonic clock,
// so its time-out is not moved by changes of the wall clock.
int init_done_cond(pthread_cond_t *cond)
{
    pthread_condattr_t attr;
    int result = pthread_condattr_init(&attr);
    if (result == 0) {
        result = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (result == 0) {
            result = pthread_cond_init(cond, &attr);
        }
        pthread_condattr_destroy(&attr);
    }
    if (result != 0) {
        logError("pthread_cond_init fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
    }
    return result;
}

// Allocates and zero-fills the slots (plus the private tail) and sets up
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
    PoolShared *shared = new (shared_of(pool)) PoolShared{};
    int result = init_done_cond(&shared->done_cond);
    int inited = 0;
    for (; result == 0 && inited < limit; inited++) {
        KTThreadInfo *slot = pool->threads + inited;
        slot->pool = pool;
        slot->index = inited;
        if ((result = init_pthread_lock_cond(pair_of(slot))) != 0) {
            destroy_slots(pool, inited);
            pthread_cond_destroy(&shared->done_cond);
        }
    }
    if (result != 0) {
        kt_free(pool->threads);
        pool->threads = nullptr;
    }
    return result;
}

// Counts an accepted item as finished (pool.lock held); the last one wakes
// the callers of kt_thread_pool_wait_done.  Done under the lock that the
// thread takes next anyway, so the count costs no extra contended access.
void finish_item_locked(KTThreadPool *pool)
{
    PoolShared *shared = shared_of(pool);
    if (shared->pending.fetch_sub(1, std::memory_order_release) == 1 &&
        shared->done_waiters > 0) {
        pthread_cond_broadcast(&shared->done_cond);
    }
}

void finish_item(KTThreadPool *pool)
{
    under_lock(&pool->lock, [&] {
        finish_item_locked(pool);
        return 0;
    });
}

// Takes the oldest queued item into *work; pool.lock held.  Wakes the
// callers waiting for room when the backlog drains to half.
bool pop_backlog(KTThreadPool *pool, Work *work)
{
    Backlog &backlog = shared_of(pool)->backlog;
    int count = backlog.count.load(std::memory_order_relaxed);
    if (count == 0) {
        return false;
    }
    *work = backlog.items[backlog.head];
    backlog.head = backlog.head + 1 == backlog.capacity ? 0 : backlog.head + 1;
    backlog.count.store(count - 1, std::memory_order_release);
    if (count - 1 == backlog.capacity / 2) {
        pthread_cond_broadcast(&pool->cond);
    }
    return true;
}

// Queues an item when the backlog has room; pool.lock held.
bool push_backlog(KTThreadPool *pool, kt_thread_pool_callback func, void *arg)
{
    Backlog &backlog = shared_of(pool)->backlog;
    int count = backlog.count.load(std::memory_order_relaxed);
    if (count >= backlog.capacity) {
        return false;
    }
    int tail = backlog.head + count;
    if (tail >= backlog.capacity) {
        tail -= backlog.capacity;
    }
    backlog.items[tail].func = func;
    backlog.items[tail].arg = arg;
    backlog.count.store(count + 1, std::memory_order_release);
    return true;
}

// Pushes a slot on the free list (pool.lock held); true when the list was
// empty, so that one waiting caller is to be woken.
bool link_free(KTThreadPool *pool, KTThreadInfo *slot)
{
    bool was_empty = pool->freelist == nullptr;
    slot->next = pool->freelist;
    store_freelist(pool, slot);
    return was_empty;
}

// A thread that has finished an item counts it finished and takes the next
// queued one into *work or, with none queued, returns its slot to the free
// list.  With a backlog
// it first watches the queue for a moment with its slot still taken, so a
// caller meanwhile queues the next item (one short lock) instead of handing
// it over through the slot (two locks and a signal).
bool next_queued_or_free(KTThreadPool *pool, KTThreadInfo *slot, Work *work)
{
    Backlog &backlog = shared_of(pool)->backlog;
    bool wake = false;
    bool spun = false;
    bool finished = false;
    int queued;
    while ((queued = under_lock(&pool->lock, [&] {
                if (!finished) {
                    finish_item_locked(pool);
                    finished = true;
                }
                if (pop_backlog(pool, work)) {
                    return 1;
                }
                // Only while every other slot is taken would a caller
                // queue its next item; with a free slot it hands it over
                // there, and this thread had better return its own slot
                // (the free list's head) at once.
                if (backlog.capacity > 0 && !spun &&
                    pool->freelist == nullptr) {
                    return -1;
                }
                wake = link_free(pool, slot);
                return 0;
            })) < 0) {
        spin_until(
            [&backlog] {
                return backlog.count.load(std::memory_order_relaxed) > 0;
            },
            kBacklogSpinPauses);
        spun = true;
    }
    if (wake) {
        // After the unlock, so the woken caller does not block at once on
        // the lock still held here; waiters re-check under the lock.
        pthread_cond_signal(&pool->cond);
    }
    return queued > 0;
}

void *thread_entrance(void *arg);

// Starts a thread for slot, counting it as alive first.
int start_thread(KTThreadPool *pool, KTThreadInfo *slot)
{
    shared_of(pool)->alive.fetch_add(1, std::memory_order_acq_rel);
    int result =
        kt_create_thread(&slot->tid, thread_entrance, slot, pool->stack_size);
    if (result != 0) {
        shared_of(pool)->alive.fetch_sub(1, std::memory_order_acq_rel);
    }
    return result;
}

// Thread start: mark the slot served and count the thread in.
void enter_thread(KTThreadInfo *slot, void *tdata)
{
    KTThreadPool *pool = slot->pool;
    under_lock(&slot->lock, [&] {
        atomic_of(slot->inited).store(1, std::memory_order_release);
        slot->tdata = tdata;
        return 0;
    });
    under_lock(&pool->lock, [&] {
        int running = add_int(pool->thread_counts.running, 1);
        logDebug("thread pool: %s, index: %d start, running count: %d",
                 pool->name, slot->index, running);
        return 0;
    });
}

// Marks the slot as without thread; slot lock held.
void leave_slot(KTThreadInfo *slot, void *tdata)
{
    atomic_of(slot->inited).store(0, std::memory_order_release);
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
    return under_lock(&pool->lock, [&] {
        int idle = load_int(pool->thread_counts.running) -
                   load_int(pool->thread_counts.dealing);
        if (idle <= pool->min_idle_count) {
            return false;
        }
        leave_slot(slot, tdata);
        *running_after = add_int(pool->thread_counts.running, -1);
        return true;
    });
}

enum class Turn { kWork, kIdle, kStopped, kRetired };

// One turn of the loop: takes the stored work, waiting once for it when
// there is none.  kIdle: nothing this time, go round again.
Turn next_turn(KTThreadInfo *slot, void *tdata, time_t last_run_time,
               bool just_worked, Work *work, int *running_after)
{
    if (just_worked) {
        spin_until([slot] { return load_func(slot) != nullptr; });
    }
    return under_lock(&slot->lock, [&] {
        if (slot->callback.func == nullptr && continue_flag(slot->pool)) {
            timed_wait(&slot->cond, &slot->lock);
        }
        if (slot->callback.func != nullptr) {
            *work = slot->callback;
            store_func(slot, nullptr);
            return Turn::kWork;
        }
        if (!continue_flag(slot->pool)) {
            leave_slot(slot, tdata);
            return Turn::kStopped;
        }
        if (try_retire(slot, tdata, last_run_time, running_after)) {
            return Turn::kRetired;
        }
        return Turn::kIdle;
    });
}

// Runs work items until the thread retires or the pool stops: the item
// handed to the slot, then queued items until the backlog is empty.
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
        do {
            add_int(pool->thread_counts.dealing, 1);
            work.func(work.arg, tdata);
            add_int(pool->thread_counts.dealing, -1);
        } while (next_queued_or_free(pool, slot, &work));
        // Read once the items stop coming rather than after each one: the
        // clock is only looked at after the next wait.
        last_run_time = kt_get_current_time();
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
    under_lock(&pool->lock, [&] {
        if (end == Turn::kStopped) {
            running_after = add_int(pool->thread_counts.running, -1);
        }
        logDebug("thread pool: %s, index: %d exit, running count: %d",
                 pool->name, slot->index, running_after);
        return 0;
    });
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

// What take_free_slot found: a slot, or the item was queued, or an error
// number (EINTR, the lock's error), or nothing yet.
enum { kTookSlot = 0, kQueued = -2, kSpin = -1 };

// One look under pool.lock: a free slot into *out, else room in the
// backlog, else (after the first spin) a wait.  Counts the item accepted.
int try_take(KTThreadPool *pool, kt_thread_pool_callback func, void *arg,
             bool spun, KTThreadInfo **out)
{
    kite::lock_guard guard(&pool->lock, KT_LOG_WARNING);
    if (!guard.ok()) {
        return guard.error();
    }
    for (;;) {
        if (!continue_flag(pool)) {
            return EINTR;
        }
        if ((*out = unlink_free(pool)) != nullptr) {
            shared_of(pool)->pending.fetch_add(1, std::memory_order_relaxed);
            return kTookSlot;
        }
        if (push_backlog(pool, func, arg)) {
            shared_of(pool)->pending.fetch_add(1, std::memory_order_relaxed);
            return kQueued;
        }
        if (!spun) {
            return kSpin;  // watch for a slot outside the lock first
        }
        timed_wait(&pool->cond, &pool->lock);
    }
}

// Takes a free slot into *out or queues the item, waiting while neither
// can be done.  Returns kTookSlot, kQueued, EINTR when the continue flag
// is false or falls, or the lock's error.
int take_free_slot(KTThreadPool *pool, kt_thread_pool_callback func, void *arg,
                   KTThreadInfo **out)
{
    bool spun = false;
    for (;;) {
        int result = try_take(pool, func, arg, spun, out);
        if (result != kSpin) {
            return result;
        }
        spin_until([pool] {
            return load_freelist(pool) != nullptr || !continue_flag(pool);
        });
        spun = true;
    }
}

// Wakes every idle thread and waiting caller so that a fallen continue
// flag is seen at once.
void wake_all(KTThreadPool *pool)
{
    for (int i = 0; i < pool->thread_counts.limit; i++) {
        KTThreadInfo *slot = pool->threads + i;
        kite::lock_guard guard(&slot->lock, KT_LOG_WARNING);
        if (guard.ok()) {
            pthread_cond_signal(&slot->cond);
        }
    }
    kite::lock_guard guard(&pool->lock, KT_LOG_WARNING);
    if (guard.ok()) {
        pthread_cond_broadcast(&pool->cond);
        pthread_cond_broadcast(&shared_of(pool)->done_cond);
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
        atomic_of(slot->inited).store(1, std::memory_order_release);
        int result = start_thread(pool, slot);
        if (result != 0) {
            // No thread serves it after all.
            atomic_of(slot->inited).store(0, std::memory_order_release);
            return result;
        }
    }
    return 0;
}

// Hands the item to the slot taken for it: signals its idle thread or
// starts one.  On failure the slot goes back to the free list and the item
// is not accepted.
int hand_to_slot(KTThreadPool *pool, KTThreadInfo *slot,
                 kt_thread_pool_callback func, void *arg)
{
    int result = 0;
    bool idle_thread = false;
    {
        kite::lock_guard guard(&slot->lock, KT_LOG_WARNING);
        if ((result = guard.error()) == 0) {
            slot->callback.arg = arg;
            store_func(slot, func);
            idle_thread = load_int(slot->inited) != 0;
            if (!idle_thread && (result = start_thread(pool, slot)) != 0) {
                store_func(slot, nullptr);
                slot->callback.arg = nullptr;
            }
        }
    }
    if (idle_thread) {
        // Signalled after the unlock so the thread does not wake only to
        // wait for the lock; it looks at callback.func under the lock, so
        // the work cannot be missed.
        pthread_cond_signal(&slot->cond);
        return 0;
    }
    if (result != 0) {
        bool wake =
            under_lock(&pool->lock, [&] { return link_free(pool, slot); });
        if (wake) {
            pthread_cond_signal(&pool->cond);
        }
        finish_item(pool);  // not accepted after all
    }
    return result;
}

void millis_to_deadline(int timeout_ms, struct timespec *deadline)
{
    clock_gettime(CLOCK_MONOTONIC, deadline);
    deadline->tv_sec += timeout_ms / 1000;
    deadline->tv_nsec += (timeout_ms % 1000) * 1000000L;
    if (deadline->tv_nsec >= 1000000000L) {
        deadline->tv_sec++;
        deadline->tv_nsec -= 1000000000L;
    }
}

// Waits on done_cond until pending is zero or the deadline (none when
// timeout_ms is negative) passes; pool.lock held.
int wait_pending_zero(KTThreadPool *pool, int timeout_ms)
{
    PoolShared *shared = shared_of(pool);
    struct timespec deadline;
    millis_to_deadline(std::max(timeout_ms, 0), &deadline);
    while (shared->pending.load() > 0) {
        if (timeout_ms < 0) {
            millis_to_deadline(kWaitSeconds * 1000, &deadline);
        }
        if (pthread_cond_timedwait(&shared->done_cond, &pool->lock,
                                   &deadline) == ETIMEDOUT &&
            timeout_ms >= 0) {
            return shared->pending.load() > 0 ? ETIMEDOUT : 0;
        }
    }
    return 0;
}

}  // namespace

extern "C" {

KT_API int kt_thread_pool_init_ex(
    KTThreadPool *pool, const char *name, int limit, int stack_size,
    int max_idle_time, int min_idle_count, volatile bool *pcontinue_flag,
    KTThreadExtraDataCallbacks *extra_data_callbacks)
{
    pool->threads = nullptr;
    pool->freelist = nullptr;
    // A slot array shorter than one would not hold the free list built
    // below, and the first run would read past it.
    if (limit < 1 || name == nullptr || pcontinue_flag == nullptr) {
        logError("thread pool: %s, invalid argument, limit: %d (at least 1), "
                 "continue flag: %s",
                 name != nullptr ? name : "(null)", limit,
                 pcontinue_flag != nullptr ? "given" : "null");
        return EINVAL;
    }
    int result = init_pthread_lock_cond(pair_of(pool));
    if (result != 0) {
        return result;
    }
    snprintf(pool->name, sizeof(pool->name), "%s", name);
    atomic_of(pool->thread_counts.running).store(0);
    atomic_of(pool->thread_counts.dealing).store(0);
    pool->stack_size = stack_size;
    pool->max_idle_time = max_idle_time;
    pool->min_idle_count = std::min(min_idle_count, limit);
    pool->thread_counts.limit = limit;
    pool->pcontinue_flag = pcontinue_flag;
    pool->extra_data_callbacks.alloc = nullptr;
    pool->extra_data_callbacks.free = nullptr;
    if (extra_data_callbacks != nullptr) {
        pool->extra_data_callbacks = *extra_data_callbacks;
    }
    if ((result = thread_pool_alloc_init(pool)) != 0) {
        destroy_pthread_lock_cond_pair(pair_of(pool));
        return result;
    }
    for (int i = 0; i < limit - 1; i++) {
        pool->threads[i].next = pool->threads + i + 1;
    }
    pool->freelist = pool->threads;
    return start_initial_threads(pool);
}

KT_API int kt_thread_pool_init(KTThreadPool *pool, const char *name, int limit,
                               int stack_size, int max_idle_time,
                               int min_idle_count,
                               volatile bool *pcontinue_flag)
{
    return kt_thread_pool_init_ex(pool, name, limit, stack_size, max_idle_time,
                                  min_idle_count, pcontinue_flag, nullptr);
}

KT_API int kt_thread_pool_set_backlog(KTThreadPool *pool, int max_queued)
{
    if (pool->threads == nullptr || max_queued < 0) {
        logError("thread pool: %s, invalid backlog size: %d or pool not set "
                 "up",
                 pool->name, max_queued);
        return EINVAL;
    }
    Work *items = nullptr;
    if (max_queued > 0) {
        items = static_cast<Work *>(kt_malloc(sizeof(Work) * max_queued));
        if (items == nullptr) {
            return ENOMEM;
        }
    }
    Backlog &backlog = shared_of(pool)->backlog;
    {
        kite::lock_guard guard(&pool->lock);
        if (!guard.ok()) {
            kt_free(items);
            return guard.error();
        }
        if (backlog.count.load() > 0) {
            guard.unlock();
            logError("thread pool: %s, %d items are queued, the backlog "
                     "cannot be resized now",
                     pool->name, backlog.count.load());
            kt_free(items);
            return EBUSY;
        }
        std::swap(items, backlog.items);
        backlog.capacity = max_queued;
        backlog.head = 0;
        // Callers waiting for a free slot may queue now.
        pthread_cond_broadcast(&pool->cond);
    }
    kt_free(items);
    return 0;
}

KT_API int kt_thread_pool_run(KTThreadPool *pool, kt_thread_pool_callback func,
                              void *arg)
{
    KTThreadInfo *slot = nullptr;
    int result = take_free_slot(pool, func, arg, &slot);
    if (result == kQueued) {
        return 0;
    }
    if (result != kTookSlot) {
        return result;
    }
    return hand_to_slot(pool, slot, func, arg);
}

KT_API int kt_thread_pool_wait_done(KTThreadPool *pool, int timeout_ms)
{
    if (pool->threads == nullptr) {
        return 0;  // nothing was set up, so nothing is pending
    }
    PoolShared *shared = shared_of(pool);
    if (shared->pending.load(std::memory_order_acquire) == 0) {
        return 0;
    }
    kite::lock_guard guard(&pool->lock);
    if (!guard.ok()) {
        return guard.error();
    }
    shared->done_waiters++;
    int result = wait_pending_zero(pool, timeout_ms);
    shared->done_waiters--;
    return result;
}

KT_API void kt_thread_pool_stop(KTThreadPool *pool)
{
    atomic_of(*pool->pcontinue_flag).store(false, std::memory_order_release);
    if (pool->threads != nullptr) {
        wake_all(pool);
    }
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
                       "threads are alive, nothing released",
                       pool->name, shared->alive.load());
            return;
        }
        wake_all(pool);
        if (!wait_threads_ended(shared, kDestroyWaitMillis)) {
            logWarning("thread pool: %s, %d threads have not ended after %d "
                       "ms, nothing released",
                       pool->name, shared->alive.load(), kDestroyWaitMillis);
            return;
        }
    }
    if (shared->backlog.count.load() > 0) {
        // Only when starting a thread failed with no other thread left to
        // drain the backlog.
        logWarning("thread pool: %s, %d queued items never ran", pool->name,
                   shared->backlog.count.load());
    }
    kt_free(shared->backlog.items);
    pthread_cond_destroy(&shared->done_cond);
    destroy_slots(pool, pool->thread_counts.limit);
    kt_free(pool->threads);
    pool->threads = nullptr;
    pool->freelist = nullptr;
    destroy_pthread_lock_cond_pair(pair_of(pool));
    atomic_of(pool->thread_counts.running).store(0);
    atomic_of(pool->thread_counts.dealing).store(0);
}

KT_API int kt_thread_pool_running_count(KTThreadPool *pool)
{
    return load_int(pool->thread_counts.running);
}

KT_API int kt_thread_pool_dealing_count(KTThreadPool *pool)
{
    return load_int(pool->thread_counts.dealing);
}

KT_API int kt_thread_pool_avail_count(KTThreadPool *pool)
{
    return pool->thread_counts.limit - load_int(pool->thread_counts.dealing);
}

}  // extern "C"
