# Peers of skiplist_bench: absl's btree (mostly headers) and apr's skiplist.
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_pkg(skiplist_bench KITE_BENCH_LINK_ABSL absl_btree)
kite_bench_link_pkg(skiplist_bench KITE_BENCH_LINK_APR apr-1)
