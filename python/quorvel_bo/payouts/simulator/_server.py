"""HTTP servers on the standard library: the simulated provider and a small notification receiver."""

from __future__ import annotations

import json
import socket
import sys
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import Any, ClassVar
from urllib.parse import parse_qs, urlsplit

from quorvel_bo.payouts._logfilter import redact_secrets
from quorvel_bo.payouts.simulator._notifier import Delivery, Notifier
from quorvel_bo.payouts.simulator._provider import Provider, Reply, Settings

MAX_BODY = 1 << 20
# A connection that sends nothing for this long is dropped. A client that trickles bytes can
# outlast it; `close` then shuts such connections down instead of waiting for them.
SOCKET_TIMEOUT = 10.0
# After refusing a body unread, what is still read (and dropped) so that the refusal reaches a
# client busy sending: closing a socket with unread data resets the connection.
DRAIN_BYTES = 4 * MAX_BODY
DRAIN_SECONDS = 1.0
# Bursts of clients connecting at once (hundreds of concurrent payments in a test).
LISTEN_BACKLOG = 1024

Log = Callable[[str], None]
Responder = Callable[[str, str, Mapping[str, str], str, str], Reply]
BODY_REFUSED = '{"code":"05","message":"cuerpo inválido"}'


def printable(text: str) -> str:
    """``text`` with every non-printable character escaped as repr does, so logs carry no terminal control."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in text)


class _HttpServer(ThreadingHTTPServer):
    # Closing never waits for a handler: a client trickling bytes must not hold the process up.
    daemon_threads = True
    block_on_close = False
    request_queue_size = LISTEN_BACKLOG

    def __init__(
        self,
        address: tuple[str, int],
        handler: type[BaseHTTPRequestHandler],
        respond: Responder,
        stop: threading.Event,
        log: Log | None,
    ) -> None:
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, handler)
        self.respond = respond
        self.stop = stop
        self.log = log
        self._open: set[socket.socket] = set()
        self._open_lock = threading.Lock()

    def note(self, line: str) -> None:
        """Writes one line to the log: control characters escaped, secrets redacted."""
        if self.log is not None:
            self.log(redact_secrets(printable(line)))

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._open_lock:
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def handle_error(self, request: Any, client_address: Any) -> None:
        fault = sys.exc_info()[1]
        # A client that went away (or was dropped on close) is no fault: no traceback for it.
        if not isinstance(fault, OSError):
            self.note(f"connection from {client_address[0]}: internal error {fault!r}")

    def drop_connections(self) -> None:
        """Ends every open connection; their handler threads then see the end of input and return."""
        with self._open_lock:
            connections = list(self._open)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass  # already closed by its handler


def _send(handler: BaseHTTPRequestHandler, reply: Reply) -> None:
    data = reply.body.encode("utf-8")
    try:
        handler.send_response(reply.status)
        handler.send_header("Content-Type", reply.content_type)
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data)
    except OSError:
        # The caller gave up waiting (the time-out trigger); nothing to tell it any more.
        handler.close_connection = True


def _refuse_unread(handler: BaseHTTPRequestHandler, status: int, body: str) -> None:
    """Answers before the body is read, then drops what the client still sends, within bounds."""
    handler.close_connection = True
    _send(handler, Reply(status, body))
    try:
        handler.wfile.flush()
        connection: socket.socket = handler.connection
        connection.shutdown(socket.SHUT_WR)
        connection.settimeout(DRAIN_SECONDS)
        deadline = time.monotonic() + DRAIN_SECONDS
        dropped = 0
        while dropped < DRAIN_BYTES and time.monotonic() < deadline:
            chunk = connection.recv(1 << 16)
            if not chunk:
                break
            dropped += len(chunk)
    except OSError:
        pass


def _body_length(handler: BaseHTTPRequestHandler) -> int | None:
    """The declared body length, or None after refusing the request (too large, unreadable, chunked)."""
    if handler.headers.get("Transfer-Encoding"):
        _refuse_unread(handler, 411, BODY_REFUSED)
        return None
    digits = (handler.headers.get("Content-Length") or "0").strip()
    if not (digits.isascii() and digits.isdigit()):
        length = -1
    else:
        # Too many digits for any acceptable length; int() would refuse some of them outright.
        length = int(digits) if len(digits) <= 12 else MAX_BODY + 1
    if not 0 <= length <= MAX_BODY:
        _refuse_unread(handler, 413 if length > MAX_BODY else 400, BODY_REFUSED)
        return None
    return length


class _LoggedHandler(BaseHTTPRequestHandler):
    sys_version = ""
    timeout = SOCKET_TIMEOUT
    server: _HttpServer

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        # A request line that did not parse has no command; its raw text is logged instead.
        what = f"{self.command} {self.path}" if self.command else getattr(self, "requestline", "")
        self.server.note(f"{what} -> {code}")

    def log_message(self, format: str, *args: object) -> None:
        pass


class _Handler(_LoggedHandler):
    server_version = "SimProvider/1.0"

    def do_GET(self) -> None:
        self._dispatch()

    def do_POST(self) -> None:
        self._dispatch()

    def do_PUT(self) -> None:
        self._dispatch()

    def do_PATCH(self) -> None:
        self._dispatch()

    def do_DELETE(self) -> None:
        self._dispatch()

    def _dispatch(self) -> None:
        length = _body_length(self)
        if length is None:
            return
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        headers = {name: value for name, value in self.headers.items()}
        try:
            reply = self.server.respond(self.command, self.path, _Caseless(headers), body, self.client_address[0])
        except Exception as exc:  # a fault of the simulator must still give the caller an answer
            self.server.note(f"{self.command} {self.path}: internal error {exc!r}")
            reply = Reply(500, '{"code":"99","message":"error interno del simulador"}')
        if reply.delay > 0 and self.server.stop.wait(reply.delay):
            return
        _send(self, reply)


class _Caseless(Mapping[str, str]):
    """Header look-up that ignores case, as HTTP does."""

    def __init__(self, headers: Mapping[str, str]) -> None:
        self._headers = {name.lower(): value for name, value in headers.items()}

    def __getitem__(self, key: str) -> str:
        return self._headers[key.lower()]

    def __iter__(self) -> Iterator[str]:
        return iter(self._headers)

    def __len__(self) -> int:
        return len(self._headers)


class _Running:
    """A server answered from a thread of its own, stopped by ``close``."""

    _httpd: _HttpServer
    _thread: threading.Thread | None = None
    _stop: threading.Event

    @property
    def port(self) -> int:
        return int(self._httpd.server_address[1])

    @property
    def host(self) -> str:
        return str(self._httpd.server_address[0])

    def _origin(self) -> str:
        host = self.host
        return f"http://[{host}]:{self.port}" if ":" in host else f"http://{host}:{self.port}"

    def start(self) -> None:
        if self._thread is None:
            self._thread = threading.Thread(
                target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
            )
            self._thread.start()

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join()
            self._thread = None
        self._httpd.server_close()
        self._httpd.drop_connections()


class Simulator(_Running):
    """The simulated provider on ``host``:``port`` (port 0 picks a free one).

    Use it as a context manager, or call ``start`` and ``close``. The client's base URL is ``base_url``.
    """

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, settings: Settings | None = None, log: Log | None = None
    ) -> None:
        self.settings = settings or Settings()
        self._stop = threading.Event()
        self._provider = Provider(self.settings, lambda batch: self._notifier.submit(batch))
        self._notifier = Notifier(self._provider, self.settings, self._stop)
        self._httpd = _HttpServer((host, port), _Handler, self._provider.handle, self._stop, log)

    @property
    def base_url(self) -> str:
        return self._origin()

    @property
    def deliveries(self) -> list[Delivery]:
        """Every notification attempt so far, in order."""
        return self._notifier.deliveries

    def wait_for_notifications(self, timeout: float = 10.0) -> bool:
        """Waits until every batch has completed and been notified; False when the time-out came first."""
        return self._notifier.wait_idle(timeout)

    def payments(self) -> dict[str, Any]:
        """What ``GET /_simulator/payments`` answers: the QR payments recorded and the duplicates refused.

        ``{"duplicates_refused": N, "payments": [{"transaction_id", "reference", "amount",
        "currency", "status"}, ...]}``, payments in the order recorded.
        """
        return self._provider.payments()

    def batches(self) -> dict[str, Any]:
        """What ``GET /_simulator/batches`` answers: the batches authorised and the duplicates refused.

        ``{"duplicates_refused": N, "batches": [{"branch", "process_id", "batch_number",
        "transfers": [{"transaction_id", "amount", "currency", "status", "reference"}, ...]}, ...]}``.
        """
        return self._provider.batches()

    def close(self) -> None:
        super().close()
        self._notifier.close()

    def __enter__(self) -> Simulator:
        self.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()


class _ReceiverHandler(_LoggedHandler):
    server_version = "SimReceiver/1.0"

    def do_POST(self) -> None:
        length = _body_length(self)
        if length is None:
            return
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        try:
            reply = self.server.respond("POST", self.path, {}, body, self.client_address[0])
        except Exception as exc:  # the caller's handler failed: the provider sees a 500 and retries
            reply = Reply(500, json.dumps({"error": f"receiver failed: {type(exc).__name__}"}))
        _send(self, reply)


class WebhookReceiver(_Running):
    """A notification endpoint on loopback for demos and tests.

    ``handle(token, body)`` gets the "token" query parameter and the raw body of each POST to
    ``url`` and returns the HTTP status and the JSON text to answer with. ``log``, when given,
    gets one line per request, the token redacted.
    """

    PATH: ClassVar[str] = "/hooks/batch"

    def __init__(
        self,
        handle: Callable[[str, str], tuple[int, str]],
        host: str = "127.0.0.1",
        port: int = 0,
        log: Log | None = None,
    ) -> None:
        self._handle = handle
        self._stop = threading.Event()
        self._httpd = _HttpServer((host, port), _ReceiverHandler, self._respond, self._stop, log)

    def _respond(self, method: str, target: str, headers: Mapping[str, str], body: str, peer: str) -> Reply:
        try:
            parts = urlsplit(target)
        except ValueError:
            return Reply(404, '{"error":"not found"}')
        if parts.path != self.PATH:
            return Reply(404, '{"error":"not found"}')
        token = parse_qs(parts.query).get("token", [""])[0]
        status, answer = self._handle(token, body)
        return Reply(status, answer)

    @property
    def url(self) -> str:
        """The notification address, without the token (the client adds it)."""
        return self._origin() + self.PATH

    def __enter__(self) -> WebhookReceiver:
        self.start()
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()
