#!/usr/bin/env bash
# Runs the whole test suite against the installed package: sets up first.
# Extra arguments go to pytest.
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
exit $rc
