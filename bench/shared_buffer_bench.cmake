# Peer of shared_buffer_bench: GLib's GBytes (std::shared_ptr needs nothing).
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_pkg(shared_buffer_bench KITE_BENCH_LINK_GLIB glib-2.0)
