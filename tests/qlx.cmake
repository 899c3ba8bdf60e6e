# qlxadm end to end: load the sample directory, serve with echo, send, inspect, inject,
# and work the error queues.
if(TARGET qlxadm)
  foreach(t qlx_adm_test qlx_errorqueue_test)
    zvr_add_test(${t} ${CMAKE_CURRENT_LIST_DIR}/${t}.cc LIBS qlx)
    target_compile_definitions(${t} PRIVATE QLXADM_PATH="$<TARGET_FILE:qlxadm>"
                               ZVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_dependencies(${t} qlxadm)
  endforeach()
endif()
