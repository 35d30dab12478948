"""Value encoders of the quote-server protocol, and the framing of responses.

Each encoder writes the exact bytes that the client reads back as the value given; the few
inverse functions (`decode_volume`, `f32`) exist so that the simulator can state, bit for bit,
which value a client will see.
"""

from __future__ import annotations

import math
import struct
import zlib

__all__ = [
    "MAX_BODY",
    "VolumeError",
    "as_volume",
    "decode_volume",
    "f32",
    "frame_response",
    "pack_code",
    "pack_date_datetime",
    "pack_f32",
    "pack_minute_datetime",
    "pack_price",
    "pack_volume",
    "uses_minute_layout",
]

# The header's two size fields are 16 bits wide.
MAX_BODY = 0xFFFF

_F32 = struct.Struct("<f")
_U32 = struct.Struct("<I")
_HEAD = struct.Struct("<4s6sHHH")  # marker, request prefix echo, command, ZS, US

# Bar categories 0, 1, 2, 3, 7 and 8 carry their datetime in the minute layout.
_MINUTE_LAYOUT_MASK = 0x18F


class VolumeError(ValueError):
    """A value that the four-byte volume form cannot carry exactly."""


def pack_price(value: int) -> bytes:
    """The signed variable-length integer for `value`.

    The first byte holds the sign (bit 6) and the lowest 6 bits of the magnitude, every later
    byte 7 more bits; bit 7 says that another byte follows.
    """
    magnitude = -value if value < 0 else value
    if magnitude >= 1 << 64:
        raise OverflowError(f"price {value} does not fit in 64 bits")
    first = magnitude & 0x3F
    if value < 0:
        first |= 0x40
    magnitude >>= 6
    out = bytearray()
    out.append(first | (0x80 if magnitude else 0))
    while magnitude:
        byte = magnitude & 0x7F
        magnitude >>= 7
        out.append(byte | (0x80 if magnitude else 0))
    return bytes(out)


def decode_volume(raw: int) -> float:
    """The value that a client reads from the four volume bytes whose u32 is `raw`.

    A 9-bit exponent above a 23-bit fraction: 2^(E - 127) * (1 + M / 2^23). Unlike an IEEE
    single, it has no zero, no sign, no infinity and no NaN.
    """
    exponent = (raw >> 23) & 0x1FF
    fraction = raw & 0x7FFFFF
    return math.ldexp(1.0 + fraction / 8388608.0, exponent - 127)


def pack_volume(value: float) -> bytes:
    """The four volume bytes that a client decodes as exactly `value`.

    Raises VolumeError when no four bytes decode to `value` (zero, a negative number, more
    than 24 significant bits, or out of range); `as_volume` rounds to a value that fits.
    """
    raw = _volume_bits(value)
    if decode_volume(raw) != value:
        raise VolumeError(f"{value!r} has no exact four-byte volume form")
    return _U32.pack(raw)


def as_volume(value: float) -> float:
    """`value` rounded to the nearest number that the volume form carries exactly."""
    return decode_volume(_volume_bits(value))


def _volume_bits(value: float) -> int:
    if not (value > 0.0) or math.isinf(value):
        raise VolumeError(f"{value!r} has no four-byte volume form")
    mantissa, exponent = math.frexp(value)  # value = mantissa * 2^exponent, 0.5 <= mantissa < 1
    biased = exponent - 1 + 127
    fraction = round((mantissa * 2.0 - 1.0) * 8388608.0)
    if fraction == 8388608:
        biased, fraction = biased + 1, 0
    if not 0 <= biased <= 0x1FF:
        raise VolumeError(f"{value!r} is out of the four-byte volume range")
    return (biased << 23) | fraction


def f32(value: float) -> float:
    """`value` rounded to single precision and widened back, as a client reads a float32."""
    return float(_F32.unpack(_F32.pack(value))[0])


def pack_f32(value: float) -> bytes:
    """The four bytes of an IEEE-754 single, little-endian."""
    return _F32.pack(value)


def uses_minute_layout(category: int) -> bool:
    """True when bars of `category` carry their datetime in the minute layout."""
    return category <= 8 and bool(_MINUTE_LAYOUT_MASK >> category & 1)


def pack_minute_datetime(year: int, month: int, day: int, hour: int, minute: int) -> bytes:
    """Minute layout: u16 (year - 2004) << 11 | month * 100 + day, then u16 minutes of the day."""
    if not 2004 <= year <= 2035 or not 0 <= month * 100 + day <= 0x7FF:
        raise ValueError(f"{year}-{month}-{day} does not fit the minute layout")
    return struct.pack("<HH", (year - 2004) << 11 | (month * 100 + day), hour * 60 + minute)


def pack_date_datetime(year: int, month: int, day: int) -> bytes:
    """Date layout: the u32 yyyymmdd (clients read the time as 15:00)."""
    return _U32.pack(year * 10000 + month * 100 + day)


def pack_code(code: str) -> bytes:
    """The six-byte security code field: the first six UTF-8 bytes, zero-padded."""
    return code.encode()[:6].ljust(6, b"\0")


def frame_response(body: bytes, command: int = 0, prefix: bytes = b"") -> bytes:
    """The 16-byte header followed by the body, zlib-compressed when that makes it smaller.

    The client ignores the first 12 header bytes; they hold a marker, the request's prefix
    after its first byte (zero-padded to 6) and the command code, which helps when reading a
    capture. ZS is the
    length on the wire and US the length after decompression: they differ exactly when the
    body is compressed.
    """
    if len(body) > MAX_BODY:
        raise ValueError(f"a body of {len(body)} bytes exceeds the 16-bit size field")
    payload = body
    if body:
        packed = zlib.compress(body)
        if len(packed) < len(body):
            payload = packed
    head = _HEAD.pack(b"QSIM", prefix[1:7].ljust(6, b"\0"), command & 0xFFFF, len(payload), len(body))
    return head + payload
