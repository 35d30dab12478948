"""quillan.Client: many servers, fail-over, retries, and whole results in one call.

A `TdxClient` is one connection that does what one exchange does. A Client sits above it:

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

Securities are written as users write them: ``"600036"``, ``"sh600036"``, ``"600036.SH"``,
``(1, "600036")``. A bare code gets its market from its first digit: 5, 6 and 9 are Shanghai
(market 1); 0, 1, 2 and 3 are Shenzhen (market 0); other codes need their market spelled out.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import re
import socket
import threading
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from types import TracebackType
from typing import Any, Literal, Self, TypeVar

import numpy as np

from quillan.adjust import adjust as adjust_prices
from quillan.table import Table

__all__ = [
    "FREQUENCIES",
    "Client",
    "Retry",
    "ServersFailed",
    "parse_freq",
    "parse_security",
    "parse_servers",
]

T = TypeVar("T")
SecurityLike = str | tuple[int, str]
ServerLike = str | tuple[str, int]
DateLike = str | datetime.date | np.datetime64

ENV_SERVERS = "QUILLAN_SERVERS"
BARS_PER_REQUEST = 800
TRADES_PER_REQUEST = 2000
QUOTES_PER_REQUEST = 80
# The offset of a bar or trade request is 16 bits wide: pages start at most this far back.
MAX_OFFSET = 0xFFFF
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError)

# Securities ---------------------------------------------------------------------------------

_MARKETS = {"sz": 0, "sh": 1}
_PREFIXED = re.compile(r"(sh|sz)([0-9]{6})", re.IGNORECASE | re.ASCII)
_SUFFIXED = re.compile(r"([0-9]{6})\.(sh|sz)", re.IGNORECASE | re.ASCII)
_BARE = re.compile(r"[0-9]{6}", re.ASCII)


def _market_of(code: str) -> int:
    if code[0] in "569":
        return 1
    if code[0] in "0123":
        return 0
    raise ValueError(
        f"security code '{code}' fits no market: write it with its market, as (MARKET, '{code}')"
    )


def parse_security(security: SecurityLike) -> tuple[int, str]:
    """(market, code) of a security written as ``"600036"``, ``"sh600036"``, ``"600036.SH"`` or
    ``(1, "600036")``.

    Codes are six ASCII digits. A bare code takes its market from its first digit: 5, 6 and 9
    are Shanghai (1), 0, 1, 2 and 3 Shenzhen (0); any other first digit raises ValueError, as
    does anything that is not one of the four forms.
    """
    if isinstance(security, tuple):
        if len(security) != 2:
            raise ValueError(f"a security pair is (market, code), not {security!r}")
        market, code = security
        if not isinstance(market, int) or isinstance(market, bool) or not isinstance(code, str):
            raise TypeError(f"a security pair is (int market, str code), not {security!r}")
        if not 0 <= market <= 255:
            raise ValueError(f"market {market} is out of range (0 to 255)")
        if not _BARE.fullmatch(code):
            raise ValueError(f"invalid security code {code!r}: codes are six digits")
        return market, code
    if not isinstance(security, str):
        raise TypeError(f"a security is a str or a (market, code) pair, not {type(security).__name__}")
    text = security.strip()
    if match := _PREFIXED.fullmatch(text):
        return _MARKETS[match[1].lower()], match[2]
    if match := _SUFFIXED.fullmatch(text):
        return _MARKETS[match[2].lower()], match[1]
    if _BARE.fullmatch(text):
        return _market_of(text), text
    raise ValueError(
        f"invalid security {security!r} (expected '600036', 'sh600036', '600036.SH' or (1, '600036'))"
    )


# Bar frequencies -----------------------------------------------------------------------------

FREQUENCIES: dict[str, int] = {
    "1m": 8,
    "5m": 0,
    "15m": 1,
    "30m": 2,
    "1h": 3,
    "1d": 9,
    "1w": 5,
    "1mo": 6,
    "1q": 10,
    "1y": 11,
}


def parse_freq(freq: str | int) -> int:
    """The bar category of a frequency name (`FREQUENCIES`), or a category number as it is."""
    if isinstance(freq, bool):
        raise TypeError("freq is a name such as '1d' or a category number, not a bool")
    if isinstance(freq, int):
        if not 0 <= freq <= 0xFFFF:
            raise ValueError(f"bar category {freq} is out of range (0 to 65535)")
        return freq
    if not isinstance(freq, str):
        raise TypeError(f"freq is a name such as '1d' or a category number, not {type(freq).__name__}")
    try:
        return FREQUENCIES[freq.strip().lower()]
    except KeyError:
        raise ValueError(f"unknown freq {freq!r} (one of {', '.join(FREQUENCIES)}, or a number)") from None


# Servers ------------------------------------------------------------------------------------


def _parse_server(server: ServerLike) -> tuple[str, int]:
    if isinstance(server, tuple):
        if len(server) != 2 or not isinstance(server[0], str) or not isinstance(server[1], int):
            raise TypeError(f"a server pair is (str host, int port), not {server!r}")
        host, port = server
    elif isinstance(server, str):
        text = server.strip()
        host, sep, port_text = text.rpartition(":")
        if not sep or not host or not port_text.isdigit():
            raise ValueError(f"invalid server '{server}' (expected HOST:PORT, or [IPv6]:PORT)")
        port = int(port_text)
    else:
        raise TypeError(f"a server is 'HOST:PORT' or (host, port), not {type(server).__name__}")
    host = host.strip()
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host or not 0 < port <= 0xFFFF:
        raise ValueError(f"invalid server {server!r} (expected HOST:PORT with a port of 1 to 65535)")
    return host, port


def parse_servers(servers: Iterable[ServerLike] | str | None) -> list[tuple[str, int]]:
    """(host, port) pairs from a list of ``"HOST:PORT"`` texts or pairs, or from a
    comma-separated text; from the environment variable QUILLAN_SERVERS when None."""
    if servers is None:
        servers = os.environ.get(ENV_SERVERS, "")
        if not servers.strip():
            raise ValueError(
                "no quote servers given: pass servers=['IP:PORT', ...] to Client, or set the "
                f"environment variable {ENV_SERVERS} to a comma-separated list of IP:PORT"
            )
    if isinstance(servers, str):
        servers = [part for part in servers.split(",") if part.strip()]
    parsed = [_parse_server(server) for server in servers]
    if not parsed:
        raise ValueError("the list of quote servers is empty")
    return parsed


def _address_text(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def _numeric_host(host: str) -> str:
    """A numeric address for `host`: names are looked up once (IPv4 preferred)."""
    if host == "localhost":
        return "127.0.0.1"
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, host)
            return host
        except OSError:
            pass
    try:
        found = socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)
    except OSError:
        return host  # connecting will say what is wrong with it
    found.sort(key=lambda entry: entry[0] != socket.AF_INET)
    return str(found[0][4][0]) if found else host


# Retries ------------------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Retry:
    """When and how a failed request is tried again.

    - `retries`: tries after the first one, per request (connecting counts as a try);
    - `backoff`: seconds to wait before the first retry on the same server, doubled for each
      further retry, up to `max_backoff`; a retry on another server does not wait;
    - `failover_after`: failed exchanges in a row after which the Client moves to the next
      fastest server (a failure to connect moves at once);
    - `retry_on`: the exceptions that are retried: transport failures (OSError, which
      includes ConnectionError and TimeoutError). TypeError, ValueError and OverflowError are
      argument errors and are never retried, whatever `retry_on` says.
    """

    retries: int = 3
    backoff: float = 0.05
    max_backoff: float = 1.0
    failover_after: int = 2
    retry_on: tuple[type[BaseException], ...] = (OSError,)

    def __post_init__(self) -> None:
        if self.retries < 0 or self.backoff < 0 or self.max_backoff < 0 or self.failover_after < 1:
            raise ValueError(f"invalid retry policy {self!r}")

    def should_retry(self, error: BaseException) -> bool:
        return isinstance(error, self.retry_on) and not isinstance(error, ARGUMENT_ERRORS)

    def delay(self, retry: int) -> float:
        """Seconds to wait before retry number `retry` (0 for the first) on the same server."""
        return min(self.max_backoff, self.backoff * 2.0**retry)


class ServersFailed(ConnectionError):
    """A request failed on every try. `failures` maps each server tried ("HOST:PORT") to its
    last error, in the order they were first tried."""

    def __init__(self, what: str, tries: int, failures: dict[str, BaseException]):
        answers = "; ".join(f"{server}: {type(err).__name__}: {err}" for server, err in failures.items())
        super().__init__(f"{what} failed after {tries} tries: {answers}")
        self.failures = failures


# Connections --------------------------------------------------------------------------------


def _columnar_factory(timeout: float) -> Any:
    from quillan.columnar import Connection

    return Connection(timeout=timeout)


def _core_factory(timeout: float) -> Any:
    from quillan._core import TdxClient

    return TdxClient()


def _close_link(link: Any) -> None:
    close = getattr(link, "close", None) or link.disconnect
    close()


@dataclasses.dataclass
class _Slot:
    """One pooled place: a columnar connection and a plain one, each opened on first use."""

    links: dict[str, tuple[tuple[str, int], Any]] = dataclasses.field(default_factory=dict)

    def drop(self, kind: str) -> None:
        held = self.links.pop(kind, None)
        if held is not None:
            _close_link(held[1])

    def drop_all(self) -> None:
        for kind in list(self.links):
            self.drop(kind)


_FACTORIES: dict[str, Callable[[float], Any]] = {"columnar": _columnar_factory, "core": _core_factory}

# Result shapes -------------------------------------------------------------------------------

BAR_COLUMNS = ("datetime", "open", "high", "low", "close", "amount", "volume")
_XDXR_VALUES = (
    "fenhong", "peigujia", "songzhuangu", "peigu", "suogu", "xingquanjia", "fenshu",
    "panqianliutong", "qianzongguben", "panhouliutong", "houzongguben",
)  # fmt: skip
_FINANCE_KEYS = (
    "market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date",
    "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu", "zhigonggu", "zongzichan",
    "liudongzichan", "gudingzichan", "wuxingzichan", "gudongrenshu", "liudongfuzhai",
    "changqifuzhai", "zibengongjijin", "jingzichan", "zhuyingshouru", "zhuyinglirun",
    "yingshouzhangkuan", "yingyelirun", "touzishouyu", "jingyingxianjinliu", "zongxianjinliu",
    "cunhuo", "lirunzonghe", "shuihoulirun", "jinglirun", "weifenpeilirun", "meigujingzichan",
)  # fmt: skip
_FINANCE_INTS = frozenset({"market", "province", "industry", "updated_date", "ipo_date"})


def _bars_table(page: Table) -> Table:
    return Table(
        {
            "datetime": page["datetime"],
            "open": page["open"],
            "high": page["high"],
            "low": page["low"],
            "close": page["close"],
            "amount": page["amount"],
            "volume": page["vol"],
        }
    )


def _bound(value: DateLike, name: str) -> tuple[np.datetime64, bool]:
    """The instant of a start or end, and whether it names a whole day."""
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            raise ValueError(f"{name}: give a naive date or time, in the exchange's own time")
        return np.datetime64(value.replace(microsecond=0), "s"), False
    if isinstance(value, datetime.date):
        return np.datetime64(value, "D").astype("datetime64[s]"), True
    if isinstance(value, str):
        try:
            instant = np.datetime64(value.strip().replace(" ", "T"))
        except ValueError:
            raise ValueError(
                f"{name}: invalid date {value!r} (expected '2024-01-31' or '2024-01-31 10:30')"
            ) from None
    elif isinstance(value, np.datetime64):
        instant = value
    else:
        raise TypeError(
            f"{name} is a date, a datetime or a text such as '2024-01-31', not {type(value).__name__}"
        )
    if np.isnat(instant):
        raise ValueError(f"{name} is not a time")
    unit = np.datetime_data(instant.dtype)[0]
    whole_day = unit in ("Y", "M", "W", "D")
    return instant.astype("datetime64[s]"), whole_day


# The Client ---------------------------------------------------------------------------------


class Client:
    """A set of quote servers behind one object; see the module's documentation.

    ``Client(servers=None, *, timeout=10.0, retries=3, pool=1)``

    - `servers`: ``"IP:PORT"`` texts or ``(ip, port)`` pairs (names are looked up once), or a
      comma-separated text; None reads the environment variable QUILLAN_SERVERS.
    - `timeout`: seconds for one request and its reply on the columnar connections (bars,
      quotes, trades); the other requests use the core's fixed limits (5 s to connect, 10 s
      per blocked send or receive).
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
        self._servers = parse_servers(servers)
        if isinstance(retries, bool) or not isinstance(retries, (int, Retry)):
            raise TypeError("retries is a number of retries or a Retry policy")
        self.retry = retries if isinstance(retries, Retry) else Retry(retries=retries)
        if isinstance(pool, bool) or not isinstance(pool, int) or pool < 1:
            raise ValueError(f"pool must be a positive number of connections, not {pool!r}")
        if not timeout > 0:
            raise ValueError(f"timeout must be positive, not {timeout!r}")
        self.timeout = float(timeout)
        self.pool = pool
        self._lock = threading.Lock()
        self._free = threading.Condition(self._lock)
        self._slots = [_Slot() for _ in range(pool)]
        self._idle = list(self._slots)
        self._ranked: list[tuple[str, int]] | None = None
        self._current = 0
        self._streak: dict[tuple[str, int], int] = {}
        self._rank_lock = threading.Lock()
        self._executor: ThreadPoolExecutor | None = None
        self._closed = False
        self._closing = threading.Event()
        self._factories = dict(_FACTORIES)

    # -- life cycle

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        """Closes every connection and stops the worker threads. Calls made afterwards raise
        RuntimeError; a request under way in another thread ends with its current try."""
        with self._lock:
            self._closed = True
            self._closing.set()
            idle, self._idle = self._idle, []
            executor, self._executor = self._executor, None
            self._free.notify_all()
        for slot in idle:
            slot.drop_all()
        if executor is not None:
            executor.shutdown(wait=True, cancel_futures=True)

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def servers(self) -> list[str]:
        """The servers, fastest first once they have been probed."""
        with self._lock:
            order = self._ranked if self._ranked is not None else self._servers
            return [_address_text(*server) for server in order]

    @property
    def server(self) -> str | None:
        """The server the Client uses now ("HOST:PORT"), or None before the first request."""
        with self._lock:
            if self._ranked is None:
                return None
            return _address_text(*self._ranked[self._current])

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"server={self.server}"
        return f"<quillan.Client {len(self._servers)} servers, pool={self.pool}, {state}>"

    # -- servers

    def _rank(self) -> None:
        """Probes the servers once and orders them: reachable ones by latency, then the rest."""
        with self._rank_lock:
            if self._ranked is not None:
                return
            from quillan._core import ping_servers

            numeric = [(_numeric_host(host), port) for host, port in self._servers]
            probes = [(f"[{h}]" if ":" in h else h, p) for h, p in numeric]
            latency = {(host, port): ms for host, port, ms in ping_servers(probes)}
            fast = sorted(
                (latency[probe], i) for i, probe in enumerate(probes) if latency.get(probe, 9999) < 9999
            )
            order = [i for _, i in fast] + [
                i for i in range(len(probes)) if latency.get(probes[i], 9999) >= 9999
            ]
            with self._lock:
                self._ranked = [numeric[i] for i in order]
                self._current = 0

    def _current_server(self) -> tuple[str, int]:
        if self._ranked is None:
            self._rank()
        with self._lock:
            assert self._ranked is not None
            return self._ranked[self._current]

    def _failed(self, server: tuple[str, int], connecting: bool) -> None:
        with self._lock:
            assert self._ranked is not None
            streak = self._streak.get(server, 0) + 1
            self._streak[server] = streak
            if (connecting or streak >= self.retry.failover_after) and self._ranked[self._current] == server:
                self._current = (self._current + 1) % len(self._ranked)
                self._streak[server] = 0

    def _succeeded(self, server: tuple[str, int]) -> None:
        with self._lock:
            self._streak[server] = 0

    # -- slots

    def _acquire(self) -> _Slot:
        with self._lock:
            while not self._idle:
                if self._closed:
                    raise RuntimeError("this quillan.Client is closed")
                self._free.wait()
            if self._closed:
                raise RuntimeError("this quillan.Client is closed")
            return self._idle.pop()

    def _release(self, slot: _Slot) -> None:
        with self._lock:
            if not self._closed:
                self._idle.append(slot)
                self._free.notify()
                return
        slot.drop_all()

    def _link(self, slot: _Slot, kind: str, server: tuple[str, int]) -> Any:
        held = slot.links.get(kind)
        if held is not None and held[0] == server:
            return held[1]
        slot.drop(kind)
        link = self._factories[kind](self.timeout)
        try:
            link.connect(
                server[0] if kind == "columnar" or ":" not in server[0] else f"[{server[0]}]", server[1]
            )
        except BaseException:
            _close_link(link)
            raise
        slot.links[kind] = (server, link)
        return link

    def _call(self, what: str, kind: str, request: Callable[[Any], T]) -> T:
        """Runs `request` on a connection of `kind`, retrying by the policy on fresh ones."""
        slot = self._acquire()
        try:
            return self._attempts(slot, what, kind, request)
        finally:
            self._release(slot)

    def _attempts(self, slot: _Slot, what: str, kind: str, request: Callable[[Any], T]) -> T:
        failures: dict[str, BaseException] = {}
        same_server_retries = 0
        tries = 0
        while True:
            server = self._current_server()
            tries += 1
            connecting = True
            try:
                link = self._link(slot, kind, server)
                connecting = False
                result = request(link)
            except BaseException as err:
                # Whatever went wrong, bytes of this exchange may still be on their way: the
                # connection is never used again.
                slot.drop(kind)
                if not self.retry.should_retry(err):
                    raise
                failures[_address_text(*server)] = err
                self._failed(server, connecting)
                if tries > self.retry.retries or self._closing.is_set():
                    raise ServersFailed(what, tries, failures) from err
                if self._current_server() == server:
                    if self._closing.wait(self.retry.delay(same_server_retries)):
                        raise ServersFailed(what, tries, failures) from err
                    same_server_retries += 1
                continue
            self._succeeded(server)
            return result

    def _map(self, function: Callable[[Any], T], items: Sequence[Any]) -> list[T]:
        """function(item) for every item, up to `pool` at a time, results in order."""
        if self.pool == 1 or len(items) <= 1:
            return [function(item) for item in items]
        with self._lock:
            if self._closed:
                raise RuntimeError("this quillan.Client is closed")
            if self._executor is None:
                self._executor = ThreadPoolExecutor(self.pool, thread_name_prefix="quillan-client")
            executor = self._executor
        return list(executor.map(function, items))

    # -- bars

    def bars(
        self,
        security: SecurityLike,
        freq: str | int = "1d",
        *,
        start: DateLike | None = None,
        end: DateLike | None = None,
        count: int | None = None,
        progress: Callable[[int], object] | None = None,
        adjust: Literal["forward", "backward"] | None = None,
        as_of: DateLike | None = None,
    ) -> Table:
        """Bars of `security`, oldest first, as a Table with the columns datetime
        (datetime64[s], the exchange's time), open, high, low, close, amount and volume
        (float64).

        Without arguments, the whole history the server keeps. `start` and `end` (a date, a
        datetime, or a text such as "2024-01-31" or "2024-01-31 10:30") keep the bars from
        `start` on and up to `end`; a date as `end` includes its whole day. `count` keeps the
        last `count` of those. `progress(bars_so_far)` is called after every round of requests.
        The history is read from the newest bar back, 800 bars a
        request, as far as needed; the server gives at most 65,600 bars of one series (its
        request offsets are 16 bits).

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
        category = parse_freq(freq)
        low = _bound(start, "start")[0] if start is not None else None
        high: np.datetime64 | None = None
        whole_day_end = False
        if end is not None:
            high, whole_day_end = _bound(end, "end")
            if whole_day_end:
                high = high + np.timedelta64(1, "D") - np.timedelta64(1, "s")
        if count is not None:
            if isinstance(count, bool) or not isinstance(count, int):
                raise TypeError(f"count is an int, not {type(count).__name__}")
            if count < 0:
                raise ValueError(f"count must not be negative, not {count}")

        def page(offset: int) -> Table:
            def request(link: Any) -> Table:
                return _bars_table(link.get_security_bars(category, market, code, offset, BARS_PER_REQUEST))

            return self._call(f"bars of {market}:{code} at offset {offset}", "columnar", request)

        def kept(table: Table) -> int:
            times = table["datetime"]
            return len(times) if high is None else int(np.count_nonzero(times <= high))

        pages: list[Table] = []  # newest first, without overlap
        oldest: np.datetime64 | None = None
        gathered = 0
        offset = 0
        done = count == 0
        wave = 1  # pages asked for at once: one, then twice as many each round, up to the pool
        while not done and offset <= MAX_OFFSET:
            wave = min(self.pool, wave * 2) if pages else 1
            if count is not None and high is None:
                wave = min(wave, max(1, -(-(count - gathered) // BARS_PER_REQUEST)))
            offsets = [
                o
                for o in range(offset, offset + wave * BARS_PER_REQUEST, BARS_PER_REQUEST)
                if o <= MAX_OFFSET
            ]
            for table in self._map(page, offsets):
                full = len(table) == BARS_PER_REQUEST
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
            offset = offsets[-1] + BARS_PER_REQUEST
            if progress is not None:
                progress(sum(len(p) for p in pages))
        if not pages:
            return self._adjusted(security, _bars_table(self._empty_bars()), adjust, as_of)
        result = Table.concat(reversed(pages))
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
        return self._adjusted(security, result, adjust, as_of)

    def _adjusted(
        self, security: SecurityLike, bars: Table, method: Literal["forward", "backward"] | None, as_of: Any
    ) -> Table:
        # Factors are relative within the bars returned, so an event on the first of them (whose
        # close before lies outside) would change none of them: the window alone is enough.
        return bars if method is None else adjust_prices(bars, self.xdxr(security), method, as_of=as_of)

    @staticmethod
    def _empty_bars() -> Table:
        empty = np.zeros(0, dtype=np.float64)
        columns: dict[str, Any] = {"datetime": np.zeros(0, dtype="datetime64[s]")}
        columns.update(dict.fromkeys(("open", "high", "low", "close", "vol", "amount"), empty))
        return Table(columns)

    # -- quotes and trades

    def quotes(self, securities: Iterable[SecurityLike]) -> Table:
        """Quotes of the securities, in the order given, asked for 80 at a time (up to `pool`
        requests at once). A security the server does not know has no row."""
        pairs = [parse_security(security) for security in securities]
        batches = [pairs[at : at + QUOTES_PER_REQUEST] for at in range(0, len(pairs), QUOTES_PER_REQUEST)]

        def batch(items: list[tuple[int, str]]) -> Table:
            table: Table = self._call(
                f"quotes of {len(items)} securities", "columnar", lambda link: link.get_security_quotes(items)
            )
            return table

        return Table.concat(self._map(batch, batches or [[]]))

    def ticks(self, security: SecurityLike) -> Table:
        """Every trade of the current trading day, oldest first, in the columns the columnar
        connection gives (time, price, vol, num, buyorsell).

        The trades are read from the newest back, 2,000 a request. If trades come in while
        they are read, the reading starts again (up to four times), so the result never holds
        a trade twice.
        """
        market, code = parse_security(security)

        def page(offset: int) -> Table:
            table: Table = self._call(
                f"trades of {market}:{code} at offset {offset}",
                "columnar",
                lambda link: link.get_transaction_data(market, code, offset, TRADES_PER_REQUEST),
            )
            return table

        for _ in range(4):
            pages: list[Table] = []
            offset = 0
            while offset <= MAX_OFFSET:
                table = page(offset)
                pages.append(table)
                if len(table) < TRADES_PER_REQUEST:
                    break
                offset += TRADES_PER_REQUEST
            if len(pages) == 1:
                return pages[0]
            # The newest trade must still be the one the first page ended with.
            newest = self._call(
                f"trades of {market}:{code}",
                "columnar",
                lambda link: link.get_transaction_data(market, code, 0, 1),
            )
            if len(newest) == 1 and newest.equals(pages[0][len(pages[0]) - 1 :]):
                return Table.concat(reversed(pages))
        raise RuntimeError(f"the trades of {market}:{code} kept changing while they were read; try again")

    # -- reference data, over the plain connection

    def xdxr(self, security: SecurityLike) -> Table:
        """Ex-rights and ex-dividend events, as the server sends them: date (datetime64[D]),
        category, name, then every value column (float64, NaN where the category has no such
        value)."""
        market, code = parse_security(security)
        rows = self._call(f"ex-rights of {market}:{code}", "core", lambda c: c.get_xdxr_info(market, code))
        dates: list[np.datetime64] = []
        for row in rows:
            try:
                dates.append(np.datetime64(datetime.date(row["year"], row["month"], row["day"]), "D"))
            except ValueError:
                dates.append(np.datetime64("NaT", "D"))
        columns: dict[str, Any] = {
            "date": np.array(dates, dtype="datetime64[D]"),
            "category": np.array([row["category"] for row in rows], dtype=np.int64),
            "name": np.array([row["name"] for row in rows], dtype=object),
        }
        for key in _XDXR_VALUES:
            columns[key] = np.array([row.get(key, np.nan) for row in rows], dtype=np.float64)
        return Table(columns)

    def finance(self, security: SecurityLike) -> Table:
        """The finance summary as a Table of one row (none when the server has no summary)."""
        market, code = parse_security(security)
        info: dict[str, Any] = self._call(
            f"finance of {market}:{code}", "core", lambda c: dict(c.get_finance_info(market, code))
        )
        rows = [info] if info else []
        columns: dict[str, Any] = {}
        for key in _FINANCE_KEYS:
            if key == "code":
                columns[key] = np.array([row[key] for row in rows], dtype=object)
            else:
                dtype = np.int64 if key in _FINANCE_INTS else np.float64
                columns[key] = np.array([row[key] for row in rows], dtype=dtype)
        return Table(columns)

    def company(self, security: SecurityLike) -> Table:
        """The company information index with each section's text: the columns name,
        filename, start, length and text."""
        market, code = parse_security(security)
        index = self._call(
            f"company index of {market}:{code}", "core", lambda c: c.get_company_info_category(market, code)
        )

        def text(entry: dict[str, Any]) -> str:
            content: str = self._call(
                f"company text {entry['name']!r} of {market}:{code}",
                "core",
                lambda c: c.get_company_info_content(
                    market, code, entry["filename"], entry["start"], entry["length"]
                ),
            )
            return content

        texts = self._map(text, list(index))
        return Table(
            {
                "name": np.array([e["name"] for e in index], dtype=object),
                "filename": np.array([e["filename"] for e in index], dtype=object),
                "start": np.array([e["start"] for e in index], dtype=np.int64),
                "length": np.array([e["length"] for e in index], dtype=np.int64),
                "text": np.array(texts, dtype=object),
            }
        )

    def report(self, name: str, *, progress: Callable[[int], object] | None = None) -> bytes:
        """The whole report file `name` (b"" when the server has none). The file comes in
        pieces; each must hold the size its reply announces, else the piece is asked for again
        on a fresh connection. `progress(bytes_so_far)` is called after every piece."""
        if not isinstance(name, str):
            raise TypeError(f"name is a str, not {type(name).__name__}")
        parts: list[bytes] = []
        offset = 0
        while True:
            if offset > 0xFFFFFFFF:
                raise ValueError(f"report file {name!r} is larger than 4 GiB")

            def piece(link: Any, at: int = offset) -> bytes:
                size, data = link.get_report_file(name, at)
                if size != len(data):
                    raise ConnectionError(
                        f"a piece of {name!r} at offset {at} holds {len(data)} bytes, its reply says {size}"
                    )
                return bytes(data)

            data = self._call(f"report file {name!r} at offset {offset}", "core", piece)
            if not data:
                return b"".join(parts)
            parts.append(data)
            offset += len(data)
            if progress is not None:
                progress(offset)
