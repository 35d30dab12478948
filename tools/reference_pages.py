"""The documentation's reference pages, made at build time by mkdocs-gen-files (mkdocs.yml):

- ``reference/cli.md``: the help of ``quillan`` and of each of its commands, from the tool's own
  parser (``quillan.cli.args.build_parser(quillan.cli.COMMANDS)``), so a new command or option
  is documented by adding it;
- ``reference/api/``: a page per public module of the package (every module under src/quillan
  whose dotted name has no part starting with an underscore), rendered by mkdocstrings from its
  docstrings and, for the native modules, from their stubs; its navigation in
  ``reference/api/SUMMARY.md`` for mkdocs-literate-nav.

Nothing here is written into the source tree: the pages exist only in the build.
"""

from __future__ import annotations

import argparse
import os
import pathlib

import mkdocs_gen_files

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "quillan"


def _help(parser: argparse.ArgumentParser) -> str:
    return f"```text\n{parser.format_help().rstrip()}\n```\n"


def cli_page() -> str:
    os.environ["COLUMNS"] = "100"  # argparse wraps to the terminal's width: make it one width
    from quillan.cli import COMMANDS
    from quillan.cli.args import build_parser

    parser = build_parser(COMMANDS)
    (commands,) = (a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    lines = [
        "# Command-line reference",
        "",
        "Made from the tool's own parser when the site is built; the [CLI guide](../guides/cli.md)"
        " shows the commands at work.",
        "",
        "## quillan",
        "",
        _help(parser),
    ]
    for name, sub in commands.choices.items():
        lines += [f"## quillan {name}", "", _help(sub)]
    return "\n".join(lines)


def public_modules() -> list[tuple[str, ...]]:
    modules = []
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = ("quillan", *path.relative_to(PACKAGE).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts = parts[:-1]
        if parts[-1] != "__main__" and not any(part.startswith("_") for part in parts):
            modules.append(parts)
    return modules


def api_pages() -> None:
    nav = mkdocs_gen_files.Nav()
    for parts in public_modules():
        page = pathlib.Path(*parts[1:], "index.md") if len(parts) > 1 else pathlib.Path("index.md")
        nav[parts] = page.as_posix()
        with mkdocs_gen_files.open(pathlib.Path("reference", "api", page), "w") as f:
            f.write(f"# {'.'.join(parts)}\n\n::: {'.'.join(parts)}\n")
    with mkdocs_gen_files.open("reference/api/SUMMARY.md", "w") as f:
        f.writelines(nav.build_literate_nav())


with mkdocs_gen_files.open("reference/cli.md", "w") as f:
    f.write(cli_page())
api_pages()
