"""Plain-Python decoders of the market-data response bodies.

They follow the same layouts and the same lenient stop rules as the module, one obvious step at a
time, so the tests can compare the module with them on many bodies and the benchmark can time
the module against them. The results are the module's: the same keys in the same order, the same
types, the same floats.
"""

from __future__ import annotations

import math
import struct

_MASK64 = (1 << 64) - 1


def _int64(v: int) -> int:
    v &= _MASK64
    return v - (1 << 64) if v >> 63 else v


def read_price(body: bytes, p: int) -> tuple[int, int]:
    """A signed price varint at p: (value, position after it)."""
    n = len(body)
    if p >= n:
        return 0, p
    first = body[p]
    magnitude = first & 0x3F
    if first & 0x80:
        shift = 6
        while True:
            if p == n - 1:
                p = n
                break
            p += 1
            b = body[p]
            magnitude += (b & 0x7F) << (shift % 64)
            shift += 7
            if not b & 0x80:
                break
    p += 1
    return _int64(-magnitude if first & 0x40 else magnitude), p


def skip_price(body: bytes, p: int) -> int:
    return read_price(body, p)[1]


def decode_volume(v: int) -> float:
    return math.ldexp(1.0 + (v & 0x7FFFFF) / 8388608.0, (v >> 23) - 127)


def _datetime_text(category: int, body: bytes, p: int) -> str:
    if category <= 8 and (0x18F >> category) & 1:
        d, t = struct.unpack_from("<HH", body, p)
        year, month, day = (d >> 11) + 2004, (d & 0x7FF) // 100, (d & 0x7FF) % 100
        hour, minute = t // 60, t % 60
    else:
        (v,) = struct.unpack_from("<I", body, p)
        year, month, day, hour, minute = v // 10000, v % 10000 // 100, v % 100, 15, 0
    return f"{year}-{month:02d}-{day:02d} {hour:02d}:{minute:02d}"


def decode_bars(category: int, body: bytes) -> list[dict]:
    n = len(body)
    if n < 2:
        return []
    (count,) = struct.unpack_from("<H", body, 0)
    bars = []
    p = 2
    base = 0
    for _ in range(count):
        if p + 4 > n:
            break
        when = _datetime_text(category, body, p)
        p += 4
        open_delta, p = read_price(body, p)
        close_delta, p = read_price(body, p)
        high_delta, p = read_price(body, p)
        low_delta, p = read_price(body, p)
        if p + 8 > n:
            break
        vol, amount = struct.unpack_from("<II", body, p)
        p += 8
        open_ = _int64(base + open_delta)
        close = _int64(open_ + close_delta)
        bars.append(
            {
                "datetime": when,
                "open": float(open_) / 1000.0,
                "high": float(_int64(open_ + high_delta)) / 1000.0,
                "low": float(_int64(open_ + low_delta)) / 1000.0,
                "close": float(close) / 1000.0,
                "vol": decode_volume(vol),
                "amount": decode_volume(amount),
            }
        )
        base = close
    return bars


def _code_text(raw: bytes) -> str:
    try:
        return raw.decode("utf-8").rstrip("\0")
    except UnicodeDecodeError:
        return ""


def decode_quotes(body: bytes) -> list[dict]:
    n = len(body)
    if n < 4:
        return []
    (count,) = struct.unpack_from("<H", body, 2)
    if count == 0:
        return []
    quotes = []
    p = 4
    built = 0
    while True:
        if p + 9 > n:
            break
        market = body[p]
        code = _code_text(body[p + 1 : p + 7])
        p += 9
        price, p = read_price(body, p)
        last_close, p = read_price(body, p)
        open_, p = read_price(body, p)
        high, p = read_price(body, p)
        low, p = read_price(body, p)
        servertime, p = read_price(body, p)
        p = skip_price(body, p)
        vol, p = read_price(body, p)
        cur_vol, p = read_price(body, p)
        if p + 4 > n:
            break
        (amount,) = struct.unpack_from("<I", body, p)
        p += 4
        s_vol, p = read_price(body, p)
        b_vol, p = read_price(body, p)
        p = skip_price(body, p)
        p = skip_price(body, p)
        quote = {
            "market": market,
            "code": code,
            "price": float(price) / 100.0,
            "last_close": float(_int64(price + last_close)) / 100.0,
            "open": float(_int64(price + open_)) / 100.0,
            "high": float(_int64(price + high)) / 100.0,
            "low": float(_int64(price + low)) / 100.0,
            "servertime": servertime,
            "vol": vol,
            "cur_vol": cur_vol,
            "amount": decode_volume(amount),
            "s_vol": s_vol,
            "b_vol": b_vol,
        }
        built = (built + 1) & 0xFFFF
        for level in range(1, 6):
            bid, p = read_price(body, p)
            ask, p = read_price(body, p)
            bid_vol, p = read_price(body, p)
            ask_vol, p = read_price(body, p)
            quote[f"bid{level}"] = float(_int64(price + bid)) / 100.0
            quote[f"ask{level}"] = float(_int64(price + ask)) / 100.0
            quote[f"bid_vol{level}"] = bid_vol
            quote[f"ask_vol{level}"] = ask_vol
        if p >= n:
            break
        if p + 2 <= n:
            p += 2
        for _ in range(4):
            p = skip_price(body, p)
        quotes.append(quote)
        if p + 4 <= n:
            p += 4
        if built == count:
            break
    return quotes


def decode_trades(body: bytes) -> list[dict]:
    n = len(body)
    if n < 2:
        return []
    (count,) = struct.unpack_from("<H", body, 0)
    trades = []
    p = 2
    total = 0
    for _ in range(count):
        if p + 2 > n:
            break
        (t,) = struct.unpack_from("<H", body, p)
        p += 2
        delta, p = read_price(body, p)
        vol, p = read_price(body, p)
        num, p = read_price(body, p)
        buyorsell, p = read_price(body, p)
        p = skip_price(body, p)
        total = _int64(total + delta)
        trades.append(
            {
                "time": f"{t // 60:02d}:{t % 60:02d}",
                "price": float(total) / 100.0,
                "vol": vol,
                "num": num,
                "buyorsell": buyorsell,
            }
        )
    return trades


# ---- body builders, for tests and the benchmark ---------------------------------------------


def price_bytes(v: int) -> bytes:
    """The varint form of v."""
    negative = v < 0
    m = -v if negative else v
    first = (m & 0x3F) | (0x40 if negative else 0)
    m >>= 6
    out = bytearray([first | (0x80 if m else 0)])
    while m:
        b = m & 0x7F
        m >>= 7
        out.append(b | (0x80 if m else 0))
    return bytes(out)


def volume_bytes(x: float) -> bytes:
    """The four-byte volume form of a positive float that fits it (the IEEE single's bits)."""
    return struct.pack("<f", x)
