"""The market's shape from a store's daily bars: its trading calendar, its securities and the
holes in their series.

The calendar is what the bars say, not a list of holidays kept by hand: a trading day is a
day on which the store holds a daily bar of an index (`quillan.market.kind_of`: Shanghai 000,
880 and 999, Shenzhen 399). Before the first and after the last index bar stored, and in a
store without an index, a day is a trading day when at least half of the securities listed
across it (first bar on or before it, last on or after it) have a bar on it. A day the store
holds no bar of is never a trading day: the calendar starts at the store's first bar, ends at
its last, and is as complete as the bars synced or imported.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from quillan.market import bar_times, kind_of
from quillan.store.listing import Days, Listing
from quillan.table import Table

__all__ = ["Market", "gaps_of"]

_MINUTES_PER_DAY = 1440


@dataclass(frozen=True)
class Market:
    """The calendar (days since 1970, ascending) and the listing it was made from."""

    listing: Listing
    calendar: Days
    kinds: list[str]

    @classmethod
    def of(cls, listing: Listing) -> Market:
        kinds: list[str] = [kind_of(m + c) for m, c in zip(listing.markets, listing.codes, strict=True)]
        return cls(listing, _calendar(listing, kinds), kinds)

    def securities(self, off_calendar: Callable[[Days], dict[tuple[str, str], int]]) -> Table:
        """One row per security (see `Store.securities`). ``off_calendar(days)``: the bars each
        security has on days that are not trading days (asked only when there are such days)."""
        listing, calendar = self.listing, self.calendar
        spanned = np.searchsorted(calendar, listing.last, "right") - np.searchsorted(
            calendar, listing.first, "left"
        )
        on_calendar = listing.rows.copy()
        strays = np.setdiff1d(listing.days, calendar, assume_unique=True)
        if len(strays):
            index = {(m, c): i for i, (m, c) in enumerate(zip(listing.markets, listing.codes, strict=True))}
            for key, count in off_calendar(strays).items():
                on_calendar[index[key]] -= count
        last_day = calendar[-1] if len(calendar) else np.int64(-1)
        return Table(
            {
                "market": np.array(listing.markets, dtype=object),
                "code": np.array(listing.codes, dtype=object),
                "kind": np.array(self.kinds, dtype=object),
                "first": listing.first.astype("datetime64[D]"),
                "last": listing.last.astype("datetime64[D]"),
                "days": listing.rows,
                "missing": spanned - on_calendar,
                "active": listing.last == last_day,
            }
        )


def _calendar(listing: Listing, kinds: list[str]) -> Days:
    counts, day0 = listing.counts, listing.day0
    n = len(counts)
    if not n:
        return np.zeros(0, np.int64)
    # Securities listed across each day: +1 from its first day, -1 after its last.
    change = np.zeros(n + 1, np.int64)
    np.add.at(change, listing.first - day0, 1)
    np.add.at(change, listing.last - day0 + 1, -1)
    listed = np.cumsum(change[:n])
    trading = (counts > 0) & (2 * counts >= listed)
    index = np.array([kind == "index" for kind in kinds], dtype=bool)
    if index.any():
        low, high = int(listing.first[index].min()) - day0, int(listing.last[index].max()) - day0
        trading[low : high + 1] = listing.index_counts[low : high + 1] > 0
    return day0 + np.flatnonzero(trading)


def gaps_of(calendar: Days, times: npt.NDArray[np.datetime64], freq: str) -> npt.NDArray[np.datetime64]:
    """The trading days (``1d``: ``datetime64[D]``) or the bar times of the trading days'
    sessions (intraday: ``datetime64[s]``) from the first of `times` to the last that are not
    among them."""
    if not len(times):
        return np.zeros(0, "datetime64[D]" if freq == "1d" else "datetime64[s]")
    if freq == "1d":
        days = times.astype("datetime64[D]").astype(np.int64)
        span = calendar[(calendar >= days[0]) & (calendar <= days[-1])]
        return np.setdiff1d(span, days).astype("datetime64[D]")
    minutes = times.astype("datetime64[m]").astype(np.int64)
    first_day, last_day = minutes[0] // _MINUTES_PER_DAY, minutes[-1] // _MINUTES_PER_DAY
    span = calendar[(calendar >= first_day) & (calendar <= last_day)]
    expected = (span[:, None] * _MINUTES_PER_DAY + bar_times(freq).astype(np.int64)[None, :]).ravel()
    expected = expected[(expected >= minutes[0]) & (expected <= minutes[-1])]
    return np.setdiff1d(expected, minutes).astype("datetime64[m]").astype("datetime64[s]")
