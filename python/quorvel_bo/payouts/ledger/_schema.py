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
    for statement in engine.append_only_guard():
        tx.execute(statement)


MIGRATIONS: tuple[Migration, ...] = (Migration(1, "payouts and their event history", _v1),)
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
