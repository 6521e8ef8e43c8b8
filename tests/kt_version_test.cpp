#include "kt_version.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The library must report the version of the headers it was built with; a
// mismatch here means a stale generated header or a stale library.
TEST(KtVersionTest, RunningLibraryMatchesTheHeaders)
{
    EXPECT_STREQ(kt_version(), KT_VERSION_STRING);
    EXPECT_EQ(kt_version_number(), KT_VERSION_NUMBER);
}

TEST(KtVersionTest, StringAndNumberAgreeWithTheParts)
{
    std::string expected = std::to_string(KT_VERSION_MAJOR) + "." +
                           std::to_string(KT_VERSION_MINOR) + "." +
                           std::to_string(KT_VERSION_PATCH);
    EXPECT_EQ(std::string(kt_version()), expected);
    EXPECT_EQ(kt_version_number(), KT_VERSION_MAJOR * 10000 +
                                       KT_VERSION_MINOR * 100 +
                                       KT_VERSION_PATCH);
}

TEST(KtVersionTest, AtLeastComparesAllThreeParts)
{
    static_assert(KT_VERSION_AT_LEAST(KT_VERSION_MAJOR, KT_VERSION_MINOR,
                                      KT_VERSION_PATCH));
    static_assert(KT_VERSION_AT_LEAST(0, 0, 0));
    static_assert(!KT_VERSION_AT_LEAST(KT_VERSION_MAJOR, KT_VERSION_MINOR,
                                       KT_VERSION_PATCH + 1));
    static_assert(
        !KT_VERSION_AT_LEAST(KT_VERSION_MAJOR, KT_VERSION_MINOR + 1, 0));
    static_assert(!KT_VERSION_AT_LEAST(KT_VERSION_MAJOR + 1, 0, 0));
}

}  // namespace
