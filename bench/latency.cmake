# Round trip of one request in flight through the bare broker, zvrtbc and the demo's whole
# workflow, with maps in process and as executables: p50, p90, p99, max.
if(TARGET zvrtbc AND TARGET zvrbc AND TARGET zvrtee_program AND TARGET qlxadm AND TARGET qlx)
  zvr_add_bench(latency_bench ${CMAKE_CURRENT_LIST_DIR}/latency_bench.cc ${CMAKE_CURRENT_LIST_DIR}/bench_support.cc LIBS qlx platform_headers)
  target_compile_definitions(latency_bench PRIVATE ZVR_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                             ZVR_LIB_DIR="${CMAKE_BINARY_DIR}/lib"
                             ZVR_MAPS_DIR="${CMAKE_BINARY_DIR}/maps")
  foreach(d zvrtbc zvrbc zvrtee_program qlxadm zvrear sample_maps)
    if(TARGET ${d})
      add_dependencies(latency_bench ${d})
    endif()
  endforeach()
endif()
