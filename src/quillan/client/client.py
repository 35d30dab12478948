"""quillan.Client: many servers, fail-over, retries, and whole results in one call.

A `quillan.columnar.Connection` is one connection that does what one exchange does. A Client
sits above a pool of them (`quillan.client.pool`):

- it picks the fastest reachable of the servers it is given, and moves to the next one when
  the current one keeps failing;
- after any failure in an exchange it closes that connection and opens a fresh one before the
  next request, so a reply that arrives late is never read as the answer to another request;
- it retries a failed request on a fresh connection, within a budget and with backoff (see
  `Retry`); argument errors are never retried;
- it pages through bars and trades, batches quotes, and gathers report files and company
  information, so that one call returns the whole result;
- ``pool=N`` keeps N connections: one Client can serve many threads, and batch calls run up to
  N requests at a time.

Securities, servers, frequencies and dates are written as `quillan.vocabulary` describes.
"""

from __future__ import annotations

import datetime
import functools
import io
from collections.abc import Callable, Iterable
from types import TracebackType
from typing import Any, Literal, Protocol, Self, TypeVar

import numpy as np

from quillan.adjust import adjust as adjust_prices
from quillan.client.pool import UNREACHABLE, Pool
from quillan.client.retry import Retry
from quillan.columnar import Connection
from quillan.table import Table
from quillan.vocabulary import (
    DateLike,
    Security,
    SecurityLike,
    ServerLike,
    bar_category,
    empty_bars,
    parse_securities,
    parse_security,
    parse_servers,
    time_range,
)

__all__ = ["QUOTE_COLUMNS", "TRADE_COLUMNS", "Client"]

T = TypeVar("T")

BARS_PER_REQUEST = 800
TRADES_PER_REQUEST = 2000
# A server may cap its answer (the simulator sends 80 quotes at most), and past 9360 securities
# the request's 16-bit length would overflow.
QUOTES_PER_REQUEST = 80
# The largest report file read unless the caller says otherwise.
REPORT_LIMIT = 1 << 30
# The offset of a bar or trade request is 16 bits wide: pages start at most this far back.
MAX_OFFSET = 0xFFFF

QUOTE_COLUMNS = (
    "market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol", "cur_vol",
    "amount", "s_vol", "b_vol",
    *(f"{kind}{level}" for level in range(1, 6) for kind in ("bid", "ask", "bid_vol", "ask_vol")),
)  # fmt: skip
TRADE_COLUMNS = ("time", "price", "vol", "num", "buyorsell")


class Sink(Protocol):
    """Where `Client.report_to` writes: a binary file, or anything with such a ``write``."""

    def write(self, data: bytes, /) -> object: ...


def _count(value: int | None, name: str, limit: int | None = None) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} is an int, not {type(value).__name__}")
    if value < 0 or (limit is not None and value > limit):
        bound = f"0 to {limit:,}" if limit is not None else "0 or more"
        raise ValueError(f"{name} must be {bound}, not {value}")
    return value


# Bars a trading day holds, by frequency (the exchanges trade four hours a day).
_BARS_A_DAY = {
    "1m": 240,
    "5m": 48,
    "15m": 16,
    "30m": 8,
    "1h": 4,
    "1d": 1,
    "1w": 0.2,
    "1mo": 0.05,
    "1q": 0.02,
    "1y": 0.01,
}


def _bars_since(start: np.datetime64, freq: str) -> int:
    """About as many bars as the weekdays from `start` to tomorrow hold, with some to spare
    (a server's clock may run ahead of ours); at most a full page."""
    per_day = _BARS_A_DAY.get(freq.strip().lower())
    if per_day is None:
        return BARS_PER_REQUEST
    today = np.datetime64(datetime.date.today(), "D")
    tomorrow = today + np.timedelta64(2, "D")
    days = int(np.busday_count(start.astype("datetime64[D]"), tomorrow)) if start <= today else 0
    return int(min(BARS_PER_REQUEST, max(8, np.ceil((days + 1) * per_day) * 1.25)))


def _aligned(asked: list[Security], found: Table) -> Table:
    """The quotes in the order asked, one row per security asked; a security without a quote
    keeps its market and code, NaN in every other column (which are float64 for that)."""
    rows: dict[tuple[int, str], int] = {}
    for i, key in enumerate(zip(found["market"].tolist(), found["code"].tolist(), strict=True)):
        rows.setdefault(key, i)
    which = np.array([rows.get((s.market, s.code), -1) for s in asked], dtype=np.int64)
    missing = which < 0
    columns: dict[str, Any] = {
        "market": np.array([s.market for s in asked], dtype=np.int64),
        "code": np.array([s.code for s in asked], dtype=object),
    }
    for name in QUOTE_COLUMNS[2:]:
        values = (
            np.asarray(found[name], dtype=np.float64)[np.where(missing, 0, which)] if len(found) else None
        )
        if values is None:
            values = np.full(len(asked), np.nan)
        else:
            values[missing] = np.nan
        columns[name] = values
    return Table(columns)


def _empty_trades() -> Table:
    columns: dict[str, Any] = {"time": np.zeros(0, dtype="timedelta64[s]"), "price": np.zeros(0)}
    columns.update(dict.fromkeys(TRADE_COLUMNS[2:], np.zeros(0, dtype=np.int64)))
    return Table(columns)


class Client:
    """A set of quote servers behind one object; see the module's documentation.

    ``Client(servers=None, *, timeout=10.0, retries=3, pool=1)``

    - `servers`: ``"HOST:PORT"`` texts or ``(host, port)`` pairs (names are looked up once),
      or a comma-separated text; None reads the environment variable QUILLAN_SERVERS.
    - `timeout`: seconds for each request and its reply (and for the set-up of a connection).
    - `retries`: tries after the first, or a `Retry` policy.
    - `pool`: connections kept open; up to `pool` requests run at the same time.

    Nothing connects until the first request, which probes the servers and picks the fastest.
    `close()` (or the end of a ``with`` block) closes every connection and stops every thread
    the Client started.
    """

    def __init__(
        self,
        servers: Iterable[ServerLike] | str | None = None,
        *,
        timeout: float = 10.0,
        retries: int | Retry = 3,
        pool: int = 1,
    ) -> None:
        parsed = parse_servers(servers)
        if isinstance(retries, bool) or not isinstance(retries, (int, Retry)):
            raise TypeError("retries is a number of retries or a Retry policy")
        retry = retries if isinstance(retries, Retry) else Retry(retries=retries)
        if isinstance(pool, bool) or not isinstance(pool, int) or pool < 1:
            raise ValueError(f"pool must be a positive number of connections, not {pool!r}")
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        self._pool = Pool(parsed, pool, float(timeout), retry)

    # -- life cycle and servers

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        """Closes every connection and stops the worker threads. Calls made afterwards raise
        RuntimeError; a request under way in another thread is cancelled (see `cancel`)."""
        self._pool.close()

    def cancel(self) -> None:
        """Ends the requests that other threads have under way: each fails within 0.05 s with
        ConnectionAbortedError "the request was cancelled" and is not tried again. The Client
        stays usable. (Ctrl-C during `Store.sync` calls it.)"""
        self._pool.cancel()

    @property
    def closed(self) -> bool:
        return self._pool.closed

    @property
    def retry(self) -> Retry:
        return self._pool.retry

    @property
    def timeout(self) -> float:
        return self._pool.timeout

    @property
    def pool(self) -> int:
        """The number of connections kept: up to this many requests run at once."""
        return self._pool.size

    @property
    def servers(self) -> list[str]:
        """The servers ("HOST:PORT"), fastest first once they have been probed."""
        return [server.address for server in self._pool.ranked()]

    @property
    def server(self) -> str | None:
        """The server the Client uses now ("HOST:PORT"), or None before the first request."""
        current = self._pool.current()
        return None if current is None else current.address

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"server={self.server}"
        return f"<quillan.Client {len(self._pool.servers)} servers, pool={self.pool}, {state}>"

    def ping(self) -> Table:
        """Probes every server again (a TCP connect, 2 s at most, nothing sent) and ranks them
        anew: a Table, fastest first, of ``server`` (as given), ``address`` (the numeric
        address its name led to; empty when the name was not found), ``latency_ms`` (int64,
        9999 when unreachable), ``reachable`` (bool) and ``note`` (why, when it says)."""
        probes = self._pool.rank(again=True)
        return Table(
            {
                "server": np.array([p.server.address for p in probes], dtype=object),
                "address": np.array([p.resolved.address if p.resolved else "" for p in probes], dtype=object),
                "latency_ms": np.array([p.latency_ms for p in probes], dtype=np.int64),
                "reachable": np.array([p.latency_ms != UNREACHABLE for p in probes], dtype=bool),
                "note": np.array([p.note for p in probes], dtype=object),
            }
        )

    def _call(self, what: str, request: Callable[[Connection], T]) -> T:
        return self._pool.call(what, request)

    # -- bars

    def bars(
        self,
        security: SecurityLike,
        freq: str | int = "1d",
        *,
        start: DateLike | None = None,
        end: DateLike | None = None,
        count: int | None = None,
        offset: int = 0,
        progress: Callable[[int], object] | None = None,
        adjust: Literal["forward", "backward"] | None = None,
        as_of: DateLike | None = None,
    ) -> Table:
        """Bars of `security`, oldest first, as a Table of bars (`quillan.vocabulary`):
        datetime (datetime64[s], the exchange's time; daily and longer bars at midnight), open,
        high, low, close, amount and volume (float64).

        Without arguments, the whole history the server keeps. `start` and `end` keep the bars
        from `start` on and up to `end` (a date as `end` includes its whole day); `count` keeps
        the last `count` of those; `offset` leaves out the newest `offset` bars.
        `progress(bars_so_far)` is called after every round of requests. The history is read
        from the newest bar back, 800 bars a request, as far as needed; the server gives at
        most 65,600 bars of one series (its request offsets are 16 bits). `freq` is a frequency
        name, or a bar category number for categories no name covers.

        `adjust="forward"` or `"backward"` adjusts the prices for the security's ex-rights events
        (see `quillan.adjust`), fetched from the server, and adds an adj_factor column: forward
        to the last bar returned, or to the last bar on or before `as_of`; backward to the first
        bar returned.
        """
        if adjust not in (None, "forward", "backward"):
            raise ValueError(f"adjust is 'forward', 'backward' or None, not {adjust!r}")
        if as_of is not None and adjust is None:
            raise ValueError("as_of anchors adjusted prices: give adjust='forward' or 'backward' too")
        market, code = parse_security(security)
        category = bar_category(freq)
        low, high = time_range(start, end)
        count = _count(count, "count")
        first = _count(offset, "offset", MAX_OFFSET) or 0
        # Without dates, `count` bars are all that is needed: ask no more than that. From a start
        # on, the first request asks for about as many bars as the days since then hold, and at
        # most 64 (a re-sync asks for the newest few, and a long history costs one small request
        # more); later pages take 800 each.
        size = BARS_PER_REQUEST
        if count is not None and low is None and high is None:
            size = min(BARS_PER_REQUEST, max(count, 1))
        opening = size
        if low is not None and high is None and count is None and isinstance(freq, str):
            opening = min(64, _bars_since(low, freq))

        def page(request: tuple[int, int]) -> Table:
            at, n = request
            return self._call(
                f"bars of {market}:{code} at offset {at}",
                lambda c: c.get_security_bars(category, market, code, at, n),
            )

        def kept(table: Table) -> int:
            times = table["datetime"]
            return len(times) if high is None else int(np.count_nonzero(times <= high))

        pages: list[Table] = []  # newest first, without overlap
        oldest: np.datetime64 | None = None
        gathered = 0
        at = first
        done = count == 0
        wave = 1  # pages asked for at once: one, then twice as many each round, up to the pool
        while not done and at <= MAX_OFFSET:
            wave = min(self.pool, wave * 2) if pages else 1
            if count is not None and high is None:
                wave = min(wave, max(1, -(-(count - gathered) // size)))
            requests = (
                [(at, opening)]
                if not pages
                else [(o, size) for o in range(at, at + wave * size, size) if o <= MAX_OFFSET]
            )
            for table, (_, asked) in zip(self._pool.map(page, requests), requests, strict=True):
                full = len(table) == asked
                if oldest is not None and len(table):
                    # Bars that came in while we read shift the offsets: drop what we have.
                    table = table[table["datetime"] < oldest]
                if len(table):
                    oldest = table["datetime"][0]
                    pages.append(table)
                    gathered += kept(table)
                if (
                    not full
                    or not len(table)
                    or (low is not None and oldest is not None and oldest < low)
                    or (count is not None and gathered >= count)
                ):
                    done = True
                    break
            at = requests[-1][0] + requests[-1][1]
            if progress is not None:
                progress(sum(len(p) for p in pages))
        result = Table.concat(reversed(pages)) if pages else empty_bars()
        times = result["datetime"]
        mask = np.ones(len(result), dtype=bool)
        if low is not None:
            mask &= times >= low
        if high is not None:
            mask &= times <= high
        if not mask.all():
            result = result[mask]
        if count is not None and len(result) > count:
            result = result[len(result) - count :]
        if adjust is None:
            return result
        # Factors are relative within the bars returned, so an event on the first of them (whose
        # close before lies outside) would change none of them: the window alone is enough.
        return adjust_prices(result, self.xdxr((market, code)), adjust, as_of=as_of)

    # -- quotes and trades

    def quotes(self, securities: SecurityLike | Iterable[SecurityLike]) -> Table:
        """Quotes of one security or many: one row per security asked, in the order asked (a
        security asked twice has two rows), asked for 80 at a time (up to `pool` requests at
        once). The columns are those of `Connection.get_security_quotes`: market (int64), code
        (str), then every other column float64; a security the server sent no quote for keeps
        its row, with NaN in those columns."""
        asked = parse_securities(securities)
        pairs = [(s.market, s.code) for s in asked]
        batches = [pairs[at : at + QUOTES_PER_REQUEST] for at in range(0, len(pairs), QUOTES_PER_REQUEST)]

        def batch(items: list[tuple[int, str]]) -> Table:
            return self._call(f"quotes of {len(items)} securities", lambda c: c.get_security_quotes(items))

        tables = self._pool.map(batch, batches)
        found = Table.concat(tables) if tables else Table({name: [] for name in QUOTE_COLUMNS})
        return _aligned(asked, found)

    def ticks(self, security: SecurityLike, *, count: int | None = None, offset: int = 0) -> Table:
        """The trades of the current trading day, oldest first: time (timedelta64[s] since
        midnight), price (float64), vol (lots), num and buyorsell (int64). All of them, or the
        last `count`; `offset` leaves out the newest `offset` trades.

        The trades are read from the newest back, 2,000 a request. If trades come in while
        they are read, the reading starts again (up to four times), so the result never holds
        a trade twice.
        """
        market, code = parse_security(security)
        count = _count(count, "count")
        first = _count(offset, "offset", MAX_OFFSET) or 0
        if count == 0:
            return _empty_trades()
        size = TRADES_PER_REQUEST if count is None else min(TRADES_PER_REQUEST, count)

        def page(at: int, wanted: int) -> Table:
            return self._call(
                f"trades of {market}:{code} at offset {at}",
                lambda c: c.get_transaction_data(market, code, at, wanted),
            )

        for _ in range(4):
            pages: list[Table] = []
            at, gathered = first, 0
            while at <= MAX_OFFSET:
                table = page(at, size)
                pages.append(table)
                gathered += len(table)
                if len(table) < size or (count is not None and gathered >= count):
                    break
                at += size
            if len(pages) == 1:
                result = pages[0]
                break
            # The newest trade must still be the one the first page ended with.
            newest = page(first, 1)
            if len(newest) == 1 and newest.equals(pages[0][len(pages[0]) - 1 :]):
                result = Table.concat(reversed(pages))
                break
        else:
            raise RuntimeError(f"the trades of {market}:{code} kept changing while they were read; try again")
        if count is not None and len(result) > count:
            result = result[len(result) - count :]
        return result

    # -- reference data

    def xdxr(self, security: SecurityLike) -> Table:
        """Ex-rights and ex-dividend events, as the server sends them: date (datetime64[D]; NaT
        where the record names no real date), category, name, then every value column
        (float64, NaN where the category has no such value)."""
        market, code = parse_security(security)
        return self._call(f"ex-rights of {market}:{code}", lambda c: c.get_xdxr_info(market, code))

    def finance(self, security: SecurityLike) -> Table:
        """The finance summary as a Table of one row (none when the server has no summary)."""
        market, code = parse_security(security)
        return self._call(f"finance of {market}:{code}", lambda c: c.get_finance_info(market, code))

    def company_index(self, security: SecurityLike) -> Table:
        """The index of the company information: name, filename, start and length of each
        section."""
        market, code = parse_security(security)
        return self._call(
            f"company index of {market}:{code}", lambda c: c.get_company_info_category(market, code)
        )

    def company(self, security: SecurityLike, section: int | str | None = None) -> Table:
        """The company information: the index (`company_index`) with each section's text in a
        column ``text``; with `section` (its number in the index, from 1, or its title) that
        section alone. ValueError for a section the index does not hold."""
        market, code = parse_security(security)
        index = self.company_index((market, code))
        rows = list(range(len(index)))
        if section is not None:
            rows = [self._section(Security(market, code), index, section)]
        names, files = index["name"], index["filename"]
        starts, lengths = index["start"], index["length"]

        def text(row: int) -> str:
            return self._call(
                f"company text {names[row]!r} of {market}:{code}",
                lambda c: c.get_company_info_content(
                    market, code, files[row], int(starts[row]), int(lengths[row])
                ),
            )

        texts = self._pool.map(text, rows)
        chosen = index[np.array(rows, dtype=np.int64)]
        return Table({**chosen.to_numpy(), "text": np.array(texts, dtype=object)})

    @staticmethod
    def _section(security: Security, index: Table, section: int | str) -> int:
        names = list(index["name"])
        if isinstance(section, bool) or not isinstance(section, (int, str)):
            raise TypeError(f"a section is its number or its title, not {type(section).__name__}")
        if isinstance(section, int) and 1 <= section <= len(names):
            return section - 1
        if isinstance(section, str) and section in names:
            return names.index(section)
        choices = f"a number from 1 to {len(names)}, or one of: {', '.join(names)}" if names else "none"
        raise ValueError(f"no section {section!r} in the company information of {security}: {choices}")

    def report(
        self,
        name: str,
        *,
        progress: Callable[[int], object] | None = None,
        max_size: int | None = REPORT_LIMIT,
    ) -> bytes:
        """The whole report file `name` (b"" when the server has none); see `report_to`."""
        sink = io.BytesIO()
        self.report_to(name, sink, progress=progress, max_size=max_size)
        return sink.getvalue()

    def report_to(
        self,
        name: str,
        sink: Sink,
        *,
        progress: Callable[[int], object] | None = None,
        max_size: int | None = REPORT_LIMIT,
    ) -> int:
        """Writes the report file `name` to `sink` (a binary file) piece by piece and returns
        its size (0 when the server has none). Each piece must hold the size its reply
        announces, else it is asked for again on a fresh connection; ValueError when the file
        grows past `max_size` bytes (1 GiB unless said; None: 4 GiB, as far as the 32-bit offsets
        reach), so that a server sending an endless file cannot fill the memory or the disk.
        `progress(bytes_so_far)` is called after every piece."""
        if not isinstance(name, str):
            raise TypeError(f"name is a str, not {type(name).__name__}")
        limit = min(max_size, 1 << 32) if max_size is not None else 1 << 32

        def piece(connection: Connection, at: int) -> bytes:
            announced, data = connection.get_report_file(name, at)
            if announced != len(data):
                raise ConnectionError(
                    f"the server announced {announced:,} bytes for the piece of {name!r} at offset "
                    f"{at:,} and sent {len(data):,}"
                )
            return data

        offset = 0
        while True:
            if offset > 0xFFFFFFFF:
                raise ValueError(f"{name!r} is larger than 4 GiB, as far as a request's offset reaches")
            data = self._call(
                f"report file {name!r} at offset {offset:,}", functools.partial(piece, at=offset)
            )
            if not data:
                return offset
            if offset + len(data) > limit:
                raise ValueError(f"{name!r} is larger than the limit of {limit:,} bytes")
            sink.write(data)
            offset += len(data)
            if progress is not None:
                progress(offset)
