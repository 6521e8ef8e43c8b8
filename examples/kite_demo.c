/* A small tour of the base services: the clock thread, the logger and the
 * object pool.  Prints what it does on standard output. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kite_mblock.h"
#include "logger.h"
#include "sched_thread.h"

typedef struct {
    int id;
    char name[28];
} session_t;

static int init_session(void *element, void *args)
{
    int *created = (int *)args;
    session_t *s = (session_t *)element;
    s->id = ++(*created);
    return 0;
}

int main(void)
{
    int created = 0;
    kite_mblock_man pool;
    session_t *sessions[100];
    kite_mblock_stats stats;

    if (kt_sched_clock_start() != 0) {
        return 1;
    }
    printf("clock thread running: g_schedule_flag=%d, g_current_time=%ld\n",
           g_schedule_flag, (long)g_current_time);

    if (kite_mblock_init_ex1(&pool, "session", sizeof(session_t), 64, 0,
                             init_session, &created, true) != 0) {
        return 1;
    }
    for (int i = 0; i < 100; i++) {
        sessions[i] = (session_t *)kite_mblock_alloc_object(&pool);
        snprintf(sessions[i]->name, sizeof(sessions[i]->name), "peer-%d", i);
    }
    kite_mblock_get_stats(&pool, &stats);
    printf("allocated 100 sessions from pool \"%s\": %lld elements in %lld "
           "trunks, init function ran %d times\n",
           pool.name, (long long)stats.element_total_count,
           (long long)stats.trunk_total_count, created);

    for (int i = 0; i < 50; i++) {
        kite_mblock_free_object(&pool, sessions[i]);
    }
    for (int i = 50; i < 100; i++) {
        kite_mblock_delay_free_object(&pool, sessions[i], 60);
    }
    session_t *again = (session_t *)kite_mblock_alloc_object(&pool);
    printf("reused element keeps its memory: id=%d name=%s (no re-init)\n",
           again->id, again->name);
    kite_mblock_free_object(&pool, again);

    kite_mblock_get_stats(&pool, &stats);
    printf("after freeing: used=%lld, waiting out a 60 s delay=%lld\n",
           (long long)stats.element_used_count,
           (long long)stats.delay_free_count);

    printf("the log line below goes to standard error:\n");
    fflush(stdout);
    kite_mblock_log_stats(&pool);
    kite_mblock_destroy(&pool);
    kt_sched_clock_stop();
    printf("pool destroyed, clock stopped: g_schedule_flag=%d\n",
           g_schedule_flag);
    return 0;
}
