# Marshalling: reading a transformed piece, and splitting an engine output into frames.
# Seed corpora: fuzz/corpus/marshall_read_fuzz/, fuzz/corpus/marshall_frames_fuzz/ (also
# replayed by the plain test zvrtrans/marshall_corpus_test.cc in every build).
zvr_add_fuzzer(marshall_read_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/marshall_read_fuzz.cc LIBS zvrtrans)
zvr_add_fuzzer(marshall_frames_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/marshall_frames_fuzz.cc
               LIBS zvrtrans)
