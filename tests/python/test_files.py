"""read_daily_bars and read_minute_bars: records, texts, coefficients, errors and resources."""

import os
import pathlib
import socket
import struct
import subprocess
import sys

import pytest

import quillan._core as core
from netutil import open_fds
from quillan._core import ping_servers, read_daily_bars, read_minute_bars

DAILY = struct.Struct("<IIIIIfI4x")
MINUTE = struct.Struct("<HHfffffI4x")
READERS = pytest.mark.parametrize("reader", [read_daily_bars, read_minute_bars])


def daily(date=20240105, o=1000, h=1100, lo=900, c=1050, amount=10.1, volume=777):
    return DAILY.pack(date, o, h, lo, c, amount, volume)


def minute(d=0xA069, t=571, o=10.1, h=11.0, lo=10.0, c=10.75, amount=5e6, volume=4000):
    return MINUTE.pack(d, t, o, h, lo, c, amount, volume)


@pytest.fixture
def write(tmp_path):
    def _write(data, name="bars.day"):
        (tmp_path / name).write_bytes(data)
        return str(tmp_path / name)

    return _write


class TestRecords:
    def test_daily(self, write):
        assert [list(bar.items()) for bar in read_daily_bars(write(daily()))] == [
            [
                ("date", "2024-01-05"),
                ("open", 1000 * 0.01),
                ("high", 1100 * 0.01),
                ("low", 900 * 0.01),
                ("close", 1050 * 0.01),
                ("amount", 10.100000381469727),
                ("volume", 777 * 0.01),
            ]
        ]

    def test_minute(self, write):
        ((bar,), (zero,)) = read_minute_bars(write(minute())), read_minute_bars(write(bytes(32)))
        assert list(bar.items()) == [
            ("datetime", "2024-01-05 09:31"),
            ("open", 10.100000381469727),
            ("high", 11.0),
            ("low", 10.0),
            ("close", 10.75),
            ("amount", 5e6),
            ("volume", 4000.0),
        ]
        assert zero == dict.fromkeys(bar, 0.0) | {"datetime": "2004-00-00 00:00"}

    @pytest.mark.parametrize(
        "raw, text",
        [
            (bytes.fromhex("95D63401"), "2024-00-21"),
            (bytes(4), "0-00-00"),
            (b"\x7b\0\0\0", "0-01-23"),
            (b"\xff" * 4, "429496-72-95"),
        ],
    )
    def test_daily_date_unvalidated(self, write, raw, text):
        assert read_daily_bars(write(raw + daily()[4:]))[0]["date"] == text

    def test_minute_fields_unvalidated(self, write):
        (bar,) = read_minute_bars(write(minute(d=0xFFFF, t=65535, volume=0xFFFFFFFF)))
        assert (bar["datetime"], bar["volume"]) == ("2035-20-47 1092:15", 4294967295.0)
        (widest,) = read_minute_bars(write(minute(d=0xF800 | 1999, t=65535)))
        assert widest["datetime"] == "2035-19-99 1092:15"

    def test_coefficients(self, write):
        path = write(daily(o=35, h=0xFFFFFFFF, amount=64.0, volume=100))
        (default,) = read_daily_bars(path)
        assert default["open"] == 0.35000000000000003  # 35 * 0.01, not 35 / 100
        (by_price,) = read_daily_bars(path, 1)
        assert (by_price["open"], by_price["high"]) == (35.0, 4294967295.0)
        assert (by_price["amount"], by_price["volume"]) == (64.0, 1.0)
        (by_vol,) = read_daily_bars(path, vol_coeff=3)
        assert (by_vol["open"], by_vol["amount"], by_vol["volume"]) == (default["open"], 64.0, 300.0)
        (odd,) = read_daily_bars(path, float("inf"), -2)
        assert (odd["open"], odd["volume"]) == (float("inf"), -200.0)

    @READERS
    @pytest.mark.parametrize("size, count", [(0, 0), (1, 0), (31, 0), (32, 1), (33, 1), (63, 1)])
    def test_whole_records_only(self, write, reader, size, count):
        assert len(reader(write((daily() * 2)[:size]))) == count

    @READERS
    def test_name_is_not_looked_at(self, write, reader):
        data = b"".join(daily(date=i) for i in range(3000))
        assert reader(write(data, "a.lc5")) == reader(write(data, "b.lc1")) == reader(write(data, "c"))


class TestFileErrors:
    @READERS
    @pytest.mark.parametrize("suffix", ["/missing", "/dangling", "/bars.day\0.day", "/\u65e5\u7ebf"])
    def test_not_found(self, tmp_path, write, reader, suffix):
        write(daily())
        (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
        with pytest.raises(FileNotFoundError) as exc:
            reader(str(tmp_path) + suffix)
        assert exc.value.args == ("File not found: " + str(tmp_path) + suffix,)
        assert exc.value.errno is None

    @READERS
    @pytest.mark.parametrize("kind", ["directory", "proc", "socket"])
    def test_cannot_open_or_map(self, tmp_path, reader, kind):
        path = {"directory": str(tmp_path), "proc": "/proc/self/status", "socket": str(tmp_path / "sock")}[
            kind
        ]
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(tmp_path / "sock"))
            with pytest.raises(OSError) as exc:
                reader(path)
        assert type(exc.value) is OSError and exc.value.errno is None
        assert exc.value.args == (
            {
                "socket": "Cannot open file: No such device or address (os error 6)",
            }.get(kind, "Cannot mmap file: No such device (os error 19)"),
        )

    def test_fifo_does_not_block(self, tmp_path):
        # In a child: an open that blocked would hold the interpreter lock for ever.
        os.mkfifo(tmp_path / "fifo")
        code = (
            "from quillan._core import read_daily_bars as r\n"
            f"try: r({str(tmp_path / 'fifo')!r})\n"
            "except OSError as e: print(type(e).__name__, e)\n"
        )
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
        assert done.stdout == "OSError Cannot mmap file: No such device (os error 19)\n"


class TestBinding:
    @pytest.mark.parametrize(
        "fn, signature, doc",
        [
            (
                read_daily_bars,
                "(filepath, price_coeff=0.01, vol_coeff=0.01)",
                "Read daily bars from a .day file. Returns a list of dicts.\n\n"
                "Each dict has keys: date, open, high, low, close, amount, volume.\n"
                "Price values are divided by the given `price_coeff` "
                "(default 0.01 \u2192 \u5206\u2192\u5143).\n"
                "Amount values are divided by `vol_coeff` (default 0.01).",
            ),
            (
                read_minute_bars,
                "(filepath)",
                "Read minute bars from a .lc1 or .lc5 file. Returns a list of dicts.\n\n"
                "Each dict has keys: datetime, open, high, low, close, amount, volume.",
            ),
            (
                ping_servers,
                "(servers)",
                "Ping multiple TDX HQ servers concurrently and return their response latencies.\n"
                "Returns a list of tuples (ip, port, latency_ms). If a server fails, latency is "
                "returned as 9999.",
            ),
        ],
    )
    def test_module_functions(self, fn, signature, doc):
        assert (fn.__module__, fn.__self__) == ("_core", core)
        assert (fn.__text_signature__, fn.__doc__) == (signature, doc)

    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda: read_daily_bars("a", 1, 2, 3),
                "read_daily_bars() takes from 1 to 3 positional arguments but 4 were given",
            ),
            (
                lambda: read_minute_bars("a", 1),
                "read_minute_bars() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda: read_daily_bars(price_coeff=1),
                "read_daily_bars() missing 1 required positional argument: 'filepath'",
            ),
            (
                lambda: read_daily_bars("a", 1, price_coeff=1),
                "read_daily_bars() got multiple values for argument 'price_coeff'",
            ),
            (lambda: read_daily_bars(b"a"), "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
            (
                lambda: read_minute_bars(pathlib.Path("a")),
                "argument 'filepath': 'PosixPath' object cannot be cast as 'str'",
            ),
            (
                lambda: read_daily_bars("/missing", None),
                "argument 'price_coeff': must be real number, not NoneType",
            ),
            (
                lambda: read_daily_bars("/missing", 1, vol_coeff="1"),
                "argument 'vol_coeff': must be real number, not str",
            ),
        ],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as exc:
            call()
        assert str(exc.value) == message

    def test_keywords(self, write):
        (bar,) = read_daily_bars(vol_coeff=3, filepath=write(daily(o=2, volume=2)), price_coeff=5)
        assert (bar["open"], bar["volume"]) == (10.0, 6.0)


def test_nothing_left_behind(tmp_path, write):
    good = write(daily() * 3000)
    os.mkfifo(tmp_path / "fifo")
    bad = [str(tmp_path / "missing"), str(tmp_path), str(tmp_path / "fifo")]

    def maps():
        return pathlib.Path("/proc/self/maps").read_text().splitlines()

    fds, regions = open_fds(), len(maps())
    for _ in range(300):
        for reader in (read_daily_bars, read_minute_bars):
            assert len(reader(good)) == 3000
            for path in bad:
                with pytest.raises(OSError):
                    reader(path)
    assert open_fds() == fds
    assert not [m for m in maps() if str(tmp_path) in m]
    assert len(maps()) < regions + 50  # the allocators may keep a few regions, not one a call


SHRINKER = """
import os, random, sys
path, content = sys.argv[1], open(sys.argv[1], "rb").read()
rng = random.Random(5)
fd = os.open(path, os.O_WRONLY)
print("ready", flush=True)
while True:
    os.ftruncate(fd, rng.choice([0, rng.randrange(len(content))]))
    os.pwrite(fd, content, 0)
"""

READER = """
import sys, time
import quillan._core as core
from quillan._core import ping_servers, read_daily_bars, read_minute_bars
path, stable = sys.argv[1], sys.argv[2]
short = 0
readers = [(reader, reader(stable)) for reader in (read_daily_bars, read_minute_bars)]
deadline = time.monotonic() + 2
while time.monotonic() < deadline:
    for reader, expected in readers:
        try:
            bars = reader(path)
        except OSError:
            continue
        # A truncation that zeroes a record while it is copied out may tear it: the writer's
        # race. The list must still hold well-formed records, no more than were written.
        assert type(bars) is list and len(bars) <= len(expected)
        assert all(list(b) == list(expected[0]) for b in bars)
        short += len(bars) < len(expected)
print(short)
"""


def test_file_shrinking_under_the_reader(write):
    data = b"".join(daily(date=20240000 + i, o=i) for i in range(6000))
    path, stable = write(data), write(data, "stable.day")
    shrinker = subprocess.Popen([sys.executable, "-c", SHRINKER, path], stdout=subprocess.PIPE, text=True)
    try:
        assert shrinker.stdout.readline() == "ready\n"
        # In a child of its own, so that a crash (SIGBUS) fails this test, not the whole run.
        done = subprocess.run(
            [sys.executable, "-c", READER, path, stable], capture_output=True, text=True, timeout=60
        )
    finally:
        shrinker.kill()
        shrinker.wait()
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert int(done.stdout) > 0  # truncations did land on reads
