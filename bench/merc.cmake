# The cost of one map run in the stand-in engine: shared object, executable, static executable.
if(TARGET merc)
  zvr_add_bench(merc_bench ${CMAKE_CURRENT_LIST_DIR}/merc_bench.cc ${CMAKE_CURRENT_LIST_DIR}/bench_support.cc LIBS merc)
  target_compile_definitions(merc_bench PRIVATE ZVR_MAPS_DIR="${CMAKE_BINARY_DIR}/maps")
  if(TARGET sample_maps)
    add_dependencies(merc_bench sample_maps)
  endif()
  # Empty programs linked as the sample maps are: the floor a map's start cannot go below.
  if(NOT ZVR_SANITIZE AND NOT ZVR_FUZZ)
    foreach(lang c cc)
      add_executable(bench_empty_${lang} ${CMAKE_CURRENT_LIST_DIR}/empty_program.${lang})
      target_link_options(bench_empty_${lang} PRIVATE -static -Wl,-z,noseparate-code
                          -Wl,--gc-sections)
      target_compile_options(bench_empty_${lang} PRIVATE -ffunction-sections -fdata-sections)
      set_target_properties(bench_empty_${lang} PROPERTIES SKIP_BUILD_RPATH ON)
      add_dependencies(merc_bench bench_empty_${lang})
    endforeach()
    target_compile_definitions(merc_bench PRIVATE
      ZVR_EMPTY_C="$<TARGET_FILE:bench_empty_c>" ZVR_EMPTY_CXX="$<TARGET_FILE:bench_empty_cc>")
  endif()
endif()
