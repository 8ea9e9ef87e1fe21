"""Typed records, amount inputs, the error mapping and the batch webhook helper."""

from __future__ import annotations

import dataclasses
import datetime
import json
from decimal import Decimal
from typing import Any

import pytest

from quorvel_bo.payouts import (AccessToken, AmbiguousPaymentError, ApiError, ApiFieldError, AuthenticationError, Bank,
                                BatchAuthorization, BatchNotification, BatchStatus, Payout,
                                BatchTransfer, DecodeError, ProtocolError, ScannedQr, ValidationError,
                                WebhookAuthError, call, parse_batch_webhook)
from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._types import amount_text

SECRET = "s3cr3t-t0ken-2024-xyz"


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (Decimal("12.50"), "12.50"), (7, "7"), (" 1e3 ", "1e3"), ("+.5", "+.5"), ("0.10", "0.10"), (Decimal("-5"), "-5"),
        (12.5, TypeError), (True, TypeError), (None, TypeError),
        ("12,5", ValidationError), (Decimal("NaN"), ValidationError), ("Infinity", ValidationError),
        ("1_000", ValidationError), ("\u0661\u0662", ValidationError), ("", ValidationError),
    ],
)
def test_amount_inputs(value: Any, expected: Any) -> None:
    if isinstance(expected, str):
        assert amount_text(value, "amount") == expected
    else:
        with pytest.raises(expected):
            amount_text(value, "amount")


def test_batch_transfer_amount_and_date() -> None:
    values: dict[str, Any] = {
        "transaction_id": "TRX-1", "amount": 10, "date": datetime.date(2026, 12, 7), "source_account": "2012345678",
        "destination_account": "3004567812", "bank_code": "1001", "branch_city": "LPZ", "description": "Sueldo",
        "recipient_document_id": "4589123", "recipient_name": "Maria Quispe",
    }
    transfer = BatchTransfer(**values)
    assert (transfer.amount, transfer.to_core()["date"]) == (Decimal(10), "2026-12-07")
    with pytest.raises(TypeError, match=r"transfers\.amount must be a Decimal, int or str, not float"):
        BatchTransfer(**{**values, "amount": 10.0})


@pytest.mark.parametrize(
    ("error", "raised", "attributes"),
    [
        ({"kind": "validation", "field": "reference"}, ValidationError, {"field": "reference"}),
        ({"kind": "authentication", "status": 403}, AuthenticationError, {"status": 403}),
        ({"kind": "api", "status": 503, "retryable": True, "errors": [{"code": None, "field": None, "message": "m"}]},
         ApiError, {"status": 503, "retryable": True, "errors": (ApiFieldError(field=None, message="m", code=None),)}),
        ({"kind": "ambiguous", "errors": [], "retryable": False}, AmbiguousPaymentError, {"errors": ()}),
        ({"kind": "decode"}, DecodeError, {}),
        ({"kind": "webhook_auth"}, WebhookAuthError, {}),
        ({"kind": "ffi"}, ProtocolError, {}),
    ],
)
def test_every_error_kind_has_its_exception(error: dict[str, Any], raised: type, attributes: dict[str, Any]) -> None:
    exc = error_from_core({**error, "message": "m"})
    assert (type(exc), exc.kind, str(exc), exc.message) == (raised, error["kind"], "m", "m")
    assert {k: getattr(exc, k) for k in attributes} == attributes


BODY = '{"nroLote":"  77 ","numeroReferencia":"REF-9","estado":"PAGADO","importe":1250.5,"transaccionId":"TRX-1"}'


NO_MATCH = "`token` query parameter does not match"


@pytest.mark.parametrize(
    ("token", "body", "expected", "raised", "message"),
    [
        (None, BODY, SECRET, WebhookAuthError, NO_MATCH),
        # the secret is checked before the body is looked at, bytes or text
        ("wrong", b"\xff not json", SECRET, WebhookAuthError, NO_MATCH),
        (SECRET, "", "", ValidationError, "expected secret must not be empty"),
        (SECRET, b'{"estado":"PAGADO","nombreCliente":"Mar\xeda"}', SECRET, DecodeError,
         "invalid batch webhook payload: the body is not valid UTF-8"),
    ],
)
def test_webhook_failures(token: str | None, body: str | bytes, expected: str, raised: type, message: str) -> None:
    with pytest.raises(raised) as info:
        parse_batch_webhook(token, body, expected)
    assert str(info.value).startswith(message)


def _core_value(op: str, payload: dict[str, Any]) -> Any:
    document = json.loads(call(op, json.dumps(payload)))
    assert document["ok"], document
    return document["value"]


def _parsed(op: str, data_input: dict[str, Any], answer: tuple[int, str]) -> Any:
    return _core_value(op + ".parse", {"input": data_input, "response": {"status": answer[0], "body": answer[1]}})


def _result_documents() -> list[tuple[type, Any]]:
    from test_client import ANSWERS, PROCESS, TRANSFER
    batch = {"branch_code": "SUC-01", "process_id": PROCESS, "batch_number": "7781", "transaction_id": None}
    authorize = {"branch_code": "SUC-01", "process_id": PROCESS, "webhook_url": "https://h.example/x",
                 "webhook_token": SECRET, "transfers": [TRANSFER.to_core()]}
    return [
        (ScannedQr, _parsed("payouts.scan", {"qr_text": "q"}, ANSWERS["scan"])),
        (Payout, _parsed("payouts.status", {"reference": "104589"}, ANSWERS["status"])),
        (Bank, _parsed("batch.banks", {"branch_code": "SUC-01"}, ANSWERS["banks"])[0]),
        (BatchAuthorization, _parsed("batch.authorize", authorize, ANSWERS["authorize"])),
        (BatchStatus, _parsed("batch.status", batch, ANSWERS["batch_status"])),
        (BatchNotification, _core_value("batch.webhook.parse", {"token": SECRET, "body": BODY, "expected_token": SECRET})),
        (BatchTransfer, TRANSFER.to_core()), (AccessToken, AccessToken(access_token="t", scope="s").to_core()),
    ]


def _keys(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_keys(v) for v in value]
    return None


def _fields(record: Any) -> Any:
    if isinstance(record, tuple):
        return [_fields(r) for r in record]
    if dataclasses.is_dataclass(record):
        return {f.name: _fields(getattr(record, f.name)) for f in dataclasses.fields(record)}
    if isinstance(record, dict):
        return _keys(record)
    return None


@pytest.mark.parametrize(("cls", "document"), _result_documents(), ids=lambda v: getattr(v, "__name__", ""))
def test_every_document_field_maps_to_a_record_field_and_back(cls: type, document: Any) -> None:
    record = cls.from_core(document)  # type: ignore[attr-defined]
    assert _fields(record) == _keys(document)
    assert record.to_core() == document
