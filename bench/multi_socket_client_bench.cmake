# Peer of the fan-out benchmark: the same exchange written on libuv.
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_peers(multi_socket_client_bench uv KITE_BENCH_HAVE_UV)
