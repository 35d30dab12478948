"""A stand-in for the columnar connection, built over `quillan._core.TdxClient`.

It has the columnar connection's interface (Tables out, the same columns in the same order) so
that the Client can run before the columnar module exists; it holds the interpreter lock while
it waits, and ignores `timeout` (the core waits 10 s per blocked send or receive).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from quillan._core import TdxClient
from quillan.table import Table

__all__ = ["Connection"]

_BAR_KEYS = ("open", "high", "low", "close", "vol", "amount")


def _records(rows: Sequence[Any], keys: Sequence[str]) -> Table:
    return Table({key: np.array([row[key] for row in rows]) for key in keys})


class Connection:
    def __init__(self, *, timeout: float = 30.0) -> None:
        self.timeout = timeout
        self._client: TdxClient | None = None

    @property
    def connected(self) -> bool:
        return self._client is not None

    def connect(self, host: str, port: int) -> None:
        client = TdxClient()
        client.connect(f"[{host}]" if ":" in host and not host.startswith("[") else host, port)
        self.close()
        self._client = client

    def close(self) -> None:
        client, self._client = self._client, None
        if client is not None:
            client.disconnect()

    disconnect = close

    def _live(self) -> TdxClient:
        if self._client is None:
            raise ConnectionError("Not connected")
        return self._client

    def get_security_bars(self, category: int, market: int, code: str, start: int, count: int) -> Table:
        rows = self._live().get_security_bars(category, market, code, start, count)
        times = np.array([row["datetime"].replace(" ", "T") for row in rows], dtype="datetime64[s]")
        columns: dict[str, Any] = {"datetime": times}
        plain: Sequence[dict[str, Any]] = rows  # type: ignore[assignment]
        columns.update({key: np.array([row[key] for row in plain], dtype=np.float64) for key in _BAR_KEYS})
        return Table(columns)

    def get_security_quotes(self, pairs: Sequence[tuple[int, str]]) -> Table:
        rows = self._live().get_security_quotes(list(pairs))
        keys = list(rows[0]) if rows else ["market", "code", "price"]
        return _records(rows, keys)

    def get_transaction_data(self, market: int, code: str, start: int, count: int) -> Table:
        rows = self._live().get_transaction_data(market, code, start, count)
        table = _records(rows, ["price", "vol", "num", "buyorsell"])
        minutes = [int(row["time"][:2]) * 60 + int(row["time"][3:]) for row in rows]
        return Table(
            {
                "time": np.array(minutes, dtype=np.int64).astype("timedelta64[m]").astype("timedelta64[s]"),
                **table.to_numpy(),
            }
        )
