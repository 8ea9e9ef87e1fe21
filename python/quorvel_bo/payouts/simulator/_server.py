"""HTTP servers on the standard library: the simulated provider and a small notification receiver."""

from __future__ import annotations

import json
import socket
import threading
from collections.abc import Callable, Iterator, Mapping
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import ClassVar
from urllib.parse import parse_qs, urlsplit

from quorvel_bo.payouts.simulator._notifier import Delivery, Notifier
from quorvel_bo.payouts.simulator._provider import Provider, Reply, Settings

MAX_BODY = 1 << 20
# A connection that sends nothing for this long is dropped, so that shutting down never hangs on it.
SOCKET_TIMEOUT = 10.0

Log = Callable[[str], None]
Responder = Callable[[str, str, Mapping[str, str], str], Reply]


class _HttpServer(ThreadingHTTPServer):
    # Handler threads are joined on close; they are short (the time-out trigger waits on `stop`).
    daemon_threads = False
    block_on_close = True

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


class _Handler(BaseHTTPRequestHandler):
    server_version = "SimProvider/1.0"
    sys_version = ""
    timeout = SOCKET_TIMEOUT
    server: _HttpServer

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
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY:
            _send(self, Reply(413 if length > MAX_BODY else 400, '{"code":"05","message":"cuerpo inválido"}'))
            return
        body = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        headers = {name: value for name, value in self.headers.items()}
        try:
            reply = self.server.respond(self.command, self.path, _Caseless(headers), body)
        except Exception as exc:  # a fault of the simulator must still give the caller an answer
            if self.server.log is not None:
                self.server.log(f"{self.command} {urlsplit(self.path).path}: internal error {exc!r}")
            reply = Reply(500, '{"code":"99","message":"error interno del simulador"}')
        if reply.delay > 0 and self.server.stop.wait(reply.delay):
            return
        _send(self, reply)


    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        if self.server.log is not None:
            # The path only: queries carry no secret here, headers are never written.
            self.server.log(f"{self.command} {urlsplit(self.path).path} -> {code}")

    def log_message(self, format: str, *args: object) -> None:
        pass


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


class _ReceiverHandler(BaseHTTPRequestHandler):
    server_version = "SimReceiver/1.0"
    sys_version = ""
    timeout = SOCKET_TIMEOUT
    server: _HttpServer

    def do_POST(self) -> None:
        try:
            length = min(int(self.headers.get("Content-Length") or 0), MAX_BODY)
        except ValueError:
            length = 0
        body = self.rfile.read(length).decode("utf-8", "replace") if length > 0 else ""
        try:
            reply = self.server.respond("POST", self.path, {}, body)
        except Exception as exc:  # the caller's handler failed: the provider sees a 500 and retries
            reply = Reply(500, json.dumps({"error": f"receiver failed: {type(exc).__name__}"}))
        _send(self, reply)

    def log_message(self, format: str, *args: object) -> None:
        pass


class WebhookReceiver(_Running):
    """A notification endpoint on loopback for demos and tests.

    ``handle(token, body)`` gets the "token" query parameter and the raw body of each POST to
    ``url`` and returns the HTTP status and the JSON text to answer with.
    """

    PATH: ClassVar[str] = "/hooks/batch"

    def __init__(self, handle: Callable[[str, str], tuple[int, str]], host: str = "127.0.0.1", port: int = 0) -> None:
        self._handle = handle
        self._stop = threading.Event()
        self._httpd = _HttpServer((host, port), _ReceiverHandler, self._respond, self._stop, None)

    def _respond(self, method: str, target: str, headers: Mapping[str, str], body: str) -> Reply:
        parts = urlsplit(target)
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
