// Allocation wrapper.
//
// The three function pointers behind the wrapper start as the C library's
// and can be swapped with kt_set_allocator (tests use it to make allocations
// fail).  They are atomics so a swap never tears a pointer another thread is
// reading.  Every failure is logged with the caller's file and line and then
// reported to g_oom_notify before null goes back to the caller.
#include "kt_memory.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kt_atomic_ref.h"
#include "logger.h"

extern "C" {
KT_API kt_memory_oom_notify_func g_oom_notify = nullptr;
}

namespace {

std::atomic<kt_malloc_func> g_malloc{&malloc};
std::atomic<kt_realloc_func> g_realloc{&realloc};
std::atomic<kt_free_func> g_free{&free};

// Out of line and cold, so the allocation paths that every module takes do
// not save and restore the registers the logging call needs.
[[gnu::noinline, gnu::cold]] void report_failure(const char *file, int line,
                                                 const char *call, size_t size)
{
    int err = errno != 0 ? errno : ENOMEM;
    kt_log_write(KT_LOG_ERROR, file, line,
                 "%s %ld bytes fail, errno: %d, error info: %s", call,
                 (long)size, err, kt_strerror(err));
    kt_memory_oom_notify_func notify =
        kite::atomic_of(g_oom_notify).load(std::memory_order_acquire);
    if (notify != nullptr) {
        notify(size);
    }
    errno = err;
}

}  // namespace

extern "C" {

KT_API int kt_set_allocator(kt_malloc_func malloc_fn,
                            kt_realloc_func realloc_fn, kt_free_func free_fn)
{
    g_malloc.store(malloc_fn != nullptr ? malloc_fn : &malloc);
    g_realloc.store(realloc_fn != nullptr ? realloc_fn : &realloc);
    g_free.store(free_fn != nullptr ? free_fn : &free);
    return 0;
}

KT_API void *kt_malloc_ex(const char *file, int line, size_t size)
{
    void *ptr = g_malloc.load(std::memory_order_relaxed)(size != 0 ? size : 1);
    if (__builtin_expect(ptr == nullptr, 0)) {
        report_failure(file, line, "malloc", size);
    }
    return ptr;
}

KT_API void *kt_realloc_ex(const char *file, int line, void *ptr, size_t size)
{
    void *new_ptr =
        g_realloc.load(std::memory_order_relaxed)(ptr, size != 0 ? size : 1);
    if (__builtin_expect(new_ptr == nullptr, 0)) {
        report_failure(file, line, "realloc", size);
    }
    return new_ptr;
}

KT_API void *kt_calloc_ex(const char *file, int line, size_t count, size_t size)
{
    size_t bytes;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        errno = ENOMEM;
        report_failure(file, line, "malloc", SIZE_MAX);
        return nullptr;
    }
    void *ptr = kt_malloc_ex(file, line, bytes);
    if (ptr != nullptr) {
        memset(ptr, 0, bytes);
    }
    return ptr;
}

KT_API char *kt_strdup_ex(const char *file, int line, const char *text)
{
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(kt_malloc_ex(file, line, size));
    if (copy != nullptr) {
        memcpy(copy, text, size);
    }
    return copy;
}

KT_API void kt_free(void *ptr)
{
    if (ptr != nullptr) {
        g_free.load(std::memory_order_relaxed)(ptr);
    }
}

}  // extern "C"
