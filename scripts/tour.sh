#!/usr/bin/env bash
# Sets up quillan and runs its tour against the built-in quote-server simulator:
#   1. the Debian packages that the build needs (through apt-get, when missing);
#   2. a virtual environment .venv with CPython 3.13, and quillan built and installed into it;
#   3. `quillan tour`: bars, quotes, ticks, ex-rights records, finance, company information,
#      a report file, a .day file written and read back, a ping, a paged history, adjusted
#      prices, a store and its universe, and a chart, each checked against what the simulator
#      meant.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

ensure_debian_packages g++ cmake make zlib1g-dev

echo "== building and installing quillan into .venv (CPython 3.13)" >&2
make_venv .venv "$(find_python 3.13)"
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q '.[all]' # every extra, so that the tour shows every capability

echo "== the tour" >&2
exec .venv/bin/quillan tour
