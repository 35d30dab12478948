"""What a store costs: importing a terminal's folder against only reading it, and a sync over
a pool of connections against one connection.

    .venv/bin/python bench/bench_store.py [--files 3000] [--days 250] [--delay 0.02]

1. Import: --files generated daily files of --days records each (a terminal's sh/lday and
   sz/lday) are read into Tables with read_bars on as many threads as the import uses, then
   imported into an empty store with Store.import_terminal. It prints both times and their
   ratio (the import writes one Parquet file per bucket of securities, synced to disk).
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


def bench_import(files: int, days: int, threads: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_terminal(Path(tmp) / "vipdoc", files, days)
        with ThreadPoolExecutor(threads) as pool:  # warm the page cache and the imports
            list(pool.map(read_bars, paths))
        began = time.perf_counter()
        with ThreadPoolExecutor(threads) as pool:
            rows = sum(len(t) for t in pool.map(read_bars, paths))
        read = time.perf_counter() - began
        began = time.perf_counter()
        report = Store(Path(tmp) / "store").import_terminal(
            Path(tmp) / "vipdoc", threads=threads, progress=False
        )
        imported = time.perf_counter() - began
        assert len(report.written) == files, report.summary()
    print(f"import of {files:,} daily files ({rows:,} bars), {threads} threads")
    print(f"  read into Tables only   {read:8.3f} s   {files / read:10,.0f} files/s")
    print(f"  Store.import_terminal   {imported:8.3f} s   {files / imported:10,.0f} files/s")
    print(f"  import / read           {imported / read:8.2f} x   (target: at most 2 x)")


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
    parser.add_argument("--threads", type=int, default=min(8, 2 * (os.cpu_count() or 1)))
    args = parser.parse_args()
    bench_import(args.files, args.days, args.threads)
    print(
        f"sync of the simulator's securities (1d and 5m bars, ex-rights), "
        f"answers after {args.delay * 1000:g} ms"
    )
    bench_sync(args.delay)


if __name__ == "__main__":
    main()
