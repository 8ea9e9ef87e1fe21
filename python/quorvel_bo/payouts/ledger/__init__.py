"""A durable payout ledger: each recorded payout is made exactly once, across crashes and workers.

``Ledger(url)`` opens the database (SQLite by default, PostgreSQL with ``postgresql://``),
``add_qr_payout`` records intents, ``run`` drives them through scan, pay and final status. The
state saying "a payment may be on its way" is committed before the request leaves; after any
crash such a payout is resolved through the provider's payout status, never sent again blindly.
Payrolls take the batch road: ``import_csv`` or ``add_batch`` records transfers as batches,
``run`` authorises each batch once (``authorizing`` is committed first, doubt is resolved through
the batch status) and reconciles transfers the notifications missed; ``record_notification``
(behind ``quorvel_bo.payouts.server``) writes what the provider reports.
``python -m quorvel_bo.payouts ledger --help`` is the command line.
"""

from quorvel_bo.payouts.ledger._engine import DEFAULT_DB
from quorvel_bo.payouts.ledger._ledger import Ledger, LedgerStatus
from quorvel_bo.payouts.ledger._model import (
    FINAL_STATES,
    BatchState,
    ImportProblem,
    ImportProblemsError,
    IntentConflictError,
    LedgerBatch,
    LedgerTransfer,
    LedgerError,
    LedgerEvent,
    LedgerPayout,
    PayoutState,
    SchemaVersionError,
)
from quorvel_bo.payouts.ledger._payroll import ImportResult
from quorvel_bo.payouts.ledger._runner import ClientSettings, RunOptions, RunSummary
from quorvel_bo.payouts.ledger._schema import SCHEMA_VERSION

__all__ = [
    "DEFAULT_DB",
    "FINAL_STATES",
    "SCHEMA_VERSION",
    "BatchState",
    "ClientSettings",
    "ImportProblem",
    "ImportProblemsError",
    "ImportResult",
    "IntentConflictError",
    "Ledger",
    "LedgerBatch",
    "LedgerError",
    "LedgerEvent",
    "LedgerTransfer",
    "LedgerPayout",
    "LedgerStatus",
    "PayoutState",
    "RunOptions",
    "RunSummary",
    "SchemaVersionError",
]

for _name in __all__:
    _obj: object = globals()[_name]
    if isinstance(_obj, type) and _obj.__module__.startswith("quorvel_bo.payouts.ledger._"):
        _obj.__module__ = "quorvel_bo.payouts.ledger"
del _name, _obj
