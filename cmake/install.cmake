# cmake --install: the programs, qlxadm, the libraries, the sample maps, what a map author
# builds against, the example directories and the documentation, under one prefix:
#
#   PREFIX/bin/               zvrbc zvrtbc zvrdumpt zvrclnt zvrtee qlxadm
#   PREFIX/lib/               libqlx.so libtrc.so libmerc.so libzvrear.so
#   PREFIX/lib/zvr/maps/      the sample maps (MERC_MAP_PATH)
#   PREFIX/include/zvr/       merc_map.h, map_text.h
#   PREFIX/share/zvr/         map_main.cc (the child-process wrapper of an executable map),
#                             examples/ (directory files; their exits point at PREFIX/lib)
#   PREFIX/share/doc/zvr/     README.md and the manual
#
# Installed programs and libraries find their libraries through RUNPATH $ORIGIN/../lib
# (CMAKE_INSTALL_RPATH, set before the targets), so the prefix can be moved as a whole;
# the build tree keeps its own absolute RUNPATH.

set(zvr_programs zvrbc zvrtbc zvrdumpt zvrclnt_program zvrtee_program qlxadm)
set(zvr_libraries qlx trc merc zvrear)
foreach(t IN LISTS zvr_programs)
  if(TARGET ${t})
    install(TARGETS ${t} RUNTIME DESTINATION bin)
  endif()
endforeach()
foreach(t IN LISTS zvr_libraries)
  if(TARGET ${t})
    install(TARGETS ${t} LIBRARY DESTINATION lib)
  endif()
endforeach()

if(TARGET sample_maps)
  file(GLOB zvr_map_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/maps/*.cc)
  list(FILTER zvr_map_sources EXCLUDE REGEX "/map_main\\.cc$")
  foreach(f IN LISTS zvr_map_sources)
    get_filename_component(n ${f} NAME_WE)
    install(TARGETS map_${n} RUNTIME DESTINATION lib/zvr/maps)
    install(TARGETS map_${n}_so LIBRARY DESTINATION lib/zvr/maps)
  endforeach()
endif()

install(FILES ${CMAKE_SOURCE_DIR}/platform/merc/merc_map.h ${CMAKE_SOURCE_DIR}/maps/map_text.h
        DESTINATION include/zvr)
install(FILES ${CMAKE_SOURCE_DIR}/maps/map_main.cc DESTINATION share/zvr)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/zvr)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION share/doc/zvr/docs)
install(FILES ${CMAKE_SOURCE_DIR}/examples/demo/messages.txt
        DESTINATION share/zvr/examples/demo)

# The example directories name the exit of the build tree; the installed copies name the
# installed one, by a path relative to their own folder (as the directory reader takes it).
foreach(pair "examples/directory.toml|../build/lib/|../../../lib/"
             "examples/demo/directory.toml|../../build/lib/|../../../../lib/")
  string(REPLACE "|" ";" parts "${pair}")
  list(GET parts 0 file)
  list(GET parts 1 from)
  list(GET parts 2 to)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${file})
  file(READ ${CMAKE_SOURCE_DIR}/${file} text)
  string(REPLACE "${from}" "${to}" text "${text}")
  set(installed ${CMAKE_BINARY_DIR}/install/share/zvr/${file})
  file(WRITE ${installed} "${text}")
  get_filename_component(folder ${file} DIRECTORY)
  install(FILES ${installed} DESTINATION share/zvr/${folder})
endforeach()
