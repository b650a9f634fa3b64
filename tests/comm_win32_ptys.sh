#!/bin/sh
# Runs a Win32 serial test program under Wine with a linked pty pair mapped as COM5 and COM6.
# Usage: comm_win32_ptys.sh <wine-run.sh> <test.exe> [test arguments...]
# The prefix is the one wine-run.sh uses: $QS_WINEPREFIX, else build/wine in the source tree.
set -u

emulator=$1
shift
top=$(cd "$(dirname "$0")/.." && pwd)
QS_WINEPREFIX="${QS_WINEPREFIX:-$top/build/wine}"
export QS_WINEPREFIX
devices="$QS_WINEPREFIX/dosdevices"
com5="$devices/com5"
com6="$devices/com6"

if [ ! -d "$devices" ]; then
  echo "comm_win32_ptys: no Wine prefix at $QS_WINEPREFIX (run the tests through scripts/with-wine.sh)" >&2
  exit 1
fi

# socat's chatter goes to a file: background helpers must not hold the test's pipes open.
log=$(mktemp "${TMPDIR:-/tmp}/qs-socat.XXXXXX")
rm -f "$com5" "$com6"
socat -d -d "pty,raw,echo=0,link=$com5" "pty,raw,echo=0,link=$com6" </dev/null >"$log" 2>&1 &
socat_pid=$!

cleanup() {
  kill "$socat_pid" 2>/dev/null
  wait "$socat_pid" 2>/dev/null
  rm -f "$com5" "$com6" "$log" "$log.out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Both links appear once socat has made the ptys; give up after ten seconds.
tries=0
while [ ! -e "$com5" ] || [ ! -e "$com6" ]; do
  if ! kill -0 "$socat_pid" 2>/dev/null; then
    echo "comm_win32_ptys: socat ended early:" >&2
    cat "$log" >&2
    exit 1
  fi
  tries=$((tries + 1))
  if [ "$tries" -gt 200 ]; then
    echo "comm_win32_ptys: the pty links did not appear within 10 s" >&2
    exit 1
  fi
  sleep 0.05
done

# The program's output goes through a file so that its closing marker can be checked: under
# Wine a program has been seen to exit 0 after its server aborted behind it.
out="$log.out"
marker="$(basename "$1" .exe): PASS"
"$emulator" "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
if [ "$status" -eq 0 ] && ! grep -q "$marker" "$out"; then
  echo "comm_win32_ptys: the test program exited 0 without its PASS marker" >&2
  status=1
fi
exit "$status"
