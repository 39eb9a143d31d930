#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer (in
# .venv-asan, build tree build/asan) and runs the whole test suite against it.
# Extra arguments go to pytest. Fails when pytest fails or when any process of
# the run (test subprocesses included) wrote a sanitizer report.
#
# The interpreter itself is not instrumented, so the runtimes are preloaded;
# leak detection is off because CPython does not free everything at exit (the
# reference and memory leak tests cover leaks instead).
set -euo pipefail
cd "$(dirname "$0")/.."

export ZELK_VENV=${ZELK_ASAN_VENV:-.venv-asan}
ZELK_BUILD_ARGS="-Ccmake.define.ZELK_SANITIZE=ON -Cbuild-dir=build/asan ${ZELK_BUILD_ARGS:-}" bash scripts/setup.sh

CXX=${CXX:-c++}
asan=$("$CXX" -print-file-name=libasan.so)
ubsan=$("$CXX" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
  [ -e "$lib" ] || { echo "sanitize: $lib not found" >&2; exit 1; }
done

reports=$(mktemp -d "${TMPDIR:-/tmp}/zelk-sanitize.XXXXXX")
trap 'rm -rf "$reports"' EXIT
# the servers the tests start are not ours to instrument (and redis-server's
# own allocator does not mix with the preloaded one): run them without it
mkdir "$reports/bin"
for tool in redis-server redis-cli; do
  real=$(command -v "$tool" || true)
  [ -n "$real" ] || continue
  printf '#!/bin/sh\nunset LD_PRELOAD\nexec %s "$@"\n' "$real" >"$reports/bin/$tool"
  chmod +x "$reports/bin/$tool"
done
export PATH="$reports/bin:$PATH"
export LD_PRELOAD="$asan:$ubsan"
# a small quarantine: the tests that bound peak memory would otherwise measure it
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:quarantine_size_mb=16:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
# tests that measure resident memory know that the quarantine inflates it
export ZELK_SANITIZED=1

set +e
"$ZELK_VENV/bin/python" -m pytest -p no:cacheprovider "$@"
rc=$?
set -e

if compgen -G "$reports/[au]*san.*" >/dev/null; then
  echo "sanitize: sanitizer reports were written:" >&2
  for f in "$reports"/[au]*san.*; do
    echo "---- $(basename "$f")" >&2
    cat "$f" >&2
  done
  exit 1
fi
if [ $rc -eq 5 ]; then
  echo "sanitize: pytest collected no tests" >&2
  exit 1
fi
[ $rc -eq 0 ] && echo "sanitize: no sanitizer report"
exit $rc
