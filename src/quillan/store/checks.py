"""Store.verify: every file of a store read whole and checked, and for each problem the file,
what is wrong and how to make it right.

A bars file is checked for its page checksums (every page written carries one), its schema,
rows in market, code and time order with no bar twice, securities in the right bucket,
row-group statistics that match the rows (a reader skips row groups by them), and agreement
with the record of what is stored (sync.json). The by-date copy must hold the daily bars of
the buckets it names; the factors must follow from the bars and the ex-rights records; no
writer's temporary file may be left.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from quillan.store import bydate
from quillan.store.factors import expected_factors
from quillan.store.files import Layout
from quillan.store.layout import FREQS, bucket_of
from quillan.store.listing import LISTING_KEY, Listing, listing_of
from quillan.store.parquet import DamagedFileError, pyarrow, read_parquet, reading, same_tables
from quillan.store.state import read_state
from quillan.table import import_optional
from quillan.vocabulary import BAR_VALUES

__all__ = ["Problem", "verify"]

BAR_COLUMNS = ("market", "code", "time", *BAR_VALUES)


@dataclass(frozen=True)
class Problem:
    """What is wrong with one file of a store, and how to make it right."""

    path: Path
    what: str
    remedy: str

    def __str__(self) -> str:
        return f"{self.path}: {self.what}; {self.remedy}"


def _remake(layout: Layout, freq: str, securities: list[str]) -> str:
    listed = " ".join(securities[:8]) + (f" and {len(securities) - 8} more" if len(securities) > 8 else "")
    again = (
        f"quillan sync {listed} --freq {freq} --store {layout.root}"
        if securities
        else "a sync of its securities"
    )
    return f"make it again: {again}, or quillan import of the terminal folder it came from"


def _security_rows(table: Any) -> tuple[list[tuple[str, str]], np.ndarray, np.ndarray]:
    """The securities of a table's rows (sorted), each row's index into them, and the times."""
    ranks, names = [], []
    for name in ("market", "code"):
        encoded = table.column(name).combine_chunks().dictionary_encode()
        words = np.array(encoded.dictionary.to_pylist(), dtype=object)
        order = np.argsort(words)
        rank = np.empty(len(words), np.int64)
        rank[order] = np.arange(len(words))
        ranks.append(rank[encoded.indices.to_numpy()])
        names.append(words[order].tolist())
    (markets, market_names), (codes, code_names) = zip(ranks, names, strict=True)
    used, owner = np.unique(markets * len(code_names) + codes, return_inverse=True)
    keys = [(market_names[u // len(code_names)], code_names[u % len(code_names)]) for u in used.tolist()]
    return keys, owner.astype(np.int64), table.column("time").to_numpy().view(np.int64)


def _bars_file(
    layout: Layout, path: Path, freq: str, bucket: str, state: dict[str, dict[str, Any]], held: set[str]
) -> tuple[list[Problem], Any | None]:
    """The problems of one bucket file, and its rows when it has none; the series it holds go
    into `held`."""
    mine = [key.split("/")[0] for key in state if key.endswith(f"/{freq}")]
    mine = [s for s in mine if bucket_of(s[:2], s[2:], freq) == bucket]
    remedy = _remake(layout, freq, mine)
    try:
        table = read_parquet(path)
    except DamagedFileError as err:
        return [Problem(path, str(err.strerror), remedy)], None
    if table is None:
        return [], None
    if tuple(table.column_names) != BAR_COLUMNS:
        what = f"columns {', '.join(table.column_names)}, not {', '.join(BAR_COLUMNS)}"
        return [Problem(path, what, remedy)], None
    rows = _security_rows(table)
    problems = list(_bars_rows(path, table, rows, freq, bucket, state, remedy))
    held.update(f"{m}{c}/{freq}" for m, c in rows[0])
    return problems, table if not problems else None


def _bars_rows(
    path: Path,
    table: Any,
    rows: tuple[list[tuple[str, str]], np.ndarray, np.ndarray],
    freq: str,
    bucket: str,
    state: dict[str, dict[str, Any]],
    remedy: str,
) -> Iterator[Problem]:
    """The problems of a bucket file's rows (`rows`: `_security_rows` of them)."""
    names, owner, times = rows
    # Securities in market and code order (their index in the sorted names), each one's times
    # strictly rising: no bar twice.
    ordered = bool(np.all((owner[1:] > owner[:-1]) | ((owner[1:] == owner[:-1]) & (times[1:] > times[:-1]))))
    if not ordered:
        yield Problem(path, "bars out of market, code and time order, or a bar twice", remedy)
    strays = [f"{m}{c}" for m, c in names if bucket_of(m, c, freq) != bucket]
    if strays:
        yield Problem(path, f"holds bars of {', '.join(strays[:5])}, which belong in other buckets", remedy)
    yield from _statistics(path, table, remedy)
    if freq == "1d" and ordered:
        yield from _listing(path, names, owner, times, remedy)
    ends: list[int] = (
        np.append(np.flatnonzero(owner[1:] != owner[:-1]), len(owner) - 1).tolist() if len(owner) else []
    )
    counts = np.bincount(owner, minlength=len(names)).tolist()
    for end in ends:
        market, code = names[owner[end]]
        count = counts[owner[end]]
        last = str(np.datetime64(int(times[end]), "ms").astype("datetime64[s]"))
        entry = state.get(f"{market}{code}/{freq}")
        if entry is None:
            yield Problem(path, f"{market}{code}: {count} bars that the record does not name", remedy)
        elif entry.get("rows") != count or entry.get("last") != last:
            yield Problem(
                path,
                f"{market}{code}: {count} bars to {last}, but the record names {entry.get('rows')} to "
                f"{entry.get('last')}",
                "the next sync of it makes them agree",
            )


def _statistics(path: Path, table: Any, remedy: str) -> Iterator[Problem]:
    """A problem for each row group whose statistics (which readers skip row groups by) do not
    match its rows, or whose footer does not describe the rows read."""
    footer = _footer(path)
    if footer.num_rows != table.num_rows:
        yield Problem(path, f"a footer of {footer.num_rows} rows over {table.num_rows}", remedy)
        return
    start = 0
    for i in range(footer.num_row_groups):
        group = footer.row_group(i)
        for c, name in enumerate(table.column_names):
            try:
                stats = group.column(c).statistics
                if stats is None or not stats.has_min_max:
                    continue
                low, high = stats.min, stats.max
            except (ValueError, OverflowError, UnicodeDecodeError) as err:
                yield Problem(path, f"the statistics of row group {i} cannot be read ({name}: {err})", remedy)
                return
            # The least and greatest value but NaN (nor does the writer count NaN).
            found = _min_max()(table.column(name).slice(start, group.num_rows))
            least, most = found["min"].as_py(), found["max"].as_py()
            if least is not None and least == least and (low != least or high != most):
                yield Problem(path, f"the statistics of row group {i} do not match its rows ({name})", remedy)
                return
        start += group.num_rows


def _listing(
    path: Path, names: list[tuple[str, str]], owner: np.ndarray, times: np.ndarray, remedy: str
) -> Iterator[Problem]:
    """A problem when the listing in a daily bucket's footer (which the calendar and the
    universe are read from) does not describe its rows; none for a file written without one."""
    text = (_footer(path).metadata or {}).get(LISTING_KEY.encode())
    if text is None:
        return
    try:
        stored = Listing.from_json(text)
    except (ValueError, KeyError, TypeError) as err:
        yield Problem(
            path, f"the listing in its footer cannot be read ({err})", f"remove the file, then {remedy}"
        )
        return
    rows = listing_of(names, np.bincount(owner, minlength=len(names)), times)
    if stored is not None and not stored.same(rows):
        yield Problem(
            path, "the listing in its footer does not match its rows", f"remove the file, then {remedy}"
        )


def _min_max() -> Any:
    compute: Any = import_optional("pyarrow.compute", "quillan.Store", "store")
    return compute.min_max


def _footer(path: Path) -> Any:
    from quillan.store.parquet import read_metadata

    with reading(path):
        return read_metadata(path)


def verify(layout: Layout) -> tuple[list[Problem], int]:
    """Every problem of the store, and the number of files read."""
    problems: list[Problem] = []
    files = 0
    for tmp in layout.leftovers():
        problems.append(
            Problem(tmp, "a temporary file of a writer that was killed", "the next write removes it")
        )
    try:
        state = read_state(layout.state)
        files += layout.state.exists()
    except DamagedFileError as err:
        problems.append(
            Problem(layout.state, str(err.strerror), "the next sync or import makes it again from the bars")
        )
        state = {}
    held: set[str] = set()
    generations: dict[str, str] = {}
    daily: list[Any] = []  # the rows of the daily buckets, for the check of the copy by date
    daily_sound = True
    for freq in FREQS:
        for path in sorted((layout.root / "bars" / f"freq={freq}").glob("bucket=*/data.parquet")):
            files += 1
            bucket = path.parent.name.removeprefix("bucket=")
            found, table = _bars_file(layout, path, freq, bucket, state, held)
            problems += found
            if freq == "1d" and table is not None:
                generations[bucket] = bydate.generation_of(_footer(path))
                daily.append(table)
            daily_sound = daily_sound and not (freq == "1d" and found)
    for key, entry in sorted(state.items()):
        symbol, _, freq = key.partition("/")
        if freq in FREQS and key not in held and entry.get("rows"):
            path = layout.bars(freq, bucket_of(symbol[:2], symbol[2:], freq))
            if not any(p.path == path for p in problems):
                problems.append(
                    Problem(
                        path,
                        f"no bars of {symbol}, where the record names {entry['rows']}",
                        "the next sync of it fetches it whole",
                    )
                )
    if daily_sound:  # a damaged bucket is named already; the copy follows it once it is mended
        files += _by_date(layout, generations, daily, problems)
    files += _factors(layout, problems)
    return problems, files


def _by_date(layout: Layout, generations: dict[str, str], daily: list[Any], problems: list[Problem]) -> int:
    manifest = bydate.Manifest.read(layout.root)
    mend = "remove the folder and run any sync or import: it is made again from the bucket files"
    if not generations:
        return 0
    if manifest is None or bydate.stale_buckets(manifest, generations):
        where = bydate.Manifest.path(layout.root)
        problems.append(
            Problem(
                where,
                "the copy of the daily bars by date lags the bucket files",
                "the next sync or import brings it up to date",
            )
        )
        return 0
    rows = []
    for path in manifest.files(layout.root):
        try:
            table = read_parquet(path)
            if table is None:
                raise FileNotFoundError(2, "No such file or directory", str(path))
            rows.append(table)
        except (DamagedFileError, FileNotFoundError) as err:
            problems.append(Problem(path, str(getattr(err, "strerror", err)), mend))
            return len(rows)
        found = list(_statistics(path, rows[-1], mend))
        if found:
            problems += found
            return len(rows)

    def key(tables: list[Any]) -> tuple[list[tuple[str, str]], tuple[np.ndarray, ...]]:
        """The securities of the rows, and the rows in security and time order."""
        if not tables:
            return [], ()
        table = pyarrow().concat_tables(tables)
        names, owner, times = _security_rows(table)
        order = np.lexsort((times, owner))
        values = (table.column(name).to_numpy() for name in BAR_VALUES)
        return names, (owner[order], times[order], *(v[order] for v in values))

    (my_names, mine), (their_names, theirs) = key(rows), key(daily)
    same = (
        my_names == their_names
        and len(mine) == len(theirs)
        and all(
            np.array_equal(a, b, equal_nan=a.dtype.kind == "f") for a, b in zip(mine, theirs, strict=True)
        )
    )
    if not same:
        problems.append(
            Problem(
                bydate.Manifest.path(layout.root),
                "the copy of the daily bars by date does not hold the buckets' bars",
                mend,
            )
        )
    return len(rows)


def _factors(layout: Layout, problems: list[Problem]) -> int:
    files = 0
    for kind in ("xdxr", "factors"):
        for path in sorted((layout.root / kind).glob("symbol=*/data.parquet")):
            files += 1
            symbol = path.parent.name.removeprefix("symbol=")
            remedy = f"make it again: quillan sync {symbol} --store {layout.root}"
            try:
                table = read_parquet(path)
                if table is None:
                    continue
            except DamagedFileError as err:
                problems.append(Problem(path, str(err.strerror), remedy))
                continue
            found = list(_statistics(path, table, remedy))
            problems += found
            if found or kind != "factors":
                continue
            try:
                want = expected_factors(layout, symbol[:2], symbol[2:])
            except DamagedFileError:
                continue  # the damaged file it comes from is named already
            if want is None or not same_tables(table, want):
                what = "factors that do not follow from the bars and the ex-rights records"
                problems.append(Problem(path, what, remedy))
    return files
