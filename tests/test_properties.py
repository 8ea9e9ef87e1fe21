"""Properties of `call` over generated inputs: the shape of every result document, exact text
round trips through the reader and the writer, and amounts held to Python's `decimal`."""

from __future__ import annotations

import copy
import decimal
import json
from typing import Any

from conftest import PROCESS_ID, TRANSFER
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quorvel_bo.payouts import _native

# Sanitized runs are slower; nothing here is about time.
PROPERTY = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])

REMOTE = ["payouts.scan", "payouts.pay", "payouts.status", "batch.authorize", "batch.status", "batch.banks"]
OPERATIONS = [f"{name}.{stage}" for name in REMOTE for stage in ("build", "parse")]
OPERATIONS += ["batch.webhook.parse", "describe", "version"]

ERROR_KEYS = {
    "validation": {"field"},
    "authentication": {"status"},
    "api": {"status", "errors"},
    "ambiguous": {"errors"},
    "decode": set(),
    "webhook_auth": set(),
    "ffi": set(),
}

# The Unicode White_Space property: what the core trims.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"

CONFIG = {"client_id": "cli-1", "environment": "sandbox"}
TOKEN = {"access_token": "tok-1", "token_type": "Bearer", "expires_at": 1_900_000_000}
SCANNED = {"reference": "123", "amount": "0", "currency": "BOB", "description": "Factura 1", "recipient": {}}
INPUTS: dict[str, Any] = {
    "payouts.scan": {"qr_text": "000201010212"},
    "payouts.pay": {"scanned": SCANNED, "source_account": "1234567890", "transaction_id": "tx-1", "amount": "25.50"},
    "payouts.status": {"reference": "104589"},
    "batch.banks": {"branch_code": "SUC-01"},
    "batch.authorize": {"branch_code": "SUC-01", "process_id": PROCESS_ID, "webhook_url": "https://h.example/hook",
                        "webhook_token": "Abc-def_ghi.jkl~0", "transfers": [TRANSFER]},
    "batch.status": {"branch_code": "SUC-01", "process_id": PROCESS_ID, "batch_number": "7781"},
}
PROVIDER_BODY = {"code": "00", "data": {"numeroReferencia": "104589", "estado": "PAGADO", "importe": "1.5",
                                        "nroLote": 7781, "transacciones": [], "codigoBanco": 1001}}

# Words the core reads, so that generated objects reach past the first missing field.
KEYS = sorted({key for record in [CONFIG, TOKEN, TRANSFER, SCANNED, *INPUTS.values(), PROVIDER_BODY["data"]]
               for key in record} | {"config", "token", "input", "response", "status", "body", "code", "data",
                                     "expected_token", "message", "errors", "errorMessage", "errorCode"})


def check_document(text: str) -> dict[str, Any]:
    """Holds a result document to the contract and returns it."""
    document: dict[str, Any] = json.loads(text)
    if document["ok"] is True:
        assert set(document) == {"ok", "value"}, text
    else:
        assert document["ok"] is False and set(document) == {"error", "ok"}, text
        error = document["error"]
        assert set(error) == {"kind", "message", "retryable"} | ERROR_KEYS[error["kind"]], text
        assert isinstance(error["message"], str) and isinstance(error["retryable"], bool), text
        assert not (error["kind"] == "ffi" and error["message"].startswith("core panicked")), text
    return document


json_scalars = st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text()
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=8), inner,
                                                                 max_size=6),
    max_leaves=20,
)


@st.composite
def near_valid_payloads(draw: st.DrawFn) -> tuple[str, str]:
    """A well-formed envelope for an operation with one value somewhere in it replaced."""
    name = draw(st.sampled_from(REMOTE))
    stage = draw(st.sampled_from(["build", "parse"]))
    body = json.dumps(PROVIDER_BODY)
    if stage == "build":
        envelope: Any = {"config": CONFIG, "token": TOKEN, "input": INPUTS[name]}
    else:
        envelope = {"input": INPUTS[name], "response": {"status": 200, "body": body}}
    envelope = copy.deepcopy(envelope)
    node = envelope
    while isinstance(node, (dict, list)) and node and draw(st.booleans()):
        keys = list(node) if isinstance(node, dict) else list(range(len(node)))
        key = draw(st.sampled_from(keys))
        if not isinstance(node[key], (dict, list)) or not node[key] or draw(st.booleans()):
            node[key] = draw(json_values)
            break
        node = node[key]
    return f"{name}.{stage}", json.dumps(envelope, ensure_ascii=draw(st.booleans()))


@settings(PROPERTY, max_examples=600)  # two kinds of payload: the budget of two tests
@given(op=st.sampled_from(OPERATIONS) | st.text(), payload=st.text() | json_values.map(json.dumps))
def test_any_text_or_json_gives_a_well_formed_document(op: str, payload: str) -> None:
    check_document(_native.call(op, payload))


@PROPERTY
@given(case=near_valid_payloads())
def test_nearly_valid_envelopes_give_well_formed_documents(case: tuple[str, str]) -> None:
    check_document(_native.call(*case))


@PROPERTY
@given(case=near_valid_payloads(), data=st.data())
def test_provider_bodies_give_well_formed_documents(case: tuple[str, str], data: st.DataObject) -> None:
    op, payload = case
    envelope = json.loads(payload)
    if op.endswith(".parse") and isinstance(envelope.get("response"), dict):
        envelope["response"]["body"] = data.draw(st.text() | json_values.map(json.dumps))
        envelope["response"]["status"] = data.draw(st.sampled_from([200, 201, 400, 401, 403, 404, 500, 503]))
    check_document(_native.call(op, json.dumps(envelope)))


# --- exact text round trips ---------------------------------------------------------------------------------------

# Any scalar value but a lone surrogate, which a Python str may hold and UTF-8 may not.
unicode_text = st.text(st.characters(exclude_categories=["Cs"]))


@PROPERTY
@given(text=unicode_text)
def test_writer_round_trips_an_unknown_operation_name(text: str) -> None:
    op = "?" + text
    document = check_document(_native.call(op, ""))
    assert document["error"] == {"kind": "ffi", "message": f"unknown operation `{op}`", "retryable": False}


@PROPERTY
@given(text=unicode_text, ascii_escapes=st.booleans())
def test_reader_and_writer_round_trip_a_request_body(text: str, ascii_escapes: bool) -> None:
    assume(text.strip(WHITE_SPACE))
    envelope = {"config": CONFIG, "token": TOKEN, "input": {"qr_text": text}}
    document = check_document(_native.call("payouts.scan.build", json.dumps(envelope, ensure_ascii=ascii_escapes)))
    # The request body is JSON text inside the result's JSON: written twice, read back twice.
    assert json.loads(document["value"]["body"]) == {"imagen": text.strip(WHITE_SPACE)}


@PROPERTY
@given(text=unicode_text, ascii_escapes=st.booleans())
def test_reader_and_writer_round_trip_a_provider_text(text: str, ascii_escapes: bool) -> None:
    body = json.dumps({"code": "00", "data": {"numeroReferencia": "1", "glosa": text}}, ensure_ascii=ascii_escapes)
    payload = {"input": INPUTS["payouts.scan"], "response": {"status": 200, "body": body}}
    document = check_document(_native.call("payouts.scan.parse", json.dumps(payload, ensure_ascii=not ascii_escapes)))
    assert document["value"]["description"] == (text.strip(WHITE_SPACE) or None)


# --- amounts against Python's decimal -----------------------------------------------------------------------------

EXACT = decimal.Context(prec=200, Emax=10**6, Emin=-(10**6))
MANTISSA_LIMIT = 2**96
MAX_SCALE = 28


def expected_amount(value: decimal.Decimal) -> str | None:
    """The normalised plain text of `value`, or None when no mantissa below 2^96 with a scale of
    0 to 28 holds it exactly."""
    if value.is_zero():
        return "0"
    normal = value.normalize(EXACT)
    sign, digits, exponent = normal.as_tuple()
    assert isinstance(exponent, int)
    coefficient = int("".join(map(str, digits)))
    if exponent >= 0:
        if coefficient * 10**exponent >= MANTISSA_LIMIT:
            return None
    elif -exponent > MAX_SCALE or coefficient >= MANTISSA_LIMIT:
        return None
    return format(normal, "f")


@st.composite
def decimal_texts(draw: st.DrawFn, json_number: bool) -> str:
    """Decimal texts around the edges of the domain, in plain or scientific notation."""
    digits = draw(st.sampled_from([1, 2, 15, 27, 28, 29, 30, 40]))
    coefficient = draw(
        st.integers(0, 10**digits - 1)
        | st.sampled_from([MANTISSA_LIMIT - 1, MANTISSA_LIMIT, MANTISSA_LIMIT * 10 - 10, 10**28, 10**29])
    )
    trailing_zeros = draw(st.integers(0, 3))
    text = str(coefficient) + "0" * trailing_zeros
    point = draw(st.integers(0, len(text)))
    if point and draw(st.booleans()):
        integer, fraction = text[: len(text) - point], text[len(text) - point :]
        text = (integer.lstrip("0") or "0") + "." + fraction
    else:
        text = text.lstrip("0") or "0"
    if draw(st.booleans()):
        text += draw(st.sampled_from(["e", "E"])) + draw(st.sampled_from(["", "-", "+"])) + str(draw(st.integers(0, 40)))
    if draw(st.booleans()):
        text = "-" + text
    if not json_number:
        # Plain text forms a JSON number may not take, and the whitespace the reader trims.
        if text.startswith("0.") and draw(st.booleans()):
            text = text[1:]
        elif draw(st.booleans()) and not text.startswith("-"):
            text = "+" + text
        text = draw(st.sampled_from(["", " ", "\u00a0"])) + text + draw(st.sampled_from(["", "\t", "\u3000"]))
    return text


def scan_with_amount(importe_json: str) -> dict[str, Any]:
    body = '{"code":"00","data":{"numeroReferencia":"1","importe":%s}}' % importe_json
    payload = {"input": INPUTS["payouts.scan"], "response": {"status": 200, "body": body}}
    return check_document(_native.call("payouts.scan.parse", json.dumps(payload)))


@PROPERTY
@given(data=st.data(), as_string=st.booleans())
def test_amounts_parse_normalise_and_render_like_decimal(data: st.DataObject, as_string: bool) -> None:
    text = data.draw(decimal_texts(json_number=not as_string))
    document = scan_with_amount(json.dumps(text) if as_string else text)
    expected = expected_amount(decimal.Decimal(text.strip(WHITE_SPACE)))
    if expected is None:
        assert document["ok"] is False and document["error"]["kind"] == "decode", (text, document)
        assert f"invalid amount `{text.strip(WHITE_SPACE)}`" in document["error"]["message"]
    else:
        assert document["ok"] is True and document["value"]["amount"] == expected, (text, document)


def representable(text: str) -> bool:
    return expected_amount(decimal.Decimal(text)) is not None


@st.composite
def amount_pairs(draw: st.DrawFn) -> tuple[str, str]:
    """Two amounts in the domain: often the same value written differently, sometimes a neighbour."""
    first = draw(decimal_texts(json_number=True).filter(representable))
    value = decimal.Decimal(first)
    how = draw(st.sampled_from(["same", "rescaled", "scientific", "neighbour", "other"]))
    if how == "same":
        second = first
    elif how == "rescaled":
        second = format(value.quantize(decimal.Decimal(1).scaleb(-draw(st.integers(0, 28))), context=EXACT), "f")
    elif how == "scientific":
        second = format(value, "e") if not value.is_zero() else "0e5"
    elif how == "neighbour":
        step = decimal.Decimal(1).scaleb(-draw(st.integers(0, 28)))
        second = format(EXACT.add(value, step) if draw(st.booleans()) else EXACT.subtract(value, step), "f")
    else:
        second = draw(decimal_texts(json_number=True))
    assume(representable(second) and not decimal.Decimal(second).is_zero() and not value.is_zero())
    return first, second


def pay_build(qr_amount: str, amount: str) -> dict[str, Any]:
    """A payment of the amounts as written (JSON texts) on a QR."""
    scanned = '{"reference":"123","amount":%s,"description":"Factura","recipient":{}}' % qr_amount
    payload = '{"config":%s,"token":%s,"input":{"scanned":%s,"source_account":"1234567890","transaction_id":"tx-1",' \
              '"amount":%s}}' % (json.dumps(CONFIG), json.dumps(TOKEN), scanned, amount)
    return check_document(_native.call("payouts.pay.build", payload))


@PROPERTY
@given(pair=amount_pairs())
def test_amounts_compare_like_decimal(pair: tuple[str, str]) -> None:
    qr_amount, caller_amount = pair
    # A fixed-amount QR takes a caller amount only when it is the same value.
    document = pay_build(qr_amount, caller_amount)
    assert document["ok"] is (decimal.Decimal(qr_amount) == decimal.Decimal(caller_amount)), (pair, document)


@PROPERTY
@given(text=decimal_texts(json_number=True))
def test_open_amounts_are_sent_as_normalised_numbers(text: str) -> None:
    document = pay_build('"0"', text)
    value = decimal.Decimal(text)
    expected = expected_amount(value)
    if expected is None:
        assert document["error"]["kind"] == "ffi", (text, document)
    elif value <= 0:
        assert document["error"]["message"] == "must be greater than zero", (text, document)
    elif value.normalize(EXACT).as_tuple().exponent < -2:  # type: ignore[operator]
        assert document["error"]["message"] == "at most 2 decimal places are allowed", (text, document)
    else:
        body = document["value"]["body"]
        assert f'"importe":{expected},' in body, (text, body)
