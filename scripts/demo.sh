#!/usr/bin/env bash
# The main job: an end-to-end model fetch against an embedded local backend.
#
#   bash scripts/demo.sh                     the fetch; its temporary directory is removed at the end
#   bash scripts/demo.sh --keep              the same, and the model and its files are kept
#   bash scripts/demo.sh --serve [--port N]  only the backend, to try `zelk-sdk fetch` from another shell
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: bash scripts/demo.sh [--keep] [--serve [--port N]]"
# the options are checked again by demo.py; a wrong word is said here, before the build
for arg in "$@"; do
  case $arg in
    --keep | --serve | --port | --port=* | [0-9]*) ;;
    -h | --help) sed -n "s/^#   //p" scripts/demo.sh; exit 0 ;;
    *) echo "demo: unknown argument '$arg'; $usage" >&2; exit 2 ;;
  esac
done
echo "demo: setting up .venv and building the package (the first run takes a minute or two, later ones seconds)..."
bash scripts/setup.sh
exec "${ZELK_VENV:-.venv}/bin/python" scripts/demo.py "$@"
