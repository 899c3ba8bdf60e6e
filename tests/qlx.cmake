# qlxadm end to end: load the sample directory, serve with echo, send, inspect, inject,
# and work the error queues.
if(TARGET qlxadm)
  foreach(t qlx_adm_test qlx_errorqueue_test)
    zvr_add_test(${t} ${CMAKE_CURRENT_LIST_DIR}/${t}.cc LIBS zvrutil BOTH_STORES)
    target_compile_definitions(${t} PRIVATE QLXADM_PATH="$<TARGET_FILE:qlxadm>"
                               ZVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(${t} qlxadm)
  endforeach()
endif()

# The way back from an error queue through the real zvrtbc (helpers of server_testing.h).
if(TARGET zvrtbc AND TARGET qlxadm)
  zvr_add_test(qlx_resubmit_test ${CMAKE_CURRENT_LIST_DIR}/qlx_resubmit_test.cc LIBS zvrutil
               BOTH_STORES)
  target_include_directories(qlx_resubmit_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  foreach(d zvrtbc qlxadm sample_maps)
    if(TARGET ${d})
      add_dependencies(qlx_resubmit_test ${d})
    endif()
  endforeach()
endif()

# qlxadm stats, health and serve (the console's HTTP side; needs cpp-httplib).
if(TARGET qlxadm AND TARGET PkgConfig::HTTPLIB)
  zvr_add_test(qlx_console_test ${CMAKE_CURRENT_LIST_DIR}/qlx_console_test.cc
               LIBS zvrutil qlx PkgConfig::HTTPLIB BOTH_STORES)
  target_compile_definitions(qlx_console_test PRIVATE QLXADM_PATH="$<TARGET_FILE:qlxadm>"
                             ZVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(qlx_console_test qlxadm)
endif()

# The console in headless Chromium (Debian chromium, chromium-driver, python3-selenium);
# screenshots of each page go to qlx_console_browser/ in this build folder. Registered as
# one test of its own so that ctest reports it skipped, not passed, where no browser runs.
if(TARGET qlxadm AND TARGET PkgConfig::HTTPLIB)
  add_executable(qlx_console_browser_test ${CMAKE_CURRENT_LIST_DIR}/qlx_console_browser_test.cc)
  target_link_libraries(qlx_console_browser_test PRIVATE zvrutil qlx GTest::gtest_main)
  add_test(NAME qlx_console_browser COMMAND qlx_console_browser_test)
  set_tests_properties(qlx_console_browser PROPERTIES TIMEOUT 300
                       SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
                       ENVIRONMENT "ZVR_BUILD_DIR=${CMAKE_BINARY_DIR}")
  target_compile_definitions(qlx_console_browser_test PRIVATE
                             QLXADM_PATH="$<TARGET_FILE:qlxadm>"
                             ZVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             CONSOLE_SHOTS_DIR="${CMAKE_CURRENT_BINARY_DIR}/qlx_console_browser")
  add_dependencies(qlx_console_browser_test qlxadm)
endif()
