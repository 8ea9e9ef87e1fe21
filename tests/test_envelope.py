"""The provider's code/data envelope, row by row, through the parse stages of "payouts.status" and "batch.banks"."""

from __future__ import annotations

import json
from collections.abc import Callable

import pytest

from quorvel_bo.payouts._native import call


def doc(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def status_parse(status: int, body: object) -> str:
    """Parses a "payouts.status" response; a non-str body is sent as its JSON text."""
    text = body if isinstance(body, str) else doc(body)
    return call("payouts.status.parse", doc({"input": {"reference": "1"}, "response": {"status": status, "body": text}}))


def banks_parse(status: int, body: object) -> str:
    text = body if isinstance(body, str) else doc(body)
    return call("batch.banks.parse", doc({"input": {"branch_code": "1"}, "response": {"status": status, "body": text}}))


def api(status: int, message: str, entries: list[tuple[str | None, str]], retryable: bool) -> str:
    """An "api" failure; `entries` are (code, message) pairs."""
    errors = [{"code": code, "field": None, "message": text} for code, text in entries]
    error = {"errors": errors, "kind": "api", "message": message, "retryable": retryable, "status": status}
    return doc({"error": error, "ok": False})


def authentication(status: int, message: str) -> str:
    return doc({"error": {"kind": "authentication", "message": message, "retryable": False, "status": status}, "ok": False})


def decode(message: str) -> str:
    return doc({"error": {"kind": "decode", "message": message, "retryable": False}, "ok": False})


WPAYOUT = {"numeroReferencia": "1", "estado": "PAGADO"}
PAYOUT = doc(
    {
        "ok": True,
        "value": {
            "ach_order_number": None,
            "amount": None,
            "currency": None,
            "description": None,
            "message": None,
            "raw_status": "PAGADO",
            "recipient": {"account": None, "bank_code": None, "bank_name": None, "document_id": None, "holder": None},
            "reference": "1",
            "source_account": None,
            "source_holder": None,
            "status": "paid",
            "transaction_at": None,
            "transaction_id": None,
        },
    }
)

# ---------------------------------------------------------------------------------------------
# Success: the code did not fail and the status is 2xx


@pytest.mark.parametrize(
    ("status", "body"),
    [
        (200, {"code": "00", "data": WPAYOUT}),
        (299, {"code": "00", "data": WPAYOUT}),
        (201, {"data": WPAYOUT}),
        # Without "data" (or with data null) the whole body is the payload.
        (200, WPAYOUT),
        (200, {"code": "00", "data": None, **WPAYOUT}),
        # A code that is not text counts as no code at all.
        (200, {"code": 0, **WPAYOUT}),
        (200, {"code": None, "data": WPAYOUT}),
        (200, {"code": ["01"], "data": WPAYOUT}),
        # Error keys do not matter once the code says success.
        (200, {"code": "00", "errorCode": "E1", "errorMessage": "x", "data": WPAYOUT}),
        # A record payload may also come in its positional form.
        (200, {"code": "00", "data": ["1", None, None, "PAGADO"] + [None] * 12}),
    ],
)
def test_success_yields_the_payload(status: int, body: object) -> None:
    assert status_parse(status, body) == PAYOUT


@pytest.mark.parametrize(
    ("body", "value"),
    [
        (
            {"code": "00", "data": [{"codigoBanco": 1, "descripcion": "  "}, {"codigoBanco": "B2", "descripcion": " Banco "}]},
            [{"code": "1", "name": None}, {"code": "B2", "name": "Banco"}],
        ),
        ({"code": "00", "data": []}, []),
        # A bare array serves a list payload directly.
        ([{"codigoBanco": "7"}], [{"code": "7", "name": None}]),
        ("[]", []),
    ],
)
def test_list_payload(body: object, value: object) -> None:
    assert banks_parse(200, body) == doc({"ok": True, "value": value})


# ---------------------------------------------------------------------------------------------
# The provider code fails: "api", never retryable


def test_failed_code_on_200_is_an_api_error_with_one_entry() -> None:
    assert status_parse(200, {"code": "01", "message": "saldo insuficiente"}) == api(
        200, "saldo insuficiente", [("01", "saldo insuficiente")], False
    )


@pytest.mark.parametrize("code", ["", "0", "000", " 00", "00 ", "01", "\u0030\u0030\u00a0"])
def test_any_code_other_than_00_fails_and_is_kept_as_sent(code: str) -> None:
    assert status_parse(200, {"code": code, "data": WPAYOUT}) == api(
        200, "request failed with HTTP 200", [(code, "request failed with HTTP 200")], False
    )


@pytest.mark.parametrize("status", [500, 503, 408, 429])
def test_failed_code_decides_over_a_retryable_status(status: int) -> None:
    assert status_parse(status, {"code": "05", "message": "x"}) == api(status, "x", [("05", "x")], False)


# ---------------------------------------------------------------------------------------------
# The status alone fails: retryable for 5xx, 408 and 429


@pytest.mark.parametrize(
    ("status", "retryable"),
    [(500, True), (503, True), (599, True), (408, True), (429, True), (404, False), (499, False), (400, False),
     (302, False), (199, False), (0, False)],
)
@pytest.mark.parametrize("code", [None, "00", 5])
def test_status_failure_retry_rule(status: int, retryable: bool, code: object) -> None:
    body = {} if code is None else {"code": code}
    provider_code = code if isinstance(code, str) else None
    message = f"request failed with HTTP {status}"
    assert status_parse(status, body) == api(status, message, [(provider_code, message)], retryable)


@pytest.mark.parametrize(("status", "retryable"), [(503, True), (502, True), (408, True), (429, True), (404, False), (418, False)])
def test_plain_text_failure_is_the_trimmed_body_without_entries(status: int, retryable: bool) -> None:
    assert status_parse(status, "  Service Unavailable\r\n") == api(status, "Service Unavailable", [], retryable)


def test_plain_text_is_trimmed_of_unicode_whitespace() -> None:
    assert status_parse(503, "\u3000\u00a0 busy \u2028\u00a0") == api(503, "busy", [], True)


@pytest.mark.parametrize(
    ("body", "expected"),
    [
        ("x" * 1000, "x" * 200),
        ("  \n" + "ab" * 500 + "  ", "ab" * 100),
        # Characters, not bytes: two- and four-byte characters count as one each.
        (" " + "\u00e9" * 300, "\u00e9" * 200),
        ("\U0001f600" * 250, "\U0001f600" * 200),
        ("a" + "\u20ac" * 999, "a" + "\u20ac" * 199),
        ("y" * 200, "y" * 200),
    ],
)
def test_long_plain_text_is_cut_to_200_characters(body: str, expected: str) -> None:
    assert status_parse(502, body) == api(502, expected, [], True)


def test_empty_failure_body_is_reported_as_empty() -> None:
    assert status_parse(500, "   ") == api(500, "empty response body", [], True)


def test_json_body_that_is_not_an_object_names_no_message() -> None:
    message = "request failed with HTTP 500"
    assert status_parse(500, '"oops"') == api(500, message, [(None, message)], True)
    assert status_parse(500, "[1,2]") == api(500, message, [(None, message)], True)


# ---------------------------------------------------------------------------------------------
# Message, provider code and the entries of a failure


@pytest.mark.parametrize(
    ("body", "message", "entries"),
    [
        ({}, "request failed with HTTP 500", [(None, "request failed with HTTP 500")]),
        ({"message": " m "}, "m", [(None, "m")]),
        ({"errorMessage": "first", "message": "second"}, "first", [(None, "first")]),
        # Blank or non-text errorMessage falls through to message.
        ({"errorMessage": "   ", "message": "m"}, "m", [(None, "m")]),
        ({"errorMessage": "\u00a0\u3000", "message": "m"}, "m", [(None, "m")]),
        ({"errorMessage": 7, "message": "m"}, "m", [(None, "m")]),
        ({"errorMessage": True, "message": 1}, "request failed with HTTP 500", [(None, "request failed with HTTP 500")]),
        # Split at every "; ", the message itself stays whole.
        ({"errorMessage": "a; b; c"}, "a; b; c", [(None, "a"), (None, "b"), (None, "c")]),
        ({"errorMessage": "a; ; b"}, "a; ; b", [(None, "a"), (None, ""), (None, "b")]),
        ({"errorMessage": "a;b"}, "a;b", [(None, "a;b")]),
        # The message is trimmed before the split, so a trailing "; " cannot survive.
        ({"errorMessage": "a; b; "}, "a; b;", [(None, "a"), (None, "b;")]),
        # Text elements of a data array are the entries, unchanged; the message is not split.
        ({"message": "a; b", "data": ["x", 5, "y"]}, "a; b", [(None, "x"), (None, "y")]),
        ({"message": "m", "data": [" a ", "", None]}, "m", [(None, " a "), (None, "")]),
        # A data value without text elements gives no entries: back to the split.
        ({"message": "a; b", "data": [1, 2]}, "a; b", [(None, "a"), (None, "b")]),
        ({"message": "a; b", "data": {"x": "y"}}, "a; b", [(None, "a"), (None, "b")]),
        ({"message": "m", "data": "text"}, "m", [(None, "m")]),
        # A message found in JSON is never shortened.
        ({"message": "m" * 300}, "m" * 300, [(None, "m" * 300)]),
    ],
)
def test_failure_message_and_entries(body: object, message: str, entries: list[tuple[str | None, str]]) -> None:
    assert status_parse(500, body) == api(500, message, entries, True)


@pytest.mark.parametrize(
    ("body", "code", "retryable"),
    [
        ({"errorCode": "E1", "code": "C1", "message": "m"}, "E1", False),
        ({"errorCode": " E1 ", "message": "m"}, "E1", True),
        ({"errorCode": "  ", "code": "C1", "message": "m"}, "C1", False),
        ({"errorCode": 12, "code": "C1", "message": "m"}, "C1", False),
        ({"code": " C1 ", "message": "m"}, " C1 ", False),
        # errorCode never decides retrying: only the code does.
        ({"errorCode": "E1", "code": "00", "message": "m"}, "E1", True),
    ],
)
def test_provider_code_of_the_entries(body: object, code: str, retryable: bool) -> None:
    assert status_parse(503, body) == api(503, "m", [(code, "m")], retryable)


def test_provider_code_is_copied_to_every_entry() -> None:
    assert status_parse(200, {"code": "07", "errorMessage": "a; b", "data": None}) == api(
        200, "a; b", [("07", "a"), ("07", "b")], False
    )


# ---------------------------------------------------------------------------------------------
# 401 and 403: "authentication", before the body is read as JSON


@pytest.mark.parametrize(
    ("status", "body", "message"),
    [
        (401, {"error": "invalid_token", "error_description": "The token expired"}, "The token expired"),
        (401, {"error": "invalid_token", "message": "m"}, "m"),
        (401, {"error": " invalid_token "}, "invalid_token"),
        (401, {"error_description": "  ", "message": 1, "error": "e"}, "e"),
        (401, {"error_description": "d" * 300}, "d" * 300),
        # A code of "00" or a payload changes nothing.
        (401, {"code": "00", "data": WPAYOUT, "message": "m"}, "m"),
        # JSON without a usable key, or no JSON at all: the body's preview.
        (401, {"a": 1}, '{"a":1}'),
        (401, "<html>denied</html>", "<html>denied</html>"),
        (403, " " + "z" * 300, "z" * 200),
        (403, "", "empty response body"),
        (403, " \n\t\u00a0", "empty response body"),
    ],
)
def test_authentication_errors(status: int, body: object, message: str) -> None:
    assert status_parse(status, body) == authentication(status, message)


# ---------------------------------------------------------------------------------------------
# 2xx that cannot be read: "decode"


@pytest.mark.parametrize(
    ("status", "body", "message"),
    [
        (200, "", "invalid JSON body: EOF while parsing a value at line 1 column 1"),
        (204, "", "invalid JSON body: EOF while parsing a value at line 1 column 1"),
        (200, "  ", "invalid JSON body: EOF while parsing a value at line 1 column 3"),
        (200, "{", "invalid JSON body: EOF while parsing an object at line 1 column 2"),
        (200, "OK", "invalid JSON body: expected value at line 1 column 1"),
        (200, '{"code":"00"} x', "invalid JSON body: trailing characters at line 1 column 15"),
        (200, '{\n "a": \u00e9}', "invalid JSON body: expected value at line 2 column 7"),
        (200, '{"\u00e9\u20ac": NaN}', "invalid JSON body: expected value at line 1 column 8"),
    ],
)
def test_unreadable_success_body(status: int, body: str, message: str) -> None:
    assert status_parse(status, body) == decode(message)


@pytest.mark.parametrize(
    ("parse", "body", "description"),
    [
        (status_parse, {"code": "00", "data": {"estado": "PAGADO"}}, "missing field `numeroReferencia`"),
        (status_parse, {"code": "00", "data": {"numeroReferencia": "1", "estado": 3}}, "invalid type: integer `3`, expected a string"),
        (status_parse, {"code": "00", "data": [1]}, "invalid length 1, expected struct WPayout with 16 elements"),
        (status_parse, "null", "invalid type: null, expected struct WPayout"),
        (status_parse, '"x"', 'invalid type: string "x", expected struct WPayout'),
        (status_parse, '{"code":"00","data":{"numeroReferencia":"1","estado":"A","estado":"B"}}', "duplicate field `estado`"),
        (banks_parse, {"code": "00", "data": {"codigoBanco": "1"}}, "invalid type: map, expected a sequence"),
        (banks_parse, {"code": "00", "data": None}, "invalid type: map, expected a sequence"),
        (banks_parse, {"code": "00", "data": [{"descripcion": "x"}]}, "missing field `codigoBanco`"),
    ],
)
def test_payload_of_the_wrong_shape(parse: Callable[[int, object], str], body: object, description: str) -> None:
    out = parse(200, body)
    assert out == decode("unexpected payload shape: " + description)
    assert " at line" not in out
