# 32-bit Linux (i386) with clang, on Debian's multiarch i386 libraries: the pointer and size_t
# width of the 32-bit DLL, with AddressSanitizer available (mingw-w64 has none). Used by the
# native32-asan and fuzz32 presets.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET i386-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET i386-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
