"""The simulator's value encoders and response framing, against hand-made byte vectors."""

import struct
import zlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quillan.sim import codec
from wire import decode_bars, decode_quotes, decode_trades, decode_volume, read_price


class TestPrice:
    @pytest.mark.parametrize(
        "value, encoded",
        [
            (5, "05"),
            (-5, "45"),
            (69, "85 01"),
            (-16577, "C1 83 02"),
            (-8191, "FF 7F"),
            (0, "00"),
            (12340, "B4 C0 01"),
        ],
    )
    def test_vectors(self, value, encoded):
        assert codec.pack_price(value) == bytes.fromhex(encoded)

    @given(st.integers(min_value=-(2**63), max_value=2**63 - 1))
    def test_reads_back(self, value):
        raw = codec.pack_price(value)
        assert read_price(raw + b"\x07", 0) == (value, len(raw))

    def test_too_wide(self):
        with pytest.raises(OverflowError):
            codec.pack_price(2**64)


class TestVolume:
    @pytest.mark.parametrize(
        "value, encoded",
        [(1000.0, "00 00 7A 44"), (10000000.0, "80 96 18 4B"), (10.0, "00 00 20 41"), (1.0, "00 00 80 3F")],
    )
    def test_vectors(self, value, encoded):
        assert codec.pack_volume(value) == bytes.fromhex(encoded)
        assert codec.decode_volume(int.from_bytes(bytes.fromhex(encoded), "little")) == value

    @pytest.mark.parametrize(
        "raw, value", [(0, 5.877471754111438e-39), (0xFFFFFFFF, decode_volume(0xFFFFFFFF))]
    )
    def test_decode_extremes(self, raw, value):
        assert codec.decode_volume(raw) == value

    def test_beyond_float32(self):
        # The 9-bit exponent carries values that no IEEE single holds.
        assert codec.decode_volume(struct.unpack("<I", codec.pack_volume(2.0**200))[0]) == 2.0**200

    @pytest.mark.parametrize(
        "value", [0.0, -1.0, float("inf"), float("nan"), 2.0**-200, 2.0**400, 16777217.0, 0.1]
    )
    def test_refuses_what_it_cannot_carry(self, value):
        with pytest.raises(codec.VolumeError):
            codec.pack_volume(value)

    @given(st.floats(min_value=1e-30, max_value=1e100))
    def test_as_volume_is_exact_and_close(self, value):
        rounded = codec.as_volume(value)
        assert decode_volume(struct.unpack("<I", codec.pack_volume(rounded))[0]) == rounded
        assert abs(rounded - value) <= value * 2.0**-24


class TestDatetime:
    def test_minute_layout(self):
        assert codec.pack_minute_datetime(2024, 3, 15, 10, 30) == bytes.fromhex("3B A1 76 02")

    def test_date_layout(self):
        assert codec.pack_date_datetime(2024, 3, 15) == bytes.fromhex("BB D7 34 01")

    @pytest.mark.parametrize("year", [2003, 2036])
    def test_minute_layout_range(self, year):
        with pytest.raises(ValueError):
            codec.pack_minute_datetime(year, 1, 2, 9, 31)

    def test_layout_by_category(self):
        assert [c for c in range(300) if codec.uses_minute_layout(c)] == [0, 1, 2, 3, 7, 8]


class TestFrame:
    def test_small_body_goes_plain(self):
        wire = codec.frame_response(b"\x01\x02", 0x052D, bytes.fromhex("0C 01 08 64 01 01"))
        assert struct.unpack_from("<HH", wire, 12) == (2, 2) and wire[16:] == b"\x01\x02"

    def test_large_body_is_compressed(self):
        body = bytes(1000)
        wire = codec.frame_response(body)
        zs, us = struct.unpack_from("<HH", wire, 12)
        assert us == 1000 and zs == len(wire) - 16 < 1000
        assert zlib.decompress(wire[16:]) == body

    def test_empty_body(self):
        assert codec.frame_response(b"")[12:] == bytes(4)

    def test_body_too_large(self):
        with pytest.raises(ValueError):
            codec.frame_response(bytes(65536))

    def test_incompressible_body_goes_plain(self):
        body = bytes(range(256))  # zlib would make it longer
        wire = codec.frame_response(body)
        assert struct.unpack_from("<HH", wire, 12) == (256, 256) and wire[16:] == body


class TestOracle:
    """The test-side decoders (wire.py) against hand-made bodies of known values, so that they
    can judge the simulator's bodies."""

    def test_bars(self):
        body = bytes.fromhex("01 00 BB D7 34 01 B4 C0 01 68 3C E4 01 00 00 7A 44 80 96 18 4B")
        assert decode_bars(9, body) == [
            {"datetime": "2024-03-15 15:00", "open": 12.34, "high": 12.4, "low": 12.24, "close": 12.3,
             "vol": 1000.0, "amount": 10000000.0}
        ]  # fmt: skip

    def test_quotes(self):
        body = bytes.fromhex(
            "00 00 01 00 01 36 30 30 30 33 36 00 00 92 13 62 00 06 44 0E 00 A8 0F 0A 00 00 7A 44"
            " 90 06 98 09 00 00 41 01 05 07" + " 00" * 16 + " 00 00 00 00 00 00 00 00 00 00"
        )
        (q,) = decode_quotes(body)
        assert (q["price"], q["last_close"], q["high"], q["low"], q["vol"], q["b_vol"]) == (
            12.34,
            12.0,
            12.4,
            12.3,
            1000,
            600,
        )
        assert (q["bid1"], q["ask1"], q["bid_vol1"], q["ask_vol1"], q["bid5"]) == (12.33, 12.35, 5, 7, 12.34)

    def test_trades(self):
        body = bytes.fromhex("02 00 3A 02 92 13 A4 01 05 01 00 3B 02 01 14 02 00 00")
        assert decode_trades(body) == [
            {"time": "09:30", "price": 12.34, "vol": 100, "num": 5, "buyorsell": 1},
            {"time": "09:31", "price": 12.35, "vol": 20, "num": 2, "buyorsell": 0},
        ]
