#include "shared_func.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "kt_memory.h"
#include "test_util.h"

namespace {

TEST(SharedFuncTest, TrimsWorkInPlace)
{
    struct {
        const char *in, *right, *left, *both;
    } cases[] = {
        {"  a b \t\r\n", "  a b", "a b \t\r\n", "a b"},
        {"", "", "", ""},
        {" \t ", "", "", ""},
        {"x", "x", "x", "x"},
    };
    for (const auto &c : cases) {
        char buf[64];
        strcpy(buf, c.in);
        EXPECT_STREQ(trim_right(buf), c.right);
        strcpy(buf, c.in);
        EXPECT_EQ(trim_left(buf), buf);  // same buffer, text moved to its start
        EXPECT_STREQ(buf, c.left);
        strcpy(buf, c.in);
        EXPECT_STREQ(kt_trim(buf), c.both);
    }
}

TEST(SharedFuncTest, SplitStopsAtMaxParts)
{
    char text[] = "a,b,,c,d";
    char *cols[3];
    ASSERT_EQ(splitEx(text, ',', cols, 3), 3);
    EXPECT_STREQ(cols[0], "a");
    EXPECT_STREQ(cols[1], "b");
    EXPECT_STREQ(cols[2], ",c,d");  // the rest stays in the last part
    char empty[] = "";
    ASSERT_EQ(splitEx(empty, ',', cols, 3), 1);
    EXPECT_STREQ(cols[0], "");
    char one[] = "x,y";
    EXPECT_EQ(splitEx(one, ',', cols, 0), 0);
}

TEST(SharedFuncTest, SafeWriteDeliversEverythingThroughAPipe)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string data = kite_test::RandomBytes(1 << 20);  // larger than the pipe
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof(buf))) > 0) got.append(buf, n);
    });
    EXPECT_EQ(kt_safe_write(fds[1], data.data(), data.size()),
              (ssize_t)data.size());
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, data);
    errno = 0;
    EXPECT_EQ(kt_safe_write(-1, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(SharedFuncTest, FileContentReadsWholeFilesAndReportsMissingOnes)
{
    std::string content = kite_test::RandomBytes(100000);
    kite_test::TempFile file(content);
    char *buff = nullptr;
    int64_t size = 0;
    ASSERT_EQ(kt_get_file_content(file.path().c_str(), &buff, &size), 0);
    EXPECT_EQ(size, (int64_t)content.size());
    EXPECT_EQ(std::string(buff, size), content);
    EXPECT_EQ(buff[size], '\0');
    kt_free(buff);

    // A pipe reports size 0: it is read to its end all the same, through
    // several growths of the buffer.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        EXPECT_EQ(kt_safe_write(fds[1], content.data(), content.size()),
                  (ssize_t)content.size());
        close(fds[1]);
    });
    std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    ASSERT_EQ(kt_get_file_content(path.c_str(), &buff, &size), 0);
    writer.join();
    close(fds[0]);
    EXPECT_EQ(std::string(buff, size), content);
    EXPECT_EQ(buff[size], '\0');
    kt_free(buff);
    // An empty regular file and an exact fit at the first guess.
    for (const std::string &text : {std::string(), std::string(4094, 'x')}) {
        kite_test::TempFile small(text);
        ASSERT_EQ(kt_get_file_content(small.path().c_str(), &buff, &size), 0);
        EXPECT_EQ(std::string(buff, size), text);
        kt_free(buff);
    }

    kite_test::LogCapture capture;
    EXPECT_EQ(kt_get_file_content("/nonexistent/kite.conf", &buff, &size),
              ENOENT);
    EXPECT_EQ(buff, nullptr);
    EXPECT_TRUE(
        capture.contains("open file /nonexistent/kite.conf fail, errno: 2"));
    EXPECT_EQ(kt_get_file_content("/", &buff, &size), EISDIR);
    EXPECT_EQ(buff, nullptr);
    EXPECT_TRUE(capture.contains("read file / fail, errno: 21"));
}

TEST(SharedFuncTest, PrivateRanges)
{
    for (const char *ip :
         {"10.0.0.1", "10.255.255.255", "172.16.0.1", "172.31.255.254",
          "192.168.1.1", "fd00::1", "fe80::1"}) {
        EXPECT_TRUE(is_private_ip(ip)) << ip;
    }
    for (const char *ip :
         {"11.0.0.1", "172.15.255.255", "172.32.0.0", "192.169.0.1", "8.8.8.8",
          "127.0.0.1", "2001:db8::1", "not an ip", ""}) {
        EXPECT_FALSE(is_private_ip(ip)) << ip;
    }
}

TEST(SharedFuncTest, StringsCompareByLength)
{
    char a[] = "abcX", b[] = "abcY";
    string_t s1{a, 3}, s2{b, 3}, s3{b, 4}, empty{nullptr, 0};
    EXPECT_TRUE(kt_string_equal(&s1, &s2));
    EXPECT_FALSE(kt_string_equal(&s1, &s3));
    EXPECT_TRUE(kt_string_equal(&empty, &empty));
    EXPECT_TRUE(kt_string_equal2(&s1, "abc", 3));
    EXPECT_FALSE(kt_string_equal2(&s1, "abd", 3));
    EXPECT_EQ(kt_string_compare(&s1, &s2), 0);
    EXPECT_LT(kt_string_compare(&s1, &s3), 0);  // prefix sorts first
    EXPECT_GT(kt_string_compare(&s3, &s1), 0);
    EXPECT_LT(kt_string_compare(&empty, &s1), 0);
    string_t x;
    KT_SET_STRING(x, "hello");
    EXPECT_EQ(x.len, 5);
    // Each argument is evaluated once.
    const char *texts[] = {"ab", "cdef"};
    int next = 0;
    KT_SET_STRING(x, texts[next++]);
    EXPECT_EQ(next, 1);
    EXPECT_EQ(x.str, texts[0]);
    EXPECT_EQ(x.len, 2);
    KT_SET_STRING_EX(x, texts[next++], 3);
    EXPECT_EQ(next, 2);
    EXPECT_EQ(x.str, texts[1]);
    EXPECT_EQ(x.len, 3);
}

}  // namespace
