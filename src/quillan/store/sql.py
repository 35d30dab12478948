"""The SQL side of a store: DuckDB views over its files.

- ``bars``: market, code, freq, datetime (the files' ``time``), open, high, low, close, amount,
  volume: the bar schema, with the security and the frequency; daily bars from the by-date copy
  (`quillan.store.bydate`), so that a question about a day or a year reads that time alone;
- ``xdxr``: market, code, date, category, name and the value columns of ex-rights records;
- ``factors``: market, code, start, factor;
- ``bars_adjusted``: ``bars`` with forward-adjusted prices and an ``adj_factor`` column,
  anchored at the last stored daily bar.

The views name the store's files one by one, each frequency taken from where the store put the
file, never from folder names above the store or a pattern that could match another folder.
A query has the authority of the program that runs it: DuckDB reads and writes any file the
program may (``read_csv('/etc/...')``, ``COPY ... TO``). `Views(sandbox=True)` refuses every
file but the store's and every statement but queries, for programs that pass queries written
by others.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Iterable
from pathlib import Path
from typing import Any

from quillan.adjust import XDXR_VALUE_KEYS
from quillan.store import bydate
from quillan.store.files import Layout
from quillan.store.layout import FREQS
from quillan.store.parquet import FooterCache, arrow_table
from quillan.table import Table, import_optional

__all__ = ["Views", "connect"]

_VALUES = ("open", "high", "low", "close", "amount", "volume")


def _duckdb() -> Any:
    return import_optional("duckdb", "quillan.Store", "store")


def _quoted(path: Path) -> str:
    return "'" + str(path).replace("'", "''") + "'"


def _files(pattern_root: Path, kind: str) -> list[Path]:
    """The data files of ``xdxr`` or ``factors``: one per symbol folder."""
    folder = pattern_root / kind
    if not folder.is_dir():
        return []
    found = []
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.name.startswith("symbol=") and entry.is_dir(follow_symlinks=False):
                path = Path(entry.path) / "data.parquet"
                if path.is_file():
                    found.append(path)
    return sorted(found)


def bar_files(layout: Layout, footers: FooterCache) -> dict[str, list[Path]]:
    """The files that hold the bars of each frequency: the bucket files, but for daily bars the
    by-date copy's year files while they were made from the bucket files there are."""
    found: dict[str, list[Path]] = {}
    for freq in FREQS:
        folder = layout.root / "bars" / f"freq={freq}"
        if not folder.is_dir() or folder.is_symlink():
            continue
        with os.scandir(folder) as entries:
            buckets = sorted(
                entry.name.removeprefix("bucket=")
                for entry in entries
                if entry.name.startswith("bucket=") and entry.is_dir(follow_symlinks=False)
            )
        held = {b: layout.bars(freq, b) for b in buckets}
        held = {b: path for b, path in held.items() if path.is_file()}
        files = list(held.values())
        if freq == "1d" and files:
            manifest = bydate.Manifest.read(layout.root)
            generations = {}
            for bucket, path in held.items():
                with contextlib.suppress(FileNotFoundError):
                    generations[bucket] = bydate.generation_of(footers.footer_of(path))
            if manifest is not None and not bydate.stale_buckets(manifest, generations):
                files = manifest.files(layout.root)
        if files:
            found[freq] = files
    return found


def _read(files: Iterable[Path]) -> str:
    """read_parquet of these files, their columns alone: no folder name becomes a column."""
    return f"read_parquet([{', '.join(map(_quoted, files))}], hive_partitioning = false)"


def _union(parts: Iterable[str], empty: str) -> str:
    parts = list(parts)
    return " UNION ALL ".join(parts) if parts else f"SELECT {empty} WHERE false"


def create_views(con: Any, layout: Layout, footers: FooterCache | None = None) -> None:
    """(Re)creates the views on `con` over the files stored now."""
    values = ", ".join(_VALUES)
    bars = _union(
        (
            f"SELECT market, code, '{freq}' AS freq, time AS datetime, {values} FROM {_read(files)}"
            for freq, files in bar_files(layout, footers or FooterCache()).items()
        ),
        "NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::VARCHAR AS freq, NULL::TIMESTAMP AS datetime, "
        + ", ".join(f"NULL::DOUBLE AS {c}" for c in _VALUES),
    )
    con.execute(f"CREATE OR REPLACE VIEW bars AS {bars}")
    columns = f"market, code, date, category, name, {', '.join(XDXR_VALUE_KEYS)}"
    xdxr = _files(layout.root, "xdxr")
    con.execute(
        "CREATE OR REPLACE VIEW xdxr AS "
        + (
            f"SELECT {columns} FROM {_read(xdxr)}"
            if xdxr
            else "SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::DATE AS date, "
            "NULL::BIGINT AS category, NULL::VARCHAR AS name, "
            + ", ".join(f"NULL::DOUBLE AS {key}" for key in XDXR_VALUE_KEYS)
            + " WHERE false"
        )
    )
    factors = _files(layout.root, "factors")
    con.execute(
        "CREATE OR REPLACE VIEW factors AS "
        + (
            f"SELECT market, code, start, factor FROM {_read(factors)}"
            if factors
            else "SELECT NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::TIMESTAMP AS start, "
            "NULL::DOUBLE AS factor WHERE false"
        )
    )
    con.execute(
        "CREATE OR REPLACE VIEW bars_adjusted AS SELECT b.market, b.code, b.freq, b.datetime, "
        "b.open * coalesce(f.factor, 1) AS open, b.high * coalesce(f.factor, 1) AS high, "
        "b.low * coalesce(f.factor, 1) AS low, b.close * coalesce(f.factor, 1) AS close, "
        "b.amount, b.volume, coalesce(f.factor, 1) AS adj_factor "
        "FROM bars b ASOF LEFT JOIN factors f "
        "ON b.market = f.market AND b.code = f.code AND b.datetime >= f.start"
    )


def connect(layout: Layout, *, sandbox: bool = False, footers: FooterCache | None = None) -> Any:
    """A new DuckDB connection with the views over the files stored now."""
    con = _duckdb().connect()
    con.execute("SET parquet_metadata_cache = true")
    create_views(con, layout, footers)
    if sandbox:
        _sandbox(con, layout)
    return con


def _sandbox(con: Any, layout: Layout) -> None:
    """Lets the connection read the store's folder and nothing else, and write nothing."""
    con.execute(f"SET allowed_directories = [{_quoted(layout.root.resolve())}]")
    con.execute("SET enable_external_access = false")
    con.execute("SET lock_configuration = true")


def _refuse_all_but_queries(con: Any, text: str) -> None:
    """PermissionError for anything in `text` that is not a query: a statement such as COPY,
    ATTACH or CREATE could write files, the store's own among them."""
    kinds = {str(statement.type).rsplit(".", 1)[-1] for statement in con.extract_statements(text)}
    others = kinds - {"SELECT", "EXPLAIN"}
    if others:
        refused = ", ".join(sorted(others))
        raise PermissionError(f"a sandboxed store answers queries (SELECT) only, not {refused}")


class Views:
    """One DuckDB connection of a Store, its views made once and made again when the store has
    changed since (a writer marks each change on the store's lock file). Queries from several
    threads run one at a time."""

    def __init__(self, layout: Layout, *, sandbox: bool = False) -> None:
        self._layout = layout
        self._sandbox = sandbox
        self._lock = threading.Lock()
        self._con: Any = None
        self._mark: int | None = None
        self._footers = FooterCache()

    def _changed_mark(self) -> int | None:
        try:
            return os.stat(self._layout.lock, follow_symlinks=False).st_mtime_ns
        except FileNotFoundError:
            return None

    def query(self, text: str) -> Table:
        """Runs a DuckDB query over the views and returns the result as a Table (no columns
        for a statement without rows)."""
        duckdb = _duckdb()
        with self._lock:
            for attempt in range(2):
                mark = self._changed_mark()
                if self._con is None:
                    self._con = connect(self._layout, sandbox=self._sandbox, footers=self._footers)
                elif mark != self._mark or attempt:
                    create_views(self._con, self._layout, self._footers)
                self._mark = mark
                if self._sandbox:
                    _refuse_all_but_queries(self._con, text)
                try:
                    relation = self._con.sql(text)
                    if relation is None:
                        return Table({})
                    # DuckDB 1.4 renamed arrow() to to_arrow_table(); 2.0 dropped the old name.
                    fetch = getattr(relation, "to_arrow_table", None) or relation.arrow
                    return arrow_table(fetch())
                except duckdb.IOException:
                    # A writer replaced a file between the views and the query: once more,
                    # over the files there are now.
                    if attempt:
                        raise
            raise AssertionError("unreachable")

    def close(self) -> None:
        with self._lock:
            if self._con is not None:
                self._con.close()
                self._con = None
