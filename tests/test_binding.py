"""The `_native` module: its attributes, the argument rules of `call` and the text it hands back."""

from __future__ import annotations

import importlib.metadata
import inspect
import pathlib

import pytest

import quorvel_bo
import quorvel_bo.payouts
from quorvel_bo.payouts import _native
from quorvel_bo.payouts._native import call

VERSION_DOCUMENT = '{"ok":true,"value":{"core":"0.1.0","protocol":2}}'
CALL_DOC = "Runs a payout operation; `payload` and the result are JSON strings\n(see `quorvel_bo_core::ffi`)."


class Text(str):
    """A str subclass, which `call` must accept like str."""


def test_version_document_is_exact() -> None:
    assert call("version", "") == VERSION_DOCUMENT


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        (("version", ""), {}),
        (("version",), {"payload": ""}),
        ((), {"op": "version", "payload": ""}),
        ((), {"payload": "", "op": "version"}),
        ((Text("version"), Text("")), {}),
        ((), {"op": Text("version"), "payload": Text("")}),
    ],
)
def test_arguments_by_position_keyword_and_str_subclass(args: tuple[str, ...], kwargs: dict[str, str]) -> None:
    assert call(*args, **kwargs) == VERSION_DOCUMENT


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "call() missing required argument 'op' (pos 1)"),
        (("version",), {}, "call() missing required argument 'payload' (pos 2)"),
        ((), {"payload": ""}, "call() missing required argument 'op' (pos 1)"),
        (("version", "", "x"), {}, "call() takes at most 2 arguments (3 given)"),
        (("version", ""), {"op": "x"}, "call() takes at most 2 arguments (3 given)"),
        ((), {"op": "version", "payload": "", "x": ""}, "call() takes at most 2 keyword arguments (3 given)"),
        (("version",), {"x": ""}, "call() got an unexpected keyword argument 'x'"),
        (("version",), {"Payload": ""}, "call() got an unexpected keyword argument 'Payload'"),
        (("version",), {"op": ""}, "argument for call() given by name ('op') and position (1)"),
    ],
)
def test_argument_matching_errors(args: tuple[object, ...], kwargs: dict[str, object], message: str) -> None:
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)  # type: ignore[arg-type]
    assert str(caught.value) == message


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(b"version", "bytes"), (bytearray(b"version"), "bytearray"), (None, "None"), (7, "int"), (memoryview(b""), "memoryview")],
)
@pytest.mark.parametrize("param", ["op", "payload"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_non_str_argument_is_refused_naming_it(value: object, type_name: str, param: str, by_keyword: bool) -> None:
    arguments: dict[str, object] = {"op": "version", "payload": ""}
    arguments[param] = value
    with pytest.raises(TypeError) as caught:
        if by_keyword:
            call(**arguments)  # type: ignore[arg-type]
        else:
            call(*arguments.values())  # type: ignore[arg-type]
    assert str(caught.value) == f"call() argument '{param}' must be str, not {type_name}"


@pytest.mark.parametrize(
    ("op", "payload", "expected"),
    [
        (b"version", None, TypeError),
        ("\ud800", None, UnicodeEncodeError),
        (None, "\udfff", TypeError),
    ],
)
def test_op_is_checked_before_payload(op: object, payload: object, expected: type[Exception]) -> None:
    with pytest.raises(expected) as caught:
        call(op, payload)  # type: ignore[arg-type]
    if expected is TypeError:
        assert "'op'" in str(caught.value)


@pytest.mark.parametrize(("op", "payload"), [("\ud800", ""), ("version", "\udfff"), (Text("a\udc80b"), "")])
def test_lone_surrogate_raises_the_interpreters_encoding_error(op: str, payload: str) -> None:
    with pytest.raises(UnicodeEncodeError) as caught:
        call(op, payload)
    assert caught.value.encoding == "utf-8"
    assert caught.value.reason == "surrogates not allowed"


@pytest.mark.parametrize(
    ("op", "expected"),
    [
        ("nope", '{"error":{"kind":"ffi","message":"unknown operation `nope`","retryable":false},"ok":false}'),
        # Text goes in and comes out as UTF-8 with its length, not as a C string.
        (
            "a\x00\u00e9\u20ac\U0001f600\x7f",
            '{"error":{"kind":"ffi","message":"unknown operation `a\\u0000\u00e9\u20ac\U0001f600\x7f`",'
            '"retryable":false},"ok":false}',
        ),
    ],
)
def test_operation_failures_are_documents_not_exceptions(op: str, expected: str) -> None:
    assert call(op, "{") == expected


def test_builtins_ignore_the_payload() -> None:
    assert call(op="describe", payload="not json").startswith('{"ok":true,"value":[')


def test_module_surface() -> None:
    assert _native.__all__ == ["call", "__version__", "PROTOCOL_VERSION"]
    assert _native.__doc__ == ""
    assert _native.__version__ == "0.1.0" == importlib.metadata.version("quorvel-bo-payouts")
    assert type(_native.PROTOCOL_VERSION) is int
    assert _native.PROTOCOL_VERSION == 2


def test_call_function_metadata() -> None:
    assert call.__name__ == "call"
    assert call.__module__ == "quorvel_bo.payouts._native"
    assert call.__self__ is _native  # type: ignore[attr-defined]
    assert call.__text_signature__ == "(op, payload)"  # type: ignore[attr-defined]
    assert call.__doc__ == CALL_DOC
    assert list(inspect.signature(call).parameters) == ["op", "payload"]


def test_panic_exception_derives_directly_from_base_exception() -> None:
    panic = _native.PanicException
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert (panic.__module__, panic.__name__) == ("quorvel_bo.payouts._native", "PanicException")


def test_package_reexports_the_module() -> None:
    assert quorvel_bo.payouts.call is call
    assert quorvel_bo.payouts.PROTOCOL_VERSION == _native.PROTOCOL_VERSION
    assert quorvel_bo.payouts.__version__ == _native.__version__
    assert set(_native.__all__) <= set(quorvel_bo.payouts.__all__)


def test_installed_as_stable_abi_module_in_a_namespace_package() -> None:
    assert pathlib.Path(_native.__file__).name == "_native.abi3.so"
    assert getattr(quorvel_bo, "__file__", None) is None  # PEP 420: no quorvel_bo/__init__.py
