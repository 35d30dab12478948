"""The shape of the Shanghai and Shenzhen markets: what kind of security a code is, and when a
day's trading happens.

``kind_of(security)`` tells an index from a stock, a fund or a bond by its market and the
first digits of its code, as the exchanges hand out codes:

========  ===========================================  ================================
kind      Shanghai (sh)                                Shenzhen (sz)
========  ===========================================  ================================
index     000, 880, 999 (the last two: a terminal's)   399
stock     600, 601, 603, 605, 688, 689, 900 (B)        000, 001, 002, 003, 300, 301, 200 (B)
fund      5                                            15, 16, 18
bond      01, 02, 10, 11, 12, 13, 14, 20               10, 11, 12, 13
other     anything else                                anything else
========  ===========================================  ================================

The ranges follow the exchanges' published code plans; a code handed out outside them (or a
range reused later) is classed by its digits all the same, so treat ``kind`` as a good first
cut, not a listing record.

``SESSIONS`` are the continuous trading sessions, 09:30 to 11:30 and 13:00 to 15:00, and
``bar_times(freq)`` the times the intraday bars of a day carry: each bar is labelled with the
minute it ends at (``09:31`` for the first one-minute bar, ``10:30`` for the first hour).
"""

from __future__ import annotations

import datetime
from typing import Literal

import numpy as np
import numpy.typing as npt

from quillan.vocabulary import INTRADAY, SecurityLike, parse_freq, parse_security

__all__ = ["KINDS", "SESSIONS", "Kind", "bar_times", "kind_of"]

Kind = Literal["index", "stock", "fund", "bond", "other"]
KINDS: tuple[Kind, ...] = ("index", "stock", "fund", "bond", "other")

# By market (0 Shenzhen, 1 Shanghai), the code prefixes of each kind.
_PREFIXES: dict[int, tuple[tuple[Kind, tuple[str, ...]], ...]] = {
    1: (
        ("index", ("000", "880", "999")),
        ("stock", ("600", "601", "603", "605", "688", "689", "900")),
        ("fund", ("5",)),
        ("bond", ("01", "02", "10", "11", "12", "13", "14", "20")),
    ),
    0: (
        ("index", ("399",)),
        ("stock", ("000", "001", "002", "003", "300", "301", "200")),
        ("fund", ("15", "16", "18")),
        ("bond", ("10", "11", "12", "13")),
    ),
}

SESSIONS: tuple[tuple[datetime.time, datetime.time], ...] = (
    (datetime.time(9, 30), datetime.time(11, 30)),
    (datetime.time(13, 0), datetime.time(15, 0)),
)

_BAR_MINUTES = {"1m": 1, "5m": 5, "15m": 15, "30m": 30, "1h": 60}


def kind_of(security: SecurityLike) -> Kind:
    """The kind of a security (see the module's table): ``"index"``, ``"stock"``, ``"fund"``,
    ``"bond"`` or ``"other"``."""
    market, code = parse_security(security)
    for kind, prefixes in _PREFIXES.get(market, ()):
        if code.startswith(prefixes):
            return kind
    return "other"


def bar_times(freq: str) -> npt.NDArray[np.timedelta64]:
    """The times of day (``timedelta64[m]`` after midnight, ascending) that the bars of a
    trading day carry at an intraday frequency: 240 for ``1m``, 48 for ``5m``, 4 for ``1h``
    (10:30, 11:30, 14:00, 15:00). ValueError for a daily or longer frequency."""
    name = parse_freq(freq)
    if name not in INTRADAY:
        raise ValueError(f"{name} bars are not intraday: bar times are for {', '.join(_BAR_MINUTES)}")
    step = _BAR_MINUTES[name]
    minutes = [
        np.arange(begin.hour * 60 + begin.minute + step, end.hour * 60 + end.minute + 1, step)
        for begin, end in SESSIONS
    ]
    return np.concatenate(minutes).astype("timedelta64[m]")
