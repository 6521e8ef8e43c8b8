/*
 * Timing wheel for several threads: adds, removes and changes of expiry may
 * come from any thread while one thread at a time walks the wheel.
 *
 * Same time rules as kite_timer: slot of t is (t - base_time) % slot_count,
 * an entry expires when its expires is strictly earlier than the walk's
 * time, and a later expiry only flags the entry for re-filing.  Each slot is
 * a circular list under its own mutex; new entries go to the tail, so a slot
 * hands out its entries oldest first.  Each entry's status is guarded by one
 * of a caller-sized set of shared mutexes, picked by the entry's lock_index;
 * the status settles races between a remover and the walk (whoever moves it
 * away from KITE_LOCKED_TIMER_STATUS_QUEUED first owns the entry).  Entries are
 * the caller's and never freed here.  Results are 0 or a positive errno.
 */
#ifndef KITE_LOCKED_TIMER_H
#define KITE_LOCKED_TIMER_H

#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "kt_list.h"

/* Entry status values (the numbers are part of the interface). */
#define KITE_LOCKED_TIMER_STATUS_NONE 0    /* never added (zero-filled) */
#define KITE_LOCKED_TIMER_STATUS_QUEUED 1  /* linked in a slot */
#define KITE_LOCKED_TIMER_STATUS_MOVING 2  /* being moved between slots */
#define KITE_LOCKED_TIMER_STATUS_TIMEOUT 3 /* handed out by the walk */
#define KITE_LOCKED_TIMER_STATUS_CANCELED \
    4 /* taken out by a remove storing 4 */

KT_EXTERN_C_BEGIN

/* The part of a caller's record that the wheel links; embed one per
 * time-out. */
typedef struct locked_timer_entry {
    int64_t expires;                 /* absolute expiry, in ticks */
    struct kt_list_head dlink;       /* node in its slot's list */
    struct locked_timer_entry *next; /* link of the walk's result chain */
    uint32_t slot_index;             /* slot holding it; under entry lock */
    volatile uint16_t lock_index;    /* shared lock guarding status */
    uint8_t status;                  /* LOCKED_TIMER_STATUS_* */
    bool rehash;                     /* may sit outside the slot of expires */
} LockedTimerEntry;

/* One slot of the wheel, with its own lock. */
typedef struct locked_timer_slot {
    struct kt_list_head head; /* sentinel of the slot's list */
    pthread_mutex_t lock;     /* guards the list */
} LockedTimerSlot;

/* The shared mutexes that guard the entries' status fields. */
typedef struct locked_timer_shared_locks {
    /* True when callers may change an entry's lock_index while it is in use:
     * it is then read atomically at every use. */
    bool set_lock_index;
    uint16_t count;         /* number of shared locks */
    pthread_mutex_t *locks; /* count mutexes, owned by the timer */
} LockedTimerSharedLocks;

/* A timing wheel for many threads, owned by the caller. */
typedef struct locked_timer {
    int32_t slot_count;                  /* at least 1 */
    LockedTimerSharedLocks entry_shares; /* locks of the entries' status */
    int64_t base_time;                   /* time given at initialisation */
    volatile int64_t current_time;       /* next time the walk visits */
    LockedTimerSlot *slots;              /* slot_count slots, owned */
} LockedTimer;

/* Sets the timer up with slot_count slots from current_time and
 * shared_lock_count entry locks.  Returns 0; EINVAL when slot_count < 1,
 * current_time < 1 or shared_lock_count is outside 1..65535 (record
 * untouched); ENOMEM (logged) or
 * the error of init_pthread_lock.  After a failure nothing stays allocated
 * (slots and entry_shares.locks are null) and destroy is a no-op. */
KT_API int locked_timer_init_ex(LockedTimer *timer, const int slot_count,
                                const int64_t current_time,
                                const int shared_lock_count,
                                const bool set_lock_index);

/* Destroys every mutex and frees both arrays, leaving null pointers and a
 * zero lock count.  Entries are not touched.  No other call may be running. */
KT_API void locked_timer_destroy(LockedTimer *timer);

/* Files entry (which must not be queued; not checked) at the tail of the
 * slot of expires, storing expires when flags is non-zero; an expiry not
 * later than current_time becomes current_time + 1, always stored.  Sets
 * status QUEUED and slot_index, clears rehash.  When a lock cannot be taken
 * the failure is logged and the entry is left as it was. */
KT_API void locked_timer_add_ex(LockedTimer *timer, LockedTimerEntry *entry,
                                const int64_t expires, const int flags);

/* Unlinks a queued entry, storing new_status into it when non-zero (0
 * keeps QUEUED).  Returns 0; EINVAL for an entry never added (or an unknown
 * status), ETIMEDOUT when the walk handed it out, ECANCELED when it was
 * removed with status 4, or a lock error (logged; nothing changed).  While
 * another thread moves the entry, retries every millisecond. */
KT_API int locked_timer_remove_ex(LockedTimer *timer, LockedTimerEntry *entry,
                                  const int new_status);

/* Changes a queued entry's expiry: a later time is recorded in place (rehash
 * set when the slot differs), an earlier one moves the entry.  Returns 0 or
 * the error of the status check as for locked_timer_remove_ex (entry
 * unchanged); an equal time returns 0. */
KT_API int locked_timer_modify(LockedTimer *timer, LockedTimerEntry *entry,
                               const int64_t new_expires);

/* Walks every slot from current_time up to current_time (exclusive) and
 * hands out each QUEUED entry whose expires is earlier than current_time,
 * setting its status TIMEOUT: head->next starts the chain (through next,
 * null-terminated), slot by slot, oldest-added first.  One walking thread at
 * a time.  Returns the count; when a slot cannot be locked the walk stops
 * there (logged) and the next walk resumes from it. */
KT_API int locked_timer_timeouts_get(LockedTimer *timer,
                                     const int64_t current_time,
                                     LockedTimerEntry *head);

/* Short forms filling in the defaults; functions, so that each argument is
 * evaluated once. */
static inline int locked_timer_init(LockedTimer *timer, const int slot_count,
                                    const int64_t current_time,
                                    const int shared_lock_count)
{
    return locked_timer_init_ex(timer, slot_count, current_time,
                                shared_lock_count, false);
}

/* Files entry at its own expires. */
static inline void locked_timer_add(LockedTimer *timer, LockedTimerEntry *entry)
{
    locked_timer_add_ex(timer, entry, entry->expires, 0);
}

/* Unlinks a queued entry with new status 0 (it keeps QUEUED); results as
 * locked_timer_remove_ex. */
static inline int locked_timer_remove(LockedTimer *timer,
                                      LockedTimerEntry *entry)
{
    return locked_timer_remove_ex(timer, entry, KITE_LOCKED_TIMER_STATUS_NONE);
}

KT_EXTERN_C_END

#endif
