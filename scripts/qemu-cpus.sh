#!/usr/bin/env bash
# Runs the 32-bit Linux build (the native32 preset: clang, i386, no sanitizer, compiled for the
# DLL's baseline processor) under qemu-i386 as three real processors: one without SSE2
# (pentium2: only the plain routines may run, and any SSE2 instruction outside the dispatch
# stops the program), one with SSE2 but no AVX (Nehalem) and one with AVX2 (Haswell). The tests'
# level switch cannot catch an instruction that leaks into code outside the dispatch (inline
# functions shared by files compiled for different levels, auto-vectorised plain code, static
# initialisers); these runs can. For each model:
#   - the command-line tool decodes a fixed sample of files in 4093-byte and 64 KiB pieces, and
#     those of at most 100 KB also in 1-byte pieces; its rows (PAM on standard output) and exit
#     status must equal the native x86-64 build's;
#   - the unit tests of the decoder's routines pass (entropy decoding, reconstruction, band
#     output, the fast-against-plain suites); their corpus-wide cases are left to the other
#     builds, the tool's sample stands in for them here.
# The sample: images made here from scripts/make-sample.py with cjpeg (4:2:0 with restart
# markers, 4:2:2 with optimised tables, 4:4:4, grey; sizes off the MCU grid; a 4:2:0 page of
# 850 x 1100 for the fast block loop's long runs), and the corpus
# files listed below when ../shared/corpus is present (skipped, saying so, when it is absent):
# every sampling layout the corpus has, four components with and without the colour transform
# (one with subsampling), restart markers, a 1123 x 794 photograph and two damaged files. About three minutes on
# a two-core machine.
#
# Usage: scripts/qemu-cpus.sh   (configures and builds what it needs; qemu-user from
#                                scripts/install-deps.sh)
set -euo pipefail
ulimit -c 0  # a model that stops the program leaves no core file behind
cd "$(dirname "$0")/.."

# Haswell's model asks for a few features qemu's emulator lacks (and warns about); they have
# nothing to do with the routines, so the model goes without them.
models=(pentium2 Nehalem "Haswell-noTSX,-pcid,-x2apic,-tsc-deadline,-invpcid")
pieces=(1 4093 65536)
small_file=100000  # bytes: files up to this size are also fed in 1-byte pieces
routine_tests=(huffman_test fast_entropy_test fast_entropy_block_test reconstruct_test
  band_output_test simd_test)
# Cases that decode the whole corpus, or take minutes under the emulator: covered natively.
test_filter='-*Corpus*:InverseDct.AgreesWithTheRealTransform'
corpus_sample=(
  decodable/ck_poly_mp3jpg_pVG.jpg
  decodable/go_video-001_221212.jpg
  decodable/go_video-001_q50_410.jpg
  decodable/go_video-001_q50_411.jpg
  decodable/go_video-001_q50_422.jpg
  decodable/go_video-001_q50_440.jpg
  decodable/go_video-001_cmyk.jpg
  decodable/js_baseline_32x32x8_ycbcr_2x2_2x1_1x2_interleaved.jpg
  decodable/ird_ref_ycck.jpg
  decodable/ird_ref_rgb.jpg
  decodable/ird_ref_restarts.jpg
  decodable/ird_ref_mozilla_jpg-size-17x17.jpg
  decodable/ird_ref_mozilla_jpg-cmyk-2.jpg
  decodable/ird_bench_tower_grayscale.jpg
  decodable/ird_its_d22db5be7594c17a18a047ca9264ea0a.jpg
  corrupt/ird_crash_derive-huffman-codes-overflow.jpg
  corrupt/ird_crash_dc-predictor-overflow.jpg
)

command -v qemu-i386 >/dev/null || {
  echo "qemu-cpus: qemu-i386 is missing (scripts/install-deps.sh installs qemu-user)" >&2
  exit 1
}
for preset in native native32; do
  [ -f "build/$preset/build.ninja" ] || cmake --preset "$preset" >/dev/null
done
cmake --build --preset native --target jpegdec_cli
cmake --build --preset native32 --target jpegdec_cli "${routine_tests[@]}"
native_tool=build/native/tools/jpegdec/jpegdec
tool32=build/native32/tools/jpegdec/jpegdec

# The sample: generated images, then the corpus files.
work=build/native32/qemu-cpus
mkdir -p "$work"
sample=()
make_image() {  # make_image NAME WIDTH HEIGHT CJPEG-OPTIONS...
  local name=$1 width=$2 height=$3
  shift 3
  if [ ! -s "$work/$name.jpg" ]; then
    python3 scripts/make-sample.py "$work/page.ppm" "$width" "$height"
    cjpeg -baseline "$@" -outfile "$work/$name.jpg" "$work/page.ppm"
  fi
  sample+=("$work/$name.jpg")
}
make_image c420-rst 301 203 -quality 80 -sample 2x2,1x1,1x1 -restart 2
make_image c422-opt 250 130 -quality 92 -sample 2x1,1x1,1x1 -optimize
make_image c444 173 97 -quality 97 -sample 1x1,1x1,1x1
make_image grey 401 77 -quality 75 -grayscale
make_image c420-page 850 1100 -quality 75 -sample 2x2,1x1,1x1
rm -f "$work/page.ppm"
corpus=../shared/corpus
if [ -d "$corpus" ]; then
  for f in "${corpus_sample[@]}"; do
    sample+=("$corpus/$f")
  done
else
  echo "qemu-cpus: the corpus ($corpus) is absent: its files are skipped"
fi

status=0
started=$SECONDS
# What the tool gives for one file and piece size: a digest of the rows and the exit status.
declare -A expected
runs=()  # "FILE PIECE"
for f in "${sample[@]}"; do
  for p in "${pieces[@]}"; do
    if [ "$p" -lt 64 ] && [ "$(stat -c %s "$f")" -gt $small_file ]; then
      continue
    fi
    runs+=("$f $p")
  done
done
for run in "${runs[@]}"; do
  f=${run% *}
  p=${run##* }
  expected["$run"]=$(
    "$native_tool" -q -p "$p" -f pam "$f" - 2>/dev/null | md5sum | cut -c1-32
    echo "exit ${PIPESTATUS[0]}"
  )
done
for model in "${models[@]}"; do
  model_started=$SECONDS
  echo "=== qemu-i386 -cpu ${model%%,*}: the tool, ${#sample[@]} files, ${#runs[@]} runs"
  differ=0
  for run in "${runs[@]}"; do
    f=${run% *}
    p=${run##* }
    got=$(
      qemu-i386 -cpu "$model" "$tool32" -q -p "$p" -f pam "$f" - 2>/dev/null |
        md5sum | cut -c1-32
      echo "exit ${PIPESTATUS[0]}"
    )
    if [ "$got" != "${expected["$run"]}" ]; then
      echo "differs from the native build: ${f#"$corpus/"} in $p-byte pieces" \
        "(${got//$'\n'/, } against ${expected["$run"]//$'\n'/, })"
      differ=1
    fi
  done
  [ $differ = 0 ] && echo "rows and exit statuses equal the native build's" || status=1
  echo "=== qemu-i386 -cpu ${model%%,*}: routine tests"
  for t in "${routine_tests[@]}"; do
    log="$work/$t-${model%%,*}.log"
    # The emulator's notes on unemulated features go to standard error; only the test's own
    # output is kept.
    if qemu-i386 -cpu "$model" "build/native32/tests/$t" --gtest_filter="$test_filter" \
      >"$log" 2>&1; then
      passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log")
      skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below:/\1/p' "$log")
      echo "$t: ${passed:-0} passed, ${skipped:-0} skipped" \
        "$(grep -m1 -E '^this processor lacks' "$log" || true)"
    else
      echo "$t: FAILED (log in $log)"
      grep -E '^\[  FAILED  \]|Failure' "$log" | head -20
      status=1
    fi
  done
  echo "=== qemu-i386 -cpu ${model%%,*}: $((SECONDS - model_started)) s"
done
echo "=== qemu-cpus: $((SECONDS - started)) s"
exit $status
