# The cost of one map run in the stand-in engine: shared object, executable, static executable.
if(TARGET merc)
  zvr_add_bench(merc_bench ${CMAKE_CURRENT_LIST_DIR}/merc_bench.cc ${CMAKE_CURRENT_LIST_DIR}/bench_support.cc LIBS merc)
  target_compile_definitions(merc_bench PRIVATE ZVR_MAPS_DIR="${CMAKE_BINARY_DIR}/maps")
  if(TARGET sample_maps)
    add_dependencies(merc_bench sample_maps)
  endif()
endif()
