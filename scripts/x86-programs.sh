#!/usr/bin/env bash
# How this machine runs 32-bit x86 programs (Wine's 32-bit side, and so the handed-out
# installer), and, for the set-up, making a machine that refuses them run them under qemu-user.
#
#   scripts/x86-programs.sh mode     prints "native", "qemu-user VERSION" (or "emulated by PATH")
#                                    or "none"; exits 0 in every case
#   scripts/x86-programs.sh enable   as root: where 32-bit programs do not run, installs Debian's
#                                    qemu-user 10 or later and registers it for i386 ELF; exits
#                                    non-zero, saying why and what to run, where that cannot be
#
# Only running a 32-bit program tells: a 64-bit-only kernel (ia32_emulation=off, some sandboxes
# and hypervisors) answers execve of an i386 ELF with ENOEXEC whatever its name or log says.
# A binfmt_misc handler is tried before the kernel's own ELF loader, so an enabled handler for
# i386 ELF means the programs run under it even where the CPU could run them.
set -euo pipefail

loader32=/usr/lib/wine/wine
binfmt=/proc/sys/fs/binfmt_misc
handler=qemu-i386
# The i386 ELF header's identification, type (executable or shared) and machine (3), as
# qemu's own binfmt list has them; the mask lets the ABI bytes and the type's low bit vary.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
min_major=10  # Debian 12's qemu 7.2 needs 50 s where 10.0 needs 0.4 s to start a 32-bit program

say() { printf 'setup: %s\n' "$*"; }

runs_32bit() { [[ -x $loader32 ]] && "$loader32" --version >/dev/null 2>&1; }

mount_binfmt() {
  [[ -e $binfmt/register ]] && return 0
  [[ $(id -u) -eq 0 ]] || return 1
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null
}

# The enabled binfmt_misc entry that takes i386 ELF, if any: its name.
i386_entry() {
  local entry
  [[ -e $binfmt/status && $(cat "$binfmt/status") == enabled ]] || return 1
  for entry in "$binfmt"/*; do
    [[ ${entry##*/} == register || ${entry##*/} == status ]] && continue
    grep -qx enabled "$entry" 2>/dev/null || continue
    # The identification's class and order (32-bit, little-endian), and machine 3 at byte 18.
    grep -qE '^magic 7f454c460101[0-9a-f]{24}0300' "$entry" && { echo "${entry##*/}"; return 0; }
  done
  return 1
}

interpreter_of() { sed -n 's/^interpreter //p' "$binfmt/$1"; }

# "10.0.2" from "qemu-i386 version 10.0.2 (Debian ...)", or nothing.
qemu_version() { "$1" --version 2>/dev/null | sed -n '1s/^qemu-[a-z0-9_]* version \([0-9][0-9.]*\).*/\1/p'; }

mode() {
  if ! runs_32bit; then
    [[ -x $loader32 ]] && { echo none; return; }
    # Before the set-up has installed Wine's 32-bit side: any i386 program would do, and
    # none is at hand. Report what the handlers say.
  fi
  local entry interp version
  if mount_binfmt 2>/dev/null && entry=$(i386_entry); then
    interp=$(interpreter_of "$entry")
    version=$(qemu_version "$interp")
    if [[ -n $version ]]; then echo "qemu-user $version"; else echo "emulated by $interp"; fi
  elif [[ -x $loader32 ]]; then
    echo native
  else
    echo none
  fi
}

# The Debian mirror this machine installs its own release from, for the backports suite.
debian_mirror() {
  apt-get indextargets --format '$(REPO_URI)|$(RELEASE)|$(ORIGIN)' 'Identifier: Packages' 2>/dev/null |
    awk -F'|' -v r="$1" '$2 == r && $3 == "Debian" { print $1; exit }'
}

install_qemu() {
  local codename version
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  if [[ -n $version ]] && dpkg --compare-versions "${version#*:}" ge "$min_major"; then return 0; fi
  export DEBIAN_FRONTEND=noninteractive
  if [[ $codename == bookworm ]]; then
    # Debian 12's own qemu is 7.2; 10.0 is in bookworm-backports. Only qemu-user comes from
    # there: every other package of that suite is pinned below anything of Debian 12's own.
    local mirror
    mirror=$(debian_mirror bookworm)
    [[ -n $mirror ]] || { say "no Debian mirror for bookworm in apt's sources: cannot add bookworm-backports" >&2; return 1; }
    echo "deb ${mirror%/} bookworm-backports main" >/etc/apt/sources.list.d/kq7750-bookworm-backports.list
    cat >/etc/apt/preferences.d/kq7750-bookworm-backports <<'PIN'
# The KQ7750 installer's set-up takes qemu-user 10 from bookworm-backports, and nothing else.
Package: qemu-user
Pin: release n=bookworm-backports
Pin-Priority: 500

Package: *
Pin: release n=bookworm-backports
Pin-Priority: -1
PIN
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends qemu-user/bookworm-backports >/dev/null
  else
    apt-get install -y -q --no-install-recommends qemu-user >/dev/null
  fi
  version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  if [[ -z $version ]] || ! dpkg --compare-versions "${version#*:}" ge "$min_major"; then
    say "Debian's qemu-user here is ${version:-not installable}; 32-bit programs need $min_major or later" >&2
    return 1
  fi
}

refused() {
  say "this machine does not run 32-bit x86 programs, and $1." >&2
  say "As root on this machine (outside any container), run scripts/setup.sh once, or:" >&2
  say "  mount -t binfmt_misc binfmt_misc $binfmt  # if not mounted" >&2
  say "  echo ':$handler:M::$magic:$mask:$(command -v qemu-i386 || echo /usr/bin/qemu-i386):FOC' >$binfmt/register" >&2
  say "Or run everything but the 32-bit programs with KQ_SKIP_X86=1." >&2
  exit 1
}

enable() {
  if [[ ${KQ_SKIP_X86:-0} == 1 ]]; then
    say "KQ_SKIP_X86=1: 32-bit programs are not made to run; the handed-out program will not be tested"
    return 0
  fi
  runs_32bit && return 0
  [[ -x $loader32 ]] || { say "Wine's 32-bit loader $loader32 is missing (package wine32:i386)" >&2; exit 1; }
  [[ $(id -u) -eq 0 ]] || refused "installing and registering qemu-user needs root"
  install_qemu || exit 1
  local interp entry
  interp=$(command -v qemu-i386) || { say "qemu-user brought no qemu-i386" >&2; exit 1; }
  mount_binfmt || refused "binfmt_misc cannot be mounted on $binfmt here (a container without the privilege?)"
  if entry=$(i386_entry); then
    # Not running although registered: another handler, or ours with a binary that is gone.
    say "i386 ELF already goes to the binfmt_misc handler '$entry' ($(interpreter_of "$entry")), which does not run Wine's 32-bit loader." >&2
    say "Remove it (echo -1 >$binfmt/$entry) and run the set-up again." >&2
    exit 1
  fi
  if [[ -e $binfmt/$handler ]]; then
    # Ours, disabled: the same name cannot be registered twice.
    echo -1 >"$binfmt/$handler" 2>/dev/null || refused "the disabled handler $binfmt/$handler cannot be removed"
  fi
  # F opens the interpreter now, so the handler also serves chroots; O and C give it the
  # program as an open file and its own credentials.
  printf ':%s:M::%s:%s:%s:FOC' "$handler" "$magic" "$mask" "$interp" >"$binfmt/register" 2>/dev/null ||
    refused "registering qemu-user with binfmt_misc was refused (a container without the privilege?)"
  runs_32bit || { say "qemu-user $(qemu_version "$interp") is registered, yet Wine's 32-bit loader still does not start" >&2; exit 1; }
  say "this machine does not run 32-bit x86 programs itself: registered qemu-user $(qemu_version "$interp") ($interp) for i386 ELF as binfmt_misc '$handler'"
}

case ${1:-} in
  mode) mode ;;
  enable) enable ;;
  *) echo "usage: $0 mode|enable" >&2; exit 2 ;;
esac
