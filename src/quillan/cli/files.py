"""The commands that read a terminal's bar files, through quillan.read_bars: day and minute."""

from __future__ import annotations

import argparse
import contextlib
import os
import warnings

import numpy as np

from quillan.bars import read_bars
from quillan.cli import output
from quillan.cli.context import CliError, Run, file_error, shown_path
from quillan.cli.network import BAR_TITLES
from quillan.table import Table

__all__ = ["day", "minute"]

# The kind of bar file that an extension names, and the command that reads it.
FILE_KINDS = {".day": ("daily", "day"), ".lc1": ("minute", "minute"), ".lc5": ("minute", "minute")}
RECORD_SIZE = 32  # bytes of one bar, in every kind of file


def _read(path: str, command: str, kind: str, run: Run, scale: float | None = None) -> Table:
    """read_bars(path), with its documented failures as a CliError naming the file."""
    extension = os.path.splitext(path)[1].lower()
    named = FILE_KINDS.get(extension)
    if named is not None and named[1] != command:
        raise CliError(f"{shown_path(path)} is a {named[0]} bar file: read it with 'quillan {named[1]}'")
    if os.path.isdir(path):  # the reader would fail with "Cannot mmap file": say what it is
        raise CliError(f"{shown_path(path)}: is a directory")
    label = "daily bar (.day)" if command == "day" else "minute bar (.lc1 or .lc5)"
    with contextlib.suppress(OSError):  # the reader says what is wrong with a file it cannot open
        size = os.stat(path).st_size
        if size % RECORD_SIZE:
            raise CliError(
                f"not a {label} file: {shown_path(path)} holds {size:,} bytes, no whole number of "
                f"{RECORD_SIZE}-byte records"
            )
    if kind != "day" and extension in (".lc1", ".lc5"):
        kind = extension[1:]
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            table = read_bars(path, kind=kind, scale=scale)  # type: ignore[arg-type]
    except FileNotFoundError:
        raise CliError(f"{shown_path(path)}: no such file") from None
    except ValueError as err:  # not a bar file of this kind
        raise CliError(str(err)) from None
    except OSError as err:
        if err.filename is not None:
            raise file_error(path, err) from None
        raise CliError(f"{shown_path(path)}: {err}") from None
    impossible = int(np.isnat(table["datetime"]).sum())
    if impossible * 2 > len(table):  # garbage with a few dates that happen to be possible
        raise CliError(
            f"not a {label} file: {impossible:,} of {len(table):,} records of {shown_path(path)} have "
            "impossible dates"
        )
    for warning in caught:
        run.warn(str(warning.message))
    return table


def _show(table: Table, last: int, args: argparse.Namespace, run: Run) -> None:
    if last:
        table = table[max(0, len(table) - last) :]
    output.write_table(table, args.format, run.out, titles=BAR_TITLES)


def day(args: argparse.Namespace, run: Run) -> None:
    """A daily file's bars, prices divided by its scale (from its name, or --scale)."""
    _show(_read(args.file, "day", "day", run, args.scale), args.last, args, run)


def minute(args: argparse.Namespace, run: Run) -> None:
    _show(_read(args.file, "minute", "lc5", run), args.last, args, run)
