"""Retry policy: which failures may be tried again, and how long to wait before the next attempt."""

from __future__ import annotations

import random
from collections.abc import Callable
from dataclasses import dataclass, field

import httpx

__all__ = ["Backoff", "is_transient", "was_not_sent"]

# The request never left: no connection was made, or none was free in the pool.
_NOT_SENT = (httpx.ConnectError, httpx.ConnectTimeout, httpx.PoolTimeout, httpx.UnsupportedProtocol)
# Failures that a later attempt may not meet; UnsupportedProtocol is a configuration fault.
_TRANSIENT = (httpx.TimeoutException, httpx.NetworkError, httpx.RemoteProtocolError)


def was_not_sent(exc: BaseException) -> bool:
    """True when the failure happened before any byte of the request could reach the server."""
    return isinstance(exc, _NOT_SENT)


def is_transient(exc: BaseException) -> bool:
    """True for network failures and time-outs that a new attempt may not meet."""
    return isinstance(exc, _TRANSIENT)


@dataclass(frozen=True, slots=True)
class Backoff:
    """Exponential back-off with full jitter.

    Before retry number ``n`` (1 for the second attempt) the client waits a random time between
    0 and ``min(cap, base * 2 ** (n - 1))`` seconds, so that many clients failing together do not
    come back together.
    """

    base: float = 0.5
    cap: float = 8.0
    #: Source of the jitter, a number in [0, 1); replace it to make the waits predictable.
    uniform: Callable[[], float] = field(default=random.random, repr=False, compare=False)

    def __post_init__(self) -> None:
        if self.base < 0 or self.cap < 0:
            raise ValueError("back-off base and cap must not be negative")

    def ceiling(self, retry: int) -> float:
        """The longest wait before retry number ``retry`` (counted from 1)."""
        return min(self.cap, self.base * 2.0 ** min(max(retry - 1, 0), 64))

    def delay(self, retry: int) -> float:
        """A random wait before retry number ``retry``, between 0 and its ceiling."""
        return self.ceiling(retry) * self.uniform()
