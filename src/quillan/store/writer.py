"""One writing run of a store, under its lock: bucket files merged and written, what derives
from them (the factors, the record of what is stored) brought up to date.

A bucket is written in two halves so that an import can flush many bucket files together:
`prepare_bucket` merges the new rows into the bucket and writes its new file under a temporary
name; once it is in place, `finish_bucket` refreshes the factors and records the series. A run
killed between the two leaves the old record, which the next run brings up to date.
"""

from __future__ import annotations

import threading
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from quillan.atomic import put_in_place
from quillan.store import factors
from quillan.store.files import Layout
from quillan.store.layout import FileBars, Item, Series, merge_series, same_series
from quillan.store.parquet import bucket_table, read_parquet, split, table_of, write_bars_file
from quillan.store.state import StateWriter
from quillan.table import Table

__all__ = ["BucketWrite", "Writer"]


@dataclass
class BucketWrite:
    """A bucket merged and, when it changed, written under a temporary name (``tmp``) that is
    yet to be flushed and renamed to ``path``; what finishing it needs, per item's security:
    its last time and rows (None: no rows) and, for daily bars, the bars themselves."""

    freq: str
    path: Path
    tmp: str | None
    keys: list[tuple[str, str]]
    summary: dict[tuple[str, str], tuple[str, int] | None]
    daily: dict[tuple[str, str], Series | None]
    changed: set[tuple[str, str]]
    errors: dict[int, Exception]


class Writer:
    """The state of one writing run: the store's files and the record of what it holds. Only
    the holder of the store's lock makes one."""

    def __init__(self, layout: Layout) -> None:
        self.layout = layout
        self.state = StateWriter(layout.state)
        self._factors_lock = threading.Lock()

    def refresh_factors(self, market: str, code: str, daily: Series | bool | None = True) -> None:
        """`factors.refresh_factors`, serialised, so that the last caller reads the newest bars
        and records whichever task wrote them."""
        with self._factors_lock:
            factors.refresh_factors(self.layout, market, code, daily)

    def write_xdxr(self, market: str, code: str, records: Table) -> int:
        """Stores ex-rights records: their number, or -1 when nothing changed."""
        changed = factors.write_xdxr(self.layout, market, code, records)
        self.refresh_factors(market, code)  # finishes the job of a run killed in between
        return len(records) if changed else -1

    def write_bucket(
        self, freq: str, bucket: str, items: Sequence[Item], source: str, *, must_exist: bool = False
    ) -> list[int | Exception]:
        """Merges the new bars of some securities of one bucket into its file, written once.

        Each item's rows replace the stored rows of its security from ``since`` (the time they
        were fetched from) or from their own first time, whichever is earlier: a bar fetched
        while still trading, or a week labelled by its last day so far, is replaced rather than
        kept beside its final version. Returns, per item, the rows now stored of its security,
        -1 when they did not change, or the error that kept it out (``must_exist``: no new rows
        of a security the store does not hold).
        """
        pending = self.prepare_bucket(freq, bucket, items, must_exist=must_exist)
        if pending.tmp is not None:
            (err,) = put_in_place([(pending.tmp, pending.path)], self.layout.root)
            if err is not None:
                raise err
        return self.finish_bucket(pending, source)

    def prepare_bucket(
        self, freq: str, bucket: str, items: Sequence[Item], *, must_exist: bool = False
    ) -> BucketWrite:
        """The first half of `write_bucket`: merges and, when the bucket changed, writes its new
        file under a temporary name, not yet flushed nor in place."""
        path = self.layout.bars(freq, bucket)
        stored = split(read_parquet(path))
        current = dict(stored)
        errors: dict[int, Exception] = {}
        for i, (market, code, new, since) in enumerate(items):
            before = current.get((market, code))
            if must_exist and before is None and since is None and not len(new["time"]):
                errors[i] = LookupError(f"the server has no {freq} bars of {market}{code}")
                continue
            current[(market, code)] = merge_series(before, new, since)
        changed = {key for key, series in current.items() if not same_series(series, stored.get(key))}
        tmp = None
        if changed:
            table, groups = bucket_table(current)
            tmp = write_bars_file(path, table, groups)
        # Only what finishing needs is kept (a batch of buckets waits for its files together):
        # the last time and the rows of each item's security, and its daily bars for the factors.
        summary: dict[tuple[str, str], tuple[str, int] | None] = {}
        daily: dict[tuple[str, str], Series | None] = {}
        for market, code, _, _ in items:
            series = current.get((market, code))
            summary[(market, code)] = None
            if series is not None and len(series["time"]):
                last = str(np.datetime_as_string(series["time"][-1], unit="s"))
                summary[(market, code)] = (last, len(series["time"]))
            if freq == "1d":
                daily[(market, code)] = series
        return BucketWrite(freq, path, tmp, [(m, c) for m, c, _, _ in items], summary, daily, changed, errors)

    def prepare_new_bucket(self, freq: str, bucket: str, read: FileBars, derived: set[str]) -> BucketWrite:
        """`prepare_bucket` of a bucket not yet stored, from files of distinct securities: the
        file is written straight from the columns they were read into. Only the daily bars of
        the securities in ``derived`` are kept for their factors."""
        path = self.layout.bars(freq, bucket)
        counts = np.asarray(read.counts, dtype=np.int64)
        held = counts > 0
        keys = [key for key, count in zip(read.keys, read.counts, strict=True) if count]
        tmp = None
        if keys:
            table, groups = table_of(keys, counts[held], read.columns)
            tmp = write_bars_file(path, table, groups)
        ends = np.cumsum(counts)
        lasts = iter(np.datetime_as_string(read.columns["time"][ends[held] - 1], unit="s").tolist())
        summary = {
            key: (next(lasts), count) if count else None
            for key, count in zip(read.keys, read.counts, strict=True)
        }
        daily: dict[tuple[str, str], Series | None] = {}
        if freq == "1d":
            daily = {key: read.rows(a, b) for key, a, b in read.spans() if key[0] + key[1] in derived}
        return BucketWrite(freq, path, tmp, list(read.keys), summary, daily, set(keys), {})

    def finish_bucket(
        self, pending: BucketWrite, source: str, derived: set[str] | None = None
    ) -> list[int | Exception]:
        """The second half of `write_bucket`, once the file is in place: the factors and the
        record of what is stored, and the result per item. ``derived``: the symbols that may
        have ex-rights records or factors stored, when the caller knows them (the factors of
        the others need no refresh)."""
        # A run killed after the data but before what derives from it finishes the job here: the
        # factors and the record of what is stored are brought up to date whether or not the
        # data changed, and written only when they differ.
        entries = {}
        for (market, code), stored in pending.summary.items():
            if pending.freq == "1d" and (derived is None or market + code in derived):
                self.refresh_factors(market, code, pending.daily[(market, code)])
            if stored is not None:
                entries[f"{market}{code}/{pending.freq}"] = {
                    "last": stored[0],
                    "rows": stored[1],
                    "source": source,
                }
        self.state.record(entries)
        results: list[int | Exception] = []
        for i, key in enumerate(pending.keys):
            stored = pending.summary[key]
            rows = stored[1] if stored is not None and i not in pending.errors else 0
            results.append(pending.errors.get(i, rows if rows and key in pending.changed else -1))
        return results
