"""The simulator's universe: deterministic, and consistent across commands."""

import hashlib
import itertools
import os
import subprocess
import sys

import pytest

from quillan.sim import data, universe

STOCKS = [s for s in universe.SECURITIES if s.shares]


def _merged(bars):
    return (bars[0].open, max(b.high for b in bars), min(b.low for b in bars), bars[-1].close,
            sum(b.vol for b in bars), sum(b.amount for b in bars))  # fmt: skip


def _ohlc(bar):
    return bar.open, bar.high, bar.low, bar.close, bar.vol, bar.amount


@pytest.mark.parametrize("security", universe.SECURITIES, ids=lambda s: s.label)
class TestBars:
    def test_daily_bars_aggregate_minutes(self, security):
        minutes = universe.bars(security, 7)
        days = universe.bars(security, 9)
        traded = [d for d in universe.trading_days() if d not in universe.suspended_days(security)]
        assert [bar.date for bar in days] == traded and len(minutes) == 240 * len(days)
        for i, day in enumerate(days):
            assert _ohlc(day) == _merged(minutes[240 * i : 240 * (i + 1)])
        assert days[-1].date == universe.LAST_DAY and universe.bars(security, 4) == days

    @pytest.mark.parametrize("category, length", [(0, 5), (1, 15), (2, 30), (3, 60)])
    def test_intraday_bars_aggregate_minutes(self, security, category, length):
        minutes = universe.bars(security, 8)
        longer = universe.bars(security, category)
        assert len(longer) * length == len(minutes)
        for i in (0, 1, len(longer) // 2, len(longer) - 1):
            group = minutes[i * length : (i + 1) * length]
            assert _ohlc(longer[i]) == _merged(group) and longer[i].minute == group[-1].minute

    @pytest.mark.parametrize("category", [5, 6, 10, 11])
    def test_long_bars_aggregate_days(self, security, category):
        days = universe.bars(security, 9)
        longer = universe.bars(security, category)
        assert longer and longer[-1].date == days[-1].date
        at = 0
        for bar in longer:
            end = next(i for i, d in enumerate(days) if d.date == bar.date) + 1
            assert _ohlc(bar) == _merged(days[at:end])
            at = end
        assert at == len(days)

    def test_last_day_minutes_are_made_of_its_trades(self, security):
        trades = universe.trades(security)
        for bar in universe.bars(security, 7)[-240:]:
            mine = [t for t in trades if t.minute == bar.minute - 1]
            prices = [t.price for t in mine]
            assert (bar.open, bar.high, bar.low, bar.close) == (
                prices[0],
                max(prices),
                min(prices),
                prices[-1],
            )
            assert bar.vol == 100 * sum(t.vol for t in mine)

    def test_quote_agrees_with_the_day(self, security):
        q = universe.quote(security)
        today, yesterday = universe.bars(security, 9)[-2:][::-1]
        assert (q.price, q.open, q.high, q.low, q.last_close) == (
            today.close,
            today.open,
            today.high,
            today.low,
            yesterday.close,
        )
        assert q.vol * 100 == today.vol == 100 * (q.s_vol + q.b_vol) and q.amount == today.amount
        assert [lv.bid for lv in q.levels] == sorted((lv.bid for lv in q.levels), reverse=True)
        assert q.levels[0].bid < q.price < q.levels[0].ask


@pytest.mark.parametrize("security", STOCKS, ids=lambda s: s.label)
class TestRecords:
    def test_share_capital_chains_into_the_finance_summary(self, security):
        capital = [e for e in universe.events(security) if e.holds_shares]
        for before, after in itertools.pairwise(capital):
            assert after.values[:2] == before.values[2:]
        info = data.finance_info(security.market, security.code)
        assert info["zongguben"] == capital[-1].values[3] * 10000.0
        assert info["liutongguben"] == capital[-1].values[2] * 10000.0

    def test_events_cover_every_value_layout(self, security):
        kinds = {e.category for e in universe.events(security)}
        assert 1 in kinds and kinds & {11, 12} and kinds & {13, 14} and kinds - {1, 11, 12, 13, 14}

    def test_bars_open_near_the_ex_rights_price(self, security):
        days = universe.bars(security, 9)
        dates = [d.date for d in days]
        ex_dates = sorted(
            {e.date for e in universe.events(security) if e.category == 1 and e.date > dates[0]}
        )
        assert ex_dates
        for ex_date in ex_dates:
            at = next(i for i, d in enumerate(dates) if d >= ex_date)
            price = days[at - 1].close / 100
            for e in universe.events(security):
                if e.category == 1 and dates[at - 1] < e.date <= dates[at]:
                    cash, rights_price, bonus, rights = e.values
                    price = (price - cash / 10 + rights_price * rights / 10) / (1 + bonus / 10 + rights / 10)
            # The overnight gap and the first trade move the price by at most 10 ticks.
            assert abs(days[at].open - price * 100) <= 10 * security.tick + 0.5

    def test_company_text_survives_gbk(self, security):
        for title, text in universe.company_sections(security):
            assert text.encode("gbk").decode("gb18030") == text and len(title.encode("gbk")) <= 64


def test_ex_rights_of_every_kind_within_the_history():
    kinds = set()
    for s in STOCKS:
        traded = {b.date for b in universe.bars(s, 9)}
        recent = [e for e in universe.events(s) if e.category == 1 and e.date >= min(traded)]
        for e in recent:
            cash, _, bonus, rights = e.values
            kinds.add(("cash" if cash else "") + ("bonus" if bonus else "") + ("rights" if rights else ""))
            kinds.add("same day" if sum(o.date == e.date for o in recent) > 1 else "")
            kinds.add("" if e.date in traded else "suspended")
    assert kinds >= {"cash", "bonus", "rights", "cashbonusrights", "same day", "suspended"}


class TestWindow:
    @pytest.mark.parametrize(
        "length, start, count, expected",
        [(10, 0, 3, (7, 10)), (10, 2, 3, (5, 8)), (10, 8, 5, (0, 2)), (10, 10, 5, (0, 0)),
         (10, 0, 0, (10, 10)), (1000, 0, 1000, (200, 1000))],
    )  # fmt: skip
    def test_counts_back_from_the_newest(self, length, start, count, expected):
        picked = data.window(length, start, count, 800)
        assert (picked.start, picked.stop) == expected

    def test_unknown_securities_are_empty(self):
        assert data.security_bars(9, 0, "999999", 0, 10) == data.xdxr_info(2, "600036") == []
        assert data.finance_info(1, "000001") == {} and data.security_quotes([(0, "999999")]) == []


def _digest() -> str:
    h = hashlib.sha256()
    for s in universe.SECURITIES:
        for args in ((9, 800), (0, 100)):
            h.update(repr(data.security_bars(args[0], s.market, s.code, 0, args[1])).encode())
        h.update(
            repr((data.transaction_data(s.market, s.code, 0, 50), data.xdxr_info(s.market, s.code))).encode()
        )
        h.update(
            repr((data.finance_info(s.market, s.code), data.security_quotes([(s.market, s.code)]))).encode()
        )
    return h.hexdigest()


def test_same_data_in_every_process():
    code = "import test_sim_data as t; print(t._digest())"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONHASHSEED="123")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env)
    assert out.stdout.strip() == _digest()
