"""The provider simulator over loopback, spoken to through the core's build and parse stages: the
parts of its wire format that the client's end-to-end tests (test_e2e.py) do not already show."""

from __future__ import annotations

import json
import socket
from collections.abc import Iterator
from typing import Any

import httpx
import pytest

from quorvel_bo.payouts import call
from quorvel_bo.payouts.simulator import (QR_FIXED_USD, QR_OPEN_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN,
                                          Settings, Simulator, WebhookReceiver)

FAST = Settings(settle_after=2, slow_delay=1.0, transfer_interval=0.01, webhook_backoff=0.01, webhook_attempts=3)
PROCESS_ID = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"
HOOK_SECRET = "s3cr3t-t0ken-2024-xyz"
HEADERS = {"Authorization": f"Bearer {TEST_TOKEN}", "access_token": TEST_TOKEN, "client_id": TEST_CLIENT_ID,
           "branchCode": "SUC-01", "Content-Type": "application/json"}


def exchange(sim: Simulator, op: str, data: dict[str, Any], headers: dict[str, str | None] | None = None) -> Any:
    """Build, send, parse: the value or the error; ``headers`` replaces (None: removes) built headers."""
    envelope = {"config": {"client_id": TEST_CLIENT_ID, "base_url": sim.base_url}, "input": data,
                "token": {"access_token": TEST_TOKEN, "token_type": "Bearer", "expires_at": 0}}
    request = json.loads(call(f"{op}.build", json.dumps(envelope)))["value"]
    sent = {k: v for k, v in {**request["headers"], **(headers or {})}.items() if v is not None}
    response = httpx.request(request["method"], request["url"], headers=sent, content=request["body"], timeout=5)
    reply = {"status": response.status_code, "body": response.text}
    document = json.loads(call(f"{op}.parse", json.dumps({"input": data, "response": reply})))
    return document["value"] if document["ok"] else document["error"]


def transfer(transaction_id: str, bank_code: str = "1001") -> dict[str, Any]:
    return {"transaction_id": transaction_id, "amount": "100.50", "date": "2026-12-07", "source_account": "2012345678",
            "destination_account": "3004567812", "bank_code": bank_code, "branch_city": "lpz", "description": "Sueldo",
            "recipient_document_id": "4589123", "recipient_name": "Maria Quispe"}


def authorize(sim: Simulator, url: str, *transfers: dict[str, Any]) -> Any:
    return exchange(sim, "batch.authorize", {"branch_code": "SUC-01", "process_id": PROCESS_ID, "webhook_url": url,
                                              "webhook_token": HOOK_SECRET, "transfers": list(transfers)})


@pytest.fixture
def sim() -> Iterator[Simulator]:
    with Simulator(settings=FAST) as running:
        yield running


@pytest.mark.parametrize(
    ("qr_text", "expected"),
    [
        (QR_OPEN_AMOUNT, {"amount": "0", "currency": "BOB", "description": None, "expires_on": None, "recipient": {
            "account": "3004567812", "bank_code": "1003", "bank_name": "Banco del Altiplano", "document_id": "4589123",
            "holder": "Maria Quispe"}}),
        (QR_FIXED_USD, {"amount": "25.5", "currency": "USD", "description": "Suscripción anual", "expires_on": "2030-06-30",
                        "recipient": {"account": "20078800012", "bank_code": "1004", "bank_name": "Cooperativa Illimani",
                                      "document_id": "7788990011", "holder": "Servicios Illimani SA"}}),
    ],
)
def test_scan_reads_each_sample_qr_with_a_fresh_reference(sim: Simulator, qr_text: str, expected: dict[str, Any]) -> None:
    first, second = exchange(sim, "payouts.scan", {"qr_text": qr_text}), exchange(sim, "payouts.scan", {"qr_text": qr_text})
    assert first == {**expected, "reference": first["reference"]}
    assert int(second["reference"]) == int(first["reference"]) + 1


def test_payout_lifecycle_and_refusals(sim: Simulator) -> None:
    scanned = exchange(sim, "payouts.scan", {"qr_text": QR_OPEN_AMOUNT})
    pay = {"scanned": scanned, "source_account": "2012345678", "transaction_id": "ORD-1", "amount": "75.50",
           "description": "Almuerzo"}
    paid = exchange(sim, "payouts.pay", pay)
    assert (paid["raw_status"], paid["amount"], paid["description"]) == ("PENDIENTE", "75.5", "Almuerzo")
    seen = [exchange(sim, "payouts.status", {"reference": scanned["reference"]}) for _ in range(3)]
    assert [(p["raw_status"], p["ach_order_number"] is None) for p in seen] == [
        ("EN_PROCESO", True), ("PAGADO", False), ("PAGADO", False)]
    assert seen[2]["transaction_id"] == paid["transaction_id"]
    refusals = [exchange(sim, "payouts.pay", {**pay, "transaction_id": "ORD-2"}),
                exchange(sim, "payouts.status", {"reference": "999"}),
                exchange(sim, "payouts.scan", {"qr_text": "000201-no-such-qr"})]
    assert [(e["kind"], e["status"], e["errors"][0]["code"], e["retryable"]) for e in refusals] == [
        ("api", 409, "QR_PAGADO", False), ("api", 404, "14", False), ("api", 200, "QR_INVALIDO", False)]


@pytest.mark.parametrize(
    ("headers", "kind", "status", "code"),
    [
        ({"Authorization": None}, "authentication", 401, None),
        ({"Authorization": "Basic " + TEST_TOKEN}, "authentication", 401, None),
        ({"access_token": "not-the-token"}, "authentication", 401, None),
        ({"client_id": "someone-else"}, "authentication", 403, None),
        ({"branchCode": None}, "api", 400, "SUCURSAL_INVALIDA"),
    ],
)
def test_headers_are_checked(sim: Simulator, headers: dict[str, str | None], kind: str, status: int, code: str) -> None:
    refused = exchange(sim, "batch.banks", {"branch_code": "SUC-01"}, headers)
    assert (refused["kind"], refused["status"], refused.get("errors", [{"code": None}])[0]["code"]) == (kind, status, code)


@pytest.mark.parametrize(
    ("method", "path", "body", "status", "expected"),
    [
        ("POST", "sync/v3/qr/scan", "{not json", 400, {"code": "05", "errorCode": "JSON_INVALIDO"}),
        ("POST", "sync/v3/qr/confirm", '{"importe":1}', 400,
         {"code": "05", "data": ["numeroReferencia es requerido (dígitos)", "cuentaOrigen debe tener de 6 a 20 dígitos",
                                 "transaccionId es requerido"]}),
        ("GET", "sync/v3/qr/scan", None, 405, {"code": "405"}),
        ("POST", "sync/v3/qr/nothing", "{}", 404, {"code": "404"}),
    ],
)
def test_refused_requests(sim: Simulator, method: str, path: str, body: str | None, status: int, expected: Any) -> None:
    response = httpx.request(method, f"{sim.base_url}/payout/{path}", headers=HEADERS, content=body, timeout=5)
    assert (response.status_code, {k: response.json().get(k) for k in expected}) == (status, expected)


def test_batch_refusals(sim: Simulator) -> None:
    authorized = authorize(sim, "http://127.0.0.1:9/hook", transfer("TRX-1", "9999"))
    assert [(t["raw_status"], t["message"]) for t in authorized["transfers"]] == [
        ("RECHAZADO", "banco destino no habilitado")]
    other_branch = exchange(sim, "batch.status", {"branch_code": "SUC-02", "process_id": PROCESS_ID,
                                                  "transaction_id": "TRX-1"})
    duplicate = authorize(sim, "http://127.0.0.1:9/hook", transfer("TRX-9"))
    assert [(e["status"], e["errors"][0]["code"]) for e in (other_branch, duplicate)] == [(404, "LOTE_NO_ENCONTRADO"), (409, "DUPLICADO")]


@pytest.mark.parametrize(
    ("replies", "errors"),
    [
        ([(500, "{}"), (200, '{"codigoRespuesta":"ERROR"}')], ["HTTP 500", 'no "codigoRespuesta": "EXITOSO" in the answer', None]),
        ([(200, "ok")] * 3, ["the answer is not JSON"] * 3),
    ],
)
def test_notifications_are_retried_until_acknowledged_or_given_up(sim: Simulator, replies: Any, errors: Any) -> None:
    tokens: set[str] = set()

    def inbox(token: str, body: str) -> tuple[int, str]:
        tokens.add(token)
        return replies.pop(0) if replies else (200, '{"codigoRespuesta":"EXITOSO"}')

    with WebhookReceiver(inbox) as receiver:
        authorize(sim, receiver.url, transfer("TRX-1"), transfer("TRX-2"))
        assert sim.wait_for_notifications(10)
    assert [(d.attempt, d.error) for d in sim.deliveries if d.transaction_id == "TRX-1"] == list(enumerate(errors, 1))
    # Giving up on one notification does not hold back the next transfer.
    assert [d.acknowledged for d in sim.deliveries if d.transaction_id == "TRX-2"] == [True]
    assert tokens == {HOOK_SECRET}


def test_an_unreachable_receiver_is_given_up_on(sim: Simulator) -> None:
    with socket.socket() as spare:
        spare.bind(("127.0.0.1", 0))
        closed_port = spare.getsockname()[1]
    authorize(sim, f"http://127.0.0.1:{closed_port}/hook", transfer("TRX-1"))
    assert sim.wait_for_notifications(10)
    assert [(d.attempt, d.status, d.acknowledged) for d in sim.deliveries] == [(n, None, False) for n in (1, 2, 3)]
