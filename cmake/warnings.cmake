# Strict warnings for the project's own targets (not for third-party sources built alongside).
set(JPEGDEC_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wcast-qual
  -Wformat=2 -Wimplicit-fallthrough -Wundef -Wvla)
set(JPEGDEC_CXX_WARNINGS -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual)
if(JPEGDEC_WERROR)
  list(APPEND JPEGDEC_WARNINGS -Werror)
endif()

function(jpegdec_warnings target)
  target_compile_options(${target} PRIVATE ${JPEGDEC_WARNINGS}
    $<$<COMPILE_LANGUAGE:CXX>:${JPEGDEC_CXX_WARNINGS}>)
endfunction()
