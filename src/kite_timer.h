/*
 * Timing wheel for one thread: caller-owned entries filed by absolute
 * expiry time, handed back by a walk once their time has passed.
 *
 * Time is a signed count of whole ticks (one slot per tick; the unit is the
 * caller's).  The caller embeds a KiteTimerEntry in each record that needs a
 * time-out; the wheel links entries but never allocates or frees them, and
 * owns only its slot array.  Results are 0 or a positive errno value.  No
 * locks: every call on one timer and its entries must come from one thread
 * or be serialised by the caller.  Times given to the wheel must not be
 * earlier than the time given to kite_timer_init.
 */
#ifndef KITE_KITE_TIMER_H
#define KITE_KITE_TIMER_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* The part of a caller's record that the wheel links; embed one per
 * time-out. */
typedef struct kite_timer_entry {
    int64_t expires; /* absolute expiry, in ticks */
    /* Previous node; the slot's (or result's) head for the first entry.
     * Null means "in no chain": zero-filled or removed. */
    struct kite_timer_entry *prev;
    struct kite_timer_entry *next; /* next node, null at the end */
    int32_t slot_index;            /* the caller's; the wheel ignores it */
    /* Set when the entry may sit in a slot other than that of expires;
     * the walk re-files it. */
    bool rehash;
} KiteTimerEntry;

/* One slot of the wheel: the chain of entries filed there. */
typedef struct kite_timer_slot {
    KiteTimerEntry head; /* dummy head: only head.next is used */
} KiteTimerSlot;

/* A timing wheel, owned by the caller; set up by kite_timer_init. */
typedef struct kite_timer {
    int32_t slot_count;            /* at least 1 */
    int64_t base_time;             /* slot of t: (t - base_time) % slot_count */
    volatile int64_t current_time; /* next time the walk visits; only grows */
    KiteTimerSlot *slots;          /* slot_count slots, owned by the timer */
} KiteTimer;

/* Sets the timer up with slot_count slots, starting at current_time.
 * Returns 0; EINVAL when slot_count < 1 or current_time < 1 (record
 * untouched); ENOMEM when the slot array cannot be allocated (logged; the
 * counters are set and slots is null, so destroy is still safe). */
KT_API int kite_timer_init(KiteTimer *timer, const int slot_count,
                           const int64_t current_time);

/* Frees the slot array (if any) and sets slots to null.  Entries still
 * linked are not touched; they belong to the caller. */
KT_API void kite_timer_destroy(KiteTimer *timer);

/* Files entry (which must be in no chain; not checked) in the slot of
 * expires, storing expires into it when set_expires is true.  An expiry not
 * later than timer->current_time is replaced by current_time + 1, which is
 * always stored: the entry fires at the next walk past the current time.
 * Clears entry->rehash.  Constant time, no allocation. */
KT_API void kite_timer_add_ex(KiteTimer *timer, KiteTimerEntry *entry,
                              const int64_t expires, const bool set_expires);

/* Unlinks entry from its slot (or from a walk's result chain).  Returns 0,
 * or ENOENT when entry->prev is null (in no chain; nothing changed). */
KT_API int kite_timer_remove(KiteTimer *timer, KiteTimerEntry *entry);

/* Changes entry's expiry.  A later time is only recorded (the entry is
 * flagged rehash when it may now sit in the wrong slot, and re-filed by the
 * walk); an earlier time removes and re-adds the entry, returning ENOENT
 * (expires unchanged, nothing added) when it is in no chain.  Returns 0
 * otherwise; an equal time changes nothing. */
KT_API int kite_timer_modify(KiteTimer *timer, KiteTimerEntry *entry,
                             const int64_t new_expires);

/* For callers that walk slot chains themselves: when timer->current_time is
 * earlier than current_time, returns the slot of timer->current_time and
 * advances it by one; otherwise null.  One slot per call. */
KT_API KiteTimerSlot *kite_timer_slot_get(KiteTimer *timer,
                                          const int64_t current_time);

/* Visits every slot from timer->current_time up to current_time (exclusive;
 * several turns if the gap is that long) and hands out every entry whose
 * expires is strictly earlier than current_time.  head is a caller-owned
 * dummy: head->next starts the result chain (linked through next, ending in
 * null; prev links back to head), in walk order, newest-linked first within
 * a slot.  Returns the number handed out; 0 leaves head->next null.
 * An entry handed out is still linked, into the result chain (its prev is
 * not null): remove it with kite_timer_remove, or zero its prev and next,
 * before adding it again, or the chains of the wheel are corrupted. */
KT_API int kite_timer_timeouts_get(KiteTimer *timer, const int64_t current_time,
                                   KiteTimerEntry *head);

/* Short form: files entry at its own expires (a function, so that entry is
 * evaluated once). */
static inline void kite_timer_add(KiteTimer *timer, KiteTimerEntry *entry)
{
    kite_timer_add_ex(timer, entry, entry->expires, false);
}

KT_EXTERN_C_END

#endif
