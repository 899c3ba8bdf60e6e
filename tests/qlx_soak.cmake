# The kill soak of the broker's units of work: a short run (100 kills) in the suite; the
# full run is `qlx_soak --kills 1000 --requests 20000` (see the README, Durability).
if(TARGET qlx)
  add_executable(qlx_soak ${CMAKE_CURRENT_LIST_DIR}/qlx_soak.cc)
  target_link_libraries(qlx_soak PRIVATE qlx)
  add_test(NAME qlx_soak COMMAND qlx_soak --kills 100 --requests 2000)
  set_tests_properties(qlx_soak PROPERTIES TIMEOUT 300)
endif()
