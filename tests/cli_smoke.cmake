# Smoke test of the command-line host as a user runs it: this build is installed into a scratch
# prefix and the installed tool decodes a generated sample page (scripts/make-sample.py,
# compressed with cjpeg) in every mode; standard input and output, --version, the failure paths
# (unreadable, not JPEG, refused, truncated and damaged data, unknown format, the input as the
# output), the same words for the same data in every mode, and that they leave no file; BMP
# (also appended to standard output), grey and the page's resolution read back by a reader of
# the test's own; devices, FIFOs, links, read-only files, a sticky folder and a file's ACL as
# targets; natively also SIGTERM and SIGQUIT in the middle of a decode and a file-size limit. In
# the win32 build the tool runs under Wine and opens a file with a non-ASCII name.
find_package(Python3 COMPONENTS Interpreter)
find_program(JPEGDEC_CJPEG cjpeg)
if(TARGET jpegdec_cli AND Python3_Interpreter_FOUND AND JPEGDEC_CJPEG)
  add_test(NAME cli_smoke
    COMMAND ${CMAKE_COMMAND}
      -DPYTHON=${Python3_EXECUTABLE}
      -DCJPEG=${JPEGDEC_CJPEG}
      -DBUILD_DIR=${CMAKE_BINARY_DIR}
      -DCLI_NAME=$<TARGET_FILE_NAME:jpegdec_cli>
      -DBINDIR=${CMAKE_INSTALL_BINDIR}
      -DVERSION=${PROJECT_VERSION}
      -DHAVE_PNG=${JPEGDEC_CLI_HAVE_PNG}
      "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
      -DCORPUS_DIR=${JPEGDEC_CORPUS_DIR}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/cli_smoke
      -P ${CMAKE_CURRENT_SOURCE_DIR}/support/cli_smoke_run.cmake)
  set_tests_properties(cli_smoke PROPERTIES TIMEOUT 300)
  if(WIN32)
    # About a hundred runs of the tool, each starting a Wine process.
    set_tests_properties(cli_smoke PROPERTIES TIMEOUT 900
      ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  endif()
endif()
