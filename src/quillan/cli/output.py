"""Printing results for people and for programs: an aligned table, CSV or JSON.

A table is for reading: numbers align on the right, floats that a float32 widened show in
their shortest float32 form, times in the shortest form that holds every value of their column,
and control characters in a server's text are escaped. CSV and JSON carry every value exactly
(a float as its shortest exact decimal); a missing value (NaN, NaT) is an empty CSV cell and a
JSON null.
"""

from __future__ import annotations

import csv
import json
import math
import struct
import unicodedata
from collections.abc import Callable, Iterable, Mapping, Sequence
from decimal import Decimal
from typing import Any, TextIO

import numpy as np

from quillan.table import Table

__all__ = [
    "FORMATS",
    "Shown",
    "display_width",
    "float32",
    "float32_times",
    "format_value",
    "rows_of",
    "visible",
    "write_mapping",
    "write_rows",
    "write_table",
    "write_text",
]

FORMATS = ("table", "csv", "json")


def format_value(value: Any) -> str:
    """A cell's text: floats in their shortest exact form, bytes as hexadecimal."""
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, bytes):
        return value.hex()
    return str(value)


def visible(text: str, keep: str = "") -> str:
    """`text` with control characters (but those in `keep`) written as escapes: text from a
    server must not drive the terminal (a stray ESC could rewrite the screen)."""
    return "".join(ch if ch in keep or unicodedata.category(ch) != "Cc" else ascii(ch)[1:-1] for ch in text)


def display_width(text: str) -> int:
    """Columns that `text` takes in a terminal: wide (East Asian) characters take two."""
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


Shown = Callable[[Any], str]
"""How a table shows the values of a column (`format_value` unless said otherwise)."""


def _f32(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


def _positional(text: str) -> str:
    """A decimal number without an exponent, unless it is very large or very small."""
    number = Decimal(text)
    if number and not Decimal("1e-6") <= abs(number) < Decimal("1e16"):
        return f"{float(number)!r}"
    shown = format(number, "f")
    return shown if "." in shown else shown + ".0"


def float32(value: Any) -> str:
    """A float that a float32 widened, in the shortest form that reads back as that float32
    (1.600000023841858 shows as 1.6); a whole number, and any other value, as `format_value`
    shows it (a count of 275172512 shares stays that, not the float32's 275172500)."""
    try:
        exact = (
            isinstance(value, float)
            and math.isfinite(value)
            and not value.is_integer()
            and _f32(value) == value
        )
    except OverflowError:  # beyond the float32 range
        exact = False
    if not exact:
        return format_value(value)
    for digits in range(1, 10):  # nine significant digits always read back exactly
        text = f"{value:.{digits}g}"
        if _f32(float(text)) == value:
            break
    return _positional(text)


def float32_times(factor: int) -> Shown:
    """Floats that are a float32 multiplied by `factor` in double precision, shown as the
    shortest form of the float32 times `factor`."""

    def shown(value: Any) -> str:
        if not isinstance(value, float) or not math.isfinite(value):
            return format_value(value)
        stored = value / factor
        if _f32(stored) != stored or stored * factor != value:
            return format_value(value)
        return _positional(str((Decimal(float32(stored)) * factor).normalize()))

    return shown


def _numeric(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _missing(value: object) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def _pad(text: str, width: int, right: bool) -> str:
    gap = " " * max(0, width - display_width(text))
    return gap + text if right else text + gap


Cell = tuple[str, bool]
"""A table cell: its text and whether it shows a number."""


def _cell(value: Any, shown: Shown) -> Cell:
    if value is None:
        return "", False
    return visible(shown(value)), _numeric(value)


def _table(columns: Sequence[str], rows: Sequence[Sequence[Cell]], out: TextIO) -> None:
    widths = [display_width(c) for c in columns]
    for row in rows:
        widths = [max(w, display_width(c[0])) for w, c in zip(widths, row, strict=True)]
    # Numbers line up on the right, text on the left, cell by cell; a heading goes right when
    # its column holds numbers only.
    heading = []
    for i in range(len(columns)):
        cells = [row[i] for row in rows if row[i][0]]
        heading.append(bool(cells) and all(c[1] for c in cells))
    lines: list[Sequence[Cell]] = [
        list(zip(columns, heading, strict=True)),
        [("-" * w, h) for w, h in zip(widths, heading, strict=True)],
        *rows,
    ]
    for line in lines:
        parts = [_pad(text, width, right) for (text, right), width in zip(line, widths, strict=True)]
        out.write("  ".join(parts).rstrip() + "\n")


def _jsonable(value: Any) -> Any:
    if _missing(value):
        return None
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, (tuple, list)):
        return [_jsonable(v) for v in value]
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    return value


def _csv_cell(value: Any) -> str:
    return "" if _missing(value) else format_value(value)


def _to_terminal(out: TextIO) -> bool:
    try:
        return out.isatty()
    except ValueError:  # closed
        return False


def _write_json(value: Any, out: TextIO) -> None:
    text = json.dumps(value, ensure_ascii=False, indent=2, allow_nan=False)
    if _to_terminal(out):
        # JSON escapes the C0 controls itself; DEL and the C1 controls it leaves as they are.
        text = "".join(
            f"\\u{ord(ch):04x}" if ch != "\n" and unicodedata.category(ch) == "Cc" else ch for ch in text
        )
    out.write(text + "\n")


def _write_csv(rows: Iterable[Sequence[str]], out: TextIO) -> None:
    writer = csv.writer(out, lineterminator="\n")
    if _to_terminal(out):
        rows = ([visible(cell) for cell in row] for row in rows)
    writer.writerows(rows)


def _time_texts(values: np.ndarray) -> list[str | None]:
    """Times in the shortest ISO form that holds every one of them: dates when every time is a
    midnight, else minutes, else seconds; None for NaT."""
    known = ~np.isnat(values)
    seconds = values[known].astype("datetime64[s]").astype(np.int64)
    unit = "D" if not (seconds % 86400).any() else "m" if not (seconds % 60).any() else "s"
    texts = np.datetime_as_string(values.astype(f"datetime64[{unit}]"), unit=unit).tolist()  # type: ignore[call-overload]
    return [text.replace("T", " ") if ok else None for text, ok in zip(texts, known.tolist(), strict=True)]


def _duration_texts(values: np.ndarray) -> list[str | None]:
    """Times of day (durations since midnight) as HH:MM, or HH:MM:SS when some have seconds;
    the hours may pass 23, as a server may send them."""
    known = ~np.isnat(values)
    seconds = values.astype("timedelta64[s]").astype(np.int64)
    with_seconds = bool((seconds[known] % 60).any())
    texts: list[str | None] = []
    for total, ok in zip(seconds.tolist(), known.tolist(), strict=True):
        hours, rest = divmod(total, 3600)
        text = f"{hours:02d}:{rest // 60:02d}" + (f":{rest % 60:02d}" if with_seconds else "")
        texts.append(text if ok else None)
    return texts


def rows_of(table: Table) -> list[list[Any]]:
    """The rows of a Table as Python values: numbers, bools and str as they are, times as text
    (`_time_texts`; the times of a Table with a zone as its UTC instants), None for NaT."""
    columns: list[list[Any]] = []
    for name in table.columns:
        values = table[name]
        if values.dtype.kind == "M":
            columns.append(_time_texts(values))
        elif values.dtype.kind == "m":
            columns.append(_duration_texts(values))
        else:
            columns.append(values.tolist())
    return [list(row) for row in zip(*columns, strict=True)] if columns else []


def write_rows(
    columns: Sequence[str],
    rows: Sequence[Sequence[Any]],
    fmt: str,
    out: TextIO,
    shown: Mapping[str, Shown] | None = None,
    titles: Mapping[str, str] | None = None,
) -> None:
    """Rows of values under their column names. CSV and JSON (a list of objects) hold the
    values exactly, but for the control characters of a text, which are escaped when `out` is
    a terminal. A table shows the values of a column as `shown` says (floats in their shortest
    float32 form when they are float32s, else as they are) and heads it with its title (both
    default to the column's name)."""
    if fmt == "json":
        _write_json([{c: _jsonable(v) for c, v in zip(columns, row, strict=True)} for row in rows], out)
    elif fmt == "csv":
        _write_csv([list(columns), *([_csv_cell(v) for v in row] for row in rows)], out)
    else:
        how = [(shown or {}).get(c, float32) for c in columns]
        _table(
            [(titles or {}).get(c, c) for c in columns],
            [[_cell(v, s) for v, s in zip(row, how, strict=True)] for row in rows],
            out,
        )


def write_table(
    table: Table,
    fmt: str,
    out: TextIO,
    shown: Mapping[str, Shown] | None = None,
    titles: Mapping[str, str] | None = None,
) -> None:
    """A Table, one row per row (`write_rows`)."""
    write_rows(table.columns, rows_of(table), fmt, out, shown, titles)


def write_mapping(
    mapping: Mapping[str, Any], fmt: str, out: TextIO, shown: Mapping[str, Shown] | None = None
) -> None:
    """One record: a key/value table, one CSV row under a header, or one JSON object. A table
    shows each value as `shown` says for its key."""
    if fmt == "json":
        _write_json(_jsonable(dict(mapping)), out)
    elif fmt == "csv":
        _write_csv([list(mapping), [_csv_cell(v) for v in mapping.values()]], out)
    else:
        how = shown or {}
        rows = [[_cell(k, str), _cell(v, how.get(k, float32))] for k, v in mapping.items()]
        _table(["key", "value"], rows, out)


def write_text(fields: Mapping[str, Any], text_key: str, fmt: str, out: TextIO) -> None:
    """A text with a few fields about it: the bare text in a table, else like a mapping."""
    if fmt == "table":
        text = visible(str(fields[text_key]), keep="\n\t")
        out.write(text if text.endswith("\n") or not text else text + "\n")
    else:
        write_mapping(fields, fmt, out)
