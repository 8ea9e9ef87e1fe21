"""JSON for the simulated provider: amounts travel as exact decimal numbers, as the provider writes them."""

from __future__ import annotations

import json
from collections.abc import Mapping, Sequence
from decimal import Decimal


def dumps(value: object) -> str:
    """Compact JSON in insertion order; a ``Decimal`` is written as a number with its own digits (150.00)."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, Decimal):
        return format(value, "f")
    if isinstance(value, str):
        return json.dumps(value, ensure_ascii=False)
    if isinstance(value, Mapping):
        items = (f"{json.dumps(str(k), ensure_ascii=False)}:{dumps(v)}" for k, v in value.items())
        return "{" + ",".join(items) + "}"
    if isinstance(value, Sequence):
        return "[" + ",".join(dumps(v) for v in value) + "]"
    raise TypeError(f"cannot write {type(value).__name__} as JSON")


def loads(text: str) -> object:
    """Reads JSON keeping fractional numbers exact, as ``Decimal``; raises ValueError for bad text."""
    try:
        return json.loads(text, parse_float=Decimal)
    except RecursionError:
        raise ValueError("JSON nested too deeply") from None
