"""The reader's two parsers seen through `call`: texts just under, at and over the size where the
reader changes parsers read the same (every escape, keys compared after decoding, the nesting
limit), and a record's positional form holds exactly its fields, no fewer and no more."""

from __future__ import annotations

import json

import pytest

from quorvel_bo.payouts import call

pytestmark = pytest.mark.timeout(20)

# Texts up to this many bytes are read by one parser, longer ones by the other.
THRESHOLD = 4096
SIZES = [THRESHOLD - 1, THRESHOLD, THRESHOLD + 1]

# Each escape as JSON writes it, and the text it stands for.
ESCAPES = [
    ('\\"', '"'),
    ("\\\\", "\\"),
    ("\\/", "/"),
    ("\\b", "\b"),
    ("\\f", "\f"),
    ("\\n", "\n"),
    ("\\r", "\r"),
    ("\\t", "\t"),
    ("\\u0000", "\x00"),
    ("\\u001F", "\x1f"),
    ("\\u00e9", "\u00e9"),
    ("\\u20AC", "\u20ac"),
    ("\\ud83d\\ude00", "\U0001f600"),
]
ESCAPE_IDS = [written for written, _ in ESCAPES]

TOKEN = "Abc-def_ghi.jkl~0"
CONFIG = {"client_id": "c"}
ACCESS = {"access_token": "tk", "token_type": "Bearer", "expires_at": 0}


def sized(text: str, size: int) -> str:
    """`text` followed by spaces up to `size` bytes (the texts here are ASCII)."""
    assert len(text) <= size
    return text + " " * (size - len(text))


def doc(value: object) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def as_unicode_escape(text: str) -> str:
    """`text` written with \\u escapes only (a surrogate pair above U+FFFF)."""
    units = text.encode("utf-16-be")
    return "".join(f"\\u{int.from_bytes(units[i:i + 2], 'big'):04X}" for i in range(0, len(units), 2))


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("written", "decoded"), ESCAPES, ids=ESCAPE_IDS)
def test_every_escape_in_a_notification_body(size: int, written: str, decoded: str) -> None:
    # Inside 16-byte runs, so the chunked decoders meet the escape mid-run too.
    body = sized('{"estado":"PAGADO","mensaje":"' + "a" * 15 + written + "z" * 17 + '"}', size)
    out = call("batch.webhook.parse", doc({"token": TOKEN, "body": body, "expected_token": TOKEN}))
    assert '"message":' + doc("a" * 15 + decoded + "z" * 17) + "," in out, out


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("written", "decoded"), ESCAPES, ids=ESCAPE_IDS)
def test_every_escape_in_a_payload_and_its_keys(size: int, written: str, decoded: str) -> None:
    # The keys are written with escapes too: "\u0069nput" is "input".
    text = '{"\\u0069nput":{"qr\\u005ftext":"Q' + written + 'R"},"config":{"client_id":"c"},"token":'
    payload = sized(text + doc(ACCESS) + "}", size)
    out = json.loads(call("payouts.scan.build", payload))
    assert out["value"]["body"] == '{"imagen":' + doc("Q" + decoded + "R") + "}"


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("written", "decoded"), ESCAPES, ids=ESCAPE_IDS)
def test_a_provider_key_written_two_ways_is_one_key(size: int, written: str, decoded: str) -> None:
    # A key given twice makes the body unreadable, however each was written.
    first = '{"code":"00","k' + written + '":1,'
    body = sized(first + '"k' + as_unicode_escape(decoded) + '":2}', size)
    out = call("payouts.status.parse", doc({"input": {"reference": "1"}, "response": {"status": 200, "body": body}}))
    message = f"invalid JSON body: duplicate key `k{decoded}` at line 1 column {len(first) + 1}"
    assert out == doc({"error": {"kind": "decode", "message": message, "retryable": False}, "ok": False})


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("depth", [128, 129])
def test_nesting_limit_in_a_provider_body(size: int, depth: int) -> None:
    # Two levels of objects, then arrays under a key the record ignores.
    head = '{"code":"00","data":{"numeroReferencia":"1","estado":"PAGADO","x":'
    arrays = depth - 2
    body = sized(head + "[" * arrays + "]" * arrays + "}}", size)
    out = call("payouts.status.parse", doc({"input": {"reference": "1"}, "response": {"status": 200, "body": body}}))
    if depth == 128:
        assert json.loads(out)["value"]["raw_status"] == "PAGADO"
    else:
        message = f"invalid JSON body: recursion limit exceeded at line 1 column {len(head) + arrays}"
        assert out == doc({"error": {"kind": "decode", "message": message, "retryable": False}, "ok": False})


def ffi(message: str) -> str:
    return doc({"error": {"kind": "ffi", "message": message, "retryable": False}, "ok": False})


REF = {"reference": "1"}
RESPONSE = {"status": 200, "body": '{"code":"00","data":{"numeroReferencia":"1","estado":"PAGADO"}}'}
CONFIG_VALUES = ["c", None, None, "sandbox", None]


@pytest.mark.parametrize(
    ("op", "payload", "expected"),
    [
        # Exactly the fields: read as the object would be.
        ("payouts.status.build", doc([CONFIG_VALUES, [*ACCESS.values(), None], ["7"]]), None),
        ("payouts.status.parse", doc([REF, RESPONSE]), None),
        # One too many, at every level: refused, never read as if the extra were not there.
        ("payouts.status.parse", doc([REF, RESPONSE, "extra"]),
         ffi("invalid payload: invalid length 3, expected struct Parse with 2 elements at line 1 column 1")),
        ("payouts.status.build", doc({"config": [*CONFIG_VALUES, None], "input": REF}),
         ffi("invalid payload: invalid length 6, expected struct Config with 5 elements at line 1 column 11")),
        ("payouts.status.build", doc({"config": CONFIG, "input": ["7", "8"]}),
         ffi("invalid payload: invalid length 2, expected struct PayoutRef with 1 elements at line 1 column 37")),
        ("payouts.status.parse", doc({"input": REF, "response": [200, "", 0]}),
         ffi("invalid payload: invalid length 3, expected struct HttpResponse with 2 elements at line 1 column 39")),
        # A provider record too: its answer is not what the client expects.
        ("payouts.status.parse",
         doc({"input": REF, "response": {"status": 200, "body": doc({"code": "00", "data": ["1"] * 17})}}),
         doc({"error": {"kind": "decode", "retryable": False, "message":
              "unexpected payload shape: invalid length 17, expected struct WPayout with 16 elements"}, "ok": False})),
    ],
)
def test_positional_form_holds_exactly_the_fields(op: str, payload: str, expected: str | None) -> None:
    out = call(op, payload)
    if expected is None:
        assert out.startswith('{"ok":true,'), out
    else:
        assert out == expected
