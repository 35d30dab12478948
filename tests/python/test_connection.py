"""Connecting, the set-up exchange, disconnecting, and the state a failure leaves behind."""

import socket
import time

import pytest

from netutil import black_hole, free_port, open_fds
from quillan._core import TdxClient
from standin import Reply, StandIn

SETUP = [
    bytes.fromhex("0C 02 18 93 00 01 03 00 03 00 0D 00 01"),
    bytes.fromhex("0C 02 18 94 00 01 03 00 03 00 0D 00 02"),
    bytes.fromhex(
        "0C 03 18 99 00 01 20 00 20 00 DB 0F D5 D0 C9 CC D6 A4 A8 AF 00 00 00 8F"
        " C2 25 40 13 00 00 D5 00 C9 CC BD F0 D7 EA 00 00 00 02"
    ),
]


def piece(data: bytes) -> Reply:
    """A report-file reply whose piece is `data`; the call returns it unchanged."""
    return Reply(body=len(data).to_bytes(4, "little") + data)


def fetch(client) -> bytes:
    return client.get_report_file("f", 0)[1]


@pytest.fixture(scope="module")
def second_server():
    server = StandIn()
    yield server
    server.close()


class TestConnect:
    def test_sends_the_three_setup_packets(self, standin):
        c = TdxClient()
        assert c.connect(standin.host, standin.port) is True
        assert standin.frames(setup=True) == SETUP
        c.disconnect()

    def test_setup_answers_are_not_needed(self, standin):
        # Partial, compressed-looking and empty answers are all thrown away alike.
        standin.set_setup([Reply(raw=b"\x01\x02"), Reply(body=b"x" * 40, zs=3), Reply(raw=bytes(16))])
        standin.script(piece(b"after setup"))
        c = TdxClient()
        assert c.connect(standin.host, standin.port) is True
        assert fetch(c) == b"after setup"

    def test_setup_answer_in_two_pieces(self, standin):
        # The drain takes ZS from its single receive; missing header bytes count as zero, so
        # the rest of the answer is left on the socket and meets the next drain.
        standin.set_setup([Reply(body=b"abc", pieces=(8,), piece_delay=0.2), Reply(), Reply()])
        c = TdxClient()
        assert c.connect(standin.host, standin.port) is True

    def test_ipv6(self):
        server = StandIn(family=socket.AF_INET6)
        try:
            server.script(piece(b"six"))
            c = TdxClient()
            assert c.connect("[::1]", server.port) is True
            assert fetch(c) == b"six"
        finally:
            server.close()

    @pytest.mark.parametrize(
        "ip, port, text",
        [
            ("localhost", 7709, "localhost:7709"),
            ("::1", 7709, "::1:7709"),
            ("1.2.3", 1, "1.2.3:1"),
            ("1.2.3.4:5", 1, "1.2.3.4:5:1"),
            (" 127.0.0.1", 1, " 127.0.0.1:1"),
            ("127.0.0.1\x00", 1, "127.0.0.1\x00:1"),
            ("[::1", 1, "[::1:1"),
            ("", 1, ":1"),
        ],
    )
    def test_invalid_address(self, ip, port, text):
        before = open_fds()
        with pytest.raises(ValueError) as exc:
            TdxClient().connect(ip, port)
        assert str(exc.value) == f"Invalid address '{text}': invalid socket address syntax"
        assert open_fds() == before

    def test_port_out_of_range_before_address(self):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            TdxClient().connect("not an address", 70000)

    def test_refused(self):
        with pytest.raises(ConnectionError) as exc:
            TdxClient().connect("127.0.0.1", free_port())
        assert type(exc.value) is ConnectionError
        assert str(exc.value) == "Connect failed: Connection refused (os error 111)"

    def test_failed_connect_keeps_old_connection(self, standin):
        c = TdxClient()
        c.connect(standin.host, standin.port)
        with pytest.raises(ConnectionError, match="^Connect failed: "):
            c.connect("127.0.0.1", free_port())
        standin.script(piece(b"still here"))
        assert fetch(c) == b"still here"

    def test_reconnect_moves_to_new_server(self, standin, second_server):
        second_server.reset()
        c = TdxClient()
        c.connect(standin.host, standin.port)
        c.connect(second_server.host, second_server.port)
        second_server.script(piece(b"from B"))
        assert fetch(c) == b"from B"
        assert standin.frames() == []
        # The old socket was closed: the first server sees its connection end.
        standin.script(piece(b"never"))
        deadline = time.monotonic() + 5
        while standin.pending() == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert standin.pending() == 1

    def test_setup_send_failure_raises_by_kind_and_keeps_state(self, standin):
        # The server resets the connection after the first set-up packet.
        standin.set_setup([Reply(then="reset"), Reply(), Reply()])
        c = TdxClient()
        with pytest.raises((ConnectionResetError, BrokenPipeError)):
            c.connect(standin.host, standin.port)
        with pytest.raises(ConnectionError, match="^Not connected$"):
            c.get_report_file("f", 0)

    @pytest.mark.slow
    def test_silent_address_times_out_after_5_seconds(self):
        with black_hole() as (ip, port):
            start = time.monotonic()
            with pytest.raises(ConnectionError) as exc:
                TdxClient().connect(ip, port)
            elapsed = time.monotonic() - start
        assert str(exc.value) == "Connect failed: connection timed out"
        assert 4.9 < elapsed < 6.5

    @pytest.mark.slow
    def test_silent_setup_costs_10_seconds_a_packet(self, standin):
        standin.set_setup("silent")
        c = TdxClient()
        start = time.monotonic()
        assert c.connect(standin.host, standin.port) is True
        assert 29 < time.monotonic() - start < 35


class TestDisconnect:
    def test_disconnect_twice(self):
        c = TdxClient()
        assert c.disconnect() is None
        assert c.disconnect() is None

    def test_requests_after_disconnect(self, client):
        client.disconnect()
        with pytest.raises(ConnectionError, match="^Not connected$") as exc:
            client.get_report_file("f", 0)
        assert type(exc.value) is ConnectionError

    def test_not_connected_sends_nothing(self, standin):
        with pytest.raises(ConnectionError):
            TdxClient().get_report_file("f", 0)
        assert standin.frames(setup=True) == []


class TestResources:
    def test_no_descriptor_leaks(self, standin):
        refused = free_port()
        before = open_fds()
        for _ in range(100):
            c = TdxClient()
            c.connect(standin.host, standin.port)
            c.connect(standin.host, standin.port)  # replaces, closing the first
            with pytest.raises(ConnectionError):
                c.connect("127.0.0.1", refused)
            with pytest.raises(ValueError):
                c.connect("nowhere", 1)
            if _ % 2:
                c.disconnect()
            del c  # dealloc closes a socket still open
        assert open_fds() == before

    def test_dealloc_closes_socket(self, standin):
        before = open_fds()
        c = TdxClient()
        c.connect(standin.host, standin.port)
        assert open_fds() == before + 1
        del c
        assert open_fds() == before

    def test_socket_options(self, standin):
        import fcntl
        import os
        import struct

        def sockets():
            found = set()
            for name in os.listdir("/proc/self/fd"):
                try:
                    if os.readlink(f"/proc/self/fd/{name}").startswith("socket:"):
                        found.add(int(name))
                except OSError:
                    pass  # the descriptor of the listing itself
            return found

        before = sockets()
        c = TdxClient()
        c.connect(standin.host, standin.port)
        (fd,) = sockets() - before
        assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
        s = socket.socket(fileno=os.dup(fd))
        try:
            assert s.getblocking()
            for option in (socket.SO_RCVTIMEO, socket.SO_SNDTIMEO):
                assert struct.unpack("ll", s.getsockopt(socket.SOL_SOCKET, option, 16)) == (10, 0)
        finally:
            s.close()
        c.disconnect()
