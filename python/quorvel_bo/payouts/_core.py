"""The bridge to the native core: JSON in, result document out, failures raised as exceptions."""

from __future__ import annotations

import dataclasses
import functools
import json
import typing
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, TypeVar

import msgspec
import orjson
from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._native import call

__all__ = ["PIECE_RECORDS", "OpEntry", "dumps", "op_entry", "op_names", "run", "run_into", "run_text"]

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


def _answer_decoder(kind: Any) -> msgspec.json.Decoder[Any]:
    # Only the value is typed: a failure's error object is read as run_text reads it.
    return msgspec.json.Decoder(msgspec.defstruct("Answer", [("ok", bool), ("value", kind, None)]))


_DECODERS: dict[Any, msgspec.json.Decoder[Any]] = {}


def _decoder(kind: Any) -> msgspec.json.Decoder[Any]:
    # One per result type; two threads building it at once build the same thing.
    decoder = _DECODERS.get(kind)
    if decoder is None:
        decoder = _DECODERS[kind] = _answer_decoder(kind)
    return decoder


# Records read per piece of a long list: a few milliseconds each, so that a thread waiting for
# the interpreter lock (an event loop) gets it in between.
PIECE_RECORDS = 1000


@dataclass(frozen=True, slots=True)
class _Pieces:
    """How to read a long answer piece by piece: its lists first as raw texts, then their records."""

    outline: msgspec.json.Decoder[Any]
    kind: Any
    #: The decoder of a piece of the value, when the value is itself a list.
    items: msgspec.json.Decoder[Any] | None = None
    #: Each list field of a record and the decoder of a piece of it.
    lists: tuple[tuple[str, msgspec.json.Decoder[Any]], ...] = ()


_PIECES: dict[Any, _Pieces | None] = {}


def _pieces(kind: Any) -> _Pieces | None:
    if kind in _PIECES:
        return _PIECES[kind]
    plan = None
    if typing.get_origin(kind) is list:
        plan = _Pieces(_answer_decoder(list[msgspec.Raw]), kind, items=msgspec.json.Decoder(kind))
    elif dataclasses.is_dataclass(kind):
        hints = typing.get_type_hints(kind)
        fields, lists = [], []
        for item in dataclasses.fields(kind):
            hint = hints[item.name]
            if typing.get_origin(hint) is tuple:
                fields.append((item.name, list[msgspec.Raw]))
                lists.append((item.name, msgspec.json.Decoder(list[typing.get_args(hint)[0]])))  # type: ignore[misc]
            else:
                fields.append((item.name, hint))
        if lists:
            outline = _answer_decoder(msgspec.defstruct("Outline", fields))
            plan = _Pieces(outline, kind, lists=tuple(lists))
    _PIECES[kind] = plan
    return plan


def _read_pieces(raws: list[msgspec.Raw], decoder: msgspec.json.Decoder[Any]) -> list[Any]:
    items: list[Any] = []
    for start in range(0, len(raws), PIECE_RECORDS):
        items += decoder.decode(b"".join((b"[", b",".join(raws[start : start + PIECE_RECORDS]), b"]")))
    return items


def run_into(op: str, payload: str, kind: type[T], *, in_pieces: bool = False) -> T:
    """As ``run_text``, the value read straight into records of ``kind`` (a record class, a list of one).

    One pass over the core's answer, with no dicts in between: amounts are read from their
    text into Decimal, statuses by their value. ``in_pieces`` reads long lists a thousand
    records at a time, letting other threads run in between (one pass holds the interpreter
    lock throughout).
    """
    result = call(op, payload)
    plan = _pieces(kind) if in_pieces else None
    if plan is None:
        answer = _decoder(kind).decode(result)
        if answer.ok:
            return answer.value  # type: ignore[no-any-return]
    else:
        answer = plan.outline.decode(result)
        if answer.ok:
            return _assemble(plan, answer.value)  # type: ignore[no-any-return]
    raise error_from_core(orjson.loads(result)["error"])


def _assemble(plan: _Pieces, outline: Any) -> Any:
    if plan.items is not None:
        return _read_pieces(outline, plan.items)
    values = msgspec.structs.asdict(outline)
    for name, decoder in plan.lists:
        values[name] = tuple(_read_pieces(values[name], decoder))
    return plan.kind(**values)


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
