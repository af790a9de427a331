# The binary-interface test of the Windows DLL: a plain C host that loads jpegdec.dll by name
# and calls every operation through the table, as a host built with another compiler would.
# Run twice: with GDI+ available, and with Wine told not to load gdiplus.dll.
if(WIN32)
  add_executable(abi_host ${CMAKE_CURRENT_SOURCE_DIR}/abi_host.c)
  target_include_directories(abi_host PRIVATE ${PROJECT_SOURCE_DIR}/include
    ${JPEGDEC_GENERATED_INCLUDE_DIR})
  # Unoptimised, without deferred stack adjustments: the stack pointer read before and after
  # each call must be equal unless the callee's convention differs from the declared one.
  target_compile_options(abi_host PRIVATE -O0 -fno-defer-pop -fno-omit-frame-pointer)
  jpegdec_warnings(abi_host)
  add_dependencies(abi_host jpegdec)
  # The host finds the DLL beside itself, as a driver's would.
  add_custom_command(TARGET abi_host POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:jpegdec> $<TARGET_FILE_DIR:abi_host>)

  add_test(NAME abi_host COMMAND abi_host gdiplus-present)
  add_test(NAME abi_host_without_gdiplus COMMAND abi_host gdiplus-missing)
  set_tests_properties(abi_host PROPERTIES
    TIMEOUT ${JPEGDEC_TEST_TIMEOUT}
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
  set_tests_properties(abi_host_without_gdiplus PROPERTIES
    TIMEOUT ${JPEGDEC_TEST_TIMEOUT}
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;WINEDLLOVERRIDES=gdiplus=d")
endif()
