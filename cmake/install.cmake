# Installation and packaging: `cmake --install` puts the public header, the shared library
# (libjpegdec.so with its soname links, or jpegdec.dll with its .def and import libraries), a
# CMake package configuration (find_package(jpegdec) -> jpegdec::jpegdec) and jpegdec.pc in place.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(JPEGDEC_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/jpegdec CACHE STRING
    "Where the CMake package configuration is installed, relative to the prefix")

# The copyright line of LICENSE and its holder, for the version resources and the package.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE JPEGDEC_COPYRIGHT_LINE REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright +(\\([cC]\\) +)?[0-9][0-9, -]* +" "" JPEGDEC_COPYRIGHT_HOLDER
       "${JPEGDEC_COPYRIGHT_LINE}")
if(NOT JPEGDEC_COPYRIGHT_LINE OR JPEGDEC_COPYRIGHT_HOLDER STREQUAL JPEGDEC_COPYRIGHT_LINE)
  message(FATAL_ERROR "LICENSE has no line 'Copyright (c) YEAR HOLDER'")
endif()

if(WIN32)
  # The version resources of the DLL and the tool, from the version given to project() and
  # LICENSE's copyright line. Compiled on their own so that the C and C++ warning options never
  # reach the resource compiler.
  enable_language(RC)
  configure_file(${PROJECT_SOURCE_DIR}/src/version.rc.in ${PROJECT_BINARY_DIR}/src/version.rc @ONLY)
  add_library(jpegdec_version OBJECT ${PROJECT_BINARY_DIR}/src/version.rc)
  target_sources(jpegdec PRIVATE $<TARGET_OBJECTS:jpegdec_version>)
  if(TARGET jpegdec_cli)
    configure_file(${PROJECT_SOURCE_DIR}/tools/jpegdec/version.rc.in
                   ${PROJECT_BINARY_DIR}/tools/jpegdec/version.rc @ONLY)
    add_library(jpegdec_cli_version OBJECT ${PROJECT_BINARY_DIR}/tools/jpegdec/version.rc)
    target_sources(jpegdec_cli PRIVATE $<TARGET_OBJECTS:jpegdec_cli_version>)
  endif()

  # An import library for hosts built with Microsoft's toolchain, made from the same .def file.
  find_program(JPEGDEC_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14
               DOC "llvm-dlltool, which makes the MSVC import library jpegdec.lib")
  if(JPEGDEC_LLVM_DLLTOOL)
    set(JPEGDEC_MSVC_IMPLIB ${PROJECT_BINARY_DIR}/src/jpegdec.lib)
    add_custom_command(
      OUTPUT ${JPEGDEC_MSVC_IMPLIB}
      COMMAND ${JPEGDEC_LLVM_DLLTOOL} -m i386 -d ${PROJECT_SOURCE_DIR}/src/jpegdec.def
              -l ${JPEGDEC_MSVC_IMPLIB}
      DEPENDS ${PROJECT_SOURCE_DIR}/src/jpegdec.def
      COMMENT "Making the MSVC import library jpegdec.lib"
      VERBATIM)
    add_custom_target(jpegdec_msvc_implib ALL DEPENDS ${JPEGDEC_MSVC_IMPLIB})
  else()
    message(WARNING "llvm-dlltool not found: jpegdec.lib (MSVC import library) is not made")
  endif()
endif()

# The Windows package carries the DLL and the tool without their debugging information:
# `cmake --install` strips them there unless told otherwise (-DJPEGDEC_INSTALL_STRIPPED=OFF at
# configure time, for a tree to debug with).
if(WIN32)
  option(JPEGDEC_INSTALL_STRIPPED "Strip the DLL and the tool when installing (as --strip does)"
         ON)
  if(JPEGDEC_INSTALL_STRIPPED)
    install(CODE "if(NOT CMAKE_INSTALL_DO_STRIP)\n  set(CMAKE_INSTALL_DO_STRIP 1)\nendif()")
  endif()
endif()

install(TARGETS jpegdec EXPORT jpegdecTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/jpegdec
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development
  FILES_MATCHING PATTERN "*.h")
install(FILES ${JPEGDEC_GENERATED_INCLUDE_DIR}/jpegdec_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/jpegdec COMPONENT Development)
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/jpegdec.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  if(JPEGDEC_MSVC_IMPLIB)
    install(FILES ${JPEGDEC_MSVC_IMPLIB}
      DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  endif()
endif()

# CMake package configuration.
install(EXPORT jpegdecTargets NAMESPACE jpegdec::
  DESTINATION ${JPEGDEC_INSTALL_CMAKEDIR} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/jpegdecConfig.cmake.in
  ${PROJECT_BINARY_DIR}/jpegdecConfig.cmake
  INSTALL_DESTINATION ${JPEGDEC_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/jpegdecConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/jpegdecConfig.cmake
  ${PROJECT_BINARY_DIR}/jpegdecConfigVersion.cmake
  DESTINATION ${JPEGDEC_INSTALL_CMAKEDIR} COMPONENT Development)

# pkg-config file, relocatable: its prefix is found from its own location.
file(RELATIVE_PATH JPEGDEC_PC_RELATIVE_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" JPEGDEC_PC_RELATIVE_PREFIX "${JPEGDEC_PC_RELATIVE_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/jpegdec.pc.in ${PROJECT_BINARY_DIR}/jpegdec.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/jpegdec.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# The command-line host, when it is built; on Linux it finds the library beside its own prefix.
if(TARGET jpegdec_cli)
  if(NOT WIN32)
    file(RELATIVE_PATH JPEGDEC_BIN_TO_LIB
      /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(jpegdec_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${JPEGDEC_BIN_TO_LIB}")
  endif()
  install(TARGETS jpegdec_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# LICENSE, a short README and THIRD-PARTY-NOTICES (what is linked in from elsewhere, by build):
# at the root of the Windows tree, in share/doc/jpegdec on Linux.
if(WIN32)
  set(JPEGDEC_INSTALL_NOTICEDIR .)
  set(JPEGDEC_PACKAGE_LIBRARY_LINE
    "bin/jpegdec.dll               the 32-bit DLL (lib/: jpegdec.lib, libjpegdec.dll.a, .def)")
  set(JPEGDEC_PACKAGE_TOOL_LINE "bin/jpegdec.exe               the command-line tool")
  set(body "The GCC runtime (libgcc, libstdc++), linked statically into jpegdec.dll and
jpegdec.exe: GPL 3 with the GCC Runtime Library Exception 3.1, which lets the compiled program
be passed on under terms of its own.

The mingw-w64 runtime (start-up code, libmingwex with getopt_long, winpthreads), linked
statically into jpegdec.dll and jpegdec.exe: ZPL 2.1, public domain, and the BSD-, ISC- and
MIT-style terms its parts carry, recorded in full at the end of this file.
")
  if(JPEGDEC_CLI_HAVE_PNG)
    file(STRINGS ${JPEGDEC_PNG_WIN32_DIR}/BUILT png_built REGEX "^built: ")
    string(REGEX REPLACE "^built: " "" png_built "${png_built}")
    file(READ ${JPEGDEC_PNG_WIN32_DIR}/LICENSES/libpng.txt png_licence)
    file(READ ${JPEGDEC_PNG_WIN32_DIR}/LICENSES/zlib.txt zlib_licence)
    string(APPEND body "
libpng and zlib (${png_built}, Debian's source packages), linked statically into jpegdec.exe,
which writes PNG with them. Their terms:

---- libpng ----
${png_licence}
---- zlib ----
${zlib_licence}")
  endif()
  find_file(JPEGDEC_MINGW_COPYRIGHT copyright
    PATHS /usr/share/doc/mingw-w64-i686-dev /usr/share/doc/mingw-w64-common NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH DOC "The mingw-w64 runtime's licence record (Debian's copyright file)")
  if(JPEGDEC_MINGW_COPYRIGHT)
    file(READ ${JPEGDEC_MINGW_COPYRIGHT} mingw_terms)
    string(APPEND body "
---- the mingw-w64 runtime's terms, as the toolchain's package records them ----
${mingw_terms}")
  else()
    string(APPEND body "
The mingw-w64 runtime's terms: see the COPYING files of the mingw-w64 project.
")
  endif()
else()
  set(JPEGDEC_INSTALL_NOTICEDIR ${CMAKE_INSTALL_DOCDIR})
  set(JPEGDEC_PACKAGE_LIBRARY_LINE
    "lib/libjpegdec.so.${PROJECT_VERSION}       the shared library, with its soname links")
  set(JPEGDEC_PACKAGE_TOOL_LINE "bin/jpegdec                   the command-line tool")
  set(body "The GCC runtime: libstdc++ and libgcc_s are the system's, loaded at run time; the
few parts of libgcc and the start-up files linked in are under GPL 3 with the GCC Runtime
Library Exception 3.1, which lets the compiled program be passed on under terms of its own.
")
  if(TARGET jpegdec_cli)
    string(APPEND body "
libpng and zlib: the tool jpegdec loads the system's libpng16 and zlib at run time (libpng
licence, zlib licence); nothing of them is contained in this package.
")
  endif()
endif()
if(NOT TARGET jpegdec_cli)
  set(JPEGDEC_PACKAGE_TOOL_LINE "(the command-line tool was not built)")
endif()
if(WIN32)
  string(REPLACE "\n" "\r\n" body "${body}")  # NEWLINE_STYLE leaves substituted text alone
endif()
set(JPEGDEC_NOTICES_BODY "${body}")
# On Windows they are text files as Notepad and Explorer expect them: named *.txt, with CRLF
# line ends.
if(WIN32)
  set(text_suffix .txt)
  set(text_newlines CRLF)
else()
  set(text_suffix "")
  set(text_newlines UNIX)
endif()
set(JPEGDEC_PACKAGE_TEXT_SUFFIX ${text_suffix})
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/THIRD-PARTY-NOTICES.in
  ${PROJECT_BINARY_DIR}/package/THIRD-PARTY-NOTICES${text_suffix} @ONLY
  NEWLINE_STYLE ${text_newlines})
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/README.txt.in
  ${PROJECT_BINARY_DIR}/package/README${text_suffix} @ONLY NEWLINE_STYLE ${text_newlines})
# LICENSE holds no @-names: configuring only converts its line ends.
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_BINARY_DIR}/package/LICENSE${text_suffix}
  @ONLY NEWLINE_STYLE ${text_newlines})
install(FILES ${PROJECT_BINARY_DIR}/package/LICENSE${text_suffix}
  ${PROJECT_BINARY_DIR}/package/README${text_suffix}
  ${PROJECT_BINARY_DIR}/package/THIRD-PARTY-NOTICES${text_suffix}
  DESTINATION ${JPEGDEC_INSTALL_NOTICEDIR})

# Distributable archives of the installed tree: `cpack` in a build directory makes
# jpegdec-VERSION-Linux.tar.gz or jpegdec-VERSION-win32.zip.
set(CPACK_PACKAGE_NAME jpegdec)
set(CPACK_PACKAGE_VENDOR jpegdec)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Resumable baseline JPEG decoder for scanner drivers")
set(CPACK_RESOURCE_FILE_README ${PROJECT_BINARY_DIR}/package/README${text_suffix})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_STRIP_FILES TRUE)
include(CPack)
