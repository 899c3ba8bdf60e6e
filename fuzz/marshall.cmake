# Marshalling: reading a transformed piece, splitting an engine output into frames, and the
# Routing section of a piece. Seed corpora: fuzz/corpus/<target>/ (replayed as plain tests
# in every build by tests/fuzz.cmake).
zvr_add_fuzzer(marshall_read_fuzz ${CMAKE_CURRENT_LIST_DIR}/marshall_read_fuzz.cc LIBS zvrtrans)
zvr_add_fuzzer(marshall_frames_fuzz ${CMAKE_CURRENT_LIST_DIR}/marshall_frames_fuzz.cc
               LIBS zvrtrans)
zvr_add_fuzzer(marshall_routing_fuzz ${CMAKE_CURRENT_LIST_DIR}/marshall_routing_fuzz.cc
               LIBS zvrtrans)
