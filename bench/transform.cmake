# Dictionary cache lookups and engine command building (zvrutil/zvrhash, zvrtrans/transform).
if(TARGET zvrtrans)
  zvr_add_bench(transform_bench ${CMAKE_CURRENT_LIST_DIR}/transform_bench.cc LIBS zvrtrans)
endif()
