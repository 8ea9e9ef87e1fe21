"""The end-to-end demonstration: the client against the provider simulator, over loopback.

``python -m quorvel_bo.payouts demo`` starts the simulator and a webhook receiver on free
loopback ports, runs the QR and batch roads with ``Client`` and prints each step and check as
it goes. The exit status is 0 when every check passed.
"""

from __future__ import annotations

import http.client
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from decimal import Decimal
from typing import TextIO

from quorvel_bo.payouts import (
    AmbiguousPaymentError,
    Backoff,
    BatchNotification,
    BatchTransfer,
    Client,
    PaymentStatus,
    PayoutsError,
    RetryEvent,
    WebhookAuthError,
    parse_batch_webhook,
)
from quorvel_bo.payouts.simulator import (
    QR_FIXED_AMOUNT,
    QR_OPEN_AMOUNT,
    TEST_CLIENT_ID,
    TEST_TOKEN,
    TRIGGER_AMBIGUOUS_94,
    TRIGGER_AMBIGUOUS_96,
    TRIGGER_REJECT,
    TRIGGER_SLOW,
    TRIGGER_UNAVAILABLE,
    Settings,
    Simulator,
    WebhookReceiver,
)

# The secret this demo's webhook endpoint expects; it travels as the "token" query parameter.
WEBHOOK_TOKEN = "demo-webhook-secret-2024"
BRANCH = "SUC-01"
SOURCE_ACCOUNT = "2012345678"
# Bounds that keep the demo from hanging whatever goes wrong.
NOTIFICATION_WAIT = 10.0
RESOLVE_DEADLINE = 5.0

SETTINGS = Settings(settle_after=2, slow_delay=1.0, transfer_interval=0.05, webhook_backoff=0.05)


class Report:
    """Prints steps and checks as they happen and counts the failures."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self.passed = 0
        self.failed = 0
        self._steps = 0
        self._closed = False

    def say(self, text: str = "") -> None:
        if self._closed:
            return
        try:
            try:
                self._out.write(text + "\n")
            except UnicodeEncodeError:
                encoding = getattr(self._out, "encoding", None) or "ascii"
                self._out.write(text.encode(encoding, "backslashreplace").decode(encoding) + "\n")
            self._out.flush()
        except BrokenPipeError:
            # The reader went away (`demo | head`): finish quietly, the exit status still tells.
            self._closed = True
            if self._out is sys.stdout:
                os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())

    def step(self, title: str) -> None:
        self._steps += 1
        self.say(f"\n[{self._steps}] {title}")

    def note(self, text: str) -> None:
        self.say(f"      {text}")

    def check(self, label: str, ok: bool, detail: str = "") -> bool:
        if ok:
            self.passed += 1
            self.say(f"    ok    {label}")
        else:
            self.failed += 1
            self.say(f"    FAIL  {label}" + (f": {detail}" if detail else ""))
        return ok

    def equal(self, label: str, actual: object, expected: object) -> bool:
        return self.check(f"{label}: {_show(expected)}", actual == expected, f"got {_show(actual)}")


def _show(value: object) -> str:
    """Values as a reader wants them: enums by their value, containers without brackets and quotes."""
    if isinstance(value, dict):
        return ", ".join(f"{_show(k)} {_show(v)}" for k, v in value.items())
    if isinstance(value, (list, tuple, set)):
        return ", ".join(_show(v) for v in value) or "(none)"
    return str(value)


class Inbox:
    """The demo's webhook endpoint: verifies each notification and answers with its acknowledgement.

    The first delivery is refused with a 503, as a receiver in trouble would, so that the
    provider's retry shows.
    """

    def __init__(self, expected_token: str) -> None:
        self._expected = expected_token
        self._lock = threading.Lock()
        self.outages_left = 1
        self.notifications: list[BatchNotification] = []
        self.refused: list[int] = []
        # The receiver's access log, one line per request, the token redacted as it is written.
        self.access_log: list[str] = []

    def __call__(self, token: str, body: str) -> tuple[int, str]:
        with self._lock:
            if self.outages_left > 0:
                self.outages_left -= 1
                self.refused.append(503)
                return 503, '{"error":"temporarily unavailable"}'
        try:
            notification = parse_batch_webhook(token, body, self._expected)
        except WebhookAuthError as exc:
            with self._lock:
                self.refused.append(401)
            return 401, json.dumps({"error": exc.message})
        except PayoutsError as exc:
            with self._lock:
                self.refused.append(400)
            return 400, json.dumps({"error": exc.message})
        with self._lock:
            self.notifications.append(notification)
        return 200, json.dumps(notification.ack)


def _post(url: str, body: str) -> int:
    """POSTs a body to a loopback URL and returns the status (used to forge a notification)."""
    rest = url.split("://", 1)[1]
    hostport, _, path = rest.partition("/")
    host, _, port = hostport.rpartition(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=5)
    try:
        connection.request("POST", "/" + path, body=body.encode(), headers={"Content-Type": "application/json"})
        response = connection.getresponse()
        response.read()
        return response.status
    finally:
        connection.close()


@contextmanager
def _servers(inbox: Inbox) -> Iterator[tuple[Simulator, WebhookReceiver]]:
    with Simulator(settings=SETTINGS) as sim, WebhookReceiver(inbox, log=inbox.access_log.append) as receiver:
        yield sim, receiver


def _qr_road(report: Report, client: Client) -> None:
    report.step(f"Scan the QR {QR_FIXED_AMOUNT!r}")
    scanned = client.scan(QR_FIXED_AMOUNT)
    report.note(
        f"reference {scanned.reference}: {scanned.amount} {scanned.currency} to {scanned.recipient.holder} "
        f"({scanned.recipient.bank_name}), {scanned.description!r}"
    )
    report.equal("the fixed amount", scanned.amount, Decimal("150"))
    report.equal("the recipient's account", scanned.recipient.account, "10000045821")

    report.step("Pay it, then follow it until it is final")
    payout = client.pay(scanned, SOURCE_ACCOUNT, "DEMO-QR-0001")
    report.note(f"payout {payout.transaction_id}: {payout.status} ({payout.raw_status}), {payout.amount} {payout.currency}")
    report.equal("the status right after paying", payout.status, PaymentStatus.PENDING)
    final = client.resolve_payout(scanned.reference, deadline=RESOLVE_DEADLINE, poll_interval=0.05)
    report.note(f"settled: {final.status} ({final.raw_status}), ACH order {final.ach_order_number}")
    report.equal("the final status", final.status, PaymentStatus.PAID)
    report.equal("the amount paid", final.amount, Decimal("150"))

    report.step(f"Scan {QR_OPEN_AMOUNT!r} (no amount, no description) and pay 75.50 of it")
    open_qr = client.scan(QR_OPEN_AMOUNT)
    report.check("the QR leaves the amount open", open_qr.amount == 0, f"got {open_qr.amount}")
    payout = client.pay(open_qr, SOURCE_ACCOUNT, "DEMO-QR-0002", amount=Decimal("75.50"), description="Almuerzo")
    final = client.resolve_payout(open_qr.reference, deadline=RESOLVE_DEADLINE, poll_interval=0.05)
    report.note(f"settled: {final.status}, {final.amount} {final.currency}, {final.description!r}")
    report.equal("the final status", final.status, PaymentStatus.PAID)
    report.equal("the amount paid", final.amount, Decimal("75.5"))

    for trigger, code, outcome in (
        (TRIGGER_AMBIGUOUS_94, "94", PaymentStatus.PAID),
        (TRIGGER_AMBIGUOUS_96, "96", PaymentStatus.REJECTED),
    ):
        report.step(f"An ambiguous payment (provider code {code}), followed to its outcome")
        scanned = client.scan(QR_FIXED_AMOUNT)
        try:
            client.pay(scanned, SOURCE_ACCOUNT, f"{trigger}-DEMO")
        except AmbiguousPaymentError as exc:
            report.note(f"AmbiguousPaymentError: {exc.message}")
            report.equal("the provider code", [e.code for e in exc.errors], [code])
            report.equal("the reference to follow", exc.reference, scanned.reference)
        else:
            report.check("the payment is reported as ambiguous", False, "it was not")
        final = client.resolve_payout(scanned.reference, deadline=RESOLVE_DEADLINE, poll_interval=0.05)
        report.note(f"resolve_payout: {final.status} ({final.raw_status})" + (f", {final.message!r}" if final.message else ""))
        report.equal("the outcome", final.status, outcome)


def _batch_road(report: Report, client: Client, sim: Simulator, receiver: WebhookReceiver, inbox: Inbox) -> None:
    report.step(f"List the banks for branch {BRANCH}")
    banks = client.banks(BRANCH)
    report.note(", ".join(f"{b.code} {b.name}" for b in banks))
    report.check("the bank list holds 1001 and 1003", {"1001", "1003"} <= {b.code for b in banks})

    report.step("Authorise a batch of three transfers")
    process_id = str(uuid.uuid4())
    people = [
        ("TRX-0001", "1250.50", "3004567812", "1001", "Maria Quispe", "4589123"),
        ("TRX-0002", "980", "3009876543", "1003", "Juan Mamani", "5123987"),
        (f"{TRIGGER_REJECT}-0003", "310.25", "3001112223", "1004", "Rosa Choque", "6678123"),
    ]
    transfers = [
        BatchTransfer(
            transaction_id=tx, amount=Decimal(amount), date="2026-12-07", source_account=SOURCE_ACCOUNT,
            destination_account=account, bank_code=bank, branch_city="lpz", description="Sueldo diciembre",
            recipient_document_id=document, recipient_name=name,
        )
        for tx, amount, account, bank, name, document in people
    ]
    authorization = client.authorize_batch(BRANCH, process_id, receiver.url, WEBHOOK_TOKEN, transfers)
    report.note(f"batch {authorization.batch_number}, process {authorization.process_id}")
    report.equal(
        "every transfer's status on acceptance",
        [t.status for t in authorization.transfers],
        [PaymentStatus.PENDING] * len(transfers),
    )

    report.step("Receive and verify every notification (the first delivery meets a receiver outage)")
    done = sim.wait_for_notifications(NOTIFICATION_WAIT)
    report.check("the provider finished notifying", done, f"not within {NOTIFICATION_WAIT:g} s")
    for n in inbox.notifications:
        t = n.transfer
        report.note(f"notification: batch {n.batch_number}, {t.transaction_id} {t.status} ({t.raw_status})")
    received = {n.transfer.transaction_id: n for n in inbox.notifications}
    expected = {
        "TRX-0001": PaymentStatus.PAID,
        "TRX-0002": PaymentStatus.PAID,
        f"{TRIGGER_REJECT}-0003": PaymentStatus.REJECTED,
    }
    report.equal("the notified statuses", {tx: n.transfer.status for tx, n in received.items()}, expected)
    report.check(
        "every acknowledgement says EXITOSO for this batch",
        all(n.ack.get("codigoRespuesta") == "EXITOSO" and n.ack.get("nroLote") == authorization.batch_number
            for n in received.values()),
    )
    deliveries = sim.deliveries
    report.note(
        f"{len(deliveries)} deliveries: "
        + ", ".join(f"{d.transaction_id}#{d.attempt} {'acknowledged' if d.acknowledged else d.error}" for d in deliveries)
    )
    report.check(
        "the refused delivery was retried and every notification acknowledged",
        inbox.refused == [503] and {d.transaction_id for d in deliveries if d.acknowledged} == set(expected),
        f"refused {inbox.refused}",
    )
    forged = json.dumps({"nroLote": authorization.batch_number, "transaccionId": "TRX-0001", "estado": "PAGADO"})
    status = _post(f"{receiver.url}?token=not-the-secret-000", forged)
    report.equal("a forged notification (wrong token) is refused with HTTP", status, 401)
    for line in inbox.access_log:
        report.note(f"receiver log: {line}")
    report.check(
        "the receiver's access log shows every request but never the webhook secret",
        len(inbox.access_log) == len(deliveries) + 1
        and all(WEBHOOK_TOKEN not in line and "token=[redacted]" in line for line in inbox.access_log),
        f"{len(inbox.access_log)} lines",
    )

    report.step("Query the batch")
    batch = client.batch_status(BRANCH, process_id, batch_number=authorization.batch_number)
    for t in batch.transfers:
        report.note(f"{t.transaction_id}: {t.status} ({t.raw_status}) {t.amount} {t.currency} to {t.recipient_name}"
                    + (f", {t.message!r}" if t.message else ""))
    report.equal("the statuses", {t.transaction_id: t.status for t in batch.transfers}, expected)
    one = client.batch_status(BRANCH, process_id, transaction_id="TRX-0002")
    report.equal("the transfer found by transaction id", [t.transaction_id for t in one.transfers], ["TRX-0002"])


# The ledger part: payouts recorded, then a runner killed in the middle and restarted.
LEDGER_PAYOUTS = (
    ("DEMO-L-001", QR_FIXED_AMOUNT, None),
    ("DEMO-L-002", QR_OPEN_AMOUNT, "42.10"),
    (f"{TRIGGER_AMBIGUOUS_94}-L-003", QR_FIXED_AMOUNT, None),
    (f"{TRIGGER_SLOW}-L-004", QR_OPEN_AMOUNT, "7.25"),
    (f"{TRIGGER_UNAVAILABLE}-L-005", QR_FIXED_AMOUNT, None),
    ("DEMO-L-006", QR_OPEN_AMOUNT, "1999.99"),
)
LEDGER_RUN_FLAGS = (
    "--timeout", "0.5", "--lease", "1.5", "--grace", "0.5", "--poll-interval", "0.05", "--poll-max-interval", "0.2",
    "--retry-interval", "0.05", "--retry-max-interval", "0.5", "--inline-wait", "0.3", "--idle-interval", "0.05",
)
LEDGER_WAIT = 60.0


def _ledger_road(report: Report, sim: Simulator) -> None:
    from quorvel_bo.payouts.ledger import Ledger, PayoutState
    from quorvel_bo.payouts.ledger._cli import TOKEN_VARIABLE

    report.step("The ledger: record payouts, kill the runner (SIGKILL) in the middle, restart it")
    with tempfile.TemporaryDirectory(prefix="qbo-demo-") as where, Ledger(os.path.join(where, "payouts.db")) as ledger:
        db = os.path.join(where, "payouts.db")
        for key, qr, amount in LEDGER_PAYOUTS:
            ledger.add_qr_payout(key, qr, SOURCE_ACCOUNT, amount, None if amount is None else "Pago demo")
        report.note(f"{len(LEDGER_PAYOUTS)} payouts recorded in {db}; nothing sent yet")
        command = [
            sys.executable, "-m", "quorvel_bo.payouts", "ledger", "--db", db, "run", "--plain", "--until-idle",
            "--base-url", sim.base_url, "--client-id", TEST_CLIENT_ID, *LEDGER_RUN_FLAGS,
        ]
        env = {**os.environ, TOKEN_VARIABLE: TEST_TOKEN}
        first = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        end = time.monotonic() + LEDGER_WAIT
        # Kill it once some payment is on its way or settled, and others are not yet.
        while time.monotonic() < end and first.poll() is None:
            now = [p.state for p in ledger.payouts()]
            if any(s in (PayoutState.PAYING, PayoutState.SUBMITTED, PayoutState.IN_DOUBT) for s in now):
                break
            time.sleep(0.01)
        first.kill()
        first.wait()
        states = {p.key: p.state.value for p in ledger.payouts()}
        report.note("runner killed; the ledger then said: " + ", ".join(f"{k} {s}" for k, s in states.items()))
        second = subprocess.run(command, capture_output=True, text=True, env=env, timeout=LEDGER_WAIT, check=False)
        report.check("the restarted runner finished", second.returncode == 0, second.stderr.strip())
        for line in second.stdout.splitlines()[:-1]:
            report.note(line)
        payouts = {p.key: p for p in ledger.payouts()}
        report.check("every payout is final", all(p.state.is_final for p in payouts.values()),
                     ", ".join(f"{k} {p.state}" for k, p in payouts.items() if not p.state.is_final))
        witness = sim.payments()
        ours = [p for p in witness["payments"] if p["transaction_id"] in payouts]
        counts = {key: sum(1 for p in ours if p["transaction_id"] == key) for key in payouts}
        report.equal("payments at the provider per payout", set(counts.values()), {1})
        report.equal("requests the provider refused as duplicates", witness["duplicates_refused"], 0)
        expected = {key: Decimal(amount or "150") for key, _, amount in LEDGER_PAYOUTS}
        report.equal("the amounts paid", {p["transaction_id"]: Decimal(p["amount"]) for p in ours}, expected)


def run_demo(out: TextIO | None = None) -> int:
    """Runs the demonstration, printing to ``out`` (standard output by default); 0 when all checks passed."""
    report = Report(out or sys.stdout)
    started = time.monotonic()
    inbox = Inbox(WEBHOOK_TOKEN)
    report.say("Payouts demo: the client against the provider simulator, over loopback")

    def retried(event: RetryEvent) -> None:
        report.note(f"retrying {event.operation} after {event.reason} (attempt {event.attempt})")

    try:
        with _servers(inbox) as (sim, receiver):
            report.say(f"  simulator  {sim.base_url}  (client_id {TEST_CLIENT_ID})")
            report.say(f"  receiver   {receiver.url}")
            with Client(
                TEST_CLIENT_ID,
                base_url=sim.base_url,
                token=TEST_TOKEN,
                backoff=Backoff(base=0.05, cap=0.2),
                on_retry=retried,
            ) as client:
                _qr_road(report, client)
                _batch_road(report, client, sim, receiver, inbox)
                _ledger_road(report, sim)
    except (PayoutsError, OSError) as exc:
        report.check("the demo ran to its end", False, f"{type(exc).__name__}: {exc}")
    elapsed = time.monotonic() - started
    verdict = "all checks passed" if report.failed == 0 else f"{report.failed} check(s) FAILED"
    report.say(f"\n{report.passed + report.failed} checks, {verdict} ({elapsed:.1f} s); servers stopped.")
    return 0 if report.failed == 0 else 1
