"""Adjusted prices: bars scaled through the ex-rights events of their security, multiplicatively.

For each ex-rights event (category 1: values per 10 shares, cash dividend ``fenhong``, bonus and
transferred shares ``songzhuangu``, rights shares ``peigu`` at price ``peigujia``), with ``C`` the
last close before the ex-date::

    R = (C - fenhong/10 + peigujia * peigu/10) / (1 + songzhuangu/10 + peigu/10)
    f = R / C

``B(t)``, the product of ``1/f`` over the events on or before the date of bar ``t``, scales the
prices backward (the first bar keeps its price); ``B(t) / B(anchor)`` scales them forward, the
anchor being the last bar, or the last bar on or before ``as_of``. Events after ``as_of`` are
ignored, so a series anchored in the past never depends on what came later.
"""

from __future__ import annotations

import datetime
import math
import warnings
import zoneinfo
from collections.abc import Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from quillan.table import Table

__all__ = ["adjust", "xdxr_table"]

PRICE_COLUMNS = ("open", "high", "low", "close")
TIME_COLUMNS = ("date", "datetime")
EVENT_COLUMNS = ("fenhong", "peigujia", "songzhuangu", "peigu")
# The value keys of the ex-rights records, every category's, in the order a record lists them.
XDXR_VALUE_KEYS = (
    *EVENT_COLUMNS,
    "suogu",
    "xingquanjia",
    "fenshu",
    "panqianliutong",
    "qianzongguben",
    "panhouliutong",
    "houzongguben",
)
EX_RIGHTS = 1  # the category of the events that change prices

Method = Literal["forward", "backward"]
Columnar = Table | Mapping[str, npt.ArrayLike] | Sequence[Mapping[str, Any]] | Any


# Reading the inputs --------------------------------------------------------------------------


def _from_records(records: Sequence[Mapping[str, Any]]) -> Table:
    keys: dict[str, None] = {}
    for record in records:
        if not isinstance(record, Mapping):
            raise TypeError(f"a list of records holds dicts, not {type(record).__name__}")
        keys.update(dict.fromkeys(record))
    return Table({key: [r.get(key, math.nan) for r in records] for key in keys})


def _as_table(data: Columnar, what: str) -> tuple[Table, str | None]:
    """`data` as a Table, and the name of the time column made from a DataFrame's index."""
    if isinstance(data, Table):
        return data, None
    if isinstance(data, Mapping):
        return Table(data), None
    if isinstance(data, Sequence) and not isinstance(data, (str, bytes)):
        return _from_records(data), None
    if hasattr(data, "columns") and hasattr(data, "index") and hasattr(data, "to_numpy"):
        return _from_frame(data)
    raise TypeError(
        f"{what} is a quillan.Table, a pandas DataFrame, a dict of equal-length arrays or a list "
        f"of records, not {type(data).__name__}"
    )


def _from_frame(frame: Any) -> tuple[Table, str | None]:
    """A pandas DataFrame as a Table; a DatetimeIndex becomes the first column."""
    columns: dict[str, npt.ArrayLike] = {}
    index = frame.index
    index_name: str | None = None
    tz: str | None = None
    if getattr(index.dtype, "kind", "") == "M" and not any(name in frame.columns for name in TIME_COLUMNS):
        index_name = index.name if isinstance(index.name, str) else "datetime"
        if getattr(index, "tz", None) is not None:
            tz = str(index.tz)
            index = index.tz_convert("UTC").tz_localize(None)
        columns[index_name] = index.to_numpy()
    for name in frame.columns:
        if not isinstance(name, str):
            raise TypeError(f"column names are str, not {type(name).__name__}")
        columns[name] = frame[name].to_numpy()
    return Table(columns, tz=tz), index_name


def _floats(table: Table, name: str, what: str) -> npt.NDArray[np.float64]:
    if name not in table:
        raise ValueError(f"{what} have no {name!r} column (the columns are {', '.join(table.columns)})")
    column: npt.NDArray[Any] = table[name]
    if column.dtype.kind not in "iufb":
        try:
            return np.asarray(column, dtype=np.float64)
        except (TypeError, ValueError):
            raise TypeError(f"column {name!r} of the {what} holds {column.dtype}, not numbers") from None
    return column.astype(np.float64, copy=False)


def _datetimes(table: Table, name: str) -> npt.NDArray[np.datetime64]:
    column: npt.NDArray[Any] = table[name]
    if column.dtype.kind == "M":
        return column
    if column.dtype.kind in "OUS":  # texts, or date and datetime objects
        try:
            converted: npt.NDArray[np.datetime64] = np.asarray(column, dtype="datetime64")
        except (TypeError, ValueError):
            pass
        else:
            if np.datetime_data(converted.dtype)[0] != "generic":
                return converted
    raise TypeError(f"column {name!r} holds {column.dtype}, not dates or times")


def _times(table: Table, name: str) -> npt.NDArray[np.datetime64]:
    column = _datetimes(table, name)
    if np.isnat(column).any():
        row = int(np.flatnonzero(np.isnat(column))[0])
        raise ValueError(f"column {name!r} has no time in row {row}")
    return column


def _zone(tz: str) -> zoneinfo.ZoneInfo:
    try:
        return zoneinfo.ZoneInfo(tz)
    except (ValueError, zoneinfo.ZoneInfoNotFoundError):
        raise ValueError(f"the bars' time zone {tz!r} is not a known zone such as 'Asia/Shanghai'") from None


def _wall_times(times: npt.NDArray[np.datetime64], tz: str | None) -> npt.NDArray[np.datetime64]:
    """The local clock times of UTC instants: the dates on which the bars traded."""
    unit = np.datetime_data(times.dtype)[0]
    if tz is None or unit not in ("s", "ms", "us", "ns"):
        return times
    zone = _zone(tz)

    def offset(instant: np.datetime64) -> np.timedelta64:
        seconds = int(instant.astype("datetime64[s]").astype(np.int64))
        at = datetime.datetime.fromtimestamp(seconds, datetime.UTC).astimezone(zone)
        delta = at.utcoffset() or datetime.timedelta()
        return np.timedelta64(int(delta.total_seconds()), "s")

    # The offset is looked up once per UTC day; only a day on which it changes goes bar by bar.
    days = times.astype("datetime64[D]")
    unique, which = np.unique(days, return_inverse=True)
    shift = np.empty(len(unique), dtype="timedelta64[s]")
    for k, day in enumerate(unique):
        first, last = offset(day), offset(day + np.timedelta64(1, "D") - np.timedelta64(1, "s"))
        shift[k] = first
        if first != last:
            unique[k] = np.datetime64("NaT", "D")
    per_bar = shift[which]
    for i in np.flatnonzero(np.isnat(unique[which])):
        per_bar[i] = offset(times[i])
    return times + per_bar


def _as_of(as_of: object, tz: str | None) -> np.datetime64:
    """The anchor's moment, a day (``datetime64[D]``) when `as_of` names a whole day."""
    from quillan.vocabulary import parse_time

    moment, whole_day = parse_time(as_of, "as_of", tz=tz)
    return moment.astype("datetime64[D]") if whole_day else moment


def _dates_of(year: npt.ArrayLike, month: npt.ArrayLike, day: npt.ArrayLike) -> npt.NDArray[np.datetime64]:
    """Dates from their parts; NaT where the parts name no date (month 13, 30 February)."""
    fy, fm, fd = (np.asarray(v, dtype=np.float64) for v in (year, month, day))
    valid = (fy >= 1) & (fy <= 9999) & (fm >= 1) & (fm <= 12) & (fd >= 1) & (fd <= 31)
    valid &= (fy == np.floor(fy)) & (fm == np.floor(fm)) & (fd == np.floor(fd))
    y, m, d = (np.where(valid, v, 1).astype(np.int64) for v in (fy, fm, fd))
    months = ((y - 1970) * 12 + m - 1).astype("datetime64[M]")
    dates: npt.NDArray[Any] = months.astype("datetime64[D]") + (d - 1)
    valid &= dates.astype("datetime64[M]") == months  # a day past the end of its month
    dates[~valid] = np.datetime64("NaT", "D")
    return dates


def xdxr_table(records: Sequence[Mapping[str, Any]]) -> Table:
    """The ex-rights records of ``TdxClient.get_xdxr_info`` as a Table.

    Columns: ``date`` (``datetime64[D]``, NaT where the record's parts name no date), ``year``,
    ``month``, ``day``, ``category``, ``name``, then every value key of every category (float64,
    NaN where a record's category has no such value), then any other key the records hold.
    """
    records = list(records)
    for record in records:
        if not isinstance(record, Mapping):
            raise TypeError(f"ex-rights records are dicts, not {type(record).__name__}")
    parts: dict[str, npt.NDArray[np.int64]] = {}
    for key in ("year", "month", "day", "category"):
        try:
            parts[key] = np.array([r[key] for r in records], dtype=np.int64)
        except KeyError:
            raise ValueError(f"an ex-rights record has no {key!r}") from None
        except (TypeError, ValueError):
            raise TypeError(f"the {key!r} of an ex-rights record is not an integer") from None
    columns: dict[str, npt.ArrayLike] = {"date": _dates_of(parts["year"], parts["month"], parts["day"])}
    columns.update(parts)
    columns["name"] = np.array([str(r.get("name", "")) for r in records], dtype=object)
    for key in XDXR_VALUE_KEYS:
        columns[key] = np.array([r.get(key, math.nan) for r in records], dtype=np.float64)
    others: dict[str, None] = {}
    for record in records:
        others.update(dict.fromkeys(k for k in record if k not in columns))
    for key in others:
        columns[key] = np.array([r.get(key) for r in records], dtype=object)
    return Table(columns)


def _events(xdxr: Columnar) -> tuple[npt.NDArray[np.datetime64], npt.NDArray[np.float64]]:
    """The ex-rights events in date order (records of one date keep their order): their dates,
    and their values as rows of (fenhong, peigujia, songzhuangu, peigu), NaN read as 0."""
    if isinstance(xdxr, Sequence) and not isinstance(xdxr, (str, bytes)):
        table = xdxr_table(xdxr)
    else:
        table = _as_table(xdxr, "xdxr")[0]
    category = _floats(table, "category", "ex-rights records")
    if "date" in table:
        dates = _datetimes(table, "date").astype("datetime64[D]")
    elif all(part in table for part in ("year", "month", "day")):
        y, m, d = (_floats(table, part, "ex-rights records") for part in ("year", "month", "day"))
        dates = _dates_of(y, m, d)
    else:
        raise ValueError("the ex-rights records have no 'date' column, nor 'year', 'month' and 'day'")
    values = np.column_stack([_floats(table, name, "ex-rights records") for name in EVENT_COLUMNS])
    chosen = category == EX_RIGHTS
    for row in np.flatnonzero(chosen & np.isnat(dates)):
        parts = "-".join(str(table[p][row]) for p in ("year", "month", "day") if p in table) or "NaT"
        warnings.warn(f"skipped the ex-rights event of row {row}: {parts} is not a date", stacklevel=3)
    chosen &= ~np.isnat(dates)
    dates, values = dates[chosen], np.nan_to_num(values[chosen], nan=0.0)
    order = np.argsort(dates, kind="stable")
    return dates[order], values[order]


def _last_bar_until(wall: npt.NDArray[np.datetime64], cutoff: np.datetime64) -> int:
    """The index of the last bar on or before `cutoff` (-1 for none); a date without a time of
    day takes in the whole day."""
    side: Literal["left", "right"] = "right"
    if np.datetime_data(cutoff.dtype)[0] in ("Y", "M", "W", "D"):
        cutoff, side = cutoff.astype("datetime64[D]") + np.timedelta64(1, "D"), "left"
    common = np.promote_types(wall.dtype, cutoff.dtype)
    return int(np.searchsorted(wall.astype(common), cutoff.astype(common), side=side)) - 1


# The factors ---------------------------------------------------------------------------------


def _skip(date: np.datetime64, why: str) -> None:
    warnings.warn(f"skipped the ex-rights event of {date}: {why}", stacklevel=4)


def _backward_factors(
    days: npt.NDArray[np.datetime64],
    close: npt.NDArray[np.float64],
    dates: npt.NDArray[np.datetime64],
    values: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]:
    """B(t) for every bar. An event acts on the first bar on or after its date; events that act
    on one bar chain, each starting from the reference price the one before it left."""
    steps = np.ones(len(days))
    acts_on = np.searchsorted(days, dates, side="left")
    bar, price = -1, math.nan
    for date, at, (fenhong, peigujia, songzhuangu, peigu) in zip(dates, acts_on, values, strict=True):
        if at == 0 or at == len(days):  # no close before it, or no bar after it
            continue
        if at != bar:
            bar, price = int(at), float(close[at - 1])
        if not (math.isfinite(price) and price > 0):
            _skip(date, f"the close before it is {price:g}")
            continue
        ref = (price - fenhong / 10 + peigujia * peigu / 10) / (1 + songzhuangu / 10 + peigu / 10)
        if not (math.isfinite(ref) and ref > 0):
            _skip(date, f"its reference price would be {ref:g} (close {price:g})")
            continue
        steps[bar] *= price / ref
        price = ref
    return np.cumprod(steps)


def adjust(bars: Columnar, xdxr: Columnar, method: Method = "forward", *, as_of: object = None) -> Table:
    """Bars with open, high, low and close adjusted for the security's ex-rights events.

    ``bars``: one security's bars, oldest first, with a ``date`` or ``datetime`` column (or a
    pandas DatetimeIndex) and the four prices; ``xdxr``: its ex-rights records, as
    ``TdxClient.get_xdxr_info`` returns them or as a table of those columns (a ``date`` column
    may stand for ``year``, ``month`` and ``day``). Each may be a quillan.Table, a pandas
    DataFrame, a dict of equal-length arrays or a list of records.

    ``method="forward"`` scales every bar to the price level of the anchor, the last bar or the
    last bar on or before ``as_of``; ``"backward"`` scales every bar to the level of the first
    bar. Events after ``as_of`` are ignored entirely. The other columns are kept and an
    ``adj_factor`` column is added: adjusted price = price x adj_factor.

    An event whose date has no bar acts on the first bar after it; an event before the first bar
    changes nothing; intraday bars of the ex-date already trade ex-rights. An event whose
    reference price would be zero or negative, or whose previous close is zero, is skipped with
    a warning. Other categories of events do not change prices.
    """
    if method not in ("forward", "backward"):
        raise ValueError(f"method is 'forward' or 'backward', not {method!r}")
    table, index_name = _as_table(bars, "bars")
    if "adj_factor" in table:
        raise ValueError("the bars have an 'adj_factor' column already: they are adjusted")
    time_name = index_name or next((n for n in TIME_COLUMNS if n in table), None)
    if time_name is None:
        raise ValueError(f"the bars have no 'date' or 'datetime' column (the columns are {', '.join(table)})")
    prices = {name: _floats(table, name, "bars") for name in PRICE_COLUMNS}
    wall = _wall_times(_times(table, time_name), table.tz)
    if len(wall) > 1 and (wall[1:] < wall[:-1]).any():
        row = int(np.flatnonzero(wall[1:] < wall[:-1])[0]) + 1
        raise ValueError(
            f"the bars are not in time order: row {row} of {time_name!r} is earlier than row {row - 1}"
        )

    dates, values = _events(xdxr)
    anchor = len(wall) - 1
    if as_of is not None:
        cutoff = _as_of(as_of, table.tz)
        keep = dates <= cutoff
        dates, values = dates[keep], values[keep]
        anchor = _last_bar_until(wall, cutoff)
    factors = _backward_factors(wall.astype("datetime64[D]"), prices["close"], dates, values)
    if method == "forward" and anchor >= 0:
        # Without a bar on or before as_of every event known then precedes the first bar: B is 1.
        factors = factors / factors[anchor]

    out: dict[str, npt.ArrayLike] = {}
    for name in table.columns:
        out[name] = prices[name] * factors if name in prices else table[name]
    out["adj_factor"] = factors
    return Table(out, tz=table.tz)
