#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the trees, starts the Wine rigs,
# runs the native tests, the whole Windows suite on the 32-bit build and the programs
# labelled x64 (serial, engine, port enumeration, the window, and the firmware program's
# cases on the Windows driver model) on the 64-bit build, side by side, and stops every
# process it started.
# Prints the counts per tree and in all, and how the 32-bit programs ran: natively, or under
# qemu-user on a machine that refuses 32-bit x86 code (scripts/x86-programs.sh). With
# KQ_SKIP_X86=1 the 32-bit runs are left out, and the last lines say so.
# Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

started=$SECONDS
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

# Four rigs, so that the runs that each drive the installer's window on COM1 go on at once:
# the 32-bit suite, the two halves of its fault matrix (which mostly waits on the
# installer's own time limits), and the 64-bit programs. The native tests need no rig and
# run beside them. Each run writes its own log, printed once all have ended.
x86_mode=$("$root/scripts/x86-programs.sh" mode)
skip_x86=0
[[ ${KQ_SKIP_X86:-0} == 1 ]] && skip_x86=1
rigs=(main matrix1 matrix2 x64)
((skip_x86)) && rigs=(x64)
rig_name() { [[ $1 == main ]] || echo "$1"; }
stop_rigs() {
  local r
  for r in "${rigs[@]}"; do "$root/scripts/rig.sh" stop $(rig_name "$r") >/dev/null 2>&1 || true; done
}
trap stop_rigs EXIT
for r in "${rigs[@]}"; do "$root/scripts/rig.sh" start $(rig_name "$r"); done
rig_env() { [[ $1 == main ]] && echo "$BUILD_DIR/rig/env" || echo "$BUILD_DIR/rig-$1/env"; }

# wine-run.sh collects here the rows a program names as not run under emulation.
export KQ_NOT_RUN_LOG=$BUILD_DIR/not-run-under-emulation.txt
: >"$KQ_NOT_RUN_LOG"
jobs=${KQ_TEST_JOBS:-2}
# run LOG RIG TREE CTEST-ARGS...: one ctest run in the background, its output in LOG.
pids=()
run() {
  local log=$1 r=$2 tree=$3; shift 3
  (
    [[ $r == none ]] || . "$(rig_env "$r")"
    local rc=0 began=$SECONDS
    ctest --test-dir "$BUILD_DIR/$tree" --output-on-failure -j "$jobs" "$@" ${KQ_CTEST_ARGS:-} >"$log" 2>&1 || rc=$?
    echo "test: $(basename "$log" -ctest.log) ended after $((SECONDS - began)) s:" \
         "$(grep -oE '[0-9]+% tests passed.*' "$log" | tail -1)"
    exit $rc
  ) &
  pids+=($!)
}
logs=("$BUILD_DIR/native-ctest.log")
run "$BUILD_DIR/native-ctest.log" none native
if ((!skip_x86)); then
  logs+=("$BUILD_DIR/win32-ctest.log")
  run "$BUILD_DIR/win32-ctest.log" main win32 -LE matrix
fi
# KQ_SKIP_MATRIX=1 leaves the fault matrix out of a quick local run (CI always runs it).
if [[ ${KQ_SKIP_MATRIX:-0} != 1 ]] && ((!skip_x86)); then
  for half in 1 2; do
    logs+=("$BUILD_DIR/win32-matrix$half-ctest.log")
    run "$BUILD_DIR/win32-matrix$half-ctest.log" "matrix$half" win32 -L matrix -R "_${half}of2\$"
  done
fi
logs+=("$BUILD_DIR/win64-ctest.log")
run "$BUILD_DIR/win64-ctest.log" x64 win64 -L x64
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for log in "${logs[@]}"; do
  echo "=== $(basename "$log" .log)"
  cat "$log"
done

summary() {
  local f=$1 line passed failed total
  line=$(grep -E "[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+" "$f" | tail -1 || true)
  [[ -n $line ]] || { echo "0 0"; return; }
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  echo "$((total - failed)) $failed"
}
passed=0; failed=0
for log in "${logs[@]}"; do
  tree=$(basename "$log" -ctest.log)
  read -r p f < <(summary "$log")
  ((p + f > 0)) || { echo "no test ran in $tree" >&2; status=1; }
  echo "tests ($tree): $p passed, $f failed"
  passed=$((passed + p)); failed=$((failed + f))
done
((failed == 0)) || status=1
# Rows a 32-bit program leaves to the 64-bit build where an emulator, not the program, decides
# their outcome (the code Wine reports for a fault): named, never counted as run.
[[ -s $KQ_NOT_RUN_LOG ]] && sort -u "$KQ_NOT_RUN_LOG" | sed 's/^/32-bit row /'
if ((skip_x86)); then
  echo "32-bit programs: not run (KQ_SKIP_X86=1; how this machine runs them: $x86_mode)"
  echo "NOT TESTED: the handed-out program, KQ7750Installer-x86.exe, and every 32-bit test program"
elif [[ $x86_mode == native ]]; then
  echo "32-bit programs: native"
else
  echo "32-bit programs: under $x86_mode"
fi
echo "tests: $passed passed, $failed failed"
echo "wall time: $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s (set-up, build and tests)"
exit $status
