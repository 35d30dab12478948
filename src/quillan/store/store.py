"""quillan.Store: a local copy of the market as a folder of Parquet files, queried with SQL.

The folder (`quillan.store.files`) holds one Parquet file of bars per frequency and bucket of
securities (`quillan.store.layout`, `quillan.store.parquet`), the ex-rights records and
adjustment factors of each security (`quillan.store.factors`) and the record of what is stored
(`quillan.store.state`). Its partition folders follow the Hive convention, so pyarrow.dataset,
DuckDB, polars, Spark and Dask read it as it stands. It is filled from quote servers
(`quillan.store.sync`) or from a terminal's folder (`quillan.store.terminal`) and queried with
SQL through DuckDB views (`quillan.store.sql`).

Every file is written whole or not at all, and sync.json only after the data it describes: a
writer killed at any moment leaves each file as it was before or after, and the next run
finishes the job.
"""

from __future__ import annotations

import contextlib
import errno
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from quillan.store import checks, qlib, sql, sync, terminal, universe
from quillan.store.files import Layout, default_store_path, locked
from quillan.store.layout import (
    BUCKETS_DAILY,
    BUCKETS_INTRADAY,
    FREQS,
    Series,
    bars_series,
    bucket_of,
    market_name,
)
from quillan.store.listing import Days, read_listing
from quillan.store.parquet import FooterCache, pyarrow, read_parquet, read_series, split
from quillan.store.report import SyncReport
from quillan.store.state import read_state
from quillan.store.writer import Writer
from quillan.table import Table, import_optional
from quillan.vocabulary import (
    BAR_VALUES,
    INTRADAY,
    DateLike,
    SecurityLike,
    empty_bars,
    parse_day,
    parse_freq,
    parse_freqs,
    parse_securities,
    parse_security,
    parse_time,
    time_range,
)

if TYPE_CHECKING:
    from quillan.client import Client

__all__ = ["Store"]


class Store:
    """A dataset folder of Parquet files holding bars, ex-rights records and what was synced
    (see the package's documentation for its layout).

    ``Store(path=None, *, lock_timeout=30.0)``: without a path, ``$QUILLAN_STORE``, else
    ``quillan`` in the user's data folder. Writing (``sync``, ``import_terminal``,
    ``write_bars``) takes the store's lock file; a second writer waits up to ``lock_timeout``
    seconds (calling ``notify(message)`` at once, when set), then raises StoreBusyError.
    Reading needs no lock: files are replaced whole. Only writing creates a store: reading one
    that is not there (``bars``, ``xdxr``, ``sql``, ``connect``) raises FileNotFoundError.
    Ctrl-C stops a sync or an import at once with `quillan.store.Interrupted`, keeping what it
    finished. Needs the ``store`` extra (pyarrow and DuckDB).
    """

    def __init__(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        lock_timeout: float = 30.0,
        sql_sandbox: bool = False,
    ) -> None:
        self.path = Path(path) if path is not None else default_store_path()
        self.lock_timeout = lock_timeout
        # Called with a message when a writer waits for the lock, or upgrades the layout.
        self.notify: Callable[[str], object] | None = None
        pyarrow()  # a missing extra fails here, not halfway through a sync
        import_optional("duckdb", "quillan.Store", "store")
        self._layout = Layout(self.path)
        self._footers = FooterCache()
        self._sql_sandbox = sql_sandbox
        self._views = sql.Views(self._layout, sandbox=sql_sandbox)
        self._shape: tuple[list[tuple[str, int, int, int]], universe.Market] | None = None
        # Daily and longer bars had 64 buckets in earlier builds: such a store would show some
        # securities twice and miss others, so it is refused rather than read or written.
        for freq in FREQS:
            folder = self.path / "bars" / f"freq={freq}"
            if freq in INTRADAY or not folder.is_dir():
                continue
            for bucket in os.listdir(folder):
                number = bucket.removeprefix("bucket=")
                if number.isdigit() and int(number) >= BUCKETS_DAILY:
                    raise ValueError(
                        f"the store {self.path} keeps {freq} bars in {BUCKETS_INTRADAY} buckets, as earlier "
                        f"builds did ({folder / bucket}); this one keeps {BUCKETS_DAILY}: move the folder "
                        f"{folder} aside and import or sync its bars again"
                    )

    def __repr__(self) -> str:
        return f"quillan.Store({str(self.path)!r})"

    @property
    def exists(self) -> bool:
        """Whether a store is there (a sync or an import has written to the folder)."""
        return self._layout.exists()

    @contextlib.contextmanager
    def _writing(self) -> Iterator[Writer]:
        with locked(self._layout, self.lock_timeout, self.notify):
            writer = Writer(self._layout, self.notify)
            writer.reconcile()
            try:
                yield writer
                # The by-date copy, once the run's buckets are in place. A run that fails or is
                # stopped leaves it behind them (readers then read the buckets): the next run
                # makes it.
                writer.close()
            finally:
                writer.state.flush()

    def state(self) -> dict[str, dict[str, Any]]:
        """What is stored: ``{"sh600036/1d": {"last": "2024-03-15T00:00:00", "rows": 160,
        "source": "sync", "updated": ...}}``; it may lag the data after a killed run, never
        run ahead of it."""
        return read_state(self._layout.state)

    # -- bars

    def bars(
        self,
        security: SecurityLike,
        freq: str = "1d",
        *,
        start: DateLike | None = None,
        end: DateLike | None = None,
        count: int | None = None,
        adjust: Literal["forward", "backward"] | None = None,
        as_of: DateLike | None = None,
    ) -> Table:
        """The stored bars of one security as a Table of bars (`quillan.vocabulary`), oldest
        first; no rows when none are stored. `start`, `end`, `count`, `adjust` and `as_of` mean
        what they mean to `Client.bars`; adjusted prices use the stored ex-rights records."""
        target = parse_security(security)
        market = market_name(target)
        freq = parse_freq(freq)
        low, high = time_range(start, end)
        if adjust not in (None, "forward", "backward"):
            raise ValueError(f"adjust is 'forward', 'backward' or None, not {adjust!r}")
        if as_of is not None and adjust is None:
            raise ValueError("as_of anchors adjusted prices: give adjust='forward' or 'backward' too")
        if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 0):
            raise ValueError(f"count must be 0 or more, not {count!r}")
        self._layout.require()
        path = self._layout.bars(freq, bucket_of(market, target.code, freq))
        series = read_series(path, market, target.code, self._footers)
        if series is None:
            return empty_bars()
        bars = Table(
            {"datetime": series["time"].astype("datetime64[s]"), **{c: series[c] for c in BAR_VALUES}}
        )
        times = bars["datetime"]
        keep = np.ones(len(bars), dtype=bool)
        if low is not None:
            keep &= times >= low
        if high is not None:
            keep &= times <= high
        if not keep.all():
            bars = bars[keep]
        if count is not None and len(bars) > count:
            bars = bars[len(bars) - count :]
        if adjust is None:
            return bars
        from quillan.adjust import adjust as adjust_prices

        return adjust_prices(bars, self.xdxr(target), adjust, as_of=as_of)

    def xdxr(self, security: SecurityLike) -> Table:
        """The stored ex-rights records of one security, in `Client.xdxr`'s columns; no rows
        when none are stored."""
        target = parse_security(security)
        self._layout.require()
        stored = read_parquet(self._layout.xdxr(market_name(target) + target.code))
        if stored is None:
            from quillan.adjust import XDXR_VALUE_KEYS

            return Table(
                {
                    "date": np.zeros(0, "datetime64[D]"),
                    "category": np.zeros(0, np.int64),
                    "name": np.zeros(0, object),
                    **{key: np.zeros(0) for key in XDXR_VALUE_KEYS},
                }
            )
        columns = {name: stored.column(name).to_numpy(zero_copy_only=False) for name in stored.column_names}
        columns.pop("market")
        columns.pop("code")
        columns["date"] = columns["date"].astype("datetime64[D]")
        columns["name"] = columns["name"].astype(object)
        return Table(columns)

    def write_bars(self, security: SecurityLike, freq: str, bars: Table) -> int:
        """Merges the bars of one security into the store: they replace the stored rows from
        their first time on. Returns the number of rows now stored, or -1 when nothing changed
        (no file was touched)."""
        target = parse_security(security)
        market = market_name(target)
        freq = parse_freq(freq)
        series = bars_series(freq, bars)
        with self._writing() as writer:
            (result,) = writer.write_bucket(
                freq, bucket_of(market, target.code, freq), [(market, target.code, series, None)], "write"
            )
        if isinstance(result, Exception):
            raise result
        return result

    # -- filling the store

    def sync(
        self,
        client: Client,
        securities: SecurityLike | Iterable[SecurityLike],
        freqs: str | Sequence[str] = ("1d",),
        start: DateLike | None = None,
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
        names = parse_freqs(freqs)
        first = parse_time(start, "start")[0] if start is not None else None
        parsed = list(dict.fromkeys((market_name(s), s.code) for s in parse_securities(securities)))
        with self._writing() as writer:
            return sync.sync(writer, client, parsed, names, first, xdxr=xdxr, progress=progress)

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
        if not root.exists():
            raise FileNotFoundError(errno.ENOENT, "no such folder", str(root))
        if not root.is_dir():
            raise NotADirectoryError(errno.ENOTDIR, "not a folder", str(root))
        files = list(terminal.terminal_files(terminal.terminal_root(root)))
        if not files:
            raise FileNotFoundError(
                errno.ENOENT,
                "no bar files under it (a terminal's data folder holds sh/ and sz/ with lday/, minline/ "
                "and fzline/, or vipdoc/)",
                str(root),
            )
        with self._writing() as writer:
            return terminal.import_terminal(writer, files, threads=threads, progress=progress)

    # -- queries

    def connect(self) -> Any:
        """A DuckDB connection with the views ``bars``, ``xdxr``, ``factors`` and
        ``bars_adjusted`` over the files stored now (see `quillan.store.sql`)."""
        self._layout.require()
        return sql.connect(self._layout, sandbox=self._sql_sandbox)

    def sql(self, query: str) -> Table:
        """Runs a DuckDB query over the store's views and returns the result as a Table. The
        Store keeps one DuckDB connection, its views made again only when the store changed;
        queries from several threads run one at a time. A query has the program's own
        authority over files (DuckDB reads and writes any the program may) unless the Store
        was made with ``sql_sandbox=True``, which refuses every file but the store's and every
        statement but queries (PermissionError)."""
        self._layout.require()
        return self._views.query(query)

    def verify(self) -> list[checks.Problem]:
        """Reads every file of the store whole and checks it (`quillan.store.verify`): the
        problems found, each naming the file, what is wrong and how to make it right; none for
        a sound store."""
        self._layout.require()
        problems, _ = checks.verify(self._layout)
        return problems

    def close(self) -> None:
        """Closes the DuckDB connection of `sql` (a later query opens a new one)."""
        self._views.close()

    # -- the market's shape (`quillan.store.universe`)

    def _market(self) -> universe.Market:
        """The listing and calendar of the daily bars stored now (kept while the files stay)."""
        self._layout.require()
        paths = [self._layout.bars("1d", f"{n:02d}") for n in range(BUCKETS_DAILY)]
        mark = []
        for path in paths:
            with contextlib.suppress(FileNotFoundError):
                stat = path.stat()
                mark.append((path.name, stat.st_ino, stat.st_size, stat.st_mtime_ns))
        if self._shape is not None and self._shape[0] == mark:
            return self._shape[1]
        found = read_listing(paths, self._footers)
        if not len(found.markets):
            raise LookupError(
                f"the store {self.path} holds no daily bars, which its calendar and securities are "
                "made from: sync some (quillan sync SECURITY ...) or import a terminal's folder"
            )
        market = universe.Market.of(found)
        self._shape = (mark, market)
        return market

    def calendar(
        self, start: DateLike | None = None, end: DateLike | None = None
    ) -> npt.NDArray[np.datetime64]:
        """The trading days (``datetime64[D]``, ascending) from `start` to `end` (inclusive): the
        days the store holds a daily bar of an index on, or, before and after its index bars
        and without any, of at least half of the securities listed across the day (see
        `quillan.store.universe`). A day the store holds no bar of is never among them.
        LookupError for a store without daily bars."""
        calendar = self._market().calendar
        low, high = time_range(start, end)
        keep = np.ones(len(calendar), dtype=bool)
        if low is not None:
            keep &= calendar >= low.astype("datetime64[D]").astype(np.int64)
        if high is not None:
            keep &= calendar <= high.astype("datetime64[D]").astype(np.int64)
        return calendar[keep].astype("datetime64[D]")

    def securities(self) -> Table:
        """One row per security with daily bars in the store, by market and code: ``market``,
        ``code``, ``kind`` (`quillan.market.kind_of`), ``first`` and ``last`` (the days of its
        first and last daily bar), ``days`` (its daily bars), ``missing`` (trading days from
        its first to its last without a bar: suspensions, or holes in the data) and ``active``
        (its last bar is on the calendar's last day). LookupError for a store without daily
        bars."""
        market = self._market()
        return market.securities(self._off_calendar)

    def _off_calendar(self, days: Days) -> dict[tuple[str, str], int]:
        """The daily bars of each security on the days `days`."""
        listed = ", ".join(f"TIMESTAMP '{day}'" for day in days.astype("datetime64[D]"))
        found = self._views.query(
            f"SELECT market, code, count(*) AS n FROM bars WHERE freq = '1d' AND datetime IN ({listed}) "
            "GROUP BY market, code"
        )
        return {
            (str(m), str(c)): int(n)
            for m, c, n in zip(found["market"], found["code"], found["n"], strict=True)
        }

    def universe(self, day: DateLike) -> Table:
        """The securities listed across a trading day (`securities` whose ``first`` is on or
        before it and ``last`` on or after it), delisted ones included: the universe of a
        backtest free of survivorship bias. ValueError for a day that is not on the calendar."""
        wanted = parse_day(day, "day")
        calendar = self.calendar()
        if not len(calendar) or not calendar[0] <= wanted <= calendar[-1]:
            raise ValueError(
                f"{wanted} is outside the store's calendar, which runs from {calendar[0]} to {calendar[-1]}"
            )
        at = int(np.searchsorted(calendar, wanted))
        if calendar[at] != wanted:
            raise ValueError(
                f"{wanted} is not a trading day of the store's calendar (the trading days around it: "
                f"{calendar[at - 1]} and {calendar[at]})"
            )
        table = self.securities()
        listed: Table = table[(table["first"] <= wanted) & (table["last"] >= wanted)]
        return listed

    def gaps(self, security: SecurityLike, freq: str = "1d") -> npt.NDArray[np.datetime64]:
        """The trading days (``1d``: ``datetime64[D]``) or, for intraday bars, the bar times of
        the trading days' sessions (``datetime64[s]``, `quillan.market.bar_times`) from a
        security's first stored bar to its last that it has no bar at: suspensions, or holes to
        fill. LookupError when the store holds no such bars of it."""
        target = parse_security(security)
        freq = parse_freq(freq)
        if freq != "1d" and freq not in INTRADAY:
            raise ValueError(f"gaps are found in daily and intraday bars, not {freq}")
        times = self.bars(target, freq)["datetime"]
        if not len(times):
            raise LookupError(
                f"the store {self.path} holds no {freq} bars of {market_name(target)}{target.code}"
            )
        return universe.gaps_of(self._market().calendar, times, freq)

    def export_qlib(
        self,
        path: str | os.PathLike[str],
        *,
        securities: SecurityLike | Iterable[SecurityLike] | None = None,
        start: DateLike | None = None,
        end: DateLike | None = None,
        progress: bool | None = None,
    ) -> int:
        """Writes the daily bars of `securities` (default: every one stored) from `start` to
        `end` as a qlib dataset at `path` (`quillan.store.qlib`: its calendar, its instruments
        and a file per field and security, adjusted as qlib expects), replacing a dataset an
        export left there; returns the number of securities written. The dataset appears
        whole or not at all. LookupError for a security without daily bars in the store,
        ValueError when no trading day is between `start` and `end`."""
        market = self._market()
        calendar = self.calendar(start, end).astype(np.int64)
        if not len(calendar):
            raise ValueError(f"no trading day of the store's calendar is from {start} to {end}")
        listing = market.listing
        stored = list(zip(listing.markets, listing.codes, strict=True))
        if securities is None:
            keys = stored
        else:
            keys = list(dict.fromkeys((market_name(s), s.code) for s in parse_securities(securities)))
            missing = sorted(set(keys) - set(stored))
            if missing:
                names = ", ".join(m + c for m, c in missing[:5]) + (" ..." if len(missing) > 5 else "")
                raise LookupError(f"the store {self.path} holds no daily bars of {names}")
        by_bucket: dict[str, list[tuple[str, str]]] = {}
        for m, c in sorted(keys):
            by_bucket.setdefault(bucket_of(m, c, "1d"), []).append((m, c))
        buckets = sorted(by_bucket)
        steps: dict[tuple[str, str], qlib.Steps] = {}
        table = self._views.query(
            "SELECT market, code, start, factor FROM factors ORDER BY market, code, start"
        )
        if len(table):
            symbols = np.char.add(table["market"].astype(str), table["code"].astype(str))
            cuts = np.flatnonzero(np.append(True, symbols[1:] != symbols[:-1]))
            starts = table["start"].astype("datetime64[ms]").astype(np.int64)
            for a, b in zip(cuts.tolist(), [*cuts[1:].tolist(), len(table)], strict=True):
                steps[(str(table["market"][a]), str(table["code"][a]))] = (starts[a:b], table["factor"][a:b])

        def read(i: int) -> dict[tuple[str, str], Series]:
            return split(read_parquet(self._layout.bars("1d", buckets[i])))

        return qlib.export(
            Path(path), calendar, [by_bucket[b] for b in buckets], read, steps, progress=progress
        )
