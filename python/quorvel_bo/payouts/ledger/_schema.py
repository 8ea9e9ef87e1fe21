"""The ledger's schema, one list of numbered migrations shared by both engines."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

from quorvel_bo.payouts.ledger._engine import Engine, Tx
from quorvel_bo.payouts.ledger._model import SchemaVersionError

__all__ = ["MIGRATIONS", "SCHEMA_VERSION", "Migration", "migrate", "schema_version"]

# Amounts are kept as decimal text (never a binary float); times as Unix milliseconds.
_PAYOUTS = """
CREATE TABLE payouts (
    key TEXT PRIMARY KEY,
    qr_text TEXT NOT NULL,
    source_account TEXT NOT NULL,
    amount TEXT,
    description TEXT,
    state TEXT NOT NULL,
    active INTEGER NOT NULL,
    reference TEXT,
    scanned TEXT,
    scanned_amount TEXT,
    currency TEXT,
    paid_amount TEXT,
    provider_status TEXT,
    provider_transaction_id TEXT,
    reason TEXT,
    pay_attempts INTEGER NOT NULL DEFAULT 0,
    tries INTEGER NOT NULL DEFAULT 0,
    sent_at BIGINT,
    doubt_since BIGINT,
    next_at BIGINT NOT NULL,
    lease_owner TEXT,
    lease_until BIGINT,
    created_at BIGINT NOT NULL,
    updated_at BIGINT NOT NULL,
    events INTEGER NOT NULL DEFAULT 0
)
"""
_EVENTS = """
CREATE TABLE payout_events (
    key TEXT NOT NULL REFERENCES payouts (key),
    seq INTEGER NOT NULL,
    at BIGINT NOT NULL,
    state TEXT NOT NULL,
    event TEXT NOT NULL,
    detail TEXT,
    worker TEXT,
    PRIMARY KEY (key, seq)
)
"""

# A batch is one authorisation: its process id is the write-ahead key, as the transaction id is a payout's.
_BATCHES = """
CREATE TABLE batches (
    process_id TEXT PRIMARY KEY,
    branch_code TEXT NOT NULL,
    webhook_url TEXT NOT NULL,
    webhook_token TEXT NOT NULL,
    source TEXT,
    part INTEGER NOT NULL,
    transfers INTEGER NOT NULL,
    state TEXT NOT NULL,
    active INTEGER NOT NULL,
    batch_number TEXT,
    reason TEXT,
    attempts INTEGER NOT NULL DEFAULT 0,
    tries INTEGER NOT NULL DEFAULT 0,
    sent_at BIGINT,
    doubt_since BIGINT,
    authorized_at BIGINT,
    completed_at BIGINT,
    next_at BIGINT NOT NULL,
    lease_owner TEXT,
    lease_until BIGINT,
    created_at BIGINT NOT NULL,
    updated_at BIGINT NOT NULL,
    events INTEGER NOT NULL DEFAULT 0
)
"""
_BATCH_EVENTS = """
CREATE TABLE batch_events (
    process_id TEXT NOT NULL REFERENCES batches (process_id),
    seq INTEGER NOT NULL,
    at BIGINT NOT NULL,
    state TEXT NOT NULL,
    event TEXT NOT NULL,
    detail TEXT,
    worker TEXT,
    PRIMARY KEY (process_id, seq)
)
"""
# A transaction id names one transfer in the whole ledger, so a payroll imported twice is refused.
_TRANSFERS = """
CREATE TABLE transfers (
    transaction_id TEXT PRIMARY KEY,
    process_id TEXT NOT NULL REFERENCES batches (process_id),
    item INTEGER NOT NULL,
    line INTEGER,
    amount TEXT NOT NULL,
    transfer_date TEXT NOT NULL,
    source_account TEXT NOT NULL,
    destination_account TEXT NOT NULL,
    bank_code TEXT NOT NULL,
    branch_city TEXT NOT NULL,
    description TEXT NOT NULL,
    recipient_document_id TEXT NOT NULL,
    recipient_name TEXT NOT NULL,
    currency TEXT NOT NULL,
    status TEXT,
    final INTEGER NOT NULL DEFAULT 0,
    raw_status TEXT,
    reference TEXT,
    message TEXT,
    ach_number TEXT,
    bank_name TEXT,
    transaction_at TEXT,
    paid_amount TEXT,
    reported_by TEXT,
    notified_at BIGINT,
    final_at BIGINT,
    created_at BIGINT NOT NULL,
    updated_at BIGINT NOT NULL
)
"""


@dataclass(frozen=True)
class Migration:
    """Brings a database from ``version - 1`` to ``version``, inside one transaction."""

    version: int
    title: str
    apply: Callable[[Engine, Tx], None]


def _v1(engine: Engine, tx: Tx) -> None:
    tx.execute(_PAYOUTS)
    tx.execute(_EVENTS)
    # The claim reads the due, unfinished payouts in order.
    tx.execute("CREATE INDEX payouts_due ON payouts (active, next_at)")
    tx.execute("CREATE INDEX payouts_state ON payouts (state)")
    for statement in engine.append_only_guard("payout_events"):
        tx.execute(statement)


def _v2(engine: Engine, tx: Tx) -> None:
    tx.execute(_BATCHES)
    tx.execute(_BATCH_EVENTS)
    tx.execute(_TRANSFERS)
    tx.execute("CREATE INDEX batches_due ON batches (active, next_at)")
    # Completion asks how many transfers of a batch are not final yet.
    tx.execute("CREATE INDEX transfers_batch ON transfers (process_id, final)")
    tx.execute("CREATE INDEX transfers_updated ON transfers (updated_at)")
    for statement in engine.append_only_guard("batch_events"):
        tx.execute(statement)


MIGRATIONS: tuple[Migration, ...] = (
    Migration(1, "payouts and their event history", _v1),
    Migration(2, "batches of transfers, their event history and the transfers", _v2),
)
SCHEMA_VERSION = MIGRATIONS[-1].version


def _current(tx: Tx) -> int:
    tx.execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)")
    row = tx.one("SELECT MAX(version) AS version FROM schema_version")
    return int(row["version"]) if row and row["version"] is not None else 0


def schema_version(engine: Engine) -> int:
    with engine.transaction() as tx:
        engine.lock_schema(tx)
        return _current(tx)


def migrate(engine: Engine, migrations: Sequence[Migration] = MIGRATIONS) -> tuple[int, int]:
    """Creates or upgrades the schema; returns the versions before and after.

    Safe to call from several processes at once: the first one does the work under a lock,
    the others find it done. A database newer than ``migrations`` is refused.
    """
    latest = migrations[-1].version if migrations else 0
    with engine.transaction() as tx:
        engine.lock_schema(tx)
        before = _current(tx)
        if before > latest:
            raise SchemaVersionError(
                f"the ledger database has schema version {before}, newer than this package knows ({latest}): "
                "upgrade quorvel-bo-payouts"
            )
        for migration in migrations:
            if migration.version > before:
                migration.apply(engine, tx)
                tx.execute("DELETE FROM schema_version")
                tx.execute("INSERT INTO schema_version (version) VALUES (?)", (migration.version,))
    return before, max(before, latest)
