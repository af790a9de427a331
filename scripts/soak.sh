#!/usr/bin/env bash
# The soak: decodes a mix of files many times in one process, every mode, several instances
# alive at once, in the Linux library and in the 32-bit DLL under Wine, and checks that the
# results never change and that heap, blocks, locks, modules and handles return to where they
# were after the warm-up (tests/soak/soak_host.cpp). Not part of the test command: run it once
# per release. It takes a while (minutes natively, longer under Wine).
#
# Usage: scripts/soak.sh [DECODES] [native|win32]...
#   DECODES  decodes per build, default 10000
# The mix: fuzz/seeds/ and the decodable, corrupt and refused files of ../shared/corpus when it
# is present. Reports land in build/soak/.
set -euo pipefail
cd "$(dirname "$0")/.."

decodes=10000
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
  decodes=$1
  shift
fi
builds=("$@")
if [ ${#builds[@]} -eq 0 ]; then
  builds=(native win32)
fi

mkdir -p build/soak
list=build/soak/files.txt
{
  find fuzz/seeds -type f -name '*.jpg'
  for folder in decodable corrupt refuse; do
    [ -d "../shared/corpus/$folder" ] && find "../shared/corpus/$folder" -type f
  done
} | sort >"$list"
echo "soak: $(wc -l <"$list") files, $decodes decodes per build"

status=0
for preset in "${builds[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target soak_host
  report=build/soak/$preset.txt
  echo "=== soak: $preset"
  if [ "$preset" = win32 ]; then
    scripts/wine-prefix.sh build/win32 >/dev/null
    WINEPREFIX=$PWD/build/win32/wineprefix cmake/wine-run.sh build/win32/tests/soak_host.exe \
      --decodes "$decodes" "@$list" >"$report" 2>&1 || status=1
  else
    # glibc's per-thread cache keeps freed chunks that its statistics count as in use; without
    # it the heap figure returns exactly to its value after the warm-up when nothing leaks.
    GLIBC_TUNABLES=glibc.malloc.tcache_count=0 "build/$preset/tests/soak_host" --decodes "$decodes" "@$list" >"$report" 2>&1 || status=1
  fi
  cat "$report"
done
exit $status
