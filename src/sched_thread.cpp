// Process clock.
//
// One background thread refreshes g_current_time every 100 ms while the
// clock runs, so readers see the current second at most a tenth of a second
// late.  The variables are declared volatile for C callers; inside the
// library every access is an atomic operation through std::atomic_ref.
#include "sched_thread.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "kt_atomic_ref.h"
#include "kt_lock_guard.h"
#include "logger.h"

extern "C" {
KT_API volatile time_t g_current_time = 0;
KT_API volatile int g_schedule_flag = 0;
}

namespace {

pthread_mutex_t g_clock_mutex = PTHREAD_MUTEX_INITIALIZER;  // start and stop
pthread_t g_clock_tid;
bool g_clock_running = false;
std::atomic<bool> g_clock_stop{false};

std::atomic_ref<time_t> current_time()
{
    return kite::atomic_of(g_current_time);
}

std::atomic_ref<int> schedule_flag()
{
    return kite::atomic_of(g_schedule_flag);
}

void *clock_loop(void *)
{
    const struct timespec tick = {0, 100 * 1000 * 1000};
    while (!g_clock_stop.load(std::memory_order_acquire)) {
        current_time().store(time(nullptr), std::memory_order_relaxed);
        nanosleep(&tick, nullptr);
    }
    return nullptr;
}

}  // namespace

extern "C" {

KT_API int kt_sched_clock_start(void)
{
    kite::lock_guard guard(&g_clock_mutex);
    if (!guard.ok()) {
        return guard.error();
    }
    if (g_clock_running) {
        return 0;
    }
    current_time().store(time(nullptr), std::memory_order_relaxed);
    g_clock_stop.store(false, std::memory_order_release);
    int result = pthread_create(&g_clock_tid, nullptr, clock_loop, nullptr);
    if (result != 0) {
        logError("create clock thread fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        return result;
    }
    g_clock_running = true;
    schedule_flag().store(1, std::memory_order_release);
    return 0;
}

KT_API int kt_sched_clock_stop(void)
{
    kite::lock_guard guard(&g_clock_mutex);
    if (!guard.ok()) {
        return guard.error();
    }
    if (!g_clock_running) {
        return 0;
    }
    schedule_flag().store(0, std::memory_order_release);
    g_clock_stop.store(true, std::memory_order_release);
    pthread_join(g_clock_tid, nullptr);
    g_clock_running = false;
    return 0;
}

KT_API time_t kt_get_current_time(void)
{
    if (schedule_flag().load(std::memory_order_acquire) != 0) {
        return current_time().load(std::memory_order_relaxed);
    }
    return time(nullptr);
}

}  // extern "C"
