"""The ledger's records: intents, leases, and state changes written together with their events."""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping, Sequence
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts.ledger._engine import Engine
from quorvel_bo.payouts.ledger._model import (
    FINAL_STATES,
    IntentConflictError,
    LedgerEvent,
    LedgerPayout,
    PayoutState,
)

__all__ = ["LeaseLost", "Store"]

# Columns a state change may set besides the state, the lease and the schedule.
_CHANGEABLE = frozenset(
    {
        "reference",
        "scanned",
        "scanned_amount",
        "currency",
        "paid_amount",
        "provider_status",
        "provider_transaction_id",
        "reason",
        "pay_attempts",
        "tries",
        "sent_at",
        "doubt_since",
    }
)
_FINAL_VALUES = tuple(sorted(s.value for s in FINAL_STATES))


class LeaseLost(Exception):
    """Our lease on a payout ran out and another worker may hold it: stop driving it."""


class Store:
    """The ledger's tables over one engine connection. Times are Unix milliseconds."""

    def __init__(self, engine: Engine, clock: Callable[[], float] = time.time) -> None:
        self.engine = engine
        self._clock = clock

    def now(self) -> int:
        return int(self._clock() * 1000)

    def close(self) -> None:
        self.engine.close()

    # -- intents -----------------------------------------------------------------------------------

    def add_qr_payout(
        self, key: str, qr_text: str, source_account: str, amount: Decimal | None, description: str | None
    ) -> bool:
        """Records an intent; False when the same intent was already there. Raises IntentConflictError."""
        now = self.now()
        amount_text = None if amount is None else str(amount)
        with self.engine.transaction() as tx:
            tx.execute(
                "INSERT INTO payouts (key, qr_text, source_account, amount, description, state, active, "
                "next_at, created_at, updated_at, events) VALUES (?, ?, ?, ?, ?, ?, 1, ?, ?, ?, 1) "
                "ON CONFLICT (key) DO NOTHING",
                (key, qr_text, source_account, amount_text, description, PayoutState.NEW.value, now, now, now),
            )
            if tx.rowcount == 1:
                tx.execute(
                    "INSERT INTO payout_events (key, seq, at, state, event, detail, worker) VALUES (?, 1, ?, ?, ?, ?, NULL)",
                    (key, now, PayoutState.NEW.value, "recorded", None),
                )
                return True
            row = tx.one("SELECT * FROM payouts WHERE key = ?", (key,))
        assert row is not None
        existing = LedgerPayout.from_row(row)
        same = (
            existing.qr_text == qr_text
            and existing.source_account == source_account
            and existing.amount == amount
            and existing.description == description
        )
        if not same:
            raise IntentConflictError(
                f"payout {key!r} is already recorded with other inputs (a key names one payout)",
                key=key,
                existing=existing,
            )
        return False

    # -- work --------------------------------------------------------------------------------------

    def claim(self, owner: str, lease_ms: int) -> LedgerPayout | None:
        """Leases one due payout to ``owner`` for ``lease_ms``, or returns None when none is due."""
        now = self.now()
        with self.engine.transaction() as tx:
            row = self.engine.claim(tx, owner, now, now + lease_ms)
        return None if row is None else LedgerPayout.from_row(row)

    def advance(
        self,
        payout: LedgerPayout,
        owner: str,
        state: PayoutState,
        event: str | None,
        *,
        detail: str | None = None,
        changes: Mapping[str, Any] | None = None,
        lease_until: int | None = None,
        next_at: int | None = None,
    ) -> LedgerPayout:
        """Moves a payout we hold to ``state`` and appends the event (if any), in one transaction.

        ``lease_until`` renews our lease (None releases it); ``next_at`` is when the payout is due
        again. Raises LeaseLost when the payout is no longer leased to ``owner``.
        """
        now = self.now()
        changes = dict(changes or {})
        unknown = set(changes) - _CHANGEABLE
        if unknown:
            raise ValueError(f"not a changeable column: {', '.join(sorted(unknown))}")
        columns = ["state = ?", "active = ?"] + [f"{name} = ?" for name in changes]
        params: list[Any] = [state.value, 0 if state.is_final else 1, *changes.values()]
        if event is not None:
            columns.append("events = events + 1")
        columns += ["updated_at = ?", "lease_owner = ?", "lease_until = ?", "next_at = ?"]
        params += [now, owner if lease_until is not None else None, lease_until, now if next_at is None else next_at]
        with self.engine.transaction() as tx:
            row = tx.one(
                f"UPDATE payouts SET {', '.join(columns)} WHERE key = ? AND lease_owner = ? RETURNING *",
                (*params, payout.key, owner),
            )
            if row is None:
                raise LeaseLost(payout.key)
            if event is not None:
                tx.execute(
                    "INSERT INTO payout_events (key, seq, at, state, event, detail, worker) VALUES (?, ?, ?, ?, ?, ?, ?)",
                    (payout.key, row["events"], now, state.value, event, detail, owner),
                )
        return LedgerPayout.from_row(row)

    def mark_in_doubt(self, key: str, owner: str, event: str) -> LedgerPayout | None:
        """Records that a payment ``owner`` is sending may be on its way; its lease is kept to expire."""
        now = self.now()
        with self.engine.transaction() as tx:
            row = tx.one(
                "UPDATE payouts SET state = ?, doubt_since = ?, events = events + 1, updated_at = ? "
                "WHERE key = ? AND lease_owner = ? AND state = ? RETURNING *",
                (PayoutState.IN_DOUBT.value, now, now, key, owner, PayoutState.PAYING.value),
            )
            if row is None:
                return None
            tx.execute(
                "INSERT INTO payout_events (key, seq, at, state, event, detail, worker) VALUES (?, ?, ?, ?, ?, NULL, ?)",
                (key, row["events"], now, PayoutState.IN_DOUBT.value, event, owner),
            )
        return LedgerPayout.from_row(row)

    # -- reading -----------------------------------------------------------------------------------

    def get(self, key: str) -> LedgerPayout | None:
        with self.engine.transaction(write=False) as tx:
            row = tx.one("SELECT * FROM payouts WHERE key = ?", (key,))
        return None if row is None else LedgerPayout.from_row(row)

    def history(self, key: str) -> list[LedgerEvent]:
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute("SELECT * FROM payout_events WHERE key = ? ORDER BY seq", (key,))
        return [LedgerEvent.from_row(r) for r in rows]

    def counts(self) -> dict[PayoutState, int]:
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute("SELECT state, COUNT(*) AS n FROM payouts GROUP BY state")
        return {PayoutState(r["state"]): int(r["n"]) for r in rows}

    def payouts(self, states: Sequence[PayoutState] | None = None, limit: int | None = None) -> list[LedgerPayout]:
        sql = "SELECT * FROM payouts"
        params: list[Any] = []
        if states is not None:
            sql += f" WHERE state IN ({', '.join('?' for _ in states)})"
            params += [s.value for s in states]
        sql += " ORDER BY created_at, key"
        if limit is not None:
            sql += " LIMIT ?"
            params.append(limit)
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute(sql, params)
        return [LedgerPayout.from_row(r) for r in rows]

    def pending(self) -> tuple[int, int | None]:
        """How many payouts are not final, and when the soonest of them is due."""
        with self.engine.transaction(write=False) as tx:
            row = tx.one("SELECT COUNT(*) AS n, MIN(next_at) AS due FROM payouts WHERE active = 1")
        assert row is not None
        return int(row["n"]), None if row["due"] is None else int(row["due"])
