/*
 * Small string, file and address helpers shared by the modules.
 */
#ifndef KITE_SHARED_FUNC_H
#define KITE_SHARED_FUNC_H

#include <stdbool.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* Removes trailing white space (space, tab, CR, LF, VT, FF) in place by
 * writing a NUL.  Returns text. */
KT_API char *trim_right(char *text);

/* Removes leading white space in place by moving the rest of the text, NUL
 * included, to the start of the same buffer.  Returns text. */
KT_API char *trim_left(char *text);

/* trim_right then trim_left; returns text. */
KT_API char *kt_trim(char *text);

/* Splits src in place at every separator into at most max_cols parts: the
 * separators are overwritten with NULs and cols[i] points at part i; the
 * last part keeps any further separators.  An empty src gives one empty
 * part.  Returns the number of parts. */
KT_API int splitEx(char *src, const char separator, char **cols,
                   const int max_cols);

/* Writes all count bytes to fd, retrying partial writes and EINTR.  Returns
 * count on success; otherwise the bytes written before the failure (or -1
 * when none were) with errno describing it. */
KT_API ssize_t kt_safe_write(int fd, const void *buf, size_t count);

/* Reads the file to its end into a new NUL-terminated buffer (released with
 * kt_free) and stores its size without the NUL.  Any readable file works,
 * regular or not (a pipe, /dev/stdin, a /proc file): the content is read
 * until end of file, whatever size the file reports.  Returns 0; ENOENT or
 * the open/read error; EFBIG at 2^31 - 2 bytes or more; ENOMEM.  On failure
 * *buff is null and *file_size 0; errors are logged with the file name. */
KT_API int kt_get_file_content(const char *filename, char **buff,
                               int64_t *file_size);

/* True for IPv4 text in 10.0.0.0/8, 172.16.0.0/12 or 192.168.0.0/16, and for
 * IPv6 unique-local (fc00::/7) and link-local (fe80::/10) addresses. */
KT_API bool is_private_ip(const char *ip);

/* Same length and same bytes. */
KT_API bool kt_string_equal(const string_t *s1, const string_t *s2);
/* The same against a pointer and length. */
KT_API bool kt_string_equal2(const string_t *s1, const char *str,
                             const int len);
/* Byte order like memcmp, the shorter string first on a common prefix. */
KT_API int kt_string_compare(const string_t *s1, const string_t *s2);

/* A string_t over len bytes at text (borrowed, not copied). */
static inline string_t kt_string_from_buffer(const char *text, int32_t len)
{
    string_t s;
    s.str = (char *)text;
    s.len = len;
    return s;
}

/* A string_t over a NUL-terminated text (borrowed), without the NUL. */
static inline string_t kt_string_from_text(const char *text)
{
    return kt_string_from_buffer(text, (int32_t)strlen(text));
}

KT_EXTERN_C_END

/* Fills a string_t from a pointer and length, or from a NUL-terminated
 * text; each argument is evaluated once. */
#define KT_SET_STRING_EX(s, p, l) \
    ((s) = kt_string_from_buffer((p), (int32_t)(l)))
/* KT_SET_STRING_EX with the length of the NUL-terminated text p. */
#define KT_SET_STRING(s, p) ((s) = kt_string_from_text(p))

#endif
