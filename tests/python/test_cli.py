"""The command-line tool, run as a user runs it: in a child process, against the simulator."""

import csv
import io
import json
import os
import pty
import shutil
import struct
import subprocess
import sys

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
    return [line.split() for line in lines[:1] + lines[2:]]


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
        # Compare lines of cells joined by blanks (a table cell may hold a blank itself).
        if isinstance(want, dict):
            lines = [[k, output.format_value(v)] for k, v in want.items()]
            lines = [["key", "value"], *lines] if fmt == "table" else [list(want), [v for _, v in lines]]
        else:
            lines = [list(want[0]), *([output.format_value(v) for v in r.values()] for r in want)]
        assert [" ".join(r) for r in rows] == [" ".join(r) for r in lines]

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
        assert [r[0] + " " + r[1] for r in parsed(out.stdout, "table")[1:]] == [
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
        assert out.stderr == ""  # no progress bar when stderr is not a terminal

    def test_announced_sizes_are_not_trusted(self, standin, tmp_path):
        # A piece announced larger or smaller than it is: the file is the bytes that came,
        # and the next request asks for the offset right after them.
        standin.script(
            Reply(body=struct.pack("<I", 99) + b"abcdef", compress=True),
            Reply(body=struct.pack("<I", 1) + b"ghij"),
            Reply(body=struct.pack("<I", 7)),
        )
        out = run("report", "f", "-o", str(tmp_path / "f"), "--server", f"{standin.host}:{standin.port}")
        assert out.returncode == 0 and (tmp_path / "f").read_bytes() == b"abcdefghij"
        offsets = [struct.unpack_from("<I", frame, 12)[0] for frame in standin.frames()]
        assert offsets == [0, 6, 10]

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
            (["day", "/no/such/file.day"], 1, "File not found: /no/such/file.day"),
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
        "text", ["60003", "6000361", "256:600036", "bj430047", "1:", ":600036", "60003!"]
    )
    def test_bad_security(self, text):
        with pytest.raises(Exception, match="invalid"):
            cli.parse_security(text)

    @pytest.mark.parametrize(
        "text, expected", [("1.2.3.4:7709", ("1.2.3.4", 7709)), ("[::1]:0", ("[::1]", 0))]
    )
    def test_server(self, text, expected):
        assert cli.parse_server(text) == expected

    @pytest.mark.parametrize("text", ["1.2.3.4", "1.2.3.4:", ":7709", "1.2.3.4:70000", "1.2.3.4:-1", "a:b"])
    def test_bad_server(self, text):
        with pytest.raises(Exception, match="invalid server address"):
            cli.parse_server(text)


class TestTable:
    def test_wide_characters_align(self):
        buffer = io.StringIO()
        output.write_records(
            [{"name": "最新提示", "start": 0}, {"name": "ab", "start": 1234}], "table", buffer
        )
        lines = buffer.getvalue().splitlines()
        assert [output.display_width(line) for line in lines] == [15] * 4
        assert lines[2].endswith("    0") and lines[3].startswith("ab ")

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
