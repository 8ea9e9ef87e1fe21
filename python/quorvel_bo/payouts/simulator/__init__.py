"""A provider simulator: the payout API on loopback, offline, for development and tests.

It speaks the provider's API as the client expects it: the QR endpoints under
"payout/sync/v3/qr" (scan, confirm, status) and the batch endpoints under "payout/async/v3"
(bancos, lote/autorizar, lote/estado), the code/data envelope, the headers ("Authorization:
Bearer", "access_token", "client_id", and "branchCode" on batch requests) and Spanish keys.
State lives in memory: each scan of a sample QR issues a fresh reference, payouts move from
pending to their outcome over a few status queries, and batch transfers complete one by one in
the background, each notified by POST to the batch's "webhookUrl" with retries until the
receiver acknowledges it.

Values that start with a trigger prefix (``TRIGGER_*``) make it misbehave on purpose: ambiguous
payments, rejections, a 503 that succeeds on retry, a time-out, a 401, a malformed body.
``Simulator.payments()``, or ``GET /_simulator/payments`` from loopback, tells what it recorded.

    with Simulator() as sim:
        client = Client(client_id=TEST_CLIENT_ID, base_url=sim.base_url, token=TEST_TOKEN)
        client.scan(QR_FIXED_AMOUNT)

``python -m quorvel_bo.payouts simulator --port 8080`` runs it on its own.
"""

from __future__ import annotations

import sys
import threading
from typing import TextIO

from quorvel_bo.payouts.simulator._catalog import (
    BANKS,
    QR_FIXED_AMOUNT,
    QR_FIXED_USD,
    QR_OPEN_AMOUNT,
    TEST_CLIENT_ID,
    TEST_TOKEN,
    TRIGGER_AMBIGUOUS_94,
    TRIGGER_AMBIGUOUS_96,
    TRIGGER_MALFORMED,
    TRIGGER_REJECT,
    TRIGGER_SLOW,
    TRIGGER_UNAUTHORIZED,
    TRIGGER_UNAVAILABLE,
)
from quorvel_bo.payouts.simulator._notifier import ACK_WORD, Delivery
from quorvel_bo.payouts.simulator._provider import Settings
from quorvel_bo.payouts.simulator._server import Simulator, WebhookReceiver

__all__ = [
    "ACK_WORD",
    "BANKS",
    "QR_FIXED_AMOUNT",
    "QR_FIXED_USD",
    "QR_OPEN_AMOUNT",
    "TEST_CLIENT_ID",
    "TEST_TOKEN",
    "TRIGGER_AMBIGUOUS_94",
    "TRIGGER_AMBIGUOUS_96",
    "TRIGGER_MALFORMED",
    "TRIGGER_REJECT",
    "TRIGGER_SLOW",
    "TRIGGER_UNAUTHORIZED",
    "TRIGGER_UNAVAILABLE",
    "Delivery",
    "Settings",
    "Simulator",
    "WebhookReceiver",
    "serve",
]

TRIGGER_TABLE = f"""\
triggers (a value starting with the prefix):
  {TRIGGER_AMBIGUOUS_94:<8} pay transaction_id      code "94"; the payout ends paid
  {TRIGGER_AMBIGUOUS_96:<8} pay transaction_id      code "96"; the payout ends rejected
  {TRIGGER_REJECT:<8} pay transaction_id      code "51", three messages joined by "; "
           batch transfer id       the transfer ends rejected
  {TRIGGER_UNAVAILABLE:<8} qr_text, transaction_id, branch code: HTTP 503 once, then normal
  {TRIGGER_SLOW:<8} qr_text, transaction_id, branch code: answer held back once (time-out)
  {TRIGGER_UNAUTHORIZED:<8} qr_text, transaction_id, branch code: HTTP 401
  {TRIGGER_MALFORMED:<8} qr_text, transaction_id, branch code: HTTP 200 with a truncated JSON body"""


def banner(sim: Simulator) -> str:
    return "\n".join(
        [
            f"provider simulator on {sim.base_url}",
            f"  client_id     {sim.settings.client_id}",
            f"  access token  {sim.settings.token}",
            f"  QR texts      {QR_FIXED_AMOUNT} (150.00 BOB), {QR_FIXED_USD} (25.50 USD), "
            f"{QR_OPEN_AMOUNT} (open amount, no description)",
            f"  banks         {', '.join(BANKS)}",
            TRIGGER_TABLE,
            "Ctrl-C stops it.",
        ]
    )


def serve(
    host: str = "127.0.0.1",
    port: int = 0,
    settings: Settings | None = None,
    out: TextIO | None = None,
    stop: threading.Event | None = None,
) -> None:
    """Runs the simulator until ``stop`` is set or the process is interrupted, logging each request."""
    stream = out or sys.stdout

    def log(line: str) -> None:
        print(line, file=stream, flush=True)

    with Simulator(host, port, settings, log=log) as sim:
        log(banner(sim))
        waiter = stop or threading.Event()
        try:
            while not waiter.wait(0.5):
                pass
        except KeyboardInterrupt:
            log("stopping")
