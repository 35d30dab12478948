"""get_security_bars, get_security_quotes and get_transaction_data through the stand-in server.

The decoders' cut-point and random-body properties are tested in C++ (tests/cpp/market_test.cpp);
these tests cover what the binding adds: arguments, request bytes, keys, order, types, values.
"""

import pytest

from helpers import Index
from quillan._core import TdxClient
from standin import Reply

BAR_KEYS = ["datetime", "open", "high", "low", "close", "vol", "amount"]
QUOTE_KEYS = [
    "market",
    "code",
    "price",
    "last_close",
    "open",
    "high",
    "low",
    "servertime",
    "vol",
    "cur_vol",
    "amount",
    "s_vol",
    "b_vol",
] + [f"{k}{i}" for i in range(1, 6) for k in ("bid", "ask", "bid_vol", "ask_vol")]
TRADE_KEYS = ["time", "price", "vol", "num", "buyorsell"]
OVERFLOW = "out of range integral type conversion attempted"

BARS_EXAMPLE = bytes.fromhex("01 00 BB D7 34 01 B4 C0 01 68 3C E4 01 00 00 7A 44 80 96 18 4B")
QUOTE_HEAD = bytes.fromhex(
    "01 36 30 30 30 33 36 00 00 92 13 62 00 06 44 0E 00 A8 0F 0A 00 00 7A 44 90 06 98 09 00 00"
)
QUOTES_EXAMPLE = b"\0\0\1\0" + QUOTE_HEAD + bytes.fromhex("41 01 05 07") + bytes(16 + 10)
TRADES_EXAMPLE = bytes.fromhex("02 00 3A 02 92 13 A4 01 05 01 00 3B 02 01 14 02 00 00")


def varint(v):
    m = abs(v)
    out = bytearray([(m & 0x3F) | (0x40 if v < 0 else 0)])
    m >>= 6
    while m:
        out[-1] |= 0x80
        out.append(m & 0x7F)
        m >>= 7
    return bytes(out)


class TestArguments:
    def test_text_signatures_and_docstrings(self):
        assert TdxClient.get_security_bars.__text_signature__ == (
            "($self, category, market, code, start, count)"
        )
        assert TdxClient.get_security_bars.__doc__ == (
            'category: 0..11, market: 0/1, code: "600036", start: offset, count: num'
        )
        assert TdxClient.get_security_quotes.__text_signature__ == "($self, stock_list)"
        assert TdxClient.get_transaction_data.__text_signature__ == ("($self, market, code, start, count)")

    @pytest.mark.parametrize(
        "call",
        [
            lambda c: c.get_security_bars(9, 1, "600036", 0, 10),
            lambda c: c.get_security_quotes([]),  # the connection test comes first
            lambda c: c.get_security_quotes([(1, "600036")] * 70000),
            lambda c: c.get_transaction_data(1, "600036", 0, 10),
        ],
    )
    def test_not_connected(self, call):
        with pytest.raises(ConnectionError, match="^Not connected$"):
            call(TdxClient())

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda c: c.get_security_bars(9, 256, "6", 0, 1), OverflowError, OVERFLOW),
            (
                lambda c: c.get_security_bars(9, 1, 600036, 0, 1),
                TypeError,
                "argument 'code': 'int' object cannot be cast as 'str'",
            ),
            (
                lambda c: c.get_security_bars(9, 1, "6", 0),
                TypeError,
                "TdxClient.get_security_bars() missing 1 required positional argument: 'count'",
            ),
            (lambda c: c.get_transaction_data(1, "6", 0, 70000), OverflowError, OVERFLOW),
            (
                lambda c: c.get_transaction_data(1.0, "6", 0, 1),
                TypeError,
                "argument 'market': 'float' object cannot be interpreted as an integer",
            ),
            # The pair list of stock_list.
            (
                lambda c: c.get_security_quotes("600036"),
                TypeError,
                "argument 'stock_list': Can't extract `str` to `Vec`",
            ),
            (
                lambda c: c.get_security_quotes(5),
                TypeError,
                "argument 'stock_list': 'int' object cannot be cast as 'Sequence'",
            ),
            (
                lambda c: c.get_security_quotes({(1, "6")}),
                TypeError,
                "argument 'stock_list': 'set' object cannot be cast as 'Sequence'",
            ),
            (
                lambda c: c.get_security_quotes([(0, "000001", 1)]),
                ValueError,
                "expected tuple of length 2, but got tuple of length 3",
            ),
            (
                lambda c: c.get_security_quotes([[0, "000001"]]),
                TypeError,
                "argument 'stock_list': 'list' object cannot be cast as 'tuple'",
            ),
            (
                lambda c: c.get_security_quotes([(1, "6"), (0, 1)]),
                TypeError,
                "argument 'stock_list': 'int' object cannot be cast as 'str'",
            ),
            (lambda c: c.get_security_quotes([(256, "6")]), OverflowError, OVERFLOW),
            (
                lambda c: c.get_security_quotes([("1", "6")]),
                TypeError,
                "argument 'stock_list': 'str' object cannot be interpreted as an integer",
            ),
        ],
    )
    def test_conversion_errors_come_first(self, client, standin, call, error, message):
        for c in (TdxClient(), client):
            with pytest.raises(error) as exc:
                call(c)
            assert str(exc.value) == message
        assert standin.frames() == []

    def test_reentrant_call_is_already_borrowed(self, client, standin):
        def reenter():
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                client.get_security_quotes([])

        standin.script(Reply(body=b""))
        assert client.get_security_quotes([(Index(1, reenter), "600036")]) == []
        assert client.get_security_quotes([]) == []


class TestSecurityBars:
    def test_request(self, client, standin):
        standin.script(Reply(body=b""), Reply(body=b""))
        assert client.get_security_bars(9, 1, "600036", 0, 100) == []
        client.get_security_bars(category=4, market=0, code="6000361", start=7, count=0)
        assert standin.frames() == [
            bytes.fromhex("0C 01 08 64 01 01 1C 00 1C 00 2D 05 01 00")
            + b"600036"
            + bytes.fromhex("09 00 01 00 00 00 64 00")
            + bytes(10),
            bytes.fromhex("0C 01 08 64 01 01 1C 00 1C 00 2D 05 00 00")
            + b"600036"
            + bytes.fromhex("04 00 01 00 07 00 00 00")
            + bytes(10),
        ]

    @pytest.mark.parametrize("compress", [False, True])
    def test_worked_example(self, client, standin, compress):
        standin.script(Reply(body=BARS_EXAMPLE, compress=compress))
        (bar,) = client.get_security_bars(9, 1, "600036", 0, 1)
        assert list(bar) == BAR_KEYS
        assert bar == {
            "datetime": "2024-03-15 15:00",
            "open": 12.34,
            "high": 12.4,
            "low": 12.24,
            "close": 12.3,
            "vol": 1000.0,
            "amount": 10000000.0,
        }
        assert [type(v) for v in bar.values()] == [str] + [float] * 6

    def test_minute_layout_chaining_and_a_cut_bar(self, client, standin):
        bar1 = bytes.fromhex("3B A1 DC 05") + varint(12340) + bytes.fromhex("68 00 00") + bytes(8)
        bar2 = bytes.fromhex("3B A1 77 02") + varint(-40) + bytes(3) + bytes(8)
        standin.script(Reply(body=b"\x03\x00" + bar1 + bar2 + bar2[:-1]))
        bars = client.get_security_bars(7, 1, "600036", 0, 3)
        assert [b["datetime"] for b in bars] == ["2024-03-15 25:00", "2024-03-15 10:31"]
        assert [b["open"] for b in bars] == [12.34, 12.26]  # the second from the first's close
        assert bars[0]["vol"] == 5.877471754111438e-39  # a stored 0


class TestSecurityQuotes:
    def test_request(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_security_quotes([(0, "000001"), (True, "60003612")]) == []
        assert standin.frames() == [
            bytes.fromhex(
                "0C 01 20 63 00 02 1A 00 1A 00 3E 05 05 00 00 00 00 00 00 00 02 00"
                "00 30 30 30 30 30 31 01 36 30 30 30 33 36"
            )
        ]

    def test_empty_list_sends_nothing(self, client, standin):
        assert client.get_security_quotes(()) == []
        assert standin.frames() == []

    def test_largest_list_is_sent(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_security_quotes([(1, "600036")] * 9360) == []
        (frame,) = standin.frames()
        assert len(frame) == 22 + 7 * 9360
        assert frame[6:10] == (65532).to_bytes(2, "little") * 2

    def test_too_long_list_is_refused_before_sending(self, client, standin):
        with pytest.raises(ValueError) as exc:
            client.get_security_quotes([(1, "600036")] * 9361)
        assert str(exc.value) == "stock_list has 9361 pairs, but one request can carry at most 9360"
        assert standin.frames() == []
        standin.script(Reply(body=QUOTES_EXAMPLE))  # the connection is still in step
        assert len(client.get_security_quotes([(1, "600036")])) == 1

    @pytest.mark.parametrize("compress", [False, True])
    def test_worked_example(self, client, standin, compress):
        standin.script(Reply(body=QUOTES_EXAMPLE, compress=compress))
        (q,) = client.get_security_quotes([(1, "600036")])
        assert list(q) == QUOTE_KEYS
        expected = {
            "market": 1,
            "code": "600036",
            "price": 12.34,
            "last_close": 12.0,
            "open": 12.34,
            "high": 12.4,
            "low": 12.3,
            "servertime": 14,
            "vol": 1000,
            "cur_vol": 10,
            "amount": 1000.0,
            "s_vol": 400,
            "b_vol": 600,
            "bid1": 12.33,
            "ask1": 12.35,
            "bid_vol1": 5,
            "ask_vol1": 7,
        }
        for i in range(2, 6):
            expected.update({f"bid{i}": 12.34, f"ask{i}": 12.34, f"bid_vol{i}": 0, f"ask_vol{i}": 0})
        assert q == expected
        floats = {"price", "last_close", "open", "high", "low", "amount"}
        for key, value in q.items():
            is_price = key in floats or (key[:3] in ("bid", "ask") and "_vol" not in key)
            assert type(value) is (str if key == "code" else float if is_price else int), key

    def test_each_level_in_its_keys(self, client, standin):
        levels = b"".join(varint(v) for i in range(1, 6) for v in (-i, i, 100 * i, 1000 * i))
        record = QUOTE_HEAD + levels + bytes(10)
        standin.script(Reply(body=b"\0\0\2\0" + record + record.replace(b"600036", b"\xff" * 6)))
        first, second = client.get_security_quotes([(1, "600036")])
        for i in range(1, 6):
            assert first[f"bid{i}"] == (1234 - i) / 100 and first[f"ask{i}"] == (1234 + i) / 100
            assert (first[f"bid_vol{i}"], first[f"ask_vol{i}"]) == (100 * i, 1000 * i)
        assert second["code"] == ""  # not UTF-8

    def test_record_needs_a_byte_after_its_levels(self, client, standin):
        cut = QUOTES_EXAMPLE[:-10]
        standin.script(Reply(body=cut), Reply(body=cut + b"\0"))
        assert client.get_security_quotes([(1, "600036")]) == []
        assert len(client.get_security_quotes([(1, "600036")])) == 1


class TestTransactionData:
    def test_request(self, client, standin):
        standin.script(Reply(body=b""))
        assert client.get_transaction_data(1, "600036", 0, 2000) == []
        assert standin.frames() == [
            bytes.fromhex("0C 17 08 01 01 01 0E 00 0E 00 C5 0F 01 00 36 30 30 30 33 36 00 00 D0 07")
        ]

    @pytest.mark.parametrize("compress", [False, True])
    def test_worked_example(self, client, standin, compress):
        standin.script(Reply(body=TRADES_EXAMPLE, compress=compress))
        trades = client.get_transaction_data(market=1, code="600036", start=0, count=2)
        assert [list(t) for t in trades] == [TRADE_KEYS, TRADE_KEYS]
        assert trades == [
            {"time": "09:30", "price": 12.34, "vol": 100, "num": 5, "buyorsell": 1},
            {"time": "09:31", "price": 12.35, "vol": 20, "num": 2, "buyorsell": 0},
        ]
        assert [type(v) for v in trades[0].values()] == [str, float, int, int, int]

    def test_times_deltas_and_a_cut_last_trade(self, client, standin):
        def trade(t, delta):
            return t.to_bytes(2, "little") + varint(delta) + b"\x01\x02\x03\x00"

        body = b"\x05\x00" + trade(0, 1234) + trade(1500, 1) + trade(6000, -2) + b"\xff\xff"
        standin.script(Reply(body=body))
        trades = client.get_transaction_data(1, "600036", 0, 5)
        assert [t["time"] for t in trades] == ["00:00", "25:00", "100:00", "1092:15"]
        assert [t["price"] for t in trades] == [12.34, 12.35, 12.33, 12.33]
        assert trades[3] == {"time": "1092:15", "price": 12.33, "vol": 0, "num": 0, "buyorsell": 0}
