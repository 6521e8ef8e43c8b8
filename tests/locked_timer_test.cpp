// kite-test-labels: concurrent
// Tests of the slot-locked timing wheel: filing and walk order, the status
// protocol between removers and the walk, lock failures, and a multi-thread
// stress run in which every entry must end exactly one way.
#include "locked_timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <thread>
#include <vector>

#include "logger.h"
#include "test_util.h"

namespace {

using Out = std::vector<LockedTimerEntry *>;

class Wheel {
 public:
    Wheel(int slots, int64_t start, int locks = 4, bool set_index = false)
    {
        EXPECT_EQ(0,
                  locked_timer_init_ex(&timer, slots, start, locks, set_index));
    }
    ~Wheel() { locked_timer_destroy(&timer); }
    Out walk(int64_t now)
    {
        LockedTimerEntry head;
        head.next = &head;  // must be overwritten
        int count = locked_timer_timeouts_get(&timer, now, &head);
        Out out;
        for (LockedTimerEntry *e = head.next; e != nullptr; e = e->next) {
            EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_TIMEOUT, e->status);
            EXPECT_TRUE(kt_list_empty(&e->dlink));
            out.push_back(e);
        }
        EXPECT_EQ((size_t)count, out.size());
        return out;
    }
    bool linked_in(LockedTimerEntry *e, int slot)
    {
        struct kt_list_head *pos, *n;
        kt_list_for_each_safe(pos, n, &timer.slots[slot].head)
        {
            if (pos == &e->dlink) return true;
        }
        return false;
    }
    LockedTimer timer;
};

TEST(LockedTimerTest, InitChecksArgumentsAndCleansUpAfterFailure)
{
    LockedTimer timer;
    memset(&timer, 0x5a, sizeof(timer));
    LockedTimer copy = timer;
    EXPECT_EQ(EINVAL, locked_timer_init_ex(&timer, 0, 10, 1, false));
    EXPECT_EQ(EINVAL, locked_timer_init_ex(&timer, 4, 0, 1, false));
    EXPECT_EQ(EINVAL, locked_timer_init_ex(&timer, 4, 10, 0, false));
    EXPECT_EQ(EINVAL, locked_timer_init_ex(&timer, 4, 10, 65536, false));
    EXPECT_EQ(0, memcmp(&copy, &timer, sizeof(timer)));

    kite_test::LogCapture log;
    for (int64_t succeed = 0; succeed < 2; ++succeed) {
        {
            kite_test::FailingAllocator fail(succeed);
            EXPECT_EQ(ENOMEM, locked_timer_init_ex(&timer, 4, 10, 3, true));
        }
        EXPECT_EQ(nullptr, timer.slots);
        EXPECT_EQ(nullptr, timer.entry_shares.locks);
        locked_timer_destroy(&timer);  // a no-op after a failed init
    }
    const std::string msg = "malloc " +
                            std::to_string(3 * sizeof(pthread_mutex_t)) +
                            " bytes fail, errno: ";
    EXPECT_TRUE(log.contains(msg)) << log.last();
    EXPECT_TRUE(log.contains("file: locked_timer.cpp, line: ")) << log.last();

    ASSERT_EQ(0, locked_timer_init_ex(&timer, 4, 10, 3, true));
    EXPECT_EQ(3, timer.entry_shares.count);
    EXPECT_TRUE(timer.entry_shares.set_lock_index);
    EXPECT_EQ(10, timer.base_time);
    EXPECT_EQ(10, timer.current_time);
    locked_timer_destroy(&timer);
    EXPECT_EQ(nullptr, timer.slots);
    EXPECT_EQ(nullptr, timer.entry_shares.locks);
    EXPECT_EQ(0, timer.entry_shares.count);
}

TEST(LockedTimerTest, AddClampsLateTimesAndWalkHandsOutOldestFirst)
{
    Wheel w(8, 100);
    LockedTimerEntry late = {}, a = {}, b = {}, c = {}, own = {};
    late.rehash = true;
    locked_timer_add_ex(&w.timer, &late, 50, 0);  // not later: next tick
    EXPECT_EQ(101, late.expires);
    EXPECT_EQ(1u, late.slot_index);
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_QUEUED, late.status);
    EXPECT_FALSE(late.rehash);
    own.expires = 999;
    locked_timer_add_ex(&w.timer, &own, 103, 0);  // slot of 103, keeps 999
    EXPECT_EQ(999, own.expires);
    EXPECT_EQ(3u, own.slot_index);
    for (LockedTimerEntry *e : {&b, &a, &c})
        locked_timer_add_ex(&w.timer, e, 102, 1);

    EXPECT_EQ(Out{}, w.walk(100));  // not later than current_time
    EXPECT_EQ(Out{}, w.walk(101));  // 101 is not < 101
    EXPECT_EQ(Out{&late}, w.walk(102));
    EXPECT_EQ(1u, late.slot_index);  // handed out with its old slot
    EXPECT_EQ((Out{&b, &a, &c}), w.walk(103));
    EXPECT_TRUE(w.linked_in(&own, 3));
    EXPECT_EQ(Out{}, w.walk(200));  // its slot is passed, 999 is ahead
    EXPECT_EQ(Out{&own}, w.walk(1000));
}

// The short forms are functions: an argument with a side effect is
// evaluated once.
TEST(LockedTimerTest, ShortFormsEvaluateTheirArgumentsOnce)
{
    LockedTimer timer;
    ASSERT_EQ(0, locked_timer_init(&timer, 8, 100, 2));
    LockedTimerEntry entries[2] = {};
    entries[0].expires = 105;
    entries[1].expires = 107;
    LockedTimerEntry *cursor = entries;
    locked_timer_add(&timer, cursor++);
    EXPECT_EQ(entries + 1, cursor);
    EXPECT_EQ(105, entries[0].expires);
    EXPECT_EQ(5u, entries[0].slot_index);
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_NONE, entries[1].status);
    cursor = entries;
    EXPECT_EQ(0, locked_timer_remove(&timer, cursor++));
    EXPECT_EQ(entries + 1, cursor);
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_QUEUED,
              entries[0].status);  // status kept
    EXPECT_TRUE(kt_list_empty(&entries[0].dlink));
    locked_timer_destroy(&timer);
}

TEST(LockedTimerTest, RemoveFollowsTheStatusProtocol)
{
    Wheel w(8, 100);
    LockedTimerEntry e = {}, keep = {}, gone = {}, never = {}, odd = {};
    e.lock_index = 9;  // beyond the 4 locks: must still pick a valid one
    locked_timer_add_ex(&w.timer, &e, 105, 1);
    EXPECT_EQ(0, locked_timer_remove_ex(&w.timer, &e, 4));
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_CANCELED, e.status);
    EXPECT_TRUE(kt_list_empty(&e.dlink));
    EXPECT_TRUE(kt_list_empty(&w.timer.slots[5].head));
    EXPECT_EQ(ECANCELED, locked_timer_remove_ex(&w.timer, &e, 4));
    EXPECT_EQ(ECANCELED, locked_timer_modify(&w.timer, &e, 300));

    locked_timer_add_ex(&w.timer, &keep, 105, 1);
    EXPECT_EQ(0, locked_timer_remove_ex(&w.timer, &keep, 0));
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_QUEUED, keep.status);
    EXPECT_TRUE(kt_list_empty(&w.timer.slots[5].head));

    EXPECT_EQ(EINVAL, locked_timer_remove_ex(&w.timer, &never, 4));
    EXPECT_EQ(EINVAL, locked_timer_modify(&w.timer, &never, 1));
    odd.status = 5;
    EXPECT_EQ(EINVAL, locked_timer_remove_ex(&w.timer, &odd, 4));

    locked_timer_add_ex(&w.timer, &gone, 101, 1);
    EXPECT_EQ(Out{&gone}, w.walk(102));
    EXPECT_EQ(ETIMEDOUT, locked_timer_remove_ex(&w.timer, &gone, 4));
    EXPECT_EQ(ETIMEDOUT, locked_timer_modify(&w.timer, &gone, 300));
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_TIMEOUT, gone.status);
    EXPECT_EQ(101, gone.expires);
    locked_timer_add_ex(&w.timer, &gone, 104, 1);  // re-adding revives it
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_QUEUED, gone.status);
}

TEST(LockedTimerTest, ModifyMovesEarlierAndFlagsLater)
{
    Wheel w(10, 1);
    LockedTimerEntry e = {}, f = {};
    locked_timer_add_ex(&w.timer, &e, 8, 1);
    EXPECT_EQ(0, locked_timer_modify(&w.timer, &e, 4));  // earlier: moved
    EXPECT_EQ(3u, e.slot_index);
    EXPECT_TRUE(w.linked_in(&e, 3));
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_QUEUED, e.status);
    EXPECT_EQ(0, locked_timer_modify(&w.timer, &e, 24));  // two turns on
    EXPECT_FALSE(e.rehash);
    EXPECT_EQ(0, locked_timer_modify(&w.timer, &e, 26));  // another slot
    EXPECT_TRUE(e.rehash);
    EXPECT_EQ(3u, e.slot_index);
    EXPECT_EQ(0, locked_timer_modify(&w.timer, &e, 26));  // equal: no change

    locked_timer_add_ex(&w.timer, &f, 16, 1);
    f.rehash = true;              // flagged although it sits in the slot of 16
    EXPECT_EQ(Out{}, w.walk(6));  // passes slots 0..4: e moves, f stays
    EXPECT_FALSE(e.rehash);
    EXPECT_EQ(5u, e.slot_index);
    EXPECT_TRUE(w.linked_in(&e, 5));
    EXPECT_EQ(Out{}, w.walk(7));
    EXPECT_FALSE(f.rehash);
    EXPECT_TRUE(w.linked_in(&f, 5));
    EXPECT_EQ(Out{&f}, w.walk(26));
    EXPECT_EQ(Out{&e}, w.walk(27));
}

TEST(LockedTimerTest, WalkLeavesEntriesOwnedByOthersInPlace)
{
    Wheel w(4, 1);
    LockedTimerEntry e = {};
    locked_timer_add_ex(&w.timer, &e, 2, 1);
    e.status = KITE_LOCKED_TIMER_STATUS_CANCELED;  // as if a remover took it
    LockedTimerEntry head;
    EXPECT_EQ(0, locked_timer_timeouts_get(&w.timer, 5, &head));
    EXPECT_EQ(nullptr, head.next);
    EXPECT_TRUE(w.linked_in(&e, 1));
    e.status = KITE_LOCKED_TIMER_STATUS_QUEUED;
    EXPECT_EQ(Out{&e}, w.walk(9));  // next turn
}

TEST(LockedTimerTest, RemoveWaitsWhileTheEntryIsMoving)
{
    Wheel w(4, 1, 2, true);
    LockedTimerEntry e = {};
    e.lock_index = 1;
    locked_timer_add_ex(&w.timer, &e, 3, 1);
    pthread_mutex_t *lock = &w.timer.entry_shares.locks[1];
    pthread_mutex_lock(lock);
    e.status = KITE_LOCKED_TIMER_STATUS_MOVING;
    pthread_mutex_unlock(lock);
    std::atomic<int> result{-1};
    std::thread remover(
        [&] { result = locked_timer_remove_ex(&w.timer, &e, 4); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(-1, result.load());  // cannot finish while the status is 2
    pthread_mutex_lock(lock);
    e.status = KITE_LOCKED_TIMER_STATUS_QUEUED;
    pthread_mutex_unlock(lock);
    remover.join();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_CANCELED, e.status);
}

// An error-checking mutex already held by this thread makes the next lock
// from this thread fail with EDEADLK.
void hold_as_errorcheck(pthread_mutex_t *m)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_destroy(m);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    pthread_mutex_lock(m);
}

bool has_lock_warning(const kite_test::LogCapture &log)
{
    const std::string text =
        "call pthread_mutex_lock fail, errno: " + std::to_string(EDEADLK) +
        ", error info: " + kt_strerror(EDEADLK);
    for (const auto &r : log.records()) {
        if (r.level == KT_LOG_WARNING &&
            r.message.rfind("file: locked_timer.cpp, line: ", 0) == 0 &&
            r.message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(LockedTimerTest, FailedLocksChangeNothing)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports the deliberate double lock";
#endif
    Wheel w(4, 1, 1);
    LockedTimerEntry in = {}, blocked = {}, later = {};
    locked_timer_add_ex(&w.timer, &in, 2, 1);     // slot 1
    locked_timer_add_ex(&w.timer, &later, 4, 1);  // slot 3
    kite_test::LogCapture log;
    hold_as_errorcheck(&w.timer.slots[1].lock);
    locked_timer_add_ex(&w.timer, &blocked, 6, 1);  // slot 1: refused
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_NONE, blocked.status);
    EXPECT_EQ(0, blocked.expires);
    EXPECT_EQ(EDEADLK, locked_timer_remove_ex(&w.timer, &in, 4));
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_QUEUED, in.status);
    EXPECT_EQ(EDEADLK, locked_timer_modify(&w.timer, &in, 1));
    EXPECT_EQ(2, in.expires);
    EXPECT_EQ(Out{}, w.walk(5));  // stops at slot 1
    EXPECT_EQ(2, w.timer.current_time);
    EXPECT_TRUE(has_lock_warning(log));
    pthread_mutex_unlock(&w.timer.slots[1].lock);
    EXPECT_EQ((Out{&in, &later}), w.walk(5));  // resumes at slot 1

    locked_timer_add_ex(&w.timer, &blocked, 6, 1);
    hold_as_errorcheck(&w.timer.entry_shares.locks[0]);
    EXPECT_EQ(EDEADLK, locked_timer_remove_ex(&w.timer, &blocked, 4));
    LockedTimerEntry fresh = {};  // status unsettled: not linked either
    locked_timer_add_ex(&w.timer, &fresh, 7, 1);
    EXPECT_EQ(KITE_LOCKED_TIMER_STATUS_NONE, fresh.status);
    EXPECT_EQ(0, fresh.expires);
    EXPECT_FALSE(w.linked_in(&fresh, 2));
    EXPECT_EQ(Out{}, w.walk(8));  // due, but its status cannot be read
    EXPECT_TRUE(w.linked_in(&blocked, 1));
    pthread_mutex_unlock(&w.timer.entry_shares.locks[0]);
    EXPECT_EQ(0, locked_timer_remove_ex(&w.timer, &blocked, 4));
}

// Several threads add, extend, bring forward and remove (status 4) while one
// thread walks with an advancing time: every entry must be handed out once
// (status 3, never before its time) or removed once, never both.
void stress_round(uint64_t seed)
{
    constexpr int kThreads = 4, kPerThread = 4000, kOpsPerAdd = 8, kSlots = 64;
    constexpr int kEntries = kThreads * kPerThread;
    Wheel w(kSlots, 1, 7, true);
    std::vector<LockedTimerEntry> e(kEntries);
    std::vector<std::atomic<int>> removed(kEntries), handed(kEntries);
    for (int i = 0; i < kEntries; ++i) {
        memset(&e[i], 0, sizeof(e[i]));
        e[i].lock_index = (uint16_t)(i % 7);
    }
    std::atomic<int> resolved{0}, early{0}, done_ops{0}, workers_left{kThreads};
    std::atomic<int> progress[kThreads] = {};
    auto now = [&] {
        return __atomic_load_n(&w.timer.current_time, __ATOMIC_RELAXED);
    };
    auto worker = [&](int t, uint64_t worker_seed) {
        std::mt19937_64 rng(worker_seed);
        for (int k = 0; k < kPerThread; ++k) {
            locked_timer_add_ex(&w.timer, &e[t * kPerThread + k],
                                now() + (int64_t)(rng() % 150), 1);
            progress[t] = k;
            for (int op = 0; op < kOpsPerAdd; ++op) {
                // Mostly a recent entry of any thread (likely still queued),
                // sometimes any entry at all, added yet or not.
                const int t2 = (int)(rng() % kThreads);
                const int recent = progress[t2].load() - (int)(rng() % 64);
                const int i = rng() % 4 == 0
                                  ? (int)(rng() % kEntries)
                                  : t2 * kPerThread + std::max(recent, 0);
                if (rng() % 8 == 0) {
                    if (locked_timer_remove_ex(&w.timer, &e[i], 4) == 0) {
                        removed[i]++;
                        resolved++;
                    }
                } else {  // extends or brings forward, sometimes into the past
                    locked_timer_modify(&w.timer, &e[i],
                                        now() + (int64_t)(rng() % 220) - 20);
                }
                done_ops++;
            }
        }
        workers_left--;
    };
    std::thread walker([&] {
        int64_t t = 1;
        while (resolved.load() < kEntries) {
            // Time follows the workers' progress, so that entries live through
            // many operations; once they are done it runs freely.
            if (workers_left.load() > 0 && t > 1 + done_ops.load() / 16) {
                std::this_thread::yield();
                continue;
            }
            ++t;
            LockedTimerEntry head;
            locked_timer_timeouts_get(&w.timer, t, &head);
            for (LockedTimerEntry *p = head.next; p != nullptr; p = p->next) {
                if (p->expires >= t) early++;
                handed[p - e.data()]++;
                resolved++;
            }
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.emplace_back(worker, t, seed + t);
    for (auto &th : workers) th.join();
    walker.join();
    EXPECT_EQ(0, early.load());
    int total_removed = 0;
    for (auto &r : removed) total_removed += r.load();
    EXPECT_GT(total_removed, kEntries / 50);  // both endings were exercised
    EXPECT_GT(kEntries - total_removed, kEntries / 4);
    for (int i = 0; i < kEntries; ++i) {
        ASSERT_EQ(1, removed[i].load() + handed[i].load()) << "entry " << i;
        EXPECT_EQ(removed[i] ? KITE_LOCKED_TIMER_STATUS_CANCELED
                             : KITE_LOCKED_TIMER_STATUS_TIMEOUT,
                  e[i].status)
            << i;
        EXPECT_TRUE(kt_list_empty(&e[i].dlink)) << i;
    }
    for (int s = 0; s < kSlots; ++s)
        EXPECT_TRUE(kt_list_empty(&w.timer.slots[s].head));
}

TEST(LockedTimerTest, ConcurrentStressEndsEveryEntryOnce)
{
    for (int round = 0; round < 3 && !HasFailure(); ++round) {
        stress_round(kite_test::Seed() + 100 * round);
    }
}

}  // namespace
