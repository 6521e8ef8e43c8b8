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
// before touching the list (the walk may have moved or handed it out); a
// status of MOVING makes them back off 1 ms and try again.
// Whoever moves a status away from QUEUED owns the entry.  A walk never
// lets others see a half-done move: it holds the target slot and the entry
// lock across it.  A lock that cannot be taken is logged and the operation
// is left with nothing changed.  expires is written under the lock of the
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
#include <optional>

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

// With the slot lock and the entry lock held: append entry to the slot.
void link_locked(LockedTimerSlot *slot, uint32_t index, LockedTimerEntry *entry)
{
    kt_list_add_tail(&entry->dlink, &slot->head);
    entry->rehash = false;
    entry->status = KITE_LOCKED_TIMER_STATUS_QUEUED;
    kite::atomic_of(entry->slot_index).store(index, std::memory_order_relaxed);
}

// Files entry at time `when` (already clamped to the future).  The slot is
// re-checked under its lock: if the walk passed it meanwhile, the entry goes
// to the next slot to visit instead of waiting a whole turn.  Returns 0 or a
// lock error (logged, entry untouched).
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
        // The old tail is written below after the entry lock, a barrier:
        // start fetching it now.
        __builtin_prefetch(slot->head.prev, 1);
        const int64_t now = load_time(timer);
        if (when <= now) {
            when = now + 1;
            store = true;
            continue;
        }
        kite::lock_guard entry_guard(elock, KT_LOG_WARNING);
        if (entry_guard.ok()) {
            if (store) {
                store_expires(entry, when);
            }
            link_locked(slot, index, entry);
        }
        return entry_guard.error();
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

// Both the lock of the slot holding a queued entry and the entry's lock,
// released together (the entry's first) by release() or at the end of the
// holder's scope.
struct HeldEntry {
    LockedTimerSlot *slot = nullptr;
    std::optional<kite::lock_guard> slot_guard;
    std::optional<kite::lock_guard> entry_guard;

    void release()
    {
        entry_guard.reset();
        slot_guard.reset();
    }
};

// Returns 0 with both locks held and the entry QUEUED in held->slot, or the
// error of its status (EAGAIN never: a move is waited out, 1 ms at a time)
// or a lock error, with no lock held.  The slot is guessed from an unlocked
// read of slot_index and confirmed under the entry lock; the walk may move
// the entry in between, and then the guess is simply taken again.
int lock_queued_entry(LockedTimer *timer, LockedTimerEntry *entry,
                      HeldEntry *held)
{
    static const struct timespec kBackOff = {0, 1000000};
    for (;;) {
        uint32_t index =
            kite::atomic_of(entry->slot_index).load(std::memory_order_relaxed);
        if (index >= (uint32_t)timer->slot_count) {
            index = 0;  // never linked here: the status below decides
        }
        held->slot = timer->slots + index;
        held->slot_guard.emplace(&held->slot->lock, KT_LOG_WARNING, __FILE__,
                                 __LINE__);
        int result = held->slot_guard->error();
        if (result == 0) {
            held->entry_guard.emplace(entry_lock(timer, entry), KT_LOG_WARNING,
                                      __FILE__, __LINE__);
            result = held->entry_guard->error();
        }
        if (result != 0) {
            held->release();
            return result;
        }
        result = status_result(entry->status);
        if (result == 0 && entry->slot_index == index) {
            return 0;
        }
        if (result == 0 && entry->slot_index >= (uint32_t)timer->slot_count) {
            result = EINVAL;  // status forged by the caller, never linked
        }
        held->release();
        if (result == EAGAIN) {
            nanosleep(&kBackOff, nullptr);
        } else if (result != 0) {
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
    kite::lock_guard entry_guard(entry_lock(timer, entry), KT_LOG_WARNING);
    if (entry_guard.ok() && entry->status == KITE_LOCKED_TIMER_STATUS_QUEUED) {
        kt_list_del_init(&entry->dlink);
        link_locked(slot, target, entry);
    }
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
    HeldEntry held;
    const int result = lock_queued_entry(timer, entry, &held);
    if (result != 0) {
        return result;
    }
    if (new_status != 0) {
        entry->status = (uint8_t)new_status;
    }
    kt_list_del_init(&entry->dlink);
    return 0;
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
        HeldEntry held;
        const int result = lock_queued_entry(timer, entry, &held);
        if (result != 0) {
            return result;
        }
        if (entry->expires == old_expires) {
            store_expires(entry, new_expires);
            entry->rehash =
                slot_index_of(timer, new_expires) != entry->slot_index;
            return 0;
        }
        // Changed by another thread: let go of both locks and decide again.
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
