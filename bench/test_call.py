"""Timing of `call` per operation next to its baselines, measured in the same run.

Each case is timed four ways, one after the other so that they share the machine's state:
  call    the native call itself
  floor   `operator.is_` with two str arguments: the least any call from Python costs
  loads   `json.loads` of the payload alone
  python  `json.loads` of the payload, then `json.dumps` of the result document's value in the
          contract's form (compact, sorted keys, no ASCII escaping): the least a pure-Python
          implementation must do
Run with `bash scripts/bench.sh`; conftest.py prints the table of ratios.
"""

from __future__ import annotations

import functools
import json
import operator
from typing import Any

import pytest
from payloads import CASES
from quorvel_bo.payouts._native import call

KINDS = ["call", "floor", "loads", "python"]


@functools.cache
def prepared(label: str) -> tuple[str, str, Any]:
    """The operation, its payload and the parsed result, checked to succeed."""
    for name, op, factory in CASES:
        if name == label:
            payload = factory()
            result = json.loads(call(op, payload))
            assert result["ok"], result
            return op, payload, result
    raise KeyError(label)


def python_baseline(payload: str, result: Any) -> Any:
    # "version" and "describe" take no payload: there is nothing to load.
    if payload:
        json.loads(payload)
    return json.dumps(result, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


PARAMS = [
    pytest.param(label, kind, id=f"{label}|{kind}")
    for label, _, _ in CASES
    for kind in KINDS
]


@pytest.mark.parametrize(("label", "kind"), PARAMS)
def test_call(benchmark: Any, record: Any, label: str, kind: str) -> None:
    op, payload, result = prepared(label)
    benchmark.group = label
    if kind == "call":
        benchmark(call, op, payload)
    elif kind == "floor":
        benchmark(operator.is_, op, payload)
    elif kind == "loads":
        if not payload:
            pytest.skip("no payload")
        benchmark(json.loads, payload)
    else:
        benchmark(python_baseline, payload, result)
    record(label, kind, len(payload.encode()), benchmark.stats.stats)
