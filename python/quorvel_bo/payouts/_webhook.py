"""Batch notifications: authenticate the call, read the transfer, build the acknowledgement."""

from __future__ import annotations

from quorvel_bo.payouts._core import run
from quorvel_bo.payouts._errors import DecodeError
from quorvel_bo.payouts._types import BatchNotification

__all__ = ["parse_batch_webhook"]


def parse_batch_webhook(token: str | None, body: str | bytes, expected_token: str) -> BatchNotification:
    """Reads one batch notification received by the caller's web server.

    ``token`` is the ``token`` query parameter of the incoming request (``None`` when absent),
    ``body`` its body, ``expected_token`` the ``webhook_token`` given to ``authorize_batch``.
    The secret is checked first, in constant time; answer the provider with ``.ack`` as JSON.

    Raises WebhookAuthError when the secret does not match, ValidationError when
    ``expected_token`` is empty and DecodeError when the body cannot be read.
    """
    malformed = False
    if isinstance(body, bytes):
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            # The secret must still be checked first: let the core do that on a stand-in text,
            # and refuse the body afterwards rather than accept replacement characters.
            text = body.decode("utf-8", "replace")
            malformed = True
    else:
        text = body
    value = run("batch.webhook.parse", {"token": token or "", "body": text, "expected_token": expected_token})
    if malformed:
        raise DecodeError("invalid batch webhook payload: the body is not valid UTF-8")
    return BatchNotification.from_core(value)
