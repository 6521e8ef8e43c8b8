/*
 * Shared types and constants of libkitecore.
 *
 * Every public function of the library returns 0 on success or a positive
 * errno value, unless its header says otherwise.  Records passed in are owned
 * by the caller; the library only fills them and releases what it hung from
 * them.  All headers compile as C11 and as C++.
 */
#ifndef KITE_COMMON_DEFINE_H
#define KITE_COMMON_DEFINE_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

/* Marks a symbol as part of the exported C API.  The library is built with
 * -fvisibility=hidden, so anything without this stays internal. */
#if defined(KITE_BUILDING_LIBRARY)
#define KT_API __attribute__((visibility("default")))
#else
#define KT_API
#endif

/* Wrap a header's declarations in extern "C" when compiled as C++. */
#ifdef __cplusplus
#define KT_EXTERN_C_BEGIN extern "C" {
#define KT_EXTERN_C_END } /* closes KT_EXTERN_C_BEGIN */
#else
#define KT_EXTERN_C_BEGIN
#define KT_EXTERN_C_END /* closes KT_EXTERN_C_BEGIN */
#endif

/* printf-style argument checking for the logging and buffer functions. */
#define KT_PRINTF_FORMAT(fmt_index, first_arg) \
    __attribute__((format(printf, fmt_index, first_arg)))

/* The smaller and the larger of two values, for C callers (each argument
 * may be evaluated twice). */
#define KT_MIN(a, b) ((a) < (b) ? (a) : (b))
#define KT_MAX(a, b) ((a) > (b) ? (a) : (b))

/* Room for the text of an IPv4 or IPv6 address plus its NUL. */
#define KT_IP_ADDRESS_SIZE 46
/* Room for a file name with its directories. */
#define KT_MAX_PATH_SIZE 256

KT_EXTERN_C_BEGIN

/* A string given by pointer and length; the text need not end with a NUL
 * and comparisons use the length. */
typedef struct {
    char *str;   /* first byte of the text; need not end with a NUL */
    int32_t len; /* length in bytes */
} string_t;

/* One key and its value, both borrowed texts. */
typedef struct {
    string_t key;   /* the key text */
    string_t value; /* the value text */
} key_value_pair_t;

KT_EXTERN_C_END

#endif
