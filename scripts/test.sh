#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the trees, starts the Wine rig,
# runs the native tests, then the whole Windows suite on the 32-bit build and the
# programs labelled x64 (serial, engine, port enumeration, the window) on the 64-bit
# build, one build after the other on the one rig, and stops every process it started.
# Prints the counts per tree and in all. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

started=$SECONDS
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

trap '"$root/scripts/rig.sh" stop >/dev/null 2>&1 || true' EXIT
"$root/scripts/rig.sh" start
. "$BUILD_DIR/rig/env"

jobs=${KQ_TEST_JOBS:-2}
status=0
ctest --test-dir "$BUILD_DIR/native" --output-on-failure -j "$jobs" 2>&1 | tee "$BUILD_DIR/native-ctest.log" || status=1
# The fault matrix through the window takes about nine minutes; KQ_SKIP_MATRIX=1 leaves it
# out of a quick local run (CI always runs it).
matrix=()
[[ ${KQ_SKIP_MATRIX:-0} == 1 ]] && matrix=(-LE matrix)
ctest --test-dir "$BUILD_DIR/win32" --output-on-failure -j "$jobs" "${matrix[@]}" ${KQ_CTEST_ARGS:-} 2>&1 | tee "$BUILD_DIR/win32-ctest.log" || status=1
# After the 32-bit run, not beside it: both use the same COM ports and the same lock names.
ctest --test-dir "$BUILD_DIR/win64" --output-on-failure -j "$jobs" -L x64 ${KQ_CTEST_ARGS:-} 2>&1 | tee "$BUILD_DIR/win64-ctest.log" || status=1

summary() {
  local f=$1 line passed failed total
  line=$(grep -E "[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+" "$f" | tail -1 || true)
  [[ -n $line ]] || { echo "0 0"; return; }
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  echo "$((total - failed)) $failed"
}
passed=0; failed=0
for tree in native win32 win64; do
  read -r p f < <(summary "$BUILD_DIR/$tree-ctest.log")
  ((p + f > 0)) || { echo "no test ran in $tree" >&2; status=1; }
  echo "tests ($tree): $p passed, $f failed"
  passed=$((passed + p)); failed=$((failed + f))
done
((failed == 0)) || status=1
echo "tests: $passed passed, $failed failed"
echo "wall time: $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s (set-up, build and tests)"
exit $status
