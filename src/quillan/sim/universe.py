"""The simulator's synthetic market: a fixed universe of securities and their seeded history.

Everything is derived from fixed seeds, so every process that imports this module sees the
same market. Units, chosen once for every command:

- prices are integers in cents (hundredths of a yuan); bars carry them in thousandths;
- trade and quote volumes are in lots of 100 shares, bar volumes in shares;
- turnover (amount) is an integer number of yuan (lots x price in cents);
- share capital is counted in units of 10,000 shares.

The trading calendar is `DAY_COUNT` weekdays ending on `LAST_DAY`, each with two sessions of
120 minutes, 09:30 to 11:30 and 13:00 to 15:00; a suspended security has no bars on the days
that `suspended_days` names. Every minute holds two to five trades, so the
history is built bottom-up: trades make one-minute bars, one-minute bars make the longer bars,
and the quotes and the finance and ex-rights records agree with them. On an ex-rights date the
price walk restarts from the ex-rights reference price of the last close, as an exchange does.
"""

from __future__ import annotations

import dataclasses
import datetime
import functools
import math
import random
import threading
import zlib
from collections.abc import Callable, Hashable, Iterable, Sequence

from quillan.sim.codec import f32

__all__ = [
    "CATEGORIES",
    "DAY_COUNT",
    "EVENT_NAMES",
    "FINANCE_KEYS",
    "FINANCE_UNSCALED",
    "LAST_DAY",
    "SECURITIES",
    "SERVER_TIME",
    "SESSION_MINUTES",
    "Bar",
    "Category",
    "Event",
    "Finance",
    "Level",
    "Quote",
    "Security",
    "Trade",
    "bars",
    "company_file",
    "company_sections",
    "events",
    "finance",
    "find",
    "minute_bars",
    "quote",
    "reference_price",
    "set_now",
    "suspended_days",
    "trades",
    "trading_days",
]

LAST_DAY = datetime.date(2024, 3, 15)
DAY_COUNT = 160

# The moment the market stands at: None for after the close of LAST_DAY; else the history ends
# with the last one-minute bar labelled at or before it (see `set_now`).
_now: datetime.datetime | None = None

# Minutes since midnight that label the one-minute bars: a bar labelled 09:31 holds the trades
# made from 09:30 to 09:31.
SESSION_MINUTES: tuple[int, ...] = tuple(range(9 * 60 + 31, 11 * 60 + 31)) + tuple(
    range(13 * 60 + 1, 15 * 60 + 1)
)

SERVER_TIME = 15000300  # the quotes' "servertime": 15:00:03.00 as hhmmsscc


@dataclasses.dataclass(frozen=True)
class Security:
    market: int
    code: str
    name: str
    full_name: str
    base_price: int  # cents, the price on the first day of the history
    lot_scale: int  # multiplies the lots of every trade
    province: int
    industry: int
    ipo_date: int  # yyyymmdd
    shares: int  # total share capital at the start, in 10,000 shares

    @property
    def seed(self) -> int:
        return zlib.crc32(f"{self.market}:{self.code}".encode())

    @property
    def tick(self) -> int:
        """The step of the price walk, in cents."""
        return max(1, self.base_price // 1500)

    @property
    def label(self) -> str:
        return f"{'sh' if self.market == 1 else 'sz'}{self.code}"


SECURITIES: tuple[Security, ...] = (
    Security(0, "000001", "示例银行", "示例银行股份有限公司", 1034, 40, 19, 1, 19910403, 1940592),
    Security(0, "000002", "示例地产", "示例地产股份有限公司", 1462, 30, 19, 7, 19910129, 1193092),
    Security(0, "000858", "示例酒业", "示例酒业股份有限公司", 14580, 6, 23, 3, 19980427, 388161),
    Security(0, "300750", "示例能源", "示例新能源科技股份有限公司", 18320, 5, 13, 9, 20180611, 439908),
    Security(1, "600036", "示例商行", "示例商业银行股份有限公司", 3287, 25, 19, 1, 20020409, 2521985),
    Security(1, "600519", "示例酿造", "示例酿造股份有限公司", 172800, 1, 24, 3, 20010827, 125620),
    Security(1, "601318", "示例保险", "示例保险集团股份有限公司", 4415, 20, 19, 2, 20070301, 1828024),
    Security(1, "000001", "示例指数", "示例综合指数", 302150, 200, 0, 0, 19901219, 0),
)

_BY_KEY = {(s.market, s.code): s for s in SECURITIES}


def find(market: int, code: str) -> Security | None:
    """The security of the universe with this market and code, or None."""
    return _BY_KEY.get((market, code))


@functools.cache
def trading_days() -> tuple[datetime.date, ...]:
    days: list[datetime.date] = []
    day = LAST_DAY
    while len(days) < DAY_COUNT:
        if day.weekday() < 5:
            days.append(day)
        day -= datetime.timedelta(days=1)
    return tuple(reversed(days))


def set_now(moment: datetime.datetime | None) -> None:
    """Makes the market stand at `moment` (None: after the close of LAST_DAY): the days after it
    have not happened yet, and its own day ends with the last one-minute bar labelled at or
    before it, its daily bar made of those. The bars before are the same whatever the moment,
    so moving it forward adds bars and completes the last one, as a day of trading does."""
    global _now
    _now = moment
    for cached in (_build_history, _intraday, _daily, _bars):
        cached.cache_clear()


@dataclasses.dataclass(frozen=True)
class Trade:
    minute: int  # minutes since midnight
    price: int  # cents
    vol: int  # lots
    num: int  # orders matched in the trade
    buyorsell: int  # 0: buyer-initiated, 1: seller-initiated


@dataclasses.dataclass(frozen=True)
class Bar:
    date: datetime.date
    minute: int  # minutes since midnight of the label; 900 (15:00) for daily and longer bars
    open: int  # cents
    high: int
    low: int
    close: int
    vol: int  # shares
    amount: int  # yuan


# The moves of the price walk, in ticks, picked by three random bits.
_MOVES = (-2, -1, -1, 0, 0, 1, 1, 2)


@dataclasses.dataclass(frozen=True)
class _History:
    minute_bars: tuple[tuple[Bar, ...], ...]  # per trading day, 240 bars
    last_trades: tuple[Trade, ...]  # the trades of the last day


# Connections are served by threads: one builds a history while the others wait for it.
_history_lock = threading.Lock()


def _history(security: Security) -> _History:
    with _history_lock:
        return _build_history(security)


@functools.cache
def _build_history(security: Security) -> _History:
    rng = random.Random(security.seed)
    tick = security.tick
    floor = max(1, security.base_price // 4)
    price = security.base_price
    days = trading_days()
    cutoff = 24 * 60
    if _now is not None:
        days = tuple(day for day in days if day <= _now.date())
        if days and days[-1] == _now.date():
            cutoff = _now.hour * 60 + _now.minute
    suspended = set(suspended_days(security))
    per_day: list[tuple[Bar, ...]] = []
    last_trades: list[Trade] = []
    previous: datetime.date | None = None
    for index, day in enumerate(days):
        if day in suspended:
            continue
        if previous is not None:
            reference = reference_price(price, _ex_rights_between(security, previous, day))
            floor = max(1, floor * reference // price)
            price = reference
        previous = day
        is_last = index == len(days) - 1
        # The trades of LAST_DAY draw from the walk's own generator; those of an earlier last day
        # (see set_now) from one of their own, so that no price depends on the moment.
        trade_rng = rng if days[-1] == LAST_DAY else random.Random(security.seed ^ index)
        price = max(floor, price + tick * (rng.getrandbits(4) - 7))  # the overnight gap
        bars_of_day: list[Bar] = []
        for label in SESSION_MINUTES:
            if is_last and label > cutoff:
                break
            bits = rng.getrandbits(64)
            count = 2 + (bits & 3)
            bits >>= 2
            open_ = high = low = 0
            vol = amount = 0
            for k in range(count):
                price = max(floor, price + tick * _MOVES[bits & 7])
                lots = (1 + (bits >> 3 & 0xFF)) * security.lot_scale
                bits >>= 11
                if k == 0:
                    open_ = high = low = price
                elif price > high:
                    high = price
                elif price < low:
                    low = price
                vol += lots
                amount += lots * price
                if is_last:
                    extra = trade_rng.getrandbits(5)
                    last_trades.append(Trade(label - 1, price, lots, 1 + (extra >> 1), extra & 1))
            bars_of_day.append(Bar(day, label, open_, high, low, price, vol * 100, amount))
        if bars_of_day:  # a day whose first minute is still to come has no bars yet
            per_day.append(tuple(bars_of_day))
    return _History(tuple(per_day), tuple(last_trades))


def _merge(group: Sequence[Bar], date: datetime.date, minute: int) -> Bar:
    return Bar(
        date,
        minute,
        group[0].open,
        max(b.high for b in group),
        min(b.low for b in group),
        group[-1].close,
        sum(b.vol for b in group),
        sum(b.amount for b in group),
    )


def _grouped(daily: Iterable[Bar], key: Callable[[datetime.date], Hashable]) -> list[Bar]:
    groups: dict[Hashable, list[Bar]] = {}
    for bar in daily:
        groups.setdefault(key(bar.date), []).append(bar)
    return [_merge(g, g[-1].date, 900) for g in groups.values()]


@dataclasses.dataclass(frozen=True)
class Category:
    name: str  # short name, used by the command-line tool
    minutes: int  # bar length in minutes for intraday bars, 0 for daily and longer
    period: str  # "minute", "day", "week", "month", "quarter" or "year"


# What each bar category means to the simulator. Categories 0, 1, 2, 3, 7 and 8 are intraday
# (their datetime travels in the minute layout); 7 and 8 are both one-minute bars and 4 and 9
# both daily bars. Other categories have no bars.
CATEGORIES: dict[int, Category] = {
    0: Category("5m", 5, "minute"),
    1: Category("15m", 15, "minute"),
    2: Category("30m", 30, "minute"),
    3: Category("60m", 60, "minute"),
    4: Category("day", 0, "day"),
    5: Category("week", 0, "week"),
    6: Category("month", 0, "month"),
    7: Category("1m", 1, "minute"),
    8: Category("1m", 1, "minute"),
    9: Category("day", 0, "day"),
    10: Category("quarter", 0, "quarter"),
    11: Category("year", 0, "year"),
}


def minute_bars(security: Security, length: int) -> tuple[Bar, ...]:
    """Intraday bars of `length` minutes (1, 5, 15, 30 or 60), oldest first."""
    return _intraday(security, length)


@functools.cache
def _intraday(security: Security, length: int) -> tuple[Bar, ...]:
    out: list[Bar] = []
    for day in _history(security).minute_bars:
        if length == 1:
            out.extend(day)
            continue
        # Both sessions hold 120 minutes, a multiple of every length: no bar spans the break.
        # A group still under way is labelled with the minute it will end at.
        for at in range(0, len(day), length):
            group = day[at : at + length]
            out.append(_merge(group, group[-1].date, SESSION_MINUTES[at + length - 1]))
    return tuple(out)


@functools.cache
def _daily(security: Security) -> tuple[Bar, ...]:
    return tuple(_merge(day, day[0].date, 900) for day in _history(security).minute_bars)


_PERIOD_KEYS: dict[str, Callable[[datetime.date], Hashable]] = {
    "week": lambda d: d.isocalendar()[:2],
    "month": lambda d: (d.year, d.month),
    "quarter": lambda d: (d.year, (d.month - 1) // 3),
    "year": lambda d: d.year,
}


def bars(security: Security, category: int) -> tuple[Bar, ...]:
    """Every bar of `category`, oldest first; empty for a category without bars."""
    # Categories come from the network: only those with bars reach the cache.
    return _bars(security, category) if category in CATEGORIES else ()


@functools.cache
def _bars(security: Security, category: int) -> tuple[Bar, ...]:
    kind = CATEGORIES[category]
    if kind.period == "minute":
        return minute_bars(security, kind.minutes)
    if kind.period == "day":
        return _daily(security)
    return tuple(_grouped(_daily(security), _PERIOD_KEYS[kind.period]))


def trades(security: Security) -> tuple[Trade, ...]:
    """The trades of the last trading day, oldest first."""
    return _history(security).last_trades


@dataclasses.dataclass(frozen=True)
class Level:
    bid: int  # cents
    ask: int
    bid_vol: int  # lots
    ask_vol: int


@dataclasses.dataclass(frozen=True)
class Quote:
    security: Security
    price: int  # cents: the last trade
    last_close: int  # the previous day's close
    open: int
    high: int
    low: int
    servertime: int
    vol: int  # lots traded today
    cur_vol: int  # lots of the last trade
    amount: int  # yuan
    s_vol: int  # lots of seller-initiated trades
    b_vol: int  # lots of buyer-initiated trades
    levels: tuple[Level, ...]  # five levels, best first


@functools.cache
def quote(security: Security) -> Quote:
    """The closing quote of the last trading day; it agrees with that day's bar and trades. Its
    last close is the day before's, or its ex-rights reference price when the day is an
    ex-rights date."""
    days = _daily(security)
    today, yesterday = days[-1], days[-2]
    day_trades = trades(security)
    rng = random.Random(security.seed ^ 0x5157)
    tick = security.tick
    levels = tuple(
        Level(
            today.close - i * tick,
            today.close + i * tick,
            rng.randrange(1, 500) * security.lot_scale,
            rng.randrange(1, 500) * security.lot_scale,
        )
        for i in range(1, 6)
    )
    return Quote(
        security,
        today.close,
        reference_price(yesterday.close, _ex_rights_between(security, yesterday.date, today.date)),
        today.open,
        today.high,
        today.low,
        SERVER_TIME,
        today.vol // 100,
        day_trades[-1].vol,
        today.amount,
        sum(t.vol for t in day_trades if t.buyorsell == 1),
        sum(t.vol for t in day_trades if t.buyorsell == 0),
        levels,
    )


# Names of the ex-rights event categories, as the client reports them.
EVENT_NAMES = {
    1: "除权除息",
    2: "送配股上市",
    3: "非流通股上市",
    4: "未知股本变动",
    5: "股本变化",
    6: "增发新股",
    7: "股份回购",
    8: "增发新股上市",
    9: "转配股上市",
    10: "可转债上市",
    11: "扩缩股",
    12: "非流通股缩股",
    13: "送认购权证",
    14: "送认沽权证",
}


@dataclasses.dataclass(frozen=True)
class Event:
    """An ex-rights or ex-dividend event. The meaning of the four values depends on the
    category: category 1 holds cash dividend, rights price, bonus shares and rights shares
    (float32, per 10 shares); 11 and 12 the consolidation ratio in value 3 (float32); 13 and
    14 the warrant price and quantity in values 1 and 3 (float32); every other category the
    float and total share capital before and after, in 10,000 shares (volume form)."""

    date: datetime.date
    category: int
    values: tuple[float, float, float, float]

    @property
    def holds_shares(self) -> bool:
        return self.category not in (1, 11, 12, 13, 14)


@functools.cache
def events(security: Security) -> tuple[Event, ...]:
    """The ex-rights and ex-dividend events, oldest first. Share-capital events chain: each
    one starts from the capital that the previous one left, and the last gives the finance
    summary its share capital."""
    if security.shares == 0:  # an index has no capital and no events
        return ()
    rng = random.Random(security.seed ^ 0xE0E7)
    total = security.shares
    # On market 0 no share floated before the listing of restricted shares, so the first
    # event's first figure is a stored zero.
    floating = 0 if security.market == 0 else total // 2
    out: list[Event] = []

    def capital(when: datetime.date, category: int, new_float: int, new_total: int) -> None:
        nonlocal total, floating
        values = (float(floating), float(total), float(new_float), float(new_total))
        out.append(Event(when, category, values))
        total, floating = new_total, new_float

    capital(datetime.date(2015, 6, 12), 3, total * 3 // 4, total)
    out.append(Event(datetime.date(2016, 7, 8), 1, (f32(1.2 + rng.randrange(20) / 10), 0.0, 0.0, 0.0)))
    bonus = 2 + rng.randrange(3)
    out.append(Event(datetime.date(2018, 6, 22), 1, (f32(rng.randrange(5, 40) / 10), 0.0, float(bonus), 0.0)))
    grown = total + total * bonus // 10
    capital(datetime.date(2018, 6, 25), 2, floating + (grown - total), grown)
    out.append(Event(datetime.date(2019, 5, 17), 11 + security.market, (0.0, 0.0, f32(1.25), 0.0)))
    out.append(
        Event(
            datetime.date(2020, 9, 4),
            13 + rng.randrange(2),
            (f32(rng.randrange(300, 900) / 100), 0.0, f32(rng.randrange(5, 30)), 0.0),
        )
    )
    extra = total // 20 + rng.randrange(1000)
    capital(datetime.date(2021, 11, 19), (6, 8, 5, 4)[rng.randrange(4)], floating + extra, total + extra)
    out.append(
        Event(
            datetime.date(2023, 7, 14),
            1,
            (f32(rng.randrange(5, 60) / 10), f32(rng.randrange(300, 900) / 100), 0.0, f32(1.5)),
        )
    )
    for back, kinds in _RECENT_EX_RIGHTS.get(security.label, ()):
        when = _weekday_back(back)
        values = [_ex_rights_values(security, kind) for kind in kinds]
        out.extend(Event(when, 1, v) for v in values)
        added = total * sum(int(v[2] + v[3]) for v in values) // 10
        if added:  # bonus and rights shares list on the ex-date
            capital(when, 2, floating + added, total + added)
    return tuple(out)


# Ex-rights events of the recent past, per security: (weekdays before LAST_DAY, kinds); kinds
# listed together fall on one date, in that order. sz000002 is suspended around its bonus issue.
_RECENT_EX_RIGHTS: dict[str, tuple[tuple[int, tuple[str, ...]], ...]] = {
    "sz000001": ((120, ("cash",)), (40, ("combined",))),
    "sz000002": ((130, ("rights",)), (74, ("bonus",))),
    "sz000858": ((110, ("cash",)), (50, ("bonus", "cash"))),
    "sz300750": ((90, ("bonus",)), (20, ("combined",))),
    "sh600036": ((135, ("cash",)), (95, ("bonus",)), (55, ("rights",)), (15, ("cash", "bonus"))),
    "sh600519": ((100, ("cash",)),),
    "sh601318": ((60, ("combined",)), (10, ("cash",))),
}
_SUSPENDED: dict[str, tuple[int, ...]] = {"sz000002": (75, 74, 73)}


def _weekday_back(count: int) -> datetime.date:
    """The weekday `count` weekdays before LAST_DAY (which is 0)."""
    day = LAST_DAY
    while count:
        day -= datetime.timedelta(days=1)
        count -= day.weekday() < 5
    return day


def _ex_rights_values(security: Security, kind: str) -> tuple[float, float, float, float]:
    """Per 10 shares: a cash dividend of about 3%, 3 bonus shares, 2 rights shares at 80% of the
    first day's price, or all three (with 1 rights share)."""
    price = security.base_price / 100
    cash, rights_price = f32(round(price * 0.3, 1)), f32(round(price * 0.8, 2))
    return {
        "cash": (cash, 0.0, 0.0, 0.0),
        "bonus": (0.0, 0.0, 3.0, 0.0),
        "rights": (0.0, rights_price, 0.0, 2.0),
        "combined": (cash, rights_price, 2.0, 1.0),
    }[kind]


def suspended_days(security: Security) -> tuple[datetime.date, ...]:
    """The days of the calendar on which `security` did not trade, oldest first."""
    return tuple(sorted(_weekday_back(back) for back in _SUSPENDED.get(security.label, ())))


def _ex_rights_between(security: Security, after: datetime.date, until: datetime.date) -> list[Event]:
    return [e for e in events(security) if e.category == 1 and after < e.date <= until]


def reference_price(close: int, ex_rights: Iterable[Event]) -> int:
    """The ex-rights reference price, in cents, after `close` (cents) and the ex-rights events
    in order, each starting from the price the one before left; rounded once, at the end."""
    price = close / 100
    for event in ex_rights:
        fenhong, peigujia, songzhuangu, peigu = event.values
        price = (price - fenhong / 10 + peigujia * peigu / 10) / (1 + songzhuangu / 10 + peigu / 10)
    return close if price == close / 100 else max(1, math.floor(price * 100 + 0.5))


@dataclasses.dataclass(frozen=True)
class Finance:
    security: Security
    liutongguben: float  # float32 values, in 10,000 shares or 10,000 yuan
    province: int
    industry: int
    updated_date: int
    ipo_date: int
    figures: tuple[float, ...]  # the 29 float32 figures, in the client's key order


FINANCE_KEYS: tuple[str, ...] = (
    "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu", "zhigonggu",
    "zongzichan", "liudongzichan", "gudingzichan", "wuxingzichan", "gudongrenshu",
    "liudongfuzhai", "changqifuzhai", "zibengongjijin", "jingzichan", "zhuyingshouru",
    "zhuyinglirun", "yingshouzhangkuan", "yingyelirun", "touzishouyu", "jingyingxianjinliu",
    "zongxianjinliu", "cunhuo", "lirunzonghe", "shuihoulirun", "jinglirun", "weifenpeilirun",
    "meigujingzichan",
)  # fmt: skip

# Figures kept as they are; every other one is in units of 10,000.
FINANCE_UNSCALED = frozenset({"gudongrenshu", "meigujingzichan"})


@functools.cache
def finance(security: Security) -> Finance | None:
    """The finance summary, or None for a security without one (an index)."""
    capital = [e for e in events(security) if e.holds_shares]
    if not capital:
        return None
    floating, total = capital[-1].values[2], capital[-1].values[3]
    rng = random.Random(security.seed ^ 0xF14A)
    assets = total * rng.uniform(2.0, 9.0)
    net = assets * rng.uniform(0.08, 0.4)
    revenue = assets * rng.uniform(0.05, 0.5)
    profit = revenue * rng.uniform(0.05, 0.35)
    figures = {
        "zongguben": total,
        "guojiagu": 0.0,
        "faqirenfarengu": total * 0.3,
        "farengu": total * 0.05,
        "bgu": 0.0,
        "hgu": total * 0.1 if security.market == 1 else 0.0,
        "zhigonggu": 0.0,
        "zongzichan": assets,
        "liudongzichan": assets * 0.45,
        "gudingzichan": assets * 0.2,
        "wuxingzichan": assets * 0.03,
        "gudongrenshu": float(rng.randrange(40000, 900000)),
        "liudongfuzhai": (assets - net) * 0.6,
        "changqifuzhai": (assets - net) * 0.4,
        "zibengongjijin": net * 0.3,
        "jingzichan": net,
        "zhuyingshouru": revenue,
        "zhuyinglirun": revenue * 0.4,
        "yingshouzhangkuan": revenue * 0.15,
        "yingyelirun": profit * 1.3,
        "touzishouyu": profit * 0.1,
        "jingyingxianjinliu": profit * 1.1,
        "zongxianjinliu": profit * 0.2,
        "cunhuo": assets * 0.08,
        "lirunzonghe": profit * 1.28,
        "shuihoulirun": profit,
        "jinglirun": profit * 0.97,
        "weifenpeilirun": net * 0.35,
        "meigujingzichan": net / total,
    }
    return Finance(
        security,
        f32(floating),
        security.province,
        security.industry,
        20240315,
        security.ipo_date,
        tuple(f32(figures[key]) for key in FINANCE_KEYS),
    )


def company_file(security: Security) -> str:
    """The name of the file that holds the company information of `security`."""
    return f"{security.code}.txt"


@functools.cache
def company_sections(security: Security) -> tuple[tuple[str, str], ...]:
    """The company information sections as (title, text), in file order."""
    if security.shares == 0:
        return ()
    s = security
    day = LAST_DAY.strftime("%Y-%m-%d")
    q = quote(s)
    fin = finance(s)
    assert fin is not None
    figure = dict(zip(FINANCE_KEYS, fin.figures, strict=True))
    dividends = [e for e in events(s) if e.category == 1]
    lines_div = "\n".join(
        f"{e.date:%Y-%m-%d}  每10股"
        + "，".join(
            ([f"派现金{e.values[0]:.2f}元"] if e.values[0] else [])
            + ([f"送{e.values[2]:g}股"] if e.values[2] else [])
            + ([f"配{e.values[3]:g}股（配股价{e.values[1]:.2f}元）"] if e.values[3] else [])
        )
        for e in dividends
    )
    capital = [e for e in events(s) if e.holds_shares]
    lines_cap = "\n".join(
        f"{e.date:%Y-%m-%d}  {EVENT_NAMES.get(e.category, '未知')}："
        f"总股本由{e.values[1]:.0f}万股变为{e.values[3]:.0f}万股"
        for e in capital
    )
    return (
        (
            "最新提示",
            f"【最新提示】{s.name}（{s.code}）\n截至{day}，收盘价{q.price / 100:.2f}元，"
            f"成交{q.vol}手，成交额{q.amount / 1e8:.2f}亿元。\n本资料由模拟服务器生成，仅供测试。\n",
        ),
        (
            "公司概况",
            f"【公司概况】\n公司名称：{s.full_name}\n证券简称：{s.name}\n证券代码：{s.code}\n"
            f"上市日期：{s.ipo_date // 10000}-{s.ipo_date // 100 % 100:02d}-{s.ipo_date % 100:02d}\n"
            f"所属地区代码：{s.province}\n所属行业代码：{s.industry}\n",
        ),
        (
            "财务分析",
            f"【财务分析】报告期：2023-12-31\n总资产：{figure['zongzichan']:.2f}万元\n"
            f"净资产：{figure['jingzichan']:.2f}万元\n主营收入：{figure['zhuyingshouru']:.2f}万元\n"
            f"净利润：{figure['jinglirun']:.2f}万元\n每股净资产：{figure['meigujingzichan']:.4f}元\n",
        ),
        (
            "股东研究",
            f"【股东研究】\n股东人数：{figure['gudongrenshu']:.0f}户\n"
            "前十大股东合计持股比例：61.35%\n机构投资者持股稳定。\n",
        ),
        (
            "股本结构",
            f"【股本结构】\n总股本：{figure['zongguben']:.0f}万股\n流通股本：{fin.liutongguben:.0f}万股\n"
            f"历次股本变动：\n{lines_cap}\n",
        ),
        ("分红融资", f"【分红融资】\n{lines_div}\n"),
        (
            "经营分析",
            "【经营分析】\n主营业务稳定增长，毛利率保持在行业平均水平以上。\n"
            "公司持续推进数字化转型，研发投入逐年增加。\n",
        ),
    )
