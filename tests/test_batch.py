"""Batch transfers through `call`: bank list, batch authorisation, batch status, and the notification handler
(the secret first, then the body, then the acknowledgement)."""

from __future__ import annotations

import json
import re
from typing import Any

import pytest
from conftest import PROCESS_ID, TRANSFER, doc, failure, ok

from quorvel_bo.payouts._native import call

CONFIG = {"client_id": "client-7"}
TOKEN = {"access_token": "tok-123", "token_type": "Bearer", "expires_at": 1_900_000_000}
PREFIX = "https://api-test.quorvel.bo/sandbox/payout/async/v3/"
HEADERS = {"Accept": "application/json", "Authorization": "Bearer tok-123", "Content-Type": "application/json",
           "access_token": "tok-123", "branchCode": "LPZ-01", "client_id": "client-7"}
ID_RULE = "1 to 20 letters, digits, `-` or `_`"
EXACTLY_ONE = "give exactly one of batch_number or transaction_id"
UUID = "must be a UUID (36 characters)"
DROP = object()


def invalid(field: str, message: str) -> str:
    return failure("validation", message, field=field)


def build(op: str, data: dict[str, Any], token: Any = TOKEN) -> str:
    return call(f"batch.{op}.build", json.dumps({"config": CONFIG, "token": token, "input": data}))


def parse(op: str, data: dict[str, Any], body: Any) -> str:
    response = {"status": 200, "body": json.dumps({"code": "00", "data": body})}
    return call(f"batch.{op}.parse", json.dumps({"input": data, "response": response}))


def request(method: str, path: str, body: str | None = None) -> str:
    return ok({"body": body, "headers": HEADERS, "method": method, "url": PREFIX + path})


def transfer(**changes: Any) -> dict[str, Any]:
    return {**TRANSFER, **changes}


def batch(*transfers: dict[str, Any], **changes: Any) -> dict[str, Any]:
    return {"branch_code": "LPZ-01", "process_id": PROCESS_ID, "webhook_url": "https://hooks.example.com/batch",
            "webhook_token": "Abc-def_ghi.jkl~0", "transfers": list(transfers) or [transfer()], **changes}


def query(**changes: Any) -> dict[str, Any]:
    return {"branch_code": "LPZ-01", "process_id": PROCESS_ID, **changes}


def sent_body(result: str) -> dict[str, Any]:
    body: dict[str, Any] = json.loads(json.loads(result)["value"]["body"])
    return body


# --- build: exact requests -------------------------------------------------------------------------------------

AUTHORIZE_BODY = (
    '{"processId":"123e4567-e89b-12d3-a456-426614174000","transacciones":['
    '{"ciNitDestino":"4455667LP","codeBanco":"1014","codeSucursal":"LPZ","cuentaDestino":"4000500060",'
    '"cuentaOrigen":"1000200030","fechaTransaccion":"2024-02-29","glosa":"Salary March","importe":12.5,'
    '"tipoMoneda":"BOB","titularDestino":"Ana P\u00e9rez","transaccionId":"A-1"},'
    '{"ciNitDestino":"4455667LP","codeBanco":"1014","codeSucursal":"SCZ","cuentaDestino":"4000500060",'
    '"cuentaOrigen":"1000200030","fechaTransaccion":"2024-02-29","glosa":"Salary","importe":7,'
    '"tipoMoneda":"USD","titularDestino":"Ana Perez","transaccionId":"a-1"}],'
    '"webhookUrl":"https://hooks.example.com/cb?src=q&token=Abc-def_ghi.jkl~0"}'
)


@pytest.mark.parametrize(
    ("op", "data", "expected"),
    [
        ("banks", {"branch_code": "LPZ-01"}, request("POST", "bancos")),
        # Trimmed texts, normalised city and amount, BOB by default, ids differing in case only.
        ("authorize", batch(
            transfer(transaction_id="A-1", amount="12.50", branch_city=" lpz ", description="  Salary March \t",
                     recipient_name="\u00a0Ana P\u00e9rez  "),
            transfer(transaction_id="a-1", amount=" 7 ", currency="USD", branch_city="\u3000scz\n"),
            webhook_url="https://hooks.example.com/cb?src=q"), request("POST", "lote/autorizar", AUTHORIZE_BODY)),
        ("status", query(batch_number="77"), request("GET", f"lote/estado/{PROCESS_ID}?nroLote=77")),
        ("status", query(batch_number=None, transaction_id="T" * 36), request("GET", f"lote/estado/{PROCESS_ID}?transaccionId=" + "T" * 36)),
    ],
)
def test_build_request_is_exact(op: str, data: dict[str, Any], expected: str) -> None:
    assert build(op, data) == expected


# --- build: input checks in order, the token only after them ---------------------------------------------------

TOKEN_RULE = "an access token is required for this operation"
WEBHOOK_TOKEN_RULE = "at least 16 URL-safe characters (letters, digits, - _ . ~)"


@pytest.mark.parametrize(
    ("op", "data", "field", "message"),
    [
        ("banks", {"branch_code": ""}, "branch_code", ID_RULE),
        ("banks", {"branch_code": "LPZ.01"}, "branch_code", ID_RULE),
        ("banks", {"branch_code": "LPZ-01"}, "token", TOKEN_RULE),
        # Each authorize row has an empty transfer list and breaks the fields after its own.
        ("authorize", batch(branch_code="", process_id="x", transfers=[]), "branch_code", ID_RULE),
        ("authorize", batch(process_id=PROCESS_ID.replace("-", ""), webhook_url="ftp://h", transfers=[]),
         "process_id", UUID),
        ("authorize", batch(webhook_url="ftp://h.example/cb", webhook_token="short", transfers=[]),
         "webhook_url", "must be an http(s) URL"),
        # The token would land in a fragment, which is never sent.
        ("authorize", batch(webhook_url="https://h.example/cb#f", transfers=[]), "webhook_url", "must be an http(s) URL"),
        ("authorize", batch(webhook_token="a" * 15, transfers=[]), "webhook_token", WEBHOOK_TOKEN_RULE),
        ("authorize", batch(webhook_token="abcdefghijklmno+", transfers=[]), "webhook_token", WEBHOOK_TOKEN_RULE),
        ("authorize", batch(webhook_url="https://h.example/" + "p" * 214, transfers=[]),
         "webhook_url", "with the token, at most 255 characters"),
        ("authorize", batch(transfers=[]), "transfers", "at least one transfer"),
        ("authorize", batch(), "token", TOKEN_RULE),
        ("status", query(branch_code="", process_id="x"), "branch_code", ID_RULE),
        ("status", query(process_id=PROCESS_ID + " "), "process_id", UUID),
        ("status", query(), "batch_number", EXACTLY_ONE),
        ("status", query(batch_number="", transaction_id="TX-1"), "batch_number", EXACTLY_ONE),
        ("status", query(batch_number=""), "batch_number", ID_RULE),
        ("status", query(transaction_id="T" * 37), "transaction_id", "3 to 36 letters, digits, `-` or `_`"),
        ("status", query(transaction_id="TX-1"), "token", TOKEN_RULE),
    ],
)
def test_input_checks_in_order_before_the_token(op: str, data: dict[str, Any], field: str, message: str) -> None:
    assert build(op, data, token=None) == invalid(field, message)


# --- build: the notification URL a provider can deliver to ----------------------------------------------------

BAD_URL = "must be an http(s) URL"


@pytest.mark.parametrize(
    "url",
    [
        "http://h", "https://hooks.example.com:443/cb", "http://127.0.0.1:1/x", "http://h:65535", "http://[::1]:8080/cb",
        "http://[2001:db8::7]/cb", "https://h.example?src=q", "https://h.example/caf\u00e9?q=\u00f1&r=\u20ac",
        # User info is the receiver's business; its colon is not a port's.
        "https://user:pw@h.example/cb",
        # Only a parameter named exactly `token` is in the way.
        "https://h.example/cb?tokens=1&x_token=2&Token=3&a=token&token_b",
    ],
)
def test_deliverable_notification_urls_are_sent_with_the_token(url: str) -> None:
    sent = sent_body(build("authorize", batch(webhook_url=url)))["webhookUrl"]
    assert sent == url + ("&" if "?" in url else "?") + "token=Abc-def_ghi.jkl~0"


@pytest.mark.parametrize(
    "url",
    [
        # No authority, or no host in it.
        "http://", "https://", "http:///cb", "https://?a=1", "http://:80/cb", "http://user@/cb",
        # A port that is not one.
        "http://h:", "http://h:/cb", "http://h:0", "http://h:65536", "http://h:99999/cb", "http://h:8o", "http://h:-1",
        "http://h:+80", "http://[::1]:/x", "http://[::1]:70000", "http://[::1", "http://[::1]x/cb",
        # Sent as written: no control character or space may travel in it.
        "https://h.example/c b", "https://h.example/cb\r\nX-Injected: 1", "https://h.example/\tcb",
        "https://h.example/cb\x7f", "https://h.example/cb\x00", "https://h.example/cb?a= 1", "https://h .example",
        # A `token` of its own: the receiver would read one of the two.
        "https://h.example/cb?token=x", "https://h.example/cb?a=1&token=x", "https://h.example/cb?a=1&token",
        "https://h.example/cb?token", "https://h.example/cb?token=", "https://h.example?token=x",
        "https://h.example/cb?a=1&token=x&b=2",
    ],
)
def test_undeliverable_notification_urls_are_refused(url: str) -> None:
    assert build("authorize", batch(webhook_url=url)) == invalid("webhook_url", BAD_URL)
    # Still the URL's own check, in its place: after the process id, before the token and the transfers.
    assert build("authorize", batch(webhook_url=url, webhook_token="short", transfers=[]), token=None) == invalid(
        "webhook_url", BAD_URL)
    assert build("authorize", batch(process_id="x", webhook_url=url)) == invalid("process_id", UUID)


# Field, a wrong value and its message, a right value at a bound of its rule.
TRANSFER_STEPS = [
    ("transaction_id", "X", "3 to 14 letters, digits, `-` or `_`", "A" * 14),
    ("date", "2024-+2-29", "must be a date as yyyy-mm-dd", "2000-02-29"),
    ("source_account", "12", "must be 6 to 30 digits", "1" * 30),
    ("destination_account", "1" * 31, "must be 6 to 30 digits", "654321"),
    ("bank_code", "1", "must be 3 to 8 digits", "12345678"),
    ("branch_city", "La Paz", "one of CBB, COB, LPZ, ORU, POT, SCZ, SUC, TJA, TRI", " tja "),
    ("description", "", "must not be empty", "\u00e9" * 80),
    ("recipient_document_id", "1", "5 to 20 letters, digits, `-` or `_`", "a_B-1" * 4),
    ("recipient_name", " ab ", "3 to 80 characters", "Eva"),
    ("currency", "usd", "BOB or USD", "USD"),
    ("amount", "0", "must be greater than zero", "0.5"),
]


def test_transfer_checks_run_in_order() -> None:
    # Every value starts wrong and is fixed one at a time: each step must report the next field.
    t = transfer(**{name: wrong for name, wrong, _, _ in TRANSFER_STEPS})
    for name, _, message, right in TRANSFER_STEPS:
        assert build("authorize", batch(t)) == invalid("transfers." + name, message)
        t[name] = right
    body = sent_body(build("authorize", batch(t)))
    assert body["webhookUrl"] == "https://hooks.example.com/batch?token=Abc-def_ghi.jkl~0"
    sent = body["transacciones"][0]
    assert (sent["transaccionId"], sent["codeSucursal"], sent["glosa"]) == ("A" * 14, "TJA", "\u00e9" * 80)


@pytest.mark.parametrize(
    ("transfers", "field", "message"),
    [
        ([transfer(currency=" USD")], "currency", "BOB or USD"),
        # Uniqueness is checked right after the id's own rule, before the repeat's bad date.
        ([transfer(transaction_id="TX-1"), transfer(transaction_id="TX-2"), transfer(transaction_id="TX-1", date="x")],
         "transaction_id", "must be unique in the batch"),
        ([transfer(transaction_id="T-1"), transfer(transaction_id="T-2"), transfer(transaction_id="T-3", bank_code="10a1")],
         "bank_code", "must be 3 to 8 digits"),
        # An earlier transfer's late check beats a later transfer's early check.
        ([transfer(transaction_id="T-1", amount="0.001"), transfer(transaction_id="X")],
         "amount", "at most 2 decimal places are allowed"),
    ],
)
def test_transfer_failures(transfers: list[dict[str, Any]], field: str, message: str) -> None:
    assert build("authorize", batch(*transfers)) == invalid("transfers." + field, message)


@pytest.mark.parametrize(
    ("changes", "reason"),
    [
        ({"currency": None}, "invalid type: null, expected a string"),
        ({"date": DROP}, "missing field `date`"),
    ],
)
def test_transfer_that_does_not_decode(changes: dict[str, Any], reason: str) -> None:
    t = {key: value for key, value in transfer(**changes).items() if value is not DROP}
    error = json.loads(build("authorize", batch(t)))["error"]
    assert error["kind"] == "ffi"
    assert re.fullmatch(f"invalid payload: {reason} at line 1 column \\d+", error["message"]), error


# --- parse --------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("data", "value"),
    [
        ({"nroLote": 9001, "processId": PROCESS_ID}, {"batch_number": "9001", "process_id": PROCESS_ID, "transfers": []}),
        ({"nroLote": " 12 ", "processId": PROCESS_ID, "transacciones": [
            {"transaccionId": 77, "estado": " pagado ", "numeroReferencia": 555, "mensaje": "  "},
            {"transaccionId": "TX-2", "estado": "RECHAZADA", "numeroReferencia": "  ", "mensaje": " sin fondos "}]},
         {"batch_number": " 12 ", "process_id": PROCESS_ID, "transfers": [
             {"message": None, "raw_status": " pagado ", "reference": "555", "status": "paid", "transaction_id": "77"},
             {"message": "sin fondos", "raw_status": "RECHAZADA", "reference": None, "status": "rejected",
              "transaction_id": "TX-2"}]}),
    ],
)
def test_authorize_parse(data: dict[str, Any], value: Any) -> None:
    assert parse("authorize", batch(), data) == ok(value)


TRANSFER_KEYS = ("transaction_id reference status raw_status message source_account destination_account ach_number "
                 "recipient_number recipient_document_id recipient_name transaction_at bank_code bank_name amount currency").split()


@pytest.mark.parametrize(
    ("data", "value"),
    [
        ({"nroLote": 88, "transacciones": [{"estado": " en_proceso ", "transaccionId": " TX-1 "}, {"estado": "X"}]},
         {"batch_number": "88", "transfers": [
             dict.fromkeys(TRANSFER_KEYS) | {"status": "processing", "raw_status": " en_proceso ", "transaction_id": "TX-1"},
             dict.fromkeys(TRANSFER_KEYS) | {"status": "unknown", "raw_status": "X"}]}),
        ({"nroLote": "   "}, {"batch_number": None, "transfers": []}),
        ({}, {"batch_number": None, "transfers": []}),
    ],
)
def test_status_parse(data: dict[str, Any], value: Any) -> None:
    assert parse("status", query(batch_number="1"), data) == ok(value)


@pytest.mark.parametrize(
    ("op", "data", "reason"),
    [
        ("authorize", {"processId": PROCESS_ID}, "missing field `nroLote`"),
        ("authorize", {"nroLote": "1", "processId": "p", "transacciones": [{"transaccionId": None, "estado": "X"}]},
         "expected a string or number"),
        ("status", {"transacciones": [{"estado": "PAGADO"}, {"nroLote": 1}]}, "missing field `estado`"),
    ],
)
def test_payload_shape_failures(op: str, data: dict[str, Any], reason: str) -> None:
    assert parse(op, query() if op == "status" else batch(), data) == failure(
        "decode", "unexpected payload shape: " + reason)


# --- a large batch ------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("count", [1, 60])  # a payload read by the small-text reader, and one read by simdjson
def test_escaped_input_texts_reach_the_body(count: int) -> None:
    # Escaped texts are decoded apart from the payload: they must outlive the payload's tree.
    description, name = 'Pago "navidad" \\ a/b \u00e9', "Jos\u00e9 Pe\u00f1a \U0001F600"
    data = batch(*(transfer(transaction_id=f"T{i:04d}", description=description, recipient_name=name)
                   for i in range(count)))
    payload = json.dumps({"config": CONFIG, "token": TOKEN, "input": data})
    assert (len(payload) > 4096) == (count > 1) and "\\u00e9" in payload
    sent = sent_body(call("batch.authorize.build", payload))["transacciones"]
    assert [(t["glosa"], t["titularDestino"]) for t in sent] == [(description, name)] * count



@pytest.mark.parametrize("duplicate", [False, True])
def test_batch_of_100_000_transfers(duplicate: bool) -> None:
    data = batch(*(transfer(transaction_id=f"T{i:07d}") for i in range(100_000)))
    if duplicate:
        data["transfers"][-1]["transaction_id"] = "T0000000"
        assert build("authorize", data) == invalid("transfers.transaction_id", "must be unique in the batch")
    else:
        ids = [t["transaccionId"] for t in sent_body(build("authorize", data))["transacciones"]]
        assert ids == [f"T{i:07d}" for i in range(100_000)]


# --- a large status answer, read straight into its result ------------------------------------------------------

STATUS_WORDS = ["PAGADO", "PENDIENTE", "RECHAZADA", "EN_PROCESO", "ERROR", "CANCELADO", "REVERTIDO", "ENVIADO",
                "proceso", " Aprobada ", "OTRO"]
FILLERS = [json.dumps({"estado": word, "transaccionId": f"TX-{i:04d}", "numeroReferencia": 880000000 + i,
                       "importe": 150.5, "nombreCliente": "Jos\u00e9 Quispe", "codigoBanco": 1001, "moneda": "BOB"})
           for i, word in enumerate(STATUS_WORDS * 3)]


def status_answer(transfers: list[str], head: str = '"nroLote":7781,', tail: str = "") -> str:
    body = '{"code":"00","data":{' + head + '"transacciones":[' + ",".join(transfers) + "]" + tail + "}}"
    payload = json.dumps({"input": query(batch_number="1"), "response": {"status": 200, "body": body}})
    assert (len(payload) > 4096) == (len(transfers) > 1)  # the small ones take the ordinary reader
    return call("batch.status.parse", payload)


@pytest.mark.parametrize(
    ("odd", "head", "tail"),
    [
        ('{"estado":"PAGADO","importe":100.10}', '"nroLote":7781,', ""),
        ('{"estado":"PAGADO","importe":"  12.50 "}', '"nroLote":7781,', ""),
        ('{"estado":"PAGADO","importe":1e2}', '"nroLote":7781,', ""),
        ('{"estado":"PAGADO","importe":0.000}', '"nroLote":7781,', ""),
        ('{"estado":"PAGADO","importe":123456789012345678901234567890}', '"nroLote":7781,', ""),
        ('{"\\u0065stado":"PAGADO"}', '"nroLote":7781,', ""),
        ('{"estado":" pagado ","nombreBanco":"\\u00a0Banco \\"Uni\\u00f3n\\"\\u3000","mensaje":"\\u0001\\n"}',
         '"nroLote":7781,', ""),
        ('{"transaccionId":1.5e3,"numeroReferencia":true,"ciCliente":[1,{"a":null}],"estado":"X","z":{}}',
         '"nroLote":7781,', ""),
        ('{"estado":"PAGADO","estado":"ERROR"}', '"nroLote":7781,', ""),
        ('{"mensaje":"sin estado"}', '"nroLote":7781,', ""),
        ('{"estado":"PAGADO","moneda":68}', '"nroLote":7781,', ""),
        ('{"estado":"PAGADO"}', "", ',"nroLote":" L-9 "'),
        ('{"estado":"PAGADO"}', "", ',"nroLote":"  "'),
    ],
)
def test_large_status_answer_reads_each_transfer_as_a_small_one(odd: str, head: str, tail: str) -> None:
    # Large answers are written while they are read; small ones go through records. Both agree.
    small = json.loads(status_answer([odd], head, tail))
    if not small["ok"]:
        assert status_answer([*FILLERS, odd], head, tail) == doc(small)
        return
    fillers = [json.loads(status_answer([t], head, tail))["value"]["transfers"][0] for t in FILLERS]
    expected = {"batch_number": small["value"]["batch_number"], "transfers": [*fillers, *small["value"]["transfers"]]}
    assert status_answer([*FILLERS, odd], head, tail) == ok(expected)


# --- the notification handler ----------------------------------------------------------------------------------

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
