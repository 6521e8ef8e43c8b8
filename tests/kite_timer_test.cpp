// Tests of the single-thread timing wheel: slot filing, strict expiry, late
// adds, rehash on extension, multi-turn walks, and a randomized comparison
// against a multimap of expiry times.
#include "kite_timer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "test_util.h"

namespace {

class Wheel {
 public:
    explicit Wheel(int slots, int64_t start = 100)
    {
        EXPECT_EQ(0, kite_timer_init(&timer, slots, start));
    }
    ~Wheel() { kite_timer_destroy(&timer); }
    // Walks to `now`, returning the handed-out entries in result order after
    // checking the chain's links.  The result's head outlives the walk: the
    // first entry handed out points back at it until it is removed.
    std::vector<KiteTimerEntry *> walk(int64_t now)
    {
        KiteTimerEntry &head = result_head;
        int count = kite_timer_timeouts_get(&timer, now, &head);
        std::vector<KiteTimerEntry *> out;
        KiteTimerEntry *prev = &head;
        for (KiteTimerEntry *e = head.next; e != nullptr; e = e->next) {
            EXPECT_EQ(prev, e->prev);
            prev = e;
            out.push_back(e);
        }
        EXPECT_EQ((size_t)count, out.size());
        EXPECT_EQ(now, timer.current_time);
        return out;
    }
    KiteTimer timer;
    KiteTimerEntry result_head;
};

using Out = std::vector<KiteTimerEntry *>;

// The short form is a function: an argument with a side effect is evaluated
// once, and the entry is filed at its own expiry.
TEST(KiteTimerTest, ShortAddEvaluatesItsArgumentOnce)
{
    Wheel w(8);
    KiteTimerEntry entries[2] = {};
    entries[0].expires = 103;
    entries[1].expires = 106;
    KiteTimerEntry *cursor = entries;
    kite_timer_add(&w.timer, cursor++);
    EXPECT_EQ(entries + 1, cursor);
    EXPECT_EQ(nullptr, entries[1].prev);
    EXPECT_EQ(Out{&entries[0]}, w.walk(104));
}

TEST(KiteTimerTest, InitRejectsBadArgumentsAndReportsNoMemory)
{
    KiteTimer timer;
    memset(&timer, 0x5a, sizeof(timer));
    KiteTimer copy = timer;
    EXPECT_EQ(EINVAL, kite_timer_init(&timer, 0, 10));
    EXPECT_EQ(EINVAL, kite_timer_init(&timer, 4, 0));
    EXPECT_EQ(0, memcmp(&copy, &timer, sizeof(timer)));

    kite_test::LogCapture log;
    {
        kite_test::FailingAllocator fail;
        EXPECT_EQ(ENOMEM, kite_timer_init(&timer, 4, 10));
    }
    EXPECT_EQ(nullptr, timer.slots);
    EXPECT_EQ(4, timer.slot_count);
    EXPECT_EQ(10, timer.base_time);
    EXPECT_EQ(10, timer.current_time);
    const std::string msg = "malloc " +
                            std::to_string(4 * sizeof(KiteTimerSlot)) +
                            " bytes fail, errno: ";
    EXPECT_TRUE(log.contains("file: kite_timer.cpp, line: ")) << log.last();
    EXPECT_TRUE(log.contains(msg)) << log.last();
    kite_timer_destroy(&timer);  // nothing to free; must not crash
    EXPECT_EQ(nullptr, timer.slots);
}

TEST(KiteTimerTest, LateAddFiresAtNextWalkAndExpiryIsStrict)
{
    Wheel w(8, 100);
    KiteTimerEntry late = {}, due = {}, own = {};
    kite_timer_add_ex(&w.timer, &late, 50, false);  // before current_time
    EXPECT_EQ(101, late.expires);
    EXPECT_EQ(&w.timer.slots[1].head, late.prev);
    kite_timer_add_ex(&w.timer, &due, 103, true);
    own.expires = 999;
    kite_timer_add_ex(&w.timer, &own, 104, false);  // slot of 104, keeps 999
    EXPECT_EQ(999, own.expires);
    EXPECT_EQ(&w.timer.slots[4].head, own.prev);

    EXPECT_EQ(Out{}, w.walk(101));  // 101 is not < 101
    EXPECT_EQ(Out{&late}, w.walk(102));
    EXPECT_EQ(Out{}, w.walk(103));
    EXPECT_EQ(Out{&due}, w.walk(104));
    EXPECT_EQ(Out{}, w.walk(104));  // not later: nothing
    EXPECT_EQ(Out{}, w.walk(200));  // own's slot passed, but 999 is ahead
    EXPECT_EQ(Out{&own}, w.walk(1000));
}

TEST(KiteTimerTest, SingleSlotSharesOneChainNewestFirst)
{
    Wheel w(1, 10);
    KiteTimerEntry e[4] = {};
    const int64_t when[4] = {12, 30, 11, 12};
    for (int i = 0; i < 4; ++i)
        kite_timer_add_ex(&w.timer, &e[i], when[i], true);
    EXPECT_EQ((Out{&e[3], &e[2], &e[0]}), w.walk(13));
    EXPECT_EQ(&w.timer.slots[0].head, e[1].prev);
    EXPECT_EQ(nullptr, e[1].next);
    EXPECT_EQ(Out{&e[1]}, w.walk(31));
}

TEST(KiteTimerTest, ExtensionFlagsOnlyWhenTheSlotChanges)
{
    Wheel w(10, 1);
    KiteTimerEntry same = {}, other = {}, past = {};
    kite_timer_add_ex(&w.timer, &same, 5, true);
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &same, 25));  // two turns later
    EXPECT_FALSE(same.rehash);
    kite_timer_add_ex(&w.timer, &other, 5, true);
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &other, 8));
    EXPECT_TRUE(other.rehash);
    kite_timer_add_ex(&w.timer, &past, 6, true);
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &past, 7));
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &past, 7));  // equal: no change

    EXPECT_EQ(Out{}, w.walk(6));  // visits slot of 5: moves `other`
    EXPECT_FALSE(other.rehash);
    EXPECT_EQ(&w.timer.slots[7].head, other.prev);
    EXPECT_EQ(Out{&past}, w.walk(8));
    EXPECT_EQ(Out{&other}, w.walk(9));
    EXPECT_EQ(Out{}, w.walk(25));  // passes slot 4 again at 15: `same` stays
    EXPECT_EQ(Out{&same}, w.walk(26));
}

TEST(KiteTimerTest, FlaggedEntryPastItsExpiryIsHandedOutByTheWalk)
{
    Wheel w(10, 1);
    KiteTimerEntry e = {};
    kite_timer_add_ex(&w.timer, &e, 3, true);
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &e, 5));
    EXPECT_EQ(Out{&e}, w.walk(8));  // found in its old slot, already due
}

// Two extensions without a walk, the second landing in the slot of the
// first: the entry still sits in its original slot and must not come out a
// turn late.
TEST(KiteTimerTest, SecondExtensionKeepsTheFlag)
{
    Wheel w(10, 1);
    KiteTimerEntry e = {};
    kite_timer_add_ex(&w.timer, &e, 5, true);           // slot 4
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &e, 7));   // slot 6
    EXPECT_EQ(0, kite_timer_modify(&w.timer, &e, 17));  // slot 6 again
    EXPECT_TRUE(e.rehash);
    for (int64_t t = 2; t <= 17; ++t) EXPECT_EQ(Out{}, w.walk(t)) << t;
    EXPECT_EQ(Out{&e}, w.walk(18));
}

TEST(KiteTimerTest, MultiTurnWalkHandsOutInWalkOrder)
{
    Wheel w(4, 1);
    KiteTimerEntry e[6] = {};
    const int64_t when[6] = {9, 2, 6, 3, 2, 14};
    for (int i = 0; i < 6; ++i)
        kite_timer_add_ex(&w.timer, &e[i], when[i], true);
    // Slot 0 (time 1) holds 9; slot 1 holds, newest first, 14 (not due),
    // 2, 6, 2; slot 2 holds 3.  The walk starts at slot 0.
    EXPECT_EQ((Out{&e[0], &e[4], &e[2], &e[1], &e[3]}), w.walk(14));
    EXPECT_EQ(Out{&e[5]}, w.walk(15));
}

TEST(KiteTimerTest, RemoveAndBringForward)
{
    Wheel w(8, 10);
    KiteTimerEntry a = {}, b = {}, c = {}, loose = {};
    kite_timer_add_ex(&w.timer, &a, 12, true);
    kite_timer_add_ex(&w.timer, &b, 12, true);
    kite_timer_add_ex(&w.timer, &c, 12, true);
    EXPECT_EQ(0, kite_timer_remove(&w.timer, &b));  // middle of the chain
    EXPECT_EQ(ENOENT, kite_timer_remove(&w.timer, &b));
    EXPECT_EQ(nullptr, b.prev);
    EXPECT_EQ(&a, c.next);

    loose.expires = 50;
    EXPECT_EQ(ENOENT, kite_timer_modify(&w.timer, &loose, 20));
    EXPECT_EQ(50, loose.expires);
    EXPECT_EQ(nullptr, loose.prev);

    EXPECT_EQ(0, kite_timer_modify(&w.timer, &a, 5));  // past: next tick
    EXPECT_EQ(11, a.expires);
    EXPECT_EQ((Out{&a}), w.walk(12));
    std::vector<KiteTimerEntry *> out = w.walk(13);
    ASSERT_EQ(Out{&c}, out);
    EXPECT_EQ(0, kite_timer_remove(&w.timer, &c));  // unlinks from the result
}

TEST(KiteTimerTest, SlotGetVisitsOneSlotPerCall)
{
    Wheel w(3, 7);
    EXPECT_EQ(&w.timer.slots[0], kite_timer_slot_get(&w.timer, 10));
    EXPECT_EQ(&w.timer.slots[1], kite_timer_slot_get(&w.timer, 10));
    EXPECT_EQ(&w.timer.slots[2], kite_timer_slot_get(&w.timer, 10));
    EXPECT_EQ(nullptr, kite_timer_slot_get(&w.timer, 10));
    EXPECT_EQ(10, w.timer.current_time);
    EXPECT_EQ(&w.timer.slots[0], kite_timer_slot_get(&w.timer, 11));
}

// Random adds, removes, extensions, bring-forwards and walks over gaps
// below and above one turn, against a multimap of expiry times: every entry
// must come out exactly once, at the first walk whose time passes it.
TEST(KiteTimerTest, MatchesMultimapOracle)
{
    constexpr int kSlots = 61, kEntries = 3000, kOps = 200000;
    Wheel w(kSlots, 1000);
    std::vector<KiteTimerEntry> e(kEntries);
    std::vector<bool> queued(kEntries, false);
    std::multimap<int64_t, int> oracle;
    auto &rng = kite_test::Rng();
    auto forget = [&](int i) {
        auto range = oracle.equal_range(e[i].expires);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second == i) {
                oracle.erase(it);
                return;
            }
        FAIL() << "entry " << i << " missing from the oracle";
    };
    auto walk_to = [&](int64_t t) {
        std::vector<KiteTimerEntry *> out = w.walk(t);
        std::multiset<int> expected;
        while (!oracle.empty() && oracle.begin()->first < t) {
            expected.insert(oracle.begin()->second);
            oracle.erase(oracle.begin());
        }
        std::multiset<int> got;
        for (KiteTimerEntry *p : out) {
            int i = (int)(p - e.data());
            ASSERT_TRUE(queued[i]) << "entry " << i << " handed out twice";
            ASSERT_LT(p->expires, t);
            queued[i] = false;
            got.insert(i);
        }
        ASSERT_EQ(expected, got) << "walk to " << t;
    };
    for (int op = 0; op < kOps && !HasFailure(); ++op) {
        const int i = (int)(rng() % kEntries);
        const int64_t now = w.timer.current_time;
        const int64_t when = now + (int64_t)(rng() % (3 * kSlots)) - 10;
        switch (rng() % 9) {
        case 0:
        case 1:
            if (queued[i]) break;
            kite_timer_add_ex(&w.timer, &e[i], when, true);
            queued[i] = true;
            oracle.emplace(e[i].expires, i);
            break;
        case 2:
            if (!queued[i]) break;
            forget(i);
            ASSERT_EQ(0, kite_timer_remove(&w.timer, &e[i]));
            queued[i] = false;
            break;
        case 3:
        case 4:
            if (!queued[i]) break;
            forget(i);
            ASSERT_EQ(0, kite_timer_modify(&w.timer, &e[i], when));
            if (when <= now) {
                EXPECT_EQ(now + 1, e[i].expires);
            }
            oracle.emplace(e[i].expires, i);
            break;
        case 5:  // extend, then a whole turn later (slot of that expiry)
            if (!queued[i]) break;
            forget(i);
            ASSERT_EQ(
                0, kite_timer_modify(&w.timer, &e[i],
                                     e[i].expires + 1 + (int64_t)(rng() % 9)));
            ASSERT_EQ(
                0, kite_timer_modify(&w.timer, &e[i], e[i].expires + kSlots));
            oracle.emplace(e[i].expires, i);
            break;
        default: {
            const uint64_t r = rng() % 100;
            const int64_t gap = r < 90   ? 1 + (int64_t)(r % 5)
                                : r < 97 ? (int64_t)(rng() % kSlots)
                                         : (int64_t)(rng() % (3 * kSlots));
            walk_to(now + gap);
        }
        }
    }
    walk_to(w.timer.current_time + 4 * kSlots);
    EXPECT_TRUE(oracle.empty());
    for (int i = 0; i < kEntries; ++i) EXPECT_FALSE(queued[i]) << i;
}

}  // namespace
