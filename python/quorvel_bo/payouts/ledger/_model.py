"""What the ledger records: the states of a payout, a payout, one event of its history, and the errors."""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._errors import PayoutsError
from quorvel_bo.payouts._types import PaymentStatus

__all__ = [
    "BatchState",
    "FINAL_STATES",
    "ImportProblem",
    "ImportProblemsError",
    "LedgerBatch",
    "LedgerTransfer",
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
    state: PayoutState | BatchState
    event: str
    detail: str | None
    worker: str | None

    @classmethod
    def from_batch_row(cls, row: dict[str, Any]) -> LedgerEvent:
        """A step of a batch: ``key`` is its process id, ``state`` a BatchState."""
        return cls(
            key=row["process_id"],
            seq=int(row["seq"]),
            at=int(row["at"]),
            state=BatchState(row["state"]),
            event=row["event"],
            detail=row["detail"],
            worker=row["worker"],
        )

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


class BatchState(str, enum.Enum):
    """Where a batch stands. ``AUTHORIZING`` is written before the authorisation request is sent."""

    NEW = "new"
    AUTHORIZING = "authorizing"
    IN_DOUBT = "in_doubt"
    AUTHORIZED = "authorized"
    COMPLETED = "completed"
    REFUSED = "refused"

    def __str__(self) -> str:
        return self.value

    @property
    def is_final(self) -> bool:
        return self in (BatchState.COMPLETED, BatchState.REFUSED)


@dataclass(frozen=True, slots=True)
class ImportProblem:
    """One reason a payroll row cannot be recorded: where it is, and the core's own message."""

    line: int | None
    column: str | None
    message: str
    transaction_id: str | None

    def __str__(self) -> str:
        where = "" if self.line is None else f"line {self.line}"
        if self.column:
            where = f"{where}, column {self.column}" if where else f"column {self.column}"
        tail = f" (transaction id {self.transaction_id})" if self.transaction_id else ""
        return f"{where}: {self.message}{tail}" if where else f"{self.message}{tail}"

    def to_json(self) -> dict[str, Any]:
        return {
            "line": self.line,
            "column": self.column,
            "message": self.message,
            "transaction_id": self.transaction_id,
        }


class ImportProblemsError(LedgerError):
    """A payroll has problems and nothing of it was recorded; ``problems`` lists every one."""

    def __init__(self, problems: list[ImportProblem]) -> None:
        rows = len({p.line for p in problems})
        super().__init__(f"{len(problems)} problem(s) in {rows} row(s); nothing was recorded")
        self.problems = problems


@dataclass(frozen=True, slots=True)
class LedgerBatch:
    """One batch as recorded. Times are Unix milliseconds."""

    process_id: str
    branch_code: str
    webhook_url: str
    source: str | None
    part: int
    transfers: int
    state: BatchState
    batch_number: str | None
    reason: str | None
    attempts: int
    tries: int
    sent_at: int | None
    doubt_since: int | None
    authorized_at: int | None
    completed_at: int | None
    next_at: int
    lease_owner: str | None
    lease_until: int | None
    created_at: int
    updated_at: int
    events: int
    webhook_token: str = field(repr=False)

    @classmethod
    def from_row(cls, row: dict[str, Any]) -> LedgerBatch:
        return cls(
            process_id=row["process_id"],
            branch_code=row["branch_code"],
            webhook_url=row["webhook_url"],
            webhook_token=row["webhook_token"],
            source=row["source"],
            part=int(row["part"]),
            transfers=int(row["transfers"]),
            state=BatchState(row["state"]),
            batch_number=row["batch_number"],
            reason=row["reason"],
            attempts=int(row["attempts"]),
            tries=int(row["tries"]),
            sent_at=row["sent_at"],
            doubt_since=row["doubt_since"],
            authorized_at=row["authorized_at"],
            completed_at=row["completed_at"],
            next_at=int(row["next_at"]),
            lease_owner=row["lease_owner"],
            lease_until=row["lease_until"],
            created_at=int(row["created_at"]),
            updated_at=int(row["updated_at"]),
            events=int(row["events"]),
        )

    def to_json(self) -> dict[str, Any]:
        return {
            "process_id": self.process_id,
            "branch_code": self.branch_code,
            "source": self.source,
            "part": self.part,
            "transfers": self.transfers,
            "state": self.state.value,
            "batch_number": self.batch_number,
            "reason": self.reason,
            "attempts": self.attempts,
            "sent_at": self.sent_at,
            "authorized_at": self.authorized_at,
            "completed_at": self.completed_at,
            "created_at": self.created_at,
            "updated_at": self.updated_at,
        }


@dataclass(frozen=True, slots=True)
class LedgerTransfer:
    """One transfer of a batch as recorded; ``status`` is None until the provider's first word."""

    transaction_id: str
    process_id: str
    item: int
    line: int | None
    amount: Decimal
    date: str
    source_account: str
    destination_account: str
    bank_code: str
    branch_city: str
    description: str
    recipient_document_id: str
    recipient_name: str
    currency: str
    status: PaymentStatus | None
    raw_status: str | None
    reference: str | None
    message: str | None
    ach_number: str | None
    bank_name: str | None
    transaction_at: str | None
    paid_amount: Decimal | None
    reported_by: str | None
    notified_at: int | None
    final_at: int | None
    created_at: int
    updated_at: int

    @classmethod
    def from_row(cls, row: dict[str, Any]) -> LedgerTransfer:
        return cls(
            transaction_id=row["transaction_id"],
            process_id=row["process_id"],
            item=int(row["item"]),
            line=row["line"],
            amount=Decimal(row["amount"]),
            date=row["transfer_date"],
            source_account=row["source_account"],
            destination_account=row["destination_account"],
            bank_code=row["bank_code"],
            branch_city=row["branch_city"],
            description=row["description"],
            recipient_document_id=row["recipient_document_id"],
            recipient_name=row["recipient_name"],
            currency=row["currency"],
            status=None if row["status"] is None else PaymentStatus(row["status"]),
            raw_status=row["raw_status"],
            reference=row["reference"],
            message=row["message"],
            ach_number=row["ach_number"],
            bank_name=row["bank_name"],
            transaction_at=row["transaction_at"],
            paid_amount=_dec(row["paid_amount"]),
            reported_by=row["reported_by"],
            notified_at=row["notified_at"],
            final_at=row["final_at"],
            created_at=int(row["created_at"]),
            updated_at=int(row["updated_at"]),
        )

    @property
    def is_final(self) -> bool:
        return self.status is not None and self.status.is_final
