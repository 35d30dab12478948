"""ping_servers: conversion, concurrency, the 2 s bound, the result and its order."""

import collections
import contextlib
import socket
import subprocess
import sys
import textwrap
import time

import pytest

import quillan._core as core
from quillan._core import ping_servers
from netutil import black_hole, free_port, open_fds


@contextlib.contextmanager
def listeners(count, family=socket.AF_INET, host="127.0.0.1"):
    """`count` loopback listeners; the kernel completes handshakes on them without accept."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket(family)
            socks.append(s)
            s.bind((host, 0))
            s.listen(64)
        yield [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class TestResult:
    def test_empty(self):
        assert ping_servers([]) == []
        assert ping_servers(()) == []

    def test_reachable_and_refused(self):
        with listeners(1) as (port,):
            refused = free_port()
            result = ping_servers([("127.0.0.1", refused), ("127.0.0.1", port)])
        assert result[1] == ("127.0.0.1", refused, 9999)
        ip, got_port, latency = result[0]
        assert (ip, got_port) == ("127.0.0.1", port)
        assert type(latency) is int and 0 <= latency < 100
        assert [tuple(map(type, entry)) for entry in result] == [(str, int, int)] * 2

    @pytest.mark.parametrize(
        "ip", ["localhost", "::1", " 127.0.0.1", "127.0.0.1 ", "", "127.0.0.1\0", "[127.0.0.1]"]
    )
    def test_no_name_lookup_or_lenient_parsing(self, ip):
        with listeners(1) as (port,):
            assert ping_servers([(ip, port)]) == [(ip, port, 9999)]

    @pytest.mark.skipif(not has_ipv6_loopback(), reason="no IPv6 loopback")
    def test_bracketed_ipv6(self):
        with listeners(1, socket.AF_INET6, "::1") as (port,):
            ((ip, got_port, latency),) = ping_servers([("[::1]", port)])
        assert (ip, got_port) == ("[::1]", port) and latency < 9999

    def test_failures_keep_input_order_and_duplicates(self):
        with listeners(2) as (a, b):
            down = free_port()
            servers = [("x", 1), ("127.0.0.1", down), ("127.0.0.1", a), ("x", 1),
                       ("127.0.0.1", b), ("127.0.0.1", a), ("127.0.0.1", 0)]
            result = ping_servers(servers)
        assert len(result) == 7
        ok = [entry for entry in result if entry[2] < 9999]
        assert sorted((ip, port) for ip, port, _ in ok) == sorted(
            [("127.0.0.1", a), ("127.0.0.1", b), ("127.0.0.1", a)])
        assert result[:3] == sorted(ok, key=lambda e: e[2])
        assert result[3:] == [("x", 1, 9999), ("127.0.0.1", down, 9999), ("x", 1, 9999),
                              ("127.0.0.1", 0, 9999)]

    def test_address_text_comes_back_unchanged(self):
        class S(str):
            pass

        ((ip, _, _),) = ping_servers([(S("010.0.0.1"), 1)])
        assert ip == "010.0.0.1" and type(ip) is str

    def test_sockets_are_closed(self):
        with listeners(5) as ports:
            servers = [("127.0.0.1", p) for p in ports] + [("127.0.0.1", free_port())]
            before = open_fds()
            for _ in range(20):  # within the listeners' backlog of 64
                ping_servers(servers)
            assert open_fds() == before


class TestConcurrency:
    def test_many_servers_cost_one_probe(self):
        # 100 listeners, 97 refused ports and 3 silent addresses: run one after another, the
        # silent ones alone would take 6 s; together everything takes one 2 s time-out.
        with listeners(100) as ports, black_hole() as hole:
            refused = [free_port() for _ in range(97)]
            servers = [("127.0.0.1", p) for p in ports] + [("127.0.0.1", p) for p in refused]
            servers[50:50] = [hole] * 3
            start = time.monotonic()
            result = ping_servers(servers)
            elapsed = time.monotonic() - start
        assert 1.95 <= elapsed < 3.5
        assert len(result) == 200
        assert all(latency < 9999 for _, _, latency in result[:100])
        # The failures in input order: the silent ones (in the middle) before the refused.
        assert result[100:] == [(*hole, 9999)] * 3 + [("127.0.0.1", p, 9999) for p in refused]

    def test_no_thread_outlives_the_call(self):
        def threads():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))

        before = threads()
        ping_servers([("127.0.0.1", free_port())] * 50)
        assert threads() == before

    def test_spawn_failure(self):
        # A small address-space limit leaves room for a few 2 MiB stacks only.
        code = textwrap.dedent(
            """
            import resource
            from quillan._core import ping_servers
            servers = [("127.0.0.1", 1)] * 400
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/status") as f:
                size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, (size + 48 * 2**20, hard))
            try:
                ping_servers(servers)
            except RuntimeError as e:
                message = str(e)
            else:
                message = "no error"
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(message)
            # The module keeps working once threads can be made again.
            assert ping_servers(servers[:3]) == [("127.0.0.1", 1, 9999)] * 3
            """
        )
        done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("failed to spawn thread: "), done.stdout


class TestConversion:
    def test_function_belongs_to_the_module(self):
        assert ping_servers.__module__ == "_core"
        assert ping_servers.__self__ is core
        assert ping_servers.__text_signature__ == "(servers)"
        assert ping_servers.__doc__ == (
            "Ping multiple TDX HQ servers concurrently and return their response latencies.\n"
            "Returns a list of tuples (ip, port, latency_ms). If a server fails, latency is "
            "returned as 9999."
        )

    def test_named_tuples_and_keyword(self):
        Server = collections.namedtuple("Server", "ip port")
        assert ping_servers(servers=[Server("x", 1)]) == [("x", 1, 9999)]

    @pytest.mark.parametrize(
        "servers, error, message",
        [
            ("127.0.0.1", TypeError, "argument 'servers': Can't extract `str` to `Vec`"),
            (5, TypeError, "argument 'servers': 'int' object cannot be cast as 'Sequence'"),
            (iter([("x", 1)]), TypeError,
             "argument 'servers': 'list_iterator' object cannot be cast as 'Sequence'"),
            ([["x", 1]], TypeError, "argument 'servers': 'list' object cannot be cast as 'tuple'"),
            ([(1, 1)], TypeError, "argument 'servers': 'int' object cannot be cast as 'str'"),
            ([("x", "1")], TypeError,
             "argument 'servers': 'str' object cannot be interpreted as an integer"),
            ([("x", 1, 2)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
            ([("x",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
            ([("x", 70000)], OverflowError, "out of range integral type conversion attempted"),
            ([("x", -1)], OverflowError, "out of range integral type conversion attempted"),
        ],
    )
    def test_refused_arguments(self, servers, error, message):
        with pytest.raises(error) as exc:
            ping_servers(servers)
        assert type(exc.value) is error
        assert str(exc.value) == message

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: ping_servers(), "ping_servers() missing 1 required positional argument: 'servers'"),
            (lambda: ping_servers([], []), "ping_servers() takes 1 positional arguments but 2 were given"),
            (lambda: ping_servers(server=[]), "ping_servers() got an unexpected keyword argument 'server'"),
        ],
    )
    def test_binding(self, call, message):
        with pytest.raises(TypeError) as exc:
            call()
        assert str(exc.value) == message

    def test_whole_list_converted_before_any_probe(self):
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(8)
            port = listener.getsockname()[1]
            with pytest.raises(OverflowError):
                ping_servers([("127.0.0.1", port)] * 3 + [("127.0.0.1", 65536)])
            listener.setblocking(False)
            with pytest.raises(BlockingIOError):
                listener.accept()  # no connection was ever attempted

    def test_failed_conversion_keeps_no_references(self):
        good, bad = ("127.0.0.1", 1), ("x", -1)
        servers = [good, bad]
        before = sys.getrefcount(good), sys.getrefcount(bad), sys.getrefcount(servers)
        for _ in range(1000):
            with pytest.raises(OverflowError):
                ping_servers(servers)
        assert (sys.getrefcount(good), sys.getrefcount(bad), sys.getrefcount(servers)) == before
