"""Speed of read_daily_bars and read_minute_bars against plain Python readers.

    .venv/bin/python bench/bench_files.py [--repeat N]

For daily and minute files of 8,000 and 250,000 records (written to a temporary directory), it
prints the best time per record over several runs, in nanoseconds, of:

- quillan: the module;
- struct: a plain pure-Python reader (struct.iter_unpack and a dict per record);
- numpy: a reader that decodes the file with a structured dtype, converts the columns with
  tolist() and builds the same dicts.

All three must return identical lists (checked before timing). The numpy column is left out
when numpy is not installed (`.venv/bin/pip install numpy` to get it). The ratios are the
readers' times divided by the module's. As timeit does, the cyclic garbage collector is off
while a reader runs.

The module reads its files with pread rather than through a mapping (a shrinking file would
turn a mapping into SIGBUS); what that costs against decoding from a mapping, without any
Python object, is measured by bench/read_cost.cpp (see the comment at its top).
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import struct
import sys
import tempfile
import time

from quillan._core import read_daily_bars, read_minute_bars

# numpy's BLAS threads would spin on the cores the readers run on; none of this needs them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
try:
    import numpy as np
except ImportError:
    np = None

SIZES = (8_000, 250_000)
DAILY = struct.Struct("<IIIIIfI4x")
MINUTE = struct.Struct("<HHfffffI4x")


# ---- the files ----------------------------------------------------------------------------


def write_daily(path: str, n: int, rng: random.Random) -> None:
    records = []
    for i in range(n):
        year, day = 1990 + i // 365 % 200, i % 365  # dates a market file can hold
        date = year * 10000 + (day // 28 % 12 + 1) * 100 + day % 28 + 1
        close = rng.randrange(100, 500_000)
        prices = [max(0, close + rng.randrange(-500, 500)) for _ in range(3)]
        volume = rng.randrange(0, 1 << 32)
        records.append(DAILY.pack(date, *prices, close, volume * 13.7, volume))
    with open(path, "wb") as f:
        f.write(b"".join(records))


def write_minute(path: str, n: int, rng: random.Random) -> None:
    records = []
    for i in range(n):
        day = i // 240
        packed = ((day // 250 % 32) << 11) | ((day // 21 % 12 + 1) * 100 + day % 21 + 1)
        minutes = 571 + i % 240
        close = rng.uniform(1, 500)
        prices = [close * rng.uniform(0.99, 1.01) for _ in range(3)]
        volume = rng.randrange(0, 1 << 32)
        records.append(MINUTE.pack(packed, minutes, *prices, close, volume * 13.7, volume))
    with open(path, "wb") as f:
        f.write(b"".join(records))


# ---- the plain readers --------------------------------------------------------------------


def read_whole_records(path: str) -> memoryview:
    with open(path, "rb") as f:
        data = f.read()
    return memoryview(data)[: len(data) // 32 * 32]


def struct_daily(path: str, price_coeff: float = 0.01, vol_coeff: float = 0.01) -> list:
    return [
        {
            "date": f"{d // 10000}-{d % 10000 // 100:02d}-{d % 100:02d}",
            "open": o * price_coeff,
            "high": h * price_coeff,
            "low": lo * price_coeff,
            "close": c * price_coeff,
            "amount": a,
            "volume": v * vol_coeff,
        }
        for d, o, h, lo, c, a, v in DAILY.iter_unpack(read_whole_records(path))
    ]


def struct_minute(path: str) -> list:
    return [
        {
            "datetime": f"{(d >> 11) + 2004}-{(d & 0x7FF) // 100:02d}-{(d & 0x7FF) % 100:02d}"
            f" {t // 60:02d}:{t % 60:02d}",
            "open": o,
            "high": h,
            "low": lo,
            "close": c,
            "amount": a,
            "volume": float(v),
        }
        for d, t, o, h, lo, c, a, v in MINUTE.iter_unpack(read_whole_records(path))
    ]


if np is not None:
    DAILY_DTYPE = np.dtype(
        [
            ("date", "<u4"),
            ("open", "<u4"),
            ("high", "<u4"),
            ("low", "<u4"),
            ("close", "<u4"),
            ("amount", "<f4"),
            ("volume", "<u4"),
            ("unused", "V4"),
        ]
    )
    MINUTE_DTYPE = np.dtype(
        [
            ("date", "<u2"),
            ("time", "<u2"),
            ("open", "<f4"),
            ("high", "<f4"),
            ("low", "<f4"),
            ("close", "<f4"),
            ("amount", "<f4"),
            ("volume", "<u4"),
            ("unused", "V4"),
        ]
    )


def numpy_daily(path: str, price_coeff: float = 0.01, vol_coeff: float = 0.01) -> list:
    a = np.frombuffer(read_whole_records(path), dtype=DAILY_DTYPE)
    date = a["date"]
    columns = (
        (date // 10000).tolist(),
        (date % 10000 // 100).tolist(),
        (date % 100).tolist(),
        *((a[k].astype(np.float64) * price_coeff).tolist() for k in ("open", "high", "low", "close")),
        a["amount"].astype(np.float64).tolist(),
        (a["volume"].astype(np.float64) * vol_coeff).tolist(),
    )
    return [
        {
            "date": f"{y}-{m:02d}-{d:02d}",
            "open": o,
            "high": h,
            "low": lo,
            "close": c,
            "amount": am,
            "volume": v,
        }
        for y, m, d, o, h, lo, c, am, v in zip(*columns, strict=True)
    ]


def numpy_minute(path: str) -> list:
    a = np.frombuffer(read_whole_records(path), dtype=MINUTE_DTYPE)
    md = a["date"] & 0x7FF
    t = a["time"]
    columns = (
        ((a["date"] >> 11) + 2004).tolist(),
        (md // 100).tolist(),
        (md % 100).tolist(),
        (t // 60).tolist(),
        (t % 60).tolist(),
        *(a[k].astype(np.float64).tolist() for k in ("open", "high", "low", "close", "amount")),
        a["volume"].astype(np.float64).tolist(),
    )
    return [
        {
            "datetime": f"{y}-{mo:02d}-{d:02d} {hh:02d}:{mm:02d}",
            "open": o,
            "high": h,
            "low": lo,
            "close": c,
            "amount": am,
            "volume": v,
        }
        for y, mo, d, hh, mm, o, h, lo, c, am, v in zip(*columns, strict=True)
    ]


# ---- timing -------------------------------------------------------------------------------


def best_ns_per_record(fn, path: str, n: int, repeat: int) -> float:
    best = float("inf")
    gc.disable()
    try:
        for _ in range(repeat):
            start = time.perf_counter_ns()
            result = fn(path)
            elapsed = time.perf_counter_ns() - start
            del result  # freeing the list is not part of the read
            best = min(best, elapsed)
    finally:
        gc.enable()
    return best / n


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="runs per reader and file (best kept)")
    args = parser.parse_args()

    readers = {
        "daily": [("quillan", read_daily_bars), ("struct", struct_daily)],
        "minute": [("quillan", read_minute_bars), ("struct", struct_minute)],
    }
    if np is not None:
        readers["daily"].append(("numpy", numpy_daily))
        readers["minute"].append(("numpy", numpy_minute))
    else:
        print("numpy is not installed: the numpy column is skipped (pip install numpy)\n")

    print(f"Python {sys.version.split()[0]}, best of {args.repeat} runs, ns per record")
    names = [name for name, _ in readers["daily"]]
    header = f"{'file':<16}" + "".join(f"{name:>10}" for name in names)
    header += "".join(f"{name + '/quillan':>16}" for name in names[1:])
    print(header)

    rng = random.Random(20240105)
    with tempfile.TemporaryDirectory() as tmp:
        for kind, write in (("daily", write_daily), ("minute", write_minute)):
            for n in SIZES:
                path = os.path.join(tmp, f"{kind}-{n}.{'day' if kind == 'daily' else 'lc1'}")
                write(path, n, rng)
                expected = readers[kind][0][1](path)
                for name, fn in readers[kind][1:]:
                    if fn(path) != expected:
                        sys.exit(f"{name} reader disagrees with the module on {path}")
                times = [best_ns_per_record(fn, path, n, args.repeat) for _, fn in readers[kind]]
                row = f"{kind + ' ' + format(n, ','):<16}" + "".join(f"{t:>10.1f}" for t in times)
                row += "".join(f"{t / times[0]:>15.2f}x" for t in times[1:])
                print(row)


if __name__ == "__main__":
    main()
