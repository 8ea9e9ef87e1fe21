"""QR payouts through `call`: scan, pay and payout status, build and parse stages."""

from __future__ import annotations

import json
import re
from typing import Any

import pytest

from quorvel_bo.payouts import _native

CONFIG = {"client_id": "cli-42"}
TOKEN = {"access_token": "tok-abc", "token_type": "Bearer", "expires_at": 1700000000}
SANDBOX = "https://api-test.quorvel.bo/sandbox"
OVERRIDE = "https://gw.example.test/base//"
HEADERS = {
    "Accept": "application/json",
    "Authorization": "Bearer tok-abc",
    "Content-Type": "application/json",
    "access_token": "tok-abc",
    "client_id": "cli-42",
}
NO_TOKEN_ERROR = {
    "field": "token",
    "kind": "validation",
    "message": "an access token is required for this operation",
    "retryable": False,
}
MISSING = object()
_RAW = re.compile(r'"@num\((.*?)\)@"')


def num(text: str) -> str:
    """A JSON number written with exactly `text` (json.dumps would rewrite 150.00 as 150.0)."""
    return f"@num({text})@"


def dumps(obj: Any) -> str:
    return _RAW.sub(r"\1", json.dumps(obj, ensure_ascii=False))


def doc(obj: Any) -> str:
    return json.dumps(obj, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def ok(value: Any) -> str:
    return doc({"ok": True, "value": value})


def err(error: dict[str, Any]) -> str:
    return doc({"error": error, "ok": False})


def invalid(field: str, message: str) -> str:
    return err({"field": field, "kind": "validation", "message": message, "retryable": False})


def build(op: str, inp: Any, *, token: Any = TOKEN, config: Any = CONFIG) -> str:
    envelope: dict[str, Any] = {"config": config, "input": inp}
    if token is not MISSING:
        envelope["token"] = token
    return _native.call(f"payouts.{op}.build", dumps(envelope))


def parse(op: str, inp: Any, status: int, body: str) -> str:
    return _native.call(f"payouts.{op}.parse", dumps({"input": inp, "response": {"status": status, "body": body}}))


def request(method: str, path: str, body: str | None, base: str = SANDBOX) -> str:
    return ok({"body": body, "headers": HEADERS, "method": method, "url": base + path})


def error_of(result: str) -> dict[str, Any]:
    document: dict[str, Any] = json.loads(result)
    assert document["ok"] is False, result
    error: dict[str, Any] = document["error"]
    return error


def scanned(**fields: Any) -> dict[str, Any]:
    record = {
        "reference": "123",
        "amount": "0",
        "currency": "BOB",
        "description": None,
        "recipient": {"account": "555666777", "holder": "Ana"},
        "expires_on": None,
    }
    record.update(fields)
    return {k: v for k, v in record.items() if v is not MISSING}


def pay_input(**fields: Any) -> dict[str, Any]:
    record = {
        "scanned": scanned(),
        "source_account": "1234567890",
        "transaction_id": "tx-1",
        "amount": num("25.50"),
        "description": "  Pago de servicio ",
    }
    record.update(fields)
    return {k: v for k, v in record.items() if v is not MISSING}


def pay_body(importe: str, glosa: str | None = None, reference: str = "123") -> str:
    glosa_member = "" if glosa is None else f'"glosa":{json.dumps(glosa, ensure_ascii=False)},'
    return (
        f'{{"cuentaOrigen":"1234567890",{glosa_member}"importe":{importe},'
        f'"numeroReferencia":"{reference}","transaccionId":"tx-1"}}'
    )


def recipient(**fields: Any) -> dict[str, Any]:
    return {"account": None, "bank_code": None, "bank_name": None, "document_id": None, "holder": None} | fields


def scanned_result(**fields: Any) -> dict[str, Any]:
    base = {"amount": "0", "currency": None, "description": None, "expires_on": None, "recipient": recipient()}
    return base | fields


def payout(reference: str, status: str, raw_status: str, **fields: Any) -> dict[str, Any]:
    base = {
        "ach_order_number": None,
        "amount": None,
        "currency": None,
        "description": None,
        "message": None,
        "raw_status": raw_status,
        "recipient": recipient(),
        "reference": reference,
        "source_account": None,
        "source_holder": None,
        "status": status,
        "transaction_at": None,
        "transaction_id": None,
    }
    return base | fields


def envelope_body(data: str) -> str:
    return f'{{"code":"00","data":{data}}}'


SCAN_IN = {"qr_text": "qr"}
STATUS_IN = {"reference": "123"}
PAY_IN = pay_input()
INPUTS = {"scan": SCAN_IN, "pay": PAY_IN, "status": STATUS_IN}


# ---------------------------------------------------------------- build stage: exact requests


@pytest.mark.parametrize(
    ("config", "base"),
    [(CONFIG, SANDBOX), ({"client_id": "cli-42", "environment": "production", "base_url": OVERRIDE}, OVERRIDE[:-2])],
    ids=["sandbox", "base_url"],
)
@pytest.mark.parametrize(
    ("op", "inp", "method", "path", "body"),
    [
        ("scan", {"qr_text": " \u00a0000201 QR\tdata\n"}, "POST", "/payout/sync/v3/qr/scan",
         '{"imagen":"000201 QR\\tdata"}'),
        ("pay", PAY_IN, "POST", "/payout/sync/v3/qr/confirm", pay_body("25.5", "Pago de servicio")),
        ("status", {"reference": "000123"}, "GET", "/payout/sync/v3/qr/status/000123", None),
    ],
    ids=["scan", "pay", "status"],
)
def test_build_request_is_exact(
    op: str, inp: Any, method: str, path: str, body: str | None, config: dict[str, Any], base: str
) -> None:
    assert build(op, inp, config=config) == request(method, path, body, base)


def test_scan_body_escapes_only_what_json_requires() -> None:
    # Quote, backslash and control characters are escaped once inside the body text; the rest stays raw.
    result = build("scan", {"qr_text": 'a"b\\c\u0001d\u007fe\u00e9\u2028'})
    assert json.loads(result)["value"]["body"] == '{"imagen":"a\\"b\\\\c\\u0001d\u007fe\u00e9"}'


def test_pay_body_with_multibyte_description_is_written_unescaped() -> None:
    result = build("pay", pay_input(description="\u00d1and\u00fa \u20ac \U0001f600"))
    assert json.loads(result)["value"]["body"] == pay_body("25.5", "\u00d1and\u00fa \u20ac \U0001f600")


# ---------------------------------------------------------------- pay: checks in order, first failure wins

REF_MSG = "must be 1 to 20 digits"
ACCOUNT_MSG = "must be 6 to 20 digits"
TX_MSG = "1 to 32 letters, digits, `-` or `_`"
ALL_WRONG = {
    "source_account": "12",
    "transaction_id": "bad id",
    "amount": MISSING,
    "description": MISSING,
}

PAY_FAILURES = [
    # step 1 wins over everything after it
    ("ref_21_digits_all_wrong", {"scanned": scanned(reference="1" * 21), **ALL_WRONG}, "scanned.reference", REF_MSG),
    ("ref_empty", {"scanned": scanned(reference="")}, "scanned.reference", REF_MSG),
    ("ref_leading_space", {"scanned": scanned(reference=" 123")}, "scanned.reference", REF_MSG),
    ("ref_trailing_newline", {"scanned": scanned(reference="123\n")}, "scanned.reference", REF_MSG),
    ("ref_letter", {"scanned": scanned(reference="12a3")}, "scanned.reference", REF_MSG),
    ("ref_sign", {"scanned": scanned(reference="+123")}, "scanned.reference", REF_MSG),
    # step 2
    ("account_5_digits", {"source_account": "12345", **{k: v for k, v in ALL_WRONG.items() if k != "source_account"}},
     "source_account", ACCOUNT_MSG),
    ("account_21_digits", {"source_account": "1" * 21}, "source_account", ACCOUNT_MSG),
    ("account_trailing_space", {"source_account": "1234567 "}, "source_account", ACCOUNT_MSG),
    ("account_inner_space", {"source_account": "123 4567"}, "source_account", ACCOUNT_MSG),
    # step 3
    ("tx_empty", {"transaction_id": "", "amount": MISSING}, "transaction_id", TX_MSG),
    ("tx_space", {"transaction_id": "tx 1", "amount": MISSING}, "transaction_id", TX_MSG),
    ("tx_leading_space", {"transaction_id": " tx1"}, "transaction_id", TX_MSG),
    ("tx_accented", {"transaction_id": "pag\u00f3"}, "transaction_id", TX_MSG),
    ("tx_dot", {"transaction_id": "tx.1"}, "transaction_id", TX_MSG),
    ("tx_33", {"transaction_id": "a" * 33}, "transaction_id", TX_MSG),
    # step 4, open amount
    ("open_missing", {"amount": MISSING, "description": MISSING}, "amount", "required: the QR has no amount"),
    ("open_null", {"amount": None}, "amount", "required: the QR has no amount"),
    ("open_zero", {"amount": 0, "description": MISSING}, "amount", "must be greater than zero"),
    ("open_zero_scaled", {"amount": num("0.00")}, "amount", "must be greater than zero"),
    ("open_negative", {"amount": -5}, "amount", "must be greater than zero"),
    ("open_three_decimals", {"amount": num("0.001"), "description": MISSING}, "amount",
     "at most 2 decimal places are allowed"),
    ("open_string_three_decimals", {"amount": "10.005"}, "amount", "at most 2 decimal places are allowed"),
    # step 4, fixed amount
    ("fixed_other_amount", {"scanned": scanned(amount=num("150.00")), "amount": num("149.99"), "description": MISSING},
     "amount", "the QR has a fixed amount; omit it"),
    ("fixed_negative", {"scanned": scanned(amount="150.00"), "amount": -5}, "amount",
     "the QR has a fixed amount; omit it"),
    ("fixed_zero", {"scanned": scanned(amount="150.00"), "amount": 0}, "amount", "the QR has a fixed amount; omit it"),
    # step 5
    ("desc_missing", {"description": MISSING}, "description", "required: the QR has no description"),
    ("desc_null", {"description": None}, "description", "required: the QR has no description"),
    ("desc_missing_qr_blank", {"scanned": scanned(description=" \t"), "description": MISSING}, "description",
     "required: the QR has no description"),
    ("desc_empty", {"description": ""}, "description", "must not be empty"),
    ("desc_blank", {"description": " \u3000\n"}, "description", "must not be empty"),
    ("desc_blank_qr_blank", {"scanned": scanned(description="  "), "description": "   "}, "description",
     "must not be empty"),
    ("desc_256", {"description": "x" * 256}, "description", "1 to 255 characters"),
    ("desc_256_multibyte", {"description": "\u00f1" * 256}, "description", "1 to 255 characters"),
]


@pytest.mark.parametrize("token", [TOKEN, None], ids=["token", "no_token"])
@pytest.mark.parametrize(
    ("fields", "field", "message"), [c[1:] for c in PAY_FAILURES], ids=[c[0] for c in PAY_FAILURES]
)
def test_pay_checks_report_first_failure(fields: dict[str, Any], field: str, message: str, token: Any) -> None:
    # Without a token the same input error comes first: the token is only asked for at the end.
    assert build("pay", pay_input(**fields), token=token) == invalid(field, message)


TX_32 = "A-1_b" * 6 + "Zz"


@pytest.mark.parametrize(
    ("fields", "body"),
    [
        # references, accounts and identifiers at their length limits
        ({"scanned": scanned(reference="0" * 20), "source_account": "123456", "transaction_id": TX_32},
         '{"cuentaOrigen":"123456","glosa":"Pago de servicio","importe":25.5,'
         '"numeroReferencia":"00000000000000000000","transaccionId":"' + TX_32 + '"}'),
        ({"scanned": scanned(reference="7"), "source_account": "1" * 20, "transaction_id": "x"},
         '{"cuentaOrigen":"' + "1" * 20 + '","glosa":"Pago de servicio","importe":25.5,'
         '"numeroReferencia":"7","transaccionId":"x"}'),
    ],
    ids=["limits_low", "limits_high"],
)
def test_pay_field_limits_pass(fields: dict[str, Any], body: str) -> None:
    assert json.loads(build("pay", pay_input(**fields)))["value"]["body"] == body


# ---------------------------------------------------------------- pay: amount choice


@pytest.mark.parametrize(
    ("qr_amount", "amount", "importe"),
    [
        (num("150.00"), MISSING, "0.00"),
        (num("150.00"), None, "0.00"),
        (num("150.00"), num("150"), "0.00"),
        (num("150.00"), num("150.000"), "0.00"),
        ("150.00", "150", "0.00"),
        (" 150.5 ", num("150.50"), "0.00"),
        (num("1e2"), num("100.00"), "0.00"),
        (num("0.00"), num("25.50"), "25.5"),
        ("0", "25.50", "25.5"),
        ("0", " 7 ", "7"),
        (num("0"), num("100.00"), "100"),
        (num("0"), num("10.500"), "10.5"),
        (num("0"), num("0.01"), "0.01"),
        (num("0"), num("1e3"), "1000"),
        (num("0"), "1.5E1", "15"),
    ],
)
def test_pay_amount_choice(qr_amount: Any, amount: Any, importe: str) -> None:
    result = build("pay", pay_input(scanned=scanned(amount=qr_amount), amount=amount))
    assert result == request("POST", "/payout/sync/v3/qr/confirm", pay_body(importe, "Pago de servicio"))


# ---------------------------------------------------------------- pay: description choice


@pytest.mark.parametrize(
    ("qr_description", "description", "glosa"),
    [
        ("Pago QR", MISSING, None),
        ("Pago QR", "", None),
        ("Pago QR", "   ", None),
        ("Pago QR", "x" * 300, None),
        (" Pago QR ", "otra", None),
        (MISSING, " \t hola  mundo \n", "hola  mundo"),
        (None, "hola", "hola"),
        ("", "hola", "hola"),
        ("  \u00a0", "  hola  ", "hola"),
        (None, "  " + "x" * 255 + "  ", "x" * 255),
        (None, "\u00e9" * 255, "\u00e9" * 255),
        (None, "\U0001f600" * 255, "\U0001f600" * 255),
        (None, "a", "a"),
    ],
)
def test_pay_description_choice(qr_description: Any, description: Any, glosa: str | None) -> None:
    result = build("pay", pay_input(scanned=scanned(description=qr_description), description=description))
    assert result == request("POST", "/payout/sync/v3/qr/confirm", pay_body("25.5", glosa))


def test_pay_fixed_amount_and_own_description_sends_minimal_body() -> None:
    inp = pay_input(scanned=scanned(amount="150", description="Factura 9"), amount=MISSING, description=MISSING)
    assert build("pay", inp) == request("POST", "/payout/sync/v3/qr/confirm", pay_body("0.00"))


# ---------------------------------------------------------------- missing token comes after the input checks


@pytest.mark.parametrize("token", [MISSING, None], ids=["absent", "null"])
@pytest.mark.parametrize(
    ("op", "inp", "expected"),
    [
        ("scan", {"qr_text": " \n "}, invalid("qr_text", "must not be empty")),
        ("scan", {"qr_text": ""}, invalid("qr_text", "must not be empty")),
        ("scan", {"qr_text": " x "}, err(NO_TOKEN_ERROR)),
        ("pay", PAY_IN, err(NO_TOKEN_ERROR)),
        ("status", {"reference": " 123"}, invalid("reference", "must be 1 to 20 digits")),
        ("status", {"reference": "12a"}, invalid("reference", "must be 1 to 20 digits")),
        ("status", {"reference": "1" * 21}, invalid("reference", "must be 1 to 20 digits")),
        ("status", {"reference": ""}, invalid("reference", "must be 1 to 20 digits")),
        ("status", {"reference": "1" * 20}, err(NO_TOKEN_ERROR)),
    ],
)
def test_token_is_checked_after_input(op: str, inp: Any, expected: Any, token: Any) -> None:
    assert build(op, inp, token=token) == expected


def test_status_reference_checks_hold_with_token() -> None:
    assert build("status", {"reference": "123 "}) == invalid("reference", "must be 1 to 20 digits")


# ---------------------------------------------------------------- caller input read strictly


@pytest.mark.parametrize(
    ("op", "inp"),
    [
        ("scan", {}),
        ("scan", {"qr_text": 123}),
        ("status", {"reference": 123}),
        ("pay", pay_input(scanned=scanned(amount=MISSING))),
        ("pay", pay_input(scanned=scanned(amount=None))),
        ("pay", pay_input(scanned=scanned(reference=123))),
        ("pay", pay_input(scanned=scanned(recipient=MISSING))),
        ("pay", pay_input(source_account=1234567)),
        ("pay", pay_input(amount=True)),
        ("pay", pay_input(amount="12,50")),
    ],
)
@pytest.mark.parametrize("stage", ["build", "parse"])
def test_undecodable_input_is_an_ffi_error(op: str, inp: Any, stage: str) -> None:
    if stage == "build":
        result = build(op, inp)
    else:
        result = parse(op, inp, 200, envelope_body('{"numeroReferencia":"1","estado":"PAGADO"}'))
    error = error_of(result)
    assert error["kind"] == "ffi" and error["message"].startswith("invalid payload: "), result


# ---------------------------------------------------------------- scan parse: wire leniency


SCAN_FULL = (
    '{"numeroReferencia":"00987","importe":150.00,"moneda":"BOB","glosa":" Factura luz ",'
    '"cuentaDestino":"555666777","ciNitDestino":"4455667","titularDestino":"  Ana  P\u00e9rez ",'
    '"codigoBancoDestino":"1001","nombreBancoDestino":"Banco Uno","fechaVencimiento":"2024-12-31","extra":[1]}'
)
SCAN_FULL_RESULT = scanned_result(
    amount="150",
    currency="BOB",
    description="Factura luz",
    expires_on="2024-12-31",
    recipient=recipient(
        account="555666777", bank_code="1001", bank_name="Banco Uno", document_id="4455667", holder="Ana  P\u00e9rez"
    ),
    reference="00987",
)


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (SCAN_FULL, SCAN_FULL_RESULT),
        # positional form, fields in declaration order
        ('["00987",150.00,"BOB"," Factura luz ","555666777","4455667","  Ana  P\u00e9rez ","1001","Banco Uno",'
         '"2024-12-31"]', SCAN_FULL_RESULT),
        ('{"numeroReferencia":12345,"cuentaDestino":555666,"moneda":"BOB","glosa":" "}',
         scanned_result(reference="12345", currency="BOB", recipient=recipient(account="555666"))),
        ('{"numeroReferencia":1.50}', scanned_result(reference="1.50")),
        ('{"numeroReferencia":1e3,"ciNitDestino":44.10,"codigoBancoDestino":0}',
         scanned_result(reference="1e3", recipient=recipient(document_id="44.10", bank_code="0"))),
        ('{"numeroReferencia":" 12 ","cuentaDestino":true,"ciNitDestino":[1],"codigoBancoDestino":{"a":1}}',
         scanned_result(reference=" 12 ")),
        ('{"numeroReferencia":"1","cuentaDestino":null,"ciNitDestino":false,"moneda":null,"glosa":null}',
         scanned_result(reference="1")),
        ('{"numeroReferencia":"1","cuentaDestino":"  ","titularDestino":"","nombreBancoDestino":"\\t",'
         '"fechaVencimiento":" ","moneda":"\u3000"}', scanned_result(reference="1")),
        ('{"numeroReferencia":"1","cuentaDestino":" 0042 ","codigoBancoDestino":" 7"}',
         scanned_result(reference="1", recipient=recipient(account="0042", bank_code="7"))),
        ('{"numeroReferencia":"1","importe":"12.50"}', scanned_result(reference="1", amount="12.5")),
        ('{"numeroReferencia":"1","importe":12.50}', scanned_result(reference="1", amount="12.5")),
        ('{"numeroReferencia":"1","importe":null}', scanned_result(reference="1", amount="0")),
        ('{"numeroReferencia":"1","importe":0.00}', scanned_result(reference="1", amount="0")),
        ('{"numeroReferencia":""}', scanned_result(reference="")),
    ],
    ids=["full", "positional", "numbers", "trailing_zero", "exponent", "odd_types_absent", "nulls",
         "blank_texts", "trimmed_ids", "amount_string", "amount_number", "amount_null", "amount_zero", "empty_ref"],
)
def test_scan_parse_result(data: str, expected: Any) -> None:
    assert parse("scan", SCAN_IN, 200, envelope_body(data)) == ok(expected)


def test_scan_parse_payload_without_envelope_is_the_whole_body() -> None:
    assert parse("scan", SCAN_IN, 200, '{"numeroReferencia":77}') == ok(scanned_result(reference="77"))


SHAPE = "unexpected payload shape: "


@pytest.mark.parametrize("op", ["scan", "pay", "status"])
@pytest.mark.parametrize("value", ["null", "true", "[]", "{}", '["1"]'])
def test_reference_of_wrong_type_is_a_decode_error(op: str, value: str) -> None:
    data = f'{{"numeroReferencia":{value},"estado":"PAGADO"}}'
    expected = err({"kind": "decode", "message": SHAPE + "expected a string or number", "retryable": False})
    assert parse(op, INPUTS[op], 200, envelope_body(data)) == expected


@pytest.mark.parametrize(
    ("op", "data", "names"),
    [
        ("scan", '{"glosa":"x"}', "numeroReferencia"),
        ("scan", '{"numeroReferencia":"1","moneda":5}', ""),
        ("scan", '{"numeroReferencia":"1","glosa":true}', ""),
        ("scan", '{"numeroReferencia":"1","importe":"doce"}', "doce"),
        ("scan", '{"numeroReferencia":"1","importe":true}', "expected a number, got true"),
        ("scan", '"just text"', ""),
        ("scan", '{"numeroReferencia":"1","numeroReferencia":"2"}', ""),
        ("pay", '{"estado":"PAGADO"}', "numeroReferencia"),
        ("pay", '{"numeroReferencia":"1"}', "estado"),
        ("pay", '{"numeroReferencia":"1","estado":3}', ""),
        ("pay", '{"numeroReferencia":"1","estado":null}', ""),
        ("status", '{"numeroReferencia":"1","estado":"PAGADO","moneda":5}', ""),
        ("status", '{"numeroReferencia":"1","estado":"PAGADO","mensaje":[]}', ""),
        ("status", '{"estado":"PAGADO"}', "numeroReferencia"),
    ],
)
def test_payload_shape_failures_are_decode_errors(op: str, data: str, names: str) -> None:
    error = error_of(parse(op, INPUTS[op], 200, envelope_body(data)))
    assert set(error) == {"kind", "message", "retryable"}
    assert error["kind"] == "decode" and error["retryable"] is False
    assert error["message"].startswith(SHAPE) and names in error["message"]
    assert error["message"] != SHAPE


# ---------------------------------------------------------------- payout parse (pay and status)

PAYOUT_FULL = (
    '{"numeroReferencia":"00123","transaccionId":"TX-9","fechaHoraTransaccion":"2024-05-01 10:00:00",'
    '"estado":"PAGADO","mensaje":"Pago realizado","importe":150.00,"moneda":"BOB","glosa":"Pago QR",'
    '"cuentaOrigen":"1234567890","titularOrigen":" Empresa SRL ","cuentaDestino":"555666777",'
    '"titularDestino":"Ana P\u00e9rez","ciNitDestino":"4455667","codigoBancoDestino":"1001",'
    '"nombreBancoDestino":"Banco Uno","numOrdenAch":"778899","otro":{"x":1}}'
)
PAYOUT_FULL_RESULT = payout(
    "00123",
    "paid",
    "PAGADO",
    ach_order_number="778899",
    amount="150",
    currency="BOB",
    description="Pago QR",
    message="Pago realizado",
    recipient=recipient(
        account="555666777", bank_code="1001", bank_name="Banco Uno", document_id="4455667", holder="Ana P\u00e9rez"
    ),
    source_account="1234567890",
    source_holder="Empresa SRL",
    transaction_at="2024-05-01 10:00:00",
    transaction_id="TX-9",
)


@pytest.mark.parametrize("op", ["pay", "status"])
@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (PAYOUT_FULL, PAYOUT_FULL_RESULT),
        ('["00123","TX-9","2024-05-01 10:00:00","PAGADO","Pago realizado",150.00,"BOB","Pago QR","1234567890",'
         '" Empresa SRL ","555666777","Ana P\u00e9rez","4455667","1001","Banco Uno","778899"]', PAYOUT_FULL_RESULT),
        ('{"numeroReferencia":12345,"estado":"PAGADO","numOrdenAch":987654321,"cuentaOrigen":1234567,'
         '"transaccionId":1.50}',
         payout("12345", "paid", "PAGADO", ach_order_number="987654321", source_account="1234567",
                transaction_id="1.50")),
        ('{"numeroReferencia":" 42 ","estado":" pagado "}', payout(" 42 ", "paid", " pagado ")),
        ('{"numeroReferencia":"1","estado":"Rechazada"}', payout("1", "rejected", "Rechazada")),
        ('{"numeroReferencia":"1","estado":"en_proceso\\n"}', payout("1", "processing", "en_proceso\n")),
        ('{"numeroReferencia":"1","estado":"EXPIRADO"}', payout("1", "unknown", "EXPIRADO")),
        ('{"numeroReferencia":"1","estado":"TR\u00c1NSITO"}', payout("1", "unknown", "TR\u00c1NSITO")),
        ('{"numeroReferencia":"1","estado":"  "}', payout("1", "unknown", "  ")),
        ('{"numeroReferencia":"1","estado":"REVERTIDO","importe":"12.50"}',
         payout("1", "reversed", "REVERTIDO", amount="12.5")),
        ('{"numeroReferencia":"1","estado":"ERROR","importe":null,"mensaje":" ","glosa":"","moneda":"\\t"}',
         payout("1", "error", "ERROR")),
        ('{"numeroReferencia":"1","estado":"PENDIENTE","transaccionId":false,"cuentaOrigen":[],'
         '"cuentaDestino":{},"ciNitDestino":null,"codigoBancoDestino":true,"numOrdenAch":[1]}',
         payout("1", "pending", "PENDIENTE")),
        ('{"numeroReferencia":"1","estado":"cancelado","transaccionId":"  ","numOrdenAch":" 55 "}',
         payout("1", "cancelled", "cancelado", ach_order_number="55")),
    ],
    ids=["full", "positional", "numbers", "spaces_kept", "mixed_case", "inner_newline", "unknown_word",
         "accented_unknown", "blank_status", "amount_string", "blank_texts", "odd_types_absent", "trimmed_ids"],
)
def test_payout_parse_result(op: str, data: str, expected: Any) -> None:
    assert parse(op, INPUTS[op], 200, envelope_body(data)) == ok(expected)


# ---------------------------------------------------------------- provider failures


def api_error(status: int, message: str, entries: list[tuple[str, str | None]], retryable: bool) -> dict[str, Any]:
    return {
        "errors": [{"code": code, "field": None, "message": text} for text, code in entries],
        "kind": "api",
        "message": message,
        "retryable": retryable,
        "status": status,
    }


def as_ambiguous(error: dict[str, Any]) -> dict[str, Any]:
    return {"errors": error["errors"], "kind": "ambiguous", "message": error["message"], "retryable": False}


PASS_THROUGH = [
    ("code_01", 200, '{"code":"01","message":"Saldo insuficiente"}',
     api_error(200, "Saldo insuficiente", [("Saldo insuficiente", "01")], False)),
    ("error_code_preferred", 500, '{"code":"01","errorCode":"E-77","errorMessage":"a; b","message":"m"}',
     api_error(500, "a; b", [("a", "E-77"), ("b", "E-77")], False)),
    ("data_list", 400, '{"code":"05","message":"x; y","data":["uno",3,"dos"]}',
     api_error(400, "x; y", [("uno", "05"), ("dos", "05")], False)),
    ("status_only", 503, '{"code":"00","message":"mantenimiento"}',
     api_error(503, "mantenimiento", [("mantenimiento", "00")], True)),
    ("no_message", 429, "{}",
     api_error(429, "request failed with HTTP 429", [("request failed with HTTP 429", None)], True)),
    ("plain_text_503", 503, "  Service Unavailable \n", api_error(503, "Service Unavailable", [], True)),
    ("plain_text_400", 400, "bad", api_error(400, "bad", [], False)),
    ("auth_401", 401, '{"error":"invalid_token","error_description":"Token expirado"}',
     {"kind": "authentication", "message": "Token expirado", "retryable": False, "status": 401}),
    ("auth_403_code_96", 403, '{"code":"96","message":"prohibido"}',
     {"kind": "authentication", "message": "prohibido", "retryable": False, "status": 403}),
    ("auth_403_empty", 403, "", {"kind": "authentication", "message": "empty response body", "retryable": False,
                                 "status": 403}),
    ("code_940", 200, '{"code":"940","message":"otro"}', api_error(200, "otro", [("otro", "940")], False)),
    ("code_9", 200, '{"code":"9","message":"otro"}', api_error(200, "otro", [("otro", "9")], False)),
    ("code_spaced_96", 200, '{"code":" 96","message":"otro"}', api_error(200, "otro", [("otro", " 96")], False)),
    ("code_096", 200, '{"code":"096","message":"otro"}', api_error(200, "otro", [("otro", "096")], False)),
    ("error_code_wins_over_96", 200, '{"code":"96","errorCode":"01","message":"m"}',
     api_error(200, "m", [("m", "01")], False)),
]


@pytest.mark.parametrize("op", ["scan", "pay", "status"])
@pytest.mark.parametrize(("status", "body", "expected"), [c[1:] for c in PASS_THROUGH],
                         ids=[c[0] for c in PASS_THROUGH])
def test_provider_failures_pass_through(op: str, status: int, body: str, expected: Any) -> None:
    assert parse(op, INPUTS[op], status, body) == err(expected)


@pytest.mark.parametrize("op", ["scan", "pay", "status"])
@pytest.mark.parametrize("body", ["", "   ", "<html>ok</html>", '{"code":"00"'])
def test_success_status_with_non_json_body_is_a_decode_error(op: str, body: str) -> None:
    error = error_of(parse(op, INPUTS[op], 200, body))
    assert set(error) == {"kind", "message", "retryable"}
    assert error["kind"] == "decode" and error["retryable"] is False
    assert error["message"].startswith("invalid JSON body: ") and "line" in error["message"]


AMBIGUOUS = [
    ("code_96", 200, '{"code":"96","message":"Tiempo de espera agotado"}',
     api_error(200, "Tiempo de espera agotado", [("Tiempo de espera agotado", "96")], False)),
    ("code_94", 200, '{"code":"94","errorMessage":"Duplicado"}',
     api_error(200, "Duplicado", [("Duplicado", "94")], False)),
    ("error_code_94", 502, '{"errorCode":"94","message":"m1; m2"}',
     api_error(502, "m1; m2", [("m1", "94"), ("m2", "94")], True)),
    ("error_code_96_over_code", 200, '{"code":"01","errorCode":"96","message":"m"}',
     api_error(200, "m", [("m", "96")], False)),
    ("status_5xx_code_96", 504, '{"code":"96","data":["a","b"],"message":"m"}',
     api_error(504, "m", [("a", "96"), ("b", "96")], False)),
    ("no_message", 500, '{"code":"96"}',
     api_error(500, "request failed with HTTP 500", [("request failed with HTTP 500", "96")], False)),
]


@pytest.mark.parametrize(("status", "body", "api"), [c[1:] for c in AMBIGUOUS], ids=[c[0] for c in AMBIGUOUS])
def test_pay_codes_94_and_96_are_ambiguous(status: int, body: str, api: dict[str, Any]) -> None:
    assert parse("pay", PAY_IN, status, body) == err(as_ambiguous(api))


@pytest.mark.parametrize("op", ["scan", "status"])
@pytest.mark.parametrize(("status", "body", "api"), [c[1:] for c in AMBIGUOUS], ids=[c[0] for c in AMBIGUOUS])
def test_codes_94_and_96_stay_api_outside_pay(op: str, status: int, body: str, api: dict[str, Any]) -> None:
    assert parse(op, INPUTS[op], status, body) == err(api)


def test_pay_numeric_code_96_is_no_code_at_all() -> None:
    data = '{"code":96,"data":{"numeroReferencia":"9","estado":"PAGADO"}}'
    assert parse("pay", PAY_IN, 200, data) == ok(payout("9", "paid", "PAGADO"))


def test_pay_504_without_json_stays_a_retryable_api_error() -> None:
    assert parse("pay", PAY_IN, 504, "Gateway Timeout") == err(api_error(504, "Gateway Timeout", [], True))


# ---------------------------------------------------------------- positional envelopes and records

TOKEN_ARRAY = ["tok-abc", "Bearer", 1700000000, None]


@pytest.mark.parametrize(
    ("op", "inp", "path", "body"),
    [
        ("scan", [" qr "], "/payout/sync/v3/qr/scan", '{"imagen":"qr"}'),
        ("status", ["0042"], "/payout/sync/v3/qr/status/0042", None),
        (
            "pay",
            [["123", num("0"), None, None, [None, None, None, None, None], None], "1234567890", "tx-1", "25.50",
             " glosa "],
            "/payout/sync/v3/qr/confirm",
            pay_body("25.5", "glosa"),
        ),
        (
            "pay",
            [["123", "150.00", "BOB", "Factura", {}, "2024-12-31"], "1234567890", "tx-1", None, None],
            "/payout/sync/v3/qr/confirm",
            pay_body("0.00"),
        ),
    ],
    ids=["scan", "status", "pay_open", "pay_fixed"],
)
def test_positional_build_envelope_and_input(op: str, inp: Any, path: str, body: str | None) -> None:
    payload = dumps([["cli-42", None, None, "sandbox", None], TOKEN_ARRAY, inp])
    assert _native.call(f"payouts.{op}.build", payload) == request("POST" if body else "GET", path, body)


@pytest.mark.parametrize(
    ("op", "inp", "data", "expected"),
    [
        ("scan", ["qr"], '{"numeroReferencia":5}', scanned_result(reference="5")),
        ("status", ["5"], '{"numeroReferencia":5,"estado":"COMPLETADO"}', payout("5", "paid", "COMPLETADO")),
        ("pay", [["5", "1", None, "d", {}, None], "1234567890", "tx-1", None, None],
         '{"numeroReferencia":5,"estado":"ENVIADO"}', payout("5", "processing", "ENVIADO")),
    ],
    ids=["scan", "status", "pay"],
)
def test_positional_parse_envelope_and_response(op: str, inp: Any, data: str, expected: Any) -> None:
    payload = dumps([inp, [200, envelope_body(data)]])
    assert _native.call(f"payouts.{op}.parse", payload) == ok(expected)


def test_scanned_result_feeds_pay_unchanged() -> None:
    # The scan result is the `scanned` part of the pay input, as returned.
    data = '{"numeroReferencia":"314","importe":"99.90","glosa":"Agua","cuentaDestino":12}'
    scanned_qr = json.loads(parse("scan", SCAN_IN, 200, envelope_body(data)))["value"]
    inp = {"scanned": scanned_qr, "source_account": "1234567890", "transaction_id": "tx-1", "amount": "99.9"}
    assert build("pay", inp) == request("POST", "/payout/sync/v3/qr/confirm", pay_body("0.00", reference="314"))
