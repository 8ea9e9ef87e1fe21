"""The ledger on both engines: intents, schema, leases, recovery from the write-ahead state, the commands."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from decimal import Decimal
from pathlib import Path
from typing import Any

import pytest
from conftest import PURE_PYTHON, fast_run_options, ledger_cli, wait_until
from quorvel_bo.payouts import Backoff, Client, ValidationError
from quorvel_bo.payouts.ledger import ClientSettings, IntentConflictError, Ledger, PayoutState, SchemaVersionError
from quorvel_bo.payouts.ledger._cli import TOKEN_VARIABLE
from quorvel_bo.payouts.ledger._engine import open_engine
from quorvel_bo.payouts.ledger._schema import MIGRATIONS, Migration, migrate, schema_version
from quorvel_bo.payouts.ledger._store import LeaseLost, Store
from quorvel_bo.payouts.simulator import (QR_FIXED_AMOUNT, QR_OPEN_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN, Settings,
                                          Simulator)

pytestmark = PURE_PYTHON

SOURCE = "2012345678"
FAST = fast_run_options()


class Clock:
    def __init__(self) -> None:
        self.now = 1_800_000_000.0

    def __call__(self) -> float:
        return self.now


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator(settings=Settings(settle_after=2, slow_delay=0.5)) as running:
        yield running


@pytest.fixture
def settings(sim: Simulator) -> ClientSettings:
    return ClientSettings(TEST_CLIENT_ID, TEST_TOKEN, base_url=sim.base_url, timeout=0.25, backoff=Backoff(0.01, 0.05))


# -- intents -----------------------------------------------------------------------------------------


def test_same_intent_twice_is_recorded_once(db_url: str) -> None:
    with Ledger(db_url) as ledger:
        assert ledger.add_qr_payout("INV-1", QR_OPEN_AMOUNT, SOURCE, "75.50", "Almuerzo") is True
        # Same value written differently is the same intent.
        assert ledger.add_qr_payout("INV-1", QR_OPEN_AMOUNT, SOURCE, Decimal("75.5"), "Almuerzo") is False
        assert [e.event for e in ledger.history("INV-1")] == ["recorded"]
        assert ledger.payout("INV-1").amount == Decimal("75.50")  # type: ignore[union-attr]


@pytest.mark.parametrize(
    "change",
    [
        {"qr_text": QR_FIXED_AMOUNT},
        {"source_account": "2099999999"},
        {"amount": "75.51"},
        {"amount": None},
        {"description": "Cena"},
    ],
)
def test_same_key_with_other_inputs_is_refused(db_url: str, change: dict[str, Any]) -> None:
    inputs: dict[str, Any] = {"qr_text": QR_OPEN_AMOUNT, "source_account": SOURCE, "amount": "75.50",
                              "description": "Almuerzo"}
    with Ledger(db_url) as ledger:
        ledger.add_qr_payout("INV-1", **inputs)
        with pytest.raises(IntentConflictError) as info:
            ledger.add_qr_payout("INV-1", **(inputs | change))
        assert info.value.existing.amount == Decimal("75.50")


@pytest.mark.parametrize(
    ("key", "qr", "source", "amount", "field"),
    [
        ("", QR_FIXED_AMOUNT, SOURCE, None, "key"),
        ("X" * 33, QR_FIXED_AMOUNT, SOURCE, None, "key"),
        ("has space", QR_FIXED_AMOUNT, SOURCE, None, "key"),
        ("K-1", "   ", SOURCE, None, "qr_text"),
        ("K-1", QR_FIXED_AMOUNT, "12345", None, "source_account"),
        ("K-1", QR_OPEN_AMOUNT, SOURCE, "0", "amount"),
        ("K-1", QR_OPEN_AMOUNT, SOURCE, "abc", "amount"),
    ],
)
def test_intents_no_payment_could_be_made_of_are_refused(
    tmp_path: Path, key: str, qr: str, source: str, amount: str | None, field: str
) -> None:
    with Ledger(str(tmp_path / "l.db")) as ledger:
        with pytest.raises(ValidationError) as info:
            ledger.add_qr_payout(key, qr, source, amount, "x")
        assert info.value.field == field
        assert ledger.status().total == 0


def test_float_amount_is_refused(tmp_path: Path) -> None:
    with Ledger(str(tmp_path / "l.db")) as ledger, pytest.raises(TypeError):
        ledger.add_qr_payout("K-1", QR_OPEN_AMOUNT, SOURCE, 75.5, "x")  # type: ignore[arg-type]


# -- schema ------------------------------------------------------------------------------------------


def test_schema_is_created_on_first_use_and_upgraded(db_url: str) -> None:
    engine = open_engine(db_url)
    try:
        assert schema_version(engine) == 0
        assert migrate(engine, MIGRATIONS[:1]) == (0, 1)
        assert migrate(engine, MIGRATIONS[:1]) == (1, 1)
        added: list[str] = []

        def v2(engine: Any, tx: Any) -> None:
            tx.execute("ALTER TABLE payouts ADD COLUMN note TEXT")
            added.append("v2")

        assert migrate(engine, (*MIGRATIONS[:1], Migration(2, "a note", v2))) == (1, 2)
        assert migrate(engine, (*MIGRATIONS[:1], Migration(2, "a note", v2))) == (2, 2)
        assert added == ["v2"]
        # A database newer than the package is refused, not misread.
        with pytest.raises(SchemaVersionError):
            migrate(engine, MIGRATIONS[:1])
    finally:
        engine.close()


def test_event_history_is_append_only(db_url: str) -> None:
    with Ledger(db_url) as ledger:
        ledger.add_qr_payout("K-1", QR_FIXED_AMOUNT, SOURCE)
    engine = open_engine(db_url)
    try:
        for statement in ("UPDATE payout_events SET event = 'forged'", "DELETE FROM payout_events"):
            with pytest.raises(Exception, match="append-only"), engine.transaction() as tx:
                tx.execute(statement)
    finally:
        engine.close()


# -- leases ------------------------------------------------------------------------------------------


def test_a_lease_keeps_others_off_until_it_expires(db_url: str) -> None:
    clock = Clock()
    with Ledger(db_url, clock=clock) as ledger:
        ledger.add_qr_payout("K-1", QR_FIXED_AMOUNT, SOURCE)
    a, b = Store(open_engine(db_url), clock=clock), Store(open_engine(db_url), clock=clock)
    try:
        held = a.claim("worker-a", 10_000)
        assert held is not None and held.lease_owner == "worker-a"
        assert b.claim("worker-b", 10_000) is None
        clock.now += 9.9
        assert b.claim("worker-b", 10_000) is None
        clock.now += 0.2
        taken = b.claim("worker-b", 10_000)
        assert taken is not None and taken.key == "K-1"
        # The first holder's late step is refused: it no longer owns the payout.
        with pytest.raises(LeaseLost):
            a.advance(held, "worker-a", PayoutState.FAILED, "late")
        after = b.advance(taken, "worker-b", PayoutState.FAILED, "taken over")
        assert after.state is PayoutState.FAILED and after.lease_owner is None
        assert b.claim("worker-b", 10_000) is None  # final payouts are never claimed
    finally:
        a.close()
        b.close()


def test_a_step_its_history_and_the_next_lease_commit_together_and_only_for_the_holder(db_url: str) -> None:
    clock = Clock()
    with Ledger(db_url, clock=clock) as ledger:
        for key in ("K-1", "K-2", "K-3"):
            ledger.add_qr_payout(key, QR_FIXED_AMOUNT, SOURCE)
    a, b = Store(open_engine(db_url), clock=clock), Store(open_engine(db_url), clock=clock)
    try:
        first = a.claim("worker-a", 10_000)
        assert first is not None and first.key == "K-1"
        done, following = a.advance_and_claim(
            first, "worker-a", PayoutState.FAILED, "refused", detail="no such account",
            before=[(PayoutState.SCANNED, "scanned", None)], claim_for=10_000,
        )
        assert done.state is PayoutState.FAILED and done.lease_owner is None
        assert following is not None and following.key == "K-2"
        assert (following.lease_owner, following.lease_until) == ("worker-a", a.now() + 10_000)
        assert [(e.seq, e.state, e.event, e.detail) for e in a.history("K-1")] == [
            (1, PayoutState.NEW, "recorded", None),
            (2, PayoutState.SCANNED, "scanned", None),
            (3, PayoutState.FAILED, "refused", "no such account"),
        ]
        # Once the lease has passed to another worker, the old holder writes nothing and takes nothing.
        clock.now += 10.1
        taken = b.claim("worker-b", 10_000)
        assert taken is not None and taken.key == "K-2"
        with pytest.raises(LeaseLost):
            a.advance_and_claim(following, "worker-a", PayoutState.PAYING, "paying",
                                before=[(PayoutState.SCANNED, "scanned", None)], claim_for=10_000)
        assert [e.event for e in a.history("K-2")] == ["recorded"]
        third = a.get("K-3")
        assert third is not None and third.lease_owner is None
        # Only the holder marks its payment in doubt, and only while it is paying.
        b.advance(taken, "worker-b", PayoutState.PAYING, "paying", lease_until=b.now() + 10_000)
        assert a.mark_in_doubt("K-2", "worker-a", "interrupted") is None
        doubt = b.mark_in_doubt("K-2", "worker-b", "interrupted")
        assert doubt is not None and doubt.state is PayoutState.IN_DOUBT and doubt.lease_owner == "worker-b"
        assert b.mark_in_doubt("K-2", "worker-b", "interrupted again") is None
        assert [(e.seq, e.event) for e in b.history("K-2")] == [(1, "recorded"), (2, "paying"), (3, "interrupted")]
    finally:
        a.close()
        b.close()


# -- the runner --------------------------------------------------------------------------------------


@pytest.mark.timeout(30)
def test_runner_takes_each_road_to_its_outcome(db_url: str, sim: Simulator, settings: ClientSettings) -> None:
    expected = {
        "PLAIN-1": PayoutState.PAID,
        "SIM94-1": PayoutState.PAID,
        "SIM96-1": PayoutState.REJECTED,
        "SIM503-1": PayoutState.PAID,
        "SIMSLOW-1": PayoutState.PAID,
        "SIMREJ-1": PayoutState.REJECTED,
        "UNKNOWN-QR": PayoutState.FAILED,
        "NO-DESC": PayoutState.FAILED,
    }
    with Ledger(db_url) as ledger:
        for key in expected:
            qr = "NOT-A-KNOWN-QR" if key == "UNKNOWN-QR" else QR_OPEN_AMOUNT
            ledger.add_qr_payout(key, qr, SOURCE, "10.05", None if key == "NO-DESC" else "Pago")
        summary = ledger.run(settings, workers=3, until_idle=True, options=FAST)
        assert summary.remaining == 0
        got = {p.key: p.state for p in ledger.payouts()}
        assert got == expected
        paid = ledger.payout("SIM503-1")
        assert paid is not None and paid.paid_amount == Decimal("10.05") and paid.pay_attempts == 2
        events = [e.event for e in ledger.history("SIM503-1")]
        assert events[:4] == ["recorded", "scanned", "payment sent", "payment in doubt"]
        assert "not found at the provider, waiting out the grace period" in events
        assert events.count("payment sent") == 2
        assert ledger.payout("SIMREJ-1").reason.startswith("fondos insuficientes")  # type: ignore[union-attr]


def _crash_after_write_ahead(db_url: str, key: str, client: Client, send: bool) -> None:
    """A worker that committed `paying` (and sent the payment, or not) and then died."""
    store = Store(open_engine(db_url))
    try:
        held = store.claim("dead-worker", 50)
        assert held is not None
        scanned = client.scan(QR_FIXED_AMOUNT)
        held = store.advance(held, "dead-worker", PayoutState.SCANNED, "scanned",
                             changes={"reference": scanned.reference, "scanned": json.dumps(scanned.to_core()),
                                      "scanned_amount": str(scanned.amount)}, lease_until=store.now() + 50)
        store.advance(held, "dead-worker", PayoutState.PAYING, "payment sent",
                      changes={"pay_attempts": 1, "sent_at": store.now()}, lease_until=store.now() + 50)
        if send:
            client.pay(scanned, SOURCE, key)
    finally:
        store.close()


@pytest.mark.timeout(30)
@pytest.mark.parametrize("sent", [True, False], ids=["sent", "never-sent"])
def test_a_payout_left_paying_is_resolved_through_its_status(
    db_url: str, sim: Simulator, settings: ClientSettings, sent: bool
) -> None:
    with Ledger(db_url) as ledger:
        ledger.add_qr_payout("K-1", QR_FIXED_AMOUNT, SOURCE)
        with settings.client() as client:
            _crash_after_write_ahead(db_url, "K-1", client, send=sent)
        time.sleep(0.1)  # the dead worker's lease runs out
        ledger.run(settings, until_idle=True, options=FAST)
        payout = ledger.payout("K-1")
        assert payout is not None and payout.state is PayoutState.PAID
        events = [e.event for e in ledger.history("K-1")]
        assert "taken over in doubt" in events
        # Sent: found at the provider, never sent again. Never sent: sent once more after the grace.
        assert payout.pay_attempts == (1 if sent else 2)
        assert events.count("payment sent") == (1 if sent else 2)


# -- the command line --------------------------------------------------------------------------------


@pytest.mark.timeout(60)
def test_commands_record_run_and_report(tmp_path: Path, sim: Simulator) -> None:
    db = str(tmp_path / "payouts.db")
    assert ledger_cli("--db", db, "init").stdout == f"{db}: ledger created (schema version 2)\n"
    assert ledger_cli("init", "--db", db).stdout == f"{db}: schema version 2, up to date\n"
    add = ["add-qr", "--db", db, "--key", "INV-1", "--qr", QR_OPEN_AMOUNT, "--source-account", SOURCE,
           "--amount", "75.50", "--description", "Almuerzo"]
    assert ledger_cli(*add).stdout == "recorded INV-1\n"
    assert ledger_cli(*add).stdout == "INV-1 was already recorded with these inputs\n"
    conflict = ledger_cli(*add[:-1], "Cena")
    assert (conflict.returncode, conflict.stderr) == (
        1, "ledger: payout 'INV-1' is already recorded with other inputs (a key names one payout)\n")
    bad = ledger_cli("add-qr", "--db", db, "--key", "BAD KEY", "--qr", QR_FIXED_AMOUNT, "--source-account", SOURCE)
    assert (bad.returncode, bad.stderr) == (1, "ledger: key: 1 to 32 letters, digits, `-` or `_`\n")
    ledger_cli("--db", db, "add-qr", "--key", "SIMREJ-2", "--qr", QR_FIXED_AMOUNT, "--source-account", SOURCE)

    missing = ledger_cli("--db", db, "run", "--client-id", TEST_CLIENT_ID, env={k: v for k, v in os.environ.items()
                                                                          if k != TOKEN_VARIABLE})
    assert missing.returncode == 2 and TOKEN_VARIABLE in missing.stderr
    run = ledger_cli("--db", db, "run", "--until-idle", "--plain", "--base-url", sim.base_url, "--client-id",
               TEST_CLIENT_ID, "--token", TEST_TOKEN, "--poll-interval", "0.01", "--idle-interval", "0.02")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert [line.split(" INV-1 ")[1] for line in lines if " INV-1 " in line] == [
        "scanned: scanned", "paying: payment sent", "submitted: payment accepted", "submitted: status", "paid: status",
    ]
    assert lines[-1] == "8 step(s) recorded; 0 payout(s) not final, 1 failed"

    status = ledger_cli("status", "--db", db)
    assert status.stdout.splitlines() == [
        f"ledger {db}: 2 payout(s), 0 not final",
        "  paid       1",
        "  rejected   1",
        "failures:",
        "  SIMREJ-2  rejected  fondos insuficientes; cuenta origen con restricciones; límite diario excedido",
    ]
    document = json.loads(ledger_cli("status", "--json", "--db", db).stdout)
    assert document["counts"] == {"paid": 1, "rejected": 1}
    assert (document["total"], document["unfinished"], document["in_doubt"]) == (2, 0, [])

    show = json.loads(ledger_cli("--db", db, "show", "INV-1", "--json").stdout)
    assert (show["state"], show["amount"], show["paid_amount"], show["provider_status"]) == (
        "paid", "75.50", "75.5", "PAGADO")
    assert [(e["state"], e["event"]) for e in show["history"]] == [
        ("new", "recorded"), ("scanned", "scanned"), ("paying", "payment sent"),
        ("submitted", "payment accepted"), ("submitted", "status"), ("paid", "status"),
    ]
    text = ledger_cli("--db", db, "show", "INV-1").stdout.splitlines()
    assert text[0] == "payout INV-1: paid"
    assert "  paid amount             75.5" in text
    assert ledger_cli("--db", db, "show", "NOPE").stderr == "ledger: no payout or batch 'NOPE'\n"


@pytest.mark.timeout(60)
def test_interrupted_run_leaves_the_payment_in_doubt_and_the_next_run_settles_it(tmp_path: Path) -> None:
    db = str(tmp_path / "payouts.db")
    # The payment's answer is held back far longer than the interruption takes.
    with Simulator(settings=Settings(settle_after=1, slow_delay=20.0)) as sim, Ledger(db) as ledger:
        ledger.add_qr_payout("SIMSLOW-1", QR_FIXED_AMOUNT, SOURCE)
        common = ["--base-url", sim.base_url, "--client-id", TEST_CLIENT_ID, "--token", TEST_TOKEN,
                  "--poll-interval", "0.01", "--idle-interval", "0.02", "--grace", "0.2", "--lease", "1",
                  "--inline-wait", "0.1"]
        proc = subprocess.Popen([sys.executable, "-m", "quorvel_bo.payouts", "ledger", "--db", db, "run", "--plain",
                                 "--timeout", "30", *common], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            wait_until(lambda: ledger.payout("SIMSLOW-1").state is PayoutState.PAYING)  # type: ignore[union-attr]
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=20)
        finally:
            proc.kill()
        assert proc.returncode == 130
        assert "1 in doubt" in err
        payout = ledger.payout("SIMSLOW-1")
        assert payout is not None and payout.state is PayoutState.IN_DOUBT
        assert ledger.history("SIMSLOW-1")[-1].event == "interrupted while the payment was on its way"
        # The next run takes over once the lease runs out, and finds the payment at the provider.
        rerun = ledger_cli("--db", db, "run", "--until-idle", "--plain", "--timeout", "0.5", *common)
        assert rerun.returncode == 0, rerun.stderr
        payout = ledger.payout("SIMSLOW-1")
        assert payout is not None and (payout.state, payout.pay_attempts) == (PayoutState.PAID, 1)
