"""quillan.Table: a columnar result, lent to NumPy, pandas, Arrow and polars.

A Table is a fixed, ordered set of equal-length one-dimensional NumPy arrays. Its columns are
read-only views: ``to_numpy()`` lends them without copying, and the other conversions copy at
most once. Time columns are ``datetime64``; when the Table has a time zone, its ``datetime64``
columns of second (or finer) resolution hold UTC instants, shown in that zone by pandas, Arrow
and polars.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable, Iterator, Mapping
from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Table"]

# The extra that installs each optional package.
_EXTRAS = {"pandas": "pandas", "pyarrow": "arrow", "polars": "polars", "duckdb": "store"}


def import_optional(name: str, purpose: str, extra: str | None = None) -> ModuleType:
    """Imports an optional dependency, or raises ImportError naming the extra that installs it
    (`extra`, else the package's own: pyarrow comes with ``arrow``, DuckDB with ``store``)."""
    try:
        return importlib.import_module(name)
    except ImportError as err:
        extra = extra or _EXTRAS.get(name.partition(".")[0], name)
        raise ImportError(f"{purpose} needs {name}: install it with pip install 'quillan[{extra}]'") from err


def _as_column(name: str, values: npt.ArrayLike) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"column {name!r} is not one-dimensional (shape {array.shape})")
    if array.dtype.kind == "U":
        array = array.astype(object)
    if array.flags.writeable:
        array = array.view()
        array.flags.writeable = False
    return array


def _cell(value: Any) -> str:
    """A value as `repr` shows it: floats in their shortest exact form, times in ISO form."""
    return repr(float(value)) if isinstance(value, np.floating) else str(value)


class Table:
    """Equal-length named columns in a fixed order.

    ``Table({"date": dates, "close": closes})`` builds one from anything ``numpy.asarray``
    takes; the arrays are not copied when they are already NumPy arrays.
    """

    __slots__ = ("_columns", "_tz")

    def __init__(self, columns: Mapping[str, npt.ArrayLike], *, tz: str | None = None) -> None:
        built: dict[str, np.ndarray] = {}
        length: int | None = None
        for name, values in columns.items():
            if not isinstance(name, str):
                raise TypeError(f"column names are str, not {type(name).__name__}")
            array = _as_column(name, values)
            if length is None:
                length = len(array)
            elif len(array) != length:
                raise ValueError(
                    f"column {name!r} has {len(array)} rows, but the columns before it have {length}"
                )
            built[name] = array
        self._columns = built
        self._tz = tz

    # -- the mapping of names to columns

    @property
    def columns(self) -> tuple[str, ...]:
        """The column names, in order."""
        return tuple(self._columns)

    @property
    def tz(self) -> str | None:
        """The time zone of the datetime columns, or None for naive times."""
        return self._tz

    def __len__(self) -> int:
        for array in self._columns.values():
            return len(array)
        return 0

    def __contains__(self, name: object) -> bool:
        return name in self._columns

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __getitem__(self, key: str | slice | npt.NDArray[Any]) -> Any:
        """``t["close"]`` is a column; ``t[10:20]``, ``t[mask]`` and ``t[indices]`` are Tables."""
        if isinstance(key, str):
            try:
                return self._columns[key]
            except KeyError:
                raise KeyError(f"no column {key!r}; the columns are {', '.join(self._columns)}") from None
        return self._rows(key)

    def __repr__(self) -> str:
        """The shape and dtypes, then the first and last rows (five each) and as many columns
        as fit in a hundred characters."""
        kinds = ", ".join(f"{name}: {array.dtype}" for name, array in self._columns.items())
        zone = f", tz={self._tz!r}" if self._tz else ""
        head = f"<quillan.Table {len(self)} row{'' if len(self) == 1 else 's'} ({kinds}){zone}>"
        if not self._columns or not len(self):
            return head
        n = len(self)
        rows = list(range(n)) if n <= 10 else [*range(5), -1, *range(n - 5, n)]
        lines: list[list[str]] = []
        for name, array in self._columns.items():
            cells = [name, *("…" if i < 0 else _cell(array[i]) for i in rows)]
            lines.append(cells)
        shown: list[list[str]] = []
        width = 0
        for cells in lines:
            wide = max(len(c) for c in cells)
            if shown and width + wide + 2 > 100:
                break
            shown.append([c.rjust(wide) for c in cells])
            width += wide + 2
        more = len(lines) - len(shown)
        text = ["  ".join(parts).rstrip() for parts in zip(*shown, strict=True)]
        if more:
            text[0] += f"  … {more} more column{'s' if more > 1 else ''}"
        return "\n".join([head, *text])

    def head(self, n: int = 5) -> Table:
        """The first `n` rows."""
        return self._rows(slice(0, max(0, n)))

    def tail(self, n: int = 5) -> Table:
        """The last `n` rows."""
        return self._rows(slice(max(0, len(self) - max(0, n)), None))

    def _rows(self, key: slice | npt.NDArray[Any]) -> Table:
        return Table({name: array[key] for name, array in self._columns.items()}, tz=self._tz)

    def row(self, i: int) -> dict[str, Any]:
        """Row `i` (from the end when negative) as a dict of its values, column by column;
        IndexError beyond the rows."""
        n = len(self)
        if not -n <= i < n:
            raise IndexError(f"row {i} of a Table of {n} rows")
        return {
            name: array[i].item() if array.dtype.kind != "O" else array[i]
            for name, array in self._columns.items()
        }

    def equals(self, other: Table) -> bool:
        """True when both have the same names, dtypes, time zone and values (NaN equal to NaN)."""
        if self.columns != other.columns or self._tz != other._tz:
            return False
        for name, array in self._columns.items():
            theirs = other._columns[name]
            if array.dtype != theirs.dtype or len(array) != len(theirs):
                return False
            if array.dtype.kind in "fc":
                if not np.array_equal(array, theirs, equal_nan=True):
                    return False
            elif not np.array_equal(array, theirs):
                return False
        return True

    @staticmethod
    def concat(tables: Iterable[Table]) -> Table:
        """The rows of every table in order; they must have the same columns and time zone."""
        tables = list(tables)
        if not tables:
            raise ValueError("concat needs at least one Table")
        first = tables[0]
        for t in tables[1:]:
            if t.columns != first.columns or t._tz != first._tz:
                raise ValueError("concat needs Tables with the same columns and time zone")
        if len(tables) == 1:
            return first
        return Table(
            {name: np.concatenate([t._columns[name] for t in tables]) for name in first.columns},
            tz=first._tz,
        )

    # -- conversions

    def to_numpy(self) -> dict[str, np.ndarray]:
        """The columns as read-only NumPy arrays sharing the Table's memory."""
        return dict(self._columns)

    def _time_index_name(self) -> str | None:
        for name, array in self._columns.items():
            if array.dtype.kind == "M":
                return name
        return None

    def to_pandas(self) -> Any:
        """A pandas DataFrame; the first datetime column becomes its DatetimeIndex.

        Needs the ``pandas`` extra. Numeric columns are copied once into the frame.
        """
        pd = import_optional("pandas", "Table.to_pandas()")
        index_name = self._time_index_name()
        data = {name: array for name, array in self._columns.items() if name != index_name}
        if index_name is None:
            return pd.DataFrame(data, copy=True)
        index = pd.DatetimeIndex(self._columns[index_name], name=index_name)
        if self._tz is not None and self._columns[index_name].dtype != np.dtype("datetime64[D]"):
            index = index.tz_localize("UTC").tz_convert(self._tz)
        return pd.DataFrame(data, index=index, copy=True)

    def _arrow_columns(self) -> list[tuple[str, str, np.ndarray]]:
        """(name, dtype string, C-contiguous array in native byte order) for each column;
        datetime64 and timedelta64 columns as their int64 view, which NumPy can lend."""
        out = []
        for name, array in self._columns.items():
            if not array.dtype.isnative:
                array = array.astype(array.dtype.newbyteorder("="))
            array = np.ascontiguousarray(array)
            dtype = array.dtype.str
            if array.dtype.kind in "mM":
                array = array.view(np.int64)
            out.append((name, dtype, array))
        return out

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> Any:
        """The Table as an Arrow C stream of one record batch, in a PyCapsule (the Arrow
        PyCapsule interface: pyarrow, polars, DuckDB and pandas take a Table through it).

        Numbers are lent without copying: the consumer holds the Table's arrays until it
        releases them. Booleans are packed into bits and dates narrowed to 32 bits; text
        (object arrays of str, None or NaN for a missing value) becomes utf8; datetime64 of
        day resolution is date32, of s/ms/us/ns a timestamp in the Table's time zone (none
        when it has none), NaT a null. ``requested_schema`` is not applied: the stream always
        has the Table's own schema, which the interface allows.
        """
        from quillan._columnar import export_arrow_stream

        return export_arrow_stream(self._arrow_columns(), self._tz)

    def __arrow_c_schema__(self) -> Any:
        """The Arrow schema of ``__arrow_c_stream__``'s batches, in a PyCapsule."""
        from quillan._columnar import export_arrow_schema

        return export_arrow_schema(self._arrow_columns(), self._tz)

    def to_arrow(self) -> Any:
        """A pyarrow.Table (needs the ``arrow`` extra)."""
        pa = import_optional("pyarrow", "Table.to_arrow()")
        return pa.table(self)

    def to_polars(self) -> Any:
        """A polars.DataFrame (needs the ``polars`` extra)."""
        pl = import_optional("polars", "Table.to_polars()")
        return pl.DataFrame(self)
