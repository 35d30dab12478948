"""Adjusted prices: the rule and its edges against values worked out by hand."""

import datetime
import functools
import json
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillan
from quillan import Client, Table, adjust, cli, xdxr_table
from quillan.sim import Server, data, universe

# A week of trading days; Wednesday 2024-01-03 is the usual ex-date.
MON, TUE, WED, THU, FRI = (f"2024-01-0{d}" for d in range(1, 6))


def daily(days, closes, **extra):
    closes = np.asarray(closes, dtype=np.float64)
    return {
        "date": np.array(days, dtype="datetime64[D]"),
        "open": closes + 1,
        "high": closes + 2,
        "low": closes - 1,
        "close": closes,
        **extra,
    }


def event(date, category=1, fenhong=0.0, peigujia=0.0, songzhuangu=0.0, peigu=0.0):
    d = datetime.date.fromisoformat(date)
    record = {"year": d.year, "month": d.month, "day": d.day, "category": category, "name": "除权除息"}
    if category == 1:
        record.update(fenhong=fenhong, peigujia=peigujia, songzhuangu=songzhuangu, peigu=peigu)
    return record


def factors(bars, events, method="forward", **kw):
    return adjust(bars, events, method, **kw)["adj_factor"].tolist()


class TestRule:
    # Forward factor of the bar before a Wednesday ex-date, the close before it being 10.00.
    @pytest.mark.parametrize(
        "values, f",
        [
            ({"fenhong": 2, "songzhuangu": 3}, 0.7538461538461538),  # 9.80 / 13: the worked example
            ({"fenhong": 5}, 0.95),  # (10 - 0.5) / 10
            ({"songzhuangu": 10}, 0.5),  # 10 / 2 / 10
            ({"peigu": 3, "peigujia": 5}, 0.8846153846153846),  # (10 + 1.5) / 1.3 / 10
            (
                {"fenhong": 2, "songzhuangu": 3, "peigu": 2, "peigujia": 6},
                0.7333333333333333,
            ),  # 11 / 1.5 / 10
        ],
        ids=["worked-example", "cash", "bonus", "rights", "combined"],
    )
    def test_event_factor(self, values, f):
        bars = daily([TUE, WED, THU], [10.0, 7.5, 7.6])
        out = adjust(bars, [event(WED, **values)])
        assert out["adj_factor"].tolist() == pytest.approx([f, 1.0, 1.0], rel=1e-15)
        for name in ("open", "high", "low", "close"):
            assert out[name].tolist() == pytest.approx((bars[name] * [f, 1, 1]).tolist(), rel=1e-15)

    def test_worked_example_backward(self):
        out = adjust(
            daily([TUE, WED, THU], [10.0, 7.5, 7.6]), [event(WED, fenhong=2, songzhuangu=3)], "backward"
        )
        # 7.5 x 13 / 9.8 and 7.6 x 13 / 9.8; the first bar keeps its price.
        assert out["close"].tolist() == pytest.approx(
            [10.0, 9.948979591836734, 10.081632653061224], rel=1e-15
        )
        assert out["adj_factor"][0] == 1.0

    def test_columns_kept_and_added(self):
        out = adjust(daily([TUE, WED], [10.0, 9.5], vol=[100, 200]), [event(WED, fenhong=5)])
        assert out.columns == ("date", "open", "high", "low", "close", "vol", "adj_factor")
        assert out["vol"].tolist() == [100, 200] and out["date"].dtype == np.dtype("datetime64[D]")


class TestEdges:
    @pytest.mark.parametrize(
        "order, f",
        [(["bonus", "cash"], 0.48), (["cash", "bonus"], 0.49)],  # 10/2 - 0.2 = 4.8; (10 - 0.2)/2 = 4.9
    )
    def test_events_of_one_date_chain_in_order(self, order, f):
        kinds = {"bonus": {"songzhuangu": 10}, "cash": {"fenhong": 2}}
        events = [event(WED, **kinds[k]) for k in order]
        assert factors(daily([TUE, WED], [10.0, 4.8]), events) == pytest.approx([f, 1.0], rel=1e-15)

    def test_suspended_ex_date_acts_on_the_next_bar(self):
        # No bar on Wednesday: C is Tuesday's 10.00, the drop shows on Thursday.
        bars = daily([MON, TUE, THU, FRI], [8.0, 10.0, 9.4, 9.5])
        events = [event(WED, fenhong=5)]
        assert factors(bars, events) == pytest.approx([0.95, 0.95, 1.0, 1.0], rel=1e-15)
        after = [1, 1, 1.0526315789473684, 1.0526315789473684]  # 1 / 0.95 from Thursday on
        assert factors(bars, events, "backward") == pytest.approx(after, rel=1e-15)
        # Anchored on the ex-date itself: the event is known, and the anchor is Tuesday.
        assert factors(bars, events, as_of=WED) == pytest.approx(after, rel=1e-15)

    @pytest.mark.parametrize("date", ["2023-12-29", TUE], ids=["before", "on-first-bar"])
    def test_event_without_a_close_before_it_changes_nothing(self, date):
        bars = daily([TUE, WED], [10.0, 5.0])
        for method in ("forward", "backward"):
            assert factors(bars, [event(date, songzhuangu=10)], method) == [1.0, 1.0]

    @pytest.mark.parametrize(
        "closes, values, why",
        [
            ([0.0, 5.0, 5.0], {"fenhong": 5}, "the close before it is 0"),
            ([1.0, 1.0, 1.0], {"fenhong": 10}, "its reference price would be 0"),  # 1 - 1
            ([1.0, 1.0, 1.0], {"fenhong": 20}, "its reference price would be -1"),
        ],
    )
    def test_impossible_event_is_skipped_with_a_warning(self, closes, values, why):
        events = [event(WED, **values), event(THU, fenhong=5)]  # the second still counts: C is 1 or 5
        with pytest.warns(UserWarning, match=f"event of {WED}: {why}") as caught:
            out = factors(daily([TUE, WED, THU], closes), events)
        assert len(caught) == 1 and out == pytest.approx([1 - 0.5 / closes[1]] * 2 + [1.0], rel=1e-15)

    def test_intraday_bars_of_the_ex_date_trade_ex_rights(self):
        times = [f"{TUE}T14:55", f"{TUE}T15:00", f"{WED}T09:35", f"{WED}T09:40"]
        bars = daily([], [12.0, 10.0, 9.6, 9.5])
        del bars["date"]
        bars = {"datetime": np.array(times, dtype="datetime64[s]"), **bars}
        assert factors(bars, [event(WED, fenhong=5)]) == pytest.approx([0.95, 0.95, 1, 1], rel=1e-15)
        # Anchored inside the ex-date: the event is known, the 09:35 bar is the anchor.
        assert factors(bars, [event(WED, fenhong=5)], as_of=f"{WED}T09:37")[2] == 1.0

    def test_intraday_dates_are_local_dates(self):
        # 2024-01-03 01:00 UTC is still Tuesday evening in New York: it trades before the event.
        times = np.array(["2024-01-02T20:00", "2024-01-03T01:00", "2024-01-03T15:00"], dtype="datetime64[s]")
        closes = np.array([10.0, 10.0, 9.5])
        bars = Table({"datetime": times, "open": closes, "high": closes, "low": closes, "close": closes},
                     tz="America/New_York")  # fmt: skip
        expected = [0.95, 0.95, 1.0]
        assert factors(bars, [event(WED, fenhong=5)]) == pytest.approx(expected, rel=1e-15)
        assert factors(as_frame(bars), [event(WED, fenhong=5)]) == pytest.approx(expected, rel=1e-15)
        with pytest.raises(ValueError, match=r"'UTC\+08:00' is not a known zone"):
            adjust(Table(bars.to_numpy(), tz="UTC+08:00"), [])

    def test_other_categories_leave_prices_alone(self):
        events = Table(
            {
                "date": np.array([WED, WED, WED], dtype="datetime64[D]"),
                "category": [2, 11, 13],
                "fenhong": [5.0, 5.0, 5.0],
                "peigujia": [0.0, 0.0, 0.0],
                "songzhuangu": [10.0, 10.0, 10.0],
                "peigu": [0.0, 0.0, 0.0],
            }
        )
        assert factors(daily([TUE, WED], [10.0, 5.0]), events) == [1.0, 1.0]


class TestAnchor:
    BARS = daily([TUE, WED, THU, FRI, "2024-01-08"], [10.0, 9.5, 9.6, 4.8, 4.9])
    EVENTS = (event(WED, fenhong=5), event(FRI, songzhuangu=10))  # f 0.95, then 4.8 / 9.6 = 0.5

    @pytest.mark.parametrize(
        "method, as_of, expected",
        [
            ("forward", None, [0.475, 0.5, 0.5, 1.0, 1.0]),
            ("forward", FRI, [0.475, 0.5, 0.5, 1.0, 1.0]),
            ("forward", THU, [0.95, 1.0, 1.0, 1.0, 1.0]),  # Friday's event is not known yet
            ("forward", datetime.datetime(2024, 1, 4, 9, 0), [0.95, 1.0, 1.0, 1.0, 1.0]),
            ("forward", np.datetime64("2024-01-06"), [0.475, 0.5, 0.5, 1.0, 1.0]),  # a Saturday
            ("forward", "2023-12-31", [1.0] * 5),  # no bar yet
            ("backward", THU, [1.0] + [1.0526315789473684] * 4),
            ("backward", None, [1.0] + [1.0526315789473684] * 2 + [2.1052631578947367] * 2),
        ],
    )
    def test_factors(self, method, as_of, expected):
        out = adjust(self.BARS, self.EVENTS, method, as_of=as_of)
        assert out["adj_factor"].tolist() == pytest.approx(expected, rel=1e-15)
        kept = out["adj_factor"] == 1.0  # the anchor among them: their prices are kept exactly
        assert np.array_equal(out["close"][kept], self.BARS["close"][kept])


def as_frame(bars):
    pytest.importorskip("pandas")
    return (bars if isinstance(bars, Table) else Table(bars)).to_pandas()


class TestInputs:
    # Bars and events are read by separate paths: each shape of one meets some shape of the other.
    @pytest.mark.parametrize(
        "to_bars, to_events",
        [
            (dict, list),
            (Table, xdxr_table),
            (as_frame, lambda r: as_frame(xdxr_table(r))),
            (lambda b: as_frame(b).reset_index().to_dict("records"), lambda r: xdxr_table(r).to_numpy()),
        ],
        ids=["dict-records", "table-table", "frame-frame", "records-columns"],
    )
    def test_every_shape_gives_the_same_factors(self, to_bars, to_events):
        bars = daily([TUE, WED, THU], [10.0, 7.5, 7.6])
        events = [event(MON, 2), event(WED, fenhong=2, songzhuangu=3)]
        out = adjust(to_bars(bars), to_events(events))
        assert out["adj_factor"].tolist() == pytest.approx([0.7538461538461538, 1, 1], rel=1e-15)
        assert out["close"][1:].tolist() == [7.5, 7.6]

    def test_xdxr_table_has_every_value_column(self):
        records = [
            event(WED, fenhong=5),
            {**event(THU, 11), "suogu": 1.25},
            {**event(THU, 1), "month": 2, "day": 30},
        ]
        t = xdxr_table(records)
        assert t.columns[:6] == ("date", "year", "month", "day", "category", "name")
        assert {"fenhong", "suogu", "houzongguben"} <= set(t.columns) and np.isnan(t["fenhong"][1])
        assert t["date"].tolist()[:2] == [datetime.date(2024, 1, 3), datetime.date(2024, 1, 4)]
        assert np.isnat(t["date"][2])  # 30 February
        with pytest.warns(UserWarning, match="row 2: 2024-2-30 is not a date"):
            assert factors(daily([TUE, WED], [10.0, 9.5]), t) == pytest.approx([0.95, 1.0], rel=1e-15)
        assert xdxr_table([]).columns == t.columns[:17] and factors(daily([TUE], [1.0]), []) == [1.0]

    @pytest.mark.parametrize(
        "bars, events, kw, error, match",
        [
            ({"close": None}, {}, {}, ValueError, "'close'"),
            ({"date": None}, {}, {}, ValueError, "'date' or 'datetime'"),
            ({"open": ["a", "b"]}, {}, {}, TypeError, "'open'"),
            ({"date": [20240102, 20240103]}, {}, {}, TypeError, "'date'"),
            ({"date": np.array([WED, TUE], "datetime64[D]")}, {}, {}, ValueError, "time order"),
            ({"date": np.array([WED, "NaT"], "datetime64[D]")}, {}, {}, ValueError, "'date'"),
            ({"adj_factor": [1, 1]}, {}, {}, ValueError, "adjusted"),
            ({}, {"peigu": None}, {}, ValueError, "'peigu'"),
            ({}, {"date": None, "day": None}, {}, ValueError, "'date' col"),
            ({}, {"category": None}, {}, ValueError, "'category'"),
            ({}, {}, {"method": "split"}, ValueError, "'forward' or 'backward'"),
            ({}, {}, {"as_of": "yesterday"}, ValueError, "as_of: invalid date 'yesterday'"),
            ({}, {}, {"as_of": datetime.datetime(2024, 1, 3, tzinfo=datetime.UTC)}, ValueError, "time zone"),
            (42, {}, {}, TypeError, "bars is a quillan.Table"),  # not a dict: given as it is
            ({}, "x", {}, TypeError, "xdxr is a"),
            ({}, [{"year": 2024}], {}, ValueError, "no 'month'"),
        ],
    )  # fmt: skip
    def test_bad_input_is_named(self, bars, events, kw, error, match):
        def changed(columns, change):
            if not isinstance(change, dict):
                return change
            return {k: v for k, v in {**columns, **change}.items() if v is not None}

        good = xdxr_table([event(WED, fenhong=5)]).to_numpy()
        with pytest.raises(error, match=match):
            adjust(changed(daily([TUE, WED], [10.0, 9.5]), bars), changed(good, events), **kw)


def test_exported():
    assert quillan.adjust is adjust and {"adjust", "xdxr_table"} <= set(quillan.__all__)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(adjust(daily([], []), [])) == 0


# On the simulator's history --------------------------------------------------------------------

STOCKS = [s for s in universe.SECURITIES if s.shares]


@functools.cache
def sim_bars(security, category):
    """The bars as the client gives them: prices in yuan, the time a date or a datetime."""
    bars = universe.bars(security, category)
    if category == 9:
        times = {"date": np.array([b.date for b in bars], dtype="datetime64[D]")}
    else:
        days = np.array([b.date for b in bars], dtype="datetime64[D]")
        times = {"datetime": days + np.array([b.minute for b in bars], dtype="timedelta64[m]")}
    prices = {k: np.array([getattr(b, k) for b in bars]) / 100 for k in ("open", "high", "low", "close")}
    return Table({**times, **prices})


def total_returns(days, closes, records):
    """Bar-to-bar returns of a holding whose cash from each event, net of paying for its rights
    shares, buys more shares at the event's reference price."""
    events = [r for r in records if r["category"] == 1]
    out = []
    shares = 1.0
    for i in range(1, len(days)):
        held, price = shares, closes[i - 1]
        for e in events:
            if days[i - 1] < datetime.date(e["year"], e["month"], e["day"]) <= days[i]:
                net_cash = (e["fenhong"] - e["peigujia"] * e["peigu"]) / 10  # a share's, before the event
                growth = 1 + (e["songzhuangu"] + e["peigu"]) / 10
                price = (price - net_cash) / growth
                shares = shares * growth + shares * net_cash / price
        out.append(shares * closes[i] / (held * closes[i - 1]))
    return out


def bars_until(bars, as_of):
    """How many bars are on or before as_of (a date takes in its whole day)."""
    if as_of is None:
        return len(bars)
    if isinstance(as_of, str):
        as_of = datetime.date.fromisoformat(as_of)
    if not isinstance(as_of, datetime.datetime):
        as_of = datetime.datetime.combine(as_of, datetime.time(23, 59, 59))
    return int(np.sum(bars[bars.columns[0]] <= np.datetime64(as_of)))


def known_on(records, as_of):
    if as_of is None:
        return records
    day = as_of.date() if isinstance(as_of, datetime.datetime) else as_of
    return [r for r in records if datetime.date(r["year"], r["month"], r["day"]) <= day]


SIM_CASES = {
    "security": st.sampled_from(STOCKS),
    "category": st.sampled_from([9, 0]),
    "when": st.datetimes(datetime.datetime(2023, 7, 1), datetime.datetime(2024, 3, 20)),
    "date_only": st.booleans(),
}


def check_total_returns(security, category, as_of):
    bars = sim_bars(security, category)
    records = data.xdxr_info(security.market, security.code)
    out = adjust(bars, records, as_of=as_of)
    upto = bars_until(bars, as_of)
    days = bars[bars.columns[0]][:upto].astype("datetime64[D]").tolist()
    closes = out["close"][:upto]
    expected = total_returns(days, bars["close"][:upto].tolist(), known_on(records, as_of))
    assert (closes[1:] / closes[:-1]).tolist() == pytest.approx(expected, rel=1e-12)
    if upto:
        assert out["adj_factor"][upto - 1] == 1.0


@pytest.mark.parametrize("category", [9, 0], ids=["daily", "5m"])
@pytest.mark.parametrize("security", STOCKS, ids=lambda s: s.label)
def test_forward_returns_are_total_returns(security, category):
    check_total_returns(security, category, None)


@settings(max_examples=30, deadline=None)
@given(**SIM_CASES)
def test_anchored_series(security, category, when, date_only):
    as_of = when.date() if date_only else when
    check_total_returns(security, category, as_of)
    # No look-ahead: the same as from what could be known on as_of, its bars and its events.
    bars = sim_bars(security, category)
    records = data.xdxr_info(security.market, security.code)
    upto = bars_until(bars, as_of)
    for method in ("forward", "backward"):
        anchored = adjust(bars, records, method, as_of=as_of)[:upto]
        assert anchored.equals(adjust(bars[:upto], known_on(records, as_of), method))
        assert anchored.equals(adjust(bars[:upto], records, method, as_of=as_of))


@pytest.fixture(scope="module")
def client():
    with Server() as srv, Client([srv.address], timeout=5.0) as c:
        yield c


@pytest.mark.parametrize("method", ["forward", "backward"])
@pytest.mark.parametrize(
    "window",
    [
        {},
        {"count": 16},
        {"start": "2023-11-03", "end": "2024-01-10"},
        {"end": "2024-01-10", "as_of": "2023-12-01"},
    ],
    ids=["whole", "from-an-ex-date", "between", "anchored"],
)
def test_client_bars_adjusted_within_the_window(client, method, window):
    raw = client.bars("600036", "1d")
    whole = adjust(raw, client.xdxr("600036"), method, as_of=window.get("as_of"))
    got = client.bars("600036", "1d", adjust=method, **window)
    rows = np.isin(raw["datetime"], got["datetime"])
    anchor = 0 if method == "backward" else bars_until(got, window.get("as_of", window.get("end"))) - 1
    expected = whole["adj_factor"][rows] / whole["adj_factor"][rows][anchor]
    assert got.columns == (*raw.columns, "adj_factor") and len(got) == window.get("count", len(got))
    assert got["adj_factor"].tolist() == pytest.approx(expected.tolist(), rel=1e-12)
    assert got["low"].tolist() == pytest.approx((raw["low"][rows] * expected).tolist(), rel=1e-12)


def test_client_refuses_a_bad_adjustment(client):
    with pytest.raises(ValueError, match="adjust is"):
        client.bars("600036", adjust="both")
    with pytest.raises(ValueError, match="as_of anchors"):
        client.bars("600036", as_of="2024-01-02")


@pytest.mark.parametrize(
    "argv, same_as",
    [
        (["--adjust", "forward", "--start", "2024-02-21", "--end", "2024-02-26"],
         {"adjust": "forward", "start": "2024-02-21", "end": "2024-02-26"}),
        (["--adjust", "backward", "--as-of", "2024-02-22", "-n", "5"],
         {"adjust": "backward", "as_of": "2024-02-22", "count": 5}),
        (["--as-of", "2024-02-22"], "give --adjust too"),
        (["--adjust", "forward", "--offset", "3", "-n", "5"], {"adjust": "forward", "offset": 3, "count": 5}),
    ],
)  # fmt: skip
def test_tool_adjusts_bars(client, capsys, argv, same_as):
    status = cli.main(["bars", "600036", "--server", client.servers[0], "--json", *argv])
    captured = capsys.readouterr()
    if isinstance(same_as, str):
        assert status == 2 and same_as in captured.err
        return
    rows, expected = json.loads(captured.out), client.bars("600036", **same_as)
    assert status == 0 and [r["close"] for r in rows] == expected["close"].tolist()
    assert [r["adj_factor"] for r in rows] == expected["adj_factor"].tolist()
