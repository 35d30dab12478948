"""Printing results for people and for programs: an aligned table, CSV or JSON."""

from __future__ import annotations

import csv
import json
import unicodedata
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TextIO

__all__ = [
    "FORMATS",
    "display_width",
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


def _pad(text: str, width: int, right: bool) -> str:
    gap = " " * max(0, width - display_width(text))
    return gap + text if right else text + gap


def _table(rows: Sequence[Sequence[Any]], columns: Sequence[str], out: TextIO) -> None:
    cells = [[visible(format_value(v)) for v in row] for row in rows]
    widths = [display_width(c) for c in columns]
    for row in cells:
        widths = [max(w, display_width(c)) for w, c in zip(widths, row)]
    # Numbers line up on the right, text on the left.
    right = [
        bool(rows) and all(isinstance(row[i], (int, float)) for row in rows) for i in range(len(columns))
    ]
    lines = [columns, ["-" * w for w in widths]] + cells
    for line in lines:
        text = "  ".join(_pad(c, w, r) for c, w, r in zip(line, widths, right))
        out.write(text.rstrip() + "\n")


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
    records: Sequence[Mapping[str, object]], fmt: str, out: TextIO, columns: Sequence[str] | None = None
) -> None:
    """A list of dicts: one row per dict, one column per key (those of the first dict unless
    `columns` says otherwise). CSV and JSON hold the values exactly, but for the control
    characters of a text, which are escaped when `out` is a terminal."""
    if columns is None:
        columns = list(records[0]) if records else []
    if fmt == "json":
        _write_json([{c: _jsonable(r.get(c)) for c in columns} for r in records], out)
    elif fmt == "csv":
        _write_csv([columns, *([format_value(r.get(c, "")) for c in columns] for r in records)], out)
    else:
        _table([[r.get(c, "") for c in columns] for r in records], columns, out)


def write_mapping(mapping: Mapping[str, Any], fmt: str, out: TextIO) -> None:
    """One dict: a key/value table, one CSV row under a header, or one JSON object."""
    if fmt == "json":
        _write_json(_jsonable(dict(mapping)), out)
    elif fmt == "csv":
        _write_csv([list(mapping), [format_value(v) for v in mapping.values()]], out)
    else:
        _table([[k, v] for k, v in mapping.items()], ["key", "value"], out)


def write_text(fields: Mapping[str, Any], text_key: str, fmt: str, out: TextIO) -> None:
    """A text with a few fields about it: the bare text in a table, else like a mapping."""
    if fmt == "table":
        text = visible(str(fields[text_key]), keep="\n\t")
        out.write(text if text.endswith("\n") or not text else text + "\n")
    else:
        write_mapping(fields, fmt, out)
