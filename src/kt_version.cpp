// Library version.
//
// The numbers come from the generated kt_version_numbers.h, which CMake
// writes from project(VERSION ...): the version lives in one place.  The
// functions return what this library was built with, so a program can
// compare them with the macros of the headers it was compiled against.
#include "kt_version.h"

static_assert(KT_VERSION_MINOR < 100 && KT_VERSION_PATCH < 100,
              "KT_VERSION_NUMBER gives minor and patch two digits each");

extern "C" {

KT_API const char *kt_version(void)
{
    return KT_VERSION_STRING;
}

KT_API int kt_version_number(void)
{
    return KT_VERSION_NUMBER;
}
}
