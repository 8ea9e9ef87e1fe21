"""The call protocol through `call`: built-ins, routing, result documents, envelopes, configuration, headers;
the reader's two parsers around the size where it switches, and the positional form of records."""

from __future__ import annotations

import json
from typing import Any

import pytest
from conftest import doc, failure

from quorvel_bo.payouts._native import call

CONFIG: dict[str, Any] = {"client_id": "cid"}
TOKEN: dict[str, Any] = {"access_token": "tk", "token_type": "Bearer", "expires_at": 1}
REF: dict[str, Any] = {"reference": "1"}
PATH = "payout/sync/v3/qr/status/1"
SANDBOX = "https://api-test.quorvel.bo/sandbox"
PAYOUT_BODY = '{"estado":"PAGADO","numeroReferencia":"1"}'
PARSED = call("payouts.status.parse", json.dumps({"input": REF, "response": {"status": 200, "body": PAYOUT_BODY}}))


def ffi(message: str) -> str:
    return failure("ffi", message)


def build(config: object = CONFIG, token: object = TOKEN, inp: object = REF, **extra: object) -> str:
    return doc({"config": config, "token": token, "input": inp, **extra})


def parse(status: object, body: object = "", inp: object = REF) -> str:
    return doc({"input": inp, "response": {"status": status, "body": body}})


STATUS_REQUEST = (
    '{"ok":true,"value":{"body":null,"headers":{"Accept":"application/json","Authorization":"Bearer tk",'
    '"Content-Type":"application/json","access_token":"tk","client_id":"cid"},"method":"GET",'
    '"url":"https://api-test.quorvel.bo/sandbox/payout/sync/v3/qr/status/1"}}'
)
TOKEN_REQUIRED = failure("validation", "an access token is required for this operation", field="token")
CATALOGUE = (
    '{"ok":true,"value":[{"idempotent":true,"kind":"operation","name":"payouts.scan","timeout_secs":40},'
    '{"idempotent":false,"kind":"operation","name":"payouts.pay","timeout_secs":90},'
    '{"idempotent":true,"kind":"operation","name":"payouts.status","timeout_secs":90},'
    '{"idempotent":false,"kind":"operation","name":"batch.authorize"},{"idempotent":true,"kind":"operation",'
    '"name":"batch.status"},{"idempotent":true,"kind":"operation","name":"batch.banks"},'
    '{"kind":"handler","name":"batch.webhook.parse"}]}'
)


@pytest.mark.parametrize("payload", ["not json", build()])
@pytest.mark.parametrize(
    ("op", "expected"), [("describe", CATALOGUE), ("version", '{"ok":true,"value":{"core":"0.1.0","protocol":2}}')]
)
def test_builtins_are_exact_and_ignore_the_payload(op: str, expected: str, payload: str) -> None:
    assert call(op, payload) == expected


# The payload is not JSON: the operation and stage are refused before it is read.
@pytest.mark.parametrize(
    ("op", "message"),
    [
        ("Describe", "unknown operation `Describe`"), ("", "unknown operation ``"),
        ("payouts.scan", "unknown operation `payouts.scan`"), ("payouts.statusbuild", "unknown operation `payouts.statusbuild`"),
        ("payouts.payment.build", "unknown operation `payouts.payment.build`"),
        ("batch.webhook.parse.build", "unknown operation `batch.webhook.parse.build`"),
        ('a"b\\c\x01\x1f\n', 'unknown operation `a"b\\c\x01\x1f\n`'),
        ("payouts.scan.", "unknown stage `` for `payouts.scan`"), ("batch.banks.\u00e9", "unknown stage `\u00e9` for `batch.banks`"),
        ("payouts.scan.BUILD", "unknown stage `BUILD` for `payouts.scan`"),
        ("payouts.scan.build.x", "unknown stage `build.x` for `payouts.scan`"),
        ("payouts.status..build", "unknown stage `.build` for `payouts.status`"),
    ],
)
def test_unknown_operations_and_stages(op: str, message: str) -> None:
    assert call(op, "{") == ffi(message)


PAY_INPUT = {"scanned": {"reference": "123", "amount": "10", "recipient": {}}, "source_account": "123456",
             "transaction_id": "t1"}
ERROR_KINDS = {
    "validation": ("payouts.status.build", build(token=None), ["field", "kind", "message", "retryable"]),
    "authentication": ("payouts.status.parse", parse(401), ["kind", "message", "retryable", "status"]),
    "api": ("payouts.status.parse", parse(503, "busy"), ["errors", "kind", "message", "retryable", "status"]),
    "ambiguous": ("payouts.pay.parse", parse(500, '{"code":"94"}', PAY_INPUT), ["errors", "kind", "message", "retryable"]),
    "decode": ("payouts.status.parse", parse(200), ["kind", "message", "retryable"]),
    "webhook_auth": ("batch.webhook.parse", doc({"token": "a", "body": "{}", "expected_token": "b"}),
                     ["kind", "message", "retryable"]),
    "ffi": ("nope", "", ["kind", "message", "retryable"]),
}


@pytest.mark.parametrize("kind", list(ERROR_KINDS))
def test_error_kind_catalogue(kind: str) -> None:
    op, payload, keys = ERROR_KINDS[kind]
    out = call(op, payload)
    assert out.startswith('{"error":{') and out.endswith(',"ok":false}')
    error = json.loads(out)["error"]
    assert (list(error), error["kind"], error["retryable"]) == (keys, kind, kind == "api")


TOKEN_AT = '{"config":{"client_id":"c"},"input":{"reference":"1"},"token":'  # the token starts at column 63
RESPONSE_AT = '{"input":{"reference":"1"},"response":'  # the response starts at column 39
ENVIRONMENT_AT = '{"config":{"client_id":"c","environment":'  # the environment starts at column 42


@pytest.mark.parametrize(
    ("op", "payload", "description"),
    [
        ("build", "", "EOF while parsing a value at line 1 column 1"),
        ("build", "   \n ", "EOF while parsing a value at line 2 column 2"),
        ("build", "{}", "missing field `config` at line 1 column 1"),
        ("parse", '{"input":{"reference":"1"}}', "missing field `response` at line 1 column 1"),
        ("build", '{"config":{}}', "missing field `client_id` at line 1 column 11"),
        ("build", '{"token":null,"config":{"client_id":"a"},"input":{"reference":"1"},"token":null}',
         "duplicate field `token` at line 1 column 68"),
        # The same key written with an escape is the same key.
        ("build", '{"config":{"client_id":"a"},"\\u0063onfig":{"client_id":"a"},"input":{"reference":"1"}}',
         "duplicate field `config` at line 1 column 29"),
        ("parse", doc([REF]), "invalid length 1, expected struct Parse with 2 elements at line 1 column 1"),
        ("build", '"x"', "invalid type: string, expected struct Build at line 1 column 1"),
        ("build", '{"config":5}', "invalid type: integer `5`, expected struct Config at line 1 column 11"),
        ("build", TOKEN_AT + "true}", "invalid type: boolean `true`, expected struct AccessToken at line 1 column 63"),
        ("build", TOKEN_AT + '{"access_token":"a","token_type":"b","expires_at":1e3}}',
         "invalid type: floating point `1e3`, expected i64 at line 1 column 113"),
        ("build", '{"config":{"client_id":"c"},"input":{"reference":1.5}}',
         "invalid type: floating point `1.5`, expected a string at line 1 column 50"),
        ("build", '{"config":{"client_id":"c"},"input":{"reference":null}}',
         "invalid type: null, expected a string at line 1 column 50"),
        ("build", ENVIRONMENT_AT + '"Sandbox"}}',
         "unknown variant `Sandbox`, expected one of `development`, `sandbox`, `production` at line 1 column 42"),
        ("build", ENVIRONMENT_AT + "null}}", "invalid type: null, expected enum Environment at line 1 column 42"),
        ("parse", RESPONSE_AT + '{"status":65536,"body":""}}', "invalid value: integer `65536`, expected u16 at line 1 column 49"),
        ("build", build() + " x", f"trailing characters at line 1 column {len(build()) + 2}"),
        # Columns count characters, not bytes.
        ("build", '{\n "config": {"client_id": "\u00f1\u00e9", "x": 1},\n "input": {"\u20ac\U0001f600": 0, "reference": 7}}',
         "invalid type: integer `7`, expected a string at line 3 column 34"),
    ],
)
def test_envelope_decoding_failures(op: str, payload: str, description: str) -> None:
    assert call(f"payouts.status.{op}", payload) == ffi("invalid payload: " + description)


SECRET = "sk_live_Qx7-never-echoed"
WEBHOOK_SECRET = "Abc-def_ghi.jkl~0"


# A secret given where a record, a number or a list goes (the access token as a bare string, say)
# is named by its kind only: the message reaches logs and terminals.
@pytest.mark.parametrize(
    ("op", "payload", "expected"),
    [
        ("payouts.status.build", doc({"config": CONFIG, "input": REF, "token": SECRET}),
         ffi("invalid payload: invalid type: string, expected struct AccessToken at line 1 column 65")),
        ("payouts.status.build", doc({"config": SECRET, "input": REF, "token": TOKEN}),
         ffi("invalid payload: invalid type: string, expected struct Config at line 1 column 11")),
        ("payouts.status.build", doc({"config": CONFIG, "input": SECRET, "token": TOKEN}),
         ffi("invalid payload: invalid type: string, expected struct PayoutRef at line 1 column 39")),
        ("payouts.status.build", doc([CONFIG, ["tk", "Bearer", SECRET, None], REF]),
         ffi("invalid payload: invalid type: string, expected i64 at line 1 column 37")),
        ("payouts.status.build", doc(SECRET), ffi("invalid payload: invalid type: string, expected struct Build at line 1 column 1")),
        ("payouts.status.parse", parse(SECRET), ffi("invalid payload: invalid type: string, expected u16 at line 1 column 59")),
        ("payouts.status.parse", parse(200, doc({"code": "00", "data": SECRET})),
         failure("decode", "unexpected payload shape: invalid type: string, expected struct WPayout")),
        ("batch.banks.parse", parse(200, doc({"code": "00", "data": SECRET}), {"branch_code": "1"}),
         failure("decode", "unexpected payload shape: invalid type: string, expected a sequence")),
        ("batch.webhook.parse", doc({"token": WEBHOOK_SECRET, "expected_token": WEBHOOK_SECRET, "body": doc(SECRET)}),
         failure("decode", "invalid batch webhook payload: invalid type: string, expected struct WTransfer at line 1 column 1")),
    ],
    ids=["token", "config", "input", "expires_at", "payload", "status", "payout", "banks", "webhook_body"],
)
def test_misplaced_string_is_never_echoed(op: str, payload: str, expected: str) -> None:
    out = call(op, payload)
    assert out == expected
    assert "Qx7" not in out


# Values under keys nobody reads are still read as JSON (depth counts the envelope too).
@pytest.mark.parametrize(
    ("meta", "accepted"),
    [
        ("01", False), ('"\\ud800"', False), ('"a\x1f"', False), ("[1,]", False), ("[" * 128 + "]" * 128, False),
        ("1" * 400, True), ("-0", True), ('"\\uDBFF\\uDFFF"', True), ("[" * 127 + "]" * 127, True),
        ('{"config":5,"token":5}', True),
    ],
)
def test_values_under_ignored_keys(meta: str, accepted: bool) -> None:
    out = call("payouts.status.build", build()[:-1] + ',"meta":' + meta + "}")
    if accepted:
        assert out == STATUS_REQUEST
    else:
        assert json.loads(out)["error"]["message"].startswith("invalid payload: ")


@pytest.mark.parametrize(
    ("op", "payload", "expected"),
    [
        ("build", doc([CONFIG, TOKEN, REF]), STATUS_REQUEST),
        ("build", doc([["cid", None, None, "sandbox", None], ["tk", "Bearer", 1, None], ["1"]]), STATUS_REQUEST),
        ("build", build(config={**CONFIG, "x": 1}, token={**TOKEN, "scope": "", "x": 1}, meta=[1]), STATUS_REQUEST),
        ("build", '{"meta":1,"meta":2,' + build()[1:], STATUS_REQUEST),
        ("build", " \t\r\n" + build() + "\n\t ", STATUS_REQUEST),
        ("build", doc({"config": CONFIG, "input": REF}), TOKEN_REQUIRED),
        ("parse", doc([REF, [200, PAYOUT_BODY]]), PARSED),
        ("parse", doc({"meta": 0, "input": {**REF, "x": 1}, "response": {"status": 200, "body": PAYOUT_BODY}}), PARSED),
    ],
)
def test_accepted_envelope_forms(op: str, payload: str, expected: str) -> None:
    assert '"kind":"ffi"' not in expected
    assert call(f"payouts.status.{op}", payload) == expected


@pytest.mark.parametrize(
    ("config", "base"),
    [
        ({}, SANDBOX),
        ({"environment": "development"}, "https://api-test.quorvel.bo/desarrollo"),
        ({"environment": "production"}, "https://api.quorvel.bo"),
        ({"environment": {"production": None}}, "https://api.quorvel.bo"),
        ({"environment": "production", "base_url": None}, "https://api.quorvel.bo"),
        ({"environment": "production", "base_url": "https://h/api"}, "https://h/api"),
        ({"base_url": "https://h/api///"}, "https://h/api"),
        ({"base_url": ""}, ""),
        # Only slashes are stripped.
        ({"base_url": "https://h/x?a=1 "}, "https://h/x?a=1 "),
    ],
)
@pytest.mark.parametrize(("op", "inp", "path"), [("status", REF, PATH), ("scan", {"qr_text": "q"}, "payout/sync/v3/qr/scan")])
def test_environment_and_base_url_decide_the_url(config: dict[str, Any], base: str, op: str, inp: object, path: str) -> None:
    out = json.loads(call(f"payouts.{op}.build", build(config={"client_id": "cid", **config}, inp=inp)))
    assert out["value"]["url"] == f"{base}/{path}"


@pytest.mark.parametrize(
    ("client_id", "access_token", "field"),
    [("cid", "a\r\nX-Injected: 1", "token"), ("cid", "tok\u0000", "token"), ("c\nid", "tok", "client_id"),
     ("cid", "tok\u007f", "token")],
)
def test_credentials_with_control_characters_cannot_inject_headers(client_id: str, access_token: str, field: str) -> None:
    payload = build(config={"client_id": client_id}, token={**TOKEN, "access_token": access_token})
    assert call("payouts.status.build", payload) == (
        '{"error":{"field":"%s","kind":"validation","message":"must not contain control characters",'
        '"retryable":false},"ok":false}' % field)


@pytest.mark.parametrize(("client_id", "access_token"), [("", ""), (" c i d ", "\u00e9\u20ac a\"b\\c")])
@pytest.mark.parametrize(("op", "inp", "body"), [("status", REF, None), ("scan", {"qr_text": "q"}, '{"imagen":"q"}')])
def test_five_standard_headers(client_id: str, access_token: str, op: str, inp: object, body: str | None) -> None:
    payload = build(config={"client_id": client_id}, token={**TOKEN, "access_token": access_token}, inp=inp)
    value = json.loads(call(f"payouts.{op}.build", payload))["value"]
    assert (list(value["headers"].items()), value["body"]) == ([
        ("Accept", "application/json"), ("Authorization", "Bearer " + access_token),
        ("Content-Type", "application/json"), ("access_token", access_token), ("client_id", client_id)], body)


def test_every_catalogue_entry_dispatches() -> None:
    """Each listed operation and handler reaches its own decoding, never the unknown-operation error."""
    entries = json.loads(call("describe", ""))["value"]
    names = [e["name"] + stage for e in entries if e["kind"] == "operation" for stage in (".build", ".parse")]
    names += [e["name"] for e in entries if e["kind"] != "operation"]
    for name in names:
        error = json.loads(call(name, "{}"))["error"]
        assert (error["kind"], error["message"].startswith("invalid payload: missing field")) == ("ffi", True), name


# --- the reader's two parsers: texts just under, at and over the size where the reader changes parsers read
# every escape alike, in keys and values (the reader's own tests hold each parser to the same, with the nesting
# limit and repeated keys); and a record's positional form holds exactly its fields, no fewer and no more.

# Texts up to this many bytes are read by one parser, longer ones by the other.
THRESHOLD = 4096
SIZES = [THRESHOLD - 1, THRESHOLD, THRESHOLD + 1]

# Each escape as JSON writes it, and the text it stands for.
ESCAPES = [
    ('\\"', '"'), ("\\\\", "\\"), ("\\/", "/"), ("\\b", "\b"), ("\\f", "\f"), ("\\n", "\n"), ("\\r", "\r"),
    ("\\t", "\t"), ("\\u0000", "\x00"), ("\\u001F", "\x1f"), ("\\u00e9", "\u00e9"), ("\\u20AC", "\u20ac"),
    ("\\ud83d\\ude00", "\U0001f600"),
]
ESCAPE_IDS = [written for written, _ in ESCAPES]

ACCESS = {"access_token": "tk", "token_type": "Bearer", "expires_at": 0}


def sized(text: str, size: int) -> str:
    """`text` followed by spaces up to `size` bytes (the texts here are ASCII)."""
    assert len(text) <= size
    return text + " " * (size - len(text))


@pytest.mark.timeout(20)
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("written", "decoded"), ESCAPES, ids=ESCAPE_IDS)
def test_every_escape_in_a_payload_and_its_keys(size: int, written: str, decoded: str) -> None:
    # The keys are written with escapes too: "\u0069nput" is "input".
    text = '{"\\u0069nput":{"qr\\u005ftext":"Q' + written + 'R"},"config":{"client_id":"c"},"token":'
    payload = sized(text + doc(ACCESS) + "}", size)
    out = json.loads(call("payouts.scan.build", payload))
    assert out["value"]["body"] == '{"imagen":' + doc("Q" + decoded + "R") + "}"


RESPONSE = {"status": 200, "body": '{"code":"00","data":{"numeroReferencia":"1","estado":"PAGADO"}}'}
CONFIG_VALUES = ["c", None, None, "sandbox", None]


@pytest.mark.timeout(20)
@pytest.mark.parametrize(
    ("op", "payload", "expected"),
    [
        # Exactly the fields: read as the object would be.
        ("payouts.status.build", doc([CONFIG_VALUES, [*ACCESS.values(), None], ["7"]]), None),
        ("payouts.status.parse", doc([REF, RESPONSE]), None),
        # One too many, at every level: refused, never read as if the extra were not there.
        ("payouts.status.parse", doc([REF, RESPONSE, "extra"]),
         failure("ffi", "invalid payload: invalid length 3, expected struct Parse with 2 elements at line 1 column 1")),
        ("payouts.status.build", doc({"config": [*CONFIG_VALUES, None], "input": REF}),
         failure("ffi", "invalid payload: invalid length 6, expected struct Config with 5 elements at line 1 column 11")),
        ("payouts.status.build", doc({"config": {"client_id": "c"}, "input": ["7", "8"]}),
         failure("ffi", "invalid payload: invalid length 2, expected struct PayoutRef with 1 elements at line 1 column 37")),
        ("payouts.status.parse", doc({"input": REF, "response": [200, "", 0]}),
         failure("ffi", "invalid payload: invalid length 3, expected struct HttpResponse with 2 elements at line 1 column 39")),
        # A provider record too: its answer is not what the client expects.
        ("payouts.status.parse",
         doc({"input": REF, "response": {"status": 200, "body": doc({"code": "00", "data": ["1"] * 17})}}),
         failure("decode", "unexpected payload shape: invalid length 17, expected struct WPayout with 16 elements")),
    ],
)
def test_positional_form_holds_exactly_the_fields(op: str, payload: str, expected: str | None) -> None:
    out = call(op, payload)
    if expected is None:
        assert out.startswith('{"ok":true,'), out
    else:
        assert out == expected
