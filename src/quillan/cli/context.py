"""What one run of the command-line tool works with: the server, the user-facing error and the
report download. Both the tool (`quillan.cli`) and its tour (`quillan.tour`) build on it.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from typing import TYPE_CHECKING, BinaryIO, TextIO

from quillan._core import TdxClient

if TYPE_CHECKING:
    from quillan.client import Client
from quillan.output import visible

__all__ = [
    "EXIT_ERROR",
    "EXIT_USAGE",
    "CliError",
    "Progress",
    "Session",
    "download_report",
    "file_error",
    "shown_path",
    "whole_file",
]

EXIT_ERROR = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A failure to report as one line and an exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR):
        super().__init__(message)
        self.status = status


class Session:
    """The server of a run: the one named by --server, or the simulator started on demand."""

    def __init__(self, server: tuple[str, int] | list[tuple[str, int]] | None, err: TextIO):
        # --server may be given several times; the plain client uses the first, the
        # quillan.Client all of them. Without it, the servers of QUILLAN_SERVERS.
        servers = server if isinstance(server, list) else [server] if server is not None else []
        if not servers and os.environ.get("QUILLAN_SERVERS", "").strip():
            from quillan.client import parse_servers

            try:
                servers = parse_servers(None)
            except ValueError as err_:
                raise CliError(f"QUILLAN_SERVERS: {err_}") from None
        self.servers = servers
        self.server = servers[0] if servers else None
        self.err = err
        self.announce = True  # say on stderr when the simulator stands in for --server
        self._stack = contextlib.ExitStack()
        self._client: TdxClient | None = None
        self._pooled: Client | None = None

    def __enter__(self) -> Session:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._client is not None:
            self._client.disconnect()
        if self._pooled is not None:
            self._pooled.close()
        self._stack.close()

    def address(self) -> tuple[str, int]:
        if self.server is None:
            from quillan.sim import Server

            sim = self._stack.enter_context(Server())
            if self.announce:
                self.err.write(f"quillan: no --server given: using the built-in simulator at {sim.address}\n")
                self.err.flush()
            self.server = (sim.host, sim.port)
        return self.server

    def client(self) -> TdxClient:
        """A TdxClient connected to the server of the run (connected on first use)."""
        if self._client is None:
            host, port = self.address()
            client = TdxClient()
            try:
                client.connect(host, port)
            except ConnectionError as err:
                raise CliError(f"cannot reach the server at {host}:{port}: {err}") from None
            except (OSError, ValueError, OverflowError) as err:
                raise CliError(self._in_words(err)) from None
            self._client = client
        return self._client

    def pooled(self, pool: int = 1) -> Client:
        """A quillan.Client over every server of the run (retries, fail-over, paging), with
        `pool` connections."""
        if self._pooled is None:
            from quillan.client import Client

            if not self.servers:
                self.servers = [self.address()]
            self._pooled = Client(self.servers, pool=pool)
        return self._pooled

    @contextlib.contextmanager
    def exchange(self) -> Iterator[None]:
        """Turns the failures that the client documents into a CliError in words."""
        try:
            yield
        except (OSError, ValueError, OverflowError) as err:
            raise CliError(self._in_words(err)) from None

    def _in_words(self, err: Exception) -> str:
        """What went wrong, in words, with the module's own text at the end."""
        host, port = self.server or ("?", 0)
        text = str(err)
        if isinstance(err, ValueError) and text.startswith("Invalid address"):
            return (
                f"{text} (a server is a numeric IPv4 address a.b.c.d or an IPv6 address in brackets, "
                "[::1], and a port; host names are not looked up)"
            )
        if isinstance(err, BlockingIOError):  # a send or receive that waited 10 s
            return f"no answer from {host}:{port} within 10 s: {text}"
        if text == "failed to fill whole buffer":
            return (
                "the server closed the connection in the middle of a reply "
                f"(or sent a compressed reply that ends early): {text}"
            )
        if text == "corrupt deflate stream":
            return f"the server sent a compressed reply that is not valid zlib data: {text}"
        if isinstance(err, ConnectionResetError):
            return f"the server at {host}:{port} reset the connection: {text}"
        if isinstance(err, BrokenPipeError):
            return f"the server at {host}:{port} had closed the connection: {text}"
        if isinstance(err, OSError):
            return f"talking to {host}:{port}: {text}"
        return text


class Progress:
    """A progress line on stderr, drawn only when stderr is a terminal."""

    def __init__(self, err: TextIO, name: str, total: int | None, unit: str = "bytes"):
        self.err, self.name, self.total, self.unit = err, name, total, unit
        self.enabled = err.isatty()
        self.tick = 0

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        width = 30
        if self.total:
            filled = min(width, done * width // self.total)
            bar = "#" * filled + "." * (width - filled)
            tail = f"{done:,} / {self.total:,} {self.unit}"
        else:  # no size known: a block that moves with every piece
            self.tick += 1
            at = self.tick % (width - 3)
            bar = "." * at + "###" + "." * (width - 3 - at)
            tail = f"{done:,} {self.unit}"
        self.err.write(f"\r{self.name} [{bar}] {tail}")
        self.err.flush()

    def finish(self) -> None:
        if self.enabled:
            self.err.write("\n")
            self.err.flush()


def shown_path(path: str) -> str:
    """`path` as a person may read it: bytes that are not UTF-8 as \\xNN, control characters
    escaped."""
    return visible(os.fsencode(path).decode("utf-8", "backslashreplace"))


def file_error(path: str, err: OSError) -> CliError:
    """A CliError for a failure on the file `path` that names the file once."""
    return CliError(f"{shown_path(path)}: {err.strerror or err}")


@contextlib.contextmanager
def whole_file(path: str) -> Iterator[BinaryIO]:
    """A binary file that appears at `path` whole or not at all.

    The bytes go to a temporary file in the same folder, which replaces `path` only when the
    block ends normally (flushed and synced first); on any exception, Ctrl-C included, it is
    removed and `path` is left as it was. Failures of the file are CliErrors that name `path`.
    """
    folder = os.path.dirname(path) or "."
    try:
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".part")
    except OSError as err:
        raise file_error(path, err) from None
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)  # the mode a plain open would give, not mkstemp's 0600
        with open(fd, "wb") as sink:
            try:
                yield sink
                sink.flush()
                os.fsync(sink.fileno())
            except OSError as err:
                raise file_error(path, err) from None
        try:
            os.replace(temporary, path)
        except OSError as err:
            raise file_error(path, err) from None
        with contextlib.suppress(OSError):  # the rename is durable once the folder is synced
            folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(folder_fd)
            finally:
                os.close(folder_fd)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(temporary)


def download_report(
    client: TdxClient,
    filename: str,
    sink: BinaryIO,
    progress: Progress | None = None,
    max_size: int = 1 << 30,
) -> tuple[int, int]:
    """Fetches `filename` piece by piece into `sink` (a binary file); returns (bytes, pieces).

    The file ends at the first empty piece. Every piece must be as long as the server
    announces, and the file no longer than `max_size` bytes: a server that breaks either rule
    stops the download with a CliError (it could otherwise fill the disk). The offset is 32
    bits wide, so a file cannot go past 4 GiB.
    """
    offset = pieces = 0
    while True:
        announced, piece = client.get_report_file(filename, offset)
        if announced != len(piece):
            raise CliError(
                f"the server announced {announced:,} bytes for the piece of '{filename}' at offset "
                f"{offset:,} and sent {len(piece):,}: download stopped"
            )
        if not piece:
            return offset, pieces
        if offset + len(piece) > max_size:
            raise CliError(f"'{filename}' is larger than the limit of {max_size:,} bytes (--max-size)")
        if offset + len(piece) > 0xFFFFFFFF + 1:
            raise CliError(f"'{filename}' is larger than 4 GiB")
        sink.write(piece)
        offset += len(piece)
        pieces += 1
        if progress is not None:
            progress.update(offset)
