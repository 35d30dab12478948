#!/usr/bin/env bash
# Checks the Python sources with pinned tool versions in their own environment (.venv-lint):
#   1. ruff: the lint rules and the formatting configured in pyproject.toml;
#   2. mypy in strict mode on the package (src/quillan, with the stub of quillan._core).
# The versions are pinned because new releases add rules and change formatting.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

make_venv .venv-lint "$(find_python 3.13)"
.venv-lint/bin/python -m pip install -q --upgrade pip
.venv-lint/bin/python -m pip install -q "ruff==0.17.6" "mypy==2.4.1" "numpy==2.5.5"

echo "== ruff" >&2
.venv-lint/bin/ruff check .
.venv-lint/bin/ruff format --check .
echo "== mypy --strict" >&2
.venv-lint/bin/mypy
