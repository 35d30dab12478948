"""Times get_security_bars, get_security_quotes and get_transaction_data against plain Python.

    .venv/bin/python bench/bench_market.py [--quick]

A small quote server in a child process answers every request on loopback with a fixed,
zlib-compressed response: 800 daily bars, 80 quotes or 2,000 trades. For each response it
prints microseconds per call, from request to result, of

  module  the TdxClient method: request frame, loopback round trip, inflate, decode, result
  python  the same exchange in plain Python (socket, zlib) with a plain-Python decoder that
          follows the module's decoding rules, so that it gives the same result for any body,
          cut or miscounted ones included: the fair comparison, and the targets' ratio
          (at least 8x for bars and quotes, 5x for trades)
  lean    the same with a leaner decoder that is right only for well-formed bodies

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
import platform
import random
import socket
import struct
import sys
import threading
import timeit
import zlib

from quillan._core import TdxClient
from quillan.sim.codec import pack_price as varint

# ---- responses -------------------------------------------------------------------------------

CMD_BARS, CMD_QUOTES, CMD_TRADES = 0x052D, 0x053E, 0x0FC5


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


def response(body: bytes, compress: bool = True) -> bytes:
    wire = zlib.compress(body) if compress else body
    return bytes(12) + struct.pack("<HH", len(wire), len(body)) + wire


# ---- the server ------------------------------------------------------------------------------


def _recv_exact(sock: socket.socket, n: int) -> bytes | None:
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            return None
        buf += chunk
    return bytes(buf)


def _serve(sock: socket.socket, answers: dict[int, bytes]) -> None:
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    empty = response(b"", compress=False)
    with sock:
        while True:
            head = _recv_exact(sock, 10)
            if head is None:
                return
            (length,) = struct.unpack_from("<H", head, 6)
            rest = _recv_exact(sock, length)
            if rest is None:
                return
            (command,) = struct.unpack_from("<H", rest, 0)
            # Market 255 (the first stock's, for quotes) asks for an empty answer, to time the
            # bare round trip.
            at = 12 if command == CMD_QUOTES else 2
            market = rest[at] if len(rest) > at else 0
            sock.sendall(empty if market == 255 else answers.get(command, empty))


def _server_main(conn, answers: dict[int, bytes]) -> None:
    listener = socket.create_server(("127.0.0.1", 0))
    conn.send(listener.getsockname()[1])
    while True:
        sock, _ = listener.accept()
        threading.Thread(target=_serve, args=(sock, answers), daemon=True).start()


# ---- plain-Python decoders ------------------------------------------------------------------
# What a Python programmer would write: struct for fixed fields, a varint helper, dict literals.
# They decode well-formed bodies exactly as the module does (checked before timing) and stop at a
# cut body by catching the IndexError instead of testing lengths.


def _price(body: bytes, p: int) -> tuple[int, int]:
    b = body[p]
    p += 1
    v = b & 0x3F
    negative = b & 0x40
    shift = 6
    while b & 0x80:
        b = body[p]
        p += 1
        v += (b & 0x7F) << shift
        shift += 7
    return (-v if negative else v), p


def _volume(v: int) -> float:
    return math.ldexp(1.0 + (v & 0x7FFFFF) / 8388608.0, (v >> 23) - 127)


def py_decode_bars(body: bytes) -> list[dict]:
    """Date-layout bars (category 9)."""
    if len(body) < 2:
        return []
    (n,) = struct.unpack_from("<H", body, 0)
    bars = []
    p = 2
    base = 0
    try:
        for _ in range(n):
            (d,) = struct.unpack_from("<I", body, p)
            open_, p = _price(body, p + 4)
            close, p = _price(body, p)
            high, p = _price(body, p)
            low, p = _price(body, p)
            vol, amount = struct.unpack_from("<II", body, p)
            p += 8
            open_ += base
            base = close = open_ + close
            bars.append(
                {
                    "datetime": f"{d // 10000}-{d % 10000 // 100:02d}-{d % 100:02d} 15:00",
                    "open": open_ / 1000.0,
                    "high": (open_ + high) / 1000.0,
                    "low": (open_ + low) / 1000.0,
                    "close": close / 1000.0,
                    "vol": _volume(vol),
                    "amount": _volume(amount),
                }
            )
    except (IndexError, struct.error):
        pass
    return bars


def py_decode_quotes(body: bytes) -> list[dict]:
    if len(body) < 4:
        return []
    (n,) = struct.unpack_from("<H", body, 2)
    quotes = []
    p = 4
    try:
        for _ in range(n):
            market = body[p]
            try:
                code = body[p + 1 : p + 7].decode().rstrip("\0")
            except UnicodeDecodeError:
                code = ""
            price, p = _price(body, p + 9)
            last_close, p = _price(body, p)
            open_, p = _price(body, p)
            high, p = _price(body, p)
            low, p = _price(body, p)
            servertime, p = _price(body, p)
            _, p = _price(body, p)
            vol, p = _price(body, p)
            cur_vol, p = _price(body, p)
            (amount,) = struct.unpack_from("<I", body, p)
            s_vol, p = _price(body, p + 4)
            b_vol, p = _price(body, p)
            _, p = _price(body, p)
            _, p = _price(body, p)
            quote = {
                "market": market,
                "code": code,
                "price": price / 100.0,
                "last_close": (price + last_close) / 100.0,
                "open": (price + open_) / 100.0,
                "high": (price + high) / 100.0,
                "low": (price + low) / 100.0,
                "servertime": servertime,
                "vol": vol,
                "cur_vol": cur_vol,
                "amount": _volume(amount),
                "s_vol": s_vol,
                "b_vol": b_vol,
            }
            for level in "12345":
                bid, p = _price(body, p)
                ask, p = _price(body, p)
                bid_vol, p = _price(body, p)
                ask_vol, p = _price(body, p)
                quote["bid" + level] = (price + bid) / 100.0
                quote["ask" + level] = (price + ask) / 100.0
                quote["bid_vol" + level] = bid_vol
                quote["ask_vol" + level] = ask_vol
            p += 2
            for _ in range(4):
                _, p = _price(body, p)
            p += 4
            quotes.append(quote)
    except (IndexError, struct.error):
        pass
    return quotes


def py_decode_trades(body: bytes) -> list[dict]:
    if len(body) < 2:
        return []
    (n,) = struct.unpack_from("<H", body, 0)
    trades = []
    p = 2
    total = 0
    try:
        for _ in range(n):
            (t,) = struct.unpack_from("<H", body, p)
            delta, p = _price(body, p + 2)
            vol, p = _price(body, p)
            num, p = _price(body, p)
            buyorsell, p = _price(body, p)
            _, p = _price(body, p)
            total += delta
            trades.append(
                {
                    "time": f"{t // 60:02d}:{t % 60:02d}",
                    "price": total / 100.0,
                    "vol": vol,
                    "num": num,
                    "buyorsell": buyorsell,
                }
            )
    except (IndexError, struct.error):
        pass
    return trades


# ---- plain-Python decoders that follow the module's rules -----------------------------------
# A straight port of the documented decoding: the same end-of-body rules as the module (a price
# read at the end gives 0, a cut record is dropped or kept exactly as the module does), so they
# agree with it on any body, cut or miscounted ones included. They leave out only the 64-bit
# wrap-around of sums, which no sane body reaches.


def _read_price(body: bytes, p: int) -> tuple[int, int]:
    size = len(body)
    if p >= size:
        return 0, p
    b0 = body[p]
    v = b0 & 0x3F
    shift = 6
    if b0 & 0x80:
        while True:
            if p == size - 1:
                p = size
                break
            p += 1
            b = body[p]
            v += (b & 0x7F) << (shift % 64)
            shift += 7
            if not b & 0x80:
                break
    p += 1
    return (-v if b0 & 0x40 else v), p


def _skip_price(body: bytes, p: int) -> int:
    size = len(body)
    if p >= size:
        return p
    while body[p] & 0x80:
        if p == size - 1:
            return size + 1
        p += 1
    return p + 1


def exact_decode_bars(body: bytes, category: int = 9) -> list[dict]:
    size = len(body)
    if size < 2:
        return []
    (n,) = struct.unpack_from("<H", body, 0)
    bars = []
    p = 2
    base = 0
    for _ in range(n):
        if p + 4 > size:
            break
        if category <= 8 and (0x18F >> category) & 1:
            d, t = struct.unpack_from("<HH", body, p)
            year, month, day = (d >> 11) + 2004, (d & 0x7FF) // 100, (d & 0x7FF) % 100
            hour, minute = t // 60, t % 60
        else:
            (v,) = struct.unpack_from("<I", body, p)
            year, month, day, hour, minute = v // 10000, v % 10000 // 100, v % 100, 15, 0
        open_delta, p = _read_price(body, p + 4)
        close_delta, p = _read_price(body, p)
        high_delta, p = _read_price(body, p)
        low_delta, p = _read_price(body, p)
        if p + 8 > size:
            break
        vol, amount = struct.unpack_from("<II", body, p)
        p += 8
        open_ = base + open_delta
        close = open_ + close_delta
        bars.append(
            {
                "datetime": f"{year}-{month:02d}-{day:02d} {hour:02d}:{minute:02d}",
                "open": open_ / 1000.0,
                "high": (open_ + high_delta) / 1000.0,
                "low": (open_ + low_delta) / 1000.0,
                "close": close / 1000.0,
                "vol": _volume(vol),
                "amount": _volume(amount),
            }
        )
        base = close
    return bars


def exact_decode_quotes(body: bytes) -> list[dict]:
    size = len(body)
    if size < 4:
        return []
    (n,) = struct.unpack_from("<H", body, 2)
    quotes = []
    if n == 0:
        return quotes
    p = 4
    k = 0
    while True:
        if p + 9 > size:
            break
        market = body[p]
        try:
            code = body[p + 1 : p + 7].decode().rstrip("\0")
        except UnicodeDecodeError:
            code = ""
        price, p = _read_price(body, p + 9)
        last_close, p = _read_price(body, p)
        open_, p = _read_price(body, p)
        high, p = _read_price(body, p)
        low, p = _read_price(body, p)
        servertime, p = _read_price(body, p)
        p = _skip_price(body, p)
        vol, p = _read_price(body, p)
        cur_vol, p = _read_price(body, p)
        if p + 4 > size:
            break
        (amount,) = struct.unpack_from("<I", body, p)
        s_vol, p = _read_price(body, p + 4)
        b_vol, p = _read_price(body, p)
        p = _skip_price(body, _skip_price(body, p))
        quote = {
            "market": market,
            "code": code,
            "price": price / 100.0,
            "last_close": (price + last_close) / 100.0,
            "open": (price + open_) / 100.0,
            "high": (price + high) / 100.0,
            "low": (price + low) / 100.0,
            "servertime": servertime,
            "vol": vol,
            "cur_vol": cur_vol,
            "amount": _volume(amount),
            "s_vol": s_vol,
            "b_vol": b_vol,
        }
        k += 1
        for level in "12345":
            bid, p = _read_price(body, p)
            ask, p = _read_price(body, p)
            bid_vol, p = _read_price(body, p)
            ask_vol, p = _read_price(body, p)
            quote["bid" + level] = (price + bid) / 100.0
            quote["ask" + level] = (price + ask) / 100.0
            quote["bid_vol" + level] = bid_vol
            quote["ask_vol" + level] = ask_vol
        if p >= size:
            break
        if p + 2 <= size:
            p += 2
        for _ in range(4):
            p = _skip_price(body, p)
        quotes.append(quote)
        if p + 4 <= size:
            p += 4
        if k & 0xFFFF == n:
            break
    return quotes


def exact_decode_trades(body: bytes) -> list[dict]:
    size = len(body)
    if size < 2:
        return []
    (n,) = struct.unpack_from("<H", body, 0)
    trades = []
    p = 2
    total = 0
    for _ in range(n):
        if p + 2 > size:
            break
        (t,) = struct.unpack_from("<H", body, p)
        delta, p = _read_price(body, p + 2)
        vol, p = _read_price(body, p)
        num, p = _read_price(body, p)
        buyorsell, p = _read_price(body, p)
        p = _skip_price(body, p)
        total += delta
        trades.append(
            {
                "time": f"{t // 60:02d}:{t % 60:02d}",
                "price": total / 100.0,
                "vol": vol,
                "num": num,
                "buyorsell": buyorsell,
            }
        )
    return trades


# ---- the same exchange in plain Python -----------------------------------------------------


def py_exchange(sock: socket.socket, frame: bytes) -> bytes:
    sock.sendall(frame)
    head = _recv_exact(sock, 16)
    zs, us = struct.unpack_from("<HH", head, 12)
    body = _recv_exact(sock, zs) if zs else b""
    return zlib.decompress(body) if zs != us else body


def bars_frame(market: int) -> bytes:
    return (
        bytes.fromhex("0C 01 08 64 01 01 1C 00 1C 00 2D 05")
        + struct.pack("<H", market)
        + b"600036"
        + struct.pack("<HHHH", 9, 1, 0, 800)
        + bytes(10)
    )


def quotes_frame(stocks: list[tuple[int, str]]) -> bytes:
    n = len(stocks)
    head = bytes.fromhex("0C 01 20 63 00 02") + struct.pack("<HHH", 7 * n + 12, 7 * n + 12, CMD_QUOTES)
    body = struct.pack("<H", 5) + bytes(6) + struct.pack("<H", n)
    body += b"".join(bytes([m]) + c.encode()[:6].ljust(6, b"\0") for m, c in stocks)
    return head + body


def trades_frame(market: int) -> bytes:
    return (
        bytes.fromhex("0C 17 08 01 01 01 0E 00 0E 00 C5 0F")
        + struct.pack("<H", market)
        + b"600036"
        + struct.pack("<HH", 0, 2000)
    )


# ---- timing ----------------------------------------------------------------------------------


def best_us(fns: list, numbers: list[int], repeat: int) -> list[float]:
    """Best time per call of each function, in microseconds. The functions take turns, run by
    run, so a burst of load on the machine does not fall on one of them only."""
    best = [math.inf] * len(fns)
    for _ in range(repeat):
        for i, (fn, number) in enumerate(zip(fns, numbers)):
            best[i] = min(best[i], timeit.timeit(fn, number=number) / number * 1e6)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer runs (a rough figure)")
    args = parser.parse_args()
    number, repeat = (20, 3) if args.quick else (100, 15)

    rng = random.Random(42)
    bodies = {CMD_BARS: bars_body(rng), CMD_QUOTES: quotes_body(rng), CMD_TRADES: trades_body(rng)}
    answers = {cmd: response(body) for cmd, body in bodies.items()}

    ctx = multiprocessing.get_context("spawn")
    parent, child = ctx.Pipe()
    server = ctx.Process(target=_server_main, args=(child, answers), daemon=True)
    server.start()
    port = parent.recv()
    try:
        client = TdxClient()
        client.connect("127.0.0.1", port)
        sock = socket.create_connection(("127.0.0.1", port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

        stocks = [(i % 2, f"{600000 + i:06d}") for i in range(80)]
        frames = {CMD_BARS: bars_frame(1), CMD_QUOTES: quotes_frame(stocks), CMD_TRADES: trades_frame(1)}
        cases = [
            (
                "800 bars",
                CMD_BARS,
                lambda: client.get_security_bars(9, 1, "600036", 0, 800),
                lambda: client.get_security_bars(9, 255, "600036", 0, 800),
                exact_decode_bars,
                py_decode_bars,
                8.0,
            ),
            (
                "80 quotes",
                CMD_QUOTES,
                lambda: client.get_security_quotes(stocks),
                lambda: client.get_security_quotes([(255, "600036")] * 80),
                exact_decode_quotes,
                py_decode_quotes,
                8.0,
            ),
            (
                "2,000 trades",
                CMD_TRADES,
                lambda: client.get_transaction_data(1, "600036", 0, 2000),
                lambda: client.get_transaction_data(255, "600036", 0, 2000),
                exact_decode_trades,
                py_decode_trades,
                5.0,
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
            f"{'response':<14}{'body':>14}{'empty call':>12}{'module':>9}"
            f"{'python':>9}{'ratio':>8}{'target':>8}{'lean':>9}{'ratio':>8}{'net':>8}"
        )
        failed = False
        for name, cmd, module_call, empty_call, exact, lean, target in cases:
            body, frame = bodies[cmd], frames[cmd]
            result = module_call()
            if not result or any(result != d(body) for d in (exact, lean)):
                print(f"{name}: the module and a plain-Python decoder disagree", file=sys.stderr)
                return 1
            slow = max(number // 5, 5)
            empty_us, module_us, exact_us, lean_us = best_us(
                [
                    empty_call,
                    module_call,
                    lambda: exact(py_exchange(sock, frame)),
                    lambda: lean(py_exchange(sock, frame)),
                ],
                [number, number, slow, slow],
                repeat,
            )
            ratio = exact_us / module_us
            failed |= ratio < target
            size = f"{len(body)}/{len(answers[cmd]) - 16}B"
            print(
                f"{name:<14}{size:>14}{empty_us:>12.1f}{module_us:>9.1f}{exact_us:>9.1f}"
                f"{ratio:>7.1f}x{target:>7.0f}x{lean_us:>9.1f}{lean_us / module_us:>7.1f}x"
                f"{(exact_us - empty_us) / (module_us - empty_us):>7.1f}x"
            )
        print(
            "\nbody: decoded/compressed bytes. empty call: the module's call answered with an "
            "empty body\n(request + round trip). Every other column is request to result on "
            "loopback:\nmodule: the TdxClient method. python: socket + zlib + a plain-Python "
            "decoder that\nfollows the module's rules (same results on any body); ratio = "
            "python / module, the\ntarget's ratio. lean: the same with a leaner decoder that "
            "is right only for well-formed\nbodies (it catches IndexError instead of testing "
            "lengths); ratio = lean / module.\nnet: python / module with the empty call's "
            "round trip taken off both; the round trip\nof this loopback varies with how "
            "soon an idle CPU wakes (about 20 to 110 us seen here)."
        )
        if failed:
            print("\nbelow target", file=sys.stderr)
        client.disconnect()
        sock.close()
        return 0
    finally:
        server.kill()
        server.join()


if __name__ == "__main__":
    sys.exit(main())
