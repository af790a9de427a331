# Installation and packaging: `cmake --install` puts the public header, the shared library
# (libjpegdec.so with its soname links, or jpegdec.dll with its .def and import libraries), a
# CMake package configuration (find_package(jpegdec) -> jpegdec::jpegdec) and jpegdec.pc in place.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(JPEGDEC_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/jpegdec CACHE STRING
    "Where the CMake package configuration is installed, relative to the prefix")

if(WIN32)
  # The DLL's version resource, from the version given to project(). Compiled on its own so that
  # the C and C++ warning options never reach the resource compiler.
  enable_language(RC)
  configure_file(${PROJECT_SOURCE_DIR}/src/version.rc.in ${PROJECT_BINARY_DIR}/src/version.rc @ONLY)
  add_library(jpegdec_version OBJECT ${PROJECT_BINARY_DIR}/src/version.rc)
  target_sources(jpegdec PRIVATE $<TARGET_OBJECTS:jpegdec_version>)

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

# Distributable archives of the installed tree: `cpack` in a build directory makes
# jpegdec-VERSION-Linux.tar.gz or jpegdec-VERSION-win32.zip.
set(CPACK_PACKAGE_NAME jpegdec)
set(CPACK_PACKAGE_VENDOR jpegdec)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Resumable baseline JPEG decoder for scanner drivers")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_STRIP_FILES TRUE)
include(CPack)
