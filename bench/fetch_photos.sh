#!/usr/bin/env bash
# Fetches the benchmark's photographs (bench/photos.tsv): downloads each Debian package that holds
# one with `apt-get download`, takes the listed file out of it with dpkg-deb, checks that jpegdec
# decodes it (when given the command-line host) and stores it as OUTPUT_DIR/NAME, with its origin
# (package, version, path inside the package) in OUTPUT_DIR/ORIGINS.tsv. A photograph already
# there is kept, so a second run downloads nothing. A package that cannot be had, a file no longer
# in it, or a file the decoder does not take is skipped with a message; the run goes on.
#
# Usage: bench/fetch_photos.sh OUTPUT_DIR [JPEGDEC-HOST]
set -uo pipefail
out=${1:?usage: fetch_photos.sh OUTPUT_DIR [JPEGDEC-HOST]}
host=${2:-}
list="$(dirname "$0")/photos.tsv"
mkdir -p "$out/debs"
out=$(cd "$out" && pwd)

# One download per package, whatever number of photographs it holds.
declare -A deb_of=()
fetch_package() {  # fetch_package PACKAGE: sets deb_of[PACKAGE] to the .deb, or to "" on failure
  local package=$1 log
  [ -n "${deb_of[$package]+set}" ] && return
  deb_of[$package]=""
  if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
    echo "skipped: no apt-get or dpkg-deb here to fetch $package" >&2
    return
  fi
  log=$( (cd "$out/debs" && apt-get download "$package") 2>&1)
  local deb
  deb=$(ls -t "$out/debs/${package}"_*.deb 2>/dev/null | head -1)
  if [ -z "$deb" ]; then
    echo "skipped: package $package could not be downloaded: $(echo "$log" | grep -E '^E:' | head -1)" >&2
    return
  fi
  deb_of[$package]=$deb
}

kept=0
skipped=0
while IFS=$'\t' read -r name package path description; do
  case "$name" in '#'* | '') continue ;; esac
  if [ -s "$out/$name" ] && [ -s "$out/$name.origin" ]; then
    kept=$((kept + 1))
    continue
  fi
  fetch_package "$package"
  deb=${deb_of[$package]}
  if [ -z "$deb" ]; then
    skipped=$((skipped + 1))
    continue
  fi
  if ! dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ".$path" >"$out/$name.tmp" 2>/dev/null ||
    [ ! -s "$out/$name.tmp" ]; then
    echo "skipped: $name: $path is not in $(basename "$deb")" >&2
    rm -f "$out/$name.tmp"
    skipped=$((skipped + 1))
    continue
  fi
  if [ -n "$host" ] && ! "$host" --mode buffered --quiet "$out/$name.tmp" "$out/$name.check.png"; then
    echo "skipped: $name: jpegdec does not decode $path of $package (outside its profile?)" >&2
    rm -f "$out/$name.tmp" "$out/$name.check.png"
    skipped=$((skipped + 1))
    continue
  fi
  rm -f "$out/$name.check.png"
  mv "$out/$name.tmp" "$out/$name"
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$package" "$(dpkg-deb -f "$deb" Version)" "$path" \
    "$description" >"$out/$name.origin"
  kept=$((kept + 1))
done <"$list"
rm -rf "$out/debs"

{
  printf 'name\tpackage\tversion\tpath inside the package\twhat it is\n'
  cat "$out"/*.origin 2>/dev/null
} >"$out/ORIGINS.tsv"
echo "photographs: $kept in $out, $skipped skipped" >&2
exit 0
