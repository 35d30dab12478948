"""What the market's shape and the qlib export of a store cost, against floors measured in the
same run.

    .venv/bin/python bench/bench_calendar.py [--securities 5000] [--years 20] [--repeat 3]

A terminal folder of --securities daily files over --years of a holiday calendar (two indexes,
the others listed late, delisted early or suspended now and then, as markets go) is imported
into a store, untimed. Then, each the best of --repeat runs:

1. calendar + universe: Store.calendar() and Store.securities() on a Store just opened
   (target: under 1 s).
2. export: Store.export_qlib into a new folder, and over the dataset it made (the nightly
   case), against the time to read the same bars (the daily bucket files read whole into
   series: target 3 x), and against bare file writes of the same files with the same bytes,
   which is what the disk costs whatever writes them.
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

from quillan import Store
from quillan.store.parquet import read_parquet, split

RECORD = np.dtype(
    [("date", "<u4"), ("open", "<u4"), ("high", "<u4"), ("low", "<u4"), ("close", "<u4"),
     ("amount", "<f4"), ("volume", "<u4"), ("reserved", "<u4")]
)  # fmt: skip


def trading_days(years: int, rng: np.random.Generator) -> np.ndarray:
    days = np.arange(np.datetime64(f"{2025 - years}-01-01"), np.datetime64("2025-01-01"))
    days = days[np.is_busday(days)]
    return np.delete(days, rng.choice(len(days), size=len(days) // 25, replace=False))


def write_terminal(root: Path, securities: int, years: int) -> int:
    """The folder's daily files; returns the number of bars in them."""
    rng = np.random.default_rng(1)
    calendar = trading_days(years, rng)
    ymd = calendar.astype(object)
    dates = np.array([d.year * 10000 + d.month * 100 + d.day for d in ymd], np.uint32)
    rows = 0
    for i in range(securities):
        if i < 2:
            market, code = ("sh", "000001") if i == 0 else ("sz", "399001")
        else:
            market = "sh" if i % 2 else "sz"
            code = f"{600000 + i:06d}" if market == "sh" else f"{i:06d}"
        n = len(calendar)
        keep = np.arange(n)
        if i >= 2 and i % 5 == 0:  # listed late
            keep = keep[keep >= rng.integers(0, n - 10)]
        if i >= 2 and i % 11 == 0:  # delisted early
            keep = keep[keep <= rng.integers(keep[0] + 5, n)]
        if i >= 2 and i % 7 == 0:  # suspended for four weeks
            halt = rng.integers(keep[0], keep[-1] + 1)
            keep = keep[(keep < halt) | (keep >= halt + 20)]
        records = np.zeros(len(keep), RECORD)
        price = np.maximum(100, 1000 + np.cumsum(rng.integers(-20, 21, len(keep)))).astype(np.uint32)
        records["date"] = dates[keep]
        records["open"], records["high"], records["low"], records["close"] = (
            price,
            price + 9,
            price - 7,
            price + 3,
        )
        records["amount"], records["volume"] = price * 1e3, 1000
        folder = root / market / "lday"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"{market}{code}.day").write_bytes(records.tobytes())
        rows += len(records)
    return rows


def best(run: Callable[[], object], repeat: int, before: Callable[[], object] = lambda: None) -> float:
    times = []
    for _ in range(repeat):
        before()
        began = time.perf_counter()
        run()
        times.append(time.perf_counter() - began)
    return min(times)


def dataset_files(dataset: Path) -> dict[str, dict[str, bytes]]:
    """The bytes of every feature file of a dataset, by folder and name."""
    return {
        folder.name: {file.name: file.read_bytes() for file in folder.iterdir()}
        for folder in sorted((dataset / "features").iterdir())
    }


def bare_writes(files: dict[str, dict[str, bytes]], target: Path) -> None:
    """The files written under `target` with plain system calls, nothing else."""
    for folder, named in files.items():
        out = target / folder
        os.makedirs(out)
        for name, data in named.items():
            fd = os.open(out / name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            os.write(fd, data)
            os.close(fd)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--securities", type=int, default=5000)
    parser.add_argument("--years", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR")) as tmp:
        root = Path(tmp)
        rows = write_terminal(root / "vipdoc", args.securities, args.years)
        began = time.perf_counter()
        Store(root / "store").import_terminal(root / "vipdoc", progress=False)
        print(
            f"{args.securities:,} securities x {args.years} years: {rows:,} daily bars, imported in "
            f"{time.perf_counter() - began:.1f} s (untimed below)"
        )

        def shape() -> None:
            store = Store(root / "store")
            store.calendar()
            store.securities()

        shaped = best(shape, args.repeat)
        print(f"  calendar + universe   {shaped * 1e3:9.1f} ms                    (target: under 1 s)")

        store = Store(root / "store")
        layout = store._layout
        buckets = sorted((root / "store" / "bars" / "freq=1d").glob("bucket=*/data.parquet"))

        def read() -> None:
            for path in buckets:
                split(read_parquet(path))

        def clear(*paths: Path) -> Callable[[], None]:
            def remove() -> None:
                for path in paths:
                    shutil.rmtree(path, ignore_errors=True)
                os.sync()

            return remove

        assert layout.exists()
        read_time = best(read, args.repeat)
        fresh = best(
            lambda: store.export_qlib(root / "qlib", progress=False), args.repeat, clear(root / "qlib")
        )
        again = best(lambda: store.export_qlib(root / "qlib", progress=False), args.repeat, os.sync)
        written = dataset_files(root / "qlib")
        floor = best(lambda: bare_writes(written, root / "bare"), args.repeat, clear(root / "bare"))
        files = sum(len(named) for named in written.values())
    print(f"  read the bars         {read_time:9.2f} s")
    print(f"  bare writes of its {files:,} files {floor:6.2f} s   (what the disk costs)")
    for label, took in (("export, new folder", fresh), ("export over the last", again)):
        print(
            f"  {label:21s} {took:9.2f} s   {took / read_time:5.2f} x the read (target: 3 x)   "
            f"{took / floor:5.2f} x the bare writes"
        )


if __name__ == "__main__":
    main()
