"""Ex-rights records and the forward adjustment factors derived from them and the daily bars.

``xdxr`` files hold `Client.xdxr`'s columns under the security's market and code; ``factors``
files one row per step of the forward factor: ``start``, the first time it applies, and
``factor``. The SQL view ``bars_adjusted`` joins them to the bars.
"""

from __future__ import annotations

import contextlib
import os
from typing import Any

import numpy as np

from quillan.adjust import XDXR_VALUE_KEYS, adjust
from quillan.store.files import Layout
from quillan.store.layout import Series, bucket_of
from quillan.store.parquet import pyarrow, read_parquet, read_series, same_tables, time_type, write_parquet
from quillan.table import Table

__all__ = ["expected_factors", "refresh_factors", "write_xdxr"]


def write_xdxr(layout: Layout, market: str, code: str, records: Table) -> bool:
    """Stores a security's ex-rights records; returns whether the file changed. An empty answer
    never replaces stored records (a security's events do not go away) and writes no file."""
    pa = pyarrow()
    n = len(records)
    table = pa.table(
        {
            "market": pa.array([market] * n, pa.string()),
            "code": pa.array([code] * n, pa.string()),
            "date": pa.array(np.asarray(records["date"], dtype="datetime64[D]"), pa.date32()),
            "category": pa.array(np.asarray(records["category"], dtype=np.int64), pa.int64()),
            "name": pa.array([str(v) for v in records["name"]], pa.string()),
            **{
                key: pa.array(np.asarray(records[key], dtype=np.float64), pa.float64())
                for key in XDXR_VALUE_KEYS
            },
        }
    )
    path = layout.xdxr(market + code)
    old = read_parquet(path)
    changed = n > 0 and (old is None or not same_tables(old, table))
    if changed:
        write_parquet(path, table)
    return changed


def refresh_factors(layout: Layout, market: str, code: str, daily: Series | bool | None = True) -> None:
    """Rewrites the forward factors of a security from its daily bars (``daily``; read from the
    store when True) and ex-rights records, when they differ from the stored ones; removes them
    when either is missing. The caller serialises calls for one security."""
    path = layout.factors(market + code)
    table = expected_factors(layout, market, code, daily)
    if table is None:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
        return
    old = read_parquet(path)
    if old is None or not same_tables(old, table):
        write_parquet(path, table)


def expected_factors(
    layout: Layout, market: str, code: str, daily: Series | bool | None = True
) -> Any | None:
    """The factors table that the security's daily bars (``daily``; read from the store when
    True) and stored ex-rights records give; None when either is missing."""
    xdxr = read_parquet(layout.xdxr(market + code))
    if xdxr is not None and daily is True:
        daily = read_series(layout.bars("1d", bucket_of(market, code, "1d")), market, code)
    if not isinstance(daily, dict) or xdxr is None or not len(daily["time"]):
        return None
    bars = Table(
        {
            "datetime": daily["time"].astype("datetime64[s]"),
            **{c: daily[c] for c in ("open", "high", "low", "close")},
        }
    )
    records = {
        "date": xdxr.column("date").to_numpy().astype("datetime64[D]"),
        **{c: xdxr.column(c).to_numpy() for c in ("category", "fenhong", "peigujia", "songzhuangu", "peigu")},
    }
    factor = np.asarray(adjust(bars, records, "forward")["adj_factor"], dtype=np.float64)
    steps = np.flatnonzero(np.append(True, factor[1:] != factor[:-1]))
    starts = daily["time"][steps].astype("datetime64[ms]")
    starts[0] = np.datetime64("1970-01-01T00:00:00", "ms")  # the first factor holds for every earlier bar
    pa = pyarrow()
    return pa.table(
        {
            "market": pa.array([market] * len(steps), pa.string()),
            "code": pa.array([code] * len(steps), pa.string()),
            "start": pa.array(starts, time_type()),
            "factor": pa.array(factor[steps], pa.float64()),
        }
    )
