#!/usr/bin/env bash
# Runs the whole test suite against the installed package: sets up first, then
# checks the type stubs (scripts/typecheck.sh) and runs pytest. Extra arguments
# go to pytest. ZELK_SKIP_TYPECHECK=1 leaves the stub checks out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
VENV=${ZELK_VENV:-.venv}
typecheck_rc=0
if [ "${ZELK_SKIP_TYPECHECK:-0}" != 1 ]; then
  bash scripts/typecheck.sh || typecheck_rc=$?
fi
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
exit $rc
