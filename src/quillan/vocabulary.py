"""The words a user of quillan types, each parsed in one place: securities, servers, bar
frequencies, dates and times, and the columns of a Table of bars.

The Client, the store, the readers and the command-line tool call these parsers at their
boundary and pass only the parsed values inward, so every entry point accepts the same forms
and refuses the rest with the same message.

- A **security** is ``"600036"``, ``"sh600036"`` (any case), ``"600036.SH"``, ``"1:600036"``,
  ``(1, "600036")`` or a `Security`. Codes are six ASCII digits; market 1 is Shanghai and 0
  Shenzhen. A bare code takes its market from its first digit: 5, 6 and 9 are Shanghai, 0, 1,
  2 and 3 Shenzhen; any other code must be written with its market (``"0:830799"``).
- A **server** is ``"IP:PORT"``, ``"[IPv6]:PORT"``, ``"localhost:PORT"``, ``"HOST:PORT"`` (a
  name, looked up once, when it is first used) or a ``(host, port)`` pair.
- A **frequency** is one of `FREQUENCIES`: ``1m 5m 15m 30m 1h 1d 1w 1mo 1q 1y``.
- A **date or time** (``start``, ``end``, ``as_of``) is a text, ``"2024-03-01"``,
  ``"20240301"``, ``"2024-03-01 10:30"`` (or with seconds, or a ``T``), a ``datetime.date``, a
  ``datetime.datetime`` (pandas.Timestamp is one), or a ``numpy.datetime64``; it names the
  exchange's wall-clock time and lies between 1990 and 2100. A date, or a time with no time
  of day, names a whole day.
- A **Table of bars** has the columns of `BAR_COLUMNS`, whatever it comes from (a server, a
  terminal file, the store): ``datetime`` (``datetime64[s]``, the exchange's wall-clock time;
  daily and longer bars at midnight of their date), ``open``, ``high``, ``low``, ``close``,
  ``amount`` (yuan) and ``volume`` (shares), float64.
"""

from __future__ import annotations

import datetime
import ipaddress
import os
import re
import socket
from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np

from quillan.table import Table

__all__ = [
    "BAR_COLUMNS",
    "DATE_FORMS",
    "ENV_SERVERS",
    "FREQUENCIES",
    "INTRADAY",
    "SECURITY_FORMS",
    "SERVER_FORMS",
    "DateLike",
    "Security",
    "SecurityLike",
    "ServerAddress",
    "ServerLike",
    "bar_category",
    "empty_bars",
    "parse_day",
    "parse_freq",
    "parse_freqs",
    "parse_securities",
    "parse_security",
    "parse_server",
    "parse_servers",
    "parse_time",
    "time_range",
]

# Securities ---------------------------------------------------------------------------------

SECURITY_FORMS = "600036, sh600036, 600036.SH, 1:600036 or (1, '600036')"
_MARKETS = {"sz": 0, "sh": 1}
_MARKET_NAMES = {0: "sz", 1: "sh"}
# ASCII only: Unicode case folding would take the Kelvin sign for a k, and \d other digits.
_PREFIXED = re.compile(r"(sh|sz)([0-9]{6})", re.IGNORECASE | re.ASCII)
_SUFFIXED = re.compile(r"([0-9]{6})\.(sh|sz)", re.IGNORECASE | re.ASCII)
_NUMBERED = re.compile(r"([0-9]{1,3}):([0-9]{6})", re.ASCII)
_BARE = re.compile(r"[0-9]{6}", re.ASCII)


class Security(NamedTuple):
    """A security as the servers know it: a market number and a six-digit code. It is a
    ``(market, code)`` tuple, so it goes wherever one goes."""

    market: int
    code: str

    @property
    def symbol(self) -> str:
        """``"sh600036"`` for Shanghai and ``"sz000001"`` for Shenzhen, else ``"2:830799"``."""
        name = _MARKET_NAMES.get(self.market)
        return f"{name}{self.code}" if name else f"{self.market}:{self.code}"

    def __str__(self) -> str:
        return self.symbol


SecurityLike = str | tuple[int, str]


def _invalid_security(value: object) -> ValueError:
    return ValueError(f"invalid security {value!r}: expected {SECURITY_FORMS}")


def _market_of(code: str) -> int:
    if code[0] in "569":
        return 1
    if code[0] in "0123":
        return 0
    raise ValueError(
        f"security code '{code}' names no market by its first digit: write it with its market, "
        f"as 0:{code} or (0, '{code}')"
    )


def parse_security(value: object) -> Security:
    """The `Security` that ``value`` writes, in any of the forms of this module's documentation.

    ValueError "invalid security …" for anything else (a code of other than six ASCII digits,
    an unknown prefix, a market above 255); TypeError for a value that is neither a str nor a
    pair.
    """
    if isinstance(value, tuple):
        if len(value) != 2:
            raise _invalid_security(value)
        market, code = value
        if isinstance(market, bool) or not isinstance(market, int) or not isinstance(code, str):
            raise TypeError(f"a security pair is (int market, str code), not {value!r}")
        if not 0 <= market <= 255 or not _BARE.fullmatch(code):
            raise _invalid_security(value)
        return Security(market, code)
    if not isinstance(value, str):
        raise TypeError(f"a security is a str or a (market, code) pair, not {type(value).__name__}")
    text = value.strip()
    if match := _PREFIXED.fullmatch(text):
        return Security(_MARKETS[match[1].lower()], match[2])
    if match := _SUFFIXED.fullmatch(text):
        return Security(_MARKETS[match[2].lower()], match[1])
    if match := _NUMBERED.fullmatch(text):
        if int(match[1]) > 255:
            raise _invalid_security(value)
        return Security(int(match[1]), match[2])
    if _BARE.fullmatch(text):
        return Security(_market_of(text), text)
    raise _invalid_security(value)


def parse_securities(value: object) -> list[Security]:
    """One security or an iterable of them, as a list: a str or a pair is one security, never
    the characters or items it holds."""
    if isinstance(value, (str, tuple)):
        return [parse_security(value)]
    if isinstance(value, (bytes, bytearray)) or not isinstance(value, Iterable):
        raise TypeError(f"securities are a security or an iterable of them, not {type(value).__name__}")
    return [parse_security(item) for item in value]


# Servers ------------------------------------------------------------------------------------

ENV_SERVERS = "QUILLAN_SERVERS"
SERVER_FORMS = "IP:PORT, [IPv6]:PORT or HOST:PORT"
_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
_HOST_NAME = re.compile(rf"(?=.{{1,253}}$){_LABEL}(?:\.{_LABEL})*\.?", re.ASCII)


class ServerAddress(NamedTuple):
    """A quote server: a host (a numeric address, without brackets, or a name) and a port."""

    host: str
    port: int

    @property
    def address(self) -> str:
        """``"192.0.2.10:7709"``, with an IPv6 address in brackets."""
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"

    def __str__(self) -> str:
        return self.address

    def resolved(self) -> ServerAddress:
        """The server at a numeric address: ``localhost`` is 127.0.0.1, and a name is looked up
        (IPv4 preferred). OSError when a name cannot be looked up."""
        if self.host == "localhost":
            return ServerAddress("127.0.0.1", self.port)
        try:
            ipaddress.ip_address(self.host)
            return self
        except ValueError:
            pass
        found = socket.getaddrinfo(self.host, self.port, type=socket.SOCK_STREAM)
        found.sort(key=lambda entry: entry[0] != socket.AF_INET)
        return ServerAddress(str(found[0][4][0]), self.port)


ServerLike = str | tuple[str, int]


def _invalid_server(value: object, why: str = "") -> ValueError:
    return ValueError(f"invalid server {value!r}: {why or f'expected {SERVER_FORMS}'}")


def _host(text: str, value: object) -> str:
    if text.startswith("[") and text.endswith("]"):
        try:
            return str(ipaddress.IPv6Address(text[1:-1]))
        except ValueError:
            raise _invalid_server(value, f"{text} is not an IPv6 address") from None
    if ":" in text:
        raise _invalid_server(value, "an IPv6 address goes in brackets, [::1]:7709")
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        pass
    if not _HOST_NAME.fullmatch(text) or text.replace(".", "").isdigit():
        raise _invalid_server(value)
    return text


def parse_server(value: object) -> ServerAddress:
    """The `ServerAddress` of ``"HOST:PORT"`` (``HOST`` a numeric IPv4 address, an IPv6 address
    in brackets, ``localhost`` or a host name) or of a ``(host, port)`` pair; the port is 1 to
    65535. Names are not looked up here (`ServerAddress.resolved` does)."""
    if isinstance(value, tuple):
        if len(value) != 2 or not isinstance(value[0], str) or isinstance(value[1], bool):
            raise TypeError(f"a server pair is (str host, int port), not {value!r}")
        host_text, port = value
        if not isinstance(port, int):
            raise TypeError(f"a server pair is (str host, int port), not {value!r}")
        host_text = host_text.strip()
        if ":" in host_text and not host_text.startswith("["):
            host_text = f"[{host_text}]"  # a bare IPv6 address is unambiguous in a pair
    elif isinstance(value, str):
        host_text, sep, port_text = value.strip().rpartition(":")
        if not sep or not host_text or not (port_text.isascii() and port_text.isdigit()):
            raise _invalid_server(value)
        port = int(port_text)
    else:
        raise TypeError(f"a server is 'HOST:PORT' or a (host, port) pair, not {type(value).__name__}")
    if not 1 <= port <= 0xFFFF:
        raise _invalid_server(value, "the port is 1 to 65535")
    return ServerAddress(_host(host_text, value), port)


def parse_servers(value: object = None) -> list[ServerAddress]:
    """Servers from an iterable of servers, or a comma-separated text; without them (None),
    from the environment variable QUILLAN_SERVERS. ValueError when there are none."""
    if value is None:
        value = os.environ.get(ENV_SERVERS, "")
        if not value.strip():
            raise ValueError(
                "no quote servers given: pass servers=['IP:PORT', ...], or set the environment "
                f"variable {ENV_SERVERS} to a comma-separated list of IP:PORT"
            )
    if isinstance(value, str):
        value = [part for part in value.split(",") if part.strip()]
    elif isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], str):
        value = [value]
    if not isinstance(value, Iterable):
        raise TypeError(f"servers are a list of 'HOST:PORT' texts or pairs, not {type(value).__name__}")
    parsed = [parse_server(server) for server in value]
    if not parsed:
        raise ValueError("the list of quote servers is empty")
    return parsed


# Bar frequencies ----------------------------------------------------------------------------

# The bar category a server is asked for, by frequency.
FREQUENCIES: dict[str, int] = {
    "1m": 8,
    "5m": 0,
    "15m": 1,
    "30m": 2,
    "1h": 3,
    "1d": 9,
    "1w": 5,
    "1mo": 6,
    "1q": 10,
    "1y": 11,
}
INTRADAY = frozenset({"1m", "5m", "15m", "30m", "1h"})


def parse_freq(value: object) -> str:
    """The frequency that ``value`` names (one of `FREQUENCIES`, in any case); ValueError that
    lists the names for anything else."""
    if isinstance(value, str):
        name = value.strip().lower()
        if name in FREQUENCIES:
            return name
        raise ValueError(f"unknown frequency {value!r}: one of {', '.join(FREQUENCIES)}")
    raise TypeError(f"a frequency is a name such as '1d', not {type(value).__name__}")


def parse_freqs(value: object) -> list[str]:
    """Frequencies from a comma-separated text or an iterable of names, each once, in order."""
    items = value.split(",") if isinstance(value, str) else value
    if not isinstance(items, Iterable):
        raise TypeError(f"frequencies are names such as '1d', not {type(value).__name__}")
    names = [parse_freq(item) for item in items if not (isinstance(item, str) and not item.strip())]
    if not names:
        raise ValueError(f"no frequency given: one or more of {', '.join(FREQUENCIES)}")
    return list(dict.fromkeys(names))


def bar_category(value: object) -> int:
    """The bar category to ask a server for: a frequency's (`FREQUENCIES`), or a category
    number (0 to 65535) as it is, for categories that no name covers."""
    if isinstance(value, bool):
        raise TypeError("a frequency is a name such as '1d' or a category number, not a bool")
    if isinstance(value, int):
        if not 0 <= value <= 0xFFFF:
            raise ValueError(f"bar category {value} is out of range (0 to 65535)")
        return value
    if not isinstance(value, str):
        raise TypeError(
            f"a frequency is a name such as '1d' or a category number, not {type(value).__name__}"
        )
    return FREQUENCIES[parse_freq(value)]


# Dates and times ----------------------------------------------------------------------------

DATE_FORMS = "2024-03-01, 20240301 or '2024-03-01 10:30'"
FIRST_YEAR, LAST_YEAR = 1990, 2100
DateLike = str | datetime.date | np.datetime64
_DATE_TEXT = re.compile(
    r"(?:(\d{4})-(\d{2})-(\d{2})|(\d{4})(\d{2})(\d{2}))(?:[ T](\d{2}):(\d{2})(?::(\d{2}))?)?", re.ASCII
)
_ONE_DAY = np.timedelta64(1, "D")
_ONE_SECOND = np.timedelta64(1, "s")


def _invalid_date(name: str, value: object) -> ValueError:
    return ValueError(
        f"{name}: invalid date {value!r}: expected {DATE_FORMS}, between {FIRST_YEAR} and {LAST_YEAR}"
    )


def _from_text(text: str, name: str) -> tuple[np.datetime64, bool]:
    match = _DATE_TEXT.fullmatch(text.strip())
    if match is None:
        raise _invalid_date(name, text)
    parts = match.groups()
    year, month, day = (int(part) for part in (parts[:3] if parts[0] else parts[3:6]))
    hour, minute, second = (int(part) if part else None for part in parts[6:])
    try:
        moment = datetime.datetime(year, month, day, hour or 0, minute or 0, second or 0)
    except ValueError:
        raise _invalid_date(name, text) from None
    return np.datetime64(moment, "s"), hour is None


def parse_time(value: object, name: str = "date", *, tz: str | None = None) -> tuple[np.datetime64, bool]:
    """The moment that ``value`` names (``datetime64[s]``, the exchange's wall-clock time), and
    whether it names a whole day (a date, or a time with no time of day given).

    A datetime with a time zone is taken to the wall-clock time of ``tz`` when one is given
    (the bars' zone), else refused: the exchange's own time has no zone attached. ValueError,
    naming ``name``, for a text that is none of the forms, an impossible date and anything
    outside 1990 to 2100; TypeError for a value of another type.
    """
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None:
            if tz is None:
                raise ValueError(
                    f"{name} has a time zone: give a naive date or time, in the exchange's own time"
                )
            import zoneinfo

            value = value.astimezone(zoneinfo.ZoneInfo(tz)).replace(tzinfo=None)
        moment, whole_day = np.datetime64(value.replace(microsecond=0), "s"), False
    elif isinstance(value, datetime.date):
        moment, whole_day = np.datetime64(value, "D").astype("datetime64[s]"), True
    elif isinstance(value, str):
        moment, whole_day = _from_text(value, name)
    elif isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError(f"{name} is not a time (NaT)")
        whole_day = np.datetime_data(value.dtype)[0] in ("Y", "M", "W", "D")
        moment = value.astype("datetime64[s]")
    else:
        raise TypeError(
            f"{name} is a date, a datetime or a text such as '2024-03-01', not {type(value).__name__}"
        )
    year = moment.astype("datetime64[Y]").astype(np.int64) + 1970
    if not FIRST_YEAR <= year <= LAST_YEAR:
        raise _invalid_date(name, value)
    return moment, whole_day


def parse_day(value: object, name: str = "date") -> np.datetime64:
    """The day (``datetime64[D]``) that ``value`` names: a date in any form of `parse_time`,
    or a time, whose day it takes."""
    day: np.datetime64 = parse_time(value, name)[0].astype("datetime64[D]")
    return day


def time_range(
    start: object = None, end: object = None, *, tz: str | None = None
) -> tuple[np.datetime64 | None, np.datetime64 | None]:
    """The first and last moments (``datetime64[s]``, inclusive) of the times from ``start`` to
    ``end``; an ``end`` that names a whole day takes in all of it. None where not given.
    ValueError when ``start`` comes after ``end``."""
    low = parse_time(start, "start", tz=tz)[0] if start is not None else None
    high = None
    if end is not None:
        high, whole_day = parse_time(end, "end", tz=tz)
        if whole_day:
            high = high + _ONE_DAY - _ONE_SECOND
    if low is not None and high is not None and low > high:
        raise ValueError(f"start ({start}) is after end ({end})")
    return low, high


# The bar schema -----------------------------------------------------------------------------

BAR_COLUMNS = ("datetime", "open", "high", "low", "close", "amount", "volume")
BAR_VALUES = BAR_COLUMNS[1:]


def empty_bars() -> Table:
    """A Table of bars without rows."""
    empty = np.zeros(0, dtype=np.float64)
    return Table({"datetime": np.zeros(0, dtype="datetime64[s]"), **dict.fromkeys(BAR_VALUES, empty)})


def bars_table(columns: dict[str, Any], *, tz: str | None = None) -> Table:
    """The bar columns of ``columns`` (``datetime`` and the values, others dropped) as a Table
    of bars, in schema order and dtypes; ValueError naming a missing column."""
    missing = [name for name in BAR_COLUMNS if name not in columns]
    if missing:
        raise ValueError(f"bars need the columns {', '.join(BAR_COLUMNS)}; missing: {', '.join(missing)}")
    times = np.asarray(columns["datetime"])
    if times.dtype != np.dtype("datetime64[s]"):
        times = times.astype("datetime64[s]")
    return Table(
        {"datetime": times, **{name: np.asarray(columns[name], dtype=np.float64) for name in BAR_VALUES}},
        tz=tz,
    )
