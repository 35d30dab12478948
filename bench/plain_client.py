"""A plain-Python client of the quote-server protocol: the benchmark's point of comparison.

A raw socket (set-up, framing, zlib) and decoders of the three market-data bodies written from
the protocol's layouts, following the module's decoding rules, so that for any body they give
what the module's methods give. The requests are the simulator's (`quillan.sim.protocol`).
"""

from __future__ import annotations

import math
import socket
import struct
import zlib

from quillan.sim.protocol import SETUP_REQUESTS
from quillan.sim.server import recv_exact


class RawClient:
    """A socket to the simulator that has been through the set-up exchange."""

    def __init__(self, host: str, port: int, setup: bool = True):
        self.sock = socket.create_connection((host, port), timeout=10)
        if setup:
            for packet in SETUP_REQUESTS:
                self.exchange(packet)

    def recv_exact(self, n: int) -> bytes:
        data = recv_exact(self.sock, n)
        if data is None:
            raise EOFError(f"closed before {n} bytes came")
        return data

    def response(self) -> tuple[int, int, bytes]:
        """(ZS, US, decoded body) of the next response."""
        zs, us = struct.unpack_from("<HH", self.recv_exact(16), 12)
        payload = self.recv_exact(zs)
        return zs, us, payload if zs == us else zlib.decompress(payload)

    def exchange(self, request: bytes) -> bytes:
        self.sock.sendall(request)
        _, us, body = self.response()
        assert len(body) == us
        return body

    def close(self) -> None:
        self.sock.close()


# Decoders -----------------------------------------------------------------------------------


def read_price(body: bytes, p: int) -> tuple[int, int]:
    """(value, position after it) of the price varint at `p`. At the end of the body it reads
    0; a varint cut by the end reads what it has and leaves the position one past the end. The
    shift wraps at 64 as the module's does; the magnitude does not wrap at 2^64 (no sane body
    gets there)."""
    size = len(body)
    if p >= size:
        return 0, p
    first = body[p]
    value, shift = first & 0x3F, 6
    if first & 0x80:
        while True:
            if p == size - 1:
                p = size
                break
            p += 1
            byte = body[p]
            value += (byte & 0x7F) << shift
            shift = (shift + 7) & 63
            if not byte & 0x80:
                break
    return (-value if first & 0x40 else value), p + 1


def skip_price(body: bytes, p: int) -> int:
    """The position after the price varint at `p`, with the end-of-body rules of `read_price`."""
    size = len(body)
    if p >= size:
        return p
    while body[p] & 0x80:
        if p == size - 1:
            return size + 1
        p += 1
    return p + 1


def decode_volume(raw: int) -> float:
    return math.ldexp(1.0 + (raw & 0x7FFFFF) / 8388608.0, (raw >> 23) - 127)


# Plain functions and locals rather than a reader object: bench/bench_market.py times these
# against the module, and they should be what a careful Python programmer would write.


def decode_bars(category: int, body: bytes) -> list[dict]:
    size = len(body)
    if size < 2:
        return []
    minute_layout = category <= 8 and (0x18F >> category) & 1
    bars = []
    p, base = 2, 0
    for _ in range(struct.unpack_from("<H", body)[0]):
        if p + 4 > size:
            break
        if minute_layout:
            d, t = struct.unpack_from("<HH", body, p)
            md = d & 0x7FF
            when = f"{(d >> 11) + 2004}-{md // 100:02d}-{md % 100:02d} {t // 60:02d}:{t % 60:02d}"
        else:
            (v,) = struct.unpack_from("<I", body, p)
            when = f"{v // 10000}-{v % 10000 // 100:02d}-{v % 100:02d} 15:00"
        open_delta, p = read_price(body, p + 4)
        close, p = read_price(body, p)
        high, p = read_price(body, p)
        low, p = read_price(body, p)
        if p + 8 > size:
            break
        vol, amount = struct.unpack_from("<II", body, p)
        p += 8
        o = base + open_delta
        bars.append(
            {"datetime": when, "open": o / 1000.0, "high": (o + high) / 1000.0, "low": (o + low) / 1000.0,
             "close": (o + close) / 1000.0, "vol": decode_volume(vol), "amount": decode_volume(amount)}
        )  # fmt: skip
        base = o + close
    return bars


def decode_quotes(body: bytes) -> list[dict]:
    size = len(body)
    if size < 4:
        return []
    quotes = []
    p = 4
    for _ in range(struct.unpack_from("<H", body, 2)[0]):
        if p + 9 > size:
            break
        market = body[p]
        try:
            code = body[p + 1 : p + 7].decode().rstrip("\0")
        except UnicodeDecodeError:
            code = ""
        price, p = read_price(body, p + 9)
        last_close, p = read_price(body, p)
        open_, p = read_price(body, p)
        high, p = read_price(body, p)
        low, p = read_price(body, p)
        servertime, p = read_price(body, p)
        p = skip_price(body, p)
        vol, p = read_price(body, p)
        cur_vol, p = read_price(body, p)
        if p + 4 > size:
            break
        (amount,) = struct.unpack_from("<I", body, p)
        s_vol, p = read_price(body, p + 4)
        b_vol, p = read_price(body, p)
        p = skip_price(body, skip_price(body, p))
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
            "amount": decode_volume(amount),
            "s_vol": s_vol,
            "b_vol": b_vol,
        }
        for level in "12345":
            bid, p = read_price(body, p)
            ask, p = read_price(body, p)
            bid_vol, p = read_price(body, p)
            ask_vol, p = read_price(body, p)
            quote["bid" + level] = (price + bid) / 100.0
            quote["ask" + level] = (price + ask) / 100.0
            quote["bid_vol" + level] = bid_vol
            quote["ask_vol" + level] = ask_vol
        if p >= size:
            break
        if p + 2 <= size:
            p += 2
        for _ in range(4):
            p = skip_price(body, p)
        quotes.append(quote)
        if p + 4 <= size:
            p += 4
    return quotes


def decode_trades(body: bytes) -> list[dict]:
    size = len(body)
    if size < 2:
        return []
    trades = []
    p, total = 2, 0
    for _ in range(struct.unpack_from("<H", body)[0]):
        if p + 2 > size:
            break
        (t,) = struct.unpack_from("<H", body, p)
        delta, p = read_price(body, p + 2)
        vol, p = read_price(body, p)
        num, p = read_price(body, p)
        buyorsell, p = read_price(body, p)
        p = skip_price(body, p)
        total += delta
        trades.append(
            {"time": f"{t // 60:02d}:{t % 60:02d}", "price": total / 100.0, "vol": vol, "num": num,
             "buyorsell": buyorsell}
        )  # fmt: skip
    return trades
