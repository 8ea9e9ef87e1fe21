"""The reader's two parsers seen through `call`: texts just under, at and over the size where the
reader changes parsers read every escape alike, in keys and values (the reader's own tests hold each
parser to the same, with the nesting limit and repeated keys); and a record's positional form holds
exactly its fields, no fewer and no more."""

from __future__ import annotations

import json

import pytest
from conftest import doc, failure

from quorvel_bo.payouts import call

pytestmark = pytest.mark.timeout(20)

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

CONFIG = {"client_id": "c"}
ACCESS = {"access_token": "tk", "token_type": "Bearer", "expires_at": 0}


def sized(text: str, size: int) -> str:
    """`text` followed by spaces up to `size` bytes (the texts here are ASCII)."""
    assert len(text) <= size
    return text + " " * (size - len(text))


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize(("written", "decoded"), ESCAPES, ids=ESCAPE_IDS)
def test_every_escape_in_a_payload_and_its_keys(size: int, written: str, decoded: str) -> None:
    # The keys are written with escapes too: "\u0069nput" is "input".
    text = '{"\\u0069nput":{"qr\\u005ftext":"Q' + written + 'R"},"config":{"client_id":"c"},"token":'
    payload = sized(text + doc(ACCESS) + "}", size)
    out = json.loads(call("payouts.scan.build", payload))
    assert out["value"]["body"] == '{"imagen":' + doc("Q" + decoded + "R") + "}"


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
         failure("ffi", "invalid payload: invalid length 3, expected struct Parse with 2 elements at line 1 column 1")),
        ("payouts.status.build", doc({"config": [*CONFIG_VALUES, None], "input": REF}),
         failure("ffi", "invalid payload: invalid length 6, expected struct Config with 5 elements at line 1 column 11")),
        ("payouts.status.build", doc({"config": CONFIG, "input": ["7", "8"]}),
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
