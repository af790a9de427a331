#!/usr/bin/env bash
# Runs a Windows test program under Wine with the build tree's own prefix. The prefix is made
# (and its server started) by scripts/wine-prefix.sh before ctest runs.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix of the build tree}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEARCH=win32
exec wine "$@"
