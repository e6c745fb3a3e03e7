#!/bin/sh
# Runs a Windows program under Wine with the project's prefix (build/wine unless WINEPREFIX is
# set), quietly. The tests of the Windows build run through it.
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
