"""The client's side of the protocol in plain Python, for testing the simulator on raw sockets.

Request builders and body decoders written from the protocol's layouts, independent of the
simulator's encoders; the decoders return what the module's methods return.
"""

from __future__ import annotations

import math
import socket
import struct
import zlib

from quillan.sim.server import recv_exact

SETUP = [
    bytes.fromhex("0C 02 18 93 00 01 03 00 03 00 0D 00 01"),
    bytes.fromhex("0C 02 18 94 00 01 03 00 03 00 0D 00 02"),
    bytes.fromhex(
        "0C 03 18 99 00 01 20 00 20 00 DB 0F D5 D0 C9 CC D6 A4 A8 AF 00 00 00 8F C2 25 40 13 00 00"
        " D5 00 C9 CC BD F0 D7 EA 00 00 00 02"
    ),
]


def code6(code: str) -> bytes:
    return code.encode()[:6].ljust(6, b"\0")


def frame(prefix: str, command: int, params: bytes) -> bytes:
    length = len(params) + 2
    return bytes.fromhex(prefix) + struct.pack("<HHH", length, length, command) + params


def bars_request(category: int, market: int, code: str, start: int, count: int) -> bytes:
    params = struct.pack("<H", market) + code6(code) + struct.pack("<HHHH", category, 1, start, count)
    return frame("0C 01 08 64 01 01", 0x052D, params + bytes(10))


def quotes_request(stocks: list[tuple[int, str]]) -> bytes:
    entries = b"".join(bytes([m]) + code6(c) for m, c in stocks)
    return frame("0C 01 20 63 00 02", 0x053E, struct.pack("<H6xH", 5, len(stocks)) + entries)


def trades_request(market: int, code: str, start: int, count: int) -> bytes:
    return frame(
        "0C 17 08 01 01 01",
        0x0FC5,
        struct.pack("<H", market) + code6(code) + struct.pack("<HH", start, count),
    )


def xdxr_request(market: int, code: str) -> bytes:
    return frame("0C 1F 18 76 00 01", 0x000F, struct.pack("<HB", 1, market) + code6(code))


def finance_request(market: int, code: str) -> bytes:
    return frame("0C 1F 18 76 00 01", 0x0010, struct.pack("<HB", 1, market) + code6(code))


def company_index_request(market: int, code: str) -> bytes:
    return frame("0C 0F 10 9B 00 01", 0x02CF, struct.pack("<H", market) + code6(code) + bytes(4))


def company_text_request(market: int, code: str, filename: str, start: int, length: int) -> bytes:
    name = filename.encode()[:80].ljust(80, b"\0")
    params = struct.pack("<H", market) + code6(code) + bytes(2) + name + struct.pack("<III", start, length, 0)
    return frame("0C 07 10 9C 00 01", 0x02D0, params)


def report_request(filename: str, offset: int) -> bytes:
    name = filename.encode()[:100].ljust(100, b"\0")
    return frame("0C 12 34 00 00 00", 0x06B9, struct.pack("<II", offset, 30000) + name)


class RawClient:
    """A socket to the simulator that has been through the set-up exchange."""

    def __init__(self, host: str, port: int, setup: bool = True):
        self.sock = socket.create_connection((host, port), timeout=10)
        if setup:
            for packet in SETUP:
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


def decode_xdxr(body: bytes) -> list[dict]:
    from quillan.sim.universe import EVENT_NAMES

    out: list[dict] = []
    if len(body) < 11:
        return out
    at = 11
    for _ in range(struct.unpack_from("<H", body, 9)[0]):
        if at + 29 > len(body):
            break
        date, category = struct.unpack_from("<IB", body, at + 8)
        floats = struct.unpack_from("<4f", body, at + 13)
        raws = struct.unpack_from("<4I", body, at + 13)
        e = {"year": date // 10000, "month": date % 10000 // 100, "day": date % 100, "category": category,
             "name": EVENT_NAMES.get(category, "未知")}  # fmt: skip
        if category == 1:
            e.update(zip(("fenhong", "peigujia", "songzhuangu", "peigu"), floats, strict=True))
        elif category in (11, 12):
            e["suogu"] = floats[2]
        elif category in (13, 14):
            e.update(xingquanjia=floats[0], fenshu=floats[2])
        else:
            shares = [decode_volume(v) if v else 0.0 for v in raws]
            keys = ("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben")
            e.update(zip(keys, shares, strict=True))
        out.append(e)
        at += 29
    return out


def decode_finance(market: int, code: str, body: bytes) -> dict:
    from quillan.sim.universe import FINANCE_KEYS, FINANCE_UNSCALED

    if len(body) < 141:
        return {}
    (liutong,) = struct.unpack_from("<f", body, 9)
    province, industry, updated, ipo = struct.unpack_from("<HHII", body, 13)
    out = {"market": market, "code": code, "liutongguben": liutong * 10000.0, "province": province,
           "industry": industry, "updated_date": updated, "ipo_date": ipo}  # fmt: skip
    for key, value in zip(FINANCE_KEYS, struct.unpack_from("<29f", body, 25), strict=True):
        out[key] = value if key in FINANCE_UNSCALED else value * 10000.0
    return out


def decode_company_index(body: bytes) -> list[dict]:
    if len(body) < 154:
        return []
    count = min(struct.unpack_from("<H", body)[0], (len(body) - 2) // 152)
    out = []
    for at in range(2, 2 + 152 * count, 152):
        title = body[at : at + 64].split(b"\0", 1)[0].decode("gb18030", "replace")
        filename = body[at + 64 : at + 144].split(b"\0", 1)[0].decode("utf-8", "replace")
        start, length = struct.unpack_from("<II", body, at + 144)
        out.append({"name": title, "filename": filename, "start": start, "length": length})
    return out


def decode_company_text(body: bytes) -> str:
    if len(body) < 12:
        return ""
    (size,) = struct.unpack_from("<H", body, 10)
    return body[12 : 12 + size].decode("gb18030", "replace")


def decode_report(body: bytes) -> tuple[int, bytes]:
    return (0, b"") if len(body) < 4 else (struct.unpack_from("<I", body)[0], body[4:])
