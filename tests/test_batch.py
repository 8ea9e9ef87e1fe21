"""Batch transfers through `call`: bank list, batch authorisation and batch status."""

from __future__ import annotations

import json
import re
from typing import Any

import pytest

from quorvel_bo.payouts._native import call

CONFIG = {"client_id": "client-7"}
TOKEN = {"access_token": "tok-123", "token_type": "Bearer", "expires_at": 1_900_000_000}
PROCESS_ID = "123e4567-e89b-12d3-a456-426614174000"
WEBHOOK_TOKEN = "Abc-def_ghi.jkl~0"
PREFIX = "https://api-test.quorvel.bo/sandbox/payout/async/v3/"
HEADERS = {
    "Accept": "application/json",
    "Authorization": "Bearer tok-123",
    "Content-Type": "application/json",
    "access_token": "tok-123",
    "branchCode": "LPZ-01",
    "client_id": "client-7",
}
ID_RULE = "1 to 20 letters, digits, `-` or `_`"
CITIES = "one of CBB, COB, LPZ, ORU, POT, SCZ, SUC, TJA, TRI"
EXACTLY_ONE = "give exactly one of batch_number or transaction_id"
POSITION = r" at line \d+ column \d+"


def compact(obj: Any) -> str:
    return json.dumps(obj, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def ok(value: Any) -> str:
    return compact({"ok": True, "value": value})


def failure(kind: str, message: str, **fields: Any) -> str:
    return compact({"error": {"kind": kind, "message": message, "retryable": False, **fields}, "ok": False})


def invalid(field: str, message: str) -> str:
    return failure("validation", message, field=field)


def build(op: str, data: dict[str, Any], token: Any = TOKEN, raw: dict[str, str] | None = None) -> str:
    """Runs a build stage; `raw` swaps placeholder strings for literal JSON text (amounts such as 12.50)."""
    payload = json.dumps({"config": CONFIG, "token": token, "input": data})
    for placeholder, text in (raw or {}).items():
        payload = payload.replace(json.dumps(placeholder), text)
    return call(f"batch.{op}.build", payload)


def parse(op: str, data: dict[str, Any], body: Any, status: int = 200) -> str:
    text = body if isinstance(body, str) else json.dumps(body)
    return call(f"batch.{op}.parse", json.dumps({"input": data, "response": {"status": status, "body": text}}))


def request(method: str, path: str, body: str | None = None) -> str:
    return ok({"body": body, "headers": HEADERS, "method": method, "url": PREFIX + path})


def transfer(**changes: Any) -> dict[str, Any]:
    t = {
        "transaction_id": "TX-0001",
        "amount": "150.00",
        "date": "2024-02-29",
        "source_account": "1000200030",
        "destination_account": "4000500060",
        "bank_code": "1014",
        "branch_city": "LPZ",
        "description": "Salary",
        "recipient_document_id": "4455667LP",
        "recipient_name": "Ana Perez",
    }
    t.update(changes)
    return t


def batch(*transfers: dict[str, Any], **changes: Any) -> dict[str, Any]:
    b = {
        "branch_code": "LPZ-01",
        "process_id": PROCESS_ID,
        "webhook_url": "https://hooks.example.com/batch",
        "webhook_token": WEBHOOK_TOKEN,
        "transfers": list(transfers) if transfers else [transfer()],
    }
    b.update(changes)
    return b


def sent_body(result: str) -> dict[str, Any]:
    doc = json.loads(result)
    assert doc["ok"] is True, result
    body: dict[str, Any] = json.loads(doc["value"]["body"])
    return body


def status_query(**changes: Any) -> dict[str, Any]:
    return {"branch_code": "LPZ-01", "process_id": PROCESS_ID, **changes}


# --- bank list -------------------------------------------------------------------------------------------------


def test_banks_build_is_a_bodiless_post() -> None:
    assert build("banks", {"branch_code": "LPZ-01"}) == request("POST", "bancos")


@pytest.mark.parametrize("branch_code", ["", "A" * 21, "LPZ 01", "LPZ\u00d101"])
def test_banks_build_refuses_branch_code(branch_code: str) -> None:
    assert build("banks", {"branch_code": branch_code}) == invalid("branch_code", ID_RULE)


def test_banks_parse_reads_lenient_codes_and_blank_names() -> None:
    body = {"code": "00", "data": [{"codigoBanco": 1014, "descripcion": "   "},
                                   {"codigoBanco": "0023", "descripcion": "  Banco Sol "}]}
    assert parse("banks", {"branch_code": "X"}, body) == ok([{"code": "1014", "name": None},
                                                             {"code": "0023", "name": "Banco Sol"}])


def test_banks_parse_of_empty_list() -> None:
    assert parse("banks", {"branch_code": "X"}, {"code": "00", "data": []}) == ok([])


def test_banks_parse_element_without_code_is_a_decode_error() -> None:
    body = {"code": "00", "data": [{"codigoBanco": "1"}, {"descripcion": "x"}]}
    assert parse("banks", {"branch_code": "X"}, body) == failure(
        "decode", "unexpected payload shape: missing field `codigoBanco`")


def test_banks_parse_object_instead_of_list_is_a_decode_error() -> None:
    doc = json.loads(parse("banks", {"branch_code": "X"}, {"code": "00", "data": {"codigoBanco": "1"}}))
    assert doc["ok"] is False
    assert doc["error"]["kind"] == "decode"
    assert doc["error"]["message"].startswith("unexpected payload shape: ")


# --- missing access token ---------------------------------------------------------------------------------------

TOKEN_MISSING = invalid("token", "an access token is required for this operation")


@pytest.mark.parametrize(
    ("op", "data"),
    [("banks", {"branch_code": "LPZ-01"}), ("authorize", batch()), ("status", status_query(batch_number="77"))],
)
@pytest.mark.parametrize("token", [None, "absent"])
def test_build_without_token(op: str, data: dict[str, Any], token: Any) -> None:
    if token == "absent":
        result = call(f"batch.{op}.build", json.dumps({"config": CONFIG, "input": data}))
    else:
        result = build(op, data, token=None)
    assert result == TOKEN_MISSING


@pytest.mark.parametrize(
    ("op", "data", "expected"),
    [
        ("banks", {"branch_code": ""}, invalid("branch_code", ID_RULE)),
        ("authorize", batch(transfer(), transfer(transaction_id="TX-2", bank_code="10a1")), invalid("transfers.bank_code",
                                                                              "must be 3 to 8 digits")),
        ("authorize", batch(transfers=[]), invalid("transfers", "at least one transfer")),
        ("status", status_query(), invalid("batch_number", EXACTLY_ONE)),
    ],
)
def test_input_errors_come_before_the_token_error(op: str, data: dict[str, Any], expected: str) -> None:
    assert build(op, data, token=None) == expected


# --- batch authorisation: the request -------------------------------------------------------------------------


def test_authorize_build_is_exact() -> None:
    data = batch(
        transfer(transaction_id="A-1", amount="@a@", branch_city=" lpz ", description="  Salary March \t",
                 recipient_name="\u00a0Ana P\u00e9rez  "),
        transfer(transaction_id="a-1", amount=" 7 ", currency="USD", branch_city="scz"),
        webhook_url="https://hooks.example.com/cb?src=q",
    )
    body = (
        '{"processId":"123e4567-e89b-12d3-a456-426614174000","transacciones":['
        '{"ciNitDestino":"4455667LP","codeBanco":"1014","codeSucursal":"LPZ","cuentaDestino":"4000500060",'
        '"cuentaOrigen":"1000200030","fechaTransaccion":"2024-02-29","glosa":"Salary March","importe":12.5,'
        '"tipoMoneda":"BOB","titularDestino":"Ana P\u00e9rez","transaccionId":"A-1"},'
        '{"ciNitDestino":"4455667LP","codeBanco":"1014","codeSucursal":"SCZ","cuentaDestino":"4000500060",'
        '"cuentaOrigen":"1000200030","fechaTransaccion":"2024-02-29","glosa":"Salary","importe":7,'
        '"tipoMoneda":"USD","titularDestino":"Ana Perez","transaccionId":"a-1"}],'
        '"webhookUrl":"https://hooks.example.com/cb?src=q&token=Abc-def_ghi.jkl~0"}'
    )
    assert build("authorize", data, raw={"@a@": "12.50"}) == request("POST", "lote/autorizar", body)


@pytest.mark.parametrize(
    ("url", "sent"),
    [
        ("https://h.example/cb", "https://h.example/cb?token=" + WEBHOOK_TOKEN),
        ("http://h.example/cb?a=1&b=2", "http://h.example/cb?a=1&b=2&token=" + WEBHOOK_TOKEN),
        ("https://h.example/cb?", "https://h.example/cb?&token=" + WEBHOOK_TOKEN),
        ("http://", "http://?token=" + WEBHOOK_TOKEN),
        ("https://h.example/" + "p" * (255 - 18 - 7 - len(WEBHOOK_TOKEN)),
         "https://h.example/" + "p" * (255 - 18 - 7 - len(WEBHOOK_TOKEN)) + "?token=" + WEBHOOK_TOKEN),
    ],
)
def test_authorize_webhook_url_carries_the_token(url: str, sent: str) -> None:
    body = sent_body(build("authorize", batch(webhook_url=url)))
    assert len(sent) <= 255
    assert body["webhookUrl"] == sent
    assert list(body) == ["processId", "transacciones", "webhookUrl"]


@pytest.mark.parametrize(
    ("amount", "importe"),
    [("12.50", "12.5"), ('"7"', "7"), ("100.00", "100"), ('"1e3"', "1000"), ("10.500", "10.5"), ("0.01", "0.01"),
     ('" 3.10 "', "3.1")],
)
def test_authorize_importe_is_the_normalised_number(amount: str, importe: str) -> None:
    result = build("authorize", batch(transfer(amount="@a@")), raw={"@a@": amount})
    assert json.loads(result)["value"]["body"].count(f'"importe":{importe},') == 1


def test_authorize_default_currency_is_bob() -> None:
    t = transfer()
    assert "currency" not in t
    assert sent_body(build("authorize", batch(t)))["transacciones"][0]["tipoMoneda"] == "BOB"


# --- batch authorisation: batch-level checks -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("changes", "field", "message"),
    [
        ({"branch_code": "", "process_id": "x"}, "branch_code", ID_RULE),
        ({"branch_code": "B" * 21, "process_id": "x"}, "branch_code", ID_RULE),
        ({"branch_code": "B" * 20, "process_id": PROCESS_ID.replace("-", ""), "webhook_url": "ftp://h"},
         "process_id", "must be a UUID (36 characters)"),
        ({"process_id": "{" + PROCESS_ID + "}"}, "process_id", "must be a UUID (36 characters)"),
        ({"webhook_url": "ftp://h.example/cb", "webhook_token": "short"}, "webhook_url", "must be an http(s) URL"),
        ({"webhook_url": "HTTPS://h.example/cb"}, "webhook_url", "must be an http(s) URL"),
        ({"webhook_url": " https://h.example/cb"}, "webhook_url", "must be an http(s) URL"),
        ({"webhook_url": "https://h.example/cb#frag"}, "webhook_url", "must be an http(s) URL"),
        ({"webhook_url": "https://h.example/cb?a=1#"}, "webhook_url", "must be an http(s) URL"),
        ({"webhook_token": "a" * 15}, "webhook_token", "at least 16 URL-safe characters (letters, digits, - _ . ~)"),
        ({"webhook_token": "abcdefghijklmno+"}, "webhook_token",
         "at least 16 URL-safe characters (letters, digits, - _ . ~)"),
        ({"webhook_token": "abcdefghijklmno/p"}, "webhook_token",
         "at least 16 URL-safe characters (letters, digits, - _ . ~)"),
        ({"webhook_url": "https://h.example/" + "p" * (256 - 18 - 7 - len(WEBHOOK_TOKEN))}, "webhook_url",
         "with the token, at most 255 characters"),
        ({}, "transfers", "at least one transfer"),
    ],
)
def test_authorize_batch_checks_in_order(changes: dict[str, Any], field: str, message: str) -> None:
    # Every case also has an empty transfer list, reported only when the batch fields are fine.
    assert build("authorize", batch(**{"transfers": [], **changes})) == invalid(field, message)


# --- batch authorisation: per-transfer checks ------------------------------------------------------------------


@pytest.mark.parametrize(
    ("changes", "field", "message"),
    [
        ({"transaction_id": "AB"}, "transaction_id", "3 to 14 letters, digits, `-` or `_`"),
        ({"transaction_id": "A" * 15}, "transaction_id", "3 to 14 letters, digits, `-` or `_`"),
        ({"transaction_id": "TX 1"}, "transaction_id", "3 to 14 letters, digits, `-` or `_`"),
        ({"date": "2023-02-29"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "1900-02-29"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-04-31"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-13-01"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-00-10"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-1-05"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024/01/05"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "05-01-2024"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "+024-01-05"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "-024-01-05"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-+1-05"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-01-+5"}, "date", "must be a date as yyyy-mm-dd"),
        ({"date": "2024-01-05 "}, "date", "must be a date as yyyy-mm-dd"),
        ({"source_account": "12345"}, "source_account", "must be 6 to 30 digits"),
        ({"source_account": "1" * 31}, "source_account", "must be 6 to 30 digits"),
        ({"source_account": "+123456"}, "source_account", "must be 6 to 30 digits"),
        ({"destination_account": "123 456"}, "destination_account", "must be 6 to 30 digits"),
        ({"destination_account": ""}, "destination_account", "must be 6 to 30 digits"),
        ({"bank_code": "12"}, "bank_code", "must be 3 to 8 digits"),
        ({"bank_code": "123456789"}, "bank_code", "must be 3 to 8 digits"),
        ({"bank_code": "10a1"}, "bank_code", "must be 3 to 8 digits"),
        ({"branch_city": "La Paz"}, "branch_city", CITIES),
        ({"branch_city": "LP"}, "branch_city", CITIES),
        ({"branch_city": ""}, "branch_city", CITIES),
        ({"description": "   "}, "description", "must not be empty"),
        ({"description": " ab "}, "description", "3 to 80 characters"),
        ({"description": "x" * 81}, "description", "3 to 80 characters"),
        ({"recipient_document_id": "1234"}, "recipient_document_id", "5 to 20 letters, digits, `-` or `_`"),
        ({"recipient_document_id": "123 45"}, "recipient_document_id", "5 to 20 letters, digits, `-` or `_`"),
        ({"recipient_name": ""}, "recipient_name", "must not be empty"),
        ({"recipient_name": "Al"}, "recipient_name", "3 to 80 characters"),
        ({"currency": "usd"}, "currency", "BOB or USD"),
        ({"currency": " USD"}, "currency", "BOB or USD"),
        ({"currency": "EUR"}, "currency", "BOB or USD"),
        ({"amount": 0}, "amount", "must be greater than zero"),
        ({"amount": "0.00"}, "amount", "must be greater than zero"),
        ({"amount": -5}, "amount", "must be greater than zero"),
        ({"amount": "0.001"}, "amount", "at most 2 decimal places are allowed"),
        ({"amount": "10.005"}, "amount", "at most 2 decimal places are allowed"),
    ],
)
def test_authorize_transfer_check(changes: dict[str, Any], field: str, message: str) -> None:
    assert build("authorize", batch(transfer(**changes))) == invalid("transfers." + field, message)


def test_authorize_transfer_checks_run_in_order() -> None:
    # Start with every value wrong, then fix them one at a time: each step must report the next field.
    bad: list[tuple[str, Any, Any]] = [
        ("transaction_id", "X", "TX-9"),
        ("date", "2024-02-30", "2024-02-29"),
        ("source_account", "12", "123456"),
        ("destination_account", "12", "654321"),
        ("bank_code", "1", "1001"),
        ("branch_city", "XYZ", " tja "),
        ("description", "", "abc"),
        ("recipient_document_id", "1", "12345"),
        ("recipient_name", "", "Eva"),
        ("currency", "Bob", "USD"),
        ("amount", "0", "0.5"),
    ]
    t = transfer(**{name: wrong for name, wrong, _ in bad})
    for name, _, right in bad:
        result = json.loads(build("authorize", batch(t)))
        assert result["ok"] is False and result["error"]["field"] == "transfers." + name, result
        t[name] = right
    assert sent_body(build("authorize", batch(t)))["transacciones"][0]["codeSucursal"] == "TJA"


@pytest.mark.parametrize(
    ("changes", "field"),
    [
        ({"transaction_id": "AB", "date": "bad"}, "transaction_id"),
        ({"description": "x", "recipient_name": ""}, "description"),
        ({"currency": "EUR", "amount": 0}, "currency"),
    ],
)
def test_earlier_check_wins_within_a_transfer(changes: dict[str, Any], field: str) -> None:
    assert json.loads(build("authorize", batch(transfer(**changes))))["error"]["field"] == "transfers." + field


@pytest.mark.parametrize(
    ("changes", "sent"),
    [
        ({"transaction_id": "ABC"}, {"transaccionId": "ABC"}),
        ({"transaction_id": "A" * 14}, {"transaccionId": "A" * 14}),
        ({"date": "2000-02-29"}, {"fechaTransaccion": "2000-02-29"}),
        ({"source_account": "1" * 30, "bank_code": "12345678"}, {"cuentaOrigen": "1" * 30, "codeBanco": "12345678"}),
        ({"branch_city": "\u3000cbb\n"}, {"codeSucursal": "CBB"}),
        ({"description": "\u00e9" * 80}, {"glosa": "\u00e9" * 80}),
        ({"recipient_name": "  Eva  "}, {"titularDestino": "Eva"}),
        ({"recipient_document_id": "a_B-1" * 4}, {"ciNitDestino": "a_B-1" * 4}),
    ],
)
def test_authorize_accepts_boundary_values(changes: dict[str, Any], sent: dict[str, Any]) -> None:
    obj = sent_body(build("authorize", batch(transfer(**changes))))["transacciones"][0]
    assert {key: obj[key] for key in sent} == sent


def test_duplicate_transaction_id_fails_on_the_repeat() -> None:
    # The repeat also has a bad date: uniqueness is checked first.
    data = batch(transfer(transaction_id="TX-1"), transfer(transaction_id="TX-2"),
                 transfer(transaction_id="TX-1", date="bad"))
    assert build("authorize", data) == invalid("transfers.transaction_id", "must be unique in the batch")


def test_transaction_ids_differing_in_case_are_distinct() -> None:
    body = sent_body(build("authorize", batch(transfer(transaction_id="tx-1"), transfer(transaction_id="TX-1"))))
    assert [t["transaccionId"] for t in body["transacciones"]] == ["tx-1", "TX-1"]


def test_first_failing_transfer_stops_the_build() -> None:
    third_bad = batch(transfer(transaction_id="T-1"), transfer(transaction_id="T-2"),
                      transfer(transaction_id="T-3", bank_code="10a1"))
    assert build("authorize", third_bad) == invalid("transfers.bank_code", "must be 3 to 8 digits")
    # An earlier transfer's late check beats a later transfer's early check.
    second_bad = batch(transfer(transaction_id="T-1"), transfer(transaction_id="T-2", amount="0.001"),
                       transfer(transaction_id="X"))
    assert build("authorize", second_bad) == invalid("transfers.amount", "at most 2 decimal places are allowed")


@pytest.mark.parametrize(
    ("changes", "pattern"),
    [
        ({"transaction_id": 55}, r"invalid type: integer `55`, expected a string"),
        ({"currency": None}, r"invalid type: null, expected a string"),
        ({"recipient_name": None}, r"invalid type: null, expected a string"),
        ({"amount": True}, r"expected a number, got true"),
        ({"amount": None}, r"expected a number, got null"),
        ({"amount": "1,5"}, r"invalid amount `1,5`: .+"),
    ],
)
def test_authorize_input_decoding_failures(changes: dict[str, Any], pattern: str) -> None:
    doc = json.loads(build("authorize", batch(transfer(**changes))))
    assert doc["ok"] is False and doc["error"]["kind"] == "ffi"
    assert re.fullmatch("invalid payload: " + pattern + POSITION, doc["error"]["message"]), doc


def test_authorize_transfer_missing_a_key_fails_decoding() -> None:
    t = transfer()
    del t["date"]
    doc = json.loads(build("authorize", batch(t)))
    assert re.fullmatch("invalid payload: missing field `date`" + POSITION, doc["error"]["message"]), doc


# --- batch authorisation: the answer ---------------------------------------------------------------------------


def test_authorize_parse_without_transfers() -> None:
    body = {"code": "00", "data": {"nroLote": 9001, "processId": PROCESS_ID}}
    assert parse("authorize", batch(), body) == ok(
        {"batch_number": "9001", "process_id": PROCESS_ID, "transfers": []})


def test_authorize_parse_with_transfers() -> None:
    body = {"code": "00", "data": {"nroLote": " 12 ", "processId": PROCESS_ID, "transacciones": [
        {"transaccionId": 77, "estado": " pagado ", "numeroReferencia": 555, "mensaje": "  "},
        {"transaccionId": "TX-2", "estado": "RECHAZADA", "numeroReferencia": "  ", "mensaje": " sin fondos "},
    ]}}
    assert parse("authorize", batch(), body) == ok({
        "batch_number": " 12 ",
        "process_id": PROCESS_ID,
        "transfers": [
            {"message": None, "raw_status": " pagado ", "reference": "555", "status": "paid",
             "transaction_id": "77"},
            {"message": "sin fondos", "raw_status": "RECHAZADA", "reference": None, "status": "rejected",
             "transaction_id": "TX-2"},
        ],
    })


@pytest.mark.parametrize(
    ("data", "message"),
    [
        ({"processId": PROCESS_ID}, "unexpected payload shape: missing field `nroLote`"),
        ({"nroLote": "1"}, "unexpected payload shape: missing field `processId`"),
    ],
)
def test_authorize_parse_missing_required_key(data: dict[str, Any], message: str) -> None:
    assert parse("authorize", batch(), {"code": "00", "data": data}) == failure("decode", message)


# --- batch status ----------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("query", "path"),
    [
        ({"batch_number": "77"}, "nroLote=77"),
        ({"batch_number": "A" * 20, "transaction_id": None}, "nroLote=" + "A" * 20),
        ({"transaction_id": "TX-0001"}, "transaccionId=TX-0001"),
        ({"batch_number": None, "transaction_id": "T" * 36}, "transaccionId=" + "T" * 36),
        ({"transaction_id": PROCESS_ID}, "transaccionId=" + PROCESS_ID),
    ],
)
def test_status_build_is_a_bodiless_get(query: dict[str, Any], path: str) -> None:
    assert build("status", status_query(**query)) == request("GET", f"lote/estado/{PROCESS_ID}?{path}")


@pytest.mark.parametrize(
    ("data", "field", "message"),
    [
        (status_query(branch_code="", process_id="x"), "branch_code", ID_RULE),
        (status_query(process_id=PROCESS_ID.upper() + " "), "process_id", "must be a UUID (36 characters)"),
        (status_query(), "batch_number", EXACTLY_ONE),
        (status_query(batch_number=None, transaction_id=None), "batch_number", EXACTLY_ONE),
        (status_query(batch_number="1", transaction_id="TX-1"), "batch_number", EXACTLY_ONE),
        (status_query(batch_number="", transaction_id="TX-1"), "batch_number", EXACTLY_ONE),
        (status_query(batch_number=""), "batch_number", ID_RULE),
        (status_query(batch_number="A" * 21), "batch_number", ID_RULE),
        (status_query(batch_number="7 7"), "batch_number", ID_RULE),
        (status_query(transaction_id="T" * 37), "transaction_id", "3 to 36 letters, digits, `-` or `_`"),
        (status_query(transaction_id="TX"), "transaction_id", "3 to 36 letters, digits, `-` or `_`"),
        (status_query(transaction_id=""), "transaction_id", "3 to 36 letters, digits, `-` or `_`"),
    ],
)
def test_status_build_checks(data: dict[str, Any], field: str, message: str) -> None:
    assert build("status", data) == invalid(field, message)


def test_status_parse_reports_every_key() -> None:
    wire = {
        "nroLote": "88", "transaccionId": " TX-1 ", "numeroReferencia": 123, "estado": " en_proceso ",
        "mensaje": " ok ", "cuentaOrigen": 1000200030, "cuentaDestino": "4000500060", "numeroAch": "  ",
        "numeroDestinatario": "9", "ciCliente": "4455667", "nombreCliente": " Ana ",
        "fechaHoraTransaccion": "2024-02-29T10:00:00", "codigoBanco": 1014, "nombreBanco": "Banco Sol",
        "importe": 12.50, "moneda": "BOB",
    }
    body = {"code": "00", "data": {"nroLote": 88, "transacciones": [wire, {"estado": "EXPIRADO"}]}}
    empty = dict.fromkeys(
        ["transaction_id", "reference", "message", "source_account", "destination_account", "ach_number",
         "recipient_number", "recipient_document_id", "recipient_name", "transaction_at", "bank_code",
         "bank_name", "amount", "currency"])
    assert parse("status", status_query(batch_number="88"), body) == ok({
        "batch_number": "88",
        "transfers": [
            {"transaction_id": "TX-1", "reference": "123", "status": "processing", "raw_status": " en_proceso ",
             "message": "ok", "source_account": "1000200030", "destination_account": "4000500060",
             "ach_number": None, "recipient_number": "9", "recipient_document_id": "4455667",
             "recipient_name": "Ana", "transaction_at": "2024-02-29T10:00:00", "bank_code": "1014",
             "bank_name": "Banco Sol", "amount": "12.5", "currency": "BOB"},
            {**empty, "status": "unknown", "raw_status": "EXPIRADO"},
        ],
    })


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        ({"nroLote": 4321}, {"batch_number": "4321", "transfers": []}),
        ({"nroLote": "   "}, {"batch_number": None, "transfers": []}),
        ({}, {"batch_number": None, "transfers": []}),
    ],
)
def test_status_parse_batch_number(data: dict[str, Any], expected: dict[str, Any]) -> None:
    assert parse("status", status_query(batch_number="1"), {"code": "00", "data": data}) == ok(expected)


def test_status_parse_transfer_without_estado_is_a_decode_error() -> None:
    body = {"code": "00", "data": {"transacciones": [{"estado": "PAGADO"}, {"nroLote": 1}]}}
    assert parse("status", status_query(batch_number="1"), body) == failure(
        "decode", "unexpected payload shape: missing field `estado`")


# --- a large batch ---------------------------------------------------------------------------------------------

LARGE = 100_000


def large_batch() -> dict[str, Any]:
    template = transfer()
    return batch(transfers=[{**template, "transaction_id": f"T{i:07d}"} for i in range(LARGE)])


def test_large_batch_builds() -> None:
    transfers = sent_body(build("authorize", large_batch()))["transacciones"]
    assert len(transfers) == LARGE
    assert transfers[0]["transaccionId"] == "T0000000" and transfers[-1]["transaccionId"] == f"T{LARGE - 1:07d}"


def test_large_batch_with_a_late_duplicate_fails() -> None:
    data = large_batch()
    data["transfers"][-1]["transaction_id"] = "T0000000"
    assert build("authorize", data) == invalid("transfers.transaction_id", "must be unique in the batch")
