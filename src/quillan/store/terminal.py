"""Store.import_terminal: a terminal's bar files (``sh/`` and ``sz/`` with ``lday/``,
``minline/`` and ``fzline/``) imported into a store, the files of one bucket read in one native
call and written together."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from quillan._columnar import read_bar_files
from quillan._columns import as_array
from quillan.bars import _check_dates, price_scale
from quillan.progress import Progress
from quillan.store.layout import FileBars, Item, bucket_of, in_order
from quillan.store.report import Batches, Interrupted, SyncReport
from quillan.store.writer import BucketWrite, Writer
from quillan.vocabulary import BAR_VALUES, INTRADAY

__all__ = ["import_terminal", "terminal_files", "terminal_root"]

# The folders of a terminal's data, the frequency each holds and its files' extension.
TERMINAL_FOLDERS = {"lday": ("1d", ".day"), "minline": ("1m", ".lc1"), "fzline": ("5m", ".lc5")}
# An import flushes this many bucket files together.
FLUSH_BATCH = 64

File = tuple[str, str, str, str]  # market, code, freq, path


def terminal_root(path: Path) -> Path:
    """The folder that holds ``sh/`` and ``sz/``: `path`, or its ``vipdoc/``."""
    if not any((path / m).is_dir() for m in ("sh", "sz")) and (path / "vipdoc").is_dir():
        return path / "vipdoc"
    return path


def terminal_files(root: Path) -> Iterator[File]:
    """(market, code, freq, path) for every bar file under a terminal's data folder."""
    for market in ("sh", "sz"):
        for folder, (freq, suffix) in TERMINAL_FOLDERS.items():
            base = os.path.join(root, market, folder)
            if not os.path.isdir(base):
                continue
            with os.scandir(base) as entries:  # the file type comes with the entry: no stat per file
                for entry in entries:
                    name = entry.name.lower()
                    if not name.endswith(suffix) or not entry.is_file():
                        continue
                    stem = name[: -len(suffix)]
                    if len(stem) == 8 and stem[:2] == market and stem[2:].isascii() and stem[2:].isdigit():
                        yield market, stem[2:], freq, entry.path


def read_terminal_files(
    freq: str, files: Sequence[File], failed: Callable[[str, Exception], None]
) -> FileBars:
    """The bars of some bar files of one kind, read in one call without the interpreter lock.
    Prices are scaled per file as read_bars does; records with an impossible date are left out.
    Each file that fails is passed to ``failed`` with its error, as read_bars would raise it,
    and left out."""
    minute = freq in INTRADAY
    names = [path for *_, path in files]
    buffers, counts, impossible, errors = read_bar_files(
        [
            (os.fsencode(name), 100.0 if minute else float(price_scale((1 if market == "sh" else 0, code))))
            for (market, code, _, _), name in zip(files, names, strict=True)
        ],
        minute,
    )
    arrays = [as_array(buffer) for buffer in buffers.values()]
    # Seconds to the store's milliseconds, NaT kept.
    raw = arrays[0].view(np.int64)
    stamps = raw * 1000
    if any(impossible):
        stamps[raw == np.iinfo(np.int64).min] = np.iinfo(np.int64).min
    columns = {"time": stamps.view("datetime64[ms]"), **dict(zip(BAR_VALUES, arrays[1:], strict=True))}
    ends = np.cumsum(counts, dtype=np.int64)
    # Files whose times do not strictly rise (a step back at a file's first row is no fault).
    times = columns["time"]
    steps = np.flatnonzero(times[1:] <= times[:-1]) + 1
    unordered = set()
    if len(steps):
        steps = steps[~np.isin(steps, ends)]
        unordered = set(np.searchsorted(ends, steps, side="right").tolist())
    if not unordered and not any(impossible) and all(error is None for error in errors):
        return FileBars(names, [(market, code) for market, code, _, _ in files], counts, columns)
    read = FileBars([], [], [], columns)
    pieces: list[tuple[int, int, dict[str, np.ndarray] | None]] = []  # rows kept: as read, or mended
    as_read = True  # whether the columns hold just the kept files' rows, as read
    start = 0
    for i, ((market, code, _, _), name, end) in enumerate(zip(files, names, ends.tolist(), strict=True)):
        a, start = start, end
        error = errors[i]
        if error is None:
            try:
                _check_dates(name, minute, counts[i], impossible[i], stacklevel=4)
            except ValueError as err:
                error = err
        if error is not None:
            failed(name, error)  # the others go on
            as_read = as_read and a == end
            continue
        mended = None
        if impossible[i] or i in unordered:
            mended = in_order({column: values[a:end] for column, values in columns.items()})
            as_read = False
        pieces.append((a, end, mended))
        read.names.append(name)
        read.keys.append((market, code))
        read.counts.append(end - a if mended is None else len(mended["time"]))
    if not as_read:
        read.columns = {
            column: np.concatenate(
                [values[:0]] + [values[a:b] if m is None else m[column] for a, b, m in pieces]
            )
            for column, values in columns.items()
        }
    return read


Prepared = tuple[list[str], BucketWrite | Exception | None, int]


def import_terminal(
    writer: Writer, files: Sequence[File], *, threads: int | None, progress: bool | None
) -> SyncReport:
    """The work of `Store.import_terminal` for the bar files found (`terminal_files`), under
    the lock that `writer` stands for."""
    groups: dict[tuple[str, str], list[File]] = {}
    for item in sorted(files, key=lambda item: (item[2], item[0], item[1], item[3])):
        groups.setdefault((item[2], bucket_of(item[0], item[1], item[2])), []).append(item)
    report = SyncReport()
    batches: Batches[Item] = Batches(report)
    total = sum(len(files) for files in groups.values())
    # An import writes no ex-rights records: only the securities that have some stored already
    # (or factors left from them) have factors to bring up to date.
    derived = writer.layout.symbols("xdxr") | writer.layout.symbols("factors")

    def prepare(key: tuple[str, str], files: list[File]) -> tuple[list[str], BucketWrite | Exception | None]:
        freq, bucket = key
        read = read_terminal_files(freq, files, batches.report)
        if not read.names:
            return [], None
        try:
            if len(set(read.keys)) == len(read.keys) and not writer.layout.bars(freq, bucket).exists():
                return read.names, writer.prepare_new_bucket(freq, bucket, read, derived)
            return read.names, writer.prepare_bucket(freq, bucket, read.items())
        except Exception as err:  # the whole bucket failed to be written
            return read.names, err

    with Progress(total, "import", unit="file", show=progress) as bar:

        def finish(batch: list[Prepared]) -> None:
            # The files of a batch of buckets are flushed and put in place together, then what
            # derives from them is brought up to date.
            written = [p for _, p, _ in batch if isinstance(p, BucketWrite)]
            placed = writer.commit(written)
            failed = {id(p): err for p, err in zip(written, placed, strict=True) if err is not None}
            for names, pending, count in batch:
                if isinstance(pending, BucketWrite):
                    err = failed.get(id(pending))
                    results = [err] * len(names) if err else writer.finish_bucket(pending, "import", derived)
                else:
                    results = [pending] * len(names) if pending else []
                batches.report_all(zip(names, results, strict=True))
                bar.advance(count)
            writer.state.maybe_flush()

        with ThreadPoolExecutor(max_workers=threads or min(8, os.cpu_count() or 1)) as pool:
            futures = [(pool.submit(prepare, key, files), len(files)) for key, files in groups.items()]
            batch: list[Prepared] = []
            try:
                for future, count in futures:
                    batch.append((*future.result(), count))
                    if len(batch) == FLUSH_BATCH:
                        finish(batch)
                        batch = []
                finish(batch)
            except BaseException as err:  # a run that stops leaves no temporary file behind
                for future, _ in futures:
                    future.cancel()
                for future, _ in futures:
                    if not future.cancelled() and future.exception() is None:
                        pending = future.result()[1]
                        if isinstance(pending, BucketWrite) and pending.tmp is not None:
                            with contextlib.suppress(FileNotFoundError):
                                os.unlink(pending.tmp)
                if isinstance(err, KeyboardInterrupt):
                    raise Interrupted("imported", bar.done, total, "files", report) from None
                raise
    report.notes += writer.notes
    return report
