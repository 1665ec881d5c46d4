#!/usr/bin/env bash
# Builds the three trees: the native loader simulator in $BUILD_DIR/native, and from the
# same sources the 32-bit Windows programs in $BUILD_DIR/win32 (KQ7750Installer-x86.exe, the
# one handed out, and every test program) and the 64-bit ones in $BUILD_DIR/win64
# (KQ7750Installer-x64.exe and the test programs scripts/test.sh runs against it). The
# Windows programs run under Wine.
#
#   scripts/build.sh [native|win32|win64]...   the trees named, in that order (default all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
# CI treats warnings as errors. Elsewhere the trees keep the setting they were made with, so
# that the demo after a CI-style test run does not rebuild all three trees for one flag.
werror=()
[[ "${CI:-}" == "true" ]] && werror=(-DKQ_WERROR=ON)
jobs=${KQ_JOBS:-$(nproc)}
trees=("$@")
((${#trees[@]})) || trees=(native win32 win64)

for tree in "${trees[@]}"; do
  case $tree in
    native)
      cmake -S "$root/sim" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            "${werror[@]}" >/dev/null
      cmake --build "$build/native" -j "$jobs" ;;
    win32)
      cmake -S "$root" -B "$build/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-i686.cmake" \
            "${werror[@]}" >/dev/null
      cmake --build "$build/win32" -j "$jobs" ;;
    win64)
      cmake -S "$root" -B "$build/win64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-x86_64.cmake" \
            "${werror[@]}" >/dev/null
      # The product in full and, of the test programs, those the 64-bit build is tested
      # with. bench.sh and soak.sh build the drivers they run themselves.
      cmake --build "$build/win64" -j "$jobs" --target KQ7750Installer x64_tests ;;
    *) echo "usage: $0 [native|win32|win64]..." >&2; exit 2 ;;
  esac
done
