"""The simulated provider's behaviour: authentication, endpoints, triggers and the state kept in memory.

Requests arrive already taken apart (method, path, query, headers, body text) and leave as a
``Reply``; the HTTP plumbing lives in ``_server`` and the notification delivery in ``_notifier``.
"""

from __future__ import annotations

import hmac
import ipaddress
import itertools
import re
import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from datetime import datetime
from decimal import Context, Decimal
from typing import Any, Final
from urllib.parse import parse_qs, urlsplit

from quorvel_bo.payouts.simulator import _catalog as cat
from quorvel_bo.payouts.simulator._json import dumps, loads

QR_PREFIX: Final = "/payout/sync/v3/qr/"
BATCH_PREFIX: Final = "/payout/async/v3/"
INSPECT_PATH: Final = "/_simulator/payments"
INSPECT_BATCHES_PATH: Final = "/_simulator/batches"
JSON_TYPE: Final = "application/json; charset=utf-8"

_UUID = re.compile(r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\Z")
_BRANCH = re.compile(r"[A-Za-z0-9_-]{1,20}\Z")
_DIGITS = re.compile(r"[0-9]{6,30}\Z")
_REFERENCE = re.compile(r"[0-9]{1,20}\Z")
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
# Amounts the provider takes: at most two decimal places and below 10^29 (what a 96-bit mantissa
# holds). The bound also keeps an exponent such as 1e10000000 from ever being written out in full.
_AMOUNT_DIGITS: Final = 29
_CENTS: Final = Decimal("0.01")
_MONEY: Final = Context(prec=_AMOUNT_DIGITS + 2)
_TRIGGERS: Final = (
    cat.TRIGGER_AMBIGUOUS_94,
    cat.TRIGGER_AMBIGUOUS_96,
    cat.TRIGGER_REJECT,
    cat.TRIGGER_UNAVAILABLE,
    cat.TRIGGER_SLOW,
    cat.TRIGGER_UNAUTHORIZED,
    cat.TRIGGER_MALFORMED,
)
# Triggers that fire on the first request carrying a given value only, so that a retry succeeds.
_ONCE: Final = (cat.TRIGGER_UNAVAILABLE, cat.TRIGGER_SLOW)
# Transfer fields of a batch, in the order their absence is reported.
_TRANSFER_KEYS: Final = (
    "transaccionId", "importe", "fechaTransaccion", "cuentaOrigen", "cuentaDestino", "codeBanco",
    "codeSucursal", "glosa", "ciNitDestino", "titularDestino", "tipoMoneda",
)

Json = dict[str, object]


@dataclass(frozen=True)
class Settings:
    """How the simulator behaves; every delay is in seconds and kept small so that tests stay fast."""

    token: str = cat.TEST_TOKEN
    client_id: str = cat.TEST_CLIENT_ID
    settle_after: int = 2
    """Status queries of a payout before it reaches its final state (1: the first query sees it)."""
    slow_delay: float = 3.0
    """How long the time-out trigger holds its answer back."""
    transfer_interval: float = 0.05
    """Time each batch transfer takes to complete, one after the other."""
    webhook_attempts: int = 5
    """Deliveries of one notification before the simulator gives up on it."""
    webhook_backoff: float = 0.05
    """Wait before the second delivery; it doubles after each failure, up to ``webhook_backoff_max``."""
    webhook_backoff_max: float = 1.0
    webhook_timeout: float = 2.0
    """Time-out of one delivery (connect and answer)."""


@dataclass(frozen=True)
class Reply:
    status: int
    body: str
    content_type: str = JSON_TYPE
    delay: float = 0.0
    """Seconds to wait before answering (the time-out trigger)."""


@dataclass
class _Intent:
    """A scanned QR, under the reference its scan issued; paid at most once."""

    reference: int
    qr: cat.QrCode
    payout: _Payout | None = None


@dataclass
class _Payout:
    transaction_id: str
    client_transaction_id: str
    at: str
    amount: Decimal
    description: str | None
    source_account: str
    outcome: str
    message: str | None = None
    polls: int = 0
    ach_order: int | None = None


@dataclass
class Transfer:
    """One transfer of a batch, with its provider-side fields (Spanish keys)."""

    transaction_id: str
    amount: Decimal
    source_account: str
    destination_account: str
    bank_code: str
    document_id: str
    holder: str
    currency: str
    status: str = cat.PENDING
    message: str | None = None
    reference: str | None = None
    ach_number: int | None = None
    at: str | None = None


@dataclass
class Batch:
    branch: str
    process_id: str
    number: int
    webhook_url: str
    transfers: list[Transfer] = field(default_factory=list)


def _now() -> str:
    return datetime.now().strftime("%Y-%m-%d %H:%M:%S")


def _text(value: object) -> str | None:
    """A provider-style identifier: a string, or a number written as text."""
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, (str, int, Decimal)):
        return str(value)
    return None


def _amount(value: object) -> Decimal | None:
    """An amount as the provider takes it, or None; zero in any notation reads as 0."""
    if isinstance(value, bool):
        return None
    if isinstance(value, (int, Decimal)):
        amount = Decimal(value)
    elif isinstance(value, str) and _NUMBER.match(value.strip()):
        # ASCII digits only: Decimal would also take "1_000" and other scripts' digits.
        amount = Decimal(value.strip())
    else:
        return None
    if not amount.is_finite():
        return None
    _, digits, exponent = amount.as_tuple()
    if not any(digits):
        return Decimal(0)
    assert isinstance(exponent, int)
    # Looked at through the digits, never through arithmetic: 1e-10000000 must not be expanded.
    trailing_zeros = len(digits) - len("".join(map(str, digits)).rstrip("0"))
    if exponent + trailing_zeros < -2 or amount.adjusted() >= _AMOUNT_DIGITS:
        return None
    return amount


def money_text(amount: Decimal) -> str:
    """An amount with two decimals, as the provider shows money ("150.00")."""
    return format(amount.quantize(_CENTS, context=_MONEY), "f")


def is_loopback(host: str) -> bool:
    """Whether a peer address is this machine's own (127.0.0.0/8, ::1, or IPv4-mapped loopback)."""
    try:
        address = ipaddress.ip_address(host.split("%", 1)[0])
    except ValueError:
        return False
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped.is_loopback
    return address.is_loopback


def envelope(data: object, message: str | None = None) -> str:
    body: Json = {"code": cat.CODE_OK, "data": data}
    if message is not None:
        body["message"] = message
    return dumps(body)


def failure(
    status: int,
    code: str,
    message: str,
    *,
    error_code: str | None = None,
    details: list[str] | None = None,
    key: str = "errorMessage",
) -> Reply:
    """A failure in the provider's envelope: "code", "errorCode", the message and, at times, "data"."""
    body: Json = {"code": code}
    if error_code is not None:
        body["errorCode"] = error_code
    body[key] = message
    if details is not None:
        body["data"] = details
    return Reply(status, dumps(body))


def _auth_failure(status: int, error: str, description: str) -> Reply:
    return Reply(status, dumps({"error": error, "error_description": description}))


class Provider:
    """The provider's endpoints over state kept in memory; safe to call from several threads."""

    def __init__(self, settings: Settings, on_batch: Callable[[Batch], None]) -> None:
        self.settings = settings
        self._on_batch = on_batch
        self._lock = threading.Lock()
        self._references = itertools.count(104589)
        self._transactions = itertools.count(88122)
        self._batch_numbers = itertools.count(7781)
        self._ach = itertools.count(500100)
        self._intents: dict[int, _Intent] = {}
        self._client_transactions: set[str] = set()
        self._payments: list[tuple[_Intent, _Payout]] = []
        self._duplicates_refused = 0
        self._batches: dict[tuple[str, str], Batch] = {}
        self._batch_duplicates_refused = 0
        self._trigger_hits: dict[tuple[str, str], int] = {}

    # -- dispatch ---------------------------------------------------------------------------------

    def handle(self, method: str, target: str, headers: Mapping[str, str], body: str, peer: str = "") -> Reply:
        """Answers one request; ``peer`` is the caller's address (the inspection endpoint is loopback-only)."""
        try:
            parts = urlsplit(target)
        except ValueError:  # "//[" and the like: no route can match it
            return failure(404, "404", cat.MSG_ROUTE, key="message")
        path = parts.path
        query = parse_qs(parts.query, keep_blank_values=True)
        if path in (INSPECT_PATH, INSPECT_BATCHES_PATH) and is_loopback(peer):
            return self._inspect(method, headers, path)
        route = self._route(method, path)
        if route is None:
            known = path.startswith((QR_PREFIX, BATCH_PREFIX))
            if known and self._route("GET" if method == "POST" else "POST", path) is not None:
                return failure(405, "405", cat.MSG_METHOD, key="message")
            return failure(404, "404", cat.MSG_ROUTE, key="message")
        denied = self._authenticate(headers)
        if denied is not None:
            return denied
        name, argument = route
        branch = headers.get("branchCode") or ""
        if name.startswith("batch.") and not _BRANCH.match(branch):
            return failure(400, cat.CODE_INVALID, cat.MSG_BRANCH, error_code="SUCURSAL_INVALIDA")
        word = self._trigger(name, self._carrier(name, body, branch))
        early = self._before(word)
        if early is not None:
            return early
        if name == "qr.scan":
            reply = self._scan(body)
        elif name == "qr.confirm":
            reply = self._confirm(body, word)
        elif name == "qr.status":
            reply = self._payout_status(argument)
        elif name == "batch.banks":
            reply = self._banks()
        elif name == "batch.authorize":
            reply = self._authorize(branch, body)
        else:
            reply = self._batch_status(branch, argument, query)
        return self._after(word, reply)

    @staticmethod
    def _route(method: str, path: str) -> tuple[str, str] | None:
        if method == "POST" and path == QR_PREFIX + "scan":
            return "qr.scan", ""
        if method == "POST" and path == QR_PREFIX + "confirm":
            return "qr.confirm", ""
        if method == "GET" and path.startswith(QR_PREFIX + "status/"):
            return "qr.status", path[len(QR_PREFIX + "status/") :]
        if method == "POST" and path == BATCH_PREFIX + "bancos":
            return "batch.banks", ""
        if method == "POST" and path == BATCH_PREFIX + "lote/autorizar":
            return "batch.authorize", ""
        if method == "GET" and path.startswith(BATCH_PREFIX + "lote/estado/"):
            return "batch.status", path[len(BATCH_PREFIX + "lote/estado/") :]
        return None

    def _authenticate(self, headers: Mapping[str, str]) -> Reply | None:
        scheme, _, presented = (headers.get("Authorization") or "").partition(" ")
        token = self.settings.token.encode()
        bearer_ok = scheme.lower() == "bearer" and hmac.compare_digest(presented.strip().encode(), token)
        if not bearer_ok or not hmac.compare_digest((headers.get("access_token") or "").encode(), token):
            return _auth_failure(401, "invalid_token", cat.MSG_TOKEN)
        if headers.get("client_id") != self.settings.client_id:
            return _auth_failure(403, "invalid_client", cat.MSG_CLIENT)
        return None

    # -- triggers ---------------------------------------------------------------------------------

    @staticmethod
    def _carrier(name: str, body: str, branch: str) -> str:
        """The value whose prefix chooses a trigger: the QR text, the payment's transaction id, the branch."""
        if name.startswith("batch."):
            return branch
        if name not in ("qr.scan", "qr.confirm"):
            return ""
        try:
            request = loads(body)
        except ValueError:
            return ""
        if not isinstance(request, dict):
            return ""
        return _text(request.get("imagen" if name == "qr.scan" else "transaccionId")) or ""

    def _trigger(self, endpoint: str, value: str) -> str | None:
        """The trigger a value carries, or None; 503 and time-out fire once per endpoint and value."""
        word = next((t for t in _TRIGGERS if value.startswith(t)), None)
        if word in _ONCE:
            with self._lock:
                hits = self._trigger_hits.get((endpoint, value), 0)
                self._trigger_hits[(endpoint, value)] = hits + 1
            if hits:
                return None
        return word

    @staticmethod
    def _before(word: str | None) -> Reply | None:
        """The triggers that answer before anything is processed."""
        if word == cat.TRIGGER_UNAUTHORIZED:
            return _auth_failure(401, "invalid_token", cat.MSG_TOKEN_EXPIRED)
        if word == cat.TRIGGER_UNAVAILABLE:
            return Reply(503, cat.BODY_UNAVAILABLE, "text/html; charset=utf-8")
        return None

    def _after(self, word: str | None, reply: Reply) -> Reply:
        """The triggers that spoil the answer, whatever it was, of a request that was processed."""
        if word == cat.TRIGGER_MALFORMED:
            return Reply(200, cat.BODY_MALFORMED)
        if word == cat.TRIGGER_SLOW:
            return Reply(reply.status, reply.body, reply.content_type, self.settings.slow_delay)
        return reply

    @staticmethod
    def _object(body: str) -> Json | Reply:
        try:
            value = loads(body)
        except ValueError:
            return failure(400, cat.CODE_INVALID, cat.MSG_BAD_JSON, error_code="JSON_INVALIDO")
        if not isinstance(value, dict):
            return failure(400, cat.CODE_INVALID, cat.MSG_BAD_JSON, error_code="JSON_INVALIDO")
        return value

    # -- QR payouts ---------------------------------------------------------------------------------

    def _scan(self, body: str) -> Reply:
        request = self._object(body)
        if isinstance(request, Reply):
            return request
        image = request.get("imagen")
        if not isinstance(image, str) or not image.strip():
            return failure(400, cat.CODE_INVALID, cat.MSG_INVALID, details=["imagen es requerida"], key="message")
        qr = cat.QR_CODES.get(image.strip())
        if qr is None and image.startswith(_TRIGGERS):
            # A trigger text, once its trigger has fired, reads as the fixed-amount sample.
            qr = cat.QR_CODES[cat.QR_FIXED_AMOUNT]
        if qr is None:
            return failure(200, cat.CODE_QR_UNKNOWN, cat.MSG_QR_UNKNOWN, error_code="QR_INVALIDO")
        with self._lock:
            reference = next(self._references)
            self._intents[reference] = _Intent(reference, qr)
        data: Json = {"numeroReferencia": reference}
        if qr.amount is not None:
            data["importe"] = qr.amount
        data["moneda"] = qr.currency
        data["glosa"] = qr.description if qr.description is not None else " "
        data["cuentaDestino"] = int(qr.account)
        data["ciNitDestino"] = qr.document_id
        data["titularDestino"] = qr.holder
        data["codigoBancoDestino"] = int(qr.bank_code)
        data["nombreBancoDestino"] = qr.bank_name
        data["fechaVencimiento"] = qr.expires_on
        return Reply(200, envelope(data))

    def _confirm(self, body: str, word: str | None) -> Reply:
        request = self._object(body)
        if isinstance(request, Reply):
            return request
        client_tx = _text(request.get("transaccionId")) or ""
        problems: list[str] = []
        reference = _text(request.get("numeroReferencia"))
        if reference is None or not _REFERENCE.match(reference):
            problems.append("numeroReferencia es requerido (dígitos)")
        source = _text(request.get("cuentaOrigen"))
        if source is None or not re.fullmatch(r"[0-9]{6,20}", source):
            problems.append("cuentaOrigen debe tener de 6 a 20 dígitos")
        if not client_tx.strip():
            problems.append("transaccionId es requerido")
        amount = _amount(request.get("importe"))
        if amount is None:
            problems.append("importe es requerido" if request.get("importe") is None else "importe inválido")
        description = request.get("glosa")
        if description is not None and not isinstance(description, str):
            problems.append("glosa debe ser texto")
        if problems or reference is None or source is None or amount is None:
            return failure(400, cat.CODE_INVALID, cat.MSG_INVALID, error_code="VALIDACION", details=problems)
        glosa = description.strip() if isinstance(description, str) and description.strip() else None
        with self._lock:
            intent = self._intents.get(int(reference))
            if intent is None:
                return failure(
                    404, cat.CODE_NOT_FOUND, f"no existe un QR con numeroReferencia {reference}",
                    error_code=cat.CODE_NOT_FOUND,
                )
            if intent.payout is not None:
                self._duplicates_refused += 1
                return failure(409, cat.CODE_DUPLICATE, "el QR ya fue pagado", error_code="QR_PAGADO")
            if client_tx in self._client_transactions:
                self._duplicates_refused += 1
                return failure(409, cat.CODE_DUPLICATE, "transaccionId duplicado", error_code="DUPLICADO")
            qr = intent.qr
            if qr.amount is not None:
                if amount != 0 and amount != qr.amount:
                    return failure(200, cat.CODE_AMOUNT, "el importe no corresponde al QR", error_code="IMPORTE")
                amount = qr.amount
            elif amount <= 0:
                return failure(200, cat.CODE_AMOUNT, "importe inválido", error_code="IMPORTE")
            if qr.description is None and glosa is None:
                return failure(
                    400, cat.CODE_INVALID, cat.MSG_INVALID, error_code="VALIDACION",
                    details=["glosa es requerida para un QR sin glosa"],
                )
            if word == cat.TRIGGER_REJECT:
                return failure(200, cat.CODE_REJECTED, cat.MSG_REJECTED, error_code=cat.CODE_REJECTED)
            outcome, message = cat.PAID, None
            if word == cat.TRIGGER_AMBIGUOUS_96:
                outcome, message = cat.REJECTED, cat.MSG_SWITCH_FAILED
            payout = _Payout(
                transaction_id=str(next(self._transactions)),
                client_transaction_id=client_tx,
                at=_now(),
                amount=amount,
                description=qr.description or glosa,
                source_account=source,
                outcome=outcome,
                message=message,
            )
            intent.payout = payout
            self._client_transactions.add(client_tx)
            self._payments.append((intent, payout))
            data = self._payout_wire(intent, payout, cat.PENDING)
        if word == cat.TRIGGER_AMBIGUOUS_94:
            return Reply(200, dumps({"code": cat.CODE_IN_VERIFICATION, "message": cat.MSG_IN_VERIFICATION}))
        if word == cat.TRIGGER_AMBIGUOUS_96:
            return failure(200, cat.CODE_SWITCH_TIMEOUT, cat.MSG_SWITCH_TIMEOUT, error_code=cat.CODE_SWITCH_TIMEOUT)
        return Reply(200, envelope(data))

    def _payout_status(self, reference: str) -> Reply:
        with self._lock:
            intent = self._intents.get(int(reference)) if _REFERENCE.match(reference) else None
            if intent is None or intent.payout is None:
                return failure(
                    404, cat.CODE_NOT_FOUND, f"no existe un pago para el QR {reference}",
                    error_code=cat.CODE_NOT_FOUND,
                )
            payout = intent.payout
            payout.polls += 1
            if payout.polls < self.settings.settle_after:
                status = cat.IN_PROGRESS
            else:
                status = payout.outcome
                if status == cat.PAID and payout.ach_order is None:
                    payout.ach_order = next(self._ach)
            data = self._payout_wire(intent, payout, status)
        data["numeroReferencia"] = intent.reference
        return Reply(200, envelope(data))

    @staticmethod
    def _payout_wire(intent: _Intent, payout: _Payout, status: str) -> Json:
        qr = intent.qr
        data: Json = {
            "numeroReferencia": str(intent.reference),
            "transaccionId": payout.transaction_id,
            "fechaHoraTransaccion": payout.at,
            "estado": status,
            "mensaje": payout.message if status == cat.REJECTED else None,
            "importe": format(payout.amount, "f"),
            "moneda": qr.currency,
            "glosa": payout.description,
            "cuentaOrigen": payout.source_account,
            "titularOrigen": cat.SOURCE_HOLDER,
            "cuentaDestino": qr.account,
            "titularDestino": qr.holder,
            "ciNitDestino": qr.document_id,
            "codigoBancoDestino": int(qr.bank_code),
            "nombreBancoDestino": qr.bank_name,
        }
        if payout.ach_order is not None:
            data["numOrdenAch"] = payout.ach_order
        return data

    # -- inspection ---------------------------------------------------------------------------------

    def _inspect(self, method: str, headers: Mapping[str, str], path: str) -> Reply:
        if method != "GET":
            return failure(405, "405", cat.MSG_METHOD, key="message")
        denied = self._authenticate(headers)
        if denied is not None:
            return denied
        return Reply(200, dumps(self.payments() if path == INSPECT_PATH else self.batches()))

    def batches(self) -> dict[str, Any]:
        """Every batch authorised, in order, with its transfers, and the authorisations refused as duplicates."""
        with self._lock:
            listed: list[Json] = [
                {
                    "branch": batch.branch,
                    "process_id": batch.process_id,
                    "batch_number": str(batch.number),
                    "transfers": [
                        {
                            "transaction_id": t.transaction_id,
                            "amount": money_text(t.amount),
                            "currency": t.currency,
                            "status": t.status,
                            "reference": t.reference,
                        }
                        for t in batch.transfers
                    ],
                }
                for batch in sorted(self._batches.values(), key=lambda b: b.number)
            ]
            return {"duplicates_refused": self._batch_duplicates_refused, "batches": listed}

    def payments(self) -> dict[str, Any]:
        """Every QR payment recorded, in order, and the payment requests refused as duplicates (code "21")."""
        with self._lock:
            listed: list[Json] = [
                {
                    "transaction_id": payout.client_transaction_id,
                    "reference": str(intent.reference),
                    "amount": money_text(payout.amount),
                    "currency": intent.qr.currency,
                    "status": payout.outcome,
                }
                for intent, payout in self._payments
            ]
            return {"duplicates_refused": self._duplicates_refused, "payments": listed}

    # -- batch transfers ----------------------------------------------------------------------------

    def _banks(self) -> Reply:
        # Codes arrive as numbers or strings, as the provider mixes them.
        banks = [
            {"codigoBanco": int(code) if i % 2 == 0 else code, "descripcion": name}
            for i, (code, name) in enumerate(cat.BANKS.items())
        ]
        return Reply(200, envelope(banks))

    def _authorize(self, branch: str, body: str) -> Reply:
        request = self._object(body)
        if isinstance(request, Reply):
            return request
        problems: list[str] = []
        process_id = request.get("processId")
        if not isinstance(process_id, str) or not _UUID.match(process_id):
            problems.append("processId debe ser un UUID")
        webhook_url = request.get("webhookUrl")
        if not isinstance(webhook_url, str) or not webhook_token_of(webhook_url):
            problems.append("webhookUrl debe ser una URL http(s) con el parámetro token")
        items = request.get("transacciones")
        transfers: list[Transfer] = []
        if not isinstance(items, list) or not items:
            problems.append("transacciones debe tener al menos una transacción")
        else:
            seen: set[str] = set()
            for index, item in enumerate(items, start=1):
                transfer = _transfer(index, item, seen, problems)
                if transfer is not None:
                    transfers.append(transfer)
        if problems or not isinstance(process_id, str) or not isinstance(webhook_url, str):
            return failure(400, cat.CODE_INVALID, cat.MSG_INVALID, error_code="VALIDACION", details=problems)
        with self._lock:
            if (branch, process_id.lower()) in self._batches:
                self._batch_duplicates_refused += 1
                return failure(
                    409, cat.CODE_DUPLICATE, "el processId ya fue registrado", error_code="DUPLICADO",
                )
            batch = Batch(branch, process_id, next(self._batch_numbers), webhook_url, transfers)
            for transfer in transfers:
                if transfer.bank_code not in cat.BANKS:
                    transfer.status, transfer.message = cat.REJECTED, cat.MSG_BANK_DISABLED
            self._batches[(branch, process_id.lower())] = batch
            outcomes: list[Json] = []
            for transfer in transfers:
                outcome: Json = {"transaccionId": transfer.transaction_id, "estado": transfer.status}
                if transfer.message is not None:
                    outcome["mensaje"] = transfer.message
                outcomes.append(outcome)
        self._on_batch(batch)
        data = {"nroLote": batch.number, "processId": process_id, "transacciones": outcomes}
        return Reply(200, envelope(data, "lote recibido"))

    def _batch_status(self, branch: str, process_id: str, query: dict[str, list[str]]) -> Reply:
        numbers = query.get("nroLote", [])
        ids = query.get("transaccionId", [])
        if len(numbers) + len(ids) != 1:
            return failure(
                400, cat.CODE_INVALID, cat.MSG_INVALID, error_code="VALIDACION",
                details=["indique nroLote o transaccionId, uno de los dos"],
            )
        with self._lock:
            batch = self._batches.get((branch, process_id.lower()))
            if batch is not None and numbers and numbers[0] != str(batch.number):
                batch = None
            chosen = [] if batch is None else [t for t in batch.transfers if not ids or t.transaction_id == ids[0]]
            if batch is None or not chosen:
                return failure(404, cat.CODE_NOT_FOUND, "lote no encontrado", error_code="LOTE_NO_ENCONTRADO")
            data = {"nroLote": str(batch.number), "transacciones": [transfer_wire(batch, t) for t in chosen]}
        return Reply(200, envelope(data))

    # -- batch progress (called by the notifier) ----------------------------------------------------

    def start_transfer(self, transfer: Transfer) -> None:
        with self._lock:
            transfer.status = cat.IN_PROGRESS

    def complete_transfer(self, batch: Batch, transfer: Transfer) -> str:
        """Settles one transfer and returns its notification body."""
        with self._lock:
            if transfer.transaction_id.startswith(cat.TRIGGER_REJECT):
                transfer.status, transfer.message = cat.REJECTED, cat.MSG_TRANSFER_REJECTED
            else:
                transfer.status = cat.PAID
                transfer.ach_number = next(self._ach)
            transfer.reference = str(next(self._transactions))
            transfer.at = _now()
            return dumps(transfer_wire(batch, transfer))


def webhook_token_of(url: str) -> str | None:
    """The "token" query parameter of an http(s) notification address, or None."""
    if not url.startswith(("http://", "https://")):
        return None
    try:
        query = urlsplit(url).query
    except ValueError:
        return None
    tokens = parse_qs(query).get("token", [])
    return tokens[0] if len(tokens) == 1 and tokens[0] else None


def transfer_wire(batch: Batch, transfer: Transfer) -> Json:
    """One transfer as the provider reports it, in status answers and notifications."""
    return {
        "nroLote": str(batch.number),
        "transaccionId": transfer.transaction_id,
        "numeroReferencia": transfer.reference,
        "estado": transfer.status,
        "mensaje": transfer.message,
        "cuentaOrigen": transfer.source_account,
        "cuentaDestino": transfer.destination_account,
        "numeroAch": transfer.ach_number,
        "numeroDestinatario": transfer.document_id,
        "ciCliente": transfer.document_id,
        "nombreCliente": transfer.holder,
        "fechaHoraTransaccion": transfer.at,
        "codigoBanco": int(transfer.bank_code) if _REFERENCE.match(transfer.bank_code) else transfer.bank_code,
        "nombreBanco": cat.BANKS.get(transfer.bank_code),
        "importe": transfer.amount,
        "moneda": transfer.currency,
    }


def _transfer(index: int, item: object, seen: set[str], problems: list[str]) -> Transfer | None:
    """Reads one transfer of an authorisation request, noting what is wrong with it."""
    where = f"transacciones[{index}]"
    if not isinstance(item, dict):
        problems.append(f"{where} debe ser un objeto")
        return None
    values = {key: _text(item.get(key)) for key in _TRANSFER_KEYS}
    missing = [key for key, value in values.items() if value is None or not value.strip()]
    for key in missing:
        problems.append(f"{where}.{key} es requerido")
    if missing:
        return None
    tx = values["transaccionId"] or ""
    amount = _amount(item.get("importe"))
    before = len(problems)
    if tx in seen:
        problems.append(f"{where}.transaccionId repetido en el lote")
    seen.add(tx)
    if amount is None:
        problems.append(f"{where}.importe inválido")
    elif amount <= 0:
        problems.append(f"{where}.importe debe ser mayor que cero")
    for key in ("cuentaOrigen", "cuentaDestino"):
        if not _DIGITS.match(values[key] or ""):
            problems.append(f"{where}.{key} debe tener de 6 a 30 dígitos")
    if values["tipoMoneda"] not in ("BOB", "USD"):
        problems.append(f"{where}.tipoMoneda debe ser BOB o USD")
    if len(problems) > before or amount is None:
        return None
    return Transfer(
        transaction_id=tx,
        amount=amount,
        source_account=values["cuentaOrigen"] or "",
        destination_account=values["cuentaDestino"] or "",
        bank_code=values["codeBanco"] or "",
        document_id=values["ciNitDestino"] or "",
        holder=(values["titularDestino"] or "").strip(),
        currency=values["tipoMoneda"] or "",
    )
