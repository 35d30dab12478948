"""quillan.read_bars: a terminal's bar files (.day, .lc1, .lc5) as Tables of bars.

The file is read and decoded in C++ without the interpreter lock, straight into typed columns
that the Table's NumPy arrays share. The columns are those of every Table of bars
(`quillan.vocabulary.BAR_COLUMNS`):

- ``datetime`` (``datetime64[s]``): the stored time, the exchange's wall-clock time; a daily
  file's bars at midnight of their date;
- ``open``, ``high``, ``low``, ``close`` (float64): for daily files the stored integer divided
  by the file's price scale (`price_scale`), which is the nearest double to the decimal price
  (29.49, where a multiplication by 0.01 gives 29.490000000000002); for minute files the stored
  float32 widened exactly;
- ``amount`` (float64): the stored float32 widened exactly;
- ``volume`` (float64): the stored count as it is, in shares (``read_daily_bars`` multiplies it
  by 0.01 by default, giving lots).

A record whose date (or time of day) is impossible gets NaT and its values as stored; a
RuntimeWarning naming the file says how many. A file none of whose records has a possible date
is not a bar file of that kind: ValueError.
"""

from __future__ import annotations

import math
import os
import re
import warnings
import zoneinfo
from datetime import datetime, timedelta
from numbers import Real
from typing import Literal

import numpy as np
import numpy.typing as npt

from quillan._columnar import read_bar_columns
from quillan._columns import as_array
from quillan.table import Table
from quillan.vocabulary import Security, SecurityLike, bars_table, parse_security

__all__ = ["price_scale", "read_bars", "security_of_file"]

Kind = Literal["day", "lc1", "lc5"]
_KINDS = ("day", "lc1", "lc5")

# Price scales by market and code prefix, measured on a real terminal's daily files (amount /
# (volume * stored close) gives the scale). A code no prefix matches uses hundredths. The
# prefixes in _HUNDREDTHS were measured too; the others are assumed.
_THOUSANDTHS = {1: ("900", "5"), 0: ("15", "16", "18")}
_HUNDREDTHS = {1: ("000", "600", "601", "603", "880", "999"), 0: ("000", "001", "002", "200", "300", "399")}
_FILE_NAME = re.compile(r"(sh|sz)([0-9]{6})", re.IGNORECASE | re.ASCII)
_NAT = np.iinfo(np.int64).min


def security_of_file(path: str | os.PathLike[str]) -> Security | None:
    """The security a terminal's bar file is named after (``sh600036.day``), or None for a name
    that is not a market and a six-digit code."""
    stem = os.path.basename(os.fsdecode(path)).partition(".")[0]
    match = _FILE_NAME.fullmatch(stem)
    return None if match is None else parse_security(stem)


def price_scale(security: SecurityLike | os.PathLike[str]) -> int:
    """What the stored prices of a security's daily file are divided by: its security in any
    form (`quillan.vocabulary`), or the file's path or name (``sh600036.day``).

    1000 (prices stored in thousandths) for Shanghai codes starting with 5 (funds, ETFs) or 900
    (B shares) and Shenzhen codes starting with 15, 16 or 18 (funds, ETFs); 100 (hundredths)
    for every other code, which was measured for Shanghai 000, 600, 601, 603, 880, 999 and
    Shenzhen 000, 001, 002, 200, 300, 399 and is assumed for the rest. A file name that is not
    a market and a six-digit code gives 100.
    """
    if isinstance(security, tuple):
        market, code = parse_security(security)
    else:
        try:
            market, code = parse_security(security)
        except (TypeError, ValueError):
            named = security_of_file(security)
            if named is None:
                return 100
            market, code = named
    return 1000 if code.startswith(_THOUSANDTHS.get(market, ())) else 100


def _kind_of(path: str, kind: str | None) -> Kind:
    if kind is None:
        extension = os.path.splitext(path)[1].lower().lstrip(".")
        if extension not in _KINDS:
            raise ValueError(
                f"cannot tell the kind of bar file from the name {path!r}: pass kind='day', 'lc1' or 'lc5'"
            )
        kind = extension
    if kind not in _KINDS:
        raise ValueError(f"kind must be 'day', 'lc1' or 'lc5', not {kind!r}")
    return kind  # type: ignore[return-value]


def _utc_offsets(zone: zoneinfo.ZoneInfo, wall: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """The UTC offset in seconds of each wall-clock time (seconds since 1970-01-01 00:00).

    One zone lookup per day and midnight: a day whose midnight and next midnight have the same
    offset has it all day; the times of a day where it changes are looked up one by one. An
    ambiguous or skipped time takes the offset in force before the change (fold=0).
    """
    epoch = datetime(1970, 1, 1)
    cache: dict[int, int] = {}

    def offset(seconds: int) -> int:
        found = cache.get(seconds)
        if found is None:
            local = (epoch + timedelta(seconds=seconds)).replace(tzinfo=zone)
            delta = local.utcoffset()
            found = cache[seconds] = int(delta.total_seconds()) if delta is not None else 0
        return found

    days, inverse = np.unique(wall // 86400, return_inverse=True)
    starts = np.array([offset(int(d) * 86400) for d in days], dtype=np.int64)
    ends = np.array([offset((int(d) + 1) * 86400) for d in days], dtype=np.int64)
    offsets = starts[inverse]
    changing = np.flatnonzero(starts != ends)
    if changing.size:
        where = np.flatnonzero(np.isin(inverse, changing))
        offsets[where] = [offset(int(s)) for s in wall[where]]
    return offsets


def _wall_to_utc(times: npt.NDArray[np.datetime64], tz: str) -> npt.NDArray[np.datetime64]:
    zone = zoneinfo.ZoneInfo(tz)
    wall = times.view(np.int64)
    known = wall != _NAT
    utc = wall.copy()
    utc[known] -= _utc_offsets(zone, wall[known])
    return utc.view(times.dtype)


def _check_dates(name: str, minute: bool, count: int, impossible: int, *, stacklevel: int) -> None:
    """ValueError when no record of a file has a possible date; a RuntimeWarning when some have not."""
    if not impossible:
        return
    if impossible == count:
        label = "minute bar (.lc1 or .lc5)" if minute else "daily bar (.day)"
        raise ValueError(f"not a {label} file: no record of {name} has a possible date")
    warnings.warn(
        f"{name}: {impossible} of {count} records have an impossible date; their datetime is NaT",
        RuntimeWarning,
        stacklevel=stacklevel,
    )


def read_bars(
    path: str | os.PathLike[str],
    *,
    kind: Kind | None = None,
    scale: float | None = None,
    tz: str | None = None,
) -> Table:
    """Reads a terminal bar file into a Table of bars (the columns are listed in ``quillan.bars``).

    ``kind`` is ``"day"``, ``"lc1"`` or ``"lc5"``; by default the file's extension. ``scale``
    divides the stored prices of a daily file (100 for hundredths, 1000 for thousandths); by
    default ``price_scale(path)`` chooses it from the file name. Minute files store their
    prices as decimals and take no scale.

    ``tz`` is the time zone the file's times are wall-clock times of (the exchange's:
    ``"Asia/Shanghai"``). Without it, ``datetime`` holds the wall-clock times as stored. With
    it, ``datetime`` holds the UTC instants of those times and the Table carries ``tz``, so
    pandas, Arrow and polars show them in that zone (a daily bar's midnight included).

    Errors are those of ``read_daily_bars``: FileNotFoundError "File not found: <path>" and
    OSError for a file that cannot be opened or mapped (a directory, a FIFO: the read never
    blocks). A file that shrinks while it is read gives the whole records read before its new
    end. ValueError for a file none of whose records has a possible date.
    """
    raw = os.fsencode(path)
    name = os.fsdecode(raw)
    file_kind = _kind_of(name, kind)
    minute = file_kind != "day"
    if scale is None:
        named = None if minute else security_of_file(name)
        scale = 100 if named is None else price_scale(named)
    elif minute:
        raise ValueError("scale applies to daily (.day) files: minute files store decimal prices")
    elif isinstance(scale, bool) or not isinstance(scale, Real):
        raise TypeError(f"scale must be a real number, not {type(scale).__name__}")
    elif not (scale > 0 and math.isfinite(scale)):
        raise ValueError(f"scale must be a positive finite number, not {scale!r}")
    if tz is not None:
        zoneinfo.ZoneInfo(tz)  # an unknown zone fails before the file is read

    buffers, impossible = read_bar_columns(raw, minute, float(scale))
    columns = {column: as_array(buffer) for column, buffer in buffers.items()}
    _check_dates(name, minute, len(columns["volume"]), impossible, stacklevel=3)
    if tz is not None:
        columns["datetime"] = _wall_to_utc(columns["datetime"], tz)
    return bars_table(columns, tz=tz)
