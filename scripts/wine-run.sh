#!/usr/bin/env bash
# Runs one Windows test program under Wine for CTest. Wine starts its helper
# processes (the desktop's explorer.exe, services) on demand from whichever
# program first needs them, and they inherit that program's output; were that
# CTest's pipe, CTest would wait for it to close until its time-out. The program's
# output therefore goes to a file, which is printed once the program has ended.
set -u
out=$(mktemp "${TMPDIR:-/tmp}/kq-wine-run.XXXXXX")
wine "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
# A crash ends the program through Wine's debugger with the status 0: a program that never
# printed GoogleTest's closing count has not passed.
if ((status == 0)) && ! grep -q '^\[  PASSED  \]' "$out"; then
  echo "wine-run: $1 ended before its tests did" >&2
  status=1
fi
# Rows the program left to another build because an emulator, not the program, would decide
# them (GoogleTest's skip, naming itself so): collected for the suite's summary.
if [[ -n ${KQ_NOT_RUN_LOG:-} ]]; then
  grep -ho 'not run under emulation: .*' "$out" | tr -d '\r' >>"$KQ_NOT_RUN_LOG" || true
fi
rm -f "$out"
exit $status
