# Smoke test of the command-line host: decodes a generated sample page (scripts/make-sample.py,
# compressed with cjpeg) to PPM in every mode and checks the exit status and the output; then
# the failure paths (unreadable input, refused data, unknown format) and that they leave no file.
# In the win32 build the tool runs under Wine.
find_package(Python3 COMPONENTS Interpreter)
find_program(JPEGDEC_CJPEG cjpeg)
if(TARGET jpegdec_cli AND Python3_Interpreter_FOUND AND JPEGDEC_CJPEG)
  add_test(NAME cli_smoke
    COMMAND ${CMAKE_COMMAND}
      -DPYTHON=${Python3_EXECUTABLE}
      -DCJPEG=${JPEGDEC_CJPEG}
      -DCLI=$<TARGET_FILE:jpegdec_cli>
      "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/cli_smoke
      -P ${CMAKE_CURRENT_SOURCE_DIR}/support/cli_smoke_run.cmake)
  set_tests_properties(cli_smoke PROPERTIES TIMEOUT 300)
  if(WIN32)
    set_tests_properties(cli_smoke PROPERTIES ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  endif()
endif()
