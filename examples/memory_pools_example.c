/* Memory pools and shared buffers.  A memory pool holds the words of each
 * request for as long as the request lasts and is emptied in one call; a
 * shared buffer carries one message to two worker threads, and whoever lets
 * go last gives it back to its context; an object pool with an element
 * release function frees what its init function attached to each element. */
#include <errno.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#include "kite_mblock.h"
#include "kite_mpool.h"
#include "kt_memory.h"
#include "shared_buffer.h"

/* The pool does not align: each record's size is rounded up to 16 so that
 * the record after it starts as aligned as the first one of the trunk. */
#define ALIGNED(size) (((size) + 15) & ~(size_t)15)

typedef struct word {
    struct word *next;
    int length;
    char text[];
} word_t;

/* The words of line, as a list of records carved from the pool. */
static word_t *split_words(struct kite_mpool_man *pool, const char *line)
{
    word_t *head = NULL, **tail = &head;
    for (const char *p = line; *p != '\0';) {
        size_t n = strcspn(p, " ");
        if (n > 0) {
            word_t *w = (word_t *)kite_mpool_alloc(
                pool, (int)ALIGNED(sizeof(word_t) + n + 1));
            if (w == NULL) {
                return NULL; /* logged; errno ENOMEM */
            }
            w->next = NULL;
            w->length = (int)n;
            memcpy(w->text, p, n);
            w->text[n] = '\0';
            *tail = w;
            tail = &w->next;
        }
        p += n + (p[n] == ' ');
    }
    return head;
}

static void *worker(void *arg)
{
    SharedBuffer *message = (SharedBuffer *)arg;
    long sum = 0;
    for (int i = 0; i < message->length; i++) {
        sum += (unsigned char)message->buff[i];
    }
    printf("worker: %d bytes, byte sum %ld\n", message->length, sum);
    shared_buffer_release(message); /* the last holder gives it back */
    return NULL;
}

typedef struct {
    char *name; /* attached by the init function */
} session_t;

static int session_init(void *element, void *args)
{
    (void)args;
    ((session_t *)element)->name = (char *)kt_malloc(32);
    return ((session_t *)element)->name != NULL ? 0 : ENOMEM;
}

static void session_release(void *element, void *args)
{
    kt_free(((session_t *)element)->name);
    (*(int *)args)++;
}

int main(void)
{
    static const char *requests[] = {"get user 42", "set user 42 name kite",
                                     "delete user 7"};
    struct kite_mpool_man pool;
    struct kite_mpool_stats stats;

    /* 1. Memory pool: trunks of 4 KiB; 0 keeps the default discard size (64).
     */
    kite_mpool_init(&pool, 4096, 0);
    for (int r = 0; r < 3; r++) {
        int count = 0;
        for (word_t *w = split_words(&pool, requests[r]); w != NULL;
             w = w->next) {
            count++;
        }
        kite_mpool_stats(&pool, &stats);
        printf("request %d: %d words, pool %lld bytes, %lld free\n", r, count,
               (long long)stats.total_bytes, (long long)stats.free_bytes);
        kite_mpool_reset(&pool); /* every word is gone; the trunk stays */
    }
    /* A request of at least alloc_size_once bytes gets a trunk of its own,
     * which leaves the list of trunks with room at once. */
    char *big = (char *)kite_mpool_alloc(&pool, 10000);
    kite_mpool_stats(&pool, &stats);
    printf("after a 10000-byte block: %d trunks, %d with room\n",
           stats.total_trunk_count, stats.free_trunk_count);
    bool pool_ok = big != NULL && stats.total_trunk_count == 2 &&
                   stats.free_trunk_count == 1;
    kite_mpool_destroy(&pool); /* back to the allocator; sizes kept */

    /* 2. Shared buffers: records of 256 bytes, made 8 at a time, taken and
     * given back from several threads (need_lock). */
    SharedBufferContext context;
    pthread_t threads[2];
    if (shared_buffer_init_ex(&context, 8, 256, true) != 0) {
        return 1;
    }
    SharedBuffer *message =
        shared_buffer_alloc_ex(&context, 3); /* main + 2 workers */
    if (message == NULL) {
        return 1;
    }
    message->length =
        snprintf(message->buff, (size_t)message->capacity, "%s", requests[1]);
    for (int i = 0; i < 2; i++) {
        if (pthread_create(&threads[i], NULL, worker, message) != 0) {
            return 1;
        }
    }
    printf("main lets go, holders left: %d\n", shared_buffer_release(message));
    for (int i = 0; i < 2; i++) {
        pthread_join(threads[i], NULL);
    }
    /* Back in the pool, the record kept its area: taking one costs no malloc.
     */
    SharedBuffer *again = shared_buffer_alloc(&context);
    printf("taken again: capacity %d, length %d\n", again->capacity,
           again->length);
    /* Growing replaces the area without copying: keep what you need first. */
    if (shared_buffer_check_capacity(again, 4096) != 0) {
        return 1;
    }
    printf("grown to %d bytes\n", again->capacity);
    shared_buffer_release(again);
    shared_buffer_destroy(&context); /* every record and data area */

    /* 3. An object pool whose elements own memory: the release function
     * frees it for every element the pool made, at destroy. */
    kite_mblock_man sessions;
    int released = 0;
    if (kite_mblock_init_ex1(&sessions, "sessions", sizeof(session_t), 16, 0,
                             session_init, NULL, false) != 0) {
        return 1;
    }
    kite_mblock_set_release_func(&sessions, session_release, &released);
    session_t *session = (session_t *)kite_mblock_alloc_object(&sessions);
    if (session == NULL) {
        return 1;
    }
    snprintf(session->name, 32, "session-%d", 1);
    printf("%s from a pool of sessions\n", session->name);
    kite_mblock_free_object(&sessions, session);
    kite_mblock_destroy(&sessions);
    printf("names released at destroy: %d\n", released);
    return pool_ok && released == 16 ? 0 : 1;
}
