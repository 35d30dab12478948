"""A store's daily bars in qlib's file layout, which ``qlib.init(provider_uri=DIR)`` reads:

- ``calendars/day.txt``: the trading days, one ``YYYY-MM-DD`` a line;
- ``instruments/all.txt``: ``SH600036<TAB>first day<TAB>last day`` a line;
- ``features/sh600036/<field>.day.bin`` for each of `FIELDS`: little-endian float32, the
  first value the calendar index of the security's first day, then one value per trading day
  from there to its last (NaN on a day without a bar).

Prices are adjusted as qlib expects: ``open``, ``high``, ``low`` and ``close`` are the traded
prices times ``factor`` (the store's forward factor, 1 where no ex-rights records are stored),
``volume`` the traded volume divided by it, so that ``$close / $factor`` is the traded close
and ``$volume * $factor`` the traded volume; ``amount`` is as traded. ``change`` is the
adjusted close's change from the close before it (the previous trading day's, or the last one
before a suspension; NaN on the first day).

The dataset is written into a hidden folder beside `path` and renamed into place, so that a
reader sees the old dataset or the new one, never a part; a killed export leaves only that
folder, which the next export removes.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import numpy.typing as npt

from quillan.atomic import fsync_dir
from quillan.progress import Progress
from quillan.store.layout import Series
from quillan.store.listing import Days

__all__ = ["FIELDS", "Steps", "export"]

FIELDS = ("open", "high", "low", "close", "volume", "amount", "factor", "change")
_MS_PER_DAY = 86_400_000

Key = tuple[str, str]
Steps = tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]  # each step's first time (ms), factor


def _values(series: Series, calendar: Days, steps: Steps | None) -> tuple[int, np.ndarray] | None:
    """The first calendar index and the rows of the fields (float32, one row per trading day
    from it) of one security; None when none of its bars is on the calendar."""
    times = series["time"].view(np.int64)
    days = times // _MS_PER_DAY
    at = np.searchsorted(calendar, days)
    on = at < len(calendar)
    on[on] = calendar[at[on]] == days[on]
    if not on.any():
        return None
    at, times = at[on], times[on]
    if steps is None:
        factor = np.ones(len(at))
    else:
        starts, factors = steps
        factor = factors[np.maximum(np.searchsorted(starts, times, "right") - 1, 0)]
    close = series["close"][on] * factor
    change = np.full(len(at), np.nan)
    change[1:] = close[1:] / close[:-1] - 1.0
    fields = {
        "open": series["open"][on] * factor,
        "high": series["high"][on] * factor,
        "low": series["low"][on] * factor,
        "close": close,
        "volume": series["volume"][on] / factor,
        "amount": series["amount"][on],
        "factor": factor,
        "change": change,
    }
    first = int(at[0])
    out = np.full((len(FIELDS), int(at[-1]) - first + 2), np.nan, dtype="<f4")
    out[:, 0] = first
    for row, name in enumerate(FIELDS):
        out[row, 1 + at - first] = fields[name]
    return first, out


def _remove(path: Path) -> None:
    with contextlib.suppress(FileNotFoundError):
        shutil.rmtree(path)


def _is_dataset(path: Path) -> bool:
    """Whether `path` is a folder that an export may replace: empty, or a qlib dataset."""
    if not path.is_dir() or path.is_symlink():
        return False
    names = set(os.listdir(path))
    return not names or ("calendars" in names and "features" in names)


def export(
    path: Path,
    calendar: Days,
    buckets: Sequence[Sequence[Key]],
    read: Callable[[int], Mapping[Key, Series]],
    steps: Mapping[Key, Steps],
    *,
    threads: int = 2,
    progress: bool | None = None,
) -> int:
    """Writes the dataset of the securities of `buckets` (each bucket's keys, sorted, whose bars
    ``read(i)`` gives) on `calendar` (days since 1970); returns the number of securities
    written (those with a bar on the calendar)."""
    path = Path(path)
    if path.exists() and not _is_dataset(path):
        raise FileExistsError(
            17,
            "exists and is not a qlib dataset: give a new or an empty folder, or one an export made",
            str(path),
        )
    parent = path.parent
    parent.mkdir(parents=True, exist_ok=True)
    for leftover in parent.glob(f".{path.name}.export-*"):  # of an export that was killed
        _remove(leftover)
    tmp = parent / f".{path.name}.export-{uuid.uuid4().hex[:12]}"
    features = tmp / "features"
    try:
        features.mkdir(parents=True)
        spans: dict[Key, tuple[int, int]] = {}

        def write_bucket(i: int) -> list[tuple[Key, int, int]]:
            written = []
            series = read(i)
            for key in buckets[i]:
                got = _values(series[key], calendar, steps.get(key)) if key in series else None
                if got is None:
                    continue
                first, out = got
                folder = os.path.join(features, key[0] + key[1])
                os.mkdir(folder)
                for row, name in enumerate(FIELDS):
                    _write_file(os.path.join(folder, f"{name}.day.bin"), out[row])
                written.append((key, first, first + out.shape[1] - 2))
            return written

        total = sum(len(keys) for keys in buckets)
        with (
            Progress(total, "export", unit="security", show=progress) as bar,
            ThreadPoolExecutor(threads) as pool,
        ):
            for i, written in enumerate(pool.map(write_bucket, range(len(buckets)))):
                spans.update((key, (a, b)) for key, a, b in written)
                bar.advance(len(buckets[i]))
        _write_lines(tmp / "calendars" / "day.txt", (str(day) for day in calendar.astype("datetime64[D]")))
        days = calendar.astype("datetime64[D]").astype(str)
        _write_lines(
            tmp / "instruments" / "all.txt",
            (f"{m.upper()}{c}\t{days[a]}\t{days[b]}" for (m, c), (a, b) in sorted(spans.items())),
        )
        os.sync()  # every file on disk before the folder that names them is renamed into place
        if path.exists():
            old = parent / f".{path.name}.export-{uuid.uuid4().hex[:12]}"
            os.rename(path, old)
            os.rename(tmp, path)
            _remove(old)
        else:
            os.rename(tmp, path)
        fsync_dir(parent)
    except BaseException:
        _remove(tmp)
        raise
    return len(spans)


def _write_file(path: str, values: np.ndarray) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    try:
        view = memoryview(values).cast("B")
        while view:
            view = view[os.write(fd, view) :]
    finally:
        os.close(fd)


def _write_lines(path: Path, lines: Iterable[str]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="ascii", newline="\n") as f:
        for line in lines:
            f.write(line + "\n")
