// Shared buffers against std::make_shared<std::vector<char>> and GLib's
// GBytes: one item takes a 4 KiB buffer, writes a byte, adds three holders
// and drops all four, the shape of a reply buffer handed to several senders.
// In the steady state the shared buffer allocates nothing (the record and
// its area come back from the context's pool); the peers allocate and free
// the record and the bytes every time.  The two-thread cases run the same
// loop on both threads: one shared context set up with need_lock, against
// the peers' thread-safe allocators.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "shared_buffer.h"

#if defined(KITE_BENCH_LINK_GLIB) && __has_include(<glib.h>)
#include <glib.h>
#define KITE_HAVE_GLIB 1
#endif

namespace {

constexpr int kBufferSize = 4096;

void RunShared(benchmark::State &state, SharedBufferContext *ctx)
{
    for (auto _ : state) {
        SharedBuffer *b = shared_buffer_alloc(ctx);
        b->buff[0] = 1;
        b->length = 1;
        for (int i = 0; i < 3; i++) shared_buffer_hold(b);
        benchmark::DoNotOptimize(b);
        for (int i = 0; i < 4; i++) shared_buffer_release(b);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_SharedBuffer_TakeHoldRelease(benchmark::State &state)
{
    SharedBufferContext ctx;
    shared_buffer_init_ex(&ctx, 64, kBufferSize, false);
    RunShared(state, &ctx);
    shared_buffer_destroy(&ctx);
}
BENCHMARK(BM_SharedBuffer_TakeHoldRelease);

// One context shared by every thread of the run; set up once and kept.
SharedBufferContext *LockedContext()
{
    static SharedBufferContext *ctx = [] {
        static SharedBufferContext c;
        shared_buffer_init_ex(&c, 64, kBufferSize, true);
        return &c;
    }();
    return ctx;
}

void BM_SharedBuffer_TakeHoldReleaseLocked(benchmark::State &state)
{
    RunShared(state, LockedContext());
}
BENCHMARK(BM_SharedBuffer_TakeHoldReleaseLocked)->Threads(1)->Threads(2);

void BM_MakeSharedVector_TakeHoldRelease(benchmark::State &state)
{
    for (auto _ : state) {
        auto b = std::make_shared<std::vector<char>>(kBufferSize);
        (*b)[0] = 1;
        auto h1 = b, h2 = b, h3 = b;
        benchmark::DoNotOptimize(b.get());
        b.reset();
        h1.reset();
        h2.reset();
        h3.reset();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MakeSharedVector_TakeHoldRelease)->Threads(1)->Threads(2);

#ifdef KITE_HAVE_GLIB
void BM_GBytes_TakeHoldRelease(benchmark::State &state)
{
    for (auto _ : state) {
        auto *data = static_cast<char *>(g_malloc(kBufferSize));
        data[0] = 1;
        GBytes *b = g_bytes_new_take(data, kBufferSize);
        for (int i = 0; i < 3; i++) g_bytes_ref(b);
        benchmark::DoNotOptimize(b);
        for (int i = 0; i < 4; i++) g_bytes_unref(b);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GBytes_TakeHoldRelease)->Threads(1)->Threads(2);
#endif

}  // namespace

BENCHMARK_MAIN();
