"""The batch notification endpoint: an ASGI application that records each notification in the ledger.

``create_app(db, expected_token)`` gives a Starlette application that verifies every
notification with the core's handler, writes it into the ledger at ``db`` (a repeat changes
nothing) and answers with the acknowledgement only once that is committed. Mount it in your own
server, or run ``python -m quorvel_bo.payouts ledger serve-webhooks``. ``app`` is the same
application configured from the environment (``QUORVEL_BO_LEDGER_DB``,
``QUORVEL_BO_WEBHOOK_TOKEN``), for ``uvicorn quorvel_bo.payouts.server:app``. Needs the
``server`` extra: ``pip install 'quorvel-bo-payouts[server]'``.
"""

from quorvel_bo.payouts.server._app import (
    DB_VARIABLE,
    DEFAULT_PATH,
    MAX_BODY,
    WEBHOOK_TOKEN_VARIABLE,
    app,
    create_app,
)

__all__ = ["DB_VARIABLE", "DEFAULT_PATH", "MAX_BODY", "WEBHOOK_TOKEN_VARIABLE", "app", "create_app"]
