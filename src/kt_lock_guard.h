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

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "kt_atomic_ref.h"

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

// When the spin pays.  Spinning on a busy lock wins only while the holder
// runs on another CPU and lets go within a few hundred nanoseconds.  Once
// more threads take busy spinning locks than there are CPUs, the holder may
// wait for the very CPU the spinner keeps, and a thread that sleeps hands
// its CPU to one that has work: 4 producers and 4 consumers on two cores
// ran markedly slower with the spin.  The spinning guard then sleeps at once.
// One spin-wait hint to the CPU: lets the sibling hyperthread run and
// saves power while a thread watches memory another thread will write.
inline void cpu_relax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

namespace spin_detail {

// Threads that have found a spinning lock busy at least once, counted until
// they exit (threads that share queues usually live as long as the queues).
inline std::atomic<int> busy_threads{0};

struct busy_thread_mark {
    bool counted = false;
    ~busy_thread_mark()
    {
        if (counted) {
            busy_threads.fetch_sub(1, std::memory_order_relaxed);
        }
    }
};
inline thread_local busy_thread_mark this_thread_mark;

inline int online_cpus() noexcept
{
    static const int count = [] {
        const long n = sysconf(_SC_NPROCESSORS_ONLN);
        return n > 0 ? static_cast<int>(n) : 1;
    }();
    return count;
}

// Called once per take that found the lock busy.
inline bool spin_pays() noexcept
{
    if (!this_thread_mark.counted) {
        this_thread_mark.counted = true;
        busy_threads.fetch_add(1, std::memory_order_relaxed);
    }
    return busy_threads.load(std::memory_order_relaxed) <= online_cpus();
}

// True while the mutex is visibly held: spinning on a plain read keeps the
// lock's cache line shared until the holder writes it, where a try per
// round would pull it away from the holder every time.
inline bool looks_held(pthread_mutex_t *lock) noexcept
{
#ifdef __GLIBC__
    return kite::atomic_of(lock->__data.__lock)
               .load(std::memory_order_relaxed) != 0;
#else
    (void)lock;
    return false;
#endif
}

inline void pause_briefly() noexcept
{
    for (int j = 0; j < 8; j++) {
        cpu_relax();
    }
}

}  // namespace spin_detail

// Takes a free mutex at once; a busy one it tries a bounded number of times,
// pausing between tries, when the spin pays (above).  True once it holds the
// lock.  Any result of a try other than EBUSY ends the tries, so the
// blocking lock that follows reports it.
inline bool try_lock_briefly(pthread_mutex_t *lock) noexcept
{
    using namespace spin_detail;
    int result = pthread_mutex_trylock(lock);
    if (__builtin_expect(result == 0, 1)) {
        return true;
    }
    if (result != EBUSY || !spin_pays()) {
        return false;
    }
    constexpr int kTries = 64;
    for (int i = 0; i < kTries; i++) {
        pause_briefly();
        if (looks_held(lock)) {
            continue;
        }
        result = pthread_mutex_trylock(lock);
        if (result != EBUSY) {
            return result == 0;
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
    // two system calls and a context switch on each side.  The spin is
    // skipped where it does not pay (spin_detail above).
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
