"""The HTTP clients: build with the core, send with httpx, read with the core, retry where it is safe."""

from __future__ import annotations

import inspect
import logging
import re
import time
import uuid
import warnings
from collections.abc import Awaitable, Callable, Mapping, Sequence
from dataclasses import dataclass
from decimal import Decimal
from typing import Any, Literal, NamedTuple, TypeVar

import anyio
import httpx
import msgspec
from quorvel_bo.payouts._core import PIECE_RECORDS, OpEntry, dumps, op_entry, op_names, run_into, run_text
from quorvel_bo.payouts._errors import (
    AmbiguousPaymentError,
    ApiError,
    ClientClosedError,
    DecodeError,
    PayoutNotFoundError,
    PayoutsError,
    ProtocolError,
    ResolveTimeoutError,
    TransportError,
    ValidationError,
)
from quorvel_bo.payouts._retry import (
    Backoff,
    Decision,
    Verdict,
    decide,
    retry_after_seconds,
)
from quorvel_bo.payouts._types import (
    AccessToken,
    Amount,
    Bank,
    BatchAuthorization,
    BatchStatus,
    BatchTransfer,
    Payout,
    ScannedQr,
    amount_text,
)

__all__ = [
    "AsyncClient",
    "Client",
    "Environment",
    "RequestEvent",
    "ResponseEvent",
    "RetryEvent",
    "UncertainPaymentEvent",
]

logger = logging.getLogger("quorvel_bo.payouts")

Environment = Literal["development", "sandbox", "production"]
_ENVIRONMENTS = ("development", "sandbox", "production")

TokenValue = AccessToken | str
TokenSource = AccessToken | str | Callable[[], TokenValue]
AsyncTokenSource = AccessToken | str | Callable[[], TokenValue | Awaitable[TokenValue]]

_REDACTED = "[redacted]"
_SECRET_HEADERS = frozenset({"authorization", "access_token"})
_REQUEST_ID_HEADERS = ("x-request-id", "request-id", "x-correlation-id")
# Operations the catalogue gives no time-out (the batch ones) still must not wait forever.
DEFAULT_TIMEOUT = 60.0
# From this size on, an AsyncClient does its conversions in a worker thread, so that the event
# loop keeps running in between (the interpreter switches threads every few milliseconds).
_LARGE_BODY = 64 * 1024
_LARGE_BATCH = 500
# The position the core appends to a payload-decoding message; meaningless to a caller.
_POSITION = re.compile(r" at line \d+ column \d+$")
_INVALID_AMOUNT = "invalid payload: invalid amount `"

T = TypeVar("T")

_DEFAULT_BACKOFF = Backoff()


@dataclass(frozen=True, slots=True)
class RequestEvent:
    """A request is about to be sent. Credential headers are redacted; the body is never given."""

    operation: str
    method: str
    url: str
    attempt: int
    headers: Mapping[str, str]


@dataclass(frozen=True, slots=True)
class ResponseEvent:
    """An HTTP answer arrived (before it is read)."""

    operation: str
    method: str
    url: str
    attempt: int
    status: int


@dataclass(frozen=True, slots=True)
class RetryEvent:
    """Attempt ``attempt`` failed and another follows after ``delay`` seconds."""

    operation: str
    method: str
    url: str
    attempt: int
    delay: float
    reason: str
    status: int | None


@dataclass(frozen=True, slots=True)
class UncertainPaymentEvent:
    """A payment whose outcome is unknown: it may or may not have been made.

    ``reason`` says why: the provider's ambiguous answer, an answer that was lost or could not
    be read, or the call being cancelled after the request may have been sent. Record
    ``reference`` and ``transaction_id`` and settle the payment with ``resolve_payout`` before
    paying again. ``amount`` is the amount asked for (the QR's own when it is fixed).
    """

    reference: str
    transaction_id: str
    amount: Decimal | None
    reason: str


Hook = Callable[[T], object]
RequestHook = Callable[[RequestEvent], object]
ResponseHook = Callable[[ResponseEvent], object]
RetryHook = Callable[[RetryEvent], object]
UncertainHook = Callable[[UncertainPaymentEvent], object]


class _Exchange(NamedTuple):
    """One remote call in progress: the operation, its input, and what a payment error needs.

    A named tuple: made once per call, where a frozen dataclass's __init__ costs several times more.
    """

    entry: OpEntry
    #: The input's JSON text, written once for both stages and every attempt.
    input: bytes
    reference: str | None = None
    transaction_id: str | None = None
    amount: Decimal | None = None
    amount_field: str = "amount"
    #: Big enough that an AsyncClient converts it in a worker thread, not on the event loop.
    large: bool = False


def _text(value: object, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _opt_text(value: object, name: str) -> str | None:
    return None if value is None else _text(value, name)


def _token_document(value: object) -> dict[str, Any]:
    if isinstance(value, AccessToken):
        document = value.to_core()
    elif isinstance(value, str):
        document = {"access_token": value, "token_type": "Bearer", "expires_at": 0, "scope": None}
    elif inspect.iscoroutine(value):
        value.close()
        raise TypeError("the token source is a coroutine function: use AsyncClient for it")
    else:
        raise TypeError(f"the token source must give an AccessToken or a str, not {type(value).__name__}")
    text = document["access_token"]
    if not isinstance(text, str) or not text.strip():
        raise ValidationError("must not be empty", field="token")
    return document


def _redacted_headers(headers: httpx.Headers) -> dict[str, str]:
    return {k: _REDACTED if k.lower() in _SECRET_HEADERS else v for k, v in headers.items()}


def _reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__


def _body_text(response: httpx.Response) -> str:
    """The answer's text, as ``response.text`` gives it.

    httpx reads the charset of the content type through the standard library's mail parser on
    every answer; an answer that names none is decoded here with the client's default, as httpx
    would, at a fraction of the cost.
    """
    content_type = response.headers.get("content-type")
    encoding = response.default_encoding
    if (
        isinstance(encoding, str)
        and "_encoding" not in vars(response)
        and (content_type is None or "charset" not in content_type.lower())
    ):
        return response.content.decode(encoding, errors="replace")
    return response.text


def _request_id(response: httpx.Response) -> str | None:
    return next((response.headers[h] for h in _REQUEST_ID_HEADERS if h in response.headers), None)


def _scan_input(qr_text: str) -> dict[str, Any]:
    return {"qr_text": _text(qr_text, "qr_text")}


def _pay_exchange(
    scanned: ScannedQr, source_account: str, transaction_id: str, amount: Amount | None, description: str | None
) -> _Exchange:
    if not isinstance(scanned, ScannedQr):
        raise TypeError(f"scanned must be the ScannedQr that scan() returned, not {type(scanned).__name__}")
    text = None if amount is None else amount_text(amount, "amount")
    data = {
        "scanned": scanned.to_core(),
        "source_account": _text(source_account, "source_account"),
        "transaction_id": _text(transaction_id, "transaction_id"),
        "amount": text,
        "description": _opt_text(description, "description"),
    }
    asked = Decimal(text) if text is not None else (scanned.amount if scanned.has_fixed_amount else None)
    return _Exchange(
        op_entry("payouts.pay"), dumps(data), reference=scanned.reference, transaction_id=transaction_id, amount=asked
    )


# Writes the transfers straight from their records, in C. An amount goes as a JSON number of its
# exact text, and so would a Decimal put where text belongs, which the core then refuses.
_TRANSFERS_WRITER = msgspec.json.Encoder(decimal_format="number")


def _authorize_exchange(
    branch_code: str,
    process_id: str | uuid.UUID,
    webhook_url: str,
    webhook_token: str,
    transfers: Sequence[BatchTransfer],
) -> _Exchange:
    items = list(transfers)
    for transfer in items:
        if not isinstance(transfer, BatchTransfer):
            raise TypeError(f"transfers must hold BatchTransfer records, not {type(transfer).__name__}")
    data: dict[str, Any] = {
        "branch_code": _text(branch_code, "branch_code"),
        "process_id": _process_id(process_id),
        "webhook_url": _text(webhook_url, "webhook_url"),
        "webhook_token": _text(webhook_token, "webhook_token"),
    }
    try:
        # A piece of the transfers at a time, so that other threads (an event loop) run in between;
        # each piece is a JSON array, joined without its brackets.
        pieces = [
            memoryview(_TRANSFERS_WRITER.encode(items[start : start + PIECE_RECORDS]))[1:-1]
            for start in range(0, len(items), PIECE_RECORDS)
        ]
        text = b"".join((dumps(data)[:-1], b',"transfers":[', b",".join(pieces), b"]}"))
    except (TypeError, ValueError, msgspec.EncodeError):
        # What that writer does not take (a str subclass, a lone surrogate) goes field by field,
        # as the records write themselves; the core then judges it.
        data["transfers"] = [transfer.to_core() for transfer in items]
        text = dumps(data)
    return _Exchange(
        op_entry("batch.authorize"), text, amount_field="transfers.amount", large=len(items) >= _LARGE_BATCH
    )


def _process_id(value: object) -> str:
    return str(value) if isinstance(value, uuid.UUID) else _text(value, "process_id")


def _batch_status_input(
    branch_code: str, process_id: str | uuid.UUID, batch_number: str | None, transaction_id: str | None
) -> dict[str, Any]:
    return {
        "branch_code": _text(branch_code, "branch_code"),
        "process_id": _process_id(process_id),
        "batch_number": _opt_text(batch_number, "batch_number"),
        "transaction_id": _opt_text(transaction_id, "transaction_id"),
    }


def _not_found(exc: ApiError) -> ApiError:
    if exc.status != 404:
        return exc
    return PayoutNotFoundError(
        exc.message, status=exc.status, errors=exc.errors, retryable=exc.retryable, request_id=exc.request_id
    )


class _BaseClient:
    """Configuration and the decisions shared by the two clients; no I/O here."""

    def __init__(
        self,
        client_id: str,
        *,
        environment: Environment,
        base_url: str | None,
        client_secret: str | None,
        basic_token: str | None,
        borrowed_http: bool,
        max_attempts: int,
        timeout: float | None,
        timeouts: Mapping[str, float | None] | None,
        backoff: Backoff,
        hooks: tuple[Any, Any, Any, Any],
        clock: Callable[[], float],
    ) -> None:
        _text(client_id, "client_id")
        if environment not in _ENVIRONMENTS:
            raise ValueError(f"environment must be one of {', '.join(_ENVIRONMENTS)}, not {environment!r}")
        if max_attempts < 1:
            raise ValueError("max_attempts must be at least 1")
        self._secret_query = False
        if base_url is not None:
            url = httpx.URL(_text(base_url, "base_url"))
            if url.userinfo:
                # httpx would turn it into Basic auth over the Bearer token, and log the password.
                raise ValueError("base_url must not hold credentials (user:password@): pass the token instead")
            self._secret_query = bool(url.query)
        unknown = sorted(set(timeouts or {}) - op_names())
        if unknown:
            raise ValueError(
                f"timeouts names unknown operations {', '.join(map(repr, unknown))}; "
                f"use the operation names: {', '.join(sorted(op_names()))}"
            )
        self._config: dict[str, Any] = {"client_id": client_id, "environment": environment, "base_url": base_url}
        self._config_text = dumps(self._config)
        if client_secret is not None or basic_token is not None:
            # No operation uses them: tokens come from the token source. Not kept, so that no
            # secret sits in memory for nothing.
            warnings.warn(
                "client_secret and basic_token are not used by the client and will be removed; "
                "pass a token source that obtains the access token instead",
                DeprecationWarning,
                stacklevel=3,
            )
        self._borrowed_http = borrowed_http
        self._max_attempts = max_attempts
        self._timeout = timeout
        self._timeouts = dict(timeouts or {})
        self._backoff = backoff
        self._on_request, self._on_response, self._on_retry, self._on_uncertain = hooks
        self._clock = clock
        self._closed = False

    def __repr__(self) -> str:
        base_url = self._config["base_url"]
        # A base URL may carry a key in its query: never show it.
        where = str(httpx.URL(base_url).copy_with(query=None)) if base_url else self._config["environment"]
        return f"{type(self).__name__}(client_id={self._config['client_id']!r}, target={where!r})"

    @property
    def client_id(self) -> str:
        return str(self._config["client_id"])

    def _public_url(self, url: httpx.URL) -> str:
        if self._secret_query:
            url = url.copy_with(query=None)
        return str(url)

    def _timeout_for(self, entry: OpEntry) -> Any:
        if entry.name in self._timeouts:
            return self._timeouts[entry.name]
        if self._timeout is not None:
            return self._timeout
        if self._borrowed_http:
            return httpx.USE_CLIENT_DEFAULT
        return entry.timeout if entry.timeout is not None else DEFAULT_TIMEOUT

    def _check_open(self, http: httpx.Client | httpx.AsyncClient) -> None:
        if self._closed or http.is_closed:
            raise ClientClosedError("the client is closed: nothing was sent")

    def _request(self, http: httpx.Client | httpx.AsyncClient, exchange: _Exchange, token: object) -> httpx.Request:
        document = _token_document(token)
        payload = b'{"config":' + self._config_text + b',"token":' + dumps(document) + b',"input":' + exchange.input
        try:
            built = run_text(exchange.entry.name + ".build", (payload + b"}").decode())
        except ProtocolError as exc:
            if not exc.message.startswith(_INVALID_AMOUNT):
                raise
            message = _POSITION.sub("", exc.message.removeprefix("invalid payload: "))
            raise ValidationError(message, field=exchange.amount_field) from None
        body = built["body"]
        try:
            return http.build_request(
                built["method"],
                built["url"],
                headers=built["headers"],
                content=None if body is None else body.encode("utf-8"),
                timeout=self._timeout_for(exchange.entry),
            )
        except UnicodeEncodeError:
            # HTTP headers are ASCII; the core passes the texts it was given.
            raise ValidationError("must be ASCII text", field="token") from None

    def _request_event(self, exchange: _Exchange, request: httpx.Request, attempt: int) -> RequestEvent:
        return RequestEvent(
            exchange.entry.name,
            request.method,
            self._public_url(request.url),
            attempt,
            _redacted_headers(request.headers),
        )

    def _response_event(
        self, exchange: _Exchange, request: httpx.Request, response: httpx.Response, attempt: int
    ) -> ResponseEvent:
        return ResponseEvent(
            exchange.entry.name, request.method, self._public_url(request.url), attempt, response.status_code
        )

    @staticmethod
    def _read(exchange: _Exchange, response: httpx.Response, kind: type[T], in_pieces: bool = False) -> T:
        # The body goes in as a JSON string, escaped in one pass (msgspec is the faster at that),
        # and is never read into values here. A decoded body holds no lone surrogate.
        payload = b'{"input":%b,"response":{"status":%d,"body":%b}}' % (
            exchange.input,
            response.status_code,
            msgspec.json.encode(_body_text(response)),
        )
        try:
            return run_into(exchange.entry.name + ".parse", payload.decode(), kind, in_pieces=in_pieces)
        except ApiError as exc:
            exc.request_id = _request_id(response)
            raise

    def _decide(
        self,
        exchange: _Exchange,
        failure: Exception,
        response: httpx.Response | None,
        attempt: int,
        max_attempts: int,
        can_refresh: bool,
    ) -> Decision:
        retry_after = None if response is None else retry_after_seconds(response.headers.get("retry-after"))
        return decide(
            exchange.entry,
            failure,
            attempt=attempt,
            max_attempts=max_attempts,
            backoff=self._backoff,
            retry_after=retry_after,
            can_refresh=can_refresh,
        )

    def _retry_event(
        self, exchange: _Exchange, request: httpx.Request, attempt: int, delay: float, why: Exception
    ) -> RetryEvent:
        status = getattr(why, "status", None)
        reason = f"HTTP {status}" if status is not None else type(why).__name__
        return RetryEvent(
            exchange.entry.name, request.method, self._public_url(request.url), attempt, delay, reason, status
        )

    @staticmethod
    def _uncertain(exchange: _Exchange, failure: Exception) -> tuple[AmbiguousPaymentError, UncertainPaymentEvent]:
        if isinstance(failure, AmbiguousPaymentError):
            error = failure
        elif isinstance(failure, httpx.RequestError):
            error = AmbiguousPaymentError(
                f"the payment may have reached the provider but no answer came back ({_reason(failure)}); "
                "ask its status before paying again"
            )
        elif isinstance(failure, ApiError):
            error = AmbiguousPaymentError(
                f"the provider answered HTTP {failure.status}, which settles nothing: {failure.message}; "
                "ask the payment's status before paying again",
                errors=failure.errors,
            )
        else:
            error = AmbiguousPaymentError(
                f"the provider's answer to the payment could not be read ({failure}); "
                "ask its status before paying again"
            )
        error.reference, error.transaction_id = exchange.reference, exchange.transaction_id
        return error, _uncertain_event(exchange, error.message)

    @staticmethod
    def _final(exchange: _Exchange, failure: Exception, attempt: int) -> Exception:
        if not isinstance(failure, httpx.RequestError):
            return failure
        if isinstance(failure, httpx.DecodingError):
            return DecodeError(f"unreadable response body: {failure}")
        return TransportError(
            f"no answer from the provider after {attempt} attempt(s): {_reason(failure)}",
            operation=exchange.entry.name,
            attempts=attempt,
        )

    def _poll_wait(self, polls: int, poll_interval: float, max_interval: float, remaining: float) -> float:
        return max(0.0, min(poll_interval * 2.0 ** min(polls, 64), max_interval, remaining))

    @staticmethod
    def _unresolved(reference: str, deadline: float, last: Payout | None) -> ResolveTimeoutError:
        seen = f"last status: {last.status.value}" if last else "no status could be read"
        return ResolveTimeoutError(
            f"payout {reference} is not final after {deadline:g} s ({seen})", reference=reference, payout=last
        )

    @staticmethod
    def _worth_polling_again(exc: PayoutsError) -> bool:
        return isinstance(exc, TransportError) or (isinstance(exc, ApiError) and exc.retryable)


def _uncertain_event(exchange: _Exchange, reason: str) -> UncertainPaymentEvent:
    return UncertainPaymentEvent(
        reference=str(exchange.reference), transaction_id=str(exchange.transaction_id), amount=exchange.amount,
        reason=reason,
    )


_CANCELLED = "the call was cancelled after the payment request may have been sent"


def _emit(hook: Callable[[T], object] | None, event: T) -> object:
    if hook is None:
        return None
    try:
        return hook(event)
    except Exception:
        # A failing log hook must not turn a completed payment into an error.
        logger.exception("payouts client hook failed")
        return None


class Client(_BaseClient):
    """Synchronous payouts client.

    ``token`` is an AccessToken, an access token text, or a function returning either; a
    function is called before every request, so it can renew the token (and after a 401, one
    more attempt is made with what it returns). Time-outs: ``timeouts`` sets an operation's by
    its name ("payouts.pay"); ``timeout`` applies to every other operation; without either, an
    ``http_client`` you pass keeps its own, and otherwise the catalogue's apply (40 s scan, 90 s
    pay and status, 60 s for the batch operations). Idempotent operations are tried up to
    ``max_attempts`` times on transient failures; payments and batch authorisations are sent
    once (again only when the connection could not even be opened). ``on_uncertain`` is called
    with an UncertainPaymentEvent whenever a payment's outcome becomes unknown.
    """

    def __init__(
        self,
        client_id: str,
        *,
        token: TokenSource,
        environment: Environment = "sandbox",
        base_url: str | None = None,
        client_secret: str | None = None,
        basic_token: str | None = None,
        http_client: httpx.Client | None = None,
        transport: httpx.BaseTransport | None = None,
        max_attempts: int = 3,
        timeout: float | None = None,
        timeouts: Mapping[str, float | None] | None = None,
        backoff: Backoff = _DEFAULT_BACKOFF,
        on_request: Callable[[RequestEvent], None] | None = None,
        on_response: Callable[[ResponseEvent], None] | None = None,
        on_retry: Callable[[RetryEvent], None] | None = None,
        on_uncertain: Callable[[UncertainPaymentEvent], None] | None = None,
        sleep: Callable[[float], None] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        super().__init__(
            client_id,
            environment=environment,
            base_url=base_url,
            client_secret=client_secret,
            basic_token=basic_token,
            borrowed_http=http_client is not None,
            max_attempts=max_attempts,
            timeout=timeout,
            timeouts=timeouts,
            backoff=backoff,
            hooks=(on_request, on_response, on_retry, on_uncertain),
            clock=clock,
        )
        self._token = token
        self._http = http_client if http_client is not None else httpx.Client(transport=transport)
        self._sleep = sleep

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the HTTP connections (only those of an httpx client this client created)."""
        self._closed = True
        if not self._borrowed_http:
            self._http.close()

    def _current_token(self) -> object:
        return self._token() if callable(self._token) else self._token

    def _execute(self, exchange: _Exchange, kind: type[T], max_attempts: int | None = None) -> T:
        attempts = max_attempts or self._max_attempts
        attempt, refreshed = 0, False
        while True:
            attempt += 1
            self._check_open(self._http)
            request = self._request(self._http, exchange, self._current_token())
            if self._on_request:
                _emit(self._on_request, self._request_event(exchange, request, attempt))
            failure: Exception
            response: httpx.Response | None = None
            try:
                response = self._http.send(request)
            except httpx.RequestError as exc:
                failure = exc
            except BaseException:
                # Interrupted while the request may be on its way.
                if exchange.entry.uncertain_when_lost:
                    _emit(self._on_uncertain, _uncertain_event(exchange, _CANCELLED))
                raise
            else:
                if self._on_response:
                    _emit(self._on_response, self._response_event(exchange, request, response, attempt))
                try:
                    return self._read(exchange, response, kind)
                except PayoutsError as exc:
                    failure = exc
            decision = self._decide(exchange, failure, response, attempt, attempts, callable(self._token) and not refreshed)
            if decision.verdict is Verdict.UNCERTAIN:
                error, event = self._uncertain(exchange, failure)
                _emit(self._on_uncertain, event)
                raise error from (None if error is failure else failure)
            if decision.verdict is Verdict.RAISE:
                final = self._final(exchange, failure, attempt)
                raise final from (None if final is failure else failure)
            refreshed = refreshed or decision.refresh
            _emit(self._on_retry, self._retry_event(exchange, request, attempt, decision.delay, failure))
            self._sleep(decision.delay)

    def _op(self, name: str, data: dict[str, Any], kind: type[T]) -> T:
        return self._execute(_Exchange(op_entry(name), dumps(data)), kind)

    def scan(self, qr_text: str) -> ScannedQr:
        """Reads a payment QR code (its content as text)."""
        return self._op("payouts.scan", _scan_input(qr_text), ScannedQr)

    def pay(
        self,
        scanned: ScannedQr,
        source_account: str,
        transaction_id: str,
        amount: Amount | None = None,
        description: str | None = None,
    ) -> Payout:
        """Pays a scanned QR from ``source_account``.

        Give ``amount`` and ``description`` only where the QR leaves them open. Raises
        AmbiguousPaymentError when the outcome is unknown: then ask ``resolve_payout``.
        """
        exchange = _pay_exchange(scanned, source_account, transaction_id, amount, description)
        return self._execute(exchange, Payout)

    def _status(self, reference: str, max_attempts: int | None = None) -> Payout:
        exchange = _Exchange(op_entry("payouts.status"), dumps({"reference": _text(reference, "reference")}))
        try:
            return self._execute(exchange, Payout, max_attempts)
        except ApiError as exc:
            raise _not_found(exc) from None

    def payout_status(self, reference: str) -> Payout:
        """The current state of the payout of the QR ``reference``.

        Raises PayoutNotFoundError when the provider has no payment for it.
        """
        return self._status(reference)

    def banks(self, branch_code: str) -> list[Bank]:
        """The banks that batch transfers can be sent to."""
        return self._op("batch.banks", {"branch_code": _text(branch_code, "branch_code")}, list[Bank])

    def authorize_batch(
        self,
        branch_code: str,
        process_id: str | uuid.UUID,
        webhook_url: str,
        webhook_token: str,
        transfers: Sequence[BatchTransfer],
    ) -> BatchAuthorization:
        """Submits a batch of transfers; the provider reports each one to ``webhook_url``.

        Sent once. A TransportError leaves the outcome unknown: look the batch up with
        ``batch_status`` before submitting it again.
        """
        exchange = _authorize_exchange(branch_code, process_id, webhook_url, webhook_token, transfers)
        return self._execute(exchange, BatchAuthorization)

    def batch_status(
        self,
        branch_code: str,
        process_id: str | uuid.UUID,
        *,
        batch_number: str | None = None,
        transaction_id: str | None = None,
    ) -> BatchStatus:
        """A batch, looked up by exactly one of ``batch_number`` or ``transaction_id``."""
        data = _batch_status_input(branch_code, process_id, batch_number, transaction_id)
        return self._op("batch.status", data, BatchStatus)

    def resolve_payout(
        self, reference: str, *, deadline: float = 120.0, poll_interval: float = 2.0, max_interval: float = 30.0
    ) -> Payout:
        """Polls the payout until its status is final, waiting longer between polls each time.

        Returns the final Payout. Raises PayoutNotFoundError when the provider has no payment for
        ``reference`` (it was not made: paying again with the same transaction id is safe), and
        ResolveTimeoutError (with the last Payout seen) when ``deadline`` seconds pass first; it
        returns within the deadline plus one request's time-out. Transient failures are polled
        through; other errors (refused credentials) are raised at once.
        """
        end = self._clock() + deadline
        last: Payout | None = None
        polls = 0
        while True:
            try:
                # One attempt per poll: the polling is the retry, bounded by the deadline.
                payout = self._status(reference, max_attempts=1)
            except (ApiError, TransportError) as exc:
                if not self._worth_polling_again(exc):
                    raise
            else:
                if payout.status.is_final:
                    return payout
                last = payout
            remaining = end - self._clock()
            if remaining <= 0:
                raise self._unresolved(reference, deadline, last)
            self._sleep(self._poll_wait(polls, poll_interval, max_interval, remaining))
            polls += 1


class AsyncClient(_BaseClient):
    """Asynchronous payouts client, the same as Client with ``await``.

    ``token`` may also be an async function, and the hooks coroutine functions (they are
    awaited). ``sleep`` is awaited between attempts. Close it with ``await client.aclose()`` or
    ``async with``. Cancelling a ``pay`` after its request may have been sent calls
    ``on_uncertain`` before the cancellation goes on.
    """

    def __init__(
        self,
        client_id: str,
        *,
        token: AsyncTokenSource,
        environment: Environment = "sandbox",
        base_url: str | None = None,
        client_secret: str | None = None,
        basic_token: str | None = None,
        http_client: httpx.AsyncClient | None = None,
        transport: httpx.AsyncBaseTransport | None = None,
        max_attempts: int = 3,
        timeout: float | None = None,
        timeouts: Mapping[str, float | None] | None = None,
        backoff: Backoff = _DEFAULT_BACKOFF,
        on_request: RequestHook | None = None,
        on_response: ResponseHook | None = None,
        on_retry: RetryHook | None = None,
        on_uncertain: UncertainHook | None = None,
        sleep: Callable[[float], Awaitable[None]] = anyio.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        super().__init__(
            client_id,
            environment=environment,
            base_url=base_url,
            client_secret=client_secret,
            basic_token=basic_token,
            borrowed_http=http_client is not None,
            max_attempts=max_attempts,
            timeout=timeout,
            timeouts=timeouts,
            backoff=backoff,
            hooks=(on_request, on_response, on_retry, on_uncertain),
            clock=clock,
        )
        self._token = token
        self._http = http_client if http_client is not None else httpx.AsyncClient(transport=transport)
        self._sleep = sleep

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes the HTTP connections (only those of an httpx client this client created)."""
        self._closed = True
        if not self._borrowed_http:
            await self._http.aclose()

    async def _current_token(self) -> object:
        if not callable(self._token):
            return self._token
        value = self._token()
        return await value if inspect.isawaitable(value) else value

    @staticmethod
    async def _emit(hook: Callable[[T], object] | None, event: T) -> None:
        result = _emit(hook, event)
        if inspect.isawaitable(result):
            try:
                await result
            except Exception:
                logger.exception("payouts client hook failed")

    @staticmethod
    async def _off_loop(large: bool, work: Callable[..., T], *args: Any) -> T:
        # Long conversions run in a worker thread so that the event loop is not held up by them.
        return await anyio.to_thread.run_sync(work, *args) if large else work(*args)

    async def _execute(
        self, exchange: _Exchange, kind: type[T], max_attempts: int | None = None
    ) -> T:
        attempts = max_attempts or self._max_attempts
        attempt, refreshed = 0, False
        while True:
            attempt += 1
            self._check_open(self._http)
            token = await self._current_token()
            request = await self._off_loop(exchange.large, self._request, self._http, exchange, token)
            if self._on_request:
                await self._emit(self._on_request, self._request_event(exchange, request, attempt))
            failure: Exception
            response: httpx.Response | None = None
            try:
                response = await self._http.send(request)
            except httpx.RequestError as exc:
                failure = exc
            except BaseException:
                # Cancelled (or interrupted) while the request may be on its way: say so, then
                # let the cancellation go on. Shielded, or a cancelled scope would cancel the hook.
                if exchange.entry.uncertain_when_lost:
                    with anyio.CancelScope(shield=True):
                        await self._emit(self._on_uncertain, _uncertain_event(exchange, _CANCELLED))
                raise
            else:
                if self._on_response:
                    await self._emit(self._on_response, self._response_event(exchange, request, response, attempt))
                large = exchange.large or len(response.content) >= _LARGE_BODY
                try:
                    return await self._off_loop(large, self._read, exchange, response, kind, large)
                except PayoutsError as exc:
                    failure = exc
            decision = self._decide(exchange, failure, response, attempt, attempts, callable(self._token) and not refreshed)
            if decision.verdict is Verdict.UNCERTAIN:
                error, event = self._uncertain(exchange, failure)
                await self._emit(self._on_uncertain, event)
                raise error from (None if error is failure else failure)
            if decision.verdict is Verdict.RAISE:
                final = self._final(exchange, failure, attempt)
                raise final from (None if final is failure else failure)
            refreshed = refreshed or decision.refresh
            await self._emit(self._on_retry, self._retry_event(exchange, request, attempt, decision.delay, failure))
            await self._sleep(decision.delay)

    async def _op(self, name: str, data: dict[str, Any], kind: type[T]) -> T:
        return await self._execute(_Exchange(op_entry(name), dumps(data)), kind)

    async def scan(self, qr_text: str) -> ScannedQr:
        """Reads a payment QR code (its content as text)."""
        return await self._op("payouts.scan", _scan_input(qr_text), ScannedQr)

    async def pay(
        self,
        scanned: ScannedQr,
        source_account: str,
        transaction_id: str,
        amount: Amount | None = None,
        description: str | None = None,
    ) -> Payout:
        """Pays a scanned QR; see Client.pay."""
        exchange = _pay_exchange(scanned, source_account, transaction_id, amount, description)
        return await self._execute(exchange, Payout)

    async def _status(self, reference: str, max_attempts: int | None = None) -> Payout:
        exchange = _Exchange(op_entry("payouts.status"), dumps({"reference": _text(reference, "reference")}))
        try:
            return await self._execute(exchange, Payout, max_attempts)
        except ApiError as exc:
            raise _not_found(exc) from None

    async def payout_status(self, reference: str) -> Payout:
        """The current state of the payout of the QR ``reference``; see Client.payout_status."""
        return await self._status(reference)

    async def banks(self, branch_code: str) -> list[Bank]:
        """The banks that batch transfers can be sent to."""
        return await self._op("batch.banks", {"branch_code": _text(branch_code, "branch_code")}, list[Bank])

    async def authorize_batch(
        self,
        branch_code: str,
        process_id: str | uuid.UUID,
        webhook_url: str,
        webhook_token: str,
        transfers: Sequence[BatchTransfer],
    ) -> BatchAuthorization:
        """Submits a batch of transfers; see Client.authorize_batch."""
        inputs = (branch_code, process_id, webhook_url, webhook_token, transfers)
        exchange = await self._off_loop(len(transfers) >= _LARGE_BATCH, _authorize_exchange, *inputs)
        return await self._execute(exchange, BatchAuthorization)

    async def batch_status(
        self,
        branch_code: str,
        process_id: str | uuid.UUID,
        *,
        batch_number: str | None = None,
        transaction_id: str | None = None,
    ) -> BatchStatus:
        """A batch, looked up by exactly one of ``batch_number`` or ``transaction_id``."""
        data = _batch_status_input(branch_code, process_id, batch_number, transaction_id)
        return await self._op("batch.status", data, BatchStatus)

    async def resolve_payout(
        self, reference: str, *, deadline: float = 120.0, poll_interval: float = 2.0, max_interval: float = 30.0
    ) -> Payout:
        """Polls the payout until its status is final; see Client.resolve_payout."""
        end = self._clock() + deadline
        last: Payout | None = None
        polls = 0
        while True:
            try:
                payout = await self._status(reference, max_attempts=1)
            except (ApiError, TransportError) as exc:
                if not self._worth_polling_again(exc):
                    raise
            else:
                if payout.status.is_final:
                    return payout
                last = payout
            remaining = end - self._clock()
            if remaining <= 0:
                raise self._unresolved(reference, deadline, last)
            await self._sleep(self._poll_wait(polls, poll_interval, max_interval, remaining))
            polls += 1
