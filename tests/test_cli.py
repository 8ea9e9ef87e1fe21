"""The `_native` module (its attributes, the argument rules of `call` and the text it hands back) and the command
line (subcommands, payload sources, --pretty and exit status)."""

from __future__ import annotations

import importlib.metadata
import inspect
import json
import pathlib
import socket
import subprocess
import sys
from collections.abc import Callable

import pytest

import quorvel_bo
import quorvel_bo.payouts
from quorvel_bo.payouts import __main__ as cli
from quorvel_bo.payouts import _native, call

VERSION = '{"ok":true,"value":{"core":"0.1.0","protocol":2}}'


class Text(str):
    pass


def surrogate(char: str) -> str:
    return f"'utf-8' codec can't encode character '{char}' in position 0: surrogates not allowed"


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        (("version", ""), {}, VERSION),
        ((), {"payload": "", "op": "version"}, VERSION),
        ((Text("version"),), {"payload": Text("")}, VERSION),
        # Text goes in and comes out as UTF-8 with its length, not as a C string.
        (("a\x00\u00e9\U0001f600\x7f", "{"), {},
         '{"error":{"kind":"ffi","message":"unknown operation `a\\u0000\u00e9\U0001f600\x7f`","retryable":false},"ok":false}'),
        ((), {}, (TypeError, "call() missing required argument 'op' (pos 1)")),
        (("version",), {}, (TypeError, "call() missing required argument 'payload' (pos 2)")),
        (("version", "", "x"), {}, (TypeError, "call() takes at most 2 arguments (3 given)")),
        (("version", ""), {"op": "x"}, (TypeError, "call() takes at most 2 arguments (3 given)")),
        ((), {"op": "version", "payload": "", "x": ""}, (TypeError, "call() takes at most 2 keyword arguments (3 given)")),
        (("version",), {"Payload": ""}, (TypeError, "call() got an unexpected keyword argument 'Payload'")),
        (("version",), {"op": ""}, (TypeError, "argument for call() given by name ('op') and position (1)")),
        ((b"version", ""), {}, (TypeError, "call() argument 'op' must be str, not bytes")),
        (("version", None), {}, (TypeError, "call() argument 'payload' must be str, not None")),
        ((), {"op": 7, "payload": memoryview(b"")}, (TypeError, "call() argument 'op' must be str, not int")),
        # The operation is checked, then encoded, before the payload is looked at.
        ((None, "\udfff"), {}, (TypeError, "call() argument 'op' must be str, not None")),
        (("\ud800", None), {}, (UnicodeEncodeError, surrogate("\\ud800"))),
        (("version", "\udfff"), {}, (UnicodeEncodeError, surrogate("\\udfff"))),
    ],
)
def test_call_arguments(args: tuple[object, ...], kwargs: dict[str, object], expected: object) -> None:
    if isinstance(expected, str):
        assert call(*args, **kwargs) == expected  # type: ignore[arg-type]
        return
    raised, message = expected  # type: ignore[misc]
    with pytest.raises(raised) as caught:
        call(*args, **kwargs)  # type: ignore[arg-type]
    assert (type(caught.value), str(caught.value)) == (raised, message)


@pytest.mark.parametrize(
    ("attribute", "expected"),
    [
        (lambda: (_native.__all__, _native.__doc__), (["call", "__version__", "PROTOCOL_VERSION"], "")),
        (lambda: (_native.__version__, importlib.metadata.version("quorvel-bo-payouts")), ("0.1.0", "0.1.0")),
        (lambda: (type(_native.PROTOCOL_VERSION), _native.PROTOCOL_VERSION), (int, 2)),
        (lambda: (call.__name__, call.__module__, call.__self__), ("call", "quorvel_bo.payouts._native", _native)),
        (lambda: (call.__text_signature__, list(inspect.signature(call).parameters)), ("(op, payload)", ["op", "payload"])),
        (lambda: (_native.PanicException.__bases__, _native.PanicException.__module__, _native.PanicException.__name__),
         ((BaseException,), "quorvel_bo.payouts._native", "PanicException")),
        (lambda: (quorvel_bo.payouts.call, quorvel_bo.payouts.PROTOCOL_VERSION, quorvel_bo.payouts.__version__),
         (call, 2, "0.1.0")),
        (lambda: pathlib.Path(_native.__file__).name, "_native.abi3.so"),
        (lambda: getattr(quorvel_bo, "__file__", None), None),  # a namespace package
    ],
)
def test_module_attributes(attribute: Callable[[], object], expected: object) -> None:
    assert attribute() == expected


# -- the command line -----------------------------------------------------------------------------------------

RunCli = Callable[..., "subprocess.CompletedProcess[bytes]"]
BUILD = json.dumps({"config": {"client_id": "\u00e9"}, "input": {"reference": "1"},
                    "token": {"access_token": "t", "token_type": "Bearer", "expires_at": 1}}, ensure_ascii=False)


@pytest.mark.parametrize(
    ("args", "stdin", "status", "document"),
    [
        (["version"], "", 0, call("version", "")),
        (["call", "nop\u00e9", "{}"], "", 1, call("nop\u00e9", "{}")),
        (["call", "payouts.status.build", "-"], BUILD, 0, call("payouts.status.build", BUILD)),
        (["call", "payouts.status.build"], BUILD, 0, call("payouts.status.build", BUILD)),
        (["call", "payouts.status.build"], "{}", 1, call("payouts.status.build", "{}")),
    ],
)
def test_prints_the_document_and_exits_by_ok(run_cli: RunCli, args: list[str], stdin: str, status: int, document: str) -> None:
    result = run_cli(*args, stdin=stdin.encode())
    assert (result.returncode, result.stdout) == (status, (document + "\n").encode())


@pytest.mark.parametrize(
    ("args", "stdin", "status", "words"),
    [
        ([], b"", 2, [b"usage:"]), (["frobnicate"], b"", 2, [b"usage:"]), (["call"], b"", 2, [b"usage:"]),
        (["call", "version", "", "extra"], b"", 2, [b"usage:"]), (["describe", "--unknown"], b"", 2, [b"usage:"]),
        (["call", "version", "-"], b"\xff", 2, [b"not valid UTF-8"]),
        (["--help"], b"", 0, [b"describe", b"version", b"call", b"simulator", b"demo", b"--pretty", b"exit status"]),
    ],
)
def test_usage_and_help(run_cli: RunCli, args: list[str], stdin: bytes, status: int, words: list[bytes]) -> None:
    result = run_cli(*args, stdin=stdin)
    assert result.returncode == status
    assert all(word in (result.stderr if status else result.stdout) for word in words)
    assert status == 0 or result.stdout == b""


# The console command the package installs beside the interpreter, and the module it runs.
COMMAND = str(pathlib.Path(sys.executable).with_name("quorvel-payouts"))


@pytest.mark.parametrize(
    ("launcher", "prog"),
    [([COMMAND], b"quorvel-payouts"), ([sys.executable, "-m", "quorvel_bo.payouts"], b"python -m quorvel_bo.payouts")],
)
def test_installed_command_and_module_name_themselves(launcher: list[str], prog: bytes) -> None:
    def run(*args: str) -> subprocess.CompletedProcess[bytes]:
        return subprocess.run([*launcher, *args], capture_output=True, timeout=60, check=False)

    version, usage, help_text = run("version"), run("call"), run("--help")
    assert (version.returncode, version.stdout) == (0, (call("version", "") + "\n").encode())
    assert usage.returncode == 2 and usage.stderr.startswith(b"usage: " + prog + b" call [-h]")
    assert help_text.stdout.startswith(b"usage: " + prog + b" [-h]")
    assert b"\n  " + prog + b" call version\n" in help_text.stdout


@pytest.mark.parametrize("args", [["describe", "--pretty"], ["call", "--pretty", "describe", "x"]])
def test_pretty_matches_json_dumps_layout(run_cli: RunCli, args: list[str]) -> None:
    expected = json.dumps(json.loads(call("describe", "")), indent=2, ensure_ascii=False)
    assert run_cli(*args).stdout == (expected + "\n").encode()


def test_pretty_keeps_numbers_and_strings_as_written() -> None:
    assert cli.pretty('{"a":1.50,"b":[],"c":{},"d":"x\\",:{[\\\\","e":[1e-7,{"f":null}]}') == (
        '{\n  "a": 1.50,\n  "b": [],\n  "c": {},\n  "d": "x\\",:{[\\\\",\n'
        '  "e": [\n    1e-7,\n    {\n      "f": null\n    }\n  ]\n}'
    )


def test_simulator_on_a_busy_port_fails(run_cli: RunCli) -> None:
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        result = run_cli("simulator", "--port", str(busy.getsockname()[1]))
    assert result.returncode == 1 and b"cannot listen on 127.0.0.1:" in result.stderr


def test_demo_passes_every_check(run_cli: RunCli) -> None:
    result = run_cli("demo")
    report = result.stdout.decode()
    assert result.returncode == 0, report + result.stderr.decode()
    assert "all checks passed" in report and "FAIL" not in report
