"""What the Python client adds over raw httpx: its own CPU per call, over an in-memory transport.

    python bench/client_overhead.py [ROUNDS]

Each case is run by `Client` and by the least a caller writing the same exchange by hand would do
(httpx's `build_request` with the same method, URL, headers and JSON body, `send`, `json.loads` of
the answer), both against the same in-memory transport and the same provider answer. The figure is the CPU time of the fastest
of several rounds divided by the calls in it; "own" is the client's time less raw httpx's.

For batches the client's own Python work (everything but the core's two calls and httpx) is
set beside the core's own time for the same payloads: `authorize_batch` and `batch_status`.
"""

from __future__ import annotations

import gc
import json
import sys
import time
from collections.abc import Callable
from decimal import Decimal
from pathlib import Path
from typing import Any

import httpx

sys.path.insert(0, str(Path(__file__).resolve().parent))
from payloads import PROCESS_ID, _wire_transfer
from quorvel_bo.payouts import BatchTransfer, Client, Recipient, ScannedQr, call

BASE = "https://api-test.quorvel.bo/sandbox"
TOKEN = "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.eyJzdWIiOiJiby1wYXlvdXRzIn0.c2ln"
QR = ScannedQr(reference="104589", amount=Decimal(150), currency="BOB", description="Factura 881",
               recipient=Recipient(account="10000045821", holder="Comercial Andina SRL", bank_code="1001",
                                   bank_name="Banco Union S.A.", document_id="1020304025"),
               expires_on="2026-12-31")
SCAN = {"numeroReferencia": 104589, "importe": 150.00, "moneda": "BOB", "glosa": "Factura 881",
        "cuentaDestino": 10000045821, "ciNitDestino": "1020304025", "titularDestino": "Comercial Andina SRL",
        "codigoBancoDestino": 1001, "nombreBancoDestino": "Banco Union S.A.", "fechaVencimiento": "2026-12-31"}
PAYOUT = {"numeroReferencia": "104589", "transaccionId": "88122", "fechaHoraTransaccion": "2026-12-07T10:15:30",
          "estado": "PENDIENTE", "importe": "150.00", "moneda": "BOB", "glosa": "Factura 881",
          "cuentaOrigen": "2012345678", "titularOrigen": "Importadora del Sur Ltda", "cuentaDestino": "10000045821",
          "titularDestino": "Comercial Andina SRL", "codigoBancoDestino": 1001,
          "nombreBancoDestino": "Banco Union S.A.", "numOrdenAch": 5520981}


def _answer(data: Any) -> bytes:
    return json.dumps({"code": "00", "message": "Operacion exitosa", "data": data}).encode()


def _transport(body: bytes, seen: list[httpx.Request] | None = None) -> httpx.MockTransport:
    headers = {"content-type": "application/json"}

    def answer(request: httpx.Request) -> httpx.Response:
        if seen is not None:
            seen.append(request)
        return httpx.Response(200, content=body, headers=headers)

    return httpx.MockTransport(answer)


# What httpx adds to every request by itself.
_HTTPX_OWN = frozenset({"host", "accept-encoding", "connection", "user-agent", "content-length"})


def _raw(http: httpx.Client, sent: httpx.Request) -> Callable[[], Any]:
    """The request the client sent, made by hand: same method, URL, headers and JSON body."""
    method, url = sent.method, str(sent.url)
    headers = {k: v for k, v in sent.headers.items() if k not in _HTTPX_OWN}
    body = json.loads(sent.content) if sent.content else None

    def one() -> Any:
        content = None if body is None else json.dumps(body).encode()
        request = http.build_request(method, url, headers=headers, content=content, timeout=60.0)
        return json.loads(http.send(request).content)

    return one


def _cpu(work: Callable[[], Any], calls: int, rounds: int) -> float:
    """CPU seconds per call of the fastest round."""
    best = float("inf")
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            started = time.process_time()
            for _ in range(calls):
                work()
            best = min(best, (time.process_time() - started) / calls)
    finally:
        gc.enable()
    return best


def single_calls(rounds: int) -> list[str]:
    cases = [
        ("Client.scan", _answer(SCAN), lambda c: c.scan("000201010212265800")),
        ("Client.pay", _answer(PAYOUT), lambda c: c.pay(QR, "2012345678", "ord-2024-0001")),
        ("Client.payout_status", _answer(PAYOUT), lambda c: c.payout_status("104589")),
    ]
    lines = ["| call | client (µs) | raw httpx + json (µs) | client's own (µs) |", "|---|---:|---:|---:|"]
    for name, answer, use in cases:
        seen: list[httpx.Request] = []
        with Client("bench", token=TOKEN, base_url=BASE, transport=_transport(answer, seen)) as client, \
                httpx.Client(transport=_transport(answer)) as http:
            def mine(use: Callable[[Client], Any] = use, client: Client = client) -> Any:
                return use(client)

            mine()
            raw = _raw(http, seen[0])
            raw()
            # Interleaved, so that both meet the machine in the same state.
            times = {"client": float("inf"), "raw": float("inf")}
            for _ in range(rounds):
                times["client"] = min(times["client"], _cpu(mine, 300, 1))
                times["raw"] = min(times["raw"], _cpu(raw, 300, 1))
        own = times["client"] - times["raw"]
        lines.append(f"| {name} | {times['client'] * 1e6:.1f} | {times['raw'] * 1e6:.1f} | {own * 1e6:.1f} |")
    return lines


def _transfers(count: int) -> list[BatchTransfer]:
    return [
        BatchTransfer(transaction_id=f"TRX-{i:08d}", amount=Decimal(f"{100 + (i * 37) % 9000}.{(i * 13) % 100:02d}"),
                      date="2026-12-07", source_account="2012345678", destination_account=f"{3000000000 + i:010d}",
                      bank_code="1001", branch_city="lpz", description=f"Sueldo diciembre planilla {i % 40}",
                      recipient_document_id=str(4_500_000 + i), recipient_name="Maria Quispe Mamani")
        for i in range(count)
    ]


class _CoreClock:
    """Wraps `call` to add up the time spent inside the core."""

    def __init__(self) -> None:
        self.spent = 0.0

    def __call__(self, op: str, payload: str) -> str:
        started = time.process_time()
        try:
            return call(op, payload)
        finally:
            self.spent += time.process_time() - started


def batches(count: int, rounds: int) -> list[str]:
    import quorvel_bo.payouts._core as core_module

    transfers = _transfers(count)
    authorized = _answer({"nroLote": 7781, "processId": PROCESS_ID, "transacciones": [
        {"transaccionId": t.transaction_id, "estado": "PENDIENTE"} for t in transfers]})
    status = _answer({"nroLote": 7781, "transacciones": [_wire_transfer(i) for i in range(count)]})
    cases = [
        ("Client.authorize_batch", authorized,
         lambda c: c.authorize_batch("SUC-01", PROCESS_ID, "https://payouts.example.com/hooks/batch",
                                     "s3cr3t-t0ken-2024-xyz", transfers)),
        ("Client.batch_status", status, lambda c: c.batch_status("SUC-01", PROCESS_ID, batch_number="7781")),
    ]
    lines = [
        (
            f"| call, {count:,} transfers | whole call (ms) | core (ms) | httpx (ms) "
            "| client's own Python (ms) | own / core |"
        ),
        "|---|---:|---:|---:|---:|---:|",
    ]
    clock = _CoreClock()
    original = core_module.call
    core_module.call = clock
    try:
        for name, answer, use in cases:
            with Client("bench", token=TOKEN, base_url=BASE, transport=_transport(answer)) as client, \
                    httpx.Client(transport=_transport(answer)) as http:
                best = (float("inf"), 0.0)
                for _ in range(rounds):
                    clock.spent = 0.0
                    whole = _cpu(lambda: use(client), 1, 1)  # noqa: B023
                    if whole < best[0]:
                        best = (whole, clock.spent)
                # The transport's share: a bodiless request and the same answer, without reading it.
                request = http.build_request("GET", BASE + "/batch")
                transport = min(_cpu(lambda: http.send(request).content, 1, 1) for _ in range(rounds))  # noqa: B023
            whole, core = best
            own = whole - core - transport
            lines.append(f"| {name} | {whole * 1e3:.1f} | {core * 1e3:.1f} | {transport * 1e3:.1f} "
                         f"| {own * 1e3:.1f} | {own / core:.2f}× |")
    finally:
        core_module.call = original
    return lines


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    print("\n".join(single_calls(rounds)))
    print()
    print("\n".join(batches(10_000, max(3, rounds // 2))))


if __name__ == "__main__":
    main()
