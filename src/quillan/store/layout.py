"""How a store lays out bars: one file per frequency and bucket, a bucket being a stable hash of
a security's symbol; and a security's series of bars in the store's columns.

Securities are spread over 64 buckets for intraday bars and 16 for daily and longer ones, which
have a few hundred rows a year (a file's fixed costs, to write it and to read it, would outweigh
its data), so one bucket file holds the bars of some tens or hundreds of securities. Its rows
are sorted by market, code and time, in row groups of whole securities.
"""

from __future__ import annotations

import zlib
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np

from quillan.table import Table
from quillan.vocabulary import BAR_VALUES, FREQUENCIES, INTRADAY, Security

__all__ = [
    "BUCKETS_DAILY",
    "BUCKETS_INTRADAY",
    "FREQS",
    "FileBars",
    "Item",
    "Series",
    "bars_series",
    "bucket_of",
    "group_rows",
    "in_order",
    "market_name",
    "merge_series",
    "same_series",
]

FREQS = tuple(FREQUENCIES)
BUCKETS_INTRADAY = 64
BUCKETS_DAILY = 16

# "time" (datetime64[ms]: Parquet keeps times in milliseconds at the coarsest, so a series read
# back compares equal to the one written) and the value columns, in time order.
Series = dict[str, np.ndarray]
# A security's new bars: market, code, the bars, and the time they were fetched from (None: as
# far back as they go).
Item = tuple[str, str, Series, "np.datetime64 | None"]


def group_rows(freq: str) -> int:
    """The rows a row group of a bucket file holds at most (but for a longer security): daily
    groups hold a security or two of a few thousand bars, so that reading one reads little else."""
    return 16384 if freq in INTRADAY else 8192


def market_name(security: Security) -> str:
    """The store's name of a security's market, "sh" or "sz"; ValueError for another market."""
    if security.market not in (0, 1):
        raise ValueError(
            f"a store keeps Shanghai (1) and Shenzhen (0) securities, not market {security.market}"
        )
    return "sh" if security.market == 1 else "sz"


def bucket_of(market: str, code: str, freq: str) -> str:
    """The bucket of a security's bars of a frequency: a stable hash of its symbol, so every run
    puts it in the same file."""
    buckets = BUCKETS_INTRADAY if freq in INTRADAY else BUCKETS_DAILY
    return f"{zlib.crc32((market + code).encode()) % buckets:02d}"


def bars_series(freq: str, bars: Table) -> Series:
    """A Table of bars in the store's columns, in time order, without rows of no time; a
    repeated time keeps its last row. Times with a zone become the exchange's wall-clock times,
    as the terminal's own files hold them; daily and longer bars are labelled by their day."""
    if "datetime" not in bars or bars["datetime"].dtype.kind != "M":
        raise ValueError(f"bars have a datetime column (these have: {', '.join(bars.columns)})")
    missing = [name for name in BAR_VALUES if name not in bars]
    if missing:
        raise ValueError(f"the bars have no column {', '.join(missing)}")
    times = bars["datetime"]
    if bars.tz is not None and times.dtype != np.dtype("datetime64[D]"):
        from quillan.table import import_optional

        pd = import_optional("pandas", "storing time-zone aware bars")
        times = pd.DatetimeIndex(times.astype("datetime64[s]")).tz_localize("UTC").tz_convert(bars.tz)
        times = times.tz_localize(None).to_numpy()
    unit = "s" if freq in INTRADAY else "D"
    series = {"time": np.asarray(times).astype(f"datetime64[{unit}]").astype("datetime64[ms]")}
    for name in BAR_VALUES:
        series[name] = np.asarray(bars[name], dtype=np.float64)
    return in_order(series)


def in_order(series: Series) -> Series:
    """The series without rows of no time, in time order; a repeated time keeps its last row."""
    known = ~np.isnat(series["time"])
    if not known.all():
        series = {name: values[known] for name, values in series.items()}
    stamps = series["time"]
    if len(stamps) > 1 and not (stamps[1:] > stamps[:-1]).all():
        order = np.argsort(stamps, kind="stable")
        stamps = stamps[order]
        keep = order[np.append(stamps[1:] != stamps[:-1], True)]
        series = {name: values[keep] for name, values in series.items()}
    return series


def merge_series(old: Series | None, new: Series, since: np.datetime64 | None) -> Series:
    """The stored rows before the new ones (before ``since`` too, when given), then the new
    ones; without new rows the stored ones stay as they are."""
    if old is None or not len(old["time"]):
        return new
    if not len(new["time"]):
        return old
    cut = new["time"][0]
    if since is not None:
        cut = min(cut, since.astype("datetime64[ms]"))
    kept = int(np.searchsorted(old["time"], cut, side="left"))
    return {name: np.concatenate([old[name][:kept], new[name]]) for name in old}


def same_series(a: Series, b: Series | None) -> bool:
    """Whether two series hold the same rows, NaN equal to NaN (else every file holding one
    would be rewritten each time)."""
    if b is None:
        return not len(a["time"])
    return len(a["time"]) == len(b["time"]) and all(
        np.array_equal(a[name], b[name], equal_nan=name != "time") for name in a
    )


@dataclass
class FileBars:
    """The bars of several files one after another in shared columns (the store's): per file
    its name, security and row count."""

    names: list[str]
    keys: list[tuple[str, str]]
    counts: list[int]
    columns: Series

    def spans(self) -> Iterator[tuple[tuple[str, str], int, int]]:
        """Each file's security and the bounds of its rows."""
        start = 0
        for key, count in zip(self.keys, self.counts, strict=True):
            yield key, start, start + count
            start += count

    def rows(self, start: int, end: int) -> Series:
        return {name: values[start:end] for name, values in self.columns.items()}

    def items(self) -> list[Item]:
        return [(market, code, self.rows(a, b), None) for (market, code), a, b in self.spans()]
