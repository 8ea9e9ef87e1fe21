"""The runner's batch road: authorise each recorded batch once, resolve doubt, reconcile what notifications missed.

The rule is the payouts' rule: ``authorizing`` (with the process id) is committed before the
authorisation request is sent. A batch found ``authorizing`` under an expired lease, or whose
request got no clear answer, is in doubt, and only the batch status (looked up by process id)
decides: known, it is authorised; unknown once the grace period has passed since the request,
it is sent again with the same process id, which the provider refuses to take twice.
"""

from __future__ import annotations

import logging
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from quorvel_bo.payouts._errors import (
    ApiError,
    AuthenticationError,
    PayoutsError,
    ValidationError,
)
from quorvel_bo.payouts._types import (
    BatchStatus,
    BatchTransfer,
    BatchTransferResult,
    BatchTransferStatus,
)
from quorvel_bo.payouts.ledger._model import BatchState, LedgerBatch, LedgerTransfer
from quorvel_bo.payouts.ledger._store import TransferWord

if TYPE_CHECKING:
    from quorvel_bo.payouts.ledger._runner import _Worker

__all__ = ["BatchSteps", "word_of_result", "word_of_status"]

logger = logging.getLogger("quorvel_bo.payouts.ledger")

_DUPLICATE_CODE = "21"


def _ms(seconds: float) -> int:
    return int(seconds * 1000)


def _reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def word_of_status(t: BatchTransferStatus) -> TransferWord:
    """What a notification or a status answer says of a transfer, as the ledger keeps it."""
    return {
        "transaction_id": t.transaction_id,
        "status": t.status.value,
        "final": t.status.is_final,
        "raw_status": t.raw_status,
        "reference": t.reference,
        "message": t.message,
        "ach_number": t.ach_number,
        "bank_name": t.bank_name,
        "transaction_at": t.transaction_at,
        "paid_amount": None if t.amount is None else str(t.amount),
    }


def word_of_result(t: BatchTransferResult) -> TransferWord:
    """The provider's first word on a transfer, in its answer to the authorisation."""
    return {
        "transaction_id": t.transaction_id,
        "status": t.status.value,
        "final": t.status.is_final,
        "raw_status": t.raw_status,
        "reference": t.reference,
        "message": t.message,
    }


def _words(status: BatchStatus) -> list[TransferWord]:
    return [word_of_status(t) for t in status.transfers if t.transaction_id is not None]


def _batch_transfer(t: LedgerTransfer) -> BatchTransfer:
    return BatchTransfer(
        transaction_id=t.transaction_id, amount=t.amount, date=t.date, source_account=t.source_account,
        destination_account=t.destination_account, bank_code=t.bank_code, branch_city=t.branch_city,
        description=t.description, recipient_document_id=t.recipient_document_id,
        recipient_name=t.recipient_name, currency=t.currency,
    )


def _may_have_arrived(exc: ApiError) -> bool:
    # A duplicate means the provider has it; a server error or time-out settles nothing.
    return (
        exc.status == 409 or exc.status >= 500 or exc.status == 408 or exc.retryable
        or any(e.code == _DUPLICATE_CODE for e in exc.errors)
    )


class BatchSteps:
    """Drives one leased batch at a time for a worker (its store, client, lease and stop flag)."""

    def __init__(self, worker: _Worker) -> None:
        self.worker = worker
        self.options = worker.options
        self.store = worker.store
        self.sending: str | None = None

    # -- recording -----------------------------------------------------------------------------

    def _record(
        self,
        batch: LedgerBatch,
        state: BatchState,
        event: str | None,
        *,
        detail: str | None = None,
        changes: dict[str, Any] | None = None,
        words: Sequence[TransferWord] = (),
        source: str = "status",
        release_for: float | None = None,
    ) -> LedgerBatch:
        now = self.store.now()
        owner = self.worker.owner
        if state.is_final or release_for is not None:
            updated = self.store.advance_batch(
                batch, owner, state, event, detail=detail, changes=changes, words=words, source=source,
                next_at=None if release_for is None else now + _ms(release_for),
            )
        else:
            updated = self.store.advance_batch(
                batch, owner, state, event, detail=detail, changes=changes, words=words, source=source,
                lease_until=now + _ms(self.options.lease),
            )
        if event is not None:
            self.worker.steps += 1
            self.worker.runner.batch_changed(updated, event)
        if updated.state is BatchState.COMPLETED and state is not BatchState.COMPLETED:
            self.worker.runner.batch_changed(updated, "every transfer final")
        return updated

    def _later(self, batch: LedgerBatch, wait: float, event: str | None = None, *, detail: str | None = None,
               changes: dict[str, Any] | None = None) -> LedgerBatch | None:
        if wait > self.options.inline_wait:
            self._record(batch, batch.state, event, detail=detail, changes=changes, release_for=wait)
            return None
        batch = self._record(batch, batch.state, event, detail=detail, changes=changes)
        self.worker.runner.stop.wait(wait)
        return batch

    def _retry_wait(self, tries: int) -> float:
        return min(self.options.retry_max_interval, self.options.retry_interval * 2.0 ** min(tries, 32))

    # -- the road ------------------------------------------------------------------------------

    def drive(self, batch: LedgerBatch | None) -> None:
        stop = self.worker.runner.stop
        while batch is not None:
            if stop.is_set():
                self.store.advance_batch(batch, self.worker.owner, batch.state, None, next_at=self.store.now())
                return
            state = batch.state
            if state is BatchState.NEW:
                batch = self._authorize(batch)
            elif state is BatchState.AUTHORIZING:
                # Claimed in this state: whoever sent it died or lost its lease before the answer.
                batch = self._record(
                    batch, BatchState.IN_DOUBT, "taken over in doubt",
                    detail=f"the authorisation may have been sent (lease of {batch.lease_owner} ran out)",
                    changes={"doubt_since": self.store.now(), "tries": 0},
                )
            elif state is BatchState.IN_DOUBT:
                batch = self._resolve(batch)
            elif state is BatchState.AUTHORIZED:
                batch = self._reconcile(batch)
            else:
                self.store.advance_batch(batch, self.worker.owner, state, None)
                batch = None

    def _authorize(self, batch: LedgerBatch) -> LedgerBatch | None:
        transfers = [_batch_transfer(t) for t in self.store.transfers(batch.process_id)]
        # Write ahead: from this commit on, the batch may be at the provider.
        batch = self._record(
            batch, BatchState.AUTHORIZING, "authorisation sent",
            detail=f"process id {batch.process_id}, {len(transfers)} transfer(s), attempt {batch.attempts + 1}",
            changes={"attempts": batch.attempts + 1, "sent_at": self.store.now(), "tries": 0},
        )
        self.sending = batch.process_id
        client = self.worker.client
        try:
            answer = client.authorize_batch(
                batch.branch_code, batch.process_id, batch.webhook_url, batch.webhook_token, transfers
            )
        except ValidationError as exc:
            # Refused by the checks before anything was sent.
            self._record(batch, BatchState.REFUSED, "authorisation not sent", detail=_reason(exc),
                         changes={"reason": str(exc)})
            return None
        except AuthenticationError as exc:
            return self._doubt(batch, exc)
        except ApiError as exc:
            if _may_have_arrived(exc):
                return self._doubt(batch, exc)
            self._record(batch, BatchState.REFUSED, "authorisation refused", detail=_reason(exc),
                         changes={"reason": str(exc)})
            return None
        except PayoutsError as exc:  # no answer, or one that cannot be read
            return self._doubt(batch, exc)
        except Exception as exc:
            self._doubt(batch, exc)
            raise
        finally:
            self.sending = None
        return self._authorized(batch, answer.batch_number, [word_of_result(t) for t in answer.transfers],
                                "authorised", "authorization")

    def _authorized(self, batch: LedgerBatch, number: str | None, words: list[TransferWord],
                    event: str, source: str) -> LedgerBatch | None:
        self._record(
            batch, BatchState.AUTHORIZED, event, detail=f"batch number {number}",
            changes={"batch_number": number, "authorized_at": self.store.now(), "doubt_since": None, "tries": 0,
                     "reason": None},
            words=words, source=source, release_for=self.options.reconcile_after,
        )
        return None

    def _doubt(self, batch: LedgerBatch, exc: BaseException) -> LedgerBatch:
        return self._record(
            batch, BatchState.IN_DOUBT, "authorisation in doubt", detail=_reason(exc),
            changes={"doubt_since": self.store.now(), "reason": str(exc), "tries": 0},
        )

    def _first_transaction_id(self, batch: LedgerBatch) -> str:
        transfers = self.store.transfers(batch.process_id)
        return transfers[0].transaction_id

    def _resolve(self, batch: LedgerBatch) -> LedgerBatch | None:
        try:
            found = self.worker.client.batch_status(
                batch.branch_code, batch.process_id, transaction_id=self._first_transaction_id(batch)
            )
        except ApiError as exc:
            if exc.status == 404:
                # From the later of the write-ahead and the doubt, as for payouts: the last attempt may leave late.
                since = max(batch.sent_at or 0, batch.doubt_since or 0)
                left = (since + _ms(self.options.grace) - self.store.now()) / 1000
                if left <= 0:
                    # Grace has passed and the provider never saw it: the same process id again is safe.
                    return self._authorize(batch)
                event = "unknown to the provider, waiting out the grace period" if batch.tries == 0 else None
                return self._later(batch, left, event, detail=_reason(exc), changes={"tries": batch.tries + 1})
            return self._later(batch, self._retry_wait(batch.tries), "status query failed, will retry",
                               detail=_reason(exc), changes={"tries": batch.tries + 1})
        except PayoutsError as exc:
            return self._later(batch, self._retry_wait(batch.tries), "status query failed, will retry",
                               detail=_reason(exc), changes={"tries": batch.tries + 1})
        return self._authorized(batch, found.batch_number, _words(found), "found at the provider", "status")

    def _reconcile(self, batch: LedgerBatch) -> LedgerBatch | None:
        # Notifications can be lost: ask the batch status for whatever is not final yet.
        client = self.worker.client
        try:
            if batch.batch_number is not None:
                found = client.batch_status(batch.branch_code, batch.process_id, batch_number=batch.batch_number)
            else:
                found = client.batch_status(batch.branch_code, batch.process_id,
                                            transaction_id=self._first_transaction_id(batch))
        except PayoutsError as exc:
            return self._later(batch, self._retry_wait(batch.tries), "status query failed, will retry",
                               detail=_reason(exc), changes={"tries": batch.tries + 1})
        words = _words(found)
        final = sum(1 for w in words if w["final"])
        changes: dict[str, Any] = {"tries": 0}
        if batch.batch_number is None and found.batch_number is not None:
            changes["batch_number"] = found.batch_number
        self._record(batch, BatchState.AUTHORIZED, "status asked",
                     detail=f"{final} of {len(words)} transfer(s) final at the provider",
                     changes=changes, words=words, release_for=self.options.reconcile_interval)
        return None
