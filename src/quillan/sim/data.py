"""What the simulator means: every answer, as `quillan._core` returns it.

Each public function here takes the arguments of the `TdxClient` method of the same name
without its ``get_`` prefix, and returns the result that the method gives against the
simulator, floats bit for bit. The simulator encodes its responses from the same universe
(`quillan.sim.universe`), so comparing the two checks the encoder, the wire and the client's
decoder at once::

    with Server() as srv:
        client = TdxClient()
        client.connect(srv.host, srv.port)
        assert client.get_security_bars(9, 1, "600036", 0, 10) == data.security_bars(9, 1, "600036", 0, 10)

How the simulator reads the arguments:

- `start` and `count` (bars, trades) count back from the newest item: `start` items are
  skipped at the new end, then up to `count` older ones are returned, oldest first. At most
  `MAX_BARS` bars and `MAX_TRADES` trades go out per request.
- Bar categories mean what `quillan.sim.universe.CATEGORIES` says; other categories have no
  bars.
- A security outside the universe gets empty answers (and no quote record), except the
  long-history codes of `quillan.sim.long_history` for bars and trades.
- A report file goes out in pieces of at most `REPORT_PIECE` bytes, each announced with its
  true size; past the end of the file the piece is empty.
"""

from __future__ import annotations

import functools
import struct
from collections.abc import Callable, Sequence
from typing import Any

from quillan.sim import long_history, universe
from quillan.sim.codec import as_volume
from quillan.sim.universe import Bar, Event, Finance, Quote, Security, Trade

__all__ = [
    "MAX_BARS",
    "MAX_QUOTES",
    "MAX_TEXT",
    "MAX_TRADES",
    "REPORT_PIECE",
    "company_info_category",
    "company_info_content",
    "company_text",
    "finance_info",
    "report_file",
    "report_file_bytes",
    "report_file_names",
    "security_bars",
    "security_quotes",
    "transaction_data",
    "xdxr_info",
]

MAX_BARS = 800
MAX_TRADES = 2000
MAX_QUOTES = 80
REPORT_PIECE = 30000
# A text answer holds 12 bytes before the text, and a body at most 65535 bytes.
MAX_TEXT = 0xFFFF - 12


def window(length: int, start: int, count: int, limit: int) -> slice:
    """The items (oldest first) that `start` and `count` select among `length` items."""
    end = max(0, length - start)
    return slice(max(0, end - min(count, limit)), end)


# What the simulator sends -------------------------------------------------------------------
# These return the universe's records that go into one answer; the encoder and the
# result-building functions below both start from them.


def sent_bars(category: int, market: int, code: str, start: int, count: int) -> tuple[Bar, ...]:
    security = universe.find(market, code)
    if security is not None:
        series = universe.bars(security, category)
    elif long_history.is_long(market, code):
        series = long_history.bars(code, category)
    else:
        return ()
    return series[window(len(series), start, count, MAX_BARS)]


def sent_quotes(stock_list: Sequence[tuple[int, str]]) -> list[Quote]:
    """One quote per known security asked for, in the order asked (repeats included)."""
    found = (universe.find(market, code) for market, code in stock_list)
    return [universe.quote(s) for s in found if s is not None][:MAX_QUOTES]


def sent_trades(market: int, code: str, start: int, count: int) -> tuple[Trade, ...]:
    security = universe.find(market, code)
    if security is not None:
        series = universe.trades(security)
    elif long_history.is_long(market, code):
        series = long_history.trades(code)
    else:
        return ()
    return series[window(len(series), start, count, MAX_TRADES)]


def sent_events(market: int, code: str) -> tuple[Event, ...]:
    security = universe.find(market, code)
    return () if security is None else universe.events(security)


def sent_finance(market: int, code: str) -> Finance | None:
    security = universe.find(market, code)
    return None if security is None else universe.finance(security)


@functools.cache
def _company_file(security: Security) -> tuple[bytes, tuple[tuple[str, int, int], ...]]:
    """The GBK bytes of the company information file and its index (title, start, length)."""
    parts: list[bytes] = []
    index: list[tuple[str, int, int]] = []
    at = 0
    for title, text in universe.company_sections(security):
        raw = text.encode("gbk")
        index.append((title, at, len(raw)))
        parts.append(raw)
        at += len(raw)
    return b"".join(parts), tuple(index)


def sent_company_index(market: int, code: str) -> list[tuple[str, str, int, int]]:
    """(title, file name, start, length) per section."""
    security = universe.find(market, code)
    if security is None:
        return []
    filename = universe.company_file(security)
    return [(title, filename, start, length) for title, start, length in _company_file(security)[1]]


def sent_company_text(market: int, code: str, filename: str, start: int, length: int) -> bytes:
    """The GBK bytes of the text answer: the asked range of the file, cut to `MAX_TEXT`."""
    security = universe.find(market, code)
    if security is None or filename != universe.company_file(security):
        return b""
    return _company_file(security)[0][start : start + min(length, MAX_TEXT)]


# What the client returns --------------------------------------------------------------------


def bar_dict(bar: Bar) -> dict[str, Any]:
    """One bar as the client returns it; prices travel in thousandths."""
    d, m = bar.date, bar.minute
    return {
        "datetime": f"{d.year}-{d.month:02d}-{d.day:02d} {m // 60:02d}:{m % 60:02d}",
        "open": bar.open * 10 / 1000.0,
        "high": bar.high * 10 / 1000.0,
        "low": bar.low * 10 / 1000.0,
        "close": bar.close * 10 / 1000.0,
        "vol": as_volume(float(bar.vol)),
        "amount": as_volume(float(bar.amount)),
    }


def security_bars(category: int, market: int, code: str, start: int, count: int) -> list[dict[str, Any]]:
    """The result of `get_security_bars` against the simulator."""
    return [bar_dict(b) for b in sent_bars(category, market, code, start, count)]


def quote_dict(q: Quote) -> dict[str, Any]:
    out: dict[str, Any] = {
        "market": q.security.market,
        "code": q.security.code,
        "price": q.price / 100.0,
        "last_close": q.last_close / 100.0,
        "open": q.open / 100.0,
        "high": q.high / 100.0,
        "low": q.low / 100.0,
        "servertime": q.servertime,
        "vol": q.vol,
        "cur_vol": q.cur_vol,
        "amount": as_volume(float(q.amount)),
        "s_vol": q.s_vol,
        "b_vol": q.b_vol,
    }
    for i, level in enumerate(q.levels, 1):
        out[f"bid{i}"] = level.bid / 100.0
        out[f"ask{i}"] = level.ask / 100.0
        out[f"bid_vol{i}"] = level.bid_vol
        out[f"ask_vol{i}"] = level.ask_vol
    return out


def security_quotes(stock_list: Sequence[tuple[int, str]]) -> list[dict[str, Any]]:
    """The result of `get_security_quotes` against the simulator."""
    return [quote_dict(q) for q in sent_quotes(stock_list)]


def transaction_data(market: int, code: str, start: int, count: int) -> list[dict[str, Any]]:
    """The result of `get_transaction_data` against the simulator."""
    return [
        {
            "time": f"{t.minute // 60:02d}:{t.minute % 60:02d}",
            "price": t.price / 100.0,
            "vol": t.vol,
            "num": t.num,
            "buyorsell": t.buyorsell,
        }
        for t in sent_trades(market, code, start, count)
    ]


_SHARE_KEYS = ("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben")


def event_dict(event: Event) -> dict[str, Any]:
    out: dict[str, Any] = {
        "year": event.date.year,
        "month": event.date.month,
        "day": event.date.day,
        "category": event.category,
        "name": universe.EVENT_NAMES.get(event.category, "未知"),
    }
    v = event.values
    if event.category == 1:
        out.update(fenhong=v[0], peigujia=v[1], songzhuangu=v[2], peigu=v[3])
    elif event.category in (11, 12):
        out["suogu"] = v[2]
    elif event.category in (13, 14):
        out.update(xingquanjia=v[0], fenshu=v[2])
    else:
        out.update(zip(_SHARE_KEYS, v, strict=True))
    return out


def xdxr_info(market: int, code: str) -> list[dict[str, Any]]:
    """The result of `get_xdxr_info` against the simulator."""
    return [event_dict(e) for e in sent_events(market, code)]


def finance_info(market: int, code: str) -> dict[str, Any]:
    """The result of `get_finance_info` against the simulator (empty without a summary)."""
    fin = sent_finance(market, code)
    if fin is None:
        return {}
    out: dict[str, Any] = {
        "market": market,
        "code": code,
        "liutongguben": fin.liutongguben * 10000.0,
        "province": fin.province,
        "industry": fin.industry,
        "updated_date": fin.updated_date,
        "ipo_date": fin.ipo_date,
    }
    for key, value in zip(universe.FINANCE_KEYS, fin.figures, strict=True):
        out[key] = value if key in universe.FINANCE_UNSCALED else value * 10000.0
    return out


def company_info_category(market: int, code: str) -> list[dict[str, Any]]:
    """The result of `get_company_info_category` against the simulator."""
    return [
        {"name": title, "filename": filename, "start": start, "length": length}
        for title, filename, start, length in sent_company_index(market, code)
    ]


def company_info_content(market: int, code: str, filename: str, start: int, length: int) -> str:
    """The result of `get_company_info_content` against the simulator.

    A range that cuts a character in two is decoded here by Python's gb18030 codec, which may
    replace the broken bytes differently from the client; the ranges of the index never cut one.
    """
    return sent_company_text(market, code, filename, start, length).decode("gb18030", "replace")


def company_text(market: int, code: str, title: str) -> str:
    """The text of the section called `title`; empty when there is none."""
    security = universe.find(market, code)
    if security is None:
        return ""
    return dict(universe.company_sections(security)).get(title, "")


# Report files -------------------------------------------------------------------------------


def _securities_csv() -> bytes:
    lines = ["market,code,name,last_close,price"]
    for s in universe.SECURITIES:
        q = universe.quote(s)
        lines.append(f"{s.market},{s.code},{s.name},{q.last_close / 100:.2f},{q.price / 100:.2f}")
    return ("\n".join(lines) + "\n").encode()


_DAY_RECORD = struct.Struct("<IIIIIfII")
_MINUTE_RECORD = struct.Struct("<HHfffffII")


def _day_file(security: Security) -> bytes:
    """Daily bars as a terminal keeps them: prices in cents, amount a float32 in yuan, volume
    in shares."""
    return b"".join(
        _DAY_RECORD.pack(
            b.date.year * 10000 + b.date.month * 100 + b.date.day,
            b.open,
            b.high,
            b.low,
            b.close,
            float(b.amount),
            b.vol,
            0,
        )
        for b in universe.bars(security, 9)
    )


def _lc5_file(security: Security) -> bytes:
    """Five-minute bars as a terminal keeps them: prices float32 in yuan, volume in shares."""
    return b"".join(
        _MINUTE_RECORD.pack(
            (b.date.year - 2004) << 11 | (b.date.month * 100 + b.date.day),
            b.minute,
            b.open / 100,
            b.high / 100,
            b.low / 100,
            b.close / 100,
            float(b.amount),
            b.vol,
            0,
        )
        for b in universe.minute_bars(security, 5)
    )


@functools.cache
def _report_makers() -> dict[str, Callable[[], bytes]]:
    makers: dict[str, Callable[[], bytes]] = {"reports/securities.csv": _securities_csv}
    for s in universe.SECURITIES:
        makers[f"reports/{s.label}.day"] = functools.partial(_day_file, s)
        makers[f"reports/{s.label}.lc5"] = functools.partial(_lc5_file, s)
    return makers


def report_file_names() -> list[str]:
    """The names of the report files that the simulator serves."""
    return list(_report_makers())


def report_file_bytes(filename: str) -> bytes:
    """The whole content of a report file; b"" for a name that the simulator does not serve."""
    # Only served names reach the cache: a client can send any name at all.
    return _report_content(filename) if filename in _report_makers() else b""


@functools.cache
def _report_content(filename: str) -> bytes:
    return _report_makers()[filename]()


def sent_report_piece(filename: str, offset: int, size: int) -> bytes:
    """The piece of a report file for a request of `size` bytes at `offset`."""
    return report_file_bytes(filename)[offset : offset + min(size, REPORT_PIECE)]


def report_file(filename: str, offset: int) -> tuple[int, bytes]:
    """The result of `get_report_file` against the simulator (the client asks for 30000
    bytes)."""
    piece = sent_report_piece(filename, offset, 30000)
    return len(piece), piece
