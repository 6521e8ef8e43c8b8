// The epoll poller on real socketpairs: init and destroy states, the errno
// results of registration, the extra_events OR (edge- versus
// level-triggered behaviour), polls capped at size, time-outs and signals.
#include "ioevent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <vector>

#include "net_test_util.h"
#include "test_util.h"

namespace {

using kite_test::CountOpenFds;
using kite_test::SocketPair;

struct Poller {
    IOEventPoller ev;
    int result;
    Poller(int size, int timeout_ms = 0, int extra = 0)
        : result(ioevent_init(&ev, size, timeout_ms, extra))
    {
    }
    ~Poller() { ioevent_destroy(&ev); }
};

void ExpectClosed(const IOEventPoller &ev)
{
    EXPECT_EQ(ev.poll_fd, -1);
    EXPECT_EQ(ev.events, nullptr);
}

TEST(IoeventTest, InitFillsRecordAndRefusesBadSizes)
{
    Poller p(16, 250, EPOLLET);
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.ev.size, 16);
    EXPECT_EQ(p.ev.extra_events, (int)EPOLLET);
    EXPECT_EQ(p.ev.timeout, 250);
    EXPECT_EQ(p.ev.iterator.index, 0);
    EXPECT_EQ(p.ev.iterator.count, 0);
    EXPECT_NE(p.ev.events, nullptr);
    EXPECT_NE(fcntl(p.ev.poll_fd, F_GETFD) & FD_CLOEXEC, 0);
    ioevent_destroy(&p.ev);
    ExpectClosed(p.ev);
    ioevent_destroy(&p.ev);  // a second destroy does nothing
    ExpectClosed(p.ev);

    const int fds_before = CountOpenFds();
    for (int size : {0, -1}) {
        IOEventPoller ev;
        memset(&ev, 0x5a, sizeof(ev));
        EXPECT_EQ(ioevent_init(&ev, size, 0, 0), EINVAL) << size;
        ExpectClosed(ev);
        ioevent_destroy(&ev);
    }
    EXPECT_EQ(CountOpenFds(), fds_before);
}

TEST(IoeventTest, AllocationFailureClosesDescriptor)
{
    kite_test::LogCapture log;
    const int fds_before = CountOpenFds();
    IOEventPoller ev;
    {
        kite_test::FailingAllocator fail;
        EXPECT_EQ(ioevent_init(&ev, 10, 0, 0), ENOMEM);
    }
    ExpectClosed(ev);
    EXPECT_EQ(CountOpenFds(), fds_before);
    const std::string bytes = std::to_string(10 * sizeof(struct epoll_event));
    EXPECT_TRUE(log.contains("file: ioevent.c, line: ")) << log.last();
    EXPECT_TRUE(log.contains("malloc " + bytes + " bytes fail")) << log.last();
    ioevent_destroy(&ev);
}

TEST(IoeventTest, RegistrationErrorsAreMinusOneWithErrno)
{
    Poller p(4);
    SocketPair pair;
    ASSERT_EQ(ioevent_attach(&p.ev, pair.fds[0], EPOLLIN, nullptr), 0);
    errno = 0;
    EXPECT_EQ(ioevent_attach(&p.ev, pair.fds[0], EPOLLIN, nullptr), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ioevent_modify(&p.ev, pair.fds[1], EPOLLIN, nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ioevent_detach(&p.ev, pair.fds[1]), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ioevent_attach(&p.ev, 1 << 20, EPOLLIN, nullptr), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(ioevent_detach(&p.ev, pair.fds[0]), 0);
    EXPECT_EQ(ioevent_detach(&p.ev, pair.fds[0]), -1);
    EXPECT_EQ(errno, ENOENT);
}

// Edge-triggered registrations report a readiness once; level-triggered
// ones until it is consumed.  The modify keeps the OR too.
TEST(IoeventTest, ExtraEventsAreOredIntoAttachAndModify)
{
    for (int extra : {0, (int)EPOLLET}) {
        SCOPED_TRACE(extra);
        const int repeats = extra == 0 ? 1 : 0;
        Poller p(4, 0, extra);
        SocketPair pair;
        int tag = 7;
        ASSERT_EQ(write(pair.fds[1], "x", 1), 1);
        ASSERT_EQ(ioevent_attach(&p.ev, pair.fds[0], EPOLLIN, &tag), 0);
        ASSERT_EQ(ioevent_poll(&p.ev), 1);
        EXPECT_EQ(p.ev.events[0].events, (uint32_t)EPOLLIN);
        EXPECT_EQ(p.ev.events[0].data.ptr, &tag);
        EXPECT_EQ(ioevent_poll(&p.ev), repeats);

        ASSERT_EQ(ioevent_modify(&p.ev, pair.fds[0], EPOLLOUT, &pair), 0);
        ASSERT_EQ(ioevent_poll(&p.ev), 1);
        EXPECT_EQ(p.ev.events[0].events, (uint32_t)EPOLLOUT);
        EXPECT_EQ(p.ev.events[0].data.ptr, &pair);
        EXPECT_EQ(ioevent_poll(&p.ev), repeats);
    }
}

TEST(IoeventTest, PollReturnsAtMostSizeAndTheRestLater)
{
    constexpr int kPairs = 5;
    Poller p(2);
    std::vector<std::unique_ptr<SocketPair>> pairs;
    for (int i = 0; i < kPairs; i++) {
        pairs.push_back(std::make_unique<SocketPair>());
        ASSERT_EQ(write(pairs[i]->fds[1], "x", 1), 1);
        ASSERT_EQ(
            ioevent_attach(&p.ev, pairs[i]->fds[0], EPOLLIN, pairs[i].get()),
            0);
    }
    std::set<void *> seen;
    for (int round = 0; round < kPairs && (int)seen.size() < kPairs; round++) {
        int count = ioevent_poll(&p.ev);
        ASSERT_GE(count, 1);
        ASSERT_LE(count, 2);
        for (int i = 0; i < count; i++) {
            auto *pair = static_cast<SocketPair *>(p.ev.events[i].data.ptr);
            char c;
            EXPECT_EQ(read(pair->fds[0], &c, 1), 1);
            EXPECT_TRUE(seen.insert(pair).second);
        }
    }
    EXPECT_EQ((int)seen.size(), kPairs);
    EXPECT_EQ(ioevent_poll(&p.ev), 0);
}

TEST(IoeventTest, TimeoutIsKeptAndSignalsCutPollsShort)
{
    Poller p(4, 0);
    SocketPair pair;
    ASSERT_EQ(ioevent_attach(&p.ev, pair.fds[0], EPOLLIN, nullptr), 0);
    EXPECT_EQ(ioevent_poll(&p.ev), 0);  // time-out 0: at once, nothing ready
    EXPECT_EQ(ioevent_poll_ex(&p.ev, 0), 0);
    ioevent_set_timeout(&p.ev, 30000);
    EXPECT_EQ(p.ev.timeout, 30000);
    int result;
    {
        kite_test::SignalTimer timer(20000);
        result = ioevent_poll(&p.ev);  // waits until the first signal
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(p.ev.timeout, 30000);
}

}  // namespace
