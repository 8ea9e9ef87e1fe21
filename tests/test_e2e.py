"""End to end: the Client against the provider simulator over loopback, webhooks included."""

from __future__ import annotations

import json
import threading
from collections.abc import Iterator
from decimal import Decimal
from typing import Any

import anyio
import pytest

from quorvel_bo.payouts import (
    AmbiguousPaymentError,
    ApiError,
    AsyncClient,
    AuthenticationError,
    Backoff,
    BatchNotification,
    BatchTransfer,
    Client,
    DecodeError,
    PaymentStatus,
    PayoutsError,
    RetryEvent,
    parse_batch_webhook,
)
from quorvel_bo.payouts.simulator import (
    QR_FIXED_AMOUNT,
    QR_OPEN_AMOUNT,
    TEST_CLIENT_ID,
    TEST_TOKEN,
    Settings,
    Simulator,
    WebhookReceiver,
)

FAST = Settings(settle_after=2, slow_delay=1.0, transfer_interval=0.01, webhook_backoff=0.01, webhook_attempts=3)
QUICK = Backoff(base=0.01, cap=0.02)
# Short enough to give up on the simulator's held-back answers, long enough for every other one.
SHORT = {"payouts.scan": 0.3, "payouts.pay": 0.3, "batch.banks": 0.3}
PROCESS_ID = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
HOOK_SECRET = "s3cr3t-t0ken-2024-xyz"
ACCOUNT = "2012345678"


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator(settings=FAST) as running:
        yield running


@pytest.fixture
def retries() -> list[RetryEvent]:
    return []


@pytest.fixture
def client(sim: Simulator, retries: list[RetryEvent]) -> Iterator[Client]:
    with Client(TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN, backoff=QUICK, timeouts=SHORT,
                on_retry=retries.append) as running:
        yield running


def resolve(client: Client, reference: str) -> Any:
    return client.resolve_payout(reference, deadline=5.0, poll_interval=0.01, max_interval=0.05)


def test_qr_road_scan_pay_resolve(client: Client) -> None:
    fixed = client.scan(QR_FIXED_AMOUNT)
    assert (fixed.amount, fixed.currency, fixed.recipient.holder) == (Decimal("150"), "BOB", "Comercial Andina SRL")
    payout = client.pay(fixed, ACCOUNT, "ORD-0001")
    assert (payout.status, payout.amount, payout.reference) == (PaymentStatus.PENDING, Decimal("150"), fixed.reference)
    final = resolve(client, fixed.reference)
    assert (final.status, final.raw_status, final.transaction_id) == (PaymentStatus.PAID, "PAGADO", payout.transaction_id)

    open_qr = client.scan(QR_OPEN_AMOUNT)
    payout = client.pay(open_qr, ACCOUNT, "ORD-0002", amount="75.50", description="  Almuerzo ")
    assert (payout.amount, payout.description) == (Decimal("75.5"), "Almuerzo")


@pytest.mark.parametrize(("prefix", "code", "outcome"), [("SIM94", "94", PaymentStatus.PAID),
                                                         ("SIM96", "96", PaymentStatus.REJECTED)])
def test_ambiguous_payment_is_followed_to_its_outcome(
    client: Client, prefix: str, code: str, outcome: PaymentStatus
) -> None:
    scanned = client.scan(QR_FIXED_AMOUNT)
    with pytest.raises(AmbiguousPaymentError) as caught:
        client.pay(scanned, ACCOUNT, f"{prefix}-1")
    assert ([e.code for e in caught.value.errors], caught.value.reference) == ([code], scanned.reference)
    assert resolve(client, scanned.reference).status == outcome


def test_rejection_with_several_messages(client: Client) -> None:
    with pytest.raises(ApiError) as caught:
        client.pay(client.scan(QR_FIXED_AMOUNT), ACCOUNT, "SIMREJ-1")
    assert [e.message for e in caught.value.errors] == [
        "fondos insuficientes", "cuenta origen con restricciones", "límite diario excedido"]
    assert (caught.value.retryable, caught.value.errors[0].code) == (False, "51")


def test_503_is_retried_for_reads_and_ambiguous_for_a_payment(client: Client, retries: list[RetryEvent]) -> None:
    assert client.scan("SIM503-qr").amount == Decimal("150")
    assert [b.code for b in client.banks("SIM503-B")][:2] == ["1001", "1002"]
    assert [(r.operation, r.status) for r in retries] == [("payouts.scan", 503), ("batch.banks", 503)]

    scanned = client.scan(QR_FIXED_AMOUNT)
    with pytest.raises(AmbiguousPaymentError):
        client.pay(scanned, ACCOUNT, "SIM503-PAY")
    # The 503 came before the provider did anything: there is no payout to find, and paying works.
    with pytest.raises(ApiError) as caught:
        resolve(client, scanned.reference)
    assert caught.value.status == 404
    assert client.pay(scanned, ACCOUNT, "SIM503-PAY").status == PaymentStatus.PENDING


def test_time_out_is_retried_for_reads_and_ambiguous_for_a_payment(client: Client, retries: list[RetryEvent]) -> None:
    assert client.scan("SIMSLOW-qr").reference
    assert len(client.banks("SIMSLOW-B")) == 5
    assert [(r.operation, r.status) for r in retries] == [("payouts.scan", None), ("batch.banks", None)]

    scanned = client.scan(QR_FIXED_AMOUNT)
    with pytest.raises(AmbiguousPaymentError) as caught:
        client.pay(scanned, ACCOUNT, "SIMSLOW-PAY")
    assert caught.value.reference == scanned.reference
    # The provider made the payment; only its answer was late.
    assert resolve(client, scanned.reference).status == PaymentStatus.PAID


@pytest.mark.parametrize(
    ("call", "error", "status"),
    [
        (lambda c: c.scan("SIM401-qr"), AuthenticationError, 401),
        (lambda c: c.banks("SIM401"), AuthenticationError, 401),
        (lambda c: c.scan("SIMBAD-qr"), DecodeError, None),
        (lambda c: c.batch_status("SIMBAD", PROCESS_ID, batch_number="1"), DecodeError, None),
    ],
)
def test_401_and_malformed_triggers(client: Client, call: Any, error: type[PayoutsError], status: int | None) -> None:
    with pytest.raises(error) as caught:
        call(client)
    assert getattr(caught.value, "status", None) == status


@pytest.mark.parametrize(
    ("client_id", "token", "status"),
    [(TEST_CLIENT_ID, "not-the-token", 401), ("someone-else", TEST_TOKEN, 403)],
)
def test_credentials_the_simulator_refuses(sim: Simulator, client_id: str, token: str, status: int) -> None:
    with Client(client_id, base_url=sim.base_url, token=token, backoff=QUICK) as client:
        with pytest.raises(AuthenticationError) as caught:
            client.banks("SUC-01")
    assert caught.value.status == status


def test_token_function_is_asked_for_each_request(sim: Simulator) -> None:
    asked: list[int] = []

    def token() -> str:
        asked.append(1)
        return TEST_TOKEN

    with Client(TEST_CLIENT_ID, base_url=sim.base_url, token=token, backoff=QUICK) as client:
        client.banks("SUC-01")
        client.scan(QR_FIXED_AMOUNT)
    assert len(asked) == 2


class Inbox:
    """A webhook endpoint built on parse_batch_webhook, as a user would write one."""

    def __init__(self, expected_token: str) -> None:
        self.expected_token = expected_token
        self.notifications: list[BatchNotification] = []
        self.refusals: list[str] = []
        self._lock = threading.Lock()

    def __call__(self, token: str, body: str) -> tuple[int, str]:
        try:
            notification = parse_batch_webhook(token, body, self.expected_token)
        except PayoutsError as exc:
            with self._lock:
                self.refusals.append(type(exc).__name__)
            return 401, json.dumps({"error": exc.message})
        with self._lock:
            self.notifications.append(notification)
        return 200, json.dumps(notification.ack)


def transfers() -> list[BatchTransfer]:
    return [
        BatchTransfer(transaction_id=tx, amount=amount, date="2026-12-07", source_account=ACCOUNT,
                      destination_account="3004567812", bank_code="1001", branch_city=" lpz ",
                      description="Sueldo diciembre", recipient_document_id="4589123", recipient_name="Maria Quispe")
        for tx, amount in (("TRX-0001", "1250.50"), ("SIMREJ-0002", "10"), ("TRX-0003", Decimal("0.01")))
    ]


def test_batch_webhook_round_trip(client: Client, sim: Simulator) -> None:
    inbox = Inbox(HOOK_SECRET)
    with WebhookReceiver(inbox) as receiver:
        authorization = client.authorize_batch("SUC-01", PROCESS_ID, receiver.url, HOOK_SECRET, transfers())
        assert sim.wait_for_notifications(10)
    assert [t.status for t in authorization.transfers] == [PaymentStatus.PENDING] * 3
    got = [(n.batch_number, n.transfer.transaction_id, n.transfer.status, n.transfer.amount) for n in inbox.notifications]
    assert got == [
        (authorization.batch_number, "TRX-0001", PaymentStatus.PAID, Decimal("1250.5")),
        (authorization.batch_number, "SIMREJ-0002", PaymentStatus.REJECTED, Decimal("10")),
        (authorization.batch_number, "TRX-0003", PaymentStatus.PAID, Decimal("0.01")),
    ]
    acks = [n.ack for n in inbox.notifications]
    assert acks[0] == {"codigoRespuesta": "EXITOSO", "detalleRespuesta": None, "nroLote": authorization.batch_number,
                       "numeroReferencia": inbox.notifications[0].transfer.reference}
    assert [d.acknowledged for d in sim.deliveries] == [True] * 3

    batch = client.batch_status("SUC-01", PROCESS_ID, batch_number=authorization.batch_number)
    assert batch.transfers == tuple(n.transfer for n in inbox.notifications)
    one = client.batch_status("SUC-01", PROCESS_ID, transaction_id="SIMREJ-0002")
    assert [(t.transaction_id, t.message) for t in one.transfers] == [("SIMREJ-0002", "cuenta destino inexistente")]


def test_notifications_with_a_wrong_secret_are_refused_and_retried(client: Client, sim: Simulator) -> None:
    inbox = Inbox("another-secret-of-16+")
    with WebhookReceiver(inbox) as receiver:
        client.authorize_batch("SUC-01", PROCESS_ID, receiver.url, HOOK_SECRET, transfers()[:1])
        assert sim.wait_for_notifications(10)
    assert inbox.refusals == ["WebhookAuthError"] * FAST.webhook_attempts
    assert [(d.status, d.acknowledged) for d in sim.deliveries] == [(401, False)] * FAST.webhook_attempts


def test_async_client_road(sim: Simulator) -> None:
    async def road() -> tuple[PaymentStatus, PaymentStatus]:
        async with AsyncClient(TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN, backoff=QUICK) as client:
            scanned = await client.scan(QR_FIXED_AMOUNT)
            try:
                await client.pay(scanned, ACCOUNT, "SIM94-ASYNC")
            except AmbiguousPaymentError:
                pass
            first = await client.payout_status(scanned.reference)
            final = await client.resolve_payout(scanned.reference, deadline=5.0, poll_interval=0.01)
            return first.status, final.status

    assert anyio.run(road) == (PaymentStatus.PROCESSING, PaymentStatus.PAID)


def test_demo_command_passes_every_check(run_cli: Any) -> None:
    result = run_cli("demo")
    report = result.stdout.decode()
    assert result.returncode == 0, report + result.stderr.decode()
    assert "all checks passed" in report and "FAIL" not in report
