#!/usr/bin/env bash
# Builds the static zlib and libpng the win32 command-line tool writes PNG with: Debian's own
# source packages (the versions of the machine's zlib1g and libpng16-16 when the archive still
# has them), fetched with `apt-get source` and compiled with the project's mingw-w64 i686
# toolchain (cmake/mingw-i686.cmake), the way bench/build_ljt_win32.sh builds its libjpeg-turbo.
# The result, never part of the project's sources, is
#   OUT/include/  png.h, pngconf.h, pnglibconf.h, zlib.h, zconf.h
#   OUT/lib/      libpng.a, libz.a
#   OUT/LICENSES/ the two libraries' licence texts (the package's THIRD-PARTY-NOTICES quote them)
#   OUT/BUILT     what was wanted and built (a second run wanting the same does nothing)
# tools/jpegdec/CMakeLists.txt links it (JPEGDEC_PNG_WIN32_DIR); without it the win32 configure
# step stops and says how to make it (or configure with -DJPEGDEC_TOOL_PNG=OFF for a tool that
# writes PPM, PGM, PAM and BMP only). Called by scripts/install-deps.sh (group win32).
# The sources come through scripts/debian-source.sh (a private apt state under OUT/apt; the
# machine's apt sources are left alone).
#
# Usage: scripts/build-png-win32.sh [OUT]   (default build/png-win32)
# Exit status 0 when OUT holds both libraries, 1 (with the reason on standard error) when not.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build/png-win32}
mkdir -p "$out"
out=$(cd "$out" && pwd)

skip() {
  echo "build-png-win32: no PNG for the win32 tool: $*" >&2
  exit 1
}

compiler=i686-w64-mingw32-gcc-posix
command -v "$compiler" >/dev/null || skip "$compiler missing (scripts/install-deps.sh)"
if ! command -v dpkg-source >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends dpkg-dev \
      >/dev/null || skip "cannot install dpkg-dev"
  else
    skip "dpkg-source missing (dpkg-dev; run as root to install)"
  fi
fi

zlib_wanted=$(dpkg-query -W -f='${source:Version}\n' zlib1g 2>/dev/null | head -1 || true)
png_wanted=$(dpkg-query -W -f='${source:Version}\n' libpng16-16 2>/dev/null | head -1 || true)
stamp="zlib ${zlib_wanted:-latest}, libpng1.6 ${png_wanted:-latest} (Debian source packages);\
 mingw-w64 i686 gcc $("$compiler" -dumpfullversion) -O2, static"
if [ -s "$out/lib/libpng.a" ] && [ -s "$out/lib/libz.a" ] && [ -s "$out/BUILT" ] &&
  [ "$(head -1 "$out/BUILT")" = "$stamp" ]; then
  echo "build-png-win32: up to date: $(tail -1 "$out/BUILT")" >&2
  exit 0
fi

echo "build-png-win32: fetching Debian's source packages of zlib and libpng1.6" >&2
# shellcheck source=debian-source.sh
. "$root/scripts/debian-source.sh"
debian_source_init "$out/apt"
src=$out/src
rm -rf "$src"
zlib_version=$(debian_source_fetch zlib "$zlib_wanted" "$src") ||
  skip "zlib's source package could not be fetched or unpacked (see $out/apt, $src)"
png_version=$(debian_source_fetch libpng1.6 "$png_wanted" "$src") ||
  skip "libpng1.6's source package could not be fetched or unpacked (see $out/apt, $src)"

stage=$src/install
mkdir -p "$stage/include" "$stage/lib"
echo "build-png-win32: building zlib" >&2
# Debian's zlib source leaves out the win32 makefiles; the library is its fifteen C files.
(
  cd "$src/zlib"
  objects=()
  for name in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
    inflate inftrees trees uncompr zutil; do
    "$compiler" -O2 -DNDEBUG -c "$name.c" -o "$name.o"
    objects+=("$name.o")
  done
  i686-w64-mingw32-ar rcs libz.a "${objects[@]}"
) >"$src/zlib.log" 2>&1 || skip "zlib did not build (see $src/zlib.log)"
cp "$src/zlib/libz.a" "$stage/lib/"
cp "$src/zlib/zlib.h" "$src/zlib/zconf.h" "$stage/include/"

echo "build-png-win32: building libpng" >&2
cmake -S "$src/libpng1.6" -B "$src/png-build" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF \
  -DZLIB_INCLUDE_DIR="$stage/include" -DZLIB_LIBRARY="$stage/lib/libz.a" \
  >"$src/png-configure.log" 2>&1 || skip "libpng configure failed (see $src/png-configure.log)"
cmake --build "$src/png-build" -j2 --target png_static >"$src/png-build.log" 2>&1 ||
  skip "libpng did not build (see $src/png-build.log)"
cp "$src/png-build/libpng.a" "$stage/lib/libpng.a" 2>/dev/null ||
  cp "$src/png-build/libpng16.a" "$stage/lib/libpng.a"
cp "$src/libpng1.6/png.h" "$src/libpng1.6/pngconf.h" "$src/png-build/pnglibconf.h" \
  "$stage/include/"

rm -rf "$out/include" "$out/lib" "$out/LICENSES"
mkdir -p "$out/LICENSES"
mv "$stage/include" "$stage/lib" "$out/"
cp "$src/libpng1.6/LICENSE" "$out/LICENSES/libpng.txt"
cp "$src/zlib/LICENSE" "$out/LICENSES/zlib.txt"
built_versions="zlib $zlib_version, libpng1.6 $png_version"
printf '%s\n%s\n' "$stamp" "built: $built_versions" >"$out/BUILT"
rm -rf "$src"
echo "build-png-win32: $built_versions for mingw-w64 i686" >&2
