"""Files that appear whole or not at all.

Every file quillan writes goes to a hidden temporary name in its own folder (``.NAME.*.tmp``:
readers of datasets skip names that start with a dot), is flushed to disk, renamed into place
and its folder flushed, so that a run killed at any moment leaves the file as it was before or
after, never half-written.
"""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import IO, Any

__all__ = ["fsync_dir", "put_in_place", "whole_file", "write_atomically", "write_temporary"]


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_temporary(path: Path, write: Callable[[str], None]) -> str:
    """Calls write(temporary path) in path's folder (made when missing) and returns that path,
    with the mode a plain open would give; the file is neither flushed to disk nor in place yet
    (`put_in_place` does both). On failure the temporary file is removed."""
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    except OSError as err:
        raise _named(err, path) from None
    os.close(fd)
    try:
        write(tmp)
        os.chmod(tmp, 0o666 & ~_umask())
    except OSError as err:  # a full disk, say: the error names the file it was for
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise _named(err, path) from None
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    return tmp


def _fsync_path(path: str | Path, flags: int = os.O_RDONLY) -> None:
    fd = os.open(path, flags | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def fsync_dir(path: str | Path) -> None:
    """Flushes a folder's entries to disk: a rename into it is durable once this returns."""
    _fsync_path(path, os.O_RDONLY | os.O_DIRECTORY)


def _each(paths: Iterable[Any], run: Callable[[Any], None]) -> list[Exception | None]:
    """run(path) for every path, from a thread pool when there are several; the error of each."""

    def guarded(path: Any) -> Exception | None:
        try:
            run(path)
        except Exception as err:
            return err
        return None

    paths = list(paths)
    if len(paths) <= 1:
        return [guarded(path) for path in paths]
    with ThreadPoolExecutor(max_workers=min(16, len(paths))) as pool:
        return list(pool.map(guarded, paths))


def put_in_place(files: Sequence[tuple[str, Path]], root: Path | None = None) -> list[Exception | None]:
    """Flushes temporary files to disk, renames each into place (``(temporary, final)`` pairs),
    then flushes each folder that changed once. With ``root``, the folders between the files
    and it are flushed too, so that folders created for them survive a crash. Returns, per
    file, the error that kept it out of place, if any; a temporary file that was not renamed
    is removed.

    The files are flushed concurrently from a thread pool: the file system commits the waiting
    flushes together (one journal commit serves many), so the batch costs little more than
    one. A single sync of the whole file system would flush every other writer's data on this
    machine too and wait for it.
    """
    errors: list[Exception | None] = [None] * len(files)
    try:
        errors = _each((tmp for tmp, _ in files), _fsync_path)
        for i, (tmp, path) in enumerate(files):
            if errors[i] is None:
                try:
                    os.replace(tmp, path)
                except OSError as failure:
                    errors[i] = failure
    finally:
        for tmp, _ in files:
            if os.path.lexists(tmp):  # not renamed: flushing or renaming failed, or the run stopped
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(tmp)
    folders: dict[Path, None] = {}
    for (_, path), error in zip(files, errors, strict=True):
        if error is None:
            folder = path.parent
            folders[folder] = None
            while root is not None and folder != root and root in folder.parents:
                folder = folder.parent
                folders[folder] = None
    failed = dict(zip(folders, _each(folders, fsync_dir), strict=True))
    for i, (_, path) in enumerate(files):
        if errors[i] is None and failed[path.parent] is not None:
            errors[i] = failed[path.parent]
    return errors


def write_atomically(path: Path, write: Callable[[str], None]) -> None:
    """Calls write(temporary path) in path's folder, then flushes the file and renames it into
    place; raises what kept it out."""
    (err,) = put_in_place([(write_temporary(path, write), path)])
    if err is not None:
        raise err


def _named(err: OSError, path: Path) -> OSError:
    """`err` naming `path`, unless it names a file already (a temporary file's name is
    replaced by the file it was for)."""
    if err.filename is not None and not os.path.basename(os.fsdecode(err.filename)).startswith("."):
        return err
    if err.errno is None:
        return OSError(errno.EIO, str(err), os.fspath(path))
    return type(err)(err.errno, err.strerror, os.fspath(path))


class _Sink:
    """The temporary file of `whole_file`: writes whose failure (a full disk) names the file."""

    def __init__(self, file: IO[bytes], path: Path) -> None:
        self._file = file
        self._path = path

    def write(self, data: bytes) -> int:
        try:
            return self._file.write(data)
        except OSError as err:
            raise _named(err, self._path) from None


@contextlib.contextmanager
def whole_file(path: str | os.PathLike[str]) -> Iterator[_Sink]:
    """A binary sink (it has ``write``) whose bytes appear at `path` when the block ends
    normally, and not at all (the file at `path`, if any, left as it was) when it ends by any
    exception, Ctrl-C included. Failures of the file itself are OSErrors that name `path`."""
    target = Path(os.fsdecode(path))
    folder = target.parent
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=folder)
    except OSError as err:
        raise _named(err, target) from None
    try:
        with open(fd, "wb") as file:
            try:
                os.fchmod(fd, 0o666 & ~_umask())  # the mode a plain open gives, not mkstemp's 0600
            except OSError as err:
                raise _named(err, target) from None
            yield _Sink(file, target)
            try:
                file.flush()
                os.fsync(file.fileno())
            except OSError as err:
                raise _named(err, target) from None
        try:
            os.replace(tmp, target)
        except OSError as err:
            raise _named(err, target) from None
        with contextlib.suppress(OSError):  # the rename is durable once the folder is synced
            fsync_dir(folder)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(tmp)
