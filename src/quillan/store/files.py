"""The files of a store folder: where each one lives, and the lock that one writer holds.

    bars/freq=5m/bucket=17/data.parquet           the bars of the securities of one bucket
    xdxr/symbol=sh600036/data.parquet             the security's ex-rights records
    factors/symbol=sh600036/data.parquet          its forward adjustment factors (from 1d bars)
    sync.json                                     what is stored, per security and frequency
    .lock                                         held by the process that writes

Every file is written whole or not at all (`quillan.atomic`).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import stat
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Layout", "StoreBusyError", "default_store_path", "locked"]

DATA_KINDS = ("bars", "bars_by_date", "xdxr", "factors")


class StoreBusyError(RuntimeError):
    """Another process holds the store's write lock."""


def default_store_path() -> Path:
    """``$QUILLAN_STORE``, else ``quillan`` in the user's data folder (``$XDG_DATA_HOME``,
    by default ``~/.local/share``)."""
    explicit = os.environ.get("QUILLAN_STORE", "").strip()
    if explicit:
        return Path(explicit).expanduser()
    base = os.environ.get("XDG_DATA_HOME", "").strip() or os.path.join(
        os.path.expanduser("~"), ".local", "share"
    )
    return Path(base) / "quillan"


@dataclass(frozen=True)
class Layout:
    """The paths of the files of the store at `root`."""

    root: Path

    def bars(self, freq: str, bucket: str) -> Path:
        return self.root / "bars" / f"freq={freq}" / f"bucket={bucket}" / "data.parquet"

    def xdxr(self, symbol: str) -> Path:
        return self.root / "xdxr" / f"symbol={symbol}" / "data.parquet"

    def factors(self, symbol: str) -> Path:
        return self.root / "factors" / f"symbol={symbol}" / "data.parquet"

    @property
    def state(self) -> Path:
        return self.root / "sync.json"

    @property
    def lock(self) -> Path:
        return self.root / ".lock"

    def exists(self) -> bool:
        """Whether a store is there: its folder, holding a file or folder that only a store
        writes (an empty folder, or any other, is no store)."""
        return any(os.path.lexists(self.root / name) for name in (*DATA_KINDS, "sync.json", ".lock"))

    def require(self) -> None:
        """FileNotFoundError unless a store is there."""
        if not self.exists():
            raise FileNotFoundError(
                errno.ENOENT, f"no store at {self.root} (sync or import creates one)", str(self.root)
            )

    def symbols(self, kind: str) -> set[str]:
        """The symbols that have a folder of `kind` ("xdxr" or "factors")."""
        return {folder.name.removeprefix("symbol=") for folder in (self.root / kind).glob("symbol=*")}

    def leftovers(self) -> list[Path]:
        """The temporary files of writers that were killed, in the store's own folders: a folder
        that is a symbolic link is not followed (what it points at is not the store's)."""
        found = [Path(entry.path) for entry in _entries(self.root) if _temporary(entry)]
        for kind in DATA_KINDS:
            if (self.root / kind).is_symlink():
                continue
            for folder, _, files in os.walk(self.root / kind, followlinks=False):
                found += [
                    Path(folder) / name for name in files if name.startswith(".") and name.endswith(".tmp")
                ]
        return found

    def remove_leftovers(self) -> None:
        """Deletes the temporary files of a writer that was killed (only the lock holder writes)."""
        for tmp in self.leftovers():
            with contextlib.suppress(FileNotFoundError):
                tmp.unlink()


def _entries(folder: Path) -> list[os.DirEntry[str]]:
    try:
        with os.scandir(folder) as entries:
            return list(entries)
    except FileNotFoundError:
        return []


def _temporary(entry: os.DirEntry[str]) -> bool:
    return entry.name.startswith(".") and entry.name.endswith(".tmp") and entry.is_file(follow_symlinks=False)


def _open_lock(path: Path) -> int:
    """The lock file, opened without following a symbolic link and checked to be a regular
    file: taking the lock must not write anywhere but in the store."""
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o644)
    except OSError as err:
        if err.errno == errno.ELOOP:
            raise OSError(
                errno.ELOOP, "the store's lock file is a symbolic link: remove it", str(path)
            ) from None
        raise
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise OSError(errno.EINVAL, "the store's lock file is not a regular file: remove it", str(path))
    return fd


@contextlib.contextmanager
def locked(layout: Layout, timeout: float, waiting: Callable[[str], object] | None = None) -> Iterator[None]:
    """Holds the store's lock file for the block: a second writer waits up to `timeout`
    seconds, saying so at once through `waiting` (if given), then raises StoreBusyError naming
    the process that holds it. The holder writes its pid into the file and removes what a
    killed writer left behind."""
    layout.root.mkdir(parents=True, exist_ok=True)
    fd = _open_lock(layout.lock)
    try:
        deadline = time.monotonic() + timeout
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except OSError as err:
                if err.errno not in (errno.EAGAIN, errno.EACCES):
                    raise
                holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip() or "unknown"
                if waiting is not None:
                    waiting(
                        f"the store {layout.root} is busy: another process (pid {holder}) is writing to it; "
                        f"waiting up to {timeout:g} s"
                    )
                    waiting = None
                if time.monotonic() >= deadline:
                    raise StoreBusyError(
                        f"the store {layout.root} is busy: another process (pid {holder}) is writing "
                        f"to it; waited {timeout:g} s"
                    ) from None
                time.sleep(0.05)
        # The pid in a field of fixed width: the file is written in place, never cut.
        os.pwrite(fd, f"{os.getpid():<20}\n".encode(), 0)
        layout.remove_leftovers()
        yield
    finally:
        os.close(fd)  # closing the descriptor releases the lock
