"""The simulator on raw sockets: set-up, framing and robustness. (What its answers mean, decoded
by the module, is test_sim_roundtrip's.)"""

import contextlib
import os
import socket
import struct
import subprocess
import sys
import time
import zlib

import pytest

from quillan.sim import Server, data
from quillan.sim.protocol import (
    SETUP_REQUESTS,
    answer_body,
    report_request,
    request_frame,
    respond,
    trades_request,
    xdxr_request,
)
from quillan.sim.server import recv_exact


class RawClient:
    """A socket to the simulator that has been through the set-up exchange."""

    def __init__(self, host: str, port: int, setup: bool = True):
        self.sock = socket.create_connection((host, port), timeout=10)
        if setup:
            for packet in SETUP_REQUESTS:
                self.exchange(packet)

    def response(self) -> tuple[int, int, bytes]:
        """(ZS, US, inflated body) of the next response."""
        head = recv_exact(self.sock, 16)
        if head is None:
            raise EOFError("closed before the header came")
        zs, us = struct.unpack_from("<HH", head, 12)
        payload = recv_exact(self.sock, zs) if zs else b""
        if payload is None:
            raise EOFError("closed before the body came")
        return zs, us, payload if zs == us else zlib.decompress(payload)

    def exchange(self, request: bytes) -> bytes:
        self.sock.sendall(request)
        _, us, body = self.response()
        assert len(body) == us
        return body

    def close(self) -> None:
        self.sock.close()


@pytest.fixture
def raw(sim):
    c = RawClient(sim.host, sim.port)
    yield c
    c.close()


class TestServer:
    def test_address(self, sim):
        assert sim.host == "127.0.0.1" and sim.port > 0 and sim.address == f"127.0.0.1:{sim.port}"
        assert sim.running

    def test_stops_on_exit(self):
        with Server() as srv:
            port = srv.port
            RawClient(srv.host, port).close()
        assert not srv.running
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5)

    def test_ipv6(self):
        with Server(host="::1") as srv:
            assert srv.address == f"[::1]:{srv.port}"
            c = RawClient("::1", srv.port)
            assert c.exchange(report_request("reports/securities.csv", 0))[4:] == data.report_file_bytes(
                "reports/securities.csv"
            )
            c.close()

    def test_module_main_leaves_with_its_parent(self):
        # A child started by Server() watches its standard input: when the parent goes, it goes.
        code = (
            "import quillan.sim, os; s = quillan.sim.Server().start(); print(s._proc.pid, flush=True); "
            "os._exit(0)"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        pid = int(out.stdout)
        for _ in range(100):
            try:
                with open(f"/proc/{pid}/status") as f:
                    if "State:\tZ" in f.read():
                        break
            except FileNotFoundError:
                break
            time.sleep(0.05)
        else:
            pytest.fail("the simulator outlived its parent")

    def test_standalone_port_in_use(self, sim):
        out = subprocess.run(
            [sys.executable, "-m", "quillan.sim", "--port", str(sim.port)],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert out.returncode == 1 and out.stderr.startswith("quillan.sim: error: cannot listen on")

    def test_many_clients_at_once(self, sim):
        clients = [RawClient(sim.host, sim.port) for _ in range(8)]
        for c in clients:
            c.sock.sendall(report_request("reports/securities.csv", 0))
        for c in clients:
            assert c.response()[2][4:] == data.report_file_bytes("reports/securities.csv")
            c.close()


class TestSetup:
    def test_each_packet_gets_one_answer(self, sim):
        c = RawClient(sim.host, sim.port, setup=False)
        for packet in SETUP_REQUESTS:
            c.sock.sendall(packet)
            c.response()
        c.sock.settimeout(0.2)
        with pytest.raises(TimeoutError):
            c.sock.recv(1)  # nothing unasked
        c.close()


class TestFraming:
    def test_big_answers_are_compressed(self, raw):
        raw.sock.sendall(trades_request(1, "600036", 0, 2000))
        zs, us, body = raw.response()
        assert zs < us == len(body)

    def test_unknown_command_gets_an_empty_body(self, raw):
        assert raw.exchange(request_frame(0x7777, b"abc")) == b""
        assert raw.exchange(bytes.fromhex("0C 01 02 03 04 05 00 00 00 00")) == b""  # no command at all

    def test_short_frames_read_zeros(self, raw):
        # Market 1, code "6000" and nothing more: category 0 and a count of 0.
        body = raw.exchange(request_frame(0x052D, b"\x01\x00" + b"6000"))
        assert body == b"\0\0"

    def test_frame_in_pieces(self, raw):
        request = xdxr_request(1, "600036")
        for byte in request:
            raw.sock.sendall(bytes([byte]))
            time.sleep(0.001)
        assert raw.response()[2] == answer_body(request) != b""

    def test_garbage_closes_only_that_connection(self, sim):
        bad = RawClient(sim.host, sim.port)
        bad.sock.sendall(b"GET / HTTP/1.0\r\n\r\n")
        with contextlib.suppress(ConnectionResetError):  # unread bytes make the close a reset
            assert bad.sock.recv(1) == b""
        bad.close()
        good = RawClient(sim.host, sim.port)
        assert good.exchange(xdxr_request(1, "600036"))
        good.close()

    def test_no_frame_ever_breaks_the_encoder(self):
        # Every command with every short length of its parameters, and with junk.
        for command in (0x000D, 0x0FDB, 0x052D, 0x053E, 0x0FC5, 0x000F, 0x0010, 0x02CF, 0x02D0, 0x06B9):
            for size in range(0, 120, 3):
                params = bytes((i * 37 + 11) & 0xFF for i in range(size))
                response = respond(request_frame(command, params, prefix=bytes(6)))
                assert len(response) - 16 == struct.unpack_from("<H", response, 12)[0]


def answers(srv: Server, within: float = 30) -> bool:
    """Whether a new client gets its set-up packets answered within `within` seconds, retrying
    while it is refused. (Generous: a loaded machine, or a sanitizer build, is slow.)"""
    deadline = time.monotonic() + within
    while True:
        try:
            RawClient(srv.host, srv.port).close()
            return True
        except (OSError, EOFError):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)


# Starts a simulator whose first connection thread cannot start, prints its port, serves.
FAILING_THREAD = r"""
import sys, threading
from quillan.sim.server import SimServer

real_start, failures = threading.Thread.start, [RuntimeError("can't start new thread")]
def start(self):
    if failures:
        raise failures.pop()
    real_start(self)
threading.Thread.start = start
server = SimServer()
print(server.port, flush=True)
server.serve_forever()
"""


class TestLimits:
    @pytest.mark.slow
    def test_idle_crowd_is_capped_then_dropped(self):
        with Server(max_connections=20, idle_timeout=1.0) as srv:
            crowd = [socket.create_connection((srv.host, srv.port), timeout=10) for _ in range(300)]
            try:
                time.sleep(0.3)
                assert len(os.listdir(f"/proc/{srv._proc.pid}/task")) <= 20 + 3
                # Beyond the cap, connections are closed at once; the rest once idle.
                for sock in crowd:
                    with contextlib.suppress(ConnectionResetError):
                        assert sock.recv(1) == b""
                assert answers(srv)
            finally:
                for sock in crowd:
                    sock.close()

    @pytest.mark.slow
    def test_client_that_never_reads_is_dropped(self):
        with Server(max_connections=1, send_timeout=0.5) as srv:
            hog = socket.socket()
            hog.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            hog.connect((srv.host, srv.port))
            # Answers of 14 kB each, far beyond what the socket buffers hold.
            with contextlib.suppress(OSError):
                hog.sendall(report_request("reports/sz000001.lc5", 0) * 1000)
            try:
                assert answers(srv)
            finally:
                hog.close()

    def test_thread_that_cannot_start_costs_one_connection(self):
        child = subprocess.Popen(
            [sys.executable, "-c", FAILING_THREAD], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        try:
            assert child.stdout is not None
            srv = Server(port=int(child.stdout.readline()))
            first = socket.create_connection((srv.host, srv.port), timeout=10)
            with contextlib.suppress(ConnectionResetError):
                assert first.recv(1) == b""
            first.close()
            assert answers(srv)
        finally:
            child.kill()
            _, err = child.communicate()
        assert "connection from" in err and "closed: can't start new thread" in err

    @pytest.mark.parametrize(
        "option, value",
        [
            ("--max-connections", "0"),
            ("--idle-timeout", "-1"),
            ("--send-timeout", "x"),
            ("--port", "\u0663"),  # a digit, but not an ASCII one
        ],
    )
    def test_bad_options(self, option, value):
        out = subprocess.run(
            [sys.executable, "-m", "quillan.sim", option, value], capture_output=True, text=True, timeout=60
        )
        assert out.returncode == 2 and f"argument {option}" in out.stderr
