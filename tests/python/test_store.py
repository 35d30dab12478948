"""quillan.Store: imports, syncs, queries, and what a killed writer leaves behind."""

import os
import random
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import quillan
from quillan.store import Store, StoreBusyError

pa = pytest.importorskip("pyarrow")
ds = pytest.importorskip("pyarrow.dataset")
pd = pytest.importorskip("pandas")


def write_terminal(root, count, *, days=40, seed=7):
    """A terminal's folder with `count` daily files and a few minute files; returns the paths."""
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        market = "sh" if i % 2 else "sz"
        code = f"{600000 + i:06d}" if market == "sh" else f"{i:06d}"
        folder = root / market / "lday"
        folder.mkdir(parents=True, exist_ok=True)
        price = rng.randint(500, 5000)
        records = []
        for d in range(days):
            price = max(100, price + rng.randint(-50, 50))
            date = 20240101 + (d // 28) * 100 + d % 28
            records.append(struct.pack("<IIIIIfII", date, price, price + 9, price - 7, price + 3,
                                       price * 1000.5, 1000 + d, 0))
        path = folder / f"{market}{code}.day"
        path.write_bytes(b"".join(records))
        paths.append(path)
    for i in range(min(count, 3)):
        folder = root / "sh" / "fzline"
        folder.mkdir(parents=True, exist_ok=True)
        records = [struct.pack("<HHfffffII", 0xA069, 575 + 5 * m, 10.0 + m, 10.5 + m, 9.5 + m, 10.25 + m,
                               1e5, 100 * m, 0) for m in range(12)]
        path = folder / f"sh{600000 + 2 * i + 1:06d}.lc5"
        path.write_bytes(b"".join(records))
        paths.append(path)
    return paths


def stored_rows(store):
    """Every stored bar, sorted, as a DataFrame read with pyarrow.dataset (as a user would)."""
    part = ds.partitioning(pa.schema([("freq", pa.string()), ("symbol", pa.string())]), flavor="hive")
    table = ds.dataset(store.path / "bars", format="parquet", partitioning=part).to_table()
    return table.to_pandas().sort_values(["freq", "symbol", "time"]).reset_index(drop=True)


class TestImport:
    def test_rows_equal_what_read_bars_returns(self, tmp_path):
        paths = write_terminal(tmp_path / "vipdoc", 30)
        (tmp_path / "vipdoc" / "sz" / "lday" / "sz000999.day").write_bytes(b"\x00" * 31)  # no whole record
        store = Store(tmp_path / "store")
        report = store.import_terminal(tmp_path / "vipdoc", progress=False)
        assert len(report.written) == len(paths)
        for path in paths:
            name = path.name.split(".")[0]
            freq = "1d" if path.suffix == ".day" else "5m"
            expected = quillan.read_bars(path)
            got = store.bars(name, freq)
            assert len(got) == len(expected)
            for column in ("open", "high", "low", "close", "amount", "volume"):
                np.testing.assert_array_equal(got[column], expected[column])
            time_column = expected.columns[0]
            np.testing.assert_array_equal(got["time"], expected[time_column].astype("datetime64[s]"))

    def test_a_second_import_changes_no_file(self, tmp_path):
        write_terminal(tmp_path / "vipdoc", 4)
        store = Store(tmp_path / "store")
        store.import_terminal(tmp_path / "vipdoc", progress=False)
        before = {p: p.stat().st_mtime_ns for p in store.path.rglob("*") if p.is_file() and p.name != ".lock"}
        report = store.import_terminal(tmp_path / "vipdoc", progress=False)
        assert not report.written
        after = {p: p.stat().st_mtime_ns for p in store.path.rglob("*") if p.is_file() and p.name != ".lock"}
        assert after == before


class TestQuery:
    @pytest.fixture
    def store(self, tmp_path):
        write_terminal(tmp_path / "vipdoc", 12)
        store = Store(tmp_path / "store")
        store.import_terminal(tmp_path / "vipdoc", progress=False)
        return store

    def test_history_and_cross_section_match_pandas(self, store):
        frame = stored_rows(store)
        frame["market"] = frame["symbol"].str[:2]
        history = store.sql(
            "SELECT time, close FROM bars WHERE market = 'sh' AND code = '600001' AND freq = '1d' ORDER BY time"
        )
        want = frame[(frame.symbol == "sh600001") & (frame.freq == "1d")]
        np.testing.assert_array_equal(history["close"], want["close"].to_numpy())
        np.testing.assert_array_equal(history["time"], want["time"].to_numpy().astype("datetime64[s]"))

        day = want["time"].iloc[5]
        section = store.sql(
            f"SELECT market || code AS symbol, close FROM bars WHERE freq = '1d' "
            f"AND time = TIMESTAMP '{day}' ORDER BY symbol"
        )
        want = frame[(frame.freq == "1d") & (frame.time == day)].sort_values("symbol")
        assert list(section["symbol"]) == list(want["symbol"])
        np.testing.assert_array_equal(section["close"], want["close"].to_numpy())

    def test_empty_store_has_every_view(self, tmp_path):
        store = Store(tmp_path / "empty")
        for view in ("bars", "xdxr", "bars_adjusted"):
            assert len(store.sql(f"SELECT * FROM {view}")) == 0


def test_second_writer_says_the_store_is_busy(tmp_path):
    store = Store(tmp_path / "store", lock_timeout=0.2)
    code = (
        "import sys, time; from quillan.store import Store\n"
        "s = Store(sys.argv[1])\n"
        "with s._locked():\n"
        "    print('locked', flush=True); time.sleep(30)\n"
    )
    holder = subprocess.Popen([sys.executable, "-c", code, str(store.path)], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "locked"
        with pytest.raises(StoreBusyError, match=f"pid {holder.pid}"):
            store.import_terminal(tmp_path, progress=False)
    finally:
        holder.kill()
        holder.wait()


IMPORT = """
import sys
from quillan.store import Store
Store(sys.argv[1]).import_terminal(sys.argv[2], threads=2, progress=False)
"""


@pytest.mark.slow
def test_killed_import_is_finished_by_a_rerun(tmp_path):
    write_terminal(tmp_path / "vipdoc", 60, days=200)
    reference = Store(tmp_path / "reference")
    reference.import_terminal(tmp_path / "vipdoc", progress=False)
    want = stored_rows(reference)

    store = tmp_path / "store"
    rng = random.Random(3)
    for _ in range(20):
        child = subprocess.Popen([sys.executable, "-c", IMPORT, str(store), str(tmp_path / "vipdoc")])
        time.sleep(rng.uniform(0.05, 1.5))
        child.send_signal(signal.SIGKILL)
        child.wait()
        if (store / "bars").exists():
            stored_rows(Store(store))  # a reader in between sees whole files only
    subprocess.run([sys.executable, "-c", IMPORT, str(store), str(tmp_path / "vipdoc")], check=True)
    pd.testing.assert_frame_equal(stored_rows(Store(store)), want)
    assert not [p for p in store.rglob("*.tmp")]
    def summary(state):
        return {key: (entry["last"], entry["rows"]) for key, entry in state.items()}

    assert summary(Store(store).state()) == summary(reference.state())
