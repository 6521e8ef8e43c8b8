# Peer of kite_mpool_bench: APR's pools (apr_palloc / apr_pool_clear).
if(PkgConfig_FOUND)
  pkg_check_modules(KITE_MPOOL_APR QUIET apr-1)
  if(KITE_MPOOL_APR_FOUND)
    target_include_directories(kite_mpool_bench PRIVATE ${KITE_MPOOL_APR_INCLUDE_DIRS})
    target_link_libraries(kite_mpool_bench PRIVATE ${KITE_MPOOL_APR_LINK_LIBRARIES})
    target_compile_definitions(kite_mpool_bench PRIVATE KITE_BENCH_LINK_APR)
  endif()
endif()
