/*
 * KiteBuffer: a growable byte buffer.
 *
 * data holds alloc_size bytes of which the first length are in use.  The
 * buffer grows by doubling from its current size (at least to the size asked
 * for); growth keeps the bytes in use.  Appends never truncate: they grow the
 * buffer or fail with ENOMEM leaving it unchanged.  After kite_buffer_init the
 * record is empty (null data) and usable; kite_buffer_destroy leaves it so.
 */
#ifndef KITE_KITE_BUFFER_H
#define KITE_KITE_BUFFER_H

#include <errno.h>
#include <stdarg.h>
#include <stdint.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* A growable byte buffer, owned by the caller. */
typedef struct {
    char *data;         /* alloc_size bytes, or null before the first growth */
    int32_t alloc_size; /* bytes allocated at data */
    int32_t length;     /* bytes in use */
} KiteBuffer;

/* Empties the record without allocating. */
KT_API void kite_buffer_init(KiteBuffer *buffer);

/* Empties the record and allocates init_capacity bytes (none when it is 0
 * or less).  Returns 0 or ENOMEM. */
KT_API int kite_buffer_init_ex(KiteBuffer *buffer, const int init_capacity);

/* Releases the memory; the record is left empty. */
KT_API void kite_buffer_destroy(KiteBuffer *buffer);

/* Makes alloc_size at least capacity, keeping the first length bytes.
 * Returns 0, EINVAL for a negative capacity, or ENOMEM (buffer unchanged). */
KT_API int kite_buffer_set_capacity(KiteBuffer *buffer, const int capacity);

/* Appends printf-style text at length (a NUL is kept after it but not
 * counted).  Returns 0, EINVAL for a bad format, or ENOMEM (unchanged). */
KT_API int kite_buffer_append(KiteBuffer *buffer, const char *format, ...)
    KT_PRINTF_FORMAT(2, 3);
KT_API int kite_buffer_vappend(KiteBuffer *buffer, const char *format,
                               va_list ap);

/* Appends len bytes.  Returns 0 or ENOMEM (unchanged). */
KT_API int kite_buffer_append_buff(KiteBuffer *buffer, const void *data,
                                   const int len);

/* 0 at once when alloc_size >= capacity, else kite_buffer_set_capacity. */
static inline int kite_buffer_check_capacity(KiteBuffer *buffer,
                                             const int capacity)
{
    if (buffer->alloc_size >= capacity) {
        return 0;
    }
    return kite_buffer_set_capacity(buffer, capacity);
}

/* Room for inc_size more bytes after length.  E2BIG when length + inc_size
 * would pass INT32_MAX (the sum is never formed in 32 bits). */
static inline int kite_buffer_check_inc_size(KiteBuffer *buffer,
                                             const int inc_size)
{
    const int64_t capacity = (int64_t)buffer->length + inc_size;
    if (capacity > INT32_MAX) {
        return E2BIG;
    }
    return kite_buffer_check_capacity(buffer, (int)capacity);
}

/* Drops the contents, keeping the memory. */
static inline void kite_buffer_reset(KiteBuffer *buffer)
{
    buffer->length = 0;
}

KT_EXTERN_C_END

#endif
