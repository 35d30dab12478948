"""End to end: the module against the simulator returns exactly what the simulator meant."""

import struct

import pytest

from quillan.sim import data, universe

SECURITIES = [(s.market, s.code) for s in universe.SECURITIES]
UNKNOWN = (0, "999999")


def bits(value):
    """`value` with floats as their bytes and dicts as item lists: equal only when the types,
    the key order and every float bit (-0.0 too) are the same."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return [(k, bits(v)) for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return type(value), [bits(v) for v in value]
    return type(value), value


def same(got, expected):
    assert got == expected
    assert bits(got) == bits(expected)


class TestBars:
    @pytest.mark.parametrize("category", [*range(13), 300])
    @pytest.mark.parametrize("security", SECURITIES + [UNKNOWN])
    def test_every_category(self, sim_client, category, security):
        args = (category, *security, 0, 800)
        same(sim_client.get_security_bars(*args), data.security_bars(*args))

    @pytest.mark.parametrize("start, count", [(0, 1), (10, 10), (38390, 20), (40000, 5), (0, 0)])
    def test_windows(self, sim_client, start, count):
        args = (8, 1, "600519", start, count)
        same(sim_client.get_security_bars(*args), data.security_bars(*args))

    def test_daily_matches_minutes(self, sim_client):
        day = sim_client.get_security_bars(9, 1, "600036", 0, 1)[0]
        minutes = sim_client.get_security_bars(7, 1, "600036", 0, 240)
        assert day["high"] == max(m["high"] for m in minutes) and day["close"] == minutes[-1]["close"]
        assert day["datetime"][:10] == minutes[0]["datetime"][:10] == minutes[-1]["datetime"][:10]


class TestQuotes:
    @pytest.mark.parametrize(
        "stocks", [SECURITIES, [(1, "600036")] * 3 + [UNKNOWN], [UNKNOWN], [(0, "000001")] * 80]
    )
    def test_quotes(self, sim_client, stocks):
        same(sim_client.get_security_quotes(stocks), data.security_quotes(stocks))


class TestTrades:
    @pytest.mark.parametrize("security", SECURITIES + [UNKNOWN])
    @pytest.mark.parametrize("start, count", [(0, 2000), (0, 1), (500, 100), (65535, 10)])
    def test_trades(self, sim_client, security, start, count):
        args = (*security, start, count)
        same(sim_client.get_transaction_data(*args), data.transaction_data(*args))


class TestRecords:
    @pytest.mark.parametrize("security", SECURITIES + [UNKNOWN])
    def test_xdxr(self, sim_client, security):
        # The first event of 0:000001 stores a zero share count, which reads as 0.0.
        same(sim_client.get_xdxr_info(*security), data.xdxr_info(*security))

    @pytest.mark.parametrize("security", SECURITIES + [UNKNOWN, (1, "6000361")])
    def test_finance(self, sim_client, security):
        got = sim_client.get_finance_info(*security)
        # The code comes back as passed; the server sees its first six bytes.
        expected = data.finance_info(security[0], security[1][:6])
        if expected:
            expected["code"] = security[1]
        same(got, expected)


class TestCompany:
    @pytest.mark.parametrize("security", SECURITIES + [UNKNOWN])
    def test_index_and_every_section(self, sim_client, security):
        index = sim_client.get_company_info_category(*security)
        same(index, data.company_info_category(*security))
        for entry in index:
            text = sim_client.get_company_info_content(
                *security, entry["filename"], entry["start"], entry["length"]
            )
            assert text == data.company_text(*security, entry["name"]) != ""

    @pytest.mark.parametrize(
        "filename, start, length",
        [("600036.txt", 0, 0xFFFFFFFF), ("600036.txt", 0xFFFFFFFF, 10), ("600519.txt", 0, 100), ("", 0, 10)],
    )
    def test_text_ranges(self, sim_client, filename, start, length):
        args = (1, "600036", filename, start, length)
        assert sim_client.get_company_info_content(*args) == data.company_info_content(*args)


class TestReport:
    @pytest.mark.parametrize(
        "filename", ["reports/securities.csv", "reports/sz000001.lc5", "reports/nothing"]
    )
    def test_pieces(self, sim_client, filename):
        offset, whole = 0, b""
        while True:
            got = sim_client.get_report_file(filename, offset)
            same(got, data.report_file(filename, offset))
            if not got[1]:
                break
            whole += got[1]
            offset += got[0]
        assert whole == data.report_file_bytes(filename)


class TestServedFiles:
    """The terminal files that the simulator serves hold its bars."""

    def test_day_file(self, tmp_path):
        from quillan._core import read_daily_bars

        path = tmp_path / "x.day"
        path.write_bytes(data.report_file_bytes("reports/sh600036.day"))
        records = read_daily_bars(str(path), 1, 1)
        bars = universe.bars(universe.find(1, "600036"), 9)
        assert [(r["date"], r["close"], r["volume"]) for r in records] == [
            (f"{b.date:%Y-%m-%d}", float(b.close), float(b.vol)) for b in bars
        ]

    def test_lc5_file(self, tmp_path):
        from quillan._core import read_minute_bars

        path = tmp_path / "x.lc5"
        path.write_bytes(data.report_file_bytes("reports/sz300750.lc5"))
        records = read_minute_bars(str(path))
        bars = data.security_bars(0, 0, "300750", 0, 800)
        assert [r["datetime"] for r in records[-800:]] == [b["datetime"] for b in bars]
