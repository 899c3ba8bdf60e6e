# The broker's directory file as `qlxadm load` reads it (parseDirectoryToml, with its
# refusal of oversized and deeply nested text). Seed corpus: fuzz/corpus/directory_load_fuzz/.
zvr_add_fuzzer(directory_load_fuzz ${CMAKE_CURRENT_LIST_DIR}/directory_load_fuzz.cc LIBS qlx)
