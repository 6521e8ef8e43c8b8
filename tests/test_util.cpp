// Shared helpers for the test programs.
#include "test_util.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "kt_memory.h"
#include "logger.h"

namespace kite_test {

LogCapture::LogCapture() : old_level_(kt_log_set_level(KT_LOG_DEBUG))
{
    kt_log_set_sink(&LogCapture::sink, this);
}

LogCapture::~LogCapture()
{
    kt_log_set_sink(nullptr, nullptr);
    kt_log_set_level(old_level_);
}

void LogCapture::sink(int level, const char *message, int length, void *arg)
{
    auto *self = static_cast<LogCapture *>(arg);
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->records_.push_back({level, std::string(message, length)});
}

std::vector<LogRecord> LogCapture::records() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return records_;
}

std::vector<std::string> LogCapture::messages() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> out;
    for (const auto &r : records_) out.push_back(r.message);
    return out;
}

size_t LogCapture::size() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return records_.size();
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> guard(mutex_);
    records_.clear();
}

bool LogCapture::contains(const std::string &text) const
{
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto &r : records_) {
        if (r.message.find(text) != std::string::npos) return true;
    }
    return false;
}

std::string LogCapture::last() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return records_.empty() ? std::string() : records_.back().message;
}

namespace {

std::atomic<int64_t> g_allow{0};
std::atomic<bool> g_fail_once{false};
std::atomic<int64_t> g_failures{0};

bool ShouldFail()
{
    if (g_allow.fetch_sub(1) > 0) return false;
    if (g_fail_once.load()) {
        // Only this one fails: allow everything after it.
        g_allow.store(INT64_MAX / 2);
    }
    g_failures.fetch_add(1);
    errno = ENOMEM;
    return true;
}

void *FailingMalloc(size_t size)
{
    return ShouldFail() ? nullptr : malloc(size);
}

void *FailingRealloc(void *ptr, size_t size)
{
    return ShouldFail() ? nullptr : realloc(ptr, size);
}

}  // namespace

FailingAllocator::FailingAllocator(int64_t succeed_first, bool fail_once)
{
    g_allow.store(succeed_first);
    g_fail_once.store(fail_once);
    g_failures.store(0);
    kt_set_allocator(FailingMalloc, FailingRealloc, free);
}

FailingAllocator::~FailingAllocator()
{
    kt_set_allocator(nullptr, nullptr, nullptr);
}

int64_t FailingAllocator::failures() const
{
    return g_failures.load();
}

namespace {

std::atomic<int64_t> g_count_blocks{0};
std::atomic<int64_t> g_count_bytes{0};
std::atomic<int64_t> g_count_allocs{0};
std::atomic<int64_t> g_count_failures{0};
std::atomic<int64_t> g_count_fail_after{-1};

bool CountingShouldFail()
{
    int64_t limit = g_count_fail_after.load();
    if (limit < 0 || g_count_allocs.load() < limit) return false;
    g_count_failures.fetch_add(1);
    errno = ENOMEM;
    return true;
}

void CountIn(void *ptr, int64_t blocks)
{
    g_count_blocks.fetch_add(blocks);
    g_count_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(ptr)));
    g_count_allocs.fetch_add(1);
}

void CountOut(void *ptr)
{
    g_count_blocks.fetch_sub(1);
    g_count_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(ptr)));
}

void *CountingMalloc(size_t size)
{
    if (CountingShouldFail()) return nullptr;
    void *ptr = malloc(size);
    if (ptr != nullptr) CountIn(ptr, 1);
    return ptr;
}

void *CountingRealloc(void *ptr, size_t size)
{
    if (CountingShouldFail()) return nullptr;
    size_t old_bytes = ptr != nullptr ? malloc_usable_size(ptr) : 0;
    void *grown = realloc(ptr, size);
    if (grown == nullptr) return nullptr;
    g_count_bytes.fetch_sub(static_cast<int64_t>(old_bytes));
    CountIn(grown, ptr != nullptr ? 0 : 1);
    return grown;
}

void CountingFree(void *ptr)
{
    CountOut(ptr);
    free(ptr);
}

}  // namespace

CountingAllocator::CountingAllocator(int64_t fail_after)
{
    g_count_blocks.store(0);
    g_count_bytes.store(0);
    g_count_allocs.store(0);
    g_count_failures.store(0);
    g_count_fail_after.store(fail_after);
    kt_set_allocator(CountingMalloc, CountingRealloc, CountingFree);
}

CountingAllocator::~CountingAllocator()
{
    kt_set_allocator(nullptr, nullptr, nullptr);
}

int64_t CountingAllocator::blocks() const
{
    return g_count_blocks.load();
}
int64_t CountingAllocator::bytes() const
{
    return g_count_bytes.load();
}
int64_t CountingAllocator::allocations() const
{
    return g_count_allocs.load();
}
int64_t CountingAllocator::failures() const
{
    return g_count_failures.load();
}

std::string Prefix(const std::string &file, int line)
{
    return "file: " + file + ", line: " + std::to_string(line) + ", ";
}

TempFile::TempFile(const std::string &content)
{
    char name[] = "/tmp/kite_test_XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
    write(content);
}

TempFile::~TempFile()
{
    unlink(path_.c_str());
}

void TempFile::write(const std::string &content) const
{
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string TempFile::read() const
{
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

uint64_t Seed()
{
    static const uint64_t seed = [] {
        const char *env = getenv("KITE_TEST_SEED");
        uint64_t s = env != nullptr ? strtoull(env, nullptr, 10) : 20261208;
        std::cerr << "[kite_test] random seed " << s
                  << " (set KITE_TEST_SEED to replay)\n";
        return s;
    }();
    return seed;
}

int RunInChild(const std::function<void()> &body, int timeout_seconds)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        body();
        // exit, not _exit: sanitizers report at exit and set the status.
        exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    const timespec pause = {0, 10 * 1000 * 1000};
    for (int waited = 0;; waited++) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (waited >= timeout_seconds * 100) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        nanosleep(&pause, nullptr);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::mt19937_64 &Rng()
{
    thread_local std::mt19937_64 rng(Seed());
    return rng;
}

std::string RandomBytes(size_t len)
{
    std::string s(len, '\0');
    for (auto &c : s) c = static_cast<char>(Rng()() & 0xff);
    return s;
}

}  // namespace kite_test
