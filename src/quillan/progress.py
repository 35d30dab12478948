"""A progress bar on a terminal for long work: tqdm when it is installed (the ``progress``
extra), else a plain line; nothing when the stream is not a terminal."""

from __future__ import annotations

import importlib
import sys
import threading
from typing import Any, Self, TextIO

__all__ = ["Progress"]


class Progress:
    """``with Progress(total, "import") as bar: ... bar.advance()``; `total` None when the
    size of the work is not known. Thread-safe. `show` None draws it when `stream` (stderr by
    default) is a terminal; `leave` keeps its last state on the screen."""

    def __init__(
        self,
        total: int | None,
        what: str,
        *,
        unit: str = "item",
        show: bool | None = None,
        stream: TextIO | None = None,
        leave: bool = False,
    ) -> None:
        self.total = total
        self.what = what
        self.unit = unit
        self.done = 0
        self.stream = stream if stream is not None else sys.stderr
        self.leave = leave
        self.show = _is_terminal(self.stream) if show is None else show
        self._bar: Any = None
        self._lock = threading.Lock()

    def __enter__(self) -> Self:
        if self.show:
            try:
                tqdm: Any = importlib.import_module("tqdm")
            except ImportError:
                self._bar = None
            else:
                self._bar = tqdm.tqdm(
                    total=self.total, desc=self.what, unit=self.unit, leave=self.leave, file=self.stream
                )
        return self

    def advance(self, count: int = 1) -> None:
        """`count` more units done."""
        with self._lock:
            self.done += count
            if self._bar is not None:
                self._bar.update(count)
            elif self.show:
                of = f" / {self.total:,}" if self.total is not None else ""
                self.stream.write(f"\r{self.what}: {self.done:,}{of} {self.unit}")
                self.stream.flush()

    def update(self, done: int) -> None:
        """`done` units done in all."""
        self.advance(done - self.done)

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self.show and self.done:
            self.stream.write("\n")
            self.stream.flush()


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # closed
        return False
