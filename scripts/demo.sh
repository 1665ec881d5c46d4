#!/usr/bin/env bash
# The main job, end to end: installs what is missing, builds, starts the loader simulator on
# a pseudo-terminal mapped to COM1, runs the 32-bit installer under Wine (on your own display when
# DISPLAY is set and answers, else on a private Xvfb), drives a whole update through the
# window (Connect, Update Instrument, the completion box) printing each phase as it happens,
# saves screenshots of the window, and ends with the simulator's verdict that every target
# holds exactly its image. Exits non-zero on any failure and stops everything it started.
#
#   scripts/demo.sh          the line at the instrument's real speed (115200 baud): ~2 minutes
#   scripts/demo.sh --fast   the simulator answers without pacing
#   scripts/demo.sh --xvfb   use a private Xvfb display even when DISPLAY is set
#   scripts/demo.sh --docs   also copy the two screenshots into docs/, and photograph each phase
#                            for the service guide (docs/guide/: idle, connected, PICs, erase,
#                            Blackfin, complete; the simulator's erase is slowed to be seen)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
mkdir -p "$BUILD_DIR"
BUILD_DIR=$(cd "$BUILD_DIR" && pwd)

pace=--paced
force_xvfb=0
to_docs=0
for arg in "$@"; do
  case $arg in
    --fast) pace= ;;
    --xvfb) force_xvfb=1 ;;
    --docs) to_docs=1 ;;
    *) echo "usage: $0 [--fast] [--xvfb] [--docs]" >&2; exit 2 ;;
  esac
done

say() { printf 'demo: %s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

user_display=${DISPLAY:-}

say "installing what is missing and building (BUILD_DIR=$BUILD_DIR)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

# The 32-bit program, the one handed to service engineers; the window tools of its own tree.
installer_exe=$BUILD_DIR/win32/KQ7750Installer-x86.exe
tools=$BUILD_DIR/win32/tests/gui
x86_mode=$("$root/scripts/x86-programs.sh" mode)
if [[ ${KQ_SKIP_X86:-0} == 1 ]]; then
  # A machine left without 32-bit programs (the set-up says why): the 64-bit program instead.
  say "KQ_SKIP_X86=1: the 64-bit program runs in place of the 32-bit one, which is NOT shown (32-bit programs here: $x86_mode)"
  cmake --build "$BUILD_DIR/win64" --target kqdrive kqports kqtexttap >/dev/null
  installer_exe=$BUILD_DIR/win64/KQ7750Installer-x64.exe
  tools=$BUILD_DIR/win64/tests/gui
elif [[ $x86_mode == native ]]; then
  say "32-bit programs: native"
else
  say "32-bit programs: under $x86_mode"
fi
for f in "$installer_exe" "$tools/kqdrive.exe" "$tools/kqports.exe" "$tools/kqtexttap.dll" "$BUILD_DIR/native/kqsim"; do
  [[ -e $f ]] || fail "$f was not built"
done

out=$BUILD_DIR/demo
rm -rf "$out"
mkdir -p "$out"

installer_pid=
sim_pid=
cleanup() {
  local status=$?
  set +e
  if [[ -n $installer_pid ]] && kill -0 "$installer_pid" 2>/dev/null; then
    kill "$installer_pid" 2>/dev/null
    wait "$installer_pid" 2>/dev/null
  fi
  if [[ -n ${update_pid:-} ]] && kill -0 "$update_pid" 2>/dev/null; then
    kill "$update_pid" 2>/dev/null
    wait "$update_pid" 2>/dev/null
  fi
  if [[ -n $sim_pid ]] && kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  if [[ -f $BUILD_DIR/rig/env ]]; then
    ( . "$BUILD_DIR/rig/env"
      wine "$tools/kqports.exe" clear >/dev/null 2>&1
      wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Decorated /f >/dev/null 2>&1 )
  fi
  "$root/scripts/rig.sh" stop >/dev/null 2>&1
  exit $status
}
trap cleanup EXIT

"$root/scripts/rig.sh" start
. "$BUILD_DIR/rig/env"

if ((force_xvfb == 0)) && [[ -n $user_display ]] && xwd -root -silent -display "$user_display" >/dev/null 2>&1; then
  export DISPLAY=$user_display
  say "the installer shows on your display $DISPLAY"
else
  # No window manager on the private display: Wine draws the caption bar itself.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  say "the installer shows on the private display $DISPLAY (Xvfb)"
fi

# A Windows program whose output is a terminal writes, under Wine, through Wine's console
# emulation, which repaints it cell by cell with cursor codes, wraps it at 80 columns and lags
# behind; through a pipe its bytes pass as written. So the Windows tools never get the
# terminal, and kqdrive is told whether there is one (it cannot tell under Wine).
live=
[[ -t 1 ]] && live=--terminal
win() { wine "$@" </dev/null 2> >(cat >&2) | cat; }
drive() { win "$tools/kqdrive.exe" $live "$@"; }

screenshot() {
  local file=$1 geometry
  geometry=$(drive rect | tr -d '\r') || fail "no window to photograph"
  read -r x y w h <<<"$geometry"
  xwd -root -silent -display "$DISPLAY" | convert xwd:- -crop "${w}x${h}+${x}+${y}" +repage "$file" \
    || fail "screenshot $file"
  say "screenshot $file"
}

say "COM1 registered as a present \"Ports\" device, so the installer's port list shows it"
win "$tools/kqports.exe" clear
win "$tools/kqports.exe" add COM1 "Communications Port"

say "starting the loader simulator${pace:+ at 115200 baud} on a pseudo-terminal as COM1"
# The guide's picture of the erase needs an erase that lasts a few seconds, as a real one does.
erase_pace=()
((to_docs)) && erase_pace=(--erase-dot-ms 700)
"$KQ_SIM" loader $pace "${erase_pace[@]}" --link "$KQ_COM_DIR/COM1" --summary "$out/sim-summary.json" \
  --expect-dir "$root/resources/firmware" --expect-json "$BUILD_DIR/native/expected_images.json" \
  --idle-timeout 600000 >"$out/sim.out" 2>"$out/sim.log" &
sim_pid=$!
for _ in $(seq 100); do grep -q '^PTY ' "$out/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q '^PTY ' "$out/sim.out" || fail "the simulator did not start (see $out/sim.log)"
say "simulator on $(sed -n 's/^PTY //p' "$out/sim.out")"

say "starting the installer under Wine"
wine "$installer_exe" >"$out/installer.log" 2>&1 &
installer_pid=$!
drive wait 30000 || fail "the installer's window did not appear"
say "port list:"
drive rows
say "release (label and About box): $(drive about | tr -d '\r')"
drive state
((to_docs)) && screenshot "$out/phase-idle.png"

say "pressing Connect"
drive connect 60000 || fail "the installer did not connect"
screenshot "$out/installer-connected.png"

if [[ -n $pace ]]; then
  say "pressing Update Instrument: three PICs, the erase, then 8,585 Blackfin records (about 1.5 minutes at 115200 baud)"
else
  say "pressing Update Instrument: three PICs, the erase, then 8,585 Blackfin records"
fi
if ((to_docs)); then
  # While the update runs, one picture of each phase, taken when the window shows it.
  drive update 900000 &
  update_pid=$!
  while kill -0 "$update_pid" 2>/dev/null; do
    shown=$(win "$tools/kqdrive.exe" state 2>/dev/null | tr -d '\r') || true
    if [[ ! -e $out/phase-pics.png && $shown == *'update:     "Programming PIC'* ]]; then
      screenshot "$out/phase-pics.png"
    elif [[ ! -e $out/phase-erase.png && $shown == *'update:     "Erasing program blocks...'* ]]; then
      screenshot "$out/phase-erase.png"
    elif [[ ! -e $out/phase-blackfin.png && $shown =~ progress:\ enabled,\ ([0-9]+)\ of\ 0\ to\ ([0-9]+) &&
            $shown == *'update:     "Programming application...'* ]] &&
         ((BASH_REMATCH[1] * 5 >= BASH_REMATCH[2] * 2)); then
      screenshot "$out/phase-blackfin.png"
    fi
    sleep 0.1
  done
  wait "$update_pid" || fail "the update did not complete"
  update_pid=
else
  drive update 900000 || fail "the update did not complete"
fi
screenshot "$out/installer-complete.png"
drive state

say "closing the installer"
drive close ok || fail "the window did not close"
code=0
wait "$installer_pid" || code=$?
installer_pid=
((code == 0)) || fail "the installer exited with code $code"
say "the installer exited with code 0"

kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=
[[ -s $out/sim-summary.json ]] || fail "the simulator wrote no summary"

say "the simulator's verdict:"
python3 - "$out/sim-summary.json" <<'PY' || fail "a target does not hold its image (see $out/sim-summary.json)"
import json, sys
summary = json.load(open(sys.argv[1]))
expected = {"pic2": "301", "pic3": "302", "pic4": "303", "blackfin": "300"}
good = summary.get("expected_images_from") == "dir+json"
print(f"  images identified from: {summary.get('expected_images_from')!r} (kqsim's reader and srecord agree)")
for target, image in expected.items():
    t = summary["targets"][target]
    ok = t.get("image") == image and not t.get("bad_records")
    good = good and ok
    print(f"  {target:8} {'holds exactly image ' + image if ok else 'does NOT hold image ' + image}: "
          f"{t['records']} records, {t['byte_count']} bytes, sha256 {t['sha256'][:16]}...")
boot = summary["targets"]["blackfin"].get("boot_stream", {})
print(f"  blackfin boot stream: {boot.get('blocks')} blocks, first flags {boot.get('first_flags')}, "
      f"final block seen: {boot.get('final_seen')}")
print("  commands: " + ", ".join(summary["commands"]))
print("verdict: " + ("every target holds exactly its image" if good else "FAILED"))
sys.exit(0 if good else 1)
PY

if ((to_docs)); then
  mkdir -p "$root/docs"
  cp "$out/installer-connected.png" "$out/installer-complete.png" "$root/docs/"
  mkdir -p "$root/docs/guide"
  cp "$out/installer-connected.png" "$root/docs/guide/phase-connected.png"
  cp "$out/installer-complete.png" "$root/docs/guide/phase-complete.png"
  for phase in idle pics erase blackfin; do
    [[ -e $out/phase-$phase.png ]] || fail "no picture of the phase '$phase' was taken"
    cp "$out/phase-$phase.png" "$root/docs/guide/"
  done
  say "screenshots copied to docs/ and docs/guide/"
fi
say "done: screenshots and the simulator's summary are in $out"
