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

# configure TREE SOURCE BUILD-TYPE [CMAKE-ARGS...]
configure() {
  local tree=$1 source=$2 type=$3; shift 3
  cmake -S "$source" -B "$build/$tree" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" "${werror[@]}" >/dev/null
}

for tree in "${trees[@]}"; do
  case $tree in
    native)
      configure native "$root/sim" RelWithDebInfo
      cmake --build "$build/native" -j "$jobs" ;;
    win32)
      configure win32 "$root" Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-i686.cmake"
      cmake --build "$build/win32" -j "$jobs" ;;
    win64)
      configure win64 "$root" Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-x86_64.cmake"
      # The product in full and, of the test programs, those the 64-bit build is tested
      # with. bench.sh and soak.sh build the drivers they run themselves.
      cmake --build "$build/win64" -j "$jobs" --target KQ7750Installer x64_tests ;;
    *) echo "usage: $0 [native|win32|win64]..." >&2; exit 2 ;;
  esac
done
