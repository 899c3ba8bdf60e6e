# The kill soak of the broker's units of work: a short run (100 kills) in the suite; the
# full run is `qlx_soak --kills 1000 --requests 20000` (see the README, Durability).
# On PostgreSQL (the cluster of the fixture qlx_pg) the short run also crashes and
# restarts the database server twice; the full run there is in docs/operations.md.
if(TARGET qlx)
  add_executable(qlx_soak ${CMAKE_CURRENT_LIST_DIR}/qlx_soak.cc)
  target_link_libraries(qlx_soak PRIVATE qlx)
  add_test(NAME qlx_soak COMMAND env -u QLX_BROKER $<TARGET_FILE:qlx_soak> --kills 100 --requests 2000)
  set_tests_properties(qlx_soak PROPERTIES TIMEOUT 300)
  add_test(NAME qlx_soak_postgres
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/soak_postgres.sh ${CMAKE_SOURCE_DIR}
                   $<TARGET_FILE:qlx_soak> --kills 60 --requests 1000 --restarts 2 --gap 100)
  set_tests_properties(qlx_soak_postgres PROPERTIES TIMEOUT 300
                       ENVIRONMENT "QLX_TEST_PG_DIR=${CMAKE_BINARY_DIR}/qlx-pg"
                       FIXTURES_REQUIRED qlx_pg RESOURCE_LOCK qlx_pg SKIP_RETURN_CODE 77)
endif()
