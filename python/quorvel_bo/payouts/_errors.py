"""Exceptions of the payouts client, one per kind of failure.

The tree::

    PayoutsError                  every failure raised by this package
    ├── ValidationError           an input or configuration check failed (.field)
    ├── AuthenticationError       the provider refused the credentials: HTTP 401/403 (.status)
    ├── ApiError                  the provider reported a failure (.status, .errors, .retryable)
    ├── AmbiguousPaymentError     a payment whose outcome is unknown: ask its status (.errors)
    ├── DecodeError               an answer or notification that cannot be read
    ├── WebhookAuthError          a notification whose secret does not match
    ├── ProtocolError             the core refused the call itself (kind "ffi")
    ├── TransportError            no HTTP answer: network failure or time-out, retries spent
    └── ResolveTimeoutError       a payout still not final when the deadline passed

Every exception carries its message as ``str(exc)`` and ``exc.message``; for the kinds that the
core reports, that is the core's message unchanged.
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
    "DecodeError",
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


class PayoutsError(Exception):
    """Base of every failure raised by this package."""

    kind: ClassVar[str] = "payouts"

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message

    def __str__(self) -> str:
        return self.message


class ValidationError(PayoutsError):
    """An input failed a check before anything was sent; ``field`` names it."""

    kind = "validation"

    def __init__(self, message: str, *, field: str) -> None:
        super().__init__(message)
        self.field = field

    def __repr__(self) -> str:
        return f"ValidationError({self.message!r}, field={self.field!r})"


class AuthenticationError(PayoutsError):
    """The provider answered 401 or 403: the access token is missing its rights or expired."""

    kind = "authentication"

    def __init__(self, message: str, *, status: int) -> None:
        super().__init__(message)
        self.status = status


class ApiError(PayoutsError):
    """The provider reported a failure; ``retryable`` is its hint that trying again may help."""

    kind = "api"

    def __init__(
        self, message: str, *, status: int, errors: tuple[ApiFieldError, ...] = (), retryable: bool = False
    ) -> None:
        super().__init__(message)
        self.status = status
        self.errors = errors
        self.retryable = retryable


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


class ResolveTimeoutError(PayoutsError):
    """``resolve_payout`` met its deadline before the payout reached a final status.

    ``payout`` is the last status seen (``None`` when no poll succeeded).
    """

    kind = "resolve_timeout"

    def __init__(self, message: str, *, reference: str, payout: Payout | None) -> None:
        super().__init__(message)
        self.reference = reference
        self.payout = payout


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
