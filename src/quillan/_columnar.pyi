"""quillan._columnar: the native half of the columnar API (use it through quillan)."""

__all__ = ["ColumnBuffer", "read_bar_columns"]

class ColumnBuffer:
    """Typed values lent read-only through the buffer protocol."""

    @property
    def dtype(self) -> str: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read_bar_columns(path: bytes, minute: bool, scale: float = 100.0) -> tuple[dict[str, ColumnBuffer], int]:
    """A bar file's records as column buffers, and the number of impossible times."""
