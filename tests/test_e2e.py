"""End to end: the clients against the provider simulator over loopback, each trigger and the webhook round trip."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterator
from decimal import Decimal
from typing import Any

import anyio
import pytest

from quorvel_bo.payouts import (AmbiguousPaymentError, ApiError, AsyncClient, AuthenticationError, Backoff,
                                BatchNotification, BatchTransfer, Client, DecodeError, PaymentStatus,
                                RetryEvent, parse_batch_webhook)
from quorvel_bo.payouts.simulator import (QR_FIXED_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN, Settings,
                                          Simulator, WebhookReceiver)

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


# SIMSLOW holds the answer back past the time-out: the provider made the payment, only its answer was late.
@pytest.mark.parametrize(("prefix", "codes", "outcome"), [("SIM94", ["94"], PaymentStatus.PAID),
                                                          ("SIM96", ["96"], PaymentStatus.REJECTED),
                                                          ("SIMSLOW", [], PaymentStatus.PAID)])
def test_ambiguous_payment_is_followed_to_its_outcome(client: Client, prefix: str, codes: Any, outcome: Any) -> None:
    scanned = client.scan(QR_FIXED_AMOUNT)
    with pytest.raises(AmbiguousPaymentError) as caught:
        client.pay(scanned, ACCOUNT, f"{prefix}-1")
    assert ([e.code for e in caught.value.errors], caught.value.reference) == (codes, scanned.reference)
    assert resolve(client, scanned.reference).status == outcome


def test_rejection_with_several_messages(client: Client) -> None:
    with pytest.raises(ApiError) as caught:
        client.pay(client.scan(QR_FIXED_AMOUNT), ACCOUNT, "SIMREJ-1")
    assert [e.message for e in caught.value.errors] == [
        "fondos insuficientes", "cuenta origen con restricciones", "límite diario excedido"]
    assert (caught.value.retryable, caught.value.errors[0].code) == (False, "51")


@pytest.mark.parametrize(
    ("call", "error", "retried"),
    [(lambda c: c.scan("SIM503-qr"), None, [("payouts.scan", 503)]), (lambda c: c.banks("SIM401"), AuthenticationError, []),
     (lambda c: c.scan("SIMBAD-qr"), DecodeError, [])],
)
def test_503_401_and_malformed_triggers(client: Client, retries: list[RetryEvent], call: Any, error: Any, retried: Any) -> None:
    with pytest.raises(error) if error else contextlib.nullcontext():
        call(client)
    assert [(r.operation, r.status) for r in retries] == retried


def test_batch_webhook_round_trip(client: Client, sim: Simulator) -> None:
    transfers = [BatchTransfer(transaction_id=tx, amount=amount, date="2026-12-07", source_account=ACCOUNT,
                               destination_account="3004567812", bank_code="1001", branch_city=" lpz ",
                               description="Sueldo", recipient_document_id="4589123", recipient_name="Maria Quispe")
                 for tx, amount in (("TRX-0001", "1250.50"), ("SIMREJ-0002", "10"), ("TRX-0003", Decimal("0.01")))]
    notifications: list[BatchNotification] = []

    def endpoint(token: str, body: str) -> tuple[int, str]:
        """As a user would write one; a refusal raises, and the receiver then answers 500."""
        notifications.append(parse_batch_webhook(token, body, HOOK_SECRET))
        return 200, json.dumps(notifications[-1].ack)

    with WebhookReceiver(endpoint) as receiver:
        authorization = client.authorize_batch("SUC-01", PROCESS_ID, receiver.url, HOOK_SECRET, transfers)
        assert sim.wait_for_notifications(10)
    number = authorization.batch_number
    assert [t.status for t in authorization.transfers] == [PaymentStatus.PENDING] * 3
    assert [(n.batch_number, n.transfer.transaction_id, n.transfer.status, n.transfer.amount)
            for n in notifications] == [(number, "TRX-0001", PaymentStatus.PAID, Decimal("1250.5")),
                                              (number, "SIMREJ-0002", PaymentStatus.REJECTED, Decimal("10")),
                                              (number, "TRX-0003", PaymentStatus.PAID, Decimal("0.01"))]
    assert notifications[0].ack == {"codigoRespuesta": "EXITOSO", "detalleRespuesta": None, "nroLote": number,
                                          "numeroReferencia": notifications[0].transfer.reference}
    assert [d.acknowledged for d in sim.deliveries] == [True] * 3
    batch = client.batch_status("SUC-01", PROCESS_ID, batch_number=number)
    assert batch.transfers == tuple(n.transfer for n in notifications)
    assert batch.transfers[1].message == "cuenta destino inexistente"


def test_async_client_road(sim: Simulator) -> None:
    async def road() -> tuple[PaymentStatus, PaymentStatus]:
        async with AsyncClient(TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN, backoff=QUICK) as client:
            scanned = await client.scan(QR_FIXED_AMOUNT)
            with pytest.raises(AmbiguousPaymentError):
                await client.pay(scanned, ACCOUNT, "SIM94-ASYNC")
            first = await client.payout_status(scanned.reference)
            final = await client.resolve_payout(scanned.reference, deadline=5.0, poll_interval=0.01)
            return first.status, final.status

    assert anyio.run(road) == (PaymentStatus.PROCESSING, PaymentStatus.PAID)
