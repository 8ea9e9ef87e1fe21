"""Typed records of the payouts client and their conversion to and from the core's JSON."""

# No postponed annotations here: the records' annotations are the types themselves, so that the
# core's answers can be decoded straight into them (the package renames their __module__, where
# names in text could not be looked up).
import dataclasses
import datetime
import enum
import functools
import operator
import re
import types
import typing
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from decimal import Decimal
from typing import TYPE_CHECKING, Any, ClassVar

if TYPE_CHECKING:
    from typing_extensions import Self

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


class Word(str, enum.Enum):
    """An enumeration of words: a member prints as its word, in messages and f-strings alike."""

    def __str__(self) -> str:
        return str(self.value)


class PaymentStatus(Word):
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
    if type(value) is Decimal and value.is_finite():
        # The common case first: every amount a BatchTransfer holds.
        return str(value)
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


class CoreRecord:
    """A record read from and written to the core's documents, field by field, by its annotations.

    Every dataclass field is a key of the document, under the same name: texts and numbers as
    they are, amounts as exact decimal text, statuses by their value, dates as yyyy-mm-dd, nested
    records and tuples of them in the same way.
    """

    __slots__ = ()
    #: The field path an amount error names ("transfers" gives "transfers.amount").
    _path: ClassVar[str | None] = None

    @classmethod
    def from_core(cls, document: Mapping[str, Any]) -> "Self":
        return _codec(cls).read(document)  # type: ignore[no-any-return]

    def to_core(self) -> dict[str, Any]:
        return _codec(type(self)).write(self)


_Convert = Callable[[Any], Any]


def _same(value: Any) -> Any:
    return value


def _nullable(convert: _Convert) -> _Convert:
    return lambda value: None if value is None else convert(value)


def _converters(kind: Any, path: str) -> tuple[_Convert | None, _Convert]:
    """(reader or None when the value is taken as it is, writer) for one annotated type."""
    args = [a for a in typing.get_args(kind) if a is not type(None)]
    if typing.get_origin(kind) in (types.UnionType, typing.Union):
        if Decimal in args:
            read, write = _converters(Decimal, path)
        elif datetime.date in args:
            read, write = _converters(datetime.date, path)
        elif len(args) == 1:
            read, write = _converters(args[0], path)
        else:
            raise TypeError(f"no core conversion for {kind!r}")
        nullable = len(args) < len(typing.get_args(kind))
        return (_nullable(read) if read and nullable else read), (_nullable(write) if nullable else write)
    if kind in (str, int, bool):
        return None, _same
    if kind is Decimal:
        return Decimal, lambda value: amount_text(value, path)
    if kind is datetime.date:
        return None, lambda value: value.isoformat() if isinstance(value, datetime.date) else value
    if isinstance(kind, type) and issubclass(kind, enum.Enum):
        # A dict lookup: calling the enum class costs several times more per value.
        members = {member.value: member for member in kind}
        return members.__getitem__, lambda value: value.value
    if isinstance(kind, type) and issubclass(kind, CoreRecord):
        # A nested record's own functions, taken once: records never hold themselves.
        codec = _codec(kind)
        return codec.read, codec.write
    origin = typing.get_origin(kind)
    if origin is tuple:
        item_read, item_write = _converters(args[0], path)
        return (lambda values: tuple(map(item_read, values))) if item_read else tuple, (
            lambda values: [item_write(v) for v in values]
        )
    if origin is dict:
        return dict, dict
    raise TypeError(f"no core conversion for {kind!r}")


@dataclass(frozen=True)
class _Codec:
    read: Callable[[Mapping[str, Any]], Any]
    write: Callable[[Any], dict[str, Any]]


_CODECS: dict[type, _Codec] = {}


def _codec(cls: type[CoreRecord]) -> _Codec:
    # Built once per class; two threads building it at once build the same thing.
    codec = _CODECS.get(cls)
    if codec is None:
        codec = _CODECS[cls] = _build_codec(cls)
    return codec


def _split_optional(kind: Any) -> tuple[Any, bool]:
    """The annotated type without None, and whether None was allowed."""
    if typing.get_origin(kind) in (types.UnionType, typing.Union):
        args = typing.get_args(kind)
        if type(None) in args:
            rest = tuple(a for a in args if a is not type(None))
            return functools.reduce(operator.or_, rest), True
    return kind, False


def _build_codec(cls: type[CoreRecord]) -> _Codec:
    # The records are re-exported under the package's name: resolve their annotations here.
    hints = typing.get_type_hints(cls, globalns=globals())
    items = dataclasses.fields(cls)  # type: ignore[arg-type]
    # One function per class and direction, written out field by field: a record of many
    # fields is read or written without a loop, a dict of arguments or a call of __init__.
    space: dict[str, Any] = {"cls": cls, "new": object.__new__}
    reads, writes = [], []
    # Slots are filled directly where nothing else happens in __init__ (no __post_init__, every
    # field an argument); otherwise __init__ is called with the values.
    direct = not hasattr(cls, "__post_init__") and all(item.init for item in items)
    for index, item in enumerate(items):
        name = item.name
        path = f"{cls._path}.{name}" if cls._path else name
        kind, nullable = _split_optional(hints[name])
        read, write = _converters(kind, path)
        value = f"document[{name!r}]"
        if read is not None:
            space[f"read_{index}"] = read
            value = (
                f"(None if (value := {value}) is None else read_{index}(value))"
                if nullable
                else f"read_{index}({value})"
            )
        if direct:
            slot = cls.__dict__.get(name)
            if slot is None or not hasattr(slot, "__set__"):
                direct = False
            space[f"set_{index}"] = getattr(slot, "__set__", None)
        reads.append((index, name, value))
        attribute = f"record.{name}"
        if write is not _same:
            space[f"write_{index}"] = write
            attribute = (
                f"(None if (value := {attribute}) is None else write_{index}(value))"
                if nullable
                else f"write_{index}({attribute})"
            )
        writes.append(f"{name!r}: {attribute}")
    if direct:
        body = ["    record = new(cls)"]
        body += [f"    set_{index}(record, {value})" for index, _, value in reads]
        body.append("    return record")
    else:
        body = ["    return cls(" + ", ".join(f"{name}={value}" for _, name, value in reads) + ")"]
    source = "\n".join(
        ["def read(document):", *body, "def write(record):", "    return {" + ", ".join(writes) + "}"]
    )
    exec(compile(source, f"<core codec of {cls.__name__}>", "exec"), space)  # noqa: S102
    return _Codec(space["read"], space["write"])


@dataclass(frozen=True, slots=True, kw_only=True)
class AccessToken(CoreRecord):
    """A bearer token obtained from the provider's authorisation service.

    Only ``access_token`` is sent; ``expires_at`` (Unix seconds, 0 when unknown) and ``scope``
    are carried for the caller. The token never appears in ``repr``.
    """

    access_token: str = field(repr=False)
    token_type: str = "Bearer"
    expires_at: int = 0
    scope: str | None = None


@dataclass(frozen=True, slots=True, kw_only=True)
class Recipient(CoreRecord):
    """The payee of a QR payout."""

    account: str | None = None
    document_id: str | None = None
    holder: str | None = None
    bank_code: str | None = None
    bank_name: str | None = None


@dataclass(frozen=True, slots=True, kw_only=True)
class ScannedQr(CoreRecord):
    """A scanned QR code; hand it unchanged to ``pay``. An amount of zero means the payer chooses it."""

    _path: ClassVar[str | None] = "scanned"

    reference: str
    amount: Decimal
    currency: str | None
    description: str | None
    recipient: Recipient
    expires_on: str | None

    @property
    def has_fixed_amount(self) -> bool:
        return self.amount != 0


@dataclass(frozen=True, slots=True, kw_only=True)
class Payout(CoreRecord):
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


@dataclass(frozen=True, slots=True, kw_only=True)
class Bank(CoreRecord):
    """A bank that batch transfers can be sent to."""

    code: str
    name: str | None


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchTransfer(CoreRecord):
    """One transfer of a batch to authorise.

    ``amount`` accepts Decimal, int or numeric text and is kept as a Decimal; a float is refused.
    ``date`` accepts a ``datetime.date`` or text written yyyy-mm-dd.
    """

    _path: ClassVar[str | None] = "transfers"

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


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchTransferResult(CoreRecord):
    """The provider's first word on one transfer of an authorised batch."""

    transaction_id: str
    status: PaymentStatus
    raw_status: str
    reference: str | None
    message: str | None


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchAuthorization(CoreRecord):
    """The provider's answer to a batch authorisation."""

    batch_number: str
    process_id: str
    transfers: tuple[BatchTransferResult, ...]


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchTransferStatus(CoreRecord):
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


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchStatus(CoreRecord):
    """A batch and its transfers."""

    batch_number: str | None
    transfers: tuple[BatchTransferStatus, ...]


@dataclass(frozen=True, slots=True, kw_only=True)
class BatchNotification(CoreRecord):
    """A batch notification; answer it with ``ack`` encoded as JSON."""

    batch_number: str | None
    transfer: BatchTransferStatus
    ack: dict[str, Any] = field(hash=False)

