"""The batch notification handler through `call`: the secret first, then the body, then the acknowledgement."""

from __future__ import annotations

import json
import re
from typing import Any

import pytest

from quorvel_bo.payouts._native import call

SECRET = "Abc-def_ghi.jkl~0"
NO_MATCH = "`token` query parameter does not match"
POSITION = r" at line \d+ column \d+"


def compact(obj: Any) -> str:
    return json.dumps(obj, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def failure(kind: str, message: str, **fields: Any) -> str:
    return compact({"error": {"kind": kind, "message": message, "retryable": False, **fields}, "ok": False})


def notify(body: Any, token: str = SECRET, expected: str = SECRET) -> str:
    text = body if isinstance(body, str) else json.dumps(body)
    return call("batch.webhook.parse", json.dumps({"token": token, "body": text, "expected_token": expected}))


def transfer_status(**values: Any) -> dict[str, Any]:
    keys = ["transaction_id", "reference", "status", "raw_status", "message", "source_account",
            "destination_account", "ach_number", "recipient_number", "recipient_document_id", "recipient_name",
            "transaction_at", "bank_code", "bank_name", "amount", "currency"]
    return {**dict.fromkeys(keys), **values}


def notification(batch_number: str | None, transfer: dict[str, Any]) -> str:
    ack = {"codigoRespuesta": "EXITOSO", "detalleRespuesta": None, "nroLote": batch_number,
           "numeroReferencia": transfer["reference"]}
    return compact({"ok": True, "value": {"ack": ack, "batch_number": batch_number, "transfer": transfer}})


# --- authentication --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "token",
    [
        SECRET[:-1] + "1",  # differs only in the last byte
        "X" + SECRET[1:],
        SECRET[:-1],
        SECRET + "0",
        SECRET.upper(),
        "",
    ],
)
def test_wrong_token_is_refused(token: str) -> None:
    assert notify({"estado": "PAGADO"}, token=token) == failure("webhook_auth", NO_MATCH)


@pytest.mark.parametrize("body", ["not json", "", '{"nroLote":"1"}'])
def test_authentication_comes_before_the_body(body: str) -> None:
    assert notify(body, token="wrong-token-0000000") == failure("webhook_auth", NO_MATCH)


@pytest.mark.parametrize("token", ["", SECRET, "anything"])
def test_empty_expected_secret_is_a_validation_error(token: str) -> None:
    assert notify("not json", token=token, expected="") == failure(
        "validation", "expected secret must not be empty", field="value")


# --- the body --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("body", "pattern"),
    [
        ("not json", r".+"),
        ("", r".+"),
        ("{", r".+"),
        ('{"nroLote":"77"}', r"missing field `estado`"),
        ('{"estado":null}', r"invalid type: null, expected a string"),
        ('{"estado":"PAGADO","moneda":68}', r"invalid type: .+"),
        ('{"estado":"PAGADO"} x', r".+"),
        ('{"estado":"PAGADO"}{}', r".+"),
        ('{"estado":"PAGADO","estado":"ERROR"}', r".+"),
        ('"PAGADO"', r".+"),
    ],
)
def test_unreadable_body_is_a_decode_error(body: str, pattern: str) -> None:
    doc = json.loads(notify(body))
    assert doc["ok"] is False and doc["error"]["kind"] == "decode" and doc["error"]["retryable"] is False
    assert re.fullmatch("invalid batch webhook payload: " + pattern + POSITION, doc["error"]["message"]), doc


def test_whitespace_after_the_body_is_allowed() -> None:
    assert json.loads(notify('  {"estado":"PAGADO"} \n\t'))["ok"] is True


def test_acknowledgement_is_exact() -> None:
    assert notify('{"nroLote":"  77 ","estado":"PAGADO"}') == (
        '{"ok":true,"value":{"ack":{"codigoRespuesta":"EXITOSO","detalleRespuesta":null,"nroLote":"77",'
        '"numeroReferencia":null},"batch_number":"77","transfer":{"ach_number":null,"amount":null,'
        '"bank_code":null,"bank_name":null,"currency":null,"destination_account":null,"message":null,'
        '"raw_status":"PAGADO","recipient_document_id":null,"recipient_name":null,"recipient_number":null,'
        '"reference":null,"source_account":null,"status":"paid","transaction_at":null,"transaction_id":null}}}'
    )


@pytest.mark.parametrize(
    ("number", "expected"),
    [(77, "77"), ("   ", None), (True, None), (None, None), ("ABSENT", None), (" L-9 ", "L-9")],
)
def test_batch_number_in_result_and_ack(number: Any, expected: str | None) -> None:
    body = {"estado": "PAGADO"} if number == "ABSENT" else {"nroLote": number, "estado": "PAGADO"}
    assert notify(body) == notification(expected, transfer_status(status="paid", raw_status="PAGADO"))


def test_full_transfer_is_normalised() -> None:
    body = (
        '{"nroLote":501,"transaccionId":"TX-1","numeroReferencia":98765,"estado":" rechazada ",'
        '"mensaje":" Cuenta cerrada ","cuentaOrigen":"1000200030","cuentaDestino":4000500060,"numeroAch":" 55 ",'
        '"numeroDestinatario":"  ","ciCliente":"4455667LP","nombreCliente":"Ana P\u00e9rez",'
        '"fechaHoraTransaccion":"2024-02-29 10:00:00","codigoBanco":1014,"nombreBanco":" Banco Sol ",'
        '"importe":"150.50","moneda":"BOB","extra":{"ignored":[1,2]}}'
    )
    transfer = transfer_status(
        transaction_id="TX-1", reference="98765", status="rejected", raw_status=" rechazada ",
        message="Cuenta cerrada", source_account="1000200030", destination_account="4000500060", ach_number="55",
        recipient_document_id="4455667LP", recipient_name="Ana P\u00e9rez", transaction_at="2024-02-29 10:00:00",
        bank_code="1014", bank_name="Banco Sol", amount="150.5", currency="BOB",
    )
    assert notify(body) == notification("501", transfer)


@pytest.mark.parametrize(
    ("estado", "status"),
    [(" pagado ", "paid"), ("Pendiente_Pago", "pending"), ("TRANSITO", "processing"), ("TR\u00c1NSITO", "unknown"),
     ("REVERTIDO", "reversed"), ("cancelado", "cancelled"), ("ERROR", "error"), ("EXPIRADO", "unknown"),
     ("", "unknown")],
)
def test_status_word_is_mapped_and_kept(estado: str, status: str) -> None:
    transfer = json.loads(notify({"estado": estado}))["value"]["transfer"]
    assert (transfer["status"], transfer["raw_status"]) == (status, estado)


def test_repeated_notification_gives_the_same_result() -> None:
    body = {"nroLote": "77", "numeroReferencia": "R-1", "estado": "PAGADO", "importe": 10}
    first = notify(body)
    assert json.loads(first)["ok"] is True
    assert notify(body) == first


# --- the handler's payload -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("payload", "pattern"),
    [
        ({"token": SECRET, "body": "{}"}, r"missing field `expected_token`"),
        ({"body": "{}", "expected_token": SECRET}, r"missing field `token`"),
        ({"token": SECRET, "body": {"estado": "PAGADO"}, "expected_token": SECRET}, r"invalid type: .+"),
        ({"token": None, "body": "{}", "expected_token": SECRET}, r"invalid type: null, expected a string"),
        ({"token": 5, "body": "{}", "expected_token": SECRET}, r"invalid type: integer `5`, expected a string"),
    ],
)
def test_undecodable_handler_payload(payload: dict[str, Any], pattern: str) -> None:
    doc = json.loads(call("batch.webhook.parse", json.dumps(payload)))
    assert doc["ok"] is False and doc["error"]["kind"] == "ffi"
    assert re.fullmatch("invalid payload: " + pattern + POSITION, doc["error"]["message"]), doc
