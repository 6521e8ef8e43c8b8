/* Queues and thread pool: a dispatcher thread takes jobs from an intrusive
 * queue (the job records carry their own link), hands each to a thread
 * pool, and the workers pass their results back through a blocking queue of
 * pointers.  A pop waits at most once, and a timed pop's deadline counts
 * from the current whole second (it may end early, even at once), so every
 * waiting pop sits in a loop with its own bound. */
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <time.h>

#include "common_blocked_queue.h"
#include "kt_queue.h"
#include "thread_pool.h"

#define JOB_COUNT 20

typedef struct job {
    int number; /* -1 tells the dispatcher to stop */
    long square;
    struct job *next; /* the queue's link, at next_ptr_offset */
} job_t;

static struct kt_queue g_jobs;
static struct common_blocked_queue g_results;
static KTThreadPool g_pool;
static volatile bool g_running = true;

/* A work item on a pool thread. */
static void square_job(void *arg, void *thread_data)
{
    (void)thread_data;
    job_t *job = (job_t *)arg;
    job->square = (long)job->number * job->number;
    common_blocked_queue_push(&g_results, job);
}

static double seconds_now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static void *dispatch(void *arg)
{
    (void)arg;
    for (;;) {
        job_t *job = (job_t *)kt_queue_pop(&g_jobs); /* waits once */
        if (job == NULL) {
            continue; /* woken, still empty */
        }
        if (job->number < 0) {
            return NULL;
        }
        if (kt_thread_pool_run(&g_pool, square_job, job) != 0) {
            return NULL;
        }
    }
}

int main(void)
{
    static job_t jobs[JOB_COUNT + 1];
    pthread_t dispatcher;
    long total = 0;
    int received = 0;

    if (kt_queue_init(&g_jobs, offsetof(job_t, next)) != 0 ||
        common_blocked_queue_init(&g_results) != 0 ||
        kt_thread_pool_init(&g_pool, "squares", 4, 256 * 1024, 5, 1,
                            &g_running) != 0) {
        return 1;
    }
    if (pthread_create(&dispatcher, NULL, dispatch, NULL) != 0) {
        return 1;
    }
    for (int i = 0; i <= JOB_COUNT; i++) {
        jobs[i].number = i < JOB_COUNT ? i + 1 : -1; /* the last one stops */
        kt_queue_push(&g_jobs, &jobs[i]);
    }
    /* Collect the results, for ten seconds at most. */
    double give_up = seconds_now() + 10;
    while (received < JOB_COUNT && seconds_now() < give_up) {
        job_t *done =
            (job_t *)common_blocked_queue_timedpop(&g_results, 1, 's');
        for (; done != NULL;
             done = (job_t *)common_blocked_queue_try_pop(&g_results)) {
            total += done->square;
            received++;
        }
    }
    pthread_join(dispatcher, NULL);
    printf("%d results, sum of squares 1..%d = %ld, pool of %d slots\n",
           received, JOB_COUNT, total, g_pool.thread_counts.limit);

    /* Stop the pool (threads end after their accepted work), then release
     * the queues, which no thread uses any more. */
    __atomic_store_n(&g_running, false, __ATOMIC_SEQ_CST);
    kt_thread_pool_destroy(&g_pool);
    common_blocked_queue_destroy(&g_results);
    kt_queue_destroy(&g_jobs);
    return received == JOB_COUNT && total == 2870 ? 0 : 1;
}
