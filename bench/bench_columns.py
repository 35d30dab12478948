"""Speed of read_bars against the dict readers and the best plain NumPy reader.

    python bench/bench_columns.py [--repeat N]

For daily and minute files of 8,000 and 250,000 records (written by bench_files.py's
generators to a temporary directory), it prints the best time per call over several runs, in
microseconds, of:

- read_bars: the columnar reader (a quillan.Table of float64 and datetime64 columns);
- dict: read_daily_bars / read_minute_bars (a list of dicts);
- numpy: np.fromfile with a structured dtype, the columns converted with vectorised arithmetic
  to the same float64 and datetime64 columns (impossible dates NaT; dates through lookup
  tables made once at import), wrapped in a Table.

The NumPy reader must produce a Table equal to read_bars' (checked before timing). Ratios are
each reader's time divided by read_bars'. The cyclic garbage collector is off while a reader
runs, and freeing the result is not timed.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from bench_files import DAILY_DTYPE, MINUTE_DTYPE, write_daily, write_minute

from quillan import Table, read_bars, read_daily_bars, read_minute_bars

SIZES = (8_000, 250_000)
_NAT = np.iinfo(np.int64).min


def _date_tables() -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Lookup tables, made once: the day number of 1 January and leap flag of each year 1900 to
    2199; the day of the year of each mmdd (-1 for none) in common and leap years; the day
    number (or NaT) of every packed minute-file date."""
    years = np.arange(1900, 2200)
    leap = ((years % 4 == 0) & ((years % 100 != 0) | (years % 400 == 0))).astype(np.int64)
    year_start = (np.array([f"{y}-01-01" for y in years], dtype="M8[D]")).view(np.int64)
    day_of_year = np.full((2, 10000), -1, dtype=np.int64)
    for is_leap in (0, 1):
        lengths = [31, 28 + is_leap, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
        count = 0
        for month, length in enumerate(lengths, 1):
            for day in range(1, length + 1):
                day_of_year[is_leap, month * 100 + day] = count
                count += 1
    packed = np.arange(65536)
    year = (packed >> 11) + 2004
    doy = day_of_year[leap[year - 1900], packed & 0x7FF]
    minute_days = np.where(doy >= 0, year_start[year - 1900] + doy, _NAT)
    return year_start, leap, day_of_year, minute_days


_YEAR_START, _LEAP, _DAY_OF_YEAR, _MINUTE_DAYS = _date_tables()


def numpy_daily(path: str) -> Table:
    a = np.fromfile(path, dtype=DAILY_DTYPE)
    date = a["date"]
    year = date // 10000
    index = np.clip(year, 1900, 2199) - 1900
    doy = _DAY_OF_YEAR[_LEAP[index], date % 10000]
    valid = (year >= 1900) & (year <= 2199) & (doy >= 0)
    days = (_YEAR_START[index] + doy).astype(np.int64)
    columns: dict[str, Any] = {"datetime": np.where(valid, days * 86400, _NAT).view("M8[s]")}
    for key in ("open", "high", "low", "close"):
        columns[key] = a[key] / 100.0
    columns["amount"] = a["amount"].astype(np.float64)
    columns["volume"] = a["volume"].astype(np.float64)
    return Table(columns)


def numpy_minute(path: str) -> Table:
    a = np.fromfile(path, dtype=MINUTE_DTYPE)
    days, minutes = _MINUTE_DAYS[a["date"]], a["time"].astype(np.int64)
    valid = (days != _NAT) & (minutes < 1440)
    columns: dict[str, Any] = {"datetime": np.where(valid, days * 86400 + minutes * 60, _NAT).view("M8[s]")}
    for key in ("open", "high", "low", "close", "amount"):
        columns[key] = a[key].astype(np.float64)
    columns["volume"] = a["volume"].astype(np.float64)
    return Table(columns)


def best_us(fn: Callable[[str], object], path: str, repeat: int) -> float:
    best = float("inf")
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter_ns()
            result = fn(path)
            elapsed = time.perf_counter_ns() - start
            del result
            best = min(best, elapsed)
    finally:
        gc.enable()
    return best / 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="runs per reader and file (best kept)")
    args = parser.parse_args()

    readers = {
        "daily": [("read_bars", read_bars), ("dict", read_daily_bars), ("numpy", numpy_daily)],
        "minute": [("read_bars", read_bars), ("dict", read_minute_bars), ("numpy", numpy_minute)],
    }
    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}, best of {args.repeat} runs, µs per call")
    print(f"{'file':<16}{'read_bars':>11}{'dict':>11}{'numpy':>11}{'dict/rb':>10}{'numpy/rb':>10}")
    rng = random.Random(20240105)
    with tempfile.TemporaryDirectory() as tmp:
        for kind, write in (("daily", write_daily), ("minute", write_minute)):
            for n in SIZES:
                path = os.path.join(tmp, f"sz000001-{n}.{'day' if kind == 'daily' else 'lc1'}")
                write(path, n, rng)
                if not readers[kind][2][1](path).equals(read_bars(path)):
                    sys.exit(f"the numpy reader disagrees with read_bars on {path}")
                times = [best_us(fn, path, args.repeat) for _, fn in readers[kind]]
                print(
                    f"{kind + ' ' + format(n, ','):<16}"
                    + "".join(f"{t:>11.1f}" for t in times)
                    + "".join(f"{t / times[0]:>9.1f}x" for t in times[1:])
                )


if __name__ == "__main__":
    main()
