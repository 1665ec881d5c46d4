#!/usr/bin/env bash
# Screenshots of the installer's main window and About box at 96 and 144 DPI (Wine's
# LogPixels: 100 % and the 150 % of a laptop's scaled screen), to check that every text
# shows whole. Runs the 32-bit installer on a rig of its own (named dpi) with a 1920x1080
# screen, and leaves the prefix at 96 DPI.
#
#   tools/dpi_screenshots.sh [OUT_DIR]    default docs/; needs scripts/build.sh native win32
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
out=$(mkdir -p "${1:-$root/docs}" && cd "${1:-$root/docs}" && pwd)
installer_exe=$BUILD_DIR/win32/KQ7750Installer-x86.exe
tools=$BUILD_DIR/win32/tests/gui
for f in "$installer_exe" "$tools/kqdrive.exe" "$tools/kqports.exe"; do
  [[ -e $f ]] || { echo "dpi: $f was not built" >&2; exit 1; }
done

installer_pid=
cleanup() {
  set +e
  [[ -n $installer_pid ]] && kill "$installer_pid" 2>/dev/null && wait "$installer_pid" 2>/dev/null
  wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
  wine "$tools/kqports.exe" clear >/dev/null 2>&1
  "$root/scripts/rig.sh" stop dpi >/dev/null 2>&1
}
KQ_RIG_SCREEN=1920x1080x24 "$root/scripts/rig.sh" start dpi
. "$BUILD_DIR/rig-dpi/env"
trap cleanup EXIT
# No window manager on Xvfb: Wine draws the caption bar itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
wine "$tools/kqports.exe" clear
wine "$tools/kqports.exe" add COM12 "USB Serial Port"

drive() { wine "$tools/kqdrive.exe" "$@" </dev/null | tr -d '\r'; }
# shot FILE TITLE: the top-level window of that title, read by its own X window (on the
# root window's picture the About box stays black under Wine).
shot() {
  xwd -silent -display "$DISPLAY" -name "$2" | convert xwd:- "$1"
  echo "dpi: $1 ($(identify -format '%wx%h' "$1"))"
}

for dpi in 96 144; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wine "$installer_exe" >/dev/null 2>&1 &
  installer_pid=$!
  drive wait 30000
  sleep 1  # a window that has just appeared may not have painted yet
  shot "$out/installer-${dpi}dpi.png" "KQ7750 Firmware Installer"
  drive about open
  sleep 1
  shot "$out/installer-about-${dpi}dpi.png" About
  drive box About ok >/dev/null
  drive close ok
  wait "$installer_pid"
  installer_pid=
done
