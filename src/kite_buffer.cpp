// Growable byte buffer.
//
// Capacity grows geometrically (doubling, at least 64 bytes) so a run of
// appends costs amortised O(1) per byte.  Sizes are int32 as in the record;
// a request past INT32_MAX fails with ENOMEM instead of wrapping.  Appends
// keep a NUL after the used bytes when there is room, for callers that print
// the contents, but never count it.
#include "kite_buffer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "kt_alloc_util.h"
#include "kt_memory.h"
#include "logger.h"

namespace {

constexpr int64_t kMinCapacity = 64;

}  // namespace

extern "C" {

KT_API void kite_buffer_init(KiteBuffer *buffer)
{
    buffer->data = nullptr;
    buffer->alloc_size = 0;
    buffer->length = 0;
}

KT_API int kite_buffer_init_ex(KiteBuffer *buffer, const int init_capacity)
{
    kite_buffer_init(buffer);
    if (init_capacity <= 0) {
        return 0;
    }
    buffer->data = static_cast<char *>(kt_malloc(init_capacity));
    if (buffer->data == nullptr) {
        return ENOMEM;
    }
    buffer->alloc_size = init_capacity;
    return 0;
}

KT_API void kite_buffer_destroy(KiteBuffer *buffer)
{
    kt_free(buffer->data);
    kite_buffer_init(buffer);
}

KT_API int kite_buffer_set_capacity(KiteBuffer *buffer, const int capacity)
{
    if (capacity < 0) {
        logError("invalid buffer capacity: %d", capacity);
        return EINVAL;
    }
    if (capacity <= buffer->alloc_size) {
        return 0;
    }
    int64_t size = kite::grown_capacity(buffer->alloc_size, capacity,
                                        kMinCapacity, INT32_MAX);
    if (size == 0) {
        logError("buffer capacity %d exceeds the limit", capacity);
        return ENOMEM;
    }
    char *data = static_cast<char *>(kt_realloc(buffer->data, size));
    if (data == nullptr) {
        return ENOMEM;
    }
    buffer->data = data;
    buffer->alloc_size = (int32_t)size;
    return 0;
}

KT_API int kite_buffer_vappend(KiteBuffer *buffer, const char *format,
                               va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int room = buffer->alloc_size - buffer->length;
    int len = vsnprintf(room > 0 ? buffer->data + buffer->length : nullptr,
                        room > 0 ? room : 0, format, copy);
    va_end(copy);
    if (len < 0) {
        logError("format text fail, format: %s", format);
        return EINVAL;
    }
    if (len >= room) {
        if ((int64_t)buffer->length + len + 1 > INT32_MAX) {
            return ENOMEM;
        }
        int result = kite_buffer_set_capacity(buffer, buffer->length + len + 1);
        if (result != 0) {
            return result;
        }
        vsnprintf(buffer->data + buffer->length, len + 1, format, ap);
    }
    buffer->length += len;
    return 0;
}

KT_API int kite_buffer_append(KiteBuffer *buffer, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int result = kite_buffer_vappend(buffer, format, ap);
    va_end(ap);
    return result;
}

KT_API int kite_buffer_append_buff(KiteBuffer *buffer, const void *data,
                                   const int len)
{
    if (len <= 0) {
        return len == 0 ? 0 : EINVAL;
    }
    if ((int64_t)buffer->length + len > INT32_MAX) {
        return ENOMEM;
    }
    int result = kite_buffer_check_inc_size(buffer, len);
    if (result != 0) {
        return result;
    }
    memcpy(buffer->data + buffer->length, data, len);
    buffer->length += len;
    return 0;
}

}  // extern "C"
