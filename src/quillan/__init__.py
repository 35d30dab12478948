"""quillan: fast access to TDX market data.

The native module ``quillan._core`` does the protocol and file work with plain Python results;
its members are re-exported here. ``quillan.Table`` holds columnar results: named NumPy columns
of equal length.
"""

from quillan._core import *  # noqa: F403
from quillan._core import __all__ as _core_all
from quillan.table import Table

__all__ = [*_core_all, "Table"]
