# Release builds of the wheels for armv7l, aarch64 and x86_64 on this x86_64
# machine, without emulation: the zig toolchain from PyPI (package ziglang)
# compiles for each target against glibc 2.17 and links its own C++ runtime
# statically; liblzma is built for each target from Debian's source package
# with the same toolchain and linked statically; the interpreter's headers of
# each architecture come from Debian's libpython3.13-dev of that architecture.
# Sourced by scripts/wheels.sh and scripts/wheel-check.sh.
#
#   cross_prepare ARCH       the toolchain, the headers and liblzma for ARCH
#                            (each made once and kept under build/cross/)
#   cross_wheel ARCH SRC OUT builds the wheel of the source tree SRC for ARCH
#                            into OUT, tagged manylinux_2_17_ARCH (with its
#                            manylinux2014 alias); sets CROSS_WHEEL
#   cross_inputs             one line naming the versions of the inputs
#
# Needs TOP (the work tree), PY (the build environment's python, from
# scripts/setup.sh), log and die. Fetches only through pip (ziglang) and
# apt-get (Debian's packages, through a private apt state under build/cross/
# whose entries are derived from the machine's own apt sources).

# shellcheck source=scripts/lib/debian-archive.sh
source "$TOP/scripts/lib/debian-archive.sh"

# The toolchain is pinned: another zig makes other bytes.
ZIGLANG_VERSION=0.17.1
GLIBC_FLOOR=2.17
CROSS=$TOP/build/cross

# Per architecture: the zig target, the CPU baseline, Debian's architecture,
# the interpreter's extension suffix, CMake's processor name.
cross_arch() {
  case "$1" in
    armv7l)
      # Debian armhf's baseline: ARMv7-A, Thumb-2, VFPv3-D16, no NEON
      CROSS_TARGET=arm-linux-gnueabihf.$GLIBC_FLOOR CROSS_CPU=baseline-neon-d32 CROSS_DEB=armhf
      CROSS_SOABI=cpython-313-arm-linux-gnueabihf CROSS_PROCESSOR=armv7l
      ;;
    aarch64)
      CROSS_TARGET=aarch64-linux-gnu.$GLIBC_FLOOR CROSS_CPU=baseline CROSS_DEB=arm64
      CROSS_SOABI=cpython-313-aarch64-linux-gnu CROSS_PROCESSOR=aarch64
      ;;
    x86_64)
      CROSS_TARGET=x86_64-linux-gnu.$GLIBC_FLOOR CROSS_CPU=baseline CROSS_DEB=amd64
      CROSS_SOABI=cpython-313-x86_64-linux-gnu CROSS_PROCESSOR=x86_64
      ;;
    *) die "no cross build for $1 (armv7l, aarch64, x86_64)" ;;
  esac
  CROSS_DIR=$CROSS/$1
}

# ------------------------------------------------------------------ zig

cross_zig() {
  local have
  have=$("$PY" -c 'import importlib.metadata as m; print(m.version("ziglang"))' 2>/dev/null || true)
  if [ "$have" != "$ZIGLANG_VERSION" ]; then
    log "installing ziglang $ZIGLANG_VERSION (from PyPI) into the build environment"
    "$PY" -m pip install -q --disable-pip-version-check --only-binary=:all: "ziglang==$ZIGLANG_VERSION"
  fi
  ZIG=$("$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  [ -x "$ZIG" ] || die "ziglang has no zig binary at $ZIG"
  # zig's caches (the C library stubs and the C++ runtime it builds once per
  # target) under build/, not in the home directory
  export ZIG_GLOBAL_CACHE_DIR=$CROSS/zig-cache ZIG_LOCAL_CACHE_DIR=$CROSS/zig-cache
}

# The compiler wrappers and the CMake toolchain file of one architecture.
# Every path of a build (the sources, the build directory) is mapped away, so
# that the objects do not depend on where the tree lies.
cross_toolchain() {
  local bin=$CROSS_DIR/bin
  mkdir -p "$bin"
  local tool
  for tool in cc c++; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q ZIG_LOCAL_CACHE_DIR=%q exec %q %s -target %s -mcpu=%s "$@"\n' \
      "$ZIG_GLOBAL_CACHE_DIR" "$ZIG_LOCAL_CACHE_DIR" "$ZIG" "$tool" "$CROSS_TARGET" "$CROSS_CPU" >"$bin/$tool.new"
    chmod +x "$bin/$tool.new"
    mv -f "$bin/$tool.new" "$bin/$tool"
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec %q %s "$@"\n' "$ZIG" "$tool" >"$bin/$tool.new"
    chmod +x "$bin/$tool.new"
    mv -f "$bin/$tool.new" "$bin/$tool"
  done
  cat >"$CROSS_DIR/toolchain.cmake.new" <<EOF
# written by scripts/lib/cross.sh: zig for $CROSS_TARGET ($CROSS_CPU)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $CROSS_PROCESSOR)
set(CMAKE_C_COMPILER "$bin/cc")
set(CMAKE_CXX_COMPILER "$bin/c++")
set(CMAKE_AR "$bin/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$bin/ranlib" CACHE FILEPATH "")
# reproducible objects: no path of this machine in them (source_location
# names, assertions), no build id; the modules are stripped
set(CMAKE_C_FLAGS_INIT "-ffile-prefix-map=\${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=\${CMAKE_BINARY_DIR}=build")
set(CMAKE_CXX_FLAGS_INIT "-ffile-prefix-map=\${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=\${CMAKE_BINARY_DIR}=build")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s -Wl,--build-id=none")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s -Wl,--build-id=none")
# nothing of this machine's libraries or headers
set(CMAKE_FIND_ROOT_PATH "$CROSS_DIR/sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
  if ! cmp -s "$CROSS_DIR/toolchain.cmake.new" "$CROSS_DIR/toolchain.cmake"; then
    mv -f "$CROSS_DIR/toolchain.cmake.new" "$CROSS_DIR/toolchain.cmake"
  else
    rm -f "$CROSS_DIR/toolchain.cmake.new"
  fi
}

# ------------------------------------------------------------------ Debian's packages

# apt-get with a state of its own under build/cross/apt: this machine's apt
# sources and package state stay untouched. Its entries: the binary packages
# of Debian $DEBIAN_SUITE for the three architectures (the interpreter's
# headers), and the source packages of the suite that the machine's own apt
# sources name (liblzma), both from the archive those sources name.
CROSS_APT=()
cross_apt_setup() {
  [ ${#CROSS_APT[@]} -eq 0 ] || return 0
  local entry uri suite signed opts=""
  entry=$(debian_archive_entry)
  [ -n "$entry" ] || die "no Debian archive found in /etc/apt/sources.list{,.d}"
  read -r uri suite signed <<<"$entry"
  uri=${ZELK_DEBIAN_MIRROR:-$uri}
  [ "$signed" = - ] || opts=" signed-by=$signed"
  local apt=$CROSS/apt
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts"
  {
    echo "deb [arch=amd64,armhf,arm64$opts] $uri $DEBIAN_SUITE main"
    echo "deb-src [${opts# }] $uri $suite main"
  } | sed 's/\[\] //' >"$apt/sources.list"
  CROSS_APT=(apt-get -q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o Dir::State::Status=/dev/null
    -o APT::Architecture=amd64 -o APT::Architectures::=amd64 -o APT::Architectures::=armhf
    -o APT::Architectures::=arm64 -o Debug::NoLocking=1
    # the private state is root's: no change of user to fetch into it
    -o APT::Sandbox::User=root)
  log "reading the package lists (Debian $DEBIAN_SUITE binaries, $suite sources)"
  "${CROSS_APT[@]}" update >"$CROSS/apt.log" 2>&1 || {
    tail -n 20 "$CROSS/apt.log" >&2
    die "apt-get update (private state under build/cross/apt) failed; see $CROSS/apt.log"
  }
  grep -q '^\(W\|E\):' "$CROSS/apt.log" && {
    grep '^\(W\|E\):' "$CROSS/apt.log" >&2
    die "apt-get update (private state under build/cross/apt) did not read every list"
  }
  return 0
}

# One binary package of this architecture from Debian $DEBIAN_SUITE, unpacked
# into DIR (emptied first); its version goes to VERSION_FILE.
cross_deb() {
  local pkg=$1 dir=$2 version_file=$3
  cross_apt_setup
  local tmp=$CROSS/tmp-$pkg-$CROSS_DEB
  rm -rf "$tmp" "$dir"
  mkdir -p "$tmp" "$dir"
  (cd "$tmp" && "${CROSS_APT[@]}" download "$pkg:$CROSS_DEB") >>"$CROSS/apt.log" 2>&1 ||
    die "could not download $pkg:$CROSS_DEB; see $CROSS/apt.log"
  local deb
  deb=$(ls "$tmp"/"$pkg"_*.deb)
  dpkg-deb -x "$deb" "$dir"
  dpkg-deb -f "$deb" Version >"$version_file"
  rm -rf "$tmp"
}

# The interpreter's headers of one architecture, from Debian's
# libpython3.13-dev of that architecture: the architecture's own pyconfig.h
# in place of Debian's wrapper that picks one by the compiler's target.
cross_python_headers() {
  local dest=$CROSS_DIR/sysroot/python
  [ -f "$dest/version" ] && [ -f "$dest/include/python3.13/Python.h" ] && return 0
  local x=$CROSS/tmp-python-x
  rm -rf "$dest"
  cross_deb libpython3.13-dev "$x" "$CROSS/tmp-python-version"
  local triplet
  triplet=$(cd "$x/usr/include" && ls -d ./*-linux-gnu*/python3.13 | cut -d/ -f2)
  [ -f "$x/usr/include/$triplet/python3.13/pyconfig.h" ] || die "no pyconfig.h in libpython3.13-dev:$CROSS_DEB"
  mkdir -p "$dest/include"
  cp -r "$x/usr/include/python3.13" "$dest/include/"
  cp -f "$x/usr/include/$triplet/python3.13/pyconfig.h" "$dest/include/python3.13/pyconfig.h"
  mv "$CROSS/tmp-python-version" "$dest/version"
  rm -rf "$x"
}

# The unwinder that the modules link against: the system's libgcc_s.so.1, as
# Debian's libgcc-s1 of the architecture has it (only its name and symbol
# versions go into a module). zig would link its own unwinder into each module
# instead, and the C library ends a thread (pthread_exit, which the
# interpreter calls for a daemon thread that asks for the GIL while it exits;
# pthread_cancel) by unwinding it with libgcc_s: the module's C++ runtime,
# handed the frames of another unwinder, jumped to a wild address.
cross_unwinder() {
  local dest=$CROSS_DIR/sysroot/unwind
  [ -f "$dest/version" ] && [ -f "$dest/libgcc_s.so.1" ] && return 0
  local x=$CROSS/tmp-unwind-x
  rm -rf "$dest"
  cross_deb libgcc-s1 "$x" "$CROSS/tmp-unwind-version"
  local lib
  lib=$(find "$x" -name libgcc_s.so.1 | head -n 1)
  [ -n "$lib" ] || die "no libgcc_s.so.1 in libgcc-s1:$CROSS_DEB"
  mkdir -p "$dest"
  cp "$(readlink -f "$lib")" "$dest/libgcc_s.so.1"
  mv "$CROSS/tmp-unwind-version" "$dest/version"
  rm -rf "$x"
}

# Debian's source package of xz-utils, unpacked with its patches once.
cross_xz_source() {
  if [ -f "$CROSS/xz/version" ] && [ -f "$CROSS/xz/src/CMakeLists.txt" ]; then
    XZ_SRC=$CROSS/xz/src
    XZ_VERSION=$(cat "$CROSS/xz/version")
    return 0
  fi
  cross_apt_setup
  if ! command -v dpkg-source >/dev/null; then
    log "installing dpkg-dev (dpkg-source unpacks the source package)"
    [ "$(id -u)" -eq 0 ] || die "dpkg-source is missing: install Debian's dpkg-dev"
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends dpkg-dev >/dev/null
  fi
  local tmp=$CROSS/tmp-xz
  rm -rf "$tmp" "$CROSS/xz"
  mkdir -p "$tmp"
  (cd "$tmp" && "${CROSS_APT[@]}" source --download-only xz-utils) >>"$CROSS/apt.log" 2>&1 ||
    die "could not download the source package xz-utils; see $CROSS/apt.log"
  local dsc
  dsc=$(ls "$tmp"/xz-utils_*.dsc)
  (cd "$tmp" && dpkg-source --no-check -x "$(basename "$dsc")" src) >>"$CROSS/apt.log" 2>&1 ||
    die "could not unpack $dsc; see $CROSS/apt.log"
  mkdir -p "$CROSS/xz"
  mv "$tmp/src" "$CROSS/xz/src"
  sed -n 's/^Version: //p' "$dsc" >"$CROSS/xz/version"
  rm -rf "$tmp"
  XZ_SRC=$CROSS/xz/src
  XZ_VERSION=$(cat "$CROSS/xz/version")
}

# liblzma of one architecture: a static, position-independent library with
# hidden symbols, built once per source version, toolchain and target.
cross_liblzma() {
  cross_xz_source
  local dest=$CROSS_DIR/sysroot/lzma
  local stamp="xz-utils $XZ_VERSION, ziglang $ZIGLANG_VERSION, $CROSS_TARGET, $CROSS_CPU"
  if [ -f "$dest/lib/liblzma.a" ] && [ "$(cat "$dest/stamp" 2>/dev/null)" = "$stamp" ]; then
    return 0
  fi
  local t=$SECONDS build=$CROSS_DIR/lzma-build
  rm -rf "$build" "$dest"
  log "building liblzma $XZ_VERSION for $CROSS_TARGET"
  local generator="Unix Makefiles"
  ! command -v ninja >/dev/null || generator=Ninja
  cmake -S "$XZ_SRC" -B "$build" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$CROSS_DIR/toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
    -DCMAKE_C_VISIBILITY_PRESET=hidden -DENABLE_NLS=OFF \
    -DCREATE_XZ_SYMLINKS=OFF -DCREATE_LZMA_SYMLINKS=OFF >"$CROSS_DIR/lzma.log" 2>&1 ||
    die "configuring liblzma failed; see $CROSS_DIR/lzma.log"
  cmake --build "$build" --target liblzma -j "$(nproc)" >>"$CROSS_DIR/lzma.log" 2>&1 ||
    die "building liblzma failed; see $CROSS_DIR/lzma.log"
  mkdir -p "$dest/lib" "$dest/include"
  cp "$build/liblzma.a" "$dest/lib/"
  cp -r "$XZ_SRC/src/liblzma/api/lzma.h" "$XZ_SRC/src/liblzma/api/lzma" "$dest/include/"
  echo "$stamp" >"$dest/stamp"
  rm -rf "$build"
  log "liblzma for $CROSS_TARGET built in $((SECONDS - t))s"
}

cross_prepare() {
  cross_arch "$1"
  [ -n "${ZIG:-}" ] || cross_zig
  cross_toolchain
  cross_python_headers
  cross_unwinder
  cross_liblzma
}

cross_inputs() {
  local v=() a
  for a in armv7l aarch64 x86_64; do
    cross_arch "$a"
    [ -f "$CROSS_DIR/sysroot/python/version" ] || continue
    v+=("libpython3.13-dev:$CROSS_DEB $(cat "$CROSS_DIR/sysroot/python/version")")
    [ -f "$CROSS_DIR/sysroot/unwind/version" ] &&
      v+=("libgcc-s1:$CROSS_DEB $(cat "$CROSS_DIR/sysroot/unwind/version")")
  done
  local IFS=,
  echo "ziglang $ZIGLANG_VERSION (glibc $GLIBC_FLOOR targets); xz-utils $XZ_VERSION (Debian source); ${v[*]}" |
    sed 's/,/, /g'
}

# ------------------------------------------------------------------ the wheel

# Builds the wheel of SRC for ARCH into OUT (emptied first) with the build
# environment's scikit-build-core, in the build directory BUILD (kept: an
# incremental build), then gives it the manylinux_2_17 tag and checks it with
# auditwheel. SOURCE_DATE_EPOCH, when set, dates the wheel's members.
cross_wheel() {
  local arch=$1 src=$2 out=$3 build=$4
  cross_prepare "$arch"
  rm -rf "$out"
  mkdir -p "$out/raw"
  local py_inc=$CROSS_DIR/sysroot/python/include/python3.13 lz=$CROSS_DIR/sysroot/lzma
  local defines="ZELK_CROSS_SOABI=$CROSS_SOABI"
  defines+=";Python_INCLUDE_DIR=$py_inc;Python3_INCLUDE_DIR=$py_inc;PYTHON_INCLUDE_DIR=$py_inc"
  defines+=";LIBLZMA_INCLUDE_DIR=$lz/include;LIBLZMA_LIBRARY=$lz/lib/liblzma.a"
  defines+=";ZELK_UNWINDER=$CROSS_DIR/sysroot/unwind/libgcc_s.so.1"
  SKBUILD_CMAKE_TOOLCHAIN_FILE="$CROSS_DIR/toolchain.cmake" \
    SKBUILD_CMAKE_DEFINE="$defines" \
    SKBUILD_BUILD_DIR="$build" \
    SETUPTOOLS_EXT_SUFFIX=".$CROSS_SOABI.so" \
    _PYTHON_HOST_PLATFORM="linux-$arch" \
    CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" \
    "$PY" -m pip wheel "$src" -w "$out/raw" --no-build-isolation --no-deps -q --disable-pip-version-check
  local raw
  raw=$(ls "$out"/raw/*-linux_"$arch".whl)
  "$PY" "$TOP/scripts/lib/retag.py" "$raw" "manylinux_${GLIBC_FLOOR//./_}_$arch" "$out" >/dev/null
  CROSS_WHEEL=$(ls "$out"/*.whl)
  cross_audit "$CROSS_WHEEL" "$arch"
}

# auditwheel (from PyPI, in a virtual environment of its own under build/)
# must agree with the tag: no shared library to bundle, nothing above the
# glibc floor.
cross_audit() {
  local wheel=$1 arch=$2 tools=$TOP/build/wheel-tools
  [ -x "$tools/bin/auditwheel" ] || {
    [ -x "$tools/bin/python" ] || "$("$PY" -c 'import sys; print(sys._base_executable)')" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: auditwheel
  }
  local show
  show=$("$tools/bin/auditwheel" show "$wheel" 2>&1) || {
    echo "$show" >&2
    die "auditwheel show failed on $(basename "$wheel")"
  }
  grep -q "manylinux_${GLIBC_FLOOR//./_}_$arch" <<<"$show" || {
    echo "$show" >&2
    die "auditwheel does not agree that $(basename "$wheel") is manylinux_${GLIBC_FLOOR//./_}_$arch"
  }
  AUDIT=$show
}
