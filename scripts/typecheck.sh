#!/usr/bin/env bash
# Checks the type stubs of the compiled modules against the installed package:
# stubtest compares each stub with the runtime objects' inspect.signature, and
# mypy --strict checks a sample application that uses every module. Run after
# setup (scripts/test.sh does). ZELK_VENV picks the environment to check.
set -euo pipefail
cd "$(dirname "$0")/.."
VENV=${ZELK_VENV:-.venv}
PY=$(cd "$VENV/bin" && pwd)/python
SAMPLE_DIR=$(pwd)/tests/typing_sample

modules=(zelk_sdk.model.fetch zelk_sdk.debug.leakscope)
# flowsweep is built once its sources exist (CMakeLists.txt)
if compgen -G "src/zelk_sdk/redis/flowsweep/*.cpp" >/dev/null; then
  modules+=(zelk_sdk.redis.flowsweep)
else
  echo "typecheck: zelk_sdk.redis.flowsweep has no sources here; its stub is checked by mypy only" >&2
fi

# Outside the source tree, so that both tools see the installed package only.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$PY" -m mypy.stubtest --concise "${modules[@]}"
# the package itself (stubs and Python modules) and an application that uses it
MYPYPATH="$SAMPLE_DIR" "$PY" -m mypy --strict --no-incremental --python-version 3.13 -p zelk_sdk -m app
