"""Reading and writing a store's Parquet files: the bucket files of bars, and the small files
of ex-rights records and factors.

A bucket file's columns: ``market`` (``sh``/``sz``) and ``code`` (dictionary encoded), ``time``
(timestamp in milliseconds without a zone), ``open``, ``high``, ``low``, ``close``, ``amount``,
``volume`` (float64), none of them null. Only market, code and time carry statistics, which let
a reader skip the row groups of other securities.
"""

from __future__ import annotations

import contextlib
import errno
import os
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from quillan.atomic import write_atomically, write_temporary
from quillan.store.layout import Series
from quillan.table import Table, import_optional
from quillan.vocabulary import BAR_VALUES

__all__ = [
    "DamagedFileError",
    "FooterCache",
    "arrow_bars",
    "arrow_table",
    "bucket_table",
    "read_parquet",
    "read_series",
    "same_tables",
    "security_groups",
    "security_runs",
    "split",
    "table_of",
    "write_bars_file",
    "write_parquet",
]


def pyarrow() -> Any:
    return import_optional("pyarrow", "quillan.Store", "store")


def _parquet() -> Any:
    return import_optional("pyarrow.parquet", "quillan.Store", "store")


def time_type() -> Any:
    """The type of the store's times: Parquet keeps them in milliseconds at the coarsest."""
    return pyarrow().timestamp("ms")


def _arrow(values: np.ndarray, kind: Any) -> Any:
    """An Arrow array of fixed-width values without nulls, over the NumPy array's own buffer."""
    pa = pyarrow()
    return pa.Array.from_buffers(kind, len(values), [None, pa.py_buffer(np.ascontiguousarray(values))])


def _arrow_strings(texts: list[str]) -> Any:
    pa = pyarrow()
    encoded = [text.encode() for text in texts]
    offsets = np.zeros(len(encoded) + 1, dtype=np.int32)
    np.cumsum([len(data) for data in encoded], out=offsets[1:])
    return pa.Array.from_buffers(
        pa.string(), len(encoded), [None, pa.py_buffer(offsets), pa.py_buffer(b"".join(encoded))]
    )


class DamagedFileError(OSError):
    """A file of the store that cannot be read as what it should be: its message names the
    file and what is wrong, and `quillan verify` says how to make it again."""

    def __init__(self, path: Path, why: BaseException | str) -> None:
        super().__init__(errno.EIO, f"damaged: {' '.join(str(why).split())}", str(path))


@contextlib.contextmanager
def reading(path: Path) -> Iterator[None]:
    """Turns a failure to decode the file at `path` into a DamagedFileError naming it (a file
    that is not there stays a FileNotFoundError)."""
    try:
        yield
    except (FileNotFoundError, DamagedFileError):
        raise
    except (OSError, ValueError, TypeError, IndexError, KeyError) as err:
        raise DamagedFileError(path, err) from err


def parquet_file(f: Any, metadata: Any = None, read_dictionary: Sequence[str] | None = None) -> Any:
    """A ParquetFile whose pages are checked against their checksums as they are read."""
    return _parquet().ParquetFile(
        f, metadata=metadata, read_dictionary=read_dictionary, page_checksum_verification=True
    )


def read_parquet(path: Path) -> Any | None:
    """One file as it stands (None when there is none): ParquetFile skips the dataset discovery
    of read_table. DamagedFileError for a file that does not decode."""
    try:
        with open(path, "rb") as f, reading(path):
            return parquet_file(f).read(use_threads=False)
    except FileNotFoundError:
        return None


def read_metadata(path: Path) -> Any:
    """A file's footer (FileNotFoundError without the file)."""
    return _parquet().read_metadata(path)


def write_parquet(path: Path, table: Any) -> None:
    write_atomically(
        path, lambda tmp: _parquet().write_table(table, tmp, compression="zstd", write_page_checksum=True)
    )


class FooterCache:
    """The parsed footers of the files a Store reads, each kept as long as its file is the same
    (same inode, size and modification time): a second read of a file skips the footer."""

    def __init__(self) -> None:
        self._footers: dict[Path, tuple[tuple[int, int, int], Any]] = {}

    def footer_of(self, path: Path) -> Any:
        """The footer of the file at `path` (FileNotFoundError without one)."""
        with open(path, "rb") as f:
            return self.footer(path, f)

    def footer(self, path: Path, f: Any) -> Any:
        stat = os.fstat(f.fileno())
        key = (stat.st_ino, stat.st_size, stat.st_mtime_ns)
        held = self._footers.get(path)
        if held is not None and held[0] == key:
            return held[1]
        with reading(path):
            footer = _parquet().read_metadata(f)
        self._footers[path] = (key, footer)
        return footer


def read_series(path: Path, market: str, code: str, footers: FooterCache | None = None) -> Series | None:
    """One security's bars from a bucket file, reading only the row groups whose statistics may
    hold it; None when it holds none."""
    # One descriptor: a writer renaming a new file in does not disturb the reading.
    with contextlib.suppress(FileNotFoundError), open(path, "rb") as f, reading(path):
        meta = footers.footer(path, f) if footers is not None else None
        parquet = parquet_file(f, meta)
        meta = parquet.metadata
        columns = [parquet.schema_arrow.get_field_index(name) for name in ("market", "code")]
        groups, alone = [], True
        for i in range(meta.num_row_groups):
            group = meta.row_group(i)
            stats = [group.column(c).statistics for c in columns]
            if any(
                st is not None and st.has_min_max and not st.min <= key <= st.max
                for st, key in zip(stats, (market, code), strict=True)
            ):
                continue
            groups.append(i)
            alone = alone and all(st is not None and st.has_min_max and st.min == st.max for st in stats)
        if not groups:
            return None
        if alone:  # row groups of this security alone: no rows to sort out
            table = parquet.read_row_groups(groups, columns=["time", *BAR_VALUES], use_threads=False)
            return {name: table.column(name).to_numpy() for name in ("time", *BAR_VALUES)}
        return split(parquet.read_row_groups(groups, use_threads=False)).get((market, code))
    return None


def security_runs(table: Any) -> tuple[list[tuple[str, str]], np.ndarray]:
    """The securities of a table of bars sorted by market and code (a table with rows), in
    order, and the row each one's run starts at."""
    keys = []
    for name in ("market", "code"):
        encoded = table.column(name).combine_chunks().dictionary_encode()
        keys.append((encoded.indices.to_numpy(), encoded.dictionary.to_pylist()))
    (markets, market_names), (codes, code_names) = keys
    starts = np.flatnonzero(np.append(True, (markets[1:] != markets[:-1]) | (codes[1:] != codes[:-1])))
    return [(market_names[markets[a]], code_names[codes[a]]) for a in starts.tolist()], starts


def split(table: Any | None) -> dict[tuple[str, str], Series]:
    """The series of each security in a table of bars sorted by market, code and time."""
    if table is None or table.num_rows == 0:
        return {}
    found, starts = security_runs(table)
    ends = np.append(starts[1:], table.num_rows)
    columns = {name: table.column(name).to_numpy() for name in ("time", *BAR_VALUES)}
    return {
        key: {name: v[a:b] for name, v in columns.items()}
        for key, a, b in zip(found, starts.tolist(), ends.tolist(), strict=True)
    }


def bucket_table(series: dict[tuple[str, str], Series], group_rows: int) -> tuple[Any, list[int]]:
    """The rows of a bucket as one Arrow table sorted by market, code and time, and the sizes
    of its row groups (`security_groups`)."""
    keys = sorted(key for key, s in series.items() if len(s["time"]))
    counts = np.array([len(series[key]["time"]) for key in keys], dtype=np.int64)
    columns = {name: np.concatenate([series[k][name] for k in keys]) for name in ("time", *BAR_VALUES)}
    return table_of(keys, counts, columns, group_rows)


def security_groups(keys: Sequence[tuple[str, str]], counts: np.ndarray, group_rows: int) -> list[int]:
    """Row groups of whole securities, as many as fit in `group_rows` (one, however long, when
    it alone is longer) and of one market each: a group's statistics then name its securities
    closely enough that a reader of one security skips the others."""
    groups: list[int] = []
    rows, market = 0, None
    for (name, _), count in zip(keys, counts.tolist(), strict=True):
        if rows and (rows + count > group_rows or name != market):
            groups.append(rows)
            rows = 0
        rows += count
        market = name
    if rows:
        groups.append(rows)
    return groups


def arrow_bars(keys: Sequence[tuple[str, str]], owner: np.ndarray, values: Series) -> Any:
    """An Arrow table of bars in the files' schema: row i is of the security ``keys[owner[i]]``
    (keys sorted), with the values of row i of ``values``."""
    pa = pyarrow()
    # Built from buffers: pa.array would import pandas, a quarter of a second for an import.
    # Market and code as dictionary arrays, which the file stores as they are.
    markets = sorted({market for market, _ in keys})
    of_market = np.array([markets.index(market) for market, _ in keys], dtype=np.int32)
    owner = owner.astype(np.int32, copy=False)
    columns = {
        "market": pa.DictionaryArray.from_arrays(
            _arrow(of_market[owner], pa.int32()), _arrow_strings(markets)
        ),
        "code": pa.DictionaryArray.from_arrays(
            _arrow(owner, pa.int32()), _arrow_strings([c for _, c in keys])
        ),
        "time": _arrow(values["time"], time_type()),
        **{name: _arrow(values[name], pa.float64()) for name in BAR_VALUES},
    }
    # No column holds nulls, and saying so spares the file its definition levels.
    schema = pa.schema([pa.field(name, array.type, nullable=False) for name, array in columns.items()])
    return pa.Table.from_arrays(list(columns.values()), schema=schema)


def table_of(
    keys: Sequence[tuple[str, str]], counts: np.ndarray, values: Series, group_rows: int
) -> tuple[Any, list[int]]:
    """`bucket_table` of the securities ``keys`` (in order), whose rows are the next ``counts``
    rows of the columns ``values`` each."""
    owner = np.repeat(np.arange(len(keys), dtype=np.int32), counts)
    return arrow_bars(keys, owner, values), security_groups(keys, counts, group_rows)


def write_bars_file(
    path: Path,
    table: Any,
    groups: list[int],
    metadata: dict[str, str] | None = None,
    *,
    compression: str = "zstd",
    statistics: Sequence[str] = ("market", "code", "time"),
) -> str:
    """Writes a file of bars under a temporary name beside `path` and returns that name (not yet
    flushed nor in place: `quillan.atomic.put_in_place`), in row groups of the `groups` sizes,
    with the key-value `metadata`, statistics of the `statistics` columns."""

    # Only the columns a reader filters on carry statistics; market and code repeat, so they
    # are dictionary encoded. Amount and volume are stored byte stream split (the bytes of each
    # rank side by side): zstd then packs them smaller, in less time; prices, which repeat
    # whole, pack smaller as they are. Readers of Parquet 2.8 on decode it. No Arrow schema is
    # stored: it would make market and code dictionary columns to Arrow readers, where the
    # Parquet types make them strings.
    def write(tmp: str) -> None:
        with _parquet().ParquetWriter(
            tmp,
            table.schema,
            store_schema=False,
            compression=compression,
            compression_level=1 if compression == "zstd" else None,
            write_page_checksum=True,
            use_dictionary=["market", "code"],
            column_encoding={"amount": "BYTE_STREAM_SPLIT", "volume": "BYTE_STREAM_SPLIT"},
            write_statistics=list(statistics),
        ) as writer:
            offset = 0
            for rows in groups:
                writer.write_table(table.slice(offset, rows), row_group_size=rows)
                offset += rows
            if metadata:
                writer.add_key_value_metadata(metadata)

    return write_temporary(path, write)


def same_tables(a: Any, b: Any) -> bool:
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


def arrow_table(table: Any) -> Table:
    """An Arrow table (a query's result) as a Table; times in seconds, dates as days."""
    columns: dict[str, np.ndarray] = {}
    for name in table.column_names:
        values = table.column(name).to_numpy()
        if values.dtype.kind == "M" and values.dtype != np.dtype("datetime64[D]"):
            values = values.astype("datetime64[s]")
        columns[name] = values
    return Table(columns)
