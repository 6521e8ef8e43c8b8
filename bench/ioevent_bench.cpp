// The poller's cost over the system call it wraps.  1,000 socketpairs are
// registered for readability; each round makes 64 of them readable (a
// sliding window, one byte each), polls until all 64 are reported and
// drains them.  The same round runs on:
//   RawEpoll: epoll_wait on the same kind of set-up, the floor;
//   Ioevent:  ioevent_attach / ioevent_poll / reading events[] and data.ptr;
//   UvPoll:   libuv's uv_poll_t per descriptor, driven by uv_run(NOWAIT).
// The writes and reads are the same in every case, so the differences are
// the polling layers.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "ioevent.h"

#if defined(KITE_BENCH_HAVE_UV) && __has_include(<uv.h>)
#include <uv.h>
#define KITE_BENCH_UV 1
#endif

namespace {

constexpr int kPairs = 1000;
constexpr int kReadyPerRound = 64;

struct Pairs {
    std::vector<int> readers, writers;
    int next = 0;
    Pairs()
    {
        for (int i = 0; i < kPairs; i++) {
            int fds[2];
            if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0)
                abort();
            readers.push_back(fds[0]);
            writers.push_back(fds[1]);
        }
    }
    ~Pairs()
    {
        for (int i = 0; i < kPairs; i++) {
            close(readers[i]);
            close(writers[i]);
        }
    }
    void MakeReady()
    {
        for (int i = 0; i < kReadyPerRound; i++) {
            if (write(writers[next], "x", 1) != 1) abort();
            next = (next + 1) % kPairs;
        }
    }
};

inline void Drain(int fd)
{
    char c;
    if (read(fd, &c, 1) != 1) abort();
}

void BM_RawEpoll_PollDrain64(benchmark::State &state)
{
    Pairs pairs;
    int epfd = epoll_create(kPairs);
    std::vector<epoll_event> events(kPairs);
    for (int i = 0; i < kPairs; i++) {
        epoll_event ev;
        ev.events = EPOLLIN;
        ev.data.ptr = &pairs.readers[i];
        epoll_ctl(epfd, EPOLL_CTL_ADD, pairs.readers[i], &ev);
    }
    for (auto _ : state) {
        pairs.MakeReady();
        for (int seen = 0; seen < kReadyPerRound;) {
            int n = epoll_wait(epfd, events.data(), kPairs, 1000);
            for (int i = 0; i < n; i++)
                Drain(*static_cast<int *>(events[i].data.ptr));
            seen += n > 0 ? n : 0;
        }
    }
    close(epfd);
    state.SetItemsProcessed(state.iterations() * kReadyPerRound);
}

void BM_Ioevent_PollDrain64(benchmark::State &state)
{
    Pairs pairs;
    IOEventPoller poller;
    if (ioevent_init(&poller, kPairs, 1000, 0) != 0) abort();
    for (int i = 0; i < kPairs; i++) {
        ioevent_attach(&poller, pairs.readers[i], EPOLLIN, &pairs.readers[i]);
    }
    for (auto _ : state) {
        pairs.MakeReady();
        for (int seen = 0; seen < kReadyPerRound;) {
            int n = ioevent_poll(&poller);
            for (int i = 0; i < n; i++)
                Drain(*static_cast<int *>(poller.events[i].data.ptr));
            seen += n > 0 ? n : 0;
        }
    }
    ioevent_destroy(&poller);
    state.SetItemsProcessed(state.iterations() * kReadyPerRound);
}

#ifdef KITE_BENCH_UV
struct UvCounter {
    int seen = 0;
};

void BM_UvPoll_PollDrain64(benchmark::State &state)
{
    Pairs pairs;
    uv_loop_t loop;
    uv_loop_init(&loop);
    UvCounter counter;
    loop.data = &counter;
    std::vector<uv_poll_t> handles(kPairs);
    for (int i = 0; i < kPairs; i++) {
        uv_poll_init(&loop, &handles[i], pairs.readers[i]);
        handles[i].data = &pairs.readers[i];
        uv_poll_start(&handles[i], UV_READABLE, [](uv_poll_t *h, int, int) {
            Drain(*static_cast<int *>(h->data));
            static_cast<UvCounter *>(h->loop->data)->seen++;
        });
    }
    for (auto _ : state) {
        pairs.MakeReady();
        counter.seen = 0;
        while (counter.seen < kReadyPerRound) uv_run(&loop, UV_RUN_ONCE);
    }
    for (auto &h : handles)
        uv_close(reinterpret_cast<uv_handle_t *>(&h), nullptr);
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    state.SetItemsProcessed(state.iterations() * kReadyPerRound);
}
BENCHMARK(BM_UvPoll_PollDrain64);
#endif

BENCHMARK(BM_RawEpoll_PollDrain64);
BENCHMARK(BM_Ioevent_PollDrain64);

}  // namespace

BENCHMARK_MAIN();
