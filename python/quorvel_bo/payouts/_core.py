"""The bridge to the native core: JSON in, result document out, failures raised as exceptions."""

from __future__ import annotations

import functools
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._native import call

__all__ = ["OpEntry", "op_entry", "run"]


def run(op: str, payload: Any) -> Any:
    """Runs one core operation and returns its value, or raises the exception of its error."""
    document = json.loads(call(op, json.dumps(payload)))
    if document["ok"]:
        return document["value"]
    raise error_from_core(document["error"])


@dataclass(frozen=True, slots=True)
class OpEntry:
    """What the catalogue says of one remote operation."""

    name: str
    idempotent: bool
    timeout: float | None


@functools.cache
def _catalogue() -> Mapping[str, OpEntry]:
    # The catalogue is constant for a given core, so it is read once per process.
    entries = run("describe", "")
    return {
        e["name"]: OpEntry(name=e["name"], idempotent=bool(e["idempotent"]), timeout=e.get("timeout_secs"))
        for e in entries
        if e["kind"] == "operation"
    }


def op_entry(name: str) -> OpEntry:
    return _catalogue()[name]
