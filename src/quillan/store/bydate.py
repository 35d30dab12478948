"""The daily bars a second time, sorted by time: one file per year, so that a question about one
day, month or year of the whole market reads the row groups of that time alone.

    bars_by_date/year=2024/<name>.parquet         the daily bars of 2024, by time, market, code
    bars_by_date/manifest.json                    which file holds each year, and of which buckets

The bucket files (``bars/freq=1d/bucket=07/data.parquet``, sorted by security) are the first
copy and the record of truth. Each carries in its metadata a generation, a random name new with
every write. The manifest names the year files and the generation of each bucket file they were
made from; a reader uses the year files only while every bucket file still has the generation
the manifest names, and the bucket files otherwise: both give the same rows at any moment.

A writing run puts its bucket files in place first; when it ends (`update`), it makes the year
files its changes touch anew (new names: a reader never sees a file change under it), puts the
manifest in place, then removes the files the old manifest named. A run killed before its
manifest leaves the manifest behind the bucket files, which the next writer notices and mends
from the buckets that changed (`stale_buckets`).
"""

from __future__ import annotations

import contextlib
import itertools
import json
import os
import uuid
from collections.abc import Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np

from quillan.atomic import put_in_place, write_atomically
from quillan.store.layout import Series, bucket_of
from quillan.store.parquet import arrow_bars, parquet_file, reading, write_bars_file
from quillan.vocabulary import BAR_VALUES

__all__ = ["Block", "Manifest", "generation_of", "new_generation", "stale_buckets", "update"]

FOLDER = "bars_by_date"
GROUP_ROWS = 65536  # a month or so of the whole market: a day's question reads one group or two
GENERATION_KEY = "quillan.generation"

Key = tuple[str, str]


def new_generation() -> str:
    return uuid.uuid4().hex[:16]


def generation_of(footer: Any) -> str:
    """The generation a bucket file's footer names ("" for a file written before the by-date
    copy existed)."""
    meta: dict[bytes, bytes] = footer.metadata or {}
    return meta.get(GENERATION_KEY.encode(), b"").decode()


class Manifest:
    """The year files of the by-date copy and the bucket generations they were made from."""

    def __init__(self, years: dict[int, str] | None = None, buckets: dict[str, str] | None = None) -> None:
        self.years = dict(years or {})
        self.buckets = dict(buckets or {})

    @staticmethod
    def path(root: Path) -> Path:
        return root / FOLDER / "manifest.json"

    @classmethod
    def read(cls, root: Path) -> Manifest | None:
        """The manifest there is; None without one, or with one that cannot be read (the copy
        is then made again from the buckets)."""
        try:
            with open(cls.path(root), encoding="utf-8") as f:
                data = json.load(f)
            return cls({int(y): str(n) for y, n in data["years"].items()}, dict(data["buckets"]))
        except FileNotFoundError:
            return None
        except (OSError, ValueError, KeyError, TypeError, AttributeError):
            return None

    def write(self, root: Path) -> None:
        text = json.dumps(
            {"years": {str(y): n for y, n in sorted(self.years.items())}, "buckets": self.buckets}
        )

        def write(tmp: str) -> None:
            Path(tmp).write_text(text + "\n", encoding="utf-8")

        write_atomically(self.path(root), write)

    def files(self, root: Path) -> list[Path]:
        return [
            root / FOLDER / f"year={year}" / f"{name}.parquet" for year, name in sorted(self.years.items())
        ]


def stale_buckets(manifest: Manifest | None, generations: Mapping[str, str]) -> set[str] | None:
    """The daily buckets whose file is not the one the manifest's year files were made from;
    None when there is no manifest (every bucket's rows are to be copied)."""
    if manifest is None:
        return None
    names = set(manifest.buckets) | set(generations)
    return {b for b in names if manifest.buckets.get(b) != generations.get(b)}


# The first moment of each year from 1900 to 2200, in milliseconds since 1970: years by a lookup,
# many times faster than NumPy's calendar conversion.
_YEAR_STARTS = (
    np.arange("1900", "2201", dtype="datetime64[Y]").astype("datetime64[D]").astype(np.int64) * 86_400_000
)
_RANK_BITS = 21  # a security's rank (`_rank`) is below 2**21


def _years(ms: np.ndarray) -> np.ndarray:
    """The year of each time, given as milliseconds since 1970 (years 1900 to 2200)."""
    return np.searchsorted(_YEAR_STARTS, ms, side="right").astype(np.int64) + 1899


def _year_spans(ms: np.ndarray) -> dict[int, tuple[int, int]]:
    """The rows of each year, as (start, end), of times in milliseconds sorted ascending (years as
    `_years` gives them), found by searching the year starts among the times."""
    bounds = [0, *np.searchsorted(ms, _YEAR_STARTS, side="left").tolist(), len(ms)]
    return {1899 + i: (a, b) for i, (a, b) in enumerate(itertools.pairwise(bounds)) if a < b}


def _rank(keys: Sequence[Key]) -> np.ndarray:
    """A sortable number per security below 2**21: market, then code (codes are six digits)."""
    return np.array([(1 if m == "sz" else 0) * 1_000_000 + int(c) for m, c in keys], dtype=np.int64)


def _order_keys(ms: np.ndarray, rank: np.ndarray) -> np.ndarray:
    """One number per row that sorts rows by day, then security (daily bars are at midnight)."""
    keys: np.ndarray = (ms // 86_400_000 << _RANK_BITS) + rank
    return keys


class Block:
    """Daily rows of some securities, cut by year and sorted by time and security, ready for the
    year files: `keys` (sorted) hold the next `counts` rows each of `columns` (their times in
    milliseconds), which may differ from what the year files hold from `first` on (None: from
    any time). Made where the rows were read, so that the sorting runs beside other work."""

    def __init__(self, keys: Sequence[Key], counts: np.ndarray, columns: Series, first: np.datetime64 | None):
        self.keys = list(keys)
        self.first = first
        owner = np.repeat(np.arange(len(self.keys), dtype=np.int32), counts)
        ms = columns["time"].astype("datetime64[ms]", copy=False).view(np.int64)
        order_keys = _order_keys(ms, _rank(self.keys)[owner])
        # Each security's rows are in time order: a stable sort merges runs.
        order = np.argsort(order_keys, kind="stable")
        self.order_keys = order_keys[order]
        self.owner = owner[order]
        self.columns = {name: values[order] for name, values in columns.items()}
        self.years = _year_spans(self.columns["time"].view(np.int64))


def _old_rows(path: Path, dropped: set[Key], buckets: set[str]) -> tuple[list[Key], np.ndarray, Series]:
    """A year file's rows but those of the `dropped` securities and of the securities of the
    daily `buckets`: their securities, each row's index into them, and the columns."""
    with open(path, "rb") as f, reading(path):
        table = parquet_file(f, read_dictionary=["market", "code"]).read(use_threads=False)
    market = table.column("market").combine_chunks()
    code = table.column("code").combine_chunks()
    market_names, code_names = market.dictionary.to_pylist(), code.dictionary.to_pylist()
    pair = market.indices.to_numpy().astype(np.int64) * len(code_names) + code.indices.to_numpy()
    used, owner = np.unique(pair, return_inverse=True)
    keys = [(market_names[p // len(code_names)], code_names[p % len(code_names)]) for p in used.tolist()]
    columns = {name: table.column(name).to_numpy() for name in ("time", *BAR_VALUES)}
    if dropped or buckets:
        gone = np.array(
            [key in dropped or bucket_of(key[0], key[1], "1d") in buckets for key in keys] + [False],
            dtype=bool,
        )
        keep = ~gone[owner]
        owner, columns = owner[keep], {name: values[keep] for name, values in columns.items()}
    return keys, owner, columns


def update(
    root: Path,
    blocks: Sequence[Block],
    generations: Mapping[str, str],
    rebuilt: frozenset[str] = frozenset(),
) -> None:
    """Makes the year files that the `blocks` of changed rows touch anew and puts a manifest
    naming them and the bucket `generations` in place; then removes the year files no longer
    named. The securities of the `rebuilt` daily buckets hold in the year files just the rows
    the blocks give them."""
    old = Manifest.read(root) or Manifest()
    if not blocks and old.buckets == dict(generations):
        return
    dropped = {key for block in blocks for key in block.keys}
    # The years to make anew: from the first year in which a changed security's rows may differ
    # (before it, every changed security's rows are as the year files hold them).
    first_year = None
    if blocks and not rebuilt and all(block.first is not None for block in blocks):
        firsts = np.array([block.first for block in blocks], dtype="datetime64[ms]").view(np.int64)
        first_year = int(_years(firsts).min())
    candidates = set(old.years) | {year for block in blocks for year in block.years}
    touched = {y for y in candidates if first_year is None or y >= first_year}
    made = Manifest(dict(old.years), dict(generations))

    def make(year: int) -> tuple[int, tuple[str, Path] | None]:
        """The year's file written under a temporary name (None: the year has no rows now)."""
        parts: list[tuple[list[Key], np.ndarray, np.ndarray, Series]] = []  # keys, owner, order keys, columns
        for block in blocks:
            if year in block.years:
                a, b = block.years[year]
                columns = {name: values[a:b] for name, values in block.columns.items()}
                parts.append((block.keys, block.owner[a:b], block.order_keys[a:b], columns))
        if year in old.years:
            with contextlib.suppress(FileNotFoundError):
                path = root / FOLDER / f"year={year}" / f"{old.years[year]}.parquet"
                keys, owner, columns = _old_rows(path, dropped, set(rebuilt))
                ms = columns["time"].astype("datetime64[ms]", copy=False).view(np.int64)
                parts.append((keys, owner, _order_keys(ms, _rank(keys)[owner]), columns))
        parts = [part for part in parts if len(part[1])]
        if not parts:
            return year, None
        keys = sorted({key for part in parts for key in part[0]})
        index = {key: i for i, key in enumerate(keys)}
        owner = np.concatenate(
            [np.array([index[k] for k in ks] + [0], dtype=np.int32)[o] for ks, o, _, _ in parts]
        )
        order_keys = np.concatenate([ok for _, _, ok, _ in parts])
        columns = {name: np.concatenate([c[name] for *_, c in parts]) for name in ("time", *BAR_VALUES)}
        if len(parts) > 1:  # sorted runs, one per part: merged by a stable sort
            order = np.argsort(order_keys, kind="stable")
            owner, columns = owner[order], {name: values[order] for name, values in columns.items()}
        table = arrow_bars(keys, owner, columns)
        groups = [min(GROUP_ROWS, table.num_rows - at) for at in range(0, table.num_rows, GROUP_ROWS)]
        final = root / FOLDER / f"year={year}" / f"{new_generation()}.parquet"
        # lz4 and statistics of the time alone: a copy for queries, written quickly.
        tmp = write_bars_file(final, table, groups, compression="lz4", statistics=("time",))
        return year, (tmp, final)

    # NumPy's sorts and gathers and the Parquet writer let go of the interpreter lock.
    with ThreadPoolExecutor(max_workers=min(8, os.cpu_count() or 1)) as pool:
        made_years = list(pool.map(make, sorted(touched)))
    placed: list[tuple[str, Path]] = []
    for year, file in made_years:
        if file is None:
            made.years.pop(year, None)
        else:
            placed.append(file)
            made.years[year] = file[1].stem
    errors = put_in_place(placed, root)
    for error in errors:
        if error is not None:
            for _, final in placed:
                with contextlib.suppress(FileNotFoundError):
                    final.unlink()
            raise error
    made.write(root)
    tidy(root, made)


def tidy(root: Path, manifest: Manifest | None) -> None:
    """Removes the year files the manifest does not name (all of them without one): superseded,
    or made by a writer killed before its manifest."""
    top = root / FOLDER
    if not top.is_dir() or top.is_symlink():
        return
    keep = {str(path) for path in manifest.files(root)} if manifest is not None else set()
    with os.scandir(top) as years:
        for year in years:
            if not year.name.startswith("year=") or not year.is_dir(follow_symlinks=False):
                continue
            with os.scandir(year.path) as files:
                for entry in files:
                    if entry.name.endswith(".parquet") and entry.path not in keep:
                        with contextlib.suppress(FileNotFoundError):
                            os.unlink(entry.path)
            with contextlib.suppress(OSError):  # a year that no file holds any more
                os.rmdir(year.path)
