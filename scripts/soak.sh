#!/usr/bin/env bash
# Soak: one installer process doing N consecutive unpaced updates through its window against
# the loader simulator (default 100), sampling the installer's handle count, commit charge
# and heaps after each; with --idle MINUTES it then stays connected and idle that long and
# is sampled every half minute. Exits non-zero on any failed update or on growth of the
# handles, the commit charge or the heaps beyond a small constant. First, kqwaitprobe shows
# what Wine's own WaitCommEvent costs per wait on a pseudo-terminal, without the installer
# (the reason the port keeps a read pending under Wine instead).
# Usage: scripts/soak.sh [N] [--arch x86|x64] [--no-tap] [--poll MS] [--idle MINUTES]
#   (BUILD_DIR as for build.sh)
#   --arch         the 32-bit program (x86, default) or the 64-bit one (x64), each driven by
#                  the soak programs of its own build
#   --no-tap       leaves the GUI rig's text-tap hook out of the installer's process
#   --poll MS      reads the window every MS (default 50)
#   --idle MINUTES the idle check after the updates (N may then be 0)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
updates=100
if (($#)) && [[ $1 != --* ]]; then updates=$1; shift; fi
tree=win32
name=KQ7750Installer-x86.exe
driver_args=()
while (($#)); do
  case $1 in
    --arch)
      case ${2:-} in
        x86) tree=win32; name=KQ7750Installer-x86.exe ;;
        x64) tree=win64; name=KQ7750Installer-x64.exe ;;
        *) echo "soak: --arch takes x86 or x64" >&2; exit 2 ;;
      esac
      shift 2 ;;
    *) driver_args+=("$1"); shift ;;
  esac
done

"$root/scripts/build.sh"
cmake --build "$BUILD_DIR/$tree" -j "${KQ_JOBS:-$(nproc)}" --target kqsoak kqwaitprobe
"$root/scripts/rig.sh" start
trap '"$root/scripts/rig.sh" stop' EXIT
# shellcheck disable=SC1091
. "$BUILD_DIR/rig/env"
# Wine's cost of one overlapped WaitCommEvent, against a loader that stays silent.
"$KQ_SIM" loader --silent --link "$KQ_COM_DIR/COM1" --idle-timeout 120000 >/dev/null 2>&1 &
probe_sim=$!
sleep 1
wine "$BUILD_DIR/$tree/tests/reliability/kqwaitprobe.exe" 1 10000 || true
kill "$probe_sim" 2>/dev/null || true
wait "$probe_sim" 2>/dev/null || true
# The handles, commit charge and heaps are the program's own under an emulator too; only
# the pace is not.
[[ $tree == win32 ]] && echo "soak: 32-bit programs run here: $("$root/scripts/x86-programs.sh" mode)"
echo "soak: $name"
KQ_INSTALLER="$BUILD_DIR/$tree/$name" wine "$BUILD_DIR/$tree/tests/reliability/kqsoak.exe" "$updates" "${driver_args[@]}"
