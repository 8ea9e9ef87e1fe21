"""The `_native` module: its attributes, the argument rules of `call` and the text it hands back."""

from __future__ import annotations

import importlib.metadata
import inspect
import pathlib
from collections.abc import Callable

import pytest

import quorvel_bo
import quorvel_bo.payouts
from quorvel_bo.payouts import _native
from quorvel_bo.payouts._native import call

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
