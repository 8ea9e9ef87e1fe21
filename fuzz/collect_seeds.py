"""Seed inputs for the fuzz target, taken from the calls the pytest suite makes.

Run as a script, it runs pytest in a child process with this file loaded as a plugin; the plugin
wraps `_native.call` and records every (operation, payload) pair of str arguments. Each distinct
pair becomes one file in the output directory, written as the target reads its input: the
operation text, a newline, the payload.

    python fuzz/collect_seeds.py OUT_DIR [pytest arguments...]
"""

from __future__ import annotations

import hashlib
import os
import pathlib
import subprocess
import sys
from typing import Any

OUT_ENV = "QBO_SEED_OUT"
# Larger inputs slow the fuzzer down and add little: the mutator only grows small inputs.
MAX_SEED_BYTES = 64 * 1024

_recorded: set[tuple[str, str]] = set()


def _install_recorder() -> None:
    from quorvel_bo.payouts import _native

    original = _native.call

    def recording_call(*args: Any, **kwargs: Any) -> Any:
        named = [kwargs.get("op"), kwargs.get("payload")]
        values = list(args) + named[len(args) :]
        if len(values) == 2 and all(type(v) is str for v in values):
            _recorded.add((values[0], values[1]))
        return original(*args, **kwargs)

    # Every module of the package that bound the function before the patch gets the wrapper too.
    for name, module in list(sys.modules.items()):
        if name.startswith("quorvel_bo") and module is not None:
            for attr, value in list(vars(module).items()):
                if value is original:
                    setattr(module, attr, recording_call)


def pytest_configure(config: Any) -> None:
    if os.environ.get(OUT_ENV):
        _install_recorder()


def pytest_unconfigure(config: Any) -> None:
    out = os.environ.get(OUT_ENV)
    if not out:
        return
    directory = pathlib.Path(out)
    directory.mkdir(parents=True, exist_ok=True)
    written = 0
    for op, payload in sorted(_recorded):
        data = f"{op}\n{payload}".encode("utf-8", "surrogatepass")
        if "\n" in op or len(data) > MAX_SEED_BYTES:
            continue
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
        written += 1
    print(f"\nseeds: {written} distinct calls written to {directory}")


def main() -> int:
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    here = pathlib.Path(__file__).resolve().parent
    env = dict(os.environ)
    env[OUT_ENV] = str(pathlib.Path(sys.argv[1]).resolve())
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(here), env.get("PYTHONPATH")]))
    args = sys.argv[2:] or ["tests"]
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "collect_seeds", *args]
    # Failing tests still make good seeds; only a run that could not start is an error.
    result = subprocess.run(command, env=env, check=False)
    return 0 if result.returncode in (0, 1) else result.returncode


if __name__ == "__main__":
    sys.exit(main())
