"""The provider simulator over loopback: its wire format through the core's build and parse stages, the client
end to end against it (the failing triggers, the webhook round trip, the README's recovery example), and the
simulator as a test double."""

from __future__ import annotations

import asyncio
import contextlib
import json
import pathlib
import re
import signal
import socket
import threading
from collections.abc import Iterator
from decimal import Decimal
from pathlib import Path
from typing import Any

import httpx
import pytest
from conftest import PROCESS_ID, SimulatorProcess
from conftest import WEBHOOK_TOKEN as HOOK_SECRET

from quorvel_bo.payouts import (AsyncClient, AuthenticationError, Backoff, BatchNotification, BatchTransfer, Client,
                                DecodeError, PaymentStatus, RetryEvent, call, parse_batch_webhook)
from quorvel_bo.payouts.simulator import (QR_FIXED_AMOUNT, QR_FIXED_USD, QR_OPEN_AMOUNT, TEST_CLIENT_ID, TEST_TOKEN,
                                          Settings, Simulator, WebhookReceiver)
from quorvel_bo.payouts.simulator._provider import Provider

FAST = Settings(settle_after=2, slow_delay=1.0, transfer_interval=0.01, webhook_backoff=0.01, webhook_attempts=3)
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


# -- the client end to end ---------------------------------------------------------------------------------

@pytest.fixture
def retries() -> list[RetryEvent]:
    return []


@pytest.fixture
def client(sim: Simulator, retries: list[RetryEvent]) -> Iterator[Client]:
    quick = Backoff(base=0.01, cap=0.02)
    with Client(TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN, backoff=quick, on_retry=retries.append) as running:
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
    transfers = [BatchTransfer(transaction_id=tx, amount=amount, date="2026-12-07", source_account="2012345678",
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


# The README's recovery example, run as written.
README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def _readme_example() -> dict[str, Any]:
    text = README.read_text(encoding="utf-8")
    block = re.search(r"<!-- The test suite runs this example against the simulator. -->\n```python\n(.*?)```", text, re.S)
    assert block, "the recovery example is missing from the README"
    namespace: dict[str, Any] = {}
    exec(compile(block.group(1), str(README), "exec"), namespace)
    return namespace


@pytest.mark.timeout(20)
@pytest.mark.parametrize(
    ("transaction_id", "status"),
    [("ORD-1", PaymentStatus.PAID), ("SIM503-1", PaymentStatus.PAID), ("SIM94-1", PaymentStatus.PAID),
     ("SIM96-1", PaymentStatus.REJECTED), ("SIMSLOW-1", PaymentStatus.PAID)],
)
def test_pay_once_settles_every_payment(transaction_id: str, status: PaymentStatus) -> None:
    pay_once = _readme_example()["pay_once"]
    with Simulator(settings=Settings(settle_after=1, slow_delay=1.0)) as sim:
        client = Client(TEST_CLIENT_ID, token=TEST_TOKEN, base_url=sim.base_url, timeout=0.5)
        payout = pay_once(client, QR_FIXED_AMOUNT, "2012345678", transaction_id, grace=0.0)
        assert (payout.status, payout.transaction_id is not None) == (status, True)


# -- the simulator as a test double: load, hostile input, stopping ------------------------------------

SCAN, CONFIRM = "/payout/sync/v3/qr/scan", "/payout/sync/v3/qr/confirm"
INSPECT = "/_simulator/payments"
MIB = 1 << 20


def post(sim: Simulator, path: str, body: Any, headers: dict[str, str] = HEADERS) -> httpx.Response:
    content = body if isinstance(body, (str, bytes)) else json.dumps(body)
    return httpx.post(f"{sim.base_url}{path}", headers=headers, content=content, timeout=10)


def scan(sim: Simulator, qr_text: str) -> int:
    return int(post(sim, SCAN, {"imagen": qr_text}).json()["data"]["numeroReferencia"])


def confirm(sim: Simulator, reference: int, transaction_id: str, importe: str = "0.00") -> httpx.Response:
    return post(sim, CONFIRM, f'{{"numeroReferencia":{reference},"cuentaOrigen":"2012345678",'
                              f'"transaccionId":"{transaction_id}","importe":{importe},"glosa":"Almuerzo"}}')


def raw_exchange(sim: Simulator, data: bytes) -> bytes:
    """Sends bytes as they are and reads the answer until the simulator closes the connection."""
    with socket.create_connection((sim.host, sim.port), timeout=10) as connection:
        connection.sendall(data)
        chunks = []
        while chunk := connection.recv(1 << 16):
            chunks.append(chunk)
    return b"".join(chunks)


def batch(process_id: str, url: str, *transaction_ids: str, importe: Any = 100.5) -> dict[str, Any]:
    return {"processId": process_id, "webhookUrl": url, "transacciones": [
        {"transaccionId": tx, "importe": importe, "fechaTransaccion": "2026-12-07", "cuentaOrigen": "2012345678",
         "cuentaDestino": "3004567812", "codeBanco": "1001", "codeSucursal": "LPZ", "glosa": "Sueldo",
         "ciNitDestino": "4589123", "titularDestino": "Maria Quispe", "tipoMoneda": "BOB"} for tx in transaction_ids]}


@pytest.fixture
def log() -> list[str]:
    return []


@pytest.fixture
def logged_sim(log: list[str]) -> Iterator[Simulator]:
    with Simulator(settings=FAST, log=log.append) as running:
        yield running


# A listen queue of 5 reset a share of such bursts: the client saw payments that may have left as lost.
@pytest.mark.timeout(60)
def test_a_burst_of_200_concurrent_payments_is_taken_whole(sim: Simulator) -> None:
    count = 200

    async def burst() -> list[Any]:
        limits = httpx.Limits(max_connections=None, max_keepalive_connections=None)
        async with httpx.AsyncClient(limits=limits, timeout=30) as http:
            client = AsyncClient(TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN, http_client=http, max_attempts=1)
            scanned = await asyncio.gather(*(client.scan(QR_FIXED_AMOUNT) for _ in range(count)))
            return await asyncio.gather(*(client.pay(qr, "2012345678", f"BURST-{n:03}") for n, qr in enumerate(scanned)),
                                        return_exceptions=True)

    outcomes = asyncio.run(burst())
    assert [o for o in outcomes if isinstance(o, BaseException)] == []
    recorded = sim.payments()
    assert recorded["duplicates_refused"] == 0
    assert sorted(p["transaction_id"] for p in recorded["payments"]) == [f"BURST-{n:03}" for n in range(count)]


@pytest.mark.timeout(30)
def test_clients_trickling_bytes_neither_hold_up_others_nor_close() -> None:
    sim = Simulator(settings=FAST)
    sim.start()
    lorises = [socket.create_connection((sim.host, sim.port), timeout=5) for _ in range(3)]
    stop, trickling = threading.Event(), threading.Event()

    def trickle() -> None:
        line = b"GET /payout/sync/v3/qr/status/104589 HTTP/1.1\r\n"
        for n in range(len(line)):  # a byte a second, each time under the per-connection time-out
            try:
                for loris in lorises:
                    loris.send(line[n : n + 1])
            except OSError:
                return
            if n == 1:
                trickling.set()
            if stop.wait(1.0):
                return

    trickler = threading.Thread(target=trickle, daemon=True)
    trickler.start()
    try:
        assert trickling.wait(10)
        answer = httpx.get(f"{sim.base_url}/payout/sync/v3/qr/status/1", headers=HEADERS, timeout=5)
        assert answer.json()["code"] == "14"
        closer = threading.Thread(target=sim.close, daemon=True)
        closer.start()
        closer.join(2.0)
        assert not closer.is_alive(), "close() waited for the trickling clients"
        for loris in lorises:  # their connections were ended, not left to run out their time-out
            # Read as ended, or as reset when a byte arrived after the end.
            with contextlib.suppress(ConnectionResetError):
                assert loris.recv(1) == b""
    finally:
        stop.set()
        trickler.join(5)
        for loris in lorises:
            loris.close()
        sim.close()


@pytest.mark.timeout(30)
def test_sigterm_stops_the_simulator_with_a_trickling_client_connected(tmp_path: Path) -> None:
    sim = SimulatorProcess(tmp_path)
    try:
        with socket.create_connection(("127.0.0.1", sim.port), timeout=5) as loris:
            loris.send(b"G")
            # Answered after the trickling client was accepted: its handler is waiting for more bytes.
            banks = httpx.post(f"{sim.base_url}/payout/async/v3/bancos", headers=HEADERS, timeout=10)
            assert banks.json()["code"] == "00"
            loris.send(b"E")
            sim.proc.send_signal(signal.SIGTERM)
            assert sim.proc.wait(2) == 0
    finally:
        sim.close()
    out = sim.log.read_text(errors="replace")
    assert "Traceback" not in out
    # The banner tells the test credentials; every request is logged.
    assert TEST_TOKEN in out and "POST /payout/async/v3/bancos -> 200" in out


@pytest.mark.parametrize(
    "importe",
    ["1e10000000", '"1e10000000"', "1E+999999999999", "1e-10000000", "1" + "0" * 40, "0.001", '"1_000"',
     '"\\u0661\\u0660"', '"NaN"', '"-Infinity"', '"12,50"'],
)
def test_an_amount_out_of_range_or_form_is_refused_as_invalid(sim: Simulator, importe: str) -> None:
    expected = {"code": "05", "errorCode": "VALIDACION", "errorMessage": "datos de la solicitud inválidos"}
    paid = confirm(sim, scan(sim, QR_OPEN_AMOUNT), "ORD-1", importe)
    assert (paid.status_code, paid.json()) == (400, {**expected, "data": ["importe inválido"]})
    transfer_body = json.dumps(batch(PROCESS_ID, "http://127.0.0.1:9/h?token=x", "TRX-1")).replace("100.5", importe)
    authorized = post(sim, "/payout/async/v3/lote/autorizar", transfer_body)
    assert (authorized.status_code, authorized.json()) == (400, {**expected, "data": ["transacciones[1].importe inválido"]})
    assert sim.payments() == {"duplicates_refused": 0, "payments": []}


@pytest.mark.parametrize(
    ("request_line", "logged"),
    [
        (b"GET /payout/\x1b[2J\x1b]0;pwned\x07?q=\x9b HTTP/1.0", r"GET /payout/\x1b[2J\x1b]0;pwned\x07?q=\x9b -> 404"),
        (b"\x1b[31mRED\x1b[0m", r"\x1b[31mRED\x1b[0m -> 400"),  # not even a request line
        (b"GET /hooks/batch?Token=hunter2&x=1 HTTP/1.0", "GET /hooks/batch?Token=[redacted]&x=1 -> 404"),
    ],
)
def test_the_log_escapes_control_characters_and_redacts_tokens(
    logged_sim: Simulator, log: list[str], request_line: bytes, logged: str
) -> None:
    raw_exchange(logged_sim, request_line + b"\r\n\r\n")
    assert logged in log
    assert not any(ch in line for line in log for ch in "\x1b\x07\x9b") and "hunter2" not in "".join(log)


@pytest.mark.parametrize(
    ("header", "status"),
    [
        (f"Content-Length: {MIB + 1}", 413),
        ("Content-Length: " + "9" * 40, 413),
        ("Content-Length: -1", 400),
        ("Content-Length: 12abc", 400),
        ("Transfer-Encoding: chunked", 411),
    ],
)
def test_a_body_too_large_or_without_a_length_is_refused_before_it_is_read(sim: Simulator, header: str, status: int) -> None:
    # Only the head is sent: the answer comes without the simulator waiting for the body.
    answer = raw_exchange(sim, f"POST {SCAN} HTTP/1.1\r\nHost: sim\r\n{header}\r\n\r\n".encode())
    assert answer.split(b"\r\n", 1)[0].startswith(f"HTTP/1.0 {status} ".encode())


@pytest.mark.parametrize(("size", "status"), [(MIB, 400), (MIB + 1, 413)])
def test_the_body_limit_is_one_mebibyte(sim: Simulator, size: int, status: int) -> None:
    # A refused body is drained, not left unread, so the client sending it still reads the answer.
    assert post(sim, SCAN, b" " * size).status_code == status


@pytest.mark.parametrize(
    "url",
    ["http://127.0.0.1:9/hook?token=x",  # nothing listens there: refused
     "http://127.0.0.1:99999/hook?token=x", "http://127.0.0.1:port/hook?token=x", "http://127.0.0.1:0/hook?token=x",
     "http://127.0.0.1:0/a b\r\nX-Injected: 1?token=x"],
)
def test_an_unusable_notification_address_fails_only_its_own_deliveries(sim: Simulator, url: str) -> None:
    def acknowledge(token: str, body: str) -> tuple[int, str]:
        return 200, '{"codigoRespuesta":"EXITOSO"}'

    other_process = "6c1a9f2e-3b8d-4e7f-8a64-1d6e3f8c0a22"
    with WebhookReceiver(acknowledge) as receiver:
        assert post(sim, "/payout/async/v3/lote/autorizar", batch(PROCESS_ID, url, "BAD-1", "BAD-2")).status_code == 200
        assert post(sim, "/payout/async/v3/lote/autorizar",
                    batch(other_process, receiver.url + "?token=x", "OK-1")).status_code == 200
        assert sim.wait_for_notifications(10)
    attempts: dict[str, list[tuple[int | None, bool]]] = {}
    for delivery in sim.deliveries:
        attempts.setdefault(delivery.transaction_id, []).append((delivery.status, delivery.acknowledged))
    assert attempts == {"BAD-1": [(None, False)] * 3, "BAD-2": [(None, False)] * 3, "OK-1": [(200, True)]}
    status = httpx.get(f"{sim.base_url}/payout/async/v3/lote/estado/{PROCESS_ID}?transaccionId=BAD-2",
                       headers=HEADERS, timeout=10)
    assert status.json()["data"]["transacciones"][0]["estado"] == "PAGADO"


# -- the simulator as a witness: what it recorded --------------------------------------------------------

def test_inspection_lists_payments_in_order_and_counts_duplicates_refused(sim: Simulator) -> None:
    first, second, third, fourth = (scan(sim, qr) for qr in (QR_FIXED_AMOUNT, QR_OPEN_AMOUNT, QR_FIXED_USD, QR_FIXED_AMOUNT))
    codes = [confirm(sim, reference, tx, importe).json()["code"] for reference, tx, importe in [
        (first, "ORD-1", "0.00"), (second, "ORD-2", "75.5"), (third, "SIM96-3", "0"),
        (first, "ORD-4", "0"),     # the QR is already paid
        (fourth, "ORD-1", "0"),    # the transaction id is already used
        (fourth, "SIMREJ-5", "0"), (fourth, "ORD-6", "1e10000000")]]
    assert codes == ["00", "00", "96", "21", "21", "51", "05"]
    answer = httpx.get(f"{sim.base_url}{INSPECT}", headers=HEADERS, timeout=10)
    assert answer.status_code == 200
    assert answer.json() == sim.payments() == {"duplicates_refused": 2, "payments": [
        {"transaction_id": "ORD-1", "reference": str(first), "amount": "150.00", "currency": "BOB", "status": "PAGADO"},
        {"transaction_id": "ORD-2", "reference": str(second), "amount": "75.50", "currency": "BOB", "status": "PAGADO"},
        {"transaction_id": "SIM96-3", "reference": str(third), "amount": "25.50", "currency": "USD",
         "status": "RECHAZADO"}]}
    assert list(answer.json()) == ["duplicates_refused", "payments"]
    assert list(answer.json()["payments"][0]) == ["transaction_id", "reference", "amount", "currency", "status"]


@pytest.mark.parametrize(
    ("method", "headers", "status"),
    [
        ("GET", {"Authorization": None}, 401),
        ("GET", {"access_token": "not-the-token"}, 401),
        ("GET", {"client_id": "someone-else"}, 403),
        ("POST", {}, 405),
    ],
)
def test_inspection_needs_the_api_credentials(sim: Simulator, method: str, headers: dict[str, str | None], status: int) -> None:
    sent = {k: v for k, v in {**HEADERS, **headers}.items() if v is not None}
    assert httpx.request(method, f"{sim.base_url}{INSPECT}", headers=sent, timeout=10).status_code == status


@pytest.mark.parametrize(
    ("peer", "status"),
    [("127.0.0.1", 200), ("127.9.8.7", 200), ("::1", 200), ("::ffff:127.0.0.1", 200),
     ("10.0.0.7", 404), ("192.168.1.20", 404), ("::ffff:10.0.0.7", 404), ("fe80::1%eth0", 404), ("", 404)],
)
def test_inspection_answers_loopback_callers_only(peer: str, status: int) -> None:
    provider = Provider(Settings(), lambda batch: None)
    assert provider.handle("GET", INSPECT, HEADERS, "", peer).status == status
