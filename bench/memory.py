"""Peak memory of one call, measured in a fresh interpreter from the kernel's resident-set high-water mark.

The child builds the payload, warms the module up, resets the high-water mark (writing 5 to
/proc/self/clear_refs), makes the call and reports how far the peak rose above the resident size
just before it. Nothing here depends on tracemalloc, so memory taken by the native core counts.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

CHILD = r"""
import gc, json, sys
sys.path.insert(0, sys.argv[1])
from payloads import CASES
from quorvel_bo.payouts._native import call

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

label, mode = sys.argv[2], sys.argv[3]
op, factory = next((op, f) for name, op, f in CASES if name == label)
payload = factory()
call("version", "")
if mode == "python":
    result = json.loads(call(op, payload))
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
if mode == "call":
    out = call(op, payload)
    size = len(out)
else:
    loaded = json.loads(payload)
    out = json.dumps(result, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
    size = len(out)
peak = status("VmHWM")
print(json.dumps({"payload": len(payload.encode()), "result": size, "growth": peak - before}))
"""


def measure(label: str, mode: str = "call") -> dict[str, int] | None:
    """Peak growth in bytes during one `call` (mode "call") or the Python baseline (mode "python")."""
    here = str(Path(__file__).resolve().parent)
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, here, label, mode],
        capture_output=True,
        text=True,
        check=False,
    )
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        return None
    return json.loads(proc.stdout)


if __name__ == "__main__":
    for name in sys.argv[1:] or ["batch.authorize.build 100k"]:
        print(name, measure(name), measure(name, "python"))
