#!/usr/bin/env bash
# Benchmarks of the installer under Wine against the loader simulator (figures only,
# nothing asserted): per run, a full update through the window paced at 115200 baud and
# unpaced, the raw one-thread echo loop paced and unpaced, and a paced update with the
# host-path trace build (KQ_TRACE=ON, its own tree). Each step runs for the 32-bit program
# (x86) and the 64-bit one (x64) in turn, each driven by the benchmark programs of its own
# build. Prints the figures of each run and their median per program, and draws the
# host-path histogram of each.
#
#   scripts/bench.sh [--runs N] [--com N] [--arch x86|x64|both] [--before COMMIT] [--update-docs]
#   scripts/bench.sh --image-check [--arch x86|x64|both]
#   scripts/bench.sh --windows-path [--runs N] [--arch x86|x64|both]
#
# --arch picks the program (default both); where 32-bit programs run only under an emulator
#   (scripts/x86-programs.sh), the 64-bit one alone, and the run says so. --before COMMIT also builds the 64-bit installer of
#   that commit (from `git archive`, in its own tree) and runs its two updates in every run
#   beside the x64 program's and the raw loop's, so that before and after are measured on the
#   same machine at the same hour (earlier commits had only the 64-bit build).
# --update-docs copies the histogram of the 32-bit program (of the 64-bit one when only that
#   ran) to docs/host-path-histogram.png.
# Every run also times the check of the four images that Update Instrument makes before its
#   first command; --image-check times only that (no update, no trace build): a minute or so.
# --windows-path measures the Windows path instead: the whole update through the engine over
#   the model of the Windows serial driver (tests/serial/SerialTestKit.h), the loader pacing
#   at 115200 baud, for the rest as built, the rests charged as a default Windows timer
#   charges them, and an adapter with a 16 ms and a 1 ms latency timer. The two widths run
#   side by side (x86 on COM4, x64 on COM6) on a rig named winpath, so a test rig may run
#   beside it. Prints the Blackfin transfer's median per case and its ratio to the wire
#   floor. Each transfer takes one and a half to three and a half minutes: about 30 minutes
#   for three runs.
# Results go to $BUILD_DIR/bench/<time>/<arch>/. Uses its own rig (scripts/rig.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
mkdir -p "$BUILD_DIR"
build=$(cd "$BUILD_DIR" && pwd)
runs=3
com=6
update_docs=0
before=
arch=both
image_check_only=0
windows_path=0
while (($#)); do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --com) com=$2; shift 2 ;;
    --arch) arch=$2; shift 2 ;;
    --before) before=$(git -C "$root" rev-parse --verify "$2^{commit}"); shift 2 ;;
    --update-docs) update_docs=1; shift ;;
    --image-check) image_check_only=1; shift ;;
    --windows-path) windows_path=1; shift ;;
    *) echo "usage: $0 [--runs N] [--com N] [--arch x86|x64|both] [--before COMMIT] [--update-docs] | --image-check [--arch ...] | --windows-path [--runs N] [--arch ...]" >&2; exit 2 ;;
  esac
done

case $arch in
  x86) arches=(x86) ;;
  x64) arches=(x64) ;;
  both) arches=(x86 x64) ;;
  *) echo "bench: --arch takes x86, x64 or both" >&2; exit 2 ;;
esac
tree() { [[ $1 == x86 ]] && echo win32 || echo win64; }
toolchain() {
  [[ $1 == x86 ]] && echo "$root/cmake/toolchain-mingw-w64-i686.cmake" || echo "$root/cmake/toolchain-mingw-w64-x86_64.cmake"
}

"$root/scripts/setup.sh"

# Figures taken under an emulator are the emulator's, not the program's: where the 32-bit
# programs do not run natively, the 64-bit program is measured in their place, and said so.
x86_mode=$("$root/scripts/x86-programs.sh" mode)
if [[ $x86_mode != native && " ${arches[*]} " == *" x86 "* ]]; then
  if [[ $x86_mode == none ]]; then how="do not run here"; else how="run here only under $x86_mode"; fi
  echo "bench: 32-bit programs $how: the 64-bit program (x64) is measured instead of the 32-bit one"
  arches=(x64)
fi

# Only what the benchmark runs: the simulator and rig daemon, the installer, the two
# benchmark programs and the text tap; the test programs are left to scripts/test.sh.
jobs=${KQ_JOBS:-$(nproc)}
cmake -S "$root/sim" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/native" -j "$jobs"
for a in "${arches[@]}"; do
  t=$(tree "$a")
  cmake -S "$root" -B "$build/$t" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$(toolchain "$a")" >/dev/null
  if ((windows_path)); then
    cmake --build "$build/$t" -j "$jobs" --target test_firmware
    continue
  fi
  if ((image_check_only)); then
    cmake --build "$build/$t" -j "$jobs" --target bench_echo
    continue
  fi
  cmake --build "$build/$t" -j "$jobs" --target KQ7750Installer bench_gui bench_echo kqtexttap
  # The trace build: the same program with the two host-path stamps compiled in.
  cmake -S "$root" -B "$build/$t-trace" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$(toolchain "$a")" -DKQ_TRACE=ON >/dev/null
  cmake --build "$build/$t-trace" -j "$jobs" --target KQ7750Installer
done
if [[ -n $before ]]; then
  # The earlier installer, built as that commit builds it; the benchmark programs and
  # the simulator stay the current ones, so both installers meet the same loader.
  # Extracted again only for another commit, so that its build stays up to date.
  if [[ $(cat "$build/before-src/.commit" 2>/dev/null) != "$before" ]]; then
    rm -rf "$build/before-src"
    mkdir -p "$build/before-src"
    git -C "$root" archive "$before" | tar -x -C "$build/before-src"
    echo "$before" >"$build/before-src/.commit"
  fi
  cmake -S "$build/before-src" -B "$build/win-before" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$build/before-src/cmake/toolchain-mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$build/win-before" -j "$jobs" --target KQ7750Installer
fi

top=$build/bench/$(date +%Y%m%d-%H%M%S)
mkdir -p "$top"

if ((windows_path)); then
  "$root/scripts/rig.sh" start winpath
  trap '"$root/scripts/rig.sh" stop winpath' EXIT
  # shellcheck disable=SC1091
  . "$build/rig-winpath/env"
  {
    echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
    echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "installer: $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- . || echo ' with uncommitted changes')"
  } | tee "$top/machine.txt"
  cases=(built ticks latency16 latency1)
  measure() {  # measure ARCH COM: every run of every case, one Wine process each
    local a=$1 com=$2 out=$top/$1 i c
    mkdir -p "$out"
    for i in $(seq 1 "$runs"); do
      for c in "${cases[@]}"; do
        echo "bench: run $i, $a, $c"
        if ! KQ_WINDOWS_PATH=$c KQ_END_TO_END_COM=$com wine "$build/$(tree "$a")/tests/firmware/test_firmware.exe" \
             --gtest_also_run_disabled_tests --gtest_filter=EndToEndTest.DISABLED_WindowsPathBlackfinAt115200 \
             >"$out/run$i-$c.txt" 2>"$out/run$i-$c.err"; then
          echo "bench: $a $c run $i failed (see $out/run$i-$c.txt)" >&2
          continue
        fi
        grep '^RESULT' "$out/run$i-$c.txt" >>"$out/windows-path.txt"
      done
    done
  }
  pids=()
  for a in "${arches[@]}"; do
    if [[ $a == x86 ]]; then measure x86 4 & else measure x64 6 & fi
    pids+=($!)
  done
  status=0
  for p in "${pids[@]}"; do wait "$p" || status=1; done
  echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$top/machine.txt"
  # Wire floor of image 300: (616,317 characters + 8,585 one-character echo tails) x 10 bits / 115200.
  for a in "${arches[@]}"; do
    echo "== $a: Blackfin transfer over the driver model, paced at 115200 baud (median of $runs) =="
    awk -v floor=54.245 '
      $1 == "RESULT" { name = $2; sub(/^windows_path_/, "", name); v[name] = v[name] " " $3; n[name]++ }
      END {
        split("built ticks latency16 latency1", order, " ")
        label["built"] = "rest as built"; label["ticks"] = "rest charged to the 15.625 ms tick"
        label["latency16"] = "adapter, 16 ms latency timer"; label["latency1"] = "adapter, 1 ms latency timer"
        for (k = 1; k <= 4; k++) {
          c = order[k]
          if (!(c in n)) { printf "  %-36s no result\n", label[c]; continue }
          m = split(substr(v[c], 2), xs, " ")
          for (i = 1; i <= m; i++) xs[i] += 0  # numbers, not strings, for the sort
          for (i = 1; i <= m; i++) for (j = i + 1; j <= m; j++) if (xs[j] < xs[i]) { t = xs[i]; xs[i] = xs[j]; xs[j] = t }
          med = (m % 2) ? xs[(m + 1) / 2] : (xs[m / 2] + xs[m / 2 + 1]) / 2
          printf "  %-36s %8.2f s  %5.2fx   (runs:%s)\n", label[c], med, med / floor, v[c]
        }
      }' "$top/$a/windows-path.txt" 2>/dev/null | tee "$top/$a/report.txt"
  done
  echo "bench: results in $top"
  exit "$status"
fi

"$root/scripts/rig.sh" start
trap '"$root/scripts/rig.sh" stop' EXIT
# shellcheck disable=SC1091
. "$build/rig/env"

step() {  # step NAME PROGRAM ARGS...: one Wine process, its RESULT lines kept in $out/NAME.txt
  local name=$1; shift
  echo "bench: $name"
  if ! wine "$@" >"$out/$name.txt" 2>"$out/$name.err"; then
    cat "$out/$name.err" >&2
    echo "bench: $name failed" >&2
    exit 1
  fi
}

{
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
  echo "wine: $(wine --version)"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "installer: $(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- . || echo ' with uncommitted changes')"
  [[ -z $before ]] || echo "before: $(git -C "$root" rev-parse --short "$before")"
} | tee "$top/machine.txt"

image_check_runs=20
if ((image_check_only)); then
  for a in "${arches[@]}"; do
    out=$top/$a
    mkdir -p "$out"
    step image-check "$build/$(tree "$a")/tests/bench/bench_echo.exe" --image-check "$image_check_runs"
    echo "$a: check of the four images before the first command ($image_check_runs runs, target < 50 ms):" \
         "$(awk '$1 == "RESULT" { sub(/^image_check_/, "", $2); printf "%s %s  ", $2, $3 }' "$out/image-check.txt")"
  done
  echo "bench: results in $top"
  exit 0
fi

# Run by run, the programs one after the other, so that both see the same hour of the machine.
for i in $(seq 1 "$runs"); do
  for a in "${arches[@]}"; do
    t=$(tree "$a")
    out=$top/$a
    mkdir -p "$out"
    installer=$build/$t/KQ7750Installer-$a.exe
    traced=$build/$t-trace/KQ7750Installer-$a.exe
    bench=$build/$t/tests/bench
    echo "bench: run $i, $a"
    if [[ -n $before && $a == x64 ]]; then
      step "run$i-before-gui-paced" "$bench/bench_gui.exe" "$com" 1 "$build/win-before/KQ7750Installer.exe"
      step "run$i-before-gui-unpaced" "$bench/bench_gui.exe" "$com" 0 "$build/win-before/KQ7750Installer.exe"
    fi
    step "run$i-gui-paced" "$bench/bench_gui.exe" "$com" 1 "$installer"
    step "run$i-gui-unpaced" "$bench/bench_gui.exe" "$com" 0 "$installer"
    step "run$i-raw-paced" "$bench/bench_echo.exe" "$com" 1
    step "run$i-raw-unpaced" "$bench/bench_echo.exe" "$com" 0
    step "run$i-image-check" "$bench/bench_echo.exe" --image-check "$image_check_runs"
    KQ_TRACE_FILE="Z:$out/run$i-trace.log" step "run$i-trace" "$bench/bench_gui.exe" "$com" 1 "$traced"
    [[ -s $out/run$i-trace.log ]] || { echo "bench: the trace build wrote no $out/run$i-trace.log" >&2; exit 1; }
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$top/machine.txt"
echo

for a in "${arches[@]}"; do
  out=$top/$a
  echo "== $a: KQ7750Installer-$a.exe ==" | tee "$out/report.txt"
  python3 "$root/tests/bench/report.py" "$out" "$runs" | tee -a "$out/report.txt"

  gnuplot <<GNUPLOT
  set terminal pngcairo size 900,500 font ",10"
  set output "$out/host-path-histogram.png"
  set title "Host path per Blackfin record, $a program: last echo byte queued to next record written ($runs paced runs, trace build)"
  set logscale x
  set xlabel "milliseconds (log scale)"
  set ylabel "records"
  set grid
  set style fill solid 0.6
  set arrow from 0.2, graph 0 to 0.2, graph 1 nohead dt 2 lc rgb "dark-green"
  set arrow from 2, graph 0 to 2, graph 1 nohead dt 2 lc rgb "red"
  set label "p50 target 0.2 ms" at 0.2, graph 0.95 offset 0.5,0 tc rgb "dark-green"
  set label "p99 target 2 ms" at 2, graph 0.90 offset 0.5,0 tc rgb "red"
  plot "$out/host_path_hist.dat" using (sqrt(\$1*\$2)):3:(\$2-\$1) with boxes notitle
GNUPLOT
done
if ((${#arches[@]} > 1)); then
  python3 "$root/tests/bench/report.py" --compare "$top" "$runs" "${arches[@]}" | tee "$top/compare.txt"
fi
echo "bench: results in $top"
if ((update_docs)); then
  cp "$top/${arches[0]}/host-path-histogram.png" "$root/docs/host-path-histogram.png"
  echo "bench: histogram copied to docs/host-path-histogram.png"
fi
