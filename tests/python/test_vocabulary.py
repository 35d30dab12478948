"""The one vocabulary of securities, servers, frequencies and dates, as every entry point takes it."""

from __future__ import annotations

import datetime

import numpy as np
import pandas as pd
import pytest

from quillan.vocabulary import (
    Security,
    bar_category,
    parse_freq,
    parse_freqs,
    parse_securities,
    parse_security,
    parse_server,
    parse_servers,
    parse_time,
    time_range,
)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("600036", (1, "600036")), ("000001", (0, "000001")), ("300750", (0, "300750")),
        ("510050", (1, "510050")), ("900901", (1, "900901")), ("159915", (0, "159915")),
        ("sh000001", (1, "000001")), ("SZ000001", (0, "000001")), ("sz600036", (0, "600036")),
        (" 600036.SH ", (1, "600036")), ("000001.sz", (0, "000001")), ("1:000001", (1, "000001")),
        ("0:830799", (0, "830799")), ("255:600036", (255, "600036")), ((1, "000001"), (1, "000001")),
        ((0, "830799"), (0, "830799")), (Security(1, "600036"), (1, "600036")),
    ],
)  # fmt: skip
def test_securities_as_users_write_them(text, expected):
    assert parse_security(text) == expected


@pytest.mark.parametrize(
    "bad, error, message",
    [
        ("60003", ValueError, "invalid security '60003': expected 600036, sh600036"),
        ("6000361", ValueError, "invalid security"), ("６０００３６", ValueError, "invalid security"),
        ("60003\u212a", ValueError, "invalid security"), ("sh60003x", ValueError, "invalid security"),
        ("bj430047", ValueError, "invalid security"), ("256:600036", ValueError, "invalid security"),
        ("\u0661:600036", ValueError, "invalid security"), ("1:", ValueError, "invalid security"),
        ("830799", ValueError, "names no market by its first digit: write it with its market, as 0:830799"),
        ("430047", ValueError, "names no market"), ("700001", ValueError, "names no market"),
        ((1, "60003"), ValueError, "invalid security"), ((256, "600036"), ValueError, "invalid security"),
        ((1, "600036", 0), ValueError, "invalid security"), ((1, 600036), TypeError, "pair"),
        ((True, "600036"), TypeError, "pair"), (600036, TypeError, "not int"),
    ],
)  # fmt: skip
def test_securities_that_fit_no_form_or_market_are_refused(bad, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        parse_security(bad)


def test_one_security_or_many():
    assert parse_securities("600036") == [(1, "600036")]
    assert parse_securities((0, "000001")) == [(0, "000001")]
    assert parse_securities(["600036", (0, "000001")]) == [(1, "600036"), (0, "000001")]
    assert Security(1, "600036").symbol == "sh600036" and str(Security(2, "830799")) == "2:830799"
    with pytest.raises(TypeError):
        parse_securities(b"600036")


@pytest.mark.parametrize(
    "text, host, port",
    [
        ("1.2.3.4:7709", "1.2.3.4", 7709), ("[::1]:7709", "::1", 7709), ("localhost:7709", "localhost", 7709),
        ("quotes.example.com:7709", "quotes.example.com", 7709), (("::1", 7711), "::1", 7711),
        (" 10.0.0.1:1 ", "10.0.0.1", 1),
    ],
)  # fmt: skip
def test_servers(text, host, port):
    assert parse_server(text) == (host, port)


@pytest.mark.parametrize(
    "text, message",
    [
        ("1.2.3.4", "expected IP:PORT"), ("1.2.3.4:", "expected"), (":7709", "expected"),
        ("1.2.3.4:70000", "port is 1 to 65535"), ("1.2.3.4:0", "port is 1 to 65535"),
        ("1.2.3.4:-1", "expected"), ("1.2.3.4:\u0663", "expected"),
        ("::1:7709", "IPv6 address goes in brackets"),
        ("[1.2.3.4]:7709", "not an IPv6 address"), ("999.1.1.1:7709", "expected"), ("a b:7709", "expected"),
    ],
)  # fmt: skip
def test_bad_servers(text, message):
    with pytest.raises(ValueError, match=rf"^invalid server .*{message}"):
        parse_server(text)


def test_servers_come_from_the_argument_or_the_environment(monkeypatch):
    assert parse_servers("10.0.0.1:7709,[::1]:7712") == [("10.0.0.1", 7709), ("::1", 7712)]
    monkeypatch.setenv("QUILLAN_SERVERS", "10.0.0.1:7709, 10.0.0.2:7709")
    assert parse_servers(None) == [("10.0.0.1", 7709), ("10.0.0.2", 7709)]
    monkeypatch.delenv("QUILLAN_SERVERS")
    with pytest.raises(ValueError, match="QUILLAN_SERVERS"):
        parse_servers(None)
    with pytest.raises(ValueError, match="empty"):
        parse_servers([])
    assert parse_server("localhost:7709").resolved() == ("127.0.0.1", 7709)


@pytest.mark.parametrize(
    "freq, category",
    [("1m", 8), ("5m", 0), ("15m", 1), ("30m", 2), ("1h", 3), ("1d", 9), ("1w", 5), ("1mo", 6), ("1q", 10),
     ("1y", 11), (" 1D ", 9), (4, 4)],
)  # fmt: skip
def test_frequencies_name_the_bar_categories(freq, category):
    assert bar_category(freq) == category


@pytest.mark.parametrize("freq", ["2d", "", "day", "60m", 70000, -1, True, 1.0])
def test_unknown_frequencies_are_refused(freq):
    with pytest.raises((ValueError, TypeError)):
        bar_category(freq)
    with pytest.raises((ValueError, TypeError)):
        parse_freq(freq)


def test_frequency_lists():
    assert parse_freqs("1d, 5m,1d") == ["1d", "5m"]
    with pytest.raises(ValueError, match="unknown frequency 'day': one of 1m, 5m"):
        parse_freqs("1d,day")


MARCH_1 = np.datetime64("2024-03-01T00:00:00")


@pytest.mark.parametrize(
    "value, moment, whole_day",
    [
        ("20240301", MARCH_1, True), ("2024-03-01", MARCH_1, True), (" 2024-03-01 ", MARCH_1, True),
        ("2024-03-01 10:30", MARCH_1 + np.timedelta64(630, "m"), False),
        ("2024-03-01T10:30:15", MARCH_1 + np.timedelta64(37815, "s"), False),
        (datetime.date(2024, 3, 1), MARCH_1, True),
        (datetime.datetime(2024, 3, 1, 10, 30), MARCH_1 + np.timedelta64(630, "m"), False),
        (np.datetime64("2024-03-01"), MARCH_1, True), (np.datetime64("2024-03"), MARCH_1, True),
        (pd.Timestamp("2024-03-01 10:30"), MARCH_1 + np.timedelta64(630, "m"), False),
    ],
)  # fmt: skip
def test_dates_in_every_form_mean_the_same(value, moment, whole_day):
    assert parse_time(value, "start") == (moment, whole_day)


@pytest.mark.parametrize(
    "value, error",
    [
        ("2024-13-01", ValueError), ("20240230", ValueError), ("2024-0301", ValueError),
        ("202403-01", ValueError),
        ("1989-12-31", ValueError), ("21010101", ValueError), ("2024-03-01 25:00", ValueError),
        ("yesterday", ValueError), ("", ValueError), (np.datetime64("NaT", "s"), ValueError),
        (datetime.datetime(2024, 3, 1, tzinfo=datetime.UTC), ValueError), (20240301, TypeError),
    ],
)  # fmt: skip
def test_impossible_dates_are_refused_with_the_forms(value, error):
    with pytest.raises(error, match="start"):
        parse_time(value, "start")


def test_a_range_takes_in_its_whole_last_day_and_runs_forward():
    assert time_range("2024-03-01", "20240301") == (MARCH_1, MARCH_1 + np.timedelta64(86399, "s"))
    assert time_range(None, "2024-03-01 10:30") == (None, MARCH_1 + np.timedelta64(630, "m"))
    with pytest.raises(ValueError, match="start .* is after end"):
        time_range("2024-03-02", "2024-03-01")
