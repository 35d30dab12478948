"""quillan: fast access to TDX market data.

The work is done by the native module ``quillan._core``; its members are re-exported here.
"""

from quillan._core import *  # noqa: F401,F403
from quillan._core import __all__ as _core_all

__all__ = list(_core_all)
