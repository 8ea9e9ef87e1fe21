"""The asynchronous client: the same requests, retry rules and polling as the synchronous one."""

from __future__ import annotations

import json
from collections.abc import Callable
from decimal import Decimal
from typing import Any

import httpx
import pytest

from quorvel_bo.payouts import (
    AccessToken,
    AmbiguousPaymentError,
    ApiError,
    AsyncClient,
    Backoff,
    Bank,
    BatchAuthorization,
    BatchStatus,
    BatchTransfer,
    PaymentStatus,
    Payout,
    Recipient,
    ResolveTimeoutError,
    ScannedQr,
    TransportError,
)

SANDBOX = "https://api-test.quorvel.bo/sandbox"
PROCESS = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
QR = ScannedQr(
    reference="104589", amount=Decimal("150"), currency="BOB", description="F", recipient=Recipient(), expires_on=None
)
TRANSFER = BatchTransfer(
    transaction_id="TRX-0001",
    amount=1250,
    date="2026-12-07",
    source_account="2012345678",
    destination_account="3004567812",
    bank_code="1001",
    branch_city="LPZ",
    description="Sueldo diciembre",
    recipient_document_id="4589123",
    recipient_name="Maria Quispe",
)


def ok(data: Any) -> tuple[int, str]:
    return 200, json.dumps({"code": "00", "data": data})


def payout(estado: str) -> tuple[int, str]:
    return ok({"numeroReferencia": "104589", "estado": estado})


UNAVAILABLE = (503, "")


@pytest.fixture
def anyio_backend() -> str:
    return "asyncio"


class Provider:
    """A scripted provider: answers each request with the next reply (the last one repeats)."""

    def __init__(self, *replies: Any) -> None:
        self.replies = list(replies)
        self.requests: list[httpx.Request] = []

    def __call__(self, request: httpx.Request) -> httpx.Response:
        self.requests.append(request)
        reply = self.replies.pop(0) if len(self.replies) > 1 else self.replies[0]
        if isinstance(reply, type):
            raise reply("simulated failure", request=request)
        return httpx.Response(reply[0], text=reply[1])


class Recorder:
    def __init__(self) -> None:
        self.now = 0.0
        self.sleeps: list[float] = []

    async def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        self.now += seconds


def make(provider: Provider, time: Recorder | None = None, **options: Any) -> AsyncClient:
    time = time or Recorder()
    options.setdefault("token", "tok")
    return AsyncClient(
        "my-client",
        transport=httpx.MockTransport(provider),
        backoff=Backoff(base=1, cap=3, uniform=lambda: 1.0),
        sleep=time.sleep,
        clock=lambda: time.now,
        **options,
    )


CASES: list[tuple[Callable[[AsyncClient], Any], tuple[int, str], str, str, float | None, type]] = [
    (lambda c: c.scan("qr"), ok({"numeroReferencia": 1}), "POST", "/payout/sync/v3/qr/scan", 40, ScannedQr),
    (lambda c: c.pay(QR, "2012345678", "o-1"), payout("PAGADO"), "POST", "/payout/sync/v3/qr/confirm", 90, Payout),
    (lambda c: c.payout_status("104589"), payout("PAGADO"), "GET", "/payout/sync/v3/qr/status/104589", 90, Payout),
    (lambda c: c.banks("SUC-01"), ok([{"codigoBanco": 1}]), "POST", "/payout/async/v3/bancos", None, list),
    (
        lambda c: c.authorize_batch("SUC-01", PROCESS, "https://h.example/x", "s3cr3t-t0ken-2024-xyz", [TRANSFER]),
        ok({"nroLote": 1, "processId": PROCESS}),
        "POST",
        "/payout/async/v3/lote/autorizar",
        None,
        BatchAuthorization,
    ),
    (
        lambda c: c.batch_status("SUC-01", PROCESS, transaction_id="TRX-0001"),
        ok({"nroLote": 1}),
        "GET",
        f"/payout/async/v3/lote/estado/{PROCESS}?transaccionId=TRX-0001",
        None,
        BatchStatus,
    ),
]


@pytest.mark.anyio
@pytest.mark.parametrize(("call", "answer", "method", "path", "timeout", "result"), CASES)
async def test_each_operation(
    call: Callable[[AsyncClient], Any], answer: Any, method: str, path: str, timeout: float | None, result: type
) -> None:
    provider = Provider(answer)
    async with make(provider) as client:
        value = await call(client)
    assert isinstance(value, result)
    (request,) = provider.requests
    assert (request.method, str(request.url), request.extensions["timeout"]["read"]) == (
        method,
        SANDBOX + path,
        timeout,
    )


@pytest.mark.anyio
async def test_async_token_source() -> None:
    async def token() -> AccessToken:
        return AccessToken(access_token="from-coroutine")

    provider = Provider(ok([{"codigoBanco": 1001, "descripcion": "Banco Union"}]))
    assert await make(provider, token=token).banks("SUC-01") == [Bank(code="1001", name="Banco Union")]
    assert provider.requests[0].headers["authorization"] == "Bearer from-coroutine"


@pytest.mark.anyio
@pytest.mark.parametrize(
    ("call", "replies", "raised", "attempts"),
    [
        (lambda c: c.payout_status("1"), [UNAVAILABLE, httpx.ReadTimeout, payout("PAGADO")], None, 3),
        (lambda c: c.payout_status("1"), [UNAVAILABLE], ApiError, 3),
        (lambda c: c.pay(QR, "2012345678", "o-1"), [httpx.ConnectError, payout("PAGADO")], None, 2),
        (lambda c: c.pay(QR, "2012345678", "o-1"), [httpx.ReadTimeout], AmbiguousPaymentError, 1),
        (lambda c: c.pay(QR, "2012345678", "o-1"), [UNAVAILABLE], AmbiguousPaymentError, 1),
        (
            lambda c: c.authorize_batch("SUC-01", PROCESS, "https://h.example/x", "s3cr3t-t0ken-2024-xyz", [TRANSFER]),
            [httpx.ReadTimeout],
            TransportError,
            1,
        ),
    ],
)
async def test_retry_policy(
    call: Callable[[AsyncClient], Any], replies: list[Any], raised: type[Exception] | None, attempts: int
) -> None:
    provider, time = Provider(*replies), Recorder()
    client = make(provider, time)
    if raised is None:
        await call(client)
    else:
        with pytest.raises(raised):
            await call(client)
    assert len(provider.requests) == attempts
    assert time.sleeps == [1, 2][: attempts - 1]


@pytest.mark.anyio
async def test_resolve_payout() -> None:
    time = Recorder()
    provider = Provider(payout("PENDIENTE"), payout("PENDIENTE"), payout("REVERTIDO"))
    assert (await make(provider, time).resolve_payout("104589")).status is PaymentStatus.REVERSED
    assert time.sleeps == [2, 4]
    with pytest.raises(ResolveTimeoutError):
        await make(Provider(payout("PENDIENTE")), Recorder()).resolve_payout("104589", deadline=10)


@pytest.mark.anyio
async def test_aclose_closes_an_owned_http_client() -> None:
    client = make(Provider(payout("PAGADO")))
    await client.aclose()
    with pytest.raises(RuntimeError, match="closed"):
        await client.payout_status("104589")
