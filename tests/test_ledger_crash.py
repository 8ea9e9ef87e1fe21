"""Crash tests of the ledger: runners killed with SIGKILL at random moments, then checked against the provider.

The simulator runs as its own process and is the witness: after the runs every payout must be
final in the ledger, recorded exactly once at the simulator with its exact amount, and no payment
request may have been refused there as a duplicate (which would mean one was resent blindly).
"""

from __future__ import annotations

import os
import random
import signal
import subprocess
import sys
import time
from decimal import Decimal
from pathlib import Path

import pytest
from conftest import PURE_PYTHON, SimulatorProcess
from quorvel_bo.payouts.ledger import Ledger, PayoutState
from quorvel_bo.payouts.ledger._cli import TOKEN_VARIABLE
from quorvel_bo.payouts.simulator import (QR_FIXED_AMOUNT, QR_OPEN_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN,
                                          TRIGGER_AMBIGUOUS_94, TRIGGER_AMBIGUOUS_96, TRIGGER_SLOW, TRIGGER_UNAVAILABLE)

pytestmark = PURE_PYTHON

PAYOUTS = 300
KILLS = 20
SOURCE = "2012345678"
# One in ten of each trigger; the rest pay plainly.
PREFIXES = ["P", "P", "P", "P", "P", "P", TRIGGER_AMBIGUOUS_94, TRIGGER_AMBIGUOUS_96, TRIGGER_UNAVAILABLE, TRIGGER_SLOW]
# Short leases, grace and polls keep the run brief; the client gives up on a slow answer before the
# simulator sends it (--slow-delay 0.8 in the fixture).
RUN_FLAGS = [
    "--timeout", "0.3", "--lease", "1.5", "--grace", "1.0", "--poll-interval", "0.02", "--poll-max-interval", "0.2",
    "--retry-interval", "0.05", "--retry-max-interval", "0.5", "--inline-wait", "0.3", "--idle-interval", "0.05",
]


def _intents(start: int = 0, count: int = PAYOUTS) -> dict[str, tuple[str, Decimal | None, Decimal]]:
    """key -> (QR text, the amount given, the amount that must be paid)."""
    intents = {}
    for i in range(start, start + count):
        key = f"{PREFIXES[i % len(PREFIXES)]}-C{i:04d}"
        if i % 2:
            amount = Decimal(f"{1 + i % 97}.{i % 100:02d}")
            intents[key] = (QR_OPEN_AMOUNT, amount, amount)
        else:
            intents[key] = (QR_FIXED_AMOUNT, None, Decimal("150.00"))
    return intents


def _record(db: str, intents: dict[str, tuple[str, Decimal | None, Decimal]]) -> None:
    with Ledger(db) as ledger:
        for key, (qr, amount, _) in intents.items():
            ledger.add_qr_payout(key, qr, SOURCE, amount, None if amount is None else f"Pago {key}")


class Runners:
    """``ledger run`` processes against the simulator, each one's output in a file of its own."""

    def __init__(self, db: str, sim: SimulatorProcess, logs: Path) -> None:
        self.db = db
        self.sim = sim
        self.logs = logs
        self.started = 0
        self.env = {**os.environ, TOKEN_VARIABLE: TEST_TOKEN}

    def start(self, workers: int = 1) -> tuple[subprocess.Popen[bytes], Path]:
        self.started += 1
        log = self.logs / f"runner-{self.started}.log"
        with log.open("wb") as out:
            proc = subprocess.Popen(
                [sys.executable, "-m", "quorvel_bo.payouts", "ledger", "--db", self.db, "run", "--plain",
                 "--until-idle", "--workers", str(workers), "--base-url", self.sim.base_url,
                 "--client-id", TEST_CLIENT_ID, *RUN_FLAGS],
                stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=self.env,
            )
        return proc, log


def _wait_for_work(log: Path, proc: subprocess.Popen[bytes], limit: float = 5.0) -> None:
    """Returns once the runner has recorded a step (or exited, or ``limit`` passed)."""
    end = time.monotonic() + limit
    while time.monotonic() < end and proc.poll() is None and log.stat().st_size == 0:
        time.sleep(0.01)


def _finish(proc: subprocess.Popen[bytes], log: Path, limit: float) -> None:
    try:
        code = proc.wait(limit)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        pytest.fail(f"a runner did not finish within {limit:g} s:\n{log.read_text()[-3000:]}")
    assert code == 0, log.read_text()[-3000:]


def _check(db: str, sim: SimulatorProcess, intents: dict[str, tuple[str, Decimal | None, Decimal]]) -> None:
    with Ledger(db) as ledger:
        payouts = {p.key: p for p in ledger.payouts()}
    assert set(payouts) == set(intents)
    unfinished = {k: p.state.value for k, p in payouts.items() if not p.state.is_final}
    assert unfinished == {}
    witness = sim.payments()
    # Never resent blindly: the provider never had to refuse a request as a duplicate.
    assert witness["duplicates_refused"] == 0
    recorded: dict[str, list[dict[str, str]]] = {}
    for payment in witness["payments"]:
        recorded.setdefault(payment["transaction_id"], []).append(payment)
    # No payment the ledger does not know, and exactly one per key.
    assert set(recorded) == set(intents)
    assert {k: len(v) for k, v in recorded.items() if len(v) != 1} == {}
    wrong = {}
    for key, (_, _, amount) in intents.items():
        payment, payout = recorded[key][0], payouts[key]
        expected_state = PayoutState.REJECTED if key.startswith(TRIGGER_AMBIGUOUS_96) else PayoutState.PAID
        seen = (Decimal(payment["amount"]), payment["currency"], payment["reference"], payout.state)
        if seen != (amount, "BOB", payout.reference, expected_state):
            wrong[key] = seen
        expected_word = "RECHAZADO" if expected_state is PayoutState.REJECTED else "PAGADO"
        if payment["status"] != expected_word or payout.provider_status != expected_word:
            wrong[key] = (payment["status"], payout.provider_status)
    assert wrong == {}


@pytest.mark.timeout(150)
def test_runner_killed_again_and_again_pays_each_payout_once(db_url: str, tmp_path: Path, sim_process: SimulatorProcess) -> None:
    db = db_url
    intents = _intents()
    _record(db, intents)
    runners = Runners(db, sim_process, tmp_path)
    rng = random.Random(14)
    kills = 0
    while kills < KILLS:
        proc, log = runners.start(workers=4)
        _wait_for_work(log, proc)
        time.sleep(rng.uniform(0.0, 0.6))
        if proc.poll() is not None:
            # It finished everything between two kills (a fast machine): more work, more kills.
            more = _intents(len(intents), PAYOUTS // 10)
            _record(db, more)
            intents.update(more)
            continue
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
        kills += 1
    proc, log = runners.start(workers=4)
    _finish(proc, log, 90)
    _check(db, sim_process, intents)


@pytest.mark.timeout(150)
def test_four_runner_processes_killed_at_random_pay_each_payout_once(db_url: str, tmp_path: Path, sim_process: SimulatorProcess) -> None:
    db = db_url
    intents = _intents()
    _record(db, intents)
    runners = Runners(db, sim_process, tmp_path)
    rng = random.Random(41)
    crew = [runners.start() for _ in range(4)]
    for proc, log in crew:
        _wait_for_work(log, proc)
    kills = 0
    end = time.monotonic() + 60
    while kills < KILLS and time.monotonic() < end:
        time.sleep(rng.uniform(0.05, 0.35))
        index = rng.randrange(len(crew))
        proc, _ = crew[index]
        if proc.poll() is not None:
            # That runner found no work left: give the crew more, so that the kills land mid-run.
            more = _intents(len(intents), PAYOUTS // 10)
            _record(db, more)
            intents.update(more)
            crew[index] = runners.start()
            continue
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)
        kills += 1
        crew[index] = runners.start()
    assert kills >= KILLS
    for proc, log in crew:
        _finish(proc, log, 90)
    _check(db, sim_process, intents)
