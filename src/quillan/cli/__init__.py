"""The quillan command-line tool: ``quillan COMMAND ...`` (or ``python -m quillan``).

Every capability of the library has a command, and each command is a thin front end: it
parses its arguments with `quillan.vocabulary` (`quillan.cli.args`), calls the library (the
network commands quillan.Client, `quillan.cli.network`; the file commands read_bars,
`quillan.cli.files`; the store commands quillan.Store, `quillan.cli.store`) and prints the
result (`quillan.cli.output`) as an aligned table, or as CSV or JSON on request. Without
--server the network commands start the built-in simulator in a child process and say so on
stderr. Every failure prints one line, ``quillan: error: ...``, on stderr and ends with a
non-zero exit status (2 for a usage error, 130 after Ctrl-C).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import NoReturn, TextIO

from quillan.cli import charts, files, network, store
from quillan.cli.args import build_parser
from quillan.cli.context import CliError, Run
from quillan.cli.output import visible
from quillan.cli.tour import run_tour

__all__ = ["COMMANDS", "CliError", "main"]


def _tour(args: argparse.Namespace, run: Run) -> None:
    run_tour(run)


# Each command: the function that runs it and its summary.
COMMANDS: dict[str, tuple[Callable[[argparse.Namespace, Run], None], str]] = {
    "bars": (network.bars, "K-line bars of one security, oldest first"),
    "quotes": (network.quotes, "real-time quotes with five levels of bids and asks"),
    "ticks": (network.ticks, "tick-by-tick trades of one security, oldest first"),
    "xdxr": (network.xdxr, "ex-rights and ex-dividend events of one security"),
    "finance": (network.finance, "finance summary of one security"),
    "company": (network.company, "company information: the index of sections, or one section's text"),
    "report": (network.report, "download a report file from the server"),
    "chart": (charts.chart, "a candlestick chart of one security: to a file, or in the terminal"),
    "watch": (charts.watch, "a board of quotes, refreshed in place"),
    "ping": (network.ping, "connection latency to quote servers, fastest first (9999: unreachable)"),
    "day": (files.day, "read a terminal's daily bar file (.day)"),
    "minute": (files.minute, "read a terminal's minute bar file (.lc1, .lc5)"),
    "sync": (store.sync, "fetch what is new of securities into the local store"),
    "import": (store.import_, "import a terminal's bar files into the local store"),
    "sql": (store.sql, "query the local store with SQL (views bars, xdxr, factors, bars_adjusted)"),
    "verify": (
        store.verify,
        "read every file of the local store and check it; say how to mend what is wrong",
    ),
    "calendar": (store.calendar, "the trading days, from the local store's daily bars"),
    "securities": (store.securities, "the securities of the local store: first and last day, bars, holes"),
    "gaps": (store.gaps, "the trading days or bar times a security has no bar at in the local store"),
    "export": (store.export, "write the local store's daily bars as a qlib dataset"),
    "tour": (_tour, "a short tour of every capability, against the built-in simulator"),
}


@contextlib.contextmanager
def _quiet_broken_pipe() -> Iterator[None]:
    """A reader that goes away (quillan ... | head) ends the run quietly and successfully, as
    other Unix tools do: it had all that it wanted."""
    try:
        yield
        sys.stdout.flush()
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())  # the interpreter's last flush finds nowhere to fail
        raise SystemExit(0) from None


@contextlib.contextmanager
def _terminate_cleanly() -> Iterator[None]:
    """SIGTERM ends the run like Ctrl-C does, so that a partial file is removed."""

    def terminate(signum: int, frame: object) -> NoReturn:
        raise SystemExit(128 + signum)

    try:
        previous = signal.signal(signal.SIGTERM, terminate)
    except ValueError:  # not the main thread: leave signals alone
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _fail(err: TextIO, message: str, status: int) -> int:
    text = " ".join(message.split()) or "failed"  # one line, whatever the message holds
    err.write(f"quillan: error: {visible(text)}\n")
    err.flush()
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    out, err = sys.stdout, sys.stderr
    try:
        args = build_parser(COMMANDS).parse_args(argv)
        servers = args.server
        with (
            _quiet_broken_pipe(),
            _terminate_cleanly(),
            Run(servers, out, err, timeout=args.timeout, retries=args.retries) as run,
        ):
            args.run(args, run)
        return 0
    except CliError as e:
        return _fail(err, str(e), e.status)
    except KeyboardInterrupt as stop:
        err.write("\n")
        if str(stop):  # a sync or an import says how far it got
            err.write(f"quillan: interrupted: {stop}\n")
        err.flush()
        return 130


if __name__ == "__main__":
    sys.exit(main())
