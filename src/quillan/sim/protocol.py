"""Requests in, responses out: the simulator's side of the quote-server protocol.

`respond(frame)` takes one whole request frame and returns the whole response (header and
body). It never raises for a frame's content: a frame that is too short for its command reads
zeros for the missing fields, and an unknown command gets an empty body.

Request frame: a 6-byte prefix (starting 0x0C), u16 length L twice, then L bytes that start
with the u16 command code. Offsets below count from the start of the frame.
"""

from __future__ import annotations

import struct
from collections.abc import Callable

from quillan.sim import data, universe
from quillan.sim.codec import (
    as_volume,
    frame_response,
    pack_code,
    pack_date_datetime,
    pack_f32,
    pack_minute_datetime,
    pack_price,
    pack_volume,
    uses_minute_layout,
)

__all__ = [
    "FRAME_HEAD",
    "SETUP_REQUESTS",
    "Request",
    "answer_body",
    "bars_request",
    "quotes_request",
    "report_request",
    "request_frame",
    "respond",
    "trades_request",
    "xdxr_request",
]

FRAME_HEAD = 10  # prefix and the two length fields

CMD_SETUP = 0x000D
CMD_SETUP_INFO = 0x0FDB
CMD_BARS = 0x052D
CMD_QUOTES = 0x053E
CMD_TRADES = 0x0FC5
CMD_XDXR = 0x000F
CMD_FINANCE = 0x0010
CMD_COMPANY_INDEX = 0x02CF
CMD_COMPANY_TEXT = 0x02D0
CMD_REPORT = 0x06B9


class Request:
    """Field access on a request frame; a field past the end of the frame reads as zeros."""

    def __init__(self, frame: bytes):
        self.frame = frame
        length = int.from_bytes(frame[6:8], "little") if len(frame) >= 8 else 0
        self.command = int.from_bytes(frame[10:12], "little") if length >= 2 else None

    def raw(self, offset: int, width: int) -> bytes:
        return self.frame[offset : offset + width].ljust(width, b"\0")

    def u8(self, offset: int) -> int:
        return self.raw(offset, 1)[0]

    def u16(self, offset: int) -> int:
        return int.from_bytes(self.raw(offset, 2), "little")

    def u32(self, offset: int) -> int:
        return int.from_bytes(self.raw(offset, 4), "little")

    def text(self, offset: int, width: int) -> str:
        """A zero-padded UTF-8 field, cut at its first zero byte."""
        return self.raw(offset, width).split(b"\0", 1)[0].decode("utf-8", "replace")


def _u16(value: int) -> bytes:
    return struct.pack("<H", value)


def _u32(value: int) -> bytes:
    return struct.pack("<I", value)


def _setup(req: Request) -> bytes:
    return b"\x01"


def _setup_info(req: Request) -> bytes:
    # A server name and the trading day; clients read nothing of it.
    name = "quillan 模拟行情服务器".encode("gbk").ljust(64, b"\0")
    day = universe.LAST_DAY
    return name + _u32(day.year * 10000 + day.month * 100 + day.day)


def _bars(req: Request) -> bytes:
    """u16 count, then per bar: 4-byte datetime (minute or date layout by category), open,
    close, high and low as price varints in thousandths (open relative to the previous close,
    the rest to the open), volume and turnover in the 4-byte volume form."""
    market, code, category = req.u16(12), req.text(14, 6), req.u16(20)
    bars = data.sent_bars(category, market, code, req.u16(24), req.u16(26))
    minute_layout = uses_minute_layout(category)
    out = bytearray(_u16(len(bars)))
    previous_close = 0
    for bar in bars:
        d = bar.date
        if minute_layout:
            out += pack_minute_datetime(d.year, d.month, d.day, bar.minute // 60, bar.minute % 60)
        else:
            out += pack_date_datetime(d.year, d.month, d.day)
        open_, close, high, low = bar.open * 10, bar.close * 10, bar.high * 10, bar.low * 10
        out += pack_price(open_ - previous_close)
        out += pack_price(close - open_)
        out += pack_price(high - open_)
        out += pack_price(low - open_)
        out += pack_volume(as_volume(float(bar.vol)))
        out += pack_volume(as_volume(float(bar.amount)))
        previous_close = close
    return bytes(out)


def _quotes(req: Request) -> bytes:
    """u16 (unread), u16 count, then per security: market, code, 2 unread bytes, the price
    and the deltas of last close, open, high and low to it (varints in cents), server time,
    an unread varint, volume, current volume, turnover (volume form), sell and buy volume, two
    unread varints, five levels of bid and ask deltas and volumes, then 2 bytes, 4 varints and
    4 bytes that clients skip."""
    count = req.u16(20)
    available = max(0, (len(req.frame) - 22) // 7)
    asked = [(req.u8(22 + 7 * i), req.text(23 + 7 * i, 6)) for i in range(min(count, available))]
    quotes = data.sent_quotes(asked)
    out = bytearray(_u16(0) + _u16(len(quotes)))
    for n, q in enumerate(quotes):
        s = q.security
        out += bytes([s.market]) + pack_code(s.code) + _u16(n + 1)
        out += pack_price(q.price)
        for value in (q.last_close, q.open, q.high, q.low):
            out += pack_price(value - q.price)
        out += pack_price(q.servertime)
        out += pack_price(-q.price * 7)  # skipped by clients; multi-byte and negative on purpose
        out += pack_price(q.vol) + pack_price(q.cur_vol)
        out += pack_volume(as_volume(float(q.amount)))
        out += pack_price(q.s_vol) + pack_price(q.b_vol)
        out += pack_price(q.vol * 3) + pack_price(-1)  # skipped
        for level in q.levels:
            out += pack_price(level.bid - q.price) + pack_price(level.ask - q.price)
            out += pack_price(level.bid_vol) + pack_price(level.ask_vol)
        out += _u16(0x0101)  # skipped: 2 bytes, 4 varints, 4 bytes
        for value in (q.high - q.low, -300, 0, 123456):
            out += pack_price(value)
        out += _u32(q.servertime)
    return bytes(out)


def _trades(req: Request) -> bytes:
    """u16 count, then per trade: u16 minutes since midnight, the price change since the
    previous trade of this answer (varint, cents; the first from 0), volume, number of orders,
    buy/sell flag and an unread varint."""
    market, code = req.u16(12), req.text(14, 6)
    trades = data.sent_trades(market, code, req.u16(20), req.u16(22))
    out = bytearray(_u16(len(trades)))
    previous = 0
    for t in trades:
        out += _u16(t.minute)
        out += pack_price(t.price - previous)
        out += pack_price(t.vol) + pack_price(t.num) + pack_price(t.buyorsell)
        out += pack_price(0)
        previous = t.price
    return bytes(out)


def _security_head(market: int, code: str, width: int) -> bytes:
    """The market and code that answers carry in bytes clients do not read."""
    return (bytes([market & 0xFF]) + pack_code(code)).ljust(width, b"\0")


_FLOAT_CATEGORIES = (1, 11, 12, 13, 14)


def _xdxr(req: Request) -> bytes:
    """9 unread bytes, u16 count, then 29-byte records: 8 unread bytes, u32 yyyymmdd, u8
    category, four 4-byte values (float32, or share capital in the volume form, 0 stored as
    four zero bytes)."""
    market, code = req.u8(14), req.text(15, 6)
    events = data.sent_events(market, code)
    out = bytearray(_security_head(market, code, 9) + _u16(len(events)))
    for e in events:
        out += _security_head(market, code, 8)
        out += _u32(e.date.year * 10000 + e.date.month * 100 + e.date.day)
        out += bytes([e.category])
        for value in e.values:
            if e.category in _FLOAT_CATEGORIES:
                out += pack_f32(value)
            else:
                out += pack_volume(value) if value else bytes(4)
    return bytes(out)


def _finance(req: Request) -> bytes:
    """141 bytes: 9 unread, float32 float capital, u16 province, u16 industry, u32 update
    date, u32 listing date, 29 float32 figures. Empty for a security without a summary."""
    market, code = req.u8(14), req.text(15, 6)
    fin = data.sent_finance(market, code)
    if fin is None:
        return b""
    out = _security_head(market, code, 9) + pack_f32(fin.liutongguben)
    out += struct.pack("<HHII", fin.province, fin.industry, fin.updated_date, fin.ipo_date)
    out += b"".join(pack_f32(v) for v in fin.figures)
    return out


def _company_index(req: Request) -> bytes:
    """u16 count, then 152-byte entries: GBK title (64), UTF-8 file name (80), u32 start,
    u32 length."""
    entries = data.sent_company_index(req.u16(12), req.text(14, 6))
    out = bytearray(_u16(len(entries)))
    for title, filename, start, length in entries:
        out += title.encode("gbk")[:64].ljust(64, b"\0")
        out += filename.encode()[:80].ljust(80, b"\0")
        out += _u32(start) + _u32(length)
    return bytes(out)


def _company_text(req: Request) -> bytes:
    """10 unread bytes, u16 text length, the GBK text."""
    market, code = req.u16(12), req.text(14, 6)
    text = data.sent_company_text(market, code, req.text(22, 80), req.u32(102), req.u32(106))
    return _security_head(market, code, 10) + _u16(len(text)) + text


def _report(req: Request) -> bytes:
    """u32 size of the piece, then the piece."""
    piece = data.sent_report_piece(req.text(20, 100), req.u32(12), req.u32(16))
    return _u32(len(piece)) + piece


HANDLERS: dict[int, Callable[[Request], bytes]] = {
    CMD_SETUP: _setup,
    CMD_SETUP_INFO: _setup_info,
    CMD_BARS: _bars,
    CMD_QUOTES: _quotes,
    CMD_TRADES: _trades,
    CMD_XDXR: _xdxr,
    CMD_FINANCE: _finance,
    CMD_COMPANY_INDEX: _company_index,
    CMD_COMPANY_TEXT: _company_text,
    CMD_REPORT: _report,
}


def answer_body(frame: bytes) -> bytes:
    """The decoded body of the answer to `frame`; empty for an unknown command."""
    req = Request(frame)
    handler = HANDLERS.get(req.command) if req.command is not None else None
    return b"" if handler is None else handler(req)


def respond(frame: bytes) -> bytes:
    """The whole response to one request frame: header and (maybe compressed) body."""
    req = Request(frame)
    return frame_response(answer_body(frame), req.command or 0, frame[:6])


# Requests as a client sends them, for tools and tests that drive the simulator on a raw socket:
# each puts its fields where the handlers above read them.


def request_frame(command: int, params: bytes = b"", prefix: bytes = b"\x0c\x01\x00\x00\x00\x00") -> bytes:
    """A request frame: the 6-byte prefix, the u16 length L of the rest twice, then L bytes,
    the u16 command and its parameters."""
    length = len(params) + 2
    return prefix[:6].ljust(6, b"\0") + struct.pack("<HHH", length, length, command) + params


SETUP_REQUESTS = (
    request_frame(CMD_SETUP, b"\x01"),
    request_frame(CMD_SETUP, b"\x02"),
    request_frame(CMD_SETUP_INFO, bytes(30)),
)


def bars_request(category: int, market: int, code: str, start: int, count: int) -> bytes:
    params = _u16(market) + pack_code(code) + struct.pack("<HHHH", category, 1, start, count) + bytes(10)
    return request_frame(CMD_BARS, params)


def quotes_request(stocks: list[tuple[int, str]]) -> bytes:
    entries = b"".join(bytes([market]) + pack_code(code) for market, code in stocks)
    return request_frame(CMD_QUOTES, struct.pack("<H6xH", 5, len(stocks)) + entries)


def trades_request(market: int, code: str, start: int, count: int) -> bytes:
    return request_frame(CMD_TRADES, _u16(market) + pack_code(code) + struct.pack("<HH", start, count))


def xdxr_request(market: int, code: str) -> bytes:
    return request_frame(CMD_XDXR, struct.pack("<HB", 1, market) + pack_code(code))


def report_request(filename: str, offset: int) -> bytes:
    return request_frame(
        CMD_REPORT, struct.pack("<II", offset, 30000) + filename.encode()[:100].ljust(100, b"\0")
    )
