"""What one run of the command-line tool works with: its output streams, its quote servers (the
ones --server names, else QUILLAN_SERVERS, else the simulator started on demand) and the
quillan.Client over them, and the failures it reports as one line."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from typing import TYPE_CHECKING, TextIO

from quillan.cli.output import visible
from quillan.vocabulary import ENV_SERVERS, ServerAddress, parse_servers

if TYPE_CHECKING:
    from quillan.client import Client
    from quillan.store import Store

__all__ = ["EXIT_ERROR", "EXIT_USAGE", "CliError", "Run", "describe", "file_error", "shown_path"]

EXIT_ERROR = 1
EXIT_USAGE = 2


class CliError(Exception):
    """A failure to report as one line and an exit status."""

    def __init__(self, message: str, status: int = EXIT_ERROR):
        super().__init__(message)
        self.status = status


def shown_path(path: str | os.PathLike[str]) -> str:
    """`path` as a person may read it: bytes that are not UTF-8 as \\xNN, control characters
    escaped."""
    return visible(os.fsencode(path).decode("utf-8", "backslashreplace"))


def file_error(path: str | os.PathLike[str], err: OSError) -> CliError:
    """A CliError for a failure on the file `path` that names the file once."""
    return CliError(f"{shown_path(path)}: {err.strerror or err}")


def _in_words(err: BaseException) -> str:
    """A transport failure in words, the module's own text at the end."""
    text = str(err)
    if text.startswith("failed to fill whole buffer"):
        return (
            "the server closed the connection in the middle of a reply (or sent a compressed reply "
            f"that ends early): {text}"
        )
    if text.startswith("corrupt deflate stream"):
        return f"the server sent a compressed reply that is not valid zlib data: {text}"
    if isinstance(err, ConnectionResetError):
        return f"the server reset the connection: {text}"
    if isinstance(err, BrokenPipeError):
        return f"the server had closed the connection: {text}"
    if text.startswith("Connect failed"):
        return f"cannot reach the server: {text}"
    return text or type(err).__name__


def describe(err: BaseException) -> str:
    """What went wrong, in words: each server's failure of a request that failed on all."""
    from quillan.client import ServersFailed

    if isinstance(err, ServersFailed):
        answers = "; ".join(f"{server}: {_in_words(e)}" for server, e in err.failures.items())
        tries = "1 try" if err.tries == 1 else f"{err.tries} tries"
        return f"{err.what} failed after {tries}: {answers}"
    return _in_words(err)


class Run:
    """The context of one command: its streams, servers, Client and store."""

    def __init__(
        self,
        servers: list[ServerAddress] | None,
        out: TextIO,
        err: TextIO,
        *,
        timeout: float = 10.0,
        retries: int = 3,
    ) -> None:
        if not servers and os.environ.get(ENV_SERVERS, "").strip():
            try:
                servers = parse_servers(None)
            except ValueError as error:
                raise CliError(f"{ENV_SERVERS}: {error}") from None
        self.servers = list(servers or [])
        self.out = out
        self.err = err
        self.timeout = timeout
        self.retries = retries
        self.announce = True  # say on stderr when the simulator stands in for --server
        self._stack = contextlib.ExitStack()
        self._client: Client | None = None

    def __enter__(self) -> Run:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._client is not None:
            self._client.close()
        self._stack.close()

    def warn(self, text: str) -> None:
        self.err.write(f"quillan: warning: {visible(' '.join(text.split()))}\n")
        self.err.flush()

    def addresses(self) -> list[ServerAddress]:
        """The servers of the run; the simulator, started now, when none was given."""
        if not self.servers:
            from quillan.sim import Server

            sim = self._stack.enter_context(Server())
            if self.announce:
                self.err.write(f"quillan: no --server given: using the built-in simulator at {sim.address}\n")
                self.err.flush()
            self.servers = [ServerAddress(sim.host, sim.port)]
        return self.servers

    def client(self, pool: int = 1) -> Client:
        """A quillan.Client over every server of the run, with `pool` connections."""
        if self._client is None:
            from quillan.client import Client

            self._client = Client(self.addresses(), timeout=self.timeout, retries=self.retries, pool=pool)
        return self._client

    @contextlib.contextmanager
    def network(self) -> Iterator[None]:
        """Turns the failures of a request into a CliError in words."""
        try:
            yield
        except BrokenPipeError:  # the reader of stdout went away: not a failure of the request
            raise
        except (OSError, ValueError, OverflowError) as err:
            raise CliError(describe(err)) from None

    def store(self, path: str | None, *, must_exist: bool = True) -> Store:
        """The store at `path` (default: $QUILLAN_STORE, else the user's data folder). A
        reading command needs one that is there; only sync and import create one."""
        from quillan.store import Store, default_store_path

        folder = path if path is not None else default_store_path()
        try:
            store = Store(folder)
        except ImportError as err:
            raise CliError(str(err)) from None
        if must_exist and not store.exists:
            raise CliError(f"no store at {shown_path(folder)} (quillan sync or quillan import creates one)")
        store.notify = self.warn
        return store
