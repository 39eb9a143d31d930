#!/usr/bin/env bash
# The main job: an end-to-end model fetch against an embedded local backend.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${ZELK_VENV:-.venv}/bin/python" scripts/demo.py
