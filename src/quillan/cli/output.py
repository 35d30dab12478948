"""Printing results for people and for programs: an aligned table, CSV or JSON."""

from __future__ import annotations

import csv
import json
import math
import struct
import unicodedata
from collections.abc import Callable, Iterable, Mapping, Sequence
from decimal import Decimal
from typing import Any, TextIO

__all__ = [
    "FORMATS",
    "Shown",
    "decimals",
    "display_width",
    "float32",
    "float32_times",
    "format_value",
    "visible",
    "write_mapping",
    "write_records",
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


def decimals(places: int) -> Shown:
    """Floats with `places` decimals: a price stored as an integer count of a tick (cents,
    thousandths) shows as that tick, not as the nearest double's digits."""

    def shown(value: Any) -> str:
        if isinstance(value, float) and math.isfinite(value):
            return f"{value:.{places}f}"
        return format_value(value)

    return shown


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
    (1.600000023841858 shows as 1.6); any other value as `format_value` shows it."""
    try:
        exact = isinstance(value, float) and math.isfinite(value) and _f32(value) == value
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


def _pad(text: str, width: int, right: bool) -> str:
    gap = " " * max(0, width - display_width(text))
    return gap + text if right else text + gap


Cell = tuple[str, bool] | None
"""A table cell: its text and whether it shows a number; None for a key that a record lacks."""


def _cell(value: Any, shown: Shown) -> Cell:
    return visible(shown(value)), _numeric(value)


def _table(columns: Sequence[str], rows: Sequence[Sequence[Cell]], out: TextIO) -> None:
    widths = [display_width(c) for c in columns]
    for row in rows:
        widths = [max(w, display_width(c[0]) if c else 0) for w, c in zip(widths, row, strict=True)]
    # Numbers line up on the right, text on the left, cell by cell; a heading goes right when
    # its column holds numbers only.
    heading = []
    for i in range(len(columns)):
        cells = [row[i] for row in rows]
        heading.append(any(cells) and all(c is None or c[1] for c in cells))
    lines: list[Sequence[Cell]] = [
        [(c, h) for c, h in zip(columns, heading, strict=True)],
        [("-" * w, h) for w, h in zip(widths, heading, strict=True)],
        *rows,
    ]
    for line in lines:
        parts = []
        for cell, width in zip(line, widths, strict=True):
            text, right = cell or ("", False)
            parts.append(_pad(text, width, right))
        out.write("  ".join(parts).rstrip() + "\n")


def _jsonable(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, tuple):
        return [_jsonable(v) for v in value]
    if isinstance(value, list):
        return [_jsonable(v) for v in value]
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    return value


def _to_terminal(out: TextIO) -> bool:
    try:
        return out.isatty()
    except ValueError:  # closed
        return False


def _write_json(value: Any, out: TextIO) -> None:
    text = json.dumps(value, ensure_ascii=False, indent=2)
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


def write_records(
    records: Sequence[Mapping[str, object]],
    fmt: str,
    out: TextIO,
    columns: Sequence[str] | None = None,
    shown: Mapping[str, Shown] | None = None,
    titles: Mapping[str, str] | None = None,
) -> None:
    """A list of dicts: one row per dict, one column per key (those of the first dict unless
    `columns` says otherwise). CSV and JSON hold the values exactly, but for the control
    characters of a text, which are escaped when `out` is a terminal. A table shows the
    values of a column as `shown` says and heads it with its title (both default to the
    plain value and the key)."""
    if columns is None:
        columns = list(records[0]) if records else []
    if fmt == "json":
        _write_json([{c: _jsonable(r.get(c)) for c in columns} for r in records], out)
    elif fmt == "csv":
        _write_csv([columns, *([format_value(r.get(c, "")) for c in columns] for r in records)], out)
    else:
        how = [(shown or {}).get(c, format_value) for c in columns]
        _table(
            [(titles or {}).get(c, c) for c in columns],
            [
                [_cell(r[c], s) if c in r else None for c, s in zip(columns, how, strict=True)]
                for r in records
            ],
            out,
        )


def write_mapping(
    mapping: Mapping[str, Any], fmt: str, out: TextIO, shown: Mapping[str, Shown] | None = None
) -> None:
    """One dict: a key/value table, one CSV row under a header, or one JSON object. A table
    shows each value as `shown` says for its key."""
    if fmt == "json":
        _write_json(_jsonable(dict(mapping)), out)
    elif fmt == "csv":
        _write_csv([list(mapping), [format_value(v) for v in mapping.values()]], out)
    else:
        how = shown or {}
        rows = [[_cell(k, str), _cell(v, how.get(k, format_value))] for k, v in mapping.items()]
        _table(["key", "value"], rows, out)


def write_text(fields: Mapping[str, Any], text_key: str, fmt: str, out: TextIO) -> None:
    """A text with a few fields about it: the bare text in a table, else like a mapping."""
    if fmt == "table":
        text = visible(str(fields[text_key]), keep="\n\t")
        out.write(text if text.endswith("\n") or not text else text + "\n")
    else:
        write_mapping(fields, fmt, out)
