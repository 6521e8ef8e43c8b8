/*
 * shared_buffer: byte buffers that several owners hold at once.
 *
 * A context keeps its buffer records in an object pool (kite_mblock.h).
 * When the pool makes a record it gives it a data area of the context's
 * initial capacity; the record keeps that area for the pool's whole life,
 * so taking a buffer again allocates nothing.  Each record counts its
 * holders: shared_buffer_alloc_ex hands a record out with its first
 * holders, shared_buffer_hold adds one, shared_buffer_release drops one,
 * and the last release gives the record back to the pool (length 0, area
 * kept).  shared_buffer_destroy releases every record and every data area,
 * buffers still held included, which must then no longer be used.
 *
 * Threads: the holder count is atomic, so holders may be added and dropped
 * from any thread.  Taking records and giving them back is safe between
 * threads when the context was set up with need_lock true; otherwise one
 * thread at a time.  The data area itself is not guarded: only the holder
 * that writes a buffer may grow it with shared_buffer_check_capacity.
 */
#ifndef KITE_SHARED_BUFFER_H
#define KITE_SHARED_BUFFER_H

#include <errno.h>
#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "kite_mblock.h"
#include "kt_memory.h"

KT_EXTERN_C_BEGIN

/* A context, owned by the caller: the pool its buffers come from.  Set up
 * by shared_buffer_init_ex, torn down by shared_buffer_destroy. */
typedef struct shared_buffer_context {
    kite_mblock_man allocator;    /* the pool of SharedBuffer records */
    int32_t buffer_init_capacity; /* bytes given to a new record; <= 0: none */
} SharedBufferContext;

/* A buffer record of a context's pool, shared by its holders: taken with
 * shared_buffer_alloc_ex, held and dropped with shared_buffer_hold and
 * shared_buffer_release.  A holder reads and writes buff and length. */
typedef struct shared_buffer {
    char *buff;                    /* data area, or null */
    int32_t capacity;              /* bytes in buff */
    int32_t length;                /* bytes of valid data, <= capacity */
    volatile int32_t reffer_count; /* current holders; 0 while in the pool */
    struct shared_buffer_context *ctx; /* the context the record belongs to */
} SharedBuffer;

/* Sets the context up: a pool named "shared_buffer" that makes
 * alloc_elements_once records at a time (0 or less: the pool's default),
 * each with a data area of buffer_init_capacity bytes (0 or less: none).
 * need_lock makes taking and giving back records safe between threads.
 * Returns 0 or the pool's error number unchanged. */
KT_API int shared_buffer_init_ex(SharedBufferContext *context,
                                 const int alloc_elements_once,
                                 const int buffer_init_capacity,
                                 const bool need_lock);

/* Releases every record with its data area, held or not, and leaves the
 * context zeroed; shared_buffer_init_ex may set it up again. */
KT_API void shared_buffer_destroy(SharedBufferContext *context);

/* A buffer with init_reffer_count holders (at least 1), length 0 and the
 * data area its record has kept (at least the context's initial capacity).
 * Null with errno ENOMEM when no record can be had (logged by the pool), or
 * EINVAL for a holder count below 1 (logged). */
KT_API SharedBuffer *shared_buffer_alloc_ex(SharedBufferContext *context,
                                            const int init_reffer_count);

/* shared_buffer_alloc_ex with one holder. */
KT_API SharedBuffer *shared_buffer_alloc(SharedBufferContext *context);

/* Adds a holder; the caller must be a holder already.  Returns the new
 * count, or -1 when the buffer had no holder left (logged, nothing
 * changed: a record back in its pool is not brought back). */
KT_API int shared_buffer_hold(SharedBuffer *buffer);

/* Drops a holder.  The last one sets length to 0 and gives the record back
 * to its context's pool, keeping its data area.  Returns the holders left
 * (0 for the last), or -1 when the buffer had none (logged, nothing changed,
 * so a record is never given back twice). */
KT_API int shared_buffer_release(SharedBuffer *buffer);

/* Makes the data area at least target_capacity bytes.  If capacity already
 * suffices nothing changes.  Otherwise a new area of exactly target_capacity
 * bytes replaces the old one, which is freed: the contents are NOT copied
 * and length is not changed, so a caller growing a buffer that holds data
 * keeps that data itself.  Returns 0, or ENOMEM (logged) with the buffer
 * unchanged. */
static inline int shared_buffer_check_capacity(SharedBuffer *buffer,
                                               const int target_capacity)
{
    char *buff;
    if (buffer->capacity >= target_capacity) {
        return 0;
    }
    buff = (char *)kt_malloc((size_t)target_capacity);
    if (buff == NULL) {
        return ENOMEM;
    }
    kt_free(buffer->buff);
    buffer->buff = buff;
    buffer->capacity = target_capacity;
    return 0;
}

KT_EXTERN_C_END

#endif
