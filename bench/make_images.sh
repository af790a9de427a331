#!/usr/bin/env bash
# Makes the benchmark's images: synthetic A4 scanner pages at 300 and 600 dpi, colour and grey,
# drawn by make_page (fixed seeds, so every run gets the same pages) and encoded by cjpeg
# (libjpeg-turbo-progs) at quality 75 and 92, with 4:2:0, 4:2:2 and 4:4:4 sampling, standard
# Huffman tables, baseline; plus one page per resolution with a restart marker every MCU row.
# Existing images are kept, so a second run costs nothing.
#
# Usage: bench/make_images.sh MAKE_PAGE OUTPUT_DIR [--quick]
#   --quick  the 300-dpi pages only
set -euo pipefail
make_page=${1:?usage: make_images.sh MAKE_PAGE OUTPUT_DIR [--quick]}
out=${2:?usage: make_images.sh MAKE_PAGE OUTPUT_DIR [--quick]}
resolutions=(300 600)
if [ "${3:-}" = "--quick" ]; then
  resolutions=(300)
fi
mkdir -p "$out"

declare -A sampling=([c420]=2x2,1x1,1x1 [c422]=2x1,1x1,1x1 [c444]=1x1,1x1,1x1)

encode() {  # encode SOURCE NAME CJPEG-OPTIONS...
  local source=$1 name=$2
  shift 2
  if [ ! -s "$out/$name.jpg" ]; then
    cjpeg -baseline "$@" -outfile "$out/$name.jpg.tmp" "$source"
    mv "$out/$name.jpg.tmp" "$out/$name.jpg"
  fi
}

for dpi in "${resolutions[@]}"; do
  colour="$out/a4-$dpi-colour.ppm"
  grey="$out/a4-$dpi-grey.pgm"
  need_colour=0
  need_grey=0
  for q in 75 92; do
    for s in c420 c422 c444; do
      [ -s "$out/a4-$dpi-$s-q$q.jpg" ] || need_colour=1
    done
    [ -s "$out/a4-$dpi-grey-q$q.jpg" ] || need_grey=1
  done
  [ -s "$out/a4-$dpi-c420-q75-rst.jpg" ] || need_colour=1
  if [ $need_colour = 1 ]; then
    "$make_page" "$dpi" colour 1 "$colour"
    for q in 75 92; do
      for s in c420 c422 c444; do
        encode "$colour" "a4-$dpi-$s-q$q" -quality $q -sample "${sampling[$s]}"
      done
    done
    encode "$colour" "a4-$dpi-c420-q75-rst" -quality 75 -sample "${sampling[c420]}" -restart 1
    rm -f "$colour"
  fi
  if [ $need_grey = 1 ]; then
    "$make_page" "$dpi" grey 2 "$grey"
    for q in 75 92; do
      encode "$grey" "a4-$dpi-grey-q$q" -quality $q
    done
    rm -f "$grey"
  fi
done
ls -l "$out"/*.jpg
