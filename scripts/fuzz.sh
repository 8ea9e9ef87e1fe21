#!/usr/bin/env bash
# The fuzz target over the call entry (fuzz/call_fuzzer.cpp), built with the sanitizers by
# scripts/sanitize.sh. A finding (crash, sanitizer report, leak, hang, broken result document)
# stops the run, leaves the input in build/fuzz-findings/ and fails the script; once fixed, the
# input goes to fuzz/regressions/, which every run replays first.
#
# The seeds are not kept in git: they are the distinct calls the pytest suite makes, reduced to
# those that add coverage, collected into build/fuzz-seeds when missing or when the tests changed.
#
#   bash scripts/fuzz.sh [SECONDS]         fuzz for SECONDS (default 120)
#   bash scripts/fuzz.sh --run FILE...     run the target once on each FILE (reproduce a finding)
#   bash scripts/fuzz.sh --seeds           collect the seeds again
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${QBO_SETUP_DONE:-}" ]; then
    source scripts/setup.sh
    export QBO_SETUP_DONE=1
fi

bash scripts/sanitize.sh build
target=build/sanitize/call_fuzzer
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-19/bin/llvm-symbolizer
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

seeds=build/fuzz-seeds
# What the seeds are made from: the tests and the collector.
seeds_source() { cat fuzz/collect_seeds.py tests/*.py | sha256sum; }

# Every distinct call of the suite, then only those that add coverage. Generated inputs
# (properties) and the memory tests' repeats make no seeds worth keeping.
collect_seeds() {
    local raw=build/fuzz-calls
    rm -rf "$raw" "$seeds" "$seeds.new" "$seeds.source"
    python fuzz/collect_seeds.py "$raw" tests --ignore=tests/test_properties.py --ignore=tests/test_resources.py
    mkdir -p "$seeds.new"
    "$target" -merge=1 "$seeds.new" "$raw"
    rm -rf "$raw"
    mv "$seeds.new" "$seeds"
    seeds_source >"$seeds.source"
    echo "$seeds: $(find "$seeds" -type f | wc -l) seeds"
}

case "${1:-}" in
    --run)
        shift
        exec "$target" "$@"
        ;;
    --seeds)
        collect_seeds
        exit 0
        ;;
esac

if [ "$(seeds_source)" != "$(cat "$seeds.source" 2>/dev/null)" ]; then
    collect_seeds
fi

seconds="${1:-120}"
corpus=build/fuzz-corpus        # grows over runs, next to the seeds
findings=build/fuzz-findings
mkdir -p "$corpus" "$findings"
# The inputs of past findings (fuzz/regressions) run first of all, with the seeds.
"$target" "$corpus" "$seeds" fuzz/regressions \
    -dict=fuzz/call.dict \
    -max_total_time="$seconds" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -max_len=65536 \
    -use_value_profile=1 \
    -print_final_stats=1 \
    -artifact_prefix="$findings/" \
    2> >(grep --line-buffered -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE)[[:space:]]' >&2)
