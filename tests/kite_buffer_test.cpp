#include "kite_buffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "test_util.h"

namespace {

std::string Contents(const KiteBuffer &b)
{
    return std::string(b.data, b.length);
}

TEST(KiteBufferTest, AppendsGrowAndNeverTruncate)
{
    KiteBuffer b;
    ASSERT_EQ(kite_buffer_init_ex(&b, 8), 0);
    EXPECT_EQ(b.alloc_size, 8);
    EXPECT_EQ(b.length, 0);
    std::string big(10000, 'z');
    ASSERT_EQ(kite_buffer_append(&b, "[%s%.*s]\nport = %d\n", "group-", 3,
                                 "abcdef", 5000),
              0);
    ASSERT_EQ(kite_buffer_append(&b, "%s", big.c_str()), 0);
    ASSERT_EQ(kite_buffer_append_buff(&b, "host", 4), 0);
    EXPECT_EQ(Contents(b), "[group-abc]\nport = 5000\n" + big + "host");
    EXPECT_GE(b.alloc_size, b.length);
    kite_buffer_destroy(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.alloc_size, 0);
    EXPECT_EQ(b.length, 0);
}

TEST(KiteBufferTest, CapacityChecksKeepTheBytesInUse)
{
    KiteBuffer b;
    kite_buffer_init(&b);
    EXPECT_EQ(kite_buffer_check_inc_size(&b, 1024), 0);
    EXPECT_GE(b.alloc_size, 1024);
    ASSERT_EQ(kite_buffer_append_buff(&b, "header", 6), 0);
    int before = b.alloc_size;
    EXPECT_EQ(kite_buffer_check_capacity(&b, 10), 0);
    EXPECT_EQ(b.alloc_size, before);  // no shrink, no move
    ASSERT_EQ(kite_buffer_set_capacity(&b, 1 << 20), 0);
    EXPECT_GE(b.alloc_size, 1 << 20);
    EXPECT_EQ(Contents(b), "header");
    kite_test::LogCapture capture;
    EXPECT_EQ(kite_buffer_set_capacity(&b, -1), EINVAL);
    kite_buffer_destroy(&b);
}

TEST(KiteBufferTest, FailedGrowthLeavesTheBufferUnchanged)
{
    KiteBuffer b;
    ASSERT_EQ(kite_buffer_init_ex(&b, 16), 0);
    ASSERT_EQ(kite_buffer_append(&b, "%s", "0123456789"), 0);
    kite_test::LogCapture capture;
    {
        kite_test::FailingAllocator fail;
        std::string big(100, 'q');
        EXPECT_EQ(kite_buffer_append(&b, "%s", big.c_str()), ENOMEM);
        EXPECT_EQ(kite_buffer_append_buff(&b, big.data(), 100), ENOMEM);
        EXPECT_EQ(kite_buffer_set_capacity(&b, 4096), ENOMEM);
        KiteBuffer other;
        EXPECT_EQ(kite_buffer_init_ex(&other, 64), ENOMEM);
        EXPECT_EQ(other.data, nullptr);
    }
    EXPECT_EQ(Contents(b), "0123456789");
    EXPECT_EQ(b.alloc_size, 16);
    EXPECT_TRUE(capture.contains("realloc"));
    kite_buffer_destroy(&b);
}

// length + inc_size past INT32_MAX must be refused, not wrap to a negative
// capacity that the check would take as already satisfied.
TEST(KiteBufferTest, IncSizeCheckRefusesSizesPastInt32)
{
    char byte;
    KiteBuffer b{&byte, 1, INT32_MAX - 10};
    EXPECT_EQ(kite_buffer_check_inc_size(&b, 11), E2BIG);
    EXPECT_EQ(kite_buffer_check_inc_size(&b, INT32_MAX), E2BIG);
    EXPECT_EQ(b.alloc_size, 1);
    EXPECT_EQ(b.data, &byte);
}

}  // namespace
