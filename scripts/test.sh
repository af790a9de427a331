#!/usr/bin/env bash
# Builds and runs every test of both builds: native (also under AddressSanitizer and
# UndefinedBehaviorSanitizer) and win32 (under 32-bit Wine). Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

presets=(native native-asan win32)
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
for preset in "${presets[@]}"; do
  echo "=== ${preset}: tests"
  if [[ $preset == win32* ]]; then
    scripts/wine-prefix.sh "build/$preset"
  fi
  ctest --preset "$preset" || status=1
done
exit $status
