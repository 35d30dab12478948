"""quillan: fast access to TDX market data.

The native module ``quillan._core`` does the protocol and file work with plain Python results;
its members are re-exported here. ``quillan.Table`` is the columnar result of the newer APIs.
"""

from quillan._core import *  # noqa: F401,F403
from quillan._core import __all__ as _core_all
from quillan.adjust import adjust, xdxr_table
from quillan.client import Client, Retry, ServersFailed
from quillan.table import Table

__all__ = [*_core_all, "Client", "Retry", "ServersFailed", "Table", "adjust", "xdxr_table"]
