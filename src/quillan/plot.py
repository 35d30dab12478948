"""Candlestick charts of bars, as the A-share market draws them.

``candles(bars)`` draws any Table of bars (from a Client, a Store, a terminal's file, adjusted
or not) as a matplotlib Figure: one candle per bar on an axis of bars, not of calendar time,
so that weekends, holidays and suspensions open no gaps; dates as tick labels at the starts of
days, weeks, months, quarters or years, whichever keeps them few enough to read; a volume pane
below; moving averages of the close. ``style="cn"`` colours rising candles red and falling
ones green, as Chinese charts do; ``style="western"`` the reverse. A candle whose close equals
its open is grey.

``terminal_candles(bars, width, height)`` draws the same candles as coloured text for a
terminal (plotext), fitted to the width given.

Drawing needs the ``plot`` extra (matplotlib), and the terminal the ``terminal`` extra
(plotext); both draw without a display.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from quillan.table import import_optional
from quillan.vocabulary import SecurityLike, parse_security

__all__ = ["COLORS", "candles", "terminal_candles"]

Style = Literal["cn", "western"]

# Rising, falling and flat candles by style.
COLORS: dict[str, tuple[str, str, str]] = {
    "cn": ("#e03131", "#2f9e44", "#868e96"),
    "western": ("#2f9e44", "#e03131", "#868e96"),
}
_MA_COLORS = ("#1c7ed6", "#f59f00", "#ae3ec9", "#0ca678", "#495057")
_MOST_TICKS = 8


def _columns(bars: Any) -> dict[str, np.ndarray]:
    """The columns a chart needs, from a Table, a DataFrame or a mapping of arrays."""
    from quillan.adjust import _as_table, _wall_times

    table, _ = _as_table(bars, "bars")
    needed = ("datetime", "open", "high", "low", "close")
    missing = [name for name in needed if name not in table]
    if missing:
        raise ValueError(f"a chart needs the columns {', '.join(needed)}; missing: {', '.join(missing)}")
    columns = {name: np.asarray(table[name], dtype=np.float64) for name in needed[1:]}
    # Times with a zone are shown as the exchange's clock showed them.
    columns["datetime"] = _wall_times(np.asarray(table["datetime"]).astype("datetime64[s]"), table.tz)
    if "volume" in table:
        columns["volume"] = np.asarray(table["volume"], dtype=np.float64)
    if not len(columns["close"]):
        raise ValueError("no bars to draw: the Table is empty")
    return columns


def _style(style: str) -> tuple[str, str, str]:
    if style not in COLORS:
        raise ValueError(f"style is 'cn' (rising red) or 'western' (rising green), not {style!r}")
    return COLORS[style]


def _colors(columns: Mapping[str, np.ndarray], style: str) -> list[str]:
    up, down, flat = _style(style)
    opens, closes = columns["open"], columns["close"]
    return [
        up if c > o else down if c < o else flat for o, c in zip(opens.tolist(), closes.tolist(), strict=True)
    ]


def moving_average(values: npt.NDArray[np.float64], window: int) -> npt.NDArray[np.float64]:
    """The mean of each value and the ``window - 1`` before it; NaN where there are fewer."""
    out = np.full(len(values), np.nan)
    if window <= len(values):
        sums = np.cumsum(np.insert(values, 0, 0.0))
        out[window - 1 :] = (sums[window:] - sums[:-window]) / window
    return out


# Units of tick labels from fine to coarse: the period each bar falls in, and the label form.
_UNITS: tuple[tuple[str, str, bool], ...] = (
    ("30min", "%H:%M", True),
    ("hour", "%H:%M", True),
    ("day", "%m-%d", False),
    ("week", "%m-%d", False),
    ("month", "%Y-%m", False),
    ("quarter", "%Y-%m", False),
    ("year", "%Y", False),
    ("5 years", "%Y", False),
)


def _periods(times: npt.NDArray[np.datetime64], unit: str) -> npt.NDArray[np.int64]:
    minutes = times.astype("datetime64[m]").astype(np.int64)
    days = times.astype("datetime64[D]").astype(np.int64)
    months = times.astype("datetime64[M]").astype(np.int64)
    years = times.astype("datetime64[Y]").astype(np.int64)
    by_unit = {
        "30min": minutes // 30,
        "hour": minutes // 60,
        "day": days,
        "week": (days + 3) // 7,  # weeks from Monday: 1970-01-01 was a Thursday
        "month": months,
        "quarter": months // 3,
        "year": years,
        "5 years": years // 5,
    }
    periods: npt.NDArray[np.int64] = by_unit[unit]
    return periods


def tick_labels(times: npt.NDArray[np.datetime64], most: int = _MOST_TICKS) -> tuple[list[int], list[str]]:
    """Bar positions and labels for at most `most` ticks: the first bar of each period of the
    finest unit (half hours, hours, days, weeks, months, quarters, years) that needs no more,
    and the first bar itself unless it is too close to the next. Daily bars start at days."""
    import datetime

    intraday = bool((times.astype("datetime64[s]").astype(np.int64) % 86400).any())
    form, sub_day = _UNITS[-1][1], False
    for unit, form, sub_day in _UNITS:  # noqa: B007 (the unit chosen is the one the loop ends on)
        if sub_day and not intraday:
            continue
        periods = _periods(times, unit)
        starts = [0, *(np.flatnonzero(periods[1:] != periods[:-1]) + 1).tolist()]
        if len(starts) <= most or unit == _UNITS[-1][0]:
            break
    if len(starts) > 2 and starts[1] < np.median(np.diff(starts)) / 2:
        starts = starts[1:]  # the first bar's label would run into the next one
    years = times.astype("datetime64[Y]")
    if form == "%m-%d" and years[0] != years[-1]:
        form = "%Y-%m-%d"
    labels = []
    for at in starts:
        moment: datetime.datetime = times[at].astype("datetime64[s]").astype(datetime.datetime)
        shown = form if not (sub_day and at == starts[0]) else "%m-%d %H:%M"
        labels.append(moment.strftime(shown))
    return starts, labels


def _title(
    title: str | None, security: SecurityLike | None, freq: str | None, adjust: str | None
) -> str | None:
    if title is not None:
        return title
    symbol = parse_security(security).symbol if security is not None else None
    parts = [part for part in (symbol, freq) if part]
    if adjust:
        parts.append(f"{adjust}-adjusted")
    return "  ".join(parts) or None


def candles(
    bars: Any,
    *,
    volume: bool = True,
    ma: Sequence[int] = (5, 20),
    style: Style = "cn",
    title: str | None = None,
    ax: Any = None,
    security: SecurityLike | None = None,
    freq: str | None = None,
    adjust: str | None = None,
) -> Any:
    """A candlestick chart of `bars` (a Table of bars, or a DataFrame or mapping with their
    columns) as a matplotlib Figure: candles on an axis of bars (no gap for a day without one),
    moving averages of the close over each window of `ma`, and a volume pane below when
    `volume` and the bars have a volume column. `style`: ``"cn"`` (rising red, falling green)
    or ``"western"``. `title`, else one made of `security`, `freq` and `adjust` (the
    adjustment's name) when given. With `ax`, draws the candles into that Axes (volume as bars
    along its foot) and returns its Figure. ValueError for bars without rows or columns.
    Needs the ``plot`` extra (matplotlib)."""
    import_optional("matplotlib", "quillan.plot.candles", "plot")
    matplotlib_collections = import_optional("matplotlib.collections", "quillan.plot.candles", "plot")
    LineCollection, PolyCollection = (
        matplotlib_collections.LineCollection,
        matplotlib_collections.PolyCollection,
    )
    Figure = import_optional("matplotlib.figure", "quillan.plot.candles", "plot").Figure

    columns = _columns(bars)
    windows = [int(w) for w in ma]
    if any(w < 1 for w in windows):
        raise ValueError(f"moving-average windows are 1 bar or more, not {tuple(ma)}")
    colors = _colors(columns, style)
    n = len(colors)
    x = np.arange(n, dtype=np.float64)
    with_volume = volume and "volume" in columns
    if ax is None:
        figure = Figure(figsize=(11, 6.5 if with_volume else 5), layout="constrained")
        if with_volume:
            price_ax, volume_ax = figure.subplots(2, 1, sharex=True, height_ratios=(3, 1))
        else:
            price_ax, volume_ax = figure.subplots(), None
    else:
        figure, price_ax = ax.figure, ax
        volume_ax = price_ax.twinx() if with_volume else None

    half = 0.35 if n < 400 else 0.45
    opens, closes = columns["open"], columns["close"]
    low_body, high_body = np.minimum(opens, closes), np.maximum(opens, closes)
    bodies = np.stack(
        [
            np.column_stack([x - half, low_body]),
            np.column_stack([x - half, high_body]),
            np.column_stack([x + half, high_body]),
            np.column_stack([x + half, low_body]),
        ],
        axis=1,
    )
    wicks = np.stack([np.column_stack([x, columns["low"]]), np.column_stack([x, columns["high"]])], axis=1)
    width = max(0.3, min(1.0, 400 / n))
    price_ax.add_collection(LineCollection(list(wicks), colors=colors, linewidths=width, zorder=2))
    # An edge as wide as the wick keeps a candle whose open equals its close visible as a line.
    price_ax.add_collection(
        PolyCollection(list(bodies), facecolors=colors, edgecolors=colors, linewidths=width, zorder=3)
    )
    for i, window in enumerate(windows):
        line = moving_average(closes, window)
        price_ax.plot(
            x, line, color=_MA_COLORS[i % len(_MA_COLORS)], linewidth=1.0, label=f"MA{window}", zorder=4
        )
    if windows:
        price_ax.legend(loc="upper left", frameon=False, fontsize="small")
    known = np.isfinite(columns["low"]) & np.isfinite(columns["high"])
    if known.any():
        low, high = float(columns["low"][known].min()), float(columns["high"][known].max())
        pad = (high - low) * 0.04 or abs(high) * 0.01 or 1.0
        price_ax.set_ylim(low - pad, high + pad)
    price_ax.set_xlim(-1, n)
    price_ax.grid(True, color="#e9ecef", linewidth=0.6)
    price_ax.set_ylabel("price")
    if volume_ax is not None:
        volumes = np.nan_to_num(columns["volume"])
        bars_of_volume = np.stack(
            [
                np.column_stack([x - half, np.zeros(n)]),
                np.column_stack([x - half, volumes]),
                np.column_stack([x + half, volumes]),
                np.column_stack([x + half, np.zeros(n)]),
            ],
            axis=1,
        )
        volume_ax.add_collection(PolyCollection(list(bars_of_volume), facecolors=colors, linewidths=0))
        top = float(volumes.max()) or 1.0
        volume_ax.set_ylim(0, top * (1.05 if ax is None else 4.0))
        volume_ax.set_ylabel("volume")
        volume_ax.grid(True, color="#e9ecef", linewidth=0.6)
    positions, labels = tick_labels(columns["datetime"])
    axis = volume_ax if volume_ax is not None and ax is None else price_ax
    axis.set_xticks(positions, labels)
    shown = _title(title, security, freq, adjust)
    if shown:
        price_ax.set_title(shown, loc="left")
    return figure


def terminal_candles(
    bars: Any,
    width: int,
    height: int,
    *,
    style: Style = "cn",
    title: str | None = None,
    security: SecurityLike | None = None,
    freq: str | None = None,
    adjust: str | None = None,
) -> str:
    """The candles of `bars` drawn with coloured text in `width` columns and `height` rows (the
    last bars that fit, when there are more than columns to draw them in); the title as
    `candles` makes it. Needs the ``terminal`` extra (plotext)."""
    plt: Any = import_optional("plotext", "a chart in the terminal", "terminal")
    _style(style)
    columns = _columns(bars)
    title = _title(title, security, freq, adjust)
    room = max(10, width - 12)
    n = len(columns["close"])
    if n > room:
        columns = {name: values[n - room :] for name, values in columns.items()}
        title = f"{title or ''}  (the last {room} of {n} bars)".strip()
    up, down = ("red", "green") if style == "cn" else ("green", "red")
    x = list(range(1, len(columns["close"]) + 1))
    plt.clf()
    plt.theme("clear")
    plt.plotsize(width, height)
    data = {key.title(): columns[key].tolist() for key in ("open", "close", "high", "low")}
    plt.candlestick(x, data, colors=[up, down])
    positions, labels = tick_labels(columns["datetime"], most=max(2, width // 14))
    plt.xticks([p + 1 for p in positions], labels)
    if title:
        plt.title(title)
    text: str = plt.build()
    plt.clf()
    return text
