"""When a failed request is tried again (`Retry`), and what a request that failed on every try
raises (`ServersFailed`)."""

from __future__ import annotations

import dataclasses

__all__ = ["ARGUMENT_ERRORS", "Retry", "ServersFailed"]

# Errors in what the caller asked: trying again cannot help.
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError)


@dataclasses.dataclass(frozen=True)
class Retry:
    """When and how a failed request is tried again.

    - `retries`: tries after the first one, per request (connecting counts as a try);
    - `backoff`: seconds to wait before the first retry on the same server, doubled for each
      further retry, up to `max_backoff`; a retry on another server does not wait;
    - `failover_after`: failed exchanges in a row after which the Client moves to the next
      fastest server (a failure to connect moves at once);
    - `retry_on`: the exceptions that are retried: transport failures (OSError, which
      includes ConnectionError and TimeoutError). TypeError, ValueError and OverflowError are
      argument errors and are never retried, whatever `retry_on` says.
    """

    retries: int = 3
    backoff: float = 0.05
    max_backoff: float = 1.0
    failover_after: int = 2
    retry_on: tuple[type[BaseException], ...] = (OSError,)

    def __post_init__(self) -> None:
        if self.retries < 0 or self.backoff < 0 or self.max_backoff < 0 or self.failover_after < 1:
            raise ValueError(f"invalid retry policy {self!r}")

    def should_retry(self, error: BaseException) -> bool:
        return isinstance(error, self.retry_on) and not isinstance(error, ARGUMENT_ERRORS)

    def delay(self, retry: int) -> float:
        """Seconds to wait before retry number `retry` (0 for the first) on the same server."""
        return min(self.max_backoff, self.backoff * 2.0**retry)


class ServersFailed(ConnectionError):
    """A request failed on every try. `failures` maps each server tried ("HOST:PORT") to its
    last error, in the order they were first tried."""

    def __init__(self, what: str, tries: int, failures: dict[str, BaseException]):
        answers = "; ".join(f"{server}: {type(err).__name__}: {err}" for server, err in failures.items())
        super().__init__(f"{what} failed after {tries} {'try' if tries == 1 else 'tries'}: {answers}")
        self.what = what
        self.tries = tries
        self.failures = failures
