"""The notification endpoint itself: read, verify, record, acknowledge."""

from __future__ import annotations

import contextlib
import logging
import os
import queue
from collections.abc import AsyncIterator

from quorvel_bo.payouts._errors import DecodeError, ValidationError, WebhookAuthError
from quorvel_bo.payouts._logfilter import RedactingFilter
from quorvel_bo.payouts._types import BatchNotification
from quorvel_bo.payouts._webhook import parse_batch_webhook
from quorvel_bo.payouts.ledger._ledger import Ledger
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

__all__ = ["DB_VARIABLE", "DEFAULT_PATH", "MAX_BODY", "WEBHOOK_TOKEN_VARIABLE", "app", "create_app"]

logger = logging.getLogger("quorvel_bo.payouts.server")

#: The largest notification body taken; a transfer record is a few hundred bytes.
MAX_BODY = 1 << 20
DEFAULT_PATH = "/hooks/batch"
DB_VARIABLE = "QUORVEL_BO_LEDGER_DB"
WEBHOOK_TOKEN_VARIABLE = "QUORVEL_BO_WEBHOOK_TOKEN"


# The server's own loggers: its access log shows each request's query, the secret included.
_SERVER_LOGGERS = ("uvicorn.access", "uvicorn.error")


def _redact_server_logs() -> None:
    """Puts the token filter on the server's loggers, however the server was started (once each)."""
    for name in _SERVER_LOGGERS:
        server_logger = logging.getLogger(name)
        if not any(isinstance(f, RedactingFilter) for f in server_logger.filters):
            server_logger.addFilter(RedactingFilter())


class _Recorder:
    """Ledger connections shared by the request threads, one per write at a time."""

    def __init__(self, db: str | None) -> None:
        self._db = db
        self._idle: queue.LifoQueue[Ledger] = queue.LifoQueue()
        # Opened now: a database that cannot be reached stops the server at start, not at the first call.
        self._idle.put(Ledger(db))

    def record(self, notification: BatchNotification) -> bool:
        try:
            ledger = self._idle.get_nowait()
        except queue.Empty:
            ledger = Ledger(self._db)
        try:
            changed = ledger.record_notification(notification)
        except BaseException:
            ledger.close()  # a connection that failed is not handed out again
            raise
        self._idle.put(ledger)
        return changed

    def close(self) -> None:
        while True:
            try:
                self._idle.get_nowait().close()
            except queue.Empty:
                return


def _error(status: int, message: str) -> JSONResponse:
    return JSONResponse({"error": message}, status_code=status)


async def _body(request: Request) -> bytes | None:
    """The body, or None past MAX_BODY (told by Content-Length before reading, or while reading)."""
    length = request.headers.get("content-length", "")
    if length.isdigit() and int(length) > MAX_BODY:
        return None
    body = bytearray()
    async for chunk in request.stream():
        body += chunk
        if len(body) > MAX_BODY:
            return None
    return bytes(body)


def create_app(db: str | None, expected_token: str, *, path: str = DEFAULT_PATH) -> Starlette:
    """The endpoint for notifications POSTed to ``path`` with ``?token=expected_token``, recorded in the ledger ``db``.

    Answers 200 with the acknowledgement once the notification is committed (a repeat too),
    401 for a wrong token, 400 for a body that is not a transfer record, 413 past 1 MiB, and
    500 when the ledger cannot be written (the provider sends it again).
    """
    if not expected_token:
        raise ValueError("the expected webhook token must not be empty")
    recorder = _Recorder(db)
    _redact_server_logs()

    async def notify(request: Request) -> Response:
        body = await _body(request)
        if body is None:
            return _error(413, f"the body exceeds {MAX_BODY} bytes")
        try:
            notification = parse_batch_webhook(request.query_params.get("token"), body, expected_token)
        except WebhookAuthError:
            return _error(401, "unauthorized")
        except (DecodeError, ValidationError) as exc:
            return _error(400, exc.message)
        try:
            changed = await run_in_threadpool(recorder.record, notification)
        except Exception:
            logger.exception("notification for transfer %s not recorded", notification.transfer.transaction_id)
            return _error(500, "not recorded; send it again")
        if not changed:
            logger.debug("notification for transfer %s changed nothing", notification.transfer.transaction_id)
        return JSONResponse(notification.ack)

    @contextlib.asynccontextmanager
    async def lifespan(_app: Starlette) -> AsyncIterator[None]:
        # Again at start-up: a server that configures its logging after the application was made.
        _redact_server_logs()
        try:
            yield
        finally:
            recorder.close()

    return Starlette(routes=[Route(path, notify, methods=["POST"])], lifespan=lifespan)


class _FromEnvironment:
    """The application built on first use from QUORVEL_BO_LEDGER_DB and QUORVEL_BO_WEBHOOK_TOKEN."""

    def __init__(self) -> None:
        self._app: Starlette | None = None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if self._app is None:
            token = os.environ.get(WEBHOOK_TOKEN_VARIABLE, "")
            if not token:
                raise RuntimeError(f"set {WEBHOOK_TOKEN_VARIABLE} to the webhook token given to the batches")
            self._app = create_app(os.environ.get(DB_VARIABLE), token)
        await self._app(scope, receive, send)


app = _FromEnvironment()
