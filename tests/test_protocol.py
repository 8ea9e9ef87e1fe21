"""The call protocol through `call`: built-ins, routing, result documents, payload envelopes,
configuration, access tokens, HTTP responses and the standard header set."""

from __future__ import annotations

import json
from typing import Any

import pytest

from quorvel_bo.payouts._native import call

CONFIG: dict[str, Any] = {"client_id": "cid"}
TOKEN: dict[str, Any] = {"access_token": "tk", "token_type": "Bearer", "expires_at": 1}
REF: dict[str, Any] = {"reference": "1"}
STATUS_PATH = "payout/sync/v3/qr/status/1"
SANDBOX = "https://api-test.quorvel.bo/sandbox"


def doc(value: object) -> str:
    """The system's own text form: compact, keys in ascending order, non-ASCII unescaped."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def ffi(message: str) -> str:
    return doc({"error": {"kind": "ffi", "message": message, "retryable": False}, "ok": False})


def invalid(description: str) -> str:
    return ffi("invalid payload: " + description)


def build(config: object = CONFIG, token: object = TOKEN, inp: object = REF, **extra: object) -> str:
    return doc({"config": config, "token": token, "input": inp, **extra})


def parse(status: object, body: object = "", inp: object = REF) -> str:
    return doc({"input": inp, "response": {"status": status, "body": body}})


def status_build(payload: str) -> dict[str, Any]:
    result: dict[str, Any] = json.loads(call("payouts.status.build", payload))
    return result


def headers(client_id: str, access_token: str) -> dict[str, str]:
    return {
        "Accept": "application/json",
        "Authorization": "Bearer " + access_token,
        "Content-Type": "application/json",
        "access_token": access_token,
        "client_id": client_id,
    }


def request(method: str, url: str, body: str | None, client_id: str = "cid", access_token: str = "tk") -> str:
    value = {"body": body, "headers": headers(client_id, access_token), "method": method, "url": url}
    return doc({"ok": True, "value": value})


TOKEN_REQUIRED = doc(
    {
        "error": {
            "field": "token",
            "kind": "validation",
            "message": "an access token is required for this operation",
            "retryable": False,
        },
        "ok": False,
    }
)
STATUS_REQUEST = request("GET", f"{SANDBOX}/{STATUS_PATH}", None)

# ---------------------------------------------------------------------------------------------
# Built-in operations

CATALOGUE = (
    '{"ok":true,"value":['
    '{"idempotent":true,"kind":"operation","name":"payouts.scan","timeout_secs":40},'
    '{"idempotent":false,"kind":"operation","name":"payouts.pay","timeout_secs":90},'
    '{"idempotent":true,"kind":"operation","name":"payouts.status","timeout_secs":90},'
    '{"idempotent":false,"kind":"operation","name":"batch.authorize"},'
    '{"idempotent":true,"kind":"operation","name":"batch.status"},'
    '{"idempotent":true,"kind":"operation","name":"batch.banks"},'
    '{"kind":"handler","name":"batch.webhook.parse"}'
    "]}"
)
VERSION = '{"ok":true,"value":{"core":"0.1.0","protocol":2}}'


@pytest.mark.parametrize("payload", ["", "not json", "{", build()])
@pytest.mark.parametrize(("op", "expected"), [("describe", CATALOGUE), ("version", VERSION)])
def test_builtins_are_exact_and_ignore_the_payload(op: str, expected: str, payload: str) -> None:
    assert call(op, payload) == expected


# ---------------------------------------------------------------------------------------------
# Routing


@pytest.mark.parametrize(
    "op",
    [
        "Describe",
        " version",
        "version\n",
        "payouts.scan",
        "payouts.payment.build",
        "payouts.statusbuild",
        "Payouts.scan.build",
        "batch.webhook.parse.build",
        "batch.webhook.parse.",
        "batch.webhook",
        "batch.webhook.parse ",
        "",
        'a"b\\c\x01\x1f',
    ],
)
def test_unknown_operations(op: str) -> None:
    # The payload is a valid build envelope: only the operation text decides.
    assert call(op, build()) == ffi(f"unknown operation `{op}`")


def test_unknown_operation_message_escapes_control_characters() -> None:
    assert call("version\n", "") == (
        '{"error":{"kind":"ffi","message":"unknown operation `version\\n`","retryable":false},"ok":false}'
    )
    assert call('a"b\\c\x01\x1f', "") == (
        '{"error":{"kind":"ffi","message":"unknown operation `a\\"b\\\\c\\u0001\\u001f`","retryable":false},"ok":false}'
    )


@pytest.mark.parametrize("payload", ["not json", "", build()])
@pytest.mark.parametrize(
    ("op", "stage", "name"),
    [
        ("payouts.scan.", "", "payouts.scan"),
        ("payouts.scan.BUILD", "BUILD", "payouts.scan"),
        ("payouts.scan.build.x", "build.x", "payouts.scan"),
        ("payouts.scan.parse ", "parse ", "payouts.scan"),
        ("payouts.pay.send", "send", "payouts.pay"),
        ("payouts.status..build", ".build", "payouts.status"),
        ("batch.banks.\u00e9", "\u00e9", "batch.banks"),
    ],
)
def test_unknown_stage_is_reported_before_the_payload_is_read(op: str, stage: str, name: str, payload: str) -> None:
    assert call(op, payload) == ffi(f"unknown stage `{stage}` for `{name}`")


@pytest.mark.parametrize(
    ("op", "payload"),
    [
        ("payouts.scan.build", build(inp={"qr_text": "q"})),
        ("payouts.status.build", build()),
        ("payouts.status.parse", parse(200, doc({"numeroReferencia": "1", "estado": "PAGADO"}))),
        ("batch.banks.build", build(inp={"branch_code": "1"})),
        ("batch.banks.parse", parse(200, "[]", inp={"branch_code": "1"})),
        ("describe", ""),
        ("version", ""),
    ],
)
def test_success_documents_start_with_ok_true(op: str, payload: str) -> None:
    out = call(op, payload)
    assert out.startswith('{"ok":true,"value":') and out.endswith("}")
    assert list(json.loads(out)) == ["ok", "value"]


# ---------------------------------------------------------------------------------------------
# Error kinds: one real error of each kind, and its exact key set in output order

SCANNED = {"reference": "123", "amount": "10", "recipient": {}}
PAY_INPUT = {"scanned": SCANNED, "source_account": "123456", "transaction_id": "t1"}

ERROR_KINDS = {
    "validation": (
        "payouts.status.build",
        build(token=None),
        ["field", "kind", "message", "retryable"],
    ),
    "authentication": (
        "payouts.status.parse",
        parse(401, ""),
        ["kind", "message", "retryable", "status"],
    ),
    "api": (
        "payouts.status.parse",
        parse(503, "busy"),
        ["errors", "kind", "message", "retryable", "status"],
    ),
    "ambiguous": (
        "payouts.pay.parse",
        parse(500, doc({"code": "94", "message": "timeout"}), inp=PAY_INPUT),
        ["errors", "kind", "message", "retryable"],
    ),
    "decode": (
        "payouts.status.parse",
        parse(200, ""),
        ["kind", "message", "retryable"],
    ),
    "webhook_auth": (
        "batch.webhook.parse",
        doc({"token": "a", "body": "{}", "expected_token": "b"}),
        ["kind", "message", "retryable"],
    ),
    "ffi": (
        "nope",
        "",
        ["kind", "message", "retryable"],
    ),
}


@pytest.mark.parametrize("kind", list(ERROR_KINDS))
def test_error_kind_catalogue(kind: str) -> None:
    op, payload, keys = ERROR_KINDS[kind]
    out = call(op, payload)
    assert out.startswith('{"error":{') and out.endswith(',"ok":false}')
    document = json.loads(out)
    assert list(document) == ["error", "ok"]
    error = document["error"]
    assert list(error) == keys
    assert error["kind"] == kind
    # Only "api" may carry true; this one (503) does, every other kind is false.
    assert error["retryable"] is (kind == "api")


def test_every_kind_of_the_catalogue_is_exercised() -> None:
    assert set(ERROR_KINDS) == {"validation", "authentication", "api", "ambiguous", "decode", "webhook_auth", "ffi"}


# ---------------------------------------------------------------------------------------------
# Envelope decoding failures (positions: line and column from 1, column in characters)


@pytest.mark.parametrize(
    ("op", "payload", "description"),
    [
        ("payouts.status.build", "{}", "missing field `config` at line 1 column 1"),
        ("payouts.status.parse", "{}", "missing field `input` at line 1 column 1"),
        ("payouts.status.build", "", "EOF while parsing a value at line 1 column 1"),
        ("payouts.status.build", "   \n ", "EOF while parsing a value at line 2 column 2"),
        ("payouts.status.parse", "", "EOF while parsing a value at line 1 column 1"),
        ("payouts.status.build", '{"config":{"client_id":"c"}}', "missing field `input` at line 1 column 1"),
        ("payouts.status.parse", '{"input":{"reference":"1"}}', "missing field `response` at line 1 column 1"),
        ("payouts.status.build", '{"config":{}}', "missing field `client_id` at line 1 column 11"),
        (
            "payouts.status.build",
            '{"config":{"client_id":"a"},"input":{"reference":"1"},"input":{"reference":"1"}}',
            "duplicate field `input` at line 1 column 55",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"a","client_id":"b"},"input":{"reference":"1"}}',
            "duplicate field `client_id` at line 1 column 28",
        ),
        (
            "payouts.status.build",
            '{"token":null,"config":{"client_id":"a"},"input":{"reference":"1"},"token":null}',
            "duplicate field `token` at line 1 column 68",
        ),
        # The same key written with an escape is the same key.
        (
            "payouts.status.build",
            '{"config":{"client_id":"a"},"\\u0063onfig":{"client_id":"a"},"input":{"reference":"1"}}',
            "duplicate field `config` at line 1 column 29",
        ),
        ("payouts.status.build", "[]", "invalid length 0, expected struct Build with 3 elements at line 1 column 1"),
        (
            "payouts.status.build",
            doc([CONFIG, REF]),
            "invalid length 2, expected struct Build with 3 elements at line 1 column 1",
        ),
        (
            "payouts.status.parse",
            doc([REF]),
            "invalid length 1, expected struct Parse with 2 elements at line 1 column 1",
        ),
        ("payouts.status.build", '"x"', 'invalid type: string "x", expected struct Build at line 1 column 1'),
        ("payouts.status.build", "null", "invalid type: null, expected struct Build at line 1 column 1"),
        (
            "payouts.status.build",
            '{"config":5,"input":{"reference":"1"}}',
            "invalid type: integer `5`, expected struct Config at line 1 column 11",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"c"},"input":{"reference":"1"},"token":true}',
            "invalid type: boolean `true`, expected struct AccessToken at line 1 column 63",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":5},"input":{"reference":"1"}}',
            "invalid type: integer `5`, expected a string at line 1 column 24",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"c"},"input":{"reference":1.5}}',
            "invalid type: floating point `1.5`, expected a string at line 1 column 50",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"c"},"input":{"reference":[]}}',
            "invalid type: sequence, expected a string at line 1 column 50",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"c"},"input":{"reference":{}}}',
            "invalid type: map, expected a string at line 1 column 50",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"c"},"input":{"reference":null}}',
            "invalid type: null, expected a string at line 1 column 50",
        ),
        (
            "payouts.status.build",
            '{"config":{"client_id":"c"},"input":{"reference":"1"}} x',
            "trailing characters at line 1 column 56",
        ),
        ("payouts.status.build", build() + "\x00", f"trailing characters at line 1 column {len(build()) + 1}"),
        ("payouts.status.build", build() + "\u00a0", f"trailing characters at line 1 column {len(build()) + 1}"),
        ("payouts.status.build", "\ufeff" + build(), "expected value at line 1 column 1"),
        ("payouts.status.build", '{"config":NaN}', "expected value at line 1 column 11"),
        ("payouts.status.build", '{"config":Infinity}', "expected value at line 1 column 11"),
        ("payouts.status.build", '{"config":{"client_id":"c"},}', "trailing comma at line 1 column 29"),
        ("payouts.status.build", '{"config" {}}', "expected `:` at line 1 column 11"),
        ("payouts.status.build", "{config:1}", "key must be a string at line 1 column 2"),
        ("payouts.status.build", '{"config":tru}', "expected ident at line 1 column 14"),
        ("payouts.status.build", '{"config":{"client_id":"c\x01"}}', "control character found while parsing a string at line 1 column 26"),
        ("payouts.status.build", '{"config":{"client_id":"\\x"}}', "invalid escape at line 1 column 26"),
        ("payouts.status.build", '{"config":{"client_id":"c"', "EOF while parsing an object at line 1 column 27"),
        ("payouts.status.build", "[" * 100_000, "recursion limit exceeded at line 1 column 129"),
        ("payouts.status.build", "[" * 100_000 + "]" * 100_000, "recursion limit exceeded at line 1 column 129"),
        ("payouts.status.build", '{"a":' * 100_000, "recursion limit exceeded at line 1 column 641"),
        # 128 levels are still read; the array form of Build then has the wrong length.
        (
            "payouts.status.build",
            "[" * 128 + "]" * 128,
            "invalid length 1, expected struct Build with 3 elements at line 1 column 1",
        ),
        ("payouts.status.build", "[" * 129 + "]" * 129, "recursion limit exceeded at line 1 column 129"),
        # Columns count characters, not bytes; only "\n" starts a line.
        (
            "payouts.status.build",
            '{\n "config": {"client_id": "\u00f1\u00e9", "x": 1},\n "input": {"\u20ac\U0001f600": 0, "reference": 7}}',
            "invalid type: integer `7`, expected a string at line 3 column 34",
        ),
        (
            "payouts.status.build",
            '{\n  "config": {"client_id": "\u00f1\u00e9", "x": tru}}',
            "expected ident at line 2 column 41",
        ),
    ],
)
def test_envelope_decoding_failures(op: str, payload: str, description: str) -> None:
    assert call(op, payload) == invalid(description)


@pytest.mark.parametrize(
    "meta",
    [
        "NaN",
        "-",
        "01",
        "1.",
        ".5",
        '"\\ud800"',
        '"\\udbff"',
        '"a\x1f"',
        "[1,]",
        "{1:1}",
        "[" * 128 + "]" * 128,
    ],
)
def test_values_under_ignored_keys_are_validated_too(meta: str) -> None:
    document = json.loads(call("payouts.status.build", build()[:-1] + ',"meta":' + meta + "}"))
    assert document["error"]["kind"] == "ffi"
    assert document["error"]["message"].startswith("invalid payload: ")
    assert " at line 1 column " in document["error"]["message"]


@pytest.mark.parametrize(
    "meta",
    [
        "1" * 400,
        "-" + "9" * 400 + ".5e-999",
        "-0",
        "1E+2",
        '"\\uDBFF\\uDFFF"',
        '"\x7f\u00e9"',
        "[" * 127 + "]" * 127,
        '{"config":5,"token":5}',
    ],
)
def test_acceptable_values_under_ignored_keys(meta: str) -> None:
    assert call("payouts.status.build", build()[:-1] + ',"meta":' + meta + "}") == STATUS_REQUEST


@pytest.mark.parametrize(
    ("op", "payload", "expected"),
    [
        ("payouts.status.build", doc([CONFIG, TOKEN, REF]), STATUS_REQUEST),
        ("payouts.status.build", doc([CONFIG, None, REF]), TOKEN_REQUIRED),
        ("payouts.status.build", doc([["cid", None, None, "sandbox", None], TOKEN, ["1"]]), STATUS_REQUEST),
        ("payouts.status.build", doc([CONFIG, ["tk", "Bearer", 1, None], REF]), STATUS_REQUEST),
        ("payouts.status.build", build(meta={"anything": [1, 2]}), STATUS_REQUEST),
        ("payouts.status.build", build(config={**CONFIG, "extra": True}, token={**TOKEN, "x": 1}), STATUS_REQUEST),
        ("payouts.status.build", '{"meta":1,"meta":2,' + build()[1:], STATUS_REQUEST),
        ("payouts.status.build", " \t\r\n" + build() + "\n\t ", STATUS_REQUEST),
        ("payouts.status.build", doc({"config": CONFIG, "input": REF}), TOKEN_REQUIRED),
        ("payouts.status.build", build(token=None), TOKEN_REQUIRED),
    ],
)
def test_accepted_envelope_forms(op: str, payload: str, expected: str) -> None:
    assert call(op, payload) == expected


PAYOUT_BODY = doc({"numeroReferencia": "1", "estado": "PAGADO"})


@pytest.mark.parametrize(
    "payload",
    [
        parse(200, PAYOUT_BODY),
        doc([REF, {"status": 200, "body": PAYOUT_BODY}]),
        doc([REF, [200, PAYOUT_BODY]]),
        doc({"meta": None, "input": {**REF, "extra": 1}, "response": {"status": 200, "body": PAYOUT_BODY, "x": 1}}),
    ],
)
def test_parse_envelope_forms_agree(payload: str) -> None:
    assert call("payouts.status.parse", payload) == call("payouts.status.parse", parse(200, PAYOUT_BODY))
    assert call("payouts.status.parse", payload).startswith('{"ok":true,')


# ---------------------------------------------------------------------------------------------
# Configuration: environments, base URL and joining


@pytest.mark.parametrize(
    ("config", "url"),
    [
        ({"client_id": "cid"}, f"{SANDBOX}/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": "sandbox"}, f"{SANDBOX}/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": "development"}, f"https://api-test.quorvel.bo/desarrollo/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": "production"}, f"https://api.quorvel.bo/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": {"production": None}}, f"https://api.quorvel.bo/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": {"development": None}}, f"https://api-test.quorvel.bo/desarrollo/{STATUS_PATH}"),
        ({"client_id": "cid", "base_url": None, "environment": "production"}, f"https://api.quorvel.bo/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": "production", "base_url": "https://h/api"}, f"https://h/api/{STATUS_PATH}"),
        ({"client_id": "cid", "environment": "development", "base_url": "http://h:8080"}, f"http://h:8080/{STATUS_PATH}"),
        ({"client_id": "cid", "base_url": "https://h/api/"}, f"https://h/api/{STATUS_PATH}"),
        ({"client_id": "cid", "base_url": "https://h/api///"}, f"https://h/api/{STATUS_PATH}"),
        ({"client_id": "cid", "base_url": ""}, f"/{STATUS_PATH}"),
        ({"client_id": "cid", "base_url": "///"}, f"/{STATUS_PATH}"),
        # Only slashes are stripped; the rest of the base stays as given.
        ({"client_id": "cid", "base_url": "https://h/x/ "}, f"https://h/x/ /{STATUS_PATH}"),
        ({"client_id": "cid", "base_url": "https://h/x?a=1"}, f"https://h/x?a=1/{STATUS_PATH}"),
        ({"client_id": "cid", "client_secret": "s", "basic_token": None}, f"{SANDBOX}/{STATUS_PATH}"),
        (["cid", None, None, "production", None], f"https://api.quorvel.bo/{STATUS_PATH}"),
        (["cid", "s", "b", "development", "https://h//"], f"https://h/{STATUS_PATH}"),
    ],
)
def test_environment_and_base_url_decide_the_url(config: object, url: str) -> None:
    assert status_build(build(config=config))["value"]["url"] == url


def test_scan_url_joins_the_same_way() -> None:
    payload = build(config={"client_id": "cid", "base_url": "https://h/api//"}, inp={"qr_text": "q"})
    assert json.loads(call("payouts.scan.build", payload))["value"]["url"] == "https://h/api/payout/sync/v3/qr/scan"


ENVIRONMENT_CHOICES = "expected one of `development`, `sandbox`, `production`"


@pytest.mark.parametrize(
    ("environment", "description"),
    [
        ('"Sandbox"', f"unknown variant `Sandbox`, {ENVIRONMENT_CHOICES} at line 1 column 42"),
        ('"sandbox "', f"unknown variant `sandbox `, {ENVIRONMENT_CHOICES} at line 1 column 42"),
        ('""', f"unknown variant ``, {ENVIRONMENT_CHOICES} at line 1 column 42"),
        ('{"Production":null}', f"unknown variant `Production`, {ENVIRONMENT_CHOICES} at line 1 column 42"),
        ("null", "invalid type: null, expected enum Environment at line 1 column 42"),
        ("1", "invalid type: integer `1`, expected enum Environment at line 1 column 42"),
        ('{"production":1}', "invalid type: map, expected enum Environment at line 1 column 42"),
    ],
)
def test_environment_refused(environment: str, description: str) -> None:
    payload = '{"config":{"client_id":"c","environment":' + environment + '},"input":{"reference":"1"}}'
    assert call("payouts.status.build", payload) == invalid(description)


@pytest.mark.parametrize(
    ("config", "description"),
    [
        ('{"client_id":"c","client_secret":1}', "invalid type: integer `1`, expected a string at line 1 column 44"),
        ('{"client_id":"c","basic_token":false}', "invalid type: boolean `false`, expected a string at line 1 column 42"),
        ('{"client_id":"c","base_url":[]}', "invalid type: sequence, expected a string at line 1 column 39"),
        ('{"client_id":null}', "invalid type: null, expected a string at line 1 column 24"),
        ('["c"]', "invalid length 1, expected struct Config with 5 elements at line 1 column 11"),
    ],
)
def test_config_refused(config: str, description: str) -> None:
    assert call("payouts.status.build", '{"config":' + config + ',"input":{"reference":"1"}}') == invalid(description)


# ---------------------------------------------------------------------------------------------
# Access token


@pytest.mark.parametrize(
    "token",
    [
        TOKEN,
        {**TOKEN, "scope": None},
        {**TOKEN, "scope": ""},
        {**TOKEN, "scope": "read write"},
        {**TOKEN, "token_type": "", "expires_at": -9223372036854775808},
        {**TOKEN, "expires_at": 9223372036854775807},
        ["tk", "Bearer", 0, "s"],
    ],
)
def test_token_decodes(token: object) -> None:
    assert call("payouts.status.build", build(token=token)) == STATUS_REQUEST


PREFIX = '{"config":{"client_id":"c"},"input":{"reference":"1"},"token":'  # the token starts at column 63


@pytest.mark.parametrize(
    ("token", "description"),
    [
        ('{"access_token":"a","token_type":"b"}', "missing field `expires_at` at line 1 column 63"),
        ('{"token_type":"b","expires_at":1}', "missing field `access_token` at line 1 column 63"),
        ('{"access_token":"a","expires_at":1}', "missing field `token_type` at line 1 column 63"),
        (
            '{"access_token":"a","token_type":"b","expires_at":"1"}',
            'invalid type: string "1", expected i64 at line 1 column 113',
        ),
        (
            '{"access_token":"a","token_type":"b","expires_at":1.5}',
            "invalid type: floating point `1.5`, expected i64 at line 1 column 113",
        ),
        (
            '{"access_token":"a","token_type":"b","expires_at":1e3}',
            "invalid type: floating point `1e3`, expected i64 at line 1 column 113",
        ),
        (
            '{"access_token":"a","token_type":"b","expires_at":9223372036854775808}',
            "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 113",
        ),
        (
            '{"access_token":"a","token_type":"b","expires_at":-9223372036854775809}',
            "invalid value: integer `-9223372036854775809`, expected i64 at line 1 column 113",
        ),
        (
            '{"access_token":"a","token_type":"b","expires_at":1,"scope":2}',
            "invalid type: integer `2`, expected a string at line 1 column 123",
        ),
        ('{"access_token":7,"token_type":"b","expires_at":1}', "invalid type: integer `7`, expected a string at line 1 column 79"),
    ],
)
def test_token_refused(token: str, description: str) -> None:
    assert call("payouts.status.build", PREFIX + token + "}") == invalid(description)


# ---------------------------------------------------------------------------------------------
# HTTP response record

RESPONSE_PREFIX = '{"input":{"reference":"1"},"response":'  # the response starts at column 39


@pytest.mark.parametrize(
    ("response", "description"),
    [
        ('{"status":70000,"body":""}', "invalid value: integer `70000`, expected u16 at line 1 column 49"),
        ('{"status":65536,"body":""}', "invalid value: integer `65536`, expected u16 at line 1 column 49"),
        ('{"status":-1,"body":""}', "invalid value: integer `-1`, expected u16 at line 1 column 49"),
        ('{"status":"200","body":""}', 'invalid type: string "200", expected u16 at line 1 column 49'),
        ('{"status":200.0,"body":""}', "invalid type: floating point `200.0`, expected u16 at line 1 column 49"),
        ('{"status":null,"body":""}', "invalid type: null, expected u16 at line 1 column 49"),
        ('{"status":200,"body":null}', "invalid type: null, expected a string at line 1 column 60"),
        ('{"status":200,"body":{}}', "invalid type: map, expected a string at line 1 column 60"),
        ('{"status":200}', "missing field `body` at line 1 column 39"),
        ('{"body":""}', "missing field `status` at line 1 column 39"),
        ("[200]", "invalid length 1, expected struct HttpResponse with 2 elements at line 1 column 39"),
        ('"200"', 'invalid type: string "200", expected struct HttpResponse at line 1 column 39'),
    ],
)
def test_http_response_refused(response: str, description: str) -> None:
    assert call("payouts.status.parse", RESPONSE_PREFIX + response + "}") == invalid(description)


@pytest.mark.parametrize(("status", "retryable"), [(0, False), (65535, True)])
def test_http_status_bounds_decode(status: int, retryable: bool) -> None:
    error = json.loads(call("payouts.status.parse", parse(status, "{}")))["error"]
    assert (error["kind"], error["status"], error["retryable"]) == ("api", status, retryable)


# ---------------------------------------------------------------------------------------------
# The request document and the standard header set


def test_status_request_is_exact() -> None:
    assert call("payouts.status.build", build()) == (
        '{"ok":true,"value":{"body":null,"headers":{"Accept":"application/json","Authorization":"Bearer tk",'
        '"Content-Type":"application/json","access_token":"tk","client_id":"cid"},"method":"GET",'
        '"url":"https://api-test.quorvel.bo/sandbox/payout/sync/v3/qr/status/1"}}'
    )


@pytest.mark.parametrize(
    ("client_id", "access_token"),
    [
        ("cid", "tk"),
        ("", ""),
        (" c i d ", " t k "),
        ("\u00e9\u20ac", "a\"b\\c\n"),
    ],
)
def test_header_set_is_the_five_standard_headers(client_id: str, access_token: str) -> None:
    config = {"client_id": client_id}
    token = {**TOKEN, "access_token": access_token}
    expected = headers(client_id, access_token)
    got_status = status_build(build(config=config, token=token))["value"]
    got_scan = json.loads(call("payouts.scan.build", build(config=config, token=token, inp={"qr_text": "q"})))["value"]
    assert got_status["headers"] == expected
    assert list(got_status["headers"]) == ["Accept", "Authorization", "Content-Type", "access_token", "client_id"]
    assert got_scan["headers"] == expected
    assert (got_status["method"], got_status["body"]) == ("GET", None)
    assert (got_scan["method"], got_scan["body"]) == ("POST", '{"imagen":"q"}')


def test_empty_credentials_are_sent_as_given() -> None:
    payload = build(config={"client_id": "", "base_url": ""}, token={**TOKEN, "access_token": ""})
    assert call("payouts.status.build", payload) == request("GET", f"/{STATUS_PATH}", None, "", "")
