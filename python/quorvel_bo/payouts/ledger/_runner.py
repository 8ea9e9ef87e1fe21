"""The runner: workers that lease due payouts and drive each one through scan, pay and its final status.

The rule that keeps money safe: ``paying`` is committed before the payment request is sent.
A payout found in ``paying`` under an expired lease, or whose payment got no clear answer, is
in doubt, and only the provider's payout status decides what happens next: found, its status is
taken; not found once a grace period has passed since the request was sent, the same payment
(same transaction id, same scanned reference) is sent again. Nothing is ever resent blindly.
"""

from __future__ import annotations

import dataclasses
import json
import logging
import os
import socket
import threading
import time
import uuid
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from quorvel_bo.payouts._client import Client, Environment, UncertainPaymentEvent
from quorvel_bo.payouts._errors import (
    ApiError,
    AuthenticationError,
    PayoutNotFoundError,
    PayoutsError,
    TransportError,
    ValidationError,
)
from quorvel_bo.payouts._retry import Backoff
from quorvel_bo.payouts._types import PaymentStatus, Payout, ScannedQr
from quorvel_bo.payouts.ledger._batchrun import BatchSteps
from quorvel_bo.payouts.ledger._engine import open_engine
from quorvel_bo.payouts.ledger._model import LedgerBatch, LedgerPayout, PayoutState
from quorvel_bo.payouts.ledger._store import LeaseLost, Step, Store

__all__ = ["BatchHook", "ClientSettings", "RunOptions", "RunSummary", "Runner"]

logger = logging.getLogger("quorvel_bo.payouts.ledger")

_FINAL_OF_STATUS = {
    PaymentStatus.PAID: PayoutState.PAID,
    PaymentStatus.REJECTED: PayoutState.REJECTED,
    PaymentStatus.CANCELLED: PayoutState.CANCELLED,
    PaymentStatus.EXPIRED: PayoutState.EXPIRED,
    PaymentStatus.REVERSED: PayoutState.REVERSED,
    PaymentStatus.ERROR: PayoutState.ERROR,
}
_DUPLICATE_CODE = "21"
_DEFAULT_BACKOFF = Backoff()

#: A step taken but not written yet: its column changes and its events, written with the next commit.
_Carry = tuple[dict[str, Any], tuple[Step, ...]]

#: Called after every recorded step: the payout as it now stands, and the event's name.
ChangeHook = Callable[[LedgerPayout, str], None]
#: The same for batches.
BatchHook = Callable[[LedgerBatch, str], None]


@dataclass(frozen=True)
class RunOptions:
    """Timing of the runner, in seconds.

    ``lease`` must be longer than the client's longest request plus ``inline_wait``: a worker
    that holds a payout longer may lose it to another. ``grace`` is how long after a payment
    request was sent a "not found" from the provider is believed: it must exceed the
    provider's processing time, or a late payment could meet its twin (the same holds for a
    batch's authorisation). An authorised batch whose transfers are not all final after
    ``reconcile_after`` is asked through the batch status, then every ``reconcile_interval``.
    """

    lease: float = 180.0
    grace: float = 120.0
    poll_interval: float = 2.0
    poll_max_interval: float = 60.0
    retry_interval: float = 1.0
    retry_max_interval: float = 60.0
    inline_wait: float = 5.0
    idle_interval: float = 1.0
    reconcile_after: float = 600.0
    reconcile_interval: float = 300.0

    def __post_init__(self) -> None:
        for name in ("lease", "grace", "poll_interval", "poll_max_interval", "retry_interval",
                     "retry_max_interval", "inline_wait", "idle_interval", "reconcile_after", "reconcile_interval"):
            if getattr(self, name) < 0:
                raise ValueError(f"{name} must not be negative")
        if self.lease <= self.inline_wait:
            raise ValueError("lease must be longer than inline_wait")


@dataclass(frozen=True)
class ClientSettings:
    """How each worker builds its own Client. ``timeout`` bounds every request."""

    client_id: str
    token: str = field(repr=False)
    base_url: str | None = None
    environment: Environment = "sandbox"
    timeout: float | None = None
    backoff: Backoff = _DEFAULT_BACKOFF

    def client(self, on_uncertain: Callable[[UncertainPaymentEvent], None] | None = None) -> Client:
        return Client(
            self.client_id,
            token=self.token,
            base_url=self.base_url,
            environment=self.environment,
            timeout=self.timeout,
            backoff=self.backoff,
            on_uncertain=on_uncertain,
        )


@dataclass(frozen=True)
class RunSummary:
    """What a run did: the steps recorded by its workers, and whether it was interrupted."""

    steps: int
    interrupted: bool
    remaining: int


def _ms(seconds: float) -> int:
    return int(seconds * 1000)


def _is_not_found(exc: BaseException) -> bool:
    """The provider has no payment for that reference (so none of ours arrived)."""
    return isinstance(exc, PayoutNotFoundError)


def _is_duplicate(exc: ApiError) -> bool:
    return exc.status == 409 or any(e.code == _DUPLICATE_CODE for e in exc.errors)


def _transient(exc: BaseException) -> bool:
    return isinstance(exc, (TransportError, AuthenticationError)) or (isinstance(exc, ApiError) and exc.retryable)


def _reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


class _Worker:
    """One thread: its own database connection and client, one payout at a time."""

    def __init__(self, runner: Runner, index: int) -> None:
        self.runner = runner
        self.options = runner.options
        self.owner = f"{runner.owner_prefix}-{index}"
        self.store = Store(open_engine(runner.url), clock=runner.clock)
        self._uncertain: set[str] = set()
        self._uncertain_lock = threading.Lock()
        self.client = runner.client_for(self._on_uncertain)
        self.sending: str | None = None
        # The payout leased in the commit that put the last one down: the next to drive.
        self._next: LedgerPayout | None = None
        self.steps = 0
        self.batches = BatchSteps(self)

    def close(self) -> None:
        self.store.close()
        if self.runner.owns_clients:
            self.client.close()

    def _on_uncertain(self, event: UncertainPaymentEvent) -> None:
        with self._uncertain_lock:
            self._uncertain.add(event.transaction_id)

    def _was_uncertain(self, key: str) -> bool:
        with self._uncertain_lock:
            if key in self._uncertain:
                self._uncertain.discard(key)
                return True
        return False

    # -- the loop ------------------------------------------------------------------------------

    def loop(self) -> None:
        stop = self.runner.stop
        lease = _ms(self.options.lease)
        while True:
            payout, self._next = self._next, None
            if stop.is_set():
                if payout is not None:
                    # Leased but not started: due again at once for the next run.
                    self.store.advance(payout, self.owner, payout.state, None, next_at=self.store.now())
                return
            if payout is None:
                payout = self.store.claim(self.owner, lease)
            if payout is None:
                batch = self.store.claim_batch(self.owner, lease)
                if batch is not None:
                    try:
                        self.batches.drive(batch)
                    except LeaseLost:
                        logger.warning("lost the lease on batch %s; another worker carries on", batch.process_id)
                    continue
                remaining, due = self.store.pending()
                remaining_batches, batch_due = self.store.pending_batches()
                if remaining + remaining_batches == 0 and self.runner.until_idle:
                    return
                wait = self.options.idle_interval
                for when in (due, batch_due):
                    if when is not None:
                        wait = min(wait, max(0.0, (when - self.store.now()) / 1000))
                stop.wait(max(wait, 0.005))
                continue
            try:
                self.drive(payout)
            except LeaseLost:
                logger.warning("lost the lease on payout %s; another worker carries on", payout.key)

    def drive(self, payout: LedgerPayout | None) -> None:
        while payout is not None:
            if self.runner.stop.is_set():
                # Leave it for the next run, due now; a payment on its way was marked in doubt.
                self.store.advance(payout, self.owner, payout.state, None, next_at=self.store.now())
                return
            state = payout.state
            if state is PayoutState.NEW:
                payout = self._scan(payout)
            elif state is PayoutState.SCANNED:
                payout = self._pay(payout)
            elif state is PayoutState.PAYING:
                # Claimed in this state: whoever sent it died or lost its lease before the answer.
                payout = self._record(
                    payout, PayoutState.IN_DOUBT, "taken over in doubt",
                    detail=f"the payment may have been sent (lease of {payout.lease_owner} ran out)",
                    changes={"doubt_since": self.store.now(), "tries": 0},
                )
            elif state is PayoutState.IN_DOUBT:
                payout = self._resolve(payout)
            elif state is PayoutState.SUBMITTED:
                payout = self._poll(payout)
            else:  # final: nothing to do (a stale claim)
                self.store.advance(payout, self.owner, state, None)
                payout = None

    # -- recording -----------------------------------------------------------------------------

    def _record(
        self,
        payout: LedgerPayout,
        state: PayoutState,
        event: str | None,
        *,
        detail: str | None = None,
        changes: dict[str, Any] | None = None,
        release_for: float | None = None,
        before: tuple[Step, ...] = (),
    ) -> LedgerPayout:
        """Commits a step (and ``before``, earlier steps not yet written); ``release_for`` seconds hands
        the payout back until then. A payout put down takes the next one's lease in the same commit."""
        now = self.store.now()
        lease = _ms(self.options.lease)
        if state.is_final or release_for is not None:
            claim_for = None if self.runner.stop.is_set() else lease
            updated, self._next = self.store.advance_and_claim(
                payout, self.owner, state, event, detail=detail, changes=changes, before=before,
                next_at=None if release_for is None else now + _ms(release_for), claim_for=claim_for,
            )
        else:
            updated = self.store.advance(
                payout, self.owner, state, event, detail=detail, changes=changes, lease_until=now + lease,
                before=before,
            )
        for step_state, step_event, _ in before:
            self.steps += 1
            self.runner.changed(dataclasses.replace(updated, state=step_state), step_event)
        if event is not None:
            self.steps += 1
            self.runner.changed(updated, event)
        return updated

    def _later(
        self,
        payout: LedgerPayout,
        wait: float,
        event: str | None = None,
        *,
        detail: str | None = None,
        changes: dict[str, Any] | None = None,
    ) -> LedgerPayout | None:
        """Comes back to the payout after ``wait`` s: holding it when the wait is short, else releasing it."""
        if wait > self.options.inline_wait:
            self._record(payout, payout.state, event, detail=detail, changes=changes, release_for=wait)
            return None
        if event is not None or changes:
            # Nothing new to write otherwise: the last commit renewed the lease.
            payout = self._record(payout, payout.state, event, detail=detail, changes=changes)
        self.runner.stop.wait(wait)
        return payout

    def _backoff(self, tries: int, first: float, cap: float) -> float:
        return min(cap, first * 2.0 ** min(tries, 32))

    def _settle(
        self, payout: LedgerPayout, found: Payout, event: str, *, carry: _Carry | None = None, hold: bool = False
    ) -> LedgerPayout | None:
        """Takes the provider's word on a payout: final, or submitted and polled again later.

        ``carry`` is a step taken but not yet written (the payment's acceptance), written with this
        one. With ``hold``, an acceptance whose first status query is due within the inline wait is
        carried to that query's answer instead of being committed on its own.
        """
        changes: dict[str, Any] = {
            "provider_status": found.raw_status,
            "provider_transaction_id": found.transaction_id,
            "paid_amount": None if found.amount is None else str(found.amount),
            "doubt_since": None,
        }
        before: tuple[Step, ...] = ()
        known_status, known_state = payout.provider_status, payout.state
        if carry is not None:
            carried, before = carry
            changes = {**carried, **changes}
            known_status, known_state = carried.get("provider_status"), PayoutState.SUBMITTED
        final = _FINAL_OF_STATUS.get(found.status)
        detail = f"{found.status.value} ({found.raw_status})"
        if final is not None:
            paid = final is PayoutState.PAID
            changes["reason"] = None if paid else found.message or f"the provider reports {found.raw_status}"
            self._record(payout, final, event, detail=detail, changes=changes, before=before)
            return None
        changed = found.raw_status != known_status or known_state is not PayoutState.SUBMITTED
        changes["tries"] = 0 if changed else payout.tries + 1
        wait = self._backoff(changes["tries"], self.options.poll_interval, self.options.poll_max_interval)
        if changed and hold and self._may_hold(payout, wait):
            # Until the answer is written the payout stays `paying`: a crash meanwhile is resolved
            # through the status, as for any payment on its way.
            step = (PayoutState.SUBMITTED, event, detail)
            if not self.runner.stop.wait(wait):
                return self._poll(payout, (changes, (*before, step)))
            self._record(payout, PayoutState.SUBMITTED, event, detail=detail, changes=changes, before=before,
                         release_for=0.0)
            return None
        if changed:
            payout = self._record(payout, PayoutState.SUBMITTED, event, detail=detail, changes=changes, before=before)
            return self._later(payout, wait)
        if before:
            payout = self._record(payout, PayoutState.SUBMITTED, None, changes=changes, before=before)
            return self._later(payout, wait)
        return self._later(payout, wait, changes=changes)

    def _may_hold(self, payout: LedgerPayout, wait: float) -> bool:
        # Only within the inline wait, and while most of the lease is left for the status query.
        left = (payout.lease_until or 0) - self.store.now() - _ms(wait)
        return wait <= self.options.inline_wait and left > _ms(self.options.lease) / 2

    # -- steps ---------------------------------------------------------------------------------

    def _scan(self, payout: LedgerPayout) -> LedgerPayout | None:
        # A scan moves no money: repeating it after a crash is harmless.
        try:
            scanned = self.client.scan(payout.qr_text)
        except PayoutsError as exc:
            if _transient(exc) or not isinstance(exc, (ApiError, ValidationError)):
                wait = self._backoff(payout.tries, self.options.retry_interval, self.options.retry_max_interval)
                return self._later(payout, wait, "scan failed, will retry", detail=_reason(exc),
                                   changes={"tries": payout.tries + 1, "reason": str(exc)})
            self._record(payout, PayoutState.FAILED, "scan refused", detail=_reason(exc), changes={"reason": str(exc)})
            return None
        detail = f"reference {scanned.reference}, {scanned.amount} {scanned.currency or ''}".rstrip()
        changes: dict[str, Any] = {
            "reference": scanned.reference,
            "scanned": json.dumps(scanned.to_core(), sort_keys=True),
            "scanned_amount": str(scanned.amount),
            "currency": scanned.currency,
            "tries": 0,
            "reason": None,
        }
        if self.runner.stop.is_set():
            return self._record(payout, PayoutState.SCANNED, "scanned", detail=detail, changes=changes)
        # The scan is written with the payment's write-ahead commit: one commit fewer, and a crash
        # before it only means scanning again, which moves no money.
        return self._pay(payout, (scanned, changes, (PayoutState.SCANNED, "scanned", detail)))

    def _pay(
        self, payout: LedgerPayout, scan: tuple[ScannedQr, dict[str, Any], Step] | None = None
    ) -> LedgerPayout | None:
        changes: dict[str, Any] = {}
        before: tuple[Step, ...] = ()
        if scan is None:
            assert payout.scanned is not None and payout.reference is not None
            scanned = ScannedQr.from_core(json.loads(payout.scanned))
        else:
            scanned, changes, step = scan
            before = (step,)
        # Write ahead: from this commit on, the payment may be on its way.
        payout = self._record(
            payout, PayoutState.PAYING, "payment sent",
            detail=f"transaction id {payout.key}, reference {scanned.reference}, attempt {payout.pay_attempts + 1}",
            changes={**changes, "pay_attempts": payout.pay_attempts + 1, "sent_at": self.store.now(), "tries": 0},
            before=before,
        )
        self.sending = payout.key
        try:
            result = self.client.pay(scanned, payout.source_account, payout.key, payout.amount, payout.description)
        except ValidationError as exc:
            # Refused by the checks before anything was sent.
            self._record(payout, PayoutState.FAILED, "payment not sent", detail=_reason(exc),
                         changes={"reason": str(exc)})
            return None
        except ApiError as exc:
            if _is_duplicate(exc) or exc.retryable or self._was_uncertain(payout.key):
                return self._doubt(payout, exc)
            self._record(payout, PayoutState.REJECTED, "payment refused", detail=_reason(exc),
                         changes={"reason": str(exc)})
            return None
        except PayoutsError as exc:  # ambiguous, no answer, unreadable answer, refused credentials
            return self._doubt(payout, exc)
        except Exception as exc:
            self._doubt(payout, exc)
            raise
        finally:
            self.sending = None
        if self._was_uncertain(payout.key):
            logger.info("payout %s was reported uncertain, then answered", payout.key)
        return self._settle(payout, result, "payment accepted", hold=True)

    def _doubt(self, payout: LedgerPayout, exc: BaseException) -> LedgerPayout:
        return self._record(
            payout, PayoutState.IN_DOUBT, "payment in doubt", detail=_reason(exc),
            changes={"doubt_since": self.store.now(), "reason": str(exc), "tries": 0},
        )

    def _resolve(self, payout: LedgerPayout) -> LedgerPayout | None:
        assert payout.reference is not None
        try:
            found = self.client.payout_status(payout.reference)
        except PayoutsError as exc:
            if _is_not_found(exc):
                # From the later of the write-ahead and the doubt: the client may send its last attempt long
                # after `paying` was committed (a connection that failed late, then another), never after it gave up.
                since = max(payout.sent_at or 0, payout.doubt_since or 0)
                left = (since + _ms(self.options.grace) - self.store.now()) / 1000
                if left <= 0:
                    # Grace has passed and the provider never saw it: the same payment again is safe.
                    return self._pay(payout)
                event = "not found at the provider, waiting out the grace period" if payout.tries == 0 else None
                return self._later(payout, left, event, detail=_reason(exc), changes={"tries": payout.tries + 1})
            wait = self._backoff(payout.tries, self.options.retry_interval, self.options.retry_max_interval)
            return self._later(payout, wait, "status query failed, will retry", detail=_reason(exc),
                               changes={"tries": payout.tries + 1})
        return self._settle(payout, found, "found at the provider")

    def _poll(self, payout: LedgerPayout, carry: _Carry | None = None) -> LedgerPayout | None:
        assert payout.reference is not None
        try:
            found = self.client.payout_status(payout.reference)
        except PayoutsError as exc:
            if carry is not None:
                # The acceptance held for this answer is written now.
                payout = self._record(payout, PayoutState.SUBMITTED, None, changes=carry[0], before=carry[1])
            # The provider took this payment: whatever the status query says, it is never paid again.
            wait = self._backoff(payout.tries, self.options.retry_interval, self.options.retry_max_interval)
            return self._later(payout, wait, "status query failed, will retry", detail=_reason(exc),
                               changes={"tries": payout.tries + 1})
        return self._settle(payout, found, "status", carry=carry)


class Runner:
    """Runs ``workers`` threads over the ledger at ``url`` until stopped (or idle, with ``until_idle``)."""

    def __init__(
        self,
        url: str | None,
        client: Client | ClientSettings,
        *,
        options: RunOptions | None = None,
        until_idle: bool = False,
        on_change: ChangeHook | None = None,
        stop: threading.Event | None = None,
        clock: Callable[[], float] = time.time,
        on_batch_change: BatchHook | None = None,
    ) -> None:
        self.url = url
        self._on_batch_change = on_batch_change
        self._client = client
        self.owns_clients = isinstance(client, ClientSettings)
        self.options = options or RunOptions()
        self.until_idle = until_idle
        self._on_change = on_change
        self.stop = stop or threading.Event()
        self.clock = clock
        self.owner_prefix = f"{socket.gethostname()}:{os.getpid()}:{uuid.uuid4().hex[:6]}"
        self._hook_lock = threading.Lock()

    def client_for(self, on_uncertain: Callable[[UncertainPaymentEvent], None]) -> Client:
        if isinstance(self._client, ClientSettings):
            return self._client.client(on_uncertain)
        return self._client

    def changed(self, payout: LedgerPayout, event: str) -> None:
        if self._on_change is None:
            return
        with self._hook_lock:
            try:
                self._on_change(payout, event)
            except Exception:
                logger.exception("ledger change hook failed")

    def batch_changed(self, batch: LedgerBatch, event: str) -> None:
        if self._on_batch_change is None:
            return
        with self._hook_lock:
            try:
                self._on_batch_change(batch, event)
            except Exception:
                logger.exception("ledger change hook failed")

    def run(self, workers: int = 1) -> RunSummary:
        """Runs the workers; Ctrl-C (KeyboardInterrupt) stops them, leaving payments on their way in doubt."""
        if workers < 1:
            raise ValueError("workers must be at least 1")
        crew = [_Worker(self, i) for i in range(workers)]
        errors: list[BaseException] = []

        def work(worker: _Worker) -> None:
            try:
                worker.loop()
            except BaseException as exc:  # noqa: BLE001 -- reported by run(); the others stop too
                errors.append(exc)
                self.stop.set()

        threads = [threading.Thread(target=work, args=(w,), name=w.owner, daemon=True) for w in crew]
        for thread in threads:
            thread.start()
        interrupted = False
        try:
            for thread in threads:
                while thread.is_alive():
                    thread.join(0.2)
        except KeyboardInterrupt:
            interrupted = True
            self.stop.set()
            self._leave_in_doubt(crew)
            # Give the workers a moment to put down what they hold; a request still waiting is left behind.
            end = time.monotonic() + 2.0
            for thread in threads:
                thread.join(max(0.0, end - time.monotonic()))
        steps = sum(w.steps for w in crew)
        store = Store(open_engine(self.url), clock=self.clock)
        try:
            remaining = store.pending()[0] + store.pending_batches()[0]
        finally:
            store.close()
        if not interrupted:
            for worker in crew:
                worker.close()
        if errors and not interrupted:
            raise errors[0]
        return RunSummary(steps=steps, interrupted=interrupted, remaining=remaining)

    def _leave_in_doubt(self, crew: list[_Worker]) -> None:
        store = Store(open_engine(self.url), clock=self.clock)
        try:
            for worker in crew:
                key = worker.sending
                if key is not None:
                    marked = store.mark_in_doubt(key, worker.owner, "interrupted while the payment was on its way")
                    if marked is not None:
                        self.changed(marked, "interrupted while the payment was on its way")
                pid = worker.batches.sending
                if pid is not None:
                    event = "interrupted while the authorisation was on its way"
                    batch = store.mark_batch_in_doubt(pid, worker.owner, event)
                    if batch is not None:
                        self.batch_changed(batch, event)
        finally:
            store.close()
