# The README's main command runs examples/demo.sh: the whole workflow must pass on the
# built tree, and a server whose map is missing must make it fail loudly, naming the step.
set(zvr_demo_ready TRUE)
foreach(t qlxadm zvrbc zvrtbc zvrtee zvrclnt zvrear sample_maps)
  if(NOT TARGET ${t})
    set(zvr_demo_ready FALSE)
  endif()
endforeach()
if(zvr_demo_ready)
  add_test(NAME demo_whole_workflow
           COMMAND ${CMAKE_SOURCE_DIR}/examples/demo.sh ${CMAKE_BINARY_DIR})
  add_test(NAME demo_missing_map
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/demo_missing_map.sh ${CMAKE_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR})
  set_tests_properties(demo_whole_workflow demo_missing_map PROPERTIES TIMEOUT 180)
  # The same whole workflow on the PostgreSQL store (the cluster of the fixture qlx_pg).
  add_test(NAME demo_whole_workflow_postgres
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/demo_postgres.sh
                   ${CMAKE_SOURCE_DIR}/examples/demo.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(demo_whole_workflow_postgres PROPERTIES TIMEOUT 180
                       ENVIRONMENT "QLX_TEST_PG_DIR=${CMAKE_BINARY_DIR}/qlx-pg"
                       FIXTURES_REQUIRED qlx_pg RESOURCE_LOCK qlx_pg SKIP_RETURN_CODE 77)
  # As on separate hosts: every program in an empty folder with a broker home of its own,
  # sharing only the database's TCP address (127.0.0.1); then in two network namespaces
  # joined to the database by veth pairs (skipped where namespaces cannot be made).
  add_test(NAME demo_several_hosts_postgres
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/demo_postgres.sh
                   ${CMAKE_SOURCE_DIR}/examples/demo.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(demo_several_hosts_postgres PROPERTIES TIMEOUT 180
                       ENVIRONMENT "QLX_TEST_PG_DIR=${CMAKE_BINARY_DIR}/qlx-pg;DEMO_APART=1"
                       FIXTURES_REQUIRED qlx_pg RESOURCE_LOCK qlx_pg SKIP_RETURN_CODE 77)
  add_test(NAME demo_several_hosts_netns
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/demo_netns.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(demo_several_hosts_netns PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
endif()
# The smaller demo with qlxadm alone.
if(TARGET qlxadm)
  add_test(NAME demo_broker_only
           COMMAND env -u QLX_HOME ${CMAKE_SOURCE_DIR}/examples/broker_demo.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(demo_broker_only PROPERTIES TIMEOUT 120)
  add_test(NAME demo_broker_only_postgres
           COMMAND env -u QLX_HOME ${CMAKE_CURRENT_LIST_DIR}/demo_postgres.sh
                   ${CMAKE_SOURCE_DIR}/examples/broker_demo.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(demo_broker_only_postgres PROPERTIES TIMEOUT 120
                       ENVIRONMENT "QLX_TEST_PG_DIR=${CMAKE_BINARY_DIR}/qlx-pg"
                       FIXTURES_REQUIRED qlx_pg RESOURCE_LOCK qlx_pg SKIP_RETURN_CODE 77)
endif()
if(NOT zvr_demo_ready)
  message(STATUS "The demo is not tested: this build lacks one of its programs")
endif()
