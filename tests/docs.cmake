# The worked examples of docs/: one test per page runs its sh blocks and checks the output
# shown (tests/docs_examples.sh). A page is tested when the programs its examples run are
# part of this build.
set(ZVR_DOC_PROGRAMS qlxadm zvrbc zvrtbc zvrtee zvrclnt zvrdumpt zvrear sample_maps)
set(zvr_docs_ready TRUE)
foreach(t IN LISTS ZVR_DOC_PROGRAMS)
  if(NOT TARGET ${t})
    set(zvr_docs_ready FALSE)
  endif()
endforeach()
if(zvr_docs_ready)
  file(GLOB ZVR_DOC_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
  foreach(page IN LISTS ZVR_DOC_PAGES)
    get_filename_component(name ${page} NAME_WE)
    # The performance page's example runs a benchmark, which builds without ZVR_BENCH lack.
    if(name STREQUAL "performance" AND NOT ZVR_BENCH)
      message(STATUS "docs/performance.md is not tested: this build has no benchmarks")
      continue()
    endif()
    add_test(NAME docs_${name}
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/docs_examples.sh ${CMAKE_SOURCE_DIR}
                     ${CMAKE_BINARY_DIR} ${page})
    set_tests_properties(docs_${name} PROPERTIES TIMEOUT 240)
  endforeach()
else()
  message(STATUS "docs/ examples are not tested: this build lacks some of ${ZVR_DOC_PROGRAMS}")
endif()
