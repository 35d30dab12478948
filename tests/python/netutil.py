"""Socket helpers shared by the tests."""

import contextlib
import errno
import os
import socket


def free_port() -> int:
    """A loopback port on which nothing listens (refused connections)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def black_hole():
    """A loopback address whose connection attempts get no answer at all.

    A listener whose accept queue is full drops further SYNs, so a connect waits until its own
    time-out. Yields (ip, port).
    """
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    fillers = []
    try:
        for _ in range(8):
            s = socket.socket()
            s.setblocking(False)
            fillers.append(s)
            rc = s.connect_ex(("127.0.0.1", port))
            if rc == errno.EINPROGRESS:
                break  # this one hangs: the queue is full
        yield "127.0.0.1", port
    finally:
        for s in fillers:
            s.close()
        listener.close()


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))
