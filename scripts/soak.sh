#!/usr/bin/env bash
# Soak: one installer process doing N consecutive unpaced updates through its window against
# the loader simulator (default 100, about half a minute each), sampling the installer's
# handle count and private memory after each. Exits non-zero on any failed update or growth
# beyond a small constant.
# Usage: scripts/soak.sh [N] [--no-tap] [--poll MS]   (BUILD_DIR as for build.sh)
#   --no-tap    leaves the GUI rig's text-tap hook out of the installer's process
#   --poll MS   reads the window every MS (default 50)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
updates=${1:-100}

"$root/scripts/build.sh"
"$root/scripts/rig.sh" start
trap '"$root/scripts/rig.sh" stop' EXIT
# shellcheck disable=SC1091
. "$BUILD_DIR/rig/env"
wine "$BUILD_DIR/win/tests/reliability/kqsoak.exe" "$updates" "${@:2}"
