#!/usr/bin/env bash
# Runs a command (the Windows build's test suite) with the project's Wine ready: the prefix
# under build/ made once, a resident wineserver, and a virtual display for the dialogs.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${QS_WINEPREFIX:-$top/build/wine}"
export QS_WINEPREFIX="$WINEPREFIX"
export WINEDEBUG=-all
mkdir -p "$(dirname "$WINEPREFIX")"

xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix in $WINEPREFIX (once)"
  wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
  # Without a window manager Wine's own decorations give dialogs their title bar.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  wineserver -w
fi

# Dialog tests need a display: a private virtual one, on a free display number. It must
# be there before Wine's desktop process starts, or Wine has no window driver.
if [ -z "${QS_NO_XVFB:-}" ]; then
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 </dev/null &
  xvfb_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  if [ ! -s "$display_file" ]; then
    echo "Xvfb did not start" >&2
    exit 1
  fi
  export DISPLAY=":$(head -n 1 "$display_file")"
  rm -f "$display_file"
fi

# A resident server makes each test program start in milliseconds; its pipes must not be
# the test runner's, or CTest waits for them to close.
wineserver -p >/dev/null 2>&1 </dev/null
# Wine's background services start with the first program and keep that program's pipes
# open: start them here, on /dev/null, before any test.
wineboot >/dev/null 2>&1 </dev/null

"$@"
