/*
 * kt_lock_guard: internal to the library, not installed API; the one way a
 * module holds a mutex.
 *
 * The guard locks in its constructor and unlocks in its destructor, so every
 * return path releases the lock.  A failed pthread_mutex_lock is logged once,
 * with the file and line of the code that built the guard, at the level the
 * caller picks (error where the operation fails with it, warning where it
 * goes on), and reported through ok() and error(); a guard that failed to
 * lock never unlocks.  The guard is C++ only, so the header stays harmless
 * when a C file includes it.
 *
 * The PTHREAD_MUTEX_LOCK* macros below are the same logging lock and unlock
 * for code that cannot hold a scoped guard; they live here, not in the
 * installed pthread_func.h, because their prefix belongs to POSIX.
 */
#ifndef KITE_KT_LOCK_GUARD_H
#define KITE_KT_LOCK_GUARD_H

#include <pthread.h>

#include "logger.h"
#include "pthread_func.h"

/* Error-level forms, for operations that fail when the lock fails. */
#define PTHREAD_MUTEX_LOCK(lock) \
    kt_mutex_lock_ex(lock, KT_LOG_ERROR, __FILE__, __LINE__)
#define PTHREAD_MUTEX_UNLOCK(lock) \
    kt_mutex_unlock_ex(lock, KT_LOG_ERROR, __FILE__, __LINE__)
/* Warning-level forms, for operations that go on after the failure. */
#define PTHREAD_MUTEX_LOCK_WARN(lock) \
    kt_mutex_lock_ex(lock, KT_LOG_WARNING, __FILE__, __LINE__)
#define PTHREAD_MUTEX_UNLOCK_WARN(lock) \
    kt_mutex_unlock_ex(lock, KT_LOG_WARNING, __FILE__, __LINE__)

#ifdef __cplusplus

#include <cerrno>
#include <mutex>

namespace kite {

// Lock and unlock that log a failure; the bodies of kt_mutex_lock_ex and
// kt_mutex_unlock_ex, inline here because the guards sit on the hot paths of
// the queues and the wheels, where a second call per lock and per unlock is
// measurable.
inline int lock_logged(pthread_mutex_t *lock, int level, const char *file,
                       int line) noexcept
{
    const int result = pthread_mutex_lock(lock);
    if (__builtin_expect(result != 0, 0)) {
        kt_log_call_fail(level, file, line, "pthread_mutex_lock", result);
    }
    return result;
}

inline int unlock_logged(pthread_mutex_t *lock, int level, const char *file,
                         int line) noexcept
{
    const int result = pthread_mutex_unlock(lock);
    if (__builtin_expect(result != 0, 0)) {
        kt_log_call_fail(level, file, line, "pthread_mutex_unlock", result);
    }
    return result;
}

// Tag of the guard that spins briefly before it sleeps on a busy lock.
struct spin_first_t {
    explicit spin_first_t() = default;
};
inline constexpr spin_first_t spin_first{};

// Tries a busy mutex a bounded number of times, pausing between tries;
// true once it holds the lock.  Any result of the try other than EBUSY ends
// the tries, so the blocking lock that follows reports it.
inline bool try_lock_briefly(pthread_mutex_t *lock) noexcept
{
    constexpr int kTries = 64;
    for (int i = 0; i < kTries; i++) {
        int result = pthread_mutex_trylock(lock);
        if (result != EBUSY) {
            return result == 0;
        }
        for (int j = 0; j < 8; j++) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__aarch64__)
            __asm__ __volatile__("yield");
#endif
        }
    }
    return false;
}

class lock_guard {
 public:
    explicit lock_guard(pthread_mutex_t *lock, int level = KT_LOG_ERROR,
                        const char *file = __builtin_FILE(),
                        int line = __builtin_LINE()) noexcept
        : lock_(lock), level_(level), file_(file), line_(line),
          error_(lock_logged(lock, level, file, line))
    {
    }

    // For locks held only a few dozen instructions at a time by threads on
    // other cores (the blocking queues): a short spin usually finds the
    // lock free, where sleeping in the kernel and being woken again costs
    // two system calls and a context switch on each side.
    lock_guard(pthread_mutex_t *lock, spin_first_t, int level = KT_LOG_ERROR,
               const char *file = __builtin_FILE(),
               int line = __builtin_LINE()) noexcept
        : lock_(lock), level_(level), file_(file), line_(line),
          error_(try_lock_briefly(lock) ? 0
                                        : lock_logged(lock, level, file, line))
    {
    }
    // Takes over a mutex the caller has already locked (by a try-lock loop,
    // say) and releases it at the end of the scope.
    lock_guard(pthread_mutex_t *lock, std::adopt_lock_t,
               int level = KT_LOG_ERROR, const char *file = __builtin_FILE(),
               int line = __builtin_LINE()) noexcept
        : lock_(lock), level_(level), file_(file), line_(line), error_(0)
    {
    }

    ~lock_guard() { unlock(); }

    lock_guard(const lock_guard &) = delete;
    lock_guard &operator=(const lock_guard &) = delete;

    bool ok() const noexcept { return error_ == 0; }
    // 0 or the error number of the failed lock.
    int error() const noexcept { return error_; }

    // Releases the lock before the end of the scope; later calls do nothing.
    void unlock() noexcept
    {
        if (error_ == 0 && lock_ != nullptr) {
            unlock_logged(lock_, level_, file_, line_);
            lock_ = nullptr;
        }
    }

 private:
    pthread_mutex_t *lock_;
    int level_;
    const char *file_;
    int line_;
    int error_;
};

}  // namespace kite

#endif  // __cplusplus

#endif
