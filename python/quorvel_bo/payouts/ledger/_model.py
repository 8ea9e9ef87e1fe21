"""What the ledger records: the states of a payout, a payout, one event of its history, and the errors."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._errors import PayoutsError

__all__ = [
    "FINAL_STATES",
    "IntentConflictError",
    "LedgerError",
    "LedgerEvent",
    "LedgerPayout",
    "PayoutState",
    "SchemaVersionError",
]


class PayoutState(str, enum.Enum):
    """Where a payout stands. ``PAYING`` is written before the payment request is sent."""

    NEW = "new"
    SCANNED = "scanned"
    PAYING = "paying"
    SUBMITTED = "submitted"
    IN_DOUBT = "in_doubt"
    PAID = "paid"
    REJECTED = "rejected"
    CANCELLED = "cancelled"
    EXPIRED = "expired"
    REVERSED = "reversed"
    ERROR = "error"
    FAILED = "failed"

    def __str__(self) -> str:
        return self.value

    @property
    def is_final(self) -> bool:
        return self in FINAL_STATES


FINAL_STATES = frozenset(
    {
        PayoutState.PAID,
        PayoutState.REJECTED,
        PayoutState.CANCELLED,
        PayoutState.EXPIRED,
        PayoutState.REVERSED,
        PayoutState.ERROR,
        PayoutState.FAILED,
    }
)


class LedgerError(PayoutsError):
    """A ledger operation was refused: a conflicting intent, a database of an unknown schema."""

    kind = "ledger"


class IntentConflictError(LedgerError):
    """The key is already recorded with other inputs; ``existing`` is that payout."""

    def __init__(self, message: str, *, key: str, existing: LedgerPayout) -> None:
        super().__init__(message)
        self.key = key
        self.existing = existing


class SchemaVersionError(LedgerError):
    """The database was written by a newer version of this package."""


def _dec(value: Any) -> Decimal | None:
    return None if value is None else Decimal(value)


@dataclass(frozen=True, slots=True)
class LedgerPayout:
    """One payout as recorded. Amounts are exact decimals; times are Unix milliseconds."""

    key: str
    qr_text: str
    source_account: str
    amount: Decimal | None
    description: str | None
    state: PayoutState
    reference: str | None
    scanned_amount: Decimal | None
    currency: str | None
    paid_amount: Decimal | None
    provider_status: str | None
    provider_transaction_id: str | None
    reason: str | None
    pay_attempts: int
    tries: int
    sent_at: int | None
    doubt_since: int | None
    next_at: int
    lease_owner: str | None
    lease_until: int | None
    created_at: int
    updated_at: int
    events: int
    scanned: str | None

    @classmethod
    def from_row(cls, row: dict[str, Any]) -> LedgerPayout:
        return cls(
            key=row["key"],
            qr_text=row["qr_text"],
            source_account=row["source_account"],
            amount=_dec(row["amount"]),
            description=row["description"],
            state=PayoutState(row["state"]),
            reference=row["reference"],
            scanned_amount=_dec(row["scanned_amount"]),
            currency=row["currency"],
            paid_amount=_dec(row["paid_amount"]),
            provider_status=row["provider_status"],
            provider_transaction_id=row["provider_transaction_id"],
            reason=row["reason"],
            pay_attempts=int(row["pay_attempts"]),
            tries=int(row["tries"]),
            sent_at=row["sent_at"],
            doubt_since=row["doubt_since"],
            next_at=int(row["next_at"]),
            lease_owner=row["lease_owner"],
            lease_until=row["lease_until"],
            created_at=int(row["created_at"]),
            updated_at=int(row["updated_at"]),
            events=int(row["events"]),
            scanned=row["scanned"],
        )

    @property
    def amount_due(self) -> Decimal | None:
        """What the payout moves: the QR's own amount when it has one, else the caller's."""
        if self.scanned_amount:
            return self.scanned_amount
        return self.amount

    def to_json(self) -> dict[str, Any]:
        return {
            "key": self.key,
            "state": self.state.value,
            "qr_text": self.qr_text,
            "source_account": self.source_account,
            "amount": None if self.amount is None else str(self.amount),
            "description": self.description,
            "reference": self.reference,
            "scanned_amount": None if self.scanned_amount is None else str(self.scanned_amount),
            "currency": self.currency,
            "paid_amount": None if self.paid_amount is None else str(self.paid_amount),
            "provider_status": self.provider_status,
            "provider_transaction_id": self.provider_transaction_id,
            "reason": self.reason,
            "pay_attempts": self.pay_attempts,
            "created_at": self.created_at,
            "updated_at": self.updated_at,
        }


@dataclass(frozen=True, slots=True)
class LedgerEvent:
    """One step in a payout's history, written in the transaction that made it."""

    key: str
    seq: int
    at: int
    state: PayoutState
    event: str
    detail: str | None
    worker: str | None

    @classmethod
    def from_row(cls, row: dict[str, Any]) -> LedgerEvent:
        return cls(
            key=row["key"],
            seq=int(row["seq"]),
            at=int(row["at"]),
            state=PayoutState(row["state"]),
            event=row["event"],
            detail=row["detail"],
            worker=row["worker"],
        )

    def to_json(self) -> dict[str, Any]:
        return {
            "seq": self.seq,
            "at": self.at,
            "state": self.state.value,
            "event": self.event,
            "detail": self.detail,
            "worker": self.worker,
        }
