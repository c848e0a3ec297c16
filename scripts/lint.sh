#!/usr/bin/env bash
# The tree's formatting and lint rules: ruff for Python (pyproject.toml),
# clang-format for C++ (.clang-format). Checks by default; `fix` applies them.
# Takes ruff and clang-format from $LINT_BIN (default: the test environment
# that scripts/test.sh makes), so every machine uses the same pinned versions.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${LINT_BIN:-build/py-numpy2/bin}
mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.inc' ':!:src/engine/meter/precise_table.inc')

if [ "${1:-}" = fix ]; then
  "$bin/ruff" check --fix .
  "$bin/ruff" format .
  "$bin/clang-format" -i "${cxx[@]}"
else
  "$bin/ruff" check .
  "$bin/ruff" format --check .
  "$bin/clang-format" --dry-run -Werror "${cxx[@]}"
fi
