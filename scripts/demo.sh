#!/usr/bin/env bash
# The main job: builds the library and its command-line host, makes a sample scanned page
# (generated here, compressed with cjpeg) and decodes it through the library, as a scanner
# driver would, to a PNG file. Installs what it needs first (as root on Debian 12): only the
# main group of scripts/install-deps.sh (compiler, CMake, libpng, cjpeg, Python), nothing of the
# tests, the 32-bit builds or Wine. The build tree is build/demo (preset demo: no tests).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh main

echo "=== building the library and the jpegdec tool (demo preset)"
cmake --preset demo >/dev/null
cmake --build --preset demo

out=build/demo
echo "=== making a sample page: $out/sample-page.jpg"
python3 scripts/make-sample.py "$out/sample-page.ppm"
cjpeg -quality 85 -sample 2x2 -restart 4 -outfile "$out/sample-page.jpg" "$out/sample-page.ppm"
rm -f "$out/sample-page.ppm"

echo "=== decoding it through the library (streaming mode, 4096-byte pieces)"
"$out/tools/jpegdec/jpegdec" --mode streaming --piece 4096 --stats \
  "$out/sample-page.jpg" "$out/sample-page.png"
echo "The decoded page is $(pwd)/$out/sample-page.png"
