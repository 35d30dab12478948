"""quillan.Client against the simulator: whole results, faults, fail-over and clean shutdown."""

from __future__ import annotations

import datetime
import threading

import numpy as np
import pytest

from netutil import free_port, open_fds
from quillan import Client, Retry, ServersFailed, Table
from quillan.client import parse_freq, parse_security, parse_servers
from quillan.sim import Fault, Server, data, long_history, universe

# -- arguments


@pytest.mark.parametrize(
    "text, expected",
    [
        ("600036", (1, "600036")), ("000001", (0, "000001")), ("300750", (0, "300750")),
        ("510050", (1, "510050")), ("900001", (1, "900001")), ("159915", (0, "159915")),
        ("sh000001", (1, "000001")), ("SZ000001", (0, "000001")), (" 600036.SH ", (1, "600036")),
        ("000001.sz", (0, "000001")), ((1, "000001"), (1, "000001")), ((0, "830799"), (0, "830799")),
    ],
)  # fmt: skip
def test_securities_as_users_write_them(text, expected):
    assert parse_security(text) == expected


@pytest.mark.parametrize(
    "bad, error",
    [
        ("430047", ValueError), ("830799", ValueError), ("700001", ValueError), ("60003", ValueError),
        ("6000361", ValueError), ("６０００３６", ValueError), ("sh60003x", ValueError),
        ("bj430047", ValueError),
        ((1, "60003"), ValueError), ((256, "600036"), ValueError), ((1, "600036", 0), ValueError),
        ((1, 600036), TypeError), (600036, TypeError),
    ],
)  # fmt: skip
def test_securities_that_fit_no_form_or_market_are_refused(bad, error):
    with pytest.raises(error):
        parse_security(bad)


@pytest.mark.parametrize(
    "freq, category",
    [("1m", 8), ("5m", 0), ("15m", 1), ("30m", 2), ("1h", 3), ("1d", 9), ("1w", 5), ("1mo", 6), ("1q", 10),
     ("1y", 11), (4, 4)],
)  # fmt: skip
def test_frequencies_name_the_simulator_categories(freq, category):
    assert parse_freq(freq) == category


@pytest.mark.parametrize("freq", ["2d", "", 70000, -1, True, 1.0])
def test_unknown_frequencies_are_refused(freq):
    with pytest.raises((ValueError, TypeError)):
        parse_freq(freq)


def test_servers_come_from_the_argument_or_the_environment(monkeypatch):
    assert parse_servers(["10.0.0.1:7709", ("::1", 7711), "[::1]:7712"]) == [
        ("10.0.0.1", 7709), ("::1", 7711), ("::1", 7712),
    ]  # fmt: skip
    monkeypatch.setenv("QUILLAN_SERVERS", "10.0.0.1:7709, 10.0.0.2:7709")
    assert parse_servers(None) == [("10.0.0.1", 7709), ("10.0.0.2", 7709)]
    monkeypatch.delenv("QUILLAN_SERVERS")
    with pytest.raises(ValueError, match="QUILLAN_SERVERS"):
        Client()
    for bad in (["10.0.0.1"], ["10.0.0.1:0"], ["10.0.0.1:70000"], []):
        with pytest.raises(ValueError):
            parse_servers(bad)


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
            got = client.bars(code, "1d", start=first, end=last, count=count)
            assert got.equals(clip(whole, first, last, count)), (start, end, count)


@pytest.mark.parametrize("freq", ["1m", "5m", "15m", "30m", "1h", "1d", "1w", "1mo", "1q", "1y"])
def test_every_frequency_pages_past_one_reply(srv, freq):
    whole = history("905000", parse_freq(freq))
    assert len(whole) > 800
    with client_of(srv, pool=3) as client:
        assert client.bars("905000", freq).equals(whole)
        assert client.bars("sh905000", freq, count=1234).equals(whole[-1234:])
        middle = str(whole["datetime"][len(whole) // 3])
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
COLUMNAR = ("bars", "quotes", "ticks")


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
    if kind == "stall" and method not in COLUMNAR:
        pytest.skip("the plain connection waits 10 s for a reply")
    # The first connection fails at its second request, the next one at once.
    faulty.set_faults(Fault(kind, after=1, seconds=1.0), Fault(kind, seconds=1.0))
    with client_of(faulty, timeout=0.3) as client:
        got = CALLS[method](client)
    want = expected[method]
    assert got == want if method == "report" else got.equals(want)


@pytest.mark.slow
def test_a_late_reply_on_the_plain_connection_is_never_read(faulty, expected):
    # The third piece comes 11 s late, past the core's 10 s wait: the retry and every later
    # piece must go over a fresh connection, or each would read the reply before its own.
    faulty.set_faults(Fault("stall", after=2, seconds=11.0))
    with client_of(faulty) as client:
        assert client.report("reports/sh600036.lc5") == expected["report"]


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
        client._call("test", "columnar", request)
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
    assert len(rows) == 801 and rows[0]["datetime"] == str(want["datetime"][0])[:16].replace("T", " ")
    assert [row["close"] for row in rows] == list(want["close"])
