"""The command-line tool, run as a user runs it: in a child process, against the simulator."""

import contextlib
import csv
import fcntl
import io
import json
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

import quillan
from netutil import free_port
from quillan import Client, cli, read_bars
from quillan.cli import output
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


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


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


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    for name in ("sh600036.day", "sz000001.lc5"):
        (folder / name).write_bytes(data.report_file_bytes(f"reports/{name}"))
    # An ETF's daily file stores thousandths: the same records, read as an ETF's.
    (folder / "sh510300.day").write_bytes(data.report_file_bytes("reports/sh600036.day"))
    return folder


# Every command, and the library call whose result it prints (None: a result that is not one
# Table, checked elsewhere).
COMMANDS = [
    (["bars", "600036", "-n", "5"], lambda c, f: c.bars("600036", count=5)),
    (["bars", "sz000001", "--freq", "5m", "--offset", "3", "-n", "4"],
     lambda c, f: c.bars("sz000001", "5m", offset=3, count=4)),
    (["bars", "600036", "--start", "20240301", "--end", "2024-03-08"],
     lambda c, f: c.bars("600036", start="2024-03-01", end="2024-03-08")),
    (["quotes", "600036", "0:000001"], lambda c, f: c.quotes(["600036", "sz000001"])),
    (["ticks", "sh600519", "-n", "7"], lambda c, f: c.ticks("sh600519", count=7)),
    (["xdxr", "sz000858"], lambda c, f: c.xdxr("sz000858")),
    (["finance", "000002"], None),
    (["company", "601318"], None),
    (["company", "300750", "6"], None),
    (["report", "reports/securities.csv", "-o", "FILES/out.csv"], None),
    (["day", "FILES/sh510300.day", "--last", "3"], lambda c, f: read_bars(f / "sh510300.day")[-3:]),
    (["minute", "FILES/sz000001.lc5", "--last", "3"], lambda c, f: read_bars(f / "sz000001.lc5")[-3:]),
    (["ping"], None),
]  # fmt: skip


class TestFormats:
    @pytest.mark.parametrize("fmt", ["table", "csv", "json"])
    @pytest.mark.parametrize("args, call", COMMANDS, ids=lambda v: " ".join(v) if isinstance(v, list) else "")
    def test_every_command_prints_the_library_result(self, sim, files, fmt, args, call):
        network = args[0] not in ("day", "minute")
        args = [a.replace("FILES", str(files)) for a in args] + (["--server", sim.address] if network else [])
        out = run(*args, *([] if fmt == "table" else [f"--{fmt}"]))
        assert out.returncode == 0 and out.stderr == "" and out.stdout
        if call is None:
            if fmt != "table" or args[:3] != ["company", "300750", "6"]:  # a section's text prints bare
                assert len(parsed(out.stdout, fmt)) >= (1 if fmt == "json" else 2)
            return
        rows = parsed(out.stdout, fmt)
        with Client([sim.address]) as client:
            table = call(client, files)
        want = output.rows_of(table)
        if fmt == "json":
            assert rows == [
                {c: None if v != v else v for c, v in zip(table.columns, row, strict=True)} for row in want
            ]
        elif fmt == "csv":  # exact
            cells = [["" if v is None or v != v else output.format_value(v) for v in row] for row in want]
            assert rows == [list(table.columns), *cells]
        else:
            assert rows[0] == list(table.columns) and len(rows) == len(want) + 1

    def test_many_quotes_take_several_requests(self, sim):
        rows = json.loads(
            run("quotes", *["600036", "sz000002"] * 60, "--server", sim.address, "--json").stdout
        )
        assert [r["code"] for r in rows] == ["600036", "000002"] * 60

    @pytest.mark.parametrize("section", ["2", "公司概况"])
    def test_company_section(self, sim, section):
        out = run("company", "600036", section, "--server", sim.address)
        assert out.stdout == data.company_text(1, "600036", "公司概况")
        out = run("company", "600036", section, "--server", sim.address, "--json")
        assert json.loads(out.stdout)["text"] == data.company_text(1, "600036", "公司概况")

    def test_a_daily_file_is_scaled_by_its_name(self, files):
        # An ETF's file stores thousandths: the tool reads it as read_bars does.
        (close,) = (
            r["close"]
            for r in json.loads(run("day", str(files / "sh510300.day"), "--last", "1", "--json").stdout)
        )
        assert close == read_bars(files / "sh510300.day")["close"][-1]
        halved = json.loads(
            run("day", str(files / "sh510300.day"), "--last", "1", "--scale", "2000", "--json").stdout
        )
        assert halved[0]["close"] == close / 2

    def test_ping(self, sim):
        dead = f"127.0.0.1:{free_port()}"
        rows = json.loads(run("ping", sim.address, dead, "nowhere.invalid:7709", "--json").stdout)
        assert [(r["server"], r["reachable"]) for r in rows] == [
            (sim.address, True), (dead, False), ("nowhere.invalid:7709", False)
        ]  # fmt: skip
        assert rows[2]["note"].startswith("host name not found")


class TestReport:
    def test_download(self, sim, tmp_path):
        out = run("report", "reports/sh600036.lc5", "--server", sim.address, "--json", cwd=tmp_path)
        assert json.loads(out.stdout) == {
            "filename": "reports/sh600036.lc5", "saved_to": "sh600036.lc5", "bytes": 245760
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
            ([Reply(body=struct.pack("<I", 6) + b"abcdef")] * 2, "'f' is larger than the limit of 10 bytes"),
        ],
        ids=["long", "short", "limit"],
    )
    def test_a_server_that_breaks_the_rules_leaves_no_file(self, standin, tmp_path, replies, message):
        standin.script(*replies)
        server = f"{standin.host}:{standin.port}"
        out = run(
            "report", "f", "-o", str(tmp_path / "f"), "--max-size", "10", "--retries", "0", "-s", server
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
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a window's size
        args = [
            "reports/sz000001.lc5",
            "--server",
            sim.address,
            "--size",
            "245760",
            "-o",
            str(tmp_path / "f"),
        ]
        out = run("report", *args, stderr=follower)
        os.close(follower)
        shown = b""
        with contextlib.suppress(OSError):  # EIO once everything written is read
            while chunk := os.read(leader, 65536):
                shown += chunk
        os.close(leader)
        assert out.returncode == 0 and b"\r" in shown and b"245760/245760" in shown

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
            (
                ["bars", "60003"],
                2,
                "invalid security '60003': expected 600036, sh600036, 600036.SH, 1:600036",
            ),
            (["bars", "60003\u212a"], 2, "invalid security '60003\u212a'"),  # the Kelvin sign
            (["bars", "600036", "--freq", "fortnight"], 2, "unknown frequency 'fortnight': one of 1m, 5m"),
            (["bars", "600036", "-n", "\u0663"], 2, "invalid count '\u0663'"),  # an Arabic-Indic 3
            (["quotes", "600036", "--server", "1.2.3.4"], 2, "invalid server '1.2.3.4': expected IP:PORT"),
            (
                ["report", "a", "--server", "127.0.0.1:FREE", "--retries", "0"],
                1,
                "report file 'a' at offset 0 failed after 1 try: 127.0.0.1:FREE: cannot reach the server: "
                "Connect failed: ",
            ),
            (["report", "reports/none", "--server", "SIM"], 1, "the server has no file 'reports/none'"),
            (["company", "600036", "99", "--server", "SIM"], 1, "no section 99 in the company information"),
            (["day", "/no/such/file.day"], 1, "/no/such/file.day: no such file"),
            (["minute", "/"], 1, "/: is a directory"),
            (
                ["report", "f", "-o", "/no/such/folder/f", "--server", "SIM"],
                1,
                "/no/such/folder/f: No such file",
            ),
        ],
    )
    def test_one_line_and_a_status(self, sim, args, status, message):
        port = str(free_port())
        args = [a.replace("SIM", sim.address).replace("FREE", port) for a in args]
        message = message.replace("FREE", port)
        out = run(*args)
        assert out.returncode == status, out.stderr
        assert out.stderr.count("\n") == 1 and out.stderr.startswith("quillan: error: ")
        assert message in out.stderr and out.stdout == ""


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
        assert json.loads(out.stdout)[0]["datetime"] == "2024-03-15"

    def test_missing(self, tmp_path):
        name = os.path.join(os.fsencode(tmp_path), b"\xff.day")
        out = subprocess.run([sys.executable, "-m", "quillan", "day", name], capture_output=True, env=ENV)
        assert out.stderr.decode() == f"quillan: error: {tmp_path}/\\xff.day: no such file\n"


class TestOutput:
    def test_wide_characters_align(self):
        buffer = io.StringIO()
        output.write_rows(["name", "start"], [["最新提示", 0], ["ab", 1234]], "table", buffer)
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
        output.write_rows(["name"], [["a\x1b]0;t\x07\x9b\x7f"]], fmt, buffer)
        assert shown in buffer.getvalue()
        if fmt == "json":
            assert json.loads(buffer.getvalue()) == [{"name": "a\x1b]0;t\x07\x9b\x7f"}]

    def test_control_characters_are_escaped(self):
        buffer = io.StringIO()
        output.write_rows(["name"], [["a\x1b[2Jb\0"]], "table", buffer)
        assert buffer.getvalue().splitlines()[2] == "a\\x1b[2Jb\\x00"
        buffer = io.StringIO()
        output.write_text({"text": "x\ty\n\x07z"}, "text", "table", buffer)
        assert buffer.getvalue() == "x\ty\n\\x07z\n"

    @pytest.mark.parametrize(
        "shown, value, text",
        [
            (output.float32, f32(32.73), "32.73"),
            (output.float32, f32(1.6), "1.6"),
            (output.float32, 275172512.0, "275172512.0"),  # a whole number stays whole
            (output.float32, f32(4.071e-42), "4.071e-42"),
            (output.float32, 0.1, "0.1"),  # not a float32: shown as it is
            (output.float32, 29.490000000000002, "29.490000000000002"),
            (output.float32_times(10000), 1.5 * 10000.0, "15000.0"),
            (output.float32_times(10000), f32(123456.78) * 10000.0, "1234567800.0"),
        ],
    )
    def test_numbers_for_people(self, shown, value, text):
        assert shown(value) == text

    def test_times_in_the_shortest_form_of_their_column_and_missing_values(self):
        import numpy as np

        table = quillan.Table(
            {
                "day": np.array(["2024-03-01", "NaT"], dtype="datetime64[s]"),
                "minute": np.array(["2024-03-01T09:31", "2024-03-01T15:00"], dtype="datetime64[s]"),
                "price": [1.5, float("nan")],
            }
        )
        first, second = output.rows_of(table)
        assert first == ["2024-03-01", "2024-03-01 09:31", 1.5] and second[:2] == [None, "2024-03-01 15:00"]
        buffer = io.StringIO()
        output.write_table(table, "csv", buffer)
        assert buffer.getvalue().splitlines()[2] == ",2024-03-01 15:00,"
        buffer = io.StringIO()
        output.write_table(table, "json", buffer)
        assert json.loads(buffer.getvalue())[1] == {"day": None, "minute": "2024-03-01 15:00", "price": None}


def test_console_script():
    script = shutil.which("quillan", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the quillan script is not installed beside this interpreter")
    out = subprocess.run([script, "--help"], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and "bars" in out.stdout and "tour" in out.stdout


def test_tour():
    out = run("tour")
    assert out.returncode == 0, out.stderr
    assert "tour done: 13 steps" in out.stdout and "differ" not in out.stdout


@pytest.mark.parametrize(
    "error, one_line",
    [(TypeError("bug"), False), (RuntimeError("bug"), False), (OSError("Cannot open"), True)],
)
def test_only_documented_errors_become_one_line(monkeypatch, capsys, tmp_path, error, one_line):
    def fail(*args, **kwargs):
        raise error

    monkeypatch.setattr(cli.files, "read_bars", fail)
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


class TestEdges:
    @pytest.mark.parametrize(
        "command, file, message",
        [
            ("minute", "sh600036.day", "sh600036.day is a daily bar file: read it with 'quillan day'"),
            ("day", "sz000001.lc5", "sz000001.lc5 is a minute bar file: read it with 'quillan minute'"),
            (
                "minute",
                "day.bin",
                "not a minute bar (.lc1 or .lc5) file: no record of {} has a possible date",
            ),
            ("day", "lc5.bin", "not a daily bar (.day) file: no record of {} has a possible date"),
        ],
    )
    def test_wrong_kind_of_file(self, files, tmp_path, command, file, message):
        (tmp_path / "day.bin").write_bytes((files / "sh600036.day").read_bytes())
        (tmp_path / "lc5.bin").write_bytes((files / "sz000001.lc5").read_bytes())
        path = files / file if file.startswith("s") else tmp_path / file
        out = run(command, str(path), "--last", "1")
        assert out.returncode == 1 and message.format(path) in out.stderr

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
        assert all(form in help_text for form in ["600036", "1:600036", "sh600036", "600036.SH"])


@pytest.mark.parametrize(
    "reply, message",
    [
        (
            Reply(body=b"x" * 20, cut=20, then="close"),
            "the server closed the connection in the middle of a reply",
        ),
        (Reply(body=b"x" * 20, zs=5, us=20, payload=b"abcde"), "not valid zlib data: corrupt deflate stream"),
        (Reply(silent=True), "no answer from 127.0.0.1:{} within 1 s"),
    ],
    ids=["closed", "corrupt", "silent"],
)
def test_transport_errors_in_words(standin, reply, message):
    standin.script(reply)
    server = f"{standin.host}:{standin.port}"
    out = run("bars", "600036", "--server", server, "--retries", "0", "--timeout", "1")
    assert out.returncode == 1 and message.format(standin.port) in out.stderr
