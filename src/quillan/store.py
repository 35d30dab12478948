"""quillan.Store: a local copy of the market as a folder of Parquet files, queried with SQL.

Layout of a store folder (every data file is plain Parquet; the partition folders follow the
Hive convention, so pyarrow.dataset, DuckDB, polars, Spark and Dask read them as they stand)::

    bars/freq=1d/symbol=sh600036/data.parquet     one file per security and frequency
    xdxr/symbol=sh600036/data.parquet             the security's ex-rights records
    factors/symbol=sh600036/data.parquet          its forward adjustment factors (from 1d bars)
    sync.json                                     what was last stored, per security and frequency
    .lock                                         held by the process that writes

Columns of ``bars`` files: ``market`` (``sh``/``sz``), ``code``, ``time`` (timestamp, seconds;
midnight for daily bars), ``open``, ``high``, ``low``, ``close``, ``amount``, ``volume`` (float64).
``freq`` and ``symbol`` come from the folder names. ``symbol`` is the market and the code
together (``sh600036``); filtering on it reads one folder.

Every file is written to a temporary name in its own folder, flushed to disk and renamed into
place, and ``sync.json`` is replaced only after the data it describes: a writer killed at any
moment leaves each file as it was before or after, and the next run finishes the job.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import errno
import fcntl
import json
import os
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from quillan.table import Table, import_optional

__all__ = ["Store", "StoreBusyError", "SyncReport", "default_store_path", "FREQS"]

# The frequencies a store keeps, and the file kinds of a terminal's folder that import maps to them.
FREQS = ("1m", "5m", "15m", "30m", "1h", "1d", "1w", "1mo", "1q", "1y")
_TERMINAL_FOLDERS = {"lday": ("1d", ".day"), "minline": ("1m", ".lc1"), "fzline": ("5m", ".lc5")}
_PRICE_COLUMNS = ("open", "high", "low", "close")
_VALUE_COLUMNS = ("open", "high", "low", "close", "amount", "volume")


class StoreBusyError(RuntimeError):
    """Another process holds the store's write lock."""


def default_store_path() -> Path:
    """``$QUILLAN_STORE``, else ``quillan`` in the user's data folder (``$XDG_DATA_HOME``)."""
    explicit = os.environ.get("QUILLAN_STORE")
    if explicit:
        return Path(explicit).expanduser()
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return Path(base) / "quillan"


def _symbol(market: str, code: str) -> str:
    return f"{market}{code}"


def _market_name(market: int | str) -> str:
    if isinstance(market, str):
        if market in ("sh", "sz"):
            return market
        raise ValueError(f"market {market!r} is neither 'sh' nor 'sz'")
    if market == 1:
        return "sh"
    if market == 0:
        return "sz"
    raise ValueError(f"market {market} is neither 0 (sz) nor 1 (sh)")


def _fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_atomically(path: Path, write: Callable[[str], None]) -> None:
    """Calls write(temporary path) in path's folder, then fsyncs and renames it into place."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=".", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        write(tmp)
        with open(tmp, "rb+") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    _fsync_dir(path.parent)


def _time_column(table: Table) -> str:
    for name in table.columns:
        if table[name].dtype.kind == "M":
            return name
    raise ValueError(f"the bars have no datetime column (columns: {', '.join(table.columns)})")


def _as_seconds(values: np.ndarray) -> np.ndarray:
    return values.astype("datetime64[s]")


@dataclass
class SyncReport:
    """What a sync or an import did: rows written per security and frequency, and failures."""

    written: dict[str, int] = field(default_factory=dict)
    unchanged: list[str] = field(default_factory=list)
    failed: dict[str, str] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not self.failed

    def summary(self) -> str:
        rows = sum(self.written.values())
        text = f"{len(self.written)} updated ({rows} rows), {len(self.unchanged)} unchanged"
        if self.failed:
            text += f", {len(self.failed)} failed: " + "; ".join(
                f"{key}: {error}" for key, error in self.failed.items()
            )
        return text


class Store:
    """A dataset folder of Parquet files holding bars, ex-rights records and what was synced.

    Writing methods (``sync``, ``import_terminal``) take the store's lock file; a second process
    waits up to ``lock_timeout`` seconds for it, then raises StoreBusyError. Reading needs no lock.
    Needs the ``store`` extra (pyarrow and DuckDB).
    """

    def __init__(self, path: str | os.PathLike[str] | None = None, *, lock_timeout: float = 30.0) -> None:
        self.path = Path(path) if path is not None else default_store_path()
        self.lock_timeout = lock_timeout
        self._state_lock = threading.Lock()
        self._factors_lock = threading.Lock()
        self._pa = import_optional("pyarrow", "quillan.Store")
        self._pq = import_optional("pyarrow.parquet", "quillan.Store")

    def __repr__(self) -> str:
        return f"quillan.Store({str(self.path)!r})"

    # -- the lock

    @contextlib.contextmanager
    def _locked(self) -> Iterator[None]:
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
            yield
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

    def _bars_file(self, freq: str, symbol: str) -> Path:
        return self.path / "bars" / f"freq={freq}" / f"symbol={symbol}" / "data.parquet"

    def _xdxr_file(self, symbol: str) -> Path:
        return self.path / "xdxr" / f"symbol={symbol}" / "data.parquet"

    def _factors_file(self, symbol: str) -> Path:
        return self.path / "factors" / f"symbol={symbol}" / "data.parquet"

    def _state_file(self) -> Path:
        return self.path / "sync.json"

    def _read_parquet(self, path: Path) -> Any | None:
        try:
            return self._pq.read_table(path)
        except FileNotFoundError:
            return None

    def _write_parquet(self, path: Path, table: Any) -> None:
        _write_atomically(path, lambda tmp: self._pq.write_table(table, tmp, compression="zstd"))

    def state(self) -> dict[str, dict[str, Any]]:
        """What was last stored: ``{"sh600036/1d": {"last": ISO time, "rows": n, ...}}``."""
        try:
            with open(self._state_file(), encoding="utf-8") as f:
                data: dict[str, dict[str, Any]] = json.load(f)
                return data
        except FileNotFoundError:
            return {}

    def _record_state(self, key: str, entry: dict[str, Any]) -> None:
        """Sets one entry of sync.json; the file is rewritten only when the entry's data changes."""
        with self._state_lock:
            state = self.state()
            current = state.get(key, {})
            if all(current.get(k) == v for k, v in entry.items() if k != "source"):
                return
            entry["updated"] = dt.datetime.now(dt.timezone.utc).isoformat(timespec="seconds")
            state[key] = entry
            text = json.dumps(state, indent=1, sort_keys=True)
            _write_atomically(self._state_file(), lambda tmp: Path(tmp).write_text(text, encoding="utf-8"))

    # -- bars

    def _bars_arrow(self, market: str, code: str, bars: Table) -> Any:
        pa = self._pa
        time_name = _time_column(bars)
        times = _as_seconds(bars[time_name])
        if bars.tz is not None and bars[time_name].dtype != np.dtype("datetime64[D]"):
            # Stored times are the exchange's wall-clock times, like the terminal's own files.
            import_optional("pandas", "storing time-zone aware bars")
            import pandas as pd

            times = (
                pd.DatetimeIndex(times).tz_localize("UTC").tz_convert(bars.tz).tz_localize(None)
            ).to_numpy("datetime64[s]")
        n = len(bars)
        columns = {
            "market": pa.array([market] * n, pa.string()),
            "code": pa.array([code] * n, pa.string()),
            "time": pa.array(times, pa.timestamp("s")),
        }
        for name in _VALUE_COLUMNS:
            source = name
            if source not in bars and name == "volume" and "vol" in bars:
                source = "vol"
            columns[name] = pa.array(np.asarray(bars[source], dtype=np.float64), pa.float64())
        return pa.table(columns)

    def _merge_bars(self, old: Any | None, new: Any) -> Any:
        """The old rows before the first new time, then the new rows: a bar fetched again replaces
        the stored one (it may have been fetched while still trading)."""
        pc = import_optional("pyarrow.compute", "quillan.Store")
        if new.num_rows:
            order = pc.sort_indices(new, sort_keys=[("time", "ascending")])
            new = new.take(order)
            # One bar per time: a repeated time keeps its last row.
            times = new.column("time").to_numpy()
            keep = np.append(times[1:] != times[:-1], True)
            new = new.filter(self._pa.array(keep))
        if old is None or old.num_rows == 0:
            return new
        if new.num_rows == 0:
            return old
        first_new = new.column("time")[0]
        kept = old.filter(pc.less(old.column("time"), first_new))
        return self._pa.concat_tables([kept, new.cast(kept.schema)])

    def write_bars(self, security: Any, freq: str, bars: Table, *, source: str = "write") -> int:
        """Merges bars into the store (new rows replace stored rows from their first time on).

        Returns the number of rows now stored, or -1 when nothing changed (no file was touched).
        """
        with self._locked():
            return self._write_bars(security, freq, bars, source)

    def _write_bars(self, security: Any, freq: str, bars: Table, source: str) -> int:
        if freq not in FREQS:
            raise ValueError(f"unknown frequency {freq!r}; one of {', '.join(FREQS)}")
        market, code = self._parse(security)
        symbol = _symbol(market, code)
        path = self._bars_file(freq, symbol)
        old = self._read_parquet(path)
        merged = self._merge_bars(old, self._bars_arrow(market, code, bars))
        changed = old is None or not merged.equals(old)
        if changed:
            self._write_parquet(path, merged)
        # A run killed after the data but before what derives from it finishes the job here: the
        # factors and the record of what is stored are brought up to date whether or not the
        # data changed, and written only when they differ.
        if freq == "1d":
            self._refresh_factors(market, code)
        last = merged.column("time")[-1].as_py() if merged.num_rows else None
        self._record_state(
            f"{symbol}/{freq}",
            {
                "last": last.isoformat() if last is not None else None,
                "rows": merged.num_rows,
                "source": source,
            },
        )
        return int(merged.num_rows) if changed else -1

    def bars(self, security: Any, freq: str = "1d") -> Table:
        """The stored bars of one security as a Table (``time`` then the value columns)."""
        market, code = self._parse(security)
        table = self._read_parquet(self._bars_file(freq, _symbol(market, code)))
        if table is None:
            return Table({"time": np.array([], "datetime64[s]"), **{c: np.array([]) for c in _VALUE_COLUMNS}})
        return Table(
            {
                "time": table.column("time").to_numpy().astype("datetime64[s]"),
                **{c: table.column(c).to_numpy() for c in _VALUE_COLUMNS},
            }
        )

    # -- ex-rights records and adjustment factors

    def _write_xdxr(self, market: str, code: str, records: Table) -> bool:
        pa = self._pa
        symbol = _symbol(market, code)
        n = len(records)
        columns: dict[str, Any] = {
            "market": pa.array([market] * n, pa.string()),
            "code": pa.array([code] * n, pa.string()),
        }
        for name in records.columns:
            if name in ("market", "code"):
                continue
            columns[name] = pa.array(records[name])
        table = pa.table(columns)
        path = self._xdxr_file(symbol)
        old = self._read_parquet(path)
        if old is not None and old.equals(table):
            return False
        self._write_parquet(path, table)
        self._refresh_factors(market, code)
        return True

    def _refresh_factors(self, market: str, code: str) -> None:
        """Rewrites the forward factors of a security from its daily bars and ex-rights records:
        one row per step, ``start`` the first time the factor applies. Serialised, so that the
        last caller reads the newest bars and records whichever task wrote them."""
        with self._factors_lock:
            self._refresh_factors_locked(market, code)

    def _refresh_factors_locked(self, market: str, code: str) -> None:
        from quillan.adjust import adjust

        symbol = _symbol(market, code)
        daily = self._read_parquet(self._bars_file("1d", symbol))
        xdxr = self._read_parquet(self._xdxr_file(symbol))
        path = self._factors_file(symbol)
        if daily is None or xdxr is None or daily.num_rows == 0:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
            return
        bars = Table(
            {
                "date": daily.column("time").to_numpy().astype("datetime64[D]"),
                **{c: daily.column(c).to_numpy() for c in _VALUE_COLUMNS},
            }
        )
        records = {name: xdxr.column(name).to_numpy(zero_copy_only=False) for name in xdxr.column_names}
        adjusted = adjust(bars, records, "forward")
        factor = np.asarray(adjusted["adj_factor"], dtype=np.float64)
        dates = bars["date"]
        steps = np.flatnonzero(np.append(True, factor[1:] != factor[:-1]))
        starts = dates[steps].astype("datetime64[s]")
        starts[0] = np.datetime64("1970-01-01T00:00:00", "s")
        pa = self._pa
        table = pa.table(
            {
                "market": pa.array([market] * len(steps), pa.string()),
                "code": pa.array([code] * len(steps), pa.string()),
                "start": pa.array(starts, pa.timestamp("s")),
                "factor": pa.array(factor[steps], pa.float64()),
            }
        )
        old = self._read_parquet(path)
        if old is None or not old.equals(table):
            self._write_parquet(path, table)

    # -- securities

    @staticmethod
    def _parse(security: Any) -> tuple[str, str]:
        from quillan.client import parse_security

        market, code = parse_security(security)
        return _market_name(market), code

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
        """Fetches what is new for each security and frequency through ``client`` (a quillan.Client)
        and stores it; the ex-rights records too unless ``xdxr=False``.

        The first run fetches the whole history the server gives (from ``start`` when given);
        later runs fetch from the last stored bar on, which they replace. Runs as many requests
        at a time as the client's pool has connections. A security that fails is reported in the
        result and does not stop the others; running again picks it up.
        """
        for freq in freqs:
            if freq not in FREQS:
                raise ValueError(f"unknown frequency {freq!r}; one of {', '.join(FREQS)}")
        parsed = [self._parse(s) for s in securities]
        tasks: list[tuple[str, str, str | None]] = [(m, c, f) for m, c in parsed for f in freqs]
        if xdxr:
            tasks += [(m, c, None) for m, c in parsed]
        report = SyncReport()
        workers = max(1, int(getattr(client, "pool", 1)))
        with self._locked(), _Progress(len(tasks), "sync", progress) as bar:
            state = self.state()

            def run(task: tuple[str, str, str | None]) -> tuple[str, int | bool]:
                market, code, freq = task
                symbol = _symbol(market, code)
                if freq is None:
                    return f"{symbol}/xdxr", self._write_xdxr(market, code, client.xdxr(symbol))
                entry = state.get(f"{symbol}/{freq}")
                since: Any = start
                if entry and entry.get("last"):
                    since = dt.datetime.fromisoformat(entry["last"]).date()
                bars = client.bars(symbol, freq, start=since)
                return f"{symbol}/{freq}", self._write_bars((market, code), freq, bars, "sync")

            self._run_all(tasks, run, workers, report, bar)
        return report

    # -- import a terminal's folder

    def import_terminal(
        self, path: str | os.PathLike[str], *, threads: int | None = None, progress: bool | None = None
    ) -> SyncReport:
        """Imports every .day, .lc1 and .lc5 file of a terminal's data folder (``sh/`` and ``sz/``
        with ``lday/``, ``minline/`` and ``fzline/``). Files that fail are listed in the result with
        their error; the others are imported."""
        from quillan import read_bars

        root = Path(path)
        if not root.is_dir():
            raise FileNotFoundError(f"No such folder: {root}")
        files = sorted(_terminal_files(root))
        report = SyncReport()
        with self._locked(), _Progress(len(files), "import", progress) as bar:

            def run(item: tuple[str, str, str, Path]) -> tuple[str, int | bool]:
                market, code, freq, file = item
                bars = read_bars(file)
                return f"{market}{code}/{freq}", self._write_bars((market, code), freq, bars, "import")

            self._run_all(
                files,
                run,
                threads or min(8, (os.cpu_count() or 2) * 2),
                report,
                bar,
                key=lambda item: str(item[3]),
            )
        return report

    def _run_all(
        self,
        items: Sequence[Any],
        run: Callable[[Any], tuple[str, int | bool]],
        workers: int,
        report: SyncReport,
        bar: _Progress,
        key: Callable[[Any], str] | None = None,
    ) -> None:
        def name(item: Any) -> str:
            if key is not None:
                return key(item)
            market, code, freq = item
            return f"{market}{code}/{freq or 'xdxr'}"

        with ThreadPoolExecutor(max_workers=workers) as pool:
            futures = {pool.submit(run, item): item for item in items}
            for future in as_completed(futures):
                item = futures[future]
                try:
                    label, result = future.result()
                except Exception as err:  # reported per security; the others go on
                    report.failed[name(item)] = f"{type(err).__name__}: {err}"
                else:
                    if result is False or result == -1:
                        report.unchanged.append(label)
                    else:
                        report.written[label] = 0 if result is True else int(result)
                bar.advance()

    # -- queries

    def connect(self) -> Any:
        """A DuckDB connection with the views ``bars``, ``xdxr`` and ``bars_adjusted``."""
        duckdb = import_optional("duckdb", "Store.sql()")
        con = duckdb.connect()
        root = str(self.path).replace("'", "''")

        def files(kind: str, depth: int) -> str | None:
            found = any((self.path / kind).glob("/".join(["*"] * depth) + "/data.parquet"))
            if not found:
                return None
            return f"'{root}/{kind}/" + "/".join(["*"] * depth) + "/data.parquet'"

        bars = files("bars", 2)
        if bars:
            con.execute(
                f"CREATE VIEW bars AS SELECT market, code, freq, time, open, high, low, close, amount, "
                f"volume FROM read_parquet({bars}, hive_partitioning = true, "
                f"hive_types = {{'freq': VARCHAR, 'symbol': VARCHAR}})"
            )
        else:
            con.execute(
                "CREATE VIEW bars AS SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, "
                "NULL::VARCHAR AS freq, NULL::TIMESTAMP AS time, NULL::DOUBLE AS open, "
                "NULL::DOUBLE AS high, NULL::DOUBLE AS low, NULL::DOUBLE AS close, "
                "NULL::DOUBLE AS amount, NULL::DOUBLE AS volume WHERE false"
            )
        xdxr = files("xdxr", 1)
        if xdxr:
            con.execute(
                f"CREATE VIEW xdxr AS SELECT * EXCLUDE (symbol) FROM read_parquet({xdxr}, "
                f"hive_partitioning = true, hive_types = {{'symbol': VARCHAR}}, union_by_name = true)"
            )
        else:
            con.execute(
                "CREATE VIEW xdxr AS SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code WHERE false"
            )
        factors = files("factors", 1)
        if factors:
            con.execute(
                f"CREATE VIEW factors AS SELECT market, code, start, factor FROM read_parquet({factors}, "
                f"hive_partitioning = true, hive_types = {{'symbol': VARCHAR}})"
            )
        else:
            con.execute(
                "CREATE VIEW factors AS SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, "
                "NULL::TIMESTAMP AS start, NULL::DOUBLE AS factor WHERE false"
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
            result = con.execute(query).arrow()
        finally:
            con.close()
        return _table_from_arrow(result)


def _table_from_arrow(table: Any) -> Table:
    columns: dict[str, np.ndarray] = {}
    for name in table.column_names:
        column = table.column(name)
        if hasattr(column, "combine_chunks"):
            column = column.combine_chunks()
        values = column.to_numpy(zero_copy_only=False)
        if values.dtype.kind == "M":
            values = values.astype("datetime64[s]") if values.dtype != np.dtype("datetime64[D]") else values
        columns[name] = values
    return Table(columns)


def _terminal_files(root: Path) -> Iterator[tuple[str, str, str, Path]]:
    """(market, code, freq, path) for every bar file under a terminal's data folder."""
    for market in ("sh", "sz"):
        for folder, (freq, suffix) in _TERMINAL_FOLDERS.items():
            base = root / market / folder
            if not base.is_dir():
                continue
            for file in base.iterdir():
                name = file.name.lower()
                if not name.endswith(suffix) or not file.is_file():
                    continue
                stem = name[: -len(suffix)]
                if len(stem) == 8 and stem[:2] in ("sh", "sz") and stem[2:].isascii() and stem[2:].isdigit():
                    yield stem[:2], stem[2:], freq, file


class _Progress:
    """A progress bar on a terminal (tqdm when installed), a one-line summary otherwise."""

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
                from tqdm import tqdm
            except ImportError:
                self._bar = None
            else:
                self._bar = tqdm(total=self.total, desc=self.what, unit="item", leave=False)
        return self

    def advance(self) -> None:
        with self._lock:
            self.done += 1
            if self._bar is not None:
                self._bar.update(1)
            elif self.show:
                print(f"\r{self.what}: {self.done}/{self.total}", end="", file=sys.stderr, flush=True)

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self.show and self.total:
            print(file=sys.stderr)
