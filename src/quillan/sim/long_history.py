"""Securities with a bar history of a chosen length, for reading long histories page by page.

Market 1 codes of the form "9" followed by five digits N (N from 1 to 99999), such as
"900801", hold exactly N bars of every category of `quillan.sim.universe.CATEGORIES` and N
trades on the last trading day. "900001" has one bar, "905000" has 5,000. Only the bar and
trade commands know them; their bars come straight from a seeded walk per category (unlike the
universe's securities, longer bars are not made of shorter ones).

A series is as long as its calendar allows: intraday bars go back no further than 2004 (the
first year their date layout can hold), the others no further than the year 1000 (so yearly
bars stop at 1,025).
"""

from __future__ import annotations

import datetime
import functools
import random
import zlib

from quillan.sim.universe import CATEGORIES, LAST_DAY, SESSION_MINUTES, Bar, Trade

__all__ = ["bars", "is_long", "length", "trades"]

_FIRST_INTRADAY_DAY = datetime.date(2004, 1, 1)
_FIRST_DAY = datetime.date(1000, 1, 1)  # dates keep four-digit years


def is_long(market: int, code: str) -> bool:
    """True for the codes this module serves."""
    return market == 1 and len(code) == 6 and code[0] == "9" and code[1:].isdigit() and int(code[1:]) > 0


def length(code: str) -> int:
    return int(code[1:])


def _last_weekday(day: datetime.date) -> datetime.date:
    while day.weekday() >= 5:
        day -= datetime.timedelta(days=1)
    return day


def _period_ends(period: str, wanted: int) -> list[datetime.date]:
    """The last weekday of each period, newest first; the current period ends on LAST_DAY."""
    step = {"month": 1, "quarter": 3, "year": 12}[period]
    year = LAST_DAY.year
    month = LAST_DAY.month if period == "month" else (LAST_DAY.month - 1) // step * step + 1
    out = [LAST_DAY]
    while len(out) < wanted and (year, month) > (_FIRST_DAY.year, 1):
        # The last weekday before the first of a period ends the period before it.
        out.append(_last_weekday(datetime.date(year, month, 1) - datetime.timedelta(days=1)))
        month -= step
        if month < 1:
            month += 12
            year -= 1
    return out


def _stamps(category: int, wanted: int) -> list[tuple[datetime.date, int]]:
    """(date, minute label) of up to `wanted` bars, newest first."""
    kind = CATEGORIES[category]
    if kind.period == "minute":
        labels = SESSION_MINUTES[kind.minutes - 1 :: kind.minutes][::-1]
        out: list[tuple[datetime.date, int]] = []
        day = LAST_DAY
        while len(out) < wanted and day >= _FIRST_INTRADAY_DAY:
            if day.weekday() < 5:
                out.extend((day, label) for label in labels)
            day -= datetime.timedelta(days=1)
        return out[:wanted]
    if kind.period == "day":
        days: list[datetime.date] = []
        day = LAST_DAY
        while len(days) < wanted and day >= _FIRST_DAY:
            if day.weekday() < 5:
                days.append(day)
            day -= datetime.timedelta(days=1)
        return [(d, 900) for d in days]
    if kind.period == "week":
        fridays: list[datetime.date] = []
        day = LAST_DAY
        while len(fridays) < wanted and day >= _FIRST_DAY:
            fridays.append(day)
            day -= datetime.timedelta(days=7)
        return [(d, 900) for d in fridays]
    return [(d, 900) for d in _period_ends(kind.period, wanted)]


@functools.cache
def bars(code: str, category: int) -> tuple[Bar, ...]:
    """The bars of `category`, oldest first; empty for a category without bars."""
    if category not in CATEGORIES:
        return ()
    stamps = _stamps(category, length(code))[::-1]
    rng = random.Random(zlib.crc32(f"long:{code}:{category}".encode()))
    price = 1000 + rng.randrange(9000)
    out: list[Bar] = []
    for day, minute in stamps:
        open_ = max(100, price + rng.randrange(-20, 21))
        close = max(100, open_ + rng.randrange(-50, 51))
        high = max(open_, close) + rng.randrange(20)
        low = max(1, min(open_, close) - rng.randrange(20))
        vol = rng.randrange(1, 5000) * 100
        out.append(Bar(day, minute, open_, high, low, close, vol, vol // 100 * close))
        price = close
    return tuple(out)


@functools.cache
def trades(code: str) -> tuple[Trade, ...]:
    """N trades of the last trading day, oldest first, spread over its minutes."""
    count = length(code)
    rng = random.Random(zlib.crc32(f"long-trades:{code}".encode()))
    price = 1000 + rng.randrange(9000)
    out: list[Trade] = []
    for i in range(count):
        price = max(100, price + rng.randrange(-3, 4))
        minute = SESSION_MINUTES[i * len(SESSION_MINUTES) // count] - 1
        out.append(Trade(minute, price, rng.randrange(1, 900), 1 + rng.randrange(30), rng.randrange(2)))
    return tuple(out)
