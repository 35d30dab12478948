"""quillan.adjust on a long series, against the same rule written as a loop over the bars.

    .venv/bin/python bench/bench_adjust.py [--bars 1000000] [--events 40] [--repeat 5]

The series is one-minute bars (240 a day) with a random walk of closes and --events cash,
bonus and rights events spread over it. It prints the best of --repeat runs of each, forward
adjustment, and their ratio; both must give the same factors.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable

import numpy as np

from quillan import Table, adjust


def series(bars: int, events: int) -> tuple[Table, dict[str, np.ndarray]]:
    rng = np.random.default_rng(7)
    day = np.arange(bars) // 240
    times = np.datetime64("2010-01-04T09:31", "m") + day * np.timedelta64(1, "D") + np.arange(bars) % 240
    close = 20 * np.exp(np.cumsum(rng.normal(0, 0.001, bars)))
    table = Table({"datetime": times, "open": close, "high": close, "low": close, "close": close})
    on = np.sort(rng.choice(np.arange(1, day[-1] + 1), events, replace=False))
    dates = np.datetime64("2010-01-04", "D") + on
    kind = np.arange(events) % 3
    xdxr = {
        "date": dates,
        "category": np.ones(events, dtype=np.int64),
        "fenhong": np.where(kind == 0, 3.0, 0.0),
        "peigujia": np.where(kind == 2, 15.0, 0.0),
        "songzhuangu": np.where(kind == 1, 3.0, 0.0),
        "peigu": np.where(kind == 2, 2.0, 0.0),
    }
    return table, xdxr


def loop(table: Table, xdxr: dict[str, np.ndarray]) -> list[float]:
    """The rule bar by bar, as a plain Python reading of it."""
    days = table["datetime"].astype("datetime64[D]").tolist()
    closes = table["close"].tolist()
    events = list(
        zip(
            xdxr["date"].tolist(),
            xdxr["fenhong"],
            xdxr["peigujia"],
            xdxr["songzhuangu"],
            xdxr["peigu"],
            strict=True,
        )
    )
    backward, b, at = [], 1.0, 0
    for i, day in enumerate(days):
        while at < len(events) and events[at][0] <= day:
            _, cash, price, bonus, rights = events[at]
            if i > 0:
                c = closes[i - 1]
                b *= c / ((c - cash / 10 + price * rights / 10) / (1 + bonus / 10 + rights / 10))
            at += 1
        backward.append(b)
    return [f / backward[-1] for f in backward]


def best(repeat: int, call: Callable[[], object]) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--bars", type=int, default=1_000_000)
    parser.add_argument("--events", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    table, xdxr = series(args.bars, args.events)
    fast, out = best(args.repeat, lambda: adjust(table, xdxr))
    slow, plain = best(args.repeat, lambda: loop(table, xdxr))
    assert isinstance(out, Table) and np.allclose(out["adj_factor"], plain, rtol=1e-12)
    print(f"{args.bars} bars, {args.events} events, forward adjustment (best of {args.repeat})")
    print(f"  quillan.adjust   {fast * 1e3:9.1f} ms   {args.bars / fast / 1e6:6.1f} M bars/s")
    print(f"  loop over bars   {slow * 1e3:9.1f} ms   {args.bars / slow / 1e6:6.1f} M bars/s")
    print(f"  ratio            {slow / fast:9.1f}x")


if __name__ == "__main__":
    main()
