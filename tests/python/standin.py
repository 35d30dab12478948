"""A scriptable stand-in quote server for the tests.

Every call of the module holds the interpreter lock while it waits for the network, so a server
living in a thread of the test process could never answer. The stand-in therefore runs in a
child process; the test scripts it and reads back what it captured over a pipe.

On each connection the first three request frames are the set-up packets: they are answered
with a small plain response (or not at all, with ``setup="silent"``). Every later frame takes the
next scripted ``Reply``; a frame that finds the script empty gets the connection closed, so a
test that forgot to script a reply fails at once instead of waiting for a time-out.
"""

from __future__ import annotations

import contextlib
import dataclasses
import multiprocessing
import socket
import struct
import threading
import time
import zlib

from quillan.sim.protocol import FRAME_HEAD
from quillan.sim.server import recv_exact


@dataclasses.dataclass
class Reply:
    """How the stand-in answers one request.

    The response is the 16-byte header (``head``, ZS, US) followed by the body, zlib-compressed
    when ``compress`` is set. Every part can be forced to something a real server would never
    send.
    """

    body: bytes = b""
    compress: bool = False
    head: bytes = bytes(12)  # the first 12 header bytes, which the client ignores
    zs: int | None = None  # header field overrides
    us: int | None = None
    payload: bytes | None = None  # bytes after the header instead of the (compressed) body
    raw: bytes | None = None  # the exact bytes to send, instead of header and payload
    pieces: tuple[int, ...] = ()  # send the response in pieces of these sizes, then the rest
    piece_delay: float = 0.05
    delay: float = 0.0  # seconds to wait before answering
    cut: int | None = None  # send only the first `cut` bytes of the response
    then: str = "keep"  # afterwards: "keep" the connection, "close" it, or "reset" it (RST)
    silent: bool = False  # answer nothing at all (and keep the connection)

    def wire(self) -> bytes:
        if self.raw is not None:
            return self.raw
        payload = self.payload
        if payload is None:
            payload = zlib.compress(self.body) if self.compress else self.body
            if self.compress and self.us is None and len(payload) == len(self.body):
                # Equal sizes tell the client the body is plain: the test would not test
                # what it means to.
                raise ValueError("compressed body is as long as the body; pick another body")
        zs = len(payload) if self.zs is None else self.zs
        us = len(self.body) if self.us is None else self.us
        head = (self.head + bytes(12))[:12]
        return head + struct.pack("<HH", zs & 0xFFFF, us & 0xFFFF) + payload


SETUP_REPLY = Reply(body=bytes(range(20)))
CLOSE = Reply(silent=True, then="close")


def _read_frame(sock: socket.socket) -> bytes | None:
    """The next request frame; None once the connection is closed or broken."""
    try:
        head = recv_exact(sock, FRAME_HEAD)
        if head is None:
            return None
        (length,) = struct.unpack_from("<H", head, 6)
        rest = recv_exact(sock, length)
    except OSError:
        return None
    return None if rest is None else head + rest


class _Server:
    """The child-process side."""

    def __init__(self, family: int):
        host = "::1" if family == socket.AF_INET6 else "127.0.0.1"
        self.listener = socket.create_server((host, 0), family=family, backlog=64)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.script: list[Reply] = []
        self.setup: str | list[Reply] = "answer"
        self.frames: list[tuple[int, bytes]] = []  # (connection number, frame), set-up included
        self.conns: list[socket.socket] = []

    def accept_loop(self) -> None:
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                number = len(self.conns)
                self.conns.append(sock)
            threading.Thread(target=self.serve, args=(sock, number), daemon=True).start()

    def serve(self, sock: socket.socket, number: int) -> None:
        seen = 0
        while True:
            frame = _read_frame(sock)
            if frame is None:
                break
            with self.lock:
                self.frames.append((number, frame))
                if seen < 3:
                    if self.setup == "answer":
                        reply = SETUP_REPLY
                    elif self.setup == "silent":
                        reply = Reply(silent=True)
                    else:
                        reply = self.setup[seen]
                else:
                    reply = self.script.pop(0) if self.script else CLOSE
            seen += 1
            if not self.act(sock, reply):
                break
        with contextlib.suppress(OSError):
            sock.close()

    def act(self, sock: socket.socket, reply: Reply) -> bool:
        """Sends one reply; False when the connection is finished."""
        try:
            if reply.delay:
                time.sleep(reply.delay)
            if not reply.silent:
                data = reply.wire()
                if reply.cut is not None:
                    data = data[: reply.cut]
                at = 0
                for size in reply.pieces:
                    sock.sendall(data[at : at + size])
                    at += size
                    time.sleep(reply.piece_delay)
                sock.sendall(data[at:])
            if reply.then == "reset":
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                sock.close()
                return False
            if reply.then == "close":
                sock.close()
                return False
        except OSError:
            return False
        return True

    def handle(self, command: str, arg):
        with self.lock:
            if command == "script":
                self.script.extend(arg)
            elif command == "setup":
                self.setup = arg
            elif command == "frames":
                return list(self.frames)
            elif command == "pending":
                return len(self.script)
            elif command == "reset":
                self.script.clear()
                self.frames.clear()
                self.setup = "answer"
                for sock in self.conns:
                    with contextlib.suppress(OSError):
                        sock.shutdown(socket.SHUT_RDWR)
                self.conns.clear()
            elif command == "stop":
                self.listener.close()
        return None


def _child_main(ctrl, family: int) -> None:
    server = _Server(family)
    ctrl.send(server.port)
    threading.Thread(target=server.accept_loop, daemon=True).start()
    while True:
        try:
            command, arg = ctrl.recv()
        except EOFError:
            return
        ctrl.send(server.handle(command, arg))
        if command == "stop":
            return


class StandIn:
    """The test-side handle of a stand-in server running in a child process."""

    def __init__(self, family: int = socket.AF_INET):
        ctx = multiprocessing.get_context("spawn")
        self._ctrl, child_end = ctx.Pipe()
        self._proc = ctx.Process(target=_child_main, args=(child_end, family), daemon=True)
        self._proc.start()
        child_end.close()
        self.port: int = self._ctrl.recv()
        self.host = "[::1]" if family == socket.AF_INET6 else "127.0.0.1"

    def _call(self, command: str, arg=None):
        self._ctrl.send((command, arg))
        return self._ctrl.recv()

    def script(self, *replies: Reply) -> None:
        """Queues replies for the next requests after the set-up exchange."""
        for reply in replies:
            reply.wire()  # a reply that cannot be built fails here, in the test
        self._call("script", list(replies))

    def set_setup(self, mode: str | list[Reply]) -> None:
        """How set-up packets are answered: "answer", "silent", or three Replies."""
        self._call("setup", mode)

    def frames(self, connection: int | None = None, setup: bool = False) -> list[bytes]:
        """Captured request frames, in arrival order; set-up packets only when asked for."""
        out, seen = [], {}
        for number, frame in self._call("frames"):
            index = seen[number] = seen.get(number, -1) + 1
            if connection is not None and number != connection:
                continue
            if setup or index >= 3:
                out.append(frame)
        return out

    def connections(self) -> list[int]:
        """The connection numbers that sent anything, in order."""
        return sorted({number for number, _ in self._call("frames")})

    def pending(self) -> int:
        """Scripted replies not yet used."""
        return self._call("pending")

    def reset(self) -> None:
        """Forgets script and captures and closes every open connection."""
        self._call("reset")

    def close(self) -> None:
        with contextlib.suppress(OSError, EOFError):
            self._call("stop")
        self._proc.join(5)
        if self._proc.is_alive():
            self._proc.kill()
            self._proc.join()
