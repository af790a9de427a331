#!/usr/bin/env bash
# Builds and runs every test of both builds: native (also under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded test under ThreadSanitizer) and win32 (under
# 32-bit Wine, once more with UndefinedBehaviorSanitizer in trap mode, since mingw has no
# AddressSanitizer), and the test suite for 32-bit Linux under AddressSanitizer (native32-asan:
# the DLL's pointer and size widths); runs the 32-bit Linux build under qemu-i386 as a processor
# without SSE2, one without AVX and one with AVX2 (scripts/qemu-cpus.sh: the tool's rows on a
# fixed sample against the native build's, and the routine tests); then gives each libFuzzer
# target a short run, in the 64-bit and the 32-bit fuzz build. Installs what is missing first.
#   JPEGDEC_FUZZ_SECONDS    seconds per fuzz target, 64-bit build (default 45; 0 skips fuzzing)
#   JPEGDEC_FUZZ32_SECONDS  seconds per fuzz target, 32-bit build (default 15; 0 skips it)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=(native native-asan native-tsan native32-asan win32 win32-ubsan)
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in "${presets[@]}"; do
  echo "=== ${preset}: tests"
  if [[ $preset == win32* ]]; then
    scripts/wine-prefix.sh "build/$preset"  # each win32 tree has its own Wine prefix
  fi
  ctest --preset "$preset" || status=1
done

echo "=== qemu-i386: the 32-bit build as processors without SSE2, without AVX, with AVX2"
scripts/qemu-cpus.sh || status=1

fuzz_seconds=${JPEGDEC_FUZZ_SECONDS:-45}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "=== fuzz: ${fuzz_seconds}s per target"
  FUZZ_SEEDS=small scripts/fuzz.sh "$fuzz_seconds" || status=1
fi
fuzz32_seconds=${JPEGDEC_FUZZ32_SECONDS:-15}
if [ "$fuzz_seconds" -gt 0 ] && [ "$fuzz32_seconds" -gt 0 ]; then
  echo "=== fuzz32: ${fuzz32_seconds}s per target"
  FUZZ_PRESET=fuzz32 FUZZ_SEEDS=small scripts/fuzz.sh "$fuzz32_seconds" || status=1
fi
exit $status
