"""The provider's code/data envelope, row by row, through the parse stages of "payouts.status" and "batch.banks";
a body with a repeated top-level key through five parse stages."""

from __future__ import annotations


import pytest
from conftest import doc, failure

from quorvel_bo.payouts._native import call


def api(status: int, message: str, entries: list[tuple[str | None, str]] | None = None, retryable: bool = True) -> str:
    """An "api" failure; `entries` are (code, message) pairs, by default one entry without a code."""
    entries = [(None, message)] if entries is None else entries
    errors = [{"code": code, "field": None, "message": text} for code, text in entries]
    return failure("api", message, retryable, errors=errors, status=status)


def auth(status: int, message: str) -> str:
    return failure("authentication", message, status=status)


def decode(message: str) -> str:
    return failure("decode", message)


def http(status: int) -> str:
    return f"request failed with HTTP {status}"


W = {"numeroReferencia": "1", "estado": "PAGADO"}
NULL_RECIPIENT = {"account": None, "bank_code": None, "bank_name": None, "document_id": None, "holder": None}
PAYOUT = doc({"ok": True, "value": {
    "ach_order_number": None, "amount": None, "currency": None, "description": None, "message": None,
    "raw_status": "PAGADO", "recipient": NULL_RECIPIENT, "reference": "1", "source_account": None,
    "source_holder": None, "status": "paid", "transaction_at": None, "transaction_id": None}})
SHAPE = "unexpected payload shape: "


@pytest.mark.parametrize(
    ("op", "status", "body", "expected"),
    [
        # Success: the code did not fail and the status is 2xx; without "data" (or with null) the body is the payload.
        ("status", 200, {"code": "00", "data": W}, PAYOUT),
        ("status", 299, {"code": "00", "data": W}, PAYOUT),
        ("status", 201, W, PAYOUT),
        ("status", 200, {"code": "00", "data": None, **W}, PAYOUT),
        ("status", 200, {"code": 0, **W}, PAYOUT),
        ("status", 200, {"code": "00", "errorCode": "E1", "errorMessage": "x", "data": W}, PAYOUT),
        ("banks", 200, {"code": "00", "data": [{"codigoBanco": 1, "descripcion": "  "}, {"codigoBanco": "B2",
                                                                                       "descripcion": " Banco "}]},
         doc({"ok": True, "value": [{"code": "1", "name": None}, {"code": "B2", "name": "Banco"}]})),
        ("banks", 200, "[]", '{"ok":true,"value":[]}'),
        # A failed code is "api", never retryable, whatever the status; the code is kept as sent.
        ("status", 200, {"code": "01", "message": "saldo insuficiente"}, api(200, "saldo insuficiente", [("01", "saldo insuficiente")], False)),
        ("status", 200, {"code": " 00", "data": W}, api(200, http(200), [(" 00", http(200))], False)),
        ("status", 503, {"code": "05", "message": "x"}, api(503, "x", [("05", "x")], False)),
        # The status alone fails: retryable for 5xx, 408 and 429.
        ("status", 500, {}, api(500, http(500))),
        ("status", 65535, {}, api(65535, http(65535))),
        ("status", 408, {"code": 5}, api(408, http(408))),
        ("status", 429, {"code": "00"}, api(429, http(429), [("00", http(429))])),
        ("status", 499, {}, api(499, http(499), retryable=False)),
        ("status", 302, {}, api(302, http(302), retryable=False)),
        ("status", 199, {}, api(199, http(199), retryable=False)),
        ("status", 0, {}, api(0, http(0), retryable=False)),
        # Text that is not JSON: trimmed (Unicode whitespace too), cut to 200 characters, no entries.
        ("status", 503, "\u3000 Service Unavailable\r\n\u00a0", api(503, "Service Unavailable", [])),
        ("status", 418, "teapot", api(418, "teapot", [], False)),
        ("status", 502, " " + "\U0001f600" * 250, api(502, "\U0001f600" * 200, [])),
        ("status", 502, "y" * 200, api(502, "y" * 200, [])),
        ("status", 500, "   ", api(500, "empty response body", [])),
        ("status", 500, '"oops"', api(500, http(500))),
        # The message: errorMessage, then message, trimmed; split at every "; " into the entries.
        ("status", 500, {"message": " m "}, api(500, "m")),
        ("status", 500, {"errorMessage": "first", "message": "second"}, api(500, "first")),
        ("status", 500, {"errorMessage": "\u00a0\u3000", "message": "m"}, api(500, "m")),
        ("status", 500, {"errorMessage": 7, "message": "m"}, api(500, "m")),
        ("status", 500, {"errorMessage": True, "message": 1}, api(500, http(500))),
        ("status", 500, {"errorMessage": "a; ; b"}, api(500, "a; ; b", [(None, "a"), (None, ""), (None, "b")])),
        ("status", 500, {"errorMessage": "a;b"}, api(500, "a;b")),
        ("status", 500, {"errorMessage": "a; b; "}, api(500, "a; b;", [(None, "a"), (None, "b;")])),
        ("status", 500, {"message": "m" * 300}, api(500, "m" * 300)),
        # Text elements of a data array are the entries, unchanged; without any, back to the split.
        ("status", 500, {"message": "a; b", "data": [" x ", 5, ""]}, api(500, "a; b", [(None, " x "), (None, "")])),
        ("status", 500, {"message": "a; b", "data": [1]}, api(500, "a; b", [(None, "a"), (None, "b")])),
        # The entries' code: errorCode (trimmed) before code (as sent); only the code decides retrying.
        ("status", 503, {"errorCode": " E1 ", "code": "C1", "message": "m"}, api(503, "m", [("E1", "m")], False)),
        ("status", 503, {"errorCode": "  ", "code": " C1 ", "message": "m"}, api(503, "m", [(" C1 ", "m")], False)),
        ("status", 503, {"errorCode": "E1", "code": "00", "message": "m"}, api(503, "m", [("E1", "m")])),
        ("status", 200, {"code": "07", "errorMessage": "a; b"}, api(200, "a; b", [("07", "a"), ("07", "b")], False)),
        # 401 and 403: "authentication", whatever the code says; else the body's preview.
        ("status", 401, {"error": "e", "message": "m", "error_description": "expired"}, auth(401, "expired")),
        ("status", 401, {"error": " e ", "error_description": "  ", "message": 1}, auth(401, "e")),
        ("status", 401, {"code": "00", "data": W, "message": "m"}, auth(401, "m")),
        ("status", 401, {"a": 1}, auth(401, '{"a":1}')),
        ("status", 403, " " + "z" * 300, auth(403, "z" * 200)),
        ("status", 403, " \n", auth(403, "empty response body")),
        # 2xx that cannot be read: "decode".
        ("status", 204, "", decode("invalid JSON body: EOF while parsing a value at line 1 column 1")),
        ("status", 200, '{\n "a": \u00e9}', decode("invalid JSON body: expected value at line 2 column 7")),
        ("status", 200, {"code": "00", "data": {"estado": "PAGADO"}}, decode(SHAPE + "missing field `numeroReferencia`")),
        ("status", 200, "null", decode(SHAPE + "invalid type: null, expected struct WPayout")),
        ("banks", 200, {"code": "00", "data": None}, decode(SHAPE + "invalid type: map, expected a sequence")),
        ("banks", 200, [{"descripcion": "x"}], decode(SHAPE + "missing field `codigoBanco`")),
    ],
)
def test_provider_envelope(op: str, status: int, body: object, expected: str) -> None:
    text = body if isinstance(body, str) else doc(body)
    data = {"reference": "1"} if op == "status" else {"branch_code": "1"}
    name = "payouts.status" if op == "status" else "batch.banks"
    assert call(f"{name}.parse", doc({"input": data, "response": {"status": status, "body": text}})) == expected


# A top-level key given twice: readers disagree on which one counts ({"code":"96",...,"code":"00"}
# is "ambiguous" to one and "paid" to another), so the body reads as one that is not JSON.
DUPLICATE_INPUTS: dict[str, object] = {
    "payouts.pay": {"scanned": {"reference": "123", "amount": "10", "recipient": {}}, "source_account": "123456",
                    "transaction_id": "t1"},
    "payouts.status": {"reference": "1"},
    "payouts.scan": {"qr_text": "q"},
    "batch.status": {"branch_code": "1", "process_id": "123e4567-e89b-12d3-a456-426614174000", "batch_number": "7"},
    "batch.banks": {"branch_code": "1"},
}
PAID_THEN_UNKNOWN = '{"code":"96","message":"Tiempo agotado",\n "code":"00","data":{}}'
PADDED = '{"pad":"' + "p" * 5000 + '",\r\n"code":"00",  "code":"96"}'


def duplicate(key: str, line: int, column: int) -> str:
    return decode(f"invalid JSON body: duplicate key `{key}` at line {line} column {column}")


@pytest.mark.parametrize("name", list(DUPLICATE_INPUTS))
@pytest.mark.parametrize(
    ("status", "body", "expected"),
    [
        (200, PAID_THEN_UNKNOWN, duplicate("code", 2, 2)),
        (201, '{"data":{},"code":"00","data":[]}', duplicate("data", 1, 24)),
        # The same key written with an escape is the same key; the position is the repeat's.
        (200, '{"\\u0063ode":"00","c\\u006Fde":"96"}', duplicate("code", 1, 19)),
        (299, '{"a":1,"b":2,"c":3,"b":4,"a":5}', duplicate("b", 1, 20)),
        # Above 4 KiB another reader takes the text; the answer is the same.
        (200, PADDED, duplicate("code", 2, 15)),
        # Not 2xx: the "api" error of a body that is not JSON, retryable by the status alone.
        (500, PAID_THEN_UNKNOWN, api(500, PAID_THEN_UNKNOWN, [])),
        (503, '{"code":"05","code":"05"}', api(503, '{"code":"05","code":"05"}', [])),
        (408, PADDED, api(408, PADDED[:200], [])),
        (418, '{"errorMessage":"a","errorMessage":"b"}', api(418, '{"errorMessage":"a","errorMessage":"b"}', [], False)),
        # 401 and 403: no message is picked out of it; the preview stands in.
        (401, '{"error_description":"expired","error_description":"revoked"}',
         auth(401, '{"error_description":"expired","error_description":"revoked"}')),
        (403, ' {"message":"no",\n"message":"no"} ', auth(403, '{"message":"no",\n"message":"no"}')),
    ],
)
def test_repeated_top_level_key_reads_as_not_json(name: str, status: int, body: str, expected: str) -> None:
    payload = doc({"input": DUPLICATE_INPUTS[name], "response": {"status": status, "body": body}})
    assert call(f"{name}.parse", payload) == expected


@pytest.mark.parametrize(
    ("op", "status", "body", "expected"),
    [
        # Below the top level, keys a record ignores may repeat; a record's own field may not.
        ("status", 200, '{"code":"00","data":{"numeroReferencia":"1","estado":"PAGADO","x":1,"x":2}}', PAYOUT),
        ("status", 200, '{"data":{"numeroReferencia":"1","estado":"PAGADO","estado":"PAGADO"}}',
         decode(SHAPE + "duplicate field `estado`")),
        ("status", 500, '{"message":"m","data":{"a":1,"a":2}}', api(500, "m")),
        ("status", 401, '{"error":"e","data":{"error":"x","error":"y"}}', auth(401, "e")),
        ("banks", 200, '[{"codigoBanco":1,"x":1,"x":2}]', doc({"ok": True, "value": [{"code": "1", "name": None}]})),
    ],
)
def test_repeated_keys_below_the_top_level(op: str, status: int, body: object, expected: str) -> None:
    test_provider_envelope(op, status, body, expected)


# Nesting: 128 levels are read, 129 are refused, by the reader of small texts and by that of texts above 4 KiB.
@pytest.mark.parametrize("pad", [0, 5000])
@pytest.mark.parametrize(
    ("body", "message", "column"),
    [
        ("[" * 128 + "]" * 128, SHAPE + "invalid length 1, expected struct WPayout with 16 elements", None),
        ('{"a":' * 127 + "[]" + "}" * 127, SHAPE + "missing field `numeroReferencia`", None),
        ("[" * 129 + "]" * 129, "invalid JSON body: recursion limit exceeded", 129),
        ('{"data":' * 128 + "{}" + "}" * 128, "invalid JSON body: recursion limit exceeded", 1 + 8 * 128),
    ],
)
def test_nesting_limit_of_provider_bodies(body: str, message: str, column: int | None, pad: int) -> None:
    expected = message if column is None else f"{message} at line 1 column {column + pad}"
    payload = doc({"input": {"reference": "1"}, "response": {"status": 200, "body": " " * pad + body}})
    assert call("payouts.status.parse", payload) == decode(expected)
