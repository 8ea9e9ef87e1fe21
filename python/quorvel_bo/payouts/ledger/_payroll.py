"""Payroll files: read a spreadsheet's CSV export, check every row with the core, plan the batches.

Every row is checked alone by the core's batch build stage, with stand-ins for what belongs to
the batch (branch, process id, notification address), so a row is judged by the same rules as
the authorisation that will carry it. A row's first problem is replaced by a valid stand-in and
the row checked again, so that one pass reports every problem of every row.
"""

from __future__ import annotations

import csv
import io
import re
import uuid
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from decimal import Decimal
from typing import Any

from quorvel_bo.payouts._core import run as core_run
from quorvel_bo.payouts._errors import ProtocolError, ValidationError
from quorvel_bo.payouts._types import BatchTransfer, amount_text
from quorvel_bo.payouts.ledger._model import ImportProblem, ImportProblemsError
from quorvel_bo.payouts.ledger._store import NewBatch

__all__ = [
    "COLUMNS",
    "DEFAULT_CHUNK_SIZE",
    "ImportResult",
    "PayrollRow",
    "plan_batches",
    "read_payroll",
    "rows_of_transfers",
]

#: The header names of a payroll file; ``currency`` may be left out (BOB).
COLUMNS = (
    "transaction_id", "amount", "date", "source_account", "destination_account", "bank_code", "branch_city",
    "description", "recipient_document_id", "recipient_name", "currency",
)
_REQUIRED = COLUMNS[:-1]
DEFAULT_CHUNK_SIZE = 1000

_CHECK_CONFIG = {"client_id": "ledger-check", "environment": "sandbox", "base_url": None}
_CHECK_TOKEN = {"access_token": "ledger-check", "token_type": "Bearer", "expires_at": 0, "scope": None}
_CHECK_BATCH = {
    "branch_code": "ledger-check",
    "process_id": "00000000-0000-4000-8000-000000000000",
    "webhook_url": "https://ledger-check.invalid/hooks/batch",
    "webhook_token": "ledger-check-stand-in-token",
}
# A transfer the core accepts, field by field: what stands in for a cell already found wrong.
_GOOD = {
    "transaction_id": "CHECK-1",
    "amount": "1",
    "date": "2024-01-31",
    "source_account": "1000001",
    "destination_account": "1000002",
    "bank_code": "1001",
    "branch_city": "LPZ",
    "description": "check",
    "recipient_document_id": "10001",
    "recipient_name": "check",
    "currency": "BOB",
}
# What the core appends to a payload-decoding message, and what starts an amount's.
_POSITION = re.compile(r" at line \d+ column \d+$")
_INVALID_AMOUNT = "invalid payload: invalid amount `"
# The ledger column of each transfer field.
_STORED = {"date": "transfer_date"}


@dataclass(frozen=True)
class PayrollRow:
    """One transfer of a payroll: where it came from (a line of the file, or a position) and its cells."""

    line: int | None
    values: Mapping[str, str]
    #: Why the row could not be read into cells (more cells than columns), or None.
    broken: str | None = None

    @property
    def transaction_id(self) -> str | None:
        text = self.values.get("transaction_id", "").strip()
        return text or None


@dataclass(frozen=True)
class ImportResult:
    """What an import recorded: the batches' process ids, the transfers, and the rows left out."""

    process_ids: list[str]
    transfers: int
    skipped: list[ImportProblem]

    def to_json(self) -> dict[str, Any]:
        return {
            "process_ids": self.process_ids,
            "transfers": self.transfers,
            "skipped": [p.to_json() for p in self.skipped],
        }


def _column(name: str) -> str:
    return name.strip().lower().replace(" ", "_").replace("-", "_")


def read_payroll(data: bytes) -> list[PayrollRow]:
    """The rows of a CSV payroll (UTF-8 with or without BOM, comma or semicolon separated).

    Raises ImportProblemsError for a file that cannot be read as a whole: not UTF-8, no header,
    unknown or missing columns. A row with more cells than the header comes back ``broken``.
    """
    bom = b"\xef\xbb\xbf"
    body = data.removeprefix(bom)
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = body[: exc.start].count(b"\n") + 1
        raise ImportProblemsError([ImportProblem(line, None, "not UTF-8 text", None)]) from None
    first = text.split("\n", 1)[0]
    delimiter = ";" if first.count(";") > first.count(",") else ","
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    header: list[str] | None = None
    header_line = 0
    problems: list[ImportProblem] = []
    rows: list[PayrollRow] = []
    line = 1
    for cells in reader:
        start, line = line, reader.line_num + 1
        if not any(c.strip() for c in cells):
            continue
        if header is None:
            header, header_line = [_column(c) for c in cells], start
            seen: set[str] = set()
            for name in header:
                if name not in COLUMNS:
                    problems.append(ImportProblem(start, name or "(empty)",
                                                  "not a transfer field; the columns are " + ", ".join(COLUMNS), None))
                elif name in seen:
                    problems.append(ImportProblem(start, name, "named twice", None))
                seen.add(name)
            problems += [ImportProblem(start, name, "missing from the header", None)
                         for name in _REQUIRED if name not in seen]
            continue
        values = {name: (cells[i] if i < len(cells) else "") for i, name in enumerate(header)}
        extra = cells[len(header):]
        broken = None
        if any(c.strip() for c in extra):
            # A decimal comma or an unquoted separator in a text: the row's cells cannot be told apart.
            broken = f"{len(cells)} cells in a row of {len(header)} columns"
        rows.append(PayrollRow(start, values, broken))
    if header is None:
        problems.append(ImportProblem(header_line or None, None, "no header row naming the transfer fields", None))
    if problems:
        raise ImportProblemsError(problems)
    return rows


def rows_of_transfers(transfers: Sequence[BatchTransfer | Mapping[str, Any]]) -> list[PayrollRow]:
    """Transfers given from Python, as rows numbered by their position from 1."""
    rows = []
    for position, transfer in enumerate(transfers, start=1):
        document = transfer.to_core() if isinstance(transfer, BatchTransfer) else dict(transfer)
        values: dict[str, str] = {}
        for name, value in document.items():
            if name not in COLUMNS:
                raise TypeError(f"transfer {position}: {name!r} is not a transfer field")
            if name == "amount" and not isinstance(value, str):
                value = amount_text(value, "transfers.amount")
            elif not isinstance(value, str):
                value = str(value)
            values[name] = value
        rows.append(PayrollRow(position, values))
    return rows


def _transfer_input(values: Mapping[str, str]) -> dict[str, str]:
    document = {name: values.get(name, "") for name in _REQUIRED}
    currency = values.get("currency", "")
    # An empty currency cell is the default, as a missing column is.
    if currency.strip():
        document["currency"] = currency
    return document


def _first_problem(transfer: Mapping[str, str], batch: Mapping[str, str] = _CHECK_BATCH) -> tuple[str, str] | None:
    """The core's first objection to one transfer (field, message), or None."""
    try:
        amount_text(transfer.get("amount", ""), "transfers.amount")
        core_run(
            "batch.authorize.build",
            {"config": _CHECK_CONFIG, "token": _CHECK_TOKEN, "input": {**batch, "transfers": [transfer]}},
        )
    except ValidationError as exc:
        return exc.field or "", exc.message
    except ProtocolError as exc:
        if not exc.message.startswith(_INVALID_AMOUNT):
            raise
        return "transfers.amount", _POSITION.sub("", exc.message.removeprefix("invalid payload: "))
    return None


def check_row(values: Mapping[str, str]) -> list[tuple[str, str]]:
    """Every problem of one row: (column, the core's message)."""
    transfer = _transfer_input(values)
    found: list[tuple[str, str]] = []
    for _ in COLUMNS:
        problem = _first_problem(transfer)
        if problem is None:
            break
        field, message = problem
        column = field.removeprefix("transfers.")
        found.append((column, message))
        if column not in _GOOD or transfer.get(column) == _GOOD[column]:
            break  # not a cell's fault: nothing to stand in for it
        transfer[column] = _GOOD[column]
    return found


def _check_batch(branch_code: str, webhook_url: str, webhook_token: str, process_id: str | None) -> list[ImportProblem]:
    batch = {
        "branch_code": branch_code,
        "process_id": process_id or _CHECK_BATCH["process_id"],
        "webhook_url": webhook_url,
        "webhook_token": webhook_token,
    }
    problem = _first_problem({k: v for k, v in _GOOD.items()}, batch)
    if problem is None:
        return []
    field, message = problem
    option = {"branch_code": "branch"}.get(field, field.replace("_", "-"))
    return [ImportProblem(None, f"--{option}", message, None)]


def _process_ids(first: str | None, count: int) -> list[str]:
    if first is None:
        return [str(uuid.uuid4()) for _ in range(count)]
    # The later parts of a file given one process id get ids derived from it, the same on every run.
    base = uuid.UUID(first)
    return [first] + [str(uuid.uuid5(base, f"part-{n}")) for n in range(2, count + 1)]


def plan_batches(
    rows: Sequence[PayrollRow],
    *,
    branch_code: str,
    webhook_url: str,
    webhook_token: str,
    process_id: str | None,
    chunk_size: int,
    skip_invalid: bool,
    source: str | None,
    known_ids: Callable[[list[str]], Mapping[str, str]],
    known_process_ids: Callable[[list[str]], set[str]],
) -> tuple[list[NewBatch], list[ImportProblem]]:
    """The batches to record and the rows left out; raises ImportProblemsError when nothing may be recorded."""
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    problems = _check_batch(branch_code, webhook_url, webhook_token, process_id)
    if problems:
        raise ImportProblemsError(problems)
    bad: dict[int, list[ImportProblem]] = {}
    first_line: dict[str, int | None] = {}
    for index, row in enumerate(rows):
        tid = row.transaction_id
        if row.broken is not None:
            found = [ImportProblem(row.line, None, row.broken, tid)]
        else:
            found = [ImportProblem(row.line, column, message, tid) for column, message in check_row(row.values)]
        if tid is not None and not any(p.column == "transaction_id" for p in found):
            if tid in first_line:
                where = first_line[tid]
                found.append(ImportProblem(row.line, "transaction_id",
                                           "must be unique in the file" + (f" (also on line {where})" if where else ""),
                                           tid))
            else:
                first_line[tid] = row.line
        if found:
            bad[index] = found
    already = known_ids(list(first_line))
    for index, row in enumerate(rows):
        tid = row.transaction_id
        if tid is not None and tid in already and first_line.get(tid) == row.line:
            bad.setdefault(index, []).append(
                ImportProblem(row.line, "transaction_id", f"already recorded in the ledger (batch {already[tid]})", tid)
            )
    problems = [p for index in sorted(bad) for p in bad[index]]
    if problems and not skip_invalid:
        raise ImportProblemsError(problems)
    good = [row for index, row in enumerate(rows) if index not in bad]
    if not good:
        raise ImportProblemsError(problems or [ImportProblem(None, None, "no transfers to record", None)])
    parts = [good[i : i + chunk_size] for i in range(0, len(good), chunk_size)]
    ids = _process_ids(process_id, len(parts))
    taken = known_process_ids(ids)
    if taken:
        raise ImportProblemsError(
            [ImportProblem(None, "--process-id", f"process id {pid} is already recorded in the ledger", None)
             for pid in ids if pid in taken]
        )
    batches = [
        NewBatch(
            process_id=pid, branch_code=branch_code, webhook_url=webhook_url, webhook_token=webhook_token,
            source=source, part=n,
            transfers=[(row.line, _stored(row.values)) for row in part],
        )
        for n, (pid, part) in enumerate(zip(ids, parts), start=1)
    ]
    return batches, problems


def _stored(values: Mapping[str, str]) -> dict[str, str]:
    document = _transfer_input(values)
    document.setdefault("currency", "BOB")
    # The amount is kept exactly, in plain digits: "1.5E2" is recorded (and exported) as "150".
    document["amount"] = format(Decimal(amount_text(document["amount"], "transfers.amount")), "f")
    return {_STORED.get(name, name): value for name, value in document.items()}
