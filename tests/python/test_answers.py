"""Honest answers: a wrong question gets an error, a right one the same answer by every road,
and nothing is dropped or left empty without a word."""

import json
import pathlib
import re
import signal
import subprocess
import sys
import time
import tomllib

import numpy as np
import pytest

import quillan
from quillan import Client, Store, Table
from quillan.sim import data
from test_cli import ENV, run

pytest.importorskip("duckdb")


@pytest.fixture(scope="module")
def client(sim):
    with Client([sim.address]) as c:
        yield c


@pytest.fixture(scope="module")
def store(sim, tmp_path_factory):
    store = Store(tmp_path_factory.mktemp("answers") / "store")
    with Client([sim.address]) as c:
        assert store.sync(c, ["600036", "000001"], ["1d", "5m"], progress=False).ok
    return store


# -- Python

SAME = [
    # (what, one way, the other way): both must give equal Tables, not empty ones.
    ("compact date", lambda c, s: c.bars("600036", start="20240301"),
     lambda c, s: c.bars("600036", start="2024-03-01")),
    ("date object", lambda c, s: c.bars("600036", end=np.datetime64("2024-03-01")),
     lambda c, s: c.bars("600036", end="2024-03-01 15:00")),
    ("store and server", lambda c, s: s.bars("600036", "5m", start="20240314"),
     lambda c, s: c.bars("sh600036", "5m", start="2024-03-14")),
    ("store adjusts as the client", lambda c, s: s.bars("600036", adjust="forward", as_of="2024-01-31"),
     lambda c, s: c.bars("600036.SH", adjust="forward", as_of="20240131")),
    ("one security is one row", lambda c, s: c.quotes("600036"), lambda c, s: c.quotes([(1, "600036")])),
    ("store's sql view", lambda c, s: s.sql(
        "SELECT datetime, open, high, low, close, amount, volume FROM bars "
        "WHERE code = '600036' AND freq = '1d' ORDER BY datetime"), lambda c, s: s.bars("600036")),
]  # fmt: skip


@pytest.mark.parametrize("what, one, other", SAME, ids=[case[0] for case in SAME])
def test_the_same_answer_by_every_road(client, store, what, one, other):
    a, b = one(client, store), other(client, store)
    assert len(a) and a.equals(b)


WRONG = [
    (lambda c, s: c.bars("600036", start="2024-3-1"), ValueError, "start: invalid date '2024-3-1': expected"),
    (lambda c, s: c.bars("600036", start="20240399"), ValueError, "invalid date"),
    (lambda c, s: c.bars("600036", end="19890101"), ValueError, "between 1990 and 2100"),
    (lambda c, s: c.bars("600036", start="2024-03-02", end="2024-03-01"), ValueError, "is after end"),
    (lambda c, s: s.bars("600036", start="2024-03-02", end="2024-03-01"), ValueError, "is after end"),
    (lambda c, s: c.bars("60036"), ValueError, "invalid security '60036'"),
    (lambda c, s: c.quotes(["600036", "sh60"]), ValueError, "invalid security 'sh60'"),
    (lambda c, s: s.bars("600036", "day"), ValueError, "unknown frequency 'day': one of 1m"),
    (lambda c, s: Client("600036"), ValueError, "invalid server '600036'"),
    (lambda c, s: Store(s.path.parent / "nope").bars("600036"), FileNotFoundError, "no store at"),
    (lambda c, s: Store(s.path.parent / "nope").sql("SELECT 1"), FileNotFoundError, "no store at"),
    (lambda c, s: s.import_terminal(s.path / "sync.json"), NotADirectoryError, "not a folder"),
    (lambda c, s: Store(s.path, sql_sandbox=True).sql(f"COPY (SELECT 1) TO '{s.path}/x'"), PermissionError,
     "a sandboxed store answers queries"),
    (lambda c, s: Store(s.path, sql_sandbox=True).sql("SELECT * FROM read_csv('/etc/passwd')"), Exception,
     "Permission Error"),
    (lambda c, s: s.import_terminal(s.path / "bars" / "freq=1d"), FileNotFoundError, "no bar files under it"),
]  # fmt: skip


@pytest.mark.parametrize("call, error, message", WRONG)
def test_a_wrong_question_is_an_error(client, store, call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        call(client, store)


def test_nothing_is_dropped_and_empty_has_the_schema(client, store):
    quotes = client.quotes(["600036", "sh609999", "600036"])
    assert quotes["code"].tolist() == ["600036", "609999", "600036"]
    assert np.isnan(quotes["price"][1]) and quotes["price"][0] == quotes["price"][2] > 0
    empty = [client.bars("600036", start="2030-01-01"), client.bars("0:999999"), store.bars("600519")]
    assert all(not len(t) and t.columns == quillan.vocabulary.BAR_COLUMNS for t in empty)
    assert (
        not len(client.xdxr("0:999999")) and client.xdxr("0:999999").columns == client.xdxr("600036").columns
    )


def test_a_table_shows_its_rows():
    table = Table({"day": np.arange(12).astype("datetime64[D]"), "close": np.arange(12) / 4})
    shown = repr(table).splitlines()
    assert shown[0] == "<quillan.Table 12 rows (day: datetime64[D], close: float64)>"
    assert [line.split() for line in (shown[2], shown[7], shown[-1])] == [
        ["1970-01-01", "0.0"], ["…", "…"], ["1970-01-12", "2.75"]
    ]  # fmt: skip
    assert table.head(2).equals(table[:2]) and table.tail(3).equals(table[9:]) and not len(table.head(-1))
    assert table.row(-1) == {"day": table["day"][-1].item(), "close": 2.75}
    with pytest.raises(IndexError):
        table.row(12)


# -- The tool


def test_the_tool_gives_the_same_answers(sim, store):
    compact = run("bars", "600036", "--start", "20240301", "--json", "-s", sim.address)
    iso = run("bars", "600036", "--start", "2024-03-01", "--json", "-s", sim.address)
    stored = run("bars", "600036", "--start", "2024-03-01", "--json", "--store", str(store.path))
    assert compact.returncode == 0 and json.loads(compact.stdout)
    assert compact.stdout == iso.stdout == stored.stdout


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["bars", "600036", "--start", "3"], 2, "argument --start: date: invalid date '3': expected"),
        (["bars", "600036", "--start", "2024-03-02", "--end", "2024-03-01"], 1, "is after end"),
        (["sql", "SELECT 1", "--store", "NOPE"], 1, "no store at NOPE (quillan sync or quillan import"),
        (["bars", "600036", "--store", "NOPE"], 1, "no store at NOPE"),
        (["import", "EMPTY", "--store", "NOPE"], 1, "EMPTY: no bar files under it"),
        (["import", "FILE", "--store", "NOPE"], 1, "FILE: not a folder"),
        (["day", "FILE"], 1, "not a daily bar (.day) file: FILE holds 19 bytes, no whole number of 32-byte"),
        (["minute", "EMPTY"], 1, "EMPTY: is a directory"),
        (["report", "reports/none", "-o", "OUT"], 1, "the server has no file 'reports/none'"),
    ],
)  # fmt: skip
def test_the_tool_says_what_is_wrong(sim, tmp_path, args, status, message):
    (tmp_path / "EMPTY").mkdir()
    (tmp_path / "FILE").write_text("code,name\n600036,x\n")
    names = {name: str(tmp_path / name) for name in ("NOPE", "EMPTY", "FILE", "OUT")}
    args = [names.get(a, a) for a in args] + (["-s", sim.address] if args[0] in ("bars", "report") else [])
    out = run(*args)
    assert out.returncode == status and out.stderr.startswith("quillan: error: ")
    assert (
        message.replace("NOPE", names["NOPE"]).replace("EMPTY", names["EMPTY"]).replace("FILE", names["FILE"])
        in out.stderr
    )
    assert sorted(p.name for p in tmp_path.iterdir()) == ["EMPTY", "FILE"]  # nothing written


@pytest.mark.parametrize(
    "args, lines",
    [(["bars", "600036", "--start", "2030-01-01"], 2), (["xdxr", "0:999999"], 2), (["ticks", "0:999999"], 2)],
)
def test_empty_is_the_heading_alone(sim, args, lines):
    out = run(*args, "-s", sim.address)
    assert out.returncode == 0 and out.stderr == "" and len(out.stdout.splitlines()) == lines


def test_a_batch_says_how_many_had_nothing(sim):
    out = run("quotes", "600036", "sh609999", "0:999999", "--csv", "-s", sim.address)
    assert out.returncode == 0 and len(out.stdout.splitlines()) == 4
    assert out.stderr == "quillan: warning: 2 of 3 securities had no quote: sh609999, sz999999\n"


@pytest.mark.parametrize(
    "command",
    [
        "{quillan} report reports/sh600036.lc5 -o - -s {server} | head -c 10",
        "{quillan} sql 'SELECT * FROM bars' --csv --store {store} | head -1",
        "{quillan} minute {file} | head -1",
    ],
)
def test_a_closed_pipe_ends_quietly(sim, store, tmp_path, command):
    (tmp_path / "x.lc5").write_bytes(data.report_file_bytes("reports/sh600036.lc5"))
    quillan_command = f"{sys.executable} -m quillan"
    line = command.format(
        quillan=quillan_command, server=sim.address, store=store.path, file=tmp_path / "x.lc5"
    )
    out = subprocess.run(["bash", "-o", "pipefail", "-c", line], capture_output=True, env=ENV, timeout=120)
    assert out.returncode == 0 and out.stderr == b"" and out.stdout


def test_a_waiting_writer_says_who_holds_the_lock(tmp_path):
    from test_store import write_terminal

    write_terminal(tmp_path / "t", 1)
    code = (
        "import sys, time; from quillan.store import Store\n"
        "with Store(sys.argv[1])._writing():\n"
        "    print('locked', flush=True); time.sleep(30)\n"
    )
    holder = subprocess.Popen(
        [sys.executable, "-c", code, str(tmp_path / "s")], stdout=subprocess.PIPE, text=True
    )
    try:
        assert holder.stdout.readline() == "locked\n"
        waiter = subprocess.Popen(
            [sys.executable, "-m", "quillan", "import", str(tmp_path / "t"), "--store", str(tmp_path / "s")],
            stderr=subprocess.PIPE, text=True, env=ENV,
        )  # fmt: skip
        line = waiter.stderr.readline()
        assert f"another process (pid {holder.pid}) is writing to it; waiting up to 30 s" in line
        waiter.kill()
        waiter.wait()
    finally:
        holder.kill()
        holder.wait()


@pytest.mark.slow
@pytest.mark.parametrize("command", ["sync", "import", "sync from a silent server"])
def test_ctrl_c_stops_keeps_what_is_done_and_a_rerun_finishes(tmp_path, command):
    from test_store import write_terminal

    if command == "import":
        write_terminal(tmp_path / "vipdoc", 6000, days=250)
    with quillan.sim.Server(delay=0.05) as slow:
        securities = [f"sh9{100 + i:05d}" for i in range(100)]
        args = {
            "sync": ["sync", *securities, "-s", slow.address, "--pool", "2"],
            "import": ["import", str(tmp_path / "vipdoc")],
            # Every answer a minute late, a request's deadline 30 s away: Ctrl-C must not wait.
            "sync from a silent server": ["sync", *securities, "-s", slow.address, "--timeout", "30"],
        }[command] + ["--store", str(tmp_path / "store")]
        if command.endswith("silent server"):
            slow.set_faults(every=quillan.sim.Fault("stall", seconds=60))
        child = subprocess.Popen(
            [sys.executable, "-m", "quillan", *args],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=ENV,
        )
        deadline = time.monotonic() + 60
        while not (tmp_path / "store" / ".lock").exists() and time.monotonic() < deadline:  # under way
            time.sleep(0.01)
        time.sleep(0.1 if command == "import" else 1.0)
        began = time.monotonic()
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=30) == 130 and time.monotonic() - began < 1.5
        assert "run again to finish" in child.stderr.read()
        slow.set_faults()
        done = run(*args)
    assert done.returncode in (0, 1) and "unchanged" in done.stdout
    assert not list((tmp_path / "store").rglob(".*.tmp"))


def test_version():
    out = run("--version")
    assert out.returncode == 0 and out.stdout == f"quillan {quillan.__version__}\n" != "quillan 0+unknown\n"


def test_one_version():
    # pyproject.toml holds it; the installed package reads it, the changelog's newest release names it.
    root = pathlib.Path(__file__).parents[2]
    project = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    changelog = (root / "CHANGELOG.md").read_text(encoding="utf-8")
    released = re.findall(r"^## \[([^\]]+)\] - \d{4}-\d{2}-\d{2}$", changelog, re.M)
    assert released and released[0] == project == quillan.__version__
