#!/usr/bin/env bash
# Builds the documentation site into site/ (open site/index.html) with every warning an error:
# the pages under docs/, the command-line reference made from the tool's parser and the API
# reference made from the package's docstrings and stubs (tools/reference_pages.py, run by
# mkdocs-gen-files: nothing generated is kept in the checkout).
#
# The tools and quillan are installed into .venv-docs (CPython 3.13): quillan from the wheel
# named by QUILLAN_WHEEL (CI passes the one it has just built and tested), else built from
# this checkout, so that the command-line reference is that of these sources.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

make_venv .venv-docs "$(find_python 3.13)"
.venv-docs/bin/python -m pip install -q --upgrade pip
if [ -n "${QUILLAN_WHEEL:-}" ]; then
    .venv-docs/bin/python -m pip install -q --force-reinstall --no-deps "$QUILLAN_WHEEL"
    .venv-docs/bin/python -m pip install -q "$QUILLAN_WHEEL[docs]"
else
    ensure_debian_packages g++ cmake make zlib1g-dev
    .venv-docs/bin/python -m pip install -q ".[docs]"
fi

echo "== mkdocs build --strict" >&2
# The theme and MkDocs print a banner about their future on every build: leave it out.
export NO_MKDOCS_2_WARNING=1 DISABLE_MKDOCS_2_WARNING=true
.venv-docs/bin/mkdocs build --strict --clean

# The API reference is read from the sources without importing them: make sure it found the
# package's doors (a name it cannot resolve would leave a page without it, and no warning).
for name in quillan.Client quillan.Store quillan.Table quillan.read_bars quillan.TdxClient \
    quillan.adjust.adjust quillan.columnar.Connection quillan.plot.candles quillan.sim.Server quillan.cli.COMMANDS; do
    if ! grep -rqF "id=\"$name\"" site/reference/api; then
        echo "error: the API reference lacks $name" >&2
        exit 1
    fi
done
echo "== the site is in site/ (open site/index.html)" >&2
