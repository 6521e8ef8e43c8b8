/*
 * The version of libkitecore: macros for the headers a program was compiled
 * with, and functions for the library it runs with.
 *
 * The two may differ when a program runs against a newer or older installed
 * library; comparing kt_version_number() with KT_VERSION_NUMBER tells them
 * apart.  The functions take no lock, allocate nothing and may be called from
 * any thread at any time, before any other call into the library.
 */
#ifndef KITE_KT_VERSION_H
#define KITE_KT_VERSION_H

#include "common_define.h"
#include "kt_version_numbers.h"

/* The header version as one number, MAJOR * 10000 + MINOR * 100 + PATCH
 * (minor and patch stay below 100), so versions compare as integers. */
#define KT_VERSION_NUMBER \
    (KT_VERSION_MAJOR * 10000 + KT_VERSION_MINOR * 100 + KT_VERSION_PATCH)

/* True when the headers are at least version major.minor.patch, for
 * compile-time checks: #if KT_VERSION_AT_LEAST(0, 2, 0). */
#define KT_VERSION_AT_LEAST(major, minor, patch) \
    (KT_VERSION_NUMBER >= ((major)*10000 + (minor)*100 + (patch)))

KT_EXTERN_C_BEGIN

/* The version of the running library as "MAJOR.MINOR.PATCH".  The text is a
 * static string owned by the library; never null, never freed. */
KT_API const char *kt_version(void);

/* The version of the running library as one number, encoded like
 * KT_VERSION_NUMBER. */
KT_API int kt_version_number(void);

KT_EXTERN_C_END

#endif
