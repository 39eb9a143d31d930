#!/usr/bin/env bash
# Release artifacts: an sdist and CPython 3.13 wheels for armv7l, aarch64 and
# x86_64 in dist/, each tagged manylinux_2_17 (manylinux2014), byte for byte
# reproducible, and each proven on its architecture.
#
#   sudo bash scripts/wheels.sh                      # all three, each proven
#   sudo bash scripts/wheels.sh --arch armv7l        # one (or a list: armv7l,x86_64)
#   sudo bash scripts/wheels.sh --no-prove           # build only
#   sudo bash scripts/wheels.sh --check              # build again elsewhere, compare with dist/wheels.txt
#   sudo bash scripts/wheels.sh -- -k fetch          # arguments after -- go to pytest
#
# Every wheel is built from the sdist, so the sdist is proven complete too, and
# all of them on this machine without emulation (scripts/lib/cross.sh): the zig
# toolchain from PyPI for glibc 2.17 targets, with its C++ runtime and a
# liblzma built from Debian's source package linked into the modules. The
# members are dated from the commit (SOURCE_DATE_EPOCH), so two runs from the
# same commit give the same bytes; `auditwheel show` checks each tag.
#
# Proof: in a Debian 13 root of the wheel's architecture that has no compiler
# (only Python, libmagic, redis-server, xz and tar), under user-mode emulation
# for the ARM ones, a fresh virtual environment installs the wheel with its
# test extra from binary packages only (--only-binary=:all:), and the whole
# suite runs against it from a copy of tests/. dist/wheels.txt records the
# inputs and a line per file: name, tag, size in bytes, sha256, and the suite's
# closing line; dist/<wheel>.suite.log the suite's output. A wheel built again
# with the same sha256 keeps the result of its earlier proof.
#
# --check builds the sdist and the wheels again, from scratch, in
# build/wheels-check/ (dist/ is left alone) and fails unless each file's sha256
# is the one dist/wheels.txt records.
#
# Needs root (the proofs' roots, the private apt state). Proof roots are kept in
# /var/cache/zelk-<debian arch>-run; --new-roots makes them anew.
set -euo pipefail

arches=armv7l,aarch64,x86_64
prove=1
check=0
new_roots=0
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arches=$2; shift ;;
    --arch=*) arches=${1#--arch=} ;;
    --no-prove) prove=0 ;;
    --check) check=1 prove=0 ;;
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

[ "$(id -u)" -eq 0 ] || die "needs root (debootstrap, chroot, mounts, apt-get)"
[ "$(uname -m)" = x86_64 ] || die "runs on an x86_64 machine"
t0=$SECONDS
DIST=$TOP/dist
RECORDS=$DIST/wheels.txt
mkdir -p "$TOP/build"
# one run at a time on this tree: dist/ and build/ are shared
exec 8>"$TOP/build/wheels.lock"
flock -n 8 || die "another run of scripts/wheels.sh is using this tree"
if [ "$check" -eq 1 ]; then
  [ -f "$RECORDS" ] || die "--check compares with $RECORDS, which does not exist"
  DIST=$TOP/build/wheels-check
  rm -rf "$DIST"
fi
mkdir -p "$DIST"

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
# shellcheck source=scripts/lib/cross.sh
source scripts/lib/cross.sh
# every date in the artifacts is the commit's
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
COMMIT=$(git rev-parse HEAD)
git diff --quiet HEAD -- && [ -z "$(git ls-files --others --exclude-standard)" ] || {
  log "warning: the tree differs from commit ${COMMIT:0:12}; the artifacts are of the tree, dated from the commit"
  COMMIT="$COMMIT+changes"
}
t=$SECONDS
fresh=$TOP/build/sdist
rm -rf "$fresh"
mkdir -p "$fresh"
sdist=$("$PY" -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' "$fresh" | tail -n 1)
[ -f "$fresh/$sdist" ] || die "no sdist was written"
mv -f "$fresh/$sdist" "$DIST/"
sdist=$DIST/$sdist
VERSION=$(basename "$sdist" .tar.gz)
VERSION=${VERSION#zelk_sdk-}
SHA=$(sha256sum "$sdist" | cut -c1-16)
log "sdist: $(basename "$sdist") ($(stat -c %s "$sdist") bytes, sha256 $SHA...) in $(elapsed "$t")"

# The sources every wheel is built from, at one path, and each architecture's
# build directory at one path: zig keeps each object it compiled in its cache
# (build/cross/zig-cache) by its inputs and arguments, so a later run compiles
# only the sources that changed. The build directory itself is kept only for
# the very same sdist (its files all carry one time stamp, so a directory kept
# from other sources would look up to date). A check run builds elsewhere,
# which no cached object matches: from scratch.
SRC=$TOP/build/cross/src
rm -rf "$SRC"
mkdir -p "$SRC"
tar -xzf "$sdist" -C "$SRC"
SRC=$SRC/zelk_sdk-$VERSION
build_dir() {
  local arch=$1
  if [ "$check" -eq 1 ]; then
    REPLY=$TOP/build/wheels-check-build/$arch
    rm -rf "$REPLY"
    return
  fi
  REPLY=$TOP/build/cross/$arch/build
  [ "$(cat "$REPLY.sdist" 2>/dev/null)" = "$SHA" ] || rm -rf "$REPLY"
  mkdir -p "$REPLY"
  echo "$SHA" >"$REPLY.sdist"
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
: >"$DIST/wheels.new"
sdist_line() {
  printf '%s\t%s\t%s\t%s\t%s\n' "$(basename "$sdist")" sdist "$(stat -c %s "$sdist")" \
    "$(sha256sum "$sdist" | cut -d' ' -f1)" "the wheels are built from it"
}
# the proof of a file of the same sha256 in the records
earlier_proof() {
  [ -f "$RECORDS" ] || return 0
  awk -F '\t' -v n="$1" -v s="$2" '$1 == n && $4 == s { print $5 }' "$RECORDS"
}
for arch in "${arch_list[@]}"; do
  deb=$(debian_arch "$arch")
  t=$SECONDS
  build_dir "$arch"
  work=$TOP/build/cross/$arch/out
  cross_wheel "$arch" "$SRC" "$work" "$REPLY"
  rm -f "$DIST"/zelk_sdk-"$VERSION"-*_"$arch".whl "$DIST"/zelk_sdk-"$VERSION"-*_"$arch".whl.suite.log
  cp "$CROSS_WHEEL" "$DIST/"
  wheel=$DIST/$(basename "$CROSS_WHEEL")
  tag=$(basename "$wheel" .whl | cut -d- -f5)
  size=$(stat -c %s "$wheel")
  sum=$(sha256sum "$wheel" | cut -d' ' -f1)
  log "$arch: $(basename "$wheel") ($size bytes, sha256 ${sum:0:16}...) built in $(elapsed "$t")"
  SUITE_LINE=$(earlier_proof "$(basename "$wheel")" "$sum")
  [ -n "$SUITE_LINE" ] || SUITE_LINE="not proven"
  if [ "$prove" -eq 1 ]; then
    prove_wheel "$arch" "$deb" "$wheel" "$@"
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$(basename "$wheel")" "$tag" "$size" "$sum" "$SUITE_LINE" >>"$DIST/wheels.new"
done
log "built in $(elapsed "$t0")"

if [ "$check" -eq 1 ]; then
  sdist_line >>"$DIST/wheels.new"
  bad=0
  while IFS=$'\t' read -r name _ _ sum _; do
    want=$(awk -F '\t' -v n="$name" '$1 == n { print $4 }' "$RECORDS")
    if [ -z "$want" ]; then
      log "check: $name is not in dist/wheels.txt"
      bad=1
    elif [ "$want" != "$sum" ]; then
      log "check: $name differs (sha256 $sum, dist/wheels.txt has $want)"
      bad=1
    else
      log "check: $name is the same (sha256 $sum)"
    fi
  done <"$DIST/wheels.new"
  [ "$bad" -eq 0 ] || die "the second build is not the same; both are kept: dist/ and build/wheels-check/"
  log "check: every file has the sha256 that dist/wheels.txt records"
  exit 0
fi

# the lines of the architectures not built this time are kept, while their
# files are still there
if [ -f "$RECORDS" ]; then
  while IFS=$'\t' read -r name rest; do
    [[ $name == *.whl ]] || continue
    keep=1
    for a in "${arch_list[@]}"; do [[ $name != *_"$a".whl ]] || keep=0; done
    [ "$keep" -eq 0 ] || [ ! -f "$DIST/$name" ] || printf '%s\t%s\n' "$name" "$rest" >>"$DIST/wheels.new"
  done < <(grep -v '^#' "$RECORDS")
fi
sdist_line >>"$DIST/wheels.new"
{
  echo "# zelk_sdk $VERSION from commit $COMMIT, dated $(date -u -d "@$SOURCE_DATE_EPOCH" +%FT%TZ) (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
  echo "# inputs: $(cross_inputs "${arch_list[@]}")"
  echo "# check a second build with: sudo bash scripts/wheels.sh --check"
  printf '# file\ttag\tsize\tsha256\tthe suite on its architecture\n'
  sort "$DIST/wheels.new"
} >"$RECORDS"
rm -f "$DIST/wheels.new"
log "done in $(elapsed "$t0"):"
grep -v '^#' "$RECORDS" | cut -f1,3,4,5 | column -t -s $'\t' >&2
exit $failed
