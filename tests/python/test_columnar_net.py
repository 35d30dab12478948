"""quillan.columnar.Connection: the same requests and values as the dict API, as Tables, with a
deadline per exchange and without the interpreter lock while it waits."""

from __future__ import annotations

import datetime
import functools
import math
import random
import signal
import threading
import time
import zlib
from operator import methodcaller

import numpy as np
import pytest

from helpers import Index
from netutil import free_port, open_fds
from quillan._core import TdxClient
from quillan.columnar import Connection
from quillan.sim import data, universe
from standin import Reply
from test_market import BARS_EXAMPLE, QUOTE_HEAD, QUOTES_EXAMPLE, TRADES_EXAMPLE, varint
from test_reference import FINANCE_FIGURES, XDXR_VALUES, f32, xdxr_body


def civil_date(year: int, month: int, day: int) -> np.datetime64:
    """The date, or NaT for none, in any year: datetime.date stops at 9999, but the calendar
    repeats every 400 years (146097 days)."""
    cycles, year_in_cycle = divmod(year - 2000, 400)
    try:
        date = datetime.date(2000 + year_in_cycle, month, day)
    except ValueError:
        return np.datetime64("NaT", "D")
    return np.datetime64(date, "D") + np.timedelta64(cycles * 146097, "D")


def expected_column(key: str, values: list) -> np.ndarray:
    """The dict API's values of one key as the column the Table should hold."""
    if key == "datetime":
        out = []
        for text in values:
            date, hm = text.split(" ")
            try:
                out.append(np.datetime64(f"{date}T{hm}", "s"))
            except ValueError:
                out.append(np.datetime64("NaT", "s"))  # a field out of range
        return np.array(out, dtype="datetime64[s]")
    if key == "date":
        return np.array([civil_date(*ymd) for ymd in values], dtype="datetime64[D]")
    if key == "time":
        hours, minutes = zip(*(map(int, t.split(":")) for t in values), strict=False) if values else ((), ())
        return (np.array(hours, dtype=np.int64) * 3600 + np.array(minutes, dtype=np.int64) * 60).astype(
            "timedelta64[s]"
        )
    if values and isinstance(values[0], str):
        return np.array(values, dtype=object)
    if values and isinstance(values[0], float):
        return np.array(values, dtype=np.float64)
    return np.array(values, dtype=np.int64)


def assert_same(table, dicts: list[dict], keys: list[str]) -> None:
    """The Table holds the dicts' values, key by key, float bits and NaT included."""
    assert table.columns == tuple(keys)
    assert len(table) == len(dicts)
    for key in keys:
        got, want = table[key], expected_column(key, [d[key] for d in dicts])
        if len(dicts) and want.dtype != object:
            assert got.dtype == want.dtype, key
            assert np.array_equal(got.view(np.int64), want.view(np.int64)), key
        else:
            assert list(got) == list(want), key


BAR_KEYS = ["datetime", "open", "high", "low", "close", "amount", "volume"]
MINUTE_CATEGORIES = {0, 1, 2, 3, 7, 8}  # the bars of the others carry a date alone
TRADE_KEYS = ["time", "price", "vol", "num", "buyorsell"]
QUOTE_KEYS = [
    "market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol",
    "cur_vol", "amount", "s_vol", "b_vol",
] + [f"{k}{i}" for i in range(1, 6) for k in ("bid", "ask", "bid_vol", "ask_vol")]  # fmt: skip
XDXR_KEYS = ["date", "category", "name"] + [k for keys in XDXR_VALUES.values() for k in keys]
FINANCE_KEYS = [
    "market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date"
] + FINANCE_FIGURES  # fmt: skip
COMPANY_KEYS = ["name", "filename", "start", "length"]


def bar_rows(category: int, bars: list[dict]) -> list[dict]:
    """The dict API's bars as the Table holds them: vol as volume, and the "15:00" of a bar
    that the server sends with its date alone as midnight."""
    rows = [{**b, "volume": b["vol"]} for b in bars]
    if category not in MINUTE_CATEGORIES:
        for row in rows:
            row["datetime"] = row["datetime"].split(" ")[0] + " 00:00"
    return rows


def xdxr_rows(records: list[dict]) -> list[dict]:
    """The dict API's records as the Table holds them: one date, and NaN for the values that a
    record's category does not carry."""
    none = dict.fromkeys(XDXR_KEYS, math.nan)
    return [{**none, **r, "date": (r["year"], r["month"], r["day"])} for r in records]


def _bar_bodies() -> list[tuple[int, bytes]]:
    bar1 = bytes.fromhex("3B A1 DC 05") + varint(12340) + bytes.fromhex("68 00 00") + bytes(8)
    bar2 = bytes.fromhex("3B A1 77 02") + varint(-40) + bytes(3) + bytes(8)
    bad_date = (20240099).to_bytes(4, "little") + varint(29490) + bytes(3) + bytes(8)
    return [
        (9, BARS_EXAMPLE),
        (7, b"\x03\x00" + bar1 + bar2 + bar2[:-1]),
        (4, b"\x01\x00" + bad_date),
        (9, b""),
    ]


def _quote_bodies() -> list[bytes]:
    levels = b"".join(varint(v) for i in range(1, 6) for v in (-i, i, 100 * i, 1000 * i))
    record = QUOTE_HEAD + levels + bytes(10)
    return [
        QUOTES_EXAMPLE,
        b"\0\0\2\0" + record + record.replace(b"600036", b"\xff" * 6),
        QUOTES_EXAMPLE[:-10],
        b"",
    ]


def _trade_bodies() -> list[bytes]:
    def trade(t, delta):
        return t.to_bytes(2, "little") + varint(delta) + b"\x01\x02\x03\x00"

    return [
        TRADES_EXAMPLE,
        b"\x05\x00" + trade(0, 1234) + trade(1500, 1) + trade(6000, -2) + b"\xff\xff",
        b"",
    ]


def _xdxr_bodies() -> list[bytes]:
    floats = f32(0.1) + f32(2.0) + f32(0.25) + f32(-1.5)
    shares = bytes.fromhex("00 00 7A 44 00 00 00 00 80 96 18 4B 01 00 00 00")
    body = xdxr_body(
        (20240614, 1, floats), (20240615, 11, floats), (20240616, 14, floats), (20240617, 5, shares),
        (20230229, 99, shares), (123450101, 0, floats), (1231, 12, floats),
    )  # fmt: skip
    return [body, body[:-1], b""]


def _random_bodies(seed: int) -> list[bytes]:
    rng = random.Random(seed)
    return [bytes([rng.randrange(4), 0]) + rng.randbytes(rng.randrange(200)) for _ in range(8)]


def _cases() -> list:
    """(call, body, compressed, columns, rows): bars bodies both ways, the others plainly; `rows`
    makes the dicts into the Table's rows."""
    out = []
    for i, (k, body) in enumerate(_bar_bodies() + [(7, b) for b in _random_bodies(1)]):
        call = methodcaller("get_security_bars", k, 1, "600036", 3, 800)
        rows = functools.partial(bar_rows, k)
        out += [pytest.param(call, body, z, BAR_KEYS, rows, id=f"bars{i}-{z}") for z in (False, True)]
    for name, call, keys, rows, bodies in [
        ("quotes", methodcaller("get_security_quotes", [(1, "600036"), (0, "000001")]), QUOTE_KEYS,
         list, _quote_bodies() + _random_bodies(2)),
        ("trades", methodcaller("get_transaction_data", 0, "000001", 10, 2000), TRADE_KEYS, list,
         _trade_bodies() + _random_bodies(3)),
        ("xdxr", methodcaller("get_xdxr_info", 1, "600036"), XDXR_KEYS, xdxr_rows,
         _xdxr_bodies() + _random_bodies(4)),
    ]:  # fmt: skip
        out += [pytest.param(call, b, False, keys, rows, id=f"{name}{i}") for i, b in enumerate(bodies)]
    return out


@pytest.fixture
def conn(standin):
    c = Connection(timeout=5)
    c.connect(standin.host, standin.port)
    yield c
    c.close()


class TestSameAsDictApi:
    """Both APIs get the same body; the frames they send and the values they return agree."""

    @pytest.mark.parametrize("call, body, compress, keys, rows", _cases())
    def test_values(self, standin, client, conn, call, body, compress, keys, rows):
        if compress and len(zlib.compress(body)) == len(body):
            pytest.skip("compresses to its own length, which reads as plain")
        standin.script(Reply(body=body, compress=compress), Reply(body=body, compress=compress))
        dicts = call(client)
        table = call(conn)
        sent_by_dict, sent_by_table = (standin.frames(n) for n in standin.connections())
        assert sent_by_table == sent_by_dict
        assert_same(table, rows(dicts), keys)

    @pytest.mark.parametrize(
        "reply",
        [
            Reply(body=b"x" * 30, cut=20, then="close"),  # closed within the body
            Reply(raw=b"\0" * 12 + b"\x05\x00\x09\x00" + b"12345"),  # not zlib
            Reply(body=b"abc", then="reset", cut=10),
        ],
    )
    def test_transport_failures_raise_alike(self, standin, client, conn, reply):
        standin.script(reply, reply)
        errors = []
        for c in (client, conn):
            with pytest.raises(OSError) as exc:
                c.get_transaction_data(0, "000001", 0, 10)
            errors.append((type(exc.value), str(exc.value)))
        assert errors[1] == errors[0]


class TestSimulator:
    @pytest.fixture
    def both(self, sim):
        client = TdxClient()
        client.connect(sim.host, sim.port)
        with Connection() as conn:
            conn.connect(sim.host, sim.port)
            yield client, conn
        client.disconnect()

    @pytest.mark.parametrize("category", range(13))
    def test_bars(self, both, category):
        client, conn = both
        for market, code in [(1, "600036"), (0, "000001")]:
            args = (category, market, code, 0, 800)
            bars = bar_rows(category, client.get_security_bars(*args))
            assert_same(conn.get_security_bars(*args), bars, BAR_KEYS)

    def test_quotes_and_trades(self, both):
        client, conn = both
        stocks = [(s.market, s.code) for s in universe.SECURITIES] + [(0, "999999")]
        assert_same(conn.get_security_quotes(stocks), client.get_security_quotes(stocks), QUOTE_KEYS)
        for start, count in [(0, 2000), (100, 50)]:
            args = (1, "600036", start, count)
            assert_same(conn.get_transaction_data(*args), client.get_transaction_data(*args), TRADE_KEYS)

    def test_reference_data(self, both):
        client, conn = both
        for market, code in [(s.market, s.code) for s in universe.SECURITIES] + [(0, "999999")]:
            xdxr = xdxr_rows(client.get_xdxr_info(market, code))
            assert_same(conn.get_xdxr_info(market, code), xdxr, XDXR_KEYS)
            finance = client.get_finance_info(market, code)  # {} for none
            assert_same(conn.get_finance_info(market, code), [finance] if finance else [], FINANCE_KEYS)
            sections = client.get_company_info_category(market, code)
            assert_same(conn.get_company_info_category(market, code), sections, COMPANY_KEYS)
            for args in [(s["filename"], s["start"], s["length"]) for s in sections] + [("f" * 80, 0, 9)]:
                text = client.get_company_info_content(market, code, *args)
                assert conn.get_company_info_content(market, code, *args) == text
        for name in data.report_file_names()[:3] + ["r" * 100]:
            for offset in (0, 30000, 1 << 31):
                assert conn.get_report_file(name, offset) == client.get_report_file(name, offset)

    def test_tables_go_to_arrow_with_their_types(self, both):
        pa = pytest.importorskip("pyarrow")
        _, conn = both
        tables = [
            conn.get_security_bars(9, 1, "600036", 0, 5),
            conn.get_security_quotes([(1, "600036")]),
            conn.get_transaction_data(1, "600036", 0, 5),
            conn.get_xdxr_info(1, "600036"),
        ]
        types = [pa.table(t).schema.field(0).type for t in tables]
        assert types == [pa.timestamp("s"), pa.int64(), pa.duration("s"), pa.date32()]
        assert pa.table(tables[1]).column("code").to_pylist() == ["600036"]


class TestArguments:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda c: c.get_security_bars(9, 1, "6000361", 0, 1), "six bytes"),
            (lambda c: c.get_transaction_data(1, "60003é", 0, 1), "six bytes"),  # seven bytes
            (lambda c: c.get_security_quotes([(1, "600036"), (0, "0000011")]), "six bytes"),
            (lambda c: c.get_xdxr_info(1, "6000361"), "six bytes"),
            (lambda c: c.get_finance_info(1, "6000361"), "six bytes"),
            (lambda c: c.get_company_info_category(1, "6000361"), "six bytes"),
            (lambda c: c.get_company_info_content(1, "6000361", "a.txt", 0, 1), "six bytes"),
            # 41 characters, 82 bytes
            (lambda c: c.get_company_info_content(1, "600036", "é" * 41, 0, 1),
             "^file name 'é{41}' is longer than the 80 bytes a request carries$"),
            (lambda c: c.get_report_file("r" * 101, 0), "the 100 bytes"),
        ],
    )  # fmt: skip
    def test_long_argument_is_refused_before_anything_is_sent(self, standin, conn, call, message):
        with pytest.raises(ValueError, match=message):
            call(conn)
        with pytest.raises(ValueError):  # before the connection test, too
            call(Connection())
        assert standin.frames() == []
        assert conn.connected

    def test_not_connected_and_empty_list(self, standin):
        c = Connection()
        with pytest.raises(ConnectionError, match="^Not connected$"):
            c.get_security_quotes([])
        c.connect(standin.host, standin.port)
        empty = c.get_security_quotes([])
        assert empty.columns == tuple(QUOTE_KEYS) and len(empty) == 0
        with pytest.raises(
            ValueError, match="^9361 pairs asked for, but one request can carry at most 9360$"
        ):
            c.get_security_quotes([(1, "600036")] * 9361)
        assert standin.frames() == []

    @pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("inf"), 1e10])
    def test_bad_timeout(self, timeout):
        with pytest.raises(ValueError, match="timeout"):
            Connection(timeout=timeout)
        c = Connection()
        with pytest.raises(ValueError, match="timeout"):
            c.timeout = timeout
        assert c.timeout == 30.0

    @pytest.mark.parametrize("host", ["localhost", "127.0.0.1"])
    def test_host_forms(self, standin, host):
        with Connection() as c:
            c.connect(host, standin.port)
            assert c.connected
        assert not c.connected

    def test_bare_ipv6(self):
        import socket

        from standin import StandIn

        server = StandIn(family=socket.AF_INET6)
        try:
            server.script(Reply(body=TRADES_EXAMPLE))
            with Connection() as c:
                c.connect("::1", server.port)
                assert len(c.get_transaction_data(1, "600036", 0, 2)) == 2
            with pytest.raises(ValueError, match=r"^Invalid address '\[::1::\]:1'"):
                Connection().connect("::1::", 1)
        finally:
            server.close()


class TestExclusiveUse:
    def test_reentrant_call(self, standin, conn):
        def reenter():
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                conn.get_security_quotes([])

        standin.script(Reply(body=b""))
        assert len(conn.get_security_quotes([(Index(1, reenter), "600036")])) == 0

    def test_second_thread_during_a_wait(self, standin, conn):
        standin.script(Reply(body=TRADES_EXAMPLE, delay=0.5))
        result = []
        worker = threading.Thread(target=lambda: result.append(conn.get_transaction_data(1, "600036", 0, 2)))
        worker.start()
        time.sleep(0.2)  # the worker waits for the server, without the interpreter lock
        assert "in use" in repr(conn)
        for call in (
            lambda: conn.get_transaction_data(1, "600036", 0, 2),
            conn.disconnect,
            lambda: conn.connected,
        ):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                call()
        worker.join()
        assert len(result[0]) == 2


class TestThreads:
    def test_connections_in_threads_overlap(self, standin):
        delay, n = 0.4, 4
        standin.script(*[Reply(body=TRADES_EXAMPLE, delay=delay) for _ in range(n)])
        conns = [Connection() for _ in range(n)]
        for c in conns:
            c.connect(standin.host, standin.port)
        threads = [threading.Thread(target=c.get_transaction_data, args=(1, "600036", 0, 2)) for c in conns]
        start = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - start
        assert elapsed < delay * 2, f"{n} requests took {elapsed:.2f} s, not about {delay} s"
        for c in conns:
            c.close()


class TestDeadline:
    @pytest.mark.parametrize(
        "call",
        [
            pytest.param(methodcaller("get_transaction_data", 1, "600036", 0, 10), id="trades"),
            pytest.param(methodcaller("get_report_file", "a.csv", 0), id="report"),
        ],
    )
    def test_trickling_server_fails_at_the_deadline(self, standin, conn, call):
        # Each byte comes well within any per-receive time-out; the whole answer would take 6 s.
        standin.script(Reply(body=bytes(44), pieces=(1,) * 59, piece_delay=0.1))
        conn.timeout = 0.5
        start = time.monotonic()
        with pytest.raises(TimeoutError) as exc:
            call(conn)
        elapsed = time.monotonic() - start
        assert str(exc.value) == f"no answer from 127.0.0.1:{standin.port} within 0.5 s"
        assert 0.5 <= elapsed < 1.5
        # The rest of that answer is still coming: the connection was closed, not reused.
        assert not conn.connected
        with pytest.raises(
            ConnectionError, match="closed when a request failed .no answer from .*connect again"
        ):
            call(conn)
        standin.script(Reply(body=TRADES_EXAMPLE))
        conn.connect(standin.host, standin.port)
        assert len(conn.get_transaction_data(1, "600036", 0, 2)) == 2

    def test_trickling_setup_answer_fails_connect(self, standin):
        # The header comes whole (the drain reads it in one receive), the body a byte at a time.
        standin.set_setup(
            [Reply(body=bytes(30), pieces=(16,) + (1,) * 29, piece_delay=0.1), Reply(), Reply()]
        )
        c = Connection(timeout=0.5)
        before = open_fds()
        with pytest.raises(TimeoutError, match="^no answer from .* within 0.5 s$"):
            c.connect(standin.host, standin.port)
        assert not c.connected and open_fds() == before

    def test_signal_handler_that_raises_ends_the_wait(self, standin, conn):
        class Stop(Exception):
            pass

        def handler(signum, frame):
            raise Stop

        standin.script(Reply(silent=True))
        previous = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        start = time.monotonic()
        try:
            with pytest.raises(Stop):
                conn.get_transaction_data(1, "600036", 0, 10)  # would wait its 5 s
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert time.monotonic() - start < 2
        assert not conn.connected


class TestResources:
    def test_no_descriptor_leaks(self, standin):
        refused = free_port()
        before = open_fds()
        for i in range(50):
            c = Connection(timeout=0.2)
            c.connect(standin.host, standin.port)
            c.connect(standin.host, standin.port)  # replaces, closing the first
            with pytest.raises(ConnectionError):
                c.connect("127.0.0.1", refused)
            with pytest.raises(ValueError):
                c.connect("nowhere", 1)
            if i % 3 == 0:
                with pytest.raises(OSError):  # the stand-in closes: the request fails
                    c.get_transaction_data(1, "600036", 0, 1)
            elif i % 3 == 1:
                c.close()
            del c  # dealloc closes a socket still open
        assert open_fds() == before
