#!/usr/bin/env bash
# Runs each fuzz target for a number of seconds on its committed seeds plus a working corpus
# under build/fuzz/, prints how many inputs each executed, and fails if any target crashed.
# Usage: run_fuzz.sh SECONDS TARGET...
set -euo pipefail

seconds=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
out=$top/build/fuzz
# The settings target writes its file for every input: far faster on a RAM disk.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

max_len() {
  case $1 in
    client_stream) echo 4096 ;;
    settings_file) echo 512 ;;
    *) echo 256 ;;
  esac
}

status=0
for target in "$@"; do
  work=$out/corpus/$target
  artifacts=$out/artifacts/$target
  log=$out/$target.log
  mkdir -p "$work" "$artifacts"
  options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10
           -max_len="$(max_len "$target")" -artifact_prefix="$artifacts/")
  if [ -f "$here/$target.dict" ]; then options+=(-dict="$here/$target.dict"); fi

  rc=0
  nice "$out/tests/fuzz_$target" "${options[@]}" "$work" "$here/corpus/$target" >"$log" 2>&1 || rc=$?

  # libFuzzer's closing figures; after a crash only its last progress line is left.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ -z "$runs" ]; then runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1); fi
  if [ -z "$runs" ]; then runs=$(sed -n 's/^#\([0-9]*\)[[:space:]].*/\1/p' "$log" | tail -n 1); fi
  if [ "$rc" -eq 0 ]; then
    printf 'fuzz_%-15s %10s executions in %s s\n' "$target" "${runs:-?}" "$seconds"
  else
    printf 'fuzz_%-15s FAILED (exit %s) after about %s executions; log: %s\n' \
      "$target" "$rc" "${runs:-?}" "$log"
    grep -m 5 -E 'fuzz property broken|ERROR:|SUMMARY:|Test unit written' "$log" || true
    status=1
  fi
done
exit $status
