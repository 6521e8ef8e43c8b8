# Peers of the queue benchmark: GLib's GAsyncQueue and oneTBB's bounded
# queue (moodycamel's queue is header-only).
if(PKG_CONFIG_FOUND)
  pkg_check_modules(KT_QUEUE_BENCH_GLIB IMPORTED_TARGET glib-2.0)
  if(KT_QUEUE_BENCH_GLIB_FOUND)
    target_link_libraries(kt_queue_bench PRIVATE PkgConfig::KT_QUEUE_BENCH_GLIB)
  endif()
endif()
find_library(KT_QUEUE_BENCH_TBB_LIB tbb)
if(KT_QUEUE_BENCH_TBB_LIB)
  target_link_libraries(kt_queue_bench PRIVATE ${KT_QUEUE_BENCH_TBB_LIB})
  target_compile_definitions(kt_queue_bench PRIVATE KITE_BENCH_HAVE_TBB)
endif()
