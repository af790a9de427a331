# The generator of the fuzz targets' own seeds (scripts/make-seeds.sh runs it; no test): small
# images encoded with libjpeg, so native builds only.
if(NOT WIN32)
  add_executable(make_fuzz_seeds ${PROJECT_SOURCE_DIR}/fuzz/make_seeds.cpp)
  target_link_libraries(make_fuzz_seeds PRIVATE jpegdec_test_support)
  jpegdec_warnings(make_fuzz_seeds)
endif()
