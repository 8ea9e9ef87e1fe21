"""A durable payout ledger: each recorded payout is made exactly once, across crashes and workers.

``Ledger(url)`` opens the database (SQLite by default, PostgreSQL with ``postgresql://``),
``add_qr_payout`` records intents, ``run`` drives them through scan, pay and final status. The
state saying "a payment may be on its way" is committed before the request leaves; after any
crash such a payout is resolved through the provider's payout status, never sent again blindly.
``python -m quorvel_bo.payouts ledger --help`` is the command line.
"""

from quorvel_bo.payouts.ledger._engine import DEFAULT_DB
from quorvel_bo.payouts.ledger._ledger import Ledger, LedgerStatus
from quorvel_bo.payouts.ledger._model import (
    FINAL_STATES,
    IntentConflictError,
    LedgerError,
    LedgerEvent,
    LedgerPayout,
    PayoutState,
    SchemaVersionError,
)
from quorvel_bo.payouts.ledger._runner import ClientSettings, RunOptions, RunSummary
from quorvel_bo.payouts.ledger._schema import SCHEMA_VERSION

__all__ = [
    "DEFAULT_DB",
    "FINAL_STATES",
    "SCHEMA_VERSION",
    "ClientSettings",
    "IntentConflictError",
    "Ledger",
    "LedgerError",
    "LedgerEvent",
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
