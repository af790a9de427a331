#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer; or `fuzz32`, the same for 32-bit Linux) and runs each for a given time, then reports
# executions and findings per target.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  default 60
#   TARGET              fuzz_decoder_step, fuzz_public_api, fuzz_split_invariance,
#                       fuzz_fast_vs_plain, fuzz_libjpeg_oracle (default: all)
# Environment:
#   FUZZ_PRESET  fuzz (default, x86-64) or fuzz32 (i386: 32-bit size_t and pointers)
#   FUZZ_SEEDS   all (default): every folder of ../shared/corpus as seeds; small: decodable/ and
#                corrupt/ only (quicker start, for the short runs of the test command)
#   FUZZ_MAX_LEN longest input tried, default 16384
#   FUZZ_JOBS    parallel processes per target (libFuzzer -fork), default 1
#   FUZZ_RUNS    stop each target after this many executions (default: only the time limits it)
#
# Seeds: fuzz/seeds/ (the project's own small minimised corpus, kept in the repository) and the
# folders of ../shared/corpus, read in place (never copied). The corpus each target grows lives
# in build/PRESET/corpus/TARGET and is kept between runs. Crashes, leaks, hangs and out-of-memory
# inputs land in build/PRESET/findings/TARGET/; any finding makes the exit status 1.
# Reproduce one with: build/fuzz/fuzz/TARGET build/fuzz/findings/TARGET/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_decoder_step fuzz_public_api fuzz_split_invariance fuzz_fast_vs_plain
    fuzz_libjpeg_oracle)
fi
max_len=${FUZZ_MAX_LEN:-16384}
jobs=${FUZZ_JOBS:-1}
seeds_kind=${FUZZ_SEEDS:-all}
preset=${FUZZ_PRESET:-fuzz}
case $preset in
  fuzz | fuzz32) ;;
  *) echo "FUZZ_PRESET must be fuzz or fuzz32" >&2; exit 2 ;;
esac
build=build/$preset

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"

seed_dirs=(fuzz/seeds)
corpus=../shared/corpus
if [ -d "$corpus/decodable" ]; then
  case $seeds_kind in
    small) folders=(decodable corrupt) ;;
    *) folders=(decodable corrupt refuse fuzz) ;;
  esac
  for folder in "${folders[@]}"; do
    [ -d "$corpus/$folder" ] && seed_dirs+=("$corpus/$folder")
  done
else
  echo "note: $corpus is absent; fuzzing from the kept corpus and the dictionary only"
fi

# Leaks are checked per input; an allocation the system cannot grant returns null, as the
# library expects, instead of ending the run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
summary=()
limits=(-max_total_time="$seconds")
if [ -n "${FUZZ_RUNS:-}" ]; then
  limits+=(-runs="$FUZZ_RUNS")
fi
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  work=$build/corpus/$target
  findings=$build/findings/$target
  log=$build/$target.log
  mkdir -p "$work" "$findings"
  before=$(find "$findings" -type f | wc -l)
  echo "=== $preset/$target: ${seconds}s"
  parallel=()
  if [ "$jobs" -gt 1 ]; then
    parallel=(-fork="$jobs" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  fi
  set +e
  "$binary" "$work" "${seed_dirs[@]}" \
    "${limits[@]}" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
    -dict=fuzz/jpeg.dict -artifact_prefix="$findings/" -print_final_stats=1 \
    "${parallel[@]}" >"$log" 2>&1
  rc=$?
  set -e
  # A search that finds nothing must not end the script (pipefail): -fork prints no final
  # statistics, so the last status line's count is taken instead.
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | tail -1 | awk '{print $2}' || true)
  if [ -z "$execs" ]; then
    execs=$(grep -oE '^#[0-9]+' "$log" | tail -1 | tr -d '#' || true)
  fi
  after=$(find "$findings" -type f | wc -l)
  new=$((after - before))
  line="$preset/$target: ${execs:-0} executions in ${seconds}s, $new new findings"
  line+=" ($after kept), exit $rc"
  summary+=("$line")
  echo "$line"
  if [ "$rc" -ne 0 ] || [ "$new" -ne 0 ]; then
    status=1
    grep -E 'ERROR|SUMMARY|jpegdec fuzz finding|runtime error|Test unit written' "$log" | head -20 ||
      true
  fi
done

echo "=== fuzzing summary ($preset)"
printf '%s\n' "${summary[@]}"
exit $status
