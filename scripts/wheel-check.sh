#!/usr/bin/env bash
# The wheel as a user gets it, built the release way: the x86_64 wheel of
# the working tree, cross-built as scripts/wheels.sh builds it (the zig
# toolchain from PyPI, glibc 2.17 target, liblzma from Debian's source package
# linked in: scripts/lib/cross.sh) and tagged manylinux_2_17_x86_64; a fresh
# virtual environment of this machine's interpreter installs it with its
# dependencies (binary packages only, so nothing is compiled there), and the
# test suite and the stub checks run against it from a copy of tests/ outside
# the source tree.
#
#   bash scripts/wheel-check.sh            # wheel in build/wheel-check/
#   ZELK_WHEEL_DIR=/tmp/w bash scripts/wheel-check.sh -k fetch
#
# The wheel goes to a directory of its own and never replaces what
# scripts/wheels.sh wrote to dist/. The toolchain (ziglang, into the build
# environment), the interpreter's headers and liblzma are fetched and built
# on the first run and kept under build/cross/; the build directory
# (build/wheel-check-build) is kept, so a later run recompiles only what
# changed.
#
# Extra arguments go to pytest. Needs the build environment of scripts/setup.sh
# and, on a machine where build/cross/ is new, root (apt-get; dpkg-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$(pwd)
VENV=${ZELK_VENV:-.venv}
DIST=${ZELK_WHEEL_DIR:-build/wheel-check}
[ -x "$VENV/bin/python" ] || bash scripts/setup.sh
PY=$(cd "$(dirname "$VENV/bin/python")" && pwd)/python
log() { echo "wheel-check: $*" >&2; }
die() {
  log "$*"
  exit 1
}
elapsed() { echo "$((SECONDS - $1))s"; }
# shellcheck source=scripts/lib/cross.sh
source scripts/lib/cross.sh
mkdir -p "$DIST"
DIST=$(cd "$DIST" && pwd)
rm -f "$DIST"/zelk_sdk-*.whl

start=$(date +%s)
cross_wheel x86_64 "$TOP" "$DIST/out" "$TOP/build/wheel-check-build"
mv "$CROSS_WHEEL" "$DIST/"
wheel=$DIST/$(basename "$CROSS_WHEEL")
rm -rf "$DIST/out"
echo "wheel-check: built $(basename "$wheel") (the release way: $CROSS_TARGET) in $(($(date +%s) - start)) s"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
base_python=$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)')
"$base_python" -m venv --without-pip "$work/venv"
# the build environment's pip installs into the new one
"$VENV/bin/python" -m pip --python "$work/venv/bin/python" install -q --only-binary=:all: "$wheel[test]"
echo "wheel-check: installed into a fresh environment in $(($(date +%s) - start)) s"

cp -r tests "$work/tests"  # with tests/data, the real inputs that some tests read
cp pyproject.toml "$work/"  # pytest's settings and markers; nothing else there reads it
mkdir "$work/scripts" && cp scripts/demo.py "$work/scripts/"  # tests/test_cli.py runs the demo
rm -rf "$work/tests/__pycache__" "$work/tests/support/__pycache__"
ZELK_VENV="$work/venv" ZELK_SKIP_WHEEL=1 bash scripts/typecheck.sh
set +e
(cd "$work" && ZELK_SKIP_WHEEL=1 venv/bin/python -m pytest -p no:cacheprovider "$@" tests)
rc=$?
set -e
echo "wheel-check: done in $(($(date +%s) - start)) s (pytest status $rc)"
if [ $rc -eq 5 ]; then
  echo "wheel-check: pytest collected no tests" >&2
  exit 1
fi
exit $rc
