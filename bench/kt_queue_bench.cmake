# Peers of the queue benchmark: GLib's GAsyncQueue, oneTBB's bounded queue
# and APR's bounded apr_queue (moodycamel's queue is header-only).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_peers(kt_queue_bench tbb KITE_BENCH_HAVE_TBB)
kite_bench_link_pkg(kt_queue_bench KITE_BENCH_HAVE_APR_QUEUE apr-util-1 apr-1)
