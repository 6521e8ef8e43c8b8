// kite-test-labels: concurrent
#include "logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "pthread_func.h"
#include "test_util.h"

namespace {

using kite_test::LogCapture;
using kite_test::Prefix;

TEST(LoggerTest, ErrorAndWarningCarryTheStandardPrefixWithBaseName)
{
    LogCapture capture;
    int line = __LINE__ + 1;
    logError("open %s fail", "x.conf");
    logWarning("retry %d", 3);
    auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, KT_LOG_ERROR);
    EXPECT_EQ(records[0].message,
              Prefix("logger_test.cpp", line) + "open x.conf fail");
    EXPECT_EQ(records[1].level, KT_LOG_WARNING);
    EXPECT_EQ(records[1].message,
              Prefix("logger_test.cpp", line + 1) + "retry 3");
}

TEST(LoggerTest, InfoAndDebugArePlainUnlessAskedForThePrefix)
{
    LogCapture capture;
    logInfo("dump line %d", 1);
    logDebug("thread exit");
    int line = __LINE__ + 1;
    logInfoPrefixed("peer %s gone", "a");
    auto messages = capture.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "dump line 1");
    EXPECT_EQ(messages[1], "thread exit");
    EXPECT_EQ(messages[2], Prefix("logger_test.cpp", line) + "peer a gone");
}

TEST(LoggerTest, LevelFiltersLessSevereRecords)
{
    LogCapture capture;
    kt_log_set_level(KT_LOG_WARNING);
    logDebug("d");
    logInfo("i");
    logWarning("w");
    logError("e");
    kt_log_set_level(KT_LOG_ERROR);
    logWarning("w2");
    auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].level, KT_LOG_WARNING);
    EXPECT_EQ(records[1].level, KT_LOG_ERROR);
    EXPECT_EQ(kt_log_set_level(99), KT_LOG_ERROR);
    EXPECT_EQ(kt_log_get_level(), KT_LOG_DEBUG);  // clamped into range
}

TEST(LoggerTest, LevelNamesParse)
{
    EXPECT_EQ(kt_log_level_from_name("error"), KT_LOG_ERROR);
    EXPECT_EQ(kt_log_level_from_name("WARNING"), KT_LOG_WARNING);
    EXPECT_EQ(kt_log_level_from_name("info"), KT_LOG_INFO);
    EXPECT_EQ(kt_log_level_from_name("Debug"), KT_LOG_DEBUG);
    EXPECT_EQ(kt_log_level_from_name("verbose"), -1);
    EXPECT_EQ(kt_log_level_from_name(nullptr), -1);
}

// Runs in a child process started by EnvironmentSetsTheLevelAtFirstUse.
TEST(LoggerTest, EnvLevelChild)
{
    const char *expected = getenv("KITE_TEST_EXPECT_LEVEL");
    if (expected == nullptr) GTEST_SKIP() << "only run as a child";
    EXPECT_EQ(kt_log_get_level(), atoi(expected));
}

TEST(LoggerTest, EnvironmentSetsTheLevelAtFirstUse)
{
    for (auto [name, level] : {std::pair{"error", KT_LOG_ERROR},
                               {"debug", KT_LOG_DEBUG},
                               {"bogus", KT_LOG_INFO}}) {
        std::string cmd = "KITE_LOG_LEVEL=" + std::string(name) +
                          " KITE_TEST_EXPECT_LEVEL=" + std::to_string(level) +
                          " /proc/" + std::to_string(getpid()) +
                          "/exe --gtest_filter=LoggerTest.EnvLevelChild "
                          ">/dev/null 2>&1";
        EXPECT_EQ(system(cmd.c_str()), 0) << name;
    }
}

TEST(LoggerTest, UnkownErrorRule)
{
    EXPECT_STREQ(kt_strerror(ENOENT), strerror(ENOENT));
    EXPECT_STREQ(KT_STRERROR(EINVAL), "Invalid argument");
    EXPECT_NE(kt_strerror(123456), nullptr);
    LogCapture capture;
    int line = __LINE__ + 1;
    kt_log_call_fail(KT_LOG_WARNING, __FILE__, line, "pthread_mutex_lock",
                     EINVAL);
    EXPECT_EQ(capture.last(), Prefix("logger_test.cpp", line) +
                                  "call pthread_mutex_lock fail, errno: 22, "
                                  "error info: Invalid argument");
}

TEST(LoggerTest, LongMessagesAreCutNotOverflowed)
{
    LogCapture capture;
    std::string big(40000, 'x');
    logInfo("%s", big.c_str());
    ASSERT_EQ(capture.size(), 1u);
    EXPECT_GT(capture.last().size(), 4000u);
    EXPECT_LT(capture.last().size(), 4096u);
    // The cut is marked, so a reader knows the record went on.
    EXPECT_TRUE(capture.last().ends_with("x...(truncated)"))
        << capture.last().substr(3990);
    capture.clear();
    logError("%s", std::string(4100, 'y').c_str());
    EXPECT_TRUE(capture.last().ends_with("...(truncated)"));
}

// Runs fn on a thread started by the library with a 32 KiB stack, as a pool
// thread may be, and waits for it.
template <typename Fn>
void RunOnSmallStack(Fn fn)
{
    struct Job {
        Fn fn;
        std::atomic<bool> done{false};
    } job{fn};
    pthread_t tid;
    ASSERT_EQ(kt_create_thread(
                  &tid,
                  [](void *arg) -> void * {
                      auto *j = static_cast<Job *>(arg);
                      j->fn();
                      j->done.store(true);
                      return nullptr;
                  },
                  &job, 32 * 1024),
              0);
    for (int i = 0; i < 10000 && !job.done.load(); i++) usleep(1000);
    ASSERT_TRUE(job.done.load());
}

// A long record to standard error on a small stack: one buffer of a few KiB,
// one cut line ending in the mark and a newline.
TEST(LoggerTest, LongRecordFitsASmallThreadStack)
{
    kite_test::TempFile out;
    int saved = dup(STDERR_FILENO);
    int fd = open(out.path().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    std::string big(20000, 'z');
    RunOnSmallStack([&big] { logError("%s", big.c_str()); });
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);
    std::string text = out.read();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_TRUE(text.ends_with("zzz...(truncated)\n")) << text.substr(0, 80);
    EXPECT_LT(text.size(), 4096u);
}

// Sinks swapped back and forth while threads log: every record reaches a
// sink together with that sink's own argument, and nothing is lost.
struct TaggedSink {
    int tag;
    std::atomic<int> records{0};
    std::atomic<int> mismatched{0};
};

template <int Tag>
void tagged_sink(int, const char *, int, void *arg)
{
    auto *s = static_cast<TaggedSink *>(arg);
    if (s->tag != Tag) s->mismatched.fetch_add(1);
    s->records.fetch_add(1);
}

TEST(LoggerTest, SinkSwapsWhileThreadsLog)
{
    TaggedSink a{1}, b{2};
    int old_level = kt_log_set_level(KT_LOG_INFO);
    kt_log_set_sink(&tagged_sink<1>, &a);
    constexpr int kThreads = 4, kPerThread = 2000;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([] {
            for (int i = 0; i < kPerThread; i++) logInfo("record %d", i);
        });
    }
    std::thread swapper([&] {
        for (int i = 0; !stop.load(); i++) {
            if (i % 2 == 0)
                kt_log_set_sink(&tagged_sink<2>, &b);
            else
                kt_log_set_sink(&tagged_sink<1>, &a);
        }
    });
    for (auto &th : threads) th.join();
    stop.store(true);
    swapper.join();
    kt_log_set_sink(nullptr, nullptr);
    kt_log_set_level(old_level);
    EXPECT_EQ(a.mismatched.load() + b.mismatched.load(), 0);
    EXPECT_EQ(a.records.load() + b.records.load(), kThreads * kPerThread);
}

// The default sink: every record is one whole line on standard error, even
// with eight threads logging at once.
TEST(LoggerTest, ConcurrentRecordsNeverInterleave)
{
    kite_test::TempFile out;
    int saved = dup(STDERR_FILENO);
    int fd = open(out.path().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    int old_level = kt_log_set_level(KT_LOG_INFO);
    constexpr int kThreads = 8, kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            std::string pad(100 + t * 37, 'a' + t);
            for (int i = 0; i < kPerThread; i++)
                logError("t%d i%d %s", t, i, pad.c_str());
        });
    }
    for (auto &th : threads) th.join();
    kt_log_set_level(old_level);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(fd);

    std::ifstream in(out.path());
    std::regex shape(
        R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ERROR - file: logger_test\.cpp, line: \d+, t(\d) i(\d+) ([a-h]+)$)");
    std::vector<int> seen(kThreads, 0);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 200);
        int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), seen[t]++);  // in order per thread
        EXPECT_EQ(m[3].str(), std::string(100 + t * 37, 'a' + t));
        lines++;
    }
    EXPECT_EQ(lines, kThreads * kPerThread);
}

}  // namespace
