# End-to-end tests of the test client zvrclnt: the program run against the embedded
# broker, with qlxadm sending, serving and inspecting queues around it.
if(TARGET zvrclnt_program AND TARGET qlxadm)
  zvr_add_test(zvrclnt_e2e_test ${CMAKE_CURRENT_LIST_DIR}/zvrclnt_e2e_test.cc LIBS zvrutil
               BOTH_STORES)
  add_dependencies(zvrclnt_e2e_test zvrclnt_program qlxadm)
  target_compile_definitions(zvrclnt_e2e_test PRIVATE
                             ZVRCLNT="$<TARGET_FILE:zvrclnt_program>"
                             QLXADM="$<TARGET_FILE:qlxadm>")
endif()
