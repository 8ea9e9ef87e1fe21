"""Shared fixtures: the command line run as a separate process."""

from __future__ import annotations

import subprocess
import sys
from collections.abc import Callable

import pytest

@pytest.fixture
def run_cli() -> Callable[..., subprocess.CompletedProcess[bytes]]:
    """Runs `python -m quorvel_bo.payouts ARGS` with bytes on standard input (empty by default)."""

    def run(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
        return subprocess.run(
            [sys.executable, "-m", "quorvel_bo.payouts", *args],
            input=stdin,
            capture_output=True,
            timeout=60,
            check=False,
        )

    return run
