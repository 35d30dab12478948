"""get_report_file: request bytes and the (chunk size, bytes) result."""

import random
import struct
import zlib

import pytest

from standin import Reply


def request(filename: bytes, offset: int) -> bytes:
    head = bytes.fromhex("0C 12 34 00 00 00 6E 00 6E 00 B9 06")
    name = filename[:100].ljust(100, b"\0")
    return head + offset.to_bytes(4, "little") + (30000).to_bytes(4, "little") + name


class TestRequest:
    def test_worked_example(self, client, standin):
        standin.script(Reply(body=b""))
        client.get_report_file("a.txt", 0)
        (frame,) = standin.frames()
        assert frame == bytes.fromhex(
            "0C 12 34 00 00 00 6E 00 6E 00 B9 06 00 00 00 00 30 75 00 00"
        ) + b"a.txt" + bytes(95)

    @pytest.mark.parametrize(
        "filename, offset, sent",
        [
            ("x" * 150, 4294967295, b"x" * 100),
            ("", 1, b""),
            ("\u62a5\u544a.pdf", 30000, "\u62a5\u544a.pdf".encode()),
        ],
    )
    def test_fields(self, client, standin, filename, offset, sent):
        standin.script(Reply(body=b""))
        client.get_report_file(filename, offset)
        assert standin.frames() == [request(sent, offset)]


class TestResult:
    @pytest.mark.parametrize(
        "body, expected",
        [
            (b"", (0, b"")),
            (b"\x01\x02\x03", (0, b"")),
            (b"\x01\x02\x03\x04", (0x04030201, b"")),
            # The announced size is returned as it is, whatever follows it.
            ((10).to_bytes(4, "little") + b"abcdef", (10, b"abcdef")),
            ((10).to_bytes(4, "little") + b"x" * 20, (10, b"x" * 20)),
            (b"\xff\xff\xff\xff" + b"\0", (4294967295, b"\0")),
        ],
    )
    def test_body(self, client, standin, body, expected):
        standin.script(Reply(body=body, compress=len(body) > 8))
        result = client.get_report_file("f", 0)
        assert type(result) is tuple and type(result[1]) is bytes
        assert result == expected


def download(client, filename: str) -> bytes:
    """Pages through a whole file, as a caller would: ask at the end of what has arrived until
    the server sends an empty piece."""
    out = bytearray()
    while True:
        _, data = client.get_report_file(filename, len(out))
        if not data:
            return bytes(out)
        out += data


class TestPaging:
    def test_whole_file_comes_back(self, client, standin):
        rng = random.Random(1721)
        # Half noise, half text, so that some pieces compress and some do not.
        content = rng.randbytes(150_000) + b"".join(
            b"line %d of the annual report\r\n" % i for i in range(6000)
        )
        assert len(content) > 300_000
        # The server chooses the piece sizes; 65531 bytes fill a body to its 16-bit limit.
        sizes = [30000, 65531, 1, 12345, 30000]
        offsets, replies, at = [], [], 0
        while at < len(content):
            piece = content[at : at + sizes[len(replies) % len(sizes)]]
            offsets.append(at)
            body = struct.pack("<I", len(piece)) + piece
            compress = len(zlib.compress(body)) <= 65535 and len(replies) % 2 == 0
            replies.append(Reply(body=body, compress=compress))
            at += len(piece)
        offsets.append(at)
        replies.append(Reply(body=struct.pack("<I", 0)))
        standin.script(*replies)

        assert download(client, "tdxfin/gpcw.txt") == content
        frames = standin.frames()
        assert [struct.unpack_from("<I", f, 12)[0] for f in frames] == offsets
        assert all(f == request(b"tdxfin/gpcw.txt", o) for f, o in zip(frames, offsets, strict=True))
        assert standin.pending() == 0
