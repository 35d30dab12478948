"""The simulator's TCP server, and `Server`, which runs it in a child process.

Every call of `quillan._core` holds the interpreter lock while it waits for the network, so a
simulator living in a thread of the caller's process could never answer. `Server` therefore
starts ``python -m quillan.sim`` as a child process and stops it on exit.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import os
import select
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from types import TracebackType

from quillan.sim.faults import SETUP_COMMANDS, ConnectionFaults, Fault, FaultPlan, commit
from quillan.sim.protocol import FRAME_HEAD, respond

__all__ = ["Server", "SimServer", "address_text", "recv_exact"]


def address_text(host: str, port: int) -> str:
    """The address as "127.0.0.1:7709", or "[::1]:7709" for an IPv6 host."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


MAX_CONNECTIONS = 256
IDLE_TIMEOUT = 300.0
SEND_TIMEOUT = 10.0


def recv_exact(sock: socket.socket, n: int, deadline: float | None = None) -> bytes | None:
    """The next `n` bytes from `sock`; None when the peer closes the connection before them.
    With a `deadline` (monotonic seconds), TimeoutError once it has passed."""
    buf = bytearray()
    while len(buf) < n:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("idle for too long")
            sock.settimeout(left)
        chunk = sock.recv(n - len(buf))
        if not chunk:
            return None
        buf += chunk
    return bytes(buf)


def _limit(name: str, value: float | None) -> float | None:
    """A time-out in seconds: None (or 0) for none, else a positive finite number."""
    if value is None or value == 0:
        return None
    if not 0 < value < float("inf"):
        raise ValueError(f"{name} must be a positive number of seconds, or None; got {value!r}")
    return float(value)


class SimServer:
    """A listening simulator in this process: one thread accepts, one thread per connection
    reads request frames and answers each in turn, with the whole response that `answer`
    returns for the whole request frame.

    At most `max_connections` are served at once; one more is accepted and closed at once. A
    connection has `idle_timeout` seconds to send each whole request (counted from the end of
    the previous answer), and each answer must be taken up within `send_timeout` seconds;
    either failing closes the connection. None means no limit.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        verbose: bool = False,
        answer: Callable[[bytes], bytes] = respond,
        delay: float = 0.0,
        *,
        max_connections: int = MAX_CONNECTIONS,
        idle_timeout: float | None = IDLE_TIMEOUT,
        send_timeout: float | None = SEND_TIMEOUT,
    ):
        if max_connections < 1:
            raise ValueError(f"max_connections must be at least 1; got {max_connections}")
        self.max_connections = max_connections
        self.idle_timeout = _limit("idle_timeout", idle_timeout)
        self.send_timeout = _limit("send_timeout", send_timeout)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.listener = socket.create_server((host, port), family=family, backlog=128)
        self.host = host
        self.port: int = self.listener.getsockname()[1]
        self.verbose = verbose
        self.answer = answer
        self._closed = threading.Event()
        self.faults = FaultPlan()
        self.delay = delay  # seconds every data answer is held back, as a distant server would
        self._lock = threading.Lock()
        self._open = 0  # connections being served

    @property
    def address(self) -> str:
        return address_text(self.host, self.port)

    def serve_forever(self) -> None:
        """Accepts connections until `close`."""
        while not self._closed.is_set():
            try:
                sock, peer = self.listener.accept()
            except OSError:
                if self._closed.is_set():
                    return
                time.sleep(0.01)  # e.g. out of descriptors: let others finish
                continue
            self._admit(sock, peer)

    def _admit(self, sock: socket.socket, peer: object) -> None:
        """Hands a new connection to a thread of its own, or closes it."""
        with self._lock:
            full = self._open >= self.max_connections
            if not full:
                self._open += 1
        if full:
            self._log(f"refusing connection from {peer}: {self.max_connections} connections open")
            sock.close()
            return
        try:
            threading.Thread(target=self._serve, args=(sock, peer), daemon=True).start()
        except (RuntimeError, MemoryError) as err:  # "can't start new thread": serve the next one
            print(f"quillan.sim: connection from {peer} closed: {err}", file=sys.stderr, flush=True)
            self._release()
            sock.close()

    def _release(self) -> None:
        with self._lock:
            self._open -= 1

    def close(self) -> None:
        self._closed.set()
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()

    def _log(self, text: str) -> None:
        if self.verbose:
            print(f"quillan.sim: {text}", file=sys.stderr, flush=True)

    def _serve(self, sock: socket.socket, peer: object) -> None:
        try:
            self._log(f"connection from {peer}")
            faults = ConnectionFaults(self.faults)
            with sock:
                try:
                    while self._answer_one(sock, faults):
                        pass
                except OSError as err:  # reset by the peer, timed out, and the like
                    self._log(f"connection from {peer}: {err or type(err).__name__}")
            self._log(f"connection from {peer} closed")
        finally:
            self._release()

    def _answer_one(self, sock: socket.socket, faults: ConnectionFaults) -> bool:
        """Reads one request frame and answers it; False when the connection is done."""
        deadline = None
        if self.idle_timeout is None:
            sock.settimeout(None)  # undo the send time-out
        else:
            deadline = time.monotonic() + self.idle_timeout
        head = recv_exact(sock, FRAME_HEAD, deadline)
        if head is None:
            return False
        if head[0] != 0x0C:
            # Not a request frame: there is no telling where the next one starts.
            self._log(f"dropping a connection that sent {head.hex(' ')}")
            return False
        rest = recv_exact(sock, int.from_bytes(head[6:8], "little"), deadline)
        if rest is None:
            return False
        frame = head + rest
        sock.settimeout(self.send_timeout)  # for each whole answer
        fault = faults.strike(int.from_bytes(frame[10:12], "little"))
        if fault is not None:
            self._log(f"fault: {fault}")
            return commit(fault, sock, lambda: self.answer(frame), self._closed)
        if self.delay and int.from_bytes(frame[10:12], "little") not in SETUP_COMMANDS:
            self._closed.wait(self.delay)
        try:
            response = self.answer(frame)
        except Exception as err:  # a bug here must not take the server down
            print(f"quillan.sim: error answering {frame.hex(' ')}: {err!r}", file=sys.stderr, flush=True)
            response = respond(b"")
        self._log(f"command {int.from_bytes(frame[10:12], 'little'):#06x}: {len(response)} bytes")
        sock.sendall(response)
        return True


class Server:
    """The simulator in a child process, as a context manager::

        with quillan.sim.Server() as srv:
            client.connect(srv.host, srv.port)

    The port is chosen by the operating system unless given. The child stops when the
    context ends, when `stop` is called, or when this process goes away. `max_connections`,
    `idle_timeout` and `send_timeout` are those of `SimServer` (None: no time limit); `delay`
    holds back every answer; `now` sets the moment the market stands at (see
    `quillan.sim.universe.set_now`).
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        verbose: bool = False,
        delay: float = 0.0,
        max_connections: int = MAX_CONNECTIONS,
        idle_timeout: float | None = IDLE_TIMEOUT,
        send_timeout: float | None = SEND_TIMEOUT,
        now: datetime.datetime | None = None,
    ):
        if max_connections < 1:
            raise ValueError(f"max_connections must be at least 1; got {max_connections}")
        self.host = host
        self.now = now  # the moment the market stands at (quillan.sim.universe.set_now)
        self.port = port
        self.verbose = verbose
        self.delay = delay
        self.max_connections = max_connections
        self.idle_timeout = _limit("idle_timeout", idle_timeout)
        self.send_timeout = _limit("send_timeout", send_timeout)
        self._proc: subprocess.Popen[bytes] | None = None

    @property
    def address(self) -> str:
        """The address as "host:port" ("[::1]:port" for IPv6), as --server takes it."""
        return address_text(self.host, self.port)

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def start(self, timeout: float = 30.0) -> Server:
        """Starts the child and waits until it listens. Raises RuntimeError if it does not."""
        if self._proc is not None:
            raise RuntimeError("the simulator is already started")
        # The child must import this very package: put its folder first on the path.
        package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
        command = [sys.executable, "-m", "quillan.sim", "--host", self.host, "--port", str(self.port)]
        command += ["--max-connections", str(self.max_connections)]
        command += ["--idle-timeout", repr(self.idle_timeout or 0)]
        command += ["--send-timeout", repr(self.send_timeout or 0)]
        command += ["--watch-stdin"] + (["--verbose"] if self.verbose else [])
        command += ["--delay", repr(self.delay)] if self.delay else []
        command += ["--now", self.now.isoformat()] if self.now is not None else []
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self._proc = proc
        assert proc.stdout is not None
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        line = proc.stdout.readline().decode(errors="replace") if ready else ""
        # The child announces "quillan.sim: listening on HOST:PORT".
        if not line.startswith("quillan.sim: listening on "):
            self.stop()
            raise RuntimeError(f"the simulator did not start ({line.strip() or 'no answer'})")
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def set_faults(self, *faults: Fault, every: Fault | None = None, timeout: float = 10.0) -> None:
        """Faults for the connections to come (see `quillan.sim.faults`): the next connections
        take `faults` one each, the rest `every` (None: no fault). A new call replaces what
        is left of the previous one. Returns once the child has taken them."""
        proc = self._proc
        if proc is None or proc.stdin is None or proc.stdout is None:
            raise RuntimeError("the simulator is not running")
        plan = {"faults": [f.to_json() for f in faults], "every": every.to_json() if every else None}
        proc.stdin.write(json.dumps(plan).encode() + b"\n")
        proc.stdin.flush()
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        line = proc.stdout.readline().decode(errors="replace") if ready else ""
        if not line.startswith("quillan.sim: faults set"):
            raise RuntimeError(f"the simulator did not take the faults ({line.strip() or 'no answer'})")

    def stop(self) -> None:
        """Stops the child (closing its standard input asks it to leave) and waits for it."""
        proc, self._proc = self._proc, None
        if proc is None:
            return
        for stream in (proc.stdin, proc.stdout):
            if stream is not None:
                stream.close()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

    def __enter__(self) -> Server:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"<quillan.sim.Server {self.address} {state}>"
