# Transform objects over the real stand-in engine and the sample maps, and the path of a
# request from the embedded broker through marshalling, a map and back into responses.
if(TARGET zvrtrans AND TARGET merc)
  foreach(t transform_engine_test transform_e2e_test)
    zvr_add_test(${t} ${CMAKE_CURRENT_LIST_DIR}/${t}.cc LIBS zvrtrans BOTH_STORES)
    target_compile_definitions(${t} PRIVATE ZVR_MAPS_DIR="${CMAKE_BINARY_DIR}/maps")
    foreach(d sample_maps qlxadm)
      if(TARGET ${d})
        add_dependencies(${t} ${d})
      endif()
    endforeach()
  endforeach()
endif()
