# The fuzz targets of fuzz/ as plain tests: each target's body, linked with a small driver
# (fuzz/replay_main.cc) instead of libFuzzer, replays the target's committed seed corpus
# fuzz/corpus/<NAME>/ in every build. The fragments of fuzz/ are read here with this
# zvr_add_fuzzer; a fuzz build (ZVR_FUZZ) reads them again in fuzz/ with its own, which
# makes the libFuzzer programs. A target whose libraries this build lacks is left out.
function(zvr_add_fuzzer name)
  cmake_parse_arguments(F "" "" "LIBS" ${ARGN})
  foreach(lib IN LISTS F_LIBS)
    if(NOT TARGET ${lib})
      return()
    endif()
  endforeach()
  add_executable(${name}_replay ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cc ${F_UNPARSED_ARGUMENTS})
  target_link_libraries(${name}_replay PRIVATE ${F_LIBS})
  add_test(NAME ${name}_corpus
           COMMAND ${name}_replay ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
endfunction()

# Fragments name their sources from their own folder (CMAKE_CURRENT_LIST_DIR); the
# source folder is set to fuzz/ as well, for a fragment that uses CMAKE_CURRENT_SOURCE_DIR.
function(zvr_replay_fuzz_fragments)
  set(CMAKE_CURRENT_SOURCE_DIR ${CMAKE_SOURCE_DIR}/fuzz)
  file(GLOB fragments CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cmake)
  foreach(f IN LISTS fragments)
    include(${f})
  endforeach()
endfunction()
zvr_replay_fuzz_fragments()
