"""What a store costs, each figure against its floor measured in the same run.

    .venv/bin/python bench/bench_store.py [--files 2000] [--days 2500] [--delay 0.02] [--repeat 5]

1. Import: --files generated daily files of --days records each (a terminal's sh/lday and
   sz/lday) are read into Tables with read_bars on the import's threads, then imported into an
   empty store with Store.import_terminal (target: at most 4 x the read).
2. Queries over that store, each the best of --repeat runs against a floor: one security's
   history (Store.bars against pyarrow reading a file that holds only that security: target
   2 x), the whole market on one day and for one year (Store.sql against DuckDB over a copy of
   the daily bars sorted by time: target 3 x), and Store.sql("SELECT 1") (target: 3 ms).
3. Sync: the simulator answers every request after --delay seconds, as a distant server would;
   48 securities (daily bars and ex-rights records) are synced into an empty store with pool=1
   and pool=8, then synced again with nothing new (target: pool=8 at least 5 x pool=1, both).
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

import numpy as np

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
    print(
        f"  import / read on {workers} threads          {imported / read_many:8.2f} x   (target: at most 4 x)"
    )
    print(f"  import / read on 1 thread            {imported / read_one:8.2f} x")


def bench_queries(files: int, days: int, repeat: int) -> None:
    import duckdb
    import pyarrow.parquet as pq

    with tempfile.TemporaryDirectory() as tmp:
        write_terminal(Path(tmp) / "vipdoc", files, days)
        store = Store(Path(tmp) / "store")
        store.import_terminal(Path(tmp) / "vipdoc", progress=False)
        # The floors: one security alone in a file, and every daily bar in one file sorted by time.
        one = store.bars("sh600001")
        pq.write_table(one.to_arrow(), Path(tmp) / "one.parquet", compression="zstd")
        copy = Path(tmp) / "by_time.parquet"
        floor = duckdb.connect()
        floor.execute(
            f"COPY (SELECT * FROM read_parquet('{store.path}/bars/freq=1d/*/data.parquet') "
            f"ORDER BY time, market, code) TO '{copy}' (FORMAT parquet, COMPRESSION zstd)"
        )
        floor.execute(
            "CREATE VIEW bars AS SELECT market, code, time AS datetime, open, high, low, close, amount, "
            f"volume FROM read_parquet('{copy}')"
        )
        times = one["datetime"]
        day = str(times[len(times) // 2].astype("datetime64[D]"))
        year = str(times[len(times) // 2].astype("datetime64[Y]"))
        queries = {
            "one day": f"SELECT market, code, close, volume FROM bars WHERE datetime = TIMESTAMP '{day}'",
            "one year": (
                f"SELECT market, code, avg(close) AS close, sum(volume) AS volume FROM bars "
                f"WHERE datetime >= TIMESTAMP '{year}-01-01' "
                f"AND datetime < TIMESTAMP '{int(year) + 1}-01-01' "
                "GROUP BY market, code"
            ),
        }
        ours = {
            name: q.replace("FROM bars WHERE", "FROM bars WHERE freq = '1d' AND")
            for name, q in queries.items()
        }
        for name in queries:  # the same answers, before any clock runs
            a = store.sql(ours[name] + " ORDER BY market, code")
            b = floor.sql(queries[name] + " ORDER BY market, code").to_arrow_table()
            assert a.columns == tuple(b.column_names) and len(a) == b.num_rows > 0, name
            for column in a.columns:  # sums may be taken in another order: the last bit may differ
                mine, theirs = a[column], b.column(column).to_numpy()
                assert (mine == theirs).all() if mine.dtype.kind == "O" else np.allclose(mine, theirs), name
        assert store.bars("sh600001").equals(one)
        runs = {
            "history": lambda: store.bars("sh600001"),
            "history floor": lambda: pq.read_table(Path(tmp) / "one.parquet"),
            "select 1": lambda: store.sql("SELECT 1"),
            "select 1 floor": lambda: floor.sql("SELECT 1").to_arrow_table(),
        }
        for name in queries:
            runs[name] = lambda q=ours[name]: store.sql(q)
            runs[f"{name} floor"] = lambda q=queries[name]: floor.sql(q).to_arrow_table()
        best = best_times(runs, repeat * 4)
        checksums = bench_checksums(store.path, repeat)
    print(f"queries over {files:,} securities x {days:,} daily bars, best of {repeat * 4}")
    targets = {"history": 2.0, "one day": 3.0, "one year": 3.0}
    for name, target in targets.items():
        mine, base = best[name], best[f"{name} floor"]
        figures = f"{mine * 1e3:9.2f} ms   floor {base * 1e3:8.2f} ms   {mine / base:6.2f} x"
        print(f"  {name:10s} {figures}   (target: {target:g} x)")
    print(
        f"  page checksums: writing the daily files {checksums['write']:+.1%}, reading them whole "
        f"{checksums['read']:+.1%} (target: under 10%)"
    )
    one, floor_one = best["select 1"] * 1e3, best["select 1 floor"] * 1e3
    print(f"  SELECT 1   {one:9.2f} ms   DuckDB {floor_one:7.2f} ms             (target: 3 ms)")


def bench_checksums(root: Path, repeat: int) -> dict[str, float]:
    """What page checksums cost: the daily bucket files written as the store writes them, with
    and without checksums, and read whole with and without verifying them."""
    import pyarrow.parquet as pq

    tables = [
        pq.read_table(p, read_dictionary=["market", "code"])
        for p in sorted(root.glob("bars/freq=1d/*/data.parquet"))
    ]
    paths = sorted(root.glob("bars/freq=1d/*/data.parquet"))
    options = {
        "store_schema": False, "compression": "zstd", "compression_level": 1,
        "use_dictionary": ["market", "code"],
        "column_encoding": {"amount": "BYTE_STREAM_SPLIT", "volume": "BYTE_STREAM_SPLIT"},
        "write_statistics": ["market", "code", "time"], "row_group_size": 8192,
    }  # fmt: skip

    def write(checksum: bool) -> None:
        for i, table in enumerate(tables):
            pq.write_table(table, root / f"bench{i}.parquet", write_page_checksum=checksum, **options)

    def read(verify: bool) -> None:
        for path in paths:
            pq.ParquetFile(path, page_checksum_verification=verify).read()

    best = best_times(
        {
            "w0": lambda: write(False),
            "w1": lambda: write(True),
            "r0": lambda: read(False),
            "r1": lambda: read(True),
        },
        repeat,
    )
    return {"write": best["w1"] / best["w0"] - 1, "read": best["r1"] / best["r0"] - 1}


def bench_sync(delay: float) -> None:
    securities = [s.label for s in universe.SECURITIES] + [f"sh9{n:05d}" for n in range(1001, 1041)]
    took: dict[tuple[int, str], float] = {}
    with Server(delay=delay) as server:
        for pool in (1, 8):
            with tempfile.TemporaryDirectory() as tmp, Client([server.address], pool=pool) as client:
                client.quotes(["600036"])  # probe and connect before the clock starts
                store = Store(tmp)
                for run in ("first", "again"):
                    began = time.perf_counter()
                    report = store.sync(client, securities, ["1d"], progress=False)
                    took[(pool, run)] = time.perf_counter() - began
                    assert report.ok, report.failed
                    assert run == "first" or not report.written, report.summary()
    print(f"sync of {len(securities)} securities (1d bars, ex-rights), answers after {delay * 1000:g} ms")
    for run in ("first", "again"):
        one, eight = took[(1, run)], took[(8, run)]
        label = "first sync" if run == "first" else "no-op re-sync"
        figures = f"pool=1 {one:7.3f} s   pool=8 {eight:7.3f} s   {one / eight:6.2f} x"
        print(f"  {label:14s} {figures}   (target: 5 x)")


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--days", type=int, default=2500)
    parser.add_argument("--delay", type=float, default=0.02)
    parser.add_argument("--threads", type=int, default=None, help="the import's (default: its own)")
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    bench_import(args.files, args.days, args.threads, args.repeat)
    bench_queries(args.files, args.days, args.repeat)
    bench_sync(args.delay)


if __name__ == "__main__":
    main()
