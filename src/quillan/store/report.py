"""What a sync or an import did (`SyncReport`), gathered from the tasks that write it."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Generic, TypeVar

__all__ = ["Batches", "Interrupted", "SyncReport"]

Item = TypeVar("Item")


@dataclass
class SyncReport:
    """What a sync or an import did, by series (``sh600036/1d``, ``sh600036/xdxr``) or file:
    the rows now stored of each series that changed, the series left as they were, and the
    error of each that failed."""

    written: dict[str, int] = field(default_factory=dict)
    unchanged: list[str] = field(default_factory=list)
    failed: dict[str, str] = field(default_factory=dict)
    # What the run found and mended on its way (a damaged file made again, a series whose
    # record ran ahead of its bars fetched whole again).
    notes: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.failed

    def summary(self) -> str:
        """``"3 updated, 5 unchanged, 1 failed"``."""
        return f"{len(self.written)} updated, {len(self.unchanged)} unchanged, {len(self.failed)} failed"


class Interrupted(KeyboardInterrupt):
    """A sync or an import that Ctrl-C stopped: every step it finished is kept, and running it
    again finishes the job. `done` of `total` steps were finished; `report` says what they did."""

    def __init__(self, what: str, done: int, total: int, unit: str, report: SyncReport) -> None:
        super().__init__(f"{what} {done:,} of {total:,} {unit}; run again to finish")
        self.done, self.total, self.report = done, total, report


class Batches(Generic[Item]):
    """The results of a run, and its series gathered by bucket: the task that brings the last
    expected series of a bucket writes them all, so each bucket has one writer at a time and
    is written once."""

    def __init__(self, report: SyncReport) -> None:
        self._report = report
        self._lock = threading.Lock()
        self._left: dict[tuple[str, str], int] = {}
        self._items: dict[tuple[str, str], list[tuple[str, Item]]] = {}

    def expect(self, key: tuple[str, str]) -> None:
        self._left[key] = self._left.get(key, 0) + 1

    def report(self, label: str, result: int | Exception) -> None:
        """One result: the rows now stored, -1 for unchanged, or the error."""
        self.report_all([(label, result)])

    def report_all(self, results: Iterable[tuple[str, int | Exception]]) -> None:
        with self._lock:
            for label, result in results:
                if isinstance(result, Exception):
                    self._report.failed[label] = f"{type(result).__name__}: {result}"
                elif result < 0:
                    self._report.unchanged.append(label)
                else:
                    self._report.written[label] = result

    def add(
        self,
        key: tuple[str, str],
        label: str,
        item: Item | Exception,
        write: Callable[[list[Item]], list[int | Exception]],
    ) -> None:
        """One expected series of bucket `key` (or the error that kept it from coming); the
        last one of its bucket calls write(items) and reports what it returns."""
        with self._lock:
            if not isinstance(item, Exception):
                self._items.setdefault(key, []).append((label, item))
            self._left[key] -= 1
            ready = self._items.pop(key, []) if self._left[key] == 0 else []
        if isinstance(item, Exception):
            self.report(label, item)
        if not ready:
            return
        try:
            results = write([entry for _, entry in ready])
        except Exception as err:  # the whole bucket failed to be written
            results = [err] * len(ready)
        for (name, _), result in zip(ready, results, strict=True):
            self.report(name, result)
