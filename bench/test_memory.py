"""Peak memory of the largest call next to the pure-Python baseline (see memory.py)."""

from __future__ import annotations

from typing import Any

import pytest
from memory import measure

LABELS = ["batch.authorize.build 100k", "batch.status.parse 10k"]


@pytest.mark.parametrize("label", LABELS)
def test_peak_memory(record_memory: Any, label: str) -> None:
    native = measure(label, "call")
    python = measure(label, "python")
    if native is None or python is None:
        pytest.skip("the resident-set high-water mark cannot be reset here")
    record_memory(label, native, python)
