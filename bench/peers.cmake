# Links a benchmark against its C peers: GLib through pkg-config and one
# more library found by name; each only when this machine has it, so the
# bench still builds without them.  Cache variables are named after the
# target (kt_queue_bench + tbb -> KT_QUEUE_BENCH_TBB_LIB).
include_guard(GLOBAL)

# kite_bench_link_peers(<target> <library> <definition>): links GLib and
# <library> into <target> and defines <definition> when <library> is found.
function(kite_bench_link_peers target library definition)
  string(TOUPPER ${target} prefix)
  string(TOUPPER ${library} lib_upper)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(${prefix}_GLIB IMPORTED_TARGET glib-2.0)
    if(${prefix}_GLIB_FOUND)
      target_link_libraries(${target} PRIVATE PkgConfig::${prefix}_GLIB)
    endif()
  endif()
  find_library(${prefix}_${lib_upper}_LIB ${library})
  if(${prefix}_${lib_upper}_LIB)
    target_link_libraries(${target} PRIVATE ${${prefix}_${lib_upper}_LIB})
    target_compile_definitions(${target} PRIVATE ${definition})
  endif()
endfunction()

# kite_bench_link_pkg(<target> <definition> <pkg-config modules...>): links
# the modules (include directories and libraries) into <target> and defines
# <definition> when pkg-config finds all of them.
function(kite_bench_link_pkg target definition)
  if(NOT PKG_CONFIG_FOUND)
    return()
  endif()
  string(MAKE_C_IDENTIFIER "${target}_${definition}" var)
  string(TOUPPER ${var} var)
  pkg_check_modules(${var} QUIET ${ARGN})
  if(${var}_FOUND)
    target_include_directories(${target} PRIVATE ${${var}_INCLUDE_DIRS})
    target_link_libraries(${target} PRIVATE ${${var}_LINK_LIBRARIES})
    target_compile_definitions(${target} PRIVATE ${definition})
  endif()
endfunction()
