"""The provider simulator over loopback, spoken to through the core's build and parse stages.

Every exchange here is: the core builds the request, it travels over a real socket, the core
reads the answer. So these tests show that the simulator speaks the API exactly as the core
expects it, independently of the Python client. The triggers are exercised with the client, in
test_e2e.py.
"""

from __future__ import annotations

import http.client
import json
import socket
import threading
from collections.abc import Iterator
from typing import Any
from urllib.parse import urlsplit

import pytest

from quorvel_bo.payouts import call
from quorvel_bo.payouts.simulator import (
    QR_FIXED_AMOUNT,
    QR_FIXED_USD,
    QR_OPEN_AMOUNT,
    TEST_CLIENT_ID,
    TEST_TOKEN,
    Settings,
    Simulator,
    WebhookReceiver,
)

FAST = Settings(settle_after=2, slow_delay=1.0, transfer_interval=0.01, webhook_backoff=0.01, webhook_attempts=3)
TOKEN = {"access_token": TEST_TOKEN, "token_type": "Bearer", "expires_at": 0}
PROCESS_ID = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
HOOK_SECRET = "s3cr3t-t0ken-2024-xyz"
ACK = json.dumps({"codigoRespuesta": "EXITOSO"})


def core(op: str, payload: object) -> dict[str, Any]:
    doc: dict[str, Any] = json.loads(call(op, json.dumps(payload)))
    return doc


def send(request: dict[str, Any], timeout: float = 5.0) -> tuple[int, str]:
    url = urlsplit(request["url"])
    connection = http.client.HTTPConnection(url.hostname or "", url.port, timeout=timeout)
    try:
        target = url.path + (f"?{url.query}" if url.query else "")
        body = None if request["body"] is None else request["body"].encode()
        connection.request(request["method"], target, body=body, headers=request["headers"])
        response = connection.getresponse()
        return response.status, response.read().decode()
    finally:
        connection.close()


def exchange(
    sim: Simulator, op: str, data: dict[str, Any], headers: dict[str, str | None] | None = None, timeout: float = 5.0
) -> dict[str, Any]:
    """Build, send, parse; ``headers`` replaces (or, with None, removes) headers of the built request."""
    built = core(f"{op}.build", {"config": {"client_id": TEST_CLIENT_ID, "base_url": sim.base_url}, "token": TOKEN,
                                  "input": data})
    assert built["ok"], built
    request = built["value"]
    for name, value in (headers or {}).items():
        request["headers"].pop(name, None)
        if value is not None:
            request["headers"][name] = value
    status, body = send(request, timeout)
    return core(f"{op}.parse", {"input": data, "response": {"status": status, "body": body}})


def value(doc: dict[str, Any]) -> Any:
    assert doc["ok"], doc
    return doc["value"]


def error(doc: dict[str, Any]) -> dict[str, Any]:
    assert not doc["ok"], doc
    result: dict[str, Any] = doc["error"]
    return result


def pay_input(scanned: dict[str, Any], transaction_id: str, **extra: Any) -> dict[str, Any]:
    return {"scanned": scanned, "source_account": "2012345678", "transaction_id": transaction_id, **extra}


def transfer(transaction_id: str, bank_code: str = "1001") -> dict[str, Any]:
    return {
        "transaction_id": transaction_id, "amount": "100.50", "date": "2026-12-07", "source_account": "2012345678",
        "destination_account": "3004567812", "bank_code": bank_code, "branch_city": "lpz",
        "description": "Sueldo diciembre", "recipient_document_id": "4589123", "recipient_name": "Maria Quispe",
    }


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator(settings=FAST) as running:
        yield running


class Inbox:
    """A receiver's handler: answers from a script of replies (then acknowledges), keeps what it got."""

    def __init__(self, replies: list[tuple[int, str]] | None = None) -> None:
        self.replies = list(replies or [])
        self.received: list[tuple[str, str]] = []
        self._lock = threading.Lock()

    def __call__(self, token: str, body: str) -> tuple[int, str]:
        with self._lock:
            self.received.append((token, body))
            return self.replies.pop(0) if self.replies else (200, ACK)


@pytest.fixture
def inbox() -> Inbox:
    return Inbox()


@pytest.fixture
def receiver(inbox: Inbox) -> Iterator[WebhookReceiver]:
    with WebhookReceiver(inbox) as running:
        yield running


def authorize(sim: Simulator, receiver: WebhookReceiver, transfers: list[dict[str, Any]]) -> dict[str, Any]:
    data = {"branch_code": "SUC-01", "process_id": PROCESS_ID, "webhook_url": receiver.url,
            "webhook_token": HOOK_SECRET, "transfers": transfers}
    return exchange(sim, "batch.authorize", data)


# -- QR payouts ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("qr_text", "expected"),
    [
        (QR_FIXED_AMOUNT, {"amount": "150", "currency": "BOB", "description": "Factura 881", "expires_on": "2030-12-31",
                           "recipient": {"account": "10000045821", "bank_code": "1001", "bank_name": "Banco Union",
                                         "document_id": "1020304025", "holder": "Comercial Andina SRL"},
                           "reference": "104589"}),
        (QR_OPEN_AMOUNT, {"amount": "0", "currency": "BOB", "description": None, "expires_on": None,
                          "recipient": {"account": "3004567812", "bank_code": "1003", "bank_name": "Banco del Altiplano",
                                        "document_id": "4589123", "holder": "Maria Quispe"},
                          "reference": "104589"}),
        (QR_FIXED_USD, {"amount": "25.5", "currency": "USD", "description": "Suscripción anual",
                        "expires_on": "2030-06-30",
                        "recipient": {"account": "20078800012", "bank_code": "1004", "bank_name": "Cooperativa Illimani",
                                      "document_id": "7788990011", "holder": "Servicios Illimani SA"},
                        "reference": "104589"}),
    ],
)
def test_scan_reads_each_sample_qr(sim: Simulator, qr_text: str, expected: dict[str, Any]) -> None:
    assert value(exchange(sim, "payouts.scan", {"qr_text": qr_text})) == expected


def test_each_scan_issues_a_fresh_reference_and_unknown_text_is_refused(sim: Simulator) -> None:
    first = value(exchange(sim, "payouts.scan", {"qr_text": QR_FIXED_AMOUNT}))["reference"]
    second = value(exchange(sim, "payouts.scan", {"qr_text": QR_FIXED_AMOUNT}))["reference"]
    assert int(second) == int(first) + 1
    refused = error(exchange(sim, "payouts.scan", {"qr_text": "000201-no-such-qr"}))
    assert (refused["kind"], refused["errors"][0]["code"], refused["retryable"]) == ("api", "QR_INVALIDO", False)


def test_payout_moves_from_pending_through_processing_to_paid(sim: Simulator) -> None:
    scanned = value(exchange(sim, "payouts.scan", {"qr_text": QR_OPEN_AMOUNT}))
    paid = value(exchange(sim, "payouts.pay", pay_input(scanned, "ORD-1", amount="75.50", description="Almuerzo")))
    assert (paid["status"], paid["raw_status"], paid["amount"], paid["description"]) == (
        "pending", "PENDIENTE", "75.5", "Almuerzo")
    seen = [value(exchange(sim, "payouts.status", {"reference": scanned["reference"]})) for _ in range(3)]
    assert [p["raw_status"] for p in seen] == ["EN_PROCESO", "PAGADO", "PAGADO"]
    assert seen[0]["ach_order_number"] is None and seen[1]["ach_order_number"] is not None
    assert seen[2]["transaction_id"] == paid["transaction_id"]


def test_a_qr_is_paid_once_and_an_unknown_reference_is_not_found(sim: Simulator) -> None:
    scanned = value(exchange(sim, "payouts.scan", {"qr_text": QR_FIXED_AMOUNT}))
    value(exchange(sim, "payouts.pay", pay_input(scanned, "ORD-1")))
    again = error(exchange(sim, "payouts.pay", pay_input(scanned, "ORD-2")))
    assert (again["kind"], again["status"], again["errors"][0]["code"]) == ("api", 409, "QR_PAGADO")
    missing = error(exchange(sim, "payouts.status", {"reference": "999"}))
    assert (missing["status"], missing["errors"][0]["code"]) == (404, "14")


# -- credentials and requests the provider refuses ---------------------------------------------------


@pytest.mark.parametrize(
    ("headers", "status"),
    [
        ({"Authorization": None}, 401),
        ({"Authorization": "Bearer not-the-token"}, 401),
        ({"Authorization": "Basic " + TEST_TOKEN}, 401),
        ({"access_token": "not-the-token"}, 401),
        ({"client_id": "someone-else"}, 403),
        ({"client_id": None}, 403),
    ],
)
def test_credentials_are_checked(sim: Simulator, headers: dict[str, str | None], status: int) -> None:
    refused = error(exchange(sim, "batch.banks", {"branch_code": "SUC-01"}, headers))
    assert (refused["kind"], refused["status"]) == ("authentication", status)


@pytest.mark.parametrize("branch", [None, "", "not a branch!"])
def test_batch_requests_need_a_branch_code(sim: Simulator, branch: str | None) -> None:
    refused = error(exchange(sim, "batch.banks", {"branch_code": "SUC-01"}, {"branchCode": branch}))
    assert (refused["status"], refused["errors"][0]["code"]) == (400, "SUCURSAL_INVALIDA")


def raw(sim: Simulator, method: str, path: str, body: str | None = None) -> tuple[int, Any]:
    headers = {"Authorization": f"Bearer {TEST_TOKEN}", "access_token": TEST_TOKEN, "client_id": TEST_CLIENT_ID,
               "branchCode": "SUC-01", "Content-Type": "application/json"}
    status, text = send({"method": method, "url": f"{sim.base_url}/{path}", "headers": headers, "body": body})
    return status, json.loads(text)


@pytest.mark.parametrize(
    ("method", "path", "body", "status", "expected"),
    [
        ("POST", "payout/sync/v3/qr/scan", "{not json", 400, {"code": "05", "errorCode": "JSON_INVALIDO"}),
        ("POST", "payout/sync/v3/qr/confirm", '{"importe":1}', 400,
         {"code": "05", "data": ["numeroReferencia es requerido (dígitos)", "cuentaOrigen debe tener de 6 a 20 dígitos",
                                 "transaccionId es requerido"]}),
        ("POST", "payout/async/v3/lote/autorizar", json.dumps({"processId": "x", "webhookUrl": "ftp://h?token=t",
                                                              "transacciones": []}), 400,
         {"code": "05", "data": ["processId debe ser un UUID", "webhookUrl debe ser una URL http(s) con el parámetro token",
                                 "transacciones debe tener al menos una transacción"]}),
        ("GET", "payout/async/v3/lote/estado/" + PROCESS_ID, None, 400, {"code": "05"}),
        ("GET", "payout/sync/v3/qr/scan", None, 405, {"code": "405"}),
        ("POST", "payout/sync/v3/qr/nothing", "{}", 404, {"code": "404"}),
    ],
)
def test_requests_the_provider_refuses(
    sim: Simulator, method: str, path: str, body: str | None, status: int, expected: dict[str, Any]
) -> None:
    got_status, got = raw(sim, method, path, body)
    assert got_status == status
    assert {k: got.get(k) for k in expected} == expected


# -- batches and notifications -------------------------------------------------------------------------


def notifications(inbox: Inbox) -> list[dict[str, Any]]:
    return [value(core("batch.webhook.parse", {"token": token, "body": body, "expected_token": HOOK_SECRET}))
            for token, body in inbox.received]


def test_batch_transfers_complete_one_by_one_and_are_notified(
    sim: Simulator, receiver: WebhookReceiver, inbox: Inbox
) -> None:
    authorized = value(authorize(sim, receiver, [transfer("TRX-1"), transfer("SIMREJ-2"), transfer("TRX-3", "9999")]))
    assert [(t["transaction_id"], t["raw_status"], t["message"]) for t in authorized["transfers"]] == [
        ("TRX-1", "PENDIENTE", None), ("SIMREJ-2", "PENDIENTE", None), ("TRX-3", "RECHAZADO", "banco destino no habilitado")]
    assert sim.wait_for_notifications(10)
    received = notifications(inbox)
    assert [(n["batch_number"], n["transfer"]["transaction_id"], n["transfer"]["status"]) for n in received] == [
        (authorized["batch_number"], "TRX-1", "paid"), (authorized["batch_number"], "SIMREJ-2", "rejected")]
    assert received[0]["transfer"]["amount"] == "100.5" and received[0]["transfer"]["bank_name"] == "Banco Union"
    assert all(d.acknowledged for d in sim.deliveries)

    query = {"branch_code": "SUC-01", "process_id": PROCESS_ID}
    batch = value(exchange(sim, "batch.status", {**query, "batch_number": authorized["batch_number"]}))
    assert [(t["transaction_id"], t["raw_status"]) for t in batch["transfers"]] == [
        ("TRX-1", "PAGADO"), ("SIMREJ-2", "RECHAZADO"), ("TRX-3", "RECHAZADO")]
    assert batch["transfers"][:2] == [n["transfer"] for n in received]
    one = value(exchange(sim, "batch.status", {**query, "transaction_id": "TRX-3"}))
    assert [t["transaction_id"] for t in one["transfers"]] == ["TRX-3"]
    other_branch = error(exchange(sim, "batch.status", {**query, "branch_code": "SUC-02", "transaction_id": "TRX-1"}))
    assert other_branch["status"] == 404
    duplicate = error(authorize(sim, receiver, [transfer("TRX-9")]))
    assert (duplicate["status"], duplicate["errors"][0]["code"]) == (409, "DUPLICADO")


@pytest.mark.parametrize(
    ("replies", "errors"),
    [
        ([(500, "{}"), (200, '{"codigoRespuesta":"ERROR"}')], ["HTTP 500", 'no "codigoRespuesta": "EXITOSO" in the answer', None]),
        ([(200, "ok")] * 3, ["the answer is not JSON"] * 3),
    ],
)
def test_notifications_are_retried_until_acknowledged_or_given_up(
    sim: Simulator, receiver: WebhookReceiver, inbox: Inbox, replies: list[tuple[int, str]], errors: list[str | None]
) -> None:
    inbox.replies = replies
    value(authorize(sim, receiver, [transfer("TRX-1"), transfer("TRX-2")]))
    assert sim.wait_for_notifications(10)
    first = [d for d in sim.deliveries if d.transaction_id == "TRX-1"]
    assert [(d.attempt, d.error) for d in first] == list(enumerate(errors, start=1))
    # Giving up on one notification does not hold back the next transfer.
    assert [d.acknowledged for d in sim.deliveries if d.transaction_id == "TRX-2"] == [True]
    assert {token for token, _ in inbox.received} == {HOOK_SECRET}


def test_an_unreachable_receiver_is_given_up_on(sim: Simulator) -> None:
    with socket.socket() as spare:
        spare.bind(("127.0.0.1", 0))
        closed_port = spare.getsockname()[1]
    data = {"branch_code": "SUC-01", "process_id": PROCESS_ID, "webhook_url": f"http://127.0.0.1:{closed_port}/hook",
            "webhook_token": HOOK_SECRET, "transfers": [transfer("TRX-1")]}
    value(exchange(sim, "batch.authorize", data))
    assert sim.wait_for_notifications(10)
    assert [(d.attempt, d.status, d.acknowledged) for d in sim.deliveries] == [(1, None, False), (2, None, False),
                                                                                 (3, None, False)]
