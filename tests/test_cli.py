"""The command line: subcommands, payload sources, --pretty and exit status."""

from __future__ import annotations

import io
import json
import subprocess
from collections.abc import Callable

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
