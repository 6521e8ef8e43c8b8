/*
 * Allocation wrapper: every allocation of the library goes through here.
 *
 * A failed allocation is logged at error level with the caller's file and
 * line as the prefix ("malloc %ld bytes fail, errno: %d, error info: %s"),
 * then g_oom_notify is called with the byte count if it is set, and null is
 * returned; callers report ENOMEM.  The underlying functions can be replaced
 * (for example to inject failures in tests) with kt_set_allocator.
 */
#ifndef KITE_KT_MEMORY_H
#define KITE_KT_MEMORY_H

#include <stddef.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* Out-of-memory hook: told the byte count of a failed allocation. */
typedef void (*kt_memory_oom_notify_func)(const size_t curr_size);

/* Called with the byte count of every failed allocation; null when no hook
 * is installed.  Set it once at start-up. */
extern KT_API kt_memory_oom_notify_func g_oom_notify;

/* The allocator functions behind the wrapper, with the C library's
 * contracts of malloc, realloc and free. */
typedef void *(*kt_malloc_func)(size_t size);
typedef void *(*kt_realloc_func)(void *ptr, size_t size);
typedef void (*kt_free_func)(void *ptr);

/* Replaces the functions behind the wrapper; a null argument restores the C
 * library's function for that slot.  Memory must be released by the free
 * function that matches the one that allocated it, so switch only while
 * nothing allocated by the old set is still alive, or keep free compatible.
 * Returns 0. */
KT_API int kt_set_allocator(kt_malloc_func malloc_fn,
                            kt_realloc_func realloc_fn, kt_free_func free_fn);

/* malloc(size) through the current allocator; null on failure (logged with
 * file and line, hook called).  size 0 is treated as 1. */
KT_API void *kt_malloc_ex(const char *file, int line, size_t size);

/* realloc(ptr, size); on failure ptr is left untouched and null returned
 * (logged, hook called). */
KT_API void *kt_realloc_ex(const char *file, int line, void *ptr, size_t size);

/* kt_malloc_ex then zero the bytes; count * size overflowing fails as an
 * allocation failure. */
KT_API void *kt_calloc_ex(const char *file, int line, size_t count,
                          size_t size);

/* A copy of the NUL-terminated text, or null (logged). */
KT_API char *kt_strdup_ex(const char *file, int line, const char *text);

/* Releases memory from any of the functions above; null is ignored. */
KT_API void kt_free(void *ptr);

KT_EXTERN_C_END

/* The allocation functions above with the caller's file and line, which
 * name the place in the log line of a failure. */
#define kt_malloc(size) kt_malloc_ex(__FILE__, __LINE__, size)
#define kt_realloc(ptr, size) kt_realloc_ex(__FILE__, __LINE__, ptr, size)
#define kt_calloc(count, size) kt_calloc_ex(__FILE__, __LINE__, count, size)
#define kt_strdup(text) kt_strdup_ex(__FILE__, __LINE__, text)

#endif
