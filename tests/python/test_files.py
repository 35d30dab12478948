"""read_daily_bars and read_minute_bars: records, texts, coefficients, errors and resources."""

import os
import pathlib
import socket
import struct
import subprocess
import sys
import textwrap

import pytest

import quillan._core as core
from quillan._core import read_daily_bars, read_minute_bars
from netutil import open_fds

DAILY = struct.Struct("<IIIIIfI4x")
MINUTE = struct.Struct("<HHfffffI4x")
DAILY_KEYS = ["date", "open", "high", "low", "close", "amount", "volume"]
MINUTE_KEYS = ["datetime", "open", "high", "low", "close", "amount", "volume"]


def daily(date=20240105, o=1000, h=1100, lo=900, c=1050, amount=12345.5, volume=777):
    return DAILY.pack(date, o, h, lo, c, amount, volume)


def minute(d=0xA069, t=571, o=10.5, h=11.0, lo=10.0, c=10.75, amount=5e6, volume=4000):
    return MINUTE.pack(d, t, o, h, lo, c, amount, volume)


@pytest.fixture
def write(tmp_path):
    """write(bytes, name="bars.day") -> path of a new file holding them."""

    def _write(data, name="bars.day"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return _write


class TestDailyBars:
    def test_record(self, write):
        (bar,) = read_daily_bars(write(daily(amount=10.1)))
        assert list(bar) == DAILY_KEYS
        assert bar == {
            "date": "2024-01-05",
            "open": 1000 * 0.01,
            "high": 1100 * 0.01,
            "low": 900 * 0.01,
            "close": 1050 * 0.01,
            "amount": 10.100000381469727,
            "volume": 777 * 0.01,
        }
        assert all(type(bar[k]) is float for k in DAILY_KEYS[1:])

    def test_records_in_file_order(self, write):
        data = b"".join(daily(date=20200101 + i, c=i) for i in range(5000))
        bars = read_daily_bars(write(data), price_coeff=1)
        assert [b["close"] for b in bars] == [float(i) for i in range(5000)]
        assert bars[4999]["date"] == "2020-51-00"  # 20205100: not validated

    @pytest.mark.parametrize(
        "raw, text",
        [
            (bytes.fromhex("95D63401"), "2024-00-21"),
            ((0).to_bytes(4, "little"), "0-00-00"),
            ((123).to_bytes(4, "little"), "0-01-23"),
            ((0xFFFFFFFF).to_bytes(4, "little"), "429496-72-95"),
        ],
    )
    def test_date_text(self, write, raw, text):
        (bar,) = read_daily_bars(write(raw + daily()[4:]))
        assert bar["date"] == text

    def test_one_multiplication_by_the_coefficient(self, write):
        path = write(daily(o=35))
        assert read_daily_bars(path)[0]["open"] == 0.35000000000000003
        assert read_daily_bars(path, price_coeff=1)[0]["open"] == 35.0
        assert read_daily_bars(path, 1.0)[0]["open"] == 35.0

    def test_unsigned_fields(self, write):
        big = 0xFFFFFFFF
        (bar,) = read_daily_bars(write(daily(o=big, h=big, lo=big, c=big, volume=big)), 1, 1)
        assert [bar[k] for k in ("open", "high", "low", "close", "volume")] == [4294967295.0] * 5

    def test_each_coefficient_has_its_fields(self, write):
        path = write(daily(o=100, amount=64.0, volume=100))
        base = read_daily_bars(path)[0]
        by_price = read_daily_bars(path, price_coeff=3)[0]
        by_vol = read_daily_bars(path, vol_coeff=3)[0]
        assert by_price["open"] == 300.0
        assert (by_price["amount"], by_price["volume"]) == (base["amount"], base["volume"])
        assert by_vol["volume"] == 300.0
        assert by_vol["amount"] == 64.0 == base["amount"]
        assert by_vol["open"] == base["open"]

    @pytest.mark.parametrize("coeff", [0, -2, float("inf"), 10**20, True])
    def test_any_number_multiplies(self, write, coeff):
        (bar,) = read_daily_bars(write(daily(o=5)), coeff, coeff)
        assert bar["open"] == 5 * float(coeff)
        assert bar["volume"] == 777 * float(coeff)

    def test_nan_coefficient(self, write):
        (bar,) = read_daily_bars(write(daily()), float("nan"))
        assert bar["open"] != bar["open"]

    def test_object_with_float(self, write):
        class Half:
            def __float__(self):
                return 0.5

        (bar,) = read_daily_bars(write(daily(o=10)), price_coeff=Half())
        assert bar["open"] == 5.0

    def test_name_is_not_looked_at(self, write):
        data = daily() * 2
        expected = read_daily_bars(write(data, "a.day"))
        assert read_daily_bars(write(data, "b.lc1")) == expected
        assert read_daily_bars(write(data, "noext")) == expected


class TestMinuteBars:
    def test_record(self, write):
        (bar,) = read_minute_bars(write(minute(o=10.1), "a.lc1"))
        assert list(bar) == MINUTE_KEYS
        assert bar == {
            "datetime": "2024-01-05 09:31",
            "open": 10.100000381469727,
            "high": 11.0,
            "low": 10.0,
            "close": 10.75,
            "amount": 5e6,
            "volume": 4000.0,
        }
        assert type(bar["volume"]) is float

    def test_zero_record(self, write):
        (bar,) = read_minute_bars(write(bytes(32)))
        assert bar == dict.fromkeys(MINUTE_KEYS, 0.0) | {"datetime": "2004-00-00 00:00"}

    @pytest.mark.parametrize(
        "d, t, text",
        [
            (0xFFFF, 65535, "2035-20-47 1092:15"),
            (0xF800 | 1999, 0, "2035-19-99 00:00"),
            (0x0800 | 1231, 599, "2005-12-31 09:59"),
        ],
    )
    def test_datetime_is_not_validated(self, write, d, t, text):
        (bar,) = read_minute_bars(write(minute(d=d, t=t)))
        assert bar["datetime"] == text

    def test_volume_is_unsigned(self, write):
        (bar,) = read_minute_bars(write(minute(volume=0xFFFFFFFF)))
        assert bar["volume"] == 4294967295.0

    def test_special_floats_pass_through(self, write):
        (bar,) = read_minute_bars(write(minute(o=float("inf"), h=-0.0, lo=float("nan"))))
        assert bar["open"] == float("inf")
        assert str(bar["high"]) == "-0.0"
        assert bar["low"] != bar["low"]

    def test_lc1_and_lc5_alike(self, write):
        data = b"".join(minute(t=571 + i, c=float(i)) for i in range(3000))
        one = read_minute_bars(write(data, "x.lc1"))
        assert len(one) == 3000
        assert one[2999] == read_minute_bars(write(data, "x.lc5"))[2999]
        assert one == read_minute_bars(write(data, "x.lc5"))


READERS = pytest.mark.parametrize("reader", [read_daily_bars, read_minute_bars])


class TestSizes:
    @READERS
    @pytest.mark.parametrize("size", [0, 1, 31])
    def test_no_whole_record(self, write, reader, size):
        assert reader(write(daily()[:size])) == []

    @READERS
    @pytest.mark.parametrize("size", [32, 33, 63])
    def test_trailing_bytes_ignored(self, write, reader, size):
        assert len(reader(write((daily() * 2)[:size]))) == 1


class TestFileErrors:
    @READERS
    def test_missing(self, tmp_path, reader):
        path = str(tmp_path / "missing.day")
        with pytest.raises(FileNotFoundError) as exc:
            reader(path)
        assert exc.value.args == ("File not found: " + path,)
        assert exc.value.errno is None

    @READERS
    def test_dangling_link(self, tmp_path, reader):
        link = tmp_path / "link"
        link.symlink_to(tmp_path / "nowhere")
        with pytest.raises(FileNotFoundError, match="^File not found: "):
            reader(str(link))

    @READERS
    def test_relative_path(self, tmp_path, monkeypatch, reader, write):
        write(daily(), "rel.day")
        monkeypatch.chdir(tmp_path)
        assert len(reader("rel.day")) == 1

    @READERS
    def test_nul_in_path(self, write, reader):
        path = write(daily()) + "\0tail"
        with pytest.raises(FileNotFoundError) as exc:
            reader(path)
        assert exc.value.args == ("File not found: " + path,)

    @READERS
    def test_non_ascii_path(self, write, reader):
        path = write(daily(), "\u65e5\u7ebf.day")
        assert len(reader(path)) == 1
        with pytest.raises(FileNotFoundError) as exc:
            reader(path + "x")
        assert exc.value.args == ("File not found: " + path + "x",)

    @READERS
    @pytest.mark.parametrize("path", ["directory", "/proc/self/status"])
    def test_cannot_map(self, tmp_path, reader, path):
        if path == "directory":
            path = str(tmp_path)
        with pytest.raises(OSError) as exc:
            reader(path)
        assert type(exc.value) is OSError
        assert exc.value.args == ("Cannot mmap file: No such device (os error 19)",)
        assert exc.value.errno is None

    @READERS
    def test_socket_cannot_be_opened(self, tmp_path, reader):
        path = str(tmp_path / "sock")
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(path)
            with pytest.raises(OSError) as exc:
                reader(path)
        assert type(exc.value) is OSError
        assert exc.value.args == ("Cannot open file: No such device or address (os error 6)",)

    @READERS
    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
    def test_permission_is_plain_oserror(self, write, reader):
        path = write(daily())
        os.chmod(path, 0)
        with pytest.raises(OSError) as exc:
            reader(path)
        assert type(exc.value) is OSError
        assert exc.value.args == ("Cannot open file: Permission denied (os error 13)",)

    def test_fifo_does_not_block(self, tmp_path):
        # In a child: an open that blocks would hold the interpreter lock for ever.
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        code = textwrap.dedent(
            f"""
            from quillan._core import read_daily_bars, read_minute_bars
            for reader in (read_daily_bars, read_minute_bars):
                try:
                    reader({str(fifo)!r})
                except OSError as e:
                    assert type(e) is OSError and e.args == (
                        "Cannot mmap file: No such device (os error 19)",), e
                else:
                    raise AssertionError("no error")
            """
        )
        subprocess.run([sys.executable, "-P", "-c", code], check=True, timeout=20)


class TestBinding:
    def test_functions_belong_to_the_module(self):
        for name in ("read_daily_bars", "read_minute_bars"):
            fn = getattr(core, name)
            assert fn.__module__ == "_core"
            assert fn.__self__ is core
            assert fn.__name__ == name

    def test_text_signatures(self):
        assert read_daily_bars.__text_signature__ == "(filepath, price_coeff=0.01, vol_coeff=0.01)"
        assert read_minute_bars.__text_signature__ == "(filepath)"

    def test_docstrings(self):
        assert read_daily_bars.__doc__ == (
            "Read daily bars from a .day file. Returns a list of dicts.\n\n"
            "Each dict has keys: date, open, high, low, close, amount, volume.\n"
            "Price values are divided by the given `price_coeff` "
            "(default 0.01 \u2192 \u5206\u2192\u5143).\n"
            "Amount values are divided by `vol_coeff` (default 0.01)."
        )
        assert read_minute_bars.__doc__ == (
            "Read minute bars from a .lc1 or .lc5 file. Returns a list of dicts.\n\n"
            "Each dict has keys: datetime, open, high, low, close, amount, volume."
        )

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: read_daily_bars("a", 1, 2, 3),
             "read_daily_bars() takes from 1 to 3 positional arguments but 4 were given"),
            (lambda: read_minute_bars("a", 1),
             "read_minute_bars() takes 1 positional arguments but 2 were given"),
            (lambda: read_daily_bars(),
             "read_daily_bars() missing 1 required positional argument: 'filepath'"),
            (lambda: read_daily_bars(price_coeff=1),
             "read_daily_bars() missing 1 required positional argument: 'filepath'"),
            (lambda: read_minute_bars(path="a"),
             "read_minute_bars() got an unexpected keyword argument 'path'"),
            (lambda: read_daily_bars("a", 1, price_coeff=1),
             "read_daily_bars() got multiple values for argument 'price_coeff'"),
            (lambda: read_daily_bars(b"a"),
             "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
            (lambda: read_minute_bars(pathlib.Path("a")),
             "argument 'filepath': 'PosixPath' object cannot be cast as 'str'"),
            (lambda: read_daily_bars("a", None),
             "argument 'price_coeff': must be real number, not NoneType"),
            (lambda: read_daily_bars("a", vol_coeff="0.01"),
             "argument 'vol_coeff': must be real number, not str"),
        ],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as exc:
            call()
        assert str(exc.value) == message

    def test_conversion_in_order_before_the_file(self):
        with pytest.raises(TypeError, match="^argument 'filepath'"):
            read_daily_bars(1, None, None)
        with pytest.raises(TypeError, match="^argument 'vol_coeff'"):
            read_daily_bars("/nonexistent", 1, None)

    def test_keywords(self, write):
        path = write(daily(o=2, volume=2))
        (bar,) = read_daily_bars(vol_coeff=3, filepath=path, price_coeff=5)
        assert (bar["open"], bar["volume"]) == (10.0, 6.0)
        assert read_minute_bars(filepath=path)

    def test_str_subclass(self, write):
        class P(str):
            pass

        assert len(read_daily_bars(P(write(daily())))) == 1


def mapping_count():
    with open("/proc/self/maps") as f:
        return sum(1 for _ in f)


class TestResources:
    def test_nothing_left_behind(self, tmp_path, write):
        good = write(daily() * 3000)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        bad = [str(tmp_path / "missing"), str(tmp_path), str(fifo)]
        fds, maps = open_fds(), mapping_count()
        for _ in range(300):
            for reader in (read_daily_bars, read_minute_bars):
                assert len(reader(good)) == 3000
                for path in bad:
                    with pytest.raises(OSError):
                        reader(path)
        assert open_fds() == fds
        assert mapping_count() <= maps + 2  # the allocator may keep an arena or two

    def test_failed_calls_keep_no_references(self, tmp_path):
        path = str(tmp_path / "missing")
        coeff = 0.25
        before = sys.getrefcount(path), sys.getrefcount(coeff)
        for _ in range(1000):
            with pytest.raises(FileNotFoundError):
                read_daily_bars(path, coeff, coeff)
            with pytest.raises(TypeError):
                read_daily_bars(path, coeff, None)
        assert (sys.getrefcount(path), sys.getrefcount(coeff)) == before


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
from quillan._core import read_daily_bars, read_minute_bars
path, stable = sys.argv[1], sys.argv[2]
expected_daily, expected_minute = read_daily_bars(stable), read_minute_bars(stable)
full = short = torn = errors = 0
deadline = time.monotonic() + float(sys.argv[3])
while time.monotonic() < deadline:
    for reader, expected in ((read_daily_bars, expected_daily), (read_minute_bars, expected_minute)):
        try:
            bars = reader(path)
        except OSError:
            errors += 1
            continue
        assert type(bars) is list and len(bars) <= len(expected), len(bars)
        keys = list(expected[0])
        for bar in bars:
            assert list(bar) == keys and all(type(v) in (str, float) for v in bar.values()), bar
        # The same content is written back each time, so a record differs from the one
        # written there only when a truncation zeroed it while it was being copied out: the
        # writer's race, not the reader's.
        torn += sum(a != b for a, b in zip(bars, expected))
        full, short = full + (len(bars) == len(expected)), short + (len(bars) < len(expected))
print(full, short, torn, errors)
"""


class TestShrinkingFile:
    def test_reader_survives_truncation(self, write):
        records = 6000
        data = b"".join(daily(date=20240000 + i, o=i, volume=i) for i in range(records))
        path, stable = write(data), write(data, "stable.day")

        shrinker = subprocess.Popen(
            [sys.executable, "-c", SHRINKER, path], stdout=subprocess.PIPE, text=True
        )
        try:
            assert shrinker.stdout.readline() == "ready\n"
            # The reader runs in a child of its own, so that a crash is a failure here and not
            # the end of the test run.
            done = subprocess.run(
                [sys.executable, "-P", "-c", READER, path, stable, "2.0"],
                capture_output=True, text=True, timeout=60,
            )
        finally:
            shrinker.kill()
            shrinker.wait()
        assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
        full, short, torn, errors = map(int, done.stdout.split())
        assert short > 0  # the truncations did land between or inside reads
