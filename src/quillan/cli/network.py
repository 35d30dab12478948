"""The commands that ask quote servers, each through quillan.Client: bars, quotes, ticks, xdxr,
finance, company, report and ping."""

from __future__ import annotations

import argparse
import os
import sys

from quillan.atomic import whole_file
from quillan.cli import output
from quillan.cli.context import EXIT_USAGE, CliError, Run, file_error
from quillan.progress import Progress
from quillan.table import Table

__all__ = ["bars", "company", "fetch_bars", "finance", "ping", "quotes", "report", "ticks", "xdxr"]

BAR_TITLES = {"amount": "amount (yuan)", "volume": "volume (shares)"}
QUOTE_TITLES = {"vol": "vol (lots)", "cur_vol": "cur_vol (lots)", "amount": "amount (yuan)"}
TICK_TITLES = {"vol": "vol (lots)"}
# Finance figures are float32s, all but two of them multiplied by 10,000.
FINANCE_UNSCALED = ("gudongrenshu", "meigujingzichan")


def fetch_bars(args: argparse.Namespace, run: Run, default_count: int) -> Table:
    """The bars the arguments of `bars` or `chart` ask for: from the servers or, with --store,
    from a store; the last `default_count` unless --start or --count says otherwise."""
    if args.as_of is not None and args.adjust is None:
        raise CliError("--as-of anchors adjusted prices: give --adjust too", EXIT_USAGE)
    count = args.count
    if count is None and args.start is None:
        count = default_count
    where = {"start": args.start, "end": args.end, "count": count, "adjust": args.adjust, "as_of": args.as_of}
    if args.store is not None:
        if args.offset:
            raise CliError("--offset counts back from a server's newest bar: not with --store", EXIT_USAGE)
        return run.store(args.store).bars(args.security, args.freq, **where)
    with run.network(), Progress(None, str(args.security), unit="bars", stream=run.err) as bar:
        client = run.client()
        return client.bars(args.security, args.freq, offset=args.offset, progress=bar.update, **where)


def bars(args: argparse.Namespace, run: Run) -> None:
    """Bars of one security, from the servers or, with --store, from a store; a range without
    bars prints the heading alone."""
    output.write_table(fetch_bars(args, run, 20), args.format, run.out, titles=BAR_TITLES)


def quotes(args: argparse.Namespace, run: Run) -> None:
    """One row per security asked; a warning names those the server sent no quote for."""
    with run.network():
        table = run.client().quotes(args.securities)
    output.write_table(table, args.format, run.out, titles=QUOTE_TITLES)
    missing = [s for s, price in zip(args.securities, table["price"].tolist(), strict=True) if price != price]
    if missing:
        run.out.flush()
        names = ", ".join(str(s) for s in missing[:10]) + (", ..." if len(missing) > 10 else "")
        run.warn(f"{len(missing)} of {len(args.securities)} securities had no quote: {names}")


def ticks(args: argparse.Namespace, run: Run) -> None:
    with run.network():
        table = run.client().ticks(args.security, count=args.count, offset=args.offset)
    output.write_table(table, args.format, run.out, titles=TICK_TITLES)


def xdxr(args: argparse.Namespace, run: Run) -> None:
    with run.network():
        table = run.client().xdxr(args.security)
    output.write_table(table, args.format, run.out)


def finance(args: argparse.Namespace, run: Run) -> None:
    """The summary as a key/value table (CSV: one row; JSON: an object); none: the heading."""
    with run.network():
        table = run.client().finance(args.security)
    if not len(table):
        output.write_table(table, args.format, run.out)
        return
    (record,) = (dict(zip(table.columns, row, strict=True)) for row in output.rows_of(table))
    times = output.float32_times(10000)
    shown = {
        k: output.float32 if k in FINANCE_UNSCALED else times for k in record if k not in ("market", "code")
    }
    output.write_mapping(record, args.format, run.out, shown)


def company(args: argparse.Namespace, run: Run) -> None:
    """The index of sections, or one section's text."""
    client = run.client()
    with run.network():
        if args.section is None:
            index = client.company_index(args.security)
            output.write_table(
                Table({"#": range(1, len(index) + 1), **index.to_numpy()}), args.format, run.out
            )
            return
        section = int(args.section) if args.section.isascii() and args.section.isdigit() else args.section
        chosen = client.company(args.security, section)
    fields = {
        "market": args.security.market,
        "code": args.security.code,
        "section": chosen["name"][0],
        "text": chosen["text"][0],
    }
    output.write_text(fields, "text", args.format, run.out)


def report(args: argparse.Namespace, run: Run) -> None:
    """A report file saved whole (or not at all), or written to stdout."""
    target = args.output or os.path.basename(args.filename.rstrip("/")) or "report.bin"
    if target == "-" and sys.stdout.isatty():
        raise CliError("a report file is not written to a terminal: name a file with -o, or pipe the output")
    client = run.client()
    progress = Progress(args.size, os.path.basename(args.filename), unit="bytes", stream=run.err, leave=True)
    missing = CliError(f"the server has no file '{args.filename}' (or it is empty)")
    if target == "-":
        with run.network(), progress:
            size = client.report_to(
                args.filename, sys.stdout.buffer, progress=progress.update, max_size=args.max_size
            )
        if not size:
            raise missing
        return
    try:
        with whole_file(target) as sink:
            with run.network(), progress:
                size = client.report_to(args.filename, sink, progress=progress.update, max_size=args.max_size)
            if not size:
                raise missing
    except OSError as err:
        raise file_error(target, err) from None
    output.write_mapping({"filename": args.filename, "saved_to": target, "bytes": size}, args.format, run.out)


def ping(args: argparse.Namespace, run: Run) -> None:
    """The latency of each server, fastest first; 9999 for one that cannot be reached."""
    if args.servers:
        run.servers = list(args.servers)
    with run.network():
        table = run.client().ping()
    output.write_table(table, args.format, run.out)
