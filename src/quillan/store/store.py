"""quillan.Store: a local copy of the market as a folder of Parquet files, queried with SQL.

Layout of a store folder (every data file is plain Parquet; the partition folders follow the
Hive convention, so pyarrow.dataset, DuckDB, polars, Spark and Dask read them as they stand)::

    bars/freq=5m/bucket=17/data.parquet           the bars of the securities of one bucket
    xdxr/symbol=sh600036/data.parquet             the security's ex-rights records
    factors/symbol=sh600036/data.parquet          its forward adjustment factors (from 1d bars)
    sync.json                                     what is stored, per security and frequency
    .lock                                         held by the process that writes

Securities are spread over buckets by a stable hash of their symbol (``sh600036``): 64 for
intraday bars, 16 for daily and longer ones, so a bucket file holds the bars of some tens or
hundreds of securities; its rows are sorted by market, code and time, in row groups of whole
securities whose statistics let a filter on one security read little. An import or a sync
writes each bucket file once.

Columns of ``bars`` files: ``market`` (``sh``/``sz``), ``code``, ``time`` (timestamp in
milliseconds without a time zone, the exchange's wall-clock time in whole seconds; midnight for
daily and longer bars), ``open``, ``high``, ``low``, ``close``, ``amount`` (yuan), ``volume``
(shares), all float64 and none null. ``freq`` and ``bucket`` come from the folder names.

Every file is written to a hidden temporary name in its own folder, flushed to disk and renamed
into place, and ``sync.json`` is replaced only after the data it describes: a writer killed at
any moment leaves each file as it was before or after, and the next run finishes the job.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import errno
import fcntl
import importlib
import json
import os
import sys
import tempfile
import threading
import time
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from quillan._columnar import read_bar_files
from quillan._columns import as_array
from quillan.bars import _check_dates, _scale
from quillan.table import Table, import_optional

__all__ = ["FREQS", "Store", "StoreBusyError", "SyncReport", "default_store_path"]

# The frequencies a store keeps, and the file kinds of a terminal's folder that import maps to them.
FREQS = ("1m", "5m", "15m", "30m", "1h", "1d", "1w", "1mo", "1q", "1y")
_INTRADAY = frozenset({"1m", "5m", "15m", "30m", "1h"})
_TERMINAL_FOLDERS = {"lday": ("1d", ".day"), "minline": ("1m", ".lc1"), "fzline": ("5m", ".lc5")}
_VALUE_COLUMNS = ("open", "high", "low", "close", "amount", "volume")
_XDXR_VALUES = (
    "fenhong", "peigujia", "songzhuangu", "peigu", "suogu", "xingquanjia", "fenshu",
    "panqianliutong", "qianzongguben", "panhouliutong", "houzongguben",
)  # fmt: skip
_STATE_FLUSH_SECONDS = 2.0
# Securities are hashed into bucket files per frequency: 64 for intraday bars, 16 for daily and
# longer ones, which have a few hundred rows a year (a file's fixed costs, to write it and to
# read it, would outweigh its data). A row group holds whole securities and is closed once it
# holds this many rows. An import flushes this many bucket files together.
_BUCKETS_INTRADAY = 64
_BUCKETS_DAILY = 16
_FLUSH_BATCH = 64
_ROW_GROUP_ROWS = 16384
# Parquet keeps times in milliseconds at the coarsest: the store's tables hold them so, whole
# seconds all, so that a table read back compares equal to the one that was written.
_TIME: Any = None


class StoreBusyError(RuntimeError):
    """Another process holds the store's write lock."""


def default_store_path() -> Path:
    """``$QUILLAN_STORE``, else ``quillan`` in the user's data folder (``$XDG_DATA_HOME``,
    by default ``~/.local/share``)."""
    explicit = os.environ.get("QUILLAN_STORE", "").strip()
    if explicit:
        return Path(explicit).expanduser()
    base = os.environ.get("XDG_DATA_HOME", "").strip() or os.path.join(
        os.path.expanduser("~"), ".local", "share"
    )
    return Path(base) / "quillan"


def _need(name: str) -> Any:
    return import_optional(name, "quillan.Store", "store")


def _parse(security: Any) -> tuple[str, str]:
    """("sh" or "sz", code) of a security in any form the Client takes."""
    from quillan.client import parse_security

    market, code = parse_security(security)
    if market not in (0, 1):
        raise ValueError(f"a store keeps Shanghai (1) and Shenzhen (0) securities, not market {market}")
    return ("sh" if market == 1 else "sz"), code


def _write_temporary(path: Path, write: Callable[[str], None]) -> str:
    """Calls write(temporary path) in path's folder and returns that path; the file is neither
    flushed to disk nor in place yet (``_put_in_place`` does both).

    The temporary name starts with a dot: pyarrow.dataset, Spark and Dask skip such files, and
    the DuckDB views read ``data.parquet`` only.
    """
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        write(tmp)
        os.chmod(tmp, 0o644)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    return tmp


def _fsync_path(path: str | Path, flags: int = os.O_RDONLY) -> None:
    fd = os.open(path, flags)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_dir(path: Path) -> None:
    _fsync_path(path, os.O_RDONLY | os.O_DIRECTORY)


def _put_in_place(files: Sequence[tuple[str, Path]], root: Path | None = None) -> list[Exception | None]:
    """Flushes temporary files to disk, renames each into place (``(temporary, final)`` pairs),
    then flushes each folder that changed once: the files appear whole or not at all. With
    ``root``, the folders between the files and it are flushed too, so that folders created
    for them survive a crash. Returns, per file, the error that kept it out of place, if any.

    The files are flushed concurrently from a thread pool: the file system commits the waiting
    flushes together (one journal commit serves many), so the batch costs little more than
    one. A single sync of the whole file system would flush every other writer's data on this
    machine too and wait for it.
    """
    errors: list[Exception | None] = [None] * len(files)

    def each(paths: Iterable[Any], run: Callable[[Any], None]) -> list[Exception | None]:
        def guarded(path: Any) -> Exception | None:
            try:
                run(path)
            except Exception as err:
                return err
            return None

        paths = list(paths)
        if len(paths) <= 1:
            return [guarded(path) for path in paths]
        with ThreadPoolExecutor(max_workers=min(16, len(paths))) as pool:
            return list(pool.map(guarded, paths))

    try:
        errors = each((tmp for tmp, _ in files), _fsync_path)
        for i, (tmp, path) in enumerate(files):
            if errors[i] is None:
                try:
                    os.replace(tmp, path)
                except OSError as failure:
                    errors[i] = failure
    finally:
        for tmp, _ in files:
            if os.path.lexists(tmp):  # not renamed: flushing or renaming failed, or the run stopped
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(tmp)
    folders: dict[Path, None] = {}
    for (_, path), error in zip(files, errors, strict=True):
        if error is None:
            folder = path.parent
            folders[folder] = None
            while root is not None and folder != root and root in folder.parents:
                folder = folder.parent
                folders[folder] = None
    failed = dict(zip(folders, each(folders, _fsync_dir), strict=True))
    for i, (_, path) in enumerate(files):
        if errors[i] is None and failed[path.parent] is not None:
            errors[i] = failed[path.parent]
    return errors


def _write_atomically(path: Path, write: Callable[[str], None]) -> None:
    """Calls write(temporary path) in path's folder, then flushes the file and renames it into place."""
    (err,) = _put_in_place([(_write_temporary(path, write), path)])
    if err is not None:
        raise err


@dataclass
class SyncReport:
    """What a sync or an import did, by series (``sh600036/1d``, ``sh600036/xdxr``) or file:
    the rows now stored of each series that changed, the series left as they were, and the
    error of each that failed."""

    written: dict[str, int] = field(default_factory=dict)
    unchanged: list[str] = field(default_factory=list)
    failed: dict[str, str] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not self.failed

    def summary(self) -> str:
        """``"3 updated, 5 unchanged, 1 failed"``."""
        return f"{len(self.written)} updated, {len(self.unchanged)} unchanged, {len(self.failed)} failed"


class Store:
    """A dataset folder of Parquet files holding bars, ex-rights records and what was synced
    (the layout and the columns are in this module's documentation).

    ``Store(path=None, *, lock_timeout=30.0)``: without a path, ``$QUILLAN_STORE``, else
    ``quillan`` in the user's data folder. Writing (``sync``, ``import_terminal``,
    ``write_bars``) takes the store's lock file; a second writer waits up to ``lock_timeout``
    seconds, then raises StoreBusyError. Reading needs no lock: files are replaced whole.
    Needs the ``store`` extra (pyarrow and DuckDB).
    """

    def __init__(self, path: str | os.PathLike[str] | None = None, *, lock_timeout: float = 30.0) -> None:
        self.path = Path(path) if path is not None else default_store_path()
        self.lock_timeout = lock_timeout
        self._pa = _need("pyarrow")
        global _TIME
        _TIME = self._pa.timestamp("ms")
        self._pq = _need("pyarrow.parquet")
        self._pc = _need("pyarrow.compute")
        self._factors_lock = threading.Lock()
        self._state: _StateWriter | None = None
        # Daily and longer bars had 64 buckets in earlier builds: such a store would show some
        # securities twice and miss others, so it is refused rather than read or written.
        for freq in FREQS:
            folder = self.path / "bars" / f"freq={freq}"
            if freq in _INTRADAY or not folder.is_dir():
                continue
            for bucket in os.listdir(folder):
                number = bucket.removeprefix("bucket=")
                if number.isdigit() and int(number) >= _BUCKETS_DAILY:
                    raise ValueError(
                        f"the store {self.path} keeps {freq} bars in {_BUCKETS_INTRADAY} buckets, as earlier "
                        f"builds did ({folder / bucket}); this one keeps {_BUCKETS_DAILY}: move the folder "
                        f"{folder} aside and import or sync its bars again"
                    )

    def __repr__(self) -> str:
        return f"quillan.Store({str(self.path)!r})"

    # -- the lock

    @contextlib.contextmanager
    def _locked(self) -> Iterator[_StateWriter]:
        self.path.mkdir(parents=True, exist_ok=True)
        fd = os.open(self.path / ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            deadline = time.monotonic() + self.lock_timeout
            while True:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    break
                except OSError as err:
                    if err.errno not in (errno.EAGAIN, errno.EACCES):
                        raise
                    if time.monotonic() >= deadline:
                        holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip() or "unknown"
                        raise StoreBusyError(
                            f"the store {self.path} is busy: another process (pid {holder}) is writing "
                            f"to it; waited {self.lock_timeout:g} s"
                        ) from None
                    time.sleep(0.05)
            os.ftruncate(fd, 0)
            os.pwrite(fd, str(os.getpid()).encode(), 0)
            self._remove_leftovers()
            state = _StateWriter(self._state_file())
            self._state = state
            try:
                yield state
            finally:
                self._state = None
                state.flush()
        finally:
            os.close(fd)  # closing the descriptor releases the lock

    def _remove_leftovers(self) -> None:
        """Deletes the temporary files of a writer that was killed (only the lock holder writes)."""
        for kind in ("bars", "xdxr", "factors"):
            for tmp in (self.path / kind).glob("**/.*.tmp"):
                with contextlib.suppress(FileNotFoundError):
                    tmp.unlink()
        for tmp in self.path.glob(".*.tmp"):
            with contextlib.suppress(FileNotFoundError):
                tmp.unlink()

    # -- files

    def _bars_file(self, freq: str, bucket: str) -> Path:
        return self.path / "bars" / f"freq={freq}" / f"bucket={bucket}" / "data.parquet"

    def _xdxr_file(self, symbol: str) -> Path:
        return self.path / "xdxr" / f"symbol={symbol}" / "data.parquet"

    def _factors_file(self, symbol: str) -> Path:
        return self.path / "factors" / f"symbol={symbol}" / "data.parquet"

    def _state_file(self) -> Path:
        return self.path / "sync.json"

    @staticmethod
    def _open(path: Path) -> Any:
        return open(path, "rb")

    def _read_parquet(self, path: Path) -> Any | None:
        # One file as it stands: ParquetFile skips the dataset discovery of read_table.
        try:
            with open(path, "rb") as f:
                return self._pq.ParquetFile(f).read(use_threads=False)
        except FileNotFoundError:
            return None

    def _write_parquet(self, path: Path, table: Any) -> None:
        _write_atomically(path, lambda tmp: self._pq.write_table(table, tmp, compression="zstd"))

    def state(self) -> dict[str, dict[str, Any]]:
        """What is stored: ``{"sh600036/1d": {"last": "2024-03-15T00:00:00", "rows": 160,
        "source": "sync", "updated": ...}}``; it may lag the data after a killed run, never
        run ahead of it."""
        return _read_state(self._state_file())

    # -- bars

    def _read_series(self, freq: str, market: str, code: str) -> _Series | None:
        """One security's stored bars, reading only the row groups whose statistics may hold it."""
        path = self._bars_file(freq, _bucket(market, code, freq))
        try:
            f = self._open(path)
        except FileNotFoundError:
            return None
        with f:  # one descriptor: a writer renaming a new file in does not disturb the reading
            parquet = self._pq.ParquetFile(f)
            meta = parquet.metadata
            columns = [parquet.schema_arrow.get_field_index(name) for name in ("market", "code")]
            groups = []
            for i in range(meta.num_row_groups):
                group = meta.row_group(i)
                stats = [group.column(c).statistics for c in columns]
                if any(
                    st is not None and st.has_min_max and not st.min <= key <= st.max
                    for st, key in zip(stats, (market, code), strict=True)
                ):
                    continue
                groups.append(i)
            if not groups:
                return None
            table = parquet.read_row_groups(groups, use_threads=False)
        return _split(table).get((market, code))

    def write_bars(self, security: Any, freq: str, bars: Table) -> int:
        """Merges the bars of one security into the store: they replace the stored rows from
        their first time on. Returns the number of rows now stored, or -1 when nothing changed
        (no file was touched)."""
        market, code = _parse(security)
        if freq not in FREQS:
            raise ValueError(f"unknown frequency {freq!r}; one of {', '.join(FREQS)}")
        series = _bars_series(freq, bars)
        with self._locked():
            (result,) = self._write_bucket(
                freq, _bucket(market, code, freq), [(market, code, series, None)], "write"
            )
        if isinstance(result, Exception):
            raise result
        return result

    def _write_bucket(
        self, freq: str, bucket: str, items: Sequence[_Item], source: str, *, must_exist: bool = False
    ) -> list[int | Exception]:
        """Merges the new bars of some securities of one bucket into its file, written once.

        Each item's rows replace the stored rows of its security from ``since`` (the time they
        were fetched from) or from their own first time, whichever is earlier: a bar fetched
        while still trading, or a week labelled by its last day so far, is replaced rather than
        kept beside its final version. Returns, per item, the rows now stored of its security,
        -1 when they did not change, or the error that kept it out (``must_exist``: no new rows
        of a security the store does not hold). Only the caller holding the lock writes, and
        one bucket at a time.
        """
        pending = self._prepare_bucket(freq, bucket, items, must_exist=must_exist)
        if pending.tmp is not None:
            (err,) = _put_in_place([(pending.tmp, pending.path)], self.path)
            if err is not None:
                raise err
        return self._finish_bucket(pending, source)

    def _prepare_bucket(
        self, freq: str, bucket: str, items: Sequence[_Item], *, must_exist: bool = False
    ) -> _BucketWrite:
        """The first half of ``_write_bucket``: merges and, when the bucket changed, writes its
        new file under a temporary name, not yet flushed nor in place."""
        path = self._bars_file(freq, bucket)
        stored = _split(self._read_parquet(path))
        current = dict(stored)
        errors: dict[int, Exception] = {}
        for i, (market, code, new, since) in enumerate(items):
            before = current.get((market, code))
            if must_exist and before is None and since is None and not len(new["time"]):
                errors[i] = LookupError(f"the server has no {freq} bars of {market}{code}")
                continue
            current[(market, code)] = _merge_series(before, new, since)
        changed = {key for key, series in current.items() if not _same_series(series, stored.get(key))}
        tmp = None
        if changed:
            table, groups = self._bucket_table(current)
            tmp = self._write_bars_file(path, table, groups)
        # Only what finishing needs is kept (a batch of buckets waits for its files together):
        # the last time and the rows of each item's security, and its daily bars for the factors.
        summary: dict[tuple[str, str], tuple[str, int] | None] = {}
        daily: dict[tuple[str, str], _Series | None] = {}
        for market, code, _, _ in items:
            series = current.get((market, code))
            summary[(market, code)] = None
            if series is not None and len(series["time"]):
                last = str(np.datetime_as_string(series["time"][-1], unit="s"))
                summary[(market, code)] = (last, len(series["time"]))
            if freq == "1d":
                daily[(market, code)] = series
        return _BucketWrite(
            freq, path, tmp, [(m, c) for m, c, _, _ in items], summary, daily, changed, errors
        )

    def _prepare_new_bucket(self, freq: str, bucket: str, read: _FileBars, derived: set[str]) -> _BucketWrite:
        """``_prepare_bucket`` of a bucket not yet stored, from files of distinct securities:
        the file is written straight from the columns they were read into. Only the daily bars
        of the securities in ``derived`` are kept for their factors."""
        path = self._bars_file(freq, bucket)
        counts = np.asarray(read.counts, dtype=np.int64)
        held = counts > 0
        keys = [key for key, count in zip(read.keys, read.counts, strict=True) if count]
        tmp = None
        if keys:
            table, groups = self._table_of(keys, counts[held], read.columns)
            tmp = self._write_bars_file(path, table, groups)
        ends = np.cumsum(counts)
        lasts = iter(np.datetime_as_string(read.columns["time"][ends[held] - 1], unit="s").tolist())
        summary = {
            key: (next(lasts), count) if count else None
            for key, count in zip(read.keys, read.counts, strict=True)
        }
        daily: dict[tuple[str, str], _Series | None] = {}
        if freq == "1d":
            daily = {key: read.rows(a, b) for key, a, b in read.spans() if key[0] + key[1] in derived}
        return _BucketWrite(freq, path, tmp, list(read.keys), summary, daily, set(keys), {})

    def _finish_bucket(
        self, pending: _BucketWrite, source: str, derived: set[str] | None = None
    ) -> list[int | Exception]:
        """The second half of ``_write_bucket``, once the file is in place: the factors and the
        record of what is stored, and the result per item. ``derived``: the symbols that may
        have ex-rights records or factors stored, when the caller knows them (the factors of
        the others need no refresh)."""
        # A run killed after the data but before what derives from it finishes the job here: the
        # factors and the record of what is stored are brought up to date whether or not the
        # data changed, and written only when they differ.
        assert self._state is not None
        entries = {}
        for (market, code), stored in pending.summary.items():
            if pending.freq == "1d" and (derived is None or market + code in derived):
                self._refresh_factors(market, code, pending.daily[(market, code)])
            if stored is not None:
                entries[f"{market}{code}/{pending.freq}"] = {
                    "last": stored[0],
                    "rows": stored[1],
                    "source": source,
                }
        self._state.record(entries)
        results: list[int | Exception] = []
        for i, key in enumerate(pending.keys):
            stored = pending.summary[key]
            rows = stored[1] if stored is not None and i not in pending.errors else 0
            results.append(pending.errors.get(i, rows if rows and key in pending.changed else -1))
        return results

    def _bucket_table(self, series: dict[tuple[str, str], _Series]) -> tuple[Any, list[int]]:
        """The rows of a bucket as one Arrow table sorted by market, code and time, and the
        sizes of its row groups: whole securities, closed once they hold enough rows."""
        keys = sorted(key for key, s in series.items() if len(s["time"]))
        counts = np.array([len(series[key]["time"]) for key in keys], dtype=np.int64)
        columns = {
            name: np.concatenate([series[k][name] for k in keys]) for name in ("time", *_VALUE_COLUMNS)
        }
        return self._table_of(keys, counts, columns)

    def _table_of(
        self, keys: Sequence[tuple[str, str]], counts: np.ndarray, values: _Series
    ) -> tuple[Any, list[int]]:
        """``_bucket_table`` of the securities ``keys`` (in order), whose rows are the next
        ``counts`` rows of the columns ``values`` each."""
        pa = self._pa
        # Built from buffers: pa.array would import pandas, a quarter of a second for an import.
        # Market and code as dictionary arrays, which the file stores as they are.
        markets = sorted({market for market, _ in keys})
        owner = np.repeat(np.arange(len(keys), dtype=np.int32), counts)
        of_market = np.array([markets.index(market) for market, _ in keys], dtype=np.int32)
        columns = {
            "market": pa.DictionaryArray.from_arrays(
                _arrow(of_market[owner], pa.int32()), _arrow_strings(markets)
            ),
            "code": pa.DictionaryArray.from_arrays(
                _arrow(owner, pa.int32()), _arrow_strings([code for _, code in keys])
            ),
            "time": _arrow(values["time"], _TIME),
            **{name: _arrow(values[name], pa.float64()) for name in _VALUE_COLUMNS},
        }
        groups: list[int] = []
        rows = 0
        for count in counts.tolist():
            rows += count
            if rows >= _ROW_GROUP_ROWS:
                groups.append(rows)
                rows = 0
        if rows:
            groups.append(rows)
        # No column holds nulls, and saying so spares the file its definition levels.
        schema = pa.schema([pa.field(name, array.type, nullable=False) for name, array in columns.items()])
        return pa.Table.from_arrays(list(columns.values()), schema=schema), groups

    def _write_bars_file(self, path: Path, table: Any, groups: list[int]) -> str:
        # Only the columns a reader filters on carry statistics; market and code repeat, so
        # they are dictionary encoded. Amount and volume are stored byte stream split (the
        # bytes of each rank side by side): zstd then packs them smaller, in less time; prices,
        # which repeat whole, pack smaller as they are. Readers of Parquet 2.8 on decode it.
        # No Arrow schema is stored: it would make market and code dictionary columns to
        # Arrow readers, where the Parquet types make them strings.
        def write(tmp: str) -> None:
            with self._pq.ParquetWriter(
                tmp,
                table.schema,
                store_schema=False,
                compression="zstd",
                compression_level=1,
                use_dictionary=["market", "code"],
                column_encoding={"amount": "BYTE_STREAM_SPLIT", "volume": "BYTE_STREAM_SPLIT"},
                write_statistics=["market", "code", "time"],
            ) as writer:
                offset = 0
                for rows in groups:
                    writer.write_table(table.slice(offset, rows), row_group_size=rows)
                    offset += rows

        return _write_temporary(path, write)

    def bars(self, security: Any, freq: str = "1d") -> Table:
        """The stored bars of one security as a Table: ``time`` (datetime64[s]), then the
        value columns; no rows when none are stored."""
        market, code = _parse(security)
        series = self._read_series(freq, market, code)
        if series is None:
            empty = np.zeros(0, dtype=np.float64)
            return Table({"time": np.zeros(0, "datetime64[s]"), **dict.fromkeys(_VALUE_COLUMNS, empty)})
        return Table(
            {"time": series["time"].astype("datetime64[s]"), **{c: series[c] for c in _VALUE_COLUMNS}}
        )

    # -- ex-rights records and adjustment factors

    def _write_xdxr(self, market: str, code: str, records: Table) -> int:
        """Stores the ex-rights records; an empty answer never replaces stored records (a
        security's events do not go away) and writes no file."""
        pa = self._pa
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
                    for key in _XDXR_VALUES
                },
            }
        )
        path = self._xdxr_file(market + code)
        old = self._read_parquet(path)
        changed = n > 0 and (old is None or not _same(old, table))
        if changed:
            self._write_parquet(path, table)
        self._refresh_factors(market, code)  # finishes the job of a run killed in between
        return n if changed else -1

    def _refresh_factors(self, market: str, code: str, daily: _Series | bool | None = True) -> None:
        """Rewrites the forward factors of a security from its daily bars (``daily``; read from
        the store when True) and ex-rights records: one row per step, ``start`` the first time
        the factor applies. Serialised, so that the last caller reads the newest bars and
        records whichever task wrote them."""
        with self._factors_lock:
            self._refresh_factors_locked(market, code, daily)

    def _refresh_factors_locked(self, market: str, code: str, daily: _Series | bool | None) -> None:
        symbol = market + code
        path = self._factors_file(symbol)
        xdxr = self._read_parquet(self._xdxr_file(symbol))
        if xdxr is not None and daily is True:
            daily = self._read_series("1d", market, code)
        if not isinstance(daily, dict) or xdxr is None or not len(daily["time"]):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
            return
        from quillan.adjust import adjust

        bars = Table(
            {
                "date": daily["time"].astype("datetime64[D]"),
                **{c: daily[c] for c in ("open", "high", "low", "close")},
            }
        )
        records = {
            "date": xdxr.column("date").to_numpy().astype("datetime64[D]"),
            **{
                c: xdxr.column(c).to_numpy()
                for c in ("category", "fenhong", "peigujia", "songzhuangu", "peigu")
            },
        }
        factor = np.asarray(adjust(bars, records, "forward")["adj_factor"], dtype=np.float64)
        steps = np.flatnonzero(np.append(True, factor[1:] != factor[:-1]))
        starts = bars["date"][steps].astype("datetime64[ms]")
        starts[0] = np.datetime64("1970-01-01T00:00:00", "ms")  # the first factor holds for every earlier bar
        pa = self._pa
        table = pa.table(
            {
                "market": pa.array([market] * len(steps), pa.string()),
                "code": pa.array([code] * len(steps), pa.string()),
                "start": pa.array(starts, _TIME),
                "factor": pa.array(factor[steps], pa.float64()),
            }
        )
        old = self._read_parquet(path)
        if old is None or not _same(old, table):
            self._write_parquet(path, table)

    # -- sync from servers

    def sync(
        self,
        client: Any,
        securities: Iterable[Any],
        freqs: Sequence[str] = ("1d",),
        start: str | dt.date | None = None,
        *,
        xdxr: bool = True,
        progress: bool | None = None,
    ) -> SyncReport:
        """Fetches what is new for each security and frequency through ``client`` (a
        quillan.Client) and stores it; the ex-rights records too unless ``xdxr=False``.

        The first run fetches the whole history the server gives (from ``start`` when given);
        later runs fetch from the last stored bar on, which they replace. As many securities
        are fetched at a time as the client's pool has connections; the bars of a bucket are
        written together once all of them are fetched. A security that fails is reported in
        the result and does not stop the others; running again picks it up. ``progress``: a
        progress bar on stderr (default: when stderr is a terminal).
        """
        for freq in freqs:
            if freq not in FREQS:
                raise ValueError(f"unknown frequency {freq!r}; one of {', '.join(FREQS)}")
        parsed = list(dict.fromkeys(_parse(s) for s in securities))
        # Bucket by bucket, so that each is written as soon as its securities are fetched.
        tasks = sorted(
            ((m, c, f) for m, c in parsed for f in freqs),
            key=lambda t: (t[2], _bucket(t[0], t[1], t[2]), t[0], t[1]),
        )
        if xdxr:
            tasks += [(m, c, "xdxr") for m, c in parsed]
        report = SyncReport()
        batches = _Batches(report)
        for market, code, freq in tasks:
            if freq != "xdxr":
                batches.expect((freq, _bucket(market, code, freq)))
        with self._locked() as state, _Progress(len(tasks), "sync", progress) as bar:
            stored = state.current()

            def run(task: tuple[str, str, str]) -> None:
                market, code, freq = task
                symbol = market + code
                try:
                    if freq == "xdxr":
                        result = self._write_xdxr(
                            market, code, client.xdxr((1 if market == "sh" else 0, code))
                        )
                        batches.report(f"{symbol}/xdxr", result)
                        return
                    entry = stored.get(f"{symbol}/{freq}")
                    since: np.datetime64 | None = None
                    if entry and entry.get("last"):
                        since = np.datetime64(entry["last"], "s")
                        if freq not in _INTRADAY:
                            since = since.astype("datetime64[D]")
                        ask: Any = since
                    else:
                        ask = start
                    bars = client.bars((1 if market == "sh" else 0, code), freq, start=ask)
                    item: _Item | Exception = (market, code, _bars_series(freq, bars), since)
                except Exception as err:  # reported per series; the others go on
                    if freq == "xdxr":
                        batches.report(f"{symbol}/xdxr", err)
                        return
                    item = err
                key = (freq, _bucket(market, code, freq))
                batches.add(
                    key,
                    f"{symbol}/{freq}",
                    item,
                    lambda items: self._write_bucket(freq, key[1], items, "sync", must_exist=True),
                )

            def step(task: tuple[str, str, str]) -> None:
                run(task)
                bar.advance()
                state.maybe_flush()

            with ThreadPoolExecutor(max_workers=max(1, int(getattr(client, "pool", 1)))) as pool:
                for future in [pool.submit(step, task) for task in tasks]:
                    future.result()
        return report

    # -- import a terminal's folder

    def import_terminal(
        self, path: str | os.PathLike[str], *, threads: int | None = None, progress: bool | None = None
    ) -> SyncReport:
        """Imports every .day, .lc1 and .lc5 file of a terminal's data folder (``sh/`` and ``sz/``
        with ``lday/``, ``minline/`` and ``fzline/``; the folder above them, or the one holding
        ``vipdoc/``). Daily prices are scaled per file as ``read_bars`` does; records with an
        impossible date are left out. The files of one bucket are read and written together,
        ``threads`` buckets at a time (by default one per processor, at most 8). Files that
        fail are listed in the result with their error; the others are imported."""
        root = Path(path)
        if not root.is_dir():
            raise FileNotFoundError(f"No such folder: {root}")
        if not any((root / m).is_dir() for m in ("sh", "sz")) and (root / "vipdoc").is_dir():
            root = root / "vipdoc"
        groups: dict[tuple[str, str], list[tuple[str, str, str, str]]] = {}
        for item in sorted(_terminal_files(root), key=lambda item: (item[2], item[0], item[1], item[3])):
            groups.setdefault((item[2], _bucket(item[0], item[1], item[2])), []).append(item)
        report = SyncReport()
        batches = _Batches(report)
        total = sum(len(files) for files in groups.values())
        with self._locked() as state, _Progress(total, "import", progress) as bar:
            # An import writes no ex-rights records: only the securities that have some stored
            # already (or factors left from them) have factors to bring up to date.
            derived = {
                folder.name.removeprefix("symbol=")
                for kind in ("xdxr", "factors")
                for folder in (self.path / kind).glob("symbol=*")
            }

            def prepare(
                key: tuple[str, str], files: list[tuple[str, str, str, str]]
            ) -> tuple[list[str], _BucketWrite | Exception | None]:
                freq, bucket = key
                read = _read_terminal_files(freq, files, batches.report)
                if not read.names:
                    return [], None
                try:
                    if len(set(read.keys)) == len(read.keys) and not self._bars_file(freq, bucket).exists():
                        return read.names, self._prepare_new_bucket(freq, bucket, read, derived)
                    return read.names, self._prepare_bucket(freq, bucket, read.items())
                except Exception as err:  # the whole bucket failed to be written
                    return read.names, err

            def finish(batch: list[tuple[list[str], _BucketWrite | Exception | None, int]]) -> None:
                # The files of a batch of buckets are flushed and put in place together, then
                # what derives from them is brought up to date.
                written = [p for _, p, _ in batch if isinstance(p, _BucketWrite) and p.tmp is not None]
                placed = _put_in_place([(p.tmp, p.path) for p in written if p.tmp], self.path)
                failed = {id(p): err for p, err in zip(written, placed, strict=True) if err is not None}
                for names, pending, count in batch:
                    if isinstance(pending, _BucketWrite):
                        err = failed.get(id(pending))
                        results = (
                            [err] * len(names) if err else self._finish_bucket(pending, "import", derived)
                        )
                    else:
                        results = [pending] * len(names) if pending else []
                    batches.report_all(zip(names, results, strict=True))
                    bar.advance(count)
                state.maybe_flush()

            with ThreadPoolExecutor(max_workers=threads or min(8, os.cpu_count() or 1)) as pool:
                futures = [(pool.submit(prepare, key, files), len(files)) for key, files in groups.items()]
                batch: list[tuple[list[str], _BucketWrite | Exception | None, int]] = []
                try:
                    for future, count in futures:
                        batch.append((*future.result(), count))
                        if len(batch) == _FLUSH_BATCH:
                            finish(batch)
                            batch = []
                    finish(batch)
                except BaseException:  # a run that stops leaves no temporary file behind
                    for future, _ in futures:
                        future.cancel()
                    for future, _ in futures:
                        if not future.cancelled() and future.exception() is None:
                            pending = future.result()[1]
                            if isinstance(pending, _BucketWrite) and pending.tmp is not None:
                                with contextlib.suppress(FileNotFoundError):
                                    os.unlink(pending.tmp)
                    raise
        return report

    # -- queries

    def connect(self) -> Any:
        """A DuckDB connection with the views ``bars``, ``xdxr``, ``factors`` and
        ``bars_adjusted`` (``bars`` with forward-adjusted prices and an ``adj_factor`` column)
        over the files stored now."""
        duckdb = _need("duckdb")
        con = duckdb.connect()
        root = str(self.path).replace("'", "''")

        def source(kind: str, depth: int, types: str) -> str | None:
            pattern = "/".join(["*"] * depth) + "/data.parquet"
            if not any((self.path / kind).glob(pattern)):
                return None
            return (
                f"read_parquet('{root}/{kind}/{pattern}', hive_partitioning = true, hive_types = {{{types}}})"
            )

        bars = source("bars", 2, "'freq': VARCHAR, 'bucket': VARCHAR")
        con.execute(
            "CREATE VIEW bars AS SELECT market, code, freq, time, open, high, low, close, amount, volume "
            + (
                f"FROM {bars}"
                if bars
                else "FROM (SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::VARCHAR AS freq, "
                "NULL::TIMESTAMP AS time, NULL::DOUBLE AS open, NULL::DOUBLE AS high, "
                "NULL::DOUBLE AS low, NULL::DOUBLE AS close, NULL::DOUBLE AS amount, "
                "NULL::DOUBLE AS volume) WHERE false"
            )
        )
        xdxr = source("xdxr", 1, "'symbol': VARCHAR")
        values = ", ".join(f"NULL::DOUBLE AS {key}" for key in _XDXR_VALUES)
        con.execute(
            "CREATE VIEW xdxr AS SELECT market, code, date, category, name, "
            + ", ".join(_XDXR_VALUES)
            + (
                f" FROM {xdxr}"
                if xdxr
                else " FROM (SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::DATE AS date, "
                f"NULL::BIGINT AS category, NULL::VARCHAR AS name, {values}) WHERE false"
            )
        )
        factors = source("factors", 1, "'symbol': VARCHAR")
        con.execute(
            "CREATE VIEW factors AS SELECT market, code, start, factor "
            + (
                f"FROM {factors}"
                if factors
                else "FROM (SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, "
                "NULL::TIMESTAMP AS start, NULL::DOUBLE AS factor) WHERE false"
            )
        )
        con.execute(
            "CREATE VIEW bars_adjusted AS SELECT b.market, b.code, b.freq, b.time, "
            "b.open * coalesce(f.factor, 1) AS open, b.high * coalesce(f.factor, 1) AS high, "
            "b.low * coalesce(f.factor, 1) AS low, b.close * coalesce(f.factor, 1) AS close, "
            "b.amount, b.volume, coalesce(f.factor, 1) AS adj_factor "
            "FROM bars b ASOF LEFT JOIN factors f "
            "ON b.market = f.market AND b.code = f.code AND b.time >= f.start"
        )
        return con

    def sql(self, query: str) -> Table:
        """Runs a DuckDB query over the store's views and returns the result as a Table."""
        con = self.connect()
        try:
            relation = con.sql(query)
            if relation is None:  # a statement without rows
                return Table({})
            # DuckDB 1.4 renamed arrow() to to_arrow_table(); 2.0 dropped the old name.
            fetch = getattr(relation, "to_arrow_table", None) or relation.arrow
            result = fetch()
        finally:
            con.close()
        return _table_from_arrow(result)


_Series = dict[str, np.ndarray]  # "time" (datetime64[ms]) and the value columns, in time order
_Item = tuple[str, str, _Series, "np.datetime64 | None"]  # market, code, new bars, fetched from


def _arrow(values: np.ndarray, kind: Any) -> Any:
    """An Arrow array of fixed-width values without nulls, over the NumPy array's own buffer."""
    pa = _need("pyarrow")
    return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(np.ascontiguousarray(values))])


def _arrow_strings(texts: list[str]) -> Any:
    pa = _need("pyarrow")
    encoded = [text.encode() for text in texts]
    offsets = np.zeros(len(encoded) + 1, dtype=np.int32)
    np.cumsum([len(data) for data in encoded], out=offsets[1:])
    return pa.Array.from_buffers(
        pa.string(), len(encoded), [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(encoded))]
    )


def _bucket(market: str, code: str, freq: str) -> str:
    """The bucket of a security's bars of a frequency: a stable hash of its symbol, so every run
    puts it in the same file."""
    buckets = _BUCKETS_INTRADAY if freq in _INTRADAY else _BUCKETS_DAILY
    return f"{zlib.crc32((market + code).encode()) % buckets:02d}"


def _bars_series(freq: str, bars: Table) -> _Series:
    """The bars in the store's columns, in time order, without rows of no time; a repeated time
    keeps its last row."""
    time_name = next((name for name in bars.columns if bars[name].dtype.kind == "M"), None)
    if time_name is None:
        raise ValueError(f"the bars have no datetime column (columns: {', '.join(bars.columns)})")
    times = bars[time_name]
    if bars.tz is not None and times.dtype != np.dtype("datetime64[D]"):
        # Stored times are the exchange's wall-clock times, like the terminal's own files.
        pd = import_optional("pandas", "storing time-zone aware bars")
        times = pd.DatetimeIndex(times.astype("datetime64[s]")).tz_localize("UTC").tz_convert(bars.tz)
        times = times.tz_localize(None).to_numpy()
    unit = "s" if freq in _INTRADAY else "D"  # daily and longer bars are labelled by their day
    series = {"time": np.asarray(times).astype(f"datetime64[{unit}]").astype("datetime64[ms]")}
    for name in _VALUE_COLUMNS:
        source = "vol" if name == "volume" and "volume" not in bars and "vol" in bars else name
        series[name] = np.asarray(bars[source], dtype=np.float64)
    return _in_order(series)


def _in_order(series: _Series) -> _Series:
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


@dataclass
class _FileBars:
    """The bars of the files of one bucket that could be read, one file after another: per
    file its name, security and row count, the rows in the store's columns (times in
    milliseconds, in order)."""

    names: list[str]
    keys: list[tuple[str, str]]
    counts: list[int]
    columns: _Series

    def spans(self) -> Iterator[tuple[tuple[str, str], int, int]]:
        """Each file's security and the bounds of its rows."""
        start = 0
        for key, count in zip(self.keys, self.counts, strict=True):
            yield key, start, start + count
            start += count

    def rows(self, start: int, end: int) -> _Series:
        return {name: values[start:end] for name, values in self.columns.items()}

    def items(self) -> list[_Item]:
        return [(market, code, self.rows(a, b), None) for (market, code), a, b in self.spans()]


def _read_terminal_files(
    freq: str, files: Sequence[tuple[str, str, str, str]], failed: Callable[[str, Exception], None]
) -> _FileBars:
    """The bars of some bar files of one kind ((market, code, freq, path) each), read in one
    call without the interpreter lock. Prices are scaled per file as read_bars does; records
    with an impossible date are left out. Each file that fails is passed to ``failed`` with its
    error, as read_bars would raise it, and left out."""
    minute = freq in _INTRADAY
    names = [path for *_, path in files]
    buffers, counts, impossible, errors = read_bar_files(
        [
            (os.fsencode(name), 100.0 if minute else float(_scale(market, code)))
            for (market, code, _, _), name in zip(files, names, strict=True)
        ],
        minute,
    )
    arrays = [as_array(buffer) for buffer in buffers.values()]
    # Whole days or seconds to the store's milliseconds, NaT kept.
    raw = arrays[0].view(np.int64)
    stamps = raw * (1000 if minute else 86_400_000)
    if any(impossible):
        stamps[raw == np.iinfo(np.int64).min] = np.iinfo(np.int64).min
    columns = {"time": stamps.view("datetime64[ms]"), **dict(zip(_VALUE_COLUMNS, arrays[1:], strict=True))}
    ends = np.cumsum(counts, dtype=np.int64)
    # Files whose times do not strictly rise (a step back at a file's first row is no fault).
    times = columns["time"]
    steps = np.flatnonzero(times[1:] <= times[:-1]) + 1
    unordered = set()
    if len(steps):
        steps = steps[~np.isin(steps, ends)]
        unordered = set(np.searchsorted(ends, steps, side="right").tolist())
    if not unordered and not any(impossible) and all(error is None for error in errors):
        return _FileBars(names, [(market, code) for market, code, _, _ in files], counts, columns)
    read = _FileBars([], [], [], columns)
    pieces: list[tuple[int, int, _Series | None]] = []  # rows of each file kept: as read, or mended
    as_read = True  # whether the columns hold just the kept files' rows, as read
    start = 0
    for i, ((market, code, _, _), name, end) in enumerate(zip(files, names, ends.tolist(), strict=True)):
        a, start = start, end
        error = errors[i]
        if error is None:
            try:
                _check_dates(name, minute, counts[i], impossible[i], stacklevel=4)
            except ValueError as err:
                error = err
        if error is not None:
            failed(name, error)  # the others go on
            as_read = as_read and a == end
            continue
        mended = None
        if impossible[i] or i in unordered:
            mended = _in_order({column: values[a:end] for column, values in columns.items()})
            as_read = False
        pieces.append((a, end, mended))
        read.names.append(name)
        read.keys.append((market, code))
        read.counts.append(end - a if mended is None else len(mended["time"]))
    if not as_read:
        read.columns = {
            column: np.concatenate(
                [values[:0]] + [values[a:b] if m is None else m[column] for a, b, m in pieces]
            )
            for column, values in columns.items()
        }
    return read


def _merge_series(old: _Series | None, new: _Series, since: np.datetime64 | None) -> _Series:
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


def _same_series(a: _Series, b: _Series | None) -> bool:
    """Whether two series hold the same rows, NaN equal to NaN (else every file holding one
    would be rewritten each time)."""
    if b is None:
        return not len(a["time"])
    return len(a["time"]) == len(b["time"]) and all(
        np.array_equal(a[name], b[name], equal_nan=name != "time") for name in a
    )


def _split(table: Any | None) -> dict[tuple[str, str], _Series]:
    """The series of each security in a table of bars sorted by market, code and time."""
    if table is None or table.num_rows == 0:
        return {}
    keys = []
    for name in ("market", "code"):
        encoded = table.column(name).combine_chunks().dictionary_encode()
        keys.append((encoded.indices.to_numpy(), encoded.dictionary.to_pylist()))
    (markets, market_names), (codes, code_names) = keys
    starts = np.flatnonzero(np.append(True, (markets[1:] != markets[:-1]) | (codes[1:] != codes[:-1])))
    ends = np.append(starts[1:], table.num_rows)
    columns = {name: table.column(name).to_numpy() for name in ("time", *_VALUE_COLUMNS)}
    return {
        (market_names[markets[a]], code_names[codes[a]]): {name: v[a:b] for name, v in columns.items()}
        for a, b in zip(starts.tolist(), ends.tolist(), strict=True)
    }


def _same(a: Any, b: Any) -> bool:
    """Whether two Arrow tables hold the same schema and values, NaN equal to NaN (Arrow's own
    equals takes NaN for unequal to itself, which would rewrite every file holding one)."""
    if not a.schema.equals(b.schema) or a.num_rows != b.num_rows:
        return False
    for left, right in zip(a.columns, b.columns, strict=True):
        x, y = left.to_numpy(), right.to_numpy()
        if x.dtype.kind == "f":
            if not np.array_equal(x, y, equal_nan=True):
                return False
        elif not np.array_equal(x, y):
            return False
    return True


@dataclass
class _BucketWrite:
    """A bucket merged and, when it changed, written under a temporary name (``tmp``) that is
    yet to be flushed and renamed to ``path``; what finishing it needs, per item's security:
    its last time and rows (None: no rows) and, for daily bars, the bars themselves."""

    freq: str
    path: Path
    tmp: str | None
    keys: list[tuple[str, str]]
    summary: dict[tuple[str, str], tuple[str, int] | None]
    daily: dict[tuple[str, str], _Series | None]
    changed: set[tuple[str, str]]
    errors: dict[int, Exception]


class _Batches:
    """The series of a sync, gathered by bucket: the task that brings the last expected series
    of a bucket writes them all, so each bucket has one writer at a time and is written once."""

    def __init__(self, report: SyncReport) -> None:
        self._report = report
        self._lock = threading.Lock()
        self._left: dict[tuple[str, str], int] = {}
        self._items: dict[tuple[str, str], list[tuple[str, _Item]]] = {}

    def expect(self, key: tuple[str, str]) -> None:
        self._left[key] = self._left.get(key, 0) + 1

    def report(self, label: str, result: int | Exception) -> None:
        self.report_all([(label, result)])

    def report_all(self, results: Iterable[tuple[str, int | Exception]]) -> None:
        with self._lock:
            for label, result in results:
                if isinstance(result, Exception):
                    self._report.failed[label] = f"{type(result).__name__}: {result}"
                elif result < 0:
                    self._report.unchanged.append(label)
                else:
                    self._report.written[label] = result

    def add(
        self,
        key: tuple[str, str],
        label: str,
        item: _Item | Exception,
        write: Callable[[list[_Item]], list[int | Exception]],
    ) -> None:
        with self._lock:
            if not isinstance(item, Exception):
                self._items.setdefault(key, []).append((label, item))
            self._left[key] -= 1
            ready = self._items.pop(key, []) if self._left[key] == 0 else []
        if isinstance(item, Exception):
            self.report(label, item)
        if not ready:
            return
        try:
            results = write([entry for _, entry in ready])
        except Exception as err:  # the whole bucket failed to be written
            results = [err] * len(ready)
        for (name, _), result in zip(ready, results, strict=True):
            self.report(name, result)


def _read_state(path: Path) -> dict[str, dict[str, Any]]:
    try:
        with open(path, encoding="utf-8") as f:
            data: dict[str, dict[str, Any]] = json.load(f)
            return data
    except FileNotFoundError:
        return {}


class _StateWriter:
    """sync.json of a writing run: entries are recorded once their data is in place and
    written out together every few seconds and at the end of the run, so the record may lag
    the data but never runs ahead of it. An entry equal to the stored one (but for its
    source) changes nothing."""

    def __init__(self, path: Path) -> None:
        self._path = path
        self._lock = threading.Lock()
        self._state = _read_state(path)
        self._dirty = False
        self._flushed = time.monotonic()

    def current(self) -> dict[str, dict[str, Any]]:
        with self._lock:
            return {key: dict(entry) for key, entry in self._state.items()}

    def record(self, entries: dict[str, dict[str, Any]]) -> None:
        """Records the entries of some series (by key), stamped with the time now."""
        now = dt.datetime.now(dt.UTC).isoformat(timespec="seconds")
        with self._lock:
            for key, entry in entries.items():
                old = self._state.get(key, {})
                if all(old.get(k) == v for k, v in entry.items() if k != "source"):
                    continue
                entry["updated"] = now
                self._state[key] = entry
                self._dirty = True

    def maybe_flush(self) -> None:
        if self._dirty and time.monotonic() - self._flushed >= _STATE_FLUSH_SECONDS:
            self.flush()

    def flush(self) -> None:
        with self._lock:
            if not self._dirty:
                return
            text = json.dumps(self._state, indent=1, sort_keys=True) + "\n"

            def write(tmp: str) -> None:
                Path(tmp).write_text(text, encoding="utf-8")

            _write_atomically(self._path, write)
            self._dirty = False
            self._flushed = time.monotonic()


def _table_from_arrow(table: Any) -> Table:
    columns: dict[str, np.ndarray] = {}
    for name in table.column_names:
        values = table.column(name).to_numpy()
        if values.dtype.kind == "M" and values.dtype != np.dtype("datetime64[D]"):
            values = values.astype("datetime64[s]")
        columns[name] = values
    return Table(columns)


def _terminal_files(root: Path) -> Iterator[tuple[str, str, str, str]]:
    """(market, code, freq, path) for every bar file under a terminal's data folder."""
    for market in ("sh", "sz"):
        for folder, (freq, suffix) in _TERMINAL_FOLDERS.items():
            base = os.path.join(root, market, folder)
            if not os.path.isdir(base):
                continue
            with os.scandir(base) as entries:  # the file type comes with the entry: no stat per file
                for entry in entries:
                    name = entry.name.lower()
                    if not name.endswith(suffix) or not entry.is_file():
                        continue
                    stem = name[: -len(suffix)]
                    if len(stem) == 8 and stem[:2] == market and stem[2:].isascii() and stem[2:].isdigit():
                        yield market, stem[2:], freq, entry.path


class _Progress:
    """A progress bar on stderr (tqdm when installed) while items complete."""

    def __init__(self, total: int, what: str, show: bool | None) -> None:
        self.total = total
        self.what = what
        self.done = 0
        self.show = sys.stderr.isatty() if show is None else show
        self._bar: Any = None
        self._lock = threading.Lock()

    def __enter__(self) -> _Progress:
        if self.show:
            try:
                tqdm: Any = importlib.import_module("tqdm")
            except ImportError:
                self._bar = None
            else:
                self._bar = tqdm.tqdm(total=self.total, desc=self.what, unit="item", leave=False)
        return self

    def advance(self, count: int = 1) -> None:
        with self._lock:
            self.done += count
            if self._bar is not None:
                self._bar.update(count)
            elif self.show:
                print(f"\r{self.what}: {self.done}/{self.total}", end="", file=sys.stderr, flush=True)

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self.show and self.total:
            print(file=sys.stderr)
