"""Faults the simulator can be told to commit, one connection at a time.

A test lists faults with `Server.set_faults`: each new connection takes the next fault of the
list when it sends its first packet (so a bare connection, such as a latency probe, takes
none), and once the list is used up connections behave, unless a standing fault is set for
every connection. A fault strikes when the connection has had `after` data requests answered
(the set-up packets do not count), instead of answering the next one:

- ``close``: the server closes the connection without answering;
- ``reset``: the server resets the connection (TCP RST) without answering;
- ``stall``: the answer is held back for `seconds`, then sent (late: a client that gave up
  and sent another request on the same connection would read it as the answer to that one);
- ``garbage``: a reply of bytes that are not a valid body takes the answer's place, and the
  connection goes on;
- ``refuse``: the connection is reset at its first packet, before any answer.
"""

from __future__ import annotations

import dataclasses
import socket
import struct
import threading
from collections import deque
from collections.abc import Callable, Iterable
from typing import Any

__all__ = ["KINDS", "ConnectionFaults", "Fault", "FaultPlan", "commit"]

KINDS = ("close", "reset", "stall", "garbage", "refuse")
SETUP_COMMANDS = frozenset({0x000D, 0x0FDB})


@dataclasses.dataclass(frozen=True)
class Fault:
    kind: str
    after: int = 0  # data requests answered before the fault strikes
    seconds: float = 3600.0  # how long a stall holds the answer back

    def __post_init__(self) -> None:
        if self.kind not in KINDS:
            raise ValueError(f"unknown fault {self.kind!r} (one of {', '.join(KINDS)})")
        if self.after < 0 or self.seconds < 0:
            raise ValueError(f"invalid fault {self!r}")

    def to_json(self) -> dict[str, Any]:
        return dataclasses.asdict(self)

    @staticmethod
    def from_json(value: dict[str, Any]) -> Fault:
        return Fault(str(value["kind"]), int(value.get("after", 0)), float(value.get("seconds", 3600.0)))


class FaultPlan:
    """The faults waiting for connections, shared by the server's threads."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._queue: deque[Fault] = deque()
        self._every: Fault | None = None

    def set(self, faults: Iterable[Fault] = (), every: Fault | None = None) -> None:
        with self._lock:
            self._queue = deque(faults)
            self._every = every

    def take(self) -> Fault | None:
        with self._lock:
            return self._queue.popleft() if self._queue else self._every


class ConnectionFaults:
    """The fault of one connection, and how many data requests it has had answered."""

    def __init__(self, plan: FaultPlan) -> None:
        self._plan = plan
        self._started = False
        self._fault: Fault | None = None
        self._answered = 0

    def strike(self, command: int) -> Fault | None:
        """The fault to commit instead of answering this request, if any."""
        if not self._started:
            self._started = True
            self._fault = self._plan.take()
        fault = self._fault
        if fault is None:
            return None
        if fault.kind != "refuse":
            if command in SETUP_COMMANDS:
                return None
            if self._answered < fault.after:
                self._answered += 1
                return None
        self._fault = None
        return fault


def _garbage() -> bytes:
    # A header announcing 64 compressed bytes that inflate to 200, then 64 bytes that are not
    # a zlib stream (0xFF is no valid compression method).
    return bytes(12) + struct.pack("<HH", 64, 200) + b"\xff" + bytes(range(63))


def commit(fault: Fault, sock: socket.socket, answer: Callable[[], bytes], closing: threading.Event) -> bool:
    """Commits `fault` on `sock` in place of `answer`; True when the connection goes on."""
    if fault.kind in ("reset", "refuse"):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return False
    if fault.kind == "close":
        return False
    if fault.kind == "garbage":
        sock.sendall(_garbage())
        return True
    if closing.wait(fault.seconds):  # a stall, cut short when the server closes
        return False
    sock.sendall(answer())
    return True
