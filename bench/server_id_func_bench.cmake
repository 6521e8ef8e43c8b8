# inih is the peer of the configuration load benchmark.
find_library(KITE_INIH_LIBRARY inih)
find_path(KITE_INIH_INCLUDE ini.h)
if(KITE_INIH_LIBRARY AND KITE_INIH_INCLUDE)
  target_link_libraries(server_id_func_bench PRIVATE ${KITE_INIH_LIBRARY})
  target_compile_definitions(server_id_func_bench PRIVATE KITE_BENCH_HAVE_INIH=1)
endif()
