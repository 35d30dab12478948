"""The tool's arguments: their types, each one a parser of `quillan.vocabulary` (so the tool
takes exactly what the library takes), and the parser of every command."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any, NoReturn, TypeVar

from quillan import vocabulary
from quillan.cli.context import EXIT_USAGE, CliError

__all__ = ["build_parser"]

T = TypeVar("T")


def _argument(parse: Callable[[str], T], name: str) -> Callable[[str], T]:
    """An argparse type from a parser of the vocabulary: its ValueError is a usage error."""

    def convert(text: str) -> T:
        try:
            return parse(text)
        except (TypeError, ValueError) as err:
            raise argparse.ArgumentTypeError(str(err)) from None

    convert.__name__ = name  # argparse names the type in its messages
    return convert


security = _argument(vocabulary.parse_security, "security")
server = _argument(vocabulary.parse_server, "server")
freq = _argument(vocabulary.parse_freq, "frequency")
freqs = _argument(vocabulary.parse_freqs, "frequencies")


def _date(text: str) -> Any:
    moment, whole_day = vocabulary.parse_time(text, "date")
    return moment.astype("datetime64[D]") if whole_day else moment  # a day stays a whole day


date = _argument(_date, "date")


def _number(text: str, limit: int, what: str, low: int = 0) -> int:
    if not (text.isascii() and text.isdigit()) or not low <= int(text) <= limit:
        raise argparse.ArgumentTypeError(f"invalid {what} '{text}' ({low} to {limit:,})")
    return int(text)


def count(text: str) -> int:
    return _number(text, 0x7FFFFFFF, "count")


def offset(text: str) -> int:
    return _number(text, 0xFFFF, "offset")


def refreshes(text: str) -> int:
    return _number(text, 0x7FFFFFFF, "count", 1)


def pool(text: str) -> int:
    return _number(text, 256, "pool", 1)


def retries(text: str) -> int:
    return _number(text, 100, "number of retries")


def _positive_seconds(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value <= 1e6:
        raise argparse.ArgumentTypeError(f"invalid {what} '{text}' (seconds, above 0)")
    return value


def seconds(text: str) -> float:
    return _positive_seconds(text, "time-out")


def interval(text: str) -> float:
    return _positive_seconds(text, "interval")


def size(text: str) -> int:
    scale = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}.get(text[-1:].lower(), 1)
    digits = text[:-1] if scale > 1 else text
    if not (digits.isascii() and digits.isdigit()):
        raise argparse.ArgumentTypeError(f"invalid size '{text}' (bytes, or a number and K, M or G)")
    return int(digits) * scale


def scale(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(
            f"invalid price scale '{text}' (a positive number, such as 100 or 1000)"
        )
    return value


class Parser(argparse.ArgumentParser):
    """Reports a usage error as one line instead of the usage text and a line."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')", EXIT_USAGE)


SECURITY_HELP = "a security: 600036, sh600036, 600036.SH or 1:600036 (market 1 is Shanghai, 0 Shenzhen)"
DATE_HELP = f"a date or time: {vocabulary.DATE_FORMS}"
FREQ_HELP = f"bar length: {', '.join(vocabulary.FREQUENCIES)}"
STORE_HELP = "the store's folder (default: $QUILLAN_STORE, else quillan in the user's data folder)"


def build_parser(commands: dict[str, tuple[Callable[..., None], str]]) -> argparse.ArgumentParser:
    """The parser of every command; `commands` maps each name to its function and summary."""
    parser = Parser(
        prog="quillan",
        description="TDX market data from quote servers, terminal files and a local store.",
        epilog="Without --server the network commands use the built-in simulator (python -m quillan.sim).",
    )
    from quillan import __version__

    parser.add_argument("--version", action="version", version=f"quillan {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=Parser)

    formats = Parser(add_help=False)
    group = formats.add_mutually_exclusive_group()
    group.add_argument("--csv", dest="format", action="store_const", const="csv", help="print CSV")
    group.add_argument("--json", dest="format", action="store_const", const="json", help="print JSON")
    formats.set_defaults(format="table")

    network = Parser(add_help=False)
    network.add_argument(
        "--server", "-s", type=server, action="append", metavar="HOST:PORT",
        help="a quote server, may be repeated (default: QUILLAN_SERVERS, else the built-in simulator)",
    )  # fmt: skip
    network.add_argument("--timeout", type=seconds, default=10.0, metavar="SECONDS",
                         help="for each request and its reply (default 10)")  # fmt: skip
    network.add_argument("--retries", type=retries, default=3, metavar="N",
                         help="tries after the first for a failed request (default 3)")  # fmt: skip

    def command(name: str, *, net: bool = True, fmt: bool = True) -> argparse.ArgumentParser:
        run, summary = commands[name]
        parents = ([network] if net else []) + ([formats] if fmt else [])
        p = sub.add_parser(name, help=summary, description=summary, parents=parents)
        p.set_defaults(run=run, server=None, format="table", timeout=10.0, retries=3)
        return p

    def bar_range(p: argparse.ArgumentParser, start_help: str) -> None:
        p.add_argument(
            "--freq", "-f", type=freq, default="1d", metavar="FREQ", help=f"{FREQ_HELP} (default 1d)"
        )
        p.add_argument("--start", type=date, metavar="DATE", help=f"{start_help}; {DATE_HELP}")
        p.add_argument("--end", type=date, metavar="DATE", help="the last date (a whole day), or a time")

    def adjusted(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "--adjust", "-a", choices=("forward", "backward"),
            help="prices adjusted for ex-rights events: forward to the last bar shown, backward to the first",
        )  # fmt: skip
        p.add_argument("--as-of", type=date, metavar="DATE",
                       help="with --adjust forward: anchor at the last bar on or before DATE")  # fmt: skip

    def bars_of_one(p: argparse.ArgumentParser, default_count: int, store_help: str) -> None:
        """The bars of one security that `bars` and `chart` ask for."""
        p.add_argument("security", type=security, help=SECURITY_HELP)
        bar_range(p, "the first date")
        p.add_argument(
            "--count", "-n", type=count,
            help=f"the last N bars (default {default_count}, or every bar from --start on)",
        )  # fmt: skip
        p.add_argument("--offset", type=offset, default=0, metavar="N", help="leave out the newest N bars")
        adjusted(p)
        p.add_argument("--store", metavar="DIR", help=store_help)

    bars_of_one(command("bars"), 20, "read the bars from this store instead of a server")
    p = command("chart", fmt=False)
    bars_of_one(p, 120, "chart the bars of this store instead of a server's")
    p.add_argument("--output", "-o", metavar="FILE",
                   help="write the chart to FILE (.png, .svg or .pdf); without it, draw it here")  # fmt: skip
    p.add_argument("--style", choices=("cn", "western"), default="cn",
                   help="cn: rising red, falling green (default); western: the reverse")  # fmt: skip

    p = command("watch", fmt=False)
    p.add_argument("securities", type=security, nargs="+", metavar="security", help=SECURITY_HELP)
    p.add_argument("--interval", type=interval, default=3.0, metavar="SECONDS",
                   help="between refreshes (default 3)")  # fmt: skip
    p.add_argument(
        "--count", "-n", type=refreshes, metavar="N", help="stop after N refreshes (default: Ctrl-C)"
    )
    p.add_argument("--style", choices=("cn", "western"), default="cn",
                   help="cn: rising rows red, falling green (default); western: the reverse")  # fmt: skip

    p = command("quotes")
    p.add_argument("securities", type=security, nargs="+", metavar="security", help=SECURITY_HELP)

    p = command("ticks")
    p.add_argument("security", type=security, help=SECURITY_HELP)
    p.add_argument("--count", "-n", type=count, default=20, help="the last N trades (default 20)")
    p.add_argument("--offset", type=offset, default=0, metavar="N", help="leave out the newest N trades")

    for name in ("xdxr", "finance"):
        command(name).add_argument("security", type=security, help=SECURITY_HELP)

    p = command("company")
    p.add_argument("security", type=security, help=SECURITY_HELP)
    p.add_argument("section", nargs="?", help="a section's number in the index, or its title")

    p = command("report")
    p.add_argument("filename", help="the file's name on the server, e.g. reports/securities.csv")
    p.add_argument(
        "--output", "-o", metavar="PATH", help="where to save it (default: its base name here; - for stdout)"
    )
    p.add_argument("--size", type=count, metavar="BYTES", help="the expected size, for the progress bar")
    p.add_argument(
        "--max-size", type=size, default=1 << 30, metavar="BYTES",
        help="stop with an error when the file grows past this size (default 1G; K, M and G suffixes)",
    )  # fmt: skip

    p = command("ping")
    p.add_argument(
        "servers", type=server, nargs="*", metavar="HOST:PORT", help="servers to probe (default: --server)"
    )

    p = command("day", net=False)
    p.add_argument("file", help="a daily bar file (.day)")
    p.add_argument(
        "--scale", type=scale, help="what the stored prices are divided by (default: from the file name)"
    )
    p.add_argument("--last", type=count, default=0, metavar="N", help="only the last N bars")

    p = command("minute", net=False)
    p.add_argument("file", help="a minute bar file (.lc1, .lc5)")
    p.add_argument("--last", type=count, default=0, metavar="N", help="only the last N bars")

    p = command("sync", fmt=False)
    p.add_argument("securities", type=security, nargs="*", metavar="security", help=SECURITY_HELP)
    p.add_argument("--from", dest="from_files", action="append", metavar="FILE", help="a file of securities")
    p.add_argument("--freq", "-f", type=freqs, default=["1d"], metavar="FREQ,...",
                   help=f"{FREQ_HELP}, comma-separated (default 1d)")  # fmt: skip
    p.add_argument(
        "--start",
        type=date,
        metavar="DATE",
        help=f"the first date of a first sync (default: all); {DATE_HELP}",
    )
    p.add_argument("--pool", type=pool, default=4, metavar="N", help="connections at once (default 4)")
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("import", net=False, fmt=False)
    p.add_argument("path", help="the terminal's data folder (with sh/ and sz/, or vipdoc/)")
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("sql", net=False)
    p.add_argument("query", help="e.g. \"SELECT * FROM bars WHERE code = '600036' ORDER BY datetime\"")
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("verify", net=False, fmt=False)
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("calendar", net=False)
    p.add_argument("--start", type=date, metavar="DATE", help=f"the first date; {DATE_HELP}")
    p.add_argument("--end", type=date, metavar="DATE", help="the last date")
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("securities", net=False)
    which = p.add_mutually_exclusive_group()
    which.add_argument("--active", dest="active", action="store_const", const=True,
                       help="only those with a bar on the calendar's last day")  # fmt: skip
    which.add_argument("--inactive", dest="active", action="store_const", const=False,
                       help="only those without (delisted, or not synced lately)")  # fmt: skip
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("gaps", net=False)
    p.add_argument("security", type=security, help=SECURITY_HELP)
    p.add_argument("--freq", "-f", type=freq, default="1d", metavar="FREQ",
                   help="1d, or an intraday frequency (1m, 5m, 15m, 30m, 1h); default 1d")  # fmt: skip
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    p = command("export", net=False, fmt=False)
    p.add_argument("layout", choices=("qlib",), help="the dataset's layout: qlib")
    p.add_argument("path", help="the dataset's folder: made, or replaced when an export made it")
    p.add_argument("securities", type=security, nargs="*", metavar="security",
                   help="the securities to export (default: every one in the store)")  # fmt: skip
    p.add_argument("--start", type=date, metavar="DATE", help=f"the first date; {DATE_HELP}")
    p.add_argument("--end", type=date, metavar="DATE", help="the last date")
    p.add_argument("--store", metavar="DIR", help=STORE_HELP)

    command("tour", net=False, fmt=False)
    return parser
