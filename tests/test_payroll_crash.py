"""A payroll of thousands of rows end to end, with the runner and the endpoint killed along the way.

The simulator runs as its own process and is the witness: it refuses a repeated process id with
code "21", and the test checks that it never had to; every transfer must end final in the ledger,
as the simulator has it, and in the export with its exact amount.
"""

from __future__ import annotations

import csv
import io
import json
import os
import signal
import subprocess
import sys
import time
from decimal import Decimal
from pathlib import Path

import pytest
from conftest import (PURE_PYTHON, WEBHOOK_TOKEN, EndpointProcess, SimulatorProcess, ledger_cli, payroll_rows,
                      write_payroll)
from quorvel_bo.payouts.ledger import BatchState, Ledger
from quorvel_bo.payouts.ledger._cli import TOKEN_VARIABLE
from quorvel_bo.payouts.simulator import TEST_CLIENT_ID, TEST_TOKEN

pytestmark = PURE_PYTHON

ROWS = 5000
# After the write-ahead commit, the runner dies this long after: before the request leaves, while the
# provider takes it, or once it answered and before the answer is recorded.
KILL_DELAYS = (0.0, 0.03, 0.06, 0.09, 0.15)
BRANCH = "SUC-01"
# Short leases, grace and waits keep the run brief; a batch of 1,000 is answered well within the time-out.
RUN_FLAGS = [
    "--timeout", "4", "--lease", "5", "--grace", "1.0", "--retry-interval", "0.05", "--retry-max-interval", "0.5",
    "--inline-wait", "0.3", "--idle-interval", "0.05", "--reconcile-after", "4", "--reconcile-interval", "2",
]
# Rows spoiled in the first version of the file: index -> (column, value).
SPOILED = {
    41: ("bank_code", "10O1"),
    1203: ("date", "2024-12-32"),
    2500: ("branch_city", "El Alto"),
    3333: ("amount", "1.250,50"),
    4020: ("currency", "Bs"),
    4999: ("transaction_id", "PAY-000007"),
}


def _runner(db: str, sim: SimulatorProcess, log: Path) -> subprocess.Popen[bytes]:
    with log.open("wb") as out:
        return subprocess.Popen(
            [sys.executable, "-m", "quorvel_bo.payouts", "ledger", "--db", db, "run", "--plain", "--until-idle",
             "--workers", "2", "--base-url", sim.base_url, "--client-id", TEST_CLIENT_ID, *RUN_FLAGS],
            stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            env={**os.environ, TOKEN_VARIABLE: TEST_TOKEN},
        )


def _wait_for(what: str, log: Path, proc: subprocess.Popen[bytes], count: int, limit: float = 30) -> bool:
    """True once ``what`` appears ``count`` times in the log; False when the process ended first."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if log.read_text(errors="replace").count(what) >= count:
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.005)
    pytest.fail(f"{what!r} did not appear {count} time(s) within {limit:g} s:\n{log.read_text()[-3000:]}")


def _notified(db: str) -> int:
    with Ledger(db) as ledger:
        return sum(1 for t in ledger.transfers() if t.notified_at is not None)


@pytest.mark.timeout(240)
@pytest.mark.parametrize("engine", ["sqlite", "postgresql"])
def test_a_payroll_survives_killed_runners_and_a_killed_endpoint(
    engine: str, request: pytest.FixtureRequest, tmp_path: Path
) -> None:
    db = str(tmp_path / "ledger.db") if engine == "sqlite" else request.getfixturevalue("postgres").new_database()
    rows = payroll_rows(ROWS, rejected_every=97)
    spoiled = [dict(r) for r in rows]
    for index, (column, value) in SPOILED.items():
        spoiled[index][column] = value
    bad = write_payroll(tmp_path / "payroll-draft.csv", spoiled, sep=";", bom=True)
    good = write_payroll(tmp_path / "payroll.csv", rows, sep=";", bom=True)

    # The draft: every spoiled row named with its line and column, nothing recorded.
    refused = ledger_cli("--db", db, "import", str(bad), "--branch", BRANCH, "--webhook-url", "http://127.0.0.1:9/x",
                         "--webhook-token", WEBHOOK_TOKEN, "--json", timeout=120)
    assert refused.returncode == 1
    problems = json.loads(refused.stdout)["problems"]
    assert {(p["line"], p["column"]) for p in problems} == {(i + 2, c) for i, (c, _) in SPOILED.items()}
    with Ledger(db) as ledger:
        assert ledger.transfers() == []

    sim = SimulatorProcess(tmp_path, "--transfer-interval", "0.001", "--webhook-attempts", "60",
                           "--webhook-backoff-max", "0.25")
    endpoint = EndpointProcess(tmp_path, db, WEBHOOK_TOKEN)
    try:
        endpoint.start()
        imported = ledger_cli("--db", db, "import", str(good), "--branch", BRANCH, "--webhook-url", endpoint.url,
                              "--webhook-token", WEBHOOK_TOKEN, timeout=120)
        assert imported.returncode == 0, imported.stderr
        with Ledger(db) as ledger:
            assert [b.transfers for b in ledger.batches()] == [1000] * 5

        # Runners killed right after committing an authorisation, before or after the request left.
        for kill, delay in enumerate(KILL_DELAYS, start=1):
            log = tmp_path / f"runner-{kill}.log"
            proc = _runner(db, sim, log)
            if _wait_for("authorisation sent", log, proc, 1):
                time.sleep(delay)
                proc.send_signal(signal.SIGKILL)
            proc.wait(10)

        log = tmp_path / "runner-last.log"
        proc = _runner(db, sim, log)
        # The endpoint dies in the middle of the notifications; the provider's retries fill the gap.
        end = time.monotonic() + 60
        while _notified(db) < 1000 and time.monotonic() < end:
            time.sleep(0.05)
        endpoint.kill()
        time.sleep(0.5)
        endpoint.start()
        try:
            code = proc.wait(150)
        except subprocess.TimeoutExpired:
            proc.kill()
            pytest.fail(f"the last runner did not finish:\n{log.read_text()[-3000:]}")
        assert code == 0, log.read_text()[-3000:]
        witness = sim.batches()
    finally:
        endpoint.stop()
        sim.close()

    # Never sent twice: the provider never had to refuse a process id.
    assert witness["duplicates_refused"] == 0
    at_provider = {t["transaction_id"]: (b["process_id"], t) for b in witness["batches"] for t in b["transfers"]}
    assert sum(len(b["transfers"]) for b in witness["batches"]) == ROWS == len(at_provider)
    with Ledger(db) as ledger:
        batches = ledger.batches()
        transfers = {t.transaction_id: t for t in ledger.transfers()}
    assert {b.state for b in batches} == {BatchState.COMPLETED}
    assert sorted(b.process_id for b in batches) == sorted(b["process_id"] for b in witness["batches"])
    assert set(transfers) == {r["transaction_id"] for r in rows} == set(at_provider)
    wrong = {}
    for tid, t in transfers.items():
        pid, seen = at_provider[tid]
        expected = "RECHAZADO" if tid.startswith("SIMREJ") else "PAGADO"
        ours = (t.process_id, t.amount, t.raw_status, t.reference, t.is_final)
        theirs = (pid, Decimal(seen["amount"]), seen["status"], seen["reference"], True)
        if ours != theirs or seen["status"] != expected:
            wrong[tid] = (ours, theirs, t.reported_by)
    assert wrong == {}
    # The notifications did the work; the batch status only filled in.
    assert sum(1 for t in transfers.values() if t.notified_at is not None) > ROWS // 2

    exported = ledger_cli("--db", db, "export", "--format", "csv", timeout=120)
    assert exported.returncode == 0, exported.stderr
    table = {r["id"]: r for r in csv.DictReader(io.StringIO(exported.stdout))}
    assert {tid: (r["amount"], r["currency"], r["status"]) for tid, r in table.items()} == {
        r["transaction_id"]: (r["amount"], r["currency"], "rejected" if r["transaction_id"].startswith("SIMREJ")
                              else "paid")
        for r in rows
    }
