/* Timers: caller-owned records with an embedded wheel entry, a single-thread
 * timing wheel walked tick by tick, and a locked wheel whose entries are
 * added and cancelled from another thread while the owner walks it.  Time
 * is counted in ticks whose unit is the program's (here: seconds). */
#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>

#include "kite_timer.h"
#include "locked_timer.h"

typedef struct {
    int id;
    KiteTimerEntry timer; /* linked by the wheel, owned by the request */
} request_t;

#define REQUEST_OF(entry) \
    ((request_t *)((char *)(entry)-offsetof(request_t, timer)))

static int use_timing_wheel(void)
{
    KiteTimer wheel;
    request_t requests[4] = {{1, {0}}, {2, {0}}, {3, {0}}, {4, {0}}};
    KiteTimerEntry head;
    int64_t now = 1000;
    int fired = 0;

    if (kite_timer_init(&wheel, 16, now) != 0) {
        return 1;
    }
    for (int i = 0; i < 4; i++) {
        requests[i].timer.expires = now + 2 + i; /* 2 to 5 ticks ahead */
        kite_timer_add(&wheel, &requests[i].timer);
    }
    kite_timer_remove(&wheel, &requests[1].timer);           /* answered */
    kite_timer_modify(&wheel, &requests[3].timer, now + 30); /* extended */

    for (int tick = 1; tick <= 6; tick++) {
        /* Entries whose expiry is strictly earlier than the time given. */
        int n = kite_timer_timeouts_get(&wheel, now + tick, &head);
        for (KiteTimerEntry *e = head.next; e != NULL; e = e->next) {
            printf("tick %d: request %d timed out\n", tick, REQUEST_OF(e)->id);
        }
        fired += n;
    }
    printf("single-thread wheel: %d fired, request 4 still waits until %lld\n",
           fired, (long long)requests[3].timer.expires);
    kite_timer_remove(&wheel, &requests[3].timer);
    kite_timer_destroy(&wheel);
    return fired == 2 ? 0 : 1;
}

typedef struct {
    LockedTimer *wheel;
    LockedTimerEntry *entries;
    int cancelled;
} canceller_t;

/* Another thread adds two entries and cancels the first. */
static void *cancel_one(void *arg)
{
    canceller_t *c = (canceller_t *)arg;
    locked_timer_add(c->wheel, &c->entries[0]);
    locked_timer_add(c->wheel, &c->entries[1]);
    if (locked_timer_remove(c->wheel, &c->entries[0]) == 0) {
        c->cancelled++;
    }
    return NULL;
}

static int use_locked_wheel(void)
{
    LockedTimer wheel;
    LockedTimerEntry entries[2] = {{.expires = 1003}, {.expires = 1004}};
    LockedTimerEntry head;
    canceller_t canceller = {&wheel, entries, 0};
    pthread_t tid;

    if (locked_timer_init(&wheel, 16, 1000, 4) != 0) {
        return 1;
    }
    if (pthread_create(&tid, NULL, cancel_one, &canceller) != 0) {
        return 1;
    }
    pthread_join(tid, NULL);
    int fired = locked_timer_timeouts_get(&wheel, 1010, &head);
    /* The walk owns what it handed out: removing it now says ETIMEDOUT. */
    int again = locked_timer_remove(&wheel, &entries[1]);
    printf("locked wheel: %d cancelled, %d fired, late remove: %s\n",
           canceller.cancelled, fired, again == ETIMEDOUT ? "ETIMEDOUT" : "?");
    locked_timer_destroy(&wheel);
    return canceller.cancelled == 1 && fired == 1 && again == ETIMEDOUT ? 0 : 1;
}

int main(void)
{
    return use_timing_wheel() != 0 || use_locked_wheel() != 0;
}
