# Marshalling: write, read back and frame-split beside memcpy of the same bytes.
zvr_add_bench(marshall_bench ${CMAKE_CURRENT_SOURCE_DIR}/marshall_bench.cc LIBS zvrtrans)
