# Packaging: the examples build (and run on a small generated JPEG), an installation of this
# build can be consumed through find_package and pkg-config, and on Windows a host built with
# Microsoft's ABI drives the DLL through every slot of the instance.
set(JPEGDEC_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(JPEGDEC_SAMPLE ${JPEGDEC_PACKAGING_DIR}/sample.jpg)
set(JPEGDEC_SAMPLE_HEADER ${JPEGDEC_PACKAGING_DIR}/sample_jpeg.h)
set(JPEGDEC_SAMPLE_WIDTH 67)
set(JPEGDEC_SAMPLE_HEIGHT 45)
set(JPEGDEC_SAMPLE_TRAILER 5)
if(WIN32)
  set(JPEGDEC_TEST_ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
endif()

find_program(JPEGDEC_CJPEG cjpeg DOC "libjpeg-turbo's cjpeg, which encodes the sample JPEG")
if(NOT JPEGDEC_CJPEG)
  message(WARNING "cjpeg not found (libjpeg-turbo-progs): the packaging tests are not built")
  return()
endif()
add_custom_command(
  OUTPUT ${JPEGDEC_SAMPLE} ${JPEGDEC_SAMPLE_HEADER}
  COMMAND ${CMAKE_COMMAND} -DCJPEG=${JPEGDEC_CJPEG} -DOUTPUT=${JPEGDEC_SAMPLE}
          -DHEADER=${JPEGDEC_SAMPLE_HEADER} -DWIDTH=${JPEGDEC_SAMPLE_WIDTH}
          -DHEIGHT=${JPEGDEC_SAMPLE_HEIGHT} -DTRAILER=${JPEGDEC_SAMPLE_TRAILER}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/make_sample.cmake
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/make_sample.cmake
  COMMENT "Encoding the packaging tests' sample JPEG"
  VERBATIM)
add_custom_target(jpegdec_packaging_sample ALL
  DEPENDS ${JPEGDEC_SAMPLE} ${JPEGDEC_SAMPLE_HEADER})

# The examples, linked against the shared library as a host links them. On Windows the DLL is
# copied beside them, where a program finds it.
set(JPEGDEC_SAMPLE_DECODED
  "decoded: ${JPEGDEC_SAMPLE_HEIGHT} rows of [0-9]+ bytes, ${JPEGDEC_SAMPLE_TRAILER} bytes after")
math(EXPR JPEGDEC_SAMPLE_ROW_BYTES "${JPEGDEC_SAMPLE_WIDTH} * 3")
string(REPLACE "[0-9]+" "${JPEGDEC_SAMPLE_ROW_BYTES}" JPEGDEC_SAMPLE_DECODED
  "${JPEGDEC_SAMPLE_DECODED}")
foreach(source example_c.c example_cpp.cpp)
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/examples/${source})
  target_link_libraries(${name} PRIVATE jpegdec)
  jpegdec_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${JPEGDEC_PACKAGING_DIR})
  add_dependencies(${name} jpegdec_packaging_sample)
  if(WIN32)
    add_custom_command(TARGET ${name} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:jpegdec>
              ${JPEGDEC_PACKAGING_DIR})
  endif()
  add_test(NAME ${name} COMMAND ${name} ${JPEGDEC_SAMPLE})
  set_tests_properties(${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "${JPEGDEC_SAMPLE_DECODED}"
    ENVIRONMENT "${JPEGDEC_TEST_ENVIRONMENT}" TIMEOUT 120)
endforeach()

# Install into a scratch prefix and build a consumer against it.
set(JPEGDEC_CONSUMER_ARGS
  -DBUILD_DIR=${CMAKE_BINARY_DIR} -DWORK_DIR=${JPEGDEC_PACKAGING_DIR}/consumer
  -DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/packaging/consumer
  -DGENERATOR=${CMAKE_GENERATOR} -DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}
  -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DVERSION=${PROJECT_VERSION}
  -DNM=${CMAKE_NM} -DOBJDUMP=${CMAKE_OBJDUMP} -DSAMPLE=${JPEGDEC_SAMPLE})
# What the installed frame probe reports for the sample: 4:2:0 colour, converted to R, G, B;
# rows of 3 bytes a pixel natively, padded to a multiple of 4 in GDI+ mode.
math(EXPR sample_gdiplus_row "(${JPEGDEC_SAMPLE_WIDTH} * 3 + 3) / 4 * 4")
set(sample_probed "${JPEGDEC_SAMPLE_WIDTH}x${JPEGDEC_SAMPLE_HEIGHT}x3 2x2 native 1 converted 1")
string(APPEND sample_probed " rows ${JPEGDEC_SAMPLE_ROW_BYTES} ${sample_gdiplus_row}")
list(APPEND JPEGDEC_CONSUMER_ARGS "-DSAMPLE_PROBED=${sample_probed}")
if(CMAKE_CROSSCOMPILING)
  list(APPEND JPEGDEC_CONSUMER_ARGS -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE})
  if(WIN32)
    list(APPEND JPEGDEC_CONSUMER_ARGS -DWINDOWS=ON -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
else()
  list(APPEND JPEGDEC_CONSUMER_ARGS
       -DC_COMPILER=${CMAKE_C_COMPILER} -DCXX_COMPILER=${CMAKE_CXX_COMPILER})
endif()
if(JPEGDEC_SANITIZE)
  # A sanitized library needs its runtime in the program that loads it.
  list(APPEND JPEGDEC_CONSUMER_ARGS -DFLAGS=-fsanitize=address,undefined)
endif()
add_test(NAME packaging_install_consumer
  COMMAND ${CMAKE_COMMAND} ${JPEGDEC_CONSUMER_ARGS}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/consumer_test.cmake)
set_tests_properties(packaging_install_consumer PROPERTIES
  ENVIRONMENT "${JPEGDEC_TEST_ENVIRONMENT}" TIMEOUT 300)

# A host built with Microsoft's ABI: clang for i686-pc-windows-msvc, linked by lld-link against
# jpegdec.lib. No MSVC runtime exists here, so the host is freestanding: its own entry point
# and a tiny import library for the three kernel32 functions it calls.
if(WIN32)
  find_program(JPEGDEC_CLANG NAMES clang clang-14 DOC "clang, which builds the MSVC-ABI host")
  find_program(JPEGDEC_LLD_LINK NAMES lld-link lld-link-14 DOC "lld-link (Debian's lld)")
  if(NOT JPEGDEC_CLANG OR NOT JPEGDEC_LLD_LINK OR NOT JPEGDEC_MSVC_IMPLIB)
    message(WARNING "clang, lld-link or llvm-dlltool missing: the MSVC-ABI host is not built")
    return()
  endif()
  set(host_dir ${JPEGDEC_PACKAGING_DIR})
  set(host_source ${CMAKE_CURRENT_SOURCE_DIR}/packaging/msvc_host.cpp)
  set(kernel32_def ${CMAKE_CURRENT_SOURCE_DIR}/packaging/kernel32.def)
  add_custom_command(
    OUTPUT ${host_dir}/msvc_host.exe
    COMMAND ${JPEGDEC_LLVM_DLLTOOL} -m i386 -k -d ${kernel32_def}
            -l ${host_dir}/msvc_kernel32.lib
    COMMAND ${JPEGDEC_CLANG} --target=i686-pc-windows-msvc -std=c++20 -O2 -fms-extensions
            -fno-exceptions -fno-rtti -ffreestanding -mno-stack-arg-probe
            -Wall -Wextra -Wconversion -Wsign-conversion -Werror
            -I${PROJECT_SOURCE_DIR}/include -I${JPEGDEC_GENERATED_INCLUDE_DIR} -I${host_dir}
            -c ${host_source} -o ${host_dir}/msvc_host.obj
    COMMAND ${JPEGDEC_LLD_LINK} /nologo /subsystem:console /entry:HostMain /nodefaultlib
            /out:${host_dir}/msvc_host.exe ${host_dir}/msvc_host.obj
            ${JPEGDEC_MSVC_IMPLIB} ${host_dir}/msvc_kernel32.lib
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:jpegdec> ${host_dir}
    DEPENDS ${host_source} ${kernel32_def} ${JPEGDEC_SAMPLE_HEADER} ${JPEGDEC_MSVC_IMPLIB}
            ${PROJECT_SOURCE_DIR}/include/jpegdec/jpegdec.h jpegdec
    COMMENT "Building the MSVC-ABI host with clang and lld-link"
    VERBATIM)
  # The plain C host (tests/abi_host.c) as Microsoft's C compiler would build it: the header's
  # _MSC_VER form of the C table (__fastcall pointers), checked by the host itself; freestanding
  # with msvcrt.dll's printf and start-up arguments.
  set(c_host_source ${CMAKE_CURRENT_SOURCE_DIR}/abi_host.c)
  set(msvcrt_def ${CMAKE_CURRENT_SOURCE_DIR}/packaging/msvcrt.def)
  add_custom_command(
    OUTPUT ${host_dir}/abi_host_msvc_c.exe
    COMMAND ${JPEGDEC_LLVM_DLLTOOL} -m i386 -k -d ${kernel32_def}
            -l ${host_dir}/msvc_c_kernel32.lib
    COMMAND ${JPEGDEC_LLVM_DLLTOOL} -m i386 -d ${msvcrt_def} -l ${host_dir}/msvc_c_msvcrt.lib
    COMMAND ${JPEGDEC_CLANG} --target=i686-pc-windows-msvc -x c -std=c11 -O0 -fms-extensions
            -ffreestanding -fno-builtin -mno-stack-arg-probe -DJPEGDEC_ABI_HOST_FREESTANDING
            -Wall -Wextra -Wconversion -Wsign-conversion -Werror
            -I${PROJECT_SOURCE_DIR}/include -I${JPEGDEC_GENERATED_INCLUDE_DIR}
            -c ${c_host_source} -o ${host_dir}/abi_host_msvc_c.obj
    COMMAND ${JPEGDEC_LLD_LINK} /nologo /subsystem:console /entry:HostEntry /nodefaultlib
            /out:${host_dir}/abi_host_msvc_c.exe ${host_dir}/abi_host_msvc_c.obj
            ${host_dir}/msvc_c_kernel32.lib ${host_dir}/msvc_c_msvcrt.lib
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:jpegdec> ${host_dir}
    DEPENDS ${c_host_source} ${kernel32_def} ${msvcrt_def}
            ${PROJECT_SOURCE_DIR}/include/jpegdec/jpegdec.h jpegdec
    COMMENT "Building the C host for Microsoft's ABI with clang and lld-link"
    VERBATIM)
  add_custom_target(jpegdec_msvc_host ALL
    DEPENDS ${host_dir}/msvc_host.exe ${host_dir}/abi_host_msvc_c.exe)
  add_test(NAME abi_host_msvc_c
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${host_dir}/abi_host_msvc_c.exe gdiplus-present)
  set_tests_properties(abi_host_msvc_c PROPERTIES
    PASS_REGULAR_EXPRESSION "every slot called; stack pointer unchanged around each call"
    ENVIRONMENT "${JPEGDEC_TEST_ENVIRONMENT}" TIMEOUT 120)
  add_test(NAME msvc_host COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${host_dir}/msvc_host.exe)
  set_tests_properties(msvc_host PROPERTIES
    PASS_REGULAR_EXPRESSION "msvc_host: ok, ${JPEGDEC_SAMPLE_HEIGHT} rows"
    ENVIRONMENT "${JPEGDEC_TEST_ENVIRONMENT}" TIMEOUT 120)
endif()
