#!/usr/bin/env bash
# Installs everything the builds, tests, tools and benchmarks need on Debian 12 (run as root).
# Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang lld llvm libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libpng-dev libjpeg-turbo-progs
  g++-mingw-w64-i686 wine wine32:i386 python3 xauth time
  libstb-dev python3-matplotlib
  # 32-bit Linux builds (native32-asan, fuzz32): clang's i386 runtime comes with
  # libclang-rt-14-dev; the C and C++ libraries and the test dependencies for i386.
  libc6-dev-i386 lib32gcc-12-dev lib32stdc++-12-dev
  libgtest-dev:i386 libjpeg62-turbo-dev:i386 libturbojpeg0:i386 libpng-dev:i386
  # qemu-i386 runs the 32-bit build as older processors (scripts/qemu-cpus.sh).
  qemu-user
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

# The win32 tool's PNG support: static zlib and libpng for mingw-w64 i686 from Debian's source
# packages, built once into build/png-win32 (a later run finds them there and does nothing).
"$(dirname "$0")/build-png-win32.sh" ||
  echo "install-deps: the win32 tool will write PPM, PGM and PAM only" >&2
