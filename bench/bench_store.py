"""What a store costs: importing a terminal's folder against only reading it, and a sync over
a pool of connections against one connection.

    .venv/bin/python bench/bench_store.py [--files 3000] [--days 250] [--delay 0.02] [--repeat 5]

1. Import: --files generated daily files of --days records each (a terminal's sh/lday and
   sz/lday) are read into Tables with read_bars, on one thread and on as many threads as the
   import uses, then imported into an empty store with Store.import_terminal; each the best of
   --repeat runs, taking turns. It prints the times and the ratios of the import to the
   threaded read and to the faster read (the import writes one Parquet file per bucket of
   securities, synced to disk).
2. Sync: the simulator answers every request after --delay seconds, as a distant server
   would; a first sync of its securities (daily and 5-minute bars and the ex-rights records)
   runs with pool=1, then with pool=8, each into an empty store. It prints securities per
   second of both and their ratio.
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from quillan import Client, Store, read_bars
from quillan.sim import Server, universe


def write_terminal(root: Path, files: int, days: int) -> list[Path]:
    rng = random.Random(1)
    paths = []
    for i in range(files):
        market = "sh" if i % 2 else "sz"
        code = f"{600000 + i:06d}" if market == "sh" else f"{i:06d}"
        folder = root / market / "lday"
        folder.mkdir(parents=True, exist_ok=True)
        price = rng.randint(500, 5000)
        records = bytearray()
        day = 20100104
        for d in range(days):
            price = max(100, price + rng.randint(-50, 50))
            date = day + (d // 20) % 12 * 100 + d % 20 + 10000 * (d // 240)
            records += struct.pack(
                "<IIIIIfII", date, price, price + 9, price - 7, price + 3, price * 1e3, d, 0
            )
        path = folder / f"{market}{code}.day"
        path.write_bytes(bytes(records))
        paths.append(path)
    return paths


def best_times(runs: dict[str, Callable[[], object]], repeat: int) -> dict[str, float]:
    """The best time of each run over `repeat` rounds, the runs taking turns within a round, so
    that a machine that slows down for a while weighs on all of them alike."""
    best = dict.fromkeys(runs, float("inf"))
    for _ in range(repeat):
        for name, run in runs.items():
            began = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - began)
    return best


def bench_import(files: int, days: int, threads: int | None, repeat: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_terminal(Path(tmp) / "vipdoc", files, days)
        rows = sum(len(read_bars(p)) for p in paths)  # warms the page cache and the imports
        Store(Path(tmp) / "warm")  # imports pyarrow
        workers = threads or os.cpu_count() or 1
        stores = iter(range(repeat))

        def read_threaded() -> None:
            with ThreadPoolExecutor(workers) as pool:
                list(pool.map(read_bars, paths))

        def run_import() -> None:
            store = Store(Path(tmp) / f"store{next(stores)}")
            report = store.import_terminal(Path(tmp) / "vipdoc", threads=threads, progress=False)
            assert len(report.written) == files, report.summary()

        best = best_times(
            {"one": lambda: [read_bars(p) for p in paths], "many": read_threaded, "import": run_import},
            repeat,
        )
    read_one, read_many, imported = best["one"], best["many"], best["import"]
    print(f"import of {files:,} daily files ({rows:,} bars), best of {repeat}")
    for label, took in (
        ("read into Tables, 1 thread", read_one),
        (f"read into Tables, {workers} threads", read_many),
        (f"Store.import_terminal, {workers} threads", imported),
    ):
        print(f"  {label:36s} {took:8.3f} s   {files / took:10,.0f} files/s")
    print(f"  import / read on {workers} threads          {imported / read_many:8.2f} x")
    fastest = min(read_one, read_many)
    print(f"  import / fastest read                {imported / fastest:8.2f} x   (target: at most 2 x)")


def bench_sync(delay: float) -> None:
    securities = [s.label for s in universe.SECURITIES] + [f"9{n:05d}" for n in range(1001, 1025)]
    rates = {}
    with Server(delay=delay) as server:
        for pool in (1, 8):
            with tempfile.TemporaryDirectory() as tmp, Client([server.address], pool=pool) as client:
                client.quotes(["600036"])  # probe and connect before the clock starts
                began = time.perf_counter()
                report = Store(tmp).sync(client, securities, ["1d", "5m"], progress=False)
                took = time.perf_counter() - began
                assert report.ok, report.failed
                rates[pool] = len(securities) / took
                print(f"  pool={pool}   {took:8.3f} s   {rates[pool]:8.1f} securities/s")
    print(f"  pool=8 / pool=1   {rates[8] / rates[1]:6.2f} x")


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--files", type=int, default=3000)
    parser.add_argument("--days", type=int, default=250)
    parser.add_argument("--delay", type=float, default=0.02)
    parser.add_argument("--threads", type=int, default=None, help="the import's (default: its own)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    bench_import(args.files, args.days, args.threads, args.repeat)
    print(
        f"sync of the simulator's securities (1d and 5m bars, ex-rights), "
        f"answers after {args.delay * 1000:g} ms"
    )
    bench_sync(args.delay)


if __name__ == "__main__":
    main()
