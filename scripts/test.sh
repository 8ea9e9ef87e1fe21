#!/usr/bin/env bash
# Every test: the core's hard rules, the C++ layout, the C++ unit tests, the release wheel (sdist,
# manylinux repair, ABI audit, a run where simdjson is not installed), the module suffix and stub,
# mypy, the sanitized run, a bounded fuzz run and pytest. Stops at the first failing step.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
# The set-up is done and its lock held until this script exits: the scripts below skip their own.
export QBO_SETUP_DONE=1

step() { printf '\n== %s\n' "$*"; }

step "hard rules of the core sources"
bash scripts/check_rules.sh

step "C++ layout"
bash scripts/format.sh

step "C++ unit tests"
cmake -S . -B build/cpp -G Ninja -DQBO_BUILD_TESTS=ON -DQBO_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp -j2 --target core_tests
ctest --test-dir build/cpp --output-on-failure

step "release wheel: sdist, wheel built from it, simdjson inside, manylinux and stable ABI audits (dist/)"
bash scripts/wheel.sh

step "release wheel where simdjson is not installed: a fresh environment, the system library hidden"
bash scripts/wheel_check.sh

step "installed module"
python - <<'PY'
import quorvel_bo.payouts._native as native
assert native.__file__.endswith("/quorvel_bo/payouts/_native.abi3.so"), native.__file__
print(native.__file__)
PY

step "stub and types"
python -m mypy.stubtest quorvel_bo.payouts._native
python -m mypy -p quorvel_bo.payouts

step "sanitizers: C++ tests under ASan, UBSan and LSan; pytest against the sanitized extension"
bash scripts/sanitize.sh

step "fuzzing: a bounded run of the call target, failing on any finding"
bash scripts/fuzz.sh 100

step "pytest"
python -m pytest -q tests
