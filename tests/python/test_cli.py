"""The command-line tool, run as a user runs it: in a child process, against the simulator."""

import csv
import io
import json
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import time

import pytest

import quillan
from members import requires
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
    return [line.split() for line in lines[:1] + lines[2:]]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    for name in ("sh600036.day", "sz000001.lc5"):
        (folder / name).write_bytes(data.report_file_bytes(f"reports/{name}"))
    return folder


# A command, the module member that it needs, and what the simulator means for it (a list of
# records or one mapping).
CASES = [
    (["bars", "600036", "-n", "5"], "get_security_bars", lambda: data.security_bars(9, 1, "600036", 0, 5)),
    (
        ["bars", "sz000001", "-c", "5m", "--start", "3", "-n", "4"],
        "get_security_bars",
        lambda: data.security_bars(0, 0, "000001", 3, 4),
    ),
    (
        ["quotes", "600036", "0:000001"],
        "get_security_quotes",
        lambda: data.security_quotes([(1, "600036"), (0, "000001")]),
    ),
    (
        ["ticks", "sh600519", "-n", "7"],
        "get_transaction_data",
        lambda: data.transaction_data(1, "600519", 0, 7),
    ),
    (["finance", "000002"], "get_finance_info", lambda: data.finance_info(0, "000002")),
    (
        ["company", "601318"],
        "get_company_info_category",
        lambda: [{"#": i, **e} for i, e in enumerate(data.company_info_category(1, "601318"), 1)],
    ),
]


class TestFormats:
    @pytest.mark.parametrize("fmt", ["table", "csv", "json"])
    @pytest.mark.parametrize(
        "args, member, expected", CASES, ids=lambda v: " ".join(v) if isinstance(v, list) else ""
    )
    def test_results(self, sim, fmt, args, member, expected):
        if not hasattr(quillan._core.TdxClient, member):
            pytest.skip(f"quillan._core has no {member}")
        flags = [] if fmt == "table" else [f"--{fmt}"]
        out = run(*args, "--server", sim.address, *flags)
        assert out.returncode == 0 and out.stderr == ""
        want = expected()
        rows = parsed(out.stdout, fmt)
        if fmt == "json":
            assert rows == want
            return
        # Compare lines of cells joined by blanks (a table cell may hold a blank itself).
        if isinstance(want, dict):
            lines = [[k, output.format_value(v)] for k, v in want.items()]
            lines = [["key", "value"], *lines] if fmt == "table" else [list(want), [v for _, v in lines]]
        else:
            lines = [list(want[0]), *([output.format_value(v) for v in r.values()] for r in want)]
        assert [" ".join(r) for r in rows] == [" ".join(r) for r in lines]

    @requires("get_security_quotes")
    def test_many_quotes_take_several_requests(self, sim):
        rows = json.loads(
            run("quotes", *["600036", "sz000002"] * 60, "--server", sim.address, "--json").stdout
        )
        assert [r["code"] for r in rows] == ["600036", "000002"] * 60

    @requires("get_xdxr_info")
    def test_xdxr_gathers_every_key(self, sim):
        out = run("xdxr", "600036", "--server", sim.address, "--csv")
        header, *rows = parsed(out.stdout, "csv")
        assert (
            header[:5] == ["year", "month", "day", "category", "name"]
            and "fenhong" in header
            and "suogu" in header
        )
        assert len(rows) == len(data.xdxr_info(1, "600036"))

    @requires("get_company_info_content")
    @pytest.mark.parametrize("section", ["2", "公司概况"])
    def test_company_section(self, sim, section):
        out = run("company", "600036", section, "--server", sim.address)
        assert out.stdout == data.company_text(1, "600036", "公司概况")
        out = run("company", "600036", section, "--server", sim.address, "--json")
        assert json.loads(out.stdout)["text"] == data.company_text(1, "600036", "公司概况")

    @requires("read_daily_bars", "read_minute_bars")
    def test_files(self, files):
        out = run("day", str(files / "sh600036.day"), "--json", "--price-coeff", "1")
        assert [r["close"] for r in json.loads(out.stdout)][-1] == float(
            data.security_bars(9, 1, "600036", 0, 1)[0]["close"] * 100
        )
        out = run("minute", str(files / "sz000001.lc5"), "--last", "3")
        assert [r[0] + " " + r[1] for r in parsed(out.stdout, "table")[1:]] == [
            b["datetime"] for b in data.security_bars(0, 0, "000001", 0, 3)
        ]

    @requires("ping_servers")
    def test_ping(self, sim):
        dead = f"127.0.0.1:{free_port()}"
        rows = json.loads(run("ping", sim.address, dead, "--json").stdout)
        assert [(r["port"], r["reachable"]) for r in rows] == [
            (sim.port, True),
            (int(dead.split(":")[1]), False),
        ]


# Every command, with the member that it needs; SIM stands for the simulator's address and
# FILES for the folder of the `files` fixture.
EVERY = [
    (["bars", "600036", "-c", "week", "--server", "SIM"], "get_security_bars"),
    (["quotes", "600036", "sz000001", "--server", "SIM"], "get_security_quotes"),
    (["ticks", "600036", "--server", "SIM"], "get_transaction_data"),
    (["xdxr", "sz000858", "--server", "SIM"], "get_xdxr_info"),
    (["finance", "600519", "--server", "SIM"], "get_finance_info"),
    (["company", "300750", "--server", "SIM"], "get_company_info_category"),
    (["company", "300750", "6", "--server", "SIM"], "get_company_info_content"),
    (["report", "reports/securities.csv", "-o", "FILES/out.csv", "--server", "SIM"], "get_report_file"),
    (["day", "FILES/sh600036.day", "--last", "3"], "read_daily_bars"),
    (["minute", "FILES/sz000001.lc5", "--last", "3"], "read_minute_bars"),
    (["ping", "--server", "SIM"], "ping_servers"),
]


@pytest.mark.parametrize("fmt", ["table", "csv", "json"])
@pytest.mark.parametrize("args, member", EVERY, ids=[e[0][0] + "-" + e[0][1] for e in EVERY])
def test_every_command_in_every_format(sim, files, fmt, args, member):
    if not hasattr(quillan._core, member) and not hasattr(quillan._core.TdxClient, member):
        pytest.skip(f"quillan._core has no {member}")
    args = [a.replace("SIM", sim.address).replace("FILES", str(files)) for a in args]
    out = run(*args, *([] if fmt == "table" else [f"--{fmt}"]))
    assert out.returncode == 0 and out.stderr == "" and out.stdout
    if fmt == "json":
        json.loads(out.stdout)
    elif fmt == "csv":
        assert len(parsed(out.stdout, "csv")) >= 2
    elif args[0] != "company" or len(args) < 5:  # a section's text prints bare
        parsed(out.stdout, "table")


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
        if "this build of quillan has no" in out.stderr:
            pytest.skip(out.stderr.split(": ", 2)[2].strip())
        assert out.returncode == status
        assert out.stderr.count("\n") == 1 and out.stderr.startswith("quillan: error: ")
        assert message in out.stderr and out.stdout == ""


class TestParsing:
    @pytest.mark.parametrize(
        "text, expected",
        [("600036", (1, "600036")), ("000001", (0, "000001")), ("1:000001", (1, "000001")), ("SH000001", (1, "000001")),
         ("sz600036", (0, "600036")), ("255:ABC123", (255, "ABC123")), (" 900901 ", (1, "900901"))],
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
    assert "tour done: 9 steps" in out.stdout and "differ" not in out.stdout


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
