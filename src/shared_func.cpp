// Small string, file and address helpers.
//
// Trimming works in place and never allocates; trim_left moves the text to
// the start of the same buffer so callers keep their own pointer.  The file
// reader and kt_safe_write retry interrupted calls and partial transfers.
#include "shared_func.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kt_memory.h"
#include "logger.h"

namespace {

constexpr bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
           c == '\f';
}

int errno_or_eio()
{
    return errno != 0 ? errno : EIO;
}

// Reads fd to its end into a new NUL-terminated buffer.  The size of a
// regular file is only the first guess: pipes, terminals and /proc files
// report 0 or less than they hold, and a file may grow while it is read, so
// the buffer doubles until read() reports the end.  Returns 0 with the
// buffer in *data and its length in *size, or an errno value (the buffer is
// released): EFBIG at 2^31 - 2 bytes or more, ENOMEM, or read's error.
int read_to_end(int fd, int64_t size_hint, char **data, int64_t *size)
{
    constexpr int64_t kMax = 0x7ffffffeLL;  // the text's length fits an int32
    // Room for the content, the NUL and one more byte, so that the read
    // which meets the end of a file of the expected size needs no growth.
    int64_t alloc = std::min(std::max<int64_t>(size_hint, 0), kMax - 1) + 2;
    alloc = std::max<int64_t>(alloc, 4096);
    char *buff = static_cast<char *>(kt_malloc(alloc));
    int64_t done = 0;
    while (buff != nullptr) {
        if (done + 1 == alloc) {  // keep room for the NUL
            int64_t grown = std::min(alloc * 2, kMax + 1);
            char *p = grown > alloc
                          ? static_cast<char *>(kt_realloc(buff, grown))
                          : nullptr;
            if (p == nullptr) {
                kt_free(buff);
                return grown > alloc ? ENOMEM : EFBIG;
            }
            buff = p;
            alloc = grown;
        }
        ssize_t n = read(fd, buff + done, alloc - 1 - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno_or_eio();
            kt_free(buff);
            return err;
        }
        if (n == 0) {
            buff[done] = '\0';
            *data = buff;
            *size = done;
            return 0;
        }
        done += n;
    }
    return ENOMEM;
}

}  // namespace

extern "C" {

KT_API char *trim_right(char *text)
{
    size_t len = strlen(text);
    while (len > 0 && is_space(text[len - 1])) {
        --len;
    }
    text[len] = '\0';
    return text;
}

KT_API char *trim_left(char *text)
{
    char *p = text;
    while (is_space(*p)) {
        ++p;
    }
    if (p != text) {
        memmove(text, p, strlen(p) + 1);
    }
    return text;
}

KT_API char *kt_trim(char *text)
{
    trim_right(text);
    return trim_left(text);
}

KT_API int splitEx(char *src, const char separator, char **cols,
                   const int max_cols)
{
    if (max_cols <= 0) {
        return 0;
    }
    int count = 0;
    char *p = src;
    cols[count++] = p;
    while (count < max_cols && (p = strchr(p, separator)) != nullptr) {
        *p++ = '\0';
        cols[count++] = p;
    }
    return count;
}

KT_API ssize_t kt_safe_write(int fd, const void *buf, size_t count)
{
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? (ssize_t)done : -1;
        }
        if (n == 0) {
            errno = EIO;
            return done > 0 ? (ssize_t)done : -1;
        }
        done += n;
    }
    return (ssize_t)done;
}

KT_API int kt_get_file_content(const char *filename, char **buff,
                               int64_t *file_size)
{
    *buff = nullptr;
    *file_size = 0;
    int fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno_or_eio();
        logError("open file %s fail, errno: %d, error info: %s", filename, err,
                 KT_STRERROR(err));
        return err;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno_or_eio();
        logError("stat file %s fail, errno: %d, error info: %s", filename, err,
                 KT_STRERROR(err));
        close(fd);
        return err;
    }
    int result =
        read_to_end(fd, S_ISREG(st.st_mode) ? st.st_size : 0, buff, file_size);
    close(fd);
    if (result == EFBIG) {
        logError("read file %s fail, its size exceeds %d bytes", filename,
                 0x7ffffffe);
    } else if (result != 0 && result != ENOMEM) {
        logError("read file %s fail, errno: %d, error info: %s", filename,
                 result, KT_STRERROR(result));
    }
    return result;
}

KT_API bool is_private_ip(const char *ip)
{
    struct in_addr v4;
    if (inet_pton(AF_INET, ip, &v4) == 1) {
        uint32_t a = ntohl(v4.s_addr);
        return (a >> 24) == 10 || (a >> 20) == ((172u << 4) | 1u) ||
               (a >> 16) == ((192u << 8) | 168u);
    }
    struct in6_addr v6;
    if (inet_pton(AF_INET6, ip, &v6) == 1) {
        uint8_t b0 = v6.s6_addr[0];
        uint8_t b1 = v6.s6_addr[1];
        return (b0 & 0xfe) == 0xfc || (b0 == 0xfe && (b1 & 0xc0) == 0x80);
    }
    return false;
}

KT_API bool kt_string_equal(const string_t *s1, const string_t *s2)
{
    return s1->len == s2->len &&
           (s1->len == 0 || memcmp(s1->str, s2->str, s1->len) == 0);
}

KT_API bool kt_string_equal2(const string_t *s1, const char *str, const int len)
{
    return s1->len == len && (len == 0 || memcmp(s1->str, str, len) == 0);
}

KT_API int kt_string_compare(const string_t *s1, const string_t *s2)
{
    int common = std::min(s1->len, s2->len);
    int result = common > 0 ? memcmp(s1->str, s2->str, common) : 0;
    if (result != 0) {
        return result;
    }
    return s1->len - s2->len;
}

}  // extern "C"
