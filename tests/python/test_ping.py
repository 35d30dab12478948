"""ping_servers: conversion, concurrency, the 2 s bound, the result and its order."""

import collections
import contextlib
import socket
import subprocess
import sys
import time

import pytest

from netutil import black_hole, free_port, open_fds
from quillan._core import TdxClient, ping_servers


@contextlib.contextmanager
def listeners(count, family=socket.AF_INET, host="127.0.0.1"):
    """Loopback listeners: the kernel completes handshakes on them without any accept."""
    with contextlib.ExitStack() as stack:
        socks = [stack.enter_context(socket.socket(family)) for _ in range(count)]
        for s in socks:
            s.bind((host, 0))
            s.listen(64)
        yield [s.getsockname()[1] for s in socks]


def threads():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))


class TestProbe:
    def test_order_and_values(self):
        with listeners(2) as (a, b):
            down = free_port()
            servers = [
                ("x", 1),
                ("127.0.0.1", down),
                ("127.0.0.1", a),
                ("x", 1),
                ("127.0.0.1", b),
                ("127.0.0.1", a),
            ]
            result = ping_servers(servers)
        assert [tuple(map(type, e)) for e in result] == [(str, int, int)] * 6
        assert sorted(result[:3]) == sorted(
            [("127.0.0.1", a, result[0][2]), ("127.0.0.1", a, result[1][2]), ("127.0.0.1", b, result[2][2])]
        )
        assert result[0][2] <= result[1][2] <= result[2][2] < 100
        # Failures keep the caller's order, duplicates included.
        assert result[3:] == [("x", 1, 9999), ("127.0.0.1", down, 9999), ("x", 1, 9999)]

    @pytest.mark.parametrize("ip", ["localhost", "::1", " 127.0.0.1", "", "127.0.0.1\0"])
    def test_numeric_addresses_only(self, ip):
        with listeners(1) as (port,):
            assert ping_servers([(ip, port)]) == [(ip, port, 9999)]

    def test_bracketed_ipv6(self):
        try:
            with listeners(1, socket.AF_INET6, "::1") as (port,):
                ((ip, _, latency),) = ping_servers([("[::1]", port)])
        except OSError:
            pytest.skip("no IPv6 loopback")
        assert ip == "[::1]" and latency < 9999

    def test_many_servers_cost_one_probe(self):
        # 100 listeners, 97 refused ports and 3 silent addresses: probed one after another,
        # the silent ones alone would take 6 s; all at once, everything takes one 2 s time-out.
        with listeners(100) as ports, black_hole() as hole:
            refused = [("127.0.0.1", free_port()) for _ in range(97)]
            servers = [("127.0.0.1", p) for p in ports] + refused
            servers[50:50] = [hole] * 3
            fds, before = open_fds(), threads()
            start = time.monotonic()
            result = ping_servers(servers)
            elapsed = time.monotonic() - start
            assert (open_fds(), threads()) == (fds, before)
        assert 1.95 <= elapsed < 3.5
        assert all(latency < 9999 for _, _, latency in result[:100])
        assert result[100:] == [(*s, 9999) for s in [hole] * 3 + refused]

    def test_spawn_failure(self):
        # An address-space limit that leaves room for a few 2 MiB stacks only.
        code = """if 1:
            import resource
            from quillan._core import ping_servers
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/status") as f:
                size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (size + 48 * 2**20, hard))
            try:
                ping_servers([("127.0.0.1", 1)] * 400)
            except RuntimeError as e:
                print(e)
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            assert ping_servers([("127.0.0.1", 1)] * 3) == [("127.0.0.1", 1, 9999)] * 3
            """
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("failed to spawn thread: "), done.stdout


class TestConversion:
    def test_accepted_forms(self):
        Server = collections.namedtuple("Server", "ip port")
        assert ping_servers(servers=(Server("x", 1),)) == [("x", 1, 9999)]
        assert ping_servers([]) == []

    @pytest.mark.parametrize(
        "servers, error, message",
        [
            ("127.0.0.1", TypeError, "argument 'servers': Can't extract `str` to `Vec`"),
            (
                iter([("x", 1)]),
                TypeError,
                "argument 'servers': 'list_iterator' object cannot be cast as 'Sequence'",
            ),
            ([["x", 1]], TypeError, "argument 'servers': 'list' object cannot be cast as 'tuple'"),
            ([(1, 1)], TypeError, "argument 'servers': 'int' object cannot be cast as 'str'"),
            ([("x", "1")], TypeError, "argument 'servers': 'str' object cannot be interpreted as an integer"),
            ([("x", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
            ([("x", 70000)], OverflowError, "out of range integral type conversion attempted"),
        ],
    )
    def test_refused(self, servers, error, message):
        with pytest.raises(error) as exc:
            ping_servers(servers)
        assert (type(exc.value), str(exc.value)) == (error, message)

    def test_items_decide_not_len(self):
        # A sequence's len() may be wrong or huge; conversion only walks the items.
        class Lying:
            def __len__(self):
                return 1 << 62

            def __getitem__(self, i):
                if i >= 1:
                    raise IndexError
                return ("x", 1)

        assert ping_servers(Lying()) == [("x", 1, 9999)]
        with pytest.raises(TypeError, match="'int' object cannot be cast as 'tuple'$"):
            ping_servers(range(1 << 62))
        with pytest.raises(TypeError, match="'int' object cannot be cast as 'tuple'$"):
            TdxClient().get_security_quotes(range(1 << 62))

    def test_whole_list_converted_before_any_probe(self):
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(8)
            port = listener.getsockname()[1]
            with pytest.raises(OverflowError):
                ping_servers([("127.0.0.1", port)] * 3 + [("127.0.0.1", -1)])
            listener.setblocking(False)
            with pytest.raises(BlockingIOError):
                listener.accept()  # no connection was ever attempted
