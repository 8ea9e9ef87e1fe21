"""Payouts client for a Bolivian payment network's payout API.

``Client`` and ``AsyncClient`` run the remote operations over HTTP (httpx) and return typed
records: ``scan``, ``pay``, ``payout_status`` and ``resolve_payout`` for QR payouts;
``banks``, ``authorize_batch`` and ``batch_status`` for batch transfers.
``parse_batch_webhook`` reads the notifications the provider sends to the caller's web server;
``RedactingFilter`` keeps the webhook secret out of that server's access log.
Failures are raised as subclasses of ``PayoutsError``.

Underneath, one function does the work: ``call(op, payload)`` takes an operation name and a
JSON text and returns a JSON result document, either ``{"ok":true,"value":...}`` or
``{"error":{...},"ok":false}``. It performs no I/O: the build stage of a remote operation
describes the HTTP request to send, the parse stage reads the provider's response.
``call("describe", "")`` lists the operations.

``PROTOCOL_VERSION`` is the version of that document format; ``__version__`` the
package version.
"""

from quorvel_bo.payouts._client import (
    AsyncClient,
    Client,
    Environment,
    RequestEvent,
    ResponseEvent,
    RetryEvent,
    UncertainPaymentEvent,
)
from quorvel_bo.payouts._errors import (
    AmbiguousPaymentError,
    ApiError,
    ApiFieldError,
    AuthenticationError,
    ClientClosedError,
    DecodeError,
    PayoutNotFoundError,
    PayoutsError,
    ProtocolError,
    ResolveTimeoutError,
    TransportError,
    ValidationError,
    WebhookAuthError,
)
from quorvel_bo.payouts._logfilter import RedactingFilter, redact_secrets
from quorvel_bo.payouts._native import PROTOCOL_VERSION, __version__, call
from quorvel_bo.payouts._retry import Backoff
from quorvel_bo.payouts._types import (
    AccessToken,
    Amount,
    Bank,
    BatchAuthorization,
    BatchNotification,
    BatchStatus,
    BatchTransfer,
    BatchTransferResult,
    BatchTransferStatus,
    PaymentStatus,
    Payout,
    Recipient,
    ScannedQr,
)
from quorvel_bo.payouts._webhook import parse_batch_webhook

__all__ = [
    "PROTOCOL_VERSION",
    "AccessToken",
    "AmbiguousPaymentError",
    "Amount",
    "ApiError",
    "ApiFieldError",
    "AsyncClient",
    "AuthenticationError",
    "Backoff",
    "Bank",
    "BatchAuthorization",
    "BatchNotification",
    "BatchStatus",
    "BatchTransfer",
    "BatchTransferResult",
    "BatchTransferStatus",
    "Client",
    "ClientClosedError",
    "DecodeError",
    "Environment",
    "PaymentStatus",
    "Payout",
    "PayoutNotFoundError",
    "PayoutsError",
    "ProtocolError",
    "Recipient",
    "RedactingFilter",
    "RequestEvent",
    "ResolveTimeoutError",
    "ResponseEvent",
    "RetryEvent",
    "ScannedQr",
    "TransportError",
    "UncertainPaymentEvent",
    "ValidationError",
    "WebhookAuthError",
    "__version__",
    "call",
    "parse_batch_webhook",
    "redact_secrets",
]

# Public names report this package as their home, as httpx does for its private modules.
for _name in __all__:
    _obj: object = globals()[_name]
    if isinstance(_obj, type) and _obj.__module__.startswith("quorvel_bo.payouts._"):
        _obj.__module__ = "quorvel_bo.payouts"
del _name, _obj
