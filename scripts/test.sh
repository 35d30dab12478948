#!/usr/bin/env bash
# Sets up everything the tests need and runs every test against the package as a user gets it:
#   1. the release artifacts (scripts/release.sh): the sdist and, from it, a repaired wheel per
#      CPython, each checked;
#   2. the CPython 3.13 wheel installed into a fresh virtual environment (build/wheel-3.13),
#      and from a folder outside the checkout the whole pytest suite against it, the slow
#      time-out tests included, then `quillan tour`;
#   3. the same with the CPython 3.11 wheel (build/wheel-3.11) and the fast tests;
#   4. an AddressSanitizer + UndefinedBehaviorSanitizer build (build/sanitize) and CTest on it:
#      the GoogleTest suite of the C++ core and the pytest suite on the instrumented module.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

ensure_debian_packages g++ cmake make zlib1g-dev libgtest-dev

echo "== release artifacts" >&2
timed "release artifacts" bash scripts/release.sh

root=$PWD
outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT

# install_wheel VERSION: a fresh virtual environment build/wheel-VERSION holding the wheel of
# CPython VERSION from dist/ and the test extras.
install_wheel() {
    local venv="build/wheel-$1" tag="cp${1/./}" wheel
    wheel=$(ls dist/quillan-*-"$tag"-"$tag"-manylinux_*.whl)
    rm -rf "$venv"
    "$(find_python "$1")" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q "$wheel[test]"
}

# run_installed VERSION PYTEST-ARGUMENTS...: the test suite, from a folder outside the checkout,
# against the package installed in build/wheel-VERSION: the checkout's tests and configuration,
# nothing of its sources.
run_installed() {
    local python="$root/build/wheel-$1/bin/python"
    shift
    (
        cd "$outside"
        "$python" -c 'import quillan, sys, sysconfig
where, site = quillan.__file__, sysconfig.get_paths()["platlib"]
sys.exit(None if where.startswith(site + "/") else f"quillan imported from {where}, not from {site}")'
        "$python" -m pytest -c "$root/pyproject.toml" --rootdir "$root" "$@" "$root/tests/python"
    )
}

echo "== CPython 3.13: the installed wheel, full test suite and the tour" >&2
timed "CPython 3.13 wheel installed" install_wheel 3.13
timed "CPython 3.13 full suite" run_installed 3.13
(cd "$outside" && "$root/build/wheel-3.13/bin/quillan" tour)

echo "== CPython 3.11: the installed wheel, fast tests" >&2
timed "CPython 3.11 wheel installed" install_wheel 3.11
timed "CPython 3.11 fast suite" run_installed 3.11 -q -m "not slow"

# The sanitizer build's pytest run uses the 3.13 environment for pytest and the extras; the
# instrumented module comes first on its PYTHONPATH (CMakeLists.txt).
echo "== sanitizers: GoogleTest and pytest under ASan + UBSan" >&2
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLAN_TESTS=ON -DQUILLAN_SANITIZE=ON \
    -DQUILLAN_WERROR=ON -DPython_EXECUTABLE="$root/build/wheel-3.13/bin/python" >/dev/null
timed "sanitizer build" cmake --build build/sanitize -j "$(nproc)"
timed "sanitizer tests" ctest --test-dir build/sanitize --output-on-failure

echo "== all tests passed" >&2
