#!/usr/bin/env bash
# Proves the README's two commands on a system that has never seen the project: makes a minimal
# Debian 12 or 13 root, clones the project into it, runs the test command and the main job inside
# it with a bare environment (HOME, PATH and CI only: no LANG, USER, TERM or DISPLAY, as a
# newcomer's fresh root has), and reports each one's exit status and wall time. For
# maintainers, before a release.
#
#   sudo tools/pristine-debian.sh [--suite bookworm|trixie] [--ref REV] [--work DIR] [--keep]
#                                 [--only test|demo] [--lang LOCALE] [--umask MASK] [--mirror URL]
#                                 [--hide COMMAND]
#
# Needs root, debootstrap and network access to a Debian mirror; about 6 GB of disk in the work
# folder. --suite picks Debian 12 (bookworm, the default) or Debian 13 (trixie). --lang LOCALE
# runs both commands once more afterwards in the same root with LANG=LOCALE (C, C.UTF-8, ...).
# --umask MASK runs every command under that umask (077: files readable by their owner only).
# --hide COMMAND removes one command from the root's PATH before the set-up runs (it must then
# stop, naming it): the check of the set-up's own check.
# On a host that runs 32-bit x86 programs only through a binfmt_misc handler (qemu-user, see
# scripts/x86-programs.sh), the handler is taken away while the root is made, so that the root's
# set-up meets the machine as a newcomer's would and registers its own; on exit the root's
# handler is removed and the host's put back.
# A run that was killed outright (SIGKILL, a session stopped) cannot clean up: it leaves its
# root's mounts, and the host without its handler. Its work folder keeps its pid and the
# handler's registration, so the next run finds it, undoes both and removes that root first.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
ref=HEAD
work=
keep=0
only=
mirror=http://deb.debian.org/debian
hide=
suite=bookworm
lang=
umask_cmd=
while (($#)); do
  case $1 in
    --ref) ref=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --only) only=$2; shift 2 ;;
    --mirror) mirror=$2; shift 2 ;;
    --hide) hide=$2; shift 2 ;;
    --suite) suite=$2; shift 2 ;;
    --lang) lang=$2; shift 2 ;;
    --umask) [[ $2 =~ ^[0-7]{3,4}$ ]] || { echo "pristine: --umask takes an octal mask" >&2; exit 2; }
             umask_cmd="umask $2 && "; shift 2 ;;
    *) sed -n '8,10p' "$0" >&2; exit 2 ;;
  esac
done
case $suite in
  bookworm) release="Debian 12" ;;
  trixie) release="Debian 13" ;;
  *) printf 'pristine: --suite is bookworm or trixie\n' >&2; exit 2 ;;
esac

say() { printf 'pristine: %s\n' "$*"; }
[[ $(id -u) -eq 0 ]] || { say "must run as root (debootstrap, mount, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || { say "needs debootstrap (apt-get install debootstrap)" >&2; exit 2; }

binfmt=/proc/sys/fs/binfmt_misc
host_handler=  # the host's i386 handler, as a line for binfmt_misc's register
handlers_taken=0  # set once this run has taken the host's handler away; until then it is left alone

# The enabled binfmt_misc entries that take i386 ELF.
i386_handlers() {
  local entry
  [[ -e $binfmt/register ]] || return 0
  for entry in "$binfmt"/*; do
    [[ ${entry##*/} == register || ${entry##*/} == status ]] && continue
    grep -qE '^magic 7f454c460101[0-9a-f]{24}0300' "$entry" 2>/dev/null && echo "$entry"
  done
}

# An entry as the line that registers it again.
registration() {
  local entry=$1
  esc() { sed 's/../\\x&/g' <<<"$1"; }
  printf ':%s:M:%s:%s:%s:%s:%s' "${entry##*/}" "$(sed -n 's/^offset //p' "$entry")" \
    "$(esc "$(sed -n 's/^magic //p' "$entry")")" "$(esc "$(sed -n 's/^mask //p' "$entry")")" \
    "$(sed -n 's/^interpreter //p' "$entry")" "$(sed -n 's/^flags: //p' "$entry")"
}

# restore_handler LINE: removes every i386 handler (the root's own among them) and registers
# LINE, the host's as a run took it away (none where empty). Fails if that registration fails.
restore_handler() {
  local entry line=$1
  for entry in $(i386_handlers); do echo -1 >"$entry"; done
  [[ -n $line ]] || return 0
  if printf '%s' "$line" >"$binfmt/register"; then
    say "the host's i386 handler is registered again"
  else
    say "could not register the host's i386 handler again: $line" >&2
    return 1
  fi
}

# Ends every process whose root directory lies inside ROOT, by pid.
end_processes_in() {
  local root=$1 pid link dir
  for _ in 1 2 3; do
    local pids=()
    for link in /proc/[0-9]*/root; do
      pid=${link#/proc/}; pid=${pid%/root}
      dir=$(readlink "$link" 2>/dev/null) || continue  # a process that has just ended
      [[ $dir == "$root" || $dir == "$root"/* ]] && pids+=("$pid")
    done
    ((${#pids[@]})) || return 0
    say "ending ${#pids[@]} process(es) left in $root: ${pids[*]}"
    kill -TERM "${pids[@]}" 2>/dev/null
    sleep 2
    kill -KILL "${pids[@]}" 2>/dev/null
    sleep 1
  done
}

# Unmounts everything mounted at or below ROOT, deepest first: ours, debootstrap's, and a
# binfmt_misc the root's set-up mounted in its /proc. Mount points are the fifth field of
# mountinfo; the work folders this script makes have no spaces to escape.
unmount_below() {
  local root=$1 point
  for _ in 1 2 3; do
    local points
    points=$(awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print length($5), $5 }' \
      /proc/self/mountinfo | sort -rn | cut -d' ' -f2-)
    [[ -n $points ]] || return 0
    for point in $points; do umount "$point" 2>/dev/null || umount -l "$point"; done
  done
}

# A work folder's run is over when no live pristine-debian.sh has the pid it wrote.
run_alive() {
  local pid
  pid=$(cat "$1/pristine.pid" 2>/dev/null) || return 1
  [[ $pid =~ ^[0-9]+$ && $pid != "$$" ]] && tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q pristine-debian
}

# Undoes what a killed run left in work folder DIR: processes, mounts, the root itself, and
# the host's i386 handler, registered again from the line the run saved when it took it away.
recover_killed_run() {
  local dir=$1 saved
  set +e  # each step as far as it goes: one failing must not leave the others undone
  say "an earlier run in $dir ended without cleaning up: undoing what it left"
  end_processes_in "$dir/root"
  unmount_below "$dir/root"
  if [[ -f $dir/host-i386-handler ]]; then
    saved=$(cat "$dir/host-i386-handler")
    restore_handler "$saved" && rm -f "$dir/host-i386-handler"
  fi
  [[ -d $dir/root ]] && rm -rf --one-file-system "$dir/root"
  rm -f "$dir/pristine.pid"
  set -e
}

# Two runs at once would take the same host handler away twice; a run killed before is undone.
# Paths as mountinfo gives them: absolute, without symbolic links.
[[ -n $work && -d $work ]] && work=$(cd "$work" && pwd -P)
for dir in /var/tmp/kq-pristine.* ${work:+"$work"}; do
  [[ -f $dir/pristine.pid ]] || continue
  if run_alive "$dir"; then
    say "another run ($(cat "$dir/pristine.pid")) is using $dir: one root at a time" >&2
    exit 2
  fi
  recover_killed_run "$dir"
done

work=${work:-$(mktemp -d /var/tmp/kq-pristine.XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd -P)
root=$work/root
echo $$ >"$work/pristine.pid"

# Ends the processes left in the root, puts the host's handler back and unmounts everything
# below the root. Runs on every exit but SIGKILL's; the next run undoes that one.
cleanup() {
  local status=$?
  set +e
  end_processes_in "$root"
  ((handlers_taken == 0)) || { restore_handler "$host_handler" && rm -f "$work/host-i386-handler"; }
  unmount_below "$root"
  if ((keep == 0)) && [[ -d $root ]]; then
    rm -rf --one-file-system "$root"
  else
    say "kept $root"
  fi
  rm -f "$work/pristine.pid"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_in() {  # mount_in TARGET MOUNT-ARGS...
  local target=$root$1; shift
  mkdir -p "$target"
  mount "$@" "$target"
  # Private, so that nothing mounted below a bound /dev reaches the host's tree.
  mount --make-private "$target"
}

t0=$(date +%s)
say "making a minimal $release ($suite) root in $root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 \
  || { say "debootstrap failed; see $work/debootstrap.log" >&2; exit 1; }
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb http://deb.debian.org/debian-security $suite-security main
EOF
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The network's own trust, not the system's: where this host's network inspects TLS, its
# certificate authority (in the host's local certificates) is what any machine on it needs
# to reach an https registry. Debian's ca-certificates adds them to the root's store when the
# set-up installs it; nothing else of the host goes in.
if compgen -G "/usr/local/share/ca-certificates/*.crt" >/dev/null; then
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
fi
say "root made in $(($(date +%s) - t0)) s"

mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs tmpfs
mount_in /tmp -t tmpfs tmpfs

# The project arrives as a newcomer's clone would: committed files only, nothing built.
src=/home/newcomer/kq7750
git clone -q --no-local "$repo" "$root$src"
git -C "$root$src" checkout -q --detach "$ref"
say "cloned $(git -C "$root$src" log -1 --format='%h %s' | cut -c1-70)"

path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# The host's own handler of i386 ELF, taken away for the root's set-up to meet a machine that
# refuses 32-bit code; cleanup puts it back. The saved line (empty where the host has none)
# tells a later run what to put back should this one be killed.
: >"$work/host-i386-handler"
handlers_taken=1
for entry in $(i386_handlers); do
  [[ $(head -1 "$entry") == enabled ]] || continue
  host_handler=$(registration "$entry")
  printf '%s' "$host_handler" >"$work/host-i386-handler"
  say "the host runs 32-bit programs through binfmt_misc '${entry##*/}': taken away while the root is used"
  echo -1 >"$entry"
done

# run_in_root NAME COMMAND [PATH [VAR=VALUE...]]: runs it as root inside the new root, timed,
# with only HOME, PATH and the variables given in its environment.
run_in_root() {
  local name=$1 cmd=$2 dirs=${3:-$path} start rc
  shift 2; shift $(($# ? 1 : 0))
  start=$(date +%s)
  say "running '$cmd'${*:+ with $*} (log: $work/$name.log)"
  set +e
  chroot "$root" /usr/bin/env -i HOME=/root PATH="$dirs" "$@" \
    /bin/bash -c "${umask_cmd}cd $src && $cmd" >"$work/$name.log" 2>&1
  rc=$?
  set -e
  tail -n 5 "$work/$name.log" | sed 's/^/    /'
  printf '%s\t%s\t%s\n' "$name" "$rc" "$(($(date +%s) - start))" >>"$work/results.tsv"
  say "'$cmd': exit $rc, $(($(date +%s) - start)) s"
}

: >"$work/results.tsv"
verdict=
if [[ -n $hide ]]; then
  run_in_root setup "bash scripts/setup.sh"
  # A PATH of links to every command but one, made after the set-up has installed everything.
  mkdir -p "$root/opt/hide"
  for dir in /usr/local/sbin /usr/local/bin /usr/sbin /usr/bin; do
    for f in "$root$dir"/*; do
      name=${f##*/}
      [[ $name == "$hide" || -L $root/opt/hide/$name ]] || ln -s "$dir/$name" "$root/opt/hide/$name"
    done
  done
  run_in_root "setup-without-$hide" "bash scripts/setup.sh" /opt/hide
  if grep -q "'$hide' is still missing" "$work/setup-without-$hide.log"; then
    say "the set-up stopped, naming '$hide'"
    verdict=0
  else
    say "the set-up did NOT name '$hide'" >&2
    verdict=1
  fi
else
  # CI sets CI=true, which makes the build treat warnings as errors.
  [[ $only == demo ]] || run_in_root test "bash .ci/run" "$path" CI=true
  [[ $only == test ]] || run_in_root demo "bash scripts/demo.sh" "$path" CI=true
  if [[ -n $lang ]]; then
    [[ $only == demo ]] || run_in_root "test-LANG=$lang" "bash .ci/run" "$path" CI=true LANG="$lang"
    [[ $only == test ]] || run_in_root "demo-LANG=$lang" "bash scripts/demo.sh" "$path" CI=true LANG="$lang"
  fi
fi

echo
say "results (name, exit status, wall seconds); logs in $work"
column -t "$work/results.tsv" 2>/dev/null || cat "$work/results.tsv"
if [[ -z $verdict ]]; then
  grep -qv $'\t0\t' "$work/results.tsv" && verdict=1 || verdict=0
fi
exit $verdict
