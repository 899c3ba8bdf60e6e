# Transformation: the dictionary values and map options that choose a map, and the engine
# command built from them. Seed corpus: fuzz/corpus/transform_command_fuzz/.
zvr_add_fuzzer(transform_command_fuzz ${CMAKE_CURRENT_LIST_DIR}/transform_command_fuzz.cc
               LIBS zvrtrans)
