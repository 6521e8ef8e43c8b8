/* Ordered sets: a factory with several unique skiplists (one per user here)
 * sharing its node pools, range queries on one of them, and a stand-alone
 * skiplist set that releases its elements through a callback. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "skiplist_set.h"
#include "uniq_skiplist.h"

typedef struct {
    int when; /* the key: minutes since midnight */
    const char *what;
} event_t;

/* The probe or new element is always the first argument. */
static int compare_events(const void *a, const void *b)
{
    return ((const event_t *)a)->when - ((const event_t *)b)->when;
}

static int g_released;

static void release_event(void *data)
{
    g_released++;
    free(data);
}

static int use_uniq_skiplists(void)
{
    static event_t events[] = {
        {540, "stand-up"}, {720, "lunch"}, {600, "review"}, {900, "deploy"}};
    UniqSkiplistFactory factory;
    UniqSkiplistIterator it;
    event_t from = {550, NULL}, to = {800, NULL};
    event_t *e;

    /* The events array is static: no release callback is needed. */
    if (uniq_skiplist_init(&factory, 12, compare_events, NULL) != 0) {
        return 1;
    }
    UniqSkiplist *alice = uniq_skiplist_new(&factory, 4);
    UniqSkiplist *bob = uniq_skiplist_new(&factory, 4);
    if (alice == NULL || bob == NULL) {
        return 1;
    }
    for (int i = 0; i < 4; i++) {
        uniq_skiplist_insert(alice, &events[i]);
    }
    uniq_skiplist_insert(bob, &events[3]);
    printf("second insert of 12:00: %s\n",
           uniq_skiplist_insert(alice, &events[1]) == EEXIST ? "EEXIST" : "?");

    printf("alice between 09:10 and 13:20:");
    if (uniq_skiplist_find_range(alice, &from, &to, &it) == 0) {
        while ((e = (event_t *)uniq_skiplist_iterator_next(&it)) != NULL) {
            printf(" %02d:%02d %s", e->when / 60, e->when % 60, e->what);
        }
    }
    printf("\nalice has %d events, bob %d\n", alice->element_count,
           bob->element_count);

    /* Lists go back to the factory before the factory goes. */
    uniq_skiplist_free(alice);
    uniq_skiplist_free(bob);
    uniq_skiplist_destroy(&factory);
    return 0;
}

static int use_skiplist_set(void)
{
    SkiplistSet set;
    SkiplistSetIterator it;
    event_t probe = {600, NULL};

    if (skiplist_set_init(&set, 8, compare_events, release_event) != 0) {
        return 1;
    }
    for (int when = 900; when >= 500; when -= 100) {
        event_t *e = (event_t *)malloc(sizeof(*e));
        if (e == NULL) {
            break;
        }
        e->when = when;
        e->what = "slot";
        if (skiplist_set_insert(&set, e) != 0) {
            free(e); /* not linked: still ours */
        }
    }
    skiplist_set_delete(&set, &probe); /* hands 10:00 to release_event */
    printf("set, first to last:");
    skiplist_set_iterator_init(&set, &it);
    for (event_t *e;
         (e = (event_t *)skiplist_set_iterator_next(&it)) != NULL;) {
        printf(" %02d:%02d", e->when / 60, e->when % 60);
    }
    printf(" (%d elements)\n", skiplist_set_count(&set));
    skiplist_set_destroy(&set); /* hands the rest to release_event */
    printf("released %d elements through the callback\n", g_released);
    return g_released == 5 ? 0 : 1;
}

int main(void)
{
    return use_uniq_skiplists() != 0 || use_skiplist_set() != 0;
}
