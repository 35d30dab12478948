"""Ex-rights records, finance summary and company information through the stand-in server."""

import random
import struct

import pytest

from quillan._core import TdxClient
from standin import Reply

XDXR_HEAD = ["year", "month", "day", "category", "name"]
XDXR_VALUES = {
    "dividend": ["fenhong", "peigujia", "songzhuangu", "peigu"],
    "consolidation": ["suogu"],
    "warrant": ["xingquanjia", "fenshu"],
    "shares": ["panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"],
}
XDXR_NAMES = [
    "未知",
    "除权除息",
    "送配股上市",
    "非流通股上市",
    "未知股本变动",
    "股本变化",
    "增发新股",
    "股份回购",
    "增发新股上市",
    "转配股上市",
    "可转债上市",
    "扩缩股",
    "非流通股缩股",
    "送认购权证",
    "送认沽权证",
]
FINANCE_FIGURES = [
    "zongguben",
    "guojiagu",
    "faqirenfarengu",
    "farengu",
    "bgu",
    "hgu",
    "zhigonggu",
    "zongzichan",
    "liudongzichan",
    "gudingzichan",
    "wuxingzichan",
    "gudongrenshu",
    "liudongfuzhai",
    "changqifuzhai",
    "zibengongjijin",
    "jingzichan",
    "zhuyingshouru",
    "zhuyinglirun",
    "yingshouzhangkuan",
    "yingyelirun",
    "touzishouyu",
    "jingyingxianjinliu",
    "zongxianjinliu",
    "cunhuo",
    "lirunzonghe",
    "shuihoulirun",
    "jinglirun",
    "weifenpeilirun",
    "meigujingzichan",
]


def f32(value: float) -> bytes:
    return struct.pack("<f", value)


def widened(value: float) -> float:
    return struct.unpack("<f", f32(value))[0]


def xdxr_body(*records: tuple[int, int, bytes]) -> bytes:
    return (
        bytes(9)
        + struct.pack("<H", len(records))
        + b"".join(
            b"\x01600036\0" + struct.pack("<IB", date, category) + values.ljust(16, b"\0")
            for date, category, values in records
        )
    )


def company_entry(title: bytes, filename: bytes, start: int = 0, length: int = 0) -> bytes:
    return title.ljust(64, b"\0") + filename.ljust(80, b"\0") + struct.pack("<II", start, length)


CALLS = {
    "xdxr": lambda c: c.get_xdxr_info(1, "600036"),
    "finance": lambda c: c.get_finance_info(0, "000001"),
    "category": lambda c: c.get_company_info_category(1, "600036"),
    "content": lambda c: c.get_company_info_content(1, "600036", "600036.txt", 0, 10000),
}


class TestCommon:
    @pytest.mark.parametrize(
        "call, sent",
        [
            ("xdxr", "0C 1F 18 76 00 01 0B 00 0B 00 0F 00 01 00 01 36 30 30 30 33 36"),
            ("finance", "0C 1F 18 76 00 01 0B 00 0B 00 10 00 01 00 00 30 30 30 30 30 31"),
            ("category", "0C 0F 10 9B 00 01 0E 00 0E 00 CF 02 01 00 36 30 30 30 33 36 00 00 00 00"),
            (
                "content",
                "0C 07 10 9C 00 01 68 00 68 00 D0 02 01 00 36 30 30 30 33 36 00 00"
                + b"600036.txt".hex()
                + "00" * 70
                + "00000000 10270000 00000000",
            ),
        ],
    )
    def test_request_bytes(self, client, standin, call, sent):
        standin.script(Reply(body=b""))
        CALLS[call](client)
        assert standin.frames() == [bytes.fromhex(sent)]

    @pytest.mark.parametrize(
        "call, size, empty",
        [("xdxr", 10, []), ("finance", 140, {}), ("category", 153, []), ("content", 11, "")],
    )
    def test_short_body(self, client, standin, call, size, empty):
        standin.script(Reply(body=b"\x01" * size))
        result = CALLS[call](client)
        assert type(result) is type(empty) and result == empty

    @pytest.mark.parametrize("call", CALLS)
    def test_not_connected(self, call):
        with pytest.raises(ConnectionError, match="^Not connected$"):
            CALLS[call](TdxClient())

    def test_arguments(self):
        assert TdxClient.get_company_info_content.__text_signature__ == (
            "($self, market, code, filename, start, length)"
        )
        with pytest.raises(
            TypeError,
            match="^TdxClient.get_company_info_content.. missing 5 "
            "required positional arguments: 'market', 'code', 'filename', "
            "'start', and 'length'$",
        ):
            TdxClient().get_company_info_content()
        # Converted in order, all before the connection is looked at.
        with pytest.raises(TypeError, match="^argument 'filename': 'bytes' object"):
            TdxClient().get_company_info_content(0, "a", b"f", -1, 0)
        with pytest.raises(OverflowError, match="^out of range integral"):
            TdxClient().get_company_info_content(0, "a", "f", 0, 1 << 32)


class TestXdxr:
    @pytest.mark.parametrize(
        "category, shape",
        [
            (1, "dividend"),
            (11, "consolidation"),
            (12, "consolidation"),
            (13, "warrant"),
            (14, "warrant"),
            (0, "shares"),
            (5, "shares"),
            (200, "shares"),
        ],
    )
    def test_keys_and_types(self, client, standin, category, shape):
        standin.script(Reply(body=xdxr_body((20240615, category, b"")), compress=True))
        (record,) = client.get_xdxr_info(1, "600036")
        assert list(record) == XDXR_HEAD + XDXR_VALUES[shape]
        assert record["year"] == 2024 and record["month"] == 6 and record["day"] == 15
        assert [type(record[k]) for k in XDXR_HEAD] == [int, int, int, int, str]
        # A stored 0 is 0.0 both as a float32 and as a share count.
        assert all(type(record[k]) is float and record[k] == 0.0 for k in XDXR_VALUES[shape])

    def test_names_and_values(self, client, standin):
        standin.script(
            Reply(
                body=xdxr_body(
                    (20240615, 1, f32(3.2) + f32(10.1) + f32(0.5) + f32(-1.25)),
                    (20240616, 13, f32(4.4) + f32(99.0) + f32(12.0)),
                    (20240617, 2, struct.pack("<IIII", 0x3F800000, 0, 0x4B189680, 1)),
                    *((20000101, c, b"") for c in [0, *range(3, 16), 255]),
                )
            )
        )
        d, w, s, *rest = client.get_xdxr_info(1, "600036")
        assert [d[k] for k in XDXR_VALUES["dividend"]] == [widened(3.2), widened(10.1), 0.5, -1.25]
        assert (w["xingquanjia"], w["fenshu"]) == (widened(4.4), 12.0)
        # Share counts are volume forms (no zero, so 1 is 2^-127 + 2^-150); a stored 0 is 0.0.
        assert [s[k] for k in XDXR_VALUES["shares"]] == [1.0, 0.0, 1e7, 2.0**-127 + 2.0**-150]
        assert [r["name"] for r in (d, w, s, *rest)] == (
            [XDXR_NAMES[1], XDXR_NAMES[13], XDXR_NAMES[2], XDXR_NAMES[0]] + XDXR_NAMES[3:] + ["未知", "未知"]
        )


class TestFinance:
    def test_result(self, client, standin):
        figures = [1.5 + k for k in range(29)]
        standin.script(
            Reply(
                body=bytes(range(9))
                + f32(1.5)
                + struct.pack("<HHII", 44, 65535, 20240615, 19990101)
                + b"".join(map(f32, figures))
                + b"ignored",
                compress=True,
            )
        )
        info = client.get_finance_info(1, "6000361")
        # Sent cut to six bytes, returned as passed.
        assert standin.frames()[0][15:] == b"600036"
        assert list(info.items())[:7] == [
            ("market", 1),
            ("code", "6000361"),
            ("liutongguben", 15000.0),
            ("province", 44),
            ("industry", 65535),
            ("updated_date", 20240615),
            ("ipo_date", 19990101),
        ]
        unscaled = ("gudongrenshu", "meigujingzichan")
        assert list(info)[7:] == FINANCE_FIGURES
        assert [info[k] for k in FINANCE_FIGURES] == [
            v * (1 if k in unscaled else 10000) for k, v in zip(FINANCE_FIGURES, figures, strict=True)
        ]
        assert all(type(info[k]) is float for k in FINANCE_FIGURES)


class TestCompanyInfo:
    def test_index(self, client, standin):
        standin.script(
            Reply(
                body=b"\x03\x00"
                + company_entry("最新提示".encode("gbk"), b"600036.txt", 0, 4321)
                + company_entry(b"\xb0\xa1" * 32, b"f" * 80, 4294967295, 1)
                + company_entry(b"\0x", b"a.txt\0junk"),
                compress=True,
            )
        )
        assert client.get_company_info_category(1, "600036") == [
            {"name": "最新提示", "filename": "600036.txt", "start": 0, "length": 4321},
            {"name": "啊" * 32, "filename": "f" * 80, "start": 4294967295, "length": 1},
            {"name": "", "filename": "a.txt", "start": 0, "length": 0},
        ]

    def test_file_names_decode_like_python(self, client, standin):
        # UTF-8 pieces, cut and shuffled, and plain noise: most names are malformed.
        rng = random.Random(719)
        pieces = [
            b"a",
            b"\xc3\xa9",
            b"\xe4\xb8\xad",
            b"\xf0\x9f\x98\x80",
            b"\x80",
            b"\xbf",
            b"\xc0",
            b"\xe0\x80",
            b"\xed\xa0",
            b"\xf4\x90",
            b"\xf8",
            b"\xff",
            b"\0",
        ]
        names = [
            (
                b"".join(rng.choices(pieces, k=rng.randrange(1, 40)))
                if i % 2
                else rng.randbytes(rng.randrange(1, 81))
            )[:80]
            for i in range(300)
        ]
        standin.script(
            Reply(
                body=struct.pack("<H", len(names)) + b"".join(company_entry(b"t", n) for n in names),
                compress=True,
            )
        )
        got = [e["filename"] for e in client.get_company_info_category(0, "000001")]
        assert got == [n.split(b"\0")[0].decode("utf-8", "replace") for n in names]

    def test_content_request_fields(self, client, standin):
        standin.script(Reply(body=b""))
        name = "公司概况" * 10  # 120 UTF-8 bytes
        client.get_company_info_content(255, "1", name, 4294967295, 7)
        (frame,) = standin.frames()
        assert frame[12:22] == b"\xff\x001" + bytes(7)
        assert frame[22:102] == name.encode()[:80]
        assert frame[102:] == bytes.fromhex("FF FF FF FF 07 00 00 00 00 00 00 00")

    @pytest.mark.parametrize(
        "text, length, expected",
        [
            (b"", 5, ""),
            (b"abcdefgh", 5, "abcde"),
            (b"abcdefgh", 0, ""),
            ("公司简介\0第二段".encode("gbk"), None, "公司简介\0第二段"),
            (b"\xb0\xa1\x81 \xb0", None, "啊\ufffd \ufffd"),
            ("第一节　公司概况\r\n".encode("gbk") * 3000, None, "第一节　公司概况\r\n" * 3000),
        ],
    )
    def test_content(self, client, standin, text, length, expected):
        t = len(text) if length is None else length
        standin.script(Reply(body=bytes(10) + struct.pack("<H", t) + text, compress=True))
        assert client.get_company_info_content(0, "000001", "000001.txt", 0, 100) == expected
