#!/usr/bin/env bash
# Runs the benchmarks: builds the `bench` preset (Release, -O2, no sanitizers), makes the
# benchmark pages (bench/make_images.sh), fetches the benchmark photographs (bench/fetch_photos.sh:
# real photographs from Debian packages, skipped with a message when they cannot be had), runs
# the micro-benchmarks and the side-by-side comparison, and writes the results to
# build/bench-results/ (results.md with the machine, the compiler flags, the photographs'
# origins, the targets with the worst cell of each, and the tables; compare.csv; throughput.png;
# micro.txt and micro.json; the peak memory of the jpegdec tool on a 600-dpi page to PNG,
# tool-memory.md).
# Installs what is missing first (scripts/install-deps.sh). Never run by the tests.
#
# Usage: scripts/bench.sh [--quick] [--win32] [--sse2] [-- COMPARE-OPTIONS...]
#   --quick   the 300-dpi pages and the photographs, at most 3 timed rounds each
#   --win32   instead: the 32-bit Windows build (preset bench-win32) under Wine, jpegdec's modes
#             against a 32-bit libjpeg-turbo (Debian's source package built with mingw by
#             bench/build_ljt_win32.sh; left out, with the reason, when it cannot be fetched or
#             built) and GDI+ (mode 1); results in build/bench-results/win32/
#   --sse2    also the SSE2 level, as a processor without AVX2 runs it: a second comparison with
#             jpegdec held to its SSE2 routines (bench/compare_levels: the library's code linked
#             statically with the tests' routine cap) against libjpeg-turbo held to its SSE2
#             routines (JSIMD_FORCESSE2=1, its documented switch); compare-sse2.md and .csv, and
#             a section of results.md. The usual comparison is the processor's own level.
#   COMPARE-OPTIONS go to bench/compare.cpp (e.g. --runs 9 --decoders jpegdec-s64k,ljt-box)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
win32=0
sse2=0
compare_options=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --win32) win32=1 ;;
    --sse2) sse2=1 ;;
    --) shift; compare_options+=("$@"); break ;;
    *) echo "usage: scripts/bench.sh [--quick] [--win32] [--sse2] [-- COMPARE-OPTIONS...]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$(id -u)" = 0 ]; then
  deps=(main bench)
  [ $win32 = 1 ] && deps+=(win32)
  scripts/install-deps.sh "${deps[@]}"
fi

echo "=== bench: configure and build"
cmake --preset bench >/dev/null
cmake --build --preset bench

images=build/bench-images
results=build/bench-results
echo "=== images ($images)"
if [ $quick = 1 ]; then
  bench/make_images.sh build/bench/bench/make_page "$images" --quick >/dev/null
  files=("$images"/a4-300-*.jpg)
  compare_options=(--runs 3 "${compare_options[@]}")
else
  bench/make_images.sh build/bench/bench/make_page "$images" >/dev/null
  files=("$images"/a4-300-*.jpg "$images"/a4-600-*.jpg)
fi
photos=build/bench-photos
echo "=== photographs ($photos)"
host=build/bench/tools/jpegdec/jpegdec
[ -x "$host" ] || host=""
bench/fetch_photos.sh "$photos" $host
for photo in "$photos"/photo-*.jpg; do
  [ -s "$photo" ] && files+=("$photo")
done

# Finds a Python that has matplotlib (Debian's python3-matplotlib belongs to the system Python,
# which another python3 earlier on PATH may not see).
plot() {  # plot CSV PNG TITLE
  local py
  for py in python3 /usr/bin/python3; do
    if command -v "$py" >/dev/null && "$py" -c 'import matplotlib' 2>/dev/null; then
      "$py" bench/plot.py "$@" && return 0
    fi
  done
  echo "(no matplotlib: chart skipped)" >&2
}

machine() {  # the machine, the compilers and the flags, as Markdown
  local build=$1 cxx version
  cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -1)
  version=$("$cxx" -dumpfullversion 2>/dev/null || echo '?')
  echo "## Machine and build"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) logical CPUs; load average when the run began: $load_at_start"
  echo "- CPU flags (SIMD): $(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -E '^(sse[0-9_]*|ssse3|avx[0-9a-z_]*|bmi[12]|fma|popcnt)$' | sort -u | tr '\n' ' ')"
  echo "- compiler: $(basename "$cxx") $version, release flags: \`$(sed -n 's/^CMAKE_CXX_FLAGS_RELEASE:[A-Z]*=//p' "$build/CMakeCache.txt")\` (C: \`$(sed -n 's/^CMAKE_C_FLAGS_RELEASE:[A-Z]*=//p' "$build/CMakeCache.txt")\`), no -march given (the toolchain's default: $("$cxx" -Q --help=target 2>/dev/null | sed -n 's/^ *-march=[[:space:]]*//p' | head -1))"
  if [ "$build" = build/bench-win32 ]; then
    echo "- run under $(wine --version 2>/dev/null || echo Wine); GDI+ is Wine's builtin gdiplus.dll (its JPEG decoding is done by the libjpeg inside Wine's windowscodecs.dll)"
    echo "- $ljt_note"
    echo "- $routines (bench/routines.exe, under Wine)"
  else
    echo "- libjpeg-turbo: Debian $(dpkg-query -W -f='${Version}\n' libjpeg62-turbo 2>/dev/null | head -1) (SIMD on); stb_image: Debian libstb-dev $(dpkg-query -W -f='${Version}\n' libstb-dev 2>/dev/null | head -1)"
  fi
  echo "- images: $images, made by bench/make_images.sh (cjpeg from libjpeg-turbo-progs $(dpkg-query -W -f='${Version}\n' libjpeg-turbo-progs 2>/dev/null | head -1))"
  echo
  echo "## Photographs"
  echo
  if [ -s "$photos/ORIGINS.tsv" ] && [ "$(wc -l <"$photos/ORIGINS.tsv")" -gt 1 ]; then
    echo "Taken by bench/fetch_photos.sh from Debian packages (bench/photos.tsv), as the packages ship them:"
    echo
    echo "| file | package | version | path inside the package | what it is |"
    echo "|---|---|---|---|---|"
    tail -n +2 "$photos/ORIGINS.tsv" | sed 's/\t/ | /g; s/^/| /; s/$/ |/'
  else
    echo "None: bench/fetch_photos.sh could not fetch them (see its messages)."
  fi
  echo
}

sse2_section() {  # sse2_section DIR: the SSE2-level comparison, when it was run, as Markdown
  if [ $sse2 = 1 ] && [ -s "$1/compare-sse2.md" ]; then
    echo
    echo "## SSE2 level: jpegdec and libjpeg-turbo held to their SSE2 routines"
    echo
    echo "jpegdec through bench/compare_levels (the library's code linked statically, its routine"
    echo "cap at SSE2); libjpeg-turbo with JSIMD_FORCESSE2=1. The tables above are the processor's"
    echo "own level."
    echo
    cat "$1/compare-sse2.md"
  fi
}

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
status=0
if [ $win32 = 1 ]; then
  out=$results/win32
  mkdir -p "$out"
  echo "=== libjpeg-turbo for 32-bit Windows (build/ljt-win32)"
  if bench/build_ljt_win32.sh build/ljt-win32; then
    ljt_note="libjpeg-turbo: $(cat build/ljt-win32/BUILT)"
  else
    rm -f build/ljt-win32/lib/libjpeg.a
    ljt_note="no 32-bit libjpeg-turbo: its source package could not be fetched or built, so \
the ratios are to GDI+"
    echo "=== $ljt_note" >&2
  fi
  echo "=== bench-win32: configure and build"
  cmake --preset bench-win32 >/dev/null
  cmake --build --preset bench-win32 --target compare compare_levels routines
  scripts/wine-prefix.sh build/bench-win32 >/dev/null
  echo "=== routine level under Wine"
  routines=$(WINEPREFIX=$PWD/build/bench-win32/wineprefix cmake/wine-run.sh \
    build/bench-win32/bench/routines.exe | tr -d '\r') || routines="(routines.exe failed)"
  echo "$routines"
  echo "=== comparison under Wine (jpegdec modes against libjpeg-turbo and GDI+)"
  WINEPREFIX=$PWD/build/bench-win32/wineprefix cmake/wine-run.sh \
    build/bench-win32/bench/compare.exe --markdown "$out/compare.md" --csv "$out/compare.csv" \
    "${compare_options[@]}" "${files[@]}" || status=1
  if [ $sse2 = 1 ]; then
    echo "=== comparison under Wine at the SSE2 level (jpegdec and libjpeg-turbo held to SSE2)"
    JSIMD_FORCESSE2=1 WINEPREFIX=$PWD/build/bench-win32/wineprefix cmake/wine-run.sh \
      build/bench-win32/bench/compare_levels.exe --level sse2 --markdown "$out/compare-sse2.md" \
      --csv "$out/compare-sse2.csv" "${compare_options[@]}" "${files[@]}" || status=1
  fi
  {
    echo "# jpegdec benchmark: win32 build under Wine ($(wine --version 2>/dev/null))"
    echo
    machine build/bench-win32
    cat "$out/compare.md"
    sse2_section "$out"
  } >"$out/results.md"
  plot "$out/compare.csv" "$out/throughput.png" \
    "jpegdec (win32, Wine) against libjpeg-turbo and GDI+"
  echo "=== results: $out/results.md, compare.csv, throughput.png"
  exit $status
fi

mkdir -p "$results"
echo "=== micro-benchmarks"
build/bench/bench/micro_bench --benchmark_out="$results/micro.json" \
  --benchmark_out_format=json | tee "$results/micro.txt" || status=1
echo "=== comparison"
build/bench/bench/compare --markdown "$results/compare.md" --csv "$results/compare.csv" \
  "${compare_options[@]}" "${files[@]}" || status=1
if [ $sse2 = 1 ]; then
  echo "=== comparison at the SSE2 level (jpegdec and libjpeg-turbo held to SSE2)"
  JSIMD_FORCESSE2=1 build/bench/bench/compare_levels --level sse2 \
    --markdown "$results/compare-sse2.md" --csv "$results/compare-sse2.csv" \
    "${compare_options[@]}" "${files[@]}" || status=1
fi
# Peak memory (maximum resident set) of the whole jpegdec tool process decoding a 600-dpi A4
# colour page to PNG, measured with GNU time; the 300-dpi page with --quick.
echo "=== peak memory of the jpegdec tool"
dpi=600
[ $quick = 1 ] && dpi=300
page=$images/a4-$dpi-c420-q92.jpg
{
  echo "## Command-line tool: peak memory"
  echo
  echo "The whole \`jpegdec\` process (build/bench/tools/jpegdec/jpegdec), maximum resident set"
  echo "size from GNU time, decoding \`$(basename "$page")\` ($dpi-dpi A4 colour, 4:2:0, q92) to PNG."
  echo
  echo "| mode | peak memory |"
  echo "|---|---|"
  for mode in streaming buffered auto; do
    kib=$(/usr/bin/time -f %M build/bench/tools/jpegdec/jpegdec --quiet --mode "$mode" "$page" \
      "$results/tool-$mode.png" 2>&1 >/dev/null | tail -1) || kib="failed"
    rm -f "$results/tool-$mode.png"
    if [[ $kib =~ ^[0-9]+$ ]]; then
      echo "| $mode | $kib KiB ($(((kib + 512) / 1024)) MiB) |"
    else
      echo "| $mode | (the tool failed) |"
    fi
  done
  kib=$(/usr/bin/time -f %M djpeg -outfile /dev/null "$page" 2>&1 | tail -1)
  echo "| djpeg (libjpeg-turbo) to PPM, for comparison | $kib KiB |"
} >"$results/tool-memory.md"
cat "$results/tool-memory.md"

{
  echo "# jpegdec benchmark"
  echo
  machine build/bench
  cat "$results/compare.md"
  sse2_section "$results"
  echo
  cat "$results/tool-memory.md"
  echo
  echo "## Micro-benchmarks"
  echo
  echo '```'
  cat "$results/micro.txt"
  echo '```'
} >"$results/results.md"
plot "$results/compare.csv" "$results/throughput.png" "jpegdec against libjpeg-turbo and stb_image"
echo "=== results: $results/results.md, compare.csv, throughput.png, micro.txt"
exit $status
