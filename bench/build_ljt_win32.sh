#!/usr/bin/env bash
# Builds the 32-bit libjpeg-turbo peer of the win32 benchmark: Debian's own source package of
# libjpeg-turbo (the version of the native peer, libjpeg62-turbo, when the archive still has it),
# fetched with `apt-get source`, compiled with the project's mingw-w64 i686 toolchain
# (cmake/mingw-i686.cmake) and nasm, SIMD on, as a static library. The result, never part of
# the project's sources, is
#   OUT/include/  jpeglib.h, jconfig.h, jmorecfg.h, jerror.h
#   OUT/lib/libjpeg.a
#   OUT/BUILT     the Debian version and how it was built (a second run with the same stamp
#                 does nothing)
# and bench/CMakeLists.txt links it into the bench-win32 compare tool (JPEGDEC_BENCH_LJT_DIR).
# Called by scripts/bench.sh --win32; the tests never need it.
#
# The sources come through scripts/debian-source.sh (a private apt state under OUT/apt; the
# machine's apt sources are left alone).
#
# Usage: bench/build_ljt_win32.sh [OUT]   (default build/ljt-win32)
# Exit status 0 when OUT holds the library, 1 (with the reason on standard error) when not.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build/ljt-win32}
mkdir -p "$out"
out=$(cd "$out" && pwd)

skip() {
  echo "build_ljt_win32: no 32-bit libjpeg-turbo peer: $*" >&2
  exit 1
}

# Tools: nasm for the SIMD code, dpkg-source (dpkg-dev) to unpack the source package.
missing=()
command -v nasm >/dev/null || missing+=(nasm)
command -v dpkg-source >/dev/null || missing+=(dpkg-dev)
command -v i686-w64-mingw32-gcc-posix >/dev/null || missing+=(gcc-mingw-w64-i686-posix)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "build_ljt_win32: installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null || skip "cannot install ${missing[*]}"
  else
    skip "${missing[*]} missing (run as root to install)"
  fi
fi

# The native peer's version first, so both builds compare against the same libjpeg-turbo.
wanted=$(dpkg-query -W -f='${Version}\n' libjpeg62-turbo 2>/dev/null | head -1 || true)
stamp_of() {  # stamp_of VERSION
  echo "libjpeg-turbo $1 (Debian source package);" \
    "mingw-w64 i686 gcc $(i686-w64-mingw32-gcc-posix -dumpfullversion) -O2," \
    "$(nasm -v | cut -d' ' -f1-3), WITH_SIMD=ON, static"
}
if [ -s "$out/lib/libjpeg.a" ] && [ -s "$out/BUILT" ] &&
  { [ -z "$wanted" ] || [ "$(cat "$out/BUILT")" = "$(stamp_of "$wanted")" ]; }; then
  echo "build_ljt_win32: up to date: $(cat "$out/BUILT")" >&2
  exit 0
fi

echo "build_ljt_win32: fetching Debian's source package of libjpeg-turbo" >&2
# shellcheck source=../scripts/debian-source.sh
. "$root/scripts/debian-source.sh"
debian_source_init "$out/apt"
src=$out/src
rm -rf "$src"
version=$(debian_source_fetch libjpeg-turbo "$wanted" "$src") ||
  skip "libjpeg-turbo's source package could not be fetched or unpacked (see $out/apt, $src)"

echo "build_ljt_win32: building libjpeg-turbo $version for 32-bit Windows (SIMD on)" >&2
cmake -S "$src/libjpeg-turbo" -B "$src/build" -G Ninja -Wno-dev \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_INSTALL_PREFIX="$src/install" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
  -DWITH_SIMD=ON -DREQUIRE_SIMD=ON -DCMAKE_ASM_NASM_COMPILER=nasm \
  >"$src/configure.log" 2>&1 || skip "configure failed (see $src/configure.log)"
cmake --build "$src/build" -j2 --target jpeg-static >"$src/build.log" 2>&1 ||
  skip "build failed (see $src/build.log)"

rm -rf "$out/include" "$out/lib"
mkdir -p "$out/include" "$out/lib"
cp "$src/libjpeg-turbo"/{jpeglib.h,jmorecfg.h,jerror.h} "$src/build/jconfig.h" "$out/include/"
cp "$src/build/libjpeg.a" "$out/lib/"
stamp_of "$version" >"$out/BUILT"
rm -rf "$src/build"
echo "build_ljt_win32: built $(cat "$out/BUILT")" >&2
