"""Batch progress in the background: transfers complete one by one and each is notified to the batch's address.

A notification counts as delivered when the receiver answers 2xx with a JSON object whose
"codigoRespuesta" is "EXITOSO"; otherwise it is sent again after a doubling back-off, a bounded
number of times.
"""

from __future__ import annotations

import json
import threading
import time
from dataclasses import dataclass
from http.client import HTTPConnection, HTTPException, HTTPSConnection
from urllib.parse import urlsplit

from quorvel_bo.payouts.simulator._catalog import PENDING
from quorvel_bo.payouts.simulator._provider import Batch, Provider, Settings

ACK_WORD = "EXITOSO"
USER_AGENT = "sim-provider-notifier/1.0"


@dataclass(frozen=True)
class Delivery:
    """One attempt at delivering one notification."""

    batch_number: str
    transaction_id: str
    attempt: int
    status: int | None
    """The receiver's HTTP status; None when no answer came (refused, time-out)."""
    acknowledged: bool
    error: str | None
    """Why the attempt did not count, or None."""


def post_notification(url: str, body: str, timeout: float) -> tuple[int | None, bool, str | None]:
    """Sends one notification; returns the status, whether it was acknowledged, and the reason if not."""
    try:
        parts = urlsplit(url)
        connection_type = HTTPSConnection if parts.scheme == "https" else HTTPConnection
        target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        connection = connection_type(parts.hostname or "", parts.port, timeout=timeout)
        try:
            connection.request(
                "POST",
                target,
                body=body.encode("utf-8"),
                headers={"Content-Type": "application/json; charset=utf-8", "User-Agent": USER_AGENT},
            )
            response = connection.getresponse()
            status = response.status
            answer = response.read().decode("utf-8", "replace")
        finally:
            connection.close()
    except (OSError, HTTPException, ValueError) as exc:
        # ValueError: an address that cannot be used at all (port 99999, a bad IPv6 literal, a
        # host name that does not encode); like an unreachable receiver, it is retried, then given up.
        return None, False, f"{type(exc).__name__}: {exc}"
    if not 200 <= status <= 299:
        return status, False, f"HTTP {status}"
    try:
        ack = json.loads(answer)
    except ValueError:
        return status, False, "the answer is not JSON"
    if not isinstance(ack, dict) or ack.get("codigoRespuesta") != ACK_WORD:
        return status, False, f'no "codigoRespuesta": "{ACK_WORD}" in the answer'
    return status, True, None


class Notifier:
    """Runs each batch in a thread of its own until every transfer is settled and notified."""

    def __init__(self, provider: Provider, settings: Settings, stop: threading.Event) -> None:
        self._provider = provider
        self._settings = settings
        self._stop = stop
        self._idle = threading.Condition()
        self._active = 0
        self._threads: list[threading.Thread] = []
        self._deliveries: list[Delivery] = []

    @property
    def deliveries(self) -> list[Delivery]:
        with self._idle:
            return list(self._deliveries)

    def submit(self, batch: Batch) -> None:
        thread = threading.Thread(target=self._run, args=(batch,), name=f"lote-{batch.number}", daemon=True)
        with self._idle:
            self._active += 1
            self._threads.append(thread)
        thread.start()

    def wait_idle(self, timeout: float) -> bool:
        """Waits until every batch has finished; False when the time-out came first."""
        with self._idle:
            return self._idle.wait_for(lambda: self._active == 0, timeout)

    def close(self, timeout: float = 1.0) -> None:
        """Stops every batch; waits for them at most ``timeout`` in all (a delivery under way may not end sooner)."""
        self._stop.set()
        with self._idle:
            threads = list(self._threads)
        deadline = time.monotonic() + timeout
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))

    def _run(self, batch: Batch) -> None:
        try:
            for transfer in batch.transfers:
                if transfer.status != PENDING:
                    continue
                self._provider.start_transfer(transfer)
                if self._stop.wait(self._settings.transfer_interval):
                    return
                body = self._provider.complete_transfer(batch, transfer)
                if not self._deliver(batch, transfer.transaction_id, body):
                    return
        finally:
            with self._idle:
                self._active -= 1
                self._idle.notify_all()

    def _deliver(self, batch: Batch, transaction_id: str, body: str) -> bool:
        """Delivers one notification with retries; False when the simulator is stopping."""
        delay = self._settings.webhook_backoff
        for attempt in range(1, self._settings.webhook_attempts + 1):
            status, acknowledged, error = post_notification(batch.webhook_url, body, self._settings.webhook_timeout)
            with self._idle:
                self._deliveries.append(
                    Delivery(str(batch.number), transaction_id, attempt, status, acknowledged, error)
                )
            if acknowledged or attempt == self._settings.webhook_attempts:
                break
            if self._stop.wait(delay):
                return False
            delay = min(delay * 2, self._settings.webhook_backoff_max)
        return not self._stop.is_set()
