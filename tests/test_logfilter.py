"""The webhook secret kept out of access logs: the filter on the records servers write, and the README's endpoint."""

from __future__ import annotations

import logging
import pathlib
import re
import threading
from collections.abc import Iterator
from typing import Any
from wsgiref.simple_server import WSGIServer, make_server

import httpx
import pytest

from quorvel_bo.payouts import RedactingFilter, redact_secrets

SECRET = "s3cr3t-t0ken-2024-xyz"
README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (f"POST /hooks/batch?token={SECRET} HTTP/1.1", "POST /hooks/batch?token=[redacted] HTTP/1.1"),
        (f"/h?a=1&TOKEN={SECRET}&b=2", "/h?a=1&TOKEN=[redacted]&b=2"),
        (f'"GET /h?Token={SECRET}" 200 -', '"GET /h?Token=[redacted]" 200 -'),
        (f"/h?token={SECRET}", "/h?token=[redacted]"),
        ("/h?token=&x=1", "/h?token=[redacted]&x=1"),
        (f"/h?token={SECRET}\tnext", "/h?token=[redacted]\tnext"),
        (f"/a?token=one /b?token={SECRET}", "/a?token=[redacted] /b?token=[redacted]"),
        (f"/h?access_token={SECRET}", "/h?access_token=[redacted]"),
        ("/h?tokens=public&x=token", "/h?tokens=public&x=token"),
    ],
)
def test_redact_secrets(text: str, expected: str) -> None:
    assert redact_secrets(text) == expected


def record(msg: object, args: Any) -> logging.LogRecord:
    return logging.LogRecord("access", logging.INFO, __file__, 1, msg, args, None)


@pytest.mark.parametrize(
    ("msg", "args", "message", "kept_args"),
    [
        # uvicorn.access: (client_addr, method, full_path, http_version, status_code); its formatter unpacks them.
        ('%s - "%s %s HTTP/%s" %d', ("127.0.0.1:51234", "POST", f"/hooks/batch?token={SECRET}&n=1", "1.1", 200),
         '127.0.0.1:51234 - "POST /hooks/batch?token=[redacted]&n=1 HTTP/1.1" 200',
         ("127.0.0.1:51234", "POST", "/hooks/batch?token=[redacted]&n=1", "1.1", 200)),
        # werkzeug: the request line as an argument of '"%s" %s %s'.
        ('127.0.0.1 - - [07/Dec/2026 10:00:00] "%s" %s %s', (f"POST /hooks/batch?token={SECRET} HTTP/1.1", "200", "-"),
         '127.0.0.1 - - [07/Dec/2026 10:00:00] "POST /hooks/batch?token=[redacted] HTTP/1.1" 200 -', None),
        # Already formatted into the message, and through a mapping argument.
        (f"POST /hooks/batch?token={SECRET} 200", None, "POST /hooks/batch?token=[redacted] 200", None),
        ("%(path)s %(status)d", {"path": f"/h?token={SECRET}", "status": 401}, "/h?token=[redacted] 401", None),
        # An argument that is not text but shows the secret (a URL object, say).
        ("%s", (httpx.URL(f"http://127.0.0.1/h?token={SECRET}"),), "http://127.0.0.1/h?token=[redacted]", None),
    ],
)
def test_filter_redacts_server_shaped_records(msg: str, args: Any, message: str, kept_args: Any) -> None:
    shaped = record(msg, args)
    assert RedactingFilter().filter(shaped) is True
    assert shaped.getMessage() == message
    if kept_args is not None:
        assert shaped.args == kept_args


class Capture(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.lines: list[str] = []
        self.written = threading.Event()

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append(record.getMessage())
        self.written.set()


def readme_endpoint() -> str:
    """The README's WSGI notification endpoint, as printed there."""
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.DOTALL)
    [block] = [b for b in blocks if "class RedactedLogHandler" in b]
    return str(block)


@pytest.fixture
def endpoint() -> Iterator[tuple[str, Capture]]:
    namespace: dict[str, Any] = {"record": lambda transfer: None}
    exec(readme_endpoint(), namespace)  # noqa: S102 - the README's own example, run as printed
    capture = Capture()
    access_log = namespace["access_log"]
    access_log.addHandler(capture)
    access_log.setLevel(logging.INFO)
    server: WSGIServer = make_server("127.0.0.1", 0, namespace["batch_webhook"],
                                     handler_class=namespace["RedactedLogHandler"])
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}/hooks/batch", capture
    finally:
        server.shutdown()
        server.server_close()
        thread.join(5)
        access_log.removeHandler(capture)
        for added in [f for f in access_log.filters if isinstance(f, RedactingFilter)]:
            access_log.removeFilter(added)


@pytest.mark.timeout(20)
@pytest.mark.parametrize(("token", "body", "status"), [(SECRET, b"{not json", 400), ("not-the-secret", b"{}", 401)])
def test_readme_wsgiref_endpoint_logs_requests_without_the_secret(
    endpoint: tuple[str, Capture], capfd: pytest.CaptureFixture[str], token: str, body: bytes, status: int
) -> None:
    url, capture = endpoint
    assert httpx.post(f"{url}?token={token}&n=1", content=body, timeout=10).status_code == status
    assert capture.written.wait(10)  # wsgiref logs once the answer is out
    logged = "\n".join(capture.lines)
    assert re.fullmatch(rf'127\.0\.0\.1 - "POST /hooks/batch\?token=\[redacted\]&n=1 HTTP/1\.1" {status} \d+', logged)
    assert token not in logged + "".join(capfd.readouterr())
