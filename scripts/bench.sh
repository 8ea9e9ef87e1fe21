#!/usr/bin/env bash
# Benchmarks: `call` per operation against the floor and the pure-Python baseline (pytest-benchmark),
# peak memory of the largest calls, the Python client's own time over raw httpx, and the JSON reader
# against simdjson's DOM (Google Benchmark).
# Prints the tables; they are also written to build/bench/results.md. Not part of the test run.
set -euo pipefail
source "$(dirname "$0")/setup.sh"
# The benchmarks only read what set-up installed: let other runs in this tree build meanwhile.
exec {qbo_lock_fd}>&-

step() { printf '\n== %s\n' "$*"; }

# What the benchmarks need beyond the test set-up: Google Benchmark and pytest-benchmark.
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q 'install ok installed'; then
    qbo_say "installing libbenchmark-dev"
    qbo_sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        qbo_sudo=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${qbo_sudo[@]}" apt-get update -qq
    "${qbo_sudo[@]}" apt-get install -y -qq --no-install-recommends libbenchmark-dev >/dev/null
fi
python -c 'import pytest_benchmark' 2>/dev/null || python -m pip install -q "pytest-benchmark>=4"

results=build/bench/results.md
mkdir -p build/bench

step "machine"
{
    printf -- '- CPU: %s, %s logical cores\n' "$(lscpu | sed -n 's/^Model name: *//p' | head -1)" "$(nproc)"
    printf -- '- compiler: %s\n' "$(c++ --version | head -1)"
    printf -- '- Python: %s\n' "$(python -c 'import platform; print(platform.python_version())')"
    printf -- '- simdjson: %s\n' "$(dpkg-query -W -f='${Version}' libsimdjson-dev)"
} | tee "$results"

step "call: timings and peak memory"
QBO_BENCH_TABLE=build/bench/call.md python -m pytest -q -p no:cacheprovider bench \
    --benchmark-disable-gc --benchmark-min-rounds=5 --benchmark-max-time=1 \
    --benchmark-columns=min,median,rounds --benchmark-sort=name >build/bench/pytest.log || {
    cat build/bench/pytest.log
    exit 1
}
cat build/bench/call.md | tee -a "$results"

step "Python client: its own time over raw httpx"
python bench/client_overhead.py | tee -a "$results"

step "JSON reader against simdjson"
cmake -S . -B build/bench/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DQBO_BUILD_BENCH=ON \
    -DQBO_BUILD_MODULE=OFF -DQBO_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench/cpp -j2 --target json_reader_bench
build/bench/cpp/json_reader_bench --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.3 --benchmark_out=build/bench/reader.json --benchmark_out_format=json >/dev/null
python bench/reader_table.py build/bench/reader.json | tee -a "$results"
printf '\nAll tables: %s\n' "$results"
