# Peer of shared_buffer_bench: GLib's GBytes (std::shared_ptr needs nothing).
if(PkgConfig_FOUND)
  pkg_check_modules(SHARED_BUFFER_GLIB QUIET IMPORTED_TARGET glib-2.0)
  if(SHARED_BUFFER_GLIB_FOUND)
    target_link_libraries(shared_buffer_bench PRIVATE PkgConfig::SHARED_BUFFER_GLIB)
    target_compile_definitions(shared_buffer_bench PRIVATE KITE_BENCH_LINK_GLIB)
  endif()
endif()
