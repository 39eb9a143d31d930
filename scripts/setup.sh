#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages when missing, a virtual environment
# of CPython 3.13 in .venv with the build and test dependencies, and the
# package itself, built from this tree.
set -euo pipefail
cd "$(dirname "$0")/.."

# "a|b": either package will do; the first one the archive has is installed.
# (Debian 13 renamed libmagic1 to libmagic1t64, and on 32-bit ARM the new
# package does not even provide the old name.)
need_pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
have_any() {
  local alt
  for alt in ${1//|/ }; do have "$alt" && return 0; done
  return 1
}
for pkg in "libmagic1|libmagic1t64" redis-server xz-utils liblzma-dev tar ${ZELK_EXTRA_DEBS:-}; do
  have_any "$pkg" || need_pkgs+=("$pkg")
done
if [ ${#need_pkgs[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  for i in "${!need_pkgs[@]}"; do
    for alt in ${need_pkgs[$i]//|/ }; do
      if [ -n "$(apt-cache policy "$alt" 2>/dev/null | sed -n 's/^ *Candidate: *//p' | grep -v '(none)')" ]; then
        need_pkgs[$i]=$alt
        break
      fi
    done
    need_pkgs[$i]=${need_pkgs[$i]%%|*}
  done
  echo "setup: installing Debian packages: ${need_pkgs[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${need_pkgs[@]}" >/dev/null
fi

find_python() {
  if [ -n "${ZELK_PYTHON:-}" ]; then echo "$ZELK_PYTHON"; return; fi
  for cand in python3.13 ~/.pyenv/versions/3.13.*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      command -v "$cand"; return
    fi
  done
  echo "setup: no CPython 3.13 found (set ZELK_PYTHON)" >&2
  exit 1
}

VENV=${ZELK_VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
  PY=$(find_python)
  echo "setup: creating $VENV with $PY"
  # shellcheck disable=SC2086 # ZELK_VENV_ARGS: options of `python -m venv`, e.g. --system-site-packages
  "$PY" -m venv ${ZELK_VENV_ARGS:-} "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "requests>=2.28" "python-magic>=0.4.27" \
  "redis>=5" "pytest>=8" "hypothesis>=6" "mypy>=1.10" types-requests ${ZELK_EXTRA_PIP:-}
# the formatter of the C++ sources, where PyPI has a wheel for this machine
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: "clang-format==23.1.5" 2>/dev/null ||
  echo "setup: no clang-format wheel for $(uname -m); the format check is skipped"
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  ${ZELK_BUILD_ARGS:-} .
