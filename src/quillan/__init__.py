"""quillan: fast access to TDX market data.

The native module ``quillan._core`` does the protocol and file work with plain Python results;
its members are re-exported here. ``quillan.Table`` is the columnar result of the newer APIs;
``quillan.read_bars`` reads a bar file into one; ``quillan.Client`` asks many quote servers;
``quillan.adjust`` adjusts prices for ex-rights events; ``quillan.Store`` keeps a local copy of
the market as Parquet files. ``quillan.vocabulary`` says what a security, a server, a frequency
and a date may be, and what the columns of a Table of bars are.
"""

import importlib.metadata as _metadata

from quillan._core import *  # noqa: F403
from quillan._core import __all__ as _core_all
from quillan.adjust import adjust, xdxr_table
from quillan.bars import read_bars
from quillan.client import Client, Retry, ServersFailed
from quillan.store import Store
from quillan.table import Table
from quillan.vocabulary import Security

try:
    __version__ = _metadata.version("quillan")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    *_core_all,
    "Client",
    "Retry",
    "Security",
    "ServersFailed",
    "Store",
    "Table",
    "adjust",
    "read_bars",
    "xdxr_table",
]
