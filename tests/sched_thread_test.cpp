// kite-test-labels: concurrent
#include "sched_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// The clock thread writes these with atomic stores; read them the same way.
time_t LoadTime()
{
    return __atomic_load_n(&g_current_time, __ATOMIC_ACQUIRE);
}
int LoadFlag()
{
    return __atomic_load_n(&g_schedule_flag, __ATOMIC_ACQUIRE);
}

TEST(SchedThreadTest, ClockRunsKeepsTimeAndStops)
{
    ASSERT_EQ(LoadFlag(), 0);
    EXPECT_EQ(kt_get_current_time() >= time(nullptr) - 1, true);
    ASSERT_EQ(kt_sched_clock_start(), 0);
    EXPECT_EQ(kt_sched_clock_start(), 0);  // second start: no second thread
    EXPECT_NE(LoadFlag(), 0);
    time_t first = LoadTime();
    EXPECT_LE(time(nullptr) - first, 1);
    // The clock follows the wall clock across a second boundary.
    time_t target = first + 1;
    for (int i = 0; i < 300 && LoadTime() < target; i++) usleep(10000);
    EXPECT_GE(LoadTime(), target);
    EXPECT_EQ(kt_sched_clock_stop(), 0);
    EXPECT_EQ(LoadFlag(), 0);
    EXPECT_EQ(kt_sched_clock_stop(), 0);
}

TEST(SchedThreadTest, ReadersRaceStartAndStopSafely)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; i++) {
        readers.emplace_back([&stop] {
            time_t last = 0;
            while (!stop.load()) {
                time_t now = kt_get_current_time();
                EXPECT_GE(now + 1,
                          last);  // never goes back by more than a tick
                last = now;
            }
        });
    }
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(kt_sched_clock_start(), 0);
        usleep(2000);
        ASSERT_EQ(kt_sched_clock_stop(), 0);
    }
    stop.store(true);
    for (auto &t : readers) t.join();
}

}  // namespace
