"""End to end: the client against the provider simulator over loopback: the failing triggers and the webhook round trip."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterator
from decimal import Decimal
from typing import Any

import pytest
from conftest import PROCESS_ID
from conftest import WEBHOOK_TOKEN as HOOK_SECRET

from quorvel_bo.payouts import (AuthenticationError, Backoff, BatchNotification, BatchTransfer, Client, DecodeError,
                                PaymentStatus, RetryEvent, parse_batch_webhook)
from quorvel_bo.payouts.simulator import TEST_CLIENT_ID, TEST_TOKEN, Simulator, WebhookReceiver

QUICK = Backoff(base=0.01, cap=0.02)
ACCOUNT = "2012345678"


@pytest.fixture
def retries() -> list[RetryEvent]:
    return []


@pytest.fixture
def client(sim: Simulator, retries: list[RetryEvent]) -> Iterator[Client]:
    with Client(TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN, backoff=QUICK, on_retry=retries.append) as running:
        yield running


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
