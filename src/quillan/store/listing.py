"""What the daily bars of a store hold, in brief: each security's first and last day and count
of bars, and the number of bars on each day.

Every daily bucket file carries its own listing in its footer (key ``quillan.listing``), made
by the writer from the rows it writes, so that the calendar and the universe of the whole
market are read from sixteen footers instead of every bar. A bucket file written before the
listing existed has none: its listing is made from its rows (slower, the same answer) until
its next write.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from quillan.market import kind_of
from quillan.store.parquet import DamagedFileError, FooterCache, parquet_file, reading, security_runs

__all__ = ["LISTING_KEY", "Listing", "listing_of", "metadata_of", "read_listing"]

LISTING_KEY = "quillan.listing"
# Made one more whenever the table of kinds changes: listings made with another are made again.
KINDS_VERSION = 1
_MS_PER_DAY = 86_400_000

Days = npt.NDArray[np.int64]  # days since 1970-01-01


@dataclass(frozen=True)
class Listing:
    """Per security (sorted by market and code): its first and last day with a bar and its
    number of bars; and per day from ``day0`` on, the number of bars of all of them and of the
    indexes among them (`quillan.market.kind_of`)."""

    markets: list[str]
    codes: list[str]
    first: Days
    last: Days
    rows: Days
    day0: int
    counts: Days
    index_counts: Days

    @property
    def days(self) -> Days:
        """The days that have a bar."""
        return self.day0 + np.flatnonzero(self.counts)

    def to_json(self) -> str:
        return json.dumps(
            {
                "markets": self.markets,
                "codes": self.codes,
                "first": self.first.tolist(),
                "last": self.last.tolist(),
                "rows": self.rows.tolist(),
                "day0": self.day0,
                "counts": self.counts.tolist(),
                "index": self.index_counts.tolist(),
                "kinds": KINDS_VERSION,
            },
            separators=(",", ":"),
        )

    @classmethod
    def from_json(cls, text: bytes | str) -> Listing | None:
        """The listing a footer holds; None when it was made with another table of kinds."""
        data = json.loads(text)
        if data.get("kinds") != KINDS_VERSION:
            return None
        first, last, rows, counts, index = (
            np.asarray(data[name], dtype=np.int64) for name in ("first", "last", "rows", "counts", "index")
        )
        markets, codes = [str(m) for m in data["markets"]], [str(c) for c in data["codes"]]
        if not len(markets) == len(codes) == len(first) == len(last) == len(rows) or len(counts) != len(
            index
        ):
            raise ValueError("a listing whose columns differ in length")
        return cls(markets, codes, first, last, rows, int(data["day0"]), counts, index)

    def same(self, other: Listing) -> bool:
        mine, theirs = json.loads(self.to_json()), json.loads(other.to_json())
        return bool(mine == theirs)


def _empty() -> Listing:
    none = np.zeros(0, np.int64)
    return Listing([], [], none, none, none, 0, none, none)


def listing_of(keys: Sequence[tuple[str, str]], counts: npt.ArrayLike, times: np.ndarray) -> Listing:
    """The listing of securities `keys` (sorted) whose bars are the next `counts` rows each of
    `times` (``datetime64[ms]``, or milliseconds), each security's rows in time order."""
    counts = np.asarray(counts, dtype=np.int64)
    if not len(keys) or not counts.sum():
        return _empty()
    days = np.asarray(times).view(np.int64) // _MS_PER_DAY
    ends = np.cumsum(counts)
    starts = ends - counts
    day0 = int(np.min(days))
    per_day = np.bincount(days - day0).astype(np.int64)
    index = np.repeat(np.array([kind_of(m + c) == "index" for m, c in keys]), counts)
    index_days = np.bincount(days[index] - day0, minlength=len(per_day)).astype(np.int64)
    return Listing(
        [m for m, _ in keys],
        [c for _, c in keys],
        days[starts],
        days[ends - 1],
        counts,
        day0,
        per_day,
        index_days,
    )


def metadata_of(listing: Listing) -> dict[str, str]:
    return {LISTING_KEY: listing.to_json()}


def _from_rows(path: Path) -> Listing:
    """The listing of a bucket file made from its rows."""
    with open(path, "rb") as f, reading(path):
        table = parquet_file(f).read(columns=["market", "code", "time"], use_threads=False)
    if not table.num_rows:
        return _empty()
    found, starts = security_runs(table)
    counts = np.diff(np.append(starts, table.num_rows))
    return listing_of(found, counts, table.column("time").to_numpy())


def read_listing(paths: Sequence[Path], footers: FooterCache) -> Listing:
    """The listing of the daily bucket files `paths` together (each security in one of them)."""
    parts = []
    for path in paths:
        try:
            footer: Any = footers.footer_of(path)
        except FileNotFoundError:
            continue
        text = (footer.metadata or {}).get(LISTING_KEY.encode())
        if text is None:
            parts.append(_from_rows(path))
            continue
        try:
            listing = Listing.from_json(text)
        except (ValueError, KeyError, TypeError) as err:
            raise DamagedFileError(path, f"the listing in its footer cannot be read ({err})") from None
        parts.append(listing if listing is not None else _from_rows(path))
    parts = [part for part in parts if len(part.markets)]
    if not parts:
        return _empty()
    order = np.argsort(
        np.array([f"{m}{c}" for part in parts for m, c in zip(part.markets, part.codes, strict=True)]),
        kind="stable",
    )
    day0 = min(part.day0 for part in parts)
    counts = np.zeros(max(part.day0 + len(part.counts) for part in parts) - day0, np.int64)
    index = counts.copy()
    for part in parts:
        counts[part.day0 - day0 : part.day0 - day0 + len(part.counts)] += part.counts
        index[part.day0 - day0 : part.day0 - day0 + len(part.counts)] += part.index_counts
    markets = [m for part in parts for m in part.markets]
    codes = [c for part in parts for c in part.codes]
    return Listing(
        [markets[i] for i in order.tolist()],
        [codes[i] for i in order.tolist()],
        np.concatenate([part.first for part in parts])[order],
        np.concatenate([part.last for part in parts])[order],
        np.concatenate([part.rows for part in parts])[order],
        day0,
        counts,
        index,
    )
