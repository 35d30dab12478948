"""Column buffers from quillan._columnar made into a quillan.Table.

The native entry points return their columns as ``ColumnBuffer`` objects, which own typed values
and lend them through the buffer protocol; ``table_from_buffers`` views each one as a read-only
NumPy array of its dtype (no copy: the array keeps the buffer alive) and wraps them in a Table.
"""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

from quillan._columnar import ColumnBuffer
from quillan.table import Table

__all__ = ["as_array", "table_from_buffers"]


def as_array(column: ColumnBuffer) -> np.ndarray:
    """A read-only NumPy array of the buffer's dtype that shares its memory (and keeps it alive)."""
    return np.frombuffer(column, dtype=column.dtype)


def table_from_buffers(
    columns: Mapping[str, ColumnBuffer | npt.ArrayLike], *, tz: str | None = None
) -> Table:
    """A Table of the given columns, in order. ColumnBuffers are viewed in place; other values
    (a list of str, an array) go to the Table as they are."""
    return Table(
        {name: as_array(c) if isinstance(c, ColumnBuffer) else c for name, c in columns.items()}, tz=tz
    )
