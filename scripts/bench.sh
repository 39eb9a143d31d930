#!/usr/bin/env bash
# Sets the machine up as scripts/setup.sh does, plus nginx and curl for the
# download row, then runs the benchmarks and prints one table. Arguments go to
# bench/run.py (--quick for a short run, --rows to pick rows).
set -euo pipefail
cd "$(dirname "$0")/.."

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
for pkg in nginx curl; do have "$pkg" || need+=("$pkg"); done
if [ ${#need[@]} -gt 0 ]; then
  echo "bench: installing Debian packages: ${need[*]}"
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  # the benchmark starts its own nginx on 127.0.0.1; the package's service
  # (port 80 on every interface) is kept from starting while it installs
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
  fi
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${need[@]}" >/dev/null || echo "bench: could not install ${need[*]}; the rows that need them say so"
  if [ -n "$policy" ]; then $SUDO rm -f "$policy"; fi
fi

bash scripts/setup.sh
exec .venv/bin/python bench/run.py "$@"
