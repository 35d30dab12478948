"""quillan: fast access to TDX market data.

The work is done by the native module ``quillan._core``; its members are re-exported here.
"""

try:
    from quillan._core import *  # noqa: F401,F403
    from quillan._core import __all__ as _core_all
except ModuleNotFoundError as _err:
    if _err.name != "quillan._core":
        raise
    # Typically Python started in the repository root, where this source folder, which has
    # no built module, shadows the installed package.
    raise ImportError(
        f"quillan._core is not built beside {__file__}: install quillan (pip install .) and "
        "run Python outside the source tree"
    ) from None

__all__ = list(_core_all)
