"""The market's shape from a store: calendar, securities, universe, gaps, and the qlib export."""

import os

import numpy as np
import pytest

from quillan import cli
from quillan.market import bar_times, kind_of
from quillan.store import Store

pytest.importorskip("pyarrow")
pytest.importorskip("duckdb")

RECORD = np.dtype(
    [("date", "<u4"), ("open", "<u4"), ("high", "<u4"), ("low", "<u4"), ("close", "<u4"),
     ("amount", "<f4"), ("volume", "<u4"), ("reserved", "<u4")]
)  # fmt: skip
MINUTE = np.dtype(
    [("date", "<u2"), ("minute", "<u2"), ("open", "<f4"), ("high", "<f4"), ("low", "<f4"),
     ("close", "<f4"), ("amount", "<f4"), ("volume", "<u4"), ("reserved", "<u4")]
)  # fmt: skip
HOLIDAYS = np.array(
    ["2024-02-09", "2024-02-12", "2024-02-13", "2024-02-14", "2024-04-04", "2024-05-01"], "M8[D]"
)
DAYS = np.arange(np.datetime64("2024-01-02"), np.datetime64("2024-06-29"))
DAYS = np.setdiff1d(DAYS[np.is_busday(DAYS)], HOLIDAYS)
LATE, EARLY = DAYS[40], DAYS[80]
SUSPENDED = DAYS[60:65]


def write_day(root, symbol, days):
    folder = root / symbol[:2] / "lday"
    folder.mkdir(parents=True, exist_ok=True)
    records = np.zeros(len(days), RECORD)
    ymd = days.astype(object)
    records["date"] = [d.year * 10000 + d.month * 100 + d.day for d in ymd]
    price = 1000 + np.arange(len(days), dtype=np.uint32)
    records["open"], records["high"], records["low"], records["close"] = (
        price,
        price + 9,
        price - 7,
        price + 3,
    )
    records["amount"], records["volume"] = price * 100.0, 500
    (folder / f"{symbol}.day").write_bytes(records.tobytes())


def market(root, *, index=True, stray=None):
    """A terminal's folder of half a year: an index, a security listed late, one delisted early,
    one suspended for five days, one that trades throughout (and, when given, a bar on a day
    the market was closed), and two days of five-minute bars with a hole."""
    if index:
        write_day(root, "sh000001", DAYS)
    write_day(root, "sh600000", DAYS if stray is None else np.sort(np.append(DAYS, stray)))
    write_day(root, "sz000002", DAYS[DAYS >= LATE])
    write_day(root, "sh600010", DAYS[DAYS <= EARLY])
    write_day(root, "sz000004", np.setdiff1d(DAYS, SUSPENDED))
    folder = root / "sh" / "fzline"
    folder.mkdir(parents=True)
    records = np.zeros(96, MINUTE)
    for i, day in enumerate(DAYS[-2:].astype(object)):
        records["date"][i * 48 : i * 48 + 48] = (day.year - 2004) * 2048 + day.month * 100 + day.day
    records["minute"] = np.tile(bar_times("5m").astype(np.int64), 2)
    records["open"] = records["high"] = records["low"] = records["close"] = 10.0
    (folder / "sh600000.lc5").write_bytes(np.delete(records, [50, 51]).tobytes())
    return root


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    root = tmp_path_factory.mktemp("shape")
    store = Store(root / "store")
    store.import_terminal(market(root / "vipdoc"), progress=False)
    return store


def test_calendar_universe_and_gaps(store):
    assert store.verify() == []  # each bucket's listing matches its rows
    assert np.array_equal(store.calendar(), DAYS)
    april = DAYS[(np.datetime64("2024-04-01") <= DAYS) & (np.datetime64("2024-04-08") >= DAYS)]
    assert np.array_equal(store.calendar("2024-04-01", "2024-04-08"), april)
    table = store.securities()
    rows = {m + c: row for m, c, *row in zip(*(table[name] for name in table.columns), strict=True)}
    first, last, n = DAYS[0], DAYS[-1], len(DAYS)
    assert rows == {
        "sh000001": ["index", first, last, n, 0, True],
        "sh600000": ["stock", first, last, n, 0, True],
        "sh600010": ["stock", first, EARLY, 81, 0, False],
        "sz000002": ["stock", LATE, last, n - 40, 0, True],
        "sz000004": ["stock", first, last, n - 5, 5, True],
    }
    assert table.columns == ("market", "code", "kind", "first", "last", "days", "missing", "active")
    assert np.array_equal(store.gaps("sz000004"), SUSPENDED)
    assert store.gaps("sh600010").dtype == np.dtype("M8[D]") and not len(store.gaps("sh600010"))
    hole = DAYS[-1].astype("M8[s]") + bar_times("5m")[2:4].astype("m8[s]")
    assert np.array_equal(store.gaps("sh600000", "5m"), hole)

    def listed(day):
        found = store.universe(day)
        return {m + c for m, c in zip(found["market"], found["code"], strict=True)}

    assert "sh600010" in listed(EARLY) and "sh600010" not in listed(DAYS[81])
    assert "sz000002" not in listed(DAYS[39]) and "sz000002" in listed(LATE)
    assert "sz000004" in listed(SUSPENDED[2])  # suspended, not delisted


def test_without_an_index_half_of_the_listed_securities_make_a_trading_day(tmp_path):
    saturday = np.datetime64("2024-03-02")
    store = Store(tmp_path / "store")
    store.import_terminal(market(tmp_path / "vipdoc", index=False, stray=saturday), progress=False)
    assert np.array_equal(store.calendar(), DAYS)  # one bar of four listed is no trading day
    table = store.securities()
    stray = table[table["code"] == "600000"]
    assert stray["days"][0] == len(DAYS) + 1 and stray["missing"][0] == 0


@pytest.mark.parametrize(
    ("ask", "error", "message"),
    [
        (lambda s: s.universe("2024-02-10"), ValueError, "not a trading day .* 2024-02-08 and 2024-02-15"),
        (
            lambda s: s.universe("2023-12-29"),
            ValueError,
            "outside the store's calendar, .* 2024-01-02 to 2024-06-28",
        ),
        (lambda s: s.gaps("sh600999"), LookupError, "holds no 1d bars of sh600999"),
        (lambda s: s.gaps("sh600000", "1w"), ValueError, "daily and intraday bars, not 1w"),
        (
            lambda s: s.export_qlib("unused", securities=["sh600999"]),
            LookupError,
            "no daily bars of sh600999",
        ),
        (lambda s: s.export_qlib("unused", start="2030-01-01"), ValueError, "no trading day"),
    ],
)
def test_questions_the_store_cannot_answer(store, ask, error, message):
    with pytest.raises(error, match=message):
        ask(store)


def test_a_store_without_daily_bars(tmp_path):
    root = market(tmp_path / "vipdoc")
    for path in root.glob("*/lday"):
        for file in path.iterdir():
            file.unlink()
    store = Store(tmp_path / "store")
    store.import_terminal(root, progress=False)
    with pytest.raises(LookupError, match="holds no daily bars"):
        store.securities()


def test_a_bucket_written_before_listings_gives_the_same_answers(store, tmp_path):
    import pyarrow.parquet as pq

    before = store.securities()
    copy = Store(tmp_path / "copy")
    copy.import_terminal(market(tmp_path / "vipdoc"), progress=False)
    for path in (copy.path / "bars" / "freq=1d").glob("*/data.parquet"):
        meta = pq.read_metadata(path).metadata
        pq.write_table(
            pq.read_table(path).replace_schema_metadata(
                {k: v for k, v in meta.items() if b"listing" not in k}
            ),
            path,
        )
    assert copy.securities().equals(before) and np.array_equal(copy.calendar(), DAYS)


def read_bin(path):
    values = np.fromfile(path, dtype="<f4")
    return int(values[0]), values[1:]


def test_qlib_export_of_a_synced_store(sim, tmp_path):
    from quillan import Client

    store = Store(tmp_path / "store")
    store.sync(Client(sim.address), ["sh000001", "sh600036"], progress=False)
    target = tmp_path / "qlib"
    assert store.export_qlib(target, progress=False) == 2
    calendar = store.calendar()
    lines = (target / "calendars" / "day.txt").read_text().splitlines()
    assert lines == [str(d) for d in calendar]
    assert (target / "instruments" / "all.txt").read_text() == "".join(
        f"{s}\t{calendar[0]}\t{calendar[-1]}\n" for s in ("SH000001", "SH600036")
    )
    raw, adjusted = store.bars("sh600036"), store.bars("sh600036", adjust="forward")
    factor = adjusted["close"] / raw["close"]
    assert len(np.unique(factor)) > 2  # ex-rights events within the bars
    close = adjusted["close"]
    want = {
        "open": adjusted["open"], "close": close, "volume": raw["volume"] / factor, "amount": raw["amount"],
        "factor": factor, "change": np.append(np.nan, close[1:] / close[:-1] - 1),
    }  # fmt: skip
    for field, values in want.items():
        start, got = read_bin(target / "features" / "sh600036" / f"{field}.day.bin")
        assert start == 0 and len(got) == len(calendar)
        np.testing.assert_allclose(got, values.astype("<f4"), rtol=2e-7, equal_nan=True, err_msg=field)


def test_qlib_export_of_holes_and_a_part_of_the_calendar(store, tmp_path):
    target = tmp_path / "qlib"
    assert store.export_qlib(target, securities=["sz000004", "sz000002"], start=DAYS[30], progress=False) == 2
    start, close = read_bin(target / "features" / "sz000004" / "close.day.bin")
    assert start == 0 and len(close) == len(DAYS) - 30
    assert np.isnan(close[30:35]).all() and not np.isnan(np.delete(close, range(30, 35))).any()
    start, close = read_bin(target / "features" / "sz000002" / "close.day.bin")
    assert start == 10 and close[0] == np.float32(10.03)
    # An export replaces the dataset an export made, and a killed one's folder is removed.
    leftover = tmp_path / ".qlib.export-0123456789ab"
    leftover.mkdir()
    assert store.export_qlib(target, securities=["sh600000"], progress=False) == 1
    assert sorted(os.listdir(target / "features")) == ["sh600000"] and not leftover.exists()
    assert sorted(os.listdir(tmp_path)) == ["qlib"]
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "notes.txt").write_text("keep")
    with pytest.raises(FileExistsError, match="not a qlib dataset"):
        store.export_qlib(tmp_path / "mine", progress=False)
    assert (tmp_path / "mine" / "notes.txt").read_text() == "keep"


@pytest.mark.skipif(
    not __import__("importlib.util").util.find_spec("qlib"), reason="needs qlib (pip install pyqlib)"
)
def test_qlib_reads_the_export(store, tmp_path):
    import qlib
    from qlib.data import D

    store.export_qlib(tmp_path / "qlib", progress=False)
    qlib.init(provider_uri=str(tmp_path / "qlib"))
    frame = D.features(["SZ000004"], ["$close", "$factor"], freq="day")
    bars = store.bars("sz000004")
    np.testing.assert_allclose(frame["$close"].dropna().to_numpy(), bars["close"].astype("f4"))


@pytest.mark.parametrize(
    ("args", "first_line", "lines"),
    [
        (["calendar", "--csv", "--start", "2024-06-27"], "date", ["2024-06-27", "2024-06-28"]),
        (["securities", "--csv", "--inactive"], "market,code,kind,first,last,days,missing,active",
         [f"sh,600010,stock,2024-01-02,{EARLY},81,0,False"]),
        (["gaps", "sz000004", "--csv"], "date", [str(d) for d in SUSPENDED]),
    ],
)  # fmt: skip
def test_commands(store, capsys, args, first_line, lines):
    assert cli.main([*args, "--store", str(store.path)]) == 0
    assert capsys.readouterr().out.splitlines() == [first_line, *lines]


def test_export_command(store, capsys, tmp_path):
    assert cli.main(["export", "qlib", str(tmp_path / "q"), "sh600000", "--store", str(store.path)]) == 0
    assert capsys.readouterr().out.endswith(": 1 security\n")
    assert cli.main(["gaps", "sh600999", "--store", str(store.path)]) == 1
    assert "holds no 1d bars of sh600999" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("security", "kind"),
    [("sh000300", "index"), ("sz399001", "index"), ("sz000001", "stock"), ("sh688001", "stock"),
     ("sh510300", "fund"), ("sz159915", "fund"), ("sh113050", "bond"), ("sz128001", "bond"),
     ("sz080000", "other")],
)  # fmt: skip
def test_kinds(security, kind):
    assert kind_of(security) == kind
