"""The batch notification handler through `call`: the secret first, then the body, then the acknowledgement."""

from __future__ import annotations

import json
from typing import Any

import pytest
from conftest import failure

from quorvel_bo.payouts._native import call

SECRET = "Abc-def_ghi.jkl~0"


def notify(body: str, token: str = SECRET, expected: str = SECRET) -> str:
    return call("batch.webhook.parse", json.dumps({"token": token, "body": body, "expected_token": expected}))


@pytest.mark.parametrize(
    ("token", "expected", "error"),
    [
        # The body is not even JSON: authentication must come first.
        (SECRET[:-1] + "1", SECRET, failure("webhook_auth", "`token` query parameter does not match")),
        ("", SECRET, failure("webhook_auth", "`token` query parameter does not match")),
        (SECRET, "", failure("validation", "expected secret must not be empty", field="value")),
    ],
)
def test_secret_is_checked_before_the_body(token: str, expected: str, error: str) -> None:
    assert notify("not json", token, expected) == error


@pytest.mark.parametrize(
    ("body", "reason"),
    [
        ('{"nroLote":"77"}', "missing field `estado` at line 1 column 1"),
        ('{"estado":null}', "invalid type: null, expected a string at line 1 column 11"),
        ('{"estado":"PAGADO","moneda":68}', "invalid type: integer `68`, expected a string at line 1 column 29"),
        ('{"estado":"PAGADO"} x', "trailing characters at line 1 column 21"),
    ],
)
def test_unreadable_body_is_a_decode_error(body: str, reason: str) -> None:
    assert notify(body) == failure("decode", "invalid batch webhook payload: " + reason)


def test_acknowledgement_is_exact() -> None:
    assert notify('  {"nroLote":"  77 ","estado":"PAGADO"} \n\t') == (
        '{"ok":true,"value":{"ack":{"codigoRespuesta":"EXITOSO","detalleRespuesta":null,"nroLote":"77",'
        '"numeroReferencia":null},"batch_number":"77","transfer":{"ach_number":null,"amount":null,'
        '"bank_code":null,"bank_name":null,"currency":null,"destination_account":null,"message":null,'
        '"raw_status":"PAGADO","recipient_document_id":null,"recipient_name":null,"recipient_number":null,'
        '"reference":null,"source_account":null,"status":"paid","transaction_at":null,"transaction_id":null}}}'
    )


@pytest.mark.parametrize(
    ("estado", "status"),
    [("PENDIENTE", "pending"), ("pendiente_pago", "pending"), ("PROCESO", "processing"), ("ENVIADO", "processing"),
     ("TRANSITO", "processing"), ("CANCELADO", "cancelled"), ("RECHAZADO", "rejected"), ("REVERTIDO", "reversed"),
     ("ERROR", "error"), ("EXPIRADO", "unknown"), (" ", "unknown")],
)
def test_status_words(estado: str, status: str) -> None:
    transfer = json.loads(notify(json.dumps({"estado": estado})))["value"]["transfer"]
    assert (transfer["status"], transfer["raw_status"]) == (status, estado)


def test_full_transfer_is_normalised_and_handled_alike_twice() -> None:
    body = ('{"nroLote":501,"transaccionId":"TX-1","numeroReferencia":" 98765 ","estado":" rechazada ",'
            '"mensaje":" Cuenta cerrada ","cuentaOrigen":"1000200030","cuentaDestino":4000500060,"numeroAch":" 55 ",'
            '"numeroDestinatario":"  ","ciCliente":"4455667LP","nombreCliente":"Ana P\u00e9rez",'
            '"fechaHoraTransaccion":"2024-02-29 10:00:00","codigoBanco":1014,"nombreBanco":" Banco Sol ",'
            '"importe":"150.50","moneda":"BOB","extra":{"ignored":[1,2]}}')
    first = notify(body)
    value = json.loads(first)["value"]
    assert (value["batch_number"], value["ack"]["nroLote"], value["ack"]["numeroReferencia"]) == ("501", "501", "98765")
    assert value["transfer"] == {
        "transaction_id": "TX-1", "reference": "98765", "status": "rejected", "raw_status": " rechazada ",
        "message": "Cuenta cerrada", "source_account": "1000200030", "destination_account": "4000500060",
        "ach_number": "55", "recipient_number": None, "recipient_document_id": "4455667LP",
        "recipient_name": "Ana P\u00e9rez", "transaction_at": "2024-02-29 10:00:00", "bank_code": "1014",
        "bank_name": "Banco Sol", "amount": "150.5", "currency": "BOB"}
    # Nothing is remembered between calls: a repeated notification gives the same answer.
    assert notify(body) == first


@pytest.mark.parametrize(
    ("payload", "reason"),
    [
        ({"token": SECRET, "body": "{}"}, "missing field `expected_token` at line 1 column 1"),
        ({"token": SECRET, "body": {}, "expected_token": SECRET}, "invalid type: map, expected a string at line 1 column 40"),
    ],
)
def test_handler_payload_that_does_not_decode(payload: dict[str, Any], reason: str) -> None:
    assert call("batch.webhook.parse", json.dumps(payload)) == failure("ffi", "invalid payload: " + reason)
