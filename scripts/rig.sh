#!/usr/bin/env bash
# The Wine test rig: a private Wine prefix in the build tree that runs the 32-bit and the
# 64-bit programs alike, a persistent wineserver, an Xvfb display, COM1..COM10 and COM12 (a
# USB adapter's kind of number) mapped to stable symlinks that tests re-point at a
# simulator's pseudo-terminal, and the native rig daemon (kqrig) through which Windows test
# programs start simulators.
#
#   scripts/rig.sh start [NAME]   starts everything and writes $BUILD_DIR/rig/env
#   scripts/rig.sh stop [NAME]    ends every process that start began (by pid)
#
# Source $BUILD_DIR/rig/env to run a Windows program or ctest by hand.
# A NAME gives a second rig beside the first ($BUILD_DIR/rig-NAME/env): a prefix,
# wineserver, display, COM links and kqrig of its own, so that two test runs that each
# own COM1, the port list and the installer's window can go on at the same time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
name=${2:-}
[[ $name =~ ^[A-Za-z0-9_]*$ ]] || { echo "rig: a rig name is letters, digits and _" >&2; exit 2; }
rig=$build/rig${name:+-$name}
base_prefix=$build/wine/prefix
prefix=$base_prefix${name:+-$name}
comdir=$rig/com

# Wine stores a Windows file name on the Linux file system in the bytes of the locale's
# character set: under the POSIX locale a name outside ASCII (a user's "Łukasz") cannot be
# made at all. So every Wine process runs under UTF-8: the caller's locale when it is UTF-8,
# else C.UTF-8, which Debian's libc always has. The same line goes into the rig's env file.
utf8_locale='case $(locale charmap 2>/dev/null) in UTF-8) ;; *) export LC_ALL=C.UTF-8 ;; esac'
eval "$utf8_locale"
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEARCH=win64
# Each program with the loader of its width, and Wine's tools with the 64-bit one.
export PATH=$root/scripts/wine:$PATH

kill_pidfile() {
  local f=$1
  [[ -f $f ]] || return 0
  local pid
  pid=$(cat "$f")
  if [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$f"
}

# A prefix serves the 32-bit and the 64-bit programs only when Wine's 32-bit side was
# installed, and could run, before it was made; one made earlier fails for every program, and
# wineboot cannot mend it. The marker is written only after a 32-bit program has run in the
# new prefix, so a prefix from before is made afresh. With KQ_SKIP_X86=1 on a machine that
# cannot run 32-bit programs, a prefix for the 64-bit ones has a marker of its own, so that it
# is made afresh once they can run.
kind=wow64
[[ ${KQ_SKIP_X86:-0} == 1 ]] && kind=x64
base_ready=$base_prefix/.kq-ready-$kind
ready=$prefix/.kq-ready-$kind

com_ports="$(seq 1 10) 12"

# map_com_ports DIR: the COM ports of the prefix in $WINEPREFIX are the links in DIR.
map_com_ports() {
  for n in $com_ports; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$1/COM$n" /f >/dev/null 2>&1
  done
}

# What keeps a new prefix from running 32-bit programs, in the words of its cure.
why_no_32bit() {
  if [[ ! -x /usr/lib/wine/wine ]]; then
    echo "Wine's 32-bit side (wine32:i386) is missing: run scripts/setup.sh"
  elif [[ $("$root/scripts/x86-programs.sh" mode) == none ]]; then
    echo "this machine does not run 32-bit x86 programs (/usr/lib/wine/wine: Exec format error):" \
         "run scripts/setup.sh as root, which registers qemu-user for them, or set KQ_SKIP_X86=1"
  else
    echo "Wine's 32-bit side did not start in it: see $build/wine/wineboot.log"
  fi
}

make_base_prefix() (
  export WINEPREFIX=$base_prefix
  if [[ -f $base_ready ]]; then
    # A prefix made before COM12 was mapped gains it; the named copies are made again.
    grep -q '^"COM12"=' "$base_prefix/system.reg" && exit 0
    map_com_ports "$build/rig/com"
    wineserver -w
    touch "$base_ready"
    exit 0
  fi
  echo "rig: creating Wine prefix $base_prefix"
  rm -rf "$base_prefix"
  mkdir -p "$base_prefix" "$build/wine"
  WINEDLLOVERRIDES="mscoree,mshtml=" wine wineboot -i >"$build/wine/wineboot.log" 2>&1
  if [[ $kind == wow64 ]] && ! wine 'C:\windows\syswow64\cmd.exe' /c exit 0 >>"$build/wine/wineboot.log" 2>&1; then
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$base_prefix"
    echo "rig: the prefix cannot run 32-bit programs: $(why_no_32bit)" >&2
    exit 1
  fi
  map_com_ports "$build/rig/com"
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  wineserver -w
  touch "$base_ready"
)

# A named rig's prefix is a copy of the first one, made again whenever that one is. The
# copy links the files Wine only reads (1.3 GB of DLLs) and copies the registry files,
# which the wineserver replaces when it saves them; only its COM mapping differs.
make_prefix() {
  make_base_prefix
  [[ -z $name ]] && return 0
  [[ -f $ready && ! $ready -ot $base_ready ]] && return 0
  echo "rig: creating Wine prefix $prefix from $base_prefix"
  rm -rf "$prefix"
  cp -al "$base_prefix" "$prefix"
  rm -f "$ready"
  local f
  for f in "$prefix"/*.reg; do
    rm -f "$f"
    cp -p "$base_prefix/${f##*/}" "$f"
  done
  map_com_ports "$comdir"
  wineserver -w
  touch "$ready"
}

start() {
  stop_quiet
  mkdir -p "$rig" "$comdir" "$build/wine"
  make_prefix
  # Every COM link starts dangling: an unmapped device looks missing to the program.
  for n in $com_ports; do ln -sfn "$comdir/none-COM$n" "$comdir/COM$n"; done

  # The wineserver prints its whole object table when a device vanishes: keep it in a file.
  wineserver -p >"$rig/wineserver.log" 2>&1 &
  echo $! >"$rig/wineserver.pid"

  rm -f "$rig/display"
  # KQ_RIG_SCREEN: a larger screen for the window at a high DPI (tools/dpi_screenshots.sh).
  Xvfb -displayfd 3 -screen 0 "${KQ_RIG_SCREEN:-1024x768x24}" -nolisten tcp 3>"$rig/display" >"$rig/xvfb.log" 2>&1 &
  echo $! >"$rig/xvfb.pid"
  for _ in $(seq 100); do [[ -s $rig/display ]] && break; sleep 0.05; done
  [[ -s $rig/display ]] || { echo "rig: Xvfb did not start" >&2; exit 1; }
  display=:$(tr -d '\n' <"$rig/display")

  local kqrig=$build/native/kqrig kqsim=$build/native/kqsim
  local rig_port=""
  if [[ -x $kqrig ]]; then
    rm -f "$rig/kqrig.port"
    "$kqrig" --port-file "$rig/kqrig.port" --com-dir "$comdir" --sim "$kqsim" \
      --work-dir "$rig/sims" >"$rig/kqrig.log" 2>&1 &
    echo $! >"$rig/kqrig.pid"
    for _ in $(seq 100); do [[ -s $rig/kqrig.port ]] && break; sleep 0.05; done
    [[ -s $rig/kqrig.port ]] || { echo "rig: kqrig did not start" >&2; exit 1; }
    rig_port=$(cat "$rig/kqrig.port")
  fi

  cat >"$rig/env" <<ENV
export WINEPREFIX='$prefix'
export WINEDEBUG=-all
export WINEARCH=win64
export PATH='$root/scripts/wine':\$PATH
export DISPLAY='$display'
export KQ_RIG_PORT='$rig_port'
export KQ_COM_DIR='$comdir'
export KQ_SIM='$kqsim'
export KQ_BUILD_DIR='$build'
export KQ_SOURCE_DIR='$root'
$utf8_locale
ENV
  # Warm the wineserver so that the first test does not pay Wine's start-up.
  ( . "$rig/env"; wine cmd /c exit 0 >/dev/null 2>&1 || true )
  echo "rig: up (display $display, kqrig port ${rig_port:-none})"
}

stop_quiet() {
  kill_pidfile "$rig/kqrig.pid"
  if [[ -f $rig/wineserver.pid ]]; then
    wineserver -k >/dev/null 2>&1 || true
    kill_pidfile "$rig/wineserver.pid"
  fi
  kill_pidfile "$rig/xvfb.pid"
}

case ${1:-} in
  start) start ;;
  stop) stop_quiet; echo "rig${name:+ $name}: down" ;;
  *) echo "usage: $0 start|stop [NAME]" >&2; exit 2 ;;
esac
