#!/usr/bin/env bash
# Makes sure that every command and library the build, the test rig, the tests, the demo and the
# benchmarks call is present, and installs the Debian packages that provide what is missing.
# On a machine that refuses 32-bit x86 programs, installs and registers qemu-user to run them
# (scripts/x86-programs.sh). Safe to run any number of times. Ends non-zero, naming the
# command, if one is still missing.
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
  "/usr/lib/python3/dist-packages/jsonschema/__init__.py|python3-jsonschema"
  "/etc/ssl/certs/ca-certificates.crt|ca-certificates"
  "gnuplot|gnuplot-nox"
  "osslsigncode|osslsigncode" "openssl|openssl" "zip|zip" "unzip|unzip" "git|git"
)

# Commands that a package of another name may provide: NodeSource's nodejs brings its own npm
# and conflicts with Debian's, which cannot be installed beside it. Either fetches the schemas
# below, whose checksum is checked whatever fetched them.
needs_command=("npm|npm")

# The CycloneDX 1.6 JSON schema, with the SPDX and JSF schemas it refers to, for checking the
# release's bill of materials (tools/third_party.py check): as the CycloneDX project publishes
# them in its npm package, at a pinned version whose tarball has this SHA-512. They go into
# $cyclonedx_schemas (a link to res/schema/ of the unpacked package), fetched once.
cyclonedx_package=@cyclonedx/cyclonedx-library@10.3.0
cyclonedx_sha512=4484f6f2ca755343c21da69e177c8d47093a26283f5c9f14b1801538c61a1d0fb45553afb23729d0f4d64052d4a89145f1732e77e29daba1bec2d0c087e40914
cyclonedx_cache=${XDG_CACHE_HOME:-$HOME/.cache}/kq7750
cyclonedx_schemas=$cyclonedx_cache/cyclonedx-schema

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

for need in "${needs_command[@]}"; do
  what=${need%%|*} package=${need#*|}
  found "$what" || [[ " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
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
for need in "${needs[@]}" "${needs_command[@]}"; do
  what=${need%%|*} package=${need#*|}
  if ! found "$what"; then
    echo "setup: '$what' is still missing; the Debian package '$package' should provide it" >&2
    status=1
  fi
done
((status == 0)) || exit $status

# A machine that refuses 32-bit x86 programs runs them under qemu-user: installed and
# registered here, once (KQ_SKIP_X86=1 leaves them out instead).
if [[ $(id -u) -ne 0 ]] && command -v sudo >/dev/null 2>&1 && [[ ${KQ_SKIP_X86:-0} != 1 ]] &&
   [[ $("$(dirname "$0")/x86-programs.sh" mode) == none ]]; then
  sudo "$(dirname "$0")/x86-programs.sh" enable
else
  "$(dirname "$0")/x86-programs.sh" enable
fi

# npm pack fetches the tarball as published; nothing of it runs.
unpacked=$cyclonedx_cache/${cyclonedx_sha512:0:16}
if [[ ! -f $unpacked/package/res/schema/bom-1.6.SNAPSHOT.schema.json ]]; then
  echo "setup: fetching the CycloneDX schemas ($cyclonedx_package)"
  fetch=$(mktemp -d)
  trap 'rm -rf "$fetch"' EXIT
  # Through the system's certificate store, which Debian's ca-certificates keeps (with any
  # local authority a network that inspects TLS needs), whichever npm this is.
  ( cd "$fetch" && npm pack --loglevel=error --cafile /etc/ssl/certs/ca-certificates.crt "$cyclonedx_package" >/dev/null ) ||
    { echo "setup: npm pack $cyclonedx_package failed" >&2; exit 1; }
  tarball=("$fetch"/*.tgz)
  if [[ $(sha512sum <"${tarball[0]}" | cut -d' ' -f1) != "$cyclonedx_sha512" ]]; then
    echo "setup: $cyclonedx_package is not the pinned tarball (SHA-512 differs)" >&2
    exit 1
  fi
  rm -rf "$unpacked" && mkdir -p "$unpacked"
  tar -xzf "${tarball[0]}" -C "$unpacked" package/res/schema
fi
ln -sfn "$unpacked/package/res/schema" "$cyclonedx_schemas"
