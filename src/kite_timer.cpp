// Hashed timing wheel for one thread.
//
// slots[i] heads an unordered, null-terminated doubly linked chain of
// caller-owned entries; an entry lives in slot (t - base_time) % slot_count
// for some t it was filed at, so one slot mixes entries due in this turn
// with entries due whole turns later, and the walk tells them apart by each
// entry's own expires.  Invariants: an entry is in at most one chain; a null
// prev means "in no chain"; an entry whose rehash is clear sits in the slot
// of its expires.  Pushing an expiry later does not touch the chains: the
// entry is flagged and re-filed when the walk passes it, which keeps modify
// O(1).  Expired entries are spliced out in runs of consecutive nodes rather
// than one by one.  No locks: current_time (volatile in the record) is
// accessed through std::atomic_ref only so that a monitoring thread may
// read it.
#include "kite_timer.h"

#include <cerrno>
#include <cstring>

#include "kt_atomic_ref.h"
#include "kt_memory.h"

namespace {

inline int64_t load_time(const KiteTimer *timer)
{
    return kite::atomic_of(timer->current_time).load(std::memory_order_relaxed);
}

inline void store_time(KiteTimer *timer, int64_t value)
{
    kite::atomic_of(timer->current_time)
        .store(value, std::memory_order_relaxed);
}

inline int64_t slot_index_of(const KiteTimer *timer, int64_t t)
{
    return (t - timer->base_time) % timer->slot_count;
}

inline KiteTimerSlot *slot_of(KiteTimer *timer, int64_t t)
{
    return timer->slots + slot_index_of(timer, t);
}

// Links entry at the head of slot's chain; the entry now sits in the right
// slot, so its rehash flag is cleared.
void add_entry(KiteTimerSlot *slot, KiteTimerEntry *entry)
{
    entry->next = slot->head.next;
    if (entry->next != nullptr) {
        entry->next->prev = entry;
    }
    entry->prev = &slot->head;
    slot->head.next = entry;
    entry->rehash = false;
}

void unlink_entry(KiteTimerEntry *entry)
{
    if (entry->next != nullptr) {
        entry->next->prev = entry->prev;
        entry->prev->next = entry->next;
        entry->next = nullptr;
    } else {
        entry->prev->next = nullptr;
    }
    entry->prev = nullptr;
}

// The result chain being built by one walk.
struct Collector {
    KiteTimerEntry *tail;
    int count;
};

// Appends the run first..last (already cut out of its slot) to the result.
void append_run(Collector *out, KiteTimerEntry *first, KiteTimerEntry *last)
{
    out->tail->next = first;
    first->prev = out->tail;
    out->tail = last;
}

// A flagged entry that is not due: clear the flag if it already sits in
// the slot of its expires, else move it there.
void rehash_entry(KiteTimer *timer, KiteTimerSlot *walked,
                  KiteTimerEntry *entry)
{
    KiteTimerSlot *target = slot_of(timer, entry->expires);
    if (target == walked) {
        entry->rehash = false;
        return;
    }
    unlink_entry(entry);
    add_entry(target, entry);
}

// Walks one slot's chain, handing out every entry due before `now`.
void collect_slot(KiteTimer *timer, KiteTimerSlot *slot, int64_t now,
                  Collector *out)
{
    KiteTimerEntry *run_first = nullptr;
    KiteTimerEntry *run_last = nullptr;
    KiteTimerEntry *entry = slot->head.next;
    while (entry != nullptr) {
        KiteTimerEntry *next = entry->next;
        if (entry->expires < now) {
            ++out->count;
            if (run_first == nullptr) {
                run_first = entry;
            }
            run_last = entry;
        } else {
            if (run_first != nullptr) {
                run_first->prev->next = entry;
                entry->prev = run_first->prev;
                append_run(out, run_first, run_last);
                run_first = nullptr;
            }
            if (entry->rehash) {
                rehash_entry(timer, slot, entry);
            }
        }
        entry = next;
    }
    if (run_first != nullptr) {
        run_first->prev->next = nullptr;
        append_run(out, run_first, run_last);
    }
}

}  // namespace

int kite_timer_init(KiteTimer *timer, const int slot_count,
                    const int64_t current_time)
{
    if (slot_count < 1 || current_time < 1) {
        return EINVAL;
    }
    timer->slot_count = slot_count;
    timer->base_time = current_time;
    store_time(timer, current_time);
    const size_t bytes = sizeof(KiteTimerSlot) * (size_t)slot_count;
    timer->slots = static_cast<KiteTimerSlot *>(kt_malloc(bytes));
    if (timer->slots == nullptr) {
        return ENOMEM;
    }
    memset(timer->slots, 0, bytes);
    return 0;
}

void kite_timer_destroy(KiteTimer *timer)
{
    if (timer->slots != nullptr) {
        kt_free(timer->slots);
        timer->slots = nullptr;
    }
}

void kite_timer_add_ex(KiteTimer *timer, KiteTimerEntry *entry,
                       const int64_t expires, const bool set_expires)
{
    const int64_t now = load_time(timer);
    if (expires > now) {
        if (set_expires) {
            entry->expires = expires;
        }
        add_entry(slot_of(timer, expires), entry);
    } else {
        // Already due: fire at the next walk that passes the current time.
        entry->expires = now + 1;
        add_entry(slot_of(timer, now + 1), entry);
    }
}

int kite_timer_remove(KiteTimer *timer, KiteTimerEntry *entry)
{
    (void)timer;
    if (entry->prev == nullptr) {
        return ENOENT;
    }
    unlink_entry(entry);
    return 0;
}

int kite_timer_modify(KiteTimer *timer, KiteTimerEntry *entry,
                      const int64_t new_expires)
{
    if (new_expires > entry->expires) {
        // The entry stays where it is.  A flag already set must survive an
        // extension back into the slot of the previous expiry: the entry may
        // still sit in an older slot, and clearing the flag there would let
        // the walk hand it out up to a turn late.
        const bool moved = slot_index_of(timer, new_expires) !=
                           slot_index_of(timer, entry->expires);
        entry->expires = new_expires;
        entry->rehash = entry->rehash || moved;
        return 0;
    }
    if (new_expires < entry->expires) {
        const int result = kite_timer_remove(timer, entry);
        if (result != 0) {
            return result;
        }
        kite_timer_add_ex(timer, entry, new_expires, true);
    }
    return 0;
}

KiteTimerSlot *kite_timer_slot_get(KiteTimer *timer, const int64_t current_time)
{
    const int64_t now = load_time(timer);
    if (now >= current_time) {
        return nullptr;
    }
    store_time(timer, now + 1);
    return slot_of(timer, now);
}

int kite_timer_timeouts_get(KiteTimer *timer, const int64_t current_time,
                            KiteTimerEntry *head)
{
    head->prev = nullptr;
    head->next = nullptr;
    Collector out = {head, 0};
    int64_t now = load_time(timer);
    while (now < current_time) {
        KiteTimerSlot *slot = slot_of(timer, now);
        store_time(timer, ++now);
        if (slot->head.next != nullptr) {
            collect_slot(timer, slot, current_time, &out);
        }
    }
    if (out.count > 0) {
        out.tail->next = nullptr;
    }
    return out.count;
}
