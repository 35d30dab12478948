#!/usr/bin/env bash
# Sets up everything the tests need and runs every test:
#   1. the module built with warnings as errors into .venv (CPython 3.13), and the whole pytest
#      suite against it, the slow time-out tests included;
#   2. the same build and the fast tests on CPython 3.11 (.venv-3.11);
#   3. an AddressSanitizer + UndefinedBehaviorSanitizer build (build/sanitize) and CTest on it:
#      the GoogleTest suite of the C++ core and the pytest suite on the instrumented module.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

ensure_debian_packages g++ cmake make zlib1g-dev libgtest-dev

echo "== CPython 3.13: build and full test suite" >&2
make_venv .venv "$(find_python 3.13)"
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test]" -C cmake.define.QUILLAN_WERROR=ON
.venv/bin/pytest

echo "== CPython 3.11: build and fast tests" >&2
make_venv .venv-3.11 "$(find_python 3.11)"
.venv-3.11/bin/python -m pip install -q ".[test]" -C cmake.define.QUILLAN_WERROR=ON
.venv-3.11/bin/pytest -q -m "not slow"

echo "== sanitizers: GoogleTest and pytest under ASan + UBSan" >&2
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLAN_TESTS=ON -DQUILLAN_SANITIZE=ON \
    -DQUILLAN_WERROR=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/sanitize -j "$(nproc)"
ctest --test-dir build/sanitize --output-on-failure

echo "== all tests passed" >&2
