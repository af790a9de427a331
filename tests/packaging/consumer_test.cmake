# Installs a build tree into a fresh prefix, checks the installed files, then configures, builds
# and runs the consumer project against that prefix (CMake package and pkg-config).
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DGENERATOR=... -DMAKE_PROGRAM=...
#         -DLIBDIR=... -DVERSION=... -DNM=... -DOBJDUMP=... [-DC_COMPILER=... -DCXX_COMPILER=...]
#         [-DTOOLCHAIN_FILE=... [-DWINDOWS=ON -DEMULATOR=...]] [-DFLAGS=...]
#         [-DSAMPLE=... -DSAMPLE_PROBED=...]
#         -P consumer_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(expected
  include/jpegdec/jpegdec.h
  include/jpegdec/jpegdec_probe.h
  include/jpegdec/jpegdec_version.h
  ${LIBDIR}/cmake/jpegdec/jpegdecConfig.cmake
  ${LIBDIR}/cmake/jpegdec/jpegdecConfigVersion.cmake
  ${LIBDIR}/cmake/jpegdec/jpegdecTargets.cmake
  ${LIBDIR}/pkgconfig/jpegdec.pc)
if(WINDOWS)
  list(APPEND expected LICENSE.txt README.txt THIRD-PARTY-NOTICES.txt)
else()
  list(APPEND expected share/doc/jpegdec/LICENSE share/doc/jpegdec/README
       share/doc/jpegdec/THIRD-PARTY-NOTICES)
endif()
if(WINDOWS)
  list(APPEND expected bin/jpegdec.dll ${LIBDIR}/libjpegdec.dll.a ${LIBDIR}/jpegdec.lib
       ${LIBDIR}/jpegdec.def)
else()
  string(REGEX MATCH "^[0-9]+" major "${VERSION}")
  list(APPEND expected ${LIBDIR}/libjpegdec.so ${LIBDIR}/libjpegdec.so.${major}
       ${LIBDIR}/libjpegdec.so.${VERSION})
endif()
foreach(file ${expected})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
if(WINDOWS)
  # The text files have CRLF line ends, and the DLL's and the tool's version resources name
  # LICENSE's copyright holder.
  foreach(file LICENSE.txt README.txt THIRD-PARTY-NOTICES.txt)
    # Read as bytes (a text read drops carriage returns), one "xx " per byte.
    file(READ ${prefix}/${file} text HEX)
    string(REGEX REPLACE "(..)" "\\1 " bytes "${text}")
    string(REGEX MATCHALL "0a " line_ends "${bytes}")
    string(REGEX MATCHALL "0d 0a " crlf_ends "${bytes}")
    list(LENGTH line_ends line_count)
    list(LENGTH crlf_ends crlf_count)
    if(line_count EQUAL 0 OR NOT crlf_count EQUAL line_count)
      message(FATAL_ERROR "${file}: ${crlf_count} of its ${line_count} lines end in CRLF")
    endif()
  endforeach()
  file(STRINGS ${prefix}/LICENSE.txt copyright REGEX "^Copyright " LIMIT_COUNT 1)
  string(REGEX REPLACE "^Copyright +(\\([cC]\\) +)?[0-9][0-9, -]* +" "" holder "${copyright}")
  foreach(binary bin/jpegdec.dll bin/jpegdec.exe)
    if(NOT EXISTS ${prefix}/${binary})
      continue()
    endif()
    file(STRINGS ${prefix}/${binary} resource ENCODING UTF-16LE REGEX "jpegdec|Copyright")
    list(FIND resource "${holder}" holder_at)
    list(FIND resource "${copyright}" copyright_at)
    if(holder_at LESS 0 OR copyright_at LESS 0)
      message(FATAL_ERROR "${binary}: the version resource lacks '${holder}' or '${copyright}': "
        "${resource}")
    endif()
  endforeach()
endif()
if(NOT WINDOWS)
  # The development link points at the soname, which points at the real file.
  file(READ_SYMLINK ${prefix}/${LIBDIR}/libjpegdec.so link)
  if(NOT link STREQUAL "libjpegdec.so.${major}")
    message(FATAL_ERROR "libjpegdec.so points at ${link}")
  endif()
endif()

# The library exports the four functions and nothing else; the DLL needs no mingw runtime DLL
# (libstdc++, libgcc, libwinpthread) on the machine it is taken to.
set(exports CreateJpegDecodeInstance DeleteJpegDecodeInstance InitializeJpegDec
  UnInitializeJpegDec)
if(WINDOWS)
  run(${OBJDUMP} -p ${prefix}/bin/jpegdec.dll)
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${run_output}")
  # Brackets would upset CMake's list handling: the entries become "<ordinal> <name>".
  string(REGEX REPLACE "[][]" "" table "${table}")
  string(REGEX MATCHALL "[0-9]+ [A-Za-z_][A-Za-z0-9_@]*" found "${table}")
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${run_output}")
  # A plain install gives the stripped DLL, as the Windows package ships it.
  run(${OBJDUMP} -h ${prefix}/bin/jpegdec.dll)
  if(run_output MATCHES "\\.debug_")
    message(FATAL_ERROR "the installed jpegdec.dll carries debugging information")
  endif()
  foreach(import ${imports})
    if(import MATCHES "DLL Name: lib")
      message(FATAL_ERROR "jpegdec.dll needs a runtime DLL: ${import}")
    endif()
  endforeach()
else()
  run(${NM} -D --defined-only ${prefix}/${LIBDIR}/libjpegdec.so)
  string(REGEX MATCHALL " [A-Za-z] [A-Za-z_][A-Za-z0-9_@.]*" found "${run_output}")
endif()
list(TRANSFORM found REPLACE "^.* " "")
list(SORT found)
if(NOT found STREQUAL exports)
  message(FATAL_ERROR "exported: ${found}; expected exactly: ${exports}")
endif()

# The installed command-line host, when built, finds the installed library by itself.
if(WINDOWS)
  set(cli ${EMULATOR} ${prefix}/bin/jpegdec.exe)
  set(cli_file ${prefix}/bin/jpegdec.exe)
else()
  set(cli ${prefix}/bin/jpegdec)
  set(cli_file ${cli})
endif()
if(EXISTS ${cli_file} AND SAMPLE)
  run(${cli} --mode streaming ${SAMPLE} ${WORK_DIR}/sample.ppm)
  if(NOT EXISTS ${WORK_DIR}/sample.ppm)
    message(FATAL_ERROR "the installed command-line host wrote no image")
  endif()
endif()

set(configure ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
if(TOOLCHAIN_FILE)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
else()
  list(APPEND configure -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()
if(FLAGS)
  list(APPEND configure -DCMAKE_C_FLAGS=${FLAGS} -DCMAKE_CXX_FLAGS=${FLAGS}
       -DCMAKE_EXE_LINKER_FLAGS=${FLAGS})
endif()
# Only the installed jpegdec.pc is visible to pkg-config.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${LIBDIR}/pkgconfig)
run(${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

foreach(program consumer_cmake consumer_pkgconfig)
  if(WINDOWS)
    run(${EMULATOR} ${WORK_DIR}/build/${program}.exe)
  else()
    run(${WORK_DIR}/build/${program})
  endif()
  if(NOT run_output MATCHES "consumer ok ${VERSION}")
    message(FATAL_ERROR "${program} printed: ${run_output}")
  endif()
  message(STATUS "${program}: ${run_output}")
endforeach()

# The installed probe, compiled as C89 and as C++, reads the sample's frame header.
if(SAMPLE AND SAMPLE_PROBED)
  foreach(program consumer_probe_c consumer_probe_cpp)
    if(WINDOWS)
      run(${EMULATOR} ${WORK_DIR}/build/${program}.exe ${SAMPLE})
    else()
      run(${WORK_DIR}/build/${program} ${SAMPLE})
    endif()
    if(NOT run_output MATCHES "probe ok ${SAMPLE_PROBED}")
      message(FATAL_ERROR "${program} printed: ${run_output}")
    endif()
  endforeach()
endif()
