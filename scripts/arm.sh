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

ARCH=armhf
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

TOP=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
cd "$TOP"
ROOT_LOG_PREFIX=arm
# shellcheck source=scripts/lib/debian-root.sh
source scripts/lib/debian-root.sh

t0=$SECONDS
root_open "$ARCH" "${ZELK_ARM_CACHE:-/var/cache/zelk-armhf}"
want=("${BUILD_DEBS[@]}")
# shellcheck disable=SC2206
[ -n "${ZELK_ARM_EXTRA_DEBS:-}" ] && want+=(${ZELK_ARM_EXTRA_DEBS})
ROOT_NEW=$new_root root_prepare "${want[@]}"

# ------------------------------------------------------------------ the tree

# Paths inside the root. The tree copy is made anew each run; the venv and the
# build directory are kept.
WORK=/work
TREE=$WORK/zelk
STATE=/var/lib/zelk
VENV=$STATE/venv
BUILD=$STATE/build
root_path "$STATE"
if [ "$clean" -eq 1 ]; then rm -rf "${REPLY:?}"; fi
mkdir -p "$REPLY"

copy_tree_into_root "$TREE"
# left by earlier versions of this script
root_path "$WORK/shared"
rm -rf "${REPLY:?}"

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
