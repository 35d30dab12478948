"""quillan._columnar: the native half of the columnar API (use it through quillan)."""

__all__ = ["ColumnBuffer"]

class ColumnBuffer:
    """Typed values lent read-only through the buffer protocol."""

    @property
    def dtype(self) -> str: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
