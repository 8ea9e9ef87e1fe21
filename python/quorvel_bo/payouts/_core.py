"""The bridge to the native core: JSON in, result document out, failures raised as exceptions."""

from __future__ import annotations

import functools
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, TypeVar

import msgspec
import orjson
from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._native import call

__all__ = ["OpEntry", "dumps", "op_entry", "op_names", "run", "run_into", "run_text"]

T = TypeVar("T")


def dumps(payload: Any) -> bytes:
    """The JSON text of a payload, in UTF-8."""
    try:
        return orjson.dumps(payload)
    except orjson.JSONEncodeError:
        # A lone surrogate or an integer beyond 64 bits: let the core refuse it in its own words.
        return json.dumps(payload).encode()


def run(op: str, payload: Any) -> Any:
    """Runs one core operation and returns its value, or raises the exception of its error."""
    return run_text(op, dumps(payload).decode())


def run_text(op: str, payload: str) -> Any:
    """Runs one core operation on a payload already written as JSON; as ``run``."""
    # orjson keeps every value exact here: amounts travel as text both ways, never as floats.
    document = orjson.loads(call(op, payload))
    if document["ok"]:
        return document["value"]
    raise error_from_core(document["error"])


_DECODERS: dict[Any, msgspec.json.Decoder[Any]] = {}


def _decoder(kind: Any) -> msgspec.json.Decoder[Any]:
    # One per result type; two threads building it at once build the same thing.
    decoder = _DECODERS.get(kind)
    if decoder is None:
        # Only the value is typed: a failure's error object is read as run_text reads it.
        answer = msgspec.defstruct("Answer", [("ok", bool), ("value", kind, None)])
        decoder = _DECODERS[kind] = msgspec.json.Decoder(answer)
    return decoder


def run_into(op: str, payload: str, kind: type[T]) -> T:
    """As ``run_text``, the value read straight into records of ``kind`` (a record class, a list of one).

    One pass over the core's answer, with no dicts in between: amounts are read from their
    text into Decimal, statuses by their value.
    """
    result = call(op, payload)
    answer = _decoder(kind).decode(result)
    if answer.ok:
        return answer.value  # type: ignore[no-any-return]
    raise error_from_core(orjson.loads(result)["error"])


# Operations whose outcome is unknown when their answer is lost or unreadable: the money may have
# moved, so they are never sent again until their status says what happened.
_UNCERTAIN_WHEN_LOST = frozenset({"payouts.pay"})


@dataclass(frozen=True, slots=True)
class OpEntry:
    """What the catalogue says of one remote operation."""

    name: str
    idempotent: bool
    timeout: float | None
    uncertain_when_lost: bool = False


@functools.cache
def _catalogue() -> Mapping[str, OpEntry]:
    # The catalogue is constant for a given core, so it is read once per process.
    entries = run("describe", "")
    return {
        e["name"]: OpEntry(
            name=e["name"],
            idempotent=bool(e["idempotent"]),
            timeout=e.get("timeout_secs"),
            uncertain_when_lost=e["name"] in _UNCERTAIN_WHEN_LOST,
        )
        for e in entries
        if e["kind"] == "operation"
    }


def op_entry(name: str) -> OpEntry:
    return _catalogue()[name]


def op_names() -> frozenset[str]:
    """The names of the remote operations."""
    return frozenset(_catalogue())
