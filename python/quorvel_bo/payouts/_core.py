"""The bridge to the native core: JSON in, result document out, failures raised as exceptions."""

from __future__ import annotations

import functools
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._native import call

__all__ = ["OpEntry", "op_entry", "op_names", "run"]


def run(op: str, payload: Any) -> Any:
    """Runs one core operation and returns its value, or raises the exception of its error."""
    document = json.loads(call(op, json.dumps(payload)))
    if document["ok"]:
        return document["value"]
    raise error_from_core(document["error"])


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
