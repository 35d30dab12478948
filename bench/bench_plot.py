"""What drawing costs: candles to PNG, and one refresh of the quote board.

    .venv/bin/python bench/bench_plot.py [--repeat 5]

1. quillan.plot.candles of 250 and of 5,000 generated daily bars (a year, twenty years),
   rendered to PNG in memory, with the volume pane and two moving averages (target: under
   1 s for 5,000). Beside it the same candles drawn the plain matplotlib way, a Rectangle and
   a line per bar, for scale.
2. One refresh of `quillan watch` for 80 securities against the simulator: the quotes through
   quillan.Client and the board rendered for a terminal (rich, into memory).
"""

from __future__ import annotations

import argparse
import io
import time
from collections.abc import Callable

import numpy as np

from quillan import Client, Table, plot
from quillan.cli.charts import board, board_rows
from quillan.sim import Server, universe
from quillan.vocabulary import parse_security


def daily(count: int) -> Table:
    rng = np.random.default_rng(1)
    days = np.arange(
        np.datetime64("2000-01-03"), np.datetime64("2000-01-03") + np.timedelta64(count * 2, "D")
    )
    days = days[np.is_busday(days)][:count]
    close = 10 + np.cumsum(rng.normal(0, 0.2, count))
    opens = close + rng.normal(0, 0.1, count)
    return Table({
        "datetime": days.astype("M8[s]"), "open": opens, "high": np.maximum(opens, close) + 0.1,
        "low": np.minimum(opens, close) - 0.1, "close": close, "amount": close * 1e6,
        "volume": rng.uniform(1e5, 1e6, count),
    })  # fmt: skip


def plain_matplotlib(bars: Table) -> object:
    """The candles as many examples draw them: a patch and a line per bar."""
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    figure = Figure(figsize=(11, 6.5), layout="constrained")
    price, volume = figure.subplots(2, 1, sharex=True, height_ratios=(3, 1))
    for i, (o, h, low, c, v) in enumerate(
        zip(*(bars[name].tolist() for name in ("open", "high", "low", "close", "volume")), strict=True)
    ):
        color = "#e03131" if c > o else "#2f9e44"
        price.add_patch(Rectangle((i - 0.35, min(o, c)), 0.7, abs(c - o), color=color))
        price.plot([i, i], [low, h], color=color, linewidth=0.6)
        volume.add_patch(Rectangle((i - 0.35, 0), 0.7, v, color=color))
    price.autoscale_view()
    volume.autoscale_view()
    return figure


def best(run: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        run()
        times.append(time.perf_counter() - began)
    return min(times)


def to_png(make: Callable[[], object]) -> Callable[[], None]:
    def draw() -> None:
        figure = make()
        figure.savefig(io.BytesIO(), format="png", dpi=110)  # type: ignore[attr-defined]

    return draw


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    to_png(lambda: plot.candles(daily(20)))()  # imports matplotlib, loads its fonts
    print(f"candles to PNG, best of {args.repeat}")
    for count in (250, 5000):
        bars = daily(count)
        ours = best(to_png(lambda b=bars: plot.candles(b)), args.repeat)
        theirs = best(to_png(lambda b=bars: plain_matplotlib(b)), max(1, args.repeat // 2))
        target = "   (target: under 1 s)" if count == 5000 else ""
        print(
            f"  {count:5,} bars   {ours * 1e3:8.1f} ms   a patch per bar {theirs * 1e3:8.1f} ms   "
            f"{theirs / ours:5.1f} x{target}"
        )

    from rich.console import Console

    known = [s.label for s in universe.SECURITIES]
    securities = [parse_security(known[i % len(known)]) for i in range(80)]
    with Server() as server, Client([server.address]) as client:

        def refresh() -> None:
            rows = board_rows(securities, client.quotes(securities))
            Console(file=io.StringIO(), force_terminal=True, width=120).print(board(rows, "cn", "refresh 1"))

        refresh()
        once = best(refresh, args.repeat * 4)
    print(f"watch: one refresh of {len(securities)} securities   {once * 1e3:8.1f} ms")


if __name__ == "__main__":
    main()
