"""Argument objects shared by the tests."""

from collections.abc import Callable


class Index:
    """An integer-like object (``__index__``) that runs `hook` first when it is converted: the
    hook may raise, or call back into the module while a call is converting its arguments."""

    def __init__(self, value: int, hook: Callable[[], object] | None = None):
        self.value, self.hook = value, hook

    def __index__(self) -> int:
        if self.hook is not None:
            self.hook()
        return self.value
