"""The client's side of the protocol in plain Python, for testing the simulator on raw sockets.

Request builders and body decoders written from the protocol's layouts, independent of the
simulator's encoders; the decoders return what the module's methods return.
"""

from __future__ import annotations

import math
import socket
import struct
import zlib

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
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise EOFError(f"closed after {len(buf)} of {n} bytes")
            buf += chunk
        return buf

    def response(self) -> tuple[int, int, bytes]:
        """(ZS, US, decoded body) of the next response."""
        zs, us = struct.unpack_from("<HH", self.recv_exact(16), 12)
        payload = self.recv_exact(zs)
        return zs, us, payload if zs == us else zlib.decompress(payload)

    def exchange(self, request: bytes) -> bytes:
        self.sock.sendall(request)
        zs, us, body = self.response()
        assert len(body) == us
        return body

    def close(self) -> None:
        self.sock.close()


# Decoders -----------------------------------------------------------------------------------


class Reader:
    def __init__(self, body: bytes, at: int = 0):
        self.body, self.p = body, at

    def left(self) -> int:
        return len(self.body) - self.p

    def price(self) -> int:
        body, p = self.body, self.p
        if p >= len(body):
            return 0
        first = body[p]
        value, shift, byte = first & 0x3F, 6, first
        while byte & 0x80:
            if p == len(body) - 1:
                p = len(body)
                break
            p += 1
            byte = body[p]
            value += (byte & 0x7F) << shift
            shift += 7
        self.p = p + 1
        return -value if first & 0x40 else value

    def take(self, fmt: str) -> tuple:
        values = struct.unpack_from("<" + fmt, self.body, self.p)
        self.p += struct.calcsize("<" + fmt)
        return values


def decode_volume(raw: int) -> float:
    return math.ldexp(1.0 + (raw & 0x7FFFFF) / 8388608.0, (raw >> 23) - 127)


def bar_datetime(category: int, raw: bytes) -> str:
    if category <= 8 and 0x18F >> category & 1:
        d, t = struct.unpack("<HH", raw)
        y, md, hour, minute = (d >> 11) + 2004, d & 0x7FF, t // 60, t % 60
        return f"{y}-{md // 100:02d}-{md % 100:02d} {hour:02d}:{minute:02d}"
    (v,) = struct.unpack("<I", raw)
    return f"{v // 10000}-{v % 10000 // 100:02d}-{v % 100:02d} 15:00"


def decode_bars(category: int, body: bytes) -> list[dict]:
    out: list[dict] = []
    if len(body) < 2:
        return out
    r, base = Reader(body, 2), 0
    for _ in range(struct.unpack_from("<H", body)[0]):
        if r.left() < 4:
            break
        when = bar_datetime(category, body[r.p : r.p + 4])
        r.p += 4
        open_delta, close, high, low = r.price(), r.price(), r.price(), r.price()
        if r.left() < 8:
            break
        vol, amount = r.take("II")
        o = base + open_delta
        out.append(
            {"datetime": when, "open": o / 1000.0, "high": (o + high) / 1000.0, "low": (o + low) / 1000.0,
             "close": (o + close) / 1000.0, "vol": decode_volume(vol), "amount": decode_volume(amount)}
        )  # fmt: skip
        base = o + close
    return out


def decode_quotes(body: bytes) -> list[dict]:
    out: list[dict] = []
    if len(body) < 4:
        return out
    r = Reader(body, 4)
    for _ in range(struct.unpack_from("<H", body, 2)[0]):
        if r.left() < 9:
            break
        market, raw = body[r.p], body[r.p + 1 : r.p + 7]
        r.p += 9
        price = r.price()
        deltas = [r.price() for _ in range(4)]
        servertime, _, vol, cur_vol = r.price(), r.price(), r.price(), r.price()
        if r.left() < 4:
            break
        (amount,) = r.take("I")
        q = {"market": market, "code": raw.decode().rstrip("\0"), "price": price / 100.0}
        q.update({k: (price + d) / 100.0 for k, d in zip(("last_close", "open", "high", "low"), deltas)})
        q.update(servertime=servertime, vol=vol, cur_vol=cur_vol, amount=decode_volume(amount))
        q.update(s_vol=r.price(), b_vol=r.price())
        r.price(), r.price()
        for i in range(1, 6):
            bid, ask, bid_vol, ask_vol = (r.price() for _ in range(4))
            q.update({f"bid{i}": (price + bid) / 100.0, f"ask{i}": (price + ask) / 100.0})
            q.update({f"bid_vol{i}": bid_vol, f"ask_vol{i}": ask_vol})
        if r.left() <= 0:
            break
        r.p += 2
        for _ in range(4):
            r.price()
        r.p += 4
        out.append(q)
    return out


def decode_trades(body: bytes) -> list[dict]:
    out: list[dict] = []
    if len(body) < 2:
        return out
    r, total = Reader(body, 2), 0
    for _ in range(struct.unpack_from("<H", body)[0]):
        if r.left() < 2:
            break
        (t,) = r.take("H")
        delta, vol, num, buyorsell, _ = (r.price() for _ in range(5))
        total += delta
        out.append(
            {
                "time": f"{t // 60:02d}:{t % 60:02d}",
                "price": total / 100.0,
                "vol": vol,
                "num": num,
                "buyorsell": buyorsell,
            }
        )
    return out


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
            e.update(zip(("fenhong", "peigujia", "songzhuangu", "peigu"), floats))
        elif category in (11, 12):
            e["suogu"] = floats[2]
        elif category in (13, 14):
            e.update(xingquanjia=floats[0], fenshu=floats[2])
        else:
            shares = [decode_volume(v) if v else 0.0 for v in raws]
            e.update(zip(("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"), shares))
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
    for key, value in zip(FINANCE_KEYS, struct.unpack_from("<29f", body, 25)):
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
