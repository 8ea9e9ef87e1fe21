"""``Ledger``: record payouts, run them exactly once, and read what happened."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._client import Client
from quorvel_bo.payouts._core import run as core_run
from quorvel_bo.payouts._errors import ValidationError
from quorvel_bo.payouts._types import Amount, amount_text
from quorvel_bo.payouts.ledger._engine import describe_url, open_engine
from quorvel_bo.payouts.ledger._model import (
    FINAL_STATES,
    LedgerEvent,
    LedgerPayout,
    PayoutState,
)
from quorvel_bo.payouts.ledger._runner import (
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

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    @property
    def unfinished(self) -> int:
        return sum(n for s, n in self.counts.items() if not s.is_final)

    def to_json(self) -> dict[str, Any]:
        return {
            "total": self.total,
            "unfinished": self.unfinished,
            "counts": {s.value: n for s, n in sorted(self.counts.items(), key=lambda item: _ORDER[item[0]])},
            "in_doubt": [_brief(p) for p in self.in_doubt],
            "in_flight": [_brief(p) for p in self.in_flight],
            "failures": [_brief(p) for p in self.failures],
        }


_ORDER = {state: i for i, state in enumerate(PayoutState)}


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
    ) -> RunSummary:
        """Drives due payouts with ``workers`` threads until ``stop`` is set, or until none is left with ``until_idle``.

        ``client`` is a Client shared by the workers, or ClientSettings from which each worker
        builds its own. Ctrl-C stops the run; a payment then on its way is recorded in doubt.
        """
        runner = Runner(
            self.url, client, options=options, until_idle=until_idle, on_change=on_change, stop=stop, clock=self._clock
        )
        return runner.run(workers)

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
        return LedgerStatus(counts=counts, in_doubt=in_doubt[:limit], in_flight=in_flight[:limit], failures=failures)
