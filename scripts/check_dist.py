"""Checks the release artifacts in a folder (scripts/release.sh makes them in dist/).

The sdist must hold exactly what a build needs: pyproject.toml, CMakeLists.txt, README.md,
CHANGELOG.md and every file under src/, with PKG-INFO. Each wheel must hold exactly the package:
every file of src/quillan (modules, stubs, py.typed), both native modules built for the wheel's
CPython, its metadata and any library auditwheel copied in; so no tests, caches or build files.
Its tag must be a manylinux one, the one `auditwheel show` names, and its version that of
pyproject.toml. Prints one line per artifact; exits with status 1 naming every problem.

    python scripts/check_dist.py dist
"""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
VERSION = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
NATIVE = ("_core", "_columnar")
METADATA = ("METADATA", "entry_points.txt")
BUILD_INPUTS = ("pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md")
WHEEL_NAME = re.compile(rf"^quillan-{re.escape(VERSION)}-(cp3\d+)-(cp3\d+)-([a-z0-9_.]+)\.whl$")


def source_files(folder: str) -> set[str]:
    """The files of a folder of the checkout, relative to the checkout, as a build sees them."""
    return {
        path.relative_to(ROOT).as_posix()
        for path in (ROOT / folder).rglob("*")
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".so", ".pyc")
    }


def check_sdist(path: pathlib.Path) -> list[str]:
    top = f"quillan-{VERSION}/"
    with tarfile.open(path) as archive:
        members = {m.name for m in archive.getmembers() if m.isfile()}
    wanted = {"PKG-INFO", *BUILD_INPUTS} | source_files("src")
    held = {name.removeprefix(top) for name in members if name.startswith(top)}
    problems = [f"outside {top}: {name}" for name in sorted(members) if not name.startswith(top)]
    problems += [f"missing: {name}" for name in sorted(wanted - held)]
    problems += [f"not a build input: {name}" for name in sorted(held - wanted)]
    return problems


def auditwheel_problems(path: pathlib.Path, tags: list[str]) -> list[str]:
    """What is wrong by `auditwheel show`: that it refuses the wheel, or names another tag."""
    auditwheel = pathlib.Path(sys.executable).parent / "auditwheel"
    out = subprocess.run([auditwheel, "show", str(path)], capture_output=True, text=True)
    found = re.search(r'platform tag:\s+"([^"]+)"', out.stdout)
    if out.returncode != 0 or not found:
        lines = (out.stderr or out.stdout).strip().splitlines()
        return [f"auditwheel show refuses it: {lines[-1] if lines else 'no output'}"]
    return [] if found.group(1) in tags else [f"auditwheel show names {found.group(1)}, the file name {tags}"]


def check_wheel(path: pathlib.Path) -> list[str]:
    name = WHEEL_NAME.match(path.name)
    if not name:
        return [f"not a quillan {VERSION} wheel of a CPython: {path.name}"]
    python, _, platforms = name.groups()
    tags = platforms.split(".")
    problems = [f"not a manylinux tag: {tag}" for tag in tags if not tag.startswith("manylinux_")]
    problems += auditwheel_problems(path, tags)
    info = f"quillan-{VERSION}.dist-info/"
    with zipfile.ZipFile(path) as archive:
        files = {n for n in archive.namelist() if not n.endswith("/")}
        text = {n: archive.read(info + n).decode() for n in METADATA if info + n in files}
    package = {name.removeprefix("src/") for name in source_files("src/quillan")}
    native = {f"quillan/{module}.cpython-{python[2:]}-x86_64-linux-gnu.so" for module in NATIVE}
    allowed = package | native | {info + n for n in ("METADATA", "WHEEL", "RECORD", "entry_points.txt")}
    problems += [f"missing: {n}" for n in sorted((package | native) - files)]
    problems += [
        f"not of the package: {n}"
        for n in sorted(files - allowed)
        if not n.startswith(("quillan.libs/", info + "licenses/"))
    ]
    if f"\nVersion: {VERSION}\n" not in text.get("METADATA", ""):
        problems.append(f"METADATA does not say Version: {VERSION}")
    if "quillan = quillan.cli:main" not in text.get("entry_points.txt", ""):
        problems.append("no quillan command among the entry points")
    return problems


def main(folder: str) -> int:
    artifacts = sorted(pathlib.Path(folder).glob("*.tar.gz")) + sorted(pathlib.Path(folder).glob("*.whl"))
    failed = not any(a.suffix == ".whl" for a in artifacts) or not any(a.suffix == ".gz" for a in artifacts)
    if failed:
        print(f"{folder}: expected an sdist and at least one wheel", file=sys.stderr)
    for artifact in artifacts:
        problems = check_wheel(artifact) if artifact.suffix == ".whl" else check_sdist(artifact)
        size = artifact.stat().st_size / 1024
        print(f"{artifact.name}: {size:,.0f} KiB, {'ok' if not problems else 'FAILED'}")
        for problem in problems:
            print(f"  {problem}")
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "dist"))
