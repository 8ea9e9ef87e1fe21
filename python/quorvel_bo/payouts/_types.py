"""Typed records of the payouts client and their conversion to and from the core's JSON."""

from __future__ import annotations

import datetime
import enum
import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._errors import ValidationError

__all__ = [
    "AccessToken",
    "Amount",
    "Bank",
    "BatchAuthorization",
    "BatchNotification",
    "BatchStatus",
    "BatchTransfer",
    "BatchTransferResult",
    "BatchTransferStatus",
    "PaymentStatus",
    "Payout",
    "Recipient",
    "ScannedQr",
]

#: What an amount may be given as. Binary floats are refused: they cannot hold cents exactly.
Amount = Decimal | int | str


class PaymentStatus(str, enum.Enum):
    """The normalised state of a payment or transfer; the provider's word is kept as ``raw_status``."""

    PENDING = "pending"
    PROCESSING = "processing"
    PAID = "paid"
    CANCELLED = "cancelled"
    EXPIRED = "expired"
    REJECTED = "rejected"
    REVERSED = "reversed"
    ERROR = "error"
    UNKNOWN = "unknown"

    def __str__(self) -> str:
        return self.value

    @property
    def is_final(self) -> bool:
        """True when the status can no longer change (unknown is not final: ask again)."""
        return self not in (PaymentStatus.PENDING, PaymentStatus.PROCESSING, PaymentStatus.UNKNOWN)


# A decimal number in ASCII: Python's Decimal would also take "1_000", "NaN" and other scripts' digits.
_AMOUNT_TEXT = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?", re.ASCII)


def amount_text(value: object, field_name: str) -> str:
    """The exact decimal text of an input amount, as the core reads it.

    Floats (and bools) are refused with TypeError; text that is not a decimal number written in
    ASCII digits raises ValidationError. Text is passed on unchanged (surrounding whitespace
    aside), never re-rendered. Range and scale rules are left to the core.
    """
    if isinstance(value, bool) or not isinstance(value, (Decimal, int, str)):
        if isinstance(value, float):
            raise TypeError(
                f"{field_name} must be a Decimal, int or str, not float: a binary float cannot hold "
                f"an amount exactly; write Decimal({str(value)!r}) or {str(value)!r} instead"
            )
        raise TypeError(f"{field_name} must be a Decimal, int or str, not {type(value).__name__}")
    if isinstance(value, int):
        return str(value)
    if isinstance(value, str):
        text = value.strip()
        if not _AMOUNT_TEXT.fullmatch(text):
            raise ValidationError(f"invalid amount `{value}`", field=field_name)
        return text
    if not value.is_finite():
        raise ValidationError(f"invalid amount `{value}`", field=field_name)
    # str() is exact and keeps a huge exponent short ("1E+400"); the core reads both notations.
    return str(value)


def _opt_decimal(value: Any) -> Decimal | None:
    return None if value is None else Decimal(value)


@dataclass(frozen=True, slots=True, kw_only=True)
class AccessToken:
    """A bearer token obtained from the provider's authorisation service.

    Only ``access_token`` is sent; ``expires_at`` (Unix seconds, 0 when unknown) and ``scope``
    are carried for the caller. The token never appears in ``repr``.
    """

    access_token: str = field(repr=False)
    token_type: str = "Bearer"
    expires_at: int = 0
    scope: str | None = None

    def to_core(self) -> dict[str, Any]:
        return {
            "access_token": self.access_token,
            "token_type": self.token_type,
            "expires_at": self.expires_at,
            "scope": self.scope,
        }


@dataclass(frozen=True, slots=True, kw_only=True)
class Recipient:
    """The payee of a QR payout."""

    account: str | None = None
    document_id: str | None = None
    holder: str | None = None
    bank_code: str | None = None
    bank_name: str | None = None

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> Recipient:
        return cls(
            account=d["account"],
            document_id=d["document_id"],
            holder=d["holder"],
            bank_code=d["bank_code"],
            bank_name=d["bank_name"],
        )

    def to_core(self) -> dict[str, Any]:
        return {
            "account": self.account,
            "document_id": self.document_id,
            "holder": self.holder,
            "bank_code": self.bank_code,
            "bank_name": self.bank_name,
        }


@dataclass(frozen=True, slots=True, kw_only=True)
class ScannedQr:
    """A scanned QR code; hand it unchanged to ``pay``. An amount of zero means the payer chooses it."""

    reference: str
    amount: Decimal
    currency: str | None
    description: str | None
    recipient: Recipient
    expires_on: str | None

    @property
    def has_fixed_amount(self) -> bool:
        return self.amount != 0

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> ScannedQr:
        return cls(
            reference=d["reference"],
            amount=Decimal(d["amount"]),
            currency=d["currency"],
            description=d["description"],
            recipient=Recipient.from_core(d["recipient"]),
            expires_on=d["expires_on"],
        )

    def to_core(self) -> dict[str, Any]:
        return {
            "reference": self.reference,
            "amount": amount_text(self.amount, "scanned.amount"),
            "currency": self.currency,
            "description": self.description,
            "recipient": self.recipient.to_core(),
            "expires_on": self.expires_on,
        }


@dataclass(frozen=True, slots=True, kw_only=True)
class Payout:
    """The state of one QR payout."""

    reference: str
    transaction_id: str | None
    transaction_at: str | None
    status: PaymentStatus
    raw_status: str
    message: str | None
    amount: Decimal | None
    currency: str | None
    description: str | None
    source_account: str | None
    source_holder: str | None
    recipient: Recipient
    ach_order_number: str | None

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> Payout:
        return cls(
            reference=d["reference"],
            transaction_id=d["transaction_id"],
            transaction_at=d["transaction_at"],
            status=PaymentStatus(d["status"]),
            raw_status=d["raw_status"],
            message=d["message"],
            amount=_opt_decimal(d["amount"]),
            currency=d["currency"],
            description=d["description"],
            source_account=d["source_account"],
            source_holder=d["source_holder"],
            recipient=Recipient.from_core(d["recipient"]),
            ach_order_number=d["ach_order_number"],
        )


@dataclass(frozen=True, slots=True, kw_only=True)
class Bank:
    """A bank that batch transfers can be sent to."""

    code: str
    name: str | None

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> Bank:
        return cls(code=d["code"], name=d["name"])


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchTransfer:
    """One transfer of a batch to authorise.

    ``amount`` accepts Decimal, int or numeric text and is kept as a Decimal; a float is refused.
    ``date`` accepts a ``datetime.date`` or text written yyyy-mm-dd.
    """

    transaction_id: str
    amount: Amount
    date: str | datetime.date
    source_account: str
    destination_account: str
    bank_code: str
    branch_city: str
    description: str
    recipient_document_id: str
    recipient_name: str
    currency: str = "BOB"

    def __post_init__(self) -> None:
        object.__setattr__(self, "amount", Decimal(amount_text(self.amount, "transfers.amount")))

    def to_core(self) -> dict[str, Any]:
        day = self.date.isoformat() if isinstance(self.date, datetime.date) else self.date
        return {
            "transaction_id": self.transaction_id,
            "amount": amount_text(self.amount, "transfers.amount"),
            "date": day,
            "source_account": self.source_account,
            "destination_account": self.destination_account,
            "bank_code": self.bank_code,
            "branch_city": self.branch_city,
            "description": self.description,
            "recipient_document_id": self.recipient_document_id,
            "recipient_name": self.recipient_name,
            "currency": self.currency,
        }


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchTransferResult:
    """The provider's first word on one transfer of an authorised batch."""

    transaction_id: str
    status: PaymentStatus
    raw_status: str
    reference: str | None
    message: str | None

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> BatchTransferResult:
        return cls(
            transaction_id=d["transaction_id"],
            status=PaymentStatus(d["status"]),
            raw_status=d["raw_status"],
            reference=d["reference"],
            message=d["message"],
        )


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchAuthorization:
    """The provider's answer to a batch authorisation."""

    batch_number: str
    process_id: str
    transfers: tuple[BatchTransferResult, ...]

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> BatchAuthorization:
        return cls(
            batch_number=d["batch_number"],
            process_id=d["process_id"],
            transfers=tuple(BatchTransferResult.from_core(t) for t in d["transfers"]),
        )


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchTransferStatus:
    """The state of one transfer of a batch."""

    transaction_id: str | None
    reference: str | None
    status: PaymentStatus
    raw_status: str
    message: str | None
    source_account: str | None
    destination_account: str | None
    ach_number: str | None
    recipient_number: str | None
    recipient_document_id: str | None
    recipient_name: str | None
    transaction_at: str | None
    bank_code: str | None
    bank_name: str | None
    amount: Decimal | None
    currency: str | None

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> BatchTransferStatus:
        return cls(
            transaction_id=d["transaction_id"],
            reference=d["reference"],
            status=PaymentStatus(d["status"]),
            raw_status=d["raw_status"],
            message=d["message"],
            source_account=d["source_account"],
            destination_account=d["destination_account"],
            ach_number=d["ach_number"],
            recipient_number=d["recipient_number"],
            recipient_document_id=d["recipient_document_id"],
            recipient_name=d["recipient_name"],
            transaction_at=d["transaction_at"],
            bank_code=d["bank_code"],
            bank_name=d["bank_name"],
            amount=_opt_decimal(d["amount"]),
            currency=d["currency"],
        )


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchStatus:
    """A batch and its transfers."""

    batch_number: str | None
    transfers: tuple[BatchTransferStatus, ...]

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> BatchStatus:
        return cls(
            batch_number=d["batch_number"],
            transfers=tuple(BatchTransferStatus.from_core(t) for t in d["transfers"]),
        )


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchNotification:
    """A batch notification; answer it with ``ack`` encoded as JSON."""

    batch_number: str | None
    transfer: BatchTransferStatus
    ack: dict[str, Any] = field(hash=False)

    @classmethod
    def from_core(cls, d: Mapping[str, Any]) -> BatchNotification:
        return cls(
            batch_number=d["batch_number"],
            transfer=BatchTransferStatus.from_core(d["transfer"]),
            ack=dict(d["ack"]),
        )
