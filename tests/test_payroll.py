"""Payrolls on the ledger: the import's full problem report, batches in chunks, write-ahead authorisation and
its doubt, reconciliation, the notification endpoint, the export."""

from __future__ import annotations

import csv
import io
import json
import subprocess
import time
from collections.abc import Iterator
from decimal import Decimal
from pathlib import Path
from typing import Any

import httpx
import pytest
from conftest import (PAYROLL_COLUMNS, PURE_PYTHON, WEBHOOK_TOKEN, EndpointProcess, fast_run_options, ledger_cli,
                      payroll_rows, write_payroll)
from quorvel_bo.payouts import Backoff, BatchTransfer
from quorvel_bo.payouts.ledger import BatchState, ClientSettings, ImportProblemsError, Ledger
from quorvel_bo.payouts.ledger._engine import open_engine
from quorvel_bo.payouts.ledger._store import Store
from quorvel_bo.payouts.simulator import TEST_CLIENT_ID, TEST_TOKEN, Settings, Simulator

pytestmark = PURE_PYTHON

BRANCH = "SUC-01"
HOOK = "http://127.0.0.1:9/hooks/batch"  # the discard port: notifications to it are lost
FAST = fast_run_options()


def _import(db: str, path: Path, *extra: str) -> subprocess.CompletedProcess[str]:
    return ledger_cli("--db", db, "import", str(path), "--branch", BRANCH, "--webhook-url", HOOK,
                   "--webhook-token", WEBHOOK_TOKEN, "--json", *extra)


def _problems(result: subprocess.CompletedProcess[str]) -> set[tuple[Any, ...]]:
    document = json.loads(result.stdout)
    return {(p["line"], p["column"], p["transaction_id"], p["message"]) for p in document["problems"]}


# -- import --------------------------------------------------------------------------------------------

# Row index (0-based; the file line is index + 2) -> (column, bad value, the core's message).
BAD_CELLS = {
    3: ("bank_code", "10A1", "must be 3 to 8 digits"),
    7: ("date", "2024-02-30", "must be a date as yyyy-mm-dd"),
    11: ("branch_city", "La Paz", "one of CBB, COB, LPZ, ORU, POT, SCZ, SUC, TJA, TRI"),
    12: ("currency", "usd", "BOB or USD"),
    17: ("amount", "12,50", "invalid amount `12,50`"),
    20: ("amount", "0", "must be greater than zero"),
    21: ("transaction_id", "P-123456789012345", "3 to 14 letters, digits, `-` or `_`"),
    24: ("description", "", "must not be empty"),
}


def _bad_file(tmp_path: Path, sep: str, bom: bool) -> tuple[Path, set[tuple[Any, ...]]]:
    rows = payroll_rows(30)
    expected = set()
    for index, (column, value, message) in BAD_CELLS.items():
        rows[index][column] = value
        tid = rows[index]["transaction_id"]
        expected.add((index + 2, column, tid, message))
    # One row with two problems, both reported; and an id the file already used.
    rows[26]["bank_code"], rows[26]["recipient_name"] = "", "Al"
    expected |= {(28, "bank_code", rows[26]["transaction_id"], "must be 3 to 8 digits"),
                 (28, "recipient_name", rows[26]["transaction_id"], "3 to 80 characters")}
    rows[29]["transaction_id"] = rows[1]["transaction_id"]
    expected.add((31, "transaction_id", rows[1]["transaction_id"], "must be unique in the file (also on line 3)"))
    return write_payroll(tmp_path / "payroll.csv", rows, sep=sep, bom=bom), expected


@pytest.mark.timeout(60)
@pytest.mark.parametrize(("sep", "bom"), [(",", False), (";", True), (",", True), (";", False)],
                         ids=["comma", "semicolon-bom", "comma-bom", "semicolon"])
def test_every_bad_row_is_reported_at_once_and_nothing_is_recorded(tmp_path: Path, sep: str, bom: bool) -> None:
    db = str(tmp_path / "ledger.db")
    path, expected = _bad_file(tmp_path, sep, bom)
    result = _import(db, path)
    assert result.returncode == 1
    assert _problems(result) == expected
    # Each problem also reaches the terminal, with the file, line, column and transaction id.
    assert f"{path}: line 5, column bank_code: must be 3 to 8 digits (transaction id PAY-000003)" in result.stderr
    with Ledger(db) as ledger:
        assert ledger.batches() == [] and ledger.transfers() == []


@pytest.mark.timeout(60)
def test_a_file_becomes_batches_of_the_chunk_size_with_exact_amounts(tmp_path: Path) -> None:
    db = str(tmp_path / "ledger.db")
    rows = payroll_rows(25)
    rows[4]["amount"] = "1250.50"
    rows[5]["amount"] = " 7 "
    path = write_payroll(tmp_path / "payroll.csv", rows, sep=";", bom=True,
                         columns=tuple(c for c in PAYROLL_COLUMNS if c != "currency"))
    first = "5b0f8f0e-6f7e-4e43-9d3a-0c7b1d2e3f40"
    result = _import(db, path, "--chunk-size", "10", "--process-id", first)
    assert result.returncode == 0, result.stderr
    recorded = json.loads(result.stdout)["recorded"]
    assert recorded["transfers"] == 25 and len(recorded["process_ids"]) == 3 and recorded["process_ids"][0] == first
    with Ledger(db) as ledger:
        batches = ledger.batches()
        assert [(b.process_id, b.part, b.transfers, b.state) for b in batches] == [
            (pid, n, size, BatchState.NEW) for n, (pid, size) in enumerate(zip(recorded["process_ids"], (10, 10, 5)), 1)
        ]
        transfers = ledger.transfers()
        assert [t.transaction_id for t in transfers] == [r["transaction_id"] for r in rows]
        assert [t.line for t in transfers] == list(range(2, 27))
        assert [t.amount for t in transfers] == [Decimal(r["amount"]) for r in rows]
        assert str(transfers[4].amount) == "1250.50"
        # Without the column, the currency is the default.
        assert {t.currency for t in transfers} == {"BOB"}
    # The same file again: every id is already in the ledger, and so are the process ids.
    again = _import(db, path, "--chunk-size", "10", "--process-id", first)
    assert again.returncode == 1
    assert {(line, column) for line, column, _, _ in _problems(again)} == {(n, "transaction_id") for n in range(2, 27)}
    assert "already recorded in the ledger (batch 5b0f8f0e-6f7e-4e43-9d3a-0c7b1d2e3f40)" in again.stderr


@pytest.mark.timeout(60)
def test_skip_invalid_records_the_good_rows_and_lists_the_others(tmp_path: Path) -> None:
    db = str(tmp_path / "ledger.db")
    with Ledger(db) as ledger:
        ledger.add_batch(payroll_rows(1, start=100), branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
    rows = payroll_rows(6)
    rows[2]["bank_code"] = "x"
    rows[3]["transaction_id"] = "PAY-000100"  # already in the ledger
    rows[5]["transaction_id"] = "PAY-000000"  # repeats the first row
    result = _import(db, write_payroll(tmp_path / "p.csv", rows), "--skip-invalid")
    assert result.returncode == 0, result.stderr
    document = json.loads(result.stdout)
    assert document["recorded"]["transfers"] == 3
    assert {(p["line"], p["column"]) for p in document["problems"]} == {
        (4, "bank_code"), (5, "transaction_id"), (7, "transaction_id")}
    assert "3 row(s) skipped" in result.stderr
    with Ledger(db) as ledger:
        assert {t.transaction_id for t in ledger.transfers()} == {
            "PAY-000100", "PAY-000000", "PAY-000001", "PAY-000004"}


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    ("content", "problem"),
    [
        (b"transaction_id,amount,date\nPAY-1,1,2024-01-01\n", (1, "source_account", "missing from the header")),
        (b"transaction_id,monto\n", (1, "monto", None)),
        (b"\xef\xbb\xbftransaction_id\n\xff\xfe\n", (2, None, "not UTF-8 text")),
        (b"\n\n", (None, None, "no header row naming the transfer fields")),
    ],
    ids=["missing-column", "unknown-column", "not-utf8", "empty"],
)
def test_a_file_that_cannot_be_read_says_where(tmp_path: Path, content: bytes, problem: tuple[Any, ...]) -> None:
    path = tmp_path / "p.csv"
    path.write_bytes(content)
    with Ledger(str(tmp_path / "l.db")) as ledger, pytest.raises(ImportProblemsError) as caught:
        ledger.import_csv(path, branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
    line, column, message = problem
    assert any(p.line == line and p.column == column and (message is None or p.message == message)
               for p in caught.value.problems), caught.value.problems


@pytest.mark.timeout(30)
def test_add_batch_from_python_checks_the_batch_and_numbers_rows_by_position(tmp_path: Path) -> None:
    transfers: list[Any] = [BatchTransfer(**{**r, "amount": Decimal(r["amount"])}) for r in payroll_rows(3)]
    transfers.append({**payroll_rows(1, start=3)[0], "destination_account": "12"})
    with Ledger(str(tmp_path / "l.db")) as ledger:
        with pytest.raises(ImportProblemsError) as caught:
            ledger.add_batch(transfers, branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
        assert [(p.line, p.column) for p in caught.value.problems] == [(4, "destination_account")]
        with pytest.raises(ImportProblemsError) as caught:
            ledger.add_batch(transfers[:3], branch_code="bad branch!", webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
        assert [(p.line, p.column) for p in caught.value.problems] == [(None, "--branch")]
        result = ledger.add_batch(transfers[:3], branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
        assert result.transfers == 3 and result.skipped == []
        assert [t.amount for t in ledger.transfers()] == [t.amount for t in transfers[:3]]


# -- authorisation, doubt and reconciliation ----------------------------------------------------------


@pytest.fixture
def lossy_sim() -> Iterator[Simulator]:
    """A simulator whose notifications are all lost: only the batch status tells the outcome."""
    with Simulator(settings=Settings(transfer_interval=0.001, webhook_attempts=0)) as running:
        yield running


def _settings(sim: Simulator) -> ClientSettings:
    return ClientSettings(TEST_CLIENT_ID, TEST_TOKEN, base_url=sim.base_url, timeout=2.0, backoff=Backoff(0.01, 0.05))


ROWS = payroll_rows(20, rejected_every=7)


def _crash_after_write_ahead(db_url: str, settings: ClientSettings, send: bool) -> str:
    """A worker that committed `authorizing` (and sent the batch, or not) and then died."""
    store = Store(open_engine(db_url))
    try:
        held = store.claim_batch("dead-worker", 50)
        assert held is not None
        store.advance_batch(held, "dead-worker", BatchState.AUTHORIZING, "authorisation sent",
                            changes={"attempts": 1, "sent_at": store.now()}, lease_until=store.now() + 50)
        if send:
            transfers = [BatchTransfer(**{**r, "amount": Decimal(r["amount"])}) for r in ROWS]
            with settings.client() as client:
                client.authorize_batch(held.branch_code, held.process_id, held.webhook_url, held.webhook_token,
                                       transfers)
        return held.process_id
    finally:
        store.close()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("sent", [True, False], ids=["sent", "never-sent"])
def test_a_batch_left_authorizing_is_resolved_through_the_batch_status(
    db_url: str, lossy_sim: Simulator, sent: bool
) -> None:
    settings = _settings(lossy_sim)
    with Ledger(db_url) as ledger:
        ledger.add_batch(ROWS, branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
        pid = _crash_after_write_ahead(db_url, settings, send=sent)
        time.sleep(0.1)  # the dead worker's lease runs out
        summary = ledger.run(settings, until_idle=True, options=FAST)
        assert summary.remaining == 0
        batch = ledger.batch(pid)
        assert batch is not None and batch.state is BatchState.COMPLETED and batch.batch_number is not None
        events = [e.event for e in ledger.batch_history(pid)]
        assert events[:3] == ["recorded", "authorisation sent", "taken over in doubt"]
        # Sent: found at the provider, never sent again. Never sent: sent once more after the grace.
        assert batch.attempts == (1 if sent else 2)
        assert events.count("authorisation sent") == (1 if sent else 2)
        assert ("found at the provider" in events) is sent
        # No notification arrived: the batch status settled every transfer.
        transfers = {t.transaction_id: t for t in ledger.transfers(pid)}
        assert {t.raw_status for t in transfers.values()} == {"PAGADO", "RECHAZADO"}
        assert all(t.reported_by == "status" and t.notified_at is None for t in transfers.values())
    witness = lossy_sim.batches()
    assert witness["duplicates_refused"] == 0
    assert [b["process_id"] for b in witness["batches"]] == [pid]
    seen = {t["transaction_id"]: t for t in witness["batches"][0]["transfers"]}
    assert {k: (Decimal(t["amount"]), t["status"]) for k, t in seen.items()} == {
        k: (t.amount, t.raw_status) for k, t in transfers.items()}


@pytest.mark.timeout(60)
def test_status_and_export_cover_payouts_batches_and_transfers(tmp_path: Path, lossy_sim: Simulator) -> None:
    db = str(tmp_path / "ledger.db")
    rows = payroll_rows(12, rejected_every=4)
    with Ledger(db) as ledger:
        ledger.add_batch(rows, branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN, chunk_size=5)
        ledger.add_batch(payroll_rows(2, start=50), branch_code="SIM401-x", webhook_url=HOOK,
                         webhook_token=WEBHOOK_TOKEN)
    status = json.loads(ledger_cli("--db", db, "status", "--json").stdout)
    assert status["batches"]["counts"] == {"new": 4} and status["transfers"]["counts"] == {"not sent": 14}
    before = ledger_cli("--db", db, "export", "--format", "json")
    assert {r["status"] for r in json.loads(before.stdout)} == {"not sent"}
    with Ledger(db) as ledger:
        # The batch of the 401 branch stays in doubt; the run is stopped once the others are done.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            ledger.run(_settings(lossy_sim), options=FAST, stop=_stop_after(1.0))
            if ledger.status().batch_counts.get(BatchState.COMPLETED) == 3:
                break
        assert ledger.status().batch_counts == {BatchState.COMPLETED: 3, BatchState.IN_DOUBT: 1}
    text = ledger_cli("--db", db, "status").stdout
    assert "4 batch(es), 1 not final" in text and "  paid         9" in text and "  rejected     3" in text
    assert "batches in doubt" in text
    exported = ledger_cli("--db", db, "export", "--format", "csv")
    assert exported.returncode == 0, exported.stderr
    table = list(csv.DictReader(io.StringIO(exported.stdout)))
    assert list(table[0]) == ["kind", "id", "batch", "batch_number", "reference", "status", "provider_status",
                              "amount", "currency", "recipient", "recipient_account", "recorded_at", "sent_at",
                              "authorized_at", "notified_at", "final_at", "message"]
    by_id = {r["id"]: r for r in table}
    assert set(by_id) == {r["transaction_id"] for r in rows} | {"PAY-000050", "PAY-000051"}
    for row in rows:
        line = by_id[row["transaction_id"]]
        assert (line["amount"], line["currency"]) == (row["amount"], row["currency"])
        assert line["status"] == ("rejected" if row["transaction_id"].startswith("SIMREJ") else "paid")
        assert line["reference"] and line["final_at"] and line["authorized_at"]
    assert by_id["PAY-000050"]["status"] == "not sent"
    # --since keeps what changed from then on: nothing, a moment from now.
    later = ledger_cli("--db", db, "export", "--format", "json", "--since", "2999-01-01")
    assert json.loads(later.stdout) == []


def _stop_after(seconds: float) -> Any:
    import threading

    stop = threading.Event()
    threading.Timer(seconds, stop.set).start()
    return stop


# -- the notification endpoint ------------------------------------------------------------------------


@pytest.fixture
def endpoint(tmp_path: Path) -> Iterator[EndpointProcess]:
    db = str(tmp_path / "ledger.db")
    with Ledger(db) as ledger:
        ledger.add_batch(payroll_rows(2), branch_code=BRANCH, webhook_url=HOOK, webhook_token=WEBHOOK_TOKEN)
    running = EndpointProcess(tmp_path, db, WEBHOOK_TOKEN)
    running.start()
    try:
        yield running
    finally:
        running.stop()


def _notification(transaction_id: str = "PAY-000001", status: str = "PAGADO") -> str:
    return json.dumps({"nroLote": 7781, "transaccionId": transaction_id, "numeroReferencia": "88125",
                       "estado": status, "importe": 38.01, "moneda": "BOB", "numeroAch": 500100})


@pytest.mark.timeout(60)
def test_the_endpoint_records_each_notification_once_and_acknowledges_every_time(endpoint: EndpointProcess) -> None:
    url = f"{endpoint.url}?token={WEBHOOK_TOKEN}"
    ack = {"codigoRespuesta": "EXITOSO", "detalleRespuesta": None, "nroLote": "7781", "numeroReferencia": "88125"}
    first = httpx.post(url, content=_notification(), timeout=10)
    assert (first.status_code, first.json()) == (200, ack)
    with Ledger(endpoint.db) as ledger:
        recorded = ledger.transfer("PAY-000001")
        assert recorded is not None and recorded.raw_status == "PAGADO" and recorded.paid_amount == Decimal("38.01")
        assert recorded.reported_by == "notification" and recorded.notified_at is not None
    second = httpx.post(url, content=_notification(), timeout=10)
    assert (second.status_code, second.json()) == (200, ack)
    # A late "in process" never undoes a final status.
    assert httpx.post(url, content=_notification(status="EN_PROCESO"), timeout=10).status_code == 200
    # A transfer the ledger does not know is acknowledged (the provider would retry it forever), not recorded.
    assert httpx.post(url, content=_notification("OTHER-1"), timeout=10).status_code == 200
    with Ledger(endpoint.db) as ledger:
        assert ledger.transfer("PAY-000001") == recorded
        assert ledger.transfer("OTHER-1") is None
        assert ledger.transfer("PAY-000000").status is None  # type: ignore[union-attr]


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    ("query", "body", "status"),
    [
        ("?token=wrong-token-0000000000", _notification(), 401),
        ("", _notification(), 401),
        ("?token=wrong-token-0000000000", "not json", 401),
        (f"?token={WEBHOOK_TOKEN}", "not json", 400),
        (f"?token={WEBHOOK_TOKEN}", '{"nroLote": 1}', 400),
        (f"?token={WEBHOOK_TOKEN}", "x" * ((1 << 20) + 1), 413),
    ],
    ids=["wrong-token", "no-token", "wrong-token-bad-body", "not-json", "no-status", "too-large"],
)
def test_the_endpoint_refuses_what_it_cannot_take(endpoint: EndpointProcess, query: str, body: str,
                                                  status: int) -> None:
    answer = httpx.post(endpoint.url + query, content=body, timeout=10)
    assert answer.status_code == status
    with Ledger(endpoint.db) as ledger:
        assert {t.status for t in ledger.transfers()} == {None}


@pytest.mark.timeout(60)
def test_the_endpoint_refuses_a_chunked_body_past_the_limit_and_logs_no_token(endpoint: EndpointProcess) -> None:
    def chunks() -> Iterator[bytes]:
        for _ in range(20):
            yield b"x" * 65536

    answer = httpx.post(f"{endpoint.url}?token={WEBHOOK_TOKEN}", content=chunks(), timeout=10)
    assert answer.status_code == 413
    httpx.post(f"{endpoint.url}?token={WEBHOOK_TOKEN}&x=1", content=_notification(), timeout=10)
    endpoint.stop()
    log = endpoint.logs()
    assert '"POST /hooks/batch?token=[redacted]&x=1 HTTP/1.1" 200' in log
    assert WEBHOOK_TOKEN not in log
