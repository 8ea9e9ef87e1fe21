"""Both clients over a mock transport: requests sent, time-outs, retries, typed results, hooks; typed records,
amount inputs, the error mapping and the batch webhook helper."""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import datetime
import inspect
import json
from collections.abc import Callable
from decimal import Decimal
from typing import Any

import httpx
import pytest

import quorvel_bo.payouts as payouts
from quorvel_bo.payouts import (AccessToken, AmbiguousPaymentError, ApiError, ApiFieldError, AsyncClient,
                                AuthenticationError, Backoff, Bank, BatchAuthorization, BatchNotification, BatchStatus,
                                BatchTransfer, Client, ClientClosedError, DecodeError, PaymentStatus, Payout, PayoutsError,
                                ProtocolError, Recipient, ScannedQr, TransportError, ValidationError, WebhookAuthError, call,
                                parse_batch_webhook)
from quorvel_bo.payouts._core import _decoder
from quorvel_bo.payouts._errors import error_from_core
from quorvel_bo.payouts._types import amount_text

SANDBOX = "https://api-test.quorvel.bo/sandbox"
SECRET = "tok-SECRET-123"
HOOK_SECRET = "s3cr3t-t0ken-2024-xyz"
PROCESS = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
FIXED_QR = ScannedQr(reference="104589", amount=Decimal("150"), currency="BOB", description="Factura 881",
                     recipient=Recipient(account="10000045821", holder="Comercial Andina SRL", bank_code="1001"),
                     expires_on=None)
OPEN_QR = ScannedQr(reference="7", amount=Decimal(0), currency=None, description=None, recipient=Recipient(),
                    expires_on=None)
TRANSFER = BatchTransfer(transaction_id="TRX-0001", amount="1250.50", date="2026-12-07", source_account="2012345678",
                         destination_account="3004567812", bank_code="1001", branch_city="lpz",
                         description="Sueldo diciembre", recipient_document_id="4589123", recipient_name="Maria Quispe")


def ok(data: Any) -> tuple[int, str]:
    return 200, json.dumps({"code": "00", "data": data})


def payout_data(estado: str = "PENDIENTE") -> tuple[int, str]:
    return ok({"numeroReferencia": "104589", "transaccionId": "88122", "estado": estado, "importe": "150.00"})


SCAN_DATA = {"numeroReferencia": 104589, "importe": 150.0, "moneda": "BOB", "glosa": "Factura 881",
             "cuentaDestino": 10000045821, "titularDestino": "Comercial Andina SRL", "codigoBancoDestino": 1001}
BATCH = {"nroLote": "7781", "transacciones": [{"transaccionId": "TRX-0001", "estado": "PAGADO", "importe": 1250.5}]}
CALLS: dict[str, Callable[[Any], Any]] = {
    "scan": lambda c: c.scan("0002010102"),
    "pay": lambda c: c.pay(FIXED_QR, "2012345678", "ord-1"),
    "pay_open": lambda c: c.pay(OPEN_QR, "2012345678", "ord-2", amount=Decimal("25.50"), description="  Pago  "),
    "status": lambda c: c.payout_status("104589"),
    "banks": lambda c: c.banks("SUC-01"),
    "authorize": lambda c: c.authorize_batch("SUC-01", PROCESS, "https://payouts.example.com/hook", HOOK_SECRET, [TRANSFER]),
    "batch_status": lambda c: c.batch_status("SUC-01", PROCESS, batch_number="7781"),
    "batch_one": lambda c: c.batch_status("SUC-01", PROCESS, transaction_id="TRX-0001"),
}
ANSWERS = {"scan": ok(SCAN_DATA), "pay": payout_data(), "pay_open": payout_data(), "status": payout_data(),
           "banks": ok([{"codigoBanco": 1001, "descripcion": "Banco Union"}]), "batch_status": ok(BATCH),
           "batch_one": ok(BATCH), "authorize": ok({"nroLote": 7781, "processId": PROCESS, "transacciones": [
               {"transaccionId": "TRX-0001", "estado": "PENDIENTE"}]})}
UNAVAILABLE = (503, "service unavailable")
FAILED = (500, json.dumps({"code": "01", "message": "cuenta bloqueada"}))
REFUSED = (400, json.dumps({"code": "05", "message": "datos inválidos"}))
AMBIGUOUS_96 = (200, json.dumps({"code": "96", "message": "tiempo de espera agotado"}))


class Provider:
    """Answers each request with the next reply (the last one repeats): (status, body[, headers]) or an httpx error class."""

    def __init__(self, *replies: Any) -> None:
        self.replies = list(replies)
        self.requests: list[httpx.Request] = []

    def __call__(self, request: httpx.Request) -> httpx.Response:
        self.requests.append(request)
        reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
        if isinstance(reply, type):
            raise reply("simulated failure", request=request)
        return httpx.Response(reply[0], text=reply[1], headers=reply[2] if len(reply) > 2 else None)


class Clock:
    def __init__(self) -> None:
        self.now, self.sleeps = 1000.0, list[float]()

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds

    async def asleep(self, seconds: float) -> None:
        self.sleep(seconds)


@pytest.fixture(params=["sync", "async"])
def kind(request: pytest.FixtureRequest) -> str:
    return str(request.param)


def make(provider: Provider, clock: Clock | None = None, kind: str = "sync", **options: Any) -> Any:
    clock = clock or Clock()
    options.setdefault("token", SECRET)
    options.setdefault("backoff", Backoff(base=1, cap=3, uniform=lambda: 1.0))
    cls, sleep = (Client, clock.sleep) if kind == "sync" else (AsyncClient, clock.asleep)
    return cls("my-client", transport=httpx.MockTransport(provider), sleep=sleep, clock=lambda: clock.now, **options)


def run(client: Any, call: Callable[[Any], Any]) -> Any:
    result = call(client)
    return asyncio.run(result) if inspect.iscoroutine(result) else result


@pytest.mark.parametrize(
    ("call", "method", "path", "body", "timeout", "typed"),
    [
        ("scan", "POST", "/payout/sync/v3/qr/scan", '{"imagen":"0002010102"}', 40, lambda r: r == FIXED_QR),
        ("pay", "POST", "/payout/sync/v3/qr/confirm",
         '{"cuentaOrigen":"2012345678","importe":0.00,"numeroReferencia":"104589","transaccionId":"ord-1"}', 90,
         lambda r: (r.status, r.amount) == (PaymentStatus.PENDING, Decimal("150.00"))),
        ("pay_open", "POST", "/payout/sync/v3/qr/confirm",
         '{"cuentaOrigen":"2012345678","glosa":"Pago","importe":25.5,"numeroReferencia":"7","transaccionId":"ord-2"}', 90,
         None),
        ("status", "GET", "/payout/sync/v3/qr/status/104589", "", 90, lambda r: r.raw_status == "PENDIENTE"),
        ("banks", "POST", "/payout/async/v3/bancos", "", 60, lambda r: r == [Bank(code="1001", name="Banco Union")]),
        ("authorize", "POST", "/payout/async/v3/lote/autorizar",
         f'{{"processId":"{PROCESS}","transacciones":[{{"ciNitDestino":"4589123","codeBanco":"1001",'
         '"codeSucursal":"LPZ","cuentaDestino":"3004567812","cuentaOrigen":"2012345678",'
         '"fechaTransaccion":"2026-12-07","glosa":"Sueldo diciembre","importe":1250.5,"tipoMoneda":"BOB",'
         '"titularDestino":"Maria Quispe","transaccionId":"TRX-0001"}],'
         f'"webhookUrl":"https://payouts.example.com/hook?token={HOOK_SECRET}"}}', 60,
         lambda r: (r.batch_number, r.transfers[0].status) == ("7781", PaymentStatus.PENDING)),
        ("batch_status", "GET", f"/payout/async/v3/lote/estado/{PROCESS}?nroLote=7781", "", 60,
         lambda r: (r.transfers[0].amount, r.transfers[0].status) == (Decimal("1250.5"), PaymentStatus.PAID)),
        ("batch_one", "GET", f"/payout/async/v3/lote/estado/{PROCESS}?transaccionId=TRX-0001", "", 60, None),
    ],
)
def test_each_operation(kind: str, call: str, method: str, path: str, body: str, timeout: Any, typed: Any) -> None:
    """Sends its request with its time-out and types the result."""
    provider = Provider(ANSWERS[call])
    result = run(make(provider, kind=kind), CALLS[call])
    assert typed is None or typed(result)
    (request,) = provider.requests
    assert (request.method, str(request.url), request.content.decode()) == (method, SANDBOX + path, body)
    expected = {"accept": "application/json", "authorization": f"Bearer {SECRET}", "content-type": "application/json",
                "access_token": SECRET, "client_id": "my-client"}
    if "async" in path:
        expected["branchcode"] = "SUC-01"
    assert {k: v for k, v in request.headers.items() if k in expected} == expected
    assert request.extensions["timeout"] == dict.fromkeys(("connect", "read", "write", "pool"), timeout)


@pytest.mark.parametrize(
    ("options", "call", "expected"),
    [
        ({}, "banks", 60.0), ({}, "authorize", 60.0), ({"timeout": 15.0}, "banks", 15.0), ({"timeout": 15.0}, "scan", 15.0),
        ({"timeout": 15.0}, "pay", 15.0), ({"timeout": 15.0, "timeouts": {"payouts.pay": 5.0}}, "pay", 5.0),
        ({"timeouts": {"payouts.scan": 5.0}}, "scan", 5.0), ({"timeouts": {"payouts.pay": None}}, "pay", None),
        # A borrowed HTTP client's own time-out holds unless the client is given one.
        ({"http_client": 7.0}, "pay", 7.0), ({"http_client": 7.0, "timeout": 2.0}, "pay", 2.0),
        ({"http_client": 7.0, "timeouts": {"payouts.pay": 4.0}}, "pay", 4.0),
    ],
)
def test_time_limit_of_each_request(kind: str, options: dict[str, Any], call: str, expected: float | None) -> None:
    provider, options = Provider(ANSWERS[call]), dict(options)
    if "http_client" in options:
        http = (httpx.Client if kind == "sync" else httpx.AsyncClient)(timeout=options.pop("http_client"),
                                                                       transport=httpx.MockTransport(provider))
        client = (Client if kind == "sync" else AsyncClient)("my-client", token=SECRET, http_client=http, **options)
    else:
        client = make(provider, kind=kind, **options)
    run(client, CALLS[call])
    assert provider.requests[0].extensions["timeout"]["read"] == expected


def test_environment_chooses_the_host(kind: str) -> None:
    provider = Provider(ANSWERS["status"])
    run(make(provider, kind=kind, environment="production"), CALLS["status"])
    assert str(provider.requests[0].url) == "https://api.quorvel.bo/payout/sync/v3/qr/status/104589"


@pytest.mark.parametrize(
    ("call", "replies", "raised", "attempts"),
    [
        # idempotent: transient failures are tried again, up to three attempts
        ("status", [UNAVAILABLE, httpx.ReadTimeout, ANSWERS["status"]], None, 3),
        ("status", [httpx.ConnectError, httpx.RemoteProtocolError, ANSWERS["status"]], None, 3),
        ("status", [UNAVAILABLE], ApiError, 3), ("status", [httpx.ReadTimeout], TransportError, 3),
        ("banks", [(429, ""), ANSWERS["banks"]], None, 2),
        ("batch_status", [httpx.ReadError, ANSWERS["batch_status"]], None, 2),
        # failures that another attempt would only repeat
        ("status", [FAILED], ApiError, 1), ("status", [(401, "")], AuthenticationError, 1),
        ("scan", [(200, "not json")], DecodeError, 1), ("status", [httpx.DecodingError], DecodeError, 1),
        ("status", [httpx.UnsupportedProtocol], TransportError, 1),
        # payments: only a connection that never opened is tried again
        ("pay", [httpx.ConnectError, httpx.ConnectTimeout, ANSWERS["pay"]], None, 3),
        ("pay", [httpx.ConnectError], TransportError, 3),
        ("pay", [httpx.ConnectError, httpx.ReadTimeout], AmbiguousPaymentError, 2),
        ("pay", [httpx.WriteError], AmbiguousPaymentError, 1),
        ("pay", [httpx.RemoteProtocolError], AmbiguousPaymentError, 1),
        ("pay", [UNAVAILABLE], AmbiguousPaymentError, 1), ("pay", [AMBIGUOUS_96], AmbiguousPaymentError, 1),
        ("pay", [REFUSED], ApiError, 1),
        # batch authorisation: sent once
        ("authorize", [httpx.ReadTimeout], TransportError, 1), ("authorize", [UNAVAILABLE], ApiError, 1),
        ("authorize", [httpx.ConnectError, ANSWERS["authorize"]], None, 2),
    ],
)
def test_retry_policy(kind: str, call: str, replies: list[Any], raised: type[Exception] | None, attempts: int) -> None:
    provider, clock = Provider(*replies), Clock()
    with pytest.raises(raised) if raised else contextlib.nullcontext():
        run(make(provider, clock, kind), CALLS[call])
    assert len(provider.requests) == attempts
    assert clock.sleeps == [1, 2][: attempts - 1]


def test_max_attempts_and_backoff() -> None:
    provider = Provider(UNAVAILABLE)
    with pytest.raises(ApiError):
        make(provider, max_attempts=5).payout_status("104589")
    assert len(provider.requests) == 5
    backoff = Backoff(base=0.5, cap=3, uniform=lambda: 0.5)
    assert ([backoff.ceiling(n) for n in range(1, 6)], backoff.delay(3)) == ([0.5, 1, 2, 3, 3], 1)


def test_ambiguous_payment_and_transport_errors_say_what_happened() -> None:
    with pytest.raises(AmbiguousPaymentError) as info:
        make(Provider(AMBIGUOUS_96)).pay(FIXED_QR, "2012345678", "ord-1")
    assert (str(info.value), info.value.reference, info.value.transaction_id, info.value.errors) == (
        "tiempo de espera agotado", "104589", "ord-1", (ApiFieldError(None, "tiempo de espera agotado", "96"),))
    with pytest.raises(TransportError) as caught:
        make(Provider(httpx.ReadTimeout)).payout_status("104589")
    assert (caught.value.operation, caught.value.attempts, type(caught.value.__cause__)) == (
        "payouts.status", 3, httpx.ReadTimeout)


def test_token_source_is_called_for_every_attempt(kind: str) -> None:
    tokens = iter(["first", "second"])
    provider = Provider(UNAVAILABLE, ANSWERS["status"])
    run(make(provider, kind=kind, token=lambda: AccessToken(access_token=next(tokens))), CALLS["status"])
    assert [r.headers["access_token"] for r in provider.requests] == ["first", "second"]
    with pytest.raises(TypeError, match="AccessToken or a str"):
        run(make(Provider(ANSWERS["status"]), kind=kind, token=lambda: 42), CALLS["status"])


@pytest.mark.parametrize(
    ("replies", "options", "outcome", "sleeps"),
    [
        # one attempt per poll: the waits double from 2 s up to the 30 s cap, failed polls included
        ([payout_data("PENDIENTE"), UNAVAILABLE, UNAVAILABLE, UNAVAILABLE, payout_data("PROCESO"),
          payout_data("RECHAZADO")], {"poll_interval": 2}, "rejected", [2, 4, 8, 16, 30]),
        ([payout_data("EN_PROCESO")], {"deadline": 20, "poll_interval": 2, "max_interval": 5},
         "payout 104589 is not final after 20 s (last status: processing)", [2, 4, 5, 5, 4]),
        # definite failures are raised at once
        ([FAILED], {}, "cuenta bloqueada", []),
        ([(403, "")], {}, "empty response body", []),
    ],
)
def test_resolve_payout(kind: str, replies: list[Any], options: dict[str, Any], outcome: str, sleeps: list[float]) -> None:
    clock = Clock()
    try:
        result = str(run(make(Provider(*replies), clock, kind), lambda c: c.resolve_payout("104589", **options)).status)
    except PayoutsError as exc:
        result = str(exc)
    assert (result, clock.sleeps) == (outcome, sleeps)


@pytest.mark.parametrize(("word", "final"), [("PAGADO", True), ("RECHAZADO", True), ("PENDIENTE", False),
                                            ("EN_PROCESO", False), ("PALABRA_NUEVA", False)])
def test_polling_stops_only_at_a_final_status(kind: str, word: str, final: bool) -> None:
    """An unknown word is not final: the payout is asked again."""
    clock = Clock()
    payout = run(make(Provider(payout_data(word), payout_data("PAGADO")), clock, kind), lambda c: c.resolve_payout("1"))
    assert (payout.raw_status, len(clock.sleeps)) == ((word, 0) if final else ("PAGADO", 1))


def test_hooks_and_reprs_show_no_secret(kind: str) -> None:
    events: list[Any] = []
    hooks = {"on_request": events.append, "on_response": events.append, "on_retry": events.append}
    run(make(Provider(ANSWERS["authorize"]), kind=kind, **hooks), CALLS["authorize"])
    client = make(Provider(httpx.ConnectError, ANSWERS["pay"]), kind=kind, base_url="https://gw.example/?api_key=pw",
                  token=AccessToken(access_token=SECRET), **hooks)
    run(client, CALLS["pay"])
    assert [type(e).__name__[:-5] for e in events] == ["Request", "Response", "Request", "Retry", "Request", "Response"]
    assert (events[3].operation, events[3].attempt, events[3].delay, events[3].reason) == ("payouts.pay", 1, 1, "ConnectError")
    headers = events[0].headers
    assert (headers["authorization"], headers["access_token"], headers["branchcode"]) == ("[redacted]",) * 2 + ("SUC-01",)
    assert all(secret not in repr(events) for secret in ("SECRET", HOOK_SECRET, "pw"))
    assert all(s not in repr(client) + repr(AccessToken(access_token=SECRET)) for s in ("SECRET", "pw"))


def test_a_failing_hook_does_not_fail_the_call() -> None:
    def broken(event: object) -> None:
        raise RuntimeError("hook bug")

    assert make(Provider(ANSWERS["pay"]), on_request=broken, on_response=broken).pay(FIXED_QR, "201234", "o").reference


@pytest.mark.parametrize(
    ("call", "raised", "message"),
    [
        (lambda c: c.payout_status("12a"), ValidationError, "must be 1 to 20 digits"),
        (lambda c: c.pay(FIXED_QR, "2012345678", "o", amount="149.99"), ValidationError,
         "the QR has a fixed amount; omit it"),
        (lambda c: c.pay(OPEN_QR, "2012345678", "o", amount="12,5"), ValidationError, "invalid amount `12,5`"),
        (lambda c: c.pay(OPEN_QR, "2012345678", "o", amount=0.1), TypeError,
         "amount must be a Decimal, int or str, not float: a binary float cannot hold an amount exactly; "
         "write Decimal('0.1') or '0.1' instead"),
        (lambda c: c.scan(12345), TypeError, "qr_text must be a str, not int"), (lambda c: c.pay({"reference": "1"}, "201234", "o"), TypeError, None),
        (lambda c: c.authorize_batch("SUC-01", PROCESS, "https://h.example", HOOK_SECRET, [{}]), TypeError, None),
    ],
)
def test_input_failures_send_nothing(kind: str, call: Callable[[Any], Any], raised: type[Exception], message: str) -> None:
    provider = Provider(ANSWERS["pay"])
    with pytest.raises(raised) as info:
        run(make(provider, kind=kind), call)
    assert message is None or str(info.value) == message
    assert provider.requests == []


@pytest.mark.parametrize(
    ("importe", "amount"),
    [("79228162514264337593543950335", "79228162514264337593543950335"), ("-7.50", "-7.5"), ("1e3", "1000"),
     ("0.0000000000000000000000000001", "0.0000000000000000000000000001")],
)
def test_amounts_of_a_batch_stay_exact(kind: str, importe: str, amount: str) -> None:
    """The provider's number is read into Decimal from its text, never through a float."""
    body = f'{{"code":"00","data":{{"transacciones":[{{"estado":"PAGADO","importe":{importe}}}]}}}}'
    status = run(make(Provider((200, body)), kind=kind), CALLS["batch_status"])
    assert status.transfers[0].amount.as_tuple() == Decimal(amount).as_tuple()


def test_transfers_holding_str_subclasses_are_sent_as_their_text(kind: str) -> None:
    class Text(str):
        pass

    transfer = dataclasses.replace(TRANSFER, transaction_id=Text("TRX-0001"), recipient_name=Text("Maria Quispe"))
    provider, plain = Provider(ANSWERS["authorize"]), Provider(ANSWERS["authorize"])
    run(make(provider, kind=kind), lambda c: c.authorize_batch("SUC-01", PROCESS, "https://payouts.example.com/hook",
                                                               HOOK_SECRET, [transfer]))
    run(make(plain, kind=kind), CALLS["authorize"])
    assert provider.requests[0].content == plain.requests[0].content


def test_async_client_awaits_a_coroutine_token_and_closes() -> None:
    async def token() -> AccessToken:
        return AccessToken(access_token="from-coroutine")

    async def scenario() -> None:
        provider = Provider(ANSWERS["status"])
        async with make(provider, kind="async", token=token) as client:
            await client.payout_status("104589")
        assert provider.requests[0].headers["authorization"] == "Bearer from-coroutine"
        with pytest.raises(ClientClosedError, match="closed"):
            await client.payout_status("104589")

    asyncio.run(scenario())


@pytest.mark.parametrize("options", [{"environment": "Sandbox"}, {"max_attempts": 0},
                                     {"http_client": httpx.Client(), "transport": httpx.MockTransport(Provider())}])
def test_bad_configuration_is_refused(options: dict[str, Any]) -> None:
    with pytest.raises(ValueError):
        Client("my-client", token=SECRET, **options)


def test_unused_credentials_are_not_kept() -> None:
    with pytest.warns(DeprecationWarning, match="not used"):
        client = Client("my-client", token=SECRET, client_secret="cs-SECRET", basic_token="bt-SECRET")
    assert "cs-SECRET" not in repr(vars(client)) and "bt-SECRET" not in repr(vars(client))


def test_close_leaves_a_borrowed_http_client_open() -> None:
    borrowed = httpx.Client(transport=httpx.MockTransport(Provider(ANSWERS["status"])))
    with Client("my-client", token=SECRET, http_client=borrowed) as client:
        client.payout_status("104589")
    assert not borrowed.is_closed
    with make(Provider(ANSWERS["status"])) as owned, pytest.raises(ClientClosedError, match="closed"):
        owned.close()
        owned.payout_status("104589")


def test_public_surface() -> None:
    """Every class and function the package exports is in `__all__`, and every error is a PayoutsError."""
    defined = {name for name, value in vars(payouts).items()
               if not name.startswith("_") and str(getattr(value, "__module__", "")).startswith("quorvel_bo.payouts")}
    assert defined <= set(payouts.__all__) and all(hasattr(payouts, name) for name in payouts.__all__)
    exceptions = [getattr(payouts, n) for n in payouts.__all__ if n.endswith("Error") and n != "ApiFieldError"]
    assert all(issubclass(e, PayoutsError) and e.__module__ == "quorvel_bo.payouts" for e in exceptions)


def test_large_batches_give_the_same_result_off_the_event_loop() -> None:
    """An AsyncClient converts large batches in a worker thread, in pieces; the results are those of Client."""
    transfers = [dataclasses.replace(TRANSFER, transaction_id=f"TRX-{i:04d}") for i in range(2_100)]
    wire = [{"transaccionId": t.transaction_id, "estado": "PAGADO", "importe": "1250.50", "nombreCliente": "María " * 20}
            for t in transfers]
    answers = ok({"nroLote": 7781, "processId": PROCESS, "transacciones": wire})
    calls: list[Callable[[Any], Any]] = [
        lambda c: c.authorize_batch("SUC-01", PROCESS, "https://h.example/x", HOOK_SECRET, transfers),
        lambda c: c.batch_status("SUC-01", PROCESS, batch_number="7781"),
    ]
    assert len(answers[1]) > 64 * 1024
    for operation in calls:
        sync_provider, async_provider = Provider(answers), Provider(answers)
        assert run(make(sync_provider), operation) == run(make(async_provider, kind="async"), operation)
        assert sync_provider.requests[0].content == async_provider.requests[0].content


# --- typed records, amount inputs, the error mapping, the batch webhook helper --------------------------------


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (Decimal("12.50"), "12.50"), (7, "7"), (" 1e3 ", "1e3"), ("+.5", "+.5"), ("0.10", "0.10"), (Decimal("-5"), "-5"),
        (12.5, TypeError), (True, TypeError), (None, TypeError),
        ("12,5", ValidationError), (Decimal("NaN"), ValidationError), ("Infinity", ValidationError),
        ("1_000", ValidationError), ("\u0661\u0662", ValidationError), ("", ValidationError),
    ],
)
def test_amount_inputs(value: Any, expected: Any) -> None:
    if isinstance(expected, str):
        assert amount_text(value, "amount") == expected
    else:
        with pytest.raises(expected):
            amount_text(value, "amount")


def test_batch_transfer_amount_and_date() -> None:
    values: dict[str, Any] = {
        "transaction_id": "TRX-1", "amount": 10, "date": datetime.date(2026, 12, 7), "source_account": "2012345678",
        "destination_account": "3004567812", "bank_code": "1001", "branch_city": "LPZ", "description": "Sueldo",
        "recipient_document_id": "4589123", "recipient_name": "Maria Quispe",
    }
    transfer = BatchTransfer(**values)
    assert (transfer.amount, transfer.to_core()["date"]) == (Decimal(10), "2026-12-07")
    with pytest.raises(TypeError, match=r"transfers\.amount must be a Decimal, int or str, not float"):
        BatchTransfer(**{**values, "amount": 10.0})


@pytest.mark.parametrize(
    ("error", "raised", "attributes"),
    [
        ({"kind": "validation", "field": "reference"}, ValidationError, {"field": "reference"}),
        ({"kind": "authentication", "status": 403}, AuthenticationError, {"status": 403}),
        ({"kind": "api", "status": 503, "retryable": True, "errors": [{"code": None, "field": None, "message": "m"}]},
         ApiError, {"status": 503, "retryable": True, "errors": (ApiFieldError(field=None, message="m", code=None),)}),
        ({"kind": "ambiguous", "errors": [], "retryable": False}, AmbiguousPaymentError, {"errors": ()}),
        ({"kind": "decode"}, DecodeError, {}),
        ({"kind": "webhook_auth"}, WebhookAuthError, {}),
        ({"kind": "ffi"}, ProtocolError, {}),
    ],
)
def test_every_error_kind_has_its_exception(error: dict[str, Any], raised: type, attributes: dict[str, Any]) -> None:
    exc = error_from_core({**error, "message": "m"})
    assert (type(exc), exc.kind, str(exc), exc.message) == (raised, error["kind"], "m", "m")
    assert {k: getattr(exc, k) for k in attributes} == attributes


BODY = '{"nroLote":"  77 ","numeroReferencia":"REF-9","estado":"PAGADO","importe":1250.5,"transaccionId":"TRX-1"}'


NO_MATCH = "`token` query parameter does not match"


@pytest.mark.parametrize(
    ("token", "body", "expected", "raised", "message"),
    [
        (None, BODY, HOOK_SECRET, WebhookAuthError, NO_MATCH),
        # the secret is checked before the body is looked at, bytes or text
        ("wrong", b"\xff not json", HOOK_SECRET, WebhookAuthError, NO_MATCH),
        (HOOK_SECRET, "", "", ValidationError, "expected secret must not be empty"),
        (HOOK_SECRET, b'{"estado":"PAGADO","nombreCliente":"Mar\xeda"}', HOOK_SECRET, DecodeError,
         "invalid batch webhook payload: the body is not valid UTF-8"),
    ],
)
def test_webhook_failures(token: str | None, body: str | bytes, expected: str, raised: type, message: str) -> None:
    with pytest.raises(raised) as info:
        parse_batch_webhook(token, body, expected)
    assert str(info.value).startswith(message)


def _core_value(op: str, payload: dict[str, Any]) -> Any:
    document = json.loads(call(op, json.dumps(payload)))
    assert document["ok"], document
    return document["value"]


def _parsed(op: str, data_input: dict[str, Any], answer: tuple[int, str]) -> Any:
    return _core_value(op + ".parse", {"input": data_input, "response": {"status": answer[0], "body": answer[1]}})


def _result_documents() -> list[tuple[type, Any]]:
    batch = {"branch_code": "SUC-01", "process_id": PROCESS, "batch_number": "7781", "transaction_id": None}
    authorize = {"branch_code": "SUC-01", "process_id": PROCESS, "webhook_url": "https://h.example/x",
                 "webhook_token": HOOK_SECRET, "transfers": [TRANSFER.to_core()]}
    return [
        (ScannedQr, _parsed("payouts.scan", {"qr_text": "q"}, ANSWERS["scan"])),
        (Payout, _parsed("payouts.status", {"reference": "104589"}, ANSWERS["status"])),
        (Bank, _parsed("batch.banks", {"branch_code": "SUC-01"}, ANSWERS["banks"])[0]),
        (BatchAuthorization, _parsed("batch.authorize", authorize, ANSWERS["authorize"])),
        (BatchStatus, _parsed("batch.status", batch, ANSWERS["batch_status"])),
        (BatchNotification, _core_value("batch.webhook.parse", {"token": HOOK_SECRET, "body": BODY, "expected_token": HOOK_SECRET})),
        (BatchTransfer, TRANSFER.to_core()), (AccessToken, AccessToken(access_token="t", scope="s").to_core()),
    ]


def _keys(value: Any) -> Any:
    if isinstance(value, dict):
        return {k: _keys(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_keys(v) for v in value]
    return None


def _fields(record: Any) -> Any:
    if isinstance(record, tuple):
        return [_fields(r) for r in record]
    if dataclasses.is_dataclass(record):
        return {f.name: _fields(getattr(record, f.name)) for f in dataclasses.fields(record)}
    if isinstance(record, dict):
        return _keys(record)
    return None


@pytest.mark.parametrize(("cls", "document"), _result_documents(), ids=lambda v: getattr(v, "__name__", ""))
def test_every_document_field_maps_to_a_record_field_and_back(cls: type, document: Any) -> None:
    record = cls.from_core(document)  # type: ignore[attr-defined]
    assert _fields(record) == _keys(document)
    assert record.to_core() == document
    if cls not in (BatchNotification, BatchTransfer, AccessToken):
        # The clients read the core's answers straight into records, in one pass: the same record.
        assert _decoder(cls).decode(json.dumps({"ok": True, "value": document})).value == record
