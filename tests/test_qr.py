"""QR payouts through `call`: scan, pay and payout status, build and parse stages."""

from __future__ import annotations

import json
from typing import Any

import pytest
from conftest import doc, failure, ok

from quorvel_bo.payouts._native import call

CONFIG = {"client_id": "cli-42"}
TOKEN = {"access_token": "tok-abc", "token_type": "Bearer", "expires_at": 1700000000}
HEADERS = {"Accept": "application/json", "Authorization": "Bearer tok-abc", "Content-Type": "application/json",
           "access_token": "tok-abc", "client_id": "cli-42"}
QR_URL = "https://api-test.quorvel.bo/sandbox/payout/sync/v3/qr/"
MISSING = object()


def build(op: str, inp: Any, token: Any = TOKEN) -> str:
    return call(f"payouts.{op}.build", json.dumps({"config": CONFIG, "token": token, "input": inp}))


def parse(op: str, status: int, body: str, inp: Any = None) -> str:
    response = {"status": status, "body": body}
    return call(f"payouts.{op}.parse", json.dumps({"input": INPUTS[op] if inp is None else inp, "response": response}))


def request(method: str, path: str, body: str | None) -> str:
    return ok({"body": body, "headers": HEADERS, "method": method, "url": QR_URL + path})


def pay_input(scanned: dict[str, Any] | None = None, **fields: Any) -> dict[str, Any]:
    qr = {"reference": "123", "amount": "0", "description": None, "recipient": {}, **(scanned or {})}
    record = {"source_account": "1234567890", "transaction_id": "tx-1", "amount": "25.50",
              "description": "  Pago de servicio ", **fields}
    return {"scanned": {k: v for k, v in qr.items() if v is not MISSING}} | {
        k: v for k, v in record.items() if v is not MISSING}


def pay_body(importe: str, glosa: str | None = "Pago de servicio", ref: str = "123") -> str:
    glosa_member = "" if glosa is None else f'"glosa":{json.dumps(glosa, ensure_ascii=False)},'
    return (f'{{"cuentaOrigen":"1234567890",{glosa_member}"importe":{importe},'
            f'"numeroReferencia":"{ref}","transaccionId":"tx-1"}}')


def recipient(**fields: Any) -> dict[str, Any]:
    return {"account": None, "bank_code": None, "bank_name": None, "document_id": None, "holder": None} | fields


def scanned(reference: str, **fields: Any) -> dict[str, Any]:
    base = {"amount": "0", "currency": None, "description": None, "expires_on": None, "recipient": recipient()}
    return base | {"reference": reference} | fields


def payout(reference: str, status: str, raw_status: str, **fields: Any) -> dict[str, Any]:
    keys = "ach_order_number amount currency description message source_account source_holder transaction_at"
    base = dict.fromkeys(keys.split() + ["transaction_id"]) | {"recipient": recipient()}
    return base | {"reference": reference, "status": status, "raw_status": raw_status} | fields


def envelope(data: str) -> str:
    return f'{{"code":"00","data":{data}}}'


INPUTS: dict[str, Any] = {"scan": {"qr_text": "qr"}, "pay": pay_input(), "status": {"reference": "123"}}

# ---------------------------------------------------------------- build: exact requests


@pytest.mark.parametrize(
    ("op", "inp", "expected"),
    [
        # Whitespace around the QR text goes; inside it only what JSON requires is escaped.
        ("scan", {"qr_text": ' \u00a0a"b\\c\u0001\u00e9\tX\n'}, request("POST", "scan", '{"imagen":"a\\"b\\\\c\\u0001\u00e9\\tX"}')),
        ("pay", pay_input(), request("POST", "confirm", pay_body("25.5"))),
        ("status", {"reference": "000123"}, request("GET", "status/000123", None)),
    ],
)
def test_build_request_is_exact(op: str, inp: Any, expected: str) -> None:
    assert build(op, inp) == expected


# ---------------------------------------------------------------- build: input checks, then the token

REF, ACCOUNT, TX = "must be 1 to 20 digits", "must be 6 to 20 digits", "1 to 32 letters, digits, `-` or `_`"
NO_AMOUNT, FIXED = "required: the QR has no amount", "the QR has a fixed amount; omit it"
NO_DESC = "required: the QR has no description"
LATER_WRONG: dict[str, Any] = {"transaction_id": "bad id", "amount": MISSING, "description": MISSING}


@pytest.mark.parametrize(
    ("op", "inp", "field", "message"),
    [
        ("scan", {"qr_text": " \n "}, "qr_text", "must not be empty"),
        ("status", {"reference": "1" * 21}, "reference", REF),
        ("status", {"reference": " 123"}, "reference", REF),
        # Each pay row also breaks later fields: the earliest failing step is the one reported.
        ("pay", pay_input({"reference": "1" * 21}, source_account="12", **LATER_WRONG), "scanned.reference", REF),
        ("pay", pay_input({"reference": " 123"}), "scanned.reference", REF),
        ("pay", pay_input(source_account="12345", **LATER_WRONG), "source_account", ACCOUNT),
        ("pay", pay_input(transaction_id="", amount=MISSING, description=MISSING), "transaction_id", TX),
        ("pay", pay_input(transaction_id="pag\u00f3"), "transaction_id", TX),
        ("pay", pay_input(amount=MISSING, description=MISSING), "amount", NO_AMOUNT),
        ("pay", pay_input(amount=None), "amount", NO_AMOUNT),
        ("pay", pay_input(amount=0, description=MISSING), "amount", "must be greater than zero"),
        ("pay", pay_input({"amount": "150.00"}, amount="149.99", description=MISSING), "amount", FIXED),
        # A fixed amount refuses any other amount before the amount rule would.
        ("pay", pay_input({"amount": "150.00"}, amount=-5), "amount", FIXED),
        ("pay", pay_input(description=MISSING), "description", NO_DESC),
        ("pay", pay_input(description=" \u3000\n"), "description", "must not be empty"),
        ("pay", pay_input(description="x" * 256), "description", "1 to 255 characters"),
        # Valid input: only now is the missing token reported.
        ("scan", {"qr_text": " x "}, "token", "an access token is required for this operation"),
        ("pay", pay_input(), "token", "an access token is required for this operation"),
        ("status", {"reference": "1" * 20}, "token", "an access token is required for this operation"),
    ],
)
def test_input_checks_in_order_before_the_token(op: str, inp: Any, field: str, message: str) -> None:
    assert build(op, inp, token=None) == failure("validation", message, field=field)


# ---------------------------------------------------------------- pay: amount and description choices


@pytest.mark.parametrize(
    ("inp", "body"),
    [
        # Fixed amount: 0.00 is sent whatever equal amount the caller repeats.
        (pay_input({"amount": "150.00"}, amount=MISSING), pay_body("0.00")),
        # A zero written with decimals is still an open amount.
        (pay_input({"amount": "0.00"}, amount="10.50"), pay_body("10.5")),
        # The QR's own description: the caller's is neither checked nor sent.
        (pay_input({"amount": "9", "description": "Luz"}, amount=MISSING, description=MISSING), pay_body("0.00", None)),
        (pay_input({"description": "Luz"}, description="   "), pay_body("25.5", None)),
        (pay_input({"description": MISSING}, description=" \t hola  mundo \n"), pay_body("25.5", "hola  mundo")),
        (pay_input({"description": "  \u00a0"}, description="hola"), pay_body("25.5", "hola")),
        (pay_input(description="  " + "x" * 255 + "  "), pay_body("25.5", "x" * 255)),
    ],
)
def test_pay_body(inp: dict[str, Any], body: str) -> None:
    assert build("pay", inp) == request("POST", "confirm", body)


def test_scan_result_feeds_pay_unchanged() -> None:
    qr = json.loads(parse("scan", 200, envelope('{"numeroReferencia":"314","importe":"99.90","glosa":"Agua"}')))["value"]
    inp = {"scanned": qr, "source_account": "1234567890", "transaction_id": "tx-1", "amount": "99.9"}
    assert build("pay", inp) == request("POST", "confirm", pay_body("0.00", None, ref="314"))


@pytest.mark.parametrize("stage", ["build", "parse"])
@pytest.mark.parametrize(
    ("op", "inp"),
    [
        ("pay", pay_input({"amount": MISSING})),
        ("pay", pay_input({"amount": None})),
        ("pay", pay_input({"reference": 123})),
        ("pay", pay_input(amount="12,50")),
    ],
)
def test_undecodable_input_is_an_ffi_error(op: str, inp: Any, stage: str) -> None:
    result = build(op, inp) if stage == "build" else parse(op, 200, envelope('{"numeroReferencia":"1"}'), inp)
    error = json.loads(result)["error"]
    assert error["kind"] == "ffi" and error["message"].startswith("invalid payload: "), result


# ---------------------------------------------------------------- parse: wire records

SCAN_FULL = ('{"numeroReferencia":"00987","importe":150.00,"moneda":"BOB","glosa":" Factura luz ",'
             '"cuentaDestino":"555666777","ciNitDestino":"4455667","titularDestino":"  Ana  P\u00e9rez ",'
             '"codigoBancoDestino":"1001","nombreBancoDestino":"Banco Uno","fechaVencimiento":"2024-12-31","x":[1]}')
SCAN_FULL_RESULT = scanned(
    "00987", amount="150", currency="BOB", description="Factura luz", expires_on="2024-12-31",
    recipient={"account": "555666777", "bank_code": "1001", "bank_name": "Banco Uno", "document_id": "4455667",
               "holder": "Ana  P\u00e9rez"},
)


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (SCAN_FULL, SCAN_FULL_RESULT),
        (('["00987",150.00,"BOB"," Factura luz ","555666777","4455667","  Ana  P\u00e9rez ","1001","Banco Uno",'
         '"2024-12-31"]'), SCAN_FULL_RESULT),
        # Numbers keep their text; odd types, nulls and blanks are absent; no amount is zero.
        (('{"numeroReferencia":1.50,"cuentaDestino":555666,"ciNitDestino":true,"codigoBancoDestino":{"a":1},'
         '"titularDestino":null,"glosa":" ","moneda":"BOB","importe":null}'),
         scanned("1.50", currency="BOB", recipient=recipient(account="555666"))),
        ('{"numeroReferencia":" 12 ","importe":"12.50"}', scanned(" 12 ", amount="12.5")),
    ],
)
def test_scan_parse(data: str, expected: Any) -> None:
    assert parse("scan", 200, envelope(data)) == ok(expected)


PAYOUT_FULL = ('{"numeroReferencia":"00123","transaccionId":"TX-9","fechaHoraTransaccion":"2024-05-01 10:00:00",'
               '"estado":"PAGADO","mensaje":"Pago realizado","importe":150.00,"moneda":"BOB","glosa":"Pago QR",'
               '"cuentaOrigen":"1234567890","titularOrigen":" Empresa SRL ","cuentaDestino":"555666777",'
               '"titularDestino":"Ana P\u00e9rez","ciNitDestino":"4455667","codigoBancoDestino":"1001",'
               '"nombreBancoDestino":"Banco Uno","numOrdenAch":"778899","otro":{"x":1}}')
PAYOUT_FULL_RESULT = payout(
    "00123", "paid", "PAGADO", ach_order_number="778899", amount="150", currency="BOB", description="Pago QR",
    message="Pago realizado", source_account="1234567890", source_holder="Empresa SRL",
    transaction_at="2024-05-01 10:00:00", transaction_id="TX-9",
    recipient={"account": "555666777", "bank_code": "1001", "bank_name": "Banco Uno", "document_id": "4455667",
               "holder": "Ana P\u00e9rez"},
)


@pytest.mark.parametrize("op", ["pay", "status"])
@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (PAYOUT_FULL, PAYOUT_FULL_RESULT),
        ('["00123","TX-9","2024-05-01 10:00:00","PAGADO","Pago realizado",150.00,"BOB","Pago QR","1234567890",'
         '" Empresa SRL ","555666777","Ana P\u00e9rez","4455667","1001","Banco Uno","778899"]', PAYOUT_FULL_RESULT),
        ('{"numeroReferencia":12345,"estado":" pagado ","numOrdenAch":987654321,"transaccionId":1.50}',
         payout("12345", "paid", " pagado ", ach_order_number="987654321", transaction_id="1.50")),
        (('{"numeroReferencia":" 1 ","estado":"TR\u00c1NSITO","importe":null,"mensaje":" ","glosa":"","moneda":"\\t",'
         '"transaccionId":false,"cuentaOrigen":[],"cuentaDestino":{},"ciNitDestino":null,"numOrdenAch":" 55 "}'),
         payout(" 1 ", "unknown", "TR\u00c1NSITO", ach_order_number="55")),
    ],
)
def test_payout_parse(op: str, data: str, expected: Any) -> None:
    assert parse(op, 200, envelope(data)) == ok(expected)


@pytest.mark.parametrize(
    ("op", "data", "reason"),
    [
        ("scan", '{"numeroReferencia":null}', "expected a string or number"),
        ("scan", '{"numeroReferencia":"1","moneda":5}', "invalid type: integer `5`, expected a string"),
        ("pay", '{"numeroReferencia":[],"estado":"PAGADO"}', "expected a string or number"),
        ("pay", '{"numeroReferencia":"1"}', "missing field `estado`"),
        ("status", '{"numeroReferencia":"1","estado":"PAGADO","mensaje":[]}', "invalid type: sequence, expected a string"),
    ],
)
def test_payload_shape_failures(op: str, data: str, reason: str) -> None:
    assert parse(op, 200, envelope(data)) == failure("decode", "unexpected payload shape: " + reason)


# ---------------------------------------------------------------- parse: provider failures


def api(status: int, message: str, codes: list[str], retryable: bool, texts: list[str] | None = None) -> Any:
    entries = [{"code": code, "field": None, "message": text} for code, text in zip(codes, texts or [message])]
    return {"errors": entries, "kind": "api", "message": message, "retryable": retryable, "status": status}


@pytest.mark.parametrize("op", ["scan", "pay", "status"])
@pytest.mark.parametrize(
    ("status", "body", "error", "ambiguous_for_pay"),
    [
        (200, '{"code":"96","message":"Tiempo agotado"}', api(200, "Tiempo agotado", ["96"], False), True),
        (200, '{"code":"94","errorMessage":"Duplicado"}', api(200, "Duplicado", ["94"], False), True),
        (502, '{"errorCode":"94","message":"m1; m2"}', api(502, "m1; m2", ["94", "94"], True, ["m1", "m2"]), True),
        (200, '{"code":"01","errorCode":"96","message":"m"}', api(200, "m", ["96"], False), True),
        # Only an entry code of exactly 94 or 96 counts; errorCode is the entry code when given.
        (200, '{"code":"940","message":"m"}', api(200, "m", ["940"], False), False),
        (200, '{"code":" 96","message":"m"}', api(200, "m", [" 96"], False), False),
        (200, '{"code":"96","errorCode":"01","message":"m"}', api(200, "m", ["01"], False), False),
        (504, "Gateway Timeout", api(504, "Gateway Timeout", [], True), False),
        (403, '{"code":"96","message":"no"}', {"kind": "authentication", "message": "no", "retryable": False,
                                               "status": 403}, False),
        (200, "<html>", {"kind": "decode", "message": "invalid JSON body: expected value at line 1 column 1",
                         "retryable": False}, False),
    ],
)
def test_provider_failures(op: str, status: int, body: str, error: Any, ambiguous_for_pay: bool) -> None:
    if op == "pay" and ambiguous_for_pay:
        # The status and the retry hint are dropped: an ambiguous payment is never retried.
        error = {"errors": error["errors"], "kind": "ambiguous", "message": error["message"], "retryable": False}
    assert parse(op, status, body) == doc({"error": error, "ok": False})
