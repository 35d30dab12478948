"""A short tour of quillan against the built-in simulator: ``quillan tour``.

Each step calls one capability through the library's own API (quillan.Client, read_bars,
adjust, Store), prints a little of what came back and checks it against what the simulator
meant (`quillan.sim.data`); a difference ends the tour with an error.
"""

from __future__ import annotations

import contextlib
import io
import os
import struct
import tempfile
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any

import numpy as np

from quillan.atomic import whole_file
from quillan.bars import read_bars
from quillan.cli.context import CliError, Run
from quillan.cli.output import visible, write_table
from quillan.client import Client
from quillan.sim import data
from quillan.table import Table
from quillan.vocabulary import Security

__all__ = ["run_tour", "write_day_file"]

SECURITY = Security(1, "600036")
MARKET, CODE = SECURITY
PRICES = ("open", "high", "low", "close")

_DAY_RECORD = struct.Struct("<IIIIIfII")


def write_day_file(path: str, bars: Table) -> None:
    """Writes daily bars (a Table of bars of hundredths) as a terminal's .day file: 32-byte
    records of the date as yyyymmdd, four prices in cents, the turnover as a float32, the
    volume and four unused bytes."""
    with open(path, "wb") as f:
        for i, day in enumerate(bars["datetime"].astype("datetime64[D]").tolist()):
            cents = [round(float(bars[key][i]) * 100) for key in PRICES]
            stamp = day.year * 10000 + day.month * 100 + day.day
            f.write(_DAY_RECORD.pack(stamp, *cents, float(bars["amount"][i]), int(bars["volume"][i]), 0))


def _f32(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


def _matches(table: Table, records: Sequence[Mapping[str, Any]], columns: Mapping[str, str]) -> bool:
    """Whether the Table's columns (keys) hold the records' values (under the values' names)."""
    if len(table) != len(records):
        return False
    return all(table[name].tolist() == [r[key] for r in records] for name, key in columns.items())


def _times(records: Sequence[Mapping[str, Any]], daily: bool) -> list[str]:
    """The records' "YYYY-MM-DD hh:mm" texts as the Table's times give them."""
    return [
        r["datetime"][:10] + "T00:00:00" if daily else r["datetime"].replace(" ", "T") + ":00"
        for r in records
    ]


class _Tour:
    def __init__(self, run: Run, client: Client):
        self.run = run
        self.client = client
        self.number = 0
        self.skipped = 0

    def say(self, text: str = "") -> None:
        self.run.out.write(text + "\n")

    def table(self, table: Table, columns: Sequence[str] | None = None) -> None:
        buffer = io.StringIO()
        shown = table if columns is None else Table({c: table[c] for c in columns})
        write_table(shown, "table", buffer)
        for line in buffer.getvalue().splitlines():
            self.say("    " + line)

    def step(self, title: str, call: str) -> None:
        self.number += 1
        self.say()
        self.say(f"{self.number}. {title}")
        self.say(f"   {call}")

    def skip(self, err: ImportError) -> None:
        """The step just begun needs an extra that is not installed."""
        self.say(f"   skipped: {err}")
        self.skipped += 1

    def check(self, ok: bool, what: str) -> None:
        if not ok:
            raise CliError(f"tour: {what} differ from what the simulator meant")
        self.say(f"   ok: {what} match the simulator's data")


def run_tour(run: Run) -> None:
    run.announce = False  # the tour says where it runs
    (server,) = run.addresses()
    with Client([server], timeout=30) as client:
        t = _Tour(run, client)
        t.say(f"quillan tour: every capability against the simulator at {server}")
        t.say(f"security {SECURITY} (market {MARKET}, Shanghai)")
        steps: list[Callable[[_Tour], None]] = [
            _bars, _quotes, _ticks, _xdxr, _finance, _company, _report, _day_file, _ping, _history,
            _adjusted, _store, _chart,
        ]  # fmt: skip
        for step in steps:
            with run.network():
                step(t)
    t.say()
    done = f"tour done: {t.number - t.skipped} steps, every result as the simulator meant it"
    if t.skipped:
        done += f"; {t.skipped} skipped for want of an extra (pip install 'quillan[all]' has them all)"
    t.say(done)


def _bars(t: _Tour) -> None:
    t.step("Bars: the last five daily bars", f"client.bars('{CODE}', count=5)")
    bars = t.client.bars(CODE, count=5)
    t.table(bars)
    minutes = t.client.bars(CODE, "1m", count=240)
    t.say(f"   the last day's 240 one-minute bars add up to its daily bar: high {minutes['high'].max()},")
    t.say(f"   low {minutes['low'].min()}, close {minutes['close'][-1]}")
    expected = data.security_bars(9, MARKET, CODE, 0, 5)
    t.check(
        _matches(bars, expected, {**{p: p for p in PRICES}, "amount": "amount", "volume": "vol"})
        and np.datetime_as_string(bars["datetime"]).tolist() == _times(expected, daily=True)
        and _matches(minutes, data.security_bars(8, MARKET, CODE, 0, 240), {"close": "close"})
        and minutes["high"].max() == bars["high"][-1]
        and minutes["low"].min() == bars["low"][-1],
        "bars",
    )


def _quotes(t: _Tour) -> None:
    stocks = [(0, "000001"), (1, "600036"), (1, "600519")]
    t.step("Quotes of three securities, with five levels", f"client.quotes({stocks})")
    quotes = t.client.quotes(stocks)
    t.table(quotes, ["market", "code", "price", "last_close", "open", "high", "low", "vol", "bid1", "ask1"])
    t.check(_matches(quotes, data.security_quotes(stocks), {c: c for c in quotes.columns}), "quotes")


def _ticks(t: _Tour) -> None:
    t.step("Ticks: the last five trades", f"client.ticks('{CODE}', count=5)")
    ticks = t.client.ticks(CODE, count=5)
    t.table(ticks)
    expected = data.transaction_data(MARKET, CODE, 0, 5)
    minutes = [int(h) * 60 + int(m) for h, m in (r["time"].split(":") for r in expected)]
    t.check(
        _matches(ticks, expected, {c: c for c in ticks.columns if c != "time"})
        and (ticks["time"].astype(np.int64) // 60).tolist() == minutes,
        "trades",
    )


def _xdxr(t: _Tour) -> None:
    t.step("Ex-rights and ex-dividend events", f"client.xdxr('{CODE}')")
    events = t.client.xdxr(CODE)
    t.table(events, ["date", "category", "name", "fenhong", "songzhuangu", "peigu", "peigujia"])
    expected = data.xdxr_info(MARKET, CODE)
    dates = [f"{r['year']}-{r['month']:02d}-{r['day']:02d}" for r in expected]
    t.check(
        np.datetime_as_string(events["date"]).tolist() == dates
        and all(
            events[key][i] == value for i, r in enumerate(expected) for key, value in list(r.items())[5:]
        ),
        "events",
    )


def _finance(t: _Tour) -> None:
    t.step("Finance summary (a few of its 36 columns)", f"client.finance('{CODE}')")
    info = t.client.finance(CODE)
    t.table(info, ["liutongguben", "zongguben", "zongzichan", "jingzichan", "jinglirun", "ipo_date"])
    expected = data.finance_info(MARKET, CODE)
    t.check(_matches(info, [expected], {c: c for c in info.columns}), "finance figures")


def _company(t: _Tour) -> None:
    t.step("Company information: the index, then one section", f"client.company_index('{CODE}')")
    index = t.client.company_index(CODE)
    t.table(index)
    expected = data.company_info_category(MARKET, CODE)
    t.check(_matches(index, expected, {c: c for c in index.columns}), "index entries")
    t.say(f"   client.company('{CODE}', 2)")
    section = t.client.company(CODE, 2)
    for line in str(section["text"][0]).splitlines():
        t.say("    " + visible(line, keep="\t"))
    t.check(section["text"][0] == data.company_text(MARKET, CODE, expected[1]["name"]), "section texts")


def _report(t: _Tour) -> None:
    name = "reports/sh600036.lc5"
    t.step("Report file: five-minute bars, downloaded in pieces", f"client.report_to('{name}', file)")
    with tempfile.TemporaryDirectory(prefix="quillan-tour-") as folder:
        path = os.path.join(folder, "sh600036.lc5")
        with whole_file(path) as sink:
            size = t.client.report_to(name, sink)
        t.say(f"   {size:,} bytes, saved whole")
        with open(path, "rb") as f:
            t.check(f.read() == data.report_file_bytes(name), "file bytes")
        t.say("   read_bars('sh600036.lc5')")
        bars = read_bars(path)
    t.table(bars[len(bars) - 3 :])
    t.say("   (the file holds float32 prices; they come back widened exactly)")
    expected = data.security_bars(0, MARKET, CODE, 0, 3)
    t.check(
        np.datetime_as_string(bars["datetime"][-3:]).tolist() == _times(expected, daily=False)
        and bars["close"][-3:].tolist() == [_f32(b["close"]) for b in expected],
        "file records (as float32) and five-minute bars",
    )


@contextlib.contextmanager
def _day_file_of(bars: Table) -> Iterator[str]:
    """The path of a .day file holding `bars`, in a folder removed afterwards."""
    with tempfile.TemporaryDirectory(prefix="quillan-tour-") as folder:
        path = os.path.join(folder, f"sh{CODE}.day")
        write_day_file(path, bars)
        yield path


def _day_file(t: _Tour) -> None:
    t.step("A .day file written here from daily bars, read back as a Table", "quillan.read_bars(path)")
    bars = t.client.bars(CODE, count=20)
    with _day_file_of(bars) as path:
        t.say(f"   {len(bars)} records, {os.path.getsize(path)} bytes")
        table = read_bars(path)
    t.say(f"   {table!r}")
    t.table(table[len(table) - 3 :])
    t.say("   (prices are the stored cents divided by 100, the nearest double to each decimal price;")
    t.say("   volume is the stored count of shares)")
    t.check(table.equals(bars), "bars read back")


def _ping(t: _Tour) -> None:
    host, port = t.run.addresses()[0]
    dead = ("127.0.0.1", 1)
    t.step("Ping: connection latency, fastest first", "Client([..., '127.0.0.1:1']).ping()")
    with Client([(host, port), dead]) as client:
        results = client.ping()
    t.table(results)
    t.say("   9999 marks a server that could not be reached")
    t.check(results["reachable"].tolist() == [True, False] and results["latency_ms"][1] == 9999, "latencies")


def _history(t: _Tour) -> None:
    t.step(
        "A history longer than one reply, paged by quillan.Client", f"client.bars('{CODE}', '5m', count=2000)"
    )
    bars = t.client.bars(CODE, "5m", count=2000)
    times = bars["datetime"]
    t.say(f"   {len(bars)} bars from {times[0]} to {times[-1]}, oldest first")
    newest = data.security_bars(0, MARKET, CODE, 0, 800)
    oldest = data.security_bars(0, MARKET, CODE, 1600, 400)
    t.check(
        len(bars) == 2000
        and bool(np.all(times[1:] > times[:-1]))
        and bars["close"][-800:].tolist() == [b["close"] for b in newest]
        and bars["close"][:400].tolist() == [b["close"] for b in oldest],
        "pages",
    )


def _adjusted(t: _Tour) -> None:
    t.step(
        "Forward-adjusted daily prices from the ex-rights records", f"client.bars('{CODE}', adjust='forward')"
    )
    raw = t.client.bars(CODE)
    adjusted = t.client.bars(CODE, adjust="forward")
    factor = adjusted["adj_factor"]
    steps = np.flatnonzero(factor[1:] != factor[:-1]) + 1
    t.table(
        Table(
            {
                "datetime": adjusted["datetime"][steps],
                "close": raw["close"][steps],
                "adjusted close": adjusted["close"][steps].round(4),
                "adj_factor": factor[steps].round(6),
            }
        )
    )
    t.say("   (each ex-date scales every earlier price; the latest bar keeps its price)")
    t.check(
        factor[-1] == 1.0
        and len(steps) > 0
        and bool(np.allclose(adjusted["close"], raw["close"] * factor, rtol=1e-12, atol=0)),
        "adjusted prices",
    )


def _store(t: _Tour) -> None:
    t.step("A local store: synced from the server, queried with SQL", "Store(folder).sync(client, ...)")
    try:
        from quillan.store import Store

        with tempfile.TemporaryDirectory(prefix="quillan-tour-") as folder:
            store = Store(folder)
            report = store.sync(t.client, [CODE, "000001"], ["1d"], progress=False)
            t.say(f"   {report.summary()}")
            t.say(
                '   store.sql("SELECT code, count(*) AS bars, max(datetime) AS last FROM bars GROUP BY code")'
            )
            counts = store.sql(
                "SELECT code, count(*) AS bars, max(datetime) AS last FROM bars GROUP BY code ORDER BY code"
            )
            t.table(counts)
            stored = store.bars(CODE)
            t.say("   store.securities(): the universe and the calendar, from the bars stored")
            securities = store.securities()
            t.table(securities, ["market", "code", "kind", "first", "last", "days", "missing", "active"])
            calendar = store.calendar()
    except ImportError as err:  # the store extra is not installed
        t.skip(err)
        return
    t.check(report.ok and stored.equals(t.client.bars(CODE)), "stored bars")
    t.check(np.array_equal(calendar, stored["datetime"].astype("datetime64[D]")), "trading days")


def _chart(t: _Tour) -> None:
    t.step(
        "A candlestick chart, drawn without a display",
        f"quillan.plot.candles(client.bars('{CODE}', count=120))",
    )
    try:
        from quillan import plot

        bars = t.client.bars(CODE, count=120)
        figure = plot.candles(bars, security=SECURITY, freq="1d")
        with tempfile.TemporaryDirectory(prefix="quillan-tour-") as folder:
            path = os.path.join(folder, "chart.png")
            figure.savefig(path)
            with open(path, "rb") as f:
                png = f.read()
    except ImportError as err:  # the plot extra is not installed
        t.skip(err)
        return
    t.say(f"   {len(bars)} candles, rising red and falling green, volume below: a {len(png):,}-byte PNG")
    bodies = figure.axes[0].collections[1].get_paths()
    t.check(png.startswith(b"\x89PNG") and len(bodies) == len(bars), "the chart's candles")
