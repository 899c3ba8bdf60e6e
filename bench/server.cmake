# Requests per second through the real zvrtbc with the in-process identity map, as a ratio
# to the disk's fdatasync rate measured in the same run.
if(TARGET zvrtbc AND TARGET qlxadm AND TARGET qlx)
  zvr_add_bench(server_bench ${CMAKE_CURRENT_LIST_DIR}/server_bench.cc ${CMAKE_CURRENT_LIST_DIR}/bench_support.cc LIBS qlx platform_headers)
  target_compile_definitions(server_bench PRIVATE ZVR_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
                             ZVR_MAPS_DIR="${CMAKE_BINARY_DIR}/maps")
  foreach(d zvrtbc qlxadm sample_maps)
    if(TARGET ${d})
      add_dependencies(server_bench ${d})
    endif()
  endforeach()
endif()
