"""Exceptions of the payouts client, one per kind of failure.

The tree::

    PayoutsError                  every failure raised by this package
    ├── ValidationError           an input or configuration check failed (.field)
    ├── AuthenticationError       the provider refused the credentials: HTTP 401/403 (.status)
    ├── ApiError                  the provider reported a failure (.status, .errors, .retryable)
    │   └── PayoutNotFoundError   the provider has no payment for that reference: paying is safe
    ├── AmbiguousPaymentError     a payment whose outcome is unknown: ask its status (.errors)
    ├── DecodeError               an answer or notification that cannot be read
    ├── WebhookAuthError          a notification whose secret does not match
    ├── ProtocolError             the core refused the call itself (kind "ffi")
    ├── TransportError            no HTTP answer: network failure or time-out, retries spent
    ├── ResolveTimeoutError       a payout still not final when the deadline passed
    └── ClientClosedError         the client was used after it was closed

Every exception carries its message as ``str(exc)`` and ``exc.message``; for the kinds that the
core reports, that is the core's message unchanged. Every exception pickles (a process pool can
hand it back) and compares equal to its unpickled copy.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar

if TYPE_CHECKING:
    from quorvel_bo.payouts._types import Payout

__all__ = [
    "AmbiguousPaymentError",
    "ApiError",
    "ApiFieldError",
    "AuthenticationError",
    "ClientClosedError",
    "DecodeError",
    "PayoutNotFoundError",
    "PayoutsError",
    "ProtocolError",
    "ResolveTimeoutError",
    "TransportError",
    "ValidationError",
    "WebhookAuthError",
    "error_from_core",
]


@dataclass(frozen=True, slots=True)
class ApiFieldError:
    """One detail entry of a provider failure."""

    field: str | None
    message: str
    code: str | None


def _rebuild(cls: type[PayoutsError], message: str, state: dict[str, Any]) -> PayoutsError:
    error = cls.__new__(cls)
    Exception.__init__(error, message)
    error.__dict__.update(state)
    return error


class PayoutsError(Exception):
    """Base of every failure raised by this package."""

    kind: ClassVar[str] = "payouts"

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message

    def __repr__(self) -> str:
        details = "".join(f", {k}={v!r}" for k, v in self._details().items())
        return f"{type(self).__name__}({self.message!r}{details})"

    def _details(self) -> dict[str, Any]:
        # The attributes a reader needs in a log line; subclasses add theirs.
        return {}

    # Keyword-only constructors defeat Exception's default pickling, which replays args only.
    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (type(self), self.message, dict(self.__dict__)))

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        assert isinstance(other, PayoutsError)
        return self.__dict__ == other.__dict__

    def __hash__(self) -> int:
        return hash((type(self), self.message))


class ValidationError(PayoutsError):
    """An input failed a check before anything was sent; ``field`` names it."""

    kind = "validation"

    def __init__(self, message: str, *, field: str) -> None:
        super().__init__(message)
        self.field = field

    def _details(self) -> dict[str, Any]:
        return {"field": self.field}


class AuthenticationError(PayoutsError):
    """The provider answered 401 or 403: the access token is missing its rights or expired."""

    kind = "authentication"

    def __init__(self, message: str, *, status: int) -> None:
        super().__init__(message)
        self.status = status

    def _details(self) -> dict[str, Any]:
        return {"status": self.status}


class ApiError(PayoutsError):
    """The provider reported a failure; ``retryable`` is its hint that trying again may help.

    ``request_id`` is the provider's request id header of the answer, when it sent one: quote it
    to the provider's support.
    """

    kind = "api"

    def __init__(
        self,
        message: str,
        *,
        status: int,
        errors: tuple[ApiFieldError, ...] = (),
        retryable: bool = False,
        request_id: str | None = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.errors = errors
        self.retryable = retryable
        self.request_id = request_id

    @property
    def code(self) -> str | None:
        """The provider's result code, when its answer carried one."""
        return next((e.code for e in self.errors if e.code), None)

    def _details(self) -> dict[str, Any]:
        details: dict[str, Any] = {"status": self.status, "code": self.code, "retryable": self.retryable}
        if self.request_id is not None:
            details["request_id"] = self.request_id
        return details


class PayoutNotFoundError(ApiError):
    """The provider has no payment for this QR reference (HTTP 404).

    After an uncertain payment this is a definite answer: the payment was not recorded, so paying
    again with the same transaction id is safe. Right after a lost answer the provider may still
    be processing it: wait a little longer than its processing time before paying again.
    """


class AmbiguousPaymentError(PayoutsError):
    """A payment may or may not have gone through.

    Raised for the provider's ambiguous answers and for a payment whose request may have reached
    the provider without an answer coming back (time-out, dropped connection, server error).
    Never send the payment again blindly: ask ``payout_status(reference)`` or ``resolve_payout``.
    """

    kind = "ambiguous"

    def __init__(
        self,
        message: str,
        *,
        errors: tuple[ApiFieldError, ...] = (),
        reference: str | None = None,
        transaction_id: str | None = None,
    ) -> None:
        super().__init__(message)
        self.errors = errors
        self.reference = reference
        self.transaction_id = transaction_id

    @property
    def code(self) -> str | None:
        """The provider's result code, when its answer carried one ("94", "96", "99", ...)."""
        return next((e.code for e in self.errors if e.code), None)

    def _details(self) -> dict[str, Any]:
        return {"reference": self.reference, "transaction_id": self.transaction_id, "code": self.code}


class DecodeError(PayoutsError):
    """An answer of the provider, or a notification body, could not be read."""

    kind = "decode"


class WebhookAuthError(PayoutsError):
    """The secret presented by an incoming notification does not match."""

    kind = "webhook_auth"


class ProtocolError(PayoutsError):
    """The core refused the call itself: unknown operation or stage, malformed payload."""

    kind = "ffi"


class TransportError(PayoutsError):
    """No HTTP answer was received: connection failure, time-out or broken connection.

    Raised once the retries allowed for the operation are spent; ``__cause__`` holds the
    underlying httpx exception. For "batch.authorize" the request may have been delivered:
    the outcome is unknown, so look the batch up with ``batch_status`` before sending it again.
    """

    kind = "transport"

    def __init__(self, message: str, *, operation: str, attempts: int) -> None:
        super().__init__(message)
        self.operation = operation
        self.attempts = attempts

    def _details(self) -> dict[str, Any]:
        return {"operation": self.operation, "attempts": self.attempts}


class ResolveTimeoutError(PayoutsError):
    """``resolve_payout`` met its deadline before the payout reached a final status.

    ``payout`` is the last status seen (``None`` when no poll succeeded).
    """

    kind = "resolve_timeout"

    def __init__(self, message: str, *, reference: str, payout: Payout | None) -> None:
        super().__init__(message)
        self.reference = reference
        self.payout = payout

    def _details(self) -> dict[str, Any]:
        return {"reference": self.reference}


class ClientClosedError(PayoutsError):
    """The client was closed before this call: nothing was sent."""

    kind = "closed"


def _field_errors(items: Any) -> tuple[ApiFieldError, ...]:
    return tuple(ApiFieldError(field=e["field"], message=e["message"], code=e["code"]) for e in items or ())


def error_from_core(error: Mapping[str, Any]) -> PayoutsError:
    """The exception for the "error" object of a failed result document."""
    kind = error.get("kind")
    message = str(error.get("message", ""))
    if kind == "validation":
        return ValidationError(message, field=str(error["field"]))
    if kind == "authentication":
        return AuthenticationError(message, status=int(error["status"]))
    if kind == "api":
        return ApiError(
            message,
            status=int(error["status"]),
            errors=_field_errors(error.get("errors")),
            retryable=bool(error.get("retryable")),
        )
    if kind == "ambiguous":
        return AmbiguousPaymentError(message, errors=_field_errors(error.get("errors")))
    if kind == "decode":
        return DecodeError(message)
    if kind == "webhook_auth":
        return WebhookAuthError(message)
    return ProtocolError(message)
