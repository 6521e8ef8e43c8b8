// Shared helpers for the GoogleTest programs: log capture, a failing
// allocator, temporary files and seeded random data.
#ifndef KITE_TESTS_TEST_UTIL_H
#define KITE_TESTS_TEST_UTIL_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace kite_test {

struct LogRecord {
    int level;
    std::string message;
};

// Captures every log record (at every level) while alive, then restores
// standard error and the previous level.  Thread-safe.
class LogCapture {
 public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages() const;
    size_t size() const;
    void clear();
    // True when some record's message contains text.
    bool contains(const std::string &text) const;
    // The message of the last record, or "" when none.
    std::string last() const;

 private:
    static void sink(int level, const char *message, int length, void *arg);
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
    int old_level_;
};

// Makes allocations through the library's wrapper fail while alive:
// after `succeed_first` successful allocations, every one fails (or only
// the next one with fail_once).  Counts the failures it caused.
class FailingAllocator {
 public:
    explicit FailingAllocator(int64_t succeed_first = 0,
                              bool fail_once = false);
    ~FailingAllocator();
    FailingAllocator(const FailingAllocator &) = delete;
    FailingAllocator &operator=(const FailingAllocator &) = delete;
    int64_t failures() const;
};

// Counts what the library's wrapper holds while alive: blocks and bytes
// allocated and not yet freed (bytes as malloc_usable_size reports them, so
// a free subtracts exactly what its allocation added).  After `fail_after`
// successful allocations every further one fails (-1: none fails), so a
// test can fail each step in turn and still check that nothing leaked.
// Install it only while nothing allocated before it will be freed.
class CountingAllocator {
 public:
    explicit CountingAllocator(int64_t fail_after = -1);
    ~CountingAllocator();
    CountingAllocator(const CountingAllocator &) = delete;
    CountingAllocator &operator=(const CountingAllocator &) = delete;
    int64_t blocks() const;       // allocated and not freed
    int64_t bytes() const;        // usable bytes of those blocks
    int64_t allocations() const;  // successful allocations and reallocations
    int64_t failures() const;
};

// The expected standard prefix for a message logged from source file
// `file` (base name) at `line`: "file: NAME, line: N, ".
std::string Prefix(const std::string &file, int line);

// A temporary file removed with the object; path() is its name.
class TempFile {
 public:
    explicit TempFile(const std::string &content = "");
    ~TempFile();
    const std::string &path() const { return path_; }
    void write(const std::string &content) const;
    std::string read() const;

 private:
    std::string path_;
};

// Runs body in a forked child, for tests of process-wide state or of
// process limits.  GoogleTest assertions work inside body: the child exits
// with 0 when body recorded no failure, 1 otherwise (a sanitizer report
// gives the sanitizer's status); the parent waits at
// most timeout_seconds, then kills the child.  Returns the child's exit
// status, or -1 when it was killed, crashed or could not be started.
int RunInChild(const std::function<void()> &body, int timeout_seconds = 60);

// A generator seeded from KITE_TEST_SEED (printed once) or a fixed seed, so
// a failing randomized test can be replayed.
std::mt19937_64 &Rng();
uint64_t Seed();
std::string RandomBytes(size_t len);

}  // namespace kite_test

#endif
