# Peers of the queue benchmark: GLib's GAsyncQueue and oneTBB's bounded
# queue (moodycamel's queue is header-only).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_peers(kt_queue_bench tbb KITE_BENCH_HAVE_TBB)
