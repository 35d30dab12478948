"""A short tour of quillan against the built-in simulator: ``quillan tour``.

Each step calls one capability, prints a little of what came back and checks it against what
the simulator meant (`quillan.sim.data`); a difference ends the tour with an error.
"""

from __future__ import annotations

import contextlib
import io
import os
import socket
import struct
import tempfile
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, TextIO

import numpy as np

from quillan import _core
from quillan._core import TdxClient
from quillan.bars import read_bars
from quillan.client import Client
from quillan.output import visible, write_records
from quillan.session import CliError, Session, download_report
from quillan.sim import data

__all__ = ["run_tour", "write_day_file"]

MARKET, CODE = 1, "600036"

_DAY_RECORD = struct.Struct("<IIIIIfII")


def write_day_file(path: str, bars: Sequence[Mapping[str, Any]]) -> None:
    """Writes daily bars (as `get_security_bars` returns them) as a terminal's .day file:
    32-byte records of the date as yyyymmdd, four prices in cents, the turnover as a float32,
    the volume and four unused bytes."""
    with open(path, "wb") as f:
        for bar in bars:
            year, month, day = (int(part) for part in bar["datetime"][:10].split("-"))
            cents = [round(bar[key] * 100) for key in ("open", "high", "low", "close")]
            f.write(
                _DAY_RECORD.pack(year * 10000 + month * 100 + day, *cents, bar["amount"], int(bar["vol"]), 0)
            )


def _f32(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


def _number(value: object) -> str:
    number = float(value)  # type: ignore[arg-type]  # the values of an event are floats
    return f"{number:.0f}" if number == int(number) else f"{number:g}"


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class _Tour:
    def __init__(self, session: Session, out: TextIO):
        self.session = session
        self.out = out
        self.number = 0

    def say(self, text: str = "") -> None:
        self.out.write(text + "\n")

    def table(self, records: Sequence[Mapping[str, object]], columns: Sequence[str]) -> None:
        buffer = io.StringIO()
        write_records(records, "table", buffer, columns)
        for line in buffer.getvalue().splitlines():
            self.say("    " + line)

    def step(self, title: str, call: str) -> None:
        self.number += 1
        self.say()
        self.say(f"{self.number}. {title}")
        self.say(f"   {call}")

    def check(self, ok: bool, what: str) -> None:
        if not ok:
            raise CliError(f"tour: {what} differ from what the simulator meant")
        self.say(f"   ok: {what} match the simulator's data")

    def connect(self) -> TdxClient:
        return self.session.client()


def run_tour(session: Session, out: TextIO) -> None:
    t = _Tour(session, out)
    host, port = session.address()
    t.say(f"quillan tour: every capability against the simulator at {host}:{port}")
    t.say(f"security {MARKET}:{CODE} ({'Shanghai' if MARKET else 'Shenzhen'} market)")
    steps: list[Callable[[_Tour], None]] = [
        _bars, _quotes, _ticks, _xdxr, _finance, _company, _report, _day_file, _ping,
        _table_file, _history, _adjusted,
    ]  # fmt: skip
    for step in steps:
        with session.exchange():
            step(t)
    t.say()
    t.say(f"tour done: {t.number} steps, every result as the simulator meant it")


def _bars(t: _Tour) -> None:
    t.step("Bars: the last five daily bars", f"client.get_security_bars(9, {MARKET}, '{CODE}', 0, 5)")
    bars = t.connect().get_security_bars(9, MARKET, CODE, 0, 5)
    t.table(bars, ["datetime", "open", "high", "low", "close", "vol", "amount"])
    minutes = t.connect().get_security_bars(7, MARKET, CODE, 0, 240)
    t.say(
        "   the last day's 240 one-minute bars add up to its daily bar: "
        f"high {max(b['high'] for b in minutes)},"
    )
    t.say(f"   low {min(b['low'] for b in minutes)}, close {minutes[-1]['close']}")
    t.check(
        bars == data.security_bars(9, MARKET, CODE, 0, 5)
        and minutes == data.security_bars(7, MARKET, CODE, 0, 240)
        and max(b["high"] for b in minutes) == bars[-1]["high"]
        and min(b["low"] for b in minutes) == bars[-1]["low"],
        "bars",
    )


def _quotes(t: _Tour) -> None:
    stocks = [(0, "000001"), (1, "600036"), (1, "600519")]
    t.step("Quotes of three securities, with five levels", f"client.get_security_quotes({stocks})")
    quotes = t.connect().get_security_quotes(stocks)
    t.table(quotes, ["market", "code", "price", "last_close", "open", "high", "low", "vol", "bid1", "ask1"])
    t.check(quotes == data.security_quotes(stocks), "quotes")


def _ticks(t: _Tour) -> None:
    t.step("Ticks: the last five trades", f"client.get_transaction_data({MARKET}, '{CODE}', 0, 5)")
    ticks = t.connect().get_transaction_data(MARKET, CODE, 0, 5)
    t.table(ticks, ["time", "price", "vol", "num", "buyorsell"])
    t.check(ticks == data.transaction_data(MARKET, CODE, 0, 5), "trades")


def _xdxr(t: _Tour) -> None:
    t.step("Ex-rights and ex-dividend events", f"client.get_xdxr_info({MARKET}, '{CODE}')")
    events = t.connect().get_xdxr_info(MARKET, CODE)
    rows = []
    for e in events:
        values = ", ".join(f"{k} {_number(v)}" for k, v in list(e.items())[5:])
        rows.append(
            {
                "date": f"{e['year']}-{e['month']:02d}-{e['day']:02d}",
                "category": e["category"],
                "name": e["name"],
                "values": values,
            }
        )
    t.table(rows, ["date", "category", "name", "values"])
    t.check(events == data.xdxr_info(MARKET, CODE), "events")


def _finance(t: _Tour) -> None:
    t.step("Finance summary (a few of its 36 keys)", f"client.get_finance_info({MARKET}, '{CODE}')")
    info = t.connect().get_finance_info(MARKET, CODE)
    keys = [
        "liutongguben",
        "zongguben",
        "zongzichan",
        "jingzichan",
        "jinglirun",
        "meigujingzichan",
        "ipo_date",
    ]
    t.table([{"key": k, "value": info.get(k)} for k in keys], ["key", "value"])
    t.check(info == data.finance_info(MARKET, CODE), "finance figures")


def _company(t: _Tour) -> None:
    t.step(
        "Company information: the index, then one section",
        f"client.get_company_info_category({MARKET}, '{CODE}')",
    )
    index = t.connect().get_company_info_category(MARKET, CODE)
    t.table(index, ["name", "filename", "start", "length"])
    t.check(index == data.company_info_category(MARKET, CODE), "index entries")
    entry = index[1]
    t.say(
        f"   client.get_company_info_content({MARKET}, '{CODE}', '{entry['filename']}', "
        f"{entry['start']}, {entry['length']})"
    )
    text = t.connect().get_company_info_content(
        MARKET, CODE, entry["filename"], entry["start"], entry["length"]
    )
    for line in text.splitlines():
        t.say("    " + visible(line, keep="\t"))
    t.check(text == data.company_text(MARKET, CODE, entry["name"]), "section texts")


def _report(t: _Tour) -> None:
    name = "reports/sh600036.lc5"
    t.step("Report file: five-minute bars, downloaded in pieces", f"client.get_report_file('{name}', offset)")
    with tempfile.TemporaryDirectory(prefix="quillan-tour-") as folder:
        path = os.path.join(folder, "sh600036.lc5")
        with open(path, "wb") as sink:
            size, pieces = download_report(t.connect(), name, sink)
        t.say(f"   {size:,} bytes in {pieces} pieces")
        with open(path, "rb") as f:
            t.check(f.read() == data.report_file_bytes(name), "file bytes")
        t.say(f"   read_minute_bars('{os.path.basename(path)}')")
        bars = _core.read_minute_bars(path)
        t.table(bars[-3:], ["datetime", "open", "high", "low", "close", "amount", "volume"])
        t.say("   (the file holds float32 prices; they come back widened exactly, hence the digits)")
        expected = data.security_bars(0, MARKET, CODE, 0, 3)
        t.check(
            [b["datetime"] for b in bars[-3:]] == [b["datetime"] for b in expected]
            and [b["close"] for b in bars[-3:]] == [_f32(b["close"]) for b in expected],
            "file records (as float32) and five-minute bars",
        )


@contextlib.contextmanager
def _day_file_of(bars: Sequence[Mapping[str, Any]]) -> Iterator[str]:
    """The path of a .day file holding `bars`, in a folder removed afterwards."""
    with tempfile.TemporaryDirectory(prefix="quillan-tour-") as folder:
        path = os.path.join(folder, f"sh{CODE}.day")
        write_day_file(path, bars)
        yield path


def _day_file(t: _Tour) -> None:
    t.step("A .day file written here from daily bars, read back", "read_daily_bars(path)")
    bars = t.connect().get_security_bars(9, MARKET, CODE, 0, 20)
    with _day_file_of(bars) as path:
        t.say(f"   {len(bars)} records, {os.path.getsize(path)} bytes")
        records = _core.read_daily_bars(path)
    t.table(records[-3:], ["date", "open", "high", "low", "close", "amount", "volume"])
    t.say("   (prices are stored in cents and multiplied by price_coeff=0.01 in one step, so a")
    t.say("   float such as 29.490000000000002 can show; volume is multiplied by vol_coeff=0.01)")
    t.check(
        len(records) == len(bars)
        and all(
            r["date"] == b["datetime"][:10]
            and r["close"] == round(b["close"] * 100) * 0.01
            and r["amount"] == b["amount"]
            and r["volume"] == int(b["vol"]) * 0.01
            for r, b in zip(records, bars, strict=True)
        ),
        "records read back",
    )


def _ping(t: _Tour) -> None:
    host, port = t.session.address()
    servers = [(host, port), ("127.0.0.1", _free_port())]
    t.step("Ping: connection latency, fastest first", f"ping_servers({servers})")
    results = _core.ping_servers(servers)
    t.table([{"ip": ip, "port": p, "latency_ms": ms} for ip, p, ms in results], ["ip", "port", "latency_ms"])
    t.say("   9999 marks a server that could not be reached")
    t.check(
        results[0][:2] == servers[0] and results[0][2] < 9999 and results[1] == (*servers[1], 9999),
        "latencies",
    )


def _table_file(t: _Tour) -> None:
    t.step("The same .day file as a Table of NumPy columns", "quillan.read_bars(path)")
    bars = t.connect().get_security_bars(9, MARKET, CODE, 0, 20)
    with _day_file_of(bars) as path:
        table = read_bars(path)
    t.say(f"   {table!r}")
    rows = [
        {"date": str(table["date"][i]), **{c: float(table[c][i]) for c in ("open", "close", "volume")}}
        for i in range(len(table) - 3, len(table))
    ]
    t.table(rows, ["date", "open", "close", "volume"])
    t.say("   (prices are the stored cents divided by 100, the nearest double to each decimal price;")
    t.say("   volume is the stored count of shares)")
    t.check(
        len(table) == len(bars)
        and all(
            str(d) == b["datetime"][:10] and c == round(b["close"] * 100) / 100 and v == int(b["vol"])
            for d, c, v, b in zip(table["date"], table["close"], table["volume"], bars, strict=True)
        ),
        "columns read back",
    )


def _client(t: _Tour) -> Client:
    host, port = t.session.address()
    return Client([f"{host}:{port}"])


def _history(t: _Tour) -> None:
    t.step(
        "A history longer than one reply, paged by quillan.Client",
        f"Client(...).bars('{CODE}', '5m', count=2000)",
    )
    with _client(t) as client:
        bars = client.bars(CODE, "5m", count=2000)
    times = bars["datetime"]
    t.say(f"   {len(bars)} bars from {times[0]} to {times[-1]}, oldest first")
    newest = data.security_bars(0, MARKET, CODE, 0, 800)
    oldest = data.security_bars(0, MARKET, CODE, 1600, 400)
    t.check(
        len(bars) == 2000
        and bool(np.all(times[1:] > times[:-1]))
        and list(bars["close"][-800:]) == [b["close"] for b in newest]
        and list(bars["close"][:400]) == [b["close"] for b in oldest],
        "pages",
    )


def _adjusted(t: _Tour) -> None:
    t.step(
        "Forward-adjusted daily prices from the ex-rights records",
        f"Client(...).bars('{CODE}', adjust='forward')",
    )
    with _client(t) as client:
        raw = client.bars(CODE)
        adjusted = client.bars(CODE, adjust="forward")
    factor = adjusted["adj_factor"]
    steps = [i for i in range(1, len(factor)) if factor[i] != factor[i - 1]]
    rows = [
        {
            "date": str(adjusted["datetime"][i])[:10],
            "close": float(raw["close"][i]),
            "adjusted close": round(float(adjusted["close"][i]), 4),
            "adj_factor": round(float(factor[i]), 6),
        }
        for i in steps
    ]
    t.table(rows, ["date", "close", "adjusted close", "adj_factor"])
    t.say("   (each ex-date scales every earlier price; the latest bar keeps its price)")
    t.check(
        factor[-1] == 1.0
        and len(steps) > 0
        and bool(np.allclose(adjusted["close"], raw["close"] * factor, rtol=1e-12, atol=0)),
        "adjusted prices",
    )
