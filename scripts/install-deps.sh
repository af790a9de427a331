#!/usr/bin/env bash
# Installs what the builds, tests, tools and benchmarks need on Debian 12 (run as root), group by
# group; safe to run again: it installs only what is missing.
#
# Usage: scripts/install-deps.sh [GROUP...]        (default: main tests win32 linux32 bench)
#        scripts/install-deps.sh --check GROUP...  (installs nothing: status 0 when every
#                                                   package of the groups is installed)
#   main     the library, its command-line tool and the demo's sample page (scripts/demo.sh)
#   tests    the native tests, the sanitizer builds and the fuzz targets
#   win32    the 32-bit Windows DLL and its tests under Wine (adds the i386 architecture), and
#            the win32 tool's PNG (scripts/build-png-win32.sh)
#   linux32  the 32-bit Linux builds (native32-asan, fuzz32) and qemu-i386 (scripts/qemu-cpus.sh)
#   bench    the benchmarks (scripts/bench.sh)
#
# The package index is updated only when something is missing. An update that fails (a mirror in
# the middle of a sync serves an index of the wrong size, say) is tried again; when parts of the
# index still cannot be fetched, the install goes on with the lists apt already has. Packages
# that still cannot be installed are named at the end, with what they are for: status 1.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

declare -A purpose=(
  [main]="the library and the jpegdec tool (scripts/demo.sh)"
  [tests]="the native tests, sanitizer builds and fuzzing (scripts/test.sh)"
  [win32]="the 32-bit Windows DLL and its tests under Wine"
  [linux32]="the 32-bit Linux builds and the older-processor runs under qemu"
  [bench]="the benchmarks (scripts/bench.sh)"
)
declare -A group_packages=(
  [main]="cmake ninja-build g++ libpng-dev libjpeg-turbo-progs python3"
  [tests]="libgtest-dev googletest libjpeg62-turbo-dev libturbojpeg0-dev clang lld llvm
    libclang-rt-14-dev"
  [win32]="g++-mingw-w64-i686 wine wine32:i386 xauth"
  # clang's i386 runtime comes with libclang-rt-14-dev (tests).
  [linux32]="libc6-dev-i386 lib32gcc-12-dev lib32stdc++-12-dev libgtest-dev:i386
    libjpeg62-turbo-dev:i386 libturbojpeg0:i386 libpng-dev:i386 qemu-user"
  [bench]="libbenchmark-dev libjpeg62-turbo-dev libstb-dev python3-matplotlib time"
)
all_groups=(main tests win32 linux32 bench)
update_attempts=3
update_pause=20  # seconds before the second attempt; doubled before each later one

check=0
if [ "${1:-}" = --check ]; then
  check=1
  shift
fi
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=("${all_groups[@]}")
for group in "${groups[@]}"; do
  if [ -z "${group_packages[$group]:-}" ]; then
    echo "install-deps: unknown group '$group' (groups: ${all_groups[*]})" >&2
    exit 2
  fi
done

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Each missing package once, with the first group that wants it.
missing=()
declare -A wanted_by=()
for group in "${groups[@]}"; do
  for p in ${group_packages[$group]}; do
    if [ -z "${wanted_by[$p]:-}" ] && ! installed "$p"; then
      wanted_by[$p]=$group
      missing+=("$p")
    fi
  done
done
wants_i386=0
for group in "${groups[@]}"; do
  case $group in win32 | linux32) wants_i386=1 ;; esac
done

if [ $check = 1 ]; then
  for p in "${missing[@]}"; do
    echo "install-deps: $p is not installed (${wanted_by[$p]}: ${purpose[${wanted_by[$p]}]})" >&2
  done
  [ ${#missing[@]} -eq 0 ] || exit 1
  if [[ " ${groups[*]} " == *" win32 "* ]] &&
    ! { [ -s build/png-win32/lib/libpng.a ] && [ -s build/png-win32/lib/libz.a ]; }; then
    echo "install-deps: the win32 tool's static libpng and zlib are not built" \
      "(scripts/build-png-win32.sh)" >&2
    exit 1
  fi
  exit 0
fi

# Tries `apt-get update` a few times; goes on whatever the last attempt gave, since apt keeps the
# lists of the parts it could not fetch as they were.
update_index() {
  local attempt pause=$update_pause
  for ((attempt = 1; attempt <= update_attempts; ++attempt)); do
    if apt-get update -qq; then
      return 0
    fi
    if [ $attempt -lt $update_attempts ]; then
      echo "install-deps: apt-get update failed (attempt $attempt of $update_attempts); trying" \
        "again in ${pause}s" >&2
      sleep "$pause"
      pause=$((pause * 2))
    fi
  done
  echo "install-deps: parts of the package index could not be fetched (above); going on with" \
    "the lists apt has" >&2
}

failed=()
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if [ $wants_i386 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  update_index
  echo "install-deps: installing ${missing[*]}" >&2
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    # One package that cannot be had must not keep the others out: each on its own.
    for p in "${missing[@]}"; do
      installed "$p" || apt-get install -y -qq --no-install-recommends "$p" || failed+=("$p")
    done
  fi
fi

# The win32 tool's PNG support: static zlib and libpng for mingw-w64 i686 from Debian's source
# packages, built once into build/png-win32 (a later run finds them there and does nothing).
png_failed=0
if [[ " ${groups[*]} " == *" win32 "* ]] && ! scripts/build-png-win32.sh; then
  png_failed=1
fi

if [ ${#failed[@]} -gt 0 ] || [ $png_failed = 1 ]; then
  echo "install-deps: could not install:" >&2
  for p in "${failed[@]}"; do
    echo "  $p  (${wanted_by[$p]}: ${purpose[${wanted_by[$p]}]})" >&2
  done
  if [ $png_failed = 1 ]; then
    echo "  the win32 tool's static libpng and zlib (win32: scripts/build-png-win32.sh)" >&2
  fi
  echo "install-deps: what needs them will not build; run this script again later (a package" \
    "index in the middle of a mirror sync is usually whole again within a day)" >&2
  exit 1
fi
exit 0
