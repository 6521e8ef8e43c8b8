# GoogleTest for the test suite: the installed one (Debian: libgtest-dev)
# when there is one, else, with KITE_FETCH_GTEST on, a pinned release
# fetched and built with the tests.  The hash pins the exact tarball;
# KITE_GTEST_URL may point at a local copy of the same file.
option(KITE_FETCH_GTEST "Fetch a pinned GoogleTest when none is installed" ON)
set(KITE_GTEST_URL
  "https://github.com/google/googletest/archive/refs/tags/release-1.12.1.tar.gz"
  CACHE STRING "Where to fetch GoogleTest 1.12.1 from when none is installed")
set(KITE_GTEST_SHA256 81964fe578e9bd7c94dfdb09c8e4d6e6759e19967e397dbea48d1c10e45d0df2)

find_package(GTest QUIET)
if(NOT GTest_FOUND)
  if(NOT KITE_FETCH_GTEST)
    message(FATAL_ERROR "GoogleTest not found: install it (tools/ensure_deps.sh test "
                        "does) or configure with -DKITE_FETCH_GTEST=ON")
  endif()
  message(STATUS "GoogleTest not installed: using the pinned 1.12.1 from ${KITE_GTEST_URL}")
  include(FetchContent)
  FetchContent_Declare(googletest URL ${KITE_GTEST_URL} URL_HASH SHA256=${KITE_GTEST_SHA256})
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  FetchContent_MakeAvailable(googletest)
  # Its sources are not ours: our warning flags must not fail its build.
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
