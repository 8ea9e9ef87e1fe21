#!/usr/bin/env bash
# The fuzz target over the call entry (fuzz/call_fuzzer.cpp), built with the sanitizers by
# scripts/sanitize.sh. A finding (crash, sanitizer report, leak, hang, broken result document)
# stops the run, leaves the input in build/fuzz-findings/ and fails the script; once fixed, the
# input goes to fuzz/regressions/, which every run replays first.
#
#   bash scripts/fuzz.sh [SECONDS]         fuzz for SECONDS (default 120)
#   bash scripts/fuzz.sh --run FILE...     run the target once on each FILE (reproduce a finding)
#   bash scripts/fuzz.sh --seeds           rebuild fuzz/corpus from the calls the pytest suite makes
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

case "${1:-}" in
    --run)
        shift
        exec "$target" "$@"
        ;;
    --seeds)
        # Every distinct call of the suite, then only those that add coverage. Generated inputs
        # (properties) and the memory tests' repeats make no seeds worth keeping.
        raw=build/fuzz-seeds
        rm -rf "$raw" fuzz/corpus.new
        python fuzz/collect_seeds.py "$raw" tests --ignore=tests/test_properties.py --ignore=tests/test_resources.py
        mkdir -p fuzz/corpus.new
        "$target" -merge=1 fuzz/corpus.new "$raw"
        rm -rf fuzz/corpus
        mv fuzz/corpus.new fuzz/corpus
        echo "fuzz/corpus: $(find fuzz/corpus -type f | wc -l) seeds"
        exit 0
        ;;
esac

seconds="${1:-120}"
corpus=build/fuzz-corpus        # grows over runs; fuzz/corpus holds the committed seeds
findings=build/fuzz-findings
mkdir -p "$corpus" "$findings"
# The inputs of past findings (fuzz/regressions) run first of all, with the seeds.
"$target" "$corpus" fuzz/corpus fuzz/regressions \
    -dict=fuzz/call.dict \
    -max_total_time="$seconds" \
    -timeout=10 \
    -rss_limit_mb=2048 \
    -max_len=65536 \
    -use_value_profile=1 \
    -print_final_stats=1 \
    -artifact_prefix="$findings/" \
    2> >(grep --line-buffered -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE)[[:space:]]' >&2)
