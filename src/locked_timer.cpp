// Timing wheel with per-slot locks, for adds, removes and modifies from any
// thread while one thread walks.
//
// Each slot is a circular list (sentinel head) under the slot's own mutex;
// entries are appended at the tail, so a slot hands out oldest first.  An
// entry's status and slot_index are guarded by one of a small set of shared
// mutexes chosen by its lock_index, so an entry costs two bytes of lock
// state instead of a mutex.  Lock order: a slot lock may be held while an
// entry lock is taken, never the reverse; only the walk holds two slot
// locks (the walked slot, then the target of a move), which is why a single
// thread walks.  Removers and modifiers guess the entry's slot from an
// unlocked read of slot_index, take that slot lock and then the entry lock,
// and confirm under both that the entry is still queued in that very slot
// (the walk may have moved or handed it out); a status of MOVING makes them
// back off 1 ms and try again.  Whoever moves a status away from QUEUED
// owns the entry.  The list itself is only ever touched under the slot
// lock, and every unlink from a slot needs that slot's lock, so the entry
// lock is let go as soon as status and slot_index are settled and the list
// work (with its cache misses on the neighbours) is done under the slot
// lock alone: each shared entry lock, which many entries use, is held for a
// few stores only, and each operation takes each of its two locks once.
// A walk never lets others see a half-done move: it holds both slots across
// it.  A lock that cannot be taken is logged and the operation is left with
// nothing changed.  expires is written under the lock of the
// slot that holds the entry but read once without a lock by modify, so it
// is accessed atomically; current_time is read by adders and advanced by
// the walk, both atomically.  Every atomic access goes through
// std::atomic_ref (kite::atomic_of), as the record's fields are plain or
// volatile for C callers.  Locks are held by scoped guards only.
#include "locked_timer.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "kt_atomic_ref.h"
#include "kt_lock_guard.h"
#include "kt_memory.h"
#include "logger.h"
#include "pthread_func.h"

namespace {

inline int64_t load_time(const LockedTimer *timer)
{
    return kite::atomic_of(timer->current_time).load(std::memory_order_relaxed);
}

inline void store_time(LockedTimer *timer, int64_t value)
{
    kite::atomic_of(timer->current_time)
        .store(value, std::memory_order_relaxed);
}

inline int64_t load_expires(const LockedTimerEntry *entry)
{
    return kite::atomic_of(entry->expires).load(std::memory_order_relaxed);
}

inline void store_expires(LockedTimerEntry *entry, int64_t value)
{
    kite::atomic_of(entry->expires).store(value, std::memory_order_relaxed);
}

inline uint32_t slot_index_of(const LockedTimer *timer, int64_t t)
{
    return (uint32_t)((t - timer->base_time) % timer->slot_count);
}

// The shared lock guarding entry's status.  The index is reduced modulo the
// lock count so that a stray lock_index cannot reach past the array.
pthread_mutex_t *entry_lock(LockedTimer *timer, LockedTimerEntry *entry)
{
    uint16_t index;
    if (timer->entry_shares.set_lock_index) {
        index = kite::atomic_of(entry->lock_index).fetch_add(0);
    } else {
        index =
            kite::atomic_of(entry->lock_index).load(std::memory_order_relaxed);
    }
    const uint16_t count = timer->entry_shares.count;
    return timer->entry_shares.locks + (index < count ? index : index % count);
}

// With the lock of slot `index` held: records under the entry lock that
// entry is queued there.  Returns 0 or the lock error (logged).
int mark_queued(pthread_mutex_t *elock, LockedTimerEntry *entry, uint32_t index)
{
    kite::lock_guard guard(elock, KT_LOG_WARNING);
    if (guard.ok()) {
        entry->status = KITE_LOCKED_TIMER_STATUS_QUEUED;
        kite::atomic_of(entry->slot_index)
            .store(index, std::memory_order_relaxed);
    }
    return guard.error();
}

// Files entry at time `when` (already clamped to the future).  The slot is
// computed before locking and re-checked under its lock: if the walk passed
// it meanwhile, the entry goes to the next slot to visit instead of waiting
// a whole turn.  Status and slot_index are set first, under the entry lock,
// and the list is linked after it is let go: the slot lock, held
// throughout, keeps everyone who would look at the entry in that list out
// (removers confirm the slot under it), and the shared entry lock is not
// held across the miss on the old tail.  Returns 0 or a lock error (logged,
// entry untouched).
int add_entry(LockedTimer *timer, LockedTimerEntry *entry, int64_t when,
              bool store)
{
    pthread_mutex_t *elock = entry_lock(timer, entry);
    for (;;) {
        const uint32_t index = slot_index_of(timer, when);
        LockedTimerSlot *slot = timer->slots + index;
        kite::lock_guard slot_guard(&slot->lock, KT_LOG_WARNING);
        if (!slot_guard.ok()) {
            return slot_guard.error();
        }
        __builtin_prefetch(slot->head.prev, 1);  // the old tail, written below
        const int64_t now = load_time(timer);
        if (when <= now) {
            when = now + 1;
            store = true;
            continue;
        }
        const int result = mark_queued(elock, entry, index);
        if (result == 0) {
            if (store) {
                store_expires(entry, when);
            }
            kt_list_add_tail(&entry->dlink, &slot->head);
            entry->rehash = false;
        }
        return result;
    }
}

int status_result(uint8_t status)
{
    switch (status) {
    case KITE_LOCKED_TIMER_STATUS_QUEUED: return 0;
    case KITE_LOCKED_TIMER_STATUS_MOVING: return EAGAIN;
    case KITE_LOCKED_TIMER_STATUS_TIMEOUT: return ETIMEDOUT;
    case KITE_LOCKED_TIMER_STATUS_CANCELED: return ECANCELED;
    default: return EINVAL;
    }
}

// Result of claim_queued when the entry is queued, but in another slot than
// the one locked (the walk moved it since slot_index was read).
constexpr int kOtherSlot = -1;

// With the lock of slot `index` held: checks under the entry lock that entry
// is queued in that very slot and, if so, stores new_status when non-zero.
// Returns 0, kOtherSlot, the error of the status (EAGAIN while it is being
// moved) or a lock error.
int claim_queued(LockedTimer *timer, LockedTimerEntry *entry, uint32_t index,
                 uint8_t new_status)
{
    kite::lock_guard guard(entry_lock(timer, entry), KT_LOG_WARNING);
    if (!guard.ok()) {
        return guard.error();
    }
    const int result = status_result(entry->status);
    if (result != 0) {
        return result;
    }
    if (entry->slot_index != index) {
        // Never linked here: the status was forged by the caller.
        return entry->slot_index >= (uint32_t)timer->slot_count ? EINVAL
                                                                : kOtherSlot;
    }
    if (new_status != 0) {
        entry->status = new_status;
    }
    return 0;
}

// Runs under_slot(index) holding the lock of the slot that holds a
// queued entry, after the entry lock confirmed it there (and stored
// new_status when non-zero) and was let go: while that slot lock is held no
// one else can unlink the entry, so its status stays.  The slot is guessed
// from an unlocked read of slot_index; when the walk moved the entry in
// between, the guess is taken again.  A move in progress is waited out, 1 ms
// at a time.  Returns under_slot's result, the error of the status or a lock
// error (logged; nothing changed).
template <class UnderSlot>
int with_queued_entry(LockedTimer *timer, LockedTimerEntry *entry,
                      uint8_t new_status, UnderSlot &&under_slot)
{
    static const struct timespec kBackOff = {0, 1000000};
    for (;;) {
        uint32_t index =
            kite::atomic_of(entry->slot_index).load(std::memory_order_relaxed);
        if (index >= (uint32_t)timer->slot_count) {
            index = 0;  // never linked here: the status decides
        }
        LockedTimerSlot *slot = timer->slots + index;
        int result;
        {
            kite::lock_guard guard(&slot->lock, KT_LOG_WARNING);
            if (!guard.ok()) {
                return guard.error();
            }
            result = claim_queued(timer, entry, index, new_status);
            if (result == 0) {
                return under_slot(index);
            }
        }
        if (result == EAGAIN) {
            nanosleep(&kBackOff, nullptr);
        } else if (result != kOtherSlot) {
            return result;
        }
    }
}

// The walk met a due entry: take it when it is still plainly queued.
bool take_expired(LockedTimer *timer, LockedTimerEntry *entry)
{
    kite::lock_guard guard(entry_lock(timer, entry), KT_LOG_WARNING);
    if (!guard.ok()) {
        return false;
    }
    const bool taken = entry->status == KITE_LOCKED_TIMER_STATUS_QUEUED;
    if (taken) {
        entry->status = KITE_LOCKED_TIMER_STATUS_TIMEOUT;
    }
    return taken;
}

// Locks the target slot of a move while the walked slot is held.  Only the
// walk holds two slot locks, and whoever holds the target never waits for
// the walked slot, so the spin always ends.  Try-locking also keeps lock
// order checkers from seeing slot-to-slot edges in both directions, which
// the single walking thread makes harmless.
int lock_target_slot(pthread_mutex_t *lock)
{
    for (;;) {
        const int result = pthread_mutex_trylock(lock);
        if (result == 0) {
            return 0;
        }
        if (result != EBUSY) {
            logWarning("call pthread_mutex_lock fail, errno: %d, "
                       "error info: %s",
                       result, KT_STRERROR(result));
            return result;
        }
        sched_yield();
    }
}

// The walk met a flagged entry that belongs to slot `target`: move it there
// unless another thread owns it (then it stays flagged).
void move_entry(LockedTimer *timer, LockedTimerEntry *entry, uint32_t target)
{
    LockedTimerSlot *slot = timer->slots + target;
    if (lock_target_slot(&slot->lock) != 0) {
        return;
    }
    kite::lock_guard slot_guard(&slot->lock, std::adopt_lock, KT_LOG_WARNING);
    {
        kite::lock_guard entry_guard(entry_lock(timer, entry), KT_LOG_WARNING);
        if (!entry_guard.ok() ||
            entry->status != KITE_LOCKED_TIMER_STATUS_QUEUED) {
            return;
        }
        // Both slots are held, so no one sees the entry between them.
        kite::atomic_of(entry->slot_index)
            .store(target, std::memory_order_relaxed);
    }
    kt_list_del_init(&entry->dlink);
    kt_list_add_tail(&entry->dlink, &slot->head);
    entry->rehash = false;
}

struct Collector {
    LockedTimerEntry *tail;
    int count;
};

// With the slot locked: hand out its due entries and re-file flagged ones.
void walk_slot(LockedTimer *timer, LockedTimerSlot *slot, uint32_t index,
               int64_t now, Collector *out)
{
    struct kt_list_head *pos;
    struct kt_list_head *n;
    kt_list_for_each_safe(pos, n, &slot->head)
    {
        LockedTimerEntry *entry = kt_list_entry(pos, LockedTimerEntry, dlink);
        // The entry lock below is a full barrier; start loading the next
        // node now so that its cache miss overlaps this one's work.
        __builtin_prefetch(n);
        if (entry->expires < now) {
            if (take_expired(timer, entry)) {
                kt_list_del_init(&entry->dlink);
                out->tail->next = entry;
                out->tail = entry;
                ++out->count;
            }
        } else if (entry->rehash) {
            const uint32_t target = slot_index_of(timer, entry->expires);
            if (target == index) {
                entry->rehash = false;
            } else {
                move_entry(timer, entry, target);
            }
        }
    }
}

void destroy_mutexes(pthread_mutex_t *locks, int count, size_t stride)
{
    char *base = reinterpret_cast<char *>(locks);
    for (int i = 0; i < count; ++i) {
        pthread_mutex_destroy(
            reinterpret_cast<pthread_mutex_t *>(base + stride * i));
    }
}

void free_slots(LockedTimer *timer, int initialised)
{
    destroy_mutexes(&timer->slots[0].lock, initialised,
                    sizeof(LockedTimerSlot));
    kt_free(timer->slots);
    timer->slots = nullptr;
}

void free_shared_locks(LockedTimer *timer, int initialised)
{
    destroy_mutexes(timer->entry_shares.locks, initialised,
                    sizeof(pthread_mutex_t));
    kt_free(timer->entry_shares.locks);
    timer->entry_shares.locks = nullptr;
}

int locked_timer_init_slots(LockedTimer *timer)
{
    const size_t bytes = sizeof(LockedTimerSlot) * (size_t)timer->slot_count;
    timer->slots = static_cast<LockedTimerSlot *>(kt_malloc(bytes));
    if (timer->slots == nullptr) {
        return ENOMEM;
    }
    memset(timer->slots, 0, bytes);
    for (int i = 0; i < timer->slot_count; ++i) {
        const int result = init_pthread_lock(&timer->slots[i].lock);
        if (result != 0) {
            free_slots(timer, i);
            return result;
        }
        KT_INIT_LIST_HEAD(&timer->slots[i].head);
    }
    return 0;
}

int init_shared_locks(LockedTimer *timer)
{
    const int count = timer->entry_shares.count;
    const size_t bytes = sizeof(pthread_mutex_t) * (size_t)count;
    timer->entry_shares.locks =
        static_cast<pthread_mutex_t *>(kt_malloc(bytes));
    if (timer->entry_shares.locks == nullptr) {
        return ENOMEM;
    }
    for (int i = 0; i < count; ++i) {
        const int result = init_pthread_lock(timer->entry_shares.locks + i);
        if (result != 0) {
            free_shared_locks(timer, i);
            return result;
        }
    }
    return 0;
}

}  // namespace

int locked_timer_init_ex(LockedTimer *timer, const int slot_count,
                         const int64_t current_time,
                         const int shared_lock_count, const bool set_lock_index)
{
    // A lock count of 0 (or one that truncates to 0) would leave entries no
    // lock to select, so it is refused rather than stored.
    if (slot_count < 1 || current_time < 1 || shared_lock_count < 1 ||
        shared_lock_count > UINT16_MAX) {
        return EINVAL;
    }
    timer->slot_count = slot_count;
    timer->entry_shares.count = (uint16_t)shared_lock_count;
    timer->entry_shares.set_lock_index = set_lock_index;
    timer->entry_shares.locks = nullptr;
    timer->base_time = current_time;
    store_time(timer, current_time);
    int result = locked_timer_init_slots(timer);
    if (result != 0) {
        return result;
    }
    if ((result = init_shared_locks(timer)) != 0) {
        free_slots(timer, timer->slot_count);
    }
    return result;
}

void locked_timer_destroy(LockedTimer *timer)
{
    if (timer->slots == nullptr) {
        return;
    }
    free_slots(timer, timer->slot_count);
    if (timer->entry_shares.locks != nullptr) {
        free_shared_locks(timer, timer->entry_shares.count);
    }
    timer->entry_shares.count = 0;
}

void locked_timer_add_ex(LockedTimer *timer, LockedTimerEntry *entry,
                         const int64_t expires, const int flags)
{
    const int64_t now = load_time(timer);
    if (expires > now) {
        add_entry(timer, entry, expires, flags != 0);
    } else {
        add_entry(timer, entry, now + 1, true);
    }
}

int locked_timer_remove_ex(LockedTimer *timer, LockedTimerEntry *entry,
                           const int new_status)
{
    return with_queued_entry(timer, entry, (uint8_t)new_status,
                             [entry](uint32_t) {
                                 kt_list_del_init(&entry->dlink);
                                 return 0;
                             });
}

namespace {

// Moves a queued entry to an earlier time.  Status MOVING while it is out
// of every list makes concurrent removers and modifiers wait.
int bring_forward(LockedTimer *timer, LockedTimerEntry *entry,
                  int64_t new_expires)
{
    int result =
        locked_timer_remove_ex(timer, entry, KITE_LOCKED_TIMER_STATUS_MOVING);
    if (result != 0) {
        return result;
    }
    const int64_t now = load_time(timer);
    result = add_entry(timer, entry, std::max(new_expires, now + 1), true);
    if (result != 0) {
        // Not linked anywhere: say so instead of leaving others waiting.
        kite::lock_guard guard(entry_lock(timer, entry), KT_LOG_WARNING);
        if (guard.ok()) {
            entry->status = KITE_LOCKED_TIMER_STATUS_NONE;
        }
    }
    return result;
}

}  // namespace

int locked_timer_modify(LockedTimer *timer, LockedTimerEntry *entry,
                        const int64_t new_expires)
{
    for (;;) {
        const int64_t old_expires = load_expires(entry);
        if (new_expires == old_expires) {
            return 0;
        }
        if (new_expires < old_expires) {
            return bring_forward(timer, entry, new_expires);
        }
        const int result = with_queued_entry(
            timer, entry, KITE_LOCKED_TIMER_STATUS_NONE, [=](uint32_t index) {
                if (load_expires(entry) != old_expires) {
                    return kOtherSlot;  // changed meanwhile: decide again
                }
                store_expires(entry, new_expires);
                entry->rehash = slot_index_of(timer, new_expires) != index;
                return 0;
            });
        if (result != kOtherSlot) {
            return result;
        }
    }
}

int locked_timer_timeouts_get(LockedTimer *timer, const int64_t current_time,
                              LockedTimerEntry *head)
{
    Collector out = {head, 0};
    int64_t now = load_time(timer);
    while (now < current_time) {
        const uint32_t index = slot_index_of(timer, now);
        LockedTimerSlot *slot = timer->slots + index;
        kite::lock_guard guard(&slot->lock, KT_LOG_WARNING);
        if (!guard.ok()) {
            break;  // current_time stays here: the next walk retries
        }
        store_time(timer, ++now);
        walk_slot(timer, slot, index, current_time, &out);
    }
    out.tail->next = nullptr;
    return out.count;
}
