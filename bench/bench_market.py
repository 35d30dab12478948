"""Times get_security_bars, get_security_quotes and get_transaction_data against plain Python.

    .venv/bin/python bench/bench_market.py [--quick]

The simulator's server, in a child process, answers every request on loopback with a fixed,
zlib-compressed response: 800 daily bars, 80 quotes or 2,000 trades. For each response it
prints microseconds per call, from request to result, of

  module  the TdxClient method: request frame, loopback round trip, inflate, decode, result
  python  the same exchange in plain Python (socket, zlib) with the test suite's plain-Python
          decoders (bench/plain_client.py), which follow the module's decoding rules and so give
          the same result for any body, cut or miscounted ones included: the fair comparison

An empty response to the same request gives the round trip that every call pays; "net"
is the python / module ratio with that round trip taken off both sides. On a virtual machine
the round trip depends on how soon an idle CPU wakes for the server (20 to 110 us seen on the
same machine), and it weighs most on the quotes, whose decoding is the smallest.
Timings are the best of several runs, with the garbage collector off, as timeit does.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import os
import pathlib
import platform
import random
import socket
import struct
import sys
import timeit
from collections.abc import Callable
from multiprocessing.connection import Connection
from typing import Any

from quillan._core import TdxClient
from quillan.sim.codec import frame_response
from quillan.sim.codec import pack_price as varint
from quillan.sim.protocol import CMD_BARS, CMD_QUOTES, CMD_TRADES, Request
from quillan.sim.server import SimServer

# The plain-Python client beside this script.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import plain_client as wire

from quillan.sim.protocol import bars_request, quotes_request, trades_request

# ---- responses -------------------------------------------------------------------------------


def volume(x: float) -> bytes:
    return struct.pack("<f", x)


def bars_body(rng: random.Random, n: int = 800) -> bytes:
    out = bytearray(struct.pack("<H", n))
    close = 0
    price = 12340
    for i in range(n):
        open_ = price + rng.randrange(-80, 81)
        close_ = open_ + rng.randrange(-300, 301)
        high = max(open_, close_) + rng.randrange(0, 200)
        low = min(open_, close_) - rng.randrange(0, 200)
        year, day = 2021 + i // 250, i % 250
        out += struct.pack("<I", year * 10000 + (day // 21 + 1) * 100 + day % 21 + 1)
        out += varint(open_ - close) + varint(close_ - open_)
        out += varint(high - open_) + varint(low - open_)
        out += volume(float(rng.randrange(100_000, 9_000_000)))
        out += volume(float(rng.randrange(10_000_000, 900_000_000)))
        close = price = close_
    return bytes(out)


def quotes_body(rng: random.Random, n: int = 80) -> bytes:
    out = bytearray(struct.pack("<HH", 0, n))
    for i in range(n):
        price = rng.randrange(300, 20000)
        out += bytes([i % 2]) + f"{600000 + i:06d}".encode() + b"\0\0"
        out += varint(price)
        for _ in range(4):
            out += varint(rng.randrange(-200, 201))
        out += varint(14_999_999) + varint(0)
        out += varint(rng.randrange(1, 5_000_000)) + varint(rng.randrange(1, 5000))
        out += volume(float(rng.randrange(1_000_000, 900_000_000)))
        out += varint(rng.randrange(1, 2_000_000)) + varint(rng.randrange(1, 2_000_000))
        out += varint(0) + varint(0)
        for level in range(1, 6):
            out += varint(-level) + varint(level)
            out += varint(rng.randrange(1, 9000)) + varint(rng.randrange(1, 9000))
        out += b"\0\0" + varint(rng.randrange(-50, 50)) + varint(0) + varint(0) + varint(0)
        out += bytes(4)
    return bytes(out)


def trades_body(rng: random.Random, n: int = 2000) -> bytes:
    out = bytearray(struct.pack("<H", n))
    price = 1234
    for i in range(n):
        delta = rng.randrange(-3, 4) if i else price
        out += struct.pack("<H", 570 + i * 330 // n)
        out += varint(delta) + varint(rng.randrange(1, 5000)) + varint(rng.randrange(1, 60))
        out += varint(rng.randrange(0, 3)) + varint(0)
    return bytes(out)


# ---- the server ------------------------------------------------------------------------------


class FixedAnswers:
    """The simulator's server answers with this instead of its data: the prepared response of
    the frame's command, or an empty one for anything else and for market 255 (the first
    security's, for quotes), which times the bare round trip."""

    def __init__(self, bodies: dict[int, bytes]):
        self.responses = {cmd: frame_response(body, cmd) for cmd, body in bodies.items()}
        self.empty = frame_response(b"")

    def __call__(self, frame: bytes) -> bytes:
        req = Request(frame)
        market = req.u8(22 if req.command == CMD_QUOTES else 12)
        return self.empty if market == 255 else self.responses.get(req.command or 0, self.empty)


def _server_main(conn: Connection, bodies: dict[int, bytes]) -> None:
    server = SimServer(answer=FixedAnswers(bodies))
    conn.send(server.port)
    server.serve_forever()


# ---- timing ----------------------------------------------------------------------------------


def best_us(fns: list[Callable[[], Any]], numbers: list[int], repeat: int) -> list[float]:
    """Best time per call of each function, in microseconds. The functions take turns, run by
    run, so a burst of load on the machine does not fall on one of them only."""
    best = [math.inf] * len(fns)
    for _ in range(repeat):
        for i, (fn, number) in enumerate(zip(fns, numbers, strict=True)):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number * 1e6)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs (a rough figure)")
    args = parser.parse_args()
    number, repeat = (20, 3) if args.quick else (100, 15)

    rng = random.Random(42)
    bodies = {CMD_BARS: bars_body(rng), CMD_QUOTES: quotes_body(rng), CMD_TRADES: trades_body(rng)}

    ctx = multiprocessing.get_context("spawn")
    parent, child = ctx.Pipe()
    server = ctx.Process(target=_server_main, args=(child, bodies), daemon=True)
    server.start()
    port = parent.recv()
    try:
        client = TdxClient()
        client.connect("127.0.0.1", port)
        raw = wire.RawClient("127.0.0.1", port, setup=False)
        raw.sock.settimeout(None)  # a socket with a time-out polls before every recv
        raw.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        stocks = [(i % 2, f"{600000 + i:06d}") for i in range(80)]
        bars_frame = bars_request(9, 1, "600036", 0, 800)
        quotes_frame = quotes_request(stocks)
        trades_frame = trades_request(1, "600036", 0, 2000)
        cases: list[tuple[str, int, Callable[[], Any], Callable[[], Any], Callable[[], Any]]] = [
            (
                "800 bars",
                CMD_BARS,
                lambda: client.get_security_bars(9, 1, "600036", 0, 800),
                lambda: client.get_security_bars(9, 255, "600036", 0, 800),
                lambda: wire.decode_bars(9, raw.exchange(bars_frame)),
            ),
            (
                "80 quotes",
                CMD_QUOTES,
                lambda: client.get_security_quotes(stocks),
                lambda: client.get_security_quotes([(255, "600036")] * 80),
                lambda: wire.decode_quotes(raw.exchange(quotes_frame)),
            ),
            (
                "2,000 trades",
                CMD_TRADES,
                lambda: client.get_transaction_data(1, "600036", 0, 2000),
                lambda: client.get_transaction_data(255, "600036", 0, 2000),
                lambda: wire.decode_trades(raw.exchange(trades_frame)),
            ),
        ]

        print(
            f"quillan._core market data, CPython {platform.python_version()}, "
            f"{os.cpu_count()} CPUs, loopback server in a child process"
        )
        print(
            f"microseconds per call, best of {repeat} runs of {number} calls "
            f"({max(number // 5, 5)} for the plain-Python ones)\n"
        )
        print(
            f"{'response':<14}{'body':>14}{'empty call':>12}{'module':>9}{'python':>9}{'ratio':>8}{'net':>8}"
        )
        for name, cmd, module_call, empty_call, python_call in cases:
            body = bodies[cmd]
            result = module_call()
            if not result or result != python_call():
                print(f"{name}: the module and the plain-Python decoder disagree", file=sys.stderr)
                return 1
            empty_us, module_us, python_us = best_us(
                [empty_call, module_call, python_call], [number, number, max(number // 5, 5)], repeat
            )
            ratio = python_us / module_us
            size = f"{len(body)}/{len(frame_response(body)) - 16}B"
            print(
                f"{name:<14}{size:>14}{empty_us:>12.1f}{module_us:>9.1f}{python_us:>9.1f}"
                f"{ratio:>7.1f}x{(python_us - empty_us) / (module_us - empty_us):>7.1f}x"
            )
        print(
            "\nbody: decoded/compressed bytes. empty call: the module's call answered with an "
            "empty body\n(request + round trip). Every other column is request to result on "
            "loopback:\nmodule: the TdxClient method. python: socket + zlib + the plain-Python "
            "decoder of\nbench/plain_client.py, which follows the module's rules (same results on any body). "
            "ratio = python / module.\nnet: python / module with the empty call's round trip "
            "taken off both; the round trip of\nthis loopback varies with how soon an idle CPU "
            "wakes (about 20 to 110 us seen here)."
        )
        client.disconnect()
        raw.close()
        return 0
    finally:
        server.kill()
        server.join()


if __name__ == "__main__":
    sys.exit(main())
