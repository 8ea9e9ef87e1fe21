"""Collects the benchmark statistics and prints them as one table of ratios at the end of the run."""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

_times: dict[str, dict[str, Any]] = {}
_sizes: dict[str, int] = {}
_memory: dict[str, tuple[dict[str, int], dict[str, int]]] = {}


@pytest.fixture
def record() -> Any:
    def store(label: str, kind: str, size: int, stats: Any) -> None:
        _times.setdefault(label, {})[kind] = stats
        _sizes[label] = size

    return store


@pytest.fixture
def record_memory() -> Any:
    def store(label: str, native: dict[str, int], python: dict[str, int]) -> None:
        _memory[label] = (native, python)

    return store


def _us(seconds: float) -> str:
    us = seconds * 1e6
    return f"{us:,.2f}" if us < 100 else f"{us:,.0f}"


def _size(n: int) -> str:
    return (
        f"{n / 1e6:.1f} MB"
        if n >= 1e6
        else f"{n / 1e3:.1f} kB"
        if n >= 1e3
        else f"{n} B"
    )


def _table() -> list[str]:
    # Ratios use the fastest round of each timing: load from other processes only ever adds time.
    lines = [
        (
            "| case | payload | call (µs) | floor (µs) | json.loads (µs) | loads+dumps (µs) "
            "| call / floor | call / json.loads | (loads+dumps) / call |"
        ),
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for label, kinds in _times.items():
        call, floor = kinds.get("call"), kinds.get("floor")
        loads, python = kinds.get("loads"), kinds.get("python")
        if call is None or floor is None or python is None:
            continue
        lines.append(
            f"| {label} | {_size(_sizes[label])} | {_us(call.min)} | {_us(floor.min)} "
            f"| {_us(loads.min) if loads else '-'} | {_us(python.min)} | {call.min / floor.min:,.1f}× "
            f"| {f'{call.min / loads.min:.2f}×' if loads else '-'} | {python.min / call.min:.2f}× |"
        )
    return lines


def _memory_table() -> list[str]:
    lines = [
        "| case | payload | call: peak growth | / payload | loads+dumps: peak growth | / payload |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label, (native, python) in _memory.items():
        size = native["payload"]
        lines.append(
            f"| {label} | {_size(size)} | {_size(native['growth'])} | {native['growth'] / size:.2f}× "
            f"| {_size(python['growth'])} | {python['growth'] / size:.2f}× |"
        )
    return lines


def _goals() -> list[str]:
    out = []

    def verdict(name: str, met: bool, detail: str) -> None:
        out.append(f"- {name}: {detail} -> {'met' if met else 'NOT met'}")

    t = _times
    if "version" in t and {"call", "floor"} <= t["version"].keys():
        r = t["version"]["call"].min / t["version"]["floor"].min
        verdict('"version" at most 4x the floor', r <= 4, f"{r:.2f}x")
    for label, most in [
        ("payouts.pay.build", 0.5),
        ("payouts.pay.parse", 0.5),
        ("payouts.scan.parse", 0.5),
        ("batch.webhook.parse", 0.75),
        ("batch.status.parse 10k", 1.0),
    ]:
        w = t.get(label, {})
        if {"call", "loads"} <= w.keys():
            r = w["call"].min / w["loads"].min
            verdict(f'"{label}" at most {most:g}x json.loads of its payload', r <= most, f"{r:.2f}x json.loads")
    a = t.get("batch.authorize.build 100k", {})
    if {"call", "python"} <= a.keys():
        r = a["python"].min / a["call"].min
        verdict(
            '"batch.authorize.build" 100k at least 2x faster than loads+dumps',
            r >= 2,
            f"{r:.2f}x faster",
        )
    for label, most in [("batch.authorize.build 100k", 4), ("batch.status.parse 10k", 3)]:
        m = _memory.get(label)
        if m:
            r = m[0]["growth"] / m[0]["payload"]
            verdict(f'"{label}" peak memory at most {most}x the payload', r <= most, f"{r:.2f}x")
    return out


def pytest_terminal_summary(terminalreporter: Any) -> None:
    if not _times and not _memory:
        return
    lines = ["", "Timings (fastest round of each):", *_table()]
    if _memory:
        lines += [
            "",
            "Peak resident memory of one call in a fresh interpreter:",
            *_memory_table(),
        ]
    lines += ["", "Goals:", *_goals()]
    text = "\n".join(lines) + "\n"
    for line in lines:
        terminalreporter.write_line(line)
    target = os.environ.get("QBO_BENCH_TABLE")
    if target:
        Path(target).write_text(text, encoding="utf-8")
