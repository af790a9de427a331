#!/usr/bin/env bash
# Line and branch coverage of src/, measured twice with clang's source-based coverage (the
# `coverage` preset): once for the test suite (ctest), once for the fuzz targets replaying their
# corpora (fuzz/seeds, the corpora the fuzz builds have grown under build/fuzz*/corpus/, and the
# folders of ../shared/corpus when present). Prints a table per file for each, then one line per
# directory of src/ for the fuzz replay and, last, for the test suite:
#   src/decoder lines 97.1% branches 88.4%
#
# Usage: scripts/coverage.sh [--tests-only | --fuzz-only]
# Reports land in build/coverage/report/ (tests.txt, fuzz.txt, and llvm-cov's JSON summaries);
# `llvm-cov show` with the profiles there shows the lines left unexecuted.
set -euo pipefail
cd "$(dirname "$0")/.."

tests_only=0
fuzz_only=0
case ${1:-} in
  --tests-only) tests_only=1 ;;
  --fuzz-only) fuzz_only=1 ;;
esac

build=build/coverage
profiles=$build/profiles
report=$build/report
cmake --preset coverage >/dev/null
cmake --build --preset coverage
mkdir -p "$profiles" "$report"
if [ "$fuzz_only" -eq 0 ]; then
  rm -rf "$profiles/tests"
fi
rm -rf "$profiles/fuzz"
mkdir -p "$profiles/tests" "$profiles/fuzz"

# The test suite. A failing test still leaves its profile; the figures are printed either way.
# Not the installed-package check: an instrumented library exports the profile runtime's symbols
# (and, unoptimised, standard-library templates), which that check rightly refuses.
tests_status=0
if [ "$fuzz_only" -eq 0 ]; then
  echo "=== coverage: test suite"
  set +e
  LLVM_PROFILE_FILE="$PWD/$profiles/tests/%m-%p.profraw" \
    ctest --preset coverage -E '^packaging_install_consumer$' >"$report/ctest.log" 2>&1
  tests_status=$?
  set -e
  tail -3 "$report/ctest.log"
  llvm-profdata merge -sparse "$profiles"/tests/*.profraw -o "$report/tests.profdata"
fi

# Every program of the build that holds the library's code (test programs, the shared library,
# the command-line host, the examples); llvm-cov takes the first as the object, the rest with
# -object.
mapfile -t test_objects < <(find "$build/tests" "$build/src" "$build/tools" -type f \
  \( -name '*_test' -o -name 'libjpegdec.so*' -o -name jpegdec -o -name 'example_*' \) \
  -perm -u+x | sort)

fuzz_targets=(fuzz_decoder_step fuzz_public_api fuzz_split_invariance fuzz_fast_vs_plain
  fuzz_libjpeg_oracle)
if [ "$tests_only" -eq 0 ]; then
  echo "=== coverage: fuzz corpora replayed"
  for target in "${fuzz_targets[@]}"; do
    dirs=(fuzz/seeds)
    for kept in build/fuzz/corpus/$target build/fuzz32/corpus/$target; do
      [ -d "$kept" ] && dirs+=("$kept")
    done
    for folder in decodable corrupt refuse fuzz; do
      [ -d "../shared/corpus/$folder" ] && dirs+=("../shared/corpus/$folder")
    done
    # -runs=0: every input once, no mutation. Same length cap as the campaigns.
    LLVM_PROFILE_FILE="$PWD/$profiles/fuzz/$target-%p.profraw" \
      "$build/fuzz/$target" -runs=0 -max_len=16384 -timeout=60 -rss_limit_mb=4096 "${dirs[@]}" \
      >"$report/$target.log" 2>&1 ||
      echo "$target: replay ended with an error (see $report/$target.log)"
    { grep -E '^#[0-9]+[[:space:]]+DONE' "$report/$target.log" || true; } | tail -1 |
      sed "s/^/$target: /"
  done
  llvm-profdata merge -sparse "$profiles"/fuzz/*.profraw -o "$report/fuzz.profdata"
fi

# Per-file and per-directory figures of the files under src/, from llvm-cov's summary.
summarise() {
  python3 - "$1" "$PWD/src/" <<'EOF'
import json
import sys

summary_path, src = sys.argv[1], sys.argv[2]
files = json.load(open(summary_path))["data"][0]["files"]
rows = {}
for f in files:
    if not f["filename"].startswith(src):
        continue
    name = "src/" + f["filename"][len(src):]
    s = f["summary"]
    rows[name] = (s["lines"]["covered"], s["lines"]["count"],
                  s["branches"]["covered"], s["branches"]["count"])

def pct(covered, count):
    return 100.0 * covered / count if count else 100.0

print(f"{'file':58} {'lines':>17} {'branches':>17}")
for name in sorted(rows):
    lc, ln, bc, bn = rows[name]
    print(f"{name:58} {lc:5}/{ln:5} {pct(lc, ln):5.1f}% {bc:5}/{bn:5} {pct(bc, bn):5.1f}%")
dirs = {}
for name, (lc, ln, bc, bn) in rows.items():
    top = "/".join(name.split("/")[:2])
    d = dirs.setdefault(top, [0, 0, 0, 0])
    for i, v in enumerate((lc, ln, bc, bn)):
        d[i] += v
print()
for top in sorted(dirs):
    lc, ln, bc, bn = dirs[top]
    print(f"{top} lines {pct(lc, ln):.1f}% branches {pct(bc, bn):.1f}%")
EOF
}

report_for() {
  local name=$1
  shift
  local objects=("$@")
  local args=("${objects[0]}")
  for object in "${objects[@]:1}"; do
    args+=(-object "$object")
  done
  llvm-cov export -summary-only -instr-profile="$report/$name.profdata" "${args[@]}" \
    >"$report/$name.json"
  summarise "$report/$name.json" >"$report/$name.txt"
}

if [ "$tests_only" -eq 0 ]; then
  fuzz_objects=()
  for target in "${fuzz_targets[@]}"; do
    fuzz_objects+=("$build/fuzz/$target")
  done
  report_for fuzz "${fuzz_objects[@]}"
  echo
  echo "=== fuzz corpora replayed: coverage of src/"
  cat "$report/fuzz.txt"
fi
if [ -f "$report/tests.profdata" ]; then
  report_for tests "${test_objects[@]}"
  echo
  echo "=== test suite: coverage of src/"
  if [ "$tests_status" -ne 0 ]; then
    echo "(some tests failed: see $report/ctest.log)"
  fi
  cat "$report/tests.txt"
fi
