"""Turns Google Benchmark's JSON output of json_reader_bench into the reader table of ratios."""

from __future__ import annotations

import json
import sys
from collections import defaultdict


def main(path: str) -> None:
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    # The best repetition of each benchmark: load from other processes only ever slows a run down.
    best: dict[tuple[str, str, str], float] = defaultdict(float)
    kernel = ""
    for run in data["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        name, *args = run["run_name"].split("/")
        size = next(a.split(":")[1] for a in args if a.startswith("bytes:"))
        shape = (
            "provider answer" if any(a == "status:1" for a in args) else "batch payload"
        )
        key = (shape, size, name)
        best[key] = max(best[key], run["bytes_per_second"])
        if run.get("label"):
            kernel = run["label"]
    print(
        f"JSON reader throughput (best of the repetitions; simdjson kernel chosen at run time: {kernel or '?'}):"
    )
    print(
        "| document | size | reader (MB/s) | simdjson DOM, parser kept (MB/s) | reader / that "
        "| simdjson DOM, new parser (MB/s) | reader / that |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|")
    for shape in ("batch payload", "provider answer"):
        for size in sorted({k[1] for k in best if k[0] == shape}, key=int):
            reader = best[(shape, size, "BM_Reader")] / 1e6
            kept = best[(shape, size, "BM_SimdjsonDom")] / 1e6
            fresh = best[(shape, size, "BM_SimdjsonDomFresh")] / 1e6
            mb = int(size) / (1 << 20)
            print(
                f"| {shape} | {mb:.0f} MiB | {reader:,.0f} | {kept:,.0f} | {reader / kept:.2f} "
                f"| {fresh:,.0f} | {reader / fresh:.2f} |"
            )


if __name__ == "__main__":
    main(sys.argv[1])
