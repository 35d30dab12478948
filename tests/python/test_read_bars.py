"""read_bars: the same files as the dict readers, as columns; its own rules and errors."""

import datetime
import importlib.util
import os
import pathlib
import random
import socket
import subprocess
import sys
import warnings
import zoneinfo

import numpy as np
import pytest

from quillan import read_bars, read_daily_bars, read_minute_bars
from quillan._columnar import ColumnBuffer, read_bar_columns, read_bar_files
from quillan._columns import as_array
from quillan.bars import price_scale
from quillan.sim import data
from test_files import SHRINKER, daily, minute

PRICES = ("open", "high", "low", "close")


def _bench():
    path = pathlib.Path(__file__).parents[2] / "bench" / "bench_files.py"
    spec = importlib.util.spec_from_file_location("bench_files", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def dict_date(value, daily):
    """The dict reader's text of a datetime64 value."""
    if np.isnat(value):
        return None
    text = str(value)
    return text[:10] if daily else text.replace("T", " ")[:16]


def expect_equal(path, table):
    """The Table's columns against the dict reader's values for the same file."""
    daily = str(path).endswith(".day")
    if daily:
        raw = read_daily_bars(path, 1, 1)  # the stored integers, exactly
        scale = price_scale(path)
        for key in PRICES:
            assert np.array_equal(table[key], np.array([b[key] for b in raw]) / scale)
        texts = [b["date"] for b in raw]
    else:
        raw = read_minute_bars(path)
        for key in PRICES:
            assert np.array_equal(table[key], [b[key] for b in raw])
        texts = [b["datetime"] for b in raw]
    for key in ("amount", "volume"):
        assert np.array_equal(table[key], [b[key] for b in raw])
    assert len(table) == len(raw)
    assert table.columns == ("datetime", "open", "high", "low", "close", "amount", "volume")
    assert [dict_date(v, daily) for v in table["datetime"]] == [
        None if np.isnat(v) else t for v, t in zip(table["datetime"], texts, strict=False)
    ]


def sim_files():
    return [name for name in data.report_file_names() if name.endswith((".day", ".lc5"))]


@pytest.fixture
def write(tmp_path):
    def _write(content, name="sh600036.day"):
        (tmp_path / name).write_bytes(content)
        return str(tmp_path / name)

    return _write


class TestSameValuesAsTheDictReaders:
    @pytest.mark.parametrize("name", sim_files())
    @pytest.mark.parametrize("cut", [None, 0, 1, 32, 45, 32 * 7 + 5])
    def test_simulator_report_files(self, write, name, cut):
        content = data.report_file_bytes(name)
        path = write(content if cut is None else content[:cut], os.path.basename(name))
        table = read_bars(path)
        expect_equal(path, table)
        assert len(table) == (len(content) if cut is None else cut) // 32

    @pytest.mark.parametrize("kind, n", [("daily", 8000), ("minute", 8000), ("daily", 75_000)])
    def test_benchmark_files(self, tmp_path, kind, n):
        bench = _bench()
        path = str(tmp_path / ("sz000001.day" if kind == "daily" else "sz000001.lc1"))
        getattr(bench, f"write_{kind}")(path, n, random.Random(n))
        table = read_bars(path)
        expect_equal(path, table)
        assert not np.isnat(table["datetime"]).any()

    def test_file_records(self, write):
        path = write(daily() + daily(o=35, c=2949) + daily(date=20240230), "x.day")
        with pytest.warns(RuntimeWarning, match="1 of 3 records"):
            table = read_bars(path)
        expect_equal(path, table)
        # Divided, not multiplied: the nearest doubles to the decimal prices.
        assert table["open"][1] == 0.35 and table["close"][1] == 29.49
        assert [b["close"] for b in read_daily_bars(path)][1] == 29.490000000000002
        # Volume as stored (shares); the dict reader's default gives lots.
        assert table["volume"][0] == 777 == read_daily_bars(path)[0]["volume"] * 100
        lc1 = write(minute() + minute(d=0xFFFF, t=65535) + bytes(32), "x.lc1")
        with pytest.warns(RuntimeWarning, match="2 of 3 records"):
            expect_equal(lc1, read_bars(lc1))


class TestColumns:
    def test_dtypes_and_sharing(self, write):
        table = read_bars(write(daily() * 3))
        assert [str(table[c].dtype) for c in table.columns] == ["datetime64[s]"] + ["float64"] * 6
        owner = table["close"]
        assert not owner.flags.writeable
        while isinstance(owner, np.ndarray):
            owner = owner.base
        assert isinstance(owner, ColumnBuffer)  # a view of the native buffer, no copy

    def test_buffer_protocol(self, write):
        columns, impossible = read_bar_columns(os.fsencode(write(daily() * 5, "a.lc5")), True)
        buffer = columns["datetime"]
        assert (impossible, len(buffer), buffer.dtype) == (5, 5, "datetime64[s]")
        view = memoryview(buffer)
        assert (view.format, view.itemsize, view.shape, view.readonly) == ("q", 8, (5,), True)
        with pytest.raises(ValueError, match="WRITEABLE"):
            np.frombuffer(buffer, dtype=np.int64).setflags(write=True)

    @pytest.mark.parametrize(
        "name, scale",
        [
            ("sh510300.day", 1000), ("SH900901.DAY", 1000), ("sz159915.day", 1000), ("sz161725.day", 1000),
            ("sz184801.day", 1000), ("sh600036.day", 100), ("sz300750.day", 100), ("bj430047.day", 100),
            ("sh688981.day", 100),  # not measured: hundredths
            ("sh51030.day", 100),  # not a six-digit code
            ("sz510300.day", 100),  # 5 means thousandths in Shanghai only
            ("bars.day", 100),
        ],
    )  # fmt: skip
    def test_scale_from_the_name(self, write, name, scale):
        path = write(daily(o=2949), name)
        assert price_scale(path) == scale
        assert read_bars(path)["open"][0] == 2949 / scale
        assert read_bars(path, scale=10)["open"][0] == 294.9

    def test_tz_makes_utc_instants(self, write):
        path = write(minute() + bytes(32) + minute(), "x.lc1")
        with pytest.warns(RuntimeWarning):
            naive, shanghai = read_bars(path), read_bars(path, tz="Asia/Shanghai")
        assert shanghai.tz == "Asia/Shanghai" and naive.tz is None
        assert str(naive["datetime"][0]) == "2024-01-05T09:31:00"
        assert str(shanghai["datetime"][0]) == "2024-01-05T01:31:00"
        assert np.isnat(shanghai["datetime"][1])
        day = read_bars(write(daily(), "x.day"), tz="Asia/Shanghai")
        assert day.tz == "Asia/Shanghai" and str(day["datetime"][0]) == "2024-01-04T16:00:00"  # its midnight

    def test_tz_across_clock_changes(self, write):
        # Every ten minutes of 2024-03-10 and 2024-11-03 in New York, skipped and repeated hours
        # included, and a day without a change.
        records, wall = [], []
        for year, month, day in [(2024, 3, 10), (2024, 11, 3), (2024, 7, 1)]:
            for t in range(0, 1440, 10):
                records.append(minute(d=(year - 2004) << 11 | month * 100 + day, t=t))
                wall.append(datetime.datetime(year, month, day, t // 60, t % 60))
        table = read_bars(write(b"".join(records), "x.lc5"), tz="America/New_York")
        zone = zoneinfo.ZoneInfo("America/New_York")
        expected = [
            (w.replace(tzinfo=zone).astimezone(datetime.UTC).replace(tzinfo=None)).isoformat() for w in wall
        ]
        assert [str(v) for v in table["datetime"]] == expected


@pytest.mark.parametrize("suffix", [".day", ".lc5"])
def test_many_files_read_as_each_alone(tmp_path, write, suffix):
    """One call over several files: each file's rows, in order, as reading it alone gives them,
    and each failing file's error as read_bars raises it, the others read."""
    minute_file = suffix != ".day"
    record = minute if minute_file else daily
    contents = [
        b"".join(record(o=1000 + i) if not minute_file else record(o=10.0 + i) for i in range(n))
        for n in (3, 0, 2048 * 2 + 5)
    ]
    paths = [write(data, f"sz00000{i}{suffix}") for i, data in enumerate(contents)]
    paths.insert(1, str(tmp_path / f"missing{suffix}"))
    paths.append(str(tmp_path))  # a directory: cannot be mapped
    columns, counts, impossible, errors = read_bar_files(
        [(os.fsencode(p), 100.0) for p in paths], minute_file
    )
    assert counts == [3, 0, 0, 2048 * 2 + 5, 0] and impossible == [0] * 5
    for i, path in enumerate(paths):
        if i in (1, 4):
            with pytest.raises(OSError) as alone:
                read_bars(path, kind=suffix[1:])
            assert (type(errors[i]), errors[i].args) == (type(alone.value), alone.value.args)
        else:
            assert errors[i] is None
    expected = [read_bars(p) for i, p in enumerate(paths) if i not in (1, 4)]
    for name, buffer in columns.items():
        assert np.array_equal(as_array(buffer), np.concatenate([t[name] for t in expected]))


class TestErrors:
    @pytest.mark.parametrize("suffix", ["/missing.day", "/bars.day\0.day", "/\u65e5\u7ebf.lc1"])
    def test_not_found_as_the_dict_readers(self, tmp_path, suffix):
        with pytest.raises(FileNotFoundError) as exc:
            read_bars(str(tmp_path) + suffix)
        assert exc.value.args == ("File not found: " + str(tmp_path) + suffix,)
        with pytest.raises(FileNotFoundError):
            read_bars(tmp_path / "missing.day")

    @pytest.mark.parametrize("kind", ["directory", "proc", "socket"])
    def test_cannot_open_as_the_dict_readers(self, tmp_path, kind):
        path = {"directory": str(tmp_path), "proc": "/proc/self/status", "socket": str(tmp_path / "s")}[kind]
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(str(tmp_path / "s"))
            with pytest.raises(OSError) as mine:
                read_bars(path, kind="day")
            with pytest.raises(OSError) as theirs:
                read_daily_bars(path)
        assert (type(mine.value), mine.value.args) == (type(theirs.value), theirs.value.args)

    def test_fifo_does_not_block(self, tmp_path):
        os.mkfifo(tmp_path / "fifo.day")
        code = (
            "from quillan import read_bars\n"
            f"try: read_bars({str(tmp_path / 'fifo.day')!r})\n"
            "except OSError as e: print(type(e).__name__, e)\n"
        )
        done = subprocess.run(
            [sys.executable, "-c", code], check=False, capture_output=True, text=True, timeout=20
        )
        assert done.stdout == "OSError Cannot mmap file: No such device (os error 19)\n"

    @pytest.mark.parametrize(
        "name, content, kind, message",
        [
            ("x.lc5", minute() * 3, "day", r"not a daily bar \(.day\) file: no record of .*x.lc5 has"),
            ("x.day", daily(date=20240000) * 2, None, "not a daily bar"),
            ("x.lc1", bytes(64), None, r"not a minute bar \(.lc1 or .lc5\) file"),
        ],
    )
    def test_wrong_kind_of_file(self, write, name, content, kind, message):
        with pytest.raises(ValueError, match=message):
            read_bars(write(content, name), kind=kind)

    def test_day_file_read_as_minutes_warns_once(self, write):
        dates = [y * 10000 + m * 100 + 15 for y in range(1990, 2031) for m in range(1, 13)]
        path = write(b"".join(daily(date=d) for d in dates), "x.lc1")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            table = read_bars(path)
        assert [str(w.message).split(":")[0] for w in caught] == [path]
        assert np.isnat(table["datetime"]).sum() == int(str(caught[0].message).split()[1])

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda p: read_bars(p + ".csv"), ValueError, "cannot tell the kind"),
            (lambda p: read_bars(p, kind="lc2"), ValueError, "kind must be"),
            (lambda p: read_bars(p, scale=0), ValueError, "positive finite"),
            (lambda p: read_bars(p, scale=float("nan")), ValueError, "positive finite"),
            (lambda p: read_bars(p, scale="100"), TypeError, "real number"),
            (lambda p: read_bars(p, kind="lc1", scale=100), ValueError, "scale applies to daily"),
            (lambda p: read_bars(p, tz="Mars/Base"), zoneinfo.ZoneInfoNotFoundError, "Mars"),
            (lambda p: read_bars(3), TypeError, "os.PathLike"),
            (lambda p: read_bar_columns(p.encode(), False, -1.0), ValueError, "positive finite"),
        ],
    )
    def test_arguments(self, write, call, error, message):
        with pytest.raises(error, match=message):
            call(write(daily()))

    def test_paths(self, write):
        path = write(daily())
        assert read_bars(pathlib.Path(path)).equals(read_bars(os.fsencode(path)))


READER = """
import sys, time, warnings
from quillan import read_bars
warnings.simplefilter("ignore")
path, n = sys.argv[1], int(sys.argv[2])
short = 0
deadline = time.monotonic() + 2
while time.monotonic() < deadline:
    try:
        table = read_bars(path)
    except (OSError, ValueError):  # gone, or cut to records the writer had zeroed
        continue
    assert len(table) <= n and all(len(table[c]) == len(table) for c in table.columns)
    short += len(table) < n
print(short)
"""


def test_file_shrinking_under_the_reader(write):
    n = 6000
    path = write(b"".join(daily(date=20240101 + i % 28, o=i) for i in range(n)))
    shrinker = subprocess.Popen([sys.executable, "-c", SHRINKER, path], stdout=subprocess.PIPE, text=True)
    try:
        assert shrinker.stdout.readline() == "ready\n"
        reader = [sys.executable, "-c", READER, path, str(n)]
        done = subprocess.run(reader, check=False, capture_output=True, text=True, timeout=60)
    finally:
        shrinker.kill()
        shrinker.wait()
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert int(done.stdout) > 0
