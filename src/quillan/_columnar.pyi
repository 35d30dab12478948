"""quillan._columnar: the native half of the columnar API (use it through quillan)."""

from collections.abc import Sequence
from typing import Any, Self

import numpy as np

__all__ = [
    "ColumnBuffer",
    "Connection",
    "export_arrow_schema",
    "export_arrow_stream",
    "probe_servers",
    "read_bar_columns",
    "read_bar_files",
]

class ColumnBuffer:
    """Typed values lent read-only through the buffer protocol."""

    @property
    def dtype(self) -> str: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read_bar_columns(path: bytes, minute: bool, scale: float = 100.0) -> tuple[dict[str, ColumnBuffer], int]:
    """A bar file's records as column buffers, and the number of impossible times."""

def read_bar_files(
    files: Sequence[tuple[bytes, float]], minute: bool
) -> tuple[dict[str, ColumnBuffer], list[int], list[int], list[Exception | None]]:
    """Several bar files' records one after another; per file its count, its impossible times
    and the exception that kept it out."""

def export_arrow_stream(columns: Sequence[tuple[str, str, np.ndarray]], tz: str | None) -> Any:
    """An 'arrow_array_stream' PyCapsule of the columns as one record batch."""

def export_arrow_schema(columns: Sequence[tuple[str, str, np.ndarray]], tz: str | None) -> Any:
    """An 'arrow_schema' PyCapsule of the struct of the columns."""

class Connection:
    """A quote-server connection whose market-data methods return dicts of columns."""

    def __new__(cls, timeout: float = 30.0) -> Self: ...
    @property
    def connected(self) -> bool: ...
    @property
    def timeout(self) -> float: ...
    @timeout.setter
    def timeout(self, seconds: float) -> None: ...
    def connect(self, host: str, port: int) -> None: ...
    def disconnect(self) -> None: ...
    def cancel(self) -> None: ...
    def get_security_bars(
        self, category: int, market: int, code: str, start: int, count: int
    ) -> dict[str, ColumnBuffer]: ...
    def get_security_quotes(
        self, pairs: Sequence[tuple[int, str]]
    ) -> dict[str, ColumnBuffer | list[str]]: ...
    def get_transaction_data(
        self, market: int, code: str, start: int, count: int
    ) -> dict[str, ColumnBuffer]: ...
    def get_xdxr_info(self, market: int, code: str) -> dict[str, ColumnBuffer | list[str]]: ...
    def get_finance_info(self, market: int, code: str) -> dict[str, ColumnBuffer | list[str]]: ...
    def get_company_info_category(self, market: int, code: str) -> dict[str, ColumnBuffer | list[str]]: ...
    def get_company_info_content(
        self, market: int, code: str, filename: str, start: int, length: int
    ) -> str: ...
    def get_report_file(self, filename: str, offset: int) -> tuple[int, bytes]: ...

def probe_servers(servers: Sequence[tuple[str, int]]) -> list[tuple[str, int, int]]:
    """(ip, port, latency_ms) of each server, fastest first; 9999 when unreachable."""
