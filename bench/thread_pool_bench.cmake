# Peers of the thread pool benchmark: GLib's GThreadPool and libuv
# (boost::asio is header-only).
if(PKG_CONFIG_FOUND)
  pkg_check_modules(THREAD_POOL_BENCH_GLIB IMPORTED_TARGET glib-2.0)
  if(THREAD_POOL_BENCH_GLIB_FOUND)
    target_link_libraries(thread_pool_bench PRIVATE PkgConfig::THREAD_POOL_BENCH_GLIB)
  endif()
endif()
find_library(THREAD_POOL_BENCH_UV_LIB uv)
if(THREAD_POOL_BENCH_UV_LIB)
  target_link_libraries(thread_pool_bench PRIVATE ${THREAD_POOL_BENCH_UV_LIB})
  target_compile_definitions(thread_pool_bench PRIVATE KITE_BENCH_HAVE_UV)
endif()
