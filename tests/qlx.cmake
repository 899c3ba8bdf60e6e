# qlxadm end to end: load the sample directory, serve with echo, send, inspect, inject.
if(TARGET qlxadm)
  zvr_add_test(qlx_adm_test ${CMAKE_CURRENT_LIST_DIR}/qlx_adm_test.cc LIBS qlx)
  target_compile_definitions(qlx_adm_test PRIVATE QLXADM_PATH="$<TARGET_FILE:qlxadm>"
                             ZVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(qlx_adm_test qlxadm)
endif()
