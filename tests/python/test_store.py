"""quillan.Store: imports, syncs, queries, and what a killed writer leaves behind."""

import datetime
import json
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import quillan
from quillan.sim import Server, universe
from quillan.store import Store, StoreBusyError

ENV = dict(
    os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(quillan.__file__)), *sys.path])
)


def run(*args):
    """The command-line tool in a child process."""
    command = [sys.executable, "-m", "quillan", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=300, env=ENV)


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
            records.append(
                struct.pack(
                    "<IIIIIfII", date, price, price + 9, price - 7, price + 3, price * 1000.5, 1000 + d, 0
                )
            )
        path = folder / f"{market}{code}.day"
        path.write_bytes(b"".join(records))
        paths.append(path)
    for i in range(min(count, 3)):
        folder = root / "sh" / "fzline"
        folder.mkdir(parents=True, exist_ok=True)
        records = [
            struct.pack(
                "<HHfffffII", 0xA069, 575 + 5 * m, 10.0 + m, 10.5 + m, 9.5 + m, 10.25 + m, 1e5, 100 * m, 0
            )
            for m in range(12)
        ]
        path = folder / f"sh{600000 + 2 * i + 1:06d}.lc5"
        path.write_bytes(b"".join(records))
        paths.append(path)
    return paths


def stored_rows(store):
    """Every stored bar, sorted, as a DataFrame read with pyarrow.dataset (as a user would)."""
    part = ds.partitioning(pa.schema([("freq", pa.string()), ("bucket", pa.string())]), flavor="hive")
    table = ds.dataset(store.path / "bars", format="parquet", partitioning=part).to_table()
    frame = table.to_pandas()
    frame["symbol"] = frame["market"] + frame["code"]
    return frame.sort_values(["freq", "symbol", "time"]).reset_index(drop=True)


class TestImport:
    def test_rows_equal_what_read_bars_returns(self, tmp_path):
        paths = write_terminal(tmp_path / "vipdoc", 2000)
        (tmp_path / "vipdoc" / "sz" / "lday" / "sz009999.day").write_bytes(b"\x00" * 31)  # no whole record
        store = Store(tmp_path / "store")
        report = store.import_terminal(tmp_path / "vipdoc", progress=False)
        assert len(report.written) == len(paths) and not report.failed
        stored = stored_rows(store)
        expected = []
        for path in paths:
            table = quillan.read_bars(path)
            frame = pd.DataFrame({c: table[c] for c in ("open", "high", "low", "close", "amount", "volume")})
            frame["time"] = table["datetime"].astype("datetime64[ms]")
            frame["freq"] = "1d" if path.suffix == ".day" else "5m"
            frame["symbol"] = path.name.split(".")[0]
            expected.append(frame)
        expected = pd.concat(expected).sort_values(["freq", "symbol", "time"]).reset_index(drop=True)
        pd.testing.assert_frame_equal(stored[expected.columns], expected)
        assert store.bars(paths[-1].stem, "5m")["open"].tolist() == list(quillan.read_bars(paths[-1])["open"])

    def test_unordered_and_failing_files_beside_good_ones(self, tmp_path):
        """Files of one bucket: out of time order (a repeated day keeps its last record), with an
        impossible date (left out), with no possible date (listed as failed), and good."""
        from quillan.store.layout import bucket_of as _bucket

        codes = [
            c
            for c in (f"{i:06d}" for i in range(200))
            if _bucket("sz", c, "1d") == _bucket("sz", "000000", "1d")
        ]
        folder = tmp_path / "sz" / "lday"
        folder.mkdir(parents=True)
        dates = {
            "good": [20240102, 20240103, 20240104],
            "unordered": [20240105, 20240102, 20240103, 20240103],
            "impossible": [20240102, 20241399, 20240104],
            "none possible": [20241399],
        }
        for code, days in zip(codes, dates.values(), strict=False):
            records = [
                struct.pack("<IIIIIfII", d, 1000 + i, 1100, 900, 1050, 1e4, i, 0) for i, d in enumerate(days)
            ]
            (folder / f"sz{code}.day").write_bytes(b"".join(records))
        store = Store(tmp_path / "store")
        with pytest.warns(RuntimeWarning, match="1 of 3 records have an impossible date"):
            report = store.import_terminal(tmp_path, progress=False)
        assert report.failed == {
            str(folder / f"sz{codes[3]}.day"): f"ValueError: not a daily bar (.day) file: no record of "
            f"{folder / f'sz{codes[3]}.day'} has a possible date"
        }
        for code, days, opens in zip(
            codes,
            (["2024-01-02", "2024-01-03", "2024-01-04"], ["2024-01-02", "2024-01-03", "2024-01-05"],
             ["2024-01-02", "2024-01-04"]),
            ([10.0, 10.01, 10.02], [10.01, 10.03, 10.0], [10.0, 10.02]),
            strict=False,
        ):  # fmt: skip
            got = store.bars(f"sz{code}")
            assert got["datetime"].astype("datetime64[D]").astype(str).tolist() == days
            assert got["open"].tolist() == opens
        assert len(store.bars(f"sz{codes[3]}")) == 0

    def test_a_second_import_changes_no_file(self, tmp_path):
        write_terminal(tmp_path / "vipdoc", 4)
        store = Store(tmp_path / "store")
        store.import_terminal(tmp_path / "vipdoc", progress=False)
        before = {p: p.stat().st_mtime_ns for p in store.path.rglob("*") if p.is_file() and p.name != ".lock"}
        report = store.import_terminal(tmp_path / "vipdoc", progress=False)
        assert not report.written
        after = {p: p.stat().st_mtime_ns for p in store.path.rglob("*") if p.is_file() and p.name != ".lock"}
        assert after == before


@pytest.fixture(scope="module")
def imported(tmp_path_factory):
    """A store that `quillan import` filled from a generated terminal folder."""
    root = tmp_path_factory.mktemp("query")
    write_terminal(root / "vipdoc", 12)
    assert run("import", str(root / "vipdoc"), "--store", str(root / "store")).returncode == 0
    return Store(root / "store")


class TestQuery:
    @pytest.fixture
    def store(self, imported):
        return imported

    @pytest.mark.parametrize(
        "query, expect",
        [
            (
                "SELECT datetime, close FROM bars WHERE market = 'sh' AND code = '600001' AND freq = '1d' "
                "ORDER BY datetime",
                lambda f: f[(f.symbol == "sh600001") & (f.freq == "1d")][["time", "close"]],
            ),
            (
                "SELECT market || code AS symbol, close, volume FROM bars WHERE freq = '1d' "
                "AND datetime = TIMESTAMP '2024-01-09' ORDER BY symbol",
                lambda f: f[(f.freq == "1d") & (f.time == "2024-01-09")][["symbol", "close", "volume"]],
            ),
        ],
        ids=["history", "cross-section"],
    )
    def test_quillan_sql_answers_as_pandas_does(self, store, query, expect):
        done = run("sql", query, "--store", str(store.path), "--json")
        assert done.returncode == 0, done.stderr
        got = pd.DataFrame(json.loads(done.stdout))
        want = expect(stored_rows(store)).reset_index(drop=True)
        assert len(want) > 1
        if "time" in want:  # the files' time is the views' datetime, and daily bars print as dates
            want = want.rename(columns={"time": "datetime"})
            want["datetime"] = want["datetime"].dt.strftime("%Y-%m-%d")
        pd.testing.assert_frame_equal(got, want, check_dtype=False)

    def test_empty_store_has_every_view(self, tmp_path):
        (tmp_path / "empty").mkdir()
        (tmp_path / "empty" / "sync.json").write_text("{}")
        store = Store(tmp_path / "empty")
        for view in ("bars", "xdxr", "factors", "bars_adjusted"):
            assert len(store.sql(f"SELECT * FROM {view}")) == 0

    def test_errors_are_one_line(self, store, tmp_path):
        done = run("sql", "SELECT nothing FROM bars", "--store", str(store.path))
        assert done.returncode == 1
        assert done.stderr.startswith("quillan: error: sql: ") and done.stderr.count("\n") == 1


def files_of(store):
    """Every file of the store but the lock, with its modification time."""
    return {p: p.stat().st_mtime_ns for p in store.path.rglob("*") if p.is_file() and p.name != ".lock"}


SECURITIES = ["600036", "000001", "sh000001", "600519"]


class TestSync:
    def test_a_later_sync_adds_the_new_bars_and_replaces_the_last(self, tmp_path):
        store = Store(tmp_path / "store")
        freqs = ["1d", "5m", "1w"]
        with Server(now=datetime.datetime(2024, 3, 12, 10, 32)) as early:
            client = quillan.Client([early.address], pool=3)
            assert store.sync(client, SECURITIES, freqs, progress=False).ok
            before = {f: store.bars("600036", f) for f in freqs}
        with Server(now=datetime.datetime(2024, 3, 14, 14, 0)) as later:
            client = quillan.Client([later.address], pool=3)
            report = store.sync(client, SECURITIES, freqs, progress=False)
            assert report.ok and len(report.written) == len(SECURITIES) * len(freqs)
            for security in SECURITIES:
                for freq in freqs:
                    want = client.bars(security, freq)
                    got = store.bars(security, freq)
                    np.testing.assert_array_equal(got["datetime"], want["datetime"])
                    for column in ("open", "high", "low", "close", "amount", "volume"):
                        np.testing.assert_array_equal(got[column], want[column])
            # What was stored before stays, but for its last bar, which was still trading.
            for freq, old in before.items():
                new = store.bars("600036", freq)
                kept = len(old) - 1
                assert new[:kept].equals(old[:kept])
                assert not new[kept : kept + 1].equals(old[kept:])
            assert store.state()["sh600036/1d"]["last"] == "2024-03-14T00:00:00"

            files = files_of(store)
            report = store.sync(client, SECURITIES, freqs, progress=False)
            assert not report.written and len(report.unchanged) == len(SECURITIES) * (len(freqs) + 1)
            assert files_of(store) == files

    def test_adjusted_view_matches_the_client(self, sim, tmp_path):
        store = Store(tmp_path / "store")
        with quillan.Client([sim.address]) as client:
            store.sync(client, ["600036", "000002"], ["1d", "30m"], progress=False)
            for freq in ("1d", "30m"):
                want = client.bars("600036", freq, adjust="forward")
                got = store.sql(
                    f"SELECT close, adj_factor FROM bars_adjusted WHERE code = '600036' AND freq = '{freq}' "
                    "ORDER BY datetime"
                )
                assert len(set(want["adj_factor"])) > 1
                np.testing.assert_allclose(got["adj_factor"], want["adj_factor"], rtol=1e-12)
                np.testing.assert_allclose(got["close"], want["close"], rtol=1e-12)

    def test_cli_reports_failures_and_a_rerun_finishes(self, sim, tmp_path):
        listed = tmp_path / "list.txt"
        listed.write_text("600036, 000002  # banks and land\n600999\n")
        args = ["--server", sim.address, "--store", str(tmp_path / "store"), "--freq", "1d,15m"]
        done = run("sync", "--from", str(listed), *args)
        assert done.returncode == 1
        assert done.stdout.endswith("store: 6 updated, 1 unchanged, 2 failed\n")  # 600999 has no bars
        lines = done.stderr.splitlines()
        assert lines[0].startswith("quillan: failed: sh600999/15m: LookupError: the server has no 15m bars")
        assert lines[-1] == "quillan: error: 2 failed; run the command again to retry them"
        done = run("sync", "600036", "000002", "--start", "2024-03-01", *args)
        assert done.returncode == 0 and done.stdout.endswith("store: 0 updated, 6 unchanged, 0 failed\n")
        assert len(Store(tmp_path / "store").bars("000002", "15m")) == len(
            universe.bars(universe.find(0, "000002"), 1)
        )


def test_a_store_of_the_earlier_daily_layout_is_refused(tmp_path):
    (tmp_path / "bars" / "freq=1d" / "bucket=40").mkdir(parents=True)
    with pytest.raises(ValueError, match=r"keeps 1d bars in 64 buckets, as earlier builds did .*bucket=40"):
        Store(tmp_path)
    (tmp_path / "intraday" / "bars" / "freq=5m" / "bucket=40").mkdir(parents=True)
    Store(tmp_path / "intraday")  # intraday bars keep 64 buckets


def test_second_writer_says_the_store_is_busy(tmp_path):
    write_terminal(tmp_path / "t", 1)
    store = Store(tmp_path / "store", lock_timeout=0.2)
    code = (
        "import sys, time; from quillan.store import Store\n"
        "s = Store(sys.argv[1])\n"
        "with s._writing():\n"
        "    print('locked', flush=True); time.sleep(30)\n"
    )
    holder = subprocess.Popen(
        [sys.executable, "-c", code, str(store.path)], stdout=subprocess.PIPE, text=True
    )
    try:
        assert holder.stdout.readline().strip() == "locked"
        with pytest.raises(StoreBusyError, match=f"pid {holder.pid}"):
            store.import_terminal(tmp_path / "t", progress=False)
    finally:
        holder.kill()
        holder.wait()


WRITERS = {
    "import": "Store(sys.argv[1]).import_terminal(sys.argv[2], threads=2, progress=False)",
    "sync": "Store(sys.argv[1]).sync(quillan.Client([sys.argv[2]], pool=4), "
    f"{[s.label for s in universe.SECURITIES]!r}, ['1d', '5m', '1m'], progress=False)",
}


def contents(path):
    """Every data file of a store, as a DataFrame, by its path in the store."""
    pq = pytest.importorskip("pyarrow.parquet")
    return {
        str(p.relative_to(path)): pq.read_table(p).to_pandas() for p in sorted(path.rglob("data.parquet"))
    }


def daily_rows(store, *, by_date):
    """The daily bars of a store sorted by security and time: from its bucket files, or from the
    year files its by-date manifest names (None when the manifest is not the buckets')."""
    from quillan.store import bydate

    if not by_date:
        frame = stored_rows(store)
        frame = frame[frame.freq == "1d"]
    else:
        manifest = bydate.Manifest.read(store.path)
        generations = {
            p.parent.name.removeprefix("bucket="): bydate.generation_of(pa.parquet.read_metadata(p))
            for p in (store.path / "bars" / "freq=1d").glob("bucket=*/data.parquet")
        }
        if manifest is None or bydate.stale_buckets(manifest, generations):
            return None
        frame = pa.concat_tables([pa.parquet.read_table(p) for p in manifest.files(store.path)]).to_pandas()
        frame["symbol"] = frame["market"].astype(str) + frame["code"].astype(str)
    columns = ["symbol", "time", "open", "high", "low", "close", "amount", "volume"]
    return frame.sort_values(["symbol", "time"])[columns].reset_index(drop=True)


def test_both_orders_hold_the_same_rows_and_an_older_store_gets_its_copy(sim, tmp_path):
    import pyarrow.parquet

    store = Store(tmp_path / "store")
    with quillan.Client([sim.address]) as client:
        store.sync(client, SECURITIES, ["1d"], progress=False)
        by_day = (
            "SELECT market, code, close FROM bars WHERE freq = '1d' AND datetime = TIMESTAMP '2024-01-05' "
            "ORDER BY market, code"
        )
        want = store.sql(by_day)
        assert len(want) == len(SECURITIES) and daily_rows(store, by_date=True).equals(
            daily_rows(store, by_date=False)
        )
        # As a store of the earlier layout: no copy by date, bucket files without a generation.
        shutil.rmtree(tmp_path / "store" / "bars_by_date")
        for path in (tmp_path / "store" / "bars" / "freq=1d").glob("*/data.parquet"):
            pyarrow.parquet.write_table(pyarrow.parquet.read_table(path), path)
        assert Store(tmp_path / "store").sql(by_day).equals(want)  # read from the buckets meanwhile
        said = []
        store = Store(tmp_path / "store")
        store.notify = said.append
        assert store.sync(client, SECURITIES, ["1d"], progress=False).ok
    assert said == [f"the copy of the daily bars of {store.path} sorted by date is made"]
    assert daily_rows(store, by_date=True).equals(daily_rows(store, by_date=False))
    assert store.sql(by_day).equals(want)


@pytest.mark.slow
@pytest.mark.parametrize("writer", ["import", "sync"])
def test_a_writer_killed_anywhere_is_finished_by_a_rerun(writer, sim, tmp_path):
    write_terminal(tmp_path / "vipdoc", 60, days=200)
    source = str(tmp_path / "vipdoc") if writer == "import" else sim.address
    command = [
        sys.executable,
        "-c",
        "import sys, quillan\nfrom quillan.store import Store\n" + WRITERS[writer],
    ]
    began = time.monotonic()
    subprocess.run([*command, str(tmp_path / "reference"), source], check=True, env=ENV)
    took = time.monotonic() - began
    want = contents(tmp_path / "reference")

    store = tmp_path / "store"
    rng = random.Random(3)
    for _ in range(20):
        child = subprocess.Popen([*command, str(store), source], env=ENV)
        time.sleep(rng.uniform(0.0, took))
        child.send_signal(signal.SIGKILL)
        child.wait()
        if any(store.rglob("data.parquet")):  # a reader in between sees whole files, one answer
            stored_rows(Store(store))
            Store(store).sql("SELECT count(*) FROM bars_adjusted")
            daily = Store(store).sql("SELECT market || code AS symbol, datetime FROM bars WHERE freq = '1d'")
            assert len(daily) == len(daily_rows(Store(store), by_date=False))
    subprocess.run([*command, str(store), source], check=True, env=ENV)
    got = contents(store)
    assert list(got) == list(want)
    for name, frame in want.items():
        pd.testing.assert_frame_equal(got[name], frame)
    assert not list(store.rglob("*.tmp"))
    assert daily_rows(Store(store), by_date=True).equals(daily_rows(Store(store), by_date=False))

    def summary(state):
        return {key: (entry["last"], entry["rows"]) for key, entry in state.items()}

    assert summary(Store(store).state()) == summary(Store(tmp_path / "reference").state())


@pytest.mark.parametrize("missing", ["pyarrow", "duckdb"])
def test_a_missing_dependency_names_the_extra(missing, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(
        ImportError, match=rf"needs {missing}: install it with pip install 'quillan\[store\]'"
    ):
        Store(tmp_path).sql("SELECT 1")
