#!/usr/bin/env bash
# Builds and runs every test of both builds: native (also under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded test under ThreadSanitizer) and win32 (under
# 32-bit Wine, once more with UndefinedBehaviorSanitizer in trap mode, since mingw has no
# AddressSanitizer), and the test suite for 32-bit Linux under AddressSanitizer (native32-asan:
# the DLL's pointer and size widths); runs the 32-bit Linux build under qemu-i386 as a processor
# without SSE2, one without AVX and one with AVX2 (scripts/qemu-cpus.sh: the tool's rows on a
# fixed sample against the native build's, and the routine tests); then gives each libFuzzer
# target a short run, in the 64-bit and the 32-bit fuzz build. Installs what is missing first.
#
# A part whose packages could not be installed, or whose build could not be configured, is not
# run; the summary at the end names every part that failed or could not run, and the status is
# then 1: a run is green only when every part ran and passed.
#   JPEGDEC_FUZZ_SECONDS    seconds per fuzz target, 64-bit build (default 45; 0 leaves out
#                           fuzzing, as asked, which the summary says)
#   JPEGDEC_FUZZ32_SECONDS  seconds per fuzz target, 32-bit build (default 15; 0 leaves it out)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

scripts/install-deps.sh || echo "=== some packages could not be installed (above)" >&2

passed=()
failed=()
not_run=()  # "part: why"
left_out=()

# The install-deps groups each part needs.
declare -A needs=(
  [native]="main tests" [native-asan]="main tests" [native-tsan]="main tests"
  [native32-asan]="main tests linux32" [win32]="main tests win32" [win32-ubsan]="main tests win32"
  [qemu]="main tests linux32" [fuzz]="main tests" [fuzz32]="main tests linux32"
)

# Whether a part can run: its packages are installed (else noted as not run, with which).
can_run() {
  local part=$1 why groups
  read -r -a groups <<<"${needs[$part]}"
  if ! why=$(scripts/install-deps.sh --check "${groups[@]}" 2>&1); then
    not_run+=("$part: ${why//$'\n'/; }")
    return 1
  fi
}

presets=(native native-asan native-tsan native32-asan win32 win32-ubsan)
built=()
for preset in "${presets[@]}"; do
  can_run "$preset" || continue
  echo "=== ${preset}: configure and build"
  if ! cmake --preset "$preset" >/dev/null; then
    not_run+=("$preset: the configure step failed (above)")
  elif ! cmake --build --preset "$preset"; then
    failed+=("$preset: the build failed")
  else
    built+=("$preset")
  fi
done

for preset in "${built[@]}"; do
  echo "=== ${preset}: tests"
  if [[ $preset == win32* ]]; then
    scripts/wine-prefix.sh "build/$preset"  # each win32 tree has its own Wine prefix
  fi
  if ctest --preset "$preset"; then
    passed+=("$preset")
  else
    failed+=("$preset: tests failed")
  fi
done

if can_run qemu; then
  echo "=== qemu-i386: the 32-bit build as processors without SSE2, without AVX, with AVX2"
  if scripts/qemu-cpus.sh; then passed+=(qemu); else failed+=("qemu: failed"); fi
fi

fuzz_seconds=${JPEGDEC_FUZZ_SECONDS:-45}
fuzz32_seconds=${JPEGDEC_FUZZ32_SECONDS:-15}
if [ "$fuzz_seconds" -le 0 ]; then
  left_out+=("fuzz and fuzz32 (JPEGDEC_FUZZ_SECONDS=0)")
elif can_run fuzz; then
  echo "=== fuzz: ${fuzz_seconds}s per target"
  if FUZZ_SEEDS=small scripts/fuzz.sh "$fuzz_seconds"; then
    passed+=(fuzz)
  else
    failed+=("fuzz: failed, or a finding")
  fi
fi
if [ "$fuzz_seconds" -le 0 ]; then
  :
elif [ "$fuzz32_seconds" -le 0 ]; then
  left_out+=("fuzz32 (JPEGDEC_FUZZ32_SECONDS=0)")
elif can_run fuzz32; then
  echo "=== fuzz32: ${fuzz32_seconds}s per target"
  if FUZZ_PRESET=fuzz32 FUZZ_SEEDS=small scripts/fuzz.sh "$fuzz32_seconds"; then
    passed+=(fuzz32)
  else
    failed+=("fuzz32: failed, or a finding")
  fi
fi

echo "=== summary"
echo "passed: ${passed[*]:-(none)}"
for part in "${left_out[@]}"; do
  echo "left out as asked: $part"
done
for part in "${failed[@]}"; do
  echo "FAILED: $part"
done
for part in "${not_run[@]}"; do
  echo "COULD NOT RUN: $part"
done
if [ ${#failed[@]} -gt 0 ] || [ ${#not_run[@]} -gt 0 ]; then
  echo "=== the test command is not green: ${#failed[@]} part(s) failed, ${#not_run[@]} could not run"
  exit 1
fi
echo "=== every part ran and passed"
