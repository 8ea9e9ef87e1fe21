"""The synchronous client over a mock transport: requests sent, time-outs, retries, results, hooks."""

from __future__ import annotations

import json
from collections.abc import Callable
from decimal import Decimal
from typing import Any

import httpx
import pytest

import quorvel_bo.payouts as payouts
from quorvel_bo.payouts import (
    AccessToken,
    AmbiguousPaymentError,
    ApiError,
    ApiFieldError,
    AuthenticationError,
    Backoff,
    Bank,
    BatchTransfer,
    Client,
    DecodeError,
    PaymentStatus,
    PayoutsError,
    ProtocolError,
    Recipient,
    ResolveTimeoutError,
    ScannedQr,
    TransportError,
    ValidationError,
)

SANDBOX = "https://api-test.quorvel.bo/sandbox"
SECRET = "tok-SECRET-123"
WEBHOOK_SECRET = "s3cr3t-t0ken-2024-xyz"
PROCESS = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
FIXED_QR = ScannedQr(
    reference="104589",
    amount=Decimal("150"),
    currency="BOB",
    description="Factura 881",
    recipient=Recipient(account="10000045821", holder="Comercial Andina SRL", bank_code="1001"),
    expires_on=None,
)
OPEN_QR = ScannedQr(
    reference="7", amount=Decimal(0), currency=None, description=None, recipient=Recipient(), expires_on=None
)
TRANSFER = BatchTransfer(
    transaction_id="TRX-0001",
    amount="1250.50",
    date="2026-12-07",
    source_account="2012345678",
    destination_account="3004567812",
    bank_code="1001",
    branch_city="lpz",
    description="Sueldo diciembre",
    recipient_document_id="4589123",
    recipient_name="Maria Quispe",
)
SCAN_DATA = {
    "numeroReferencia": 104589,
    "importe": 150.0,
    "moneda": "BOB",
    "glosa": "Factura 881",
    "cuentaDestino": 10000045821,
    "titularDestino": "Comercial Andina SRL",
    "codigoBancoDestino": 1001,
}


def payout_data(estado: str = "PENDIENTE") -> dict[str, Any]:
    return {"numeroReferencia": "104589", "transaccionId": "88122", "estado": estado, "importe": "150.00"}


AUTHORIZED = {
    "nroLote": 7781,
    "processId": PROCESS,
    "transacciones": [{"transaccionId": "TRX-0001", "estado": "PENDIENTE"}],
}
BATCH = {"nroLote": "7781", "transacciones": [{"transaccionId": "TRX-0001", "estado": "PAGADO", "importe": 1250.5}]}
BANKS = [{"codigoBanco": 1001, "descripcion": "Banco Union"}]

Reply = Any  # (status, body) or an httpx exception class


def ok(data: Any) -> tuple[int, str]:
    return 200, json.dumps({"code": "00", "data": data})


class Provider:
    """A scripted provider: answers each request with the next reply (the last one repeats)."""

    def __init__(self, *replies: Reply) -> None:
        self.replies = list(replies)
        self.requests: list[httpx.Request] = []

    def __call__(self, request: httpx.Request) -> httpx.Response:
        self.requests.append(request)
        reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
        if isinstance(reply, type):
            raise reply("simulated failure", request=request)
        status, body = reply
        return httpx.Response(status, text=body)


class Recorder:
    """Fake time: sleeping advances the clock and is recorded."""

    def __init__(self) -> None:
        self.now = 1000.0
        self.sleeps: list[float] = []

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds

    def clock(self) -> float:
        return self.now


def make(provider: Provider, time: Recorder | None = None, **options: Any) -> Client:
    time = time or Recorder()
    options.setdefault("token", SECRET)
    options.setdefault("backoff", Backoff(base=1, cap=3, uniform=lambda: 1.0))
    return Client("my-client", transport=httpx.MockTransport(provider), sleep=time.sleep, clock=time.clock, **options)


CALLS: dict[str, Callable[[Client], Any]] = {
    "scan": lambda c: c.scan("0002010102"),
    "pay": lambda c: c.pay(FIXED_QR, "2012345678", "ord-2024-0001"),
    "pay_open": lambda c: c.pay(OPEN_QR, "2012345678", "ord-2", amount=Decimal("25.50"), description="  Pago  "),
    "status": lambda c: c.payout_status("104589"),
    "banks": lambda c: c.banks("SUC-01"),
    "authorize": lambda c: c.authorize_batch(
        "SUC-01", PROCESS, "https://payouts.example.com/hook", WEBHOOK_SECRET, [TRANSFER]
    ),
    "batch_status": lambda c: c.batch_status("SUC-01", PROCESS, batch_number="7781"),
}
ANSWERS = {
    "scan": ok(SCAN_DATA),
    "pay": ok(payout_data()),
    "pay_open": ok(payout_data()),
    "status": ok(payout_data()),
    "banks": ok(BANKS),
    "authorize": ok(AUTHORIZED),
    "batch_status": ok(BATCH),
}


@pytest.mark.parametrize(
    ("call", "method", "path", "body", "timeout"),
    [
        ("scan", "POST", "/payout/sync/v3/qr/scan", '{"imagen":"0002010102"}', 40),
        (
            "pay",
            "POST",
            "/payout/sync/v3/qr/confirm",
            '{"cuentaOrigen":"2012345678","importe":0.00,"numeroReferencia":"104589","transaccionId":"ord-2024-0001"}',
            90,
        ),
        (
            "pay_open",
            "POST",
            "/payout/sync/v3/qr/confirm",
            '{"cuentaOrigen":"2012345678","glosa":"Pago","importe":25.5,"numeroReferencia":"7","transaccionId":"ord-2"}',
            90,
        ),
        ("status", "GET", "/payout/sync/v3/qr/status/104589", "", 90),
        ("banks", "POST", "/payout/async/v3/bancos", "", None),
        (
            "authorize",
            "POST",
            "/payout/async/v3/lote/autorizar",
            f'{{"processId":"{PROCESS}","transacciones":[{{"ciNitDestino":"4589123","codeBanco":"1001",'
            '"codeSucursal":"LPZ","cuentaDestino":"3004567812","cuentaOrigen":"2012345678",'
            '"fechaTransaccion":"2026-12-07","glosa":"Sueldo diciembre","importe":1250.5,"tipoMoneda":"BOB",'
            '"titularDestino":"Maria Quispe","transaccionId":"TRX-0001"}],'
            f'"webhookUrl":"https://payouts.example.com/hook?token={WEBHOOK_SECRET}"}}',
            None,
        ),
        ("batch_status", "GET", f"/payout/async/v3/lote/estado/{PROCESS}?nroLote=7781", "", None),
    ],
)
def test_each_operation_sends_the_built_request_with_its_timeout(
    call: str, method: str, path: str, body: str, timeout: float | None
) -> None:
    provider = Provider(ANSWERS[call])
    with make(provider) as client:
        CALLS[call](client)
    (request,) = provider.requests
    assert (request.method, str(request.url), request.content.decode()) == (method, SANDBOX + path, body)
    expected_headers = {
        "accept": "application/json",
        "authorization": f"Bearer {SECRET}",
        "content-type": "application/json",
        "access_token": SECRET,
        "client_id": "my-client",
    }
    if "async" in path:
        expected_headers["branchcode"] = "SUC-01"
    assert {k: v for k, v in request.headers.items() if k in expected_headers} == expected_headers
    assert request.extensions["timeout"] == dict.fromkeys(("connect", "read", "write", "pool"), timeout)


@pytest.mark.parametrize(
    ("options", "call", "timeout"),
    [
        ({"timeout": 15.0}, "banks", 15.0),
        ({"timeout": 15.0}, "scan", 40),
        ({"timeouts": {"payouts.scan": 5.0}}, "scan", 5.0),
        ({"timeouts": {"payouts.pay": None}}, "pay", None),
    ],
)
def test_caller_timeouts(options: dict[str, Any], call: str, timeout: float | None) -> None:
    provider = Provider(ANSWERS[call])
    CALLS[call](make(provider, **options))
    assert provider.requests[0].extensions["timeout"]["read"] == timeout


@pytest.mark.parametrize(
    ("options", "url"),
    [
        ({"environment": "production"}, "https://api.quorvel.bo/payout/sync/v3/qr/status/104589"),
        ({"base_url": "http://localhost:8080/gw/"}, "http://localhost:8080/gw/payout/sync/v3/qr/status/104589"),
    ],
)
def test_environment_and_base_url(options: dict[str, Any], url: str) -> None:
    provider = Provider(ANSWERS["status"])
    make(provider, **options).payout_status("104589")
    assert str(provider.requests[0].url) == url


def test_results_are_typed_with_decimal_amounts() -> None:
    scanned = make(Provider(ANSWERS["scan"])).scan("qr")
    assert scanned == FIXED_QR
    payout = make(Provider(ok(payout_data("pagado ")))).payout_status("104589")
    assert (payout.status, payout.raw_status, payout.amount) == (PaymentStatus.PAID, "pagado ", Decimal("150"))
    assert make(Provider(ANSWERS["banks"])).banks("SUC-01") == [Bank(code="1001", name="Banco Union")]
    authorization = make(Provider(ANSWERS["authorize"])).authorize_batch(
        "SUC-01", PROCESS, "https://payouts.example.com/hook", WEBHOOK_SECRET, [TRANSFER]
    )
    assert (authorization.batch_number, authorization.transfers[0].status) == ("7781", PaymentStatus.PENDING)
    batch = make(Provider(ANSWERS["batch_status"])).batch_status("SUC-01", PROCESS, transaction_id="TRX-0001")
    assert (batch.batch_number, batch.transfers[0].amount, batch.transfers[0].status) == (
        "7781",
        Decimal("1250.5"),
        PaymentStatus.PAID,
    )


# --- retries --------------------------------------------------------------------------------------

UNAVAILABLE = (503, "service unavailable")
FAILED = (500, json.dumps({"code": "01", "message": "cuenta bloqueada"}))
AMBIGUOUS_96 = (200, json.dumps({"code": "96", "message": "tiempo de espera agotado"}))


@pytest.mark.parametrize(
    ("call", "replies", "raised", "attempts"),
    [
        # idempotent: transient failures are tried again, up to three attempts
        ("status", [UNAVAILABLE, httpx.ReadTimeout, ANSWERS["status"]], None, 3),
        ("status", [httpx.ConnectError, httpx.RemoteProtocolError, ANSWERS["status"]], None, 3),
        ("status", [UNAVAILABLE], ApiError, 3),
        ("status", [httpx.ReadTimeout], TransportError, 3),
        ("banks", [(429, ""), ANSWERS["banks"]], None, 2),
        ("batch_status", [httpx.ReadError, ANSWERS["batch_status"]], None, 2),
        # failures that another attempt would only repeat
        ("status", [FAILED], ApiError, 1),
        ("status", [(401, "")], AuthenticationError, 1),
        ("scan", [(200, "not json")], DecodeError, 1),
        # payments: only a connection that never opened is tried again
        ("pay", [httpx.ConnectError, httpx.ConnectTimeout, ANSWERS["pay"]], None, 3),
        ("pay", [httpx.ConnectError], TransportError, 3),
        ("pay", [httpx.ReadTimeout], AmbiguousPaymentError, 1),
        ("pay", [httpx.WriteError], AmbiguousPaymentError, 1),
        ("pay", [httpx.RemoteProtocolError], AmbiguousPaymentError, 1),
        ("pay", [UNAVAILABLE], AmbiguousPaymentError, 1),
        ("pay", [AMBIGUOUS_96], AmbiguousPaymentError, 1),
        ("pay", [FAILED], ApiError, 1),
        ("pay", [httpx.ConnectError, httpx.ReadTimeout], AmbiguousPaymentError, 2),
        # batch authorisation: sent once
        ("authorize", [httpx.ReadTimeout], TransportError, 1),
        ("authorize", [UNAVAILABLE], ApiError, 1),
        ("authorize", [httpx.ConnectError, ANSWERS["authorize"]], None, 2),
    ],
)
def test_retry_policy(call: str, replies: list[Reply], raised: type[Exception] | None, attempts: int) -> None:
    provider = Provider(*replies)
    time = Recorder()
    client = make(provider, time)
    if raised is None:
        CALLS[call](client)
    else:
        with pytest.raises(raised) as info:
            CALLS[call](client)
        assert type(info.value) is raised
    assert len(provider.requests) == attempts
    assert time.sleeps == [1, 2][: attempts - 1]


def test_backoff_has_full_jitter_under_an_exponential_cap() -> None:
    backoff = Backoff(base=0.5, cap=3, uniform=lambda: 0.5)
    assert [backoff.ceiling(n) for n in range(1, 6)] == [0.5, 1, 2, 3, 3]
    assert backoff.delay(3) == 1
    assert 0 <= Backoff().delay(2) <= 1


def test_max_attempts_bounds_the_retries() -> None:
    provider = Provider(UNAVAILABLE)
    with pytest.raises(ApiError):
        make(provider, max_attempts=5).payout_status("104589")
    assert len(provider.requests) == 5


def test_ambiguous_payment_says_what_to_look_up() -> None:
    with pytest.raises(AmbiguousPaymentError) as info:
        make(Provider(AMBIGUOUS_96)).pay(FIXED_QR, "2012345678", "ord-1")
    error = info.value
    assert (str(error), error.reference, error.transaction_id) == ("tiempo de espera agotado", "104589", "ord-1")
    assert error.errors == (ApiFieldError(field=None, message="tiempo de espera agotado", code="96"),)
    with pytest.raises(AmbiguousPaymentError) as info:
        make(Provider(UNAVAILABLE)).pay(FIXED_QR, "2012345678", "ord-1")
    assert isinstance(info.value.__cause__, ApiError) and info.value.__cause__.status == 503


def test_transport_error_after_retries_keeps_its_cause() -> None:
    with pytest.raises(TransportError) as info:
        make(Provider(httpx.ReadTimeout)).payout_status("104589")
    assert (info.value.operation, info.value.attempts) == ("payouts.status", 3)
    assert isinstance(info.value.__cause__, httpx.ReadTimeout)


# --- tokens ---------------------------------------------------------------------------------------


def test_token_source_is_called_for_every_attempt() -> None:
    tokens = iter(["first", "second"])
    provider = Provider(UNAVAILABLE, ANSWERS["status"])
    make(provider, token=lambda: AccessToken(access_token=next(tokens))).payout_status("104589")
    assert [r.headers["access_token"] for r in provider.requests] == ["first", "second"]


def test_token_source_of_the_wrong_type_is_refused() -> None:
    with pytest.raises(TypeError, match="AccessToken or a str"):
        make(Provider(ANSWERS["status"]), token=lambda: 42).payout_status("104589")


# --- resolve_payout -------------------------------------------------------------------------------


def test_resolve_payout_polls_with_backoff_until_final() -> None:
    provider = Provider(
        ok(payout_data("PENDIENTE")),
        UNAVAILABLE,
        UNAVAILABLE,
        UNAVAILABLE,
        ok(payout_data("PROCESO")),
        ok(payout_data("RECHAZADO")),
    )
    time = Recorder()
    payout = make(provider, time).resolve_payout("104589", poll_interval=2)
    assert payout.status is PaymentStatus.REJECTED
    # polls wait 2, 4, 8 s; the three failed attempts of the second poll wait 1 and 2 s in between
    assert time.sleeps == [2, 1, 2, 4, 8]


def test_resolve_payout_gives_up_at_the_deadline() -> None:
    time = Recorder()
    with pytest.raises(ResolveTimeoutError) as info:
        make(Provider(ok(payout_data("EN_PROCESO"))), time).resolve_payout(
            "104589", deadline=20, poll_interval=2, max_interval=5
        )
    assert time.sleeps == [2, 4, 5, 5, 4]
    assert info.value.payout is not None and info.value.payout.status is PaymentStatus.PROCESSING
    assert str(info.value) == "payout 104589 is not final after 20 s (last status: processing)"


@pytest.mark.parametrize(("reply", "raised"), [(FAILED, ApiError), ((403, ""), AuthenticationError)])
def test_resolve_payout_raises_definite_failures_at_once(reply: Reply, raised: type[Exception]) -> None:
    provider = Provider(reply)
    with pytest.raises(raised):
        make(provider).resolve_payout("104589")
    assert len(provider.requests) == 1


# --- hooks ----------------------------------------------------------------------------------------


def test_hooks_see_each_exchange_but_no_secret() -> None:
    events: list[Any] = []
    hooks = {"on_request": events.append, "on_response": events.append, "on_retry": events.append}
    client = make(Provider(ANSWERS["authorize"]), **hooks)
    client.authorize_batch("SUC-01", PROCESS, "https://payouts.example.com/hook", WEBHOOK_SECRET, [TRANSFER])
    client = make(Provider(httpx.ConnectError, ANSWERS["pay"]), base_url="https://user:pw@gw.example/", **hooks)
    client.pay(FIXED_QR, "2012345678", "ord-1")
    assert [type(e).__name__ for e in events] == [
        "RequestEvent",
        "ResponseEvent",
        "RequestEvent",
        "RetryEvent",
        "RequestEvent",
        "ResponseEvent",
    ]
    retry = events[3]
    assert (retry.operation, retry.attempt, retry.delay, retry.reason) == ("payouts.pay", 1, 1, "ConnectError")
    assert events[0].headers["authorization"] == events[0].headers["access_token"] == "[redacted]"
    assert events[0].headers["branchcode"] == "SUC-01"
    text = repr(events)
    for secret in (SECRET, WEBHOOK_SECRET, "pw"):
        assert secret not in text


def test_a_failing_hook_does_not_fail_the_call() -> None:
    def broken(event: object) -> None:
        raise RuntimeError("hook bug")

    payout = make(Provider(ANSWERS["pay"]), on_request=broken, on_response=broken).pay(FIXED_QR, "2012345678", "o")
    assert payout.reference == "104589"


# --- errors and inputs ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "raised", "attributes"),
    [
        (
            lambda c: c.payout_status("12a"),
            ValidationError,
            {"field": "reference", "message": "must be 1 to 20 digits"},
        ),
        (
            lambda c: c.pay(FIXED_QR, "2012345678", "ord-1", amount="149.99"),
            ValidationError,
            {"field": "amount", "message": "the QR has a fixed amount; omit it"},
        ),
        (
            lambda c: c.pay(OPEN_QR, "2012345678", "o", amount="12,5", description="x"),
            ValidationError,
            {"field": "amount", "message": "invalid amount `12,5`"},
        ),
        (lambda c: c.scan(12345), ProtocolError, {}),
        (lambda c: c.pay(OPEN_QR, "2012345678", "o", amount=12.5, description="x"), TypeError, {}),
        (lambda c: c.pay({"reference": "1"}, "2012345678", "o"), TypeError, {}),
        (lambda c: c.authorize_batch("SUC-01", PROCESS, "https://h.example", WEBHOOK_SECRET, [{}]), TypeError, {}),
    ],
)
def test_input_failures_send_nothing(
    call: Callable[[Client], Any], raised: type[Exception], attributes: dict[str, Any]
) -> None:
    provider = Provider(ANSWERS["pay"])
    with pytest.raises(raised) as info:
        call(make(provider))
    assert {k: getattr(info.value, k) for k in attributes} == attributes
    assert provider.requests == []


def test_float_refusal_says_what_to_write() -> None:
    with pytest.raises(TypeError, match=r"not float.*Decimal\('0\.1'\) or '0\.1'"):
        make(Provider(ANSWERS["pay"])).pay(OPEN_QR, "2012345678", "o", amount=0.1, description="x")


@pytest.mark.parametrize(
    ("reply", "raised", "attributes"),
    [
        (
            (401, '{"error":"invalid_token","error_description":"token expired"}'),
            AuthenticationError,
            {"status": 401, "message": "token expired"},
        ),
        (
            FAILED,
            ApiError,
            {
                "status": 500,
                "retryable": False,
                "message": "cuenta bloqueada",
                "errors": (ApiFieldError(field=None, message="cuenta bloqueada", code="01"),),
            },
        ),
        ((200, ""), DecodeError, {}),
    ],
)
def test_provider_failures_are_typed(reply: Reply, raised: type[PayoutsError], attributes: dict[str, Any]) -> None:
    with pytest.raises(raised) as info:
        make(Provider(reply), max_attempts=1).payout_status("104589")
    assert {k: getattr(info.value, k) for k in attributes} == attributes
    assert str(info.value) == info.value.message


@pytest.mark.parametrize(
    "options",
    [
        {"environment": "Sandbox"},
        {"max_attempts": 0},
        {"http_client": httpx.Client(), "transport": httpx.MockTransport(Provider())},
    ],
)
def test_bad_configuration_is_refused(options: dict[str, Any]) -> None:
    with pytest.raises(ValueError):
        Client("my-client", token=SECRET, **options)


def test_close_leaves_a_borrowed_http_client_open() -> None:
    borrowed = httpx.Client(transport=httpx.MockTransport(Provider(ANSWERS["status"])))
    with Client("my-client", token=SECRET, http_client=borrowed) as client:
        client.payout_status("104589")
    assert not borrowed.is_closed
    owned = make(Provider(ANSWERS["status"]))
    owned.close()
    with pytest.raises(RuntimeError, match="closed"):
        owned.payout_status("104589")


def test_credentials_stay_out_of_reprs() -> None:
    client = Client(
        "my-client", token=AccessToken(access_token=SECRET), client_secret="cs-SECRET", basic_token="bt-SECRET"
    )
    assert "SECRET" not in repr(client) + repr(AccessToken(access_token=SECRET))


PUBLIC = """
    call PROTOCOL_VERSION __version__
    Client AsyncClient Backoff Environment RequestEvent ResponseEvent RetryEvent parse_batch_webhook
    AccessToken Amount ScannedQr Recipient Payout PaymentStatus Bank BatchTransfer BatchAuthorization
    BatchTransferResult BatchStatus BatchTransferStatus BatchNotification
    PayoutsError ValidationError AuthenticationError ApiError ApiFieldError AmbiguousPaymentError DecodeError
    WebhookAuthError ProtocolError TransportError ResolveTimeoutError
"""


def test_public_surface() -> None:
    assert sorted(payouts.__all__) == sorted(PUBLIC.split())
    exceptions = [getattr(payouts, n) for n in payouts.__all__ if n.endswith("Error") and n != "ApiFieldError"]
    assert all(issubclass(e, PayoutsError) and e.__module__ == "quorvel_bo.payouts" for e in exceptions)
