#!/usr/bin/env bash
# tools/room_includes.py must refuse a room that includes one it may not use (the log
# including the window's widgets), name that line alone, and let a permitted one pass.
set -euo pipefail
root=$1 work=$2
rm -rf "$work" && mkdir -p "$work/updatelog" "$work/windows"
cp "$root/README.md" "$work/"
printf '// Planted.\n#include "ui/Widgets.h"\n#include "updateevents/UpdateFollower.h"\n' >"$work/updatelog/Planted.h"
printf '#include "engine/WinHandles.h"\n' >"$work/windows/Allowed.h"
if out=$(python3 "$root/tools/room_includes.py" --root "$work"); then
  echo "room_includes_check: the planted include passed" >&2; exit 1
fi
echo "$out"
[[ $out == *"updatelog/Planted.h:2 includes ui/Widgets.h"* && $out == *" 1 includes out of place"* ]] || { echo "room_includes_check: not the planted line alone" >&2; exit 1; }
mkdir -p "$work/bare" && printf '# No table\n' >"$work/bare/README.md"
if python3 "$root/tools/room_includes.py" --root "$work/bare"; then
  echo "room_includes_check: a README without its folder table passed" >&2; exit 1
fi
