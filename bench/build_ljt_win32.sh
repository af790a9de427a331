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
# The machine's apt sources are left alone: the deb-src entries are derived from its deb
# entries (same mirrors, suites and keys) into a private apt state under OUT/apt.
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

# A private apt configuration whose sources are the machine's Debian entries turned into
# deb-src entries; its lists and caches stay under OUT/apt.
apt_dir=$out/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
rm -f "$apt_dir"/sources.list.d/*
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] || continue
  sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
done
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -e "$f" ] || continue
  sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$f" \
    >>"$apt_dir/sources.list.d/machine.list"
done
apt_options=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list.d/machine.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=$(id -un)"
)
touch "$apt_dir/sources.list.d/machine.list"
if [ "$(id -u)" != 0 ]; then
  apt_options+=(-o Debug::NoLocking=1)
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
apt-get "${apt_options[@]}" -qq update >"$apt_dir/update.log" 2>&1 ||
  echo "build_ljt_win32: apt-get update reported problems (see $apt_dir/update.log)" >&2
src=$out/src
rm -rf "$src"
mkdir -p "$src"
fetched=0
for package in ${wanted:+"libjpeg-turbo=$wanted"} libjpeg-turbo; do
  if (cd "$src" && apt-get "${apt_options[@]}" -qq source --download-only "$package") \
    >"$apt_dir/source.log" 2>&1; then
    fetched=1
    break
  fi
done
[ $fetched = 1 ] || skip "apt-get source libjpeg-turbo failed (see $apt_dir/source.log)"
dsc=$(ls "$src"/libjpeg-turbo_*.dsc | head -1)
version=$(sed -n 's/^Version: //p' "$dsc")
dpkg-source -x "$dsc" "$src/libjpeg-turbo" >"$src/unpack.log" 2>&1 ||
  skip "dpkg-source could not unpack $dsc (see $src/unpack.log)"

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
