#!/usr/bin/env bash
# The release build, into dist/: the sdist, and the wheel built from that sdist (so the sdist is
# known to build), repaired by auditwheel so the simdjson library travels inside it and tagged
# manylinux. Fails unless the wheel is cp310-abi3-manylinux_*_x86_64 and abi3audit --strict passes.
# scripts/wheel_check.sh then tries it where simdjson is not installed.
set -euo pipefail
if [ -z "${QBO_SETUP_DONE:-}" ]; then
    source "$(dirname "$0")/setup.sh"
fi
cd "$(dirname "$0")/.."

out=dist
raw=build/release
rm -rf "$raw" "$out"/quorvel_bo_payouts-*
mkdir -p "$raw" "$out"

# A clean build in a temporary copy of the unpacked sdist; two jobs, as everywhere here.
CMAKE_BUILD_PARALLEL_LEVEL=2 python -m build --no-isolation --outdir "$raw" . >"$raw/build.log" 2>&1 || {
    cat "$raw/build.log"
    exit 1
}
mv "$raw"/quorvel_bo_payouts-*.tar.gz "$out/"

# The policy is the most compatible one the symbols allow; the simdjson library is copied in.
auditwheel repair -w "$out" "$raw"/quorvel_bo_payouts-*-linux_x86_64.whl >"$raw/repair.log" 2>&1 || {
    cat "$raw/repair.log"
    exit 1
}
wheels=("$out"/quorvel_bo_payouts-*.whl)
wheel="${wheels[0]}"
if [ "${#wheels[@]}" -ne 1 ] || [[ ! "$(basename "$wheel")" =~ -cp310-abi3-manylinux_[0-9]+_[0-9]+_x86_64\.whl$ ]]; then
    printf 'wheel.sh: expected one cp310-abi3-manylinux_*_x86_64 wheel, got: %s\n' "${wheels[*]}" >&2
    exit 1
fi
auditwheel show "$wheel"
abi3audit --strict --summary "$wheel"
python - "$wheel" <<'PY'
import sys
import zipfile

with zipfile.ZipFile(sys.argv[1]) as wheel:
    libs = sorted(n for n in wheel.namelist() if n.endswith(".so") or ".so." in n)
assert any("/libsimdjson" in n for n in libs), libs
print("shared objects inside:", ", ".join(libs))
PY
ls -l "$out"/quorvel_bo_payouts-*
