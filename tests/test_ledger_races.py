"""The ledger under concurrent writers and late words: completion races on PostgreSQL, reversals, the
notation of amounts, and the endpoint's log when served by uvicorn directly."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import httpx
import pytest
from conftest import PURE_PYTHON, WEBHOOK_TOKEN, PostgresServer, free_port, payroll_rows, terminate, wait_for_port
from quorvel_bo.payouts import Backoff, Client
from quorvel_bo.payouts.ledger import BatchState, Ledger, PayoutState, RunOptions
from quorvel_bo.payouts.ledger._engine import open_engine
from quorvel_bo.payouts.ledger._export import export_rows
from quorvel_bo.payouts.ledger._store import Store
from quorvel_bo.payouts.simulator import (QR_FIXED_AMOUNT, QR_OPEN_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN, Settings,
                                          Simulator)

pytestmark = PURE_PYTHON

BRANCH = "SUC-01"
HOOK = "http://127.0.0.1:9/hooks/batch"


def _word(transaction_id: str, status: str = "paid", raw: str = "PAGADO") -> dict[str, Any]:
    return {"transaction_id": transaction_id, "status": status, "final": status not in ("pending", "processing"),
            "raw_status": raw, "reference": "88125", "message": None, "ach_number": None, "bank_name": None,
            "transaction_at": None, "paid_amount": None}


def _authorized_batch(db: str, count: int) -> tuple[str, list[str]]:
    """A batch of ``count`` transfers, authorised and released, none of them final yet."""
    with Ledger(db) as ledger:
        result = ledger.add_batch(payroll_rows(count), branch_code=BRANCH, webhook_url=HOOK,
                                  webhook_token=WEBHOOK_TOKEN)
        ids = [t.transaction_id for t in ledger.transfers()]
    store = Store(open_engine(db))
    try:
        held = store.claim_batch("w", 60_000)
        assert held is not None
        store.advance_batch(held, "w", BatchState.AUTHORIZED, "authorised", changes={"batch_number": "1"},
                            next_at=store.now() + 3_600_000)
    finally:
        store.close()
    return result.process_ids[0], ids


@pytest.mark.timeout(30)
def test_the_last_two_transfers_made_final_at_once_complete_their_batch_on_postgresql(
    postgres: PostgresServer,
) -> None:
    # Under READ COMMITTED each writer's completion check sees the other's transfer still open, unless
    # the checks are serialised: the batch would stay authorised with every transfer final.
    db = postgres.new_database()
    pid, (x, y) = _authorized_batch(db, 2)
    first, second = Store(open_engine(db)), Store(open_engine(db))
    try:
        with first.engine.transaction() as tx:
            now = first.now()
            assert first._apply_words(tx, None, [_word(x)], "notification", now) == [x]
            assert first._complete_if_done(tx, pid, now, None) is None
            other = threading.Thread(target=second.record_words, args=([_word(y)], "notification"))
            other.start()
            # The other writer reaches its own check while this transaction is still open.
            other.join(1.0)
        other.join(10)
        assert not other.is_alive()
    finally:
        first.close()
        second.close()
    with Ledger(db) as ledger:
        batch = ledger.batch(pid)
        assert {t.is_final for t in ledger.transfers()} == {True}
        assert batch is not None and batch.state is BatchState.COMPLETED and batch.completed_at is not None


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    ("words", "expected"),
    [
        # A retried "paid" arriving after the reversal must not undo it.
        ([("paid", "PAGADO"), ("reversed", "REVERTIDO"), ("paid", "PAGADO")], "reversed"),
        ([("reversed", "REVERTIDO"), ("paid", "PAGADO")], "reversed"),
        # A rejected transfer is never made paid by a stray word, nor the other way round.
        ([("rejected", "RECHAZADO"), ("paid", "PAGADO")], "rejected"),
        ([("paid", "PAGADO"), ("rejected", "RECHAZADO")], "paid"),
        ([("pending", "PENDIENTE"), ("paid", "PAGADO"), ("pending", "PENDIENTE")], "paid"),
    ],
    ids=["paid-reversed-paid", "reversed-paid", "rejected-paid", "paid-rejected", "pending-paid-pending"],
)
def test_a_final_status_is_replaced_only_by_a_reversal(db_url: str, words: list[tuple[str, str]],
                                                       expected: str) -> None:
    pid, (x,) = _authorized_batch(db_url, 1)
    store = Store(open_engine(db_url))
    try:
        for status, raw in words:
            store.record_words([_word(x, status, raw)], "notification")
    finally:
        store.close()
    with Ledger(db_url) as ledger:
        transfer = ledger.transfer(x)
        assert transfer is not None and transfer.status is not None and transfer.status.value == expected


@pytest.mark.timeout(30)
def test_amounts_written_with_an_exponent_are_kept_and_exported_in_plain_digits(tmp_path: Path) -> None:
    rows = payroll_rows(3)
    rows[0]["amount"], rows[1]["amount"], rows[2]["amount"] = "1.5E2", "1e-2", "2.50E+1"
    with Ledger(str(tmp_path / "l.db")) as ledger:
        ledger.add_batch(rows, branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
        ledger.add_qr_payout("K-1", QR_OPEN_AMOUNT, "2012345678", "1.5E2", "Pago")
        assert ledger.add_qr_payout("K-1", QR_OPEN_AMOUNT, "2012345678", "150", "Pago") is False
        exported = {row["id"]: row["amount"] for row in export_rows(ledger)}
        assert ledger.payout("K-1").to_json()["amount"] == "150"  # type: ignore[union-attr]
    assert exported == {"K-1": "150", rows[0]["transaction_id"]: "150", rows[1]["transaction_id"]: "0.01",
                        rows[2]["transaction_id"]: "25.0"}


@pytest.mark.timeout(60)
def test_the_application_served_by_uvicorn_itself_logs_no_token(tmp_path: Path) -> None:
    db = str(tmp_path / "ledger.db")
    with Ledger(db) as ledger:
        ledger.add_batch(payroll_rows(1), branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
    port = free_port()
    log = tmp_path / "uvicorn.log"
    env = {**os.environ, "QUORVEL_BO_LEDGER_DB": db, "QUORVEL_BO_WEBHOOK_TOKEN": WEBHOOK_TOKEN}
    with log.open("wb") as out:
        proc = subprocess.Popen(
            [sys.executable, "-m", "uvicorn", "quorvel_bo.payouts.server:app", "--host", "127.0.0.1",
             "--port", str(port)],
            stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env,
        )
    try:
        wait_for_port(port, proc, log)
        body = json.dumps({"nroLote": 7781, "transaccionId": "PAY-000000", "numeroReferencia": "88125",
                           "estado": "PAGADO", "importe": 1.0, "moneda": "BOB"})
        url = f"http://127.0.0.1:{port}/hooks/batch?token={WEBHOOK_TOKEN}"
        assert httpx.post(url, content=body, timeout=10).status_code == 200
        assert httpx.post(url.replace(WEBHOOK_TOKEN, "wrong-token-0000000000"), content=body,
                          timeout=10).status_code == 401
    finally:
        terminate(proc)
    text = log.read_text(errors="replace")
    assert '"POST /hooks/batch?token=[redacted] HTTP/1.1" 200' in text
    assert WEBHOOK_TOKEN not in text and "wrong-token-0000000000" not in text
    with Ledger(db) as ledger:
        assert ledger.transfer("PAY-000000").raw_status == "PAGADO"  # type: ignore[union-attr]


class _LateNetwork(httpx.HTTPTransport):
    """A network where the payment's first connection fails only after ``fail_after`` s (so the
    client tries again) and the second attempt reaches the provider ``delay`` s late, its answer lost."""

    def __init__(self, fail_after: float, delay: float) -> None:
        super().__init__()
        self.fail_after, self.delay = fail_after, delay
        self.attempts = 0
        self.late: list[threading.Thread] = []

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        if not request.url.path.endswith("/qr/confirm"):
            return super().handle_request(request)
        self.attempts += 1
        if self.attempts == 1:
            time.sleep(self.fail_after)
            raise httpx.ConnectError("connection refused", request=request)
        if self.attempts == 2:
            late = httpx.Request(request.method, request.url, headers=request.headers, content=request.read())

            def deliver() -> None:
                time.sleep(self.delay)
                with httpx.Client() as client:
                    client.send(late)

            thread = threading.Thread(target=deliver)
            thread.start()
            self.late.append(thread)
            raise httpx.ReadTimeout("no answer", request=request)
        return super().handle_request(request)


@pytest.mark.timeout(30)
def test_grace_runs_from_the_last_attempt_of_a_payment_not_from_its_write_ahead(tmp_path: Path) -> None:
    # The payment's second attempt leaves well after `paying` was committed; a "not found" right after its
    # lost answer means "not processed yet", and paying again then would meet the late request.
    network = _LateNetwork(fail_after=1.0, delay=0.4)
    options = RunOptions(lease=5.0, grace=0.8, poll_interval=0.01, poll_max_interval=0.05, retry_interval=0.01,
                         retry_max_interval=0.1, inline_wait=0.2, idle_interval=0.02)
    with Simulator(settings=Settings(settle_after=1)) as sim, Ledger(str(tmp_path / "l.db")) as ledger:
        ledger.add_qr_payout("K-1", QR_FIXED_AMOUNT, "2012345678")
        client = Client(TEST_CLIENT_ID, token=TEST_TOKEN, base_url=sim.base_url, transport=network, timeout=5,
                        backoff=Backoff(0.01, 0.01))
        try:
            ledger.run(client, until_idle=True, options=options)
        finally:
            client.close()
            for thread in network.late:
                thread.join(10)
        payout = ledger.payout("K-1")
        witness = sim.payments()
        events = [e.event for e in ledger.history("K-1")]
    assert payout is not None and payout.state is PayoutState.PAID
    assert witness["duplicates_refused"] == 0
    assert [p["transaction_id"] for p in witness["payments"]] == ["K-1"]
    assert events.count("payment sent") == 1 and "payment in doubt" in events
