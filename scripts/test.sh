#!/usr/bin/env bash
# Runs the whole test suite against the installed package: sets up first, then
# checks the type stubs (scripts/typecheck.sh) and the formatting of the C++
# sources (scripts/format.sh --check) and runs pytest. Extra arguments
# go to pytest. ZELK_SKIP_TYPECHECK=1 leaves the stub checks out.
#
# ZELK_FULL=1 is the full mode: the reliability tests run at full size
# (50 000 calls per leak case, 30 kills, more generated examples), and then
# the whole suite runs once more against a sanitizer build (scripts/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
VENV=${ZELK_VENV:-.venv}
typecheck_rc=0
if [ "${ZELK_SKIP_TYPECHECK:-0}" != 1 ]; then
  bash scripts/typecheck.sh || typecheck_rc=$?
fi
format_rc=0
bash scripts/format.sh --check || format_rc=$?
set +e
"$VENV/bin/python" -m pytest "$@"
rc=$?
set -e
if [ $rc -eq 5 ]; then
  echo "test: pytest collected no tests; that is a failure here" >&2
  exit 1
fi
if [ $typecheck_rc -ne 0 ]; then
  echo "test: the type stub checks failed" >&2
  [ $rc -ne 0 ] || rc=$typecheck_rc
fi
if [ $format_rc -ne 0 ]; then
  echo "test: the C++ sources are not formatted (scripts/format.sh)" >&2
  [ $rc -ne 0 ] || rc=$format_rc
fi
if [ $rc -eq 0 ] && [ -n "${ZELK_FULL:-}" ] && [ "${ZELK_FULL}" != 0 ]; then
  ZELK_FULL= ZELK_SKIP_TYPECHECK=1 bash scripts/sanitize.sh "$@" || rc=$?
fi
exit $rc
