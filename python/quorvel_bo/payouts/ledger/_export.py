"""The accounting export: one row per payout and per transfer, amounts exact, times in UTC."""

from __future__ import annotations

import csv
import json
from collections.abc import Iterator
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, TextIO

from quorvel_bo.payouts.ledger._model import (
    BatchState,
    LedgerBatch,
    LedgerPayout,
    LedgerTransfer,
)

if TYPE_CHECKING:
    from quorvel_bo.payouts.ledger._ledger import Ledger

__all__ = ["EXPORT_COLUMNS", "export_rows", "parse_since", "write_export"]

EXPORT_COLUMNS = (
    "kind", "id", "batch", "batch_number", "reference", "status", "provider_status", "amount", "currency",
    "recipient", "recipient_account", "recorded_at", "sent_at", "authorized_at", "notified_at", "final_at",
    "message",
)


def iso_time(ms: int | None) -> str | None:
    if ms is None:
        return None
    return datetime.fromtimestamp(ms / 1000, tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"


def parse_since(text: str) -> int:
    """Unix milliseconds of an ISO 8601 date or date and time; without a zone it is UTC."""
    when = datetime.fromisoformat(text.strip().replace("Z", "+00:00"))
    if when.tzinfo is None:
        when = when.replace(tzinfo=timezone.utc)
    return int(when.timestamp() * 1000)


def _payout_row(p: LedgerPayout) -> dict[str, Any]:
    recipient: dict[str, Any] = {}
    if p.scanned:
        recipient = json.loads(p.scanned).get("recipient") or {}
    amount = p.paid_amount if p.paid_amount is not None else p.amount_due
    return {
        "kind": "qr",
        "id": p.key,
        "batch": None,
        "batch_number": None,
        "reference": p.reference,
        "status": p.state.value,
        "provider_status": p.provider_status,
        "amount": None if amount is None else format(amount, "f"),
        "currency": p.currency,
        "recipient": recipient.get("holder"),
        "recipient_account": recipient.get("account"),
        "recorded_at": iso_time(p.created_at),
        "sent_at": iso_time(p.sent_at),
        "authorized_at": None,
        "notified_at": None,
        "final_at": iso_time(p.updated_at) if p.state.is_final else None,
        "message": p.reason,
    }


def _transfer_row(t: LedgerTransfer, batch: LedgerBatch | None) -> dict[str, Any]:
    if t.status is not None:
        status = t.status.value
    else:
        status = "refused" if batch is not None and batch.state is BatchState.REFUSED else "not sent"
    return {
        "kind": "transfer",
        "id": t.transaction_id,
        "batch": t.process_id,
        "batch_number": None if batch is None else batch.batch_number,
        "reference": t.reference,
        "status": status,
        "provider_status": t.raw_status,
        "amount": format(t.amount, "f"),
        "currency": t.currency,
        "recipient": t.recipient_name,
        "recipient_account": t.destination_account,
        "recorded_at": iso_time(t.created_at),
        "sent_at": None if batch is None else iso_time(batch.sent_at),
        "authorized_at": None if batch is None else iso_time(batch.authorized_at),
        "notified_at": iso_time(t.notified_at),
        "final_at": iso_time(t.final_at),
        "message": t.message if t.message is not None or batch is None else batch.reason,
    }


def export_rows(ledger: Ledger, since: int | None = None) -> Iterator[dict[str, Any]]:
    """Every payout, then every transfer, changed at or after ``since`` (Unix ms) when given."""
    for payout in ledger.payouts():
        if since is None or payout.updated_at >= since:
            yield _payout_row(payout)
    batches = {b.process_id: b for b in ledger.batches()}
    for transfer in ledger.transfers(since=since):
        yield _transfer_row(transfer, batches.get(transfer.process_id))


def write_export(rows: Iterator[dict[str, Any]], out: TextIO, fmt: str) -> int:
    """Writes the rows as CSV (a header, then one line each) or as one JSON array; returns the count."""
    count = 0
    if fmt == "csv":
        writer = csv.DictWriter(out, fieldnames=EXPORT_COLUMNS, lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow(row)
            count += 1
        return count
    out.write("[")
    for row in rows:
        out.write(("," if count else "") + "\n" + json.dumps(row, ensure_ascii=False, sort_keys=True))
        count += 1
    out.write("\n]\n")
    return count
