# The GDI+ back-end's test program once more, with Wine told not to load gdiplus.dll: mode 1
# must fall back to mode 2 and decode, and automatic mode must choose streaming.
if(WIN32)
  add_test(NAME gdiplus_unavailable
           COMMAND gdiplus_backend_test --gtest_filter=GdiplusUnavailable.*)
  set_tests_properties(gdiplus_unavailable PROPERTIES
    TIMEOUT ${JPEGDEC_TEST_TIMEOUT}
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDLLOVERRIDES=gdiplus=d;JPEGDEC_EXPECT_NO_GDIPLUS=1")
endif()
