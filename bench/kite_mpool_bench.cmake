# Peer of kite_mpool_bench: APR's pools (apr_palloc / apr_pool_clear).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_pkg(kite_mpool_bench KITE_BENCH_LINK_APR apr-1)
