#include "kt_memory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "test_util.h"

namespace {

using kite_test::FailingAllocator;
using kite_test::LogCapture;
using kite_test::Prefix;

size_t g_notified_size = 0;
int g_notify_calls = 0;
void RecordOom(const size_t size)
{
    g_notified_size = size;
    g_notify_calls++;
}

class KtMemoryTest : public ::testing::Test {
 protected:
    void SetUp() override
    {
        g_notified_size = 0;
        g_notify_calls = 0;
    }
    void TearDown() override { g_oom_notify = nullptr; }
};

TEST_F(KtMemoryTest, FailedMallocLogsCallsHookAndReturnsNull)
{
    LogCapture capture;
    g_oom_notify = RecordOom;
    FailingAllocator fail;
    EXPECT_EQ(kt_malloc_ex("/some/dir/caller.c", 42, 1000), nullptr);
    EXPECT_EQ(capture.last(), Prefix("caller.c", 42) +
                                  "malloc 1000 bytes fail, errno: 12, "
                                  "error info: Cannot allocate memory");
    EXPECT_EQ(g_notify_calls, 1);
    EXPECT_EQ(g_notified_size, 1000u);
    EXPECT_EQ(fail.failures(), 1);
}

TEST_F(KtMemoryTest, FailedReallocKeepsTheBlock)
{
    char *p = static_cast<char *>(kt_malloc(16));
    ASSERT_NE(p, nullptr);
    strcpy(p, "kept");
    LogCapture capture;
    g_oom_notify = RecordOom;
    {
        FailingAllocator fail;
        int line = __LINE__ + 1;
        EXPECT_EQ(kt_realloc(p, 1 << 20), nullptr);
        EXPECT_EQ(capture.last(), Prefix("kt_memory_test.cpp", line) +
                                      "realloc 1048576 bytes fail, errno: 12, "
                                      "error info: Cannot allocate memory");
    }
    EXPECT_EQ(g_notified_size, 1u << 20);
    EXPECT_STREQ(p, "kept");
    kt_free(p);
}

TEST_F(KtMemoryTest, WithoutHookFailureStillLogsAndReturnsNull)
{
    LogCapture capture;
    FailingAllocator fail;
    EXPECT_EQ(kt_malloc(64), nullptr);
    EXPECT_EQ(kt_strdup("abc"), nullptr);
    EXPECT_EQ(capture.size(), 2u);
    EXPECT_EQ(g_notify_calls, 0);
}

TEST_F(KtMemoryTest, FailAfterNAllocationsAndOnce)
{
    {
        FailingAllocator fail(2);
        void *a = kt_malloc(8);
        void *b = kt_malloc(8);
        EXPECT_NE(a, nullptr);
        EXPECT_NE(b, nullptr);
        EXPECT_EQ(kt_malloc(8), nullptr);
        kt_free(a);
        kt_free(b);
    }
    FailingAllocator once(0, true);
    EXPECT_EQ(kt_malloc(8), nullptr);
    void *c = kt_malloc(8);
    EXPECT_NE(c, nullptr);
    kt_free(c);
}

TEST_F(KtMemoryTest, CallocZeroesAndRefusesOverflow)
{
    auto *p = static_cast<unsigned char *>(kt_calloc(100, 3));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 300; i++) EXPECT_EQ(p[i], 0);
    kt_free(p);
    LogCapture capture;
    EXPECT_EQ(kt_calloc(SIZE_MAX / 2, 3), nullptr);
    EXPECT_TRUE(capture.contains("bytes fail"));
    kt_free(nullptr);  // ignored
    char *s = kt_strdup("copy me");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "copy me");
    kt_free(s);
}

}  // namespace
