"""How long AsyncClient holds up the event loop on large batches: the longest gap a probe sees.

    python bench/loop_lag.py [TRANSFERS ...]

A probe task asks to wake every millisecond; the longest time between two of its wake-ups while
``authorize_batch`` and ``batch_status`` run (over an in-memory transport) is the loop's worst
stall. The core's own time for the same call is printed beside it: the core keeps the
interpreter lock for the whole of a call, so no stall can be shorter than it.
"""

from __future__ import annotations

import asyncio
import json
import sys
import time
from decimal import Decimal
from typing import Any

import httpx

from quorvel_bo.payouts import AsyncClient, BatchTransfer, call

PROCESS = "5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11"


def _transfers(count: int) -> list[BatchTransfer]:
    return [
        BatchTransfer(transaction_id=f"TRX-{i:06d}", amount=Decimal(f"{1 + i % 900}.{i % 100:02d}"), date="2026-12-07",
                      source_account="2012345678", destination_account="3004567812", bank_code="1001",
                      branch_city="LPZ", description="Sueldo diciembre", recipient_document_id="4589123",
                      recipient_name="Maria Quispe")
        for i in range(count)
    ]


def _answer(transfers: list[BatchTransfer]) -> str:
    wire = [{"transaccionId": t.transaction_id, "estado": "PAGADO", "importe": str(t.amount)} for t in transfers]
    return json.dumps({"code": "00", "data": {"nroLote": 7781, "processId": PROCESS, "transacciones": wire}})


async def _probe(stop: asyncio.Event, gaps: list[float]) -> None:
    last = time.perf_counter()
    while not stop.is_set():
        await asyncio.sleep(0.001)
        now = time.perf_counter()
        gaps.append(now - last)
        last = now


async def _measure(count: int) -> tuple[float, float, float]:
    transfers = _transfers(count)
    body = _answer(transfers)
    client = AsyncClient("bench", token="t", transport=httpx.MockTransport(lambda r: httpx.Response(200, text=body)))
    stop, gaps = asyncio.Event(), list[float]()
    probe = asyncio.create_task(_probe(stop, gaps))
    await asyncio.sleep(0.01)
    started = time.perf_counter()
    await client.authorize_batch("SUC-01", PROCESS, "https://h.example/hook", "secret-token-2024-bench", transfers)
    await client.batch_status("SUC-01", PROCESS, batch_number="7781")
    total = time.perf_counter() - started
    stop.set()
    await probe
    await client.aclose()
    return max(gaps), total, _core_time(transfers, body)


def _core_time(transfers: list[BatchTransfer], body: str) -> float:
    """The longest single core call of the two operations (the build of the authorisation)."""
    config = {"client_id": "bench", "environment": "sandbox", "base_url": None}
    token = {"access_token": "t", "token_type": "Bearer", "expires_at": 0, "scope": None}
    data: dict[str, Any] = {"branch_code": "SUC-01", "process_id": PROCESS, "webhook_url": "https://h.example/hook",
                            "webhook_token": "secret-token-2024-bench", "transfers": [t.to_core() for t in transfers]}
    payload = json.dumps({"config": config, "token": token, "input": data})
    started = time.perf_counter()
    call("batch.authorize.build", payload)
    build = time.perf_counter() - started
    payload = json.dumps({"input": data, "response": {"status": 200, "body": body}})
    started = time.perf_counter()
    call("batch.authorize.parse", payload)
    return max(build, time.perf_counter() - started)


def main() -> None:
    counts = [int(a) for a in sys.argv[1:]] or [20_000, 100_000]
    print("| transfers | whole exchange (ms) | longest loop stall (ms) | longest core call (ms) |")
    print("|---:|---:|---:|---:|")
    for count in counts:
        stall, total, core = asyncio.run(_measure(count))
        print(f"| {count:,} | {total * 1e3:,.0f} | {stall * 1e3:,.1f} | {core * 1e3:,.1f} |")


if __name__ == "__main__":
    main()
