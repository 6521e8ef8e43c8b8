// The buffered file writer against stdio with a 64 KiB buffer (setvbuf), on
// the same workloads: 1,000,000 log-style formatted lines, and 1,000,000 raw
// 100-byte records.  BM_Write_* is the floor: the same bytes, prepared
// beforehand, written with write() in whole 64 KiB blocks.  Every contender
// opens (emptying) the file, writes everything, syncs and closes it inside
// the timed loop.  Files live in /dev/shm when it exists (override with
// KITE_BENCH_DIR), so the figures measure the writers rather than the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "buffered_file_writer.h"

namespace {

constexpr int kCount = 1000000;
constexpr int kRecordSize = 100;
constexpr size_t kBlock = 64 * 1024;
constexpr const char *kLineFormat =
    "2026-12-08 11:55:%02d.%06d [%s] request %d from 10.0.%d.%d took %d us\n";
const char *const kLevels[] = {"info", "warning", "error", "debug"};

const std::string &path()
{
    static const std::string p = [] {
        const char *dir = getenv("KITE_BENCH_DIR");
        if (dir == nullptr)
            dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/kite_writer_bench." +
               std::to_string(getpid());
    }();
    return p;
}

// The arguments of line i, the same for every contender.
#define KITE_LINE_ARGS(i)                                                    \
    (i) % 60, (i) % 1000000, kLevels[(i)&3], (i), ((i) >> 8) & 255, (i)&255, \
        ((i)*7) % 100000

const char *record(int i)
{
    static char records[256][kRecordSize];
    static bool ready = [] {
        for (int r = 0; r < 256; r++)
            memset(records[r], 'a' + r % 26, kRecordSize);
        return true;
    }();
    (void)ready;
    return records[i & 255];
}

// The bytes every contender must produce, for the write() floor.
const std::string &expected_lines()
{
    static const std::string text = [] {
        std::string t;
        char line[256];
        for (int i = 0; i < kCount; i++) {
            t.append(line, (size_t)snprintf(line, sizeof(line), kLineFormat,
                                            KITE_LINE_ARGS(i)));
        }
        return t;
    }();
    return text;
}

const std::string &expected_records()
{
    static const std::string text = [] {
        std::string t;
        for (int i = 0; i < kCount; i++) t.append(record(i), kRecordSize);
        return t;
    }();
    return text;
}

void finish(benchmark::State &state, size_t bytes_per_run)
{
    state.SetBytesProcessed((int64_t)(state.iterations() * bytes_per_run));
    state.SetItemsProcessed(state.iterations() * kCount);
    unlink(path().c_str());
}

void BM_BufferedFileWriter_Lines(benchmark::State &state)
{
    for (auto _ : state) {
        BufferedFileWriter w;
        if (buffered_file_writer_open(&w, path().c_str()) != 0)
            state.SkipWithError("open");
        for (int i = 0; i < kCount; i++) {
            buffered_file_writer_append(&w, kLineFormat, KITE_LINE_ARGS(i));
        }
        if (buffered_file_writer_close(&w) != 0) state.SkipWithError("close");
    }
    finish(state, expected_lines().size());
}
BENCHMARK(BM_BufferedFileWriter_Lines)->Unit(benchmark::kMillisecond);

FILE *open_stdio(std::string &vbuf)
{
    FILE *f = fopen(path().c_str(), "w");
    vbuf.resize(kBlock);
    setvbuf(f, vbuf.data(), _IOFBF, kBlock);
    return f;
}

void close_stdio(FILE *f)
{
    fflush(f);
    fsync(fileno(f));
    fclose(f);
}

void BM_Stdio_Lines(benchmark::State &state)
{
    std::string vbuf;
    for (auto _ : state) {
        FILE *f = open_stdio(vbuf);
        for (int i = 0; i < kCount; i++)
            fprintf(f, kLineFormat, KITE_LINE_ARGS(i));
        close_stdio(f);
    }
    finish(state, expected_lines().size());
}
BENCHMARK(BM_Stdio_Lines)->Unit(benchmark::kMillisecond);

void write_blocks(const std::string &text)
{
    int fd =
        open(path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (size_t off = 0; off < text.size(); off += kBlock) {
        size_t n = std::min(kBlock, text.size() - off);
        if (write(fd, text.data() + off, n) != (ssize_t)n) abort();
    }
    fsync(fd);
    close(fd);
}

void BM_Write_Lines(benchmark::State &state)
{
    const std::string &text = expected_lines();
    for (auto _ : state) write_blocks(text);
    finish(state, text.size());
}
BENCHMARK(BM_Write_Lines)->Unit(benchmark::kMillisecond);

void BM_BufferedFileWriter_Records(benchmark::State &state)
{
    for (auto _ : state) {
        BufferedFileWriter w;
        if (buffered_file_writer_open(&w, path().c_str()) != 0)
            state.SkipWithError("open");
        for (int i = 0; i < kCount; i++) {
            buffered_file_writer_append_buff(&w, record(i), kRecordSize);
        }
        if (buffered_file_writer_close(&w) != 0) state.SkipWithError("close");
    }
    finish(state, (size_t)kCount * kRecordSize);
}
BENCHMARK(BM_BufferedFileWriter_Records)->Unit(benchmark::kMillisecond);

void BM_Stdio_Records(benchmark::State &state)
{
    std::string vbuf;
    for (auto _ : state) {
        FILE *f = open_stdio(vbuf);
        for (int i = 0; i < kCount; i++) fwrite(record(i), 1, kRecordSize, f);
        close_stdio(f);
    }
    finish(state, (size_t)kCount * kRecordSize);
}
BENCHMARK(BM_Stdio_Records)->Unit(benchmark::kMillisecond);

void BM_Write_Records(benchmark::State &state)
{
    const std::string &text = expected_records();
    for (auto _ : state) write_blocks(text);
    finish(state, text.size());
}
BENCHMARK(BM_Write_Records)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
