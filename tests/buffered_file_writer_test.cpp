// Buffered file writer: sizes and defaults, the high-water mark, formatted
// and raw appends in file order, and every failure on real kernel objects
// (a missing directory, /dev/full, a file size limit in a forked child).
// File contents are always checked through a second descriptor.
#include "buffered_file_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "test_util.h"

namespace {

using kite_test::LogCapture;
using kite_test::TempFile;

// A writer that is closed at the end of the test if still open.
struct Writer {
    BufferedFileWriter w{};
    ~Writer()
    {
        if (w.buff != nullptr) buffered_file_writer_close(&w);
    }
    int open(const std::string &path, int size = 100, int once = 20)
    {
        return buffered_file_writer_open_ex(&w, path.c_str(), size, once, 0644);
    }
    long pending() const { return (long)(w.current - w.buff); }
};

std::string Text(size_t len, char c = 'x')
{
    return std::string(len, c);
}

TEST(BufferedFileWriterTest, SizesAndDefaults)
{
    struct Case {
        int size, once, size_seen, room_above_mark;
    } cases[] = {{0, 0, 65536, 256},
                 {-5, -1, 65536, 256},
                 {100, 100, 100, 100},
                 {300, 0, 300, 256}};
    TempFile file;
    for (const auto &c : cases) {
        Writer wr;
        ASSERT_EQ(wr.open(file.path(), c.size, c.once), 0);
        EXPECT_EQ(wr.w.buffer_size, c.size_seen);
        EXPECT_EQ(wr.w.buff_end - wr.w.buff, c.size_seen);
        EXPECT_EQ(wr.w.buff_end - wr.w.water_mark, c.room_above_mark);
        EXPECT_EQ(wr.w.current, wr.w.buff);
        EXPECT_STREQ(wr.w.filename, file.path().c_str());
    }

    // A refused size pair leaves every byte of the record as it was.
    LogCapture log;
    BufferedFileWriter w;
    memset(&w, 0x5a, sizeof(w));
    BufferedFileWriter before = w;
    EXPECT_EQ(
        buffered_file_writer_open_ex(&w, file.path().c_str(), 100, 200, 0644),
        EINVAL);
    EXPECT_EQ(memcmp(&w, &before, sizeof(w)), 0);
    EXPECT_TRUE(log.contains("max_written_once: 200 > buffer_size: 100"))
        << log.last();
    BufferedFileWriter zeroed{};
    EXPECT_EQ(
        buffered_file_writer_open_ex(&zeroed, file.path().c_str(), 100, 0, 0),
        EINVAL);  // the default 256 does not fit 100 either
    EXPECT_EQ(buffered_file_writer_close(&zeroed), EINVAL);
}

TEST(BufferedFileWriterTest, ModesAndTruncation)
{
    mode_t old_mask = umask(022);
    TempFile short_form, explicit_mode;
    unlink(short_form.path().c_str());
    unlink(explicit_mode.path().c_str());
    BufferedFileWriter a{}, b{};
    ASSERT_EQ(buffered_file_writer_open(&a, short_form.path().c_str()), 0);
    EXPECT_EQ(a.buffer_size, 65536);
    EXPECT_EQ(a.buff_end - a.water_mark, 256);
    ASSERT_EQ(buffered_file_writer_open_ex(&b, explicit_mode.path().c_str(), 0,
                                           0, 0600),
              0);
    struct stat st;
    ASSERT_EQ(stat(short_form.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(explicit_mode.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(buffered_file_writer_close(&a), 0);
    EXPECT_EQ(buffered_file_writer_close(&b), 0);
    EXPECT_EQ(buffered_file_writer_close(&a), EINVAL);  // second close
    umask(old_mask);

    TempFile existing("old content that must go");
    Writer wr;
    ASSERT_EQ(wr.open(existing.path()), 0);
    EXPECT_EQ(existing.read(), "");
    EXPECT_EQ(buffered_file_writer_append(&wr.w, "%s", "new"), 0);
    EXPECT_EQ(buffered_file_writer_close(&wr.w), 0);
    EXPECT_EQ(existing.read(), "new");
}

TEST(BufferedFileWriterTest, FailedOpensLeaveWriterClosed)
{
    LogCapture log;
    Writer missing;
    const std::string path = "/nonexistent-kite-dir/file";
    EXPECT_EQ(missing.open(path), ENOENT);
    EXPECT_EQ(missing.w.buff, nullptr);
    EXPECT_TRUE(
        log.contains("open file " + path +
                     " fail, errno: 2, error info: No such file or directory"))
        << log.last();
    EXPECT_EQ(buffered_file_writer_close(&missing.w), EINVAL);

    TempFile file;
    unlink(file.path().c_str());
    Writer no_memory;
    {
        kite_test::FailingAllocator fail;
        EXPECT_EQ(no_memory.open(file.path()), ENOMEM);
    }
    EXPECT_EQ(no_memory.w.buff, nullptr);
    EXPECT_EQ(buffered_file_writer_close(&no_memory.w), EINVAL);
    EXPECT_NE(access(file.path().c_str(), F_OK), 0) << "nothing may be created";
}

// A path that the record cannot hold is refused whole: opening its cut form
// would empty another file.
TEST(BufferedFileWriterTest, OverlongPathIsRefused)
{
    char dir_template[] = "/tmp/kite_writer_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string fits = dir + "/" + Text(255 - dir.size() - 1, 'a');
    ASSERT_EQ(fits.size(), 255u);
    {
        Writer wr;
        ASSERT_EQ(wr.open(fits), 0);
        EXPECT_EQ(buffered_file_writer_append(&wr.w, "keep"), 0);
        EXPECT_EQ(buffered_file_writer_close(&wr.w), 0);
    }
    LogCapture log;
    for (size_t extra : {1u, 40u}) {
        Writer wr;
        EXPECT_EQ(wr.open(fits + Text(extra, 'b')), ENAMETOOLONG);
        EXPECT_EQ(wr.w.buff, nullptr);
        EXPECT_EQ(buffered_file_writer_close(&wr.w), EINVAL);
    }
    EXPECT_TRUE(log.contains("file name is too long")) << log.last();
    struct stat st;
    ASSERT_EQ(stat(fits.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4) << "the file of the cut name was emptied";
    unlink(fits.c_str());
    EXPECT_EQ(rmdir(dir.c_str()), 0) << "no other file may be created";
}

TEST(BufferedFileWriterTest, FormattedAppends)
{
    LogCapture log;
    TempFile file;
    Writer wr;  // buffer 100, high-water mark at 80
    ASSERT_EQ(wr.open(file.path()), 0);
    for (int len : {100, 150}) {
        EXPECT_EQ(buffered_file_writer_append(&wr.w, "%s", Text(len).c_str()),
                  ENOSPC);
        EXPECT_TRUE(log.contains("too large output buffer, " +
                                 std::to_string(len) + " > 100!"))
            << log.last();
    }
    EXPECT_EQ(wr.pending(), 0);

    // Exactly at the mark stays buffered; one byte past it goes to the file.
    EXPECT_EQ(buffered_file_writer_append(&wr.w, "%s", Text(80, 'a').c_str()),
              0);
    EXPECT_EQ(file.read().size(), 0u);
    EXPECT_EQ(buffered_file_writer_append(&wr.w, "%c", 'b'), 0);
    EXPECT_EQ(file.read(), Text(80, 'a') + "b");
    EXPECT_EQ(wr.pending(), 0);

    // A text that does not fit the free space flushes, then lands whole in
    // the empty buffer.
    EXPECT_EQ(buffered_file_writer_append(&wr.w, "%s", Text(70, 'c').c_str()),
              0);
    EXPECT_EQ(
        buffered_file_writer_append(&wr.w, "%d%s", 4, Text(39, 'd').c_str()),
        0);
    EXPECT_EQ(file.read(), Text(80, 'a') + "b" + Text(70, 'c'));
    EXPECT_EQ(wr.pending(), 40);
    EXPECT_EQ(buffered_file_writer_append(&wr.w, "%s", Text(99, 'e').c_str()),
              0);
    EXPECT_EQ(buffered_file_writer_close(&wr.w), 0);
    EXPECT_EQ(file.read(), Text(80, 'a') + "b" + Text(70, 'c') + "4" +
                               Text(39, 'd') + Text(99, 'e'));

    // A format the C library cannot carry out adds nothing.
    Writer bad;
    ASSERT_EQ(bad.open(file.path()), 0);
    ASSERT_EQ(buffered_file_writer_append(&bad.w, "ok "), 0);
    EXPECT_EQ(buffered_file_writer_append(&bad.w, "%ls", L"\x00e9\x4e2d"),
              EINVAL);
    EXPECT_EQ(bad.pending(), 3);
    EXPECT_TRUE(log.contains("format output fail")) << log.last();
}

TEST(BufferedFileWriterTest, RawAppends)
{
    TempFile file;
    Writer wr;
    ASSERT_EQ(wr.open(file.path()), 0);
    ASSERT_EQ(buffered_file_writer_append_buff(&wr.w, Text(30, 'a').data(), 30),
              0);
    EXPECT_EQ(wr.pending(), 30);
    // One byte under the room below the mark is copied ...
    ASSERT_EQ(buffered_file_writer_append_buff(&wr.w, Text(49, 'b').data(), 49),
              0);
    EXPECT_EQ(wr.pending(), 79);
    EXPECT_EQ(file.read(), "");
    // ... exactly the room goes to the file directly, after the buffer.
    ASSERT_EQ(buffered_file_writer_append_buff(&wr.w, "c", 1), 0);
    EXPECT_EQ(wr.pending(), 0);
    EXPECT_EQ(file.read(), Text(30, 'a') + Text(49, 'b') + "c");
    ASSERT_EQ(
        buffered_file_writer_append_buff(&wr.w, Text(500, 'd').data(), 500), 0);
    EXPECT_EQ(file.read().size(), 580u);
    EXPECT_EQ(buffered_file_writer_append_buff(&wr.w, "x", -1), EINVAL);
    EXPECT_EQ(buffered_file_writer_append_buff(&wr.w, nullptr, 0), 0);
    EXPECT_EQ(wr.pending(), 0);
}

// Random mixes of formatted and raw appends of every size against the
// concatenation they must produce.
TEST(BufferedFileWriterTest, MixedAppendsKeepOrder)
{
    auto &rng = kite_test::Rng();
    LogCapture quiet;
    for (int round = 0; round < 20; round++) {
        TempFile file;
        Writer wr;
        int size = 64 + (int)(rng() % 200);
        ASSERT_EQ(wr.open(file.path(), size, 1 + (int)(rng() % size)), 0);
        std::string expected;
        for (int i = 0; i < 300; i++) {
            std::string piece =
                kite_test::RandomBytes(rng() % (size_t)(size + 50));
            if (rng() % 2 == 0) {
                ASSERT_EQ(buffered_file_writer_append_buff(&wr.w, piece.data(),
                                                           (int)piece.size()),
                          0);
            } else {
                for (auto &c : piece) c = (char)('a' + (unsigned char)c % 26);
                int result = buffered_file_writer_append(&wr.w, "%d:%s", i,
                                                         piece.c_str());
                std::string text = std::to_string(i) + ":" + piece;
                ASSERT_EQ(result, (int)text.size() >= size ? ENOSPC : 0);
                if (result == 0) expected += text;
                continue;
            }
            expected += piece;
        }
        ASSERT_EQ(buffered_file_writer_close(&wr.w), 0);
        ASSERT_EQ(file.read(), expected) << "seed " << kite_test::Seed();
    }
}

TEST(BufferedFileWriterTest, ClosedWriterRefusesUse)
{
    LogCapture log;
    TempFile file;
    Writer wr;
    ASSERT_EQ(wr.open(file.path()), 0);
    ASSERT_EQ(buffered_file_writer_close(&wr.w), 0);
    BufferedFileWriter never_opened{};
    for (BufferedFileWriter *w : {&wr.w, &never_opened}) {
        EXPECT_EQ(buffered_file_writer_append(w, "%d", 1), EINVAL);
        EXPECT_EQ(buffered_file_writer_append_buff(w, "x", 1), EINVAL);
        EXPECT_EQ(buffered_file_writer_flush(w), EINVAL);
        EXPECT_EQ(buffered_file_writer_close(w), EINVAL);
    }
    EXPECT_TRUE(log.contains("is not open")) << log.last();
    EXPECT_EQ(file.read(), "");
}

TEST(BufferedFileWriterTest, DevFullReportsFlushAndCloseErrors)
{
    LogCapture log;
    Writer wr;
    ASSERT_EQ(wr.open("/dev/full"), 0);
    ASSERT_EQ(buffered_file_writer_append(&wr.w, "%s", "0123456789"), 0);
    EXPECT_EQ(buffered_file_writer_flush(&wr.w), ENOSPC);
    EXPECT_TRUE(
        log.contains("write to file /dev/full fail, errno: 28, error info: "
                     "No space left on device"))
        << log.last();
    EXPECT_EQ(wr.pending(), 10) << "a failed write keeps the bytes";
    EXPECT_EQ(buffered_file_writer_append_buff(&wr.w, Text(200).data(), 200),
              ENOSPC);
    log.clear();
    EXPECT_EQ(buffered_file_writer_close(&wr.w), ENOSPC);
    EXPECT_FALSE(log.contains("fsync")) << "no fsync after a failed flush";
    EXPECT_EQ(wr.w.buff, nullptr);
    EXPECT_EQ(buffered_file_writer_close(&wr.w), EINVAL);

    // Nothing to write: the device refuses the sync, and close says so.
    ASSERT_EQ(wr.open("/dev/full"), 0);
    EXPECT_EQ(buffered_file_writer_close(&wr.w), EINVAL);
    EXPECT_TRUE(
        log.contains("fsync file /dev/full fail, errno: 22, error info: "
                     "Invalid argument"))
        << log.last();
    EXPECT_EQ(wr.w.buff, nullptr);
}

// A write cut short by the file size limit: the retry must complete the
// file, not write its first part twice.
TEST(BufferedFileWriterTest, PartialWriteIsCompletedOnce)
{
    TempFile file;
    const std::string data = kite_test::RandomBytes(3000);
    int status = kite_test::RunInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlim_t hard = limit.rlim_max;
        limit.rlim_cur = 1000;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        LogCapture log;
        Writer wr;
        ASSERT_EQ(wr.open(file.path(), 4096, 0), 0);
        ASSERT_EQ(buffered_file_writer_append_buff(&wr.w, data.data(), 3000),
                  0);
        EXPECT_EQ(buffered_file_writer_flush(&wr.w), EFBIG);
        EXPECT_TRUE(log.contains("errno: 27")) << log.last();
        EXPECT_EQ(wr.pending(), 2000);
        EXPECT_EQ(buffered_file_writer_flush(&wr.w), EFBIG);
        EXPECT_EQ(file.read(), data.substr(0, 1000));
        limit.rlim_cur = hard;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        EXPECT_EQ(buffered_file_writer_flush(&wr.w), 0);
        EXPECT_EQ(buffered_file_writer_close(&wr.w), 0);
        EXPECT_EQ(file.read(), data);
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
