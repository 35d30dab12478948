"""quillan.Client against the simulator: whole results, faults, fail-over and clean shutdown."""

from __future__ import annotations

import datetime
import threading

import numpy as np
import pytest

from netutil import free_port, open_fds
from quillan import Client, Retry, ServersFailed, Table
from quillan.sim import Fault, Server, codec, data, long_history, universe
from quillan.vocabulary import FREQUENCIES


def test_a_client_needs_servers(monkeypatch):
    monkeypatch.delenv("QUILLAN_SERVERS", raising=False)
    with pytest.raises(ValueError, match="QUILLAN_SERVERS"):
        Client()


# -- the simulator, with faults


@pytest.fixture(scope="module")
def srv():
    with Server() as server:
        yield server


@pytest.fixture
def faulty(srv):
    srv.set_faults()
    yield srv
    srv.set_faults()


def client_of(*servers, **options) -> Client:
    options.setdefault("retries", Retry(retries=3, backoff=0.0))
    options.setdefault("timeout", 10.0)
    return Client([s if isinstance(s, str) else s.address for s in servers], **options)


def history(code: str, category: int) -> Table:
    """The simulator's whole series as the Client returns it."""
    dicts = [data.bar_dict(b) for b in long_history.bars(code, category)]
    times = np.array([d["datetime"].replace(" ", "T") for d in dicts], dtype="datetime64[s]")
    if not codec.uses_minute_layout(category):  # a bar of a date alone: at its midnight
        times = times.astype("datetime64[D]").astype("datetime64[s]")
    columns = {
        k: np.array([d[k] for d in dicts], dtype=np.float64)
        for k in ("open", "high", "low", "close", "amount")
    }
    columns["volume"] = np.array([d["vol"] for d in dicts], dtype=np.float64)
    return Table({"datetime": times, **columns})


def clip(table: Table, start=None, end=None, count=None) -> Table:
    times = table["datetime"]
    keep = np.ones(len(table), dtype=bool)
    if start is not None:
        keep &= times >= np.datetime64(start, "s")
    if end is not None:
        keep &= times < np.datetime64(end, "D") + np.timedelta64(1, "D")
    table = table[keep]
    return table if count is None else table[max(0, len(table) - count) :]


LENGTHS = [1, 799, 800, 801, 5000]
# (start, end, count) as a user would combine them, as offsets in trading days from the end.
BOUNDS = [
    (None, None, None), (None, None, 1), (None, None, 799), (None, None, 800), (None, None, 801),
    (None, None, 10**6), (None, None, 0), (-1, None, None), (-801, None, None), (-5000, None, None),
    (None, -1, None), (None, -800, None), (-900, -100, None), (-900, -100, 50), (None, -2, 801),
    (-3000, None, 801), (-10, -20, None), (1, None, None), (None, -6000, None),
]  # fmt: skip


def day_back(days: int) -> datetime.date:
    """The weekday `days` weekdays before the simulator's last day (after it when positive)."""
    return np.busday_offset(universe.LAST_DAY, days, roll="backward").astype(datetime.date)


@pytest.mark.parametrize("length", LENGTHS)
def test_paging_gives_the_history_slice(srv, length):
    code = f"9{length:05d}"
    whole = history(code, 9)
    with client_of(srv) as client:
        for start, end, count in BOUNDS:
            first = None if start is None else day_back(start)
            last = None if end is None else day_back(end)
            if first is not None and last is not None and first > last:
                with pytest.raises(ValueError, match="is after end"):
                    client.bars(code, "1d", start=first, end=last, count=count)
                continue
            got = client.bars(code, "1d", start=first, end=last, count=count)
            assert got.equals(clip(whole, first, last, count)), (start, end, count)


@pytest.mark.parametrize("freq", ["1m", "5m", "15m", "30m", "1h", "1d", "1w", "1mo", "1q", "1y"])
def test_every_frequency_pages_past_one_reply(srv, freq):
    whole = history("905000", FREQUENCIES[freq])
    assert len(whole) > 800
    with client_of(srv, pool=3) as client:
        assert client.bars("905000", freq).equals(whole)
        assert client.bars("sh905000", freq, count=1234).equals(whole[-1234:])
        # A start date is from 1990 on: the longest synthetic series reach further back.
        middle = str(max(whole["datetime"][len(whole) // 3], np.datetime64("1990-01-01T00:00:00")))
        got = client.bars((1, "905000"), freq, start=middle.replace("T", " "), count=1001)
        assert got.equals(whole[whole["datetime"] >= np.datetime64(middle)][-1001:])


CALLS = {
    "bars": lambda c: c.bars("905000", "5m"),
    "quotes": lambda c: c.quotes([s.label for s in universe.SECURITIES] * 15),
    "ticks": lambda c: c.ticks("905000"),
    "xdxr": lambda c: c.xdxr("600036"),
    "finance": lambda c: c.finance("600036"),
    "company": lambda c: c.company("600036"),
    "report": lambda c: c.report("reports/sh600036.lc5"),
}


@pytest.fixture(scope="module")
def expected(srv):
    with client_of(srv, pool=2) as client:
        results = {name: call(client) for name, call in CALLS.items()}
    assert len(results["ticks"]) == 5000 and len(results["report"]) > data.REPORT_PIECE
    assert len(results["quotes"]) == 15 * len(universe.SECURITIES)
    return results


@pytest.mark.parametrize("kind", ["close", "reset", "garbage", "refuse", "stall"])
@pytest.mark.parametrize("method", list(CALLS))
def test_faults_do_not_change_results(faulty, expected, method, kind):
    # The first connection fails at its second request, the next one at once.
    faulty.set_faults(Fault(kind, after=1, seconds=1.0), Fault(kind, seconds=1.0))
    with client_of(faulty, timeout=0.3) as client:
        got = CALLS[method](client)
    want = expected[method]
    assert got == want if method == "report" else got.equals(want)


@pytest.mark.parametrize("method", ["bars", "finance"])
def test_a_spent_budget_says_what_each_server_answered(faulty, method):
    faulty.set_faults(every=Fault("reset"))
    dead = f"127.0.0.1:{free_port()}"
    retries = Retry(retries=2, backoff=0.0, failover_after=1)
    with client_of(faulty, dead, retries=retries) as client, pytest.raises(ServersFailed) as caught:
        CALLS[method](client)
    message = str(caught.value)
    assert "after 3 tries" in message and faulty.address in message and dead in message
    assert "Connect failed" in message
    assert list(caught.value.failures) == [faulty.address, dead]


@pytest.mark.parametrize("error", [TypeError, ValueError, OverflowError, OSError])
def test_only_transport_failures_are_retried(srv, error):
    calls = []

    def request(link):
        calls.append(link)
        raise error("boom")

    with (
        client_of(srv, retries=Retry(retries=2, backoff=0.0)) as client,
        pytest.raises(ServersFailed if error is OSError else error),
    ):
        client._call("test", request)
    assert len(calls) == (3 if error is OSError else 1)
    assert len({id(link) for link in calls}) == len(calls)  # a fresh connection every try


def test_a_killed_server_fails_over_to_the_next(expected):
    with Server() as first, Server() as second:
        dead = f"127.0.0.1:{free_port()}"
        with client_of(dead, first, second, pool=2) as client:
            assert client.bars("905000", "5m").equals(expected["bars"])
            used = client.server
            assert used in (first.address, second.address) and client.servers[-1] == dead
            (first if used == first.address else second).stop()
            assert client.bars("905000", "5m").equals(expected["bars"])
            assert client.finance("600036").equals(expected["finance"])
            assert client.server not in (used, dead)


def test_threads_share_a_pool(srv, expected):
    results: list = []
    with client_of(srv, pool=3) as client:
        threads = [
            threading.Thread(target=lambda: results.append(client.bars("905000", "5m"))) for _ in range(8)
        ]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert len(results) == 8 and all(r.equals(expected["bars"]) for r in results)


@pytest.mark.parametrize(
    "plan, fails", [(None, False), ("reset-later", False), ("reset", True), ("dead", True)]
)
def test_nothing_is_left_open(faulty, plan, fails):
    fds, threads = open_fds(), threading.active_count()
    servers = [f"127.0.0.1:{free_port()}"] if plan == "dead" else [faulty.address]
    if plan in ("reset", "reset-later"):
        faulty.set_faults(every=Fault("reset", after=int(plan == "reset-later")))
    try:
        with client_of(*servers, pool=4) as client:
            client.quotes([s.label for s in universe.SECURITIES] * 40)
            client.company("600036")
    except ServersFailed:
        assert fails
    else:
        assert not fails
    assert open_fds() == fds and threading.active_count() == threads
    with pytest.raises(RuntimeError, match="closed"):
        client.bars("600036")


@pytest.mark.parametrize("via_env", [False, True])
def test_the_tool_pages_through_every_server_given(srv, capsys, monkeypatch, via_env):
    from quillan.cli import main

    servers = [f"127.0.0.1:{free_port()}", srv.address]
    args = ["bars", "sh900801", "--freq", "1d", "--start", str(day_back(-850)), "--json"]
    if via_env:
        monkeypatch.setenv("QUILLAN_SERVERS", ",".join(servers))
    else:
        args += [arg for server in servers for arg in ("--server", server)]
    assert main(args) == 0
    rows = __import__("json").loads(capsys.readouterr().out)
    want = history("900801", 9)
    assert len(rows) == 801 and rows[0]["datetime"] == str(want["datetime"][-801])[:10]
    assert [row["close"] for row in rows] == list(want["close"])
