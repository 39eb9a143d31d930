# Debian 13 roots of any architecture on an x86-64 Debian machine: made once
# with debootstrap, kept in a cache directory, entered with chroot; a foreign
# architecture's programs run under user-mode emulation (qemu-user through the
# kernel's binfmt_misc handler). Sourced by scripts/arm.sh and
# scripts/wheels.sh; needs root.
#
#   root_open ARCH CACHE     take the root of Debian architecture ARCH kept in
#                            CACHE (one user at a time: waits for a lock)
#   root_prepare DEB...      make it if it is not complete, mount /proc, /sys
#                            and /dev, install the packages it lacks
#   in_root CMD...           run a command in it, in a clean environment
#   run_child CMD...         run a long step as a process group of its own
#   root_close               end what runs in it, unmount, release the lock
#
# One root is open at a time; an exit closes it. ROOT_LOG_PREFIX names the
# script in its messages. ZELK_DEBIAN_MIRROR (or the older ZELK_ARM_MIRROR)
# is the archive to make roots from; by default the first Debian archive of
# this machine's apt sources.

# shellcheck source=scripts/lib/debian-archive.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian-archive.sh"
SUITE=$DEBIAN_SUITE
# What building the package and running its suite need in a root (the one of
# scripts/arm.sh); a package added here is installed into an existing root on
# its next use.
BUILD_DEBS=(
  python3.13-dev python3.13-venv python3-venv python3-pip g++ cmake make ninja-build git ca-certificates
  libmagic1t64 redis-server xz-utils liblzma-dev tar
  # the build and test dependencies that Debian has, so that nothing needs
  # compiling under emulation (a venv sees them: --system-site-packages)
  python3-requests python3-magic python3-redis python3-pytest python3-hypothesis python3-mypy
  python3-scikit-build-core
)
# What running the suite against an installed wheel needs: no compiler.
RUN_DEBS=(python3.13 python3.13-venv ca-certificates libmagic1t64 redis-server xz-utils tar)
ROOT_LOG_PREFIX=${ROOT_LOG_PREFIX:-root}

log() { echo "$ROOT_LOG_PREFIX: $*" >&2; }
die() {
  log "$*"
  exit 1
}
elapsed() { echo "$((SECONDS - $1))s"; }
host_have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The qemu-user handler that runs ARCH's programs here, or nothing for the
# machine's own architecture.
qemu_name() {
  case "$1" in
    "$(dpkg --print-architecture)") ;;
    armhf | armel) echo arm ;;
    arm64) echo aarch64 ;;
    i386) ;;
    *) die "no emulation known for the Debian architecture $1" ;;
  esac
}

# ------------------------------------------------------------------ host tools

root_host_tools() {
  local missing=() pkg
  local want=(debootstrap)
  [ -z "$QEMU_NAME" ] || want+=(qemu-user-static binfmt-support)
  for pkg in "${want[@]}"; do
    host_have "$pkg" || missing+=("$pkg")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing on the host: ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  QEMU_IN_ROOT=0
  QEMU=
  [ -n "$QEMU_NAME" ] || return 0
  local binfmt=/proc/sys/fs/binfmt_misc handler=/proc/sys/fs/binfmt_misc/qemu-$QEMU_NAME
  if [ ! -e "$binfmt/status" ]; then
    log "mounting binfmt_misc"
    mount -t binfmt_misc binfmt_misc "$binfmt"
  fi
  if ! grep -qx enabled "$handler" 2>/dev/null; then
    # without binfmt_misc at package installation the handler was never
    # registered: import it from binfmt-support's format files first
    [ -e "$handler" ] || update-binfmts --import "qemu-$QEMU_NAME" >/dev/null 2>&1 || true
    grep -qx enabled "$handler" 2>/dev/null || update-binfmts --enable "qemu-$QEMU_NAME"
  fi
  grep -qx enabled "$handler" || die "the qemu-$QEMU_NAME binfmt handler is not enabled"
  # With the F flag the kernel opens the interpreter once, at registration,
  # and the root does not need a copy of it.
  grep -q '^flags:.*F' "$handler" || QEMU_IN_ROOT=1
  QEMU=$(sed -n 's/^interpreter //p' "$handler")
}

# ------------------------------------------------------------------ mounts

# Mount points at or below the root, from the kernel's own table, deepest
# first. Never a path test: in a root that debootstrap left half made, proc is
# a symbolic link to the host's /proc, which `mountpoint` and `umount` would
# follow.
root_mounts() {
  awk -v root="$ROOT" '{ mp = $5; gsub(/\\040/, " ", mp); if (mp == root || index(mp, root "/") == 1) print mp }' \
    /proc/self/mountinfo | sort -r
}
unmount_all() {
  local mp _
  # a /dev left shared by an older version of this script: never let its
  # unmounts propagate to the host
  if root_mounts | grep -qxF "$ROOT/dev"; then mount --make-rslave "$ROOT/dev" 2>/dev/null || true; fi
  # several passes: a mount point can hold more than one mount (/dev/pts)
  for _ in 1 2 3 4 5; do
    [ -n "$(root_mounts)" ] || return 0
    while IFS= read -r mp; do
      umount "$mp" 2>/dev/null || umount -l "$mp" 2>/dev/null || true
    done < <(root_mounts)
  done
  [ -z "$(root_mounts)" ] || log "warning: still mounted in the root: $(root_mounts | tr '\n' ' ')"
}
mount_all() {
  local m
  for m in proc sys dev; do
    [ -d "$ROOT/$m" ] && [ ! -L "$ROOT/$m" ] || die "$ROOT/$m is not a directory; make the root anew"
  done
  mount -t proc proc "$ROOT/proc"
  mount -t sysfs sysfs "$ROOT/sys"
  # /dev with what lies below it (/dev/pts, /dev/shm for POSIX semaphores);
  # a slave from its first moment (one mount call), so that no unmount here
  # ever reaches the host's /dev, whenever the script is interrupted
  mount --rbind --make-rslave /dev "$ROOT/dev"
}

# ------------------------------------------------------------------ processes

# Processes whose root directory is this root: only these scripts start any.
root_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" = "$ROOT" ] && echo "${p#/proc/}"
  done
  return 0
}
# Ends what is left running in the root (a server that a test started and
# did not stop, or the processes of a run that was killed).
end_root_processes() {
  local pids _
  pids=$(root_pids)
  [ -n "$pids" ] || return 0
  log "ending processes left in the root: $(echo $pids)"
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for _ in $(seq 50); do
    pids=$(root_pids)
    [ -n "$pids" ] || return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $pids 2>/dev/null || true
}

# Long steps run as a process group of their own, in the background, so that
# a signal to the script ends the whole group at once (and not only after the
# step, which is when bash would run the trap). The root's lock (fd 9) is not
# handed down.
child=
run_child() {
  local rc
  setsid "$@" 9>&- &
  child=$!
  wait "$child" && rc=0 || rc=$?
  child=
  return $rc
}
stop_child() {
  local _
  [ -n "$child" ] || return 0
  kill -TERM -- "-$child" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 -- "-$child" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$child" 2>/dev/null || true
  child=
}

# ------------------------------------------------------------------ open, close

# ROOT is set only while this script holds the root's lock: root_close (and
# so an interrupt or an error while waiting) never touches a root that
# another run is using.
ROOT=
root_open() {
  [ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mounts)"
  [ -z "$ROOT" ] || root_close
  ROOT_ARCH=$1
  QEMU_NAME=$(qemu_name "$ROOT_ARCH")
  CACHE=$(realpath -m "$2")
  mkdir -p "$CACHE"
  root_host_tools
  # One user at a time per root: the mounts and the trees copied in are shared.
  exec 9>"$CACHE/lock"
  if ! flock -n 9; then
    log "waiting for another run on $CACHE/root"
    flock 9
  fi
  ROOT=$CACHE/root
  MARKER=$CACHE/root.complete
  # a run that was killed may have left processes and mounts
  if [ -d "$ROOT" ]; then
    end_root_processes
    unmount_all
  fi
  IN_ROOT=(chroot "$ROOT" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
}
root_close() {
  stop_child
  [ -n "$ROOT" ] || return 0
  [ -d "$ROOT" ] && end_root_processes
  unmount_all
  exec 9>&-
  ROOT=
}
trap root_close EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

in_root() { "${IN_ROOT[@]}" "$@"; }

# Sets REPLY to the host's path of the root's PATH (absolute inside the
# root), after checking that no part of it below the root is a symbolic link:
# these scripts work on such paths from the host, where a link planted inside
# the root would lead out of it. Not for $(...): it ends the script.
root_path() {
  local - rel=${1#/} part path=$ROOT
  local IFS=/
  set -f
  for part in $rel; do
    [ -n "$part" ] || continue
    path=$path/$part
    [ ! -L "$path" ] || die "$path is a symbolic link; make the root anew"
  done
  REPLY=$path
}
APT=(apt-get -o Dpkg::Use-Pty=0 -o APT::Install-Recommends=false)

# ------------------------------------------------------------------ making it

# Files of the host that the root takes over on every run: name resolution and
# the local certificate authorities the host trusts (an inspecting proxy's, for
# one), so that apt-get and pip inside reach the same registries.
refresh_host_files() {
  local etc
  root_path /etc/hosts
  etc=${REPLY%/hosts}
  # a link at resolv.conf (to a resolver's file) is replaced, not followed
  cp -L --remove-destination /etc/resolv.conf "$etc/resolv.conf"
  grep -qs '^127\.0\.0\.1[[:space:]].*\blocalhost\b' "$etc/hosts" || echo "127.0.0.1 localhost" >>"$etc/hosts"
  if [ "$QEMU_IN_ROOT" -eq 1 ]; then
    root_path /usr/bin
    cp --remove-destination "$QEMU" "$REPLY/"
  fi
  local src=/usr/local/share/ca-certificates dst
  root_path /usr/local/share/ca-certificates
  dst=$REPLY
  if [ -d "$src" ] && [ -x "$ROOT/usr/sbin/update-ca-certificates" ]; then
    if ! diff -rq "$src" "$dst" >/dev/null 2>&1; then
      rm -rf "$dst"
      mkdir -p "$dst"
      cp -rL "$src/." "$dst/"
      in_root update-ca-certificates >/dev/null 2>&1 || log "warning: update-ca-certificates failed in the root"
    fi
  fi
}

create_root() {
  local mirror=${ZELK_DEBIAN_MIRROR:-${ZELK_ARM_MIRROR:-$(mirror_from_apt_sources)}}
  [ -n "$mirror" ] || die "no Debian archive found in /etc/apt/sources.list{,.d}; set ZELK_DEBIAN_MIRROR"
  log "creating the Debian $SUITE $ROOT_ARCH root in $ROOT from $mirror"
  rm -f "$MARKER"
  if [ -d "$ROOT" ]; then
    unmount_all
    rm -rf --one-file-system "$ROOT"
  fi
  mkdir -p "$ROOT"
  local t=$SECONDS
  debootstrap --arch="$ROOT_ARCH" --variant=minbase --include=ca-certificates --foreign "$SUITE" "$ROOT" "$mirror" >"$CACHE/debootstrap.log" 2>&1 ||
    die "debootstrap (first stage) failed; see $CACHE/debootstrap.log"
  log "first stage (download, unpack) took $(elapsed $t)"
  if [ "$QEMU_IN_ROOT" -eq 1 ]; then cp "$QEMU" "$ROOT/usr/bin/"; fi
  # a cache that is made anew when in doubt: dpkg need not sync every file
  mkdir -p "$ROOT/etc/dpkg/dpkg.cfg.d"
  echo force-unsafe-io >"$ROOT/etc/dpkg/dpkg.cfg.d/zelk-unsafe-io"
  t=$SECONDS
  run_child chroot "$ROOT" /debootstrap/debootstrap --second-stage >>"$CACHE/debootstrap.log" 2>&1 ||
    die "debootstrap (second stage) failed; see $CACHE/debootstrap.log"
  log "second stage took $(elapsed $t)"
  echo "deb $mirror $SUITE main" >"$ROOT/etc/apt/sources.list"
  # the same freshness rule as the host's apt (a fixed snapshot of the archive
  # has a Release file past its Valid-Until date)
  if apt-config dump | grep -qi '^Acquire::Check-Valid-Until "\(false\|0\|no\)"'; then
    echo 'Acquire::Check-Valid-Until "false";' >"$ROOT/etc/apt/apt.conf.d/90zelk-valid-until"
  fi
  # services installed here are never started in the root
  printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
  chmod 755 "$ROOT/usr/sbin/policy-rc.d"
}

root_missing_debs() {
  local installed pkg
  # one dpkg-query for all: every program started in a foreign root is emulated
  installed=$(in_root dpkg-query -W -f='${Package} ${Status}\n' 2>/dev/null | awk '$NF == "installed" { print $1 }')
  for pkg in "$@"; do
    grep -qx -- "$pkg" <<<"$installed" || echo "$pkg"
  done
}

# Makes the root when it is not complete (ROOT_NEW=1: anew in any case),
# mounts what programs need and installs the packages it lacks. A marker
# written at the end of its creation tells a complete root from an
# interrupted one, which is then made anew.
root_prepare() {
  local t_root=$SECONDS created=0 need t_pkgs
  [ "${ROOT_NEW:-0}" -ne 1 ] || rm -f "$MARKER"
  if [ ! -f "$MARKER" ]; then
    create_root
    created=1
  fi
  mount_all
  refresh_host_files
  need=$(root_missing_debs "$@")
  if [ -n "$need" ]; then
    t_pkgs=$SECONDS
    # shellcheck disable=SC2086
    log "installing in the root: $(echo $need)"
    in_root "${APT[@]}" update -qq
    # shellcheck disable=SC2086
    run_child "${IN_ROOT[@]}" "${APT[@]}" install -y -qq $need >"$CACHE/apt.log" 2>&1 || {
      tail -n 30 "$CACHE/apt.log" >&2
      die "apt-get install in the root failed; see $CACHE/apt.log"
    }
    in_root "${APT[@]}" clean
    log "packages installed in $(elapsed "$t_pkgs")"
  fi
  if [ "$created" -eq 1 ]; then
    date -u +%FT%TZ >"$MARKER"
    log "root ready in $(elapsed "$t_root")"
  fi
}

# Copies git's view of the working tree into DIR of the root, made anew:
# tracked files as they are now (deleted ones left out) and untracked files
# that are not ignored; no build products.
copy_tree_into_root() {
  local dir
  root_path "$1"
  dir=$REPLY
  rm -rf "${dir:?}"
  mkdir -p "$dir"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -c | tar -x -C "$dir"
}
