"""Server data as Tables: a quote-server connection whose market-data calls return columns.

``Connection`` asks the same requests and decodes the same answers as ``quillan.TdxClient``,
but fills typed columns in native code, without a Python object per record, and returns a
``quillan.Table``. Its calls release the interpreter lock while they wait for the server and
while they decode, so connections used from several threads overlap.

Every request and its response together have a deadline (``timeout``, 30 s by default): a server
that stays silent or trickles its answer fails the call with TimeoutError. After any failure of
the transport (a time-out, a reset, a cut or corrupt answer) the connection is closed, since the
rest of the failed answer could still arrive and be read as the next one; later calls raise
ConnectionError until ``connect`` is called again. One connection serves one call at a time: a
second call while one runs raises RuntimeError "Already borrowed".

Columns:

- ``get_security_bars``: datetime (datetime64[s]; NaT where the server's fields name no real
  time; midnight for daily and longer bars), open, high, low, close, amount, volume (float64).
- ``get_security_quotes``: market (int64), code (str), price, last_close, open, high, low
  (float64), servertime, vol, cur_vol (int64), amount (float64), s_vol, b_vol (int64), then
  bid1, ask1 (float64), bid_vol1, ask_vol1 (int64) and so on to level 5.
- ``get_transaction_data``: time (timedelta64[s] since midnight; the server may send hours past
  23), price (float64), vol, num, buyorsell (int64).
- ``get_xdxr_info``: date (datetime64[D]; NaT where the record names no real date), category
  (int64), name (str), then fenhong, peigujia, songzhuangu, peigu, suogu, xingquanjia, fenshu,
  panqianliutong, qianzongguben, panhouliutong, houzongguben (float64): each record fills the
  values its category carries (the keys of its dict) and leaves NaN in the others.
- ``get_finance_info``: one row, or none when the server has no summary: market (int64), code
  (str), liutongguben (float64), province, industry, updated_date, ipo_date (int64), then the
  29 figures from zongguben to meigujingzichan (float64).
- ``get_company_info_category``: name, filename (str), start, length (int64).

``get_company_info_content`` returns the text (str) and ``get_report_file`` the pair
(announced size, bytes), as the dict API does.

The values equal those of the dict API: the same floats, the dict's "YYYY-MM-DD hh:mm" and
"hh:mm" texts as datetime64 and timedelta64 (the "15:00" of a daily or longer bar is the
server's date alone, here midnight), the year, month and day of an ex-rights record as one date.
"""

from __future__ import annotations

from collections.abc import Sequence
from types import TracebackType
from typing import Any, Self

import numpy as np

from quillan import _columnar
from quillan._columns import table_from_buffers
from quillan.table import Table

__all__ = ["Connection"]


class Connection:
    """A connection to one quote server with columnar results (see the module's documentation).

    ``Connection(timeout=30.0)``: the deadline, in seconds, of each request and its response;
    it also bounds the set-up exchange of ``connect`` (the TCP connection itself has 5 s).
    """

    __slots__ = ("_native",)

    def __init__(self, *, timeout: float = 30.0) -> None:
        self._native = _columnar.Connection(timeout=timeout)

    @property
    def timeout(self) -> float:
        """The deadline of one request and its response, in seconds; settable."""
        return self._native.timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._native.timeout = seconds

    @property
    def connected(self) -> bool:
        """True while the connection is open: after ``connect``, until ``disconnect``, ``close``
        or a failed request. Like every call, RuntimeError "Already borrowed" while another
        thread's call is under way."""
        return self._native.connected

    def connect(self, host: str, port: int) -> None:
        """Opens a connection to ``host`` (numeric IPv4, IPv6 with or without brackets, or
        "localhost") and runs the set-up exchange; it replaces the current connection only once
        it is ready. Raises ValueError for an address that is not one of those, ConnectionError
        when the server cannot be reached, TimeoutError when the set-up exchange misses its
        deadline."""
        self._native.connect(host, port)

    def disconnect(self) -> None:
        """Closes the connection, if there is one."""
        self._native.disconnect()

    def cancel(self) -> None:
        """Ends the call under way in another thread, and every later one, with
        ConnectionAbortedError "the request was cancelled" within 0.05 s (the one method that
        may be called while another thread's call runs). The connection cannot be used again."""
        self._native.cancel()

    def close(self) -> None:
        """The same as ``disconnect``."""
        self._native.disconnect()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        try:
            state = "connected" if self.connected else "not connected"
        except RuntimeError:  # a call is under way in another thread
            state = "in use"
        return f"<quillan.columnar.Connection {state}, timeout={self.timeout:g} s>"

    def get_security_bars(self, category: int, market: int, code: str, start: int, count: int) -> Table:
        """``count`` bars of kind ``category`` from offset ``start``, as TdxClient asks them."""
        return _table(self._native.get_security_bars(category, market, code, start, count))

    def get_security_quotes(self, pairs: Sequence[tuple[int, str]]) -> Table:
        """Real-time quotes of the (market, code) pairs, one row per quote the server sent; an
        empty sequence gives an empty Table without asking the server."""
        return _table(self._native.get_security_quotes(pairs))

    def get_transaction_data(self, market: int, code: str, start: int, count: int) -> Table:
        """``count`` trades of today from offset ``start``, as TdxClient asks them."""
        columns: dict[str, Any] = dict(self._native.get_transaction_data(market, code, start, count))
        # Seconds since midnight, as int64 values: a duration.
        columns["time"] = np.frombuffer(columns["time"], dtype=np.int64).view("timedelta64[s]")
        return _table(columns)

    def get_xdxr_info(self, market: int, code: str) -> Table:
        """The ex-rights and ex-dividend records of one security, oldest first."""
        return _table(self._native.get_xdxr_info(market, code))

    def get_finance_info(self, market: int, code: str) -> Table:
        """The finance summary of one security: one row, or none when the server has none."""
        return _table(self._native.get_finance_info(market, code))

    def get_company_info_category(self, market: int, code: str) -> Table:
        """The sections of one security's company information: where each text lies."""
        return _table(self._native.get_company_info_category(market, code))

    def get_company_info_content(self, market: int, code: str, filename: str, start: int, length: int) -> str:
        """``length`` bytes of the company information file ``filename`` from ``start``, as text
        (a section's ``filename``, ``start`` and ``length`` come from
        ``get_company_info_category``). Raises ValueError for a name longer than 80 bytes."""
        return self._native.get_company_info_content(market, code, filename, start, length)

    def get_report_file(self, filename: str, offset: int) -> tuple[int, bytes]:
        """The piece of a file kept on the server that starts at ``offset``: the size the server
        announces and the bytes it sent. Raises ValueError for a name longer than 100 bytes."""
        return self._native.get_report_file(filename, offset)


def _table(columns: dict[str, Any]) -> Table:
    return table_from_buffers(columns)
