"""get_security_bars, get_security_quotes and get_transaction_data through the stand-in server."""

import random
import sys

import pytest

from market_reference import decode_bars, decode_quotes, decode_trades, price_bytes
from quillan._core import TdxClient
from standin import Reply

BAR_KEYS = ["datetime", "open", "high", "low", "close", "vol", "amount"]
QUOTE_KEYS = [
    "market", "code", "price", "last_close", "open", "high", "low", "servertime", "vol",
    "cur_vol", "amount", "s_vol", "b_vol",
] + [f"{k}{i}" for i in range(1, 6) for k in ("bid", "ask", "bid_vol", "ask_vol")]
TRADE_KEYS = ["time", "price", "vol", "num", "buyorsell"]

BARS_EXAMPLE = bytes.fromhex("01 00 BB D7 34 01 B4 C0 01 68 3C E4 01 00 00 7A 44 80 96 18 4B")
QUOTES_EXAMPLE = bytes.fromhex(
    "00 00 01 00"
    "01 36 30 30 30 33 36 00 00 92 13 62 00 06 44 0E 00 A8 0F 0A 00 00 7A 44 90 06 98 09 00 00"
    "41 01 05 07" + "00" * 16 + "00 00 00 00 00 00 00 00 00 00"
)
TRADES_EXAMPLE = bytes.fromhex("02 00 3A 02 92 13 A4 01 05 01 00 3B 02 01 14 02 00 00")


def quote_record(price=1234, code=b"600036", market=1, levels=b"\0" * 20, tail=b"\0" * 10):
    return (
        bytes([market]) + code + b"\0\0" + price_bytes(price)
        + bytes.fromhex("62 00 06 44 0E 00 A8 0F 0A 00 00 7A 44 90 06 98 09 00 00")
        + levels + tail
    )


def quotes_body(*records, count=None):
    n = len(records) if count is None else count
    return b"\0\0" + n.to_bytes(2, "little") + b"".join(records)


class Index:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class TestSurface:
    def test_text_signatures_and_docstrings(self):
        assert TdxClient.get_security_bars.__text_signature__ == (
            "($self, category, market, code, start, count)"
        )
        assert TdxClient.get_security_bars.__doc__ == (
            'category: 0..11, market: 0/1, code: "600036", start: offset, count: num'
        )
        assert TdxClient.get_security_quotes.__text_signature__ == "($self, stock_list)"
        assert TdxClient.get_transaction_data.__text_signature__ == (
            "($self, market, code, start, count)"
        )

    @pytest.mark.parametrize(
        "call",
        [
            lambda c: c.get_security_bars(9, 1, "600036", 0, 10),
            lambda c: c.get_security_quotes([(1, "600036")]),
            lambda c: c.get_security_quotes([]),
            lambda c: c.get_transaction_data(1, "600036", 0, 10),
        ],
    )
    def test_not_connected(self, call):
        with pytest.raises(ConnectionError, match="^Not connected$"):
            call(TdxClient())

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda c: c.get_security_bars(65536, 1, "600036", 0, 1), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda c: c.get_security_bars(9, 256, "600036", 0, 1), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda c: c.get_security_bars(9, 1, "600036", 65536, 1), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda c: c.get_security_bars(9, 1, 600036, 0, 1), TypeError,
             "argument 'code': 'int' object cannot be cast as 'str'"),
            (lambda c: c.get_security_bars(9, 1, "600036", 0), TypeError,
             "TdxClient.get_security_bars() missing 1 required positional argument: 'count'"),
            (lambda c: c.get_transaction_data(256, "600036", 0, 1), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda c: c.get_transaction_data(1, "600036", -1, 1), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda c: c.get_transaction_data(1, "600036", 0, 70000), OverflowError,
             "out of range integral type conversion attempted"),
            (lambda c: c.get_transaction_data(1.0, "600036", 0, 1), TypeError,
             "argument 'market': 'float' object cannot be interpreted as an integer"),
            (lambda c: c.get_transaction_data(1, "600036"), TypeError,
             "TdxClient.get_transaction_data() missing 2 required positional arguments: "
             "'start' and 'count'"),
        ],
    )
    def test_conversion_comes_before_connection_and_io(self, client, standin, call, error, message):
        for c in (TdxClient(), client):
            with pytest.raises(error) as exc:
                call(c)
            assert str(exc.value) == message
        assert standin.frames() == []


class TestSecurityBars:
    def test_request(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_security_bars(9, 1, "600036", 0, 100) == []
        assert standin.frames() == [bytes.fromhex(
            "0C 01 08 64 01 01 1C 00 1C 00 2D 05 01 00 36 30 30 30 33 36 09 00 01 00 00 00"
            "64 00 00 00 00 00 00 00 00 00 00 00"
        )]

    @pytest.mark.parametrize(
        "code, field", [("6000361", b"600036"), ("1", b"1\0\0\0\0\0"), ("", bytes(6))]
    )
    def test_code_field_and_count_zero(self, client, standin, code, field):
        standin.script(Reply(body=b""))
        client.get_security_bars(category=4, market=0, code=code, start=7, count=0)
        (frame,) = standin.frames()
        assert frame[14:20] == field
        assert frame[20:28] == bytes.fromhex("04 00 01 00 07 00 00 00")

    @pytest.mark.parametrize("compress", [False, True])
    def test_worked_example(self, client, standin, compress):
        standin.script(Reply(body=BARS_EXAMPLE, compress=compress))
        (bar,) = client.get_security_bars(9, 1, "600036", 0, 1)
        assert list(bar) == BAR_KEYS
        assert bar == {
            "datetime": "2024-03-15 15:00", "open": 12.34, "high": 12.4, "low": 12.24,
            "close": 12.3, "vol": 1000.0, "amount": 10000000.0,
        }
        assert all(type(bar[k]) is float for k in BAR_KEYS[1:])
        assert type(bar["datetime"]) is str

    def test_minute_layout_chaining_and_stored_zero(self, client, standin):
        bar1 = bytes.fromhex("3B A1 DC 05") + price_bytes(12340) + bytes.fromhex("68 00 00") + bytes(8)
        bar2 = bytes.fromhex("3B A1 77 02") + price_bytes(-40) + bytes(3) + bytes(8)
        standin.script(Reply(body=b"\x03\x00" + bar1 + bar2))  # N = 3, two bars present
        bars = client.get_security_bars(7, 1, "600036", 0, 3)
        assert [b["datetime"] for b in bars] == ["2024-03-15 25:00", "2024-03-15 10:31"]
        assert [b["open"] for b in bars] == [12.34, 12.26]  # the second from the first's close
        assert bars[0]["vol"] == 5.877471754111438e-39

    @pytest.mark.parametrize("body", [b"", b"\x01", b"\x00\x00" + BARS_EXAMPLE[2:]])
    def test_empty_results(self, client, standin, body):
        standin.script(Reply(body=body))
        assert client.get_security_bars(9, 1, "600036", 0, 1) == []


class TestSecurityQuotes:
    def test_request_two_pairs(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_security_quotes([(0, "000001"), (1, "600036")]) == []
        assert standin.frames() == [bytes.fromhex(
            "0C 01 20 63 00 02 1A 00 1A 00 3E 05 05 00 00 00 00 00 00 00 02 00"
            "00 30 30 30 30 30 31 01 36 30 30 30 33 36"
        )]

    def test_any_sequence_of_tuples(self, client, standin):
        class Pair(tuple):
            pass

        standin.script(Reply(body=b""), Reply(body=b""))
        client.get_security_quotes(((True, "60003612"),))
        client.get_security_quotes([Pair((Index(255), ""))])
        first, second = standin.frames()
        assert first[22:] == b"\x01600036"
        assert second[22:] == b"\xff" + bytes(6)

    def test_empty_list_sends_nothing(self, client, standin):
        assert client.get_security_quotes([]) == []
        assert client.get_security_quotes(()) == []
        assert standin.frames() == []

    def test_largest_list_is_sent(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_security_quotes([(1, "600036")] * 9360) == []
        (frame,) = standin.frames()
        assert len(frame) == 22 + 7 * 9360
        assert frame[6:10] == (65532).to_bytes(2, "little") * 2
        assert frame[20:22] == (9360).to_bytes(2, "little")

    def test_too_long_list_is_refused_before_sending(self, client, standin):
        with pytest.raises(ValueError) as exc:
            client.get_security_quotes([(1, "600036")] * 9361)
        assert str(exc.value) == (
            "stock_list has 9361 pairs, but one request can carry at most 9360"
        )
        assert standin.frames() == []
        # Nothing was sent, so the connection is still in step.
        standin.script(Reply(body=QUOTES_EXAMPLE))
        assert len(client.get_security_quotes([(1, "600036")])) == 1

    def test_too_long_list_on_closed_client_is_not_connected(self):
        with pytest.raises(ConnectionError, match="^Not connected$"):
            TdxClient().get_security_quotes([(1, "600036")] * 70000)

    @pytest.mark.parametrize(
        "stock_list, error, message",
        [
            ("600036", TypeError, "argument 'stock_list': Can't extract `str` to `Vec`"),
            (5, TypeError, "argument 'stock_list': 'int' object cannot be cast as 'Sequence'"),
            ({(1, "600036")}, TypeError,
             "argument 'stock_list': 'set' object cannot be cast as 'Sequence'"),
            ([(0, "000001", 1)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
            ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
            ([[0, "000001"]], TypeError,
             "argument 'stock_list': 'list' object cannot be cast as 'tuple'"),
            ([(1, "600036"), (0, 1)], TypeError,
             "argument 'stock_list': 'int' object cannot be cast as 'str'"),
            ([(256, "600036")], OverflowError, "out of range integral type conversion attempted"),
            ([(-1, "600036")], OverflowError, "out of range integral type conversion attempted"),
            ([("1", "600036")], TypeError,
             "argument 'stock_list': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_conversion_errors(self, client, standin, stock_list, error, message):
        for c in (TdxClient(), client):
            with pytest.raises(error) as exc:
                c.get_security_quotes(stock_list)
            assert str(exc.value) == message
        assert standin.frames() == []

    def test_failed_conversion_releases_items(self):
        good = (1, "600036")
        before = sys.getrefcount(good)
        for _ in range(100):
            with pytest.raises(ValueError):
                TdxClient().get_security_quotes([good, good, (1,)])
        assert sys.getrefcount(good) == before

    def test_reentrant_call_is_already_borrowed(self, client, standin):
        seen = []

        def reenter():
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                client.get_security_quotes([])
            seen.append(True)

        standin.script(Reply(body=b""))
        assert client.get_security_quotes([(Index(1, reenter), "600036")]) == []
        assert seen == [True]
        assert client.get_security_quotes([]) == []

    @pytest.mark.parametrize("compress", [False, True])
    def test_worked_example(self, client, standin, compress):
        standin.script(Reply(body=QUOTES_EXAMPLE, compress=compress))
        (q,) = client.get_security_quotes([(1, "600036")])
        assert list(q) == QUOTE_KEYS
        expected = {
            "market": 1, "code": "600036", "price": 12.34, "last_close": 12.0, "open": 12.34,
            "high": 12.4, "low": 12.3, "servertime": 14, "vol": 1000, "cur_vol": 10,
            "amount": 1000.0, "s_vol": 400, "b_vol": 600,
            "bid1": 12.33, "ask1": 12.35, "bid_vol1": 5, "ask_vol1": 7,
        }
        for i in range(2, 6):
            expected.update({f"bid{i}": 12.34, f"ask{i}": 12.34, f"bid_vol{i}": 0, f"ask_vol{i}": 0})
        assert q == expected
        for key in QUOTE_KEYS:
            wanted = str if key == "code" else float if key in (
                "price", "last_close", "open", "high", "low", "amount"
            ) or key.startswith(("bid", "ask")) and "_vol" not in key else int
            assert type(q[key]) is wanted, key

    @pytest.mark.parametrize(
        "code, text",
        [
            (b"60003\0", "60003"),
            (b"\0" * 6, ""),
            (b"\xe4\xb8\xad\xe5\x9b\xbd", "\u4e2d\u56fd"),
            (b"60003\xff", ""),
            (b"6000\xe4\xb8", ""),
        ],
    )
    def test_code_text(self, client, standin, code, text):
        standin.script(Reply(body=quotes_body(quote_record(code=code))))
        (q,) = client.get_security_quotes([(1, "600036")])
        assert q["code"] == text

    def test_record_needs_a_byte_after_its_levels(self, client, standin):
        record = quote_record()
        head = len(record) - 10
        standin.script(
            Reply(body=quotes_body(record[:head])),
            Reply(body=quotes_body(record[: head + 1])),
            Reply(body=quotes_body(record, record[:head], count=5)),
        )
        assert client.get_security_quotes([(1, "600036")]) == []
        assert len(client.get_security_quotes([(1, "600036")])) == 1
        assert len(client.get_security_quotes([(1, "600036")])) == 1

    @pytest.mark.parametrize("body", [b"", b"\0\0\1", b"\0\0\0\0" + QUOTES_EXAMPLE[4:]])
    def test_empty_results(self, client, standin, body):
        standin.script(Reply(body=body))
        assert client.get_security_quotes([(1, "600036")]) == []


class TestTransactionData:
    def test_request(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_transaction_data(1, "600036", 0, 2000) == []
        assert standin.frames() == [bytes.fromhex(
            "0C 17 08 01 01 01 0E 00 0E 00 C5 0F 01 00 36 30 30 30 33 36 00 00 D0 07"
        )]

    @pytest.mark.parametrize("compress", [False, True])
    def test_worked_example(self, client, standin, compress):
        standin.script(Reply(body=TRADES_EXAMPLE, compress=compress))
        trades = client.get_transaction_data(market=1, code="600036", start=0, count=2)
        assert [list(t) for t in trades] == [TRADE_KEYS, TRADE_KEYS]
        assert trades == [
            {"time": "09:30", "price": 12.34, "vol": 100, "num": 5, "buyorsell": 1},
            {"time": "09:31", "price": 12.35, "vol": 20, "num": 2, "buyorsell": 0},
        ]
        assert [type(trades[0][k]) for k in TRADE_KEYS] == [str, float, int, int, int]

    def test_times_deltas_and_a_cut_last_trade(self, client, standin):
        def trade(t, delta):
            return t.to_bytes(2, "little") + price_bytes(delta) + b"\x01\x02\x03\x00"

        body = (
            (5).to_bytes(2, "little") + trade(0, 1234) + trade(1500, 1) + trade(6000, -2)
            + (65535).to_bytes(2, "little")
        )
        standin.script(Reply(body=body))
        trades = client.get_transaction_data(1, "600036", 0, 5)
        assert [t["time"] for t in trades] == ["00:00", "25:00", "100:00", "1092:15"]
        assert [t["price"] for t in trades] == [12.34, 12.35, 12.33, 12.33]
        assert trades[3] == {"time": "1092:15", "price": 12.33, "vol": 0, "num": 0, "buyorsell": 0}

    @pytest.mark.parametrize("body", [b"", b"\x01", b"\0\0" + TRADES_EXAMPLE[2:]])
    def test_empty_results(self, client, standin, body):
        standin.script(Reply(body=body))
        assert client.get_transaction_data(1, "600036", 0, 1) == []


def _random_bars(rng):
    n = rng.randrange(1, 6)
    body = bytearray(n.to_bytes(2, "little"))
    for _ in range(n):
        body += rng.randrange(1 << 32).to_bytes(4, "little")
        for _ in range(4):
            body += price_bytes(rng.randrange(-(1 << 40), 1 << 40) >> rng.randrange(41))
        body += rng.randrange(1 << 32).to_bytes(4, "little") * 2
    return bytes(body)


def _random_quotes(rng):
    n = rng.randrange(1, 4)
    records = []
    for _ in range(n):
        levels = b"".join(price_bytes(rng.randrange(-5000, 5000)) for _ in range(20))
        tail = rng.randbytes(2) + b"".join(price_bytes(rng.randrange(-99, 99)) for _ in range(4))
        records.append(
            quote_record(price=rng.randrange(1 << 30), code=rng.choice([b"600036", rng.randbytes(6)]),
                         market=rng.randrange(256), levels=levels, tail=tail + rng.randbytes(4))
        )
    return quotes_body(*records, count=n + rng.choice([0, 0, 1, -1]))


def _random_trades(rng):
    n = rng.randrange(1, 30)
    body = bytearray(n.to_bytes(2, "little"))
    for _ in range(n):
        body += rng.randrange(1500).to_bytes(2, "little")
        for _ in range(5):
            body += price_bytes(rng.randrange(-(1 << 20), 1 << 20))
    return bytes(body)


class TestAgainstPlainPython:
    """The module and the plain decoders agree on whole, cut and random bodies."""

    @pytest.mark.parametrize(
        "make, call, reference",
        [
            (_random_bars, lambda c: c.get_security_bars(9, 1, "600036", 0, 9),
             lambda b: decode_bars(9, b)),
            (_random_bars, lambda c: c.get_security_bars(8, 1, "600036", 0, 9),
             lambda b: decode_bars(8, b)),
            (_random_quotes, lambda c: c.get_security_quotes([(1, "600036")]), decode_quotes),
            (_random_trades, lambda c: c.get_transaction_data(1, "600036", 0, 9), decode_trades),
        ],
    )
    def test_bodies(self, client, standin, make, call, reference):
        rng = random.Random(1234)
        bodies = []
        for _ in range(10):
            body = make(rng)
            bodies += [body, body[: rng.randrange(len(body) + 1)], rng.randbytes(len(body))]
        standin.script(*(Reply(body=b, compress=len(b) % 2 == 1) for b in bodies))
        for body in bodies:
            assert call(client) == reference(body), body.hex()
