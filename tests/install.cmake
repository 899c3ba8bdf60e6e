# The installation walkthrough of docs/operations.md, run up to the step that needs
# systemd, against this build installed into a scratch prefix.
set(zvr_install_ready TRUE)
foreach(t qlxadm zvrbc zvrtbc zvrtee zvrclnt_program zvrdumpt zvrear sample_maps)
  if(NOT TARGET ${t})
    set(zvr_install_ready FALSE)
  endif()
endforeach()
if(zvr_install_ready)
  add_test(NAME install_walkthrough
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/install_walkthrough.sh ${CMAKE_SOURCE_DIR}
                   ${CMAKE_BINARY_DIR})
  set_tests_properties(install_walkthrough PROPERTIES TIMEOUT 120)
else()
  message(STATUS "The install walkthrough is not tested: this build lacks one of its programs")
endif()
