#!/usr/bin/env bash
# Formats the C++ sources with clang-format and the style in .clang-format.
#
#   bash scripts/format.sh           # rewrite the files in place
#   bash scripts/format.sh --check   # change nothing; fail when a file is not formatted
#
# clang-format comes from the virtual environment (scripts/setup.sh installs
# the PyPI wheel where one is published for the machine), else from PATH; where
# there is none, the check says so and passes.
set -euo pipefail
cd "$(dirname "$0")/.."
CF=${CLANG_FORMAT:-${ZELK_VENV:-.venv}/bin/clang-format}
if [ ! -x "$CF" ]; then CF=$(command -v clang-format || true); fi
if [ -z "$CF" ]; then
  echo "format: clang-format is not installed here; the format check is skipped" >&2
  exit 0
fi
mapfile -t files < <(find src -name '*.cpp' -o -name '*.hpp' | sort)
if [ "${1:-}" = --check ]; then
  if ! "$CF" --dry-run --Werror "${files[@]}"; then
    echo "format: run bash scripts/format.sh to format the files above" >&2
    exit 1
  fi
else
  "$CF" -i "${files[@]}"
fi
