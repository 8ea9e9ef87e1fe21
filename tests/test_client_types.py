"""Typed records, amount inputs, the error mapping and the batch webhook helper."""

from __future__ import annotations

import datetime
import json
from decimal import Decimal
from typing import Any

import pytest

from quorvel_bo.payouts import (
    AmbiguousPaymentError,
    ApiError,
    ApiFieldError,
    AuthenticationError,
    BatchNotification,
    BatchTransfer,
    DecodeError,
    PaymentStatus,
    ProtocolError,
    ScannedQr,
    ValidationError,
    WebhookAuthError,
    call,
    parse_batch_webhook,
)
from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._types import amount_text

SECRET = "s3cr3t-t0ken-2024-xyz"


def transfer(**changes: Any) -> BatchTransfer:
    values: dict[str, Any] = {
        "transaction_id": "TRX-1",
        "amount": "10",
        "date": "2026-12-07",
        "source_account": "2012345678",
        "destination_account": "3004567812",
        "bank_code": "1001",
        "branch_city": "LPZ",
        "description": "Sueldo",
        "recipient_document_id": "4589123",
        "recipient_name": "Maria Quispe",
    }
    return BatchTransfer(**{**values, **changes})


@pytest.mark.parametrize(
    ("value", "text"),
    [(Decimal("12.50"), "12.50"), (7, "7"), (" 1e3 ", "1000"), ("0.10", "0.10"), (Decimal("-5"), "-5")],
)
def test_amount_inputs_keep_their_exact_value(value: Any, text: str) -> None:
    assert amount_text(value, "amount") == text


@pytest.mark.parametrize(
    ("value", "raised"),
    [
        (12.5, TypeError),
        (True, TypeError),
        (None, TypeError),
        ("12,5", ValidationError),
        (Decimal("NaN"), ValidationError),
        ("Infinity", ValidationError),
    ],
)
def test_amount_inputs_that_are_refused(value: Any, raised: type[Exception]) -> None:
    with pytest.raises(raised):
        amount_text(value, "amount")


def test_batch_transfer_amount_becomes_decimal_and_float_is_refused() -> None:
    assert transfer(amount=10).amount == Decimal(10)
    assert transfer(date=datetime.date(2026, 12, 7)).to_core()["date"] == "2026-12-07"
    with pytest.raises(TypeError, match=r"transfers\.amount must be a Decimal, int or str, not float"):
        transfer(amount=10.0)


def test_scanned_qr_goes_back_to_the_core_unchanged() -> None:
    value = {
        "amount": "150",
        "currency": "BOB",
        "description": None,
        "expires_on": "2026-12-31",
        "recipient": {"account": "1", "bank_code": None, "bank_name": "B", "document_id": None, "holder": None},
        "reference": "104589",
    }
    scanned = ScannedQr.from_core(value)
    assert (scanned.amount, scanned.has_fixed_amount) == (Decimal(150), True)
    assert scanned.to_core() == value


@pytest.mark.parametrize(
    ("status", "final"),
    [
        ("pending", False),
        ("processing", False),
        ("unknown", False),
        ("paid", True),
        ("cancelled", True),
        ("expired", True),
        ("rejected", True),
        ("reversed", True),
        ("error", True),
    ],
)
def test_final_statuses(status: str, final: bool) -> None:
    assert PaymentStatus(status).is_final is final
    assert str(PaymentStatus(status)) == status == PaymentStatus(status)


@pytest.mark.parametrize(
    ("error", "raised", "attributes"),
    [
        ({"kind": "validation", "field": "reference", "message": "m"}, ValidationError, {"field": "reference"}),
        ({"kind": "authentication", "status": 403, "message": "m"}, AuthenticationError, {"status": 403}),
        (
            {
                "kind": "api",
                "status": 503,
                "message": "m",
                "retryable": True,
                "errors": [{"code": None, "field": None, "message": "m"}],
            },
            ApiError,
            {"status": 503, "retryable": True, "errors": (ApiFieldError(field=None, message="m", code=None),)},
        ),
        (
            {"kind": "ambiguous", "message": "m", "errors": [], "retryable": False},
            AmbiguousPaymentError,
            {"errors": ()},
        ),
        ({"kind": "decode", "message": "m"}, DecodeError, {}),
        ({"kind": "webhook_auth", "message": "m"}, WebhookAuthError, {}),
        ({"kind": "ffi", "message": "m"}, ProtocolError, {}),
    ],
)
def test_every_error_kind_has_its_exception(error: dict[str, Any], raised: type, attributes: dict[str, Any]) -> None:
    exc = error_from_core(error)
    assert type(exc) is raised and exc.kind == error["kind"]
    assert (str(exc), exc.message) == ("m", "m")
    assert {k: getattr(exc, k) for k in attributes} == attributes


# --- batch webhook --------------------------------------------------------------------------------

BODY = '{"nroLote":"  77 ","numeroReferencia":"REF-9","estado":"PAGADO","importe":1250.5,"transaccionId":"TRX-1"}'


@pytest.mark.parametrize("body", [BODY, BODY.encode()])
def test_webhook_notification_and_ack(body: str | bytes) -> None:
    notification = parse_batch_webhook(SECRET, body, SECRET)
    assert isinstance(notification, BatchNotification)
    assert (notification.batch_number, notification.transfer.status, notification.transfer.amount) == (
        "77",
        PaymentStatus.PAID,
        Decimal("1250.5"),
    )
    expected = {"codigoRespuesta": "EXITOSO", "detalleRespuesta": None, "nroLote": "77", "numeroReferencia": "REF-9"}
    assert json.loads(json.dumps(notification.ack)) == expected


def test_webhook_matches_the_core_handler() -> None:
    document = json.loads(
        call("batch.webhook.parse", json.dumps({"token": SECRET, "body": BODY, "expected_token": SECRET}))
    )
    assert parse_batch_webhook(SECRET, BODY, SECRET) == BatchNotification.from_core(document["value"])


@pytest.mark.parametrize(
    ("token", "body", "expected", "raised", "message"),
    [
        ("wrong", BODY, SECRET, WebhookAuthError, "`token` query parameter does not match"),
        (None, BODY, SECRET, WebhookAuthError, "`token` query parameter does not match"),
        # the secret is checked before the body is looked at, bytes or text
        ("wrong", b"\xff not json", SECRET, WebhookAuthError, "`token` query parameter does not match"),
        (SECRET, "", "", ValidationError, "expected secret must not be empty"),
        (SECRET, '{"nroLote":"1"}', SECRET, DecodeError, "invalid batch webhook payload: "),
        (
            SECRET,
            b'{"estado":"PAGADO","nombreCliente":"Mar\xeda"}',
            SECRET,
            DecodeError,
            "invalid batch webhook payload: the body is not valid UTF-8",
        ),
    ],
)
def test_webhook_failures(token: str | None, body: str | bytes, expected: str, raised: type, message: str) -> None:
    with pytest.raises(raised) as info:
        parse_batch_webhook(token, body, expected)
    assert str(info.value).startswith(message)
