# Peers of the queue benchmark: GLib's GAsyncQueue and oneTBB's bounded
# queue (moodycamel's queue is header-only).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_peers(kt_queue_bench tbb KITE_BENCH_HAVE_TBB)
# APR's bounded apr_queue (apr-util), through pkg-config.
if(PkgConfig_FOUND)
  pkg_check_modules(KT_QUEUE_BENCH_APRUTIL QUIET apr-util-1 apr-1)
  if(KT_QUEUE_BENCH_APRUTIL_FOUND)
    target_include_directories(kt_queue_bench PRIVATE ${KT_QUEUE_BENCH_APRUTIL_INCLUDE_DIRS})
    target_link_libraries(kt_queue_bench PRIVATE ${KT_QUEUE_BENCH_APRUTIL_LINK_LIBRARIES})
    target_compile_definitions(kt_queue_bench PRIVATE KITE_BENCH_HAVE_APR_QUEUE)
  endif()
endif()
