"""The client's money promises: uncertain payments, sent once, time limits, errors, secrets."""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import json
import pickle
import socket
import threading
from collections.abc import Iterator
from decimal import Decimal
from typing import Any

import httpx
import pytest
from test_client import ANSWERS, CALLS, FIXED_QR, OPEN_QR, PROCESS, SECRET, TRANSFER, Clock, Provider, kind, make, run

from quorvel_bo.payouts import (AmbiguousPaymentError, ApiError, ApiFieldError, AsyncClient, AuthenticationError,
                                Client, ClientClosedError, DecodeError, PayoutNotFoundError, ProtocolError,
                                ResolveTimeoutError, TransportError, UncertainPaymentEvent, ValidationError,
                                WebhookAuthError)
from quorvel_bo.payouts._core import OpEntry
from quorvel_bo.payouts._retry import Backoff, decide, retry_after_seconds


def body(code: str, message: str = "fallo") -> str:
    return json.dumps({"code": code, "message": message})


# --- uncertain payments -------------------------------------------------------------------------

@pytest.mark.parametrize(
    ("reply", "code"),
    [
        ((500, body("99")), "99"), ((503, body("91")), "91"), ((502, "<html>bad gateway</html>"), None),
        ((408, ""), None), ((200, ""), None), ((200, '{"code":"00","data":{"numeroReferencia":'), None),
        ((200, '{"code":"00","data":{}}'), None), ((200, body("96")), "96"), ((200, body("94")), "94"),
        (httpx.ReadTimeout, None), (httpx.WriteError, None), (httpx.RemoteProtocolError, None),
    ],
)
def test_a_payment_that_may_have_moved_is_uncertain(kind: str, reply: Any, code: str | None) -> None:
    provider, events = Provider(reply), list[UncertainPaymentEvent]()
    with pytest.raises(AmbiguousPaymentError) as info:
        run(make(provider, kind=kind, on_uncertain=events.append), CALLS["pay"])
    error = info.value
    assert (error.reference, error.transaction_id, error.code, len(provider.requests)) == ("104589", "ord-1", code, 1)
    assert [(e.reference, e.transaction_id, e.amount, e.reason) for e in events] == [
        ("104589", "ord-1", Decimal("150"), error.message)]


@pytest.mark.parametrize("reply", [(400, body("05")), (404, body("14")), (409, body("21")), (200, body("51")),
                                   (403, body("403"))])
def test_a_definite_refusal_of_a_payment_is_not_uncertain(kind: str, reply: Any) -> None:
    events: list[Any] = []
    with pytest.raises((ApiError, AuthenticationError)):
        run(make(Provider(reply), kind=kind, on_uncertain=events.append), CALLS["pay"])
    assert events == []


def _raise() -> str:
    raise LookupError("token service down")


@pytest.mark.parametrize(
    ("options", "raised", "message"),
    [
        ({"token": ""}, ValidationError, "must not be empty"), ({"token": "  "}, ValidationError, "must not be empty"),
        ({"token": "t\u00e9"}, ValidationError, "must be ASCII text"),
        ({"token": _raise}, LookupError, "token service down"),
    ],
)
def test_a_payment_refused_before_sending_is_not_uncertain(
    kind: str, options: dict[str, Any], raised: type[Exception], message: str | None
) -> None:
    provider, events = Provider(ANSWERS["pay"]), list[Any]()
    with pytest.raises(raised) as info:
        run(make(provider, kind=kind, on_uncertain=events.append, **options), CALLS["pay"])
    assert message is None or str(info.value) == message
    assert (provider.requests, events) == ([], [])
    if raised is ValidationError:
        assert info.value.field == "token"  # type: ignore[attr-defined]


def test_a_payment_to_a_url_httpx_cannot_speak_is_not_uncertain(kind: str) -> None:
    events: list[Any] = []
    cls = Client if kind == "sync" else AsyncClient
    with pytest.raises(TransportError) as info:
        run(cls("my-client", token=SECRET, base_url="ftp://gw.example/", on_uncertain=events.append), CALLS["pay"])
    assert (type(info.value.__cause__), events) == (httpx.UnsupportedProtocol, [])


@pytest.fixture
def silent_server() -> Iterator[str]:
    """A loopback server that accepts connections and reads, but never answers."""
    listener = socket.create_server(("127.0.0.1", 0))
    held: list[socket.socket] = []
    stop = threading.Event()

    def accept() -> None:
        listener.settimeout(0.05)
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                continue
            held.append(conn)

    thread = threading.Thread(target=accept, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{listener.getsockname()[1]}/"
    stop.set()
    thread.join(2)
    for conn in held:
        conn.close()
    listener.close()


@pytest.mark.timeout(10)
@pytest.mark.parametrize("hook_kind", ["plain", "coroutine"])
def test_cancelling_an_async_payment_reports_it_uncertain(silent_server: str, hook_kind: str) -> None:
    events: list[UncertainPaymentEvent] = []

    async def record(event: UncertainPaymentEvent) -> None:
        await asyncio.sleep(0)
        events.append(event)

    hook = events.append if hook_kind == "plain" else record

    async def scenario() -> None:
        async with AsyncClient("my-client", token=SECRET, base_url=silent_server, on_uncertain=hook) as client:
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(client.pay(OPEN_QR, "2012345678", "ord-9", amount="25.50", description="x"), 0.3)

    asyncio.run(scenario())
    assert [(e.reference, e.transaction_id, e.amount) for e in events] == [("7", "ord-9", Decimal("25.50"))]
    assert "cancelled" in events[0].reason


def test_a_401_is_tried_once_more_with_a_fresh_token(kind: str) -> None:
    tokens = iter(["stale", "fresh", "fresher"])
    provider = Provider((401, ""), ANSWERS["pay"])
    run(make(provider, kind=kind, token=lambda: next(tokens)), CALLS["pay"])
    assert [r.headers["access_token"] for r in provider.requests] == ["stale", "fresh"]
    twice = Provider((401, ""))
    with pytest.raises(AuthenticationError):
        run(make(twice, kind=kind, token=lambda: "x"), CALLS["status"])
    assert len(twice.requests) == 2
    fixed = Provider((401, ""))
    with pytest.raises(AuthenticationError):
        run(make(fixed, kind=kind), CALLS["pay"])
    assert len(fixed.requests) == 1


def test_not_found_means_paying_again_is_safe(kind: str) -> None:
    clock = Clock()
    with pytest.raises(PayoutNotFoundError) as info:
        run(make(Provider((404, body("14", "no existe un pago"))), clock, kind), lambda c: c.resolve_payout("104589"))
    assert (isinstance(info.value, ApiError), info.value.status, info.value.code, clock.sleeps) == (True, 404, "14", [])


# --- time limits --------------------------------------------------------------------------------

def test_an_unknown_time_out_name_is_refused() -> None:
    with pytest.raises(ValueError, match="'pay'.*payouts.pay"):
        Client("my-client", token=SECRET, timeouts={"pay": 5})


@pytest.mark.timeout(4)
def test_time_limits_hold_against_a_server_that_never_answers(silent_server: str) -> None:
    with Client("my-client", token=SECRET, base_url=silent_server, timeout=0.3, max_attempts=1) as client:
        with pytest.raises(AmbiguousPaymentError):
            client.pay(FIXED_QR, "2012345678", "ord-1")
        with pytest.raises(TransportError):
            client.banks("SUC-01")
        # The deadline holds within one request's time-out, however many polls fail.
        with pytest.raises(ResolveTimeoutError):
            client.resolve_payout("104589", deadline=0.5, poll_interval=0.1)


@pytest.mark.parametrize(
    ("reply", "sleeps"),
    [
        ((503, "", {"Retry-After": "2"}), [2]), ((429, body("29"), {"Retry-After": "100"}), [3]),
        ((429, body("29"), {"Retry-After": "Wed, 21 Oct 2015 07:28:00 GMT"}), [0]),
        ((429, body("29"), {}), []),
    ],
)
def test_retry_after_is_honoured_for_reads(kind: str, reply: Any, sleeps: list[float]) -> None:
    clock = Clock()
    with contextlib.suppress(ApiError):
        run(make(Provider(reply, ANSWERS["status"]), clock, kind), CALLS["status"])
    assert clock.sleeps == sleeps
    assert retry_after_seconds("nonsense") is None


# --- errors -------------------------------------------------------------------------------------

ERRORS = [
    ValidationError("must not be empty", field="token"),
    AuthenticationError("expired", status=401),
    ApiError("cuenta bloqueada", status=500, errors=(ApiFieldError(None, "x", "01"),), retryable=True, request_id="r-1"),
    PayoutNotFoundError("no existe", status=404),
    AmbiguousPaymentError("en verificación", errors=(ApiFieldError(None, "y", "94"),), reference="1", transaction_id="t"),
    DecodeError("bad body"), WebhookAuthError("bad token"), ProtocolError("bad payload"),
    TransportError("no answer", operation="payouts.status", attempts=3),
    ResolveTimeoutError("not final", reference="1", payout=None), ClientClosedError("closed"),
]


@pytest.mark.parametrize("error", ERRORS, ids=lambda e: type(e).__name__)
def test_every_error_pickles_to_an_equal_one(error: Exception) -> None:
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy, copy.__dict__, str(copy)) == (type(error), error, error.__dict__, str(error))


def test_api_error_repr_and_request_id(kind: str) -> None:
    assert repr(ERRORS[2]) == "ApiError('cuenta bloqueada', status=500, code='01', retryable=True, request_id='r-1')"
    with pytest.raises(ApiError) as info:
        run(make(Provider((400, body("05"), {"X-Request-Id": "req-77"})), kind=kind), CALLS["status"])
    assert info.value.request_id == "req-77"


@pytest.mark.parametrize(
    ("call", "raised", "message"),
    [
        (lambda c: c.payout_status(104589), TypeError, "reference must be a str, not int"),
        (lambda c: c.pay(FIXED_QR, None, "o"), TypeError, "source_account must be a str, not NoneType"),
        (lambda c: c.banks(None), TypeError, "branch_code must be a str, not NoneType"),
        (lambda c: c.batch_status("S", PROCESS, batch_number=7781), TypeError, "batch_number must be a str, not int"),
        (lambda c: c.pay(OPEN_QR, "2012345678", "o", amount="1e400", description="x"), ValidationError,
         "invalid amount `1e400`: too large"),
        (lambda c: c.pay(OPEN_QR, "2012345678", "o", amount="1_000", description="x"), ValidationError,
         "invalid amount `1_000`"),
        (lambda c: c.authorize_batch("S", PROCESS, "https://h.example/x", "tok",
                                     [dataclasses.replace(TRANSFER, amount="1e400")]),
         ValidationError, "invalid amount `1E+400`: too large"),
    ],
)
def test_wrong_inputs_name_the_parameter(kind: str, call: Any, raised: type[Exception], message: str) -> None:
    provider = Provider(ANSWERS["pay"])
    with pytest.raises(raised) as info:
        run(make(provider, kind=kind), call)
    assert str(info.value) == message
    assert provider.requests == []
    if isinstance(info.value, ValidationError):
        assert info.value.field in ("amount", "transfers.amount")


# --- secrets ------------------------------------------------------------------------------------

def test_a_base_url_with_credentials_is_refused(kind: str) -> None:
    with pytest.raises(ValueError, match="credentials"):
        make(Provider(), kind=kind, base_url="https://user:pw@gw.example/")


# --- the retry decision, as a table -------------------------------------------------------------

PAY = OpEntry("payouts.pay", idempotent=False, timeout=90, uncertain_when_lost=True)
READ = OpEntry("payouts.status", idempotent=True, timeout=90)
SUBMIT = OpEntry("batch.authorize", idempotent=False, timeout=None)
REQ = httpx.Request("GET", "https://h.example/")


def api(status: int, retryable: bool = False) -> ApiError:
    return ApiError("x", status=status, retryable=retryable)


@pytest.mark.parametrize(
    ("op", "failure", "attempt", "options", "verdict"),
    [
        # nothing left the machine: safe to try again for every operation, while attempts last
        (PAY, httpx.ConnectError("x", request=REQ), 1, {}, "retry"),
        (PAY, httpx.ConnectError("x", request=REQ), 3, {}, "raise"),
        (SUBMIT, httpx.PoolTimeout("x", request=REQ), 1, {}, "retry"),
        (PAY, httpx.LocalProtocolError("x", request=REQ), 1, {}, "raise"),
        # sent, answer lost
        (PAY, httpx.ReadTimeout("x", request=REQ), 1, {}, "uncertain"),
        (READ, httpx.ReadTimeout("x", request=REQ), 1, {}, "retry"),
        (READ, httpx.ReadTimeout("x", request=REQ), 3, {}, "raise"),
        (SUBMIT, httpx.ReadTimeout("x", request=REQ), 1, {}, "raise"),
        # answers
        (PAY, AmbiguousPaymentError("94"), 1, {}, "uncertain"),
        (PAY, api(500), 1, {}, "uncertain"), (PAY, api(408), 1, {}, "uncertain"),
        (PAY, DecodeError("x"), 1, {}, "uncertain"), (PAY, api(429, True), 1, {}, "raise"),
        (PAY, api(400), 1, {}, "raise"),
        (PAY, AuthenticationError("x", status=401), 1, {"can_refresh": True}, "retry"),
        (PAY, AuthenticationError("x", status=401), 1, {}, "raise"),
        (READ, AuthenticationError("x", status=403), 1, {"can_refresh": True}, "raise"),
        (READ, api(503, True), 1, {}, "retry"), (READ, api(503, True), 3, {}, "raise"),
        (READ, api(500), 1, {}, "raise"), (READ, api(429), 1, {"retry_after": 1.0}, "retry"),
        (READ, DecodeError("x"), 1, {}, "raise"), (SUBMIT, api(503, True), 1, {}, "raise"),
    ],
)
def test_retry_decision(op: OpEntry, failure: Exception, attempt: int, options: dict[str, Any], verdict: str) -> None:
    decision = decide(op, failure, attempt=attempt, max_attempts=3, backoff=Backoff(uniform=lambda: 0.5), **options)
    assert decision.verdict.value == verdict
