"""Shared fixtures and helpers: the command line, a PostgreSQL server, the simulator and the endpoint as
processes, payroll files, result documents."""

from __future__ import annotations

import contextlib
import csv
import glob
import io
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

# The ledger's and the payroll's tests are pure Python: the sanitized run of the extension skips them.
PURE_PYTHON = pytest.mark.skipif(bool(os.environ.get("QBO_SANITIZED")), reason="pure Python: the plain run covers it")


@pytest.fixture
def run_cli() -> Callable[..., subprocess.CompletedProcess[bytes]]:
    """Runs `python -m quorvel_bo.payouts ARGS` with bytes on standard input (empty by default)."""

    def run(*args: str, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
        return subprocess.run(
            [sys.executable, "-m", "quorvel_bo.payouts", *args],
            input=stdin,
            capture_output=True,
            timeout=60,
            check=False,
        )

    return run


# -- the ledger's real parts: a PostgreSQL server and a simulator process, each started by the tests --

PG_USER = "postgres"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_for_port(port: int, proc: subprocess.Popen[bytes], log: Path, limit: float = 30) -> None:
    """Returns once something accepts on the loopback port; fails with the log if ``proc`` died first."""
    end = time.monotonic() + limit
    while True:
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=1):
            return
        if proc.poll() is not None or time.monotonic() > end:
            raise RuntimeError(f"nothing listens on port {port}:\n{log.read_text(errors='replace')}")
        time.sleep(0.02)


def terminate(proc: subprocess.Popen[bytes] | None) -> None:
    """SIGTERM, then SIGKILL if it does not end within 10 s."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(10)


def _pg_bin(name: str) -> str:
    # Debian keeps the server programs out of PATH, under the major version.
    found = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"), key=lambda p: int(p.split("/")[4]))
    path = found[-1] if found else shutil.which(name)
    if path is None:
        pytest.fail(f"PostgreSQL's {name} is missing: scripts/setup.sh installs the postgresql package")
    return path


class PostgresServer:
    """A throw-away PostgreSQL cluster on a loopback port, run as the postgres user when we are root."""

    def __init__(self) -> None:
        self.dir = Path(tempfile.mkdtemp(prefix="qbo-pg-"))
        self.port = free_port()
        self._as: list[str] = []
        if os.geteuid() == 0:
            # The server refuses to run as root.
            user = pwd.getpwnam(PG_USER)
            os.chown(self.dir, user.pw_uid, user.pw_gid)
            self._as = ["runuser", "-u", PG_USER, "--"]
        self.data = self.dir / "data"
        self._count = 0

    def _run(self, *args: str, timeout: float = 60) -> None:
        subprocess.run([*self._as, *args], check=True, capture_output=True, timeout=timeout)

    def start(self) -> None:
        self._run(_pg_bin("initdb"), "-A", "trust", "-U", PG_USER, "--no-sync", "-D", str(self.data))
        # A log file keeps pg_ctl from holding our output pipe open; the socket lives in our directory.
        options = f"-p {self.port} -k {self.dir} -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=200"
        self._run(_pg_bin("pg_ctl"), "-D", str(self.data), "-l", str(self.dir / "server.log"),
                  "-o", options, "-w", "-t", "60", "start", timeout=90)

    def stop(self) -> None:
        with contextlib.suppress(Exception):
            self._run(_pg_bin("pg_ctl"), "-D", str(self.data), "-m", "immediate", "-w", "stop", timeout=60)
        shutil.rmtree(self.dir, ignore_errors=True)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://{PG_USER}@127.0.0.1:{self.port}/{database}"

    def new_database(self) -> str:
        import psycopg

        self._count += 1
        name = f"ledger_{os.getpid()}_{self._count}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url(name)


@pytest.fixture(scope="session")
def postgres() -> Iterator[PostgresServer]:
    server = PostgresServer()
    try:
        server.start()
        yield server
    finally:
        server.stop()


@pytest.fixture(params=["sqlite", "postgresql"])
def db_url(request: pytest.FixtureRequest, tmp_path: Path) -> str:
    """A fresh, empty ledger database on each engine."""
    if request.param == "sqlite":
        return str(tmp_path / "ledger.db")
    server: PostgresServer = request.getfixturevalue("postgres")
    return server.new_database()


class SimulatorProcess:
    """``python -m quorvel_bo.payouts simulator`` on a free loopback port, its log in a file."""

    def __init__(self, log_dir: Path, *args: str) -> None:
        self.port = free_port()
        self.log = log_dir / "simulator.log"
        self._out = self.log.open("wb")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "quorvel_bo.payouts", "simulator", "--port", str(self.port), *args],
            stdout=self._out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
        )
        self.base_url = f"http://127.0.0.1:{self.port}"
        end = time.monotonic() + 30
        while f"provider simulator on {self.base_url}" not in self.log.read_text(errors="replace"):
            if self.proc.poll() is not None or time.monotonic() > end:
                raise RuntimeError(f"the simulator did not start:\n{self.log.read_text(errors='replace')}")
            time.sleep(0.05)

    def _inspect(self, what: str) -> dict[str, Any]:
        import httpx
        from quorvel_bo.payouts.simulator import TEST_CLIENT_ID, TEST_TOKEN

        headers = {"Authorization": f"Bearer {TEST_TOKEN}", "access_token": TEST_TOKEN, "client_id": TEST_CLIENT_ID}
        answer = httpx.get(f"{self.base_url}/_simulator/{what}", headers=headers, timeout=10)
        answer.raise_for_status()
        result: dict[str, Any] = answer.json()
        return result

    def payments(self) -> dict[str, Any]:
        """What the simulator recorded: its inspection endpoint."""
        return self._inspect("payments")

    def batches(self) -> dict[str, Any]:
        """The batches the simulator took, and the authorisations it refused as duplicates."""
        return self._inspect("batches")

    def close(self) -> None:
        terminate(self.proc)
        self._out.close()


@pytest.fixture
def sim() -> Iterator[Any]:
    """The simulator in this process, quick to settle and to notify."""
    from quorvel_bo.payouts.simulator import Settings, Simulator

    settings = Settings(settle_after=2, slow_delay=1.0, transfer_interval=0.01, webhook_backoff=0.01, webhook_attempts=3)
    with Simulator(settings=settings) as running:
        yield running


@pytest.fixture
def sim_process(tmp_path: Path) -> Iterator[SimulatorProcess]:
    sim = SimulatorProcess(tmp_path, "--settle-after", "2", "--slow-delay", "0.8")
    try:
        yield sim
    finally:
        sim.close()


class EndpointProcess:
    """``ledger serve-webhooks`` on a loopback port, its log (uvicorn's access log included) in a file."""

    def __init__(self, log_dir: Path, db: str, token: str, port: int | None = None) -> None:
        self.port = port or free_port()
        self.db = db
        self.token = token
        self.log_dir = log_dir
        self.starts = 0
        self.proc: subprocess.Popen[bytes] | None = None
        self.url = f"http://127.0.0.1:{self.port}/hooks/batch"

    @property
    def log(self) -> Path:
        return self.log_dir / f"endpoint-{self.starts}.log"

    def start(self) -> None:
        self.starts += 1
        with self.log.open("wb") as out:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "quorvel_bo.payouts", "ledger", "--db", self.db, "serve-webhooks",
                 "--host", "127.0.0.1", "--port", str(self.port), "--expected-token", self.token],
                stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            )
        wait_for_port(self.port, self.proc, self.log)

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def stop(self) -> None:
        terminate(self.proc)

    def logs(self) -> str:
        return "".join((self.log_dir / f"endpoint-{n}.log").read_text(errors="replace")
                       for n in range(1, self.starts + 1))


# -- payroll files ----------------------------------------------------------------------------------

PAYROLL_COLUMNS = (
    "transaction_id", "amount", "date", "source_account", "destination_account", "bank_code", "branch_city",
    "description", "recipient_document_id", "recipient_name", "currency",
)
WEBHOOK_TOKEN = "s3cr3t-t0ken-2024-xyz"


def payroll_rows(count: int, start: int = 0, rejected_every: int = 0) -> list[dict[str, str]]:
    """Valid transfers; with ``rejected_every`` N, every Nth id carries the simulator's rejection prefix."""
    rows = []
    for i in range(start, start + count):
        prefix = "SIMREJ" if rejected_every and i % rejected_every == rejected_every - 1 else "PAY"
        rows.append({
            "transaction_id": f"{prefix}-{i:06d}",
            "amount": f"{1 + (i * 37) % 9000}.{i % 100:02d}",
            "date": "2024-12-20",
            "source_account": "2012345678",
            "destination_account": f"300{i:07d}",
            "bank_code": f"100{1 + i % 5}",
            "branch_city": ["lpz", "SCZ", " cbb "][i % 3],
            "description": f"Sueldo diciembre {i}",
            "recipient_document_id": f"45{i:06d}",
            "recipient_name": f"Empleada {i} Quispe",
            "currency": "USD" if i % 10 == 0 else "BOB",
        })
    return rows


def write_payroll(path: Path, rows: list[dict[str, str]], sep: str = ",", bom: bool = False,
                  columns: tuple[str, ...] = PAYROLL_COLUMNS) -> Path:
    out = io.StringIO()
    writer = csv.writer(out, delimiter=sep, lineterminator="\r\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow([row.get(c, "") for c in columns])
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + out.getvalue().encode("utf-8"))
    return path


# -- the core's result documents, written as `call` writes them: compact, keys sorted, UTF-8 kept ---

PROCESS_ID = "123e4567-e89b-12d3-a456-426614174000"
TRANSFER = {
    "transaction_id": "TX-0001", "amount": "150.00", "date": "2024-02-29", "source_account": "1000200030",
    "destination_account": "4000500060", "bank_code": "1014", "branch_city": "LPZ", "description": "Salary",
    "recipient_document_id": "4455667LP", "recipient_name": "Ana Perez",
}


def doc(value: object) -> str:
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def ok(value: object) -> str:
    return doc({"ok": True, "value": value})


def failure(kind: str, message: str, retryable: bool = False, **fields: object) -> str:
    return doc({"error": {"kind": kind, "message": message, "retryable": retryable, **fields}, "ok": False})


# -- the ledger's command line and quick runner settings ------------------------------------------------

def ledger_cli(*args: str, env: dict[str, str] | None = None, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "quorvel_bo.payouts", "ledger", *args],
                          capture_output=True, text=True, timeout=timeout, env=env, check=False)


def wait_until(condition: Callable[[], bool], limit: float = 20.0) -> None:
    end = time.monotonic() + limit
    while not condition():
        assert time.monotonic() < end, "the condition never held"
        time.sleep(0.02)


def fast_run_options() -> Any:
    from quorvel_bo.payouts.ledger import RunOptions

    return RunOptions(lease=2.0, grace=0.3, poll_interval=0.01, poll_max_interval=0.05, retry_interval=0.01,
                      retry_max_interval=0.1, inline_wait=0.2, idle_interval=0.02, reconcile_after=0.2,
                      reconcile_interval=0.2)
