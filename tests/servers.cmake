# End-to-end tests of the component servers: each tests/server_*_test.cc starts the real
# programs against a broker home of its own with the sample maps (helpers in
# server_testing.h). Built only where the broker's admin tool and zvrtbc are.
if(TARGET zvrtbc AND TARGET qlxadm)
  file(GLOB ZVR_SERVER_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/server_*_test.cc)
  foreach(f IN LISTS ZVR_SERVER_TESTS)
    get_filename_component(n ${f} NAME_WE)
    zvr_add_test(${n} ${f} LIBS zvrutil BOTH_STORES)
    target_include_directories(${n} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    foreach(d zvrtbc zvrbc qlxadm sample_maps)
      if(TARGET ${d})
        add_dependencies(${n} ${d})
      endif()
    endforeach()
  endforeach()
endif()
