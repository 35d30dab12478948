"""One writing run of a store, under its lock: bucket files merged and written, what derives
from them (the by-date copy of daily bars, the factors, the record of what is stored) brought
up to date.

A bucket is written in three steps so that an import can flush many bucket files together:
`prepare_bucket` merges the new rows into the bucket and writes its new file under a temporary
name; `commit` puts it in place; `finish_bucket` then refreshes the factors and records the
series. When the run ends, `close` makes the by-date copy of the daily bars that changed
(`quillan.store.bydate`). A run killed between the steps leaves the old record and an old
by-date copy, which the next run brings up to date.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from quillan.atomic import put_in_place
from quillan.store import bydate, factors
from quillan.store.files import Layout
from quillan.store.layout import (
    BUCKETS_DAILY,
    FileBars,
    Item,
    Series,
    bucket_of,
    group_rows,
    merge_series,
    same_series,
)
from quillan.store.listing import listing_of, metadata_of
from quillan.store.parquet import (
    DamagedFileError,
    FooterCache,
    read_metadata,
    read_parquet,
    read_series,
    reading,
    split,
    table_of,
    write_bars_file,
)
from quillan.store.state import StateWriter
from quillan.table import Table
from quillan.vocabulary import BAR_VALUES

__all__ = ["BucketWrite", "Writer"]

DAMAGED = "damaged"  # the generation of a daily bucket file whose footer cannot be read


@dataclass
class BucketWrite:
    """A bucket merged and, when it changed, written under a temporary name (``tmp``) that is
    yet to be flushed and renamed to ``path`` (daily bucket files with a new ``generation``);
    what finishing it needs, per item's security: its last time and rows (None: no rows) and,
    for daily bars, the bars themselves; and the daily series it changes, for the by-date copy."""

    freq: str
    bucket: str
    path: Path
    tmp: str | None
    generation: str
    keys: list[tuple[str, str]]
    summary: dict[tuple[str, str], tuple[str, int] | None]
    daily: dict[tuple[str, str], Series | None]
    changed: set[tuple[str, str]]
    errors: dict[int, Exception]
    block: bydate.Block | None


def _columns(current: dict[tuple[str, str], Series]) -> tuple[list[tuple[str, str]], np.ndarray, Series]:
    """The securities with rows (sorted), their row counts and their rows one after another."""
    keys = sorted(key for key, s in current.items() if len(s["time"]))
    counts = np.array([len(current[key]["time"]) for key in keys], dtype=np.int64)
    empty = {"time": np.zeros(0, "datetime64[ms]"), **{name: np.zeros(0) for name in BAR_VALUES}}
    columns = {name: np.concatenate([empty[name]] + [current[k][name] for k in keys]) for name in empty}
    return keys, counts, columns


def _first_change(old: Series | None, new: Series) -> np.datetime64 | None:
    """The first time at which two series of a security differ (None when they do not)."""
    if old is None or not len(old["time"]):
        return new["time"][0] if len(new["time"]) else None
    n = min(len(old["time"]), len(new["time"]))
    differ = np.zeros(n, dtype=bool)
    for name in old:
        a, b = old[name][:n], new[name][:n]
        differ |= ~((a == b) | (np.isnan(a) & np.isnan(b)) if a.dtype.kind == "f" else a == b)
    if differ.any():
        at = int(np.argmax(differ))
        first: np.datetime64 = min(old["time"][at], new["time"][at])
        return first
    if len(old["time"]) == len(new["time"]):
        return None
    longer: np.datetime64 = (old if len(old["time"]) > n else new)["time"][n]
    return longer


class Writer:
    """The state of one writing run: the store's files and the record of what it holds. Only
    the holder of the store's lock makes one."""

    def __init__(self, layout: Layout, notify: Callable[[str], object] | None = None) -> None:
        self.layout = layout
        self._notify = notify
        self.notes: list[str] = []  # what the run found and mended, for its report
        try:
            self.state = StateWriter(layout.state)
        except DamagedFileError as err:
            self.state = self._rebuilt_state(err)
        self._factors_lock = threading.Lock()
        # The generation of each daily bucket file, as the run has left it; the daily series the
        # run changed, for the by-date copy.
        self.generations: dict[str, str] = {}
        self._blocks: list[bydate.Block] = []
        self._footers = FooterCache()
        self._moved = False

    def note(self, text: str) -> None:
        """Says what the run found and mended: in its report, and to the notify callback."""
        self.notes.append(text)
        if self._notify is not None:
            self._notify(text)

    def _rebuilt_state(self, damage: DamagedFileError) -> StateWriter:
        """A record of what is stored made from the bars themselves, the damaged one moved
        aside (it is kept for whoever wants to look at it)."""
        aside = self.layout.state.with_name("sync.json.damaged")
        os.replace(self.layout.state, aside)
        state = StateWriter(self.layout.state)
        entries = {}
        for freq_folder in sorted((self.layout.root / "bars").glob("freq=*")):
            freq = freq_folder.name.removeprefix("freq=")
            for path in sorted(freq_folder.glob("bucket=*/data.parquet")):
                with contextlib.suppress(DamagedFileError):  # the sync or import of it mends it
                    for (market, code), series in split(read_parquet(path)).items():
                        last = str(np.datetime_as_string(series["time"][-1], unit="s"))
                        entries[f"{market}{code}/{freq}"] = {
                            "last": last,
                            "rows": len(series["time"]),
                            "source": "rebuilt",
                        }
        state.record(entries)
        self.note(
            f"{self.layout.state}: {damage.strerror}; moved to {aside.name}, and the record made again "
            f"from the bars stored ({len(entries)} series)"
        )
        return state

    def stored(self, freq: str, market: str, code: str) -> Series | None:
        """A security's stored bars; None when there are none or its bucket file is damaged
        (which its next write mends)."""
        try:
            return read_series(
                self.layout.bars(freq, bucket_of(market, code, freq)), market, code, self._footers
            )
        except DamagedFileError:
            return None

    def reconcile(self) -> None:
        """Reads the generation of each daily bucket file, and brings a by-date copy that lags
        the buckets up to date: a run killed before its copy was made, or a store written
        before the copy existed (once; it says so)."""
        for number in range(BUCKETS_DAILY):
            bucket = f"{number:02d}"
            path = self.layout.bars("1d", bucket)
            try:
                with reading(path):
                    self.generations[bucket] = bydate.generation_of(read_metadata(path))
            except FileNotFoundError:
                pass
            except DamagedFileError:  # its next write mends it; the copy follows then
                self.generations[bucket] = DAMAGED
        manifest = bydate.Manifest.read(self.layout.root)
        stale = bydate.stale_buckets(manifest, self.generations)
        if stale is None and not self.generations:
            return
        if stale is None or stale:
            what = "made" if manifest is None else "brought up to date"
            self.note(f"the copy of the daily bars of {self.layout.root} sorted by date is {what}")
            rebuilt = set(self.generations) if stale is None else stale
            blocks = []
            for bucket in sorted(rebuilt & set(self.generations)):
                with contextlib.suppress(DamagedFileError):
                    current = split(read_parquet(self.layout.bars("1d", bucket)))
                    if current:
                        blocks.append(bydate.Block(*_columns(current), None))
            if stale is None:  # no manifest: every year is made from the buckets there are
                bydate.tidy(self.layout.root, None)
            bydate.update(self.layout.root, blocks, self.generations, frozenset(rebuilt))
        bydate.tidy(self.layout.root, bydate.Manifest.read(self.layout.root))

    def close(self) -> None:
        """Ends the run: the by-date copy of the daily bars it changed."""
        self._flush_changes()

    def _flush_changes(self) -> None:
        if self._blocks or self._moved:
            bydate.update(self.layout.root, self._blocks, self.generations)
            self._blocks, self._moved = [], False

    def refresh_factors(self, market: str, code: str, daily: Series | bool | None = True) -> None:
        """`factors.refresh_factors`, serialised, so that the last caller reads the newest bars
        and records whichever task wrote them."""
        with self._factors_lock:
            factors.refresh_factors(self.layout, market, code, daily)

    def write_xdxr(self, market: str, code: str, records: Table) -> int:
        """Stores ex-rights records: their number, or -1 when nothing changed."""
        changed = factors.write_xdxr(self.layout, market, code, records)
        self.refresh_factors(market, code)  # finishes the job of a run killed in between
        if changed:
            self.touch()
        return len(records) if changed else -1

    def touch(self) -> None:
        """Tells readers that the store's files changed: the lock file's time is their mark."""
        with contextlib.suppress(OSError):
            os.utime(self.layout.lock, follow_symlinks=False)

    def write_bucket(
        self, freq: str, bucket: str, items: Sequence[Item], source: str, *, must_exist: bool = False
    ) -> list[int | Exception]:
        """Merges the new bars of some securities of one bucket into its file, written once.

        Each item's rows replace the stored rows of its security from ``since`` (the time they
        were fetched from) or from their own first time, whichever is earlier: a bar fetched
        while still trading, or a week labelled by its last day so far, is replaced rather than
        kept beside its final version. Returns, per item, the rows now stored of its security,
        -1 when they did not change, or the error that kept it out (``must_exist``: no new rows
        of a security the store does not hold). When no item changes anything, only the row
        groups of the items' own securities are read, and no file is written.
        """
        unchanged = self._unchanged(freq, bucket, items)
        if unchanged is not None:
            return unchanged
        pending = self.prepare_bucket(freq, bucket, items, must_exist=must_exist)
        (err,) = self.commit([pending])
        if err is not None:
            raise err
        return self.finish_bucket(pending, source)

    def _unchanged(self, freq: str, bucket: str, items: Sequence[Item]) -> list[int | Exception] | None:
        """-1 for every item when none of them changes its stored series, else None."""
        stored = []
        for market, code, new, since in items:
            old = self.stored(freq, market, code)
            if old is None or not len(old["time"]) or not same_series(merge_series(old, new, since), old):
                return None
            stored.append((market, code, old))
        # The record is brought up to date all the same (a run killed before it had done so).
        entries = {}
        for market, code, old in stored:
            last = str(np.datetime_as_string(old["time"][-1], unit="s"))
            entries[f"{market}{code}/{freq}"] = {"last": last, "rows": len(old["time"]), "source": "sync"}
        self.state.record(entries)
        return [-1] * len(items)

    def prepare_bucket(
        self, freq: str, bucket: str, items: Sequence[Item], *, must_exist: bool = False
    ) -> BucketWrite:
        """The first step of `write_bucket`: merges and, when the bucket changed, writes its new
        files under temporary names, not yet flushed nor in place."""
        path = self.layout.bars(freq, bucket)
        try:
            stored = split(read_parquet(path))
        except DamagedFileError as err:
            # Whatever it held is lost: it is made again from the bars this run has. Securities
            # of the bucket this run does not bring are fetched or imported whole next time.
            self.note(f"{path}: {err.strerror}; made again from the bars of this run")
            stored = {}
        current = dict(stored)
        errors: dict[int, Exception] = {}
        for i, (market, code, new, since) in enumerate(items):
            before = current.get((market, code))
            if must_exist and before is None and since is None and not len(new["time"]):
                errors[i] = LookupError(f"the server has no {freq} bars of {market}{code}")
                continue
            current[(market, code)] = merge_series(before, new, since)
        changed = {key for key, series in current.items() if not same_series(series, stored.get(key))}
        write = self._written(freq, bucket, current if changed else {})
        write.changed, write.errors = changed, errors
        if freq == "1d" and changed:
            firsts = [_first_change(stored.get(key), current[key]) for key in changed]
            first = None if any(f is None for f in firsts) else min(f for f in firsts if f is not None)
            write.block = bydate.Block(*_columns({key: current[key] for key in changed}), first)
        write.keys = [(m, c) for m, c, _, _ in items]
        # Only what finishing needs is kept (a batch of buckets waits for its files together):
        # the last time and the rows of each item's security, and its daily bars for the factors.
        for market, code, _, _ in items:
            series = current.get((market, code))
            write.summary[(market, code)] = None
            if series is not None and len(series["time"]):
                last = str(np.datetime_as_string(series["time"][-1], unit="s"))
                write.summary[(market, code)] = (last, len(series["time"]))
            if freq == "1d":
                write.daily[(market, code)] = series
        return write

    def _written(self, freq: str, bucket: str, current: dict[tuple[str, str], Series]) -> BucketWrite:
        """A BucketWrite whose file holds `current` (nothing to write when it is empty)."""
        path = self.layout.bars(freq, bucket)
        write = BucketWrite(freq, bucket, path, None, "", [], {}, {}, set(), {}, None)
        if current:
            keys, counts, columns = _columns(current)
            self._file(write, keys, counts, columns)
        return write

    def _file(
        self, write: BucketWrite, keys: list[tuple[str, str]], counts: np.ndarray, columns: Series
    ) -> None:
        """Writes the bucket's file under a temporary name; a daily one with a new generation."""
        metadata = None
        if write.freq == "1d":
            write.generation = bydate.new_generation()
            metadata = {
                bydate.GENERATION_KEY: write.generation,
                **metadata_of(listing_of(keys, counts, columns["time"])),
            }
        table, groups = table_of(keys, counts, columns, group_rows(write.freq))
        write.tmp = write_bars_file(write.path, table, groups, metadata)

    def prepare_new_bucket(self, freq: str, bucket: str, read: FileBars, derived: set[str]) -> BucketWrite:
        """`prepare_bucket` of a bucket not yet stored, from files of distinct securities: the
        file is written straight from the columns they were read into. Only the daily bars of
        the securities in ``derived`` are kept for their factors."""
        path = self.layout.bars(freq, bucket)
        counts = np.asarray(read.counts, dtype=np.int64)
        held = counts > 0
        keys = [key for key, count in zip(read.keys, read.counts, strict=True) if count]
        write = BucketWrite(freq, bucket, path, None, "", list(read.keys), {}, {}, set(keys), {}, None)
        if keys:
            self._file(write, keys, counts[held], read.columns)
        ends = np.cumsum(counts)
        lasts = iter(np.datetime_as_string(read.columns["time"][ends[held] - 1], unit="s").tolist())
        write.summary = {
            key: (next(lasts), count) if count else None
            for key, count in zip(read.keys, read.counts, strict=True)
        }
        if freq == "1d":
            write.daily = {key: read.rows(a, b) for key, a, b in read.spans() if key[0] + key[1] in derived}
            if keys:  # sorted by time here, beside the other buckets' work
                write.block = bydate.Block(keys, counts[held], read.columns, None)
        return write

    def commit(self, pending: Sequence[BucketWrite]) -> list[Exception | None]:
        """Puts the files of prepared buckets in place, flushed to disk. Returns, per bucket,
        the error that kept it out (its temporary file removed)."""
        ready = [i for i, write in enumerate(pending) if write.tmp is not None]
        placed = put_in_place([(pending[i].tmp, pending[i].path) for i in ready], self.layout.root)  # type: ignore[misc]
        errors: list[Exception | None] = [None] * len(pending)
        for i, err in zip(ready, placed, strict=True):
            errors[i] = err
            write = pending[i]
            if err is None and write.freq == "1d":
                self.generations[write.bucket] = write.generation
                if write.block is not None:
                    self._blocks.append(write.block)
                self._moved = True
        if ready:
            self.touch()
        return errors

    def finish_bucket(
        self, pending: BucketWrite, source: str, derived: set[str] | None = None
    ) -> list[int | Exception]:
        """The last step of `write_bucket`, once the files are in place: the factors and the
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
