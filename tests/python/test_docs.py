"""The README and the guides (docs/) say what the package does: each page's snippets run as
written against the simulator, each prints what it says it prints, and every row of the plain
client's error table holds.

A page's Python blocks run as one script, in a folder of their own; a `print(...)` line says in
its comment what it prints. The `quillan` lines of a page's shell blocks run in order in
another folder (a later one may read what an earlier one saved); a `# prints: TEXT` comment
gives the first line of its output (a TEXT ending in "..." its start). Not run: a block right
after an HTML comment `<!-- not run: WHY -->`, and a line naming a server at a documentation
address (192.0.2.x), which stands for a real server.
"""

import os
import pathlib
import re
import shlex
import signal
import socket
import subprocess
import sys

import pytest

import quillan
from helpers import Index
from netutil import free_port
from standin import Reply

SANITIZER_ENV = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
ROOT = pathlib.Path(__file__).parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
ERROR_PAGE = ROOT / "docs" / "guides" / "client.md"
ENV = {"PYTHONPATH": str(pathlib.Path(quillan.__file__).parents[1]), "PATH": "/usr/bin:/bin"}
# A sanitizer build's module loads only with its runtime preloaded: keep what the run set up.
ENV |= {k: v for k, v in os.environ.items() if k in SANITIZER_ENV}


def name(page):
    return page.relative_to(ROOT).as_posix()


def blocks(page, language):
    text = page.read_text(encoding="utf-8")
    found = re.findall(rf"^(<!-- not run: [^\n]*-->\n)?```{language}\n(.*?)^```", text, re.M | re.S)
    return [body for mark, body in found if not mark]


@pytest.mark.parametrize("page", [p for p in PAGES if blocks(p, "python")], ids=name)
def test_python_snippets_run_as_written(page, tmp_path):
    script = "\n".join(blocks(page, "python"))
    out = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, env=ENV, capture_output=True, text=True, timeout=180
    )
    assert out.returncode == 0, out.stderr
    promised = re.findall(r"^\s*print\(.*\)\s+# (.*)$", script, re.M)
    assert out.stdout.splitlines() == promised


# The tool's examples of every page in order, but those that need a real server.
TOOL_LINES = [
    (page, line.split("  #")[0].strip(), line.partition("  # prints: ")[2])
    for page in PAGES
    for block in blocks(page, "sh")
    for line in block.splitlines()
    if line.startswith("quillan ") and "192.0.2." not in line
]


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    made = {}
    return lambda page: made.setdefault(page, tmp_path_factory.mktemp(page.stem))


@pytest.mark.parametrize(
    "page, line, prints", TOOL_LINES, ids=[f"{name(page)}: {line}" for page, line, _ in TOOL_LINES]
)
def test_tool_examples_run_as_written(folders, page, line, prints):
    command = [sys.executable, "-m", "quillan", *shlex.split(line)[1:]]
    out = subprocess.run(command, cwd=folders(page), env=ENV, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout, out.stderr
    first = out.stdout.splitlines()[0]
    if prints.endswith("..."):
        assert first.startswith(prints.removesuffix("..."))
    elif prints:
        assert first == prints


def _unix_socket(tmp_path):
    path = tmp_path / "socket.day"
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(path))
    return listener, str(path)


def _read_special_files(tmp_path):
    listener, path = _unix_socket(tmp_path)
    with listener, pytest.raises(OSError, match=r"^Cannot open file: ") as opened:
        quillan.read_daily_bars(path)
    with pytest.raises(OSError, match=r"^Cannot mmap file: ") as mapped:
        quillan.read_daily_bars(str(tmp_path))
    assert type(opened.value) is OSError and type(mapped.value) is OSError


def _not_an_address():
    # The probe takes such an entry for unreachable; connect refuses it.
    assert quillan.ping_servers([("localhost", 1), ("::1", 1)]) == [("localhost", 1, 9999), ("::1", 1, 9999)]
    quillan.TdxClient().connect("localhost", 7709)


def _script(*replies):
    def run(standin, client):
        standin.script(*replies)
        client.get_xdxr_info(0, "000001")

    return run


def _signal_during_wait(standin, client):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    standin.script(Reply(silent=True))
    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        client.get_xdxr_info(0, "000001")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# The first cell of every row of the error table, and what the row claims: a call (of a
# fresh client, or of a client connected to the stand-in), the exception and its message.
ROWS = {
    "wrong number or names of arguments": (
        lambda: quillan.TdxClient().connect("127.0.0.1"),
        TypeError,
        r"^TdxClient\.connect\(\) missing 1 required positional argument: 'port'$",
    ),
    "wrong argument type": (
        lambda: quillan.TdxClient().get_xdxr_info(0, 600036),
        TypeError,
        r"^argument 'code': 'int' object cannot be cast as 'str'$",
    ),
    "integer out of its range": (
        lambda: quillan.TdxClient().get_xdxr_info(256, "600036"),
        OverflowError,
        r"^out of range integral type conversion attempted$",
    ),
    "item that is a tuple of another length": (
        lambda: quillan.ping_servers([("127.0.0.1", 1, 2)]),
        ValueError,
        r"^expected tuple of length 2, but got tuple of length 3$",
    ),
    "item that is not a tuple": (
        lambda: quillan.TdxClient().get_security_quotes([[0, "000001"]]),
        TypeError,
        r"^argument 'stock_list': 'list' object cannot be cast as 'tuple'$",
    ),
    "one `str` where a list of pairs goes": (
        lambda: quillan.TdxClient().get_security_quotes("600036"),
        TypeError,
        r"^argument 'stock_list': Can't extract `str` to `Vec`$",
    ),
    "`connect` to an address that is not": (
        _not_an_address,
        ValueError,
        r"^Invalid address 'localhost:7709': invalid socket address syntax$",
    ),
    "`connect`: the server refused": (
        lambda: quillan.TdxClient().connect("127.0.0.1", free_port()),
        ConnectionError,
        r"^Connect failed: ",
    ),
    "a request on a client without a connection": (
        lambda: quillan.TdxClient().get_xdxr_info(0, "000001"),
        ConnectionError,
        r"^Not connected$",
    ),
    "a second call on a client while one runs": (
        lambda: (c := quillan.TdxClient()).get_xdxr_info(Index(0, lambda: c.get_xdxr_info(0, "1")), "1"),
        RuntimeError,
        r"^Already borrowed$",
    ),
    "the server closes the connection mid-response": (
        _script(Reply(body=bytes(20), cut=20, then="close")),
        OSError,
        r"^failed to fill whole buffer$",
    ),
    "a compressed body that is not valid zlib data": (
        _script(Reply(body=bytes(20), zs=5, payload=b"abcde")),
        OSError,
        r"^corrupt deflate stream$",
    ),
    "a send or receive that waits 10 s": (_script(Reply(silent=True)), BlockingIOError, r" \(os error 11\)$"),
    "a signal handler raises while a call waits": (_signal_during_wait, KeyboardInterrupt, r"^$"),
    "other socket errors": (
        _script(Reply(silent=True, then="reset")),
        ConnectionResetError,
        r" \(os error 104\)$",
    ),
    "bar file missing": (
        lambda: quillan.read_minute_bars("/no/such.lc5"),
        FileNotFoundError,
        r"^File not found: /no/such\.lc5$",
    ),
    "bar file unreadable or not mappable": (_read_special_files, None, None),
}


def table_rows():
    text = ERROR_PAGE.read_text(encoding="utf-8")
    table = text[text.index("| Failure |") :].split("\n\n")[0]
    return [line.split(" | ")[0].lstrip("| ") for line in table.splitlines()[2:]]


def test_every_row_has_a_check():
    rows = table_rows()
    assert all(any(key in row for row in rows) for key in ROWS)
    assert all(sum(key in row for key in ROWS) == 1 for row in rows)


@pytest.mark.parametrize("key", [pytest.param(k, marks=pytest.mark.slow) if "10 s" in k else k for k in ROWS])
def test_error_table_row(key, standin, client, tmp_path):
    call, exception, message = ROWS[key]
    arguments = {"standin": standin, "client": client, "tmp_path": tmp_path}
    wanted = {name: arguments[name] for name in call.__code__.co_varnames[: call.__code__.co_argcount]}
    if exception is None:
        call(**wanted)
        return
    with pytest.raises(exception, match=message):
        call(**wanted)
    line = next(row for row in ERROR_PAGE.read_text().splitlines() if row.startswith("| ") and key in row)
    assert f"`{exception.__name__}`" in line or f"`{exception.__mro__[1].__name__}`" in line
