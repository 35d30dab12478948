"""The simulator on raw sockets: set-up, every command's answer, framing and robustness."""

import contextlib
import os
import socket
import struct
import subprocess
import sys
import time

import pytest

import wire
from quillan.sim import Server, data, universe
from quillan.sim.protocol import respond

SECURITIES = [(s.market, s.code) for s in universe.SECURITIES]


@pytest.fixture
def raw(sim):
    c = wire.RawClient(sim.host, sim.port)
    yield c
    c.close()


class TestServer:
    def test_address(self, sim):
        assert sim.host == "127.0.0.1" and sim.port > 0 and sim.address == f"127.0.0.1:{sim.port}"
        assert sim.running

    def test_stops_on_exit(self):
        with Server() as srv:
            port = srv.port
            wire.RawClient(srv.host, port).close()
        assert not srv.running
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5)

    def test_ipv6(self):
        with Server(host="::1") as srv:
            assert srv.address == f"[::1]:{srv.port}"
            c = wire.RawClient("::1", srv.port)
            assert c.exchange(wire.report_request("reports/securities.csv", 0))[4:] == data.report_file_bytes(
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
        clients = [wire.RawClient(sim.host, sim.port) for _ in range(8)]
        for c in clients:
            c.sock.sendall(wire.report_request("reports/securities.csv", 0))
        for c in clients:
            assert c.response()[2][4:] == data.report_file_bytes("reports/securities.csv")
            c.close()


class TestSetup:
    def test_each_packet_gets_one_answer(self, sim):
        c = wire.RawClient(sim.host, sim.port, setup=False)
        for packet in wire.SETUP:
            c.sock.sendall(packet)
            c.response()
        c.sock.settimeout(0.2)
        with pytest.raises(TimeoutError):
            c.sock.recv(1)  # nothing unasked
        c.close()


class TestAnswers:
    """Each command's answer, decoded as the client decodes it, is what the simulator meant."""

    @pytest.mark.parametrize("category", [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 300])
    @pytest.mark.parametrize("security", [(1, "600036"), (0, "000001"), (1, "000001"), (1, "600519")])
    def test_bars(self, raw, category, security):
        args = (category, *security, 3, 200)
        assert wire.decode_bars(category, raw.exchange(wire.bars_request(*args))) == data.security_bars(*args)

    @pytest.mark.parametrize(
        "start, count", [(0, 1), (0, 800), (0, 65535), (5, 10), (38000, 10), (65535, 65535)]
    )
    def test_bar_windows(self, raw, start, count):
        args = (7, 0, "300750", start, count)
        assert wire.decode_bars(7, raw.exchange(wire.bars_request(*args))) == data.security_bars(*args)

    @pytest.mark.parametrize(
        "stocks",
        [SECURITIES, [(1, "600036"), (9, "600036"), (0, "999999"), (1, "600036")], [(0, "000001")] * 100, []],
    )
    def test_quotes(self, raw, stocks):
        assert wire.decode_quotes(raw.exchange(wire.quotes_request(stocks))) == data.security_quotes(stocks)

    @pytest.mark.parametrize("security", SECURITIES)
    @pytest.mark.parametrize("start, count", [(0, 20), (0, 65535), (100, 50), (5000, 10)])
    def test_trades(self, raw, security, start, count):
        args = (*security, start, count)
        assert wire.decode_trades(raw.exchange(wire.trades_request(*args))) == data.transaction_data(*args)

    @pytest.mark.parametrize("security", SECURITIES + [(0, "999999")])
    def test_xdxr(self, raw, security):
        assert wire.decode_xdxr(raw.exchange(wire.xdxr_request(*security))) == data.xdxr_info(*security)

    @pytest.mark.parametrize("security", SECURITIES + [(0, "999999")])
    def test_finance(self, raw, security):
        body = raw.exchange(wire.finance_request(*security))
        assert wire.decode_finance(*security, body) == data.finance_info(*security)

    @pytest.mark.parametrize("security", SECURITIES + [(0, "999999")])
    def test_company(self, raw, security):
        index = wire.decode_company_index(raw.exchange(wire.company_index_request(*security)))
        assert index == data.company_info_category(*security)
        for entry in index:
            request = wire.company_text_request(*security, entry["filename"], entry["start"], entry["length"])
            text = wire.decode_company_text(raw.exchange(request))
            assert text == data.company_text(*security, entry["name"]) != ""

    @pytest.mark.parametrize(
        "filename, start, length",
        [("600036.txt", 0, 0xFFFFFFFF), ("600036.txt", 4294967295, 10), ("600519.txt", 0, 100), ("", 0, 10)],
    )
    def test_company_text_ranges(self, raw, filename, start, length):
        args = (1, "600036", filename, start, length)
        assert wire.decode_company_text(
            raw.exchange(wire.company_text_request(*args))
        ) == data.company_info_content(*args)

    @pytest.mark.parametrize("filename", data.report_file_names()[:5] + ["reports/none", ""])
    def test_report_files(self, raw, filename):
        whole, offset = b"", 0
        while True:
            size, piece = wire.decode_report(raw.exchange(wire.report_request(filename, offset)))
            assert (size, piece) == data.report_file(filename, offset) and size == len(piece) <= 30000
            if not piece:
                break
            whole += piece
            offset += size
        assert whole == data.report_file_bytes(filename)


class TestFraming:
    def test_big_answers_are_compressed(self, raw):
        raw.sock.sendall(wire.trades_request(1, "600036", 0, 2000))
        zs, us, body = raw.response()
        assert zs < us == len(body)

    def test_unknown_command_gets_an_empty_body(self, raw):
        assert raw.exchange(wire.frame("0C 01 02 03 04 05", 0x7777, b"abc")) == b""
        assert raw.exchange(bytes.fromhex("0C 01 02 03 04 05 00 00 00 00")) == b""  # no command at all

    def test_short_frames_read_zeros(self, raw):
        # Market 1, code "6000" and nothing more: category 0 and a count of 0.
        body = raw.exchange(wire.frame("0C 01 08 64 01 01", 0x052D, b"\x01\x00" + b"6000"))
        assert body == b"\0\0"

    def test_frame_in_pieces(self, raw):
        request = wire.xdxr_request(1, "600036")
        for byte in request:
            raw.sock.sendall(bytes([byte]))
            time.sleep(0.001)
        assert wire.decode_xdxr(raw.response()[2]) == data.xdxr_info(1, "600036")

    def test_garbage_closes_only_that_connection(self, sim):
        bad = wire.RawClient(sim.host, sim.port)
        bad.sock.sendall(b"GET / HTTP/1.0\r\n\r\n")
        with contextlib.suppress(ConnectionResetError):  # unread bytes make the close a reset
            assert bad.sock.recv(1) == b""
        bad.close()
        good = wire.RawClient(sim.host, sim.port)
        assert good.exchange(wire.xdxr_request(1, "600036"))
        good.close()

    def test_no_frame_ever_breaks_the_encoder(self):
        # Every command with every short length of its parameters, and with junk.
        for command in (0x000D, 0x0FDB, 0x052D, 0x053E, 0x0FC5, 0x000F, 0x0010, 0x02CF, 0x02D0, 0x06B9):
            for size in range(0, 120, 3):
                params = bytes((i * 37 + 11) & 0xFF for i in range(size))
                response = respond(wire.frame("0C 00 00 00 00 00", command, params))
                assert len(response) - 16 == struct.unpack_from("<H", response, 12)[0]


def answers(srv: Server, within: float = 30) -> bool:
    """Whether a new client gets its set-up packets answered within `within` seconds, retrying
    while it is refused. (Generous: a loaded machine, or a sanitizer build, is slow.)"""
    deadline = time.monotonic() + within
    while True:
        try:
            wire.RawClient(srv.host, srv.port).close()
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
                hog.sendall(wire.report_request("reports/sz000001.lc5", 0) * 1000)
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
