"""What the ledger records: the states of a payout, a payout, one event of its history, and the errors."""

from __future__ import annotations

import dataclasses
import enum
import typing
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, TypeVar

from quorvel_bo.payouts._errors import PayoutsError
from quorvel_bo.payouts._types import PaymentStatus, Word

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


class PayoutState(Word):
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


_R = TypeVar("_R")
# Columns named otherwise than their record field.
_COLUMN_OF = {"date": "transfer_date"}
_READERS: dict[type, tuple[tuple[str, str, Callable[[Any], Any] | None], ...]] = {}


def _reader(kind: Any) -> Callable[[Any], Any] | None:
    """How a column's value becomes a field of type ``kind``; None when it is taken as it is."""
    args = typing.get_args(kind)
    optional = type(None) in args
    base = next((a for a in args if a is not type(None)), kind) if args else kind
    if base is Decimal:
        return _dec if optional else Decimal
    if isinstance(base, type) and issubclass(base, enum.Enum):
        return (lambda value: None if value is None else base(value)) if optional else base
    if base is int and not optional:
        return int  # some drivers hand integers back as other numeric types
    return None


def _from_row(cls: type[_R], row: Mapping[str, Any]) -> _R:
    """A record from a row of its table, field by field as its annotations say."""
    readers = _READERS.get(cls)
    if readers is None:
        # Resolved here: the records may be re-exported under another module's name.
        hints = typing.get_type_hints(cls, globalns=globals())
        readers = _READERS[cls] = tuple(
            (f.name, _COLUMN_OF.get(f.name, f.name), _reader(hints[f.name]))
            for f in dataclasses.fields(cls)  # type: ignore[arg-type]
        )
    return cls(**{name: row[column] if read is None else read(row[column]) for name, column, read in readers})


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
    def from_row(cls, row: Mapping[str, Any]) -> LedgerPayout:
        return _from_row(cls, row)

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


class BatchState(Word):
    """Where a batch stands. ``AUTHORIZING`` is written before the authorisation request is sent."""

    NEW = "new"
    AUTHORIZING = "authorizing"
    IN_DOUBT = "in_doubt"
    AUTHORIZED = "authorized"
    COMPLETED = "completed"
    REFUSED = "refused"

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
    def from_row(cls, row: Mapping[str, Any]) -> LedgerBatch:
        return _from_row(cls, row)

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
    def from_row(cls, row: Mapping[str, Any]) -> LedgerTransfer:
        return _from_row(cls, row)

    @property
    def is_final(self) -> bool:
        return self.status is not None and self.status.is_final
