"""The commands that show the market rather than print it: chart (candles to a file or in the
terminal, through `quillan.plot`) and watch (a board of quotes, refreshed in place)."""

from __future__ import annotations

import argparse
import datetime
import math
import os
import shutil
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from quillan.atomic import write_atomically
from quillan.cli import output
from quillan.cli.context import EXIT_USAGE, CliError, Run, describe, shown_path
from quillan.cli.network import fetch_bars
from quillan.table import Table, import_optional
from quillan.vocabulary import Security

__all__ = ["board", "board_rows", "chart", "watch"]

BOARD_COLUMNS = ("security", "price", "change", "change_pct", "bid", "ask", "vol", "time")
_COLORS = {"cn": ("red", "green"), "western": ("green", "red")}


def _format_of(path: str) -> str:
    """The file format a chart is written in, from the name's extension; a usage error for an
    extension matplotlib cannot write."""
    canvas = import_optional("matplotlib.backend_bases", "quillan chart -o", "plot").FigureCanvasBase

    extension = os.path.splitext(path)[1].lower().lstrip(".")
    known = canvas.get_supported_filetypes()
    if extension not in known:
        raise CliError(
            f"cannot write a chart to {shown_path(path)}: give a file ending in .png, .svg or .pdf "
            f"(or another that matplotlib writes: {', '.join(sorted(set(known) - {'png', 'svg', 'pdf'}))})",
            EXIT_USAGE,
        )
    return extension


def chart(args: argparse.Namespace, run: Run) -> None:
    """Candles of one security: to the file of -o, else drawn in the terminal."""
    if args.output is None and not run.out.isatty():
        raise CliError(
            "the output is not a terminal: give -o FILE (.png, .svg or .pdf) to write the chart", EXIT_USAGE
        )
    fmt = _format_of(args.output) if args.output is not None else None
    bars = fetch_bars(args, run, 120)
    symbol = args.security.symbol
    if not len(bars):
        raise CliError(f"no {args.freq} bars of {symbol} in that range: nothing to chart")
    from quillan import plot

    if args.output is None:
        size = shutil.get_terminal_size((100, 30))
        drawn = plot.terminal_candles(
            bars, size.columns, max(12, size.lines - 2), style=args.style,
            security=symbol, freq=args.freq, adjust=args.adjust,
        )  # fmt: skip
        run.out.write(drawn)
        run.out.write("\n")
        return
    figure = plot.candles(bars, style=args.style, security=symbol, freq=args.freq, adjust=args.adjust)
    path = Path(args.output)
    try:
        write_atomically(path, lambda tmp: figure.savefig(tmp, format=fmt, dpi=110))
    except OSError as err:
        raise CliError(f"{shown_path(path)}: {describe(err)}") from None
    run.out.write(f"chart of {len(bars)} {args.freq} bars of {symbol}: {shown_path(path)}\n")


def _clock(value: float) -> str:
    """A quote's time (hhmmss and hundredths, as servers send it) as HH:MM:SS."""
    if not math.isfinite(value) or value < 0:
        return ""
    whole = int(value) // 100
    return f"{whole // 10000:02d}:{whole // 100 % 100:02d}:{whole % 100:02d}"


def board_rows(securities: Sequence[Security], quotes: Table) -> list[list[Any]]:
    """One row per security of `BOARD_COLUMNS`: the last price, its change and change in
    percent from the previous close, the best bid and ask, the volume (lots) and the time. The
    change is taken in thousandths of a yuan, the finest step a price has, so that it is the
    nearest double to the decimal difference (-0.28, not -0.27999999999999936)."""
    rows = []
    columns = [quotes[name].tolist() for name in ("price", "last_close", "bid1", "ask1", "vol", "servertime")]
    for security, (price, last, bid, ask, vol, at) in zip(
        securities, zip(*columns, strict=True), strict=True
    ):
        change = (
            (round(price * 1000) - round(last * 1000)) / 1000 if price == price and last == last else math.nan
        )
        pct = change / last * 100 if last else math.nan
        rows.append([str(security), price, change, pct, bid, ask, vol, _clock(at)])
    return rows


def board(rows: Sequence[Sequence[Any]], style: str, caption: str) -> Any:
    """The board as a rich Table: rising rows in the style's rising colour, falling ones in its
    falling colour."""
    rich_table = import_optional("rich.table", "quillan watch on a terminal", "terminal").Table

    up, down = _COLORS[style]
    table = rich_table(caption=caption, caption_justify="left", header_style="bold")
    for name in BOARD_COLUMNS:
        table.add_column(
            name.replace("_pct", " %"), justify="left" if name in ("security", "time") else "right"
        )
    for row in rows:
        change = row[2]
        color = up if change > 0 else down if change < 0 else None
        price, change, pct, bid, ask, volume = (v if v == v else None for v in row[1:7])
        cells = [
            row[0],
            *(f"{v:,.2f}" if v is not None else "" for v in (price, change)),
            f"{pct:+.2f}" if pct is not None else "",
            *(f"{v:,.2f}" if v is not None else "" for v in (bid, ask)),
            f"{volume:,.0f}" if volume is not None else "",
            row[7],
        ]
        table.add_row(*cells, style=color)
    return table


def watch(args: argparse.Namespace, run: Run) -> None:
    """A board of quotes refreshed every --interval seconds: in place on a terminal, else one
    CSV block per refresh. Ctrl-C ends it (status 0)."""
    securities = list(args.securities)
    terminal = run.out.isatty()
    live: Any = None
    if terminal:
        console = import_optional("rich.console", "quillan watch on a terminal", "terminal").Console
        live_board = import_optional("rich.live", "quillan watch on a terminal", "terminal").Live
        live = live_board(console=console(file=run.out), auto_refresh=False, redirect_stderr=False)
    client = run.client()
    rows: list[list[Any]] = []
    refresh = 0
    try:
        if live is not None:
            live.start()
        while args.count is None or refresh < args.count:
            began = time.monotonic()
            refresh += 1
            status = ""
            try:
                rows = board_rows(securities, client.quotes(securities))
            except (OSError, ValueError) as err:  # a failing server: said, then tried again
                moment = datetime.datetime.now().strftime("%H:%M:%S")
                status = f"no quotes at {moment}: {describe(err)}"
                if live is None:
                    run.warn(status)
            if live is not None:
                every = f"every {args.interval:g} s"
                caption = (
                    status
                    or f"refresh {refresh}{f' of {args.count}' if args.count else ''}, {every}; Ctrl-C ends"
                )
                live.update(board(rows, args.style, caption), refresh=True)
            elif rows and not status:
                if refresh > 1:
                    run.out.write("\n")
                output.write_rows(BOARD_COLUMNS, rows, "csv", run.out)
                run.out.flush()
            if args.count is not None and refresh >= args.count:
                break
            time.sleep(max(0.0, args.interval - (time.monotonic() - began)))
    except KeyboardInterrupt:
        pass
    finally:
        if live is not None:
            live.stop()
    if live is None and not rows:
        raise CliError("no quotes: every refresh failed")
