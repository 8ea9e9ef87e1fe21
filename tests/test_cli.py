"""The command line: subcommands, payload sources, --pretty and exit status."""

from __future__ import annotations

import http.client
import io
import json
import select
import signal
import socket
import subprocess
import sys
from collections.abc import Callable
from urllib.parse import urlsplit

import pytest

from quorvel_bo.payouts import __main__ as cli
from quorvel_bo.payouts import call

RunCli = Callable[..., "subprocess.CompletedProcess[bytes]"]


def out(text: str) -> bytes:
    return (text + "\n").encode("utf-8")


@pytest.mark.parametrize(
    ("args", "document", "status"),
    [
        (["version"], call("version", ""), 0),
        (["describe"], call("describe", ""), 0),
        (["call", "version", ""], call("version", ""), 0),
        (["call", "nope", "{}"], call("nope", "{}"), 1),
        (["call", "nop\u00e9", "{}"], call("nop\u00e9", "{}"), 1),
    ],
)
def test_prints_the_document_and_exits_by_ok(run_cli: RunCli, args: list[str], document: str, status: int) -> None:
    result = run_cli(*args)
    assert (result.returncode, result.stdout) == (status, out(document))


@pytest.mark.parametrize("args", [["--pretty", "describe"], ["describe", "--pretty"], ["call", "--pretty", "describe", "x"]])
def test_pretty_matches_json_dumps_layout(run_cli: RunCli, args: list[str]) -> None:
    result = run_cli(*args)
    expected = json.dumps(json.loads(call("describe", "")), indent=2, ensure_ascii=False)
    assert (result.returncode, result.stdout) == (0, out(expected))


def test_pretty_keeps_numbers_strings_and_empty_containers() -> None:
    document = '{"a":1.50,"b":[],"c":{},"d":"x\\",:{[\\\\","e":[1e-7,{"f":null}]}'
    assert cli.pretty(document) == (
        '{\n  "a": 1.50,\n  "b": [],\n  "c": {},\n  "d": "x\\",:{[\\\\",\n'
        '  "e": [\n    1e-7,\n    {\n      "f": null\n    }\n  ]\n}'
    )


@pytest.mark.parametrize(("args", "stdin"), [(["call", "op.x", "-"], b"{\"a\":1}"), (["call", "op.x"], b"{\"a\":1}")])
def test_payload_from_standard_input(
    monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], args: list[str], stdin: bytes
) -> None:
    seen: list[tuple[str, str]] = []

    def fake_call(op: str, payload: str) -> str:
        seen.append((op, payload))
        return '{"ok":true,"value":null}'

    monkeypatch.setattr(cli, "call", fake_call)
    monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(stdin), encoding="utf-8"))
    assert cli.main(args) == 0
    assert seen == [("op.x", '{"a":1}')]
    assert capsys.readouterr().out == '{"ok":true,"value":null}\n'


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["call"], ["call", "version", "", "extra"], ["describe", "--unknown"]],
)
def test_usage_errors_exit_2(run_cli: RunCli, args: list[str]) -> None:
    result = run_cli(*args)
    assert result.returncode == 2
    assert result.stdout == b""
    assert b"usage:" in result.stderr


def test_payload_that_is_not_utf8_is_a_usage_error(run_cli: RunCli) -> None:
    result = run_cli("call", "version", "-", stdin=b"\xff")
    assert result.returncode == 2
    assert b"not valid UTF-8" in result.stderr


def test_help_lists_the_commands(run_cli: RunCli) -> None:
    result = run_cli("--help")
    assert result.returncode == 0
    for word in (b"describe", b"version", b"call", b"--pretty", b"exit status"):
        assert word in result.stdout


def test_help_lists_the_simulator_and_the_demo(run_cli: RunCli) -> None:
    result = run_cli("--help")
    assert b"simulator" in result.stdout and b"demo" in result.stdout


def test_simulator_serves_until_terminated() -> None:
    from quorvel_bo.payouts.simulator import TEST_CLIENT_ID, TEST_TOKEN

    command = [sys.executable, "-m", "quorvel_bo.payouts", "simulator", "--port", "0"]
    # Unbuffered, so that readline() takes one line and communicate() gets all the rest.
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, bufsize=0)
    try:
        assert proc.stdout is not None
        ready, _, _ = select.select([proc.stdout], [], [], 30)
        assert ready, "the simulator printed nothing"
        banner = proc.stdout.readline().decode()
        url = urlsplit(banner.split(" on ", 1)[1].strip())
        connection = http.client.HTTPConnection(url.hostname or "", url.port, timeout=10)
        headers = {"Authorization": f"Bearer {TEST_TOKEN}", "access_token": TEST_TOKEN, "client_id": TEST_CLIENT_ID,
                   "branchCode": "SUC-01"}
        connection.request("POST", "/payout/async/v3/bancos", headers=headers)
        answer = json.loads(connection.getresponse().read())
        connection.close()
        assert answer["code"] == "00" and answer["data"][0]["codigoBanco"] == 1001
        proc.send_signal(signal.SIGTERM)
        out, _ = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0
    assert TEST_TOKEN.encode() in out and b"POST /payout/async/v3/bancos -> 200" in out


def test_simulator_on_a_busy_port_fails(run_cli: RunCli) -> None:
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        result = run_cli("simulator", "--port", str(busy.getsockname()[1]))
    assert result.returncode == 1
    assert b"cannot listen on 127.0.0.1:" in result.stderr
