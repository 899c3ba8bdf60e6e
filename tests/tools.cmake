# End-to-end tests of the tools zvrdumpt, zvrtee and zvrclnt: each starts the programs of
# this build (found in bin/ at run time; a test skips itself when one is missing) against
# the embedded broker.
if(TARGET zvrutil AND TARGET qlxadm)
  file(GLOB ZVR_TOOLS_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tools_*_test.cc)
  foreach(f IN LISTS ZVR_TOOLS_TESTS)
    get_filename_component(n ${f} NAME_WE)
    zvr_add_test(${n} ${f} LIBS zvrutil)
    add_dependencies(${n} qlxadm)
    foreach(t zvrdumpt zvrtee_program zvrclnt zvrbc sample_maps)
      if(TARGET ${t})
        add_dependencies(${n} ${t})
      endif()
    endforeach()
  endforeach()
  if(TARGET tools_dump_test AND TARGET zvrtrans)
    target_link_libraries(tools_dump_test PRIVATE zvrtrans)
  endif()
endif()
