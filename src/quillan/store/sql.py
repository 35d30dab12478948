"""The SQL side of a store: DuckDB views over its files.

- ``bars``: market, code, freq, datetime (the files' ``time``), open, high, low, close, amount,
  volume: the bar schema, with the security and the frequency;
- ``xdxr``: market, code, date, category, name and the value columns of ex-rights records;
- ``factors``: market, code, start, factor;
- ``bars_adjusted``: ``bars`` with forward-adjusted prices and an ``adj_factor`` column,
  anchored at the last stored daily bar.
"""

from __future__ import annotations

from typing import Any

from quillan.adjust import XDXR_VALUE_KEYS
from quillan.store.files import Layout
from quillan.store.parquet import arrow_table
from quillan.table import Table, import_optional

__all__ = ["connect", "query"]


def _duckdb() -> Any:
    return import_optional("duckdb", "quillan.Store", "store")


def _source(layout: Layout, kind: str, depth: int, types: str) -> str | None:
    pattern = "/".join(["*"] * depth) + "/data.parquet"
    if not any((layout.root / kind).glob(pattern)):
        return None
    root = str(layout.root).replace("'", "''")
    return f"read_parquet('{root}/{kind}/{pattern}', hive_partitioning = true, hive_types = {{{types}}})"


def _view(con: Any, name: str, columns: str, source: str | None, empty: str) -> None:
    """CREATE VIEW name AS SELECT columns FROM source, or FROM a row of typed NULLs that is
    never there (`empty`), so that a query over a store without such files sees no rows."""
    origin = source if source is not None else f"(SELECT {empty}) WHERE false"
    con.execute(f"CREATE VIEW {name} AS SELECT {columns} FROM {origin}")


def connect(layout: Layout) -> Any:
    """A DuckDB connection with the views over the files stored now."""
    con = _duckdb().connect()
    _view(
        con,
        "bars",
        "market, code, freq, time AS datetime, open, high, low, close, amount, volume",
        _source(layout, "bars", 2, "'freq': VARCHAR, 'bucket': VARCHAR"),
        "NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::VARCHAR AS freq, NULL::TIMESTAMP AS time, "
        + ", ".join(f"NULL::DOUBLE AS {c}" for c in ("open", "high", "low", "close", "amount", "volume")),
    )
    values = ", ".join(XDXR_VALUE_KEYS)
    _view(
        con,
        "xdxr",
        f"market, code, date, category, name, {values}",
        _source(layout, "xdxr", 1, "'symbol': VARCHAR"),
        "NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::DATE AS date, NULL::BIGINT AS category, "
        "NULL::VARCHAR AS name, " + ", ".join(f"NULL::DOUBLE AS {key}" for key in XDXR_VALUE_KEYS),
    )
    _view(
        con,
        "factors",
        "market, code, start, factor",
        _source(layout, "factors", 1, "'symbol': VARCHAR"),
        "NULL::VARCHAR AS market, NULL::VARCHAR AS code, NULL::TIMESTAMP AS start, NULL::DOUBLE AS factor",
    )
    con.execute(
        "CREATE VIEW bars_adjusted AS SELECT b.market, b.code, b.freq, b.datetime, "
        "b.open * coalesce(f.factor, 1) AS open, b.high * coalesce(f.factor, 1) AS high, "
        "b.low * coalesce(f.factor, 1) AS low, b.close * coalesce(f.factor, 1) AS close, "
        "b.amount, b.volume, coalesce(f.factor, 1) AS adj_factor "
        "FROM bars b ASOF LEFT JOIN factors f "
        "ON b.market = f.market AND b.code = f.code AND b.datetime >= f.start"
    )
    return con


def query(layout: Layout, text: str) -> Table:
    """Runs a DuckDB query over the views and returns the result as a Table (no columns for a
    statement without rows)."""
    con = connect(layout)
    try:
        relation = con.sql(text)
        if relation is None:
            return Table({})
        # DuckDB 1.4 renamed arrow() to to_arrow_table(); 2.0 dropped the old name.
        fetch = getattr(relation, "to_arrow_table", None) or relation.arrow
        result = fetch()
    finally:
        con.close()
    return arrow_table(result)
