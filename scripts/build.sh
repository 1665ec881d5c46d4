#!/usr/bin/env bash
# Builds both trees: the Windows programs (cross-compiled, run under Wine) in
# $BUILD_DIR/win and the native loader simulator in $BUILD_DIR/native.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON
jobs=${KQ_JOBS:-$(nproc)}

cmake -S "$root/sim" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKQ_WERROR=$werror >/dev/null
cmake --build "$build/native" -j "$jobs"

cmake -S "$root" -B "$build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-w64-x86_64.cmake" \
      -DKQ_WERROR=$werror >/dev/null
cmake --build "$build/win" -j "$jobs"
