#!/usr/bin/env bash
# Makes the fuzz targets' own seeds in fuzz/seeds/: the images fuzz/make_seeds.cpp encodes (built
# with the native preset). With --grow SECONDS, each 64-bit fuzz target then runs that long from
# those seeds alone (never from ../shared/corpus, whose files must not enter the repository), and
# what it found is merged in, minimised: only inputs that add coverage for some target are kept.
#
# Usage: scripts/make-seeds.sh [--grow SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

grow=0
if [ "${1:-}" = "--grow" ]; then
  grow=${2:?--grow needs a number of seconds}
fi

cmake --preset native >/dev/null
cmake --build --preset native --target make_fuzz_seeds
work=build/seeds
rm -rf "$work"
mkdir -p "$work/generated"
build/native/tests/make_fuzz_seeds "$work/generated"

if [ "$grow" -eq 0 ]; then
  rm -rf fuzz/seeds
  mkdir -p fuzz/seeds
  cp "$work/generated"/* fuzz/seeds/
else
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:detect_leaks=1}
  targets=(fuzz_decoder_step fuzz_public_api fuzz_split_invariance fuzz_fast_vs_plain
    fuzz_libjpeg_oracle)
  for target in "${targets[@]}"; do
    mkdir -p "$work/grown/$target"
    build/fuzz/fuzz/"$target" "$work/grown/$target" "$work/generated" -max_total_time="$grow" \
      -max_len=16384 -timeout=20 -rss_limit_mb=2048 -dict=fuzz/jpeg.dict \
      -artifact_prefix="$work/" >"$work/$target.log" 2>&1 || echo "$target: a finding (see $work)"
  done
  mkdir -p "$work/merged"
  cp "$work/generated"/* "$work/merged/"
  for target in "${targets[@]}"; do
    build/fuzz/fuzz/"$target" -merge=1 -max_len=16384 -timeout=20 -rss_limit_mb=2048 \
      "$work/merged" "$work/grown/$target" >>"$work/merge.log" 2>&1
  done
  rm -rf fuzz/seeds
  mkdir -p fuzz/seeds
  cp "$work/merged"/* fuzz/seeds/
fi
echo "fuzz/seeds: $(find fuzz/seeds -type f | wc -l) files, $(du -sh fuzz/seeds | cut -f1)"
