#!/usr/bin/env bash
# Makes (once) and boots the 32-bit Wine prefix of a win32 build tree, and keeps its server
# running, so that ctest's test programs start quickly and never wait on Wine's first boot.
# Usage: scripts/wine-prefix.sh BUILD_DIR
set -euo pipefail
build_dir=${1:?usage: wine-prefix.sh BUILD_DIR}
mkdir -p "$build_dir"
export WINEPREFIX
WINEPREFIX=$(cd "$build_dir" && pwd)/wineprefix
export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
# Standard streams detached: Wine's server must not hold ctest's pipes open.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || true
fi
wineserver -p </dev/null >/dev/null 2>&1 &
timeout 120 wineboot </dev/null >/dev/null 2>&1 || true
timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
echo "Wine prefix ready: $WINEPREFIX"
