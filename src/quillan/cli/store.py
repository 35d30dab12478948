"""The commands of the local store, each through quillan.Store: sync, import and sql."""

from __future__ import annotations

import argparse
import contextlib
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING

from quillan.cli import output
from quillan.cli.context import EXIT_USAGE, CliError, Run, describe, file_error, shown_path
from quillan.table import Table, import_optional
from quillan.vocabulary import Security, parse_security

if TYPE_CHECKING:
    from quillan.store import SyncReport

__all__ = ["calendar", "export", "gaps", "import_", "securities", "sql", "sync", "verify"]


@contextlib.contextmanager
def _storing() -> Iterator[None]:
    """A busy store and a folder that cannot be written become one line."""
    from quillan.store import StoreBusyError

    try:
        yield
    except StoreBusyError as err:
        raise CliError(str(err)) from None
    except OSError as err:
        if err.filename is None:
            raise
        raise file_error(os.fsdecode(err.filename), err) from None


def _securities_file(path: str) -> list[Security]:
    """The securities a file lists, separated by spaces, commas or lines; # starts a comment."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as err:
        raise file_error(path, err) from None
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        for word in line.partition("#")[0].replace(",", " ").split():
            try:
                found.append(parse_security(word))
            except ValueError as err:
                raise CliError(f"{shown_path(path)}, line {number}: {err}") from None
    return found


def _finish(run: Run, report: SyncReport, what: str) -> None:
    """The one-line summary on stdout, then each failure on stderr; a failure makes the exit
    status 1."""
    run.out.write(f"{what}: {report.summary()}\n")
    run.out.flush()
    for name, error in sorted(report.failed.items()):
        run.err.write(f"quillan: failed: {output.visible(name)}: {output.visible(' '.join(error.split()))}\n")
    run.err.flush()
    if report.failed:
        raise CliError(f"{len(report.failed)} failed; run the command again to retry them")


def sync(args: argparse.Namespace, run: Run) -> None:
    securities = list(args.securities)
    for path in args.from_files or []:
        securities += _securities_file(path)
    if not securities:
        raise CliError("no securities to sync: name them, or give a file of them with --from", EXIT_USAGE)
    store = run.store(args.store, must_exist=False)
    client = run.client(args.pool)
    with _storing(), run.network():
        report = store.sync(client, securities, args.freq, start=args.start, progress=run.err.isatty())
    _finish(run, report, f"sync into {shown_path(store.path)}")


def import_(args: argparse.Namespace, run: Run) -> None:
    store = run.store(args.store, must_exist=False)
    with _storing():
        report = store.import_terminal(args.path, progress=run.err.isatty())
    _finish(run, report, f"import into {shown_path(store.path)}")


def verify(args: argparse.Namespace, run: Run) -> None:
    """Every file of the store read whole and checked: a line per problem, naming the file and
    how to make it right; status 1 when there is any."""
    store = run.store(args.store)
    with _storing():
        problems = store.verify()
    for problem in problems:
        run.out.write(output.visible(str(problem)) + "\n")
    run.out.flush()
    if problems:
        raise CliError(
            f"{len(problems)} problem{'s' if len(problems) > 1 else ''} in the store {shown_path(store.path)}"
        )
    run.out.write(f"the store {shown_path(store.path)}: every file sound\n")


def sql(args: argparse.Namespace, run: Run) -> None:
    store = run.store(args.store)
    duckdb = import_optional("duckdb", "quillan sql", "store")
    try:
        table = store.sql(args.query)
    except duckdb.Error as err:
        raise CliError(f"sql: {describe(err)}") from None
    output.write_table(table, args.format, run.out)


@contextlib.contextmanager
def _asking() -> Iterator[None]:
    """A question the store cannot answer (no daily bars, a day off its calendar) is one line."""
    with _storing():
        try:
            yield
        except (LookupError, ValueError) as err:
            raise CliError(str(err)) from None


def calendar(args: argparse.Namespace, run: Run) -> None:
    """The store's trading days, one a row."""
    store = run.store(args.store)
    with _asking():
        days = store.calendar(args.start, args.end)
    output.write_table(Table({"date": days}), args.format, run.out)


def securities(args: argparse.Namespace, run: Run) -> None:
    """The store's securities with their first and last days, bars and holes."""
    store = run.store(args.store)
    with _asking():
        table = store.securities()
    if args.active is not None:
        table = table[table["active"] == args.active]
    output.write_table(table, args.format, run.out)


def gaps(args: argparse.Namespace, run: Run) -> None:
    """The trading days (or bar times) a security has no bar at, between its first and last."""
    store = run.store(args.store)
    with _asking():
        missing = store.gaps(args.security, args.freq)
    output.write_table(Table({"date" if args.freq == "1d" else "datetime": missing}), args.format, run.out)


def export(args: argparse.Namespace, run: Run) -> None:
    """The store's daily bars as a dataset of another tool (qlib's layout)."""
    store = run.store(args.store)
    with _asking():
        written = store.export_qlib(
            args.path, securities=args.securities or None, start=args.start, end=args.end,
            progress=run.err.isatty(),
        )  # fmt: skip
    what = "security" if written == 1 else "securities"
    run.out.write(f"export to {shown_path(args.path)}: {written:,} {what}\n")
