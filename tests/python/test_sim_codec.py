"""The simulator's value encoders and response framing, against hand-made byte vectors."""

import struct
import zlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quillan.sim import codec


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
        "raw, value", [(0, 5.877471754111438e-39), (0xFFFFFFFF, 2.0**384 * (2 - 2.0**-23))]
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
        assert codec.decode_volume(struct.unpack("<I", codec.pack_volume(rounded))[0]) == rounded
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
