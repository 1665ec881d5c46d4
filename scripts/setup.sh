#!/usr/bin/env bash
# Makes sure that every command and library the build, the test rig, the tests, the demo and the
# benchmarks call is present, and installs the Debian packages that provide what is missing.
# Safe to run any number of times. Ends non-zero, naming the command, if one is still missing.
set -euo pipefail

# What the project calls, and the Debian package that provides it: a command looked up on PATH,
# or an absolute path for what is not a command (Wine's loaders, headers, GoogleTest's sources).
# A package is installed when it is not installed or when what it provides cannot be found, so
# a stand-in of the same name elsewhere on PATH does not hide a missing package.
needs=(
  "bash|bash" "sed|sed" "grep|grep" "sha256sum|coreutils" "mktemp|coreutils" "timeout|coreutils"
  "cmake|cmake" "ctest|cmake" "ninja|ninja-build" "g++|g++"
  "x86_64-w64-mingw32-g++-posix|g++-mingw-w64-x86-64-posix"
  "x86_64-w64-mingw32-gcc-posix|gcc-mingw-w64-x86-64-posix"
  "x86_64-w64-mingw32-windres|binutils-mingw-w64-x86-64"
  "x86_64-w64-mingw32-objdump|binutils-mingw-w64-x86-64"
  "i686-w64-mingw32-g++-posix|g++-mingw-w64-i686-posix"
  "i686-w64-mingw32-gcc-posix|gcc-mingw-w64-i686-posix"
  "i686-w64-mingw32-windres|binutils-mingw-w64-i686"
  "i686-w64-mingw32-objdump|binutils-mingw-w64-i686"
  "/usr/src/googletest/CMakeLists.txt|googletest"
  "/usr/include/gtest/gtest.h|libgtest-dev"
  "/usr/include/openssl/evp.h|libssl-dev"
  "/usr/include/nlohmann/json.hpp|nlohmann-json3-dev"
  "wine|wine" "wineboot|wine" "wineserver|wine"
  "/usr/lib/wine/wine64|wine64"
  "/usr/lib/wine/wine|wine32:i386"
  "Xvfb|xvfb" "xwd|x11-apps" "convert|imagemagick"
  "srec_info|srecord" "srec_cat|srecord"
  "python3|python3" "/usr/lib/python3/dist-packages/markdown/__init__.py|python3-markdown"
  "gnuplot|gnuplot-nox"
  "osslsigncode|osslsigncode" "openssl|openssl" "zip|zip" "unzip|unzip" "git|git"
)

found() {
  if [[ $1 == /* ]]; then [[ -e $1 ]]; else command -v "$1" >/dev/null 2>&1; fi
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=()
for need in "${needs[@]}"; do
  what=${need%%|*} package=${need#*|}
  if ! found "$what" || ! installed "$package"; then
    [[ " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null 2>&1 || {
      echo "setup: installing packages needs root: run as root or install sudo (packages: ${missing[*]})" >&2
      exit 1
    }
    sudo_cmd=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  # Wine's 32-bit side comes from the i386 architecture, which a fresh amd64 system lacks.
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  # A mirror caught mid-sync serves an index that does not match its Release file, and apt-get
  # update then fails although it kept every other index. Try again after a pause; if one index
  # is still bad, install from the rest. Should apt-get install fail then, `set -e` ends the
  # script at once with apt-get's own message and its status: the check below is not reached.
  for attempt in 1 2 3; do
    "${sudo_cmd[@]}" apt-get update -q && break
    if ((attempt < 3)); then
      echo "setup: apt-get update failed (attempt $attempt of 3); trying again in 30 s" >&2
      sleep 30
    else
      echo "setup: apt-get update failed 3 times; installing from the package lists it did fetch" >&2
    fi
  done
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

status=0
for need in "${needs[@]}"; do
  what=${need%%|*} package=${need#*|}
  if ! found "$what"; then
    echo "setup: '$what' is still missing; the Debian package '$package' should provide it" >&2
    status=1
  fi
done
exit $status
