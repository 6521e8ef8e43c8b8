# Peers of json_parser_bench: simdjson and cJSON need linking; RapidJSON is
# header-only.  Each is optional: the bench builds without it.
if(PkgConfig_FOUND)
  pkg_check_modules(KITE_SIMDJSON QUIET IMPORTED_TARGET simdjson)
  pkg_check_modules(KITE_CJSON QUIET IMPORTED_TARGET libcjson)
endif()
if(KITE_SIMDJSON_FOUND)
  target_link_libraries(json_parser_bench PRIVATE PkgConfig::KITE_SIMDJSON)
  target_compile_definitions(json_parser_bench PRIVATE KITE_BENCH_SIMDJSON=1)
endif()
if(KITE_CJSON_FOUND)
  target_link_libraries(json_parser_bench PRIVATE PkgConfig::KITE_CJSON)
  target_compile_definitions(json_parser_bench PRIVATE KITE_BENCH_CJSON=1)
endif()
