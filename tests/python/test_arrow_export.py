"""Table.__arrow_c_stream__: what pyarrow, polars and DuckDB get, and who owns the memory."""

import gc
import sys
import threading

import numpy as np
import pytest

from quillan import Table, read_bars
from test_files import daily, minute

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")


@pytest.mark.parametrize(
    "values, arrow_type, expected",
    [
        (np.array([1.5, np.nan, -0.0]), pa.float64(), [1.5, float("nan"), -0.0]),
        (np.array([1.5, 2], dtype=np.float32), pa.float32(), [1.5, 2.0]),
        (np.array([-(2**63), 2**63 - 1]), pa.int64(), [-(2**63), 2**63 - 1]),
        (np.array([-5, 7], dtype=np.int32), pa.int32(), [-5, 7]),
        (np.array([-5, 7], dtype=np.int16), pa.int16(), [-5, 7]),
        (np.array([-5, 7], dtype=np.int8), pa.int8(), [-5, 7]),
        (np.array([0, 2**64 - 1], dtype=np.uint64), pa.uint64(), [0, 2**64 - 1]),
        (np.array([0, 2**32 - 1], dtype=np.uint32), pa.uint32(), [0, 2**32 - 1]),
        (np.array([0, 65535], dtype=np.uint16), pa.uint16(), [0, 65535]),
        (np.array([0, 255], dtype=np.uint8), pa.uint8(), [0, 255]),
        (np.array([True, False] * 5 + [True]), pa.bool_(), [True, False] * 5 + [True]),
        (
            np.array(["1970-01-01", "NaT", "2024-02-29"], "M8[D]"),
            pa.date32(),
            ["1970-01-01", None, "2024-02-29"],
        ),
        (np.array(["2024-01-05T09:31", "NaT"], "M8[s]"), pa.timestamp("s"), ["2024-01-05 09:31:00", None]),
        (
            np.array([1, 2], "M8[ms]"),
            pa.timestamp("ms"),
            ["1970-01-01 00:00:00.001000", "1970-01-01 00:00:00.002000"],
        ),
        (np.array([1], "M8[us]"), pa.timestamp("us"), ["1970-01-01 00:00:00.000001"]),
        (np.array([1], "M8[ns]"), pa.timestamp("ns"), ["1970-01-01 00:00:00.000000001"]),
        (np.array([90, "NaT"], "m8[s]"), pa.duration("s"), [90, None]),
        (
            np.array(["a", None, "中文", "", float("nan")], dtype=object),
            pa.string(),
            ["a", None, "中文", "", None],
        ),
        (np.array(["x", "yz"]), pa.string(), ["x", "yz"]),  # a str array becomes an object column
        (np.array([1.0, 2.0], dtype=">f8"), pa.float64(), [1.0, 2.0]),  # byte-swapped
        (np.arange(10.0)[::3], pa.float64(), [0.0, 3.0, 6.0, 9.0]),  # strided
    ],
)
def test_types_and_values(values, arrow_type, expected):
    arrow = pa.table(Table({"c": values}))
    assert arrow.schema.field("c").type == arrow_type
    got = arrow.column("c").to_pylist()
    if arrow_type in (pa.date32(),) or pa.types.is_timestamp(arrow_type):
        got = [None if v is None else str(v) for v in got]
    if pa.types.is_duration(arrow_type):
        got = [None if v is None else int(v.total_seconds()) for v in got]
    assert [str(v) for v in got] == [str(v) for v in expected]


def test_read_bars_tables_in_every_consumer(tmp_path):
    (tmp_path / "sh600036.day").write_bytes(daily(o=2949) + daily(date=20240106, c=1234))
    (tmp_path / "sz000001.lc1").write_bytes(minute() + minute(t=572, c=10.5))
    day = read_bars(tmp_path / "sh600036.day")
    lc1 = read_bars(tmp_path / "sz000001.lc1", tz="Asia/Shanghai")
    for table in (day, lc1):
        arrow = pa.table(table)
        assert arrow.column_names == list(table.columns)
        for name in table.columns:
            assert np.array_equal(arrow.column(name).to_numpy(), table[name])
        frame = pl.DataFrame(table)
        assert frame.columns == list(table.columns)
        assert frame["close"].to_list() == table["close"].tolist()
    assert pa.table(lc1).schema.field("datetime").type == pa.timestamp("s", tz="Asia/Shanghai")
    assert str(pl.DataFrame(lc1)["datetime"][0]) == "2024-01-05 09:31:00+08:00"
    rows = duckdb.sql("select datetime::DATE, open, close from day order by datetime").fetchall()
    assert [(str(d), o, c) for d, o, c in rows] == [("2024-01-05", 29.49, 10.5), ("2024-01-06", 10.0, 12.34)]
    ((count, last),) = duckdb.sql("select count(*), max(close) from lc1").fetchall()
    assert (count, last) == (2, 10.75)


def test_no_copy_and_lifetime():
    table = Table({"v": np.arange(1000.0)})
    values = table["v"]
    before = sys.getrefcount(values)
    arrow = pa.table(table)
    assert arrow.column("v").chunk(0).buffers()[1].address == values.ctypes.data  # lent, not copied
    assert sys.getrefcount(values) == before + 1  # held by the Arrow table
    del table, values
    gc.collect()
    assert arrow.column("v").to_pylist()[-1] == 999.0
    keep = arrow.column("v").chunk(0).buffers()[1].address
    del arrow
    gc.collect()
    assert keep  # the release ran without a crash


@pytest.mark.parametrize("how", ["capsule dropped", "schema only", "released on a thread", "read twice"])
def test_release(how):
    table = Table({"v": np.arange(10), "s": np.array(["a"] * 10, dtype=object)})
    values = table["v"]
    before = sys.getrefcount(values)
    if how == "capsule dropped":
        table.__arrow_c_stream__()
    elif how == "schema only":
        assert pa.schema(table).names == ["v", "s"]
    elif how == "released on a thread":
        rows = []

        def consume(reader):
            rows.append(reader.read_all().num_rows)  # the batch is released on this thread

        worker = threading.Thread(target=consume, args=(pa.RecordBatchReader.from_stream(table),))
        worker.start()
        worker.join()
        assert rows == [10]
    else:
        reader = pa.RecordBatchReader.from_stream(table)
        assert reader.read_all().num_rows == 10
        with pytest.raises(StopIteration):
            reader.read_next_batch()
        del reader
    gc.collect()
    assert sys.getrefcount(values) == before


def test_empty_tables():
    assert pa.table(Table({})).num_columns == 0
    empty = pa.table(Table({"a": np.array([], dtype=np.float64), "s": np.array([], dtype=object)}))
    assert (empty.num_rows, empty.schema.types) == (0, [pa.float64(), pa.string()])


@pytest.mark.parametrize(
    "values, message",
    [
        (np.array([1j]), "column 'c' has the dtype <c16"),
        (np.array(["2024"], dtype="M8[h]"), "column 'c' has the dtype <M8[h]"),
        (np.array([b"x"]), "column 'c' has the dtype |S1"),
        (np.array(["a", 3], dtype=object), "column 'c' holds a int where text is expected"),
    ],
)
def test_unsupported_columns(values, message):
    with pytest.raises(TypeError, match=message.replace("[", r"\[").replace("]", r"\]")):
        pa.table(Table({"c": values}))
