"""``Ledger``: record payouts, run them exactly once, and read what happened."""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._client import Client
from quorvel_bo.payouts._core import run as core_run
from quorvel_bo.payouts._errors import ValidationError
from quorvel_bo.payouts._types import Amount, BatchNotification, BatchTransfer, amount_text
from quorvel_bo.payouts.ledger._batchrun import word_of_status
from quorvel_bo.payouts.ledger._engine import describe_url, open_engine
from quorvel_bo.payouts.ledger._model import (
    FINAL_STATES,
    BatchState,
    LedgerBatch,
    LedgerError,
    LedgerEvent,
    LedgerPayout,
    LedgerTransfer,
    PayoutState,
)
from quorvel_bo.payouts.ledger._payroll import (
    DEFAULT_CHUNK_SIZE,
    ImportResult,
    PayrollRow,
    plan_batches,
    read_payroll,
    rows_of_transfers,
)
from quorvel_bo.payouts.ledger._runner import (
    BatchHook,
    ChangeHook,
    ClientSettings,
    Runner,
    RunOptions,
    RunSummary,
)
from quorvel_bo.payouts.ledger._schema import migrate
from quorvel_bo.payouts.ledger._store import Store

__all__ = ["Ledger", "LedgerStatus"]

# The core checks an intent's fields as it would for a real payment; these stand in for what only
# the scan will tell (the QR's reference, amount and description) and for the credentials.
_CHECK_CONFIG = {"client_id": "ledger-check", "environment": "sandbox", "base_url": None}
_CHECK_TOKEN = {"access_token": "ledger-check", "token_type": "Bearer", "expires_at": 0, "scope": None}
_NO_RECIPIENT = {"account": None, "document_id": None, "holder": None, "bank_code": None, "bank_name": None}


def _check_intent(key: str, qr_text: str, source_account: str, amount: str | None, description: str | None) -> None:
    """Raises the core's ValidationError for an intent no payment could be made of."""
    envelope: dict[str, Any] = {"config": _CHECK_CONFIG, "token": _CHECK_TOKEN}
    core_run("payouts.scan.build", {**envelope, "input": {"qr_text": qr_text}})
    scanned = {
        "reference": "1",
        # An open amount makes the core check the caller's amount; a fixed one lets it be absent.
        "amount": "0" if amount is not None else "1",
        "currency": None,
        # Without a description of its own, the QR makes the core check the caller's.
        "description": None if description is not None else "-",
        "recipient": _NO_RECIPIENT,
        "expires_on": None,
    }
    data = {
        "scanned": scanned,
        "source_account": source_account,
        "transaction_id": key,
        "amount": amount,
        "description": description,
    }
    try:
        core_run("payouts.pay.build", {**envelope, "input": data})
    except ValidationError as exc:
        if exc.field == "transaction_id":
            raise ValidationError(exc.message, field="key") from None
        raise


@dataclass(frozen=True)
class LedgerStatus:
    """Counts per state, the payouts in doubt (and those whose payment is on its way), and the failures."""

    counts: dict[PayoutState, int]
    in_doubt: list[LedgerPayout]
    in_flight: list[LedgerPayout]
    failures: list[LedgerPayout]
    #: Batches per state, transfers per status ("not sent" before the provider's first word).
    batch_counts: dict[BatchState, int] = field(default_factory=dict)
    transfer_counts: dict[str, int] = field(default_factory=dict)
    #: Batches whose authorisation may be at the provider, and those it refused.
    batches_in_doubt: list[LedgerBatch] = field(default_factory=list)
    batches_refused: list[LedgerBatch] = field(default_factory=list)

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    @property
    def unfinished(self) -> int:
        return sum(n for s, n in self.counts.items() if not s.is_final)

    @property
    def unfinished_batches(self) -> int:
        return sum(n for s, n in self.batch_counts.items() if not s.is_final)

    def to_json(self) -> dict[str, Any]:
        return {
            "total": self.total,
            "unfinished": self.unfinished,
            "counts": {s.value: n for s, n in sorted(self.counts.items(), key=lambda item: _ORDER[item[0]])},
            "in_doubt": [_brief(p) for p in self.in_doubt],
            "in_flight": [_brief(p) for p in self.in_flight],
            "failures": [_brief(p) for p in self.failures],
            "batches": {
                "total": sum(self.batch_counts.values()),
                "unfinished": self.unfinished_batches,
                "counts": {s.value: n for s, n in sorted(self.batch_counts.items(),
                                                         key=lambda item: _BATCH_ORDER[item[0]])},
                "in_doubt": [b.to_json() for b in self.batches_in_doubt],
                "refused": [b.to_json() for b in self.batches_refused],
            },
            "transfers": {"total": sum(self.transfer_counts.values()), "counts": dict(sorted(self.transfer_counts.items()))},
        }


_ORDER = {state: i for i, state in enumerate(PayoutState)}
_BATCH_ORDER = {state: i for i, state in enumerate(BatchState)}


def _brief(p: LedgerPayout) -> dict[str, Any]:
    return {
        "key": p.key,
        "state": p.state.value,
        "reference": p.reference,
        "amount": None if p.amount_due is None else str(p.amount_due),
        "reason": p.reason,
    }


class Ledger:
    """A durable payout ledger on SQLite (a file path or ``sqlite:///path``) or PostgreSQL (``postgresql://...``).

    The schema is created or upgraded when the ledger is opened. One Ledger object is one
    connection; ``run`` opens one more per worker.

        with Ledger("payouts.db") as ledger:
            ledger.add_qr_payout("INV-2024-001", qr_text, "2012345678")
            ledger.run(client, until_idle=True)
    """

    def __init__(self, url: str | None = None, *, clock: Callable[[], float] = time.time) -> None:
        self.url = url
        self._clock = clock
        self._store = Store(open_engine(url), clock=clock)
        try:
            migrate(self._store.engine)
        except BaseException:
            self._store.close()
            raise

    def __repr__(self) -> str:
        return f"Ledger({describe_url(self.url)!r})"

    def __enter__(self) -> Ledger:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._store.close()

    @property
    def engine(self) -> str:
        return self._store.engine.name

    def add_qr_payout(
        self,
        key: str,
        qr_text: str,
        source_account: str,
        amount: Amount | None = None,
        description: str | None = None,
    ) -> bool:
        """Records a payout to make; nothing is sent. Returns False when the same intent was there already.

        ``key`` is the caller's idempotency key and becomes the provider's transaction id (1 to 32
        letters, digits, ``-`` or ``_``). Give ``amount`` and ``description`` where the QR leaves
        them open. Raises ValidationError for inputs no payment could be made of, and
        IntentConflictError when the key is recorded with other inputs.
        """
        amount_value = None if amount is None else Decimal(amount_text(amount, "amount"))
        _check_intent(key, qr_text, source_account, None if amount_value is None else str(amount_value), description)
        return self._store.add_qr_payout(key, qr_text, source_account, amount_value, description)

    def run(
        self,
        client: Client | ClientSettings,
        *,
        workers: int = 1,
        until_idle: bool = False,
        options: RunOptions | None = None,
        on_change: ChangeHook | None = None,
        stop: threading.Event | None = None,
        on_batch_change: BatchHook | None = None,
    ) -> RunSummary:
        """Drives due payouts and batches with ``workers`` threads until ``stop`` is set, or until none is left with ``until_idle``.

        ``client`` is a Client shared by the workers, or ClientSettings from which each worker
        builds its own. Ctrl-C stops the run; a payment or authorisation then on its way is
        recorded in doubt. With ``until_idle`` the run also waits until every authorised batch's
        transfers are final (notified, or found through the batch status).
        """
        runner = Runner(
            self.url, client, options=options, until_idle=until_idle, on_change=on_change, stop=stop, clock=self._clock,
            on_batch_change=on_batch_change,
        )
        return runner.run(workers)

    # -- batches -----------------------------------------------------------------------------------

    def add_batch(
        self,
        transfers: Sequence[BatchTransfer | Mapping[str, Any]],
        *,
        branch_code: str,
        webhook_url: str,
        webhook_token: str,
        process_id: str | None = None,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        skip_invalid: bool = False,
        source: str | None = None,
    ) -> ImportResult:
        """Records transfers as batches of at most ``chunk_size``, each with its own process id; nothing is sent.

        Every transfer is checked by the core's own rules first, and a transaction id repeated
        in ``transfers`` or already in the ledger is a problem too. Any problem raises
        ImportProblemsError listing every one (line = position from 1) and records nothing,
        unless ``skip_invalid``: then the good transfers are recorded and the others listed in
        the result. ``process_id`` names the first batch; later ones get ids derived from it.
        """
        return self._add_rows(rows_of_transfers(transfers), branch_code=branch_code, webhook_url=webhook_url,
                              webhook_token=webhook_token, process_id=process_id, chunk_size=chunk_size,
                              skip_invalid=skip_invalid, source=source)

    def import_csv(
        self,
        path: str | os.PathLike[str],
        *,
        branch_code: str,
        webhook_url: str,
        webhook_token: str,
        process_id: str | None = None,
        chunk_size: int = DEFAULT_CHUNK_SIZE,
        skip_invalid: bool = False,
    ) -> ImportResult:
        """``add_batch`` for a payroll file: CSV, UTF-8 (BOM or not), comma or semicolon separated, a header row
        naming the transfer fields; problems name the file's line and column."""
        with open(path, "rb") as f:
            data = f.read()
        return self._add_rows(read_payroll(data), branch_code=branch_code, webhook_url=webhook_url,
                              webhook_token=webhook_token, process_id=process_id, chunk_size=chunk_size,
                              skip_invalid=skip_invalid, source=os.path.basename(os.fspath(path)))

    def _add_rows(self, rows: list[PayrollRow], *, branch_code: str, webhook_url: str, webhook_token: str,
                  process_id: str | None, chunk_size: int, skip_invalid: bool, source: str | None) -> ImportResult:
        batches, skipped = plan_batches(
            rows, branch_code=branch_code, webhook_url=webhook_url, webhook_token=webhook_token,
            process_id=process_id, chunk_size=chunk_size, skip_invalid=skip_invalid, source=source,
            known_ids=self._store.known_transaction_ids, known_process_ids=self._store.known_process_ids,
        )
        try:
            self._store.add_batches(batches)
        except Exception as exc:
            # Another import recorded some of these ids (or process ids) between the check and now.
            if type(exc).__module__.split(".")[0] in ("sqlite3", "psycopg") and "unique" in str(exc).lower():
                raise LedgerError(f"some transfers or batches were recorded meanwhile; nothing was recorded ({exc})")\
                    from None
            raise
        return ImportResult(
            process_ids=[b.process_id for b in batches],
            transfers=sum(len(b.transfers) for b in batches),
            skipped=skipped,
        )

    def record_notification(self, notification: BatchNotification) -> bool:
        """Writes what a verified batch notification says; False when it changed nothing (a repeat)."""
        transfer = notification.transfer
        if transfer.transaction_id is None:
            return False
        return bool(self._store.record_words([word_of_status(transfer)], "notification"))

    def batch(self, process_id: str) -> LedgerBatch | None:
        return self._store.batch(process_id)

    def batches(self, states: list[BatchState] | None = None) -> list[LedgerBatch]:
        return self._store.batches(states)

    def batch_history(self, process_id: str) -> list[LedgerEvent]:
        return self._store.batch_history(process_id)

    def transfers(self, process_id: str | None = None, *, since: int | None = None) -> list[LedgerTransfer]:
        """Transfers in recorded order; ``since`` (Unix ms) keeps those changed since then."""
        return self._store.transfers(process_id, since)

    def transfer(self, transaction_id: str) -> LedgerTransfer | None:
        return self._store.transfer(transaction_id)

    def payout(self, key: str) -> LedgerPayout | None:
        return self._store.get(key)

    def history(self, key: str) -> list[LedgerEvent]:
        return self._store.history(key)

    def payouts(self, states: list[PayoutState] | None = None) -> list[LedgerPayout]:
        return self._store.payouts(states)

    def status(self, limit: int = 100) -> LedgerStatus:
        counts = self._store.counts()
        now = self._store.now()
        paying = self._store.payouts([PayoutState.PAYING])
        expired = [p for p in paying if (p.lease_until or 0) < now]
        in_doubt = self._store.payouts([PayoutState.IN_DOUBT], limit) + expired
        in_flight = [p for p in paying if (p.lease_until or 0) >= now]
        failures = self._store.payouts(sorted(FINAL_STATES - {PayoutState.PAID}, key=_ORDER.__getitem__), limit)
        doubtful = self._store.batches([BatchState.IN_DOUBT, BatchState.AUTHORIZING])
        return LedgerStatus(
            counts=counts, in_doubt=in_doubt[:limit], in_flight=in_flight[:limit], failures=failures,
            batch_counts=self._store.batch_counts(), transfer_counts=self._store.transfer_counts(),
            batches_in_doubt=doubtful[:limit], batches_refused=self._store.batches([BatchState.REFUSED])[:limit],
        )
