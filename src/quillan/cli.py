"""The quillan command-line tool: ``quillan COMMAND ...`` (or ``python -m quillan``).

Every capability of the module has a command. The network commands talk to the server that
--server names; without it they start the built-in simulator in a child process and say so on
stderr. Results print as an aligned table, or as CSV or JSON on request. Every failure prints
one line, ``quillan: error: ...``, on stderr and ends with a non-zero exit status.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import ipaddress
import os
import re
import signal
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, NoReturn, TextIO, TypeVar

from quillan import _core, output
from quillan.session import (
    EXIT_USAGE,
    CliError,
    Progress,
    Session,
    download_report,
    file_error,
    shown_path,
    whole_file,
)
from quillan.table import import_optional
from quillan.tour import run_tour

if TYPE_CHECKING:
    from quillan._core import CompanyInfoEntry, DailyBar, MinuteBar, SecurityQuote
    from quillan.store import Store, SyncReport

_Bar = TypeVar("_Bar", "DailyBar", "MinuteBar")

__all__ = ["CliError", "main", "parse_security", "parse_server"]

QUOTES_PER_REQUEST = 80

# Arguments ----------------------------------------------------------------------------------

# ASCII only: Unicode case folding would take the Kelvin sign for a k, and \d other digits.
_SECURITY = re.compile(
    r"(?:(?P<market>\d{1,3}):|(?P<prefix>sh|sz))?(?P<code>[0-9A-Za-z]{6})", re.IGNORECASE | re.ASCII
)


def _number(text: str, limit: int) -> int | None:
    """The number that `text` writes in ASCII digits, if it is at most `limit`."""
    if not (text.isascii() and text.isdigit()) or int(text) > limit:
        return None
    return int(text)


def guess_market(code: str) -> int:
    """Market 1 (Shanghai) for codes that start with 5, 6 or 9, else market 0 (Shenzhen)."""
    return 1 if code[:1] in ("5", "6", "9") else 0


def parse_security(text: str) -> tuple[int, str]:
    """(market, code) from "600036", "1:600036" or "sh600036" ("sz" is market 0)."""
    match = _SECURITY.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(
            f"invalid security '{text}' (expected a six-character code, MARKET:CODE, shCODE or szCODE)"
        )
    code = match["code"]
    if match["market"] is not None:
        market = int(match["market"])
        if market > 255:
            raise argparse.ArgumentTypeError(f"invalid market in '{text}' (0 to 255)")
    elif match["prefix"] is not None:
        market = 1 if match["prefix"].lower() == "sh" else 0
    else:
        market = guess_market(code)
    return market, code


def parse_server(text: str) -> tuple[str, int]:
    """(ip, port) from "IP:PORT" or "[IPv6]:PORT"; the address itself is checked on connect."""
    host, sep, port = text.strip().rpartition(":")
    number = _number(port, 65535)
    if not sep or not host or number is None:
        raise argparse.ArgumentTypeError(f"invalid server address '{text}' (expected IP:PORT)")
    return host, number


def _count(text: str) -> int:
    number = _number(text, 65535)
    if number is None:
        raise argparse.ArgumentTypeError(f"invalid count '{text}' (0 to 65535)")
    return number


def _u32(text: str) -> int:
    number = _number(text, 0xFFFFFFFF)
    if number is None:
        raise argparse.ArgumentTypeError(f"invalid value '{text}' (0 to 4294967295)")
    return number


def _size(text: str) -> int:
    scale = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}.get(text[-1:].lower(), 1)
    number = _number(text[:-1] if scale > 1 else text, 1 << 60)
    if number is None:
        raise argparse.ArgumentTypeError(f"invalid size '{text}' (bytes, or a number and K, M or G)")
    return number * scale


# Bar categories by name, as the built-in simulator reads them (quillan.sim.universe); a
# number is passed through as it is.
BAR_CATEGORIES = {
    "5m": 0, "15m": 1, "30m": 2, "60m": 3, "1h": 3, "week": 5, "month": 6, "1m": 8,
    "day": 9, "quarter": 10, "year": 11,
}  # fmt: skip


def _category(text: str) -> int:
    if text.lower() in BAR_CATEGORIES:
        return BAR_CATEGORIES[text.lower()]
    number = _number(text, 65535)
    if number is not None:
        return number
    names = ", ".join(BAR_CATEGORIES)
    raise argparse.ArgumentTypeError(f"invalid category '{text}' (one of {names}, or a number)")


def _freq(text: str) -> int:
    from quillan.client import parse_freq

    try:
        return parse_freq(int(text) if text.isdigit() else text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _date(text: str) -> str:
    """A date or time as the Client takes it; bare digits are an offset (the older --start)."""
    if text.isdigit():
        return text
    import numpy as np

    try:
        np.datetime64(text.strip().replace(" ", "T"))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"invalid date '{text}' (expected 2024-01-31 or '2024-01-31 10:30')"
        ) from None
    return text


def _coeff(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid coefficient '{text}'") from None


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line instead of the usage text and a line."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')", EXIT_USAGE)


# How a table shows the results (CSV and JSON hold them exactly) ------------------------------

_CENTS, _THOUSANDTHS = output.decimals(2), output.decimals(3)
BAR_COLUMNS = ["datetime", "open", "high", "low", "close", "vol", "amount"]
TICK_COLUMNS = ["time", "price", "vol", "num", "buyorsell"]
DAY_COLUMNS = ["date", "open", "high", "low", "close", "amount", "volume"]
MINUTE_COLUMNS = ["datetime", "open", "high", "low", "close", "amount", "volume"]
QUOTE_PRICES = [
    "price",
    "last_close",
    "open",
    "high",
    "low",
    *(f"{s}{i}" for i in range(1, 6) for s in ("bid", "ask")),
]
XDXR_FLOAT32 = ["fenhong", "peigujia", "songzhuangu", "peigu", "suogu", "xingquanjia", "fenshu"]
FINANCE_UNSCALED = ["gudongrenshu", "meigujingzichan"]  # float32 as stored; the rest times 10,000

# Bars carry prices in thousandths, quotes and trades in cents.
BAR_SHOWN = dict.fromkeys(["open", "high", "low", "close"], _THOUSANDTHS)
BAR_TITLES = {"vol": "vol (shares)", "amount": "amount (yuan)"}
QUOTE_SHOWN = dict.fromkeys(QUOTE_PRICES, _CENTS)
QUOTE_TITLES = {"vol": "vol (lots)", "cur_vol": "cur_vol (lots)", "amount": "amount (yuan)"}
TICK_SHOWN = {"price": _CENTS}
TICK_TITLES = {"vol": "vol (lots)"}
MINUTE_SHOWN = dict.fromkeys(["open", "high", "low", "close", "amount"], output.float32)
MINUTE_TITLES = {"amount": "amount (yuan)", "volume": "volume (shares)"}


def _places(coeff: float) -> int | None:
    """The decimals of a coefficient that is a power of ten from 1 to 1e-6 (0.01: 2)."""
    for places in range(7):
        if coeff == float(f"1e-{places}"):
            return places
    return None


# Running ------------------------------------------------------------------------------------


def _no_data(what: str, security: tuple[int, str]) -> CliError:
    market, code = security
    return CliError(f"the server has no {what} for {market}:{code} (unknown security?)")


def _paged_bars(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    """Bars between dates, or of a --freq, through quillan.Client: as many pages as needed."""
    client = session.pooled()
    category = args.freq if args.freq is not None else args.category
    count = args.count if args.given_count or args.start is None else None
    progress = Progress(session.err, f"{args.security[0]}:{args.security[1]}", None, unit="bars")
    with session.exchange():
        table = client.bars(
            args.security, category, start=args.start, end=args.end, count=count, progress=progress.update,
            adjust=args.adjust, as_of=args.as_of,
        )  # fmt: skip
    progress.finish()
    if not len(table) and count != 0:
        raise _no_data("bars in this range", args.security)
    times = table["datetime"].astype("datetime64[m]").astype(str)
    bars = [
        {
            "datetime": when.replace("T", " "),
            "open": float(o), "high": float(h), "low": float(lo), "close": float(c),
            "vol": float(v), "amount": float(a),
        }
        for when, o, h, lo, c, v, a in zip(
            times, table["open"], table["high"], table["low"], table["close"], table["volume"],
            table["amount"], strict=True,
        )
    ]  # fmt: skip
    if "adj_factor" in table:
        for bar, factor in zip(bars, table["adj_factor"].tolist(), strict=True):
            bar["adj_factor"] = factor
    _records(args, out, bars)


def cmd_bars(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    if args.start is not None and args.start.isdigit():  # the older --start N: an offset
        args.offset, args.start = int(args.start), None
        if args.offset > 0xFFFF:
            raise CliError(f"invalid offset {args.offset} (0 to 65535)", EXIT_USAGE)
    args.given_count = args.count is not None
    if args.count is None:
        args.count = 20
    if args.as_of is not None and args.adjust is None:
        raise CliError("--as-of anchors adjusted prices: give --adjust too", EXIT_USAGE)
    if args.adjust is not None and args.offset:
        raise CliError("--adjust reads the bars by dates and --count, not --offset", EXIT_USAGE)
    if args.start is not None or args.end is not None or args.freq is not None or args.adjust is not None:
        _paged_bars(args, session, out)
        return
    client = session.client()
    market, code = args.security
    with session.exchange():
        bars = client.get_security_bars(args.category, market, code, args.offset, args.count)
    if not bars and args.count:
        raise _no_data("bars of this category", args.security)
    _records(args, out, bars, BAR_COLUMNS, BAR_SHOWN, BAR_TITLES)


def cmd_quotes(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    client = session.client()
    # At most QUOTES_PER_REQUEST securities per request: a server may cap its answer (the
    # simulator sends 80 quotes at most), and past 9360 the request's 16-bit length overflows.
    quotes: list[SecurityQuote] = []
    with session.exchange():
        for at in range(0, len(args.securities), QUOTES_PER_REQUEST):
            quotes += client.get_security_quotes(args.securities[at : at + QUOTES_PER_REQUEST])
    found = {(q["market"], q["code"]) for q in quotes}
    missing = [s for s in args.securities if s not in found]
    if missing:
        raise _no_data("quote", missing[0])
    _records(args, out, quotes, None, QUOTE_SHOWN, QUOTE_TITLES)


def cmd_ticks(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    client = session.client()
    market, code = args.security
    with session.exchange():
        ticks = client.get_transaction_data(market, code, args.start, args.count)
    if not ticks and args.count:
        raise _no_data("trades", args.security)
    _records(args, out, ticks, TICK_COLUMNS, TICK_SHOWN, TICK_TITLES)


def cmd_xdxr(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    client = session.client()
    with session.exchange():
        events = client.get_xdxr_info(*args.security)
    if not events:
        raise _no_data("ex-rights records", args.security)
    # Events of different categories carry different keys: gather them all, in order.
    columns: list[str] = []
    for event in events:
        columns += [k for k in event if k not in columns]
    _records(args, out, events, columns, dict.fromkeys(XDXR_FLOAT32, output.float32))


def cmd_finance(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    client = session.client()
    with session.exchange():
        info = client.get_finance_info(*args.security)
    if not info:
        raise _no_data("finance summary", args.security)
    times = output.float32_times(10000)
    shown = {k: output.float32 if k in FINANCE_UNSCALED else times for k in info}
    output.write_mapping(info, args.format, out, shown)


def cmd_company(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    client = session.client()
    market, code = args.security
    with session.exchange():
        index = client.get_company_info_category(market, code)
    if not index:
        raise _no_data("company information", args.security)
    if args.section is None:
        _records(
            args,
            out,
            [{"#": i, **entry} for i, entry in enumerate(index, 1)],
            ["#", "name", "filename", "start", "length"],
        )
        return
    entry = _pick_section(index, args.section)
    with session.exchange():
        text = client.get_company_info_content(
            market, code, entry["filename"], entry["start"], entry["length"]
        )
    output.write_text(
        {"market": market, "code": code, "section": entry["name"], "text": text}, "text", args.format, out
    )


def _pick_section(index: Sequence[CompanyInfoEntry], wanted: str) -> CompanyInfoEntry:
    number = _number(wanted, len(index))
    if number:
        return index[number - 1]
    for entry in index:
        if entry["name"] == wanted:
            return entry
    names = ", ".join(e["name"] for e in index)
    raise CliError(f"no section '{wanted}' (a number from 1 to {len(index)}, or one of: {names})")


def cmd_report(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    target = args.output or os.path.basename(args.filename.rstrip("/")) or "report.bin"
    if target == "-" and sys.stdout.isatty():
        raise CliError("a report file is not written to a terminal: name a file with -o, or pipe the output")
    client = session.client()
    progress = Progress(session.err, os.path.basename(args.filename), args.size)
    missing = CliError(f"the server has no file '{args.filename}' (or it is empty)")
    if target == "-":
        with session.exchange():
            size, pieces = download_report(client, args.filename, sys.stdout.buffer, progress, args.max_size)
        progress.finish()
        if not size:
            raise missing
        return
    with whole_file(target) as sink:
        with session.exchange():
            size, pieces = download_report(client, args.filename, sink, progress, args.max_size)
        progress.finish()
        if not size:
            raise missing
    output.write_mapping(
        {"filename": args.filename, "saved_to": target, "bytes": size, "pieces": pieces}, args.format, out
    )


def _read_file(path: str, read: Callable[[str], list[_Bar]]) -> list[_Bar]:
    """`read(path)`, with the failures that the readers document as a CliError naming the file."""
    # The readers would fail on a directory with "Cannot mmap file": say what it is.
    if os.path.isdir(path):
        raise CliError(f"{shown_path(path)}: is a directory")
    try:
        try:
            path.encode()
        except UnicodeEncodeError:
            # The readers take UTF-8 names only: hand them the file through its descriptor.
            fd = os.open(os.fsencode(path), os.O_RDONLY | os.O_CLOEXEC)
            try:
                return read(f"/proc/self/fd/{fd}")
            finally:
                os.close(fd)
        return read(path)
    except FileNotFoundError:
        raise CliError(f"{shown_path(path)}: no such file") from None
    except OSError as err:
        if err.filename is not None:  # from os.open, which gives errno and strerror
            raise file_error(path, err) from None
        raise CliError(f"{shown_path(path)}: {err}") from None


# The kind of bar file that an extension names, and the command that reads it.
FILE_KINDS = {".day": ("daily", "day"), ".lc1": ("minute", "minute"), ".lc5": ("minute", "minute")}


def _check_kind(path: str, command: str) -> None:
    kind = FILE_KINDS.get(os.path.splitext(path)[1].lower())
    if kind is not None and kind[1] != command:
        raise CliError(f"{shown_path(path)} is a {kind[0]} bar file: read it with 'quillan {kind[1]}'")


def _possible(stamp: str) -> bool:
    """Whether "yyyy-mm-dd" or "yyyy-mm-dd hh:mm" names a moment of a trading history."""
    try:
        moment = datetime.datetime.fromisoformat(stamp)
    except ValueError:  # month 13, day 32, hour 24, or not digits at all
        return False
    return 1990 <= moment.year <= 2100


def _warn_impossible(session: Session, path: str, stamps: Sequence[str], kind: str) -> None:
    bad = [i for i, stamp in enumerate(stamps) if not _possible(stamp)]
    if bad:
        first = output.visible(stamps[bad[0]])
        session.err.write(
            f"quillan: warning: {shown_path(path)}: {len(bad):,} of {len(stamps):,} records have impossible "
            f"dates (the first: record {bad[0]}, {first}); is it a {kind} bar file?\n"
        )
        session.err.flush()


def cmd_day(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    _check_kind(args.file, "day")
    bars = _read_file(args.file, lambda path: _core.read_daily_bars(path, args.price_coeff, args.vol_coeff))
    _warn_impossible(session, args.file, [b["date"] for b in bars], "daily")
    prices, volumes = _places(args.price_coeff), _places(args.vol_coeff)
    shown: dict[str, output.Shown] = {"amount": output.float32}
    if prices is not None:
        shown.update(dict.fromkeys(["open", "high", "low", "close"], output.decimals(prices)))
    if volumes is not None:
        shown["volume"] = output.decimals(volumes)
    unit = {0.01: "lots", 1.0: "shares"}.get(args.vol_coeff, f"shares x {args.vol_coeff!r}")
    titles = {"amount": "amount (yuan)", "volume": f"volume ({unit})"}
    _records(args, out, bars[-args.last :] if args.last else bars, DAY_COLUMNS, shown, titles)


def cmd_minute(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    _check_kind(args.file, "minute")
    bars = _read_file(args.file, _core.read_minute_bars)
    _warn_impossible(session, args.file, [b["datetime"] for b in bars], "minute")
    _records(
        args, out, bars[-args.last :] if args.last else bars, MINUTE_COLUMNS, MINUTE_SHOWN, MINUTE_TITLES
    )


def cmd_ping(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    servers = list(args.servers) or [session.address()]
    with session.exchange():
        results = _core.ping_servers(servers)
    rows = [
        {"ip": ip, "port": port, "latency_ms": ms, "reachable": ms != 9999, "note": _ping_note(ip, ms)}
        for ip, port, ms in results
    ]
    _records(args, out, rows)


def _ping_note(host: str, latency: int) -> str:
    """Why a server is unreachable, when the address alone says it."""
    if latency != 9999:
        return ""
    if host.startswith("[") and host.endswith("]"):
        try:
            ipaddress.IPv6Address(host[1:-1])
        except ValueError:
            return "not an IPv6 address: nothing was probed"
        return ""
    try:
        ipaddress.IPv4Address(host)
    except ValueError:
        try:
            ipaddress.IPv6Address(host)
        except ValueError:
            return "not a numeric address (host names are not looked up): nothing was probed"
        return f"an IPv6 address goes in brackets, [{host}]: nothing was probed"
    return ""


# The store ----------------------------------------------------------------------------------


def _open_store(args: argparse.Namespace) -> Store:
    from quillan.store import Store

    try:
        return Store(args.store)
    except ImportError as err:
        raise CliError(str(err)) from None


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


def _pool(text: str) -> int:
    number = _number(text, 256)
    if not number:
        raise argparse.ArgumentTypeError(f"invalid pool '{text}' (1 to 256 connections)")
    return number


def _day(text: str) -> str:
    if text.isdigit():
        raise argparse.ArgumentTypeError(f"invalid date '{text}' (expected 2024-01-31)")
    return _date(text)


def _freqs(text: str) -> list[str]:
    from quillan.store import FREQS

    freqs = [part.strip().lower() for part in text.split(",") if part.strip()]
    unknown = [f for f in freqs if f not in FREQS]
    if unknown or not freqs:
        raise argparse.ArgumentTypeError(f"invalid frequency '{text}' (a list of {', '.join(FREQS)})")
    return list(dict.fromkeys(freqs))


def _securities_file(path: str) -> list[tuple[int, str]]:
    """The securities a file lists, separated by spaces, commas or lines; # starts a comment."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as err:
        raise file_error(path, err) from None
    found: list[tuple[int, str]] = []
    for number, line in enumerate(text.splitlines(), 1):
        for word in line.partition("#")[0].replace(",", " ").split():
            try:
                found.append(parse_security(word))
            except argparse.ArgumentTypeError as err:
                raise CliError(f"{shown_path(path)}, line {number}: {err}") from None
    return found


def _finish(session: Session, report: SyncReport, what: str, out: TextIO) -> None:
    """The one-line summary on stdout, then each failure on stderr; a failure makes the exit
    status 1."""
    out.write(f"{what}: {report.summary()}\n")
    out.flush()
    for name, error in sorted(report.failed.items()):
        session.err.write(f"quillan: failed: {output.visible(name)}: {_describe(Exception(error))}\n")
    session.err.flush()
    if report.failed:
        raise CliError(f"{len(report.failed)} failed; run the command again to retry them")


def cmd_sync(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    securities = list(args.securities)
    for path in args.from_files or []:
        securities += _securities_file(path)
    if not securities:
        raise CliError("no securities to sync: name them, or give a file of them with --from", EXIT_USAGE)
    store = _open_store(args)
    client = session.pooled(args.pool)
    with _storing():
        report = store.sync(client, securities, args.freq, start=args.start, progress=session.err.isatty())
    _finish(session, report, f"sync into {shown_path(str(store.path))}", out)


def cmd_import(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    store = _open_store(args)
    if not os.path.isdir(args.path):
        raise CliError(f"{shown_path(args.path)}: no such folder")
    with _storing():
        report = store.import_terminal(args.path, progress=session.err.isatty())
    _finish(session, report, f"import into {shown_path(str(store.path))}", out)


def cmd_sql(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    store = _open_store(args)
    duckdb = import_optional("duckdb", "quillan sql", "store")
    try:
        table = store.sql(args.query)
    except duckdb.Error as err:
        raise CliError(f"sql: {err}") from None
    columns: dict[str, list[object]] = {}
    for name in table.columns:
        values = table[name]
        if values.dtype.kind == "M":
            columns[name] = [None if v is None else str(v).replace("T", " ") for v in values.astype(object)]
        else:
            columns[name] = values.tolist()
    records = [dict(zip(columns, row, strict=True)) for row in zip(*columns.values(), strict=True)]
    _records(args, out, records, list(table.columns))


def cmd_tour(args: argparse.Namespace, session: Session, out: TextIO) -> None:
    session.announce = False  # the tour says where it runs
    run_tour(session, out)


def _records(
    args: argparse.Namespace,
    out: TextIO,
    records: Sequence[Mapping[str, object]],
    columns: Sequence[str] | None = None,
    shown: Mapping[str, output.Shown] | None = None,
    titles: Mapping[str, str] | None = None,
) -> None:
    output.write_records(records, args.format, out, columns, shown, titles)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="quillan",
        description="TDX market data from quote servers and terminal files.",
        epilog="Without --server the network commands use the built-in simulator (python -m quillan.sim).",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)

    formats = _Parser(add_help=False)
    group = formats.add_mutually_exclusive_group()
    group.add_argument("--csv", dest="format", action="store_const", const="csv", help="print CSV")
    group.add_argument("--json", dest="format", action="store_const", const="json", help="print JSON")
    formats.set_defaults(format="table")

    network = _Parser(add_help=False)
    network.add_argument(
        "--server",
        "-s",
        type=parse_server,
        action="append",
        metavar="IP:PORT",
        help="a quote server, may be repeated (default: QUILLAN_SERVERS, else the built-in simulator)",
    )

    def command(
        name: str, run: Callable[..., None], summary: str, net: bool = True, fmt: bool = True
    ) -> argparse.ArgumentParser:
        parents = ([network] if net else []) + ([formats] if fmt else [])
        p = sub.add_parser(name, help=summary, description=summary, parents=parents)
        p.set_defaults(run=run, server=None, format="table")
        return p

    security_help = (
        "a six-character code, 600036 (market 1 when it starts with 5, 6 or 9, else market 0); "
        "MARKET:CODE, 1:600036 or 0:000001; or a prefix, sh600036 (market 1) or sz000001 (market 0)"
    )

    p = command("bars", cmd_bars, "K-line bars of one security, oldest first")
    p.add_argument("security", type=parse_security, help=security_help)
    p.add_argument(
        "--category", "-c", type=_category, default=9,
        help=f"bar length: {', '.join(BAR_CATEGORIES)}, or a category number (default: day)",
    )  # fmt: skip
    p.add_argument(
        "--freq", "-f", type=_freq, metavar="FREQ",
        help="bar length for a paged read: 1m, 5m, 15m, 30m, 1h, 1d, 1w, 1mo, 1q, 1y, or a category number",
    )  # fmt: skip
    p.add_argument(
        "--start", type=_date, metavar="DATE",
        help="the first date (2024-01-31, or with a time); reads back as many replies as needed",
    )  # fmt: skip
    p.add_argument("--end", type=_date, metavar="DATE", help="the last date (a whole day, or up to a time)")
    p.add_argument(
        "--offset", type=_count, default=0, metavar="N",
        help="one reply: bars to skip back from the newest (default 0); digits given to --start mean this",
    )  # fmt: skip
    p.add_argument(
        "--count", "-n", type=_count, dest="count", default=None,
        help="number of bars, the last ones (default 20, or every bar from --start on)",
    )  # fmt: skip
    p.add_argument(
        "--adjust", "-a", choices=("forward", "backward"),
        help="prices adjusted for ex-rights events: forward to the last bar shown, backward to the first",
    )  # fmt: skip
    p.add_argument(
        "--as-of", type=_date, metavar="DATE",
        help="with --adjust forward: anchor at the last bar on or before DATE, ignoring later events",
    )  # fmt: skip

    p = command("quotes", cmd_quotes, "real-time quotes with five levels of bids and asks")
    p.add_argument("securities", type=parse_security, nargs="+", metavar="security", help=security_help)

    p = command("ticks", cmd_ticks, "tick-by-tick trades of one security, oldest first")
    p.add_argument("security", type=parse_security, help=security_help)
    p.add_argument("--start", type=_count, default=0, help="trades to skip back from the newest (default 0)")
    p.add_argument("--count", "-n", type=_count, default=20, help="number of trades (default 20)")

    p = command("xdxr", cmd_xdxr, "ex-rights and ex-dividend events of one security")
    p.add_argument("security", type=parse_security, help=security_help)

    p = command("finance", cmd_finance, "finance summary of one security")
    p.add_argument("security", type=parse_security, help=security_help)

    p = command("company", cmd_company, "company information: the index of sections, or one section's text")
    p.add_argument("security", type=parse_security, help=security_help)
    p.add_argument("section", nargs="?", help="a section's number in the index, or its title")

    p = command("report", cmd_report, "download a report file from the server")
    p.add_argument("filename", help="the file's name on the server, e.g. reports/securities.csv")
    p.add_argument(
        "--output", "-o", metavar="PATH", help="where to save it (default: its base name here; - for stdout)"
    )
    p.add_argument("--size", type=_u32, metavar="BYTES", help="the expected size, for the progress bar")
    p.add_argument(
        "--max-size", type=_size, default=1 << 30, metavar="BYTES",
        help="stop with an error when the file grows past this size (default 1G; K, M and G suffixes)",
    )  # fmt: skip

    p = command("day", cmd_day, "read a terminal's daily bar file (.day)", net=False)
    p.add_argument("file")
    p.add_argument("--price-coeff", type=_coeff, default=0.01, help="multiplies the prices (default 0.01)")
    p.add_argument("--vol-coeff", type=_coeff, default=0.01, help="multiplies the volume (default 0.01)")
    p.add_argument("--last", type=_count, default=0, metavar="N", help="only the last N records")

    p = command("minute", cmd_minute, "read a terminal's minute bar file (.lc1, .lc5)", net=False)
    p.add_argument("file")
    p.add_argument("--last", type=_count, default=0, metavar="N", help="only the last N records")

    p = command("ping", cmd_ping, "connection latency to quote servers, fastest first (9999: unreachable)")
    p.add_argument(
        "servers",
        type=parse_server,
        nargs="*",
        metavar="IP:PORT",
        help="servers to probe (default: --server)",
    )

    store_help = "the store's folder (default: $QUILLAN_STORE, else quillan in the user's data folder)"

    p = command("sync", cmd_sync, "fetch what is new of securities into the local store", fmt=False)
    p.add_argument("securities", type=parse_security, nargs="*", metavar="security", help=security_help)
    p.add_argument("--from", dest="from_files", action="append", metavar="FILE", help="a file of securities")
    p.add_argument(
        "--freq", "-f", type=_freqs, default=["1d"], metavar="FREQ,...",
        help="bar lengths, comma-separated: 1m, 5m, 15m, 30m, 1h, 1d, 1w, 1mo, 1q, 1y (default 1d)",
    )  # fmt: skip
    p.add_argument("--start", type=_day, metavar="DATE", help="the first date of a first sync (default: all)")
    p.add_argument("--pool", type=_pool, default=4, metavar="N", help="connections at once (default 4)")
    p.add_argument("--store", metavar="DIR", help=store_help)

    p = command("import", cmd_import, "import a terminal's bar files into the local store", False, False)
    p.add_argument("path", help="the terminal's data folder (with sh/ and sz/, or vipdoc/)")
    p.add_argument("--store", metavar="DIR", help=store_help)

    p = command("sql", cmd_sql, "query the local store with SQL (views bars, xdxr, bars_adjusted)", net=False)
    p.add_argument("query", help="e.g. \"SELECT * FROM bars WHERE code = '600036' ORDER BY time\"")
    p.add_argument("--store", metavar="DIR", help=store_help)

    command(
        "tour", cmd_tour, "a short tour of every capability, against the built-in simulator", False, False
    )
    return parser


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


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    out, err = sys.stdout, sys.stderr
    try:
        args = build_parser().parse_args(argv)
        with _quiet_broken_pipe(), _terminate_cleanly(), Session(args.server, err) as session:
            args.run(args, session, out)
        return 0
    except CliError as e:
        return _fail(err, str(e), e.status)
    except KeyboardInterrupt:
        err.write("\n")
        return 130


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


def _describe(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    return output.visible(" ".join(text.split()))  # one line, whatever the message holds


def _fail(err: TextIO, message: str, status: int) -> int:
    err.write(f"quillan: error: {_describe(CliError(message))}\n")
    err.flush()
    return status


if __name__ == "__main__":
    sys.exit(main())
