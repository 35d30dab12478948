"""sync.json: what a store holds, per security and frequency (its last bar and its rows).

The record is rewritten only after the data it describes is in place, so it may lag the data
after a killed run, never run ahead of it.
"""

from __future__ import annotations

import datetime as dt
import json
import threading
import time
from pathlib import Path
from typing import Any

from quillan.atomic import write_atomically
from quillan.store.parquet import DamagedFileError

__all__ = ["StateWriter", "read_state"]

FLUSH_SECONDS = 2.0


def read_state(path: Path) -> dict[str, dict[str, Any]]:
    """The entries of sync.json by key (``"sh600036/1d"``); none when there is no file.
    DamagedFileError, naming the file, for one that is not such a record."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except FileNotFoundError:
        return {}
    except (ValueError, UnicodeDecodeError) as err:
        raise DamagedFileError(path, err) from None
    if not isinstance(data, dict) or not all(
        isinstance(entry, dict)
        and isinstance(entry.get("rows", 0), int)
        and isinstance(entry.get("last", ""), str)
        for entry in data.values()
    ):
        raise DamagedFileError(path, "not a record of series")
    return data


class StateWriter:
    """sync.json of a writing run: entries are recorded once their data is in place and
    written out together every few seconds and at the end of the run. An entry equal to the
    stored one (but for its source) changes nothing."""

    def __init__(self, path: Path) -> None:
        self._path = path
        self._lock = threading.Lock()
        self._state = read_state(path)
        self._dirty = False
        self._flushed = time.monotonic()

    def current(self) -> dict[str, dict[str, Any]]:
        with self._lock:
            return {key: dict(entry) for key, entry in self._state.items()}

    def record(self, entries: dict[str, dict[str, Any]]) -> None:
        """Records the entries of some series (by key), stamped with the time now."""
        now = dt.datetime.now(dt.UTC).isoformat(timespec="seconds")
        with self._lock:
            for key, entry in entries.items():
                old = self._state.get(key, {})
                if all(old.get(k) == v for k, v in entry.items() if k != "source"):
                    continue
                entry["updated"] = now
                self._state[key] = entry
                self._dirty = True

    def maybe_flush(self) -> None:
        if self._dirty and time.monotonic() - self._flushed >= FLUSH_SECONDS:
            self.flush()

    def flush(self) -> None:
        with self._lock:
            if not self._dirty:
                return
            text = json.dumps(self._state, indent=1, sort_keys=True) + "\n"

            def write(tmp: str) -> None:
                Path(tmp).write_text(text, encoding="utf-8")

            write_atomically(self._path, write)
            self._dirty = False
            self._flushed = time.monotonic()
