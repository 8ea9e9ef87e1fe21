"""Retry policy: what each failure of an attempt means, and how long to wait before the next one."""

from __future__ import annotations

import datetime
import email.utils
import enum
import random
from collections.abc import Callable
from dataclasses import dataclass, field

import httpx
from quorvel_bo.payouts._core import OpEntry
from quorvel_bo.payouts._errors import (
    AmbiguousPaymentError,
    ApiError,
    AuthenticationError,
    DecodeError,
)

__all__ = ["Backoff", "Decision", "Verdict", "decide", "is_transient", "retry_after_seconds", "was_not_sent"]

# The request never left: no connection was made, or none was free in the pool.
_NOT_SENT = (httpx.ConnectError, httpx.ConnectTimeout, httpx.PoolTimeout, httpx.UnsupportedProtocol)
# Refused on this machine before a byte was written (a header httpx or h11 will not send, a URL
# scheme it cannot speak): another attempt would meet the same refusal.
_REFUSED_HERE = (httpx.LocalProtocolError, httpx.UnsupportedProtocol)
# Failures that a later attempt may not meet.
_TRANSIENT = (httpx.TimeoutException, httpx.NetworkError, httpx.RemoteProtocolError)


def was_not_sent(exc: BaseException) -> bool:
    """True when the failure happened before any byte of the request could reach the server."""
    return isinstance(exc, _NOT_SENT + _REFUSED_HERE)


def is_transient(exc: BaseException) -> bool:
    """True for network failures and time-outs that a new attempt may not meet."""
    return isinstance(exc, _TRANSIENT)


@dataclass(frozen=True, slots=True)
class Backoff:
    """Exponential back-off with full jitter.

    Before retry number ``n`` (1 for the second attempt) the client waits a random time between
    0 and ``min(cap, base * 2 ** (n - 1))`` seconds, so that many clients failing together do not
    come back together. A ``Retry-After`` the provider sends is honoured up to ``cap``.
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


def retry_after_seconds(value: str | None, now: datetime.datetime | None = None) -> float | None:
    """The wait a ``Retry-After`` header asks for (seconds or an HTTP date), or None when unreadable."""
    if value is None:
        return None
    value = value.strip()
    if value.isascii() and value.isdigit():
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return None
    if when.tzinfo is None:
        return None
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return max(0.0, (when - now).total_seconds())


class Verdict(enum.Enum):
    RETRY = "retry"
    RAISE = "raise"
    UNCERTAIN = "uncertain"


@dataclass(frozen=True, slots=True)
class Decision:
    verdict: Verdict
    delay: float = 0.0
    #: The retry is the one fresh-token attempt after a 401.
    refresh: bool = False


_RAISE = Decision(Verdict.RAISE)
_UNCERTAIN = Decision(Verdict.UNCERTAIN)


def _may_have_moved(failure: Exception) -> bool:
    # An answer that settles nothing: a server error or time-out, or a 2xx that cannot be read.
    if isinstance(failure, DecodeError):
        return True
    return isinstance(failure, ApiError) and (failure.status >= 500 or failure.status == 408)


def decide(
    op: OpEntry,
    failure: Exception,
    *,
    attempt: int,
    max_attempts: int,
    backoff: Backoff,
    retry_after: float | None = None,
    can_refresh: bool = False,
) -> Decision:
    """What to do after attempt ``attempt`` of ``op`` failed with ``failure``.

    ``failure`` is the httpx error of an exchange that brought no answer, or the exception the
    core made of the answer. An operation whose lost answer leaves its outcome unknown (a
    payment) is never tried again once its request may have been sent.
    """
    retry = Decision(Verdict.RETRY, backoff.delay(attempt)) if attempt < max_attempts else _RAISE
    if isinstance(failure, httpx.RequestError):
        if isinstance(failure, _REFUSED_HERE):
            return _RAISE
        if was_not_sent(failure):
            return retry
        if op.uncertain_when_lost:
            return _UNCERTAIN
        return retry if op.idempotent and is_transient(failure) else _RAISE
    if isinstance(failure, AmbiguousPaymentError):
        return _UNCERTAIN
    if isinstance(failure, AuthenticationError):
        # A 401 means nothing was processed, a payment included: one attempt with a fresh token.
        return Decision(Verdict.RETRY, 0.0, refresh=True) if failure.status == 401 and can_refresh else _RAISE
    if op.uncertain_when_lost and _may_have_moved(failure):
        return _UNCERTAIN
    if not (isinstance(failure, ApiError) and op.idempotent) or attempt >= max_attempts:
        return _RAISE
    if retry_after is not None and failure.status in (429, 503):
        return Decision(Verdict.RETRY, min(retry_after, backoff.cap))
    return retry if failure.retryable else _RAISE
