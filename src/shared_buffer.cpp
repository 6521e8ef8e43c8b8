// Shared buffers.
//
// The records live in the context's object pool.  The pool's init function
// gives each new record its context and a data area; the pool's element
// release function frees that area again, both when the pool is destroyed
// (every record, held or not) and when a batch of new records fails part-way
// through, so no data area outlives its pool.
//
// The holder count is read and changed only through std::atomic_ref, and
// every change is a compare-and-swap that refuses to move a count of 0 or
// less: a hold or release on a buffer already given back is logged and
// changes nothing, so a stray release can never put a record into the pool
// twice.  The release that brings the count to 0 synchronises (acq_rel)
// with every earlier release, so the holders' last accesses to the record
// happen before it goes back to the pool and is handed out again.
#include "shared_buffer.h"

#include <atomic>
#include <cerrno>

#include "logger.h"

namespace {

std::atomic_ref<int32_t> holders(SharedBuffer *buffer)
{
    return std::atomic_ref<int32_t>(
        const_cast<int32_t &>(buffer->reffer_count));
}

// The pool's init function: a zeroed record gets its context and area.
int shared_buffer_alloc_init(void *element, void *args)
{
    auto *buffer = static_cast<SharedBuffer *>(element);
    auto *context = static_cast<SharedBufferContext *>(args);
    buffer->ctx = context;
    return shared_buffer_check_capacity(buffer, context->buffer_init_capacity);
}

// The pool's element release function: frees the record's data area.
void shared_buffer_free_area(void *element, void *)
{
    auto *buffer = static_cast<SharedBuffer *>(element);
    kt_free(buffer->buff);
    buffer->buff = nullptr;
    buffer->capacity = 0;
    buffer->length = 0;
}

// Moves the count by delta (+1 or -1) unless it is 0 or less; returns the
// new count, or -1 when there was no holder.
int32_t change_holders(SharedBuffer *buffer, int32_t delta,
                       std::memory_order order)
{
    std::atomic_ref<int32_t> count = holders(buffer);
    int32_t old_count = count.load(std::memory_order_relaxed);
    do {
        if (old_count <= 0) {
            return -1;
        }
    } while (!count.compare_exchange_weak(old_count, old_count + delta, order,
                                          std::memory_order_relaxed));
    return old_count + delta;
}

}  // namespace

extern "C" {

KT_API int shared_buffer_init_ex(SharedBufferContext *context,
                                 const int alloc_elements_once,
                                 const int buffer_init_capacity,
                                 const bool need_lock)
{
    context->buffer_init_capacity = buffer_init_capacity;
    int result = kite_mblock_init_ex2(&context->allocator, "shared_buffer",
                                      sizeof(SharedBuffer), alloc_elements_once,
                                      0, shared_buffer_alloc_init, context,
                                      need_lock, nullptr, nullptr, nullptr);
    if (result == 0) {
        kite_mblock_set_release_func(&context->allocator,
                                     shared_buffer_free_area, nullptr);
    }
    return result;
}

KT_API void shared_buffer_destroy(SharedBufferContext *context)
{
    kite_mblock_destroy(&context->allocator);
    context->buffer_init_capacity = 0;
}

KT_API SharedBuffer *shared_buffer_alloc_ex(SharedBufferContext *context,
                                            const int init_reffer_count)
{
    if (init_reffer_count <= 0) {
        logError("invalid init reffer count: %d <= 0", init_reffer_count);
        errno = EINVAL;
        return nullptr;
    }
    auto *buffer = static_cast<SharedBuffer *>(
        kite_mblock_alloc_object(&context->allocator));
    if (buffer == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    // Nobody else can see the record yet; the handing over to other
    // threads is the caller's and carries its own ordering.
    holders(buffer).store(init_reffer_count, std::memory_order_relaxed);
    return buffer;
}

KT_API SharedBuffer *shared_buffer_alloc(SharedBufferContext *context)
{
    return shared_buffer_alloc_ex(context, 1);
}

KT_API int shared_buffer_hold(SharedBuffer *buffer)
{
    // A new holder comes from an existing one, which orders it already.
    int32_t count = change_holders(buffer, 1, std::memory_order_relaxed);
    if (count < 0) {
        logError("buffer %p has no holder, it can't be held", (void *)buffer);
    }
    return count;
}

KT_API int shared_buffer_release(SharedBuffer *buffer)
{
    int32_t count = change_holders(buffer, -1, std::memory_order_acq_rel);
    if (count < 0) {
        logError("buffer %p has no holder left, released more times than "
                 "held",
                 (void *)buffer);
    } else if (count == 0) {
        buffer->length = 0;
        kite_mblock_free_object(&buffer->ctx->allocator, buffer);
    }
    return count;
}

}  // extern "C"
