# Peers of json_parser_bench: simdjson and cJSON need linking; RapidJSON is
# header-only.  Each is optional: the bench builds without it.
include(${CMAKE_CURRENT_LIST_DIR}/peers.cmake)
kite_bench_link_pkg(json_parser_bench KITE_BENCH_SIMDJSON=1 simdjson)
kite_bench_link_pkg(json_parser_bench KITE_BENCH_CJSON=1 libcjson)
