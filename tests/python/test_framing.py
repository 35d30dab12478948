"""Response framing and transport failures, seen through one request command.

get_report_file returns its body minus four leading bytes untouched, which makes it a clear
window on what the framing layer read.
"""

import time
import zlib

import pytest

from standin import Reply


def fetch(client) -> bytes:
    return client.get_report_file("f", 0)[1]


def body(data: bytes) -> bytes:
    return b"\x00\x00\x00\x00" + data


class TestResponses:
    @pytest.mark.parametrize(
        "reply, expected",
        [
            # ZS = US: the body is used as it stands, even if it looks like zlib data.
            (Reply(body=body(zlib.compress(b"x"))), zlib.compress(b"x")),
            # ZS != US: inflated to exactly US bytes.
            (Reply(body=body(bytes(range(100))), compress=True), bytes(range(100))),
            # The first 12 header bytes are not examined.
            (Reply(body=body(b"abc"), head=b"\xff" * 12), b"abc"),
            # Header and body split into pieces, with pauses between them.
            (Reply(body=body(b"pieces"), compress=True, pieces=(3, 10, 1, 4)), b"pieces"),
            # Decoding stops at US bytes: trailing stream data and checksum are not read.
            (Reply(body=body(b"hello"), payload=zlib.compress(body(b"hello world")), us=9), b"hello"),
        ],
    )
    def test_body(self, client, standin, reply, expected):
        standin.script(reply)
        assert fetch(client) == expected

    def test_empty_body(self, client, standin):
        # ZS = US = 0 gives an empty body: the call sees (0, b"").
        standin.script(Reply(body=b""), Reply(payload=bytes(20), us=0))
        assert client.get_report_file("f", 0) == (0, b"")
        # ZS = 20, US = 0: the 20 bytes are read and dropped.
        assert client.get_report_file("f", 0) == (0, b"")
        standin.script(Reply(body=body(b"next")))
        assert fetch(client) == b"next"

    def test_largest_body(self, client, standin):
        data = bytes(i * 7 % 251 for i in range(65531))
        standin.script(Reply(body=body(data), compress=True))
        assert fetch(client) == data

    @pytest.mark.parametrize(
        "reply, message",
        [
            # A stream that inflates to fewer than US bytes.
            (Reply(payload=zlib.compress(bytes(60)), us=100), "failed to fill whole buffer"),
            # Input that is not zlib data at all.
            (Reply(payload=bytes(range(1, 21)), us=100), "corrupt deflate stream"),
            # A stream cut short: input runs out.
            (Reply(payload=zlib.compress(bytes(range(200)))[:20], us=200), "failed to fill whole buffer"),
            # Server closes after 10 of 16 header bytes.
            (Reply(body=body(b"xyz"), cut=10, then="close"), "failed to fill whole buffer"),
            # Server closes inside the body.
            (Reply(body=body(b"xyz" * 10), cut=20, then="close"), "failed to fill whole buffer"),
        ],
    )
    def test_framing_failures(self, client, standin, reply, message):
        standin.script(reply)
        with pytest.raises(OSError) as exc:
            fetch(client)
        assert type(exc.value) is OSError
        assert str(exc.value) == message
        assert exc.value.errno is None

    def test_bad_checksum_at_trailer(self, client, standin):
        stream = bytearray(zlib.compress(b"abcd"))
        stream[-1] ^= 0xFF
        # US larger than the data, so the decoder reaches and checks the trailer.
        standin.script(Reply(payload=bytes(stream), us=5))
        with pytest.raises(OSError) as exc:
            fetch(client)
        assert str(exc.value) == "corrupt deflate stream"

    def test_failure_leaves_connection_in_place(self, client, standin):
        standin.script(Reply(payload=b"not zlib", us=50), Reply(body=body(b"again")))
        with pytest.raises(OSError):
            fetch(client)
        assert fetch(client) == b"again"


class TestTransport:
    def test_reset_by_server(self, client, standin):
        standin.script(Reply(silent=True, then="reset"))
        with pytest.raises(ConnectionResetError) as exc:
            fetch(client)
        assert str(exc.value) == "Connection reset by peer (os error 104)"
        assert exc.value.errno is None

    def test_closed_server_fails_every_later_request(self, client, standin):
        standin.script(Reply(silent=True, then="close"))
        with pytest.raises(OSError, match="^failed to fill whole buffer$"):
            fetch(client)
        time.sleep(0.05)
        # Still connected: later requests fail on the transport, not with "Not connected".
        for _ in range(3):
            with pytest.raises(OSError) as exc:
                fetch(client)
            assert str(exc.value) != "Not connected"
            assert (
                isinstance(exc.value, (BrokenPipeError, ConnectionResetError))
                or str(exc.value) == "failed to fill whole buffer"
            )

    def test_broken_pipe_raises_no_signal(self, client, standin):
        standin.script(Reply(silent=True, then="reset"))
        with pytest.raises(ConnectionResetError):
            fetch(client)
        # The peer is gone: the send fails with EPIPE instead of a SIGPIPE.
        with pytest.raises(BrokenPipeError) as exc:
            fetch(client)
        assert str(exc.value) == "Broken pipe (os error 32)"

    def test_late_reply_within_timeout(self, client, standin):
        standin.script(Reply(body=body(b"late"), delay=1.0))
        assert fetch(client) == b"late"

    @pytest.mark.slow
    def test_silent_server_times_out_after_10_seconds(self, client, standin):
        standin.script(Reply(silent=True), Reply(body=body(b"old"), delay=0))
        start = time.monotonic()
        with pytest.raises(BlockingIOError) as exc:
            fetch(client)
        assert 9.5 < time.monotonic() - start < 12
        assert str(exc.value) == "Resource temporarily unavailable (os error 11)"
        assert exc.value.errno is None
        # The client stays connected; the next exchange goes on over the same socket.
        assert fetch(client) == b"old"
