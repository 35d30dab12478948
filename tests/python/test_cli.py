"""The command-line tool, run as a user runs it: in a child process, against the simulator."""

import csv
import io
import itertools
import json
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

import pytest

import quillan
from netutil import free_port
from quillan import cli, output
from quillan.sim import data
from standin import Reply

ENV = dict(
    os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(quillan.__file__)), *sys.path])
)


def run(*args, stderr=subprocess.PIPE, cwd=None, text=True):
    command = [sys.executable, "-m", "quillan", *args]
    return subprocess.run(
        command, stdout=subprocess.PIPE, stderr=stderr, text=text, timeout=120, env=ENV, cwd=cwd
    )


def parsed(text, fmt):
    """Rows of a table, CSV or JSON output, as lists of strings (JSON: as loaded)."""
    if fmt == "json":
        return json.loads(text)
    if fmt == "csv":
        return list(csv.reader(io.StringIO(text)))
    lines = text.splitlines()
    assert set(lines[1]) <= {"-", " "}
    # Cells are two blanks apart at least; a heading names the unit after a blank.
    header, *rows = (re.split(r"\s{2,}", line.strip()) for line in lines[:1] + lines[2:])
    return [[h.split(" (")[0] for h in header], *rows]


def shows(cell, value):
    """Whether a table cell shows `value`: a float rounded to its tick or float32 form, the
    rest as it is."""
    if isinstance(value, float):
        return float(cell) == pytest.approx(value, rel=1e-6)
    return cell == output.format_value(value)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    for name in ("sh600036.day", "sz000001.lc5"):
        (folder / name).write_bytes(data.report_file_bytes(f"reports/{name}"))
    return folder


# Every command, and for some what the simulator means by it (a list of records or one mapping);
# SIM stands for the simulator's address and FILES for the folder of the `files` fixture.
COMMANDS = [
    (["bars", "600036", "-n", "5"], lambda: data.security_bars(9, 1, "600036", 0, 5)),
    (
        ["bars", "sz000001", "-c", "5m", "--start", "3", "-n", "4"],
        lambda: data.security_bars(0, 0, "000001", 3, 4),
    ),
    (["quotes", "600036", "0:000001"], lambda: data.security_quotes([(1, "600036"), (0, "000001")])),
    (["ticks", "sh600519", "-n", "7"], lambda: data.transaction_data(1, "600519", 0, 7)),
    (["xdxr", "sz000858"], None),
    (["finance", "000002"], lambda: data.finance_info(0, "000002")),
    (
        ["company", "601318"],
        lambda: [{"#": i, **e} for i, e in enumerate(data.company_info_category(1, "601318"), 1)],
    ),
    (["company", "300750", "6"], None),
    (["report", "reports/securities.csv", "-o", "FILES/out.csv"], None),
    (["day", "FILES/sh600036.day", "--last", "3"], None),
    (["minute", "FILES/sz000001.lc5", "--last", "3"], None),
    (["ping"], None),
]


class TestFormats:
    @pytest.mark.parametrize("fmt", ["table", "csv", "json"])
    @pytest.mark.parametrize(
        "args, expected", COMMANDS, ids=lambda v: " ".join(v) if isinstance(v, list) else ""
    )
    def test_every_command_in_every_format(self, sim, files, fmt, args, expected):
        network = args[0] not in ("day", "minute")
        args = [a.replace("FILES", str(files)) for a in args] + (["--server", sim.address] if network else [])
        out = run(*args, *([] if fmt == "table" else [f"--{fmt}"]))
        assert out.returncode == 0 and out.stderr == "" and out.stdout
        if expected is None:
            if fmt != "table" or args[0] != "company":  # a section's text prints bare
                assert len(parsed(out.stdout, fmt)) >= (1 if fmt == "json" else 2)
            return
        want = expected()
        rows = parsed(out.stdout, fmt)
        if fmt == "json":
            assert rows == want
            return
        if isinstance(want, dict):
            lines = (
                [["key", "value"], *map(list, want.items())]
                if fmt == "table"
                else [list(want), list(want.values())]
            )
        else:
            lines = [list(want[0]), *(list(r.values()) for r in want)]
        if fmt == "csv":  # exact
            assert rows == [[output.format_value(v) for v in line] for line in lines]
        else:
            assert len(rows) == len(lines) and rows[0] == lines[0]
            cells = zip(itertools.chain(*rows[1:]), itertools.chain(*lines[1:]), strict=True)
            assert all(shows(cell, value) for cell, value in cells)

    def test_many_quotes_take_several_requests(self, sim):
        rows = json.loads(
            run("quotes", *["600036", "sz000002"] * 60, "--server", sim.address, "--json").stdout
        )
        assert [r["code"] for r in rows] == ["600036", "000002"] * 60

    def test_xdxr_gathers_every_key(self, sim):
        out = run("xdxr", "600036", "--server", sim.address, "--csv")
        header, *rows = parsed(out.stdout, "csv")
        assert (
            header[:5] == ["year", "month", "day", "category", "name"]
            and "fenhong" in header
            and "suogu" in header
        )
        assert len(rows) == len(data.xdxr_info(1, "600036"))

    @pytest.mark.parametrize("section", ["2", "公司概况"])
    def test_company_section(self, sim, section):
        out = run("company", "600036", section, "--server", sim.address)
        assert out.stdout == data.company_text(1, "600036", "公司概况")
        out = run("company", "600036", section, "--server", sim.address, "--json")
        assert json.loads(out.stdout)["text"] == data.company_text(1, "600036", "公司概况")

    def test_files(self, files):
        out = run("day", str(files / "sh600036.day"), "--json", "--price-coeff", "1")
        assert [r["close"] for r in json.loads(out.stdout)][-1] == float(
            data.security_bars(9, 1, "600036", 0, 1)[0]["close"] * 100
        )
        out = run("minute", str(files / "sz000001.lc5"), "--last", "3")
        assert [r[0] for r in parsed(out.stdout, "table")[1:]] == [
            b["datetime"] for b in data.security_bars(0, 0, "000001", 0, 3)
        ]

    def test_ping(self, sim):
        dead = f"127.0.0.1:{free_port()}"
        rows = json.loads(run("ping", sim.address, dead, "--json").stdout)
        assert [(r["port"], r["reachable"]) for r in rows] == [
            (sim.port, True),
            (int(dead.split(":")[1]), False),
        ]


class TestReport:
    def test_download(self, sim, tmp_path):
        out = run("report", "reports/sh600036.lc5", "--server", sim.address, "--json", cwd=tmp_path)
        assert json.loads(out.stdout) == {
            "filename": "reports/sh600036.lc5", "saved_to": "sh600036.lc5", "bytes": 245760, "pieces": 9
        }  # fmt: skip
        assert (tmp_path / "sh600036.lc5").read_bytes() == data.report_file_bytes("reports/sh600036.lc5")
        assert [p.name for p in tmp_path.iterdir()] == ["sh600036.lc5"]
        assert out.stderr == ""  # no progress bar when stderr is not a terminal

    @pytest.mark.parametrize(
        "replies, message",
        [
            (
                [Reply(body=struct.pack("<I", 6) + b"abcdef"), Reply(body=struct.pack("<I", 99) + b"ghij")],
                "the server announced 99 bytes for the piece of 'f' at offset 6 and sent 4",
            ),
            (
                [Reply(body=struct.pack("<I", 7))],
                "the server announced 7 bytes for the piece of 'f' at offset 0",
            ),
            (
                [Reply(body=struct.pack("<I", 6) + b"abcdef")] * 2,
                "'f' is larger than the limit of 10 bytes (--max-size)",
            ),
        ],
        ids=["long", "short", "limit"],
    )
    def test_a_server_that_breaks_the_rules_leaves_no_file(self, standin, tmp_path, replies, message):
        standin.script(*replies)
        out = run(
            "report",
            "f",
            "-o",
            str(tmp_path / "f"),
            "--max-size",
            "10",
            "--server",
            f"{standin.host}:{standin.port}",
        )
        assert out.returncode == 1 and message in out.stderr
        assert list(tmp_path.iterdir()) == []

    def test_interrupted_leaves_no_file(self, standin, tmp_path):
        standin.script(Reply(body=struct.pack("<I", 6) + b"abcdef"), Reply(silent=True))
        command = [sys.executable, "-m", "quillan", "report", "f", "-o", str(tmp_path / "f")]
        child = subprocess.Popen(
            [*command, "--server", f"{standin.host}:{standin.port}"], env=ENV, stderr=subprocess.PIPE
        )
        deadline = time.monotonic() + 30
        while not list(tmp_path.iterdir()) and time.monotonic() < deadline:  # the temporary file
            time.sleep(0.05)
        time.sleep(0.2)
        child.send_signal(signal.SIGINT)
        assert child.wait(timeout=30) == 130
        assert list(tmp_path.iterdir()) == []

    def test_to_stdout(self, sim):
        out = run("report", "reports/securities.csv", "-o", "-", "--server", sim.address, text=False)
        assert out.stdout == data.report_file_bytes("reports/securities.csv")

    def test_not_to_a_terminal(self, sim):
        leader, follower = pty.openpty()
        command = [sys.executable, "-m", "quillan", "report", "reports/securities.csv", "-o", "-"]
        out = subprocess.run(
            [*command, "--server", sim.address], stdout=follower, stderr=subprocess.PIPE, env=ENV, timeout=60
        )
        os.close(follower)
        os.close(leader)
        assert out.returncode == 1 and b"a report file is not written to a terminal" in out.stderr

    def test_progress_on_a_terminal(self, sim, tmp_path):
        leader, follower = pty.openpty()
        out = run(
            "report",
            "reports/sz000001.lc5",
            "--server",
            sim.address,
            "--size",
            "245760",
            "-o",
            str(tmp_path / "f"),
            stderr=follower,
        )
        os.close(follower)
        shown = os.read(leader, 65536).decode()
        os.close(leader)
        assert out.returncode == 0 and "\r" in shown and "245,760 / 245,760 bytes" in shown

    def test_without_server_uses_the_simulator(self, tmp_path):
        out = run("report", "reports/securities.csv", "--csv", "-o", str(tmp_path / "u.csv"))
        assert out.returncode == 0
        assert out.stderr.startswith("quillan: no --server given: using the built-in simulator at 127.0.0.1:")
        assert (tmp_path / "u.csv").read_bytes() == data.report_file_bytes("reports/securities.csv")


class TestErrors:
    @pytest.mark.parametrize(
        "args, status, message",
        [
            ([], 2, "the following arguments are required: COMMAND"),
            (["bogus"], 2, "invalid choice: 'bogus'"),
            (["bars", "60003"], 2, "invalid security '60003'"),
            (["bars", "600036", "-c", "fortnight"], 2, "invalid category 'fortnight'"),
            (
                ["quotes", "600036", "--server", "1.2.3.4"],
                2,
                "invalid server address '1.2.3.4' (expected IP:PORT)",
            ),
            (
                ["report", "a", "--server", "localhost:7709"],
                1,
                "Invalid address 'localhost:7709': invalid socket address syntax",
            ),
            (
                ["report", "a", "--server", "127.0.0.1:FREE"],
                1,
                "cannot reach the server at 127.0.0.1:FREE: Connect failed: ",
            ),
            (["report", "reports/none", "--server", "SIM"], 1, "the server has no file 'reports/none'"),
            (
                ["bars", "0:999999", "--server", "SIM"],
                1,
                "the server has no bars of this category for 0:999999",
            ),
            (["quotes", "600036", "999999", "--server", "SIM"], 1, "the server has no quote for 1:999999"),
            (["finance", "1:000001", "--server", "SIM"], 1, "the server has no finance summary for 1:000001"),
            (["company", "600036", "99", "--server", "SIM"], 1, "no section '99'"),
            (["day", "/no/such/file.day"], 1, "/no/such/file.day: no such file"),
            (["bars", "60003\u212a"], 2, "invalid security '60003\u212a'"),  # the Kelvin sign
            (["bars", "600036", "-n", "\u0663"], 2, "invalid count '\u0663'"),  # an Arabic-Indic 3
            (
                ["report", "f", "-o", "/no/such/folder/f", "--server", "SIM"],
                1,
                "/no/such/folder/f: No such file",
            ),
            (["minute", "/"], 1, "/: is a directory"),
        ],
    )
    def test_one_line_and_a_status(self, sim, args, status, message):
        port = str(free_port())
        args = [a.replace("SIM", sim.address).replace("FREE", port) for a in args]
        message = message.replace("FREE", port)
        out = run(*args)
        assert out.returncode == status
        assert out.stderr.count("\n") == 1 and out.stderr.startswith("quillan: error: ")
        assert message in out.stderr and out.stdout == ""


class TestParsing:
    @pytest.mark.parametrize(
        "text, expected",
        [("600036", (1, "600036")), ("000001", (0, "000001")), ("1:000001", (1, "000001")),
         ("SH000001", (1, "000001")), ("sz600036", (0, "600036")), ("255:ABC123", (255, "ABC123")),
         (" 900901 ", (1, "900901"))],
    )  # fmt: skip
    def test_security(self, text, expected):
        assert cli.parse_security(text) == expected

    @pytest.mark.parametrize(
        "text",
        [
            "60003",
            "6000361",
            "256:600036",
            "bj430047",
            "1:",
            ":600036",
            "60003!",
            "60003\u212a",
            "\u0661:600036",
        ],
    )
    def test_bad_security(self, text):
        with pytest.raises(Exception, match="invalid"):
            cli.parse_security(text)

    @pytest.mark.parametrize(
        "text, expected", [("1.2.3.4:7709", ("1.2.3.4", 7709)), ("[::1]:0", ("[::1]", 0))]
    )
    def test_server(self, text, expected):
        assert cli.parse_server(text) == expected

    @pytest.mark.parametrize(
        "text",
        [
            "1.2.3.4",
            "1.2.3.4:",
            ":7709",
            "1.2.3.4:70000",
            "1.2.3.4:-1",
            "a:b",
            "1.2.3.4:\u0663",
            "1.2.3.4:\u00b2",
        ],
    )
    def test_bad_server(self, text):
        with pytest.raises(Exception, match="invalid server address"):
            cli.parse_server(text)


class TestFileNames:
    """A file name that is not UTF-8 reaches the tool as surrogate escapes."""

    def test_read(self, files, tmp_path):
        name = os.path.join(os.fsencode(tmp_path), b"\xff.day")
        with open(name, "wb") as f:
            f.write((files / "sh600036.day").read_bytes())
        out = subprocess.run(
            [sys.executable, "-m", "quillan", "day", name, "--last", "1", "--json"],
            capture_output=True,
            env=ENV,
        )
        assert json.loads(out.stdout)[0]["date"] == "2024-03-15"

    def test_missing(self, tmp_path):
        name = os.path.join(os.fsencode(tmp_path), b"\xff.day")
        out = subprocess.run([sys.executable, "-m", "quillan", "day", name], capture_output=True, env=ENV)
        assert out.stderr.decode() == f"quillan: error: {tmp_path}/\\xff.day: no such file\n"


class TestTable:
    def test_wide_characters_align(self):
        buffer = io.StringIO()
        output.write_records(
            [{"name": "最新提示", "start": 0}, {"name": "ab", "start": 1234}], "table", buffer
        )
        lines = buffer.getvalue().splitlines()
        assert [output.display_width(line) for line in lines] == [15] * 4
        assert lines[2].endswith("    0") and lines[3].startswith("ab ")

    @pytest.mark.parametrize(
        "fmt, terminal, shown",
        [
            ("csv", False, "a\x1b]0;t\x07\x9b\x7f"),
            ("csv", True, "a\\x1b]0;t\\x07\\x9b\\x7f"),
            ("json", False, '"a\\u001b]0;t\\u0007\x9b\x7f"'),
            ("json", True, '"a\\u001b]0;t\\u0007\\u009b\\u007f"'),
        ],
    )
    def test_control_characters_reach_a_terminal_escaped(self, fmt, terminal, shown):
        class Out(io.StringIO):
            def isatty(self):
                return terminal

        buffer = Out()
        output.write_records([{"name": "a\x1b]0;t\x07\x9b\x7f"}], fmt, buffer)
        assert shown in buffer.getvalue()
        if fmt == "json":
            assert json.loads(buffer.getvalue()) == [{"name": "a\x1b]0;t\x07\x9b\x7f"}]

    def test_control_characters_are_escaped(self):
        buffer = io.StringIO()
        output.write_records([{"name": "a\x1b[2Jb\0"}], "table", buffer)
        assert buffer.getvalue().splitlines()[2] == "a\\x1b[2Jb\\x00"
        buffer = io.StringIO()
        output.write_text({"text": "x\ty\n\x07z"}, "text", "table", buffer)
        assert buffer.getvalue() == "x\ty\n\\x07z\n"


def test_console_script():
    script = shutil.which("quillan", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the quillan script is not installed beside this interpreter")
    out = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and "bars" in out.stdout and "tour" in out.stdout


def test_tour():
    out = run("tour")
    assert out.returncode == 0, out.stderr
    assert "tour done: 12 steps" in out.stdout and "differ" not in out.stdout


@pytest.mark.parametrize(
    "error, one_line",
    [(TypeError("bug"), False), (RuntimeError("bug"), False), (OSError("Cannot open"), True)],
)
def test_only_documented_errors_become_one_line(monkeypatch, capsys, tmp_path, error, one_line):
    def fail(*args):
        raise error

    monkeypatch.setattr(cli._core, "read_daily_bars", fail)
    argv = ["day", str(tmp_path / "x.day")]
    if one_line:
        assert cli.main(argv) == 1 and capsys.readouterr().err == f"quillan: error: {argv[1]}: Cannot open\n"
    else:
        with pytest.raises(type(error)):
            cli.main(argv)


def test_module_runs_from_the_repository_root():
    root = os.path.dirname(os.path.dirname(os.path.dirname(__file__)))
    out = run("--help", cwd=root)
    assert out.returncode == 0 and "tour" in out.stdout


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


class TestNumbersForPeople:
    @pytest.mark.parametrize(
        "shown, value, text",
        [
            (output.decimals(2), 3131 * 0.01, "31.31"),  # a price in cents times 0.01
            (output.decimals(3), 12.34, "12.340"),
            (output.decimals(2), 7, "7"),
            (output.float32, f32(32.73), "32.73"),
            (output.float32, f32(1.6), "1.6"),
            (output.float32, f32(15000.0), "15000.0"),
            (output.float32, f32(4.071e-42), "4.071e-42"),
            (output.float32, 0.1, "0.1"),  # not a float32: shown as it is
            (output.float32, 0.30000000000000004, "0.30000000000000004"),
            (output.float32_times(10000), f32(1.5) * 10000.0, "15000.0"),
            (output.float32_times(10000), f32(123456.78) * 10000.0, "1234567800.0"),
        ],
    )
    def test_shown(self, shown, value, text):
        assert shown(value) == text

    def test_numbers_align_right_cell_by_cell(self):
        buffer = io.StringIO()
        output.write_records(
            [{"name": "a", "n": 1.5, "v": 2}, {"name": "bb", "v": 10}, {"name": "c", "n": "x", "v": 300}],
            "table",
            buffer,
            ["name", "n", "v"],
            {"n": output.decimals(2)},
            {"v": "v (lots)"},
        )
        assert buffer.getvalue().splitlines() == [
            "name  n     v (lots)",
            "----  ----  --------",
            "a     1.50         2",
            "bb                10",
            "c     x          300",
        ]
        buffer = io.StringIO()
        output.write_mapping({"code": "600036", "price": 1.5, "ipo_date": 20020409}, "table", buffer)
        assert buffer.getvalue().splitlines()[2:] == [
            "code      600036",
            "price          1.5",
            "ipo_date  20020409",
        ]

    def test_table_rounds_where_json_is_exact(self, files):
        table = parsed(run("day", str(files / "sh600036.day")).stdout, "table")
        exact = json.loads(run("day", str(files / "sh600036.day"), "--json").stdout)
        # A price in cents times 0.01 is not always the nearest double of the price.
        i = next(i for i, r in enumerate(exact) if len(repr(r["close"])) > 8)
        assert table[1 + i][4] == f"{exact[i]['close']:.2f}" and table[0][-1] == "volume"


class TestEdges:
    @pytest.mark.parametrize(
        "command, file, status, message",
        [
            ("minute", "sh600036.day", 1, "sh600036.day is a daily bar file: read it with 'quillan day'"),
            ("day", "sz000001.lc5", 1, "sz000001.lc5 is a minute bar file: read it with 'quillan minute'"),
            ("minute", "day.bin", 0, "warning: {}: 160 of 160 records have impossible dates"),
            ("day", "lc5.bin", 0, "warning: {}: 7,680 of 7,680 records have impossible dates"),
        ],
    )
    def test_wrong_kind_of_file(self, files, tmp_path, command, file, status, message):
        (tmp_path / "day.bin").write_bytes((files / "sh600036.day").read_bytes())
        (tmp_path / "lc5.bin").write_bytes((files / "sz000001.lc5").read_bytes())
        path = files / file if file.startswith("s") else tmp_path / file
        out = run(command, str(path), "--last", "1")
        assert out.returncode == status and message.format(path) in out.stderr

    @pytest.mark.parametrize("command", ["bars", "ticks"])
    @pytest.mark.parametrize("fmt, shown", [("table", 2), ("csv", 1), ("json", 1)])
    def test_count_zero(self, sim, command, fmt, shown):
        out = run(
            command, "600036", "-n", "0", "--server", sim.address, *([] if fmt == "table" else [f"--{fmt}"])
        )
        assert out.returncode == 0 and out.stderr == ""
        assert len(out.stdout.splitlines()) == shown and (out.stdout == "[]\n") == (fmt == "json")

    def test_closed_pipe_is_success(self, files):
        command = [sys.executable, "-m", "quillan", "minute", str(files / "sz000001.lc5")]
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
        child.stdout.readline()
        child.stdout.close()
        assert child.wait(timeout=60) == 0 and child.stderr.read() == b""

    def test_security_help_lists_every_form(self):
        help_text = " ".join(run("bars", "--help").stdout.split())
        assert all(form in help_text for form in ["600036", "1:600036", "sh600036", "sz000001"])

    def test_ping_says_why(self):
        rows = json.loads(run("ping", "localhost:7709", "::1:7709", "127.0.0.1:1", "--json").stdout)
        assert [r["note"] for r in rows] == [
            "not a numeric address (host names are not looked up): nothing was probed",
            "an IPv6 address goes in brackets, [::1]: nothing was probed",
            "",
        ]


@pytest.mark.parametrize(
    "reply, message",
    [
        (
            Reply(body=b"x" * 20, cut=20, then="close"),
            "the server closed the connection in the middle of a reply",
        ),
        (Reply(body=b"x" * 20, zs=5, us=20, payload=b"abcde"), "not valid zlib data: corrupt deflate stream"),
        pytest.param(Reply(silent=True), "no answer from 127.0.0.1:{} within 10 s: ", marks=pytest.mark.slow),
    ],
    ids=["closed", "corrupt", "silent"],
)
def test_transport_errors_in_words(standin, reply, message):
    standin.script(reply)
    out = run("bars", "600036", "--server", f"{standin.host}:{standin.port}")
    assert out.returncode == 1 and message.format(standin.port) in out.stderr
