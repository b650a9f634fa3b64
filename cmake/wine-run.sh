#!/bin/sh
# Starts a program of the Windows build under Wine, in the project's own Wine prefix.
top=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${QS_WINEPREFIX:-$top/build/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
