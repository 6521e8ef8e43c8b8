# Peers of the thread pool benchmark: GLib's GThreadPool and libuv
# (boost::asio is header-only).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_peers(thread_pool_bench uv KITE_BENCH_HAVE_UV)
