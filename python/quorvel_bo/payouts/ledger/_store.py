"""The ledger's records: intents, leases, and state changes written together with their events."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._types import PaymentStatus
from quorvel_bo.payouts.ledger._engine import CLAIMABLE, DUE, Engine, Tx
from quorvel_bo.payouts.ledger._model import (
    FINAL_STATES,
    BatchState,
    IntentConflictError,
    LedgerBatch,
    LedgerEvent,
    LedgerPayout,
    LedgerTransfer,
    PayoutState,
)

__all__ = ["LeaseLost", "NewBatch", "Step", "Store", "TransferWord"]

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
_BATCH_CHANGEABLE = frozenset(
    {"batch_number", "reason", "attempts", "tries", "sent_at", "doubt_since", "authorized_at"}
)
# What the provider says of a transfer; the rest of its row is what was imported.
_WORD_COLUMNS = (
    "status", "raw_status", "reference", "message", "ach_number", "bank_name", "transaction_at", "paid_amount"
)
# Columns of a transfer row as imported, in insertion order.
_TRANSFER_INPUT = (
    "transaction_id", "amount", "transfer_date", "source_account", "destination_account", "bank_code",
    "branch_city", "description", "recipient_document_id", "recipient_name", "currency",
)
# Rows per INSERT statement: few round trips, and well under SQLite's limit of bound values.
_INSERT_ROWS = 200

_REVERSED = PaymentStatus.REVERSED.value


def _may_replace_final(current: str | None, status: str, final: int) -> bool:
    """Whether a word may be written over a final status: the same status (more details), or a reversal.

    The provider retries its notifications, so an earlier word can arrive after a later one: a
    repeated "paid" must never undo the reversal that followed it, nor turn a rejection into a payment.
    """
    return bool(final) and (status == current or status == _REVERSED)


#: An earlier step of a payout written with a later one: its state, its event and the event's detail.
Step = tuple[PayoutState, str, str | None]

#: A transfer as the provider reports it: a dict with the keys of ``_WORD_COLUMNS`` (and ``transaction_id``).
TransferWord = Mapping[str, Any]


@dataclass(frozen=True)
class NewBatch:
    """A batch to record, with its transfers: (line in the source or None, the transfer's values)."""

    process_id: str
    branch_code: str
    webhook_url: str
    webhook_token: str = field(repr=False)
    source: str | None = None
    part: int = 1
    transfers: Sequence[tuple[int | None, Mapping[str, str]]] = ()


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
        # Plain digits, never an exponent: this text is what status, show and the export print.
        amount_text = None if amount is None else format(amount, "f")
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
        if self.engine.probe_before_claim and not self._claimable("payouts", now):
            return None
        with self.engine.transaction(single=True) as tx:
            row = self.engine.claim(tx, owner, now, now + lease_ms)
        return None if row is None else LedgerPayout.from_row(row)

    def _claimable(self, table: str, now: int) -> bool:
        # A read first: an idle worker never takes the write lock (SQLite's is the whole file) to find nothing.
        with self.engine.transaction(write=False) as tx:
            return tx.one(f"SELECT 1 AS due FROM {table} WHERE {CLAIMABLE} LIMIT 1", (now, now)) is not None

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
        before: Sequence[Step] = (),
    ) -> LedgerPayout:
        """Moves a payout we hold to ``state`` and appends the event (if any), in one transaction.

        ``before`` are earlier steps of the same payout (state, event, detail) taken since the last
        commit, appended ahead of ``event``. ``lease_until`` renews our lease (None releases it);
        ``next_at`` is when the payout is due again. Raises LeaseLost when the payout is no longer
        leased to ``owner``.
        """
        return self.advance_and_claim(
            payout, owner, state, event, detail=detail, changes=changes, lease_until=lease_until, next_at=next_at,
            before=before,
        )[0]

    def advance_and_claim(
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
        before: Sequence[Step] = (),
        claim_for: int | None = None,
    ) -> tuple[LedgerPayout, LedgerPayout | None]:
        """``advance``, and with ``claim_for`` (ms) the lease of the next due payout in the same commit.

        A worker that puts a payout down takes its next one without a commit of its own.
        """
        now = self.now()
        changes = dict(changes or {})
        unknown = set(changes) - _CHANGEABLE
        if unknown:
            raise ValueError(f"not a changeable column: {', '.join(sorted(unknown))}")
        steps = [*before, (state, event, detail)] if event is not None else list(before)
        columns = ["state = ?", "active = ?"] + [f"{name} = ?" for name in changes]
        params: list[Any] = [state.value, 0 if state.is_final else 1, *changes.values()]
        if steps:
            columns.append(f"events = events + {len(steps)}")
        columns += ["updated_at = ?", "lease_owner = ?", "lease_until = ?", "next_at = ?"]
        params += [now, owner if lease_until is not None else None, lease_until, now if next_at is None else next_at]
        if self.engine.writing_with:
            row, claimed = self._change_at_once(
                payout.key, owner, ", ".join(columns), params, "", (), steps, now, claim_for
            )
            if row is None:
                raise LeaseLost(payout.key)
            return LedgerPayout.from_row(row), None if claimed is None else LedgerPayout.from_row(claimed)
        claimed = None
        with self.engine.transaction() as tx:
            row = tx.one(
                f"UPDATE payouts SET {', '.join(columns)} WHERE key = ? AND lease_owner = ? RETURNING *",
                (*params, payout.key, owner),
            )
            if row is None:
                raise LeaseLost(payout.key)
            if steps:
                first = int(row["events"]) - len(steps) + 1
                values = [
                    value
                    for seq, (step_state, step_event, step_detail) in enumerate(steps, start=first)
                    for value in (payout.key, seq, now, step_state.value, step_event, step_detail, owner)
                ]
                tx.execute(
                    "INSERT INTO payout_events (key, seq, at, state, event, detail, worker) VALUES "
                    + ", ".join("(?, ?, ?, ?, ?, ?, ?)" for _ in steps),
                    values,
                )
            if claim_for is not None:
                claimed = self.engine.claim(tx, owner, now, now + claim_for)
        return LedgerPayout.from_row(row), None if claimed is None else LedgerPayout.from_row(claimed)

    def mark_in_doubt(self, key: str, owner: str, event: str) -> LedgerPayout | None:
        """Records that a payment ``owner`` is sending may be on its way; its lease is kept to expire."""
        now = self.now()
        if self.engine.writing_with:
            row, _ = self._change_at_once(
                key, owner, "state = ?, doubt_since = ?, events = events + 1, updated_at = ?",
                (PayoutState.IN_DOUBT.value, now, now), " AND state = ?", (PayoutState.PAYING.value,),
                [(PayoutState.IN_DOUBT, event, None)], now, None,
            )
            return None if row is None else LedgerPayout.from_row(row)
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

    def _change_at_once(
        self,
        key: str,
        owner: str,
        assignments: str,
        params: Sequence[Any],
        condition: str,
        condition_params: Sequence[Any],
        steps: Sequence[Step],
        now: int,
        claim_for: int | None,
    ) -> tuple[dict[str, Any] | None, dict[str, Any] | None]:
        """A payout's fenced update, its events and the next payout's lease as one statement (a writing
        WITH), so one round trip that commits as it returns. (None, None) when we do not hold the payout:
        then nothing was written, nor claimed.

        The claim sees the table as the statement found it, so it never takes the payout just updated.
        """
        sql = f"WITH u AS (UPDATE payouts SET {assignments} WHERE key = ? AND lease_owner = ?{condition} RETURNING *)"
        values: list[Any] = [*params, key, owner, *condition_params]
        if steps:
            # The events take the last len(steps) numbers of the row's new count, as the other path does.
            sql += (
                ", e AS (INSERT INTO payout_events (key, seq, at, state, event, detail, worker) "
                f"SELECT u.key, u.events - {len(steps) - 1} + s.i, ?, s.state, s.event, s.detail, ? FROM u, "
                f"(VALUES {', '.join(f'({i}, ?, ?, ?)' for i in range(len(steps)))}) AS s (i, state, event, detail))"
            )
            values += [now, owner]
            for step_state, step_event, step_detail in steps:
                values += [step_state.value, step_event, step_detail]
        select = " SELECT 0 AS claimed_, u.* FROM u"
        if claim_for is not None:
            sql += (
                f", c AS (SELECT key FROM payouts WHERE {CLAIMABLE} AND key <> ? AND EXISTS (SELECT 1 FROM u) "
                "ORDER BY next_at, key LIMIT 1 FOR UPDATE SKIP LOCKED), "
                "n AS (UPDATE payouts p SET lease_owner = ?, lease_until = ? FROM c WHERE p.key = c.key RETURNING p.*)"
            )
            values += [now, now, key, owner, now + claim_for]
            select += " UNION ALL SELECT 1, n.* FROM n"
        with self.engine.transaction(single=True) as tx:
            rows = tx.execute(sql + select, values)
        found: dict[int, dict[str, Any]] = {int(r.pop("claimed_")): r for r in rows}
        return found.get(0), found.get(1)

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
        """How many payouts are not final, and when the soonest of them can be claimed."""
        with self.engine.transaction(write=False) as tx:
            row = tx.one(f"SELECT COUNT(*) AS n, MIN({DUE}) AS due FROM payouts WHERE active = 1")
        assert row is not None
        return int(row["n"]), None if row["due"] is None else int(row["due"])

    # -- batches -----------------------------------------------------------------------------------

    def known_transaction_ids(self, ids: Iterable[str]) -> dict[str, str]:
        """Those of ``ids`` already recorded, with the process id of their batch."""
        wanted = list(dict.fromkeys(ids))
        found: dict[str, str] = {}
        with self.engine.transaction(write=False) as tx:
            for start in range(0, len(wanted), 500):
                chunk = wanted[start : start + 500]
                rows = tx.execute(
                    f"SELECT transaction_id, process_id FROM transfers WHERE transaction_id IN "
                    f"({', '.join('?' for _ in chunk)})",
                    chunk,
                )
                found.update({r["transaction_id"]: r["process_id"] for r in rows})
        return found

    def known_process_ids(self, ids: Sequence[str]) -> set[str]:
        if not ids:
            return set()
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute(
                f"SELECT process_id FROM batches WHERE process_id IN ({', '.join('?' for _ in ids)})", list(ids)
            )
        return {r["process_id"] for r in rows}

    def add_batches(self, batches: Sequence[NewBatch]) -> None:
        """Records batches and their transfers, all in one transaction: all of them or nothing."""
        now = self.now()
        with self.engine.transaction() as tx:
            for batch in batches:
                tx.execute(
                    "INSERT INTO batches (process_id, branch_code, webhook_url, webhook_token, source, part, "
                    "transfers, state, active, next_at, created_at, updated_at, events) "
                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1, ?, ?, ?, 1)",
                    (batch.process_id, batch.branch_code, batch.webhook_url, batch.webhook_token, batch.source,
                     batch.part, len(batch.transfers), BatchState.NEW.value, now, now, now),
                )
                tx.execute(
                    "INSERT INTO batch_events (process_id, seq, at, state, event, detail, worker) "
                    "VALUES (?, 1, ?, ?, ?, ?, NULL)",
                    (batch.process_id, now, BatchState.NEW.value, "recorded",
                     f"{len(batch.transfers)} transfer(s)" + (f" from {batch.source}" if batch.source else "")),
                )
                columns = ("process_id", "item", "line", *_TRANSFER_INPUT, "created_at", "updated_at")
                marks = "(" + ", ".join("?" for _ in columns) + ")"
                rows = [
                    (batch.process_id, item, line, *(values[c] for c in _TRANSFER_INPUT), now, now)
                    for item, (line, values) in enumerate(batch.transfers, start=1)
                ]
                for start in range(0, len(rows), _INSERT_ROWS):
                    chunk = rows[start : start + _INSERT_ROWS]
                    tx.execute(
                        f"INSERT INTO transfers ({', '.join(columns)}) VALUES {', '.join(marks for _ in chunk)}",
                        [value for row in chunk for value in row],
                    )

    def claim_batch(self, owner: str, lease_ms: int) -> LedgerBatch | None:
        now = self.now()
        if self.engine.probe_before_claim and not self._claimable("batches", now):
            return None
        with self.engine.transaction(single=True) as tx:
            row = self.engine.claim(tx, owner, now, now + lease_ms, table="batches")
        return None if row is None else LedgerBatch.from_row(row)

    def _batch_event(self, tx: Tx, process_id: str, seq: int, now: int, state: BatchState, event: str,
                     detail: str | None, owner: str | None) -> None:
        tx.execute(
            "INSERT INTO batch_events (process_id, seq, at, state, event, detail, worker) VALUES (?, ?, ?, ?, ?, ?, ?)",
            (process_id, seq, now, state.value, event, detail, owner),
        )

    def advance_batch(
        self,
        batch: LedgerBatch,
        owner: str,
        state: BatchState,
        event: str | None,
        *,
        detail: str | None = None,
        changes: Mapping[str, Any] | None = None,
        words: Sequence[TransferWord] = (),
        source: str = "status",
        lease_until: int | None = None,
        next_at: int | None = None,
    ) -> LedgerBatch:
        """Moves a batch we hold to ``state``, with the transfers' ``words`` (if any), in one transaction.

        An authorised batch whose transfers are all final is completed in the same transaction.
        Raises LeaseLost when the batch is no longer leased to ``owner``.
        """
        now = self.now()
        changes = dict(changes or {})
        unknown = set(changes) - _BATCH_CHANGEABLE
        if unknown:
            raise ValueError(f"not a changeable column: {', '.join(sorted(unknown))}")
        columns = ["state = ?", "active = ?"] + [f"{name} = ?" for name in changes]
        params: list[Any] = [state.value, 0 if state.is_final else 1, *changes.values()]
        if event is not None:
            columns.append("events = events + 1")
        columns += ["updated_at = ?", "lease_owner = ?", "lease_until = ?", "next_at = ?"]
        params += [now, owner if lease_until is not None else None, lease_until, now if next_at is None else next_at]
        with self.engine.transaction() as tx:
            # Transfers first, then the batch: the order the endpoint takes its locks in, so neither waits on
            # the other in a circle. A lost lease still undoes everything.
            if words:
                self._apply_words(tx, batch.process_id, words, source, now)
            row = tx.one(
                f"UPDATE batches SET {', '.join(columns)} WHERE process_id = ? AND lease_owner = ? RETURNING *",
                (*params, batch.process_id, owner),
            )
            if row is None:
                raise LeaseLost(batch.process_id)
            if event is not None:
                self._batch_event(tx, batch.process_id, row["events"], now, state, event, detail, owner)
            done = self._complete_if_done(tx, batch.process_id, now, owner)
        return LedgerBatch.from_row(done or row)

    def mark_batch_in_doubt(self, process_id: str, owner: str, event: str) -> LedgerBatch | None:
        """Records that an authorisation ``owner`` is sending may be on its way."""
        now = self.now()
        with self.engine.transaction() as tx:
            row = tx.one(
                "UPDATE batches SET state = ?, doubt_since = ?, events = events + 1, updated_at = ?, next_at = ? "
                "WHERE process_id = ? AND lease_owner = ? AND state = ? RETURNING *",
                (BatchState.IN_DOUBT.value, now, now, now, process_id, owner, BatchState.AUTHORIZING.value),
            )
            if row is None:
                return None
            self._batch_event(tx, process_id, row["events"], now, BatchState.IN_DOUBT, event, None, owner)
        return LedgerBatch.from_row(row)

    def _apply_words(
        self, tx: Tx, process_id: str | None, words: Sequence[TransferWord], source: str, now: int
    ) -> list[str]:
        """Writes what the provider says of transfers; returns the ids whose rows changed.

        A final status is never replaced by one that is not (a late or repeated word), and a word
        that says nothing new writes nothing, so the same notification twice changes nothing.
        """
        if process_id is not None and len(words) > 1:
            current = {r["transaction_id"]: r for r in tx.execute(
                "SELECT * FROM transfers WHERE process_id = ?", (process_id,))}
        else:
            ids = [w["transaction_id"] for w in words]
            current = {}
            for start in range(0, len(ids), 500):
                chunk = ids[start : start + 500]
                current.update({r["transaction_id"]: r for r in tx.execute(
                    f"SELECT * FROM transfers WHERE transaction_id IN ({', '.join('?' for _ in chunk)})", chunk)})
        changed: list[str] = []
        for word in words:
            row = current.get(word["transaction_id"])
            if row is None or (process_id is not None and row["process_id"] != process_id):
                continue
            final = 1 if word["final"] else 0
            if row["final"] and not _may_replace_final(row["status"], word["status"], final):
                continue
            updates = {c: word[c] for c in _WORD_COLUMNS if word.get(c) is not None and word[c] != row[c]}
            if final != row["final"]:
                updates["final"] = final
            if final and row["final_at"] is None:
                updates["final_at"] = now
            if source == "notification" and row["notified_at"] is None:
                updates["notified_at"] = now
            if not updates:
                continue
            updates["reported_by"] = source
            updates["updated_at"] = now
            # Checked again as the row is written: another writer may have made it final since it was read.
            guard = ""
            guard_params: tuple[str, ...] = ()
            if not final:
                guard = " AND final = 0"
            elif word["status"] != _REVERSED:
                guard, guard_params = " AND (final = 0 OR status = ?)", (word["status"],)
            tx.execute(
                f"UPDATE transfers SET {', '.join(f'{c} = ?' for c in updates)} WHERE transaction_id = ?{guard}",
                (*updates.values(), row["transaction_id"], *guard_params),
            )
            if tx.rowcount:
                changed.append(row["transaction_id"])
        return changed

    def _complete_if_done(self, tx: Tx, process_id: str, now: int, owner: str | None) -> dict[str, Any] | None:
        """Completes an authorised batch none of whose transfers is still open; returns its row when it did."""
        self.engine.lock_batch(tx, process_id)
        row = tx.one(
            "UPDATE batches SET state = ?, active = 0, completed_at = ?, updated_at = ?, events = events + 1, "
            "lease_owner = NULL, lease_until = NULL WHERE process_id = ? AND state = ? AND NOT EXISTS "
            "(SELECT 1 FROM transfers WHERE process_id = ? AND final = 0) RETURNING *",
            (BatchState.COMPLETED.value, now, now, process_id, BatchState.AUTHORIZED.value, process_id),
        )
        if row is not None:
            self._batch_event(tx, process_id, row["events"], now, BatchState.COMPLETED, "every transfer final",
                              None, owner)
        return row

    def record_words(self, words: Sequence[TransferWord], source: str, process_id: str | None = None) -> list[str]:
        """Writes what a notification or a status answer says; completes batches it finishes."""
        now = self.now()
        with self.engine.transaction() as tx:
            changed = self._apply_words(tx, process_id, words, source, now)
            if changed:
                batches = {process_id} if process_id is not None else {
                    r["process_id"] for r in tx.execute(
                        f"SELECT DISTINCT process_id FROM transfers WHERE transaction_id IN "
                        f"({', '.join('?' for _ in changed)})", changed)}
                for pid in sorted(batches):
                    self._complete_if_done(tx, pid, now, None)
        return changed

    def batch(self, process_id: str) -> LedgerBatch | None:
        with self.engine.transaction(write=False) as tx:
            row = tx.one("SELECT * FROM batches WHERE process_id = ?", (process_id,))
        return None if row is None else LedgerBatch.from_row(row)

    def batches(self, states: Sequence[BatchState] | None = None) -> list[LedgerBatch]:
        sql = "SELECT * FROM batches"
        params: list[Any] = []
        if states is not None:
            sql += f" WHERE state IN ({', '.join('?' for _ in states)})"
            params += [s.value for s in states]
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute(sql + " ORDER BY created_at, part, process_id", params)
        return [LedgerBatch.from_row(r) for r in rows]

    def batch_history(self, process_id: str) -> list[LedgerEvent]:
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute("SELECT * FROM batch_events WHERE process_id = ? ORDER BY seq", (process_id,))
        return [LedgerEvent.from_batch_row(r) for r in rows]

    def transfers(self, process_id: str | None = None, since: int | None = None) -> list[LedgerTransfer]:
        sql = "SELECT * FROM transfers"
        where: list[str] = []
        params: list[Any] = []
        if process_id is not None:
            where.append("process_id = ?")
            params.append(process_id)
        if since is not None:
            where.append("updated_at >= ?")
            params.append(since)
        if where:
            sql += " WHERE " + " AND ".join(where)
        with self.engine.transaction(write=False) as tx:
            # In the order they were recorded: import, then part of the file, then row.
            rows = tx.execute(sql + " ORDER BY created_at, (SELECT part FROM batches b WHERE "
                              "b.process_id = transfers.process_id), process_id, item", params)
        return [LedgerTransfer.from_row(r) for r in rows]

    def transfer(self, transaction_id: str) -> LedgerTransfer | None:
        with self.engine.transaction(write=False) as tx:
            row = tx.one("SELECT * FROM transfers WHERE transaction_id = ?", (transaction_id,))
        return None if row is None else LedgerTransfer.from_row(row)

    def batch_counts(self) -> dict[BatchState, int]:
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute("SELECT state, COUNT(*) AS n FROM batches GROUP BY state")
        return {BatchState(r["state"]): int(r["n"]) for r in rows}

    def transfer_counts(self) -> dict[str, int]:
        """Transfers per status; ``not sent`` for those the provider has not spoken of yet."""
        with self.engine.transaction(write=False) as tx:
            rows = tx.execute("SELECT status, COUNT(*) AS n FROM transfers GROUP BY status")
        return {r["status"] or "not sent": int(r["n"]) for r in rows}

    def pending_batches(self) -> tuple[int, int | None]:
        with self.engine.transaction(write=False) as tx:
            row = tx.one(f"SELECT COUNT(*) AS n, MIN({DUE}) AS due FROM batches WHERE active = 1")
        assert row is not None
        return int(row["n"]), None if row["due"] is None else int(row["due"])
