"""The HTTP clients: build with the core, send with httpx, read with the core, retry where it is safe."""

from __future__ import annotations

import inspect
import logging
import time
import uuid
from collections.abc import Awaitable, Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeVar

import anyio
import httpx

from quorvel_bo.payouts._core import OpEntry, op_entry, run
from quorvel_bo.payouts._errors import (
    AmbiguousPaymentError,
    ApiError,
    DecodeError,
    PayoutsError,
    ResolveTimeoutError,
    TransportError,
)
from quorvel_bo.payouts._retry import Backoff, is_transient, was_not_sent
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
]

logger = logging.getLogger("quorvel_bo.payouts")

Environment = Literal["development", "sandbox", "production"]
_ENVIRONMENTS = ("development", "sandbox", "production")

TokenValue = AccessToken | str
TokenSource = AccessToken | str | Callable[[], TokenValue]
AsyncTokenSource = AccessToken | str | Callable[[], TokenValue | Awaitable[TokenValue]]

_PAY = "payouts.pay"
_STATUS = "payouts.status"
_REDACTED = "[redacted]"
_SECRET_HEADERS = frozenset({"authorization", "access_token"})

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


RequestHook = Callable[[RequestEvent], None]
ResponseHook = Callable[[ResponseEvent], None]
RetryHook = Callable[[RetryEvent], None]


@dataclass(frozen=True, slots=True)
class _Exchange:
    """One remote call in progress: the operation, its input, and what a payment error needs."""

    entry: OpEntry
    input: dict[str, Any]
    reference: str | None = None
    transaction_id: str | None = None


def _token_document(value: object) -> dict[str, Any]:
    if isinstance(value, AccessToken):
        return value.to_core()
    if isinstance(value, str):
        return {"access_token": value, "token_type": "Bearer", "expires_at": 0, "scope": None}
    if inspect.iscoroutine(value):
        value.close()
        raise TypeError("the token source is a coroutine function: use AsyncClient for it")
    raise TypeError(f"the token source must give an AccessToken or a str, not {type(value).__name__}")


def _redacted_headers(headers: httpx.Headers) -> dict[str, str]:
    return {k: _REDACTED if k.lower() in _SECRET_HEADERS else v for k, v in headers.items()}


def _public_url(url: httpx.URL) -> str:
    return str(url.copy_with(userinfo=b"")) if url.userinfo else str(url)


def _reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__


def _emit(hook: Callable[[T], None] | None, event: T) -> None:
    if hook is None:
        return
    try:
        hook(event)
    except Exception:
        # A failing log hook must not turn a completed payment into an error.
        logger.exception("payouts client hook failed")


def _scan_input(qr_text: str) -> dict[str, Any]:
    return {"qr_text": qr_text}


def _pay_exchange(
    scanned: ScannedQr, source_account: str, transaction_id: str, amount: Amount | None, description: str | None
) -> _Exchange:
    if not isinstance(scanned, ScannedQr):
        raise TypeError(f"scanned must be the ScannedQr that scan() returned, not {type(scanned).__name__}")
    data = {
        "scanned": scanned.to_core(),
        "source_account": source_account,
        "transaction_id": transaction_id,
        "amount": None if amount is None else amount_text(amount, "amount"),
        "description": description,
    }
    return _Exchange(op_entry(_PAY), data, reference=scanned.reference, transaction_id=transaction_id)


def _authorize_input(
    branch_code: str,
    process_id: str | uuid.UUID,
    webhook_url: str,
    webhook_token: str,
    transfers: Sequence[BatchTransfer],
) -> dict[str, Any]:
    items = []
    for transfer in transfers:
        if not isinstance(transfer, BatchTransfer):
            raise TypeError(f"transfers must hold BatchTransfer records, not {type(transfer).__name__}")
        items.append(transfer.to_core())
    return {
        "branch_code": branch_code,
        "process_id": str(process_id),
        "webhook_url": webhook_url,
        "webhook_token": webhook_token,
        "transfers": items,
    }


def _batch_status_input(
    branch_code: str, process_id: str | uuid.UUID, batch_number: str | None, transaction_id: str | None
) -> dict[str, Any]:
    return {
        "branch_code": branch_code,
        "process_id": str(process_id),
        "batch_number": batch_number,
        "transaction_id": transaction_id,
    }


class _BaseClient:
    """Configuration and the retry decisions shared by the two clients; no I/O here."""

    def __init__(
        self,
        client_id: str,
        *,
        environment: Environment,
        base_url: str | None,
        client_secret: str | None,
        basic_token: str | None,
        max_attempts: int,
        timeout: float | None,
        timeouts: Mapping[str, float | None] | None,
        backoff: Backoff,
        on_request: RequestHook | None,
        on_response: ResponseHook | None,
        on_retry: RetryHook | None,
        clock: Callable[[], float],
    ) -> None:
        if environment not in _ENVIRONMENTS:
            raise ValueError(f"environment must be one of {', '.join(_ENVIRONMENTS)}, not {environment!r}")
        if max_attempts < 1:
            raise ValueError("max_attempts must be at least 1")
        self._config: dict[str, Any] = {"client_id": client_id, "environment": environment, "base_url": base_url}
        # Kept in memory for the caller's token service; no operation sends them.
        self._client_secret = client_secret
        self._basic_token = basic_token
        self._max_attempts = max_attempts
        self._timeout = timeout
        self._timeouts = dict(timeouts or {})
        self._backoff = backoff
        self._on_request = on_request
        self._on_response = on_response
        self._on_retry = on_retry
        self._clock = clock

    def __repr__(self) -> str:
        base_url = self._config["base_url"]
        # A base URL may carry credentials: never show them.
        where = _public_url(httpx.URL(str(base_url))) if base_url else self._config["environment"]
        return f"{type(self).__name__}(client_id={self._config['client_id']!r}, target={where!r})"

    @property
    def client_id(self) -> str:
        return str(self._config["client_id"])

    def _timeout_for(self, entry: OpEntry) -> float | None:
        if entry.name in self._timeouts:
            return self._timeouts[entry.name]
        return entry.timeout if entry.timeout is not None else self._timeout

    def _request(self, http: httpx.Client | httpx.AsyncClient, exchange: _Exchange, token: object) -> httpx.Request:
        built = run(
            exchange.entry.name + ".build",
            {"config": self._config, "token": _token_document(token), "input": exchange.input},
        )
        body = built["body"]
        return http.build_request(
            built["method"],
            built["url"],
            headers=built["headers"],
            content=None if body is None else body.encode("utf-8"),
            timeout=self._timeout_for(exchange.entry),
        )

    def _sent(self, exchange: _Exchange, request: httpx.Request, attempt: int) -> None:
        _emit(
            self._on_request,
            RequestEvent(
                exchange.entry.name,
                request.method,
                _public_url(request.url),
                attempt,
                _redacted_headers(request.headers),
            ),
        )

    def _parse(self, exchange: _Exchange, request: httpx.Request, response: httpx.Response, attempt: int) -> Any:
        _emit(
            self._on_response,
            ResponseEvent(exchange.entry.name, request.method, _public_url(request.url), attempt, response.status_code),
        )
        try:
            return run(
                exchange.entry.name + ".parse",
                {"input": exchange.input, "response": {"status": response.status_code, "body": response.text}},
            )
        except AmbiguousPaymentError as exc:
            exc.reference, exc.transaction_id = exchange.reference, exchange.transaction_id
            raise

    def _ambiguous(self, exchange: _Exchange, message: str, errors: Any = ()) -> AmbiguousPaymentError:
        return AmbiguousPaymentError(
            message, errors=tuple(errors), reference=exchange.reference, transaction_id=exchange.transaction_id
        )

    def _retry_after_transport(self, exchange: _Exchange, exc: httpx.RequestError, attempt: int) -> float:
        """The wait before the next attempt after a failed exchange, or raises the final error."""
        entry = exchange.entry
        not_sent = was_not_sent(exc) and not isinstance(exc, httpx.UnsupportedProtocol)
        if not_sent or (entry.idempotent and is_transient(exc)):
            if attempt < self._max_attempts:
                return self._backoff.delay(attempt)
        elif entry.name == _PAY and not was_not_sent(exc):
            raise self._ambiguous(
                exchange,
                f"the payment may have reached the provider but no answer came back ({_reason(exc)}); "
                "ask its status before paying again",
            ) from exc
        elif isinstance(exc, httpx.DecodingError):
            raise DecodeError(f"unreadable response body: {exc}") from exc
        raise TransportError(
            f"no answer from the provider after {attempt} attempt(s): {_reason(exc)}",
            operation=entry.name,
            attempts=attempt,
        ) from exc

    def _retry_after_api_error(self, exchange: _Exchange, exc: ApiError, attempt: int) -> float:
        """The wait before the next attempt after a provider failure, or raises the final error."""
        entry = exchange.entry
        if entry.name == _PAY and exc.retryable:
            # A server error or time-out on a payment settles nothing: the money may have moved.
            raise self._ambiguous(exchange, exc.message, exc.errors) from exc
        if entry.idempotent and exc.retryable and attempt < self._max_attempts:
            return self._backoff.delay(attempt)
        raise exc

    def _retrying(self, exchange: _Exchange, request: httpx.Request, attempt: int, delay: float, why: Any) -> None:
        status = why.status if isinstance(why, ApiError) else None
        reason = f"HTTP {status}" if status is not None else type(why).__name__
        _emit(
            self._on_retry,
            RetryEvent(exchange.entry.name, request.method, _public_url(request.url), attempt, delay, reason, status),
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


class Client(_BaseClient):
    """Synchronous payouts client.

    ``token`` is an AccessToken, an access token text, or a function returning either; a
    function is called before every request, so it can renew the token. Time-outs are those of
    the operation catalogue (40 s scan, 90 s pay and status); ``timeout`` applies to the
    operations that have none, ``timeouts`` overrides any operation by name. Idempotent
    operations are tried up to ``max_attempts`` times on transient failures; payments and batch
    authorisations are sent once (again only when the connection could not even be opened).
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
        on_request: RequestHook | None = None,
        on_response: ResponseHook | None = None,
        on_retry: RetryHook | None = None,
        sleep: Callable[[float], None] = time.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        super().__init__(
            client_id,
            environment=environment,
            base_url=base_url,
            client_secret=client_secret,
            basic_token=basic_token,
            max_attempts=max_attempts,
            timeout=timeout,
            timeouts=timeouts,
            backoff=backoff,
            on_request=on_request,
            on_response=on_response,
            on_retry=on_retry,
            clock=clock,
        )
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        self._token = token
        self._owns_http = http_client is None
        self._http = http_client if http_client is not None else httpx.Client(transport=transport)
        self._sleep = sleep

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the HTTP connections (only those of an httpx client this client created)."""
        if self._owns_http:
            self._http.close()

    def _current_token(self) -> object:
        return self._token() if callable(self._token) else self._token

    def _execute(self, exchange: _Exchange) -> Any:
        attempt = 0
        while True:
            attempt += 1
            request = self._request(self._http, exchange, self._current_token())
            self._sent(exchange, request, attempt)
            why: Exception
            try:
                response = self._http.send(request)
            except httpx.RequestError as exc:
                delay, why = self._retry_after_transport(exchange, exc, attempt), exc
            else:
                try:
                    return self._parse(exchange, request, response, attempt)
                except ApiError as exc:
                    delay, why = self._retry_after_api_error(exchange, exc, attempt), exc
            self._retrying(exchange, request, attempt, delay, why)
            self._sleep(delay)

    def _op(self, name: str, data: dict[str, Any]) -> Any:
        return self._execute(_Exchange(op_entry(name), data))

    def scan(self, qr_text: str) -> ScannedQr:
        """Reads a payment QR code (its content as text)."""
        return ScannedQr.from_core(self._op("payouts.scan", _scan_input(qr_text)))

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
        return Payout.from_core(self._execute(exchange))

    def payout_status(self, reference: str) -> Payout:
        """The current state of the payout of the QR ``reference``."""
        return Payout.from_core(self._op(_STATUS, {"reference": reference}))

    def banks(self, branch_code: str) -> list[Bank]:
        """The banks that batch transfers can be sent to."""
        return [Bank.from_core(b) for b in self._op("batch.banks", {"branch_code": branch_code})]

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
        data = _authorize_input(branch_code, process_id, webhook_url, webhook_token, transfers)
        return BatchAuthorization.from_core(self._op("batch.authorize", data))

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
        return BatchStatus.from_core(self._op("batch.status", data))

    def resolve_payout(
        self, reference: str, *, deadline: float = 120.0, poll_interval: float = 2.0, max_interval: float = 30.0
    ) -> Payout:
        """Polls the payout until its status is final, waiting longer between polls each time.

        Returns the final Payout. Raises ResolveTimeoutError (with the last Payout seen) when
        ``deadline`` seconds pass first. Transient failures are polled through; other errors
        (an unknown reference, refused credentials) are raised at once.
        """
        end = self._clock() + deadline
        last: Payout | None = None
        polls = 0
        while True:
            try:
                payout = self.payout_status(reference)
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

    ``token`` may also be an async function. ``sleep`` is awaited between attempts; the log
    hooks are plain functions. Close it with ``await client.aclose()`` or ``async with``.
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
        sleep: Callable[[float], Awaitable[None]] = anyio.sleep,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        super().__init__(
            client_id,
            environment=environment,
            base_url=base_url,
            client_secret=client_secret,
            basic_token=basic_token,
            max_attempts=max_attempts,
            timeout=timeout,
            timeouts=timeouts,
            backoff=backoff,
            on_request=on_request,
            on_response=on_response,
            on_retry=on_retry,
            clock=clock,
        )
        if http_client is not None and transport is not None:
            raise ValueError("give either http_client or transport, not both")
        self._token = token
        self._owns_http = http_client is None
        self._http = http_client if http_client is not None else httpx.AsyncClient(transport=transport)
        self._sleep = sleep

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes the HTTP connections (only those of an httpx client this client created)."""
        if self._owns_http:
            await self._http.aclose()

    async def _current_token(self) -> object:
        if not callable(self._token):
            return self._token
        value = self._token()
        return await value if inspect.isawaitable(value) else value

    async def _execute(self, exchange: _Exchange) -> Any:
        attempt = 0
        while True:
            attempt += 1
            request = self._request(self._http, exchange, await self._current_token())
            self._sent(exchange, request, attempt)
            why: Exception
            try:
                response = await self._http.send(request)
            except httpx.RequestError as exc:
                delay, why = self._retry_after_transport(exchange, exc, attempt), exc
            else:
                try:
                    return self._parse(exchange, request, response, attempt)
                except ApiError as exc:
                    delay, why = self._retry_after_api_error(exchange, exc, attempt), exc
            self._retrying(exchange, request, attempt, delay, why)
            await self._sleep(delay)

    async def _op(self, name: str, data: dict[str, Any]) -> Any:
        return await self._execute(_Exchange(op_entry(name), data))

    async def scan(self, qr_text: str) -> ScannedQr:
        """Reads a payment QR code (its content as text)."""
        return ScannedQr.from_core(await self._op("payouts.scan", _scan_input(qr_text)))

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
        return Payout.from_core(await self._execute(exchange))

    async def payout_status(self, reference: str) -> Payout:
        """The current state of the payout of the QR ``reference``."""
        return Payout.from_core(await self._op(_STATUS, {"reference": reference}))

    async def banks(self, branch_code: str) -> list[Bank]:
        """The banks that batch transfers can be sent to."""
        return [Bank.from_core(b) for b in await self._op("batch.banks", {"branch_code": branch_code})]

    async def authorize_batch(
        self,
        branch_code: str,
        process_id: str | uuid.UUID,
        webhook_url: str,
        webhook_token: str,
        transfers: Sequence[BatchTransfer],
    ) -> BatchAuthorization:
        """Submits a batch of transfers; see Client.authorize_batch."""
        data = _authorize_input(branch_code, process_id, webhook_url, webhook_token, transfers)
        return BatchAuthorization.from_core(await self._op("batch.authorize", data))

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
        return BatchStatus.from_core(await self._op("batch.status", data))

    async def resolve_payout(
        self, reference: str, *, deadline: float = 120.0, poll_interval: float = 2.0, max_interval: float = 30.0
    ) -> Payout:
        """Polls the payout until its status is final; see Client.resolve_payout."""
        end = self._clock() + deadline
        last: Payout | None = None
        polls = 0
        while True:
            try:
                payout = await self.payout_status(reference)
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
