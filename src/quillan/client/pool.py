"""The servers and connections behind a Client: which server is in use, a pool of columnar
connections, and one request run by the retry policy.

The servers are probed once, on the first request, and ranked by the latency of a TCP connect;
the Client uses the fastest and moves to the next after a failure to connect or after
`Retry.failover_after` failed exchanges in a row. A connection that failed an exchange is
closed and never used again: bytes of the failed exchange may still be on their way, and would
be read as the answer to the next request.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import TypeVar

from quillan.client.retry import Retry, ServersFailed
from quillan.columnar import Connection
from quillan.vocabulary import ServerAddress

__all__ = ["Pool", "Probe"]

T = TypeVar("T")
R = TypeVar("R")
UNREACHABLE = 9999  # the latency of a server that cannot be reached


@dataclass(frozen=True)
class Probe:
    """What probing one server found: the server as given, its numeric address (None when its
    name could not be looked up), and the latency of a TCP connect in ms (9999: unreachable)."""

    server: ServerAddress
    resolved: ServerAddress | None
    latency_ms: int
    note: str = ""


def probe(servers: Sequence[ServerAddress]) -> list[Probe]:
    """Looks up each server's name (once) and times a TCP connect to each, all at once (2 s at
    most); the results in the order of `servers`."""
    from quillan._columnar import probe_servers

    resolved: list[ServerAddress | None] = []
    notes: list[str] = []
    for server in servers:
        try:
            resolved.append(server.resolved())
            notes.append("")
        except OSError as err:
            resolved.append(None)
            notes.append(f"host name not found: {err.strerror or err}")
    probes = [(f"[{r.host}]" if ":" in r.host else r.host, r.port) for r in resolved if r is not None]
    latency = {(host, port): ms for host, port, ms in probe_servers(probes)} if probes else {}
    found = []
    for server, numeric, note in zip(servers, resolved, notes, strict=True):
        ms = UNREACHABLE
        if numeric is not None:
            ms = latency.get((f"[{numeric.host}]" if ":" in numeric.host else numeric.host, numeric.port), ms)
        found.append(Probe(server, numeric, ms, note))
    return found


class _Slot:
    """One place of the pool: a connection to one server, opened on first use."""

    __slots__ = ("connection", "server")

    def __init__(self) -> None:
        self.connection: Connection | None = None
        self.server: ServerAddress | None = None

    def drop(self) -> None:
        if self.connection is not None:
            self.connection.close()
        self.connection = self.server = None


class Pool:
    """`size` connections to the best of `servers`, and the requests run on them by `retry`.
    Thread-safe: up to `size` requests run at once, further ones wait for a free connection."""

    def __init__(self, servers: Sequence[ServerAddress], size: int, timeout: float, retry: Retry) -> None:
        self.servers = list(servers)
        self.size = size
        self.timeout = timeout
        self.retry = retry
        self._lock = threading.Lock()
        self._free = threading.Condition(self._lock)
        self._idle = [_Slot() for _ in range(size)]
        self._busy: list[_Slot] = []
        self._epoch = 0  # counts the cancels: a request started before one is not retried
        self._ranked: list[Probe] | None = None
        self._current = 0
        self._streak: dict[ServerAddress, int] = {}
        self._rank_lock = threading.Lock()
        self._executor: ThreadPoolExecutor | None = None
        self._closed = False
        self._closing = threading.Event()

    # -- life cycle

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Closes the idle connections and stops the worker threads; a connection in use is
        closed when its request ends."""
        self.cancel()  # the requests under way end now, not at their deadlines
        with self._lock:
            self._closed = True
            self._closing.set()
            idle, self._idle = self._idle, []
            executor, self._executor = self._executor, None
            self._free.notify_all()
        for slot in idle:
            slot.drop()
        if executor is not None:
            executor.shutdown(wait=True, cancel_futures=True)

    def cancel(self) -> None:
        """Ends the requests under way: each fails within 0.05 s and is not tried again. The
        pool stays usable; later requests open fresh connections."""
        with self._lock:
            self._epoch += 1
            connections = [slot.connection for slot in self._busy if slot.connection is not None]
        for connection in connections:
            connection.cancel()

    # -- servers

    def rank(self, again: bool = False) -> list[Probe]:
        """The servers probed and ordered (reachable ones by latency, then the rest); probed
        once, or again when asked."""
        with self._rank_lock:
            if self._ranked is None or again:
                probes = probe(self.servers)
                order = sorted(range(len(probes)), key=lambda i: (probes[i].latency_ms, i))
                with self._lock:
                    self._ranked = [probes[i] for i in order]
                    self._current = 0
            return list(self._ranked)

    def ranked(self) -> list[ServerAddress]:
        """The servers, fastest first once they have been probed."""
        with self._lock:
            return [p.server for p in self._ranked] if self._ranked is not None else list(self.servers)

    def current(self) -> ServerAddress | None:
        """The server in use, or None before the first request."""
        with self._lock:
            return None if self._ranked is None else self._ranked[self._current].server

    def _now(self) -> Probe:
        if self._ranked is None:
            self.rank()
        with self._lock:
            assert self._ranked is not None
            return self._ranked[self._current]

    def _failed(self, server: ServerAddress, connecting: bool) -> None:
        with self._lock:
            assert self._ranked is not None
            streak = self._streak.get(server, 0) + 1
            self._streak[server] = streak
            in_use = self._ranked[self._current].server == server
            if in_use and (connecting or streak >= self.retry.failover_after):
                self._current = (self._current + 1) % len(self._ranked)
                self._streak[server] = 0

    def _succeeded(self, server: ServerAddress) -> None:
        with self._lock:
            self._streak[server] = 0

    # -- connections

    def _acquire(self) -> _Slot:
        with self._lock:
            while not self._idle and not self._closed:
                self._free.wait()
            if self._closed:
                raise RuntimeError("this quillan.Client is closed")
            slot = self._idle.pop()
            self._busy.append(slot)
            return slot

    def _release(self, slot: _Slot) -> None:
        with self._lock:
            self._busy.remove(slot)
            if not self._closed:
                self._idle.append(slot)
                self._free.notify()
                return
        slot.drop()

    def _connection(self, slot: _Slot, probe: Probe) -> Connection:
        if slot.connection is not None and slot.server == probe.server:
            return slot.connection
        slot.drop()
        if probe.resolved is None:
            raise ConnectionError(f"cannot connect to {probe.server}: {probe.note}")
        connection = Connection(timeout=self.timeout)
        with self._lock:  # in the slot before it connects, so that a cancel reaches it
            slot.connection, slot.server = connection, probe.server
        try:
            connection.connect(probe.resolved.host, probe.resolved.port)
        except BaseException:
            slot.drop()
            raise
        return connection

    # -- requests

    def call(self, what: str, request: Callable[[Connection], T]) -> T:
        """``request(connection)`` on a pooled connection, retried by the policy on fresh
        ones; ServersFailed when every try failed. `what` names the request in that error."""
        slot = self._acquire()
        try:
            return self._attempts(slot, what, request)
        finally:
            self._release(slot)

    def _attempts(self, slot: _Slot, what: str, request: Callable[[Connection], T]) -> T:
        failures: dict[str, BaseException] = {}
        same_server_retries = 0
        tries = 0
        epoch = self._epoch
        while True:
            now = self._now()
            tries += 1
            connecting = True
            try:
                connection = self._connection(slot, now)
                connecting = False
                result = request(connection)
            except BaseException as err:
                # Whatever went wrong, bytes of this exchange may still be on their way: the
                # connection is never used again.
                slot.drop()
                if not self.retry.should_retry(err) or self._epoch != epoch:  # cancelled: not again
                    raise
                failures[now.server.address] = err
                self._failed(now.server, connecting)
                if tries > self.retry.retries or self._closing.is_set():
                    raise ServersFailed(what, tries, failures) from err
                if self._now().server == now.server:
                    if self._closing.wait(self.retry.delay(same_server_retries)):
                        raise ServersFailed(what, tries, failures) from err
                    same_server_retries += 1
                continue
            self._succeeded(now.server)
            return result

    def map(self, function: Callable[[T], R], items: Sequence[T]) -> list[R]:
        """function(item) for every item, up to `size` at a time, results in order."""
        if self.size == 1 or len(items) <= 1:
            return [function(item) for item in items]
        with self._lock:
            if self._closed:
                raise RuntimeError("this quillan.Client is closed")
            if self._executor is None:
                self._executor = ThreadPoolExecutor(self.size, thread_name_prefix="quillan-client")
            executor = self._executor
        return list(executor.map(function, items))
