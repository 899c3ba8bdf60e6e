# Message files: a whole file read record by record as the test client reads it.
# Seed corpus: fuzz/corpus/messagefile_fuzz/ (also replayed by the plain test
# zvrutil/messagefile_corpus_test.cc in every build).
zvr_add_fuzzer(messagefile_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/messagefile_fuzz.cc LIBS zvrutil)
