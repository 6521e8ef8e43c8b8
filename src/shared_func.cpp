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

// Reads exactly size bytes unless the file ends first; returns the bytes
// read or -1 with errno set.
ssize_t read_fully(int fd, char *buff, int64_t size)
{
    int64_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, buff + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
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
        logError("open file %s fail, errno: %d, error info: %s", filename,
                 err, KT_STRERROR(err));
        return err;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno_or_eio();
        logError("stat file %s fail, errno: %d, error info: %s", filename,
                 err, KT_STRERROR(err));
        close(fd);
        return err;
    }
    char *data = static_cast<char *>(kt_malloc(st.st_size + 1));
    if (data == nullptr) {
        close(fd);
        return ENOMEM;
    }
    ssize_t n = read_fully(fd, data, st.st_size);
    if (n < 0) {
        int err = errno_or_eio();
        logError("read file %s fail, errno: %d, error info: %s", filename,
                 err, KT_STRERROR(err));
        kt_free(data);
        close(fd);
        return err;
    }
    close(fd);
    data[n] = '\0';
    *buff = data;
    *file_size = n;
    return 0;
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

KT_API bool kt_string_equal2(const string_t *s1, const char *str,
                             const int len)
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
