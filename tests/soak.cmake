# The soak host (scripts/soak.sh runs it; no test): many decodes in one process, checking that
# nothing accumulates. The Linux build links the library in, to read the portable platform's
# counters; the Windows build loads jpegdec.dll, as a driver does.
add_executable(soak_host ${CMAKE_CURRENT_SOURCE_DIR}/soak/soak_host.cpp)
jpegdec_warnings(soak_host)
if(WIN32)
  target_link_libraries(soak_host PRIVATE jpegdec psapi)
  add_custom_command(TARGET soak_host POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:jpegdec>
            $<TARGET_FILE_DIR:soak_host>)
else()
  target_link_libraries(soak_host PRIVATE jpegdec_core)
endif()
