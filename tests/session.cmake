# End-to-end tests of the session layer: requests sent with qlxadm or by a client in this
# process, served by business elements in this process or in child processes.
if(TARGET zvrutil AND TARGET qlxadm)
  file(GLOB ZVR_SESSION_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/session_*.cc)
  foreach(f IN LISTS ZVR_SESSION_TESTS)
    get_filename_component(n ${f} NAME_WE)
    zvr_add_test(${n} ${f} LIBS zvrutil BOTH_STORES)
    add_dependencies(${n} qlxadm)
  endforeach()
endif()
