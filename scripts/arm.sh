#!/usr/bin/env bash
# Builds the package and runs the whole test suite on 32-bit ARM (armv7l), on
# an x86-64 Debian machine, under user-mode emulation: the suite runs in a
# Debian 13 armhf root whose programs (python3.13, g++, redis-server, ...) are
# armhf binaries executed through the kernel's binfmt_misc handler.
#
#   sudo scripts/arm.sh [--clean] [--new-root] [pytest arguments...]
#
# Needs root. Installs what it needs on the host when missing (qemu-user-static,
# binfmt-support, debootstrap). The root is created once and kept in
# $ZELK_ARM_CACHE (default /var/cache/zelk-armhf); a marker written at the end
# of its creation tells a complete root from an interrupted one, which is then
# made anew. Each run copies the working tree (tracked and untracked files that
# git does not ignore) into the root and runs `bash scripts/test.sh` there with
# the root's /usr/bin/python3.13; the exit status is the suite's.
#
# The virtual environment and the CMake build directory live in the root,
# outside the copied tree, and are kept between runs, so a later run only
# recompiles what changed.
#
#   --clean     start from a new virtual environment and build directory
#   --new-root  make the root anew (what --clean does, and more)
#
# Environment:
#   ZELK_ARM_CACHE       where the root is kept (default /var/cache/zelk-armhf)
#   ZELK_ARM_MIRROR      the Debian archive to create the root from; by default
#                        the first Debian archive of this machine's apt sources
#   ZELK_ARM_OPT         optimisation flags of the native build instead of the
#                        project's Release flags, e.g. "-O1" for a faster compile
#   ZELK_ARM_JOBS        parallel compile jobs (default: the number of cores)
#   ZELK_ARM_EXTRA_DEBS  more armhf Debian packages to install in the root
#   ZELK_EXTRA_PIP       handed to scripts/setup.sh inside the root
set -euo pipefail

SUITE=trixie
ARCH=armhf
# what the build and the suite need inside the root; a package added here is
# installed into an existing root on its next run
ROOT_DEBS=(
  python3.13-dev python3.13-venv python3-venv python3-pip g++ cmake make ninja-build git ca-certificates
  libmagic1t64 redis-server xz-utils liblzma-dev tar
  # the build and test dependencies that Debian has, so that nothing needs
  # compiling under emulation (the venv sees them: --system-site-packages)
  python3-requests python3-magic python3-redis python3-pytest python3-hypothesis python3-mypy
  python3-scikit-build-core
)

log() { echo "arm: $*" >&2; }
die() {
  log "$*"
  exit 1
}

clean=0
new_root=0
while [ $# -gt 0 ]; do
  case "$1" in
    --clean) clean=1 ;;
    --new-root) new_root=1 clean=1 ;;
    --) shift; break ;;
    *) break ;;
  esac
  shift
done

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mounts)"
TOP=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
cd "$TOP"

CACHE=$(realpath -m "${ZELK_ARM_CACHE:-/var/cache/zelk-armhf}")
ROOT=$CACHE/root
MARKER=$CACHE/root.complete
mkdir -p "$CACHE"

t0=$SECONDS
elapsed() { echo "$((SECONDS - $1))s"; }

# ------------------------------------------------------------------ host tools

host_have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for pkg in qemu-user-static binfmt-support debootstrap; do
  host_have "$pkg" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing on the host: ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

BINFMT=/proc/sys/fs/binfmt_misc
if [ ! -e "$BINFMT/status" ]; then
  log "mounting binfmt_misc"
  mount -t binfmt_misc binfmt_misc "$BINFMT"
fi
if ! grep -qx enabled "$BINFMT/qemu-arm" 2>/dev/null; then
  # without binfmt_misc at package installation the handler was never
  # registered: import it from binfmt-support's format files first
  [ -e "$BINFMT/qemu-arm" ] || update-binfmts --import qemu-arm >/dev/null 2>&1 || true
  grep -qx enabled "$BINFMT/qemu-arm" 2>/dev/null || update-binfmts --enable qemu-arm
fi
grep -qx enabled "$BINFMT/qemu-arm" || die "the qemu-arm binfmt handler is not enabled"
# With the F flag the kernel opens the interpreter once, at registration, and
# the root does not need a copy of it.
QEMU_IN_ROOT=0
grep -q '^flags:.*F' "$BINFMT/qemu-arm" || QEMU_IN_ROOT=1
QEMU=$(sed -n 's/^interpreter //p' "$BINFMT/qemu-arm")

# One run at a time per root: the mounts and the copied tree are shared.
exec 9>"$CACHE/lock"
if ! flock -n 9; then
  log "waiting for another run on $ROOT"
  flock 9
fi

# ------------------------------------------------------------------ mounts

MOUNTS=(proc sys dev)
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
  for m in "${MOUNTS[@]}"; do
    [ -d "$ROOT/$m" ] && [ ! -L "$ROOT/$m" ] || die "$ROOT/$m is not a directory; make the root anew (--new-root)"
  done
  mount -t proc proc "$ROOT/proc"
  mount -t sysfs sysfs "$ROOT/sys"
  # /dev with what lies below it (/dev/pts, /dev/shm for POSIX semaphores);
  # a slave, so that the unmount on exit never reaches the host's /dev
  mount --rbind /dev "$ROOT/dev"
  mount --make-rslave "$ROOT/dev"
}

# Processes whose root directory is this root: only this script starts any.
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
  local pids
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

# Long steps in the root run as a process group of their own, in the
# background, so that a signal to this script ends the whole group at once
# (and not only after the step, which is when bash would run the trap).
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
  [ -n "$child" ] || return 0
  kill -TERM -- "-$child" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 -- "-$child" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$child" 2>/dev/null || true
  child=
}
cleanup() {
  stop_child
  [ -d "$ROOT" ] && end_root_processes
  unmount_all
}

# an earlier run that was killed may have left processes and mounts
if [ -d "$ROOT" ]; then
  end_root_processes
  unmount_all
fi
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

IN_ROOT=(chroot "$ROOT" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
in_root() { "${IN_ROOT[@]}" "$@"; }
APT=(apt-get -o Dpkg::Use-Pty=0 -o APT::Install-Recommends=false)

# ------------------------------------------------------------------ the root

# The first archive of Debian itself among the machine's apt sources (one-line
# *.list entries and deb822 *.sources stanzas alike): a "deb" source of the
# component main whose suite is a Debian release name, not one of its
# -security, -updates or -backports suites.
mirror_from_apt_sources() {
  local releases='^(oldoldstable|oldstable|stable|testing|unstable|sid|experimental|buster|bullseye|bookworm|trixie|forky|duke)$'
  # a one-line entry: deb [options] uri suite component...
  local one_line='
    /^[ \t]*deb[ \t]/ {
      i = 2
      if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
      uri = $i; suite = $(i + 1); main = 0
      for (j = i + 2; j <= NF; j++) if ($j == "main") main = 1
      if (main && suite ~ rel) print uri
    }'
  local f
  {
    [ -f /etc/apt/sources.list ] && awk -v rel="$releases" "$one_line" /etc/apt/sources.list
    for f in /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] || continue
      awk -v rel="$releases" "$one_line" "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      awk -v rel="$releases" '
        function flush() {
          if (types ~ /(^| )deb( |$)/ && comps ~ /(^| )main( |$)/ && enabled !~ /^(no|false)$/) {
            n = split(suites, s, " ")
            for (k = 1; k <= n; k++) if (s[k] ~ rel) { split(uris, u, " "); print u[1]; break }
          }
          types = uris = suites = comps = enabled = ""
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        {
          key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^[ \t]+/, "")
          if (key == "types") types = $0
          else if (key == "uris") uris = $0
          else if (key == "suites") suites = $0
          else if (key == "components") comps = $0
          else if (key == "enabled") enabled = tolower($0)
        }
        END { flush() }' "$f"
    done
  } | head -n 1
}

root_missing_debs() {
  local want=("${ROOT_DEBS[@]}")
  # shellcheck disable=SC2206
  [ -n "${ZELK_ARM_EXTRA_DEBS:-}" ] && want+=(${ZELK_ARM_EXTRA_DEBS})
  local installed pkg
  # one dpkg-query for all: every program started in the root is emulated
  installed=$(in_root dpkg-query -W -f='${Package} ${Status}\n' 2>/dev/null | awk '$NF == "installed" { print $1 }')
  for pkg in "${want[@]}"; do
    grep -qx -- "$pkg" <<<"$installed" || echo "$pkg"
  done
}

# Files of the host that the root takes over on every run: name resolution and
# the local certificate authorities the host trusts (an inspecting proxy's, for
# one), so that apt-get and pip inside reach the same registries.
refresh_host_files() {
  cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
  grep -qs '^127\.0\.0\.1[[:space:]].*\blocalhost\b' "$ROOT/etc/hosts" || echo "127.0.0.1 localhost" >>"$ROOT/etc/hosts"
  if [ "$QEMU_IN_ROOT" -eq 1 ]; then cp "$QEMU" "$ROOT/usr/bin/"; fi
  local src=/usr/local/share/ca-certificates dst=$ROOT/usr/local/share/ca-certificates
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
  local mirror=${ZELK_ARM_MIRROR:-$(mirror_from_apt_sources)}
  [ -n "$mirror" ] || die "no Debian archive found in /etc/apt/sources.list{,.d}; set ZELK_ARM_MIRROR"
  log "creating the Debian $SUITE $ARCH root in $ROOT from $mirror"
  rm -f "$MARKER"
  if [ -d "$ROOT" ]; then
    unmount_all
    rm -rf --one-file-system "$ROOT"
  fi
  mkdir -p "$ROOT"
  local t=$SECONDS
  debootstrap --arch="$ARCH" --variant=minbase --include=ca-certificates --foreign "$SUITE" "$ROOT" "$mirror" >"$CACHE/debootstrap.log" 2>&1 ||
    die "debootstrap (first stage) failed; see $CACHE/debootstrap.log"
  log "first stage (download, unpack) took $(elapsed $t)"
  if [ "$QEMU_IN_ROOT" -eq 1 ]; then cp "$QEMU" "$ROOT/usr/bin/"; fi
  # a cache that is made anew when in doubt: dpkg need not sync every file
  mkdir -p "$ROOT/etc/dpkg/dpkg.cfg.d"
  echo force-unsafe-io >"$ROOT/etc/dpkg/dpkg.cfg.d/zelk-unsafe-io"
  t=$SECONDS
  run_child chroot "$ROOT" /debootstrap/debootstrap --second-stage >>"$CACHE/debootstrap.log" 2>&1 ||
    die "debootstrap (second stage) failed; see $CACHE/debootstrap.log"
  log "second stage (emulated) took $(elapsed $t)"
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

if [ "$new_root" -eq 1 ]; then rm -f "$MARKER"; fi
t_root=$SECONDS
created=0
if [ ! -f "$MARKER" ]; then
  create_root
  created=1
fi
mount_all
refresh_host_files
need=$(root_missing_debs)
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

# ------------------------------------------------------------------ the tree

# Paths inside the root. The tree copy is made anew each run; the venv and the
# build directory are kept.
WORK=/work
TREE=$WORK/zelk
STATE=/var/lib/zelk
VENV=$STATE/venv
BUILD=$STATE/build
if [ "$clean" -eq 1 ]; then rm -rf "${ROOT:?}$STATE"; fi
mkdir -p "$ROOT$STATE"

rm -rf "${ROOT:?}$TREE"
mkdir -p "$ROOT$TREE"
# git's view of the working tree: tracked files as they are now (deleted ones
# left out) and untracked files that are not ignored; no build products
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] || [ -L "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -c | tar -x -C "$ROOT$TREE"
# the shared corpus that the tests find beside the tree (tests/conftest.py)
rm -rf "${ROOT:?}$WORK/shared"
if [ -d "$TOP/../shared/corpus" ]; then
  mkdir -p "$ROOT$WORK/shared"
  cp -r "$TOP/../shared/corpus" "$ROOT$WORK/shared/"
fi

# ------------------------------------------------------------------ the run

machine=$(in_root /usr/bin/python3.13 -c 'import platform, sys; print(platform.machine(), sys.maxsize == 2**31 - 1)')
[ "$machine" = "armv7l True" ] || die "the root does not run as 32-bit armv7l (python3.13 says: $machine)"
log "running the suite on $(in_root uname -m), python $(in_root /usr/bin/python3.13 -c 'import platform; print(platform.python_version())')"

run_env=(
  ZELK_EMULATED=1
  ZELK_PYTHON=/usr/bin/python3.13
  ZELK_VENV="$VENV"
  ZELK_VENV_ARGS=--system-site-packages
  SKBUILD_BUILD_DIR="$BUILD/{wheel_tag}"
  CMAKE_BUILD_PARALLEL_LEVEL="${ZELK_ARM_JOBS:-$(nproc)}"
  PIP_DISABLE_PIP_VERSION_CHECK=1
  PIP_CERT=/etc/ssl/certs/ca-certificates.crt
  TERM="${TERM:-dumb}"
)
if [ -n "${ZELK_ARM_OPT:-}" ]; then
  run_env+=("SKBUILD_CMAKE_DEFINE=CMAKE_CXX_FLAGS_RELEASE=${ZELK_ARM_OPT} -DNDEBUG")
fi
[ -n "${ZELK_EXTRA_PIP:-}" ] && run_env+=(ZELK_EXTRA_PIP="$ZELK_EXTRA_PIP")
[ -n "${PIP_DEFAULT_TIMEOUT:-}" ] && run_env+=(PIP_DEFAULT_TIMEOUT="$PIP_DEFAULT_TIMEOUT")
[ -n "${CI:-}" ] && run_env+=(CI="$CI")

t_run=$SECONDS
rc=0
run_child "${IN_ROOT[@]}" "${run_env[@]}" bash -c 'cd "$1" && shift && exec bash scripts/test.sh "$@"' arm-test "$TREE" "$@" || rc=$?
log "setup, build and suite on armv7l took $(elapsed "$t_run"); whole run $(elapsed "$t0"); exit status $rc"
exit $rc
