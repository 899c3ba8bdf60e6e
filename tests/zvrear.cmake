# End-to-end test of the error-action exit: the embedded broker loads libzvrear.so for a
# business element whose directory entry names it. Needs the exit and the broker in this
# build; without qlxadm the test is built but skips itself.
if(TARGET zvrear AND TARGET qlx)
  zvr_add_test(zvrear_e2e_test ${CMAKE_CURRENT_LIST_DIR}/zvrear_e2e_test.cc LIBS qlx BOTH_STORES)
  # The store choice of the test helpers (zvrutil/testing/test_store.h, header-only).
  target_include_directories(zvrear_e2e_test PRIVATE ${CMAKE_SOURCE_DIR}/zvrutil)
  add_dependencies(zvrear_e2e_test zvrear)
  set(zvrear_qlxadm "")
  if(TARGET qlxadm)
    add_dependencies(zvrear_e2e_test qlxadm)
    set(zvrear_qlxadm "$<TARGET_FILE:qlxadm>")
  endif()
  target_compile_definitions(zvrear_e2e_test PRIVATE
                             ZVREAR_LIBRARY="$<TARGET_FILE:zvrear>" QLXADM="${zvrear_qlxadm}")
endif()
