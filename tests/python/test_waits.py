"""Signals during network waits: handlers run while the call waits, and a raising one ends it.

The waiting client runs in a child process, so that the signals it gets (and the interpreter
lock it holds) leave the test process alone; the server is the stand-in, in another one.
"""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from standin import Reply

# The child connects, says "ready", then makes one call that has to wait and reports what
# happened as JSON: the exception's class and text, when the call ended, when handlers ran.
CHILD = r"""
import json, signal, sys, time
from quillan._core import TdxClient

host, port, mode, where = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
handled = []
if mode == "timer":
    signal.signal(signal.SIGALRM, lambda *_: handled.append(time.monotonic()))
    signal.setitimer(signal.ITIMER_REAL, 2, 2)
elif mode == "sigint-handled":
    signal.signal(signal.SIGINT, lambda *_: handled.append(time.monotonic()))
c = TdxClient()
if where == "exchange":
    c.connect(host, port)
print("ready", flush=True)
start = time.monotonic()
try:
    if where == "exchange":
        c.get_report_file("f", 0)
    else:
        c.connect(host, port)
    error = None
except BaseException as exc:
    error = [type(exc).__name__, str(exc)]
end = time.monotonic()
signal.setitimer(signal.ITIMER_REAL, 0)
signal.signal(signal.SIGINT, signal.SIG_IGN)
after = None
if where == "exchange":
    # As after any failed exchange: reconnect, and the client works again.
    c.connect(host, port)
    after = c.get_report_file("f", 0)[1].decode()
print(json.dumps({"error": error, "start": start, "end": end, "handled": handled, "after": after}))
"""


def run_child(standin, mode: str, where: str, send_sigint_every: float | None = None) -> dict:
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, standin.host, str(standin.port), mode, where],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout is not None
        assert child.stdout.readline() == "ready\n"
        if send_sigint_every is not None:
            time.sleep(0.5)  # the child is in its call by now
            while child.poll() is None:
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                if mode == "sigint":
                    break
                time.sleep(send_sigint_every)
        out, _ = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    result = json.loads(out)
    if send_sigint_every is not None:
        result["sent"] = sent
    return result


def arrange(standin, where: str) -> None:
    if where == "exchange":
        standin.script(Reply(silent=True), Reply(body=b"\0\0\0\0again"))
    else:
        standin.set_setup("silent")


@pytest.mark.slow
@pytest.mark.parametrize("mode, every", [("timer", None), ("sigint-handled", 1.0)])
def test_signals_do_not_extend_the_receive_time_out(standin, mode, every):
    arrange(standin, "exchange")
    result = run_child(standin, mode, "exchange", send_sigint_every=every)
    assert result["error"] == ["BlockingIOError", f"{os.strerror(11)} (os error 11)"]
    assert 9.9 < result["end"] - result["start"] < 11.5
    # The handlers ran while the call waited, not once it had returned.
    assert len(result["handled"]) >= 4
    assert result["handled"][0] < result["start"] + 3
    assert result["after"] == "again"


@pytest.mark.parametrize("where", ["exchange", "setup"])
def test_ctrl_c_ends_the_wait_at_once(standin, where):
    arrange(standin, where)
    result = run_child(standin, "sigint", where, send_sigint_every=0)
    assert result["error"] == ["KeyboardInterrupt", ""]
    assert result["end"] - result["sent"] < 0.5
    if where == "exchange":
        assert result["after"] == "again"
