"""quillan._core — High-performance TDX data reader.

Type information for the native module. Every call holds the interpreter lock until it returns.
Integers are range-checked on the way in (OverflowError "out of range integral type conversion
attempted"); text arguments must be str.

The TypedDicts below describe the shapes of the results; they exist for type checkers only
(import them under ``typing.TYPE_CHECKING``), the results themselves are plain dicts.
"""

from collections.abc import Sequence
from typing import Literal, NotRequired, SupportsFloat, SupportsIndex, TypedDict, type_check_only

__all__ = ["read_daily_bars", "read_minute_bars", "ping_servers", "TdxClient"]  # noqa: RUF022 (the module's order)

@type_check_only
class SecurityBar(TypedDict):
    """One bar of `TdxClient.get_security_bars`."""

    datetime: str  # "2024-03-15 10:30"; date-layout categories always show 15:00
    open: float
    high: float
    low: float
    close: float
    vol: float
    amount: float

@type_check_only
class SecurityQuote(TypedDict):
    """One quote of `TdxClient.get_security_quotes`: 33 keys, five levels of bids and asks."""

    market: int
    code: str
    price: float
    last_close: float
    open: float
    high: float
    low: float
    servertime: int
    vol: int
    cur_vol: int
    amount: float
    s_vol: int
    b_vol: int
    bid1: float
    ask1: float
    bid_vol1: int
    ask_vol1: int
    bid2: float
    ask2: float
    bid_vol2: int
    ask_vol2: int
    bid3: float
    ask3: float
    bid_vol3: int
    ask_vol3: int
    bid4: float
    ask4: float
    bid_vol4: int
    ask_vol4: int
    bid5: float
    ask5: float
    bid_vol5: int
    ask_vol5: int

@type_check_only
class Transaction(TypedDict):
    """One trade of `TdxClient.get_transaction_data`."""

    time: str  # "09:30"
    price: float
    vol: int
    num: int
    buyorsell: int

@type_check_only
class XdxrRecord(TypedDict):
    """One event of `TdxClient.get_xdxr_info`. The value keys depend on "category": 1 has
    fenhong, peigujia, songzhuangu and peigu; 11 and 12 suogu; 13 and 14 xingquanjia and
    fenshu; every other category the four share-capital keys."""

    year: int
    month: int
    day: int
    category: int
    name: str
    fenhong: NotRequired[float]
    peigujia: NotRequired[float]
    songzhuangu: NotRequired[float]
    peigu: NotRequired[float]
    suogu: NotRequired[float]
    xingquanjia: NotRequired[float]
    fenshu: NotRequired[float]
    panqianliutong: NotRequired[float]
    qianzongguben: NotRequired[float]
    panhouliutong: NotRequired[float]
    houzongguben: NotRequired[float]

@type_check_only
class FinanceInfo(TypedDict):
    """`TdxClient.get_finance_info`: 36 keys, or none at all when the server's answer is
    shorter than a whole summary."""

    market: int
    code: str
    liutongguben: float
    province: int
    industry: int
    updated_date: int
    ipo_date: int
    zongguben: float
    guojiagu: float
    faqirenfarengu: float
    farengu: float
    bgu: float
    hgu: float
    zhigonggu: float
    zongzichan: float
    liudongzichan: float
    gudingzichan: float
    wuxingzichan: float
    gudongrenshu: float
    liudongfuzhai: float
    changqifuzhai: float
    zibengongjijin: float
    jingzichan: float
    zhuyingshouru: float
    zhuyinglirun: float
    yingshouzhangkuan: float
    yingyelirun: float
    touzishouyu: float
    jingyingxianjinliu: float
    zongxianjinliu: float
    cunhuo: float
    lirunzonghe: float
    shuihoulirun: float
    jinglirun: float
    weifenpeilirun: float
    meigujingzichan: float

@type_check_only
class CompanyInfoEntry(TypedDict):
    """One section of `TdxClient.get_company_info_category`."""

    name: str
    filename: str
    start: int
    length: int

@type_check_only
class DailyBar(TypedDict):
    """One record of `read_daily_bars`."""

    date: str  # "2024-01-05"
    open: float
    high: float
    low: float
    close: float
    amount: float
    volume: float

@type_check_only
class MinuteBar(TypedDict):
    """One record of `read_minute_bars`."""

    datetime: str  # "2024-01-05 09:31"
    open: float
    high: float
    low: float
    close: float
    amount: float
    volume: float

class TdxClient:
    """A connection to one TDX quote server (or none). A client serves one call at a time:
    a second call while one runs raises RuntimeError "Already borrowed".

    Signal handlers run while a call waits for the server, and signals do not extend its
    time-outs. A handler that raises (KeyboardInterrupt on Ctrl-C) ends the call with that
    exception; the connection is then as after any failed request: part of a request or of
    its response may still be in transit, so reconnect before using it again."""

    def __new__(cls) -> TdxClient: ...
    def connect(self, ip: str, port: SupportsIndex) -> Literal[True]:
        """Connects to ip:port (numeric IPv4, or IPv6 in brackets) and runs the set-up
        exchange; a previous connection is replaced only once the new one is set up.

        Raises ValueError for an address that is not numeric, ConnectionError "Connect
        failed: ..." when the server refuses, cannot be reached, or the TCP connect takes more
        than 5 s. The set-up replies are then waited for up to 10 s each and a missing one is
        ignored: a server that accepts and stays silent makes connect return True after about
        30 s (the first request then raises BlockingIOError)."""
    def disconnect(self) -> None:
        """Closes the connection, if any."""
    def get_security_bars(
        self,
        category: SupportsIndex,
        market: SupportsIndex,
        code: str,
        start: SupportsIndex,
        count: SupportsIndex,
    ) -> list[SecurityBar]:
        """category: 0..11, market: 0/1, code: "600036", start: offset, count: num

        Prices in yuan, "vol" in shares, "amount" in yuan."""
    def get_security_quotes(self, stock_list: Sequence[tuple[SupportsIndex, str]]) -> list[SecurityQuote]:
        """Quotes of the (market, code) pairs, one request for all. Each item must be a
        tuple (a list raises TypeError); prices in yuan, volumes in lots of 100 shares."""
    def get_transaction_data(
        self, market: SupportsIndex, code: str, start: SupportsIndex, count: SupportsIndex
    ) -> list[Transaction]: ...
    def get_xdxr_info(self, market: SupportsIndex, code: str) -> list[XdxrRecord]: ...
    def get_finance_info(self, market: SupportsIndex, code: str) -> FinanceInfo: ...
    def get_company_info_category(self, market: SupportsIndex, code: str) -> list[CompanyInfoEntry]: ...
    def get_company_info_content(
        self,
        market: SupportsIndex,
        code: str,
        filename: str,
        start: SupportsIndex,
        length: SupportsIndex,
    ) -> str:
        """The text of one section; pass "filename", "start" and "length" of an index entry."""
    def get_report_file(self, filename: str, offset: SupportsIndex) -> tuple[int, bytes]:
        """(announced size, bytes) of the piece of `filename` at `offset`; an empty piece
        means the end of the file."""

def read_daily_bars(
    filepath: str,
    price_coeff: SupportsFloat | SupportsIndex = 0.01,
    vol_coeff: SupportsFloat | SupportsIndex = 0.01,
) -> list[DailyBar]:
    """Read daily bars from a .day file. Prices and volume are multiplied by the
    coefficients; amount is left as stored. The file holds prices in cents and volume in
    shares, so the defaults give prices in yuan and "volume" in lots of 100 shares.

    Raises FileNotFoundError "File not found: PATH", OSError "Cannot open file: ..." or
    "Cannot mmap file: ..."."""

def read_minute_bars(filepath: str) -> list[MinuteBar]:
    """Read minute bars from a .lc1 or .lc5 file."""

def ping_servers(servers: Sequence[tuple[str, SupportsIndex]]) -> list[tuple[str, int, int]]:
    """(ip, port, latency_ms) per server, fastest first. The latency is the time the TCP
    connect took (nothing is sent); 9999 when it refuses, takes more than 2 s, or the address
    is not a numeric IPv4 "a.b.c.d" or bracketed IPv6 "[::1]" (no error is raised for that)."""
