#!/usr/bin/env bash
# Runs the whole test suite against the installed package: sets up first.
# Extra arguments go to pytest.
#
# ZELK_FULL=1 is the full mode: the reliability tests run at full size
# (50 000 calls per leak case, 30 kills, more generated examples), and then
# the whole suite runs once more against a sanitizer build (scripts/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
VENV=${ZELK_VENV:-.venv}
set +e
"$VENV/bin/python" -m pytest "$@"
rc=$?
set -e
if [ $rc -eq 5 ]; then
  echo "test: pytest collected no tests; that is a failure here" >&2
  exit 1
fi
if [ $rc -eq 0 ] && [ -n "${ZELK_FULL:-}" ] && [ "${ZELK_FULL}" != 0 ]; then
  ZELK_FULL= bash scripts/sanitize.sh "$@" || rc=$?
fi
exit $rc
