# Peer of the poller benchmark: libuv's uv_poll_t (raw epoll needs nothing).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_peers(ioevent_bench uv KITE_BENCH_HAVE_UV)
